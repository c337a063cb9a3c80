#include "zrhttpfilebody_p.h"
#include "zrhttpreply.h"
#include "zrsocket_p.h"
#include "zrtransport_p.h"

#include <QFile>

namespace {

constexpr qint64 ReadPiece = 64 * 1024;

bool sendReadPieces(ZRTransport &transport, QFile &file, qint64 offset, qint64 length)
{
    if (!file.seek(offset))
        return false;
    for (qint64 left = length; left > 0;) {
        const QByteArray piece = file.read(qMin(left, ReadPiece));
        if (piece.isEmpty() || !transport.write(piece))
            return false;
        left -= piece.size();
    }
    return true;
}

} // namespace

bool zrSendFileReply(ZRTransport &transport, const ZRHttpReply &reply, const QByteArray &head)
{
    QFile file(reply.bodyFile());
    // Opened before anything is sent, so that a file gone since gets no head promising it.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const qint64 length = reply.hasContent() ? reply.bodySize() : 0;
    if (length == 0)
        return transport.write(head);
    // The head waits for the body's first bytes, so that both leave in one segment (or
    // record) and the client has no partial reply to hold its acknowledgement back on.
    if (!transport.write(head, true))
        return false;
    const qint64 offset = reply.bodyFileOffset();
    const int socket = transport.plainSocket();
    if (file.handle() < 0 || socket < 0)
        return sendReadPieces(transport, file, offset, length);
    return ZRSocketPrivate::sendFile(socket, file.handle(), offset, length, transport.pace())
        == length;
}
