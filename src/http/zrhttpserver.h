#ifndef ZRHTTPSERVER_H
#define ZRHTTPSERVER_H

#include "zrhttperror.h"
#include "zrhttpmultipart.h"
#include "zrhttppart.h"
#include "zrhttpreply.h"
#include "zrhttprequest.h"
#include "zrserver.h"

#include <QMutex>

#include <functional>
#include <memory>
#include <optional>

class ZRHttpConnection;
struct ZRHttpBodyPlan;
// Private to the library: what a router judges of a request's head (see zrhttpheadcheck_p.h).
using ZRHttpHeadCheck
    = std::function<std::optional<ZRHttpReply>(const ZRHttpRequest &head, ZRHttpBodyPlan *plan)>;

// A minimal HTTP/1.x server, with persistent connections.
//
// Each connection's bytes are gathered until a whole request has arrived (header
// block, and the body that Content-Length or chunked transfer coding declares),
// then emitted as connectionThread(ZRHttpRequest, ZRSocketThread*). The
// application answers exactly once with sendReply(). Connect with
// Qt::DirectConnection to answer on the connection's thread, or with a queued
// connection to answer later from another thread; ZRHttpRequest is registered
// for that.
//
// Connections have no thread of their own. A pool of threads serves them, each
// thread one connection at a time, while the connection has something to do:
// from its first bytes until the application lets go of its request, and while
// its reply goes out. A connection that waits for its client (for a first byte,
// the next request after a short grace, the rest of a request, or room for more
// of a reply) waits in the accept loop's poll set, costing its descriptor and
// a little memory. The ZRSocketThread* handed over is the connection's handle,
// the same for all its requests: next(), stop(), clientSocket() and
// remoteAddress() work as for a thread of its own, but it never runs itself
// (wait() returns at once); it emits finished() when the connection ends and
// is deleted then. A slot may hold the request and run an event loop on the
// thread serving it (see ZRSocketThread); once the slots have returned without
// answering (a queued receiver, a stream), the thread goes on to other
// connections, and the answer from any thread picks the connection up again.
//
// A ZRHttpReply leaves the connection open when the request allows it (HTTP/1.1
// without "Connection: close", HTTP/1.0 with "Connection: keep-alive", and not a
// POST, PUT or PATCH without Content-Length or chunks, nor HTTP/1.0 chunks) and the
// reply does not say "Connection: close": the connection then reads the next
// request, emitted with the same ZRSocketThread*. Requests that arrive before the
// previous answer went out (pipelined) are answered in order. A streamed reply
// (ZRHttpReply::stream()) keeps the connection until its producer ends it, its
// client goes or the server stops, holding no thread while it waits for either,
// and counts toward maxConnections() like any reply going out. The other
// sendReply() forms send precisely the bytes given (no status line or header is
// added) and end the connection.
//
// A request that cannot be served emits error(int) with a ZRHttpError code and
// is answered by the server itself with "Connection: close", a Date and its
// reason phrase as a line of text, then ended (the statuses are listed in zrhttperror.h). error(-901) means a
// reply could not be sent whole; it may come after sendReply() has returned,
// from the thread that saw the reply through.
//
// A request's head must arrive within requestTimeout() of its first byte (the
// first one of a connection: of the accept), and its body at minimumReceiveRate()
// after that, or the connection is closed without an answer. A router serving
// the server judges each head before any of the body is read (its before-hooks,
// its body limits; see ZRHttpRouter). The time does not run while the application holds a
// complete request. A client that stops reading a reply for that long, or takes
// it more slowly than minimumSendRate(), makes the reply fail with -901. A
// connection idle between two requests for keepAliveTimeout() is closed.
//
// At most maxConnections() connections are held at once (10,000 unless set, and
// fewer than the open-file limit allows; see ZRServer), and at most
// maxConnectionThreads() threads serve them (1,024 unless set); a connection
// with something to do while all are busy waits for one. When the connections
// are at their cap and another client waits, the server ends the connection idle
// longest between two requests, or else the one whose request started longest
// ago and is still incomplete (or not begun). A connection whose whole request
// has arrived is never ended to make room, nor one whose reply goes out: a
// client that sent a request gets its answer.
//
// Replies leave at once, without waiting for the client's acknowledgement of
// what went before (TCP_NODELAY), a file's head in one segment with the start
// of the file. The server's threads keep SIGPIPE blocked, so that files go out
// with sendfile() at no extra cost: a write to a closed pipe on one fails with
// EPIPE instead. Over HTTPS, a client that speaks plain HTTP is answered 400 in
// plain text, saying that the port speaks HTTPS, and the connection ends.
//
// A connection the server ends after an answer (one that says "Connection:
// close", a refusal) stops sending, then reads and drops what the client still
// sends for up to two seconds before it closes, so that the client reads the
// whole answer rather than a reset.
//
// Stopping the server closes the connections that wait for a first byte or for
// their next request, ends open streams (their producers see closed()) and closes
// open WebSockets with 1001 (see ZRWebSocket); the
// others are served to their end: a request held or arriving then is answered
// with "Connection: close", and no request begins on its connection after it. Destroying the server
// stops it, closes without an answer every connection whose request is still
// arriving, and waits until no connection's thread is inside its code. Requests
// already handed to the application stay the application's to answer; do so
// before destroying the server (see waitForConnections()), or answer on the
// handle's socket and call its stop().
class ZRNET_EXPORT ZRHttpServer : public ZRServer
{
    Q_OBJECT
public:
    using ErrorCode = ZRHttpError;

    ZRHttpServer();
    ~ZRHttpServer() override;

    // Each form sends the bytes, then stops the thread, which must not be
    // used afterwards.
    void sendReply(const QByteArray &bytes, ZRSocketThread *thread);
    void sendReply(const ZRHttpPart &part, ZRSocketThread *thread);
    void sendReply(const ZRHttpMultiPart &multiPart, ZRSocketThread *thread);
    // To a HEAD request, the reply's head() only; a body file is sent from the file. The server
    // writes the Connection header, unless the reply sets one, and keeps the connection open
    // when it can (see above); the thread must not be used afterwards either way.
    void sendReply(const ZRHttpReply &reply, ZRSocketThread *thread);

    // Largest request body accepted (default 1 MiB); larger ones get 413.
    void setMaxBodySize(qint64 bytes);
    qint64 maxBodySize() const;
    // Time a request has to arrive whole, from the accept (default 30 s).
    void setRequestTimeout(int milliseconds);
    int requestTimeout() const;
    // Time a connection may stay idle between two requests (default 5 s); 0 turns
    // keep-alive off, and every reply closes its connection.
    void setKeepAliveTimeout(int milliseconds);
    int keepAliveTimeout() const;
    // Requests served on one connection (default 1,000, at least 1); the last reply says
    // "Connection: close".
    void setMaxRequestsPerConnection(int count);
    int maxRequestsPerConnection() const;
    // The least a client must take of a reply of 64 KiB or more, in bytes a second (default
    // 1 KiB/s; 0 sets no minimum), counted in the bytes its end acknowledged, on average over
    // each requestTimeout() after the first since the reply began. A reply that falls behind,
    // or whose client takes nothing for a requestTimeout(), fails with -901.
    void setMinimumSendRate(qint64 bytesPerSecond);
    qint64 minimumSendRate() const;
    // The least rate at which a request's body must arrive once its head has, in bytes a second
    // (default 1 KiB/s): each byte buys 1/rate of a second beyond requestTimeout(), so a large
    // upload gets the time its size needs, and one that stalls for requestTimeout() past its
    // pace is ended. 0 sets no rate: the whole request then has requestTimeout().
    void setMinimumReceiveRate(qint64 bytesPerSecond);
    qint64 minimumReceiveRate() const;

    // HTTPS on the same port: every connection accepted from now on speaks TLS 1.2 or 1.3 with
    // this certificate (the server's first, then any intermediates) and its private key, both
    // PEM; connections already open keep theirs, so a renewed certificate applies without a
    // restart. The handshake counts toward the first request's timeout. False, with the reason
    // in errorText(), when the PEM does not parse or the key does not match the certificate;
    // the server then stays as it was. Requests, replies and the ZRSocketThread handed over are
    // the same as over plain TCP; only the bytes on the thread's clientSocket() are encrypted,
    // so answer through sendReply() rather than writing there.
    bool setTlsCertificate(const QByteArray &certificateChainPem, const QByteArray &privateKeyPem);
    bool isTls() const;

signals:
    void connectionThread(ZRHttpRequest request, ZRSocketThread *thread);
    void error(int error);

private:
    friend class ZRHttpConnection;
    friend class ZRHttpRouter;
    void endGatheringConnections();
    // The router's, for every request's head; null when none serves the server.
    void setHeadCheck(std::shared_ptr<const ZRHttpHeadCheck> check);
    std::shared_ptr<const ZRHttpHeadCheck> headCheck() const;

    std::atomic<qint64> m_maxBodySize;
    std::atomic<int> m_requestTimeout;
    std::atomic<int> m_keepAliveTimeout;
    std::atomic<int> m_maxRequestsPerConnection;
    std::atomic<qint64> m_minimumSendRate;
    std::atomic<qint64> m_minimumReceiveRate;
    mutable QMutex m_headCheckMutex; // guards m_headCheck
    std::shared_ptr<const ZRHttpHeadCheck> m_headCheck;
};

#endif // ZRHTTPSERVER_H
