#include "zrhttpserver.h"
#include "zrhttprequestparser_p.h"
#include "zrlogging_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrtlscontext_p.h"

#include <QDeadlineTimer>

#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <utility>

namespace {

constexpr int DefaultRequestTimeoutMs = 30000;
constexpr int DefaultMaxConnections = 1024;
// After refusing a request the server reads and drops what the client is still
// sending, for at most this long and this much, so that closing with unread
// data does not reset the connection before the client has read the answer.
constexpr int LingerMs = 1000;
constexpr qint64 LingerBytes = 1024 * 1024;

// Without a Date, unlike a ZRHttpReply: these bytes are fixed, so clients can rely on them.
QByteArray statusReply(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + ZRHttpReply::reasonPhrase(status)
        + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

void dropWhatIsStillComing(int socket)
{
    ::shutdown(socket, SHUT_WR);
    QDeadlineTimer deadline(LingerMs);
    qint64 dropped = 0;
    char scratch[4096];
    while (dropped < LingerBytes && !deadline.hasExpired()) {
        if (ZRSocketPrivate::waitFor(socket, POLLIN, int(deadline.remainingTime())) <= 0)
            break;
        const ssize_t n
            = ZRSocketPrivate::recvRetrying(socket, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n < 0 && errno == EAGAIN)
            continue;
        if (n <= 0)
            break;
        dropped += n;
    }
}

} // namespace

// A connection's request in the making, kept with the connection and used on its thread only,
// but for `handed`, which the server's destruction reads once no connection is inside it.
class ZRHttpConnection : public ZRConnectionData
{
public:
    ZRHttpConnection(qint64 maxBodySize, qint64 timeLeftMs) { restart(maxBodySize, timeLeftMs); }
    void restart(qint64 maxBodySize, qint64 timeLeftMs)
    {
        parser = ZRHttpRequestParser(maxBodySize);
        restartClock(timeLeftMs);
        described = false;
        continueSent = false;
    }
    void restartClock(qint64 timeLeftMs)
    {
        deadline
            = timeLeftMs > 0 ? QDeadlineTimer(timeLeftMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    }

    ZRHttpRequestParser parser;
    QDeadlineTimer deadline;
    bool described = false;
    bool continueSent = false;
    // A further request on the connection starts its clock with its first piece, however
    // long the application held the previous one before calling next().
    bool clockAwaitsFirstPiece = false;
    bool receiveTimeoutShortened = false; // below the request timeout the accept gave it
    std::atomic<bool> handed { false }; // a complete request is with the application
    // Whether the request being answered is a HEAD; set before it is emitted.
    bool answeringHead = false;
};

ZRHttpServer::ZRHttpServer()
    : m_maxBodySize(ZRHttpRequestParser::defaultMaxBodySize),
      m_requestTimeout(DefaultRequestTimeoutMs)
{
    // By name, so that queued connections can carry a request to another thread.
    qRegisterMetaType<ZRHttpRequest>("ZRHttpRequest");
    setReceiveTimeoutMs(DefaultRequestTimeoutMs);
    setMaxConnections(DefaultMaxConnections);
    connect(this, &ZRServer::connectionThread, this, &ZRHttpServer::dispatchRequest,
        Qt::DirectConnection);
}

// Before any member goes: connections parse inside this object.
ZRHttpServer::~ZRHttpServer()
{
    stop();
    m_connections->detach();
    endGatheringConnections();
}

// No connection is inside the server now, so none changes its state while this looks.
void ZRHttpServer::endGatheringConnections()
{
    QMutexLocker lock(&m_connections->mutex);
    for (ZRSocketThread *thread : qAsConst(m_connections->running)) {
        const auto *connection = static_cast<const ZRHttpConnection *>(thread->m_data.get());
        if (!connection || !connection->handed)
            ::shutdown(thread->clientSocket(), SHUT_RDWR); // its thread then closes it
    }
}

void ZRHttpServer::setMaxBodySize(qint64 bytes)
{
    m_maxBodySize = qMax<qint64>(0, bytes);
}

qint64 ZRHttpServer::maxBodySize() const
{
    return m_maxBodySize;
}

void ZRHttpServer::setRequestTimeout(int milliseconds)
{
    m_requestTimeout = qMax(0, milliseconds);
    setReceiveTimeoutMs(m_requestTimeout);
}

int ZRHttpServer::requestTimeout() const
{
    return m_requestTimeout;
}

bool ZRHttpServer::setTlsCertificate(
    const QByteArray &certificateChainPem, const QByteArray &privateKeyPem)
{
    QString error;
    std::shared_ptr<const ZRTlsContext> context
        = ZRTlsContext::create(certificateChainPem, privateKeyPem, &error);
    if (!context) {
        setErrorText(error);
        return false;
    }
    setTlsContext(std::move(context));
    return true;
}

bool ZRHttpServer::isTls() const
{
    return tlsContext() != nullptr;
}

void ZRHttpServer::sendReply(const QByteArray &bytes, ZRSocketThread *thread)
{
    if (!thread->send(bytes)) {
        qCDebug(lcHttp, "%s", toString(ZRHttpError::SendError));
        emit error(int(ZRHttpError::SendError));
    }
    thread->stop();
}

void ZRHttpServer::sendReply(const ZRHttpPart &part, ZRSocketThread *thread)
{
    sendReply(part.toByteArray(), thread);
}

void ZRHttpServer::sendReply(const ZRHttpMultiPart &multiPart, ZRSocketThread *thread)
{
    sendReply(multiPart.toByteArray(), thread);
}

void ZRHttpServer::sendReply(const ZRHttpReply &reply, ZRSocketThread *thread)
{
    sendReply(answersHead(thread) ? reply.head() : reply.toByteArray(), thread);
}

// Runs on the connection's thread, once for every piece it receives.
void ZRHttpServer::dispatchRequest(char *clientMessage, ZRSocketThread *thread)
{
    ZRHttpConnection &connection = connectionOf(thread);
    connection.handed = false;
    if (connection.clockAwaitsFirstPiece) {
        connection.clockAwaitsFirstPiece = false;
        connection.restartClock(m_requestTimeout);
    }
    ZRHttpRequestParser &parser = connection.parser;
    const auto status = parser.feed(clientMessage, thread->messageSize());
    if (!connection.described && parser.hasRequestLine()) {
        connection.described = true;
        qCDebug(lcHttp, "Request description: %s", parser.request().requestLine.constData());
    }
    switch (status) {
    case ZRHttpRequestParser::NeedMore:
        awaitMore(thread, connection);
        break;
    case ZRHttpRequestParser::BadRequest:
        refuse(thread, parser.error(), parser.httpStatus());
        break;
    case ZRHttpRequestParser::Complete: {
        const ZRHttpParsedRequest parsed = parser.request();
        // Should the application call next() instead of answering, the
        // connection's next request starts afresh with a full timeout; until its
        // first piece comes, the receive timeout alone bounds the wait.
        connection.restart(m_maxBodySize, m_requestTimeout);
        connection.clockAwaitsFirstPiece = true;
        connection.answeringHead = parsed.method == RequestHead;
        connection.handed = true;
        // The accept gave the socket the full receive timeout; only a shortened one is reset.
        if (std::exchange(connection.receiveTimeoutShortened, false))
            thread->setReceiveTimeout(m_requestTimeout);
        // A client that stops taking the reply must not hold its thread for good.
        ZRSocketPrivate::setSendTimeout(thread->clientSocket(), m_requestTimeout);
        emitRequest(parsed, thread);
        break;
    }
    }
}

ZRHttpConnection &ZRHttpServer::connectionOf(ZRSocketThread *thread)
{
    if (!thread->m_data) {
        // The first request of a connection counts its time from the accept.
        const int timeout = m_requestTimeout;
        thread->m_data = std::make_unique<ZRHttpConnection>(m_maxBodySize,
            timeout > 0 ? qMax<qint64>(1, timeout - thread->m_sinceAccept.elapsed()) : 0);
    }
    return *static_cast<ZRHttpConnection *>(thread->m_data.get());
}

// The flag was set on the connection's thread before the request was emitted, which
// happens before any answer to it, from whichever thread.
bool ZRHttpServer::answersHead(ZRSocketThread *thread) const
{
    const auto *connection = static_cast<const ZRHttpConnection *>(thread->m_data.get());
    return connection && connection->answeringHead;
}

void ZRHttpServer::awaitMore(ZRSocketThread *thread, ZRHttpConnection &connection)
{
    if (connection.parser.expectsContinue() && !connection.continueSent) {
        connection.continueSent = true;
        thread->send(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
    }
    if (connection.deadline.isForever()) {
        thread->next();
        return;
    }
    const qint64 left = connection.deadline.remainingTime();
    if (left <= 0) {
        qCDebug(lcHttp, "Request timed out");
        thread->stop();
        return;
    }
    // Each further read may only wait for what is left of the request's time.
    thread->setReceiveTimeout(left);
    connection.receiveTimeoutShortened = true;
    thread->next();
}

void ZRHttpServer::refuse(ZRSocketThread *thread, ZRHttpError code, int status)
{
    qCDebug(lcHttp, "%s", toString(code));
    emit error(int(code));
    thread->send(statusReply(status));
    dropWhatIsStillComing(thread->clientSocket());
    thread->stop();
}

void ZRHttpServer::emitRequest(const ZRHttpParsedRequest &parsed, ZRSocketThread *thread)
{
    ZRHttpRequest request;
    request.setType(RequestType(parsed.method));
    request.setPath(parsed.path);
    request.setProtocol(parsed.protocol);
    for (const auto &header : parsed.headers)
        request.setHeader(header.first, header.second);
    request.setBody(parsed.body);
    emit connectionThread(request, thread);
}
