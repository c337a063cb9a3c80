#include "zrconnection_p.h"
#include "zrconnectiontable_p.h"
#include "zrlogging_p.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrworkerpool_p.h"

ZRConnection::ZRConnection(
    int socket, const QString &address, std::shared_ptr<ZRConnectionTable> table)
    : m_handle(new ZRSocketThread(socket, address, this)), m_table(std::move(table)),
      m_phaseSince(ZRSocketPrivate::monotonicMs())
{ }

ZRConnection::~ZRConnection()
{
    if (!m_handle->m_deletesConnection)
        delete m_handle;
}

qint64 ZRConnection::deadline() const
{
    return ZRSocketPrivate::NoDeadline;
}

void ZRConnection::serve(ZRWorker &) { }

void ZRConnection::received(ZRServer &, const char *, int) { }

int ZRConnection::socket() const
{
    return m_handle->clientSocket();
}

void ZRConnection::end()
{
    release();
}

void ZRConnection::release()
{
    leaving();
    m_table->release(this);
}

void ZRConnection::abandon()
{
    qCDebug(lcTcp, "Cannot start a thread for the connection from %s",
        qUtf8Printable(m_handle->remoteAddress()));
    release();
}

bool ZRConnection::answer()
{
    Answer expected = Awaited;
    if (m_answer.compare_exchange_strong(expected, Answered, std::memory_order_acq_rel)
        || expected == Answered) // one more, which the semaphore counts as ever
        return true;
    // Let go: nobody else holds the connection now, so it goes to the pool as it is.
    m_answer.store(Awaited, std::memory_order_relaxed);
    m_table->pool().push(this);
    return false;
}

bool ZRConnection::letGo()
{
    Answer expected = Awaited;
    return m_answer.compare_exchange_strong(expected, LetGo, std::memory_order_acq_rel);
}

void ZRConnection::setPhase(Phase phase, bool stamped)
{
    if (phase == m_phase.load(std::memory_order_relaxed))
        return;
    if (stamped)
        m_phaseSince = ZRSocketPrivate::monotonicMs();
    m_phase.store(phase, std::memory_order_release);
}
