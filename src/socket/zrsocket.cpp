#include "zrsocket.h"
#include "zrlogging_p.h"
#include "zrsendpace_p.h"
#include "zrsocket_p.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutex>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

QString ZRSocket::_lastError;
int ZRSocket::_lastErrorNumber = 0;

namespace {

constexpr int SendBufferSize = 65536;
constexpr int ReceiveChunk = 1024;
constexpr int ConnectTimeoutMs = 5000;
constexpr int HostNameBufferSize = 256;
// sendfile() moves pages inside the kernel; pieces only keep one call from running long.
constexpr qint64 SendFilePiece = 1024 * 1024;

std::atomic<int> sendStallLimit { 30000 };

// The errno behind this thread's last createServerSocket(), read right after it failed.
thread_local int listenError = 0;

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

using ZRSocketPrivate::SocketGuard;

// A process started with stdin closed gets descriptor 0 for its first socket,
// but 0 means "no socket" wherever a descriptor is stored; move it off 0.
int newSocket(int family)
{
    const int s = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s != 0)
        return s;
    const int moved = ::fcntl(0, F_DUPFD_CLOEXEC, 1);
    ::close(0);
    return moved;
}

void setPort(sockaddr_storage &address, quint16 port)
{
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(address).sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in &>(address).sin_port = htons(port);
}

socklen_t addressLength(const sockaddr_storage &address)
{
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Numeric text only, so that a name never silently becomes some other address: strict
// dotted-quad IPv4, or IPv6 with an optional zone ("fe80::1%eth0").
bool numericAddress(const QByteArray &text, sockaddr_storage &address)
{
    address = {};
    if (text.contains('\0'))
        return false;
    auto &in4 = reinterpret_cast<sockaddr_in &>(address);
    if (::inet_pton(AF_INET, text.constData(), &in4.sin_addr) == 1) {
        in4.sin_family = AF_INET;
        return true;
    }
    addrinfo hints {};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *found = nullptr;
    if (::getaddrinfo(text.constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    std::memcpy(&address, found->ai_addr, qMin(size_t(found->ai_addrlen), sizeof address));
    ::freeaddrinfo(found);
    return true;
}

using AddressList = std::unique_ptr<addrinfo, void (*)(addrinfo *)>;

// Every address of host, IPv6 and IPv4, in the resolver's order; null when there is none.
AddressList resolve(const QString &host)
{
    AddressList none(nullptr, ::freeaddrinfo);
    const QByteArray name = host.toUtf8();
    if (name.size() >= HostNameBufferSize || name.contains('\0'))
        return none;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0)
        return none;
    return AddressList(found, ::freeaddrinfo);
}

QString remoteFailureText(int code)
{
    switch (code) {
    case -102:
        return QStringLiteral("Socket buffer error");
    case -103:
        return QStringLiteral("Socket creation error");
    case -104:
        return QStringLiteral("Cannot set socket non-blocking");
    case -105:
        return QStringLiteral("Cannot set socket blocking");
    case -107:
        return QStringLiteral("Socket connect timeout");
    case -201:
        return QStringLiteral("Host not found");
    default:
        return QStringLiteral("Socket connection error");
    }
}

bool changeStatusFlag(int socket, int flag, bool on)
{
    const int flags = ::fcntl(socket, F_GETFL, 0);
    if (flags == -1)
        return false;
    return ::fcntl(socket, F_SETFL, on ? flags | flag : flags & ~flag) != -1;
}

// One attempt on one resolved address, within what is left of the overall wait. Returns the
// connected, blocking descriptor or the failure's code; the caller writes the record, so that
// an address tried in vain before one that answers leaves no trace there.
int connectTo(const addrinfo &target, quint16 port, const QDeadlineTimer &deadline)
{
    const int s = newSocket(target.ai_family);
    if (s < 0)
        return -103;
    SocketGuard closeOnFailure(s);
    if (!changeStatusFlag(s, O_NONBLOCK, true))
        return -104;
    const int size = SendBufferSize;
    if (::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0)
        return -102;
    sockaddr_storage remote {};
    std::memcpy(&remote, target.ai_addr, qMin(size_t(target.ai_addrlen), sizeof remote));
    setPort(remote, port);
    if (::connect(s, reinterpret_cast<sockaddr *>(&remote), addressLength(remote)) < 0
        && errno != EINPROGRESS)
        return -106;
    const int ready = ZRSocketPrivate::waitUntil(s, POLLIN | POLLOUT, deadline.deadline());
    if (ready <= 0)
        return -107;
    // Readable or writable also means "failed"; the pending error tells which.
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0)
        return -106;
    if (!changeStatusFlag(s, O_NONBLOCK, false))
        return -105;
    return closeOnFailure.release();
}

// At the pace's deadline: whether the sending may go on.
bool keptUp(ZRSendPace &pace)
{
    if (pace.keptUp())
        return true;
    qCDebug(lcSocket, "The peer takes the bytes too slowly");
    errno = ETIMEDOUT;
    return false;
}

// Sends size bytes, step(sent) making one send call for what is left. While the socket's buffer
// is full it waits, unless told not to: at most the stall limit in all, however the bytes
// trickle out, and no longer than the pace, if any, allows. The calls of a blocking socket
// wait inside, for its send timeout, unless each is told not to (steps that never wait).
// Returns the number of bytes sent.
template <typename Step>
qint64 sendInSteps(
    int socket, qint64 size, ZRSendPace *pace, bool mayWait, bool stepsNeverWait, Step step)
{
    using namespace ZRSocketPrivate;
    qint64 sent = 0;
    qint64 stallLimit = NoDeadline;
    while (sent < size) {
        const ssize_t n = step(sent);
        if (n > 0) {
            sent += n;
            if (pace)
                pace->moved();
            continue;
        }
        if (n == 0) {
            // Nothing more to send: a file that ended early. Not "try again", which the caller
            // would wait on for ever.
            errno = EPIPE;
            break;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        if (pace)
            pace->waiting();
        if (pace && pace->due() && !keptUp(*pace))
            break;
        if (!mayWait || !(stepsNeverWait || (::fcntl(socket, F_GETFL) & O_NONBLOCK))) {
            errno = EAGAIN;
            break;
        }
        if (stallLimit == NoDeadline)
            stallLimit = deadlineIn(sendStallLimitMs());
        const qint64 until = earlierDeadline(stallLimit, pace ? pace->deadline() : NoDeadline);
        if (waitUntil(socket, POLLOUT, until) == 0 && until == stallLimit)
            break;
    }
    return sent;
}

// Set on a thread that keeps SIGPIPE blocked for good (ZRSocketPrivate::holdSigpipe()).
thread_local bool sigpipeHeldForGood = false;

// sendfile() has no MSG_NOSIGNAL: while one is held, SIGPIPE stays blocked on this thread, and
// one that a call raised is taken before the old mask returns, unless one was pending already.
// On a thread that holds it for good, there is nothing to do.
class SigpipeHeld
{
public:
    SigpipeHeld() : m_active(!sigpipeHeldForGood)
    {
        if (!m_active)
            return;
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~SigpipeHeld()
    {
        if (!m_active)
            return;
        const int saved = errno;
        const timespec now {};
        if (!m_wasPending)
            while (sigtimedwait(&m_pipe, nullptr, &now) == SIGPIPE) { }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
        errno = saved;
    }
    SigpipeHeld(const SigpipeHeld &) = delete;
    SigpipeHeld &operator=(const SigpipeHeld &) = delete;

private:
    const bool m_active;
    sigset_t m_pipe;
    sigset_t m_old;
    bool m_wasPending = false;
};

// As inet_ntop() writes it, without the formatted printing that costs it more than an accept:
// every connection's address is written.
void writeDottedQuad(in_addr address, char *text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(&address.s_addr);
    for (int i = 0; i < 4; ++i) {
        const unsigned value = bytes[i];
        if (value >= 100)
            *text++ = char('0' + value / 100);
        if (value >= 10)
            *text++ = char('0' + value / 10 % 10);
        *text++ = char('0' + value % 10);
        *text++ = i < 3 ? '.' : '\0';
    }
}

// An IPv4 client of a dual-stack socket arrives as ::ffff:a.b.c.d; as a plain IPv4 address
// it reads and compares the same as on an IPv4 socket.
void unmapIPv4(sockaddr_storage &address)
{
    const auto in6 = reinterpret_cast<const sockaddr_in6 &>(address);
    if (address.ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
        return;
    sockaddr_in in4 {};
    in4.sin_family = AF_INET;
    in4.sin_port = in6.sin6_port;
    std::memcpy(&in4.sin_addr, in6.sin6_addr.s6_addr + 12, sizeof in4.sin_addr);
    address = {};
    std::memcpy(&address, &in4, sizeof in4);
}

} // namespace

namespace ZRSocketPrivate {

qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

qint64 deadlineIn(qint64 timeoutMs)
{
    return timeoutMs < 0 ? NoDeadline : monotonicMs() + timeoutMs;
}

qint64 earlierDeadline(qint64 a, qint64 b)
{
    return a == NoDeadline ? b : b == NoDeadline ? a : qMin(a, b);
}

qint64 sendAll(int socket, const char *data, qint64 size, int flags, ZRSendPace *pace, bool mayWait)
{
    return sendInSteps(socket, size, pace, mayWait, flags & MSG_DONTWAIT, [&](qint64 sent) {
        return ZRSocketPrivate::sendRetrying(
            socket, data + sent, size_t(size - sent), MSG_NOSIGNAL | flags);
    });
}

bool sendBytes(int socket, const QByteArray &bytes, int flags, ZRSendPace *pace)
{
    const qint64 sent = sendAll(socket, bytes.constData(), bytes.size(), flags, pace);
    qCDebug(lcSocket, "sendByteArray send size: %d, data size: %d", int(sent), int(bytes.size()));
    return sent == bytes.size();
}

void holdSigpipe()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    sigpipeHeldForGood = true;
}

ssize_t recvRetrying(int socket, void *buffer, size_t size, int flags)
{
    ssize_t n;
    do {
        n = ::recv(socket, buffer, size, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

// sendfile() takes no flags: on a blocking socket that may not wait, the socket is made
// non-blocking for the call.
qint64 sendFile(int socket, int file, qint64 offset, qint64 length, ZRSendPace *pace, bool mayWait)
{
    const SigpipeHeld held;
    const int flags = ::fcntl(socket, F_GETFL);
    const bool madeNonBlocking = !mayWait && flags != -1 && !(flags & O_NONBLOCK)
        && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
    const qint64 sent = sendInSteps(socket, length, pace, mayWait, false, [&](qint64 done) {
        off_t at = off_t(offset + done);
        const size_t piece = size_t(qMin<qint64>(length - done, SendFilePiece));
        ssize_t n;
        do {
            n = ::sendfile(socket, file, &at, piece);
        } while (n < 0 && errno == EINTR);
        return n;
    });
    if (madeNonBlocking) {
        const int error = errno;
        ::fcntl(socket, F_SETFL, flags);
        errno = error;
    }
    return sent;
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

int pollUntil(pollfd *fds, nfds_t count, qint64 deadline)
{
    for (;;) {
        const int timeout = deadline == NoDeadline ? -1
                                                   : int(qBound(qint64(0), deadline - monotonicMs(),
                                                       qint64(std::numeric_limits<int>::max())));
        const int r = ::poll(fds, count, timeout);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

int waitUntil(int socket, short events, qint64 deadline)
{
    pollfd p { socket, events, 0 };
    const int r = pollUntil(&p, 1, deadline);
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

QString addressText(sockaddr_storage address, int *port)
{
    unmapIPv4(address);
    char text[INET6_ADDRSTRLEN] = {};
    int number = 0;
    if (address.ss_family == AF_INET) {
        const auto &in4 = reinterpret_cast<const sockaddr_in &>(address);
        number = ntohs(in4.sin_port);
        writeDottedQuad(in4.sin_addr, text);
    } else if (address.ss_family == AF_INET6) {
        const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(address);
        number = ntohs(in6.sin6_port);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    if (port)
        *port = number;
    return QString::fromLatin1(text);
}

namespace {

quint16 portOf(int socket, int (*name)(int, sockaddr *, socklen_t *))
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    int port = 0;
    if (name(socket, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        addressText(address, &port);
    return quint16(port);
}

} // namespace

quint16 localPort(int socket)
{
    return portOf(socket, ::getsockname);
}

quint16 peerPort(int socket)
{
    return portOf(socket, ::getpeername);
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
    if (::getpeername(socket, reinterpret_cast<sockaddr *>(&storage), &length) == 0)
        address = ZRSocketPrivate::addressText(storage, &port);
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
    const int events = ZRSocketPrivate::waitUntil(socket, POLLIN, ZRSocketPrivate::NoDeadline);
    return events > 0 && (events & POLLIN) && !(events & (POLLERR | POLLNVAL));
}

int ZRSocket::acceptClientConnection(int socket)
{
    sockaddr_storage address;
    return acceptClientConnection(socket, address);
}

int ZRSocket::acceptClientConnection(int socket, sockaddr_in &address)
{
    sockaddr_storage peer {};
    const int accepted = acceptClientConnection(socket, peer);
    // An IPv6 peer does not fit; its family tells the caller, as a truncating accept() would.
    if (accepted >= 0)
        std::memcpy(&address, &peer, sizeof address);
    return accepted;
}

int ZRSocket::acceptClientConnection(int socket, sockaddr_storage &address)
{
    socklen_t length = sizeof address;
    const int accepted = ZRSocketPrivate::acceptRetrying(
        socket, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
    if (accepted >= 0)
        unmapIPv4(address);
    return accepted;
}

int ZRSocket::createServerSocket(QString address, int port, int backlog)
{
    int &error = listenError;
    const QByteArray host = address.toUtf8();
    sockaddr_storage server {};
    const bool addressOk = numericAddress(host, server);
    const int s = newSocket(addressOk ? server.ss_family : AF_INET);
    if (s < 0) {
        error = errno;
        setSystemError(-103, "Could not create socket. Error: %1", error);
        return -1;
    }
    SocketGuard closeOnFailure(s);
    qCDebug(lcSocket) << "Socket created\n";

    setPort(server, quint16(port));
    qCDebug(lcSocket, "Serving on address: %s, port: %d", host.constData(), port);

    if (!setSocketReuse(s)) {
        error = errno;
        setLastError(-101, QStringLiteral("Cannot set socket reuse"));
        return -1;
    }
    if (!setSocketBuffer(s, SendBufferSize)) {
        error = errno;
        setLastError(-102, QStringLiteral("Cannot set socket buffer"));
        return -1;
    }
    // "::" takes IPv4 clients too, whatever the system's default for IPv6 sockets.
    const int v6Only = 0;
    if (server.ss_family == AF_INET6)
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    error = addressOk ? 0 : EADDRNOTAVAIL;
    if (addressOk && !validPort(port))
        error = EINVAL;
    if (!error && ::bind(s, reinterpret_cast<sockaddr *>(&server), addressLength(server)) != 0)
        error = errno;
    if (error) {
        setSystemError(-301, "Bind failed: %1", error);
        return -1;
    }
    qCDebug(lcSocket) << "Bind done\n";
    if (::listen(s, backlog) != 0) {
        error = errno;
        setSystemError(-301, "Listen failed: %1", error);
        return -1;
    }
    return closeOnFailure.release();
}

int ZRSocketPrivate::lastListenError()
{
    return listenError;
}

QString ZRSocketPrivate::listenFailureAdvice(const QString &address, int port, int error)
{
    const QString all = QStringLiteral("0.0.0.0 or :: for every address, 127.0.0.1 or ::1 for "
                                       "this machine only");
    sockaddr_storage parsed {};
    if (address.isEmpty())
        return QStringLiteral("no address given; listen on ") + all;
    if (!numericAddress(address.toUtf8(), parsed)) {
        if (address.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
            return QStringLiteral("localhost is a name; listen on 127.0.0.1 or ::1");
        if (address.contains(QLatin1Char(':')) && address.contains(QLatin1Char('%')))
            return QStringLiteral("%1 names no interface of this machine after %").arg(address);
        // A name has a letter in it; digits, dots and colons alone are an address gone wrong.
        const bool name = std::any_of(address.cbegin(), address.cend(), [](QChar c) {
            return c.isLetter();
        }) && !address.contains(QLatin1Char(':'));
        return name ? QStringLiteral("%1 is a name; listen on an address: %2").arg(address, all)
                    : QStringLiteral("%1 is not an address; write one in numbers, as 127.0.0.1 "
                                     "or ::1")
                          .arg(address);
    }
    const auto &in6 = reinterpret_cast<const sockaddr_in6 &>(parsed);
    if (parsed.ss_family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&in6.sin6_addr) && !in6.sin6_scope_id)
        return QStringLiteral("%1 is link-local; name its interface too, as %1%eth0").arg(address);
    if (!validPort(port))
        return QStringLiteral("port %1 is out of range; choose one from 1 to 65535 (0: any free "
                              "port)")
            .arg(port);
    switch (error) {
    case EADDRINUSE:
        return QStringLiteral("port %1 is in use; stop what listens there or choose another port")
            .arg(port);
    case EACCES:
        return QStringLiteral("port %1 needs privileges; run as root or with "
                              "CAP_NET_BIND_SERVICE, or choose a port from 1024 up")
            .arg(port);
    case EADDRNOTAVAIL:
        return QStringLiteral("%1 is not an address of this machine; listen on one of its own, "
                              "or on %2")
            .arg(address, all);
    case EAFNOSUPPORT:
        return QStringLiteral("IPv6 is off on this machine; listen on an IPv4 address");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("no descriptor is left for a socket (%1); raise the open-file "
                              "limit or close some")
            .arg(errnoText(error));
    }
    return errnoText(error);
}

int ZRSocket::createRemoteSocket(QString host, int port)
{
    const AddressList addresses = resolve(host);
    int failure = -201;
    if (addresses && !validPort(port))
        failure = -106;
    else if (addresses) {
        // One bound for all the addresses, however many there are.
        const QDeadlineTimer deadline(ConnectTimeoutMs);
        for (const addrinfo *a = addresses.get(); a && !deadline.hasExpired(); a = a->ai_next) {
            const int s = connectTo(*a, quint16(port), deadline);
            if (s >= 0)
                return s;
            failure = s;
        }
    }
    setLastError(failure, remoteFailureText(failure));
    return -1;
}

bool ZRSocket::sendMessage(int socket, QString message)
{
    const QByteArray bytes = message.toUtf8();
    return ZRSocketPrivate::sendAll(socket, bytes.constData(), bytes.size()) == bytes.size();
}

bool ZRSocket::sendByteArray(int socket, QByteArray data)
{
    return ZRSocketPrivate::sendBytes(socket, data);
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

void ZRSocketPrivate::wake(int eventFd)
{
    const quint64 one = 1;
    if (eventFd >= 0)
        (void)!::write(eventFd, &one, sizeof one);
}
