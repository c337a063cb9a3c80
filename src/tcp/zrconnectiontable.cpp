#include "zrconnection_p.h"
#include "zrconnectiontable_p.h"
#include "zrserver.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrworkerpool_p.h"

#include <QThread>

#include <algorithm>
#include <chrono>
#include <limits>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The table whose server code this thread is in, if any.
thread_local const ZRConnectionTable *enteredTable = nullptr;

// Threads that end while no accept loop runs (a connection's own, or the pool's): each is
// joined and deleted by the next one that ends so. A deferred deletion would need an event
// loop, and by then the application's may have returned for good. Never destroyed, as a thread
// may end while the process exits: the last ones stay, still referenced, until it has.
class EndedThreads
{
public:
    void add(QThread *thread)
    {
        QVector<QThread *> finished;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto running = std::partition(
                m_threads.begin(), m_threads.end(), [](QThread *t) { return t->isFinished(); });
            finished = QVector<QThread *>(m_threads.begin(), running);
            m_threads.erase(m_threads.begin(), running);
            m_threads.append(thread);
        }
        for (QThread *ended : qAsConst(finished)) {
            ended->wait();
            delete ended;
        }
    }

private:
    std::mutex m_mutex;
    QVector<QThread *> m_threads;
};

} // namespace

constexpr qint64 Never = std::numeric_limits<qint64>::max();

ZRConnectionTable::ZRConnectionTable(ZRServer *server)
    : m_pool(std::make_shared<ZRWorkerPool>(*this)), m_server(server)
{ }

ZRConnectionTable::~ZRConnectionTable() = default;

ZRServer *ZRConnectionTable::enter()
{
    m_inside.fetch_add(1);
    ZRServer *server = m_server.load();
    if (!server) {
        leave();
        return nullptr;
    }
    enteredTable = this;
    return server;
}

void ZRConnectionTable::leave()
{
    enteredTable = nullptr;
    if (m_inside.fetch_sub(1) == 1 && !m_server.load()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.notify_all();
    }
}

void ZRConnectionTable::detach()
{
    m_server.store(nullptr);
    // A slot may destroy the server from a connection's thread; that one is not waited for.
    const int self = enteredTable == this ? 1 : 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_inside.load() <= self; });
}

// Passes a connection's message on to the server's signal. Through here rather than a
// signal connection, so that a server being destroyed can wait until no connection is inside
// its signal, and a message that comes after it is gone ends its connection instead of waiting
// for an answer that nobody will give.
bool ZRConnectionTable::relay(ZRConnection &connection, char *message, int size)
{
    ZRServer *to = enter();
    if (!to) {
        connection.handle()->stop();
        return false;
    }
    const bool lent = to->relay(connection, message, size);
    leave();
    return lent;
}

void ZRConnectionTable::add(ZRConnection *connection)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    connection->m_next = m_first;
    if (m_first)
        m_first->m_previous = connection;
    m_first = connection;
    ++m_size;
}

ZRConnection *ZRConnectionTable::next(ZRConnection *connection)
{
    return connection->m_next;
}

void ZRConnectionTable::unlink(ZRConnection *connection)
{
    if (connection->m_previous)
        connection->m_previous->m_next = connection->m_next;
    else
        m_first = connection->m_next;
    if (connection->m_next)
        connection->m_next->m_previous = connection->m_previous;
    connection->m_previous = connection->m_next = nullptr;
    --m_size;
}

// The socket is closed only once the connection is out of the table: whoever looks at the
// table under its lock (to shut a connection's socket down) never meets a descriptor number
// that may have been reused since.
void ZRConnectionTable::release(ZRConnection *connection)
{
    ZRSocketThread *thread = connection->handle();
    const int socket = connection->socket();
    const bool ownThread
        = connection->servesItself() && (thread->isRunning() || thread->isFinished());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        forget(connection);
        if (ownThread)
            thread->m_deletesConnection = true;
        ZRSocketPrivate::wake(m_wakeFd);
        m_changed.notify_all();
    }
    ZRSocket::closeSocket(socket);
    if (ownThread) {
        threadEnded(thread);
        return;
    }
    // Its end, announced as a thread's: the handle's receivers may rely on it.
    if (!connection->servesItself())
        thread->announceEnd();
    delete connection;
}

void ZRConnectionTable::threadEnded(QThread *thread)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_loopDeletes) {
            m_ended.append(thread);
            return;
        }
    }
    static EndedThreads *const ended = new EndedThreads;
    ended->add(thread);
}

// Out of the list and the poll set, under the lock.
void ZRConnectionTable::forget(ZRConnection *connection)
{
    withdrawLocked(connection);
    m_resumed.removeOne(connection);
    unlink(connection);
}

// Unparked, and out of the poll set: a connection taken for another reason than its socket's
// readiness must not be reported ready after that, while a thread serves it or once it is gone.
void ZRConnectionTable::withdrawLocked(ZRConnection *connection)
{
    unparkLocked(connection);
    if (connection->m_inPollSet && m_pollFd >= 0)
        ::epoll_ctl(m_pollFd, EPOLL_CTL_DEL, connection->socket(), nullptr);
    connection->m_inPollSet = false;
}

int ZRConnectionTable::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_size;
}

bool ZRConnectionTable::waitUntilEmpty(int msecs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto empty = [this] { return m_size == 0; };
    if (msecs < 0) {
        m_changed.wait(lock, empty);
        return true;
    }
    return m_changed.wait_for(lock, std::chrono::milliseconds(msecs), empty);
}

// A connection may still be on its way out of its thread; unless told to wait for all, the
// loop leaves those for its next pass rather than sleep on them between two accepts.
void ZRConnectionTable::deleteEnded(bool waitForAll)
{
    QVector<QThread *> done;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended.isEmpty())
            return;
        done.swap(m_ended);
    }
    QVector<QThread *> leaving;
    for (QThread *thread : qAsConst(done)) {
        if (!waitForAll && !thread->isFinished()) {
            leaving.append(thread);
            continue;
        }
        thread->wait();
        delete thread;
    }
    if (leaving.isEmpty())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended += leaving;
}

void ZRConnectionTable::setLoopDeletes(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_loopDeletes = on;
    m_wakeFd = -1;
}

ZRConnectionTable::Room ZRConnectionTable::room(int cap, bool mayGiveWay, int wakeFd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wakeFd = -1;
    if (cap <= 0 || m_size < cap)
        return Below;
    if (mayGiveWay && (!m_parked[GivesWayFirst].empty() || !m_parked[Incomplete].empty()))
        return GiveWay;
    m_wakeFd = wakeFd;
    return Full;
}

ZRConnection *ZRConnectionTable::takeGivingWay()
{
    // A parked connection whose next bytes have come, though the poll set has not told yet, may
    // hold a whole request: it is passed over, within a few looks.
    constexpr int MostLooks = 16;
    int looks = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int rank : { GivesWayFirst, Incomplete }) {
        for (const auto &parked : m_parked[rank]) {
            ZRConnection *connection = parked.second;
            char byte;
            if (::recv(connection->socket(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
                if (++looks == MostLooks)
                    return nullptr;
                continue;
            }
            withdrawLocked(connection);
            return connection;
        }
    }
    return nullptr;
}

void ZRConnectionTable::setPollSet(int epollFd, int wakeFd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pollFd = epollFd;
    m_loopWakeFd = wakeFd;
    for (ZRConnection *c = m_first; c; c = c->m_next)
        c->m_inPollSet = false;
}

int ZRConnectionTable::rankOf(int phase)
{
    switch (phase) {
    case ZRConnection::Idle:
    case ZRConnection::Closing:
        return GivesWayFirst;
    case ZRConnection::FirstByte:
    case ZRConnection::Reading:
        return Incomplete;
    default:
        return NeverEnded;
    }
}

// One-shot: the socket's readiness hands the connection to the loop once, and a thread parks it
// again if need be. The loop is woken when it would sleep past the new deadline, or when it
// waits for a connection that may give way.
bool ZRConnectionTable::park(ZRConnection *connection, unsigned events, qint64 deadline)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pollFd < 0)
        return false;
    epoll_event event {};
    event.events = events | EPOLLONESHOT;
    event.data.ptr = connection;
    const int operation = connection->m_inPollSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(m_pollFd, operation, connection->socket(), &event) != 0)
        return false;
    connection->m_inPollSet = true;
    const int rank = rankOf(connection->phase());
    connection->m_parkedRank = qint8(rank);
    connection->m_parkedUntil = deadline == ZRSocketPrivate::NoDeadline ? Never : deadline;
    m_parked[rank].insert({ connection->m_parkedUntil, connection });
    if (deadline != ZRSocketPrivate::NoDeadline
        && (m_loopWakesAt < 0 || deadline < m_loopWakesAt)) {
        m_loopWakesAt = deadline;
        ZRSocketPrivate::wake(m_loopWakeFd);
    } else if (rank != NeverEnded) {
        ZRSocketPrivate::wake(m_wakeFd);
    }
    return true;
}

void ZRConnectionTable::unparkLocked(ZRConnection *connection)
{
    if (connection->m_parkedRank < 0)
        return;
    m_parked[connection->m_parkedRank].erase({ connection->m_parkedUntil, connection });
    connection->m_parkedRank = -1;
}

void ZRConnectionTable::unpark(ZRConnection *const *connections, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < count; ++i)
        unparkLocked(connections[i]);
}

void ZRConnectionTable::resume(ZRConnection *connection)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (connection->m_parkedRank < 0 || m_resumed.contains(connection))
        return;
    m_resumed.append(connection);
    ZRSocketPrivate::wake(m_loopWakeFd);
}

QVector<ZRConnection *> ZRConnectionTable::takeResumed()
{
    QVector<ZRConnection *> taken;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (ZRConnection *connection : qAsConst(m_resumed)) {
        if (connection->m_parkedRank >= 0) {
            withdrawLocked(connection);
            taken.append(connection);
        }
    }
    m_resumed.clear();
    return taken;
}

QVector<ZRConnection *> ZRConnectionTable::takeExpired(qint64 now)
{
    QVector<ZRConnection *> expired;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &parked : m_parked) {
        while (!parked.empty() && parked.begin()->first <= now) {
            expired.append(parked.begin()->second);
            withdrawLocked(parked.begin()->second);
        }
    }
    return expired;
}

QVector<ZRConnection *> ZRConnectionTable::takeParked()
{
    QVector<ZRConnection *> all;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &parked : m_parked) {
        while (!parked.empty()) {
            all.append(parked.begin()->second);
            withdrawLocked(parked.begin()->second);
        }
    }
    return all;
}

qint64 ZRConnectionTable::nextDeadline(qint64 loopWakesAt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    qint64 next = Never;
    for (const auto &parked : m_parked) {
        if (!parked.empty())
            next = qMin(next, parked.begin()->first);
    }
    next = next == Never ? ZRSocketPrivate::NoDeadline : next;
    m_loopWakesAt = ZRSocketPrivate::earlierDeadline(next, loopWakesAt);
    return next;
}
