#include "zrsendpace_p.h"
#include "zrsocket_p.h"

#include <cstddef>

// The kernel's own view of the connection, which the C library's header does not spell out
// whole.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

using ZRSocketPrivate::monotonicMs;

void ZRSendPace::start(int socket, qint64 windowMs, qint64 minBytesPerSecond, qint64 replyBytes)
{
    m_socket = socket;
    m_minRate = qMax<qint64>(0, minBytesPerSecond);
    m_windowMs = qMax<qint64>(0, windowMs);
    m_firstWindow = true;
    m_moved = false;
    m_measured
        = m_windowMs > 0 && replyBytes >= MeasuredFrom && acknowledged(socket, &m_takenAtStart);
    m_windowStart = m_measured ? monotonicMs() : -1;
}

void ZRSendPace::waiting()
{
    if (m_windowMs > 0 && !m_measured && (m_windowStart < 0 || m_moved))
        m_windowStart = monotonicMs();
    m_moved = false;
}

bool ZRSendPace::due() const
{
    const qint64 end = deadline();
    return end >= 0 && monotonicMs() >= end;
}

bool ZRSendPace::keptUp()
{
    if (!due())
        return true;
    const qint64 now = monotonicMs();
    quint64 taken = 0;
    if (!m_measured || !acknowledged(m_socket, &taken) || taken == m_takenAtStart
        || (!m_firstWindow
            && qint64(taken - m_takenAtStart) * 1000 < m_minRate * (now - m_windowStart)))
        return false;
    m_firstWindow = false;
    m_windowStart = now;
    m_takenAtStart = taken;
    return true;
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
