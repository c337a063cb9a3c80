#ifndef ZRSERVER_H
#define ZRSERVER_H

#include "zrnet_global.h"
#include "zrsocketthread.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class ZRAcceptLoop;
class ZRConnection;
class ZRConnectionTable;
class ZRTlsContext;

// A threaded TCP server on one address (IPv4 or IPv6) and port.
//
// Two ways to serve:
//  - listenConnections() runs the accept loop on the calling thread and blocks it until stop()
//    is called from another thread;
//  - start() listens on the calling thread and runs the accept loop on a thread of its own, so
//    a Qt application's main thread keeps running its event loop.
// Every accepted connection gets a ZRSocketThread of its own; its messages are re-emitted
// through this object's connectionThread signal on the connection's thread (see ZRSocketThread
// for the next()/stop() hand-over every receiver must follow). The objects of ended
// connections are released by the accept loop while it runs; connections still running when
// the loop ends are released by the next connection thread to end after them (no event loop is
// needed), the last ones at the process's exit.
//
// A stopped server cannot listen again. Destroying a server stops it and waits until no
// connection thread is inside its signal; connections still running then go on, and one that
// receives anything more is ended, as nobody is left to answer it.
class ZRNET_EXPORT ZRServer : public QObject
{
    Q_OBJECT
public:
    ZRServer();
    ~ZRServer() override;

    // 0 after stop(); -1 when listening cannot start (the cause is in
    // ZRSocket::lastError() / lastErrorNumber(), and in errorText()), or when a descriptor the
    // accept loop needs cannot be made (the cause in errorText() only).
    int listenConnections(QString address, int port, int backlog);
    // Creates, binds and listens on the calling thread, then runs the accept loop on a thread
    // of its own and returns the listening descriptor; -1 when listening cannot start (as
    // listenConnections), or when this server is stopped or already listening (the cause in
    // errorText() only). The loop holds every descriptor it needs before this returns.
    int start(QString address, int port, int backlog);
    // The listening descriptor: 0 when not listening, -1 after a failed start.
    int socket() const;
    // The port the server listens on (the one the system chose for port 0); 0 when not
    // listening.
    quint16 serverPort() const;
    // Ends the accept loop and returns once it has ended; from any thread, the one that called
    // start() included. Running connections are not touched; each ends on its own.
    void stop();
    // True once no connection of this server is running (after stop(), the graceful end of a
    // shutdown); false when msecs pass first. A negative msecs waits without limit.
    bool waitForConnections(int msecs);

    // Receive timeout given to every accepted socket (0, the default, is none):
    // a connection idle that long in recv ends as if the peer had closed.
    void setReceiveTimeout(int seconds);
    int receiveTimeout() const;

    // Stack size of connection threads started from now on; 0 is the system's default (8 MiB
    // on most Linux systems). The default, 256 KiB, is over ten times what the deepest path
    // through the library needs: a request parsed with every debug category on, handed to a
    // slot that parses its body nested as deep as ZRHttpRequest::json() allows (64 levels),
    // builds a JSON reply, logs through qDebug() and Logger, and sends it, ran on a 24 KiB
    // stack and failed on 20 KiB (measured by running it on ever smaller stacks). It
    // keeps a thread start cheap: glibc keeps up to 40 MiB of freed stacks for reuse, 160
    // threads at this size, where 8 MiB stacks are mapped and unmapped for every connection.
    // Raise it for slots that put large arrays on the stack or recurse deeply.
    void setThreadStackSize(uint bytes);
    uint threadStackSize() const;

    // At most this many connections are held at once (0, the default, is no cap; ZRHttpServer
    // holds 10,000 unless told otherwise), and always fewer than the process may open
    // descriptors: the server raises its open-file limit to the hard limit when it starts
    // listening, where the system allows, and keeps an eighth of it for other uses. While the
    // cap is reached the accept loop accepts nothing: new clients wait in the kernel's queue,
    // up to the backlog, and are accepted as soon as a connection ends. A connection counts
    // until its socket is closed, so a request the application holds counts too.
    // (ZRHttpServer, which knows what its connections are doing, makes room for a waiting
    // client instead.)
    void setMaxConnections(int count);
    int maxConnections() const;
    // At most this many threads serve connections at once (0, the default, is no cap; 1,024
    // for ZRHttpServer). Here each connection has a thread of its own, so this caps the
    // connections too; ZRHttpServer's connections need a thread only while they have
    // something to do, and wait for one when all are busy.
    void setMaxConnectionThreads(int count);
    int maxConnectionThreads() const;

    QString errorText() const;

signals:
    void connectionThread(char *clientMessage, ZRSocketThread *thread);

private:
    friend class ZRAcceptLoop;
    friend class ZRConnectionTable;
    friend class ZRHttpConnection;
    friend class ZRHttpServer;
    friend class ZRServerHandover;
    // Makes the connection for an accepted socket, in a server that serves its protocol itself.
    using ConnectionMaker = ZRConnection *(*)(ZRServer &server, int socket, const QString &address);

    void setReceiveTimeoutMs(int milliseconds);
    void setErrorText(const QString &text);
    bool claimLoop();
    int openListeningSocket(const QString &address, int port, int backlog);
    std::unique_ptr<ZRAcceptLoop> prepareLoop(const QString &address, int port, int backlog);
    void acceptLoop(ZRAcceptLoop &loop, int socket);
    // A connection's message: to the connection's own handling first, then to the signal.
    // True when the signal carried it: receivers may hold the bytes until they answer.
    bool relay(ZRConnection &connection, char *message, int size);
    // Whether the raw message signal has receivers.
    bool messagesHeard() const;
    ZRSocketThread *startConnection(int socket, const QString &address);
    // Connections accepted from now on speak TLS with it (null: plain TCP).
    void setTlsContext(std::shared_ptr<const ZRTlsContext> context);
    std::shared_ptr<const ZRTlsContext> tlsContext() const;

    std::atomic<bool> m_running { true }; // cleared once, by stop(), on any thread
    std::atomic<bool> m_loopClaimed { false }; // a loop runs, or start() is making one
    QMutex m_loopMutex; // held by the accept loop for its whole run
    std::atomic<int> m_listenSocket { 0 }; // closed only by the accept loop that uses it
    std::atomic<quint16> m_port { 0 };
    std::atomic<QThread *> m_loopThread { nullptr }; // made by start(), deleted with the server
    mutable QMutex m_errorMutex;
    QString m_errorText; // guarded by m_errorMutex
    std::atomic<int> m_receiveTimeoutMs { 0 };
    std::atomic<uint> m_stackSize;
    std::atomic<int> m_maxConnections { 0 };
    std::atomic<int> m_maxConnectionThreads { 0 };
    // Set once, before listening, by a server that serves its protocol itself (ZRHttpServer):
    // its connections are served by the table's threads, which need one only while there is
    // something to do, and at the cap a waiting client ends a connection that does nothing
    // useful.
    ConnectionMaker m_makeConnection = nullptr;
    // Set once, before listening, by a server whose answers must not wait for the peer's
    // acknowledgement of what went before, and may be whole files: accepted sockets inherit
    // TCP_NODELAY and a larger send buffer from the listening one.
    bool m_repliesAtOnce = false;
    const int m_wakeUp; // eventfd: stop(), ending and parking connections wake the accept loop
    const int m_wakeUpError; // errno, when it could not be made
    const std::shared_ptr<ZRConnectionTable> m_connections;
    // Replaced whole by any thread while the accept loop reads it: only through
    // std::atomic_load/atomic_store.
    std::shared_ptr<const ZRTlsContext> m_tlsContext;
};

#endif // ZRSERVER_H
