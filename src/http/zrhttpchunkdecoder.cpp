#include "zrhttpchunkdecoder_p.h"
#include "zrhttpname_p.h"

#include <cstring>
#include <limits>
#include <utility>

namespace {

int digitValue(char c, int base)
{
    int value = 16;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// chunk-size [blanks] [";" extensions], CR LF already cut off the end. Extensions are not
// read, but hold no control character but tab, as the head's fields.
bool parseChunkSizeLine(const QByteArray &line, qint64 *size)
{
    int i = ZRHttpChunkDecoder::readNumber(line, 16, size);
    if (i == 0)
        return false;
    while (i < line.size() && (line.at(i) == ' ' || line.at(i) == '\t'))
        ++i;
    if (i < line.size() && line.at(i) != ';')
        return false;
    for (; i < line.size(); ++i) {
        if (zrIsControl(line.at(i)) && line.at(i) != '\t')
            return false;
    }
    return true;
}

// Takes the CR off a line gathered up to its LF; false for a line ended by a bare LF.
bool chopCr(QByteArray *line)
{
    if (!line->endsWith('\r'))
        return false;
    line->chop(1);
    return true;
}

} // namespace

ZRHttpChunkDecoder::ZRHttpChunkDecoder(qint64 maxBodySize)
    : m_maxBodySize(qBound(qint64(0), maxBodySize, bodySizeCeiling))
{ }

int ZRHttpChunkDecoder::readNumber(const QByteArray &text, int base, qint64 *value)
{
    constexpr qint64 most = std::numeric_limits<qint64>::max();
    qint64 number = 0;
    int i = 0;
    for (; i < text.size(); ++i) {
        const int digit = digitValue(text.at(i), base);
        if (digit < 0)
            break;
        number = number > (most - digit) / base ? most : number * base + digit;
    }
    *value = number;
    return i;
}

int ZRHttpChunkDecoder::feed(const char *data, int size)
{
    int used = 0;
    while (m_status == NeedMore && used < size)
        used += step(data + used, size - used);
    m_bytesUsed += used;
    return used;
}

// Takes what the current state can of data (at least one byte); returns how many it took.
int ZRHttpChunkDecoder::step(const char *data, int size)
{
    switch (m_state) {
    case SizeLineState: {
        const int taken
            = gatherLine(data, size, maxChunkLineSize, ZRHttpError::BadBodyFraming, 400);
        if (m_lineDone)
            takeSizeLine();
        return taken;
    }
    case DataState:
        return takeData(data, size);
    case DataEndState:
        return takeDataEnd(data[0]);
    case TrailerState: {
        const int taken = gatherLine(
            data, size, maxTrailerSize - m_trailerSize, ZRHttpError::HeaderBlockTooLarge, 431);
        if (m_lineDone)
            takeTrailerLine();
        return taken;
    }
    case DoneState:
        break;
    }
    return size;
}

// Adds data up to the first LF to the line being gathered; the line with its LF must fit in
// room bytes, or the body fails with tooLong. Returns how many bytes it took.
int ZRHttpChunkDecoder::gatherLine(
    const char *data, int size, qint64 room, ZRHttpError tooLong, int status)
{
    const auto *lf = static_cast<const char *>(std::memchr(data, '\n', size_t(size)));
    const int length = lf ? int(lf - data) : size;
    if (m_line.size() + qint64(length) >= room) {
        fail(tooLong, status);
        return size;
    }
    m_line.append(data, length);
    m_lineDone = lf != nullptr;
    return lf ? length + 1 : length;
}

void ZRHttpChunkDecoder::takeSizeLine()
{
    QByteArray line = std::exchange(m_line, QByteArray());
    m_lineDone = false;
    qint64 size = 0;
    if (!chopCr(&line) || !parseChunkSizeLine(line, &size))
        return fail(ZRHttpError::BadBodyFraming, 400);
    if (size > m_maxBodySize - m_bodySize)
        return fail(ZRHttpError::BodyTooLarge, 413);
    if (size == 0) {
        m_state = TrailerState;
    } else {
        m_chunkLeft = size;
        m_state = DataState;
    }
}

// Trailer fields are checked as header fields are, then dropped: they never frame anything.
// The section ends at an empty line, and at nothing else.
void ZRHttpChunkDecoder::takeTrailerLine()
{
    m_trailerSize += m_line.size() + 1;
    QByteArray line = std::exchange(m_line, QByteArray());
    m_lineDone = false;
    ZRFieldLine field;
    if (!chopCr(&line)
        || (!line.isEmpty() && !zrReadFieldLine(line.constData(), line.size(), &field)))
        return fail(ZRHttpError::BadBodyFraming, 400);
    if (line.isEmpty()) {
        m_state = DoneState;
        m_status = Complete;
    }
}

int ZRHttpChunkDecoder::takeData(const char *data, int size)
{
    const int take = int(qMin<qint64>(m_chunkLeft, size));
    if (!m_sink) {
        m_body.append(data, take);
    } else if (!m_sink(data, take)) {
        fail(ZRHttpError::BodyNotStored, 507);
        return take;
    }
    m_bodySize += take;
    m_chunkLeft -= take;
    if (m_chunkLeft == 0) {
        m_state = DataEndState;
        m_crSeen = false;
    }
    return take;
}

// A chunk's data ends with CR LF, and nothing else.
int ZRHttpChunkDecoder::takeDataEnd(char c)
{
    if (c == '\r' && !m_crSeen)
        m_crSeen = true;
    else if (c == '\n' && m_crSeen)
        m_state = SizeLineState;
    else
        fail(ZRHttpError::BadBodyFraming, 400);
    return 1;
}

void ZRHttpChunkDecoder::setSink(Sink sink)
{
    m_sink = std::move(sink);
}

void ZRHttpChunkDecoder::setMaxBodySize(qint64 maxBodySize)
{
    m_maxBodySize = qBound(qint64(0), maxBodySize, m_sink ? streamedBodyCeiling : bodySizeCeiling);
    if (m_status == NeedMore && m_bodySize + m_chunkLeft > m_maxBodySize)
        fail(ZRHttpError::BodyTooLarge, 413);
}

void ZRHttpChunkDecoder::fail(ZRHttpError error, int httpStatus)
{
    m_error = error;
    m_httpStatus = httpStatus;
    m_status = Failed;
    m_state = DoneState;
    m_body.clear();
    m_line.clear();
}
