#include "zrserver.h"
#include "zrlogging_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"

#include <QCoreApplication>
#include <QSet>
#include <QVector>

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

} // namespace

// The connections a server has started. Shared with their finished() handlers,
// which may run after the server is gone.
//
// While the accept loop runs it deletes its ended connections itself, rather
// than through deferred deletion: the loop thread's event loop is not running,
// and posting one event per connection to it would pile up there.
struct ZRServerConnections
{
    QMutex mutex; // guards all three
    QSet<ZRSocketThread *> running;
    QVector<ZRSocketThread *> ended; // finished, waiting for the loop to delete them
    bool loopDeletes = false; // else an ended connection schedules its own deletion
};

ZRServer::ZRServer()
    : m_wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_connections(std::make_shared<ZRServerConnections>())
{ }

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
    setReceiveTimeoutMs(qMax(0, seconds) * 1000);
}

int ZRServer::receiveTimeout() const
{
    return (m_receiveTimeoutMs + 999) / 1000;
}

void ZRServer::setReceiveTimeoutMs(int milliseconds)
{
    m_receiveTimeoutMs = qMax(0, milliseconds);
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
    setLoopDeletes(true);
    for (;;) {
        deleteEndedConnections();
        if (!m_running) {
            // The loop closes the socket itself, so stop() never touches a
            // descriptor number that this loop might still be polling.
            m_listenSocket = 0;
            ZRSocket::closeSocket(s);
            setLoopDeletes(false);
            deleteEndedConnections();
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
    if (m_receiveTimeoutMs > 0)
        ZRSocketPrivate::setReceiveTimeout(socket, m_receiveTimeoutMs);
    auto *thread = new ZRSocketThread(socket, address);
    connect(thread, &ZRSocketThread::connectionThread, this, &ZRServer::connectionThread,
        Qt::DirectConnection);
    disconnect(thread, &QThread::finished, thread, &QObject::deleteLater);
    {
        QMutexLocker lock(&m_connections->mutex);
        m_connections->running.insert(thread);
    }
    connect(
        thread, &QThread::finished, thread,
        [connections = m_connections, thread] {
            QMutexLocker lock(&connections->mutex);
            connections->running.remove(thread);
            if (connections->loopDeletes)
                connections->ended.append(thread);
            else
                thread->deleteLater();
        },
        Qt::DirectConnection);
    thread->start(QThread::InheritPriority);
    // A thread that could not be created never ran: nothing else would close
    // its socket or delete it.
    if (!thread->isRunning() && !thread->isFinished()) {
        qCDebug(lcTcp, "Cannot start a thread for the connection from %s", qUtf8Printable(address));
        ZRSocket::closeSocket(socket);
        QMutexLocker lock(&m_connections->mutex);
        m_connections->running.remove(thread);
        delete thread;
    }
}

void ZRServer::setLoopDeletes(bool on)
{
    QMutexLocker lock(&m_connections->mutex);
    m_connections->loopDeletes = on;
    if (on)
        return;
    // Connections still running from here on schedule their own deletion. This
    // thread may never process events again once the loop has returned, so the
    // application's main thread, which runs the event loop, carries it out.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || app->thread() == QThread::currentThread())
        return;
    for (ZRSocketThread *thread : qAsConst(m_connections->running))
        thread->moveToThread(app->thread());
}

void ZRServer::deleteEndedConnections()
{
    QVector<ZRSocketThread *> ended;
    {
        QMutexLocker lock(&m_connections->mutex);
        ended.swap(m_connections->ended);
    }
    for (ZRSocketThread *thread : qAsConst(ended)) {
        thread->wait(); // it may still be on its way out of finished()
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
