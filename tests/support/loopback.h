#ifndef ZRNET_TESTS_LOOPBACK_H
#define ZRNET_TESTS_LOOPBACK_H

// Small helpers for tests that talk to the library over real loopback sockets.

#include "zrserver.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <QVector>
#include <QtGlobal>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace loopback {

// A socket bound to 127.0.0.1 on a port of the kernel's pick, stored in port.
inline int bindAnyPort(int &port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

// A port that nothing listens on right now.
inline int freePort()
{
    int port = 0;
    ::close(bindAnyPort(port));
    return port;
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
    // Sends data in pieces that end at the given offsets (the last runs to the end),
    // pausing between them so that each is likely to arrive on its own.
    bool sendInPieces(const QByteArray &data, const QVector<int> &cuts, int pauseMs = 30) const
    {
        int start = 0;
        for (int cut : cuts) {
            if (!send(data.mid(start, cut - start)))
                return false;
            QThread::msleep(pauseMs);
            start = cut;
        }
        return send(data.mid(start));
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
    // Closes with a reset instead of an orderly close, as a client that crashed.
    void abort()
    {
        const linger hard { 1, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    int fd = -1;
};

// Runs a server's blocking accept loop on a thread of its own.
class Running
{
public:
    explicit Running(ZRServer &server, QString address = QStringLiteral("127.0.0.1"))
        : port(freePort())
    {
        thread.reset(QThread::create(
            [&server, address, this] { result = server.listenConnections(address, port, 64); }));
        thread->start();
        QTRY_VERIFY(server.socket() != 0);
    }
    // wait() rather than isRunning(), which turns false before the thread has quite finished.
    ~Running() { thread->wait(10000); }
    int port;
    std::atomic<int> result { 1 };
    std::unique_ptr<QThread> thread;
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

// Threads of this process, as the kernel counts them.
inline int threadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    return -1;
}

// Waits until only `baseline` threads are left, then carries out the deferred
// deletions that ended connection threads have handed to this thread, so no
// test leaves objects behind for the next one (or for the leak checker).
inline bool releaseEndedThreads(int baseline, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (threadCount() > baseline && !deadline.hasExpired())
        QThread::msleep(10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return threadCount() <= baseline;
}

// Host-name look-ups are only safe where the test runs in a private namespace.
inline bool mayResolveNames()
{
    return qEnvironmentVariableIsEmpty("ZRNET_NO_NETNS");
}

} // namespace loopback

#endif // ZRNET_TESTS_LOOPBACK_H
