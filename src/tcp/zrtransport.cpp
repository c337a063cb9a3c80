#include "zrsocket_p.h"
#include "zrtransport_p.h"

ZRTransport::~ZRTransport() = default;

qint64 ZRPlainTransport::read(char *buffer, qint64 size)
{
    return ZRSocketPrivate::recvRetrying(m_socket, buffer, size_t(size), 0);
}

bool ZRPlainTransport::write(const QByteArray &bytes, bool moreFollows)
{
    return ZRSocketPrivate::sendBytes(m_socket, bytes, moreFollows ? MSG_MORE : 0, pace());
}

qint64 ZRTlsTransport::read(char *buffer, qint64 size)
{
    return m_session.read(buffer, size_t(size));
}

bool ZRTlsTransport::write(const QByteArray &bytes, bool moreFollows)
{
    if (moreFollows || !m_held.isEmpty()) {
        m_held += bytes;
        if (moreFollows)
            return true;
    }
    const QByteArray &out = m_held.isEmpty() ? bytes : m_held;
    const bool written = m_session.write(out.constData(), out.size());
    m_held.clear();
    return written;
}

void ZRTlsTransport::readTimeoutChanged(qint64 milliseconds)
{
    m_session.setReceiveTimeout(milliseconds);
}

void ZRTlsTransport::close()
{
    m_session.close();
}
