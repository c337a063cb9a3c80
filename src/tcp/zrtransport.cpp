#include "zrtransport_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"

ZRTransport::~ZRTransport() = default;

qint64 ZRPlainTransport::read(char *buffer, qint64 size)
{
    return ZRSocketPrivate::recvRetrying(m_socket, buffer, size_t(size), 0);
}

bool ZRPlainTransport::write(const QByteArray &bytes)
{
    return ZRSocket::sendByteArray(m_socket, bytes);
}
