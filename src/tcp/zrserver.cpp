#include "zrserver.h"
#include "zrlogging_p.h"
#include "zrsendpace_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrthreaddispatcher_p.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSemaphore>

#include <arpa/inet.h>
#include <cerrno>
#include <limits>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The accept loop wakes this often to release the objects of ended connections.
constexpr int ReapIntervalMs = 200;
// Pause after an accept that failed for want of descriptors or memory.
constexpr int ShortagePauseMs = 50;
constexpr uint DefaultStackSize = 256 * 1024;
// For a server that sends whole files: with the 64 KiB every listening socket gets, a
// megabyte's sendfile() blocks and wakes its thread over and over, for three times the CPU.
constexpr int ReplySendBufferSize = 1024 * 1024;

// The connection set whose server code this thread is in, if any.
thread_local const ZRServerConnections *enteredSet = nullptr;

// Only a thread that finishes deletes the dispatcher it was given.
void deleteUnstarted(QThread *thread)
{
    delete thread->eventDispatcher();
    delete thread;
}

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
    QSemaphore looping;
    QThread *thread = QThread::create([this, s, &looping] {
        QMutexLocker loop(&m_loopMutex);
        looping.release();
        acceptLoop(s);
        m_loopClaimed = false;
    });
    thread->setObjectName(QStringLiteral("zrnet accept"));
    thread->setEventDispatcher(new ZRThreadDispatcher); // it runs no event loop either
    // Started before the loop mutex is let go, so that a stop() which gets the mutex first
    // finds a running thread to wait for.
    thread->start();
    if (!thread->isRunning() && !thread->isFinished()) {
        setErrorText(QStringLiteral("Cannot start the accept loop's thread"));
        m_listenSocket = 0;
        m_port = 0;
        ZRSocket::closeSocket(s);
        deleteUnstarted(thread);
        m_loopClaimed = false;
        return -1;
    }
    m_loopThread = thread;
    loop.unlock();
    looping.acquire();
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
    m_port = ZRSocketPrivate::localPort(s);
    if (m_repliesAtOnce) {
        ZRSocket::setSocketNodelay(s, true);
        ZRSocket::setSocketBuffer(s, ReplySendBufferSize);
    }
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
        if (!hasRoom() && !makeRoom(s))
            continue;
        sockaddr_storage peer {};
        const int c = ZRSocket::acceptClientConnection(s, peer);
        if (c < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                waitForWakeUp(s);
            else if (ZRSocketPrivate::isResourceShortage(errno) || errno == EBADF
                || errno == EINVAL)
                QThread::msleep(ShortagePauseMs);
            continue;
        }
        const QString text = ZRSocketPrivate::addressText(peer);
        qCDebug(lcTcp, "Accepted socket connection from %s", qPrintable(text));
        admit(c, text);
    }
    m_listenSocket = 0;
    m_port = 0;
    ZRSocket::closeSocket(s);
    closeFreshConnections(false);
    m_connections->setLoopDeletes(false);
    m_connections->deleteEnded(true);
}

// A connection that has sent nothing costs a descriptor in the loop's watch list, not a thread.
void ZRServer::admit(int socket, const QString &address)
{
    if (m_watchesFresh)
        m_fresh.append({ socket, address, monotonicMs() });
    else
        startConnection(socket, address);
}

// Whether the connection cap allows one more. When it does not, an ending connection rings
// the wake-up descriptor from now on.
bool ZRServer::hasRoom()
{
    const int cap = m_maxConnections;
    if (cap <= 0)
        return true;
    QMutexLocker lock(&m_connections->mutex);
    m_connections->waitingForRoom = m_connections->running.size() + m_fresh.size() >= cap;
    return !m_connections->waitingForRoom;
}

// At the cap: true once room has been made for the client waiting to be accepted. Otherwise
// it waits until a connection ends (or a client comes, for a server that may evict).
bool ZRServer::makeRoom(int listening)
{
    if (!m_watchesFresh) {
        waitForWakeUp(-1);
        return false;
    }
    // A look at the listening socket alone first: while clients queue up, polling every watched
    // connection before each accept would cost more than the accepts.
    if (ZRSocketPrivate::waitFor(listening, POLLIN, 0) <= 0 && !waitForWakeUp(listening))
        return false;
    switch (evictOne()) {
    case RoomMade:
        return true;
    case LookAgain:
        return false;
    case RoomComing:
    case NothingToEnd: // every connection is busy: the client waits in the queue until one ends
        break;
    }
    waitForWakeUp(-1);
    return false;
}

// Ends the connection that does least for a waiting client: the one idle longest between two
// requests, else the one whose request started longest ago and is still incomplete (one that
// has sent nothing yet counts from its accept), else the reply whose client has taken nothing
// for a window of its pace. A request with the application, or a reply that moves, is never
// cut. Ending a thread's connection makes room once the thread has left.
ZRServer::Eviction ZRServer::evictOne()
{
    QMutexLocker lock(&m_connections->mutex);
    ZRSocketThread *oldest = nullptr;
    int oldestPhase = ZRSocketThread::Evicted;
    int oldestRank = m_fresh.isEmpty() ? 3 : 1;
    qint64 oldestSince
        = m_fresh.isEmpty() ? std::numeric_limits<qint64>::max() : m_fresh.first().acceptedAt;
    for (ZRSocketThread *thread : qAsConst(m_connections->running)) {
        const int phase = thread->m_phase;
        if (phase == ZRSocketThread::Evicted)
            return RoomComing; // one at a time: the cap is never overshot
        const int rank = evictionRank(*thread, phase);
        const qint64 since = thread->m_phaseSince;
        if (rank >= 0 && (rank < oldestRank || (rank == oldestRank && since < oldestSince))) {
            oldest = thread;
            oldestPhase = phase;
            oldestRank = rank;
            oldestSince = since;
        }
    }
    if (oldest) {
        qCDebug(lcTcp, "Ending a connection of %s to make room", qUtf8Printable(oldest->m_address));
        // Should it have moved on meanwhile, the next pass looks again.
        return oldest->evict(oldestPhase) ? RoomComing : LookAgain;
    }
    if (m_fresh.isEmpty())
        return NothingToEnd;
    qCDebug(
        lcTcp, "Ending a connection of %s to make room", qUtf8Printable(m_fresh.first().address));
    ZRSocket::closeSocket(m_fresh.takeFirst().socket);
    return RoomMade;
}

// Idle ones first (0), then incomplete requests (1, beside those not yet in a thread), then
// stalled replies (2); -1 for a connection that must not be ended.
int ZRServer::evictionRank(const ZRSocketThread &thread, int phase)
{
    switch (phase) {
    case ZRSocketThread::Idle:
        return 0;
    case ZRSocketThread::Reading:
        return 1;
    case ZRSocketThread::Sending:
        return thread.m_sendPace->stalled() ? 2 : -1;
    default:
        return -1;
    }
}

// Sleeps until the listening socket has a client (when given), a watched connection sends its
// first bytes, or stop(), an ending connection or a new cap rings the wake-up descriptor; at
// the latest until it is time to release the objects of ended connections, or to close a
// watched connection whose request did not come in time. True when a client is waiting.
bool ZRServer::waitForWakeUp(int listening)
{
    QVector<pollfd> fds;
    fds.reserve(2 + m_fresh.size());
    fds.append({ m_wakeUp, POLLIN, 0 });
    fds.append({ listening, POLLIN, 0 });
    for (const Fresh &fresh : qAsConst(m_fresh))
        fds.append({ fresh.socket, POLLIN, 0 });
    int timeout = ReapIntervalMs;
    const int expiry = m_receiveTimeoutMs;
    if (expiry > 0 && !m_fresh.isEmpty())
        timeout = int(qBound<qint64>(
            0, m_fresh.first().acceptedAt + expiry - monotonicMs(), qint64(ReapIntervalMs)));
    ZRSocketPrivate::pollRetrying(fds.data(), nfds_t(fds.size()), timeout);
    if (fds[0].revents & POLLIN) {
        quint64 count;
        (void)!::read(m_wakeUp, &count, sizeof count);
    }
    startReadyConnections(fds.constData() + 2, fds.size() - 2);
    closeFreshConnections(true);
    return listening >= 0 && (fds[1].revents & POLLIN);
}

// The watched connections whose first bytes (or end) have come get their threads; fds holds
// one entry for each, in order.
void ZRServer::startReadyConnections(const pollfd *fds, int count)
{
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const Fresh fresh = m_fresh.at(i);
        if (fds[i].revents)
            startConnection(fresh.socket, fresh.address, fresh.acceptedAt);
        else
            m_fresh[kept++] = fresh;
    }
    m_fresh.resize(kept);
}

// Closes the watched connections: all of them, or those whose request did not begin within
// the receive timeout, counted from the accept.
void ZRServer::closeFreshConnections(bool onlyExpired)
{
    const qint64 expiry = m_receiveTimeoutMs;
    const qint64 now = monotonicMs();
    while (!m_fresh.isEmpty()
        && (!onlyExpired || (expiry > 0 && now - m_fresh.first().acceptedAt >= expiry))) {
        qCDebug(lcTcp, "Closing a connection that sent nothing");
        ZRSocket::closeSocket(m_fresh.takeFirst().socket);
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

// acceptedAt: when a watched connection was accepted (monotonic ms); -1 for now.
ZRSocketThread *ZRServer::startConnection(int socket, const QString &address, qint64 acceptedAt)
{
    auto *thread = new ZRSocketThread(socket, address, m_connections);
    if (acceptedAt >= 0)
        thread->m_acceptedAt = thread->m_phaseSince = acceptedAt;
    // What is left of the time its request has, for one that waited in the watch list.
    const qint64 timeout = m_receiveTimeoutMs;
    const qint64 left = qMax<qint64>(1, timeout - (monotonicMs() - thread->m_acceptedAt));
    if (timeout > 0)
        thread->setReadTimeout(left);
    thread->m_tlsContext = tlsContext();
    thread->m_handshakeDeadline
        = timeout > 0 ? QDeadlineTimer(left) : QDeadlineTimer(QDeadlineTimer::Forever);
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
        deleteUnstarted(thread);
        return nullptr;
    }
    return thread;
}

void ZRServer::stop()
{
    m_running = false;
    wake(m_wakeUp);
    if (m_loopThread == QThread::currentThread())
        return; // the loop ends once this call has returned to it
    // A start() under way holds the mutex until its thread runs.
    m_loopMutex.lock();
    QThread *loopThread = m_loopThread;
    m_loopMutex.unlock();
    if (loopThread)
        loopThread->wait();
}

bool ZRServer::waitForConnections(int msecs)
{
    return m_connections->waitUntilNoneRunning(msecs);
}
