#include "zrhttpserver.h"
#include "zrhttpfilebody_p.h"
#include "zrhttprequestparser_p.h"
#include "zrlogging_p.h"
#include "zrsendpace_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrtlscontext_p.h"
#include "zrtransport_p.h"

#include <QDeadlineTimer>

#include <atomic>
#include <cerrno>
#include <sys/socket.h>
#include <utility>

namespace {

constexpr int DefaultRequestTimeoutMs = 30000;
constexpr int DefaultMaxConnections = 1024;
constexpr int DefaultKeepAliveTimeoutMs = 5000;
constexpr int DefaultMaxRequestsPerConnection = 1000;
constexpr int DefaultMinimumSendRate = 1024;
// How long, and how much, the server drops of what a refused client still sends.
constexpr int LingerMs = 1000;
constexpr qint64 LingerBytes = 1024 * 1024;

// Without a Date, unlike a ZRHttpReply: these bytes are fixed, so clients can rely on them.
QByteArray statusReply(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + ZRHttpReply::reasonPhrase(status)
        + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// The answer to a client that speaks plain HTTP to the HTTPS port, in the only form it reads.
QByteArray plainOnTlsPortReply()
{
    return ZRHttpReply::text("This port speaks HTTPS: ask for https:// rather than http://.\n", 400)
        .toByteArray();
}

} // namespace

// A connection's state between its requests and in the making of one, kept with the connection
// and used by whoever holds the connection (its thread, or the application between a request
// and its answer), but for `handed`, which the server's destruction reads once no connection
// is inside it.
class ZRHttpConnection : public ZRConnectionData
{
public:
    ZRHttpConnection(const ZRHttpServer &server, qint64 timeLeftMs) { restart(server, timeLeftMs); }
    void restart(const ZRHttpServer &server, qint64 timeLeftMs)
    {
        parser = ZRHttpRequestParser(server.maxBodySize());
        keepAliveMs = server.keepAliveTimeout();
        requestTimeoutMs = server.requestTimeout();
        parser.setPersistentConnections(keepAliveMs > 0);
        restartClock(timeLeftMs);
        described = false;
        continueSent = false;
    }
    void restartClock(qint64 timeLeftMs)
    {
        deadline
            = timeLeftMs > 0 ? QDeadlineTimer(timeLeftMs) : QDeadlineTimer(QDeadlineTimer::Forever);
    }
    // Whether the answer to this request may leave the connection open.
    void decideKeepAlive(const ZRHttpParsedRequest &request, int maxRequests)
    {
        ++served;
        keepOpen = keepAliveMs > 0 && request.keepAlive && served < maxRequests;
        http10 = request.protocol.compare(QLatin1String("HTTP/1.0"), Qt::CaseInsensitive) == 0;
    }
    qint64 readTimeoutMs() const override
    {
        if (idle)
            return keepAliveMs;
        if (clockAwaitsFirstPiece || deadline.isForever())
            return requestTimeoutMs;
        return qMax<qint64>(1, deadline.remainingTime());
    }

    ZRHttpRequestParser parser;
    QDeadlineTimer deadline;
    qint64 keepAliveMs = 0;
    qint64 requestTimeoutMs = 0;
    int served = 0; // requests emitted on the connection
    bool described = false;
    bool continueSent = false;
    // A further request on the connection starts its clock with its first piece, however
    // long the application held the previous one before answering or calling next().
    bool clockAwaitsFirstPiece = false;
    bool idle = false; // answered, and kept open for the next request
    bool keepOpen = false; // the request being answered allows the connection to stay open
    bool http10 = false; // ... and must be told so with "Connection: keep-alive"
    std::atomic<bool> handed { false }; // a complete request is with the application
    // Whether the request being answered is a HEAD; set before it is emitted.
    bool answeringHead = false;
};

ZRHttpServer::ZRHttpServer()
    : m_maxBodySize(ZRHttpRequestParser::defaultMaxBodySize),
      m_requestTimeout(DefaultRequestTimeoutMs), m_keepAliveTimeout(DefaultKeepAliveTimeoutMs),
      m_maxRequestsPerConnection(DefaultMaxRequestsPerConnection),
      m_minimumSendRate(DefaultMinimumSendRate)
{
    m_watchesFresh = true;
    m_repliesAtOnce = true;
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

void ZRHttpServer::setKeepAliveTimeout(int milliseconds)
{
    m_keepAliveTimeout = qMax(0, milliseconds);
}

int ZRHttpServer::keepAliveTimeout() const
{
    return m_keepAliveTimeout;
}

void ZRHttpServer::setMaxRequestsPerConnection(int count)
{
    m_maxRequestsPerConnection = qMax(1, count);
}

int ZRHttpServer::maxRequestsPerConnection() const
{
    return m_maxRequestsPerConnection;
}

void ZRHttpServer::setMinimumSendRate(qint64 bytesPerSecond)
{
    m_minimumSendRate = qMax<qint64>(0, bytesPerSecond);
}

qint64 ZRHttpServer::minimumSendRate() const
{
    return m_minimumSendRate;
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
    send(thread, bytes, false);
}

void ZRHttpServer::sendReply(const ZRHttpPart &part, ZRSocketThread *thread)
{
    sendReply(part.toByteArray(), thread);
}

void ZRHttpServer::sendReply(const ZRHttpMultiPart &multiPart, ZRSocketThread *thread)
{
    sendReply(multiPart.toByteArray(), thread);
}

// The flags were set on the connection's thread before the request was emitted, which
// happens before any answer to it, from whichever thread.
void ZRHttpServer::sendReply(const ZRHttpReply &reply, ZRSocketThread *thread)
{
    const auto *connection = static_cast<const ZRHttpConnection *>(thread->m_data.get());
    bool keepOpen = connection && connection->keepOpen;
    if (keepOpen) {
        for (const QByteArray &option : reply.header(QByteArrayLiteral("Connection")).split(','))
            keepOpen = keepOpen && option.trimmed().compare("close", Qt::CaseInsensitive) != 0;
    }
    const char *connectionValue = !keepOpen ? "close" : connection->http10 ? "keep-alive" : nullptr;
    const bool head = connection && connection->answeringHead;
    if (head || reply.bodyFile().isEmpty()) {
        send(thread, reply.serialise(!head, connectionValue), keepOpen);
        return;
    }
    beginReply(thread, reply.bodySize());
    endReply(zrSendFileReply(*thread->m_transport, reply, reply.serialise(false, connectionValue)),
        thread, keepOpen);
}

void ZRHttpServer::send(ZRSocketThread *thread, const QByteArray &bytes, bool keepOpen)
{
    beginReply(thread, bytes.size());
    endReply(thread->write(bytes), thread, keepOpen);
}

// A reply's pace runs in windows of the request timeout.
void ZRHttpServer::beginReply(ZRSocketThread *thread, qint64 bytes)
{
    thread->enterPhase(ZRSocketThread::Sending);
    thread->m_sendPace->start(thread->clientSocket(), m_requestTimeout, m_minimumSendRate, bytes);
}

// Every answer ends here. A connection kept open waits, idle, for its next request.
void ZRHttpServer::endReply(bool sent, ZRSocketThread *thread, bool keepOpen)
{
    thread->m_sendPace->stop();
    if (!sent) {
        qCDebug(lcHttp, "%s", toString(ZRHttpError::SendError));
        emit error(int(ZRHttpError::SendError));
    }
    auto *connection = static_cast<ZRHttpConnection *>(thread->m_data.get());
    if (!sent || !keepOpen || !connection) {
        thread->stop();
        return;
    }
    connection->idle = true;
    connection->handed = false;
    thread->enterPhase(ZRSocketThread::Idle);
    thread->next();
}

// Runs on the connection's thread, once for every piece it receives.
void ZRHttpServer::dispatchRequest(char *clientMessage, ZRSocketThread *thread)
{
    if (thread->m_plainOnTlsPort) {
        qCDebug(lcHttp, "Plain HTTP on the HTTPS port");
        answerAndEnd(thread, plainOnTlsPortReply());
        return;
    }
    ZRHttpConnection &connection = connectionOf(thread);
    connection.handed = false;
    connection.idle = false;
    if (!thread->enterPhase(ZRSocketThread::Reading)) {
        thread->stop(); // ended to make room for another client
        return;
    }
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
        // A pipelined request that came with this one is read once this one is answered.
        thread->unread(parser.takeRest());
        // The connection's next request starts afresh with a full timeout; until its first
        // piece comes, the receive timeout alone bounds the wait.
        connection.restart(*this, m_requestTimeout);
        connection.clockAwaitsFirstPiece = true;
        connection.answeringHead = parsed.method == RequestHead;
        connection.decideKeepAlive(parsed, m_maxRequestsPerConnection);
        connection.handed = true;
        // A client that stops taking the reply must not hold its thread for good.
        thread->setWriteTimeout(m_requestTimeout);
        if (!thread->enterPhase(ZRSocketThread::Held)) {
            thread->stop();
            return;
        }
        emitRequest(parsed, thread);
        break;
    }
    }
}

ZRHttpConnection &ZRHttpServer::connectionOf(ZRSocketThread *thread)
{
    if (!thread->m_data) {
        ZRSocketPrivate::holdSigpipe(); // file replies go out from this thread
        // The first request of a connection counts its time from the accept.
        const int timeout = m_requestTimeout;
        thread->m_data = std::make_unique<ZRHttpConnection>(*this,
            timeout > 0 ? qMax<qint64>(1, timeout - (monotonicMs() - thread->m_acceptedAt)) : 0);
    }
    return *static_cast<ZRHttpConnection *>(thread->m_data.get());
}

void ZRHttpServer::awaitMore(ZRSocketThread *thread, ZRHttpConnection &connection)
{
    if (connection.parser.expectsContinue() && !connection.continueSent) {
        connection.continueSent = true;
        thread->write(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
    }
    // Each further read may only wait for what is left of the request's time (the loop sets
    // it from readTimeoutMs()).
    if (!connection.deadline.isForever() && connection.deadline.remainingTime() <= 0) {
        qCDebug(lcHttp, "Request timed out");
        thread->stop();
        return;
    }
    thread->next();
}

void ZRHttpServer::refuse(ZRSocketThread *thread, ZRHttpError code, int status)
{
    qCDebug(lcHttp, "%s", toString(code));
    emit error(int(code));
    answerAndEnd(thread, statusReply(status));
}

void ZRHttpServer::answerAndEnd(ZRSocketThread *thread, const QByteArray &answer)
{
    thread->write(answer);
    dropWhatIsStillComing(thread);
    thread->stop();
}

// After refusing a request the server reads and drops what the client is still sending, for a
// while, so that closing with unread data does not reset the connection before the client has
// read the answer.
void ZRHttpServer::dropWhatIsStillComing(ZRSocketThread *thread)
{
    thread->m_transport->close(); // a TLS peer hears it before the end of the stream
    ::shutdown(thread->clientSocket(), SHUT_WR);
    QDeadlineTimer deadline(LingerMs);
    qint64 dropped = 0;
    char scratch[4096];
    while (dropped < LingerBytes && !deadline.hasExpired()) {
        thread->setReadTimeout(qMax<qint64>(1, deadline.remainingTime()));
        const qint64 n = thread->read(scratch, sizeof scratch);
        if (n <= 0)
            break;
        dropped += n;
    }
}

void ZRHttpServer::emitRequest(const ZRHttpParsedRequest &parsed, ZRSocketThread *thread)
{
    ZRHttpRequest request;
    request.setType(RequestType(parsed.method));
    request.setPath(parsed.path);
    request.setProtocol(parsed.protocol);
    for (const auto &header : parsed.headers)
        request.addHeader(header.first, header.second);
    request.setBody(parsed.body);
    emit connectionThread(request, thread);
}
