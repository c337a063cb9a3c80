#ifndef ZRNET_TESTS_LOOPBACK_H
#define ZRNET_TESTS_LOOPBACK_H

// Small helpers for tests that talk to the library over real loopback sockets.

#include <QByteArray>
#include <QThread>
#include <QtGlobal>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback {

// A port that nothing listens on right now (the kernel's pick).
inline int freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// A plain blocking client socket; closes itself.
class Peer
{
public:
    Peer() = default;
    explicit Peer(int port) { connectTo(port); }
    ~Peer() { close(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool connectTo(int port)
    {
        close();
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    bool send(const QByteArray &data) const
    {
        qint64 done = 0;
        while (done < data.size()) {
            const ssize_t n
                = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }
    // Reads until the peer closes or timeoutMs passes without data.
    QByteArray readAll(int timeoutMs = 5000) const
    {
        QByteArray out;
        char buf[4096];
        for (;;) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            out.append(buf, int(n));
        }
        return out;
    }
    // Whether the peer has closed (or reset) the connection within timeoutMs.
    bool closedByPeer(int timeoutMs = 5000) const
    {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, timeoutMs) <= 0)
            return false;
        char c;
        return ::recv(fd, &c, 1, MSG_PEEK) <= 0;
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int fd = -1;
};

inline bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

inline bool isCloseOnExec(int fd)
{
    const int flags = ::fcntl(fd, F_GETFD);
    return flags != -1 && (flags & FD_CLOEXEC);
}

// Host-name look-ups are only safe where the test runs in a private namespace.
inline bool mayResolveNames()
{
    return qEnvironmentVariableIsEmpty("ZRNET_NO_NETNS");
}

} // namespace loopback

#endif // ZRNET_TESTS_LOOPBACK_H
