#include "zrhttpstream.h"
#include "zrhttpconnection_p.h"
#include "zrhttpname_p.h"
#include "zrhttpstream_p.h"
#include "zrlogging_p.h"

#include <QList>

namespace {

// The lines of an event field's value: any of CR LF, LF and CR ends one.
QList<QByteArray> lines(const QByteArray &text)
{
    QByteArray unified = text;
    unified.replace("\r\n", "\n").replace('\r', '\n');
    return unified.split('\n');
}

void appendField(QByteArray &out, const char *name, const QByteArray &value)
{
    out += name;
    if (!value.isEmpty())
        out += ' ' + value;
    out += '\n';
}

} // namespace

ZRHttpStream::ZRHttpStream(std::shared_ptr<ZRHttpStreamLink> link) : m_link(std::move(link)) { }

ZRHttpStream::~ZRHttpStream()
{
    close();
}

// Over HTTP/1.1 each write is a chunk of its own: its size in hex, the bytes, CR LF.
bool ZRHttpStream::write(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return isOpen();
    if (!m_link->chunked)
        return ZRHttpConnection::feedStream(*m_link, bytes, false);
    return ZRHttpConnection::feedStream(
        *m_link, QByteArray::number(bytes.size(), 16) + "\r\n" + bytes + "\r\n", false);
}

bool ZRHttpStream::sendEvent(const QByteArray &data, const QByteArray &event, const QByteArray &id)
{
    if (zrSplitsLines(event) || zrSplitsLines(id)) {
        qCWarning(lcHttp, "An event's name or id holds a line break or NUL: not sent");
        return false;
    }
    QByteArray out;
    if (!event.isEmpty())
        appendField(out, "event:", event);
    if (!id.isEmpty())
        appendField(out, "id:", id);
    for (const QByteArray &line : lines(data))
        appendField(out, "data:", line);
    out += '\n';
    return write(out);
}

bool ZRHttpStream::sendComment(const QByteArray &text)
{
    QByteArray out;
    for (const QByteArray &line : lines(text))
        appendField(out, ":", line);
    return write(out);
}

void ZRHttpStream::close()
{
    ZRHttpConnection::feedStream(*m_link, m_link->chunked ? "0\r\n\r\n" : QByteArray(), true);
}

bool ZRHttpStream::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_link->mutex);
    return m_link->open;
}
