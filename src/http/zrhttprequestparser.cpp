#include "zrhttprequest.h"
#include "zrhttprequestparser_p.h"

#include <cstring>

namespace {

// Locale-free on purpose: header names and codings are ASCII tokens.
char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(const QByteArray &bytes, const char *text, int length)
{
    if (bytes.size() != length)
        return false;
    for (int i = 0; i < length; ++i) {
        if (asciiLower(bytes.at(i)) != asciiLower(text[i]))
            return false;
    }
    return true;
}

bool equalsIgnoringCase(const QByteArray &bytes, const char *text)
{
    return equalsIgnoringCase(bytes, text, int(std::strlen(text)));
}

int methodIndex(const QByteArray &token)
{
    // The request's method table, in ascending type order.
    const auto &table = ZRHttpRequest::requestTypeString;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const QByteArray method = it.value().toUtf8();
        if (equalsIgnoringCase(token, method.constData(), method.size()))
            return int(it.key());
    }
    return -1;
}

bool isFramingName(const QByteArray &name)
{
    return equalsIgnoringCase(name, "Content-Length")
        || equalsIgnoringCase(name, "Transfer-Encoding");
}

bool parseContentLength(const QByteArray &value, qint64 *length)
{
    return !value.isEmpty() && ZRHttpChunkDecoder::readNumber(value, 10, length) == value.size();
}

// The body of a request without framing headers: each line with its white space folded
// and ended by LF.
QByteArray shapeLines(const QByteArray &text)
{
    QByteArray shaped;
    int start = 0;
    while (start < text.size()) {
        int end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        shaped += text.mid(start, end - start).simplified();
        shaped += '\n';
        start = end + 1;
    }
    return shaped;
}

} // namespace

ZRHttpRequestParser::ZRHttpRequestParser(qint64 maxBodySize)
    : m_maxBodySize(qBound(qint64(0), maxBodySize, ZRHttpChunkDecoder::bodySizeCeiling)),
      m_chunks(m_maxBodySize)
{ }

ZRHttpRequestParser::Status ZRHttpRequestParser::feed(const char *data, int size)
{
    if (m_status != NeedMore || size <= 0)
        return m_status;
    m_buffer.append(data, size);
    while (m_status == NeedMore && step()) { }
    dropUsedBytes();
    return m_status;
}

// One piece of work; false when it needs more bytes.
bool ZRHttpRequestParser::step()
{
    switch (m_state) {
    case RequestLineState:
        return readRequestLine();
    case HeaderLinesState:
        return readHeaderLine();
    case LengthBodyState:
        return readLengthBody();
    case ChunkedBodyState:
        return readChunkedBody();
    case DoneState:
        break;
    }
    return false;
}

// Index of the LF (or NUL) ending the line that starts at m_pos, provided the line ends
// before index limit; otherwise LineNotYet or, when bytes up to limit are there, LineTooLong.
int ZRHttpRequestParser::findLineEnd(int limit, bool nulEnds)
{
    const int end = qMin(m_buffer.size(), limit);
    if (m_scan < end) {
        const char *data = m_buffer.constData();
        const auto *lf = static_cast<const char *>(std::memchr(data + m_scan, '\n', end - m_scan));
        int stop = lf ? int(lf - data) : end;
        if (nulEnds) {
            const auto *nul
                = static_cast<const char *>(std::memchr(data + m_scan, 0, stop - m_scan));
            if (nul)
                stop = int(nul - data);
        }
        if (stop < end)
            return stop;
        m_scan = end;
    }
    return m_buffer.size() >= limit ? LineTooLong : LineNotYet;
}

// Takes the line at m_pos, without its LF (or NUL), if it ends before index limit; one
// that cannot fails the request with tooLong. False while no line was taken.
bool ZRHttpRequestParser::takeLine(int limit, bool nulEnds, ZRHttpError tooLong, int tooLongStatus,
    QByteArray *line, bool *endedByNul)
{
    const int end = findLineEnd(limit, nulEnds);
    if (end == LineTooLong)
        fail(tooLong, tooLongStatus);
    if (end < 0)
        return false;
    if (endedByNul)
        *endedByNul = m_buffer.at(end) == '\0';
    *line = m_buffer.mid(m_pos, end - m_pos);
    m_pos = m_scan = end + 1;
    return true;
}

bool ZRHttpRequestParser::takeHeaderBlockLine(QByteArray *line, bool *endedByNul)
{
    if (!takeLine(
            maxHeaderBlockSize, true, ZRHttpError::HeaderBlockTooLarge, 431, line, endedByNul))
        return false;
    *line = line->simplified();
    return true;
}

bool ZRHttpRequestParser::readRequestLine()
{
    bool endedByNul = false;
    if (!takeHeaderBlockLine(&m_request.requestLine, &endedByNul))
        return m_status != NeedMore;
    m_state = HeaderLinesState;
    checkRequestLine(m_request.requestLine);
    if (m_status != NeedMore || !endedByNul)
        return true;
    return finishHeaderBlock(true);
}

void ZRHttpRequestParser::checkRequestLine(const QByteArray &line)
{
    const QList<QByteArray> tokens = line.split(' ');
    if (tokens.size() != 3) {
        fail(ZRHttpError::MalformedRequest, 400);
        return;
    }
    const int method = methodIndex(tokens.at(0));
    if (method < 0) {
        fail(ZRHttpError::BadRequestType, 501);
        return;
    }
    if (!equalsIgnoringCase(tokens.at(2).left(4), "HTTP")) {
        fail(ZRHttpError::InvalidRequestProtocol, 400);
        return;
    }
    m_request.methodText = QString::fromUtf8(tokens.at(0));
    m_request.method = method;
    m_request.path = QString::fromUtf8(tokens.at(1));
    m_request.protocol = QString::fromUtf8(tokens.at(2));
}

bool ZRHttpRequestParser::readHeaderLine()
{
    QByteArray line;
    bool endedByNul = false;
    const int start = m_pos;
    if (!takeHeaderBlockLine(&line, &endedByNul))
        return m_status != NeedMore;
    const bool folded = m_buffer.at(start) == ' ' || m_buffer.at(start) == '\t';
    if (line.isEmpty())
        return finishHeaderBlock(endedByNul);
    const int colon = line.indexOf(':');
    if (colon < 0)
        return fail(ZRHttpError::InvalidRequestHeader, 400);
    const QByteArray name = line.left(colon);
    // RFC 9112 5.2: a proxy may unfold such a line into the one before, where it frames
    // nothing; framing it here would let the two disagree on where the request ends.
    if (folded && isFramingName(name.trimmed()))
        return fail(ZRHttpError::BadBodyFraming, 400);
    m_request.headers.append(qMakePair(name, line.mid(colon + 1).trimmed()));
    return endedByNul ? finishHeaderBlock(true) : true;
}

bool ZRHttpRequestParser::finishHeaderBlock(bool endedByNul)
{
    readFraming();
    if (m_status != NeedMore)
        return true;
    m_request.keepAlive = asksToKeepConnection() && framingAllowsNext();
    if (endedByNul) {
        // The body it declares can never come.
        if (bodyDeclared())
            return fail(ZRHttpError::BadBodyFraming, 400);
        complete(m_pos);
        m_rest.clear(); // the NUL ends what the client sent
        return true;
    }
    m_expectsContinue = wantsContinue();
    switch (m_framing) {
    case LengthFraming:
        m_state = LengthBodyState;
        return true;
    case ChunkedFraming:
        m_state = ChunkedBodyState;
        return true;
    case NoFraming:
        break;
    }
    // RFC 9112 6.3: without framing a request has no body; on a connection that stays open,
    // what follows is the next request. The methods that carry a body keep taking the bytes
    // that came along as their body, as they always have, and end their connection.
    if (m_persistent && m_request.keepAlive)
        return complete(m_pos);
    QByteArray rest = m_buffer.mid(m_pos);
    const int nul = rest.indexOf('\0');
    if (nul >= 0)
        rest.truncate(nul);
    m_request.body = shapeLines(rest);
    return complete(m_buffer.size());
}

// Framing headers are matched in any letter case, and every occurrence counts.
void ZRHttpRequestParser::readFraming()
{
    QList<QByteArray> lengths;
    QList<QByteArray> codings;
    for (const auto &header : qAsConst(m_request.headers)) {
        const QByteArray name = header.first.trimmed();
        if (!isFramingName(name))
            continue;
        const bool isLength = equalsIgnoringCase(name, "Content-Length");
        // With a blank before the colon, some readers see the header and some don't;
        // whether the body is framed would be a guess.
        if (name.size() != header.first.size()) {
            fail(ZRHttpError::BadBodyFraming, 400);
            return;
        }
        (isLength ? lengths : codings).append(header.second);
    }
    if (!lengths.isEmpty() && !codings.isEmpty())
        fail(ZRHttpError::BadBodyFraming, 400);
    else if (!codings.isEmpty())
        readTransferCodings(codings);
    else if (!lengths.isEmpty())
        readContentLengths(lengths);
}

void ZRHttpRequestParser::readTransferCodings(const QList<QByteArray> &values)
{
    int chunked = 0;
    for (const QByteArray &value : values) {
        for (const QByteArray &element : value.split(',')) {
            const QByteArray coding = element.trimmed();
            if (coding.isEmpty())
                continue;
            if (!equalsIgnoringCase(coding, "chunked")) {
                fail(ZRHttpError::BadBodyFraming, 501);
                return;
            }
            ++chunked;
        }
    }
    if (chunked != 1)
        fail(ZRHttpError::BadBodyFraming, 400);
    else
        m_framing = ChunkedFraming;
}

void ZRHttpRequestParser::readContentLengths(const QList<QByteArray> &values)
{
    qint64 length = -1;
    for (const QByteArray &value : values) {
        qint64 next = 0;
        if (!parseContentLength(value, &next) || (length >= 0 && next != length)) {
            fail(ZRHttpError::BadBodyFraming, 400);
            return;
        }
        length = next;
    }
    if (length > m_maxBodySize) {
        fail(ZRHttpError::BodyTooLarge, 413);
        return;
    }
    m_contentLength = length;
    m_framing = LengthFraming;
}

// An HTTP/1.0 client does not know the interim answer and must not get it.
bool ZRHttpRequestParser::wantsContinue() const
{
    if (!bodyDeclared()
        || m_request.protocol.compare(QLatin1String("HTTP/1.0"), Qt::CaseInsensitive) == 0)
        return false;
    for (const auto &header : m_request.headers) {
        if (equalsIgnoringCase(header.first, "Expect")
            && equalsIgnoringCase(header.second, "100-continue"))
            return true;
    }
    return false;
}

bool ZRHttpRequestParser::asksToKeepConnection() const
{
    bool close = false;
    bool keepAlive = false;
    for (const auto &header : m_request.headers) {
        if (!equalsIgnoringCase(header.first, "Connection"))
            continue;
        for (const QByteArray &option : header.second.split(',')) {
            close = close || equalsIgnoringCase(option.trimmed(), "close");
            keepAlive = keepAlive || equalsIgnoringCase(option.trimmed(), "keep-alive");
        }
    }
    const QString &protocol = m_request.protocol;
    if (close)
        return false;
    if (protocol.compare(QLatin1String("HTTP/1.1"), Qt::CaseInsensitive) == 0)
        return true;
    return keepAlive && protocol.compare(QLatin1String("HTTP/1.0"), Qt::CaseInsensitive) == 0;
}

// RFC 9112 6.3 and 6.1: a body without framing ends where the connection does, and an
// HTTP/1.0 client that sent chunks cannot be trusted to frame what follows.
bool ZRHttpRequestParser::framingAllowsNext() const
{
    const int method = m_request.method;
    if (m_framing == NoFraming)
        return method != RequestPost && method != RequestPut && method != RequestPatch;
    return m_framing != ChunkedFraming
        || m_request.protocol.compare(QLatin1String("HTTP/1.0"), Qt::CaseInsensitive) != 0;
}

bool ZRHttpRequestParser::bodyDeclared() const
{
    return m_framing == ChunkedFraming || (m_framing == LengthFraming && m_contentLength > 0);
}

bool ZRHttpRequestParser::readLengthBody()
{
    if (m_buffer.size() - m_pos < m_contentLength)
        return false;
    m_request.body = m_buffer.mid(m_pos, int(m_contentLength));
    return complete(m_pos + int(m_contentLength));
}

// The decoder keeps what it needs of a line cut between pieces, so it is given every byte.
bool ZRHttpRequestParser::readChunkedBody()
{
    m_pos += m_chunks.feed(m_buffer.constData() + m_pos, m_buffer.size() - m_pos);
    m_scan = m_pos;
    switch (m_chunks.status()) {
    case ZRHttpChunkDecoder::NeedMore:
        return false;
    case ZRHttpChunkDecoder::Complete:
        m_request.body = m_chunks.body();
        return complete(m_pos);
    case ZRHttpChunkDecoder::Failed:
        break;
    }
    return fail(m_chunks.error(), m_chunks.httpStatus());
}

bool ZRHttpRequestParser::complete(int end)
{
    m_bytesUsed = m_base + end;
    m_status = Complete;
    m_state = DoneState;
    m_rest = m_buffer.mid(end);
    m_buffer.clear();
    return true;
}

bool ZRHttpRequestParser::fail(ZRHttpError error, int httpStatus)
{
    m_error = error;
    m_httpStatus = httpStatus;
    m_status = BadRequest;
    m_expectsContinue = false;
    // What was parsed goes with the request; the request line stays for the log.
    const QByteArray requestLine = m_request.requestLine;
    m_request = ZRHttpParsedRequest();
    m_request.requestLine = requestLine;
    m_buffer.clear();
    return true;
}

// A chunked body may come in any number of pieces: keep only what is still unread.
void ZRHttpRequestParser::dropUsedBytes()
{
    if (m_status != NeedMore || m_state != ChunkedBodyState || m_pos == 0)
        return;
    m_buffer.remove(0, m_pos);
    m_base += m_pos;
    m_scan -= m_pos;
    m_pos = 0;
}
