#include "zrsendpace_p.h"

#include <QDeadlineTimer>

#include <cstddef>

// The kernel's own view of the connection, which the C library's header does not spell out
// whole.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

qint64 nowMs()
{
    return QDeadlineTimer::current().deadline();
}

} // namespace

void ZRSendPace::start(int socket, qint64 windowMs, qint64 minBytesPerSecond, qint64 replyBytes)
{
    m_minRate = qMax<qint64>(0, minBytesPerSecond);
    m_firstWindow = true;
    quint64 taken = 0;
    const bool measured
        = windowMs > 0 && replyBytes >= MeasuredFrom && acknowledged(socket, &taken);
    QMutexLocker lock(&m_mutex);
    m_socket = socket;
    m_windowMs = windowMs;
    m_windowStart = nowMs();
    m_measured = measured;
    m_takenAtStart = taken;
}

void ZRSendPace::stop()
{
    QMutexLocker lock(&m_mutex);
    m_measured = false;
}

// Only this thread writes the window, so it reads it without the lock. A send call returns
// within a window of its start, and so of the window's: the checks come in time.
bool ZRSendPace::keptUp(bool timedOut)
{
    const qint64 now = nowMs();
    const qint64 elapsed = now - m_windowStart;
    quint64 taken = 0;
    if (!m_measured || (elapsed >= m_windowMs && !acknowledged(m_socket, &taken)))
        return !timedOut;
    if (elapsed < m_windowMs)
        return true;
    if (taken == m_takenAtStart
        || (!m_firstWindow && qint64(taken - m_takenAtStart) * 1000 < m_minRate * elapsed))
        return false;
    m_firstWindow = false;
    QMutexLocker lock(&m_mutex);
    m_windowStart = now;
    m_takenAtStart = taken;
    return true;
}

bool ZRSendPace::stalled() const
{
    QMutexLocker lock(&m_mutex);
    quint64 taken = 0;
    return m_measured && nowMs() - m_windowStart >= m_windowMs && acknowledged(m_socket, &taken)
        && taken == m_takenAtStart;
}

bool ZRSendPace::acknowledged(int socket, quint64 *bytes)
{
    tcp_info info {};
    socklen_t length = sizeof info;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0
        || length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return false;
    *bytes = info.tcpi_bytes_acked;
    return true;
}
