#include "zrserver.h"
#include "zrlogging_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The accept loop wakes this often to release the objects of ended connections.
constexpr int ReapIntervalMs = 200;
// Pause after an accept that failed for want of descriptors or memory.
constexpr int ShortagePauseMs = 50;

// Ended connection threads schedule their own deletion on this thread, whose
// event loop is not running while it accepts; carry those deletions out here.
void releaseEndedConnections()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

ZRServer::ZRServer() : m_wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) { }

ZRServer::~ZRServer()
{
    stop();
    const int s = m_listenSocket.exchange(0);
    if (s > 0)
        ZRSocket::closeSocket(s);
    if (m_wakeUp >= 0)
        ::close(m_wakeUp);
}

int ZRServer::socket() const
{
    return m_listenSocket;
}

void ZRServer::setReceiveTimeout(int seconds)
{
    m_receiveTimeout = qMax(0, seconds);
}

int ZRServer::receiveTimeout() const
{
    return m_receiveTimeout;
}

QString ZRServer::errorText() const
{
    return m_errorText;
}

int ZRServer::listenConnections(QString address, int port, int backlog)
{
    const int s = ZRSocket::createServerSocket(address, port, backlog);
    m_listenSocket = s;
    if (s <= 0) {
        m_errorText = QStringLiteral(
            "Something happened creating server socket. Exiting with error code %1")
                          .arg(ZRSocket::lastErrorNumber());
        return s;
    }
    qCDebug(lcTcp, "Socket created");

    QMutexLocker loop(&m_loopMutex);
    for (;;) {
        releaseEndedConnections();
        if (!m_running) {
            // The loop closes the socket itself, so stop() never touches a
            // descriptor number that this loop might still be polling.
            m_listenSocket = 0;
            ZRSocket::closeSocket(s);
            return 0;
        }
        if (!waitForClient(s))
            continue;
        sockaddr_in peer {};
        const int c = ZRSocket::acceptClientConnection(s, peer);
        if (c < 0) {
            if (ZRSocketPrivate::isResourceShortage(errno))
                QThread::msleep(ShortagePauseMs);
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        qCDebug(lcTcp, "Accepted socket connection from %s", text);
        startConnection(c, QString::fromLatin1(text));
    }
}

bool ZRServer::waitForClient(int socket)
{
    pollfd fds[2] = { { socket, POLLIN, 0 }, { m_wakeUp, POLLIN, 0 } };
    const int n = ::poll(fds, m_wakeUp >= 0 ? 2 : 1, ReapIntervalMs);
    return n > 0 && fds[0].revents != 0 && m_running;
}

void ZRServer::startConnection(int socket, const QString &address)
{
    if (m_receiveTimeout > 0)
        ZRSocket::setSocketTimeout(socket, m_receiveTimeout);
    auto *thread = new ZRSocketThread(socket, address);
    connect(thread, &ZRSocketThread::connectionThread, this, &ZRServer::connectionThread,
        Qt::DirectConnection);
    thread->start(QThread::InheritPriority);
    // A thread that could not be created never ran: nothing else would close
    // its socket or delete it.
    if (!thread->isRunning() && !thread->isFinished()) {
        qCDebug(lcTcp, "Cannot start a thread for the connection from %s", qUtf8Printable(address));
        ZRSocket::closeSocket(socket);
        delete thread;
    }
}

void ZRServer::stop()
{
    m_running = false;
    if (m_wakeUp >= 0) {
        const quint64 one = 1;
        (void)!::write(
            m_wakeUp, &one, sizeof one); // wakes the accept loop, which closes its socket
    }
    m_loopMutex.lock();
    m_loopMutex.unlock();
    const int left = m_listenSocket.exchange(0);
    if (left > 0)
        ZRSocket::closeSocket(left);
}
