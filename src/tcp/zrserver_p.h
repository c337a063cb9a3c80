#ifndef ZRSERVER_P_H
#define ZRSERVER_P_H

#include "zrnet_global.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QSet>
#include <QVector>
#include <QWaitCondition>

class QString;
class ZRServer;
class ZRSocketThread;

// Serves an already connected descriptor (one end of a socket pair, say) as the accept loop
// serves an accepted one: a connection thread of the server's, started at once. Tests and
// fuzzers drive a whole server through it without a listening socket.
class ZRNET_AUTOTEST_EXPORT ZRServerHandover
{
public:
    // The connection's thread, or null when none could be started (the descriptor is closed
    // then). The pointer is valid until the connection has ended; while no accept loop runs,
    // until the calling thread next carries out deferred deletions.
    static ZRSocketThread *startConnection(ZRServer &server, int socket, const QString &address);
};

// State a server subclass keeps with each of its connections, owned by the connection object.
// It is created and used on the connection's own thread.
class ZRConnectionData
{
public:
    virtual ~ZRConnectionData();
    // The receive timeout for the connection's next read; -1 leaves it as it is.
    virtual qint64 readTimeoutMs() const { return -1; }
};

// Milliseconds on the monotonic clock, comparable across threads.
inline qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

// The connections of one server, shared with the connections themselves, which may outlive the
// server. All members are guarded by `mutex`.
//
// While the accept loop runs it deletes its ended connections itself, rather than through
// deferred deletion: the loop thread runs no event loop, and posting one event per connection
// to it would pile up there. Once the loop has returned, an ending connection schedules its
// own deletion.
//
// A connection reaches the server only through enter()/leave(), so whoever is destroying the
// server can wait until no connection thread is inside its code any more.
class ZRServerConnections
{
public:
    // The server a connection may call into, counted as entered; null once the server has
    // been detached, and then nothing is entered.
    ZRServer *enter();
    void leave();
    // A connection's message, to the server's signal (entered, or the connection is stopped).
    void relay(char *message, ZRSocketThread *thread);
    // From the server's destruction: no connection enters from now on, and this returns once
    // none is inside (not counting the calling thread, should it be one of them).
    void detach();

    void add(ZRSocketThread *thread);
    // On the connection's thread, before its socket is closed: the connection no longer counts
    // as running. It is deleted by the accept loop, or else after its thread has finished.
    void ending(ZRSocketThread *thread);

    // Both wait on `changed` under `mutex`; msecs < 0 waits without limit.
    bool waitUntilNoneRunning(int msecs);

    // Called by the accept loop: deletes the connections that have ended since.
    void deleteEnded(bool waitForAll = false);
    // The accept loop starts (true) or ends (false) deleting ended connections itself.
    void setLoopDeletes(bool on);

    mutable QMutex mutex;
    QWaitCondition changed; // a connection ended, or one left the server's code
    QSet<ZRSocketThread *> running;
    QVector<ZRSocketThread *> ended; // ended, waiting for the accept loop to delete them
    ZRServer *server = nullptr;
    int inside = 0; // connection threads inside the server's code
    bool loopDeletes = false;
    bool waitingForRoom = false; // the accept loop sleeps on wakeFd while the cap is reached
    int wakeFd = -1; // the accept loop's eventfd; the server owns it
};

#endif // ZRSERVER_P_H
