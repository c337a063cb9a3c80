#include "zrserver.h"
#include "zrlogging_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrthreaddispatcher_p.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

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
constexpr uint DefaultStackSize = 256 * 1024;

// The connection set whose server code this thread is in, if any.
thread_local const ZRServerConnections *enteredSet = nullptr;

void wake(int eventFd)
{
    const quint64 one = 1;
    if (eventFd >= 0)
        (void)!::write(eventFd, &one, sizeof one);
}

} // namespace

ZRConnectionData::~ZRConnectionData() = default;

ZRServer *ZRServerConnections::enter()
{
    QMutexLocker lock(&mutex);
    if (!server)
        return nullptr;
    ++inside;
    enteredSet = this;
    return server;
}

void ZRServerConnections::leave()
{
    QMutexLocker lock(&mutex);
    --inside;
    enteredSet = nullptr;
    if (!server)
        changed.wakeAll();
}

void ZRServerConnections::detach()
{
    QMutexLocker lock(&mutex);
    server = nullptr;
    // A slot may destroy the server from a connection thread; that thread is not waited for.
    const int self = enteredSet == this ? 1 : 0;
    while (inside > self)
        changed.wait(&mutex);
}

// Passes a connection's message on to the server's signal. Through here rather than a
// signal connection, so that a server being destroyed can wait until no connection is inside
// its signal, and a message that comes after it is gone ends its connection instead of waiting
// for an answer that nobody will give.
void ZRServerConnections::relay(char *message, ZRSocketThread *thread)
{
    ZRServer *to = enter();
    if (!to) {
        thread->stop();
        return;
    }
    emit to->connectionThread(message, thread);
    leave();
}

void ZRServerConnections::add(ZRSocketThread *thread)
{
    QMutexLocker lock(&mutex);
    running.insert(thread);
}

void ZRServerConnections::ending(ZRSocketThread *thread)
{
    QMutexLocker lock(&mutex);
    running.remove(thread);
    if (loopDeletes) {
        ended.append(thread);
    } else {
        // Deleting from finished() (never from inside run()) guarantees that nobody destroys
        // a QThread that is still running.
        QObject::connect(
            thread, &QThread::finished, thread, &QObject::deleteLater, Qt::DirectConnection);
    }
    if (waitingForRoom)
        wake(wakeFd);
    changed.wakeAll();
}

bool ZRServerConnections::waitUntilNoneRunning(int msecs)
{
    QDeadlineTimer deadline(
        msecs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(msecs));
    QMutexLocker lock(&mutex);
    while (!running.isEmpty()) {
        if (!changed.wait(&mutex, deadline))
            return running.isEmpty();
    }
    return true;
}

// A connection may still be on its way out of run(); unless told to wait for all, the loop
// leaves those for its next pass rather than sleep on them between two accepts.
void ZRServerConnections::deleteEnded(bool waitForAll)
{
    QVector<ZRSocketThread *> done;
    {
        QMutexLocker lock(&mutex);
        if (ended.isEmpty())
            return;
        done.swap(ended);
    }
    QVector<ZRSocketThread *> leaving;
    for (ZRSocketThread *thread : qAsConst(done)) {
        if (!waitForAll && !thread->isFinished()) {
            leaving.append(thread);
            continue;
        }
        thread->wait();
        delete thread;
    }
    if (leaving.isEmpty())
        return;
    QMutexLocker lock(&mutex);
    ended += leaving;
}

void ZRServerConnections::setLoopDeletes(bool on)
{
    QMutexLocker lock(&mutex);
    loopDeletes = on;
    waitingForRoom = false;
    if (on)
        return;
    // Connections still running from here on schedule their own deletion. The loop's thread
    // may never process events again once the loop has returned, so the application's main
    // thread, which runs the event loop, carries it out.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || app->thread() == QThread::currentThread())
        return;
    for (ZRSocketThread *thread : qAsConst(running))
        thread->moveToThread(app->thread());
}

ZRServer::ZRServer()
    : m_stackSize(DefaultStackSize), m_wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_connections(std::make_shared<ZRServerConnections>())
{
    m_connections->server = this;
    m_connections->wakeFd = m_wakeUp;
}

ZRServer::~ZRServer()
{
    stop();
    m_connections->detach();
    {
        QMutexLocker lock(&m_connections->mutex);
        m_connections->wakeFd = -1;
    }
    if (m_wakeUp >= 0)
        ::close(m_wakeUp);
    delete m_loopThread.load();
}

int ZRServer::socket() const
{
    return m_listenSocket;
}

quint16 ZRServer::serverPort() const
{
    return m_port;
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

void ZRServer::setThreadStackSize(uint bytes)
{
    m_stackSize = bytes;
}

uint ZRServer::threadStackSize() const
{
    return m_stackSize;
}

void ZRServer::setMaxConnections(int count)
{
    m_maxConnections = qMax(0, count);
    wake(m_wakeUp); // the loop may be waiting for room that a higher cap gives
}

int ZRServer::maxConnections() const
{
    return m_maxConnections;
}

QString ZRServer::errorText() const
{
    QMutexLocker lock(&m_errorMutex);
    return m_errorText;
}

void ZRServer::setErrorText(const QString &text)
{
    QMutexLocker lock(&m_errorMutex);
    m_errorText = text;
}

bool ZRServer::claimLoop()
{
    if (!m_loopClaimed.exchange(true))
        return true;
    setErrorText(QStringLiteral("The server is already listening"));
    return false;
}

int ZRServer::listenConnections(QString address, int port, int backlog)
{
    if (!claimLoop())
        return -1;
    QMutexLocker loop(&m_loopMutex);
    const int s = openListeningSocket(address, port, backlog);
    if (s > 0)
        acceptLoop(s);
    m_loopClaimed = false;
    return s > 0 ? 0 : s;
}

int ZRServer::start(QString address, int port, int backlog)
{
    if (!m_running) {
        setErrorText(QStringLiteral("The server was stopped and cannot listen again"));
        return -1;
    }
    if (!claimLoop())
        return -1;
    QMutexLocker loop(&m_loopMutex);
    const int s = openListeningSocket(address, port, backlog);
    if (s <= 0) {
        m_loopClaimed = false;
        return s;
    }
    QThread *thread = QThread::create([this, s] {
        QMutexLocker loop(&m_loopMutex);
        acceptLoop(s);
        m_loopClaimed = false;
    });
    thread->setObjectName(QStringLiteral("zrnet accept"));
    thread->setEventDispatcher(new ZRThreadDispatcher); // it runs no event loop either
    m_loopThread = thread;
    loop.unlock();
    thread->start();
    if (!thread->isRunning() && !thread->isFinished()) {
        setErrorText(QStringLiteral("Cannot start the accept loop's thread"));
        m_listenSocket = 0;
        m_port = 0;
        ZRSocket::closeSocket(s);
        m_loopClaimed = false;
        return -1;
    }
    return s;
}

int ZRServer::openListeningSocket(const QString &address, int port, int backlog)
{
    const int s = ZRSocket::createServerSocket(address, port, backlog);
    m_listenSocket = s;
    if (s <= 0) {
        setErrorText(
            QStringLiteral("Something happened creating server socket. Exiting with error code %1")
                .arg(ZRSocket::lastErrorNumber()));
        return s;
    }
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    if (::getsockname(s, reinterpret_cast<sockaddr *>(&bound), &length) == 0)
        m_port = ntohs(bound.sin_port);
    qCDebug(lcTcp, "Socket created");
    return s;
}

// Runs until stop(); the one place that closes the listening socket, so stop() never touches
// a descriptor number that this loop might still be polling or that has been reused since.
//
// The socket is made non-blocking so that, under load, clients are accepted one after the
// other without a poll() before each; the loop waits only once the queue is empty.
void ZRServer::acceptLoop(int s)
{
    ZRSocket::setSocketNonBlocking(s);
    m_connections->setLoopDeletes(true);
    for (;;) {
        m_connections->deleteEnded();
        if (!m_running)
            break;
        if (!hasRoom()) {
            waitForWakeUp(-1);
            continue;
        }
        sockaddr_in peer {};
        const int c = ZRSocket::acceptClientConnection(s, peer);
        if (c < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                waitForWakeUp(s);
            else if (ZRSocketPrivate::isResourceShortage(errno) || errno == EBADF
                || errno == EINVAL)
                QThread::msleep(ShortagePauseMs);
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        qCDebug(lcTcp, "Accepted socket connection from %s", text);
        startConnection(c, QString::fromLatin1(text));
    }
    m_listenSocket = 0;
    m_port = 0;
    ZRSocket::closeSocket(s);
    m_connections->setLoopDeletes(false);
    m_connections->deleteEnded(true);
}

// Whether the connection cap allows one more. When it does not, an ending connection rings
// the wake-up descriptor from now on.
bool ZRServer::hasRoom()
{
    const int cap = m_maxConnections;
    if (cap <= 0)
        return true;
    QMutexLocker lock(&m_connections->mutex);
    m_connections->waitingForRoom = m_connections->running.size() >= cap;
    return !m_connections->waitingForRoom;
}

// Sleeps until the listening socket has a client (when given), or stop(), an ending
// connection or a new cap rings the wake-up descriptor; at the latest until it is time to
// release the objects of ended connections.
void ZRServer::waitForWakeUp(int listening)
{
    pollfd fds[2] = { { m_wakeUp, POLLIN, 0 }, { listening, POLLIN, 0 } };
    ZRSocketPrivate::pollRetrying(fds, 2, ReapIntervalMs);
    if (fds[0].revents & POLLIN) {
        quint64 count;
        (void)!::read(m_wakeUp, &count, sizeof count);
    }
}

ZRSocketThread *ZRServerHandover::startConnection(
    ZRServer &server, int socket, const QString &address)
{
    return server.startConnection(socket, address);
}

void ZRServer::setTlsContext(std::shared_ptr<const ZRTlsContext> context)
{
    std::atomic_store(&m_tlsContext, std::move(context));
}

std::shared_ptr<const ZRTlsContext> ZRServer::tlsContext() const
{
    return std::atomic_load(&m_tlsContext);
}

ZRSocketThread *ZRServer::startConnection(int socket, const QString &address)
{
    const int timeout = m_receiveTimeoutMs;
    std::shared_ptr<const ZRTlsContext> tls = tlsContext();
    // The handshake counts toward the first request's time, which runs from the accept.
    const QDeadlineTimer handshakeDeadline
        = timeout > 0 ? QDeadlineTimer(timeout) : QDeadlineTimer(QDeadlineTimer::Forever);
    auto *thread
        = new ZRSocketThread(socket, address, m_connections, std::move(tls), handshakeDeadline);
    if (timeout > 0)
        thread->setReceiveTimeout(timeout);
    if (m_stackSize > 0)
        thread->setStackSize(m_stackSize);
    m_connections->add(thread);
    thread->start(QThread::InheritPriority);
    // A thread that could not be created never ran: nothing else would close its socket or
    // delete it.
    if (!thread->isRunning() && !thread->isFinished()) {
        qCDebug(lcTcp, "Cannot start a thread for the connection from %s", qUtf8Printable(address));
        {
            QMutexLocker lock(&m_connections->mutex);
            m_connections->running.remove(thread);
        }
        ZRSocket::closeSocket(socket);
        delete thread;
        return nullptr;
    }
    return thread;
}

void ZRServer::stop()
{
    m_running = false;
    wake(m_wakeUp);
    QThread *loopThread = m_loopThread;
    if (loopThread == QThread::currentThread())
        return; // the loop ends once this call has returned to it
    m_loopMutex.lock();
    m_loopMutex.unlock();
    if (loopThread)
        loopThread->wait();
}

bool ZRServer::waitForConnections(int msecs)
{
    return m_connections->waitUntilNoneRunning(msecs);
}
