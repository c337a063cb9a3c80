#include "zrhttpfilebody_p.h"
#include "zrhttpreply.h"
#include "zrsocket_p.h"
#include "zrtransport_p.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qint64 ReadPiece = 64 * 1024;

struct Descriptor
{
    explicit Descriptor(int fd) : fd(fd) { }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    const int fd;
};

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

// The head, then the body: with sendfile() from fd on a plain socket, else read from file.
bool sendHeadAndBody(
    ZRTransport &transport, const ZRHttpReply &reply, const QByteArray &head, int fd, QFile *file)
{
    const qint64 length = reply.hasContent() ? reply.bodySize() : 0;
    if (length == 0)
        return transport.write(head);
    // The head waits for the body's first bytes, so that both leave in one segment (or
    // record) and the client has no partial reply to hold its acknowledgement back on.
    if (!transport.write(head, true))
        return false;
    const qint64 offset = reply.bodyFileOffset();
    const int socket = transport.plainSocket();
    if (fd >= 0 && socket >= 0)
        return ZRSocketPrivate::sendFile(socket, fd, offset, length, transport.pace()) == length;
    return file && sendReadPieces(transport, *file, offset, length);
}

} // namespace

// The file is opened before anything is sent, so that a file gone since gets no head promising
// it: for sendfile(), as a descriptor of its own (a QFile would look at the file once more);
// through TLS, or for a file with no descriptor (a Qt resource), as a QFile.
bool zrSendFileReply(ZRTransport &transport, const ZRHttpReply &reply, const QByteArray &head)
{
    if (transport.plainSocket() >= 0) {
        const Descriptor native(
            ::open(QFile::encodeName(reply.bodyFile()).constData(), O_RDONLY | O_CLOEXEC));
        if (native.fd >= 0)
            return sendHeadAndBody(transport, reply, head, native.fd, nullptr);
    }
    QFile file(reply.bodyFile());
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)
        && sendHeadAndBody(transport, reply, head, file.handle(), &file);
}
