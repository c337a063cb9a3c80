#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrtransport_p.h"

ZRTransport::~ZRTransport() = default;

qint64 ZRPlainTransport::read(char *buffer, qint64 size)
{
    return ZRSocketPrivate::recvRetrying(m_socket, buffer, size_t(size), 0);
}

bool ZRPlainTransport::write(const QByteArray &bytes)
{
    return ZRSocket::sendByteArray(m_socket, bytes);
}

qint64 ZRTlsTransport::read(char *buffer, qint64 size)
{
    return m_session.read(buffer, size_t(size));
}

bool ZRTlsTransport::write(const QByteArray &bytes)
{
    return m_session.write(bytes.constData(), bytes.size());
}

void ZRTlsTransport::readTimeoutChanged(qint64 milliseconds)
{
    m_session.setReceiveTimeout(milliseconds);
}

void ZRTlsTransport::close()
{
    m_session.close();
}
