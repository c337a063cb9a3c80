#ifndef ZRSOCKET_P_H
#define ZRSOCKET_P_H

#include "zrnet_global.h"

#include <QString>
#include <QtGlobal>

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

class QByteArray;
class ZRSendPace;

// The system calls the library makes on sockets, each retried after EINTR here so that no
// caller writes the loop again. A signal never ends a connection or a wait early.
namespace ZRSocketPrivate {

// Closes a socket when it goes out of scope, unless released: a half-made one on the failure
// paths of the creating operations, a probe's on every path.
class SocketGuard
{
public:
    explicit SocketGuard(int socket) : m_socket(socket) { }
    ~SocketGuard()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    SocketGuard(const SocketGuard &) = delete;
    SocketGuard &operator=(const SocketGuard &) = delete;
    int get() const { return m_socket; }
    int release()
    {
        const int s = m_socket;
        m_socket = -1;
        return s;
    }

private:
    int m_socket;
};

// Milliseconds on the monotonic clock, comparable across threads: the unit of every deadline
// the library keeps. NoDeadline stands for none.
qint64 monotonicMs();
constexpr qint64 NoDeadline = -1;
// The deadline timeoutMs from now; NoDeadline for a negative timeout.
qint64 deadlineIn(qint64 timeoutMs);
// The sooner of two deadlines, either of which may be NoDeadline.
qint64 earlierDeadline(qint64 a, qint64 b);

ssize_t recvRetrying(int socket, void *buffer, size_t size, int flags);
ssize_t sendRetrying(int socket, const void *data, size_t size, int flags);
// Sends every byte without SIGPIPE, looping over partial sends; waits while a non-blocking
// socket's buffer is full, at most the stall limit in all, however the bytes trickle out.
// flags go to every send() (MSG_MORE: the bytes may wait for the next send, to share its
// segment). With a pace, the sending also ends (errno ETIMEDOUT) once the peer falls behind it.
// Unless mayWait, it returns as soon as the socket takes no more (errno EAGAIN).
// Returns the number of bytes sent.
qint64 sendAll(int socket, const char *data, qint64 size, int flags = 0, ZRSendPace *pace = nullptr,
    bool mayWait = true);
// sendAll() of the bytes, with ZRSocket::sendByteArray()'s debug line; true once all went.
bool sendBytes(int socket, const QByteArray &bytes, int flags = 0, ZRSendPace *pace = nullptr);
// For a thread of the library's own that sends files often: SIGPIPE stays blocked on it for
// good, so that sendFile() need not block and unblock it every time. One raised there stays
// pending on the thread, and goes with it.
void holdSigpipe();
// Sends length bytes of file from offset with sendfile(), never raising SIGPIPE, bounded as
// sendAll() is. Returns the number of bytes sent.
qint64 sendFile(int socket, int file, qint64 offset, qint64 length, ZRSendPace *pace = nullptr,
    bool mayWait = true);
int acceptRetrying(int socket, sockaddr *address, socklen_t *length, int flags);

// The one wait of the library: poll() until one of fds is ready or the deadline (monotonic ms,
// or NoDeadline) has passed, resumed after EINTR. Returns poll's result.
int pollUntil(pollfd *fds, nfds_t count, qint64 deadline);
// Waits until socket shows one of events or the deadline passes. Returns poll's revents, 0 at
// the deadline, -1 on failure.
int waitUntil(int socket, short events, qint64 deadline);
// The same within timeoutMs (-1: no limit).
inline int waitFor(int socket, short events, int timeoutMs)
{
    return waitUntil(socket, events, deadlineIn(timeoutMs));
}

// The address as text, IPv4-mapped ones as plain IPv4; its port in *port if given.
QString addressText(sockaddr_storage address, int *port = nullptr);
// The port a socket is bound to; 0 when unknown.
quint16 localPort(int socket);
// The port of a connected socket's peer; 0 when unknown.
quint16 peerPort(int socket);

// The errno of the step that failed in the calling thread's last ZRSocket::createServerSocket()
// (EADDRNOTAVAIL for an address that is no number, EINVAL for a port out of range); 0 after
// a success.
int lastListenError();
// What went wrong, and what to do, when a socket could not listen on `address` and `port`
// with `error`: one sentence for a warning ("localhost is a name; listen on 127.0.0.1 or ::1").
QString listenFailureAdvice(const QString &address, int port, int error);

// Whether a failed accept means the process or system is out of resources,
// so retrying at once would only spin.
bool isResourceShortage(int error);

// Rings an eventfd (nothing for -1): whoever waits on it wakes.
void wake(int eventFd);

// Receive and send timeouts with millisecond resolution; 0 means none.
bool setReceiveTimeout(int socket, qint64 milliseconds);
bool setSendTimeout(int socket, qint64 milliseconds);

// How long one send call may wait, in all, for a non-blocking socket to take more bytes
// (30 s). Tests shorten it.
ZRNET_AUTOTEST_EXPORT int sendStallLimitMs();
ZRNET_AUTOTEST_EXPORT void setSendStallLimitMs(int milliseconds);

} // namespace ZRSocketPrivate

#endif // ZRSOCKET_P_H
