#include "zrhttpserver.h"
#include "zrconnectiontable_p.h"
#include "zrhttpconnection_p.h"
#include "zrhttprequestparser_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocketthread.h"
#include "zrtlscontext_p.h"

#include "zrlogging_p.h"

#include <sys/socket.h>

namespace {

constexpr int DefaultRequestTimeoutMs = 30000;
constexpr int DefaultMaxConnections = 10000;
constexpr int DefaultMaxConnectionThreads = 1024;
constexpr int DefaultKeepAliveTimeoutMs = 5000;
constexpr int DefaultMaxRequestsPerConnection = 1000;
constexpr int DefaultMinimumSendRate = 1024;
constexpr int DefaultMinimumReceiveRate = 1024;

ZRConnection *makeConnection(ZRServer &server, int socket, const QString &address)
{
    return new ZRHttpConnection(static_cast<ZRHttpServer &>(server), socket, address);
}

} // namespace

ZRHttpServer::ZRHttpServer()
    : m_maxBodySize(ZRHttpRequestParser::defaultMaxBodySize),
      m_requestTimeout(DefaultRequestTimeoutMs), m_keepAliveTimeout(DefaultKeepAliveTimeoutMs),
      m_maxRequestsPerConnection(DefaultMaxRequestsPerConnection),
      m_minimumSendRate(DefaultMinimumSendRate), m_minimumReceiveRate(DefaultMinimumReceiveRate)
{
    m_makeConnection = makeConnection;
    m_repliesAtOnce = true;
    // By name, so that queued connections can carry a request to another thread.
    qRegisterMetaType<ZRHttpRequest>("ZRHttpRequest");
    setMaxConnections(DefaultMaxConnections);
    setMaxConnectionThreads(DefaultMaxConnectionThreads);
}

// Before any member goes: connections parse inside this object.
ZRHttpServer::~ZRHttpServer()
{
    stop();
    m_connections->detach();
    endGatheringConnections();
}

// A connection whose request the application holds, or whose answer is going out (a stream
// or a WebSocket given its end by the stop included), is left to its end; the others' sockets
// are shut down, and their threads close them.
void ZRHttpServer::endGatheringConnections()
{
    m_connections->forEach([](ZRConnection *connection) {
        const ZRConnection::Phase phase = connection->phase();
        if (phase != ZRConnection::Held && phase != ZRConnection::Sending
            && phase != ZRConnection::Streaming)
            ::shutdown(connection->socket(), SHUT_RDWR);
    });
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

void ZRHttpServer::setMinimumReceiveRate(qint64 bytesPerSecond)
{
    m_minimumReceiveRate = qMax<qint64>(0, bytesPerSecond);
}

qint64 ZRHttpServer::minimumReceiveRate() const
{
    return m_minimumReceiveRate;
}

void ZRHttpServer::setHeadCheck(std::shared_ptr<const ZRHttpHeadCheck> check)
{
    QMutexLocker lock(&m_headCheckMutex);
    m_headCheck = std::move(check);
}

std::shared_ptr<const ZRHttpHeadCheck> ZRHttpServer::headCheck() const
{
    QMutexLocker lock(&m_headCheckMutex);
    return m_headCheck;
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

// A handle that is not one of this server's HTTP connections gets the bytes on its socket, and
// is stopped.
void ZRHttpServer::sendReply(const QByteArray &bytes, ZRSocketThread *thread)
{
    if (ZRHttpConnection *connection = ZRHttpConnection::of(thread)) {
        connection->sendBytes(*this, bytes);
        return;
    }
    if (!ZRSocket::sendByteArray(thread->clientSocket(), bytes)) {
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
    if (ZRHttpConnection *connection = ZRHttpConnection::of(thread))
        connection->sendReply(*this, reply);
    else
        sendReply(reply.toByteArray(), thread);
}
