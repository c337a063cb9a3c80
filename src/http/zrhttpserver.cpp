#include "zrhttpserver.h"
#include "zrhttprequestparser_p.h"
#include "zrlogging_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>

#include <cerrno>
#include <memory>
#include <sys/socket.h>
#include <unordered_map>

namespace {

constexpr int DefaultRequestTimeoutMs = 30000;
// After refusing a request the server reads and drops what the client is still
// sending, for at most this long and this much, so that closing with unread
// data does not reset the connection before the client has read the answer.
constexpr int LingerMs = 1000;
constexpr qint64 LingerBytes = 1024 * 1024;

const char *refusalText(int code)
{
    switch (code) {
    case ZRHttpServer::MalformedRequest:
        return "Malformed request.";
    case ZRHttpServer::BadRequestType:
        return "Bad request type";
    case ZRHttpServer::InvalidRequestProtocol:
        return "Invalid request protocol";
    case ZRHttpServer::InvalidRequestHeader:
        return "Invalid request header";
    case ZRHttpServer::HeaderBlockTooLarge:
        return "Request header block too large";
    case ZRHttpServer::BodyTooLarge:
        return "Request body too large";
    default:
        return "Bad request body framing";
    }
}

QByteArray statusReply(int status)
{
    const char *reason = "Bad Request";
    if (status == 413)
        reason = "Content Too Large";
    else if (status == 431)
        reason = "Request Header Fields Too Large";
    else if (status == 501)
        reason = "Not Implemented";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
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
        const ssize_t n = ::recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        dropped += n;
    }
}

} // namespace

// One connection's request in the making. Touched only on its connection's thread.
struct ZRHttpGathering
{
    ZRHttpGathering(qint64 maxBodySize, qint64 timeLeftMs) : parser(maxBodySize)
    {
        restartClock(timeLeftMs);
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
    // Whether the request being answered is a HEAD; set before it is emitted.
    bool answeringHead = false;
};

struct ZRHttpServerConnections
{
    QMutex mutex; // guards the map only; each entry belongs to its connection thread
    std::unordered_map<ZRSocketThread *, std::unique_ptr<ZRHttpGathering>> gathering;
};

ZRHttpServer::ZRHttpServer()
    : m_connections(std::make_shared<ZRHttpServerConnections>()),
      m_maxBodySize(ZRHttpRequestParser::defaultMaxBodySize),
      m_requestTimeout(DefaultRequestTimeoutMs)
{
    // By name, so that queued connections can carry a request to another thread.
    qRegisterMetaType<ZRHttpRequest>("ZRHttpRequest");
    setReceiveTimeoutMs(DefaultRequestTimeoutMs);
    connect(this, &ZRServer::connectionThread, this, &ZRHttpServer::dispatchRequest,
        Qt::DirectConnection);
}

ZRHttpServer::~ZRHttpServer() = default;

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

void ZRHttpServer::sendReply(const QByteArray &bytes, ZRSocketThread *thread)
{
    if (!ZRSocket::sendByteArray(thread->clientSocket(), bytes)) {
        qCDebug(lcHttp, "Send error");
        emit error(SendError);
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
    ZRHttpGathering &request = gatheringFor(thread);
    if (request.clockAwaitsFirstPiece) {
        request.clockAwaitsFirstPiece = false;
        request.restartClock(m_requestTimeout);
    }
    const auto status = request.parser.feed(clientMessage, thread->messageSize());
    if (!request.described && request.parser.hasRequestLine()) {
        request.described = true;
        qCDebug(
            lcHttp, "Request description: %s", request.parser.request().requestLine.constData());
    }
    switch (status) {
    case ZRHttpRequestParser::NeedMore:
        awaitMore(thread, request);
        break;
    case ZRHttpRequestParser::BadRequest:
        refuse(thread, request.parser.errorCode(), request.parser.httpStatus());
        break;
    case ZRHttpRequestParser::Complete: {
        const ZRHttpParsedRequest parsed = request.parser.request();
        // Should the application call next() instead of answering, the
        // connection's next request starts afresh with a full timeout; until its
        // first piece comes, the receive timeout alone bounds the wait.
        request = ZRHttpGathering(m_maxBodySize, m_requestTimeout.load());
        request.clockAwaitsFirstPiece = true;
        request.answeringHead = parsed.method == RequestHead;
        ZRSocketPrivate::setReceiveTimeout(thread->clientSocket(), m_requestTimeout);
        // A client that stops taking the reply must not hold its thread for good.
        ZRSocketPrivate::setSendTimeout(thread->clientSocket(), m_requestTimeout);
        emitRequest(parsed, thread);
        break;
    }
    }
}

ZRHttpGathering &ZRHttpServer::gatheringFor(ZRSocketThread *thread)
{
    QMutexLocker lock(&m_connections->mutex);
    auto &slot = m_connections->gathering[thread];
    if (!slot) {
        // The first request of a connection counts its time from the accept.
        slot = std::make_unique<ZRHttpGathering>(m_maxBodySize,
            m_requestTimeout > 0
                ? qMax<qint64>(1, m_requestTimeout - thread->m_sinceAccept.elapsed())
                : 0);
        connect(
            thread, &QThread::finished, thread,
            [connections = m_connections, thread] {
                QMutexLocker lock(&connections->mutex);
                connections->gathering.erase(thread);
            },
            Qt::DirectConnection);
    }
    return *slot;
}

bool ZRHttpServer::answersHead(ZRSocketThread *thread) const
{
    QMutexLocker lock(&m_connections->mutex);
    const auto found = m_connections->gathering.find(thread);
    return found != m_connections->gathering.end() && found->second->answeringHead;
}

void ZRHttpServer::awaitMore(ZRSocketThread *thread, ZRHttpGathering &request)
{
    const int socket = thread->clientSocket();
    if (request.parser.expectsContinue() && !request.continueSent) {
        request.continueSent = true;
        ZRSocket::sendByteArray(socket, QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
    }
    if (request.deadline.isForever()) {
        thread->next();
        return;
    }
    const qint64 left = request.deadline.remainingTime();
    if (left <= 0) {
        qCDebug(lcHttp, "Request timed out");
        thread->stop();
        return;
    }
    // Each further read may only wait for what is left of the request's time.
    ZRSocketPrivate::setReceiveTimeout(socket, left);
    thread->next();
}

void ZRHttpServer::refuse(ZRSocketThread *thread, int code, int status)
{
    qCDebug(lcHttp, "%s", refusalText(code));
    emit error(code);
    ZRSocket::sendByteArray(thread->clientSocket(), statusReply(status));
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
