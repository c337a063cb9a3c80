#include "zrclient.h"

#include "logger.h"
#include "zrlogging_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"

#include <QDeadlineTimer>

namespace {

// The client's own wording for each cause createRemoteSocket() records;
// %1 is the host.
struct Failure
{
    int lastErrorNumber;
    const char *message;
};

const Failure failures[] = {
    { -103, "Error, cannot create socket for remote server" },
    { -104, "Cannot set socket non blocking" },
    { -201, "Error: host %1 doesn't exist" },
    { -102, "Cannot set socket buffer size" },
    { -106, "cannot connect to host %1" },
    { -107, "timeout connecting to host %1" },
    { -105, "Cannot set socket blocking" },
};

const Failure *findFailure(int lastErrorNumber)
{
    for (const Failure &failure : failures) {
        if (failure.lastErrorNumber == lastErrorNumber)
            return &failure;
    }
    return nullptr;
}

QString failureMessage(const Failure *failure, const QString &host)
{
    if (!failure)
        return QStringLiteral("Unknown error in remote socket creation");
    const QString message = QString::fromLatin1(failure->message);
    return message.contains(QLatin1String("%1")) ? message.arg(host) : message;
}

} // namespace

ZRClient::ZRClient() = default;

ZRClient::~ZRClient()
{
    stop();
}

int ZRClient::connectToServer(QString host, int port)
{
    // A second connection must not leak the first.
    closeHeldSocket();
    m_host = host;
    qCDebug(lcTcp, "Creating remote socket...");
    const int socket = ZRSocket::createRemoteSocket(host, port);
    if (socket > 0) {
        m_socket = socket;
        return socket;
    }
    const Failure *failure = findFailure(ZRSocket::lastErrorNumber());
    Logger::logError(failureMessage(failure, m_host));
    return failure ? -1 : socket;
}

int ZRClient::socket()
{
    return m_socket;
}

void ZRClient::stop()
{
    m_running = false;
    closeHeldSocket();
}

QByteArray ZRClient::receiveLine(int msecs, int maxSize)
{
    const QDeadlineTimer deadline(msecs);
    for (;;) {
        const int end = m_received.indexOf('\n');
        if (end >= 0 && end < maxSize)
            return takeReceived(end + 1);
        if (m_received.size() >= maxSize)
            return takeReceived(maxSize);
        if (m_socket == 0)
            return {};
        const int ready = ZRSocketPrivate::waitUntil(m_socket, POLLIN, deadline.deadline());
        if (ready == 0)
            return {};
        // Readable, so this receive does not block; nothing means closed or failed.
        char buffer[4096];
        const qint64 n
            = ready < 0 ? -1 : ZRSocketPrivate::recvRetrying(m_socket, buffer, sizeof buffer, 0);
        if (n <= 0)
            return takeReceived(m_received.size());
        m_received.append(buffer, int(n));
    }
}

QByteArray ZRClient::takeReceived(int size)
{
    const QByteArray taken = m_received.left(size);
    m_received.remove(0, size);
    return taken;
}

void ZRClient::closeHeldSocket()
{
    if (m_socket != 0)
        ZRSocket::closeSocket(m_socket);
    m_socket = 0;
    m_received.clear();
}
