#ifndef ZRCONNECTION_P_H
#define ZRCONNECTION_P_H

#include "zrnet_global.h"

#include <QtGlobal>

#include <atomic>
#include <memory>

class ZRConnectionTable;
class ZRServer;
class ZRSocketThread;

// What a thread serving connections lends to the one it serves: the buffer its messages are
// read into, which stays valid while a message is held.
struct ZRWorker
{
    enum { MessageCapacity = 1024 };
    char buffer[MessageCapacity + 1];
};

// One connection of a server, from its accept to its close, and its entry in the server's
// connection table. Its ZRSocketThread is the handle the application knows it by, the same for
// all the connection's messages and requests.
//
// A connection is in exactly one phase; the server's table, its eviction and the accept loop
// look at nothing else, and deadline() derives from it the one time by which the connection
// must have moved on. A raw TCP server's connection is served by its handle's own thread and
// only counts in the table; a server that knows its protocol (ZRHttpConnection) serves it in
// serve().
class ZRConnection
{
public:
    // How long a thread serving connections waits for a connection's next bytes before the
    // connection parks: a busy client's next request comes at once, and keeps its thread.
    static constexpr int GraceMs = 20;

    enum Phase : quint8 {
        FirstByte, // waiting for a request's first byte (over TLS, for the handshake first)
        Reading, // a request's bytes are arriving
        Held, // a whole request is with the application
        Sending, // the answer is going out
        Idle, // answered, kept open for the next request
        Closing, // answered and ended by the server: what the client still sends is dropped
        Streaming, // a body produced while it goes out: waits for its producer and its client
    };

    ZRConnection(int socket, const QString &address, std::shared_ptr<ZRConnectionTable> table);
    virtual ~ZRConnection();
    ZRConnection(const ZRConnection &) = delete;
    ZRConnection &operator=(const ZRConnection &) = delete;

    Phase phase() const { return m_phase.load(std::memory_order_acquire); }
    // The one time by which the connection must have moved on (monotonic ms), from its phase;
    // NoDeadline when nothing bounds it.
    virtual qint64 deadline() const;
    // Served by its handle's thread (the raw receive loop), not by serve().
    virtual bool servesItself() const { return true; }
    // Runs on a thread of the server's until the connection waits for its socket or has ended;
    // the connection may be gone when it returns.
    virtual void serve(ZRWorker &worker);
    // A message of the connection, inside the server, before the server's signal carries it
    // to the application's receivers.
    virtual void received(ZRServer &server, const char *message, int size);

    int socket() const;
    ZRSocketThread *handle() const { return m_handle; }
    ZRConnectionTable &table() const { return *m_table; }
    // Ends the connection: says goodbye as its protocol does (over TLS, close_notify), then
    // release()s it. From whoever holds the connection: its thread, or the accept loop.
    virtual void end();
    // Out of the table, the socket closed, and the connection deleted now or (served by a
    // thread of its own) once that thread has finished.
    void release();
    // No thread could be started to serve it: it ends unserved.
    void abandon();
    // From the accept loop as it ends, for a parked connection it hands on to be served to its
    // end: the connection says what its protocol says to a server going away (a WebSocket's
    // close), before the server can be destroyed.
    virtual void serverStopping() { }

    // The answer to a message handed over (its handle's next() or stop()), between the thread
    // that handed it over and whoever answers, without a lock: the thread either waits for the
    // answer, or lets go of the connection when none has come as its receivers return; then
    // the answer hands the connection to a thread of the pool.
    // From the handle's next() and stop(): true when the thread is to be woken (else the
    // connection has gone to the pool).
    bool answer();
    // From the thread that handed the message over: true when it may let go (no answer yet);
    // else the answer has come or is coming, and the thread takes it with answerTaken().
    bool letGo();
    void answerTaken() { m_answer.store(Awaited, std::memory_order_release); }

protected:
    // The first step of release(), while the socket is still open: whoever else may reach the
    // connection lets go of it.
    virtual void leaving() { }
    // stamped: the phase's start is noted, for a deadline that counts from it.
    void setPhase(Phase phase, bool stamped = true);
    qint64 phaseSince() const { return m_phaseSince; }

private:
    friend class ZRConnectionTable;

    enum Answer : quint8 { Awaited, Answered, LetGo };

    ZRSocketThread *const m_handle; // owned
    std::atomic<Answer> m_answer { Awaited };
    const std::shared_ptr<ZRConnectionTable> m_table;
    std::atomic<Phase> m_phase { FirstByte }; // written by whoever serves it, read by anyone
    qint64 m_phaseSince; // monotonic ms; with the phase, by whoever serves it
    // The table's, guarded by its mutex: its list of connections, and the poll set.
    ZRConnection *m_previous = nullptr;
    ZRConnection *m_next = nullptr;
    qint64 m_parkedUntil = 0;
    qint8 m_parkedRank = -1; // -1: not parked
    bool m_inPollSet = false; // the socket was added to the poll set
};

#endif // ZRCONNECTION_P_H
