#ifndef NETANNOUNCEMENT_P_H
#define NETANNOUNCEMENT_P_H

#include <QByteArray>
#include <QDBusContext>
#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

class ZRServiceAnnouncer;

class NetAnnouncement;

// What a ZRServiceAnnouncer's callers, on any thread, and its NetAnnouncement, on the bus thread,
// share: the calls for the bus thread, the announcement as it stands, and the answers to the
// calls waiting for one (each by its ticket). Everything under `mutex`. Work crosses between
// threads only here, under that lock, and the events that wake the other side carry nothing.
struct NetAnnouncementState
{
    struct Answer
    {
        bool given = false;
        bool ok = false;
        QString text; // the value asked for, or why it failed
    };

    using Job = std::function<void(NetAnnouncement *, quint64 ticket)>;
    // A ticket for a call that will wait for its answer, and the call queued for `core`.
    quint64 open(NetAnnouncement *core, const Job &job);
    // The next call queued, with its ticket; an empty job when none is left.
    QPair<Job, quint64> take();
    // Answers the call of `ticket`, if it still waits; ticket 0 is nobody's.
    void settle(quint64 ticket, bool ok, const QString &text = QString());
    // The answer of `ticket`, waited for at most `limitMs`.
    Answer wait(quint64 ticket, int limitMs);
    // The announcement as it now stands; `owner` hears when it comes or goes.
    void publish(bool announced, const QString &name, const QString &host, const QString &error);
    // Whether it is announced now, and how many times it came or went so far.
    QPair<bool, quint64> changes() const;
    // What the last call of the announcer left to say: its failure, or none.
    void endCall(const Answer &answer);

    mutable std::mutex mutex;
    std::condition_variable answered;
    QQueue<QPair<Job, quint64>> jobs;
    QHash<quint64, Answer> waiting;
    quint64 tickets = 0;
    bool announced = false;
    quint64 flips = 0; // of `announced`
    QString serviceName;
    QString host; // the .local name the published service points at
    QString error; // why it is not announced
    QString failure; // of the last call, empty after a success
    ZRServiceAnnouncer *owner = nullptr; // cleared as it goes
};

// One announcer's dealings with avahi-daemon, on the bus thread (NetBus), where the daemon's
// signals arrive: one entry group holding the service, kept as wished across the daemon's
// restarts, its host name changes and collisions. Calls go out one at a time, without blocking
// the thread; each step, and each signal, leads to the next step towards what is wished.
class NetAnnouncement : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    struct Service
    {
        QString name;
        QString type;
        quint16 port = 0;
        QList<QByteArray> txt;
    };

    explicit NetAnnouncement(std::shared_ptr<NetAnnouncementState> state);

    // On the bus thread; each answers its ticket.
    void announce(quint64 ticket, const Service &service);
    void withdraw(quint64 ticket);
    void setHostName(quint64 ticket, const QString &name);
    void askHostName(quint64 ticket);

    static const char DaemonName[];

public slots:
    // Runs the calls queued in the state.
    void runJobs();

private slots:
    void ownerChanged(const QString &name, bool owned);
    void groupStateChanged(int state, const QString &error);
    void serverStateChanged(int state, const QString &error);

private:
    using Step = std::function<void(const QDBusMessage &)>;
    void next();
    void applyHostName();
    void rename();
    void publish();
    // Sends one call and runs `done` (or `failed`) on its reply, unless the daemon changed in
    // between; next() waits for it.
    void call(const QString &path, const char *interface, const char *method,
        const QList<QVariant> &arguments, Step done, Step failed = Step());
    void fail(const QDBusMessage &reply);
    void halt(const QString &why);
    void unsettle();
    void state(bool announced, const QString &error = QString());
    void replace(quint64 *waiting, quint64 ticket);
    void settleAll(bool ok, const QString &text);
    void subscribe();

    const std::shared_ptr<NetAnnouncementState> m_state;
    // The wish.
    bool m_wanted = false;
    Service m_service;
    QString m_name; // the service's name now: the wished one, or the daemon's next free one
    QString m_hostWish;
    bool m_applyHost = false;
    // The calls waiting for it to be carried out.
    quint64 m_announceTicket = 0;
    quint64 m_withdrawTicket = 0;
    quint64 m_hostTicket = 0;
    // What the daemon holds.
    QString m_group; // our entry group's object path, empty when none
    bool m_committed = false; // the group holds m_name as wished, or is being given it
    bool m_current = false; // the group's signals speak of what it is being given
    QString m_host; // the host name the group's service points at
    bool m_checkHost = false; // the daemon's host name may have changed
    bool m_renaming = false; // m_name collided: the daemon's next free name is asked
    int m_renames = 0;
    bool m_halted = false; // the daemon is missing or refused: wait for it, or a new wish
    bool m_busy = false; // a call is out
    quint64 m_epoch = 0; // counts the daemon's comings and goings
    QString m_subscribedOn; // the bus connection its signals are followed on
};

#endif // NETANNOUNCEMENT_P_H
