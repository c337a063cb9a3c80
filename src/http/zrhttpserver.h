#ifndef ZRHTTPSERVER_H
#define ZRHTTPSERVER_H

#include "zrhttpmultipart.h"
#include "zrhttppart.h"
#include "zrhttpreply.h"
#include "zrhttprequest.h"
#include "zrserver.h"

#include <memory>

struct ZRHttpServerConnections;
struct ZRHttpParsedRequest;
struct ZRHttpGathering;

// A minimal HTTP/1.x server: one request per connection.
//
// Each connection's bytes are gathered on the connection's own thread until a
// whole request has arrived (header block, and the body that Content-Length or
// chunked transfer coding declares), then emitted as
// connectionThread(ZRHttpRequest, ZRSocketThread*). The application answers
// exactly once with sendReply(), which sends precisely the bytes given (no
// status line or header is added) and ends the connection. Connect with
// Qt::DirectConnection to answer on the connection thread, or with a queued
// connection to answer later from another thread; ZRHttpRequest is registered
// for that.
//
// A request that cannot be served emits error(int) and is answered by the
// server itself with "Connection: close" and an empty body, then ended:
//   -902 malformed request line      400 Bad Request
//   -903 unknown method              501 Not Implemented
//   -904 protocol other than HTTP    400 Bad Request
//   -905 header line without colon   400 Bad Request
//   -906 header block over 8 KiB     431 Request Header Fields Too Large
//   -907 body over maxBodySize()     413 Content Too Large
//   -908 unusable body framing       400 Bad Request (501 for an unknown transfer coding)
// error(-901) means a reply could not be sent whole.
//
// A request must arrive whole within requestTimeout() of the accept, or the
// connection is closed without an answer. The time does not run while the
// application holds a complete request. A client that stops reading a reply
// for that long makes sendReply() fail with -901.
//
// Requests are parsed on connection threads, inside this object: destroy it
// only once stop() has returned and its connections have ended.
class ZRNET_EXPORT ZRHttpServer : public ZRServer
{
    Q_OBJECT
public:
    enum ErrorCode {
        SendError = -901,
        MalformedRequest = -902,
        BadRequestType = -903,
        InvalidRequestProtocol = -904,
        InvalidRequestHeader = -905,
        HeaderBlockTooLarge = -906,
        BodyTooLarge = -907,
        BadBodyFraming = -908
    };

    ZRHttpServer();
    ~ZRHttpServer() override;

    // Each form sends the bytes, then stops the thread, which must not be
    // used afterwards.
    void sendReply(const QByteArray &bytes, ZRSocketThread *thread);
    void sendReply(const ZRHttpPart &part, ZRSocketThread *thread);
    void sendReply(const ZRHttpMultiPart &multiPart, ZRSocketThread *thread);
    // To a HEAD request, the reply's head() only.
    void sendReply(const ZRHttpReply &reply, ZRSocketThread *thread);

    // Largest request body accepted (default 1 MiB); larger ones get 413.
    void setMaxBodySize(qint64 bytes);
    qint64 maxBodySize() const;
    // Time a request has to arrive whole, from the accept (default 30 s).
    void setRequestTimeout(int milliseconds);
    int requestTimeout() const;

signals:
    void connectionThread(ZRHttpRequest request, ZRSocketThread *thread);
    void error(int error);

private slots:
    void dispatchRequest(char *clientMessage, ZRSocketThread *thread);

private:
    ZRHttpGathering &gatheringFor(ZRSocketThread *thread);
    void awaitMore(ZRSocketThread *thread, ZRHttpGathering &request);
    void refuse(ZRSocketThread *thread, int code, int status);
    void emitRequest(const ZRHttpParsedRequest &parsed, ZRSocketThread *thread);
    bool answersHead(ZRSocketThread *thread) const;

    // Requests being gathered, one per connection thread.
    const std::shared_ptr<ZRHttpServerConnections> m_connections;
    std::atomic<qint64> m_maxBodySize;
    std::atomic<int> m_requestTimeout;
};

#endif // ZRHTTPSERVER_H
