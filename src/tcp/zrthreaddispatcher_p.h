#ifndef ZRTHREADDISPATCHER_P_H
#define ZRTHREADDISPATCHER_P_H

#include "zrnet_global.h"

#include <QAbstractEventDispatcher>
#include <QThread>
#include <QVector>

#include <condition_variable>
#include <mutex>

class QSocketNotifier;

// The event dispatcher of a connection thread. Qt gives every QThread a full dispatcher at its
// start (a wake-up descriptor, in some builds a GLib main context), which a thread that never
// runs an event loop pays for on every connection. This one costs nothing until it is used:
// it opens no descriptor, and only allocates for timers and socket notifiers once a slot on
// the thread registers them.
//
// It is complete all the same, for slots that run a QEventLoop on a connection thread: events
// posted to the thread's objects are sent, timers fire, socket notifiers are activated (polled
// together with an eventfd made when the first notifier is registered), and wakeUp() and
// interrupt() work from any thread. Deferred deletions are carried out when an event loop runs
// and, as on any QThread, when the thread finishes.
class ZRNET_AUTOTEST_EXPORT ZRThreadDispatcher : public QAbstractEventDispatcher
{
public:
    ZRThreadDispatcher();
    ~ZRThreadDispatcher() override;

    // Gives the thread a dispatcher of this kind and starts it. When the system cannot start
    // it, deletes that dispatcher again (only a thread that finishes deletes its own) and
    // returns false; the thread is then the caller's to delete.
    static bool startThread(QThread *thread, QThread::Priority priority = QThread::InheritPriority);

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    void registerTimer(
        int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
#else
    void registerTimer(
        int timerId, int interval, Qt::TimerType timerType, QObject *object) override;
    bool hasPendingEvents() override;
    void flush() override;
#endif
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override; // any thread
    void interrupt() override; // any thread

private:
    struct Timer
    {
        int id;
        qint64 interval; // ms
        Qt::TimerType type;
        QObject *object;
        qint64 due; // ms on the monotonic clock
        bool firing;
        quint64 serial; // tells a timer from an earlier one that had its id
    };

    static qint64 now();
    Timer *findTimer(int timerId);
    qint64 msUntilNextTimer() const; // -1: no timer
    int activateTimers();
    int pollNotifiers(int timeoutMs);
    bool waitForWakeUp(int timeoutMs);
    bool wakeUpPending();
    void ring(bool *flag);

    QVector<Timer> m_timers; // the dispatcher's thread only
    QVector<QSocketNotifier *> m_notifiers; // the dispatcher's thread only
    quint64 m_serials = 0; // the dispatcher's thread only

    std::mutex m_mutex; // guards the three below, which wakeUp() and interrupt() touch
    std::condition_variable m_wakeUp;
    bool m_woken = false;
    bool m_interrupted = false;
    int m_wakeFd = -1; // eventfd, made with the first socket notifier
};

#endif // ZRTHREADDISPATCHER_P_H
