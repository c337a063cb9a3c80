#ifndef ZRHTTPSERVER_H
#define ZRHTTPSERVER_H

#include "zrhttperror.h"
#include "zrhttpmultipart.h"
#include "zrhttppart.h"
#include "zrhttpreply.h"
#include "zrhttprequest.h"
#include "zrserver.h"

#include <memory>

struct ZRHttpParsedRequest;
class ZRHttpConnection;

// A minimal HTTP/1.x server, with persistent connections.
//
// Each connection's bytes are gathered on the connection's own thread until a
// whole request has arrived (header block, and the body that Content-Length or
// chunked transfer coding declares), then emitted as
// connectionThread(ZRHttpRequest, ZRSocketThread*). The application answers
// exactly once with sendReply(). Connect with Qt::DirectConnection to answer on
// the connection thread, or with a queued connection to answer later from
// another thread; ZRHttpRequest is registered for that.
//
// A ZRHttpReply leaves the connection open when the request allows it (HTTP/1.1
// without "Connection: close", HTTP/1.0 with "Connection: keep-alive", and not a
// POST, PUT or PATCH without Content-Length or chunks, nor HTTP/1.0 chunks) and the
// reply does not say "Connection: close": the connection's thread then reads the
// next request, emitted with the same ZRSocketThread*. Requests that arrive
// before the previous answer went out (pipelined) are answered in order. The
// other sendReply() forms send precisely the bytes given (no status line or
// header is added) and end the connection.
//
// A request that cannot be served emits error(int) with a ZRHttpError code and
// is answered by the server itself with "Connection: close" and an empty body,
// then ended (the statuses are listed in zrhttperror.h). error(-901) means a
// reply could not be sent whole.
//
// A request must arrive whole within requestTimeout() of its first byte (the
// first one of a connection: of the accept), or the connection is closed
// without an answer. The time does not run while the application holds a
// complete request. A client that stops reading a reply for that long, or takes
// it more slowly than minimumSendRate(), makes sendReply() fail with -901. A
// connection idle between two requests for keepAliveTimeout() is closed.
//
// At most maxConnections() connections run at once (1,024 unless set; see
// ZRServer). A connection gets its thread once its first bytes arrive; until
// then the accept loop watches it. When the cap is reached and another client
// waits, the server ends the connection idle longest between two requests, or
// else the one whose request started longest ago and is still incomplete, or
// else one whose client has taken nothing of its reply for requestTimeout(); a
// request the application holds, or a reply that moves, is never cut short.
//
// Replies leave at once, without waiting for the client's acknowledgement of
// what went before (TCP_NODELAY), a file's head in one segment with the start
// of the file. Connection threads keep SIGPIPE blocked, so that files go out with
// sendfile() at no extra cost: a write to a closed pipe on one fails with EPIPE
// instead. Over HTTPS, a client that speaks plain HTTP is answered 400 in plain
// text, saying that the port speaks HTTPS, and the connection ends.
//
// Destroying the server stops it, closes without an answer every connection
// whose request is still arriving, and waits until no connection thread is
// inside its code. Requests already handed to the application stay the
// application's to answer; do so before destroying the server (see
// waitForConnections()), or answer on the thread's socket and call its stop().
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

private slots:
    void dispatchRequest(char *clientMessage, ZRSocketThread *thread);

private:
    ZRHttpConnection &connectionOf(ZRSocketThread *thread);
    void awaitMore(ZRSocketThread *thread, ZRHttpConnection &connection);
    void refuse(ZRSocketThread *thread, ZRHttpError code, int status);
    void answerAndEnd(ZRSocketThread *thread, const QByteArray &answer);
    void dropWhatIsStillComing(ZRSocketThread *thread);
    void send(ZRSocketThread *thread, const QByteArray &bytes, bool keepOpen);
    void beginReply(ZRSocketThread *thread, qint64 bytes);
    void emitRequest(const ZRHttpParsedRequest &parsed, ZRSocketThread *thread);
    // -901 unless sent; then the connection ends, or waits, idle, for its next request.
    void endReply(bool sent, ZRSocketThread *thread, bool keepOpen);
    void endGatheringConnections();

    std::atomic<qint64> m_maxBodySize;
    std::atomic<int> m_requestTimeout;
    std::atomic<int> m_keepAliveTimeout;
    std::atomic<int> m_maxRequestsPerConnection;
    std::atomic<qint64> m_minimumSendRate;
};

#endif // ZRHTTPSERVER_H
