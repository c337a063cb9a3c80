#ifndef NETBUS_P_H
#define NETBUS_P_H

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <mutex>

class QThread;

// The process's one connection to the system bus, through which the NetworkManager service (and
// avahi-daemon) is reached. It is made on first use, and again once the bus is gone, within
// ConnectLimitMs whatever the bus does: the bus must answer a greeting on a socket of our own
// before Qt connects (Qt's connect waits for ever on a socket that accepts and never answers), and
// Qt then connects on the bus thread while the caller waits with that deadline. The bus thread runs
// an event loop for the bus's signals: the presence of the service, and of any other name followed,
// is kept from NameOwnerChanged rather than asked on every call, and other receivers of the
// services' signals may live there too (thread()). Any thread may call.
class NetBus : public QObject
{
    Q_OBJECT

public:
    enum class Reach {
        Absent, // no bus: nothing listens at its address, or it turned us away
        Unanswered, // a bus that did not answer within ConnectLimitMs
        Connected,
    };
    static constexpr char ServiceName[] = "org.freedesktop.NetworkManager";
    static constexpr int ConnectLimitMs = 5000;
    static constexpr int CallLimitMs = 5000;

    static NetBus &instance();

    // Connects first where not connected (waiting at most ConnectLimitMs, also for another
    // thread's attempt).
    Reach reach();
    // Not connected unless reach() said Connected.
    QDBusConnection connection();
    // Whether the service owns its name on the bus; false when not connected.
    bool hasService();
    // Follows who owns `name` from now on, on this connection and the ones after it (the
    // service's name is followed from the start): ownerChanged() tells. Connects first, as
    // reach(); whether `name` has an owner now.
    bool follow(const QString &name);

    // A call that waits at most CallLimitMs for its reply, without an event loop. Once the bus
    // or the service has failed the calling thread (see failed()), later calls fail at once.
    QDBusMessage call(const QDBusMessage &message);

    // The calling thread's record of its current controller call: beginCall() clears it; a call
    // left unanswered, or noteFailure(), sets it.
    static void beginCall();
    static void noteFailure();
    static bool failed();

signals:
    // On the bus thread: a followed name got an owner (a new one, or on a new connection), or
    // lost it.
    void ownerChanged(const QString &name, bool owned);

private slots:
    void nameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    NetBus();
    void startAttempt(std::unique_lock<std::mutex> &lock);
    void attempt(const QString &address, const QString &previous, int limitMs);
    Reach open(const QString &address, const QString &name, int limitMs);
    // On the bus thread: watches `names` on `bus` and asks which of them have an owner; false
    // when the bus did not answer.
    bool watch(QDBusConnection bus, const QStringList &names, int limitMs);
    bool owns(const QString &name);
    static void stop();

    QThread *const m_thread; // where the connecting and the signals happen
    std::mutex m_mutex; // guards the members below
    std::condition_variable m_decided;
    bool m_connecting = false;
    std::chrono::steady_clock::time_point m_attemptEnds;
    Reach m_reach = Reach::Absent;
    QDBusConnection m_connection;
    int m_opened = 0;
    QStringList m_followed { QLatin1String(ServiceName) };
    QSet<QString> m_owned; // of m_followed, written on the bus thread
};

#endif // NETBUS_P_H
