#include "zracceptloop_p.h"
#include "zrconnection_p.h"
#include "zrconnectiontable_p.h"
#include "zrlogging_p.h"
#include "zrserver.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrworkerpool_p.h"

#include <QThread>
#include <QVarLengthArray>

#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// A server serving connections on threads of their own wakes this often to delete the objects
// of ended ones.
constexpr int ReapIntervalMs = 200;
// Pause after an accept that failed for want of descriptors or memory.
constexpr int ShortagePauseMs = 50;
constexpr int EventsPerWait = 64;

// Raises the open-file limit to the hard limit where the system allows, and returns how many
// connections that leaves room for: an eighth of the descriptors stays for everything else
// (files sent, the application's own).
int descriptorCeiling()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > rlim_t(std::numeric_limits<int>::max()))
        return 0;
    const int descriptors = int(limit.rlim_cur);
    return qMax(1, descriptors - qMax(32, descriptors / 8));
}

} // namespace

ZRAcceptLoop::ZRAcceptLoop(ZRServer &server, int listening)
    : m_server(server), m_table(*server.m_connections), m_listening(listening),
      m_pollSet(::epoll_create1(EPOLL_CLOEXEC)), m_descriptorCeiling(descriptorCeiling()),
      m_acceptFlags(SOCK_CLOEXEC)
{ }

ZRAcceptLoop::~ZRAcceptLoop()
{
    if (m_pollSet >= 0)
        ::close(m_pollSet);
}

bool ZRAcceptLoop::watch(int socket, Tag tag)
{
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return ::epoll_ctl(m_pollSet, EPOLL_CTL_ADD, socket, &event) == 0;
}

// On the thread that starts listening, so that a loop that cannot run is a failure to start.
bool ZRAcceptLoop::prepare()
{
    if (m_pollSet < 0 || !watch(m_listening, ListeningTag)
        || !watch(m_server.m_wakeUp, WakeUpTag)) {
        m_server.setErrorText(QStringLiteral("Cannot make the accept loop's poll set: %1")
                                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    return true;
}

// Runs until stop(), once prepared. The listening socket is non-blocking, so that under load
// clients are accepted one after the other without a wait before each.
void ZRAcceptLoop::run()
{
    m_table.setLoopDeletes(true);
    m_table.setPollSet(m_pollSet, m_server.m_wakeUp);
    m_table.pool().setKeepsThreads(true);
    while (m_server.m_running) {
        m_table.deleteEnded();
        acceptWaiting();
        if (m_server.m_running)
            wait();
    }
    m_table.setPollSet(-1, -1); // no connection parks from now on
    endParked();
    m_table.pool().setKeepsThreads(false);
    m_table.setLoopDeletes(false);
    m_table.deleteEnded(true);
}

// Sleeps until a client, a wake-up or a parked connection's socket comes, or its deadline; a
// server whose connections have threads of their own wakes now and then to delete ended ones.
void ZRAcceptLoop::wait()
{
    const qint64 reap = m_server.m_makeConnection ? ZRSocketPrivate::NoDeadline
                                                  : ZRSocketPrivate::deadlineIn(ReapIntervalMs);
    const qint64 until = ZRSocketPrivate::earlierDeadline(m_table.nextDeadline(reap), reap);
    const int timeout = until == ZRSocketPrivate::NoDeadline
        ? -1
        : int(
            qBound(qint64(0), until - ZRSocketPrivate::monotonicMs(), qint64(ReapIntervalMs * 50)));
    epoll_event events[EventsPerWait];
    const int count = ::epoll_wait(m_pollSet, events, EventsPerWait, timeout);
    if (count > 0)
        handle(events, count);
    endExpired();
}

// The connections found ready leave the poll set together, then go to threads, with those
// resumed; the ones found ready are no longer parked when the resumed ones are taken, so none
// goes to two threads.
void ZRAcceptLoop::handle(const epoll_event *events, int count)
{
    QVarLengthArray<ZRConnection *, EventsPerWait> ready;
    bool woken = false;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == ListeningTag) {
            m_clientWaiting = true;
        } else if (events[i].data.u64 == WakeUpTag) {
            quint64 rings;
            (void)!::read(m_server.m_wakeUp, &rings, sizeof rings);
            setListening(true); // room may have come
            woken = true;
        } else {
            ready.append(static_cast<ZRConnection *>(events[i].data.ptr));
        }
    }
    m_table.unpark(ready.constData(), ready.size());
    for (ZRConnection *connection : qAsConst(ready))
        m_table.pool().push(connection);
    if (!woken)
        return;
    for (ZRConnection *connection : m_table.takeResumed())
        m_table.pool().push(connection);
}

// At the cap a parked connection that does nothing useful gives way, where the server serves
// its protocol itself, but only once a client has been accepted: not for one that turns out not
// to be there (the loop accepts until the queue is empty). Without one, the listening socket
// leaves the poll set until the table rings the wake-up.
void ZRAcceptLoop::acceptWaiting()
{
    while (m_clientWaiting && m_server.m_running) {
        const ZRConnectionTable::Room room
            = m_table.room(cap(), m_server.m_makeConnection != nullptr, m_server.m_wakeUp);
        if (room == ZRConnectionTable::Full) {
            setListening(false);
            m_clientWaiting = false;
            return;
        }
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        const int c = ZRSocketPrivate::acceptRetrying(
            m_listening, reinterpret_cast<sockaddr *>(&peer), &length, m_acceptFlags);
        if (c >= 0) {
            if (room == ZRConnectionTable::GiveWay)
                makeRoom();
            const QString address = ZRSocketPrivate::addressText(peer);
            qCDebug(lcTcp, "Accepted socket connection from %s", qPrintable(address));
            m_server.startConnection(c, address);
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED)
            QThread::msleep(ShortagePauseMs); // out of descriptors or memory: not at once again
        m_clientWaiting = false;
    }
}

void ZRAcceptLoop::makeRoom()
{
    if (ZRConnection *givingWay = m_table.takeGivingWay()) {
        qCDebug(lcTcp, "Ending a connection to make room");
        givingWay->end();
    }
}

void ZRAcceptLoop::setListening(bool on)
{
    if (on == m_listeningWatched)
        return;
    epoll_event event {};
    event.events = on ? unsigned(EPOLLIN) : 0u;
    event.data.u64 = ListeningTag;
    if (::epoll_ctl(m_pollSet, EPOLL_CTL_MOD, m_listening, &event) == 0)
        m_listeningWatched = on;
}

// A reply whose deadline came goes to a thread, which asks its pace; anything else is over.
void ZRAcceptLoop::endExpired()
{
    const QVector<ZRConnection *> expired = m_table.takeExpired(ZRSocketPrivate::monotonicMs());
    for (ZRConnection *connection : expired) {
        const ZRConnection::Phase phase = connection->phase();
        if (phase == ZRConnection::Sending || phase == ZRConnection::Streaming) {
            m_table.pool().push(connection);
            continue;
        }
        qCDebug(lcTcp, "Closing a connection whose time ran out");
        connection->end();
    }
}

// When the loop ends, connections idle or yet to send anything are closed; the others are served
// on to their end, their threads waiting for their sockets themselves (a stream ends there).
void ZRAcceptLoop::endParked()
{
    for (ZRConnection *connection : m_table.takeParked()) {
        switch (connection->phase()) {
        case ZRConnection::FirstByte:
        case ZRConnection::Idle:
        case ZRConnection::Closing:
            connection->end();
            break;
        default:
            connection->serverStopping();
            m_table.pool().push(connection);
            break;
        }
    }
}

int ZRAcceptLoop::cap() const
{
    int cap = m_descriptorCeiling;
    const int connections = m_server.m_maxConnections;
    const int threads = m_server.m_makeConnection ? 0 : int(m_server.m_maxConnectionThreads);
    for (int other : { connections, threads }) {
        if (other > 0)
            cap = cap > 0 ? qMin(cap, other) : other;
    }
    return cap;
}
