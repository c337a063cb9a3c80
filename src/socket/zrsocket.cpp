#include "zrsocket.h"
#include "zrlogging_p.h"
#include "zrsocket_p.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>

#include <atomic>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

QString ZRSocket::_lastError;
int ZRSocket::_lastErrorNumber = 0;

namespace {

constexpr int SendBufferSize = 65536;
constexpr int ReceiveChunk = 1024;
constexpr int ConnectTimeoutMs = 5000;
constexpr int HostNameBufferSize = 256;

std::atomic<int> sendStallLimit { 30000 };

// Guards the last-error pair so text and number always change together.
QMutex lastErrorMutex;

QString errnoText(int error)
{
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the text (not always in buffer).
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

bool validPort(int port)
{
    return port >= 0 && port <= 65535;
}

// Closes a half-made socket on the failure paths of the creating operations.
class SocketGuard
{
public:
    explicit SocketGuard(int socket) : m_socket(socket) { }
    ~SocketGuard()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    int release()
    {
        const int s = m_socket;
        m_socket = -1;
        return s;
    }

private:
    int m_socket;
};

// A process started with stdin closed gets descriptor 0 for its first socket,
// but 0 means "no socket" wherever a descriptor is stored; move it off 0.
int newSocket()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s != 0)
        return s;
    const int moved = ::fcntl(0, F_DUPFD_CLOEXEC, 1);
    ::close(0);
    return moved;
}

bool resolveIPv4(const QString &host, in_addr &address)
{
    const QByteArray name = host.toUtf8();
    if (name.size() >= HostNameBufferSize || name.contains('\0'))
        return false;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    if (getaddrinfo(name.constData(), nullptr, &hints, &result) != 0 || !result)
        return false;
    address = reinterpret_cast<sockaddr_in *>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return true;
}

} // namespace

namespace ZRSocketPrivate {

qint64 sendAll(int socket, const char *data, qint64 size)
{
    qint64 sent = 0;
    QDeadlineTimer stallLimit(QDeadlineTimer::Forever);
    while (sent < size) {
        const ssize_t n = sendRetrying(socket, data + sent, size_t(size - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        // On a blocking socket this is its send timeout running out.
        if (!(::fcntl(socket, F_GETFL) & O_NONBLOCK))
            break;
        if (stallLimit.isForever())
            stallLimit.setRemainingTime(sendStallLimitMs());
        const qint64 left = stallLimit.remainingTime();
        if (left <= 0 || waitFor(socket, POLLOUT, int(left)) <= 0)
            break;
    }
    return sent;
}

ssize_t recvRetrying(int socket, void *buffer, size_t size, int flags)
{
    ssize_t n;
    do {
        n = ::recv(socket, buffer, size, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t sendRetrying(int socket, const void *data, size_t size, int flags)
{
    ssize_t n;
    do {
        n = ::send(socket, data, size, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

int acceptRetrying(int socket, sockaddr *address, socklen_t *length, int flags)
{
    int c;
    do {
        c = ::accept4(socket, address, length, flags);
    } while (c < 0 && errno == EINTR);
    return c;
}

int pollRetrying(pollfd *fds, nfds_t count, int timeoutMs)
{
    QDeadlineTimer deadline(
        timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs));
    for (;;) {
        const int left = deadline.isForever() ? -1 : int(deadline.remainingTime());
        const int r = ::poll(fds, count, left);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

int waitFor(int socket, short events, int timeoutMs)
{
    pollfd p { socket, events, 0 };
    const int r = pollRetrying(&p, 1, timeoutMs);
    return r > 0 ? p.revents : r;
}

int sendStallLimitMs()
{
    return sendStallLimit;
}

void setSendStallLimitMs(int milliseconds)
{
    sendStallLimit = qMax(0, milliseconds);
}

static bool setTimeout(int socket, int option, qint64 milliseconds)
{
    timeval tv { time_t(milliseconds / 1000), suseconds_t((milliseconds % 1000) * 1000) };
    return ::setsockopt(socket, SOL_SOCKET, option, &tv, sizeof tv) >= 0;
}

bool setReceiveTimeout(int socket, qint64 milliseconds)
{
    return setTimeout(socket, SO_RCVTIMEO, milliseconds);
}

bool setSendTimeout(int socket, qint64 milliseconds)
{
    return setTimeout(socket, SO_SNDTIMEO, milliseconds);
}

bool isResourceShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

} // namespace ZRSocketPrivate

void ZRSocket::setLastError(int number, const QString &text)
{
    QMutexLocker lock(&lastErrorMutex);
    _lastErrorNumber = number;
    _lastError = text;
}

void ZRSocket::setSystemError(int number, const char *text, int error)
{
    const QString message = QString::fromLatin1(text).arg(errnoText(error));
    setLastError(number, message);
    qCDebug(lcSocket, "%s", qUtf8Printable(message));
}

QString ZRSocket::lastError()
{
    QMutexLocker lock(&lastErrorMutex);
    return _lastError;
}

int ZRSocket::lastErrorNumber()
{
    QMutexLocker lock(&lastErrorMutex);
    return _lastErrorNumber;
}

void ZRSocket::closeSocket(int socket)
{
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

bool ZRSocket::setSocketReuse(int socket)
{
    const int on = 1;
    if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0)
        return true;
    setSystemError(-101, "Setsockopt failed: %1", errno);
    return false;
}

bool ZRSocket::setSocketBuffer(int socket, int size)
{
    if (::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0)
        return true;
    setSystemError(-102, "Setsockopt buffer size failed: %1", errno);
    return false;
}

void ZRSocket::getSocketAddress(int socket, QString &address, int &port)
{
    sockaddr_storage storage {};
    socklen_t length = sizeof storage;
    address.clear();
    port = 0;
    if (::getpeername(socket, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return;
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        const auto *in4 = reinterpret_cast<const sockaddr_in *>(&storage);
        port = ntohs(in4->sin_port);
        ::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    } else {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&storage);
        port = ntohs(in6->sin6_port);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    }
    address = QString::fromLatin1(text);
}

static bool changeStatusFlag(int socket, int flag, bool on)
{
    const int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags == -1)
        return false;
    return ::fcntl(socket, F_SETFL, on ? flags | flag : flags & ~flag) != -1;
}

bool ZRSocket::setSocketNonBlocking(int socket)
{
    return changeStatusFlag(socket, O_NONBLOCK, true);
}

bool ZRSocket::setSocketBlocking(int socket)
{
    return changeStatusFlag(socket, O_NONBLOCK, false);
}

bool ZRSocket::setSocketTimeout(int socket, int seconds)
{
    return ZRSocketPrivate::setReceiveTimeout(socket, qint64(seconds) * 1000);
}

bool ZRSocket::setSocketNodelay(int socket, bool on)
{
    const int value = on ? 1 : 0;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
}

int *ZRSocket::socketPointer(int socket)
{
    int *cell = static_cast<int *>(std::malloc(sizeof(int)));
    if (cell)
        *cell = socket;
    return cell;
}

// Only readability counts: a closed or invalid descriptor (POLLNVAL) or a socket in error
// would otherwise make a `while (waitForConnection(s)) accept(...)` loop spin.
bool ZRSocket::waitForConnection(int socket)
{
    if (socket < 0)
        return false; // poll() would ignore it and wait for ever
    const int events = ZRSocketPrivate::waitFor(socket, POLLIN, -1);
    return events > 0 && (events & POLLIN) && !(events & (POLLERR | POLLNVAL));
}

int ZRSocket::acceptClientConnection(int socket)
{
    sockaddr_in address;
    return acceptClientConnection(socket, address);
}

int ZRSocket::acceptClientConnection(int socket, sockaddr_in &address)
{
    socklen_t length = sizeof address;
    return ZRSocketPrivate::acceptRetrying(
        socket, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
}

int ZRSocket::createServerSocket(QString address, int port, int backlog)
{
    const int s = newSocket();
    if (s < 0) {
        setSystemError(-103, "Could not create socket. Error: %1", errno);
        return -1;
    }
    SocketGuard closeOnFailure(s);
    qCDebug(lcSocket) << "Socket created\n";

    const QByteArray host = address.toUtf8();
    sockaddr_in server {};
    server.sin_family = AF_INET;
    server.sin_port = htons(quint16(port));
    // Only strict dotted-quad text: anything else would silently become some
    // other address (255.255.255.255 for a name), so it fails like a bad bind.
    const bool addressOk = ::inet_pton(AF_INET, host.constData(), &server.sin_addr) == 1;
    qCDebug(lcSocket, "Serving on address: %s, port: %d", host.constData(), port);

    if (!setSocketReuse(s)) {
        setLastError(-101, QStringLiteral("Cannot set socket reuse"));
        return -1;
    }
    if (!setSocketBuffer(s, SendBufferSize)) {
        setLastError(-102, QStringLiteral("Cannot set socket buffer"));
        return -1;
    }
    int bindError = addressOk ? 0 : EADDRNOTAVAIL;
    if (addressOk && !validPort(port))
        bindError = EINVAL;
    if (!bindError && ::bind(s, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0)
        bindError = errno;
    if (bindError) {
        setSystemError(-301, "Bind failed: %1", bindError);
        return -1;
    }
    qCDebug(lcSocket) << "Bind done\n";
    if (::listen(s, backlog) != 0) {
        setSystemError(-301, "Listen failed: %1", errno);
        return -1;
    }
    return closeOnFailure.release();
}

int ZRSocket::createRemoteSocket(QString host, int port)
{
    const int s = newSocket();
    if (s < 0) {
        setLastError(-103, QStringLiteral("Socket creation error"));
        return -1;
    }
    SocketGuard closeOnFailure(s);
    if (!setSocketNonBlocking(s)) {
        setLastError(-104, QStringLiteral("Cannot set socket non-blocking"));
        return -1;
    }
    sockaddr_in remote {};
    if (!resolveIPv4(host, remote.sin_addr)) {
        setLastError(-201, QStringLiteral("Host not found"));
        return -1;
    }
    if (!setSocketBuffer(s, SendBufferSize)) {
        setLastError(-102, QStringLiteral("Socket buffer error"));
        return -1;
    }
    remote.sin_family = AF_INET;
    remote.sin_port = htons(quint16(port));
    if (!validPort(port)
        || (::connect(s, reinterpret_cast<sockaddr *>(&remote), sizeof remote) < 0
            && errno != EINPROGRESS)) {
        setLastError(-106, QStringLiteral("Socket connection error"));
        return -1;
    }
    const int ready = ZRSocketPrivate::waitFor(s, POLLIN | POLLOUT, ConnectTimeoutMs);
    if (ready <= 0) {
        setLastError(-107, QStringLiteral("Socket connect timeout"));
        return -1;
    }
    // Readable or writable also means "failed"; the pending error tells which.
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
        setLastError(-106, QStringLiteral("Socket connection error"));
        return -1;
    }
    if (!setSocketBlocking(s)) {
        setLastError(-105, QStringLiteral("Cannot set socket blocking"));
        return -1;
    }
    return closeOnFailure.release();
}

bool ZRSocket::sendMessage(int socket, QString message)
{
    const QByteArray bytes = message.toUtf8();
    return ZRSocketPrivate::sendAll(socket, bytes.constData(), bytes.size()) == bytes.size();
}

bool ZRSocket::sendByteArray(int socket, QByteArray data)
{
    const qint64 sent = ZRSocketPrivate::sendAll(socket, data.constData(), data.size());
    qCDebug(lcSocket, "sendByteArray send size: %d, data size: %d", int(sent), int(data.size()));
    return sent == data.size();
}

QByteArray ZRSocket::receiveByteArray(int socket, int maxSize)
{
    QByteArray result;
    if (maxSize <= 0)
        return result;
    const int chunk = qMin(ReceiveChunk, maxSize);
    char buffer[ReceiveChunk];
    int total = 0;
    for (;;) {
        const int wanted = qMin(chunk, maxSize - total);
        const ssize_t n = ZRSocketPrivate::recvRetrying(socket, buffer, size_t(wanted), 0);
        if (n > 0) {
            result.append(buffer, int(n));
            total += int(n);
        }
        if (n <= 0 || total >= maxSize || total < chunk)
            break;
    }
    return result;
}

QString ZRSocket::receiveMessage(int socket, int maxSize)
{
    const QByteArray data = receiveByteArray(socket, maxSize).trimmed();
    return QString::fromUtf8(data.constData(), int(qstrnlen(data.constData(), uint(data.size()))));
}
