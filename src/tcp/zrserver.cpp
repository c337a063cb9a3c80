#include "zrserver.h"
#include "zracceptloop_p.h"
#include "zrconnection_p.h"
#include "zrconnectiontable_p.h"
#include "zrlogging_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrthreaddispatcher_p.h"
#include "zrworkerpool_p.h"

#include <QMetaMethod>

#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint DefaultStackSize = 256 * 1024;
// For a server that sends whole files: with the 64 KiB every listening socket gets, a
// megabyte's sendfile() blocks and wakes its thread over and over, for three times the CPU.
constexpr int ReplySendBufferSize = 1024 * 1024;

} // namespace

ZRServer::ZRServer()
    : m_stackSize(DefaultStackSize), m_wakeUp(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_wakeUpError(m_wakeUp < 0 ? errno : 0),
      m_connections(std::make_shared<ZRConnectionTable>(this))
{
    m_connections->pool().setStackSize(DefaultStackSize);
}

// The loop has ended before the wake-up descriptor goes: nothing rings it any more.
ZRServer::~ZRServer()
{
    stop();
    m_connections->detach();
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
    m_connections->pool().setStackSize(bytes);
}

uint ZRServer::threadStackSize() const
{
    return m_stackSize;
}

void ZRServer::setMaxConnections(int count)
{
    m_maxConnections = qMax(0, count);
    ZRSocketPrivate::wake(m_wakeUp); // the loop may be waiting for room that a higher cap gives
}

int ZRServer::maxConnections() const
{
    return m_maxConnections;
}

void ZRServer::setMaxConnectionThreads(int count)
{
    m_maxConnectionThreads = qMax(0, count);
    m_connections->pool().setMaxThreads(count > 0 ? count : std::numeric_limits<int>::max());
    ZRSocketPrivate::wake(m_wakeUp);
}

int ZRServer::maxConnectionThreads() const
{
    return m_maxConnectionThreads;
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
    const std::unique_ptr<ZRAcceptLoop> accepting = prepareLoop(address, port, backlog);
    if (accepting)
        acceptLoop(*accepting, m_listenSocket);
    m_loopClaimed = false;
    return accepting ? 0 : -1;
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
    std::shared_ptr<ZRAcceptLoop> accepting = prepareLoop(address, port, backlog);
    if (!accepting) {
        m_loopClaimed = false;
        return -1;
    }
    const int s = m_listenSocket;
    QThread *thread = QThread::create([this, s, accepting]() mutable {
        QMutexLocker loop(&m_loopMutex);
        acceptLoop(*accepting, s);
        accepting.reset();
        m_loopClaimed = false;
    });
    thread->setObjectName(QStringLiteral("zrnet accept"));
    // Started before the loop mutex is let go, so that a stop() which gets the mutex first
    // finds a running thread to wait for. It runs no event loop either.
    if (!ZRThreadDispatcher::startThread(thread, QThread::InheritPriority)) {
        setErrorText(QStringLiteral("Cannot start the accept loop's thread"));
        m_listenSocket = 0;
        m_port = 0;
        ZRSocket::closeSocket(s);
        delete thread;
        m_loopClaimed = false;
        return -1;
    }
    m_loopThread = thread;
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
        // The text above is the same for every cause; this one says which, and what to do.
        qCWarning(lcTcp, "cannot listen on %s, port %d: %s", qUtf8Printable(address), port,
            qUtf8Printable(ZRSocketPrivate::listenFailureAdvice(
                address, port, ZRSocketPrivate::lastListenError())));
        return s;
    }
    m_port = ZRSocketPrivate::localPort(s);
    if (m_repliesAtOnce) {
        ZRSocket::setSocketNodelay(s, true);
        ZRSocket::setSocketBuffer(s, ReplySendBufferSize);
    }
    if (m_makeConnection) // the threads' grace: a blocking read waits that long at most
        ZRSocketPrivate::setReceiveTimeout(s, ZRConnection::GraceMs);
    qCDebug(lcTcp, "Socket created");
    return s;
}

// The listening socket and every descriptor the accept loop needs, made on the calling thread,
// so that a loop that could not run is a failure to listen; null, with the reason in
// errorText(), when one cannot be made.
std::unique_ptr<ZRAcceptLoop> ZRServer::prepareLoop(const QString &address, int port, int backlog)
{
    if (m_wakeUp < 0) {
        setErrorText(QStringLiteral("Cannot make the server's wake-up descriptor: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(m_wakeUpError))));
        return nullptr;
    }
    const int s = openListeningSocket(address, port, backlog);
    if (s <= 0)
        return nullptr;
    ZRSocket::setSocketNonBlocking(s);
    auto loop = std::make_unique<ZRAcceptLoop>(*this, s);
    if (loop->prepare())
        return loop;
    qCWarning(lcTcp, "cannot serve on %s, port %d: %s", qUtf8Printable(address), port,
        qUtf8Printable(errorText()));
    loop.reset();
    m_listenSocket = -1;
    m_port = 0;
    ZRSocket::closeSocket(s);
    return nullptr;
}

// Runs until stop(); the one place that closes the listening socket, so stop() never touches
// a descriptor number that this loop might still be polling or that has been reused since.
void ZRServer::acceptLoop(ZRAcceptLoop &loop, int s)
{
    loop.run();
    m_listenSocket = 0;
    m_port = 0;
    ZRSocket::closeSocket(s);
}

// The signal costs nothing where no receiver waits for it (an HTTP server's application
// usually listens to its requests only).
bool ZRServer::relay(ZRConnection &connection, char *message, int size)
{
    connection.received(*this, message, size);
    if (!messagesHeard())
        return false;
    emit connectionThread(message, connection.handle());
    return true;
}

bool ZRServer::messagesHeard() const
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&ZRServer::connectionThread);
    return isSignalConnected(signal);
}

ZRSocketThread *ZRServerHandover::startConnection(
    ZRServer &server, int socket, const QString &address)
{
    if (server.m_makeConnection) // as accepted sockets inherit it from the listening one
        ZRSocketPrivate::setReceiveTimeout(socket, ZRConnection::GraceMs);
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

// A server serving its protocol hands the connection to its threads; else the connection gets
// a thread of its own. Returns the connection's handle, which is gone once the connection has
// ended, as may be the case by the time this returns.
ZRSocketThread *ZRServer::startConnection(int socket, const QString &address)
{
    ZRConnection *connection = m_makeConnection ? m_makeConnection(*this, socket, address)
                                                : new ZRConnection(socket, address, m_connections);
    ZRSocketThread *thread = connection->handle();
    m_connections->add(connection);
    if (!connection->servesItself()) {
        m_connections->pool().push(connection);
        return thread;
    }
    if (m_receiveTimeoutMs > 0)
        ZRSocketPrivate::setReceiveTimeout(socket, m_receiveTimeoutMs);
    if (m_stackSize > 0)
        thread->setStackSize(m_stackSize);
    if (ZRThreadDispatcher::startThread(thread))
        return thread;
    connection->abandon();
    return nullptr;
}

void ZRServer::stop()
{
    m_running = false;
    ZRSocketPrivate::wake(m_wakeUp);
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
    return m_connections->waitUntilEmpty(msecs);
}
