#ifndef ZRCONNECTIONTABLE_P_H
#define ZRCONNECTIONTABLE_P_H

#include "zrnet_global.h"

#include <QVector>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

class QThread;
class ZRConnection;
class ZRServer;
class ZRSocketThread;
class ZRWorkerPool;

// The connections of one server, shared with the connections themselves, which may outlive the
// server: the one place that counts them, that a connection's end goes through, and that says
// whether the server may still be called.
//
// A connection reaches the server only between enter() and leave(), so whoever is destroying
// the server can wait until no connection is inside its code any more; neither takes a lock.
//
// A connection served by the server's threads (see ZRWorkerPool) that waits for its socket
// waits in the accept loop's poll set instead, parked: the table keeps the parked ones in order
// of their deadlines, by what they are waiting for, so that the loop finds the next deadline and
// the connection to end first when a client waits at the cap. A parked connection belongs to
// the loop; any other, to whichever thread serves it.
//
// The object of an ended thread (a connection's own, or the pool's) is deleted by the accept
// loop while it runs (the loop's thread runs no event loop, and posting one event per
// connection to it would pile them up there), else by the next such thread to end (at the
// latest, the process's exit): never through an event loop, which may have returned for good.
// A connection served by the server's threads is deleted at once.
class ZRConnectionTable : public std::enable_shared_from_this<ZRConnectionTable>
{
public:
    explicit ZRConnectionTable(ZRServer *server);
    ~ZRConnectionTable();

    ZRWorkerPool &pool() const { return *m_pool; }

    // The server, counted as entered; null once it has been detached, and then nothing is
    // entered.
    ZRServer *enter();
    void leave();
    // A connection's message, to the server (entered, or the connection is stopped). True when
    // the server's signal lent the bytes out.
    bool relay(ZRConnection &connection, char *message, int size);
    // From the server's destruction: nothing enters from now on, and this returns once nothing
    // is inside (not counting the calling thread, should it be one of them).
    void detach();

    void add(ZRConnection *connection);
    // The end of every connection: out of the table, then its socket closed; deleted now, or
    // once its thread has finished.
    void release(ZRConnection *connection);
    int size() const;
    // True once the table is empty; false when msecs pass first (msecs < 0: no limit).
    bool waitUntilEmpty(int msecs);
    // Calls f(connection) for each connection, under the table's lock.
    template <typename F>
    void forEach(F f) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (ZRConnection *c = m_first; c; c = next(c))
            f(c);
    }

    // From a thread of the table's (a connection's own, or the pool's) as it ends: its object
    // is deleted once it has finished, with the connection it may carry. The one way they go.
    void threadEnded(QThread *thread);
    // Called by the accept loop: deletes the objects of ended threads that have finished (all,
    // waiting for them, when told so).
    void deleteEnded(bool waitForAll = false);
    // The accept loop starts (true) or ends (false) deleting ended threads' objects itself.
    void setLoopDeletes(bool on);
    // From the accept loop with a client waiting: Below the cap (0: none); else GiveWay, when
    // mayGiveWay and a parked connection may make room (takeGivingWay()); else Full, and wakeFd
    // is rung once a connection ends, or one that may give way parks.
    enum Room { Below, GiveWay, Full };
    Room room(int cap, bool mayGiveWay, int wakeFd);
    // From the accept loop: the parked connection that gives way first (see rankOf()), out of
    // the poll set; null when none, or when those looked at have bytes waiting.
    ZRConnection *takeGivingWay();

    // The accept loop's poll set (an epoll descriptor, -1 when no loop runs), and the loop's
    // eventfd, rung when a connection parks with a deadline before the loop means to wake.
    void setPollSet(int epollFd, int wakeFd);
    // From the thread serving the connection: it waits in the poll set for events (EPOLLIN or
    // EPOLLOUT) until its deadline, and the thread lets go of it. False when no loop runs.
    bool park(ZRConnection *connection, unsigned events, qint64 deadline);
    // From the accept loop, the connections its poll set has found ready: no longer parked.
    void unpark(ZRConnection *const *connections, int count);
    // From any thread, for a parked connection that has something to do that its socket will
    // not tell (a stream's producer wrote or ended): the loop is woken to take it, and only the
    // loop takes it, so that a parked connection keeps one owner.
    void resume(ZRConnection *connection);
    // From the accept loop, woken: the connections resumed, still parked, no longer parked.
    QVector<ZRConnection *> takeResumed();
    // From the accept loop: the parked connections whose deadline has come, no longer parked.
    QVector<ZRConnection *> takeExpired(qint64 now);
    // From the accept loop at the end: every parked connection, no longer parked.
    QVector<ZRConnection *> takeParked();
    // The earliest deadline of a parked connection; NoDeadline when none; and the loop's own
    // plan to wake by then.
    qint64 nextDeadline(qint64 loopWakesAt);

private:
    // Parked connections by what gives way first at the cap: 0, idle between requests (or
    // closing anyway); 1, a request incomplete (or not begun); 2, never (a reply going out).
    enum { GivesWayFirst, Incomplete, NeverEnded, Ranks };
    static int rankOf(int phase);
    static ZRConnection *next(ZRConnection *connection);
    void unlink(ZRConnection *connection);
    void unparkLocked(ZRConnection *connection);
    void withdrawLocked(ZRConnection *connection);
    void forget(ZRConnection *connection);

    mutable std::mutex m_mutex; // guards every member below but the two atomics
    std::condition_variable m_changed; // a connection ended, or one left the server's code
    ZRConnection *m_first = nullptr; // the connections, most recent first
    int m_size = 0;
    QVector<QThread *> m_ended; // ended, waiting for the accept loop to delete them
    QVector<ZRConnection *> m_resumed; // parked, to be taken by the loop; none that has ended
    bool m_loopDeletes = false;
    int m_wakeFd = -1; // rung on a connection's end while the loop waits for room, else -1
    int m_pollFd = -1;
    int m_loopWakeFd = -1;
    qint64 m_loopWakesAt = -1; // the loop's next planned wake-up (monotonic ms), -1 none
    // (deadline, connection) of the parked connections, per rank.
    std::set<std::pair<qint64, ZRConnection *>> m_parked[Ranks];
    const std::shared_ptr<ZRWorkerPool> m_pool;
    std::atomic<ZRServer *> m_server;
    std::atomic<int> m_inside { 0 }; // threads inside the server's code
};

#endif // ZRCONNECTIONTABLE_P_H
