#include "zrhttpfilebody_p.h"
#include "zrhttpreply.h"
#include "zrtransport_p.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

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
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const qint64 length = reply.hasContent() ? reply.bodySize() : 0;
    if (length == 0)
        return transport.write(head);
    // The head waits for the body's first bytes, so that both leave in one record and the
    // client has no partial reply to hold its acknowledgement back on.
    return transport.write(head, true)
        && sendReadPieces(transport, file, reply.bodyFileOffset(), length);
}

int zrOpenBodyFile(const ZRHttpReply &reply)
{
    return ::open(QFile::encodeName(reply.bodyFile()).constData(), O_RDONLY | O_CLOEXEC);
}
