#include "zrhttpname_p.h"
#include "zrhttprequest.h"
#include "zrhttprequestparser_p.h"

#include <QVector>

#include <cstring>
#include <utility>

namespace {

struct Method
{
    int type;
    QByteArray bytes;
    QString text;
};

// The request's method table, in ascending type order, with its bytes; made once, as the table
// is never changed after its initialisation.
const QVector<Method> &methodTable()
{
    static const QVector<Method> table = [] {
        QVector<Method> made;
        const auto &types = ZRHttpRequest::requestTypeString;
        for (auto it = types.cbegin(); it != types.cend(); ++it)
            made.append({ int(it.key()), it.value().toUtf8(), it.value() });
        return made;
    }();
    return table;
}

// Methods are case-sensitive (RFC 9110 9.1): `get` is not GET.
const Method *methodOf(const char *token, int size)
{
    for (const Method &method : methodTable()) {
        if (method.bytes.size() == size && std::memcmp(method.bytes.constData(), token, size) == 0)
            return &method;
    }
    return nullptr;
}

bool isToken(const char *data, int size)
{
    for (int i = 0; i < size; ++i) {
        if (!zrIsTokenChar(data[i]))
            return false;
    }
    return size > 0;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// HTTP/1.1, HTTP/1.0, OtherVersion for another HTTP/digit.digit; false for anything else.
bool readVersion(const char *token, int size, ZRHttpParsedRequest::Version *version)
{
    if (size != 8 || std::memcmp(token, "HTTP/", 5) != 0 || !isDigit(token[5]) || token[6] != '.'
        || !isDigit(token[7]))
        return false;
    *version = ZRHttpParsedRequest::OtherVersion;
    if (token[5] == '1' && token[7] == '1')
        *version = ZRHttpParsedRequest::Http11;
    else if (token[5] == '1' && token[7] == '0')
        *version = ZRHttpParsedRequest::Http10;
    return true;
}

const QString &versionText(ZRHttpParsedRequest::Version version)
{
    static const QString texts[]
        = { QString(), QStringLiteral("HTTP/1.0"), QStringLiteral("HTTP/1.1") };
    return texts[version];
}

// A host and port as a Host value may hold them (RFC 3986 3.2.2): names, addresses in
// brackets, percent escapes; no white space, no slash, nothing outside ASCII.
bool isHostValue(const QByteArray &value)
{
    for (const char c : value) {
        if (!zrIsAlphanumeric(c) && (c == '\0' || !std::strchr("-._~!$&'()*+,;=%:[]", c)))
            return false;
    }
    return true;
}

} // namespace

ZRHttpRequestParser::ZRHttpRequestParser(qint64 maxBodySize)
    : m_maxBodySize(qBound(qint64(0), maxBodySize, ZRHttpChunkDecoder::bodySizeCeiling)),
      m_chunks(m_maxBodySize)
{ }

// A request that comes in one piece is parsed from the caller's bytes, without a copy; what
// must wait for more is copied.
ZRHttpRequestParser::Status ZRHttpRequestParser::feed(const char *data, int size)
{
    if (m_status != NeedMore || size <= 0)
        return m_status;
    const bool borrowed = m_buffer.isEmpty();
    if (borrowed)
        m_buffer = QByteArray::fromRawData(data, size);
    else
        m_buffer.append(data, size);
    run();
    if (borrowed)
        m_buffer.detach();
    return m_status;
}

void ZRHttpRequestParser::run()
{
    while (m_status == NeedMore && !m_paused && step()) { }
    dropUsedBytes();
}

void ZRHttpRequestParser::setMaxBodySize(qint64 maxBodySize)
{
    const qint64 ceiling
        = m_sink ? ZRHttpChunkDecoder::streamedBodyCeiling : ZRHttpChunkDecoder::bodySizeCeiling;
    m_maxBodySize = qBound(qint64(0), maxBodySize, ceiling);
    m_chunks.setMaxBodySize(m_maxBodySize);
}

void ZRHttpRequestParser::setBodySink(Sink sink)
{
    m_chunks.setSink(sink);
    m_sink = std::move(sink);
    m_bodyLeft = m_contentLength;
}

ZRHttpRequestParser::Status ZRHttpRequestParser::resume()
{
    if (!m_paused || m_status != NeedMore)
        return m_status;
    m_paused = false;
    if (m_framing == LengthFraming && m_contentLength > m_maxBodySize)
        fail(ZRHttpError::BodyTooLarge, 413);
    else if (m_chunks.status() == ZRHttpChunkDecoder::Failed)
        fail(m_chunks.error(), m_chunks.httpStatus());
    run();
    return m_status;
}

QByteArray ZRHttpRequestParser::bytes(int from, int size) const
{
    return QByteArray(m_buffer.constData() + from, size);
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

// Index of the LF ending the line that starts at m_pos, provided the line ends before index
// limit; otherwise LineNotYet or, when bytes up to limit are there, LineTooLong.
int ZRHttpRequestParser::findLineEnd(int limit)
{
    const int end = qMin(m_buffer.size(), limit);
    if (m_scan < end) {
        const char *data = m_buffer.constData();
        const auto *lf = static_cast<const char *>(std::memchr(data + m_scan, '\n', end - m_scan));
        if (lf)
            return int(lf - data);
        m_scan = end;
    }
    return m_buffer.size() >= limit ? LineTooLong : LineNotYet;
}

// Takes the line of the head at m_pos: where it starts, its size without its line end, and
// whether that end was CR LF. False while no line was taken (one too long fails the request).
bool ZRHttpRequestParser::takeHeadLine(int *start, int *size, bool *crlf)
{
    const int end = findLineEnd(maxHeaderBlockSize);
    if (end == LineTooLong)
        fail(ZRHttpError::HeaderBlockTooLarge, 431);
    if (end < 0)
        return false;
    *crlf = end > m_pos && m_buffer.at(end - 1) == '\r';
    *start = m_pos;
    *size = end - m_pos - (*crlf ? 1 : 0);
    m_pos = m_scan = end + 1;
    return true;
}

bool ZRHttpRequestParser::readRequestLine()
{
    int start = 0;
    int size = 0;
    bool crlf = false;
    if (!takeHeadLine(&start, &size, &crlf))
        return m_status != NeedMore;
    if (crlf && size == 0) {
        // RFC 9112 2.2: some clients send a CRLF after a body; the request after it counts.
        return ++m_emptyLines <= maxEmptyLinesBefore || fail(ZRHttpError::MalformedRequest, 400);
    }
    m_state = HeaderLinesState;
    checkRequestLine(m_buffer.constData() + start, size, crlf);
    return true;
}

// method SP target SP version, one space each, then CR LF: a line a proxy could split
// otherwise is refused.
void ZRHttpRequestParser::checkRequestLine(const char *line, int size, bool crlf)
{
    m_request.requestLine = QByteArray(line, size);
    bool controls = false;
    for (char &c : m_request.requestLine) {
        if (zrIsControl(c)) {
            c = ' ';
            controls = true;
        }
    }
    const char *end = line + size;
    const auto *first = static_cast<const char *>(std::memchr(line, ' ', size_t(size)));
    const auto *second = first
        ? static_cast<const char *>(std::memchr(first + 1, ' ', size_t(end - first - 1)))
        : nullptr;
    if (!crlf || controls || !second || second == first + 1 || second + 1 == end
        || std::memchr(second + 1, ' ', size_t(end - second - 1))
        || !isToken(line, int(first - line))) {
        fail(ZRHttpError::MalformedRequest, 400);
        return;
    }
    const Method *method = methodOf(line, int(first - line));
    if (!method) {
        fail(ZRHttpError::BadRequestType, 501);
        return;
    }
    ZRHttpParsedRequest::Version version = ZRHttpParsedRequest::OtherVersion;
    if (!readVersion(second + 1, int(end - second - 1), &version)) {
        fail(ZRHttpError::InvalidRequestProtocol, 400);
        return;
    }
    if (version == ZRHttpParsedRequest::OtherVersion) {
        fail(ZRHttpError::UnsupportedVersion, 505);
        return;
    }
    m_request.methodText = method->text;
    m_request.method = method->type;
    m_request.path = QString::fromUtf8(first + 1, int(second - first - 1));
    m_request.version = version;
    m_request.protocol = versionText(version);
}

bool ZRHttpRequestParser::readHeaderLine()
{
    int start = 0;
    int size = 0;
    bool crlf = false;
    if (!takeHeadLine(&start, &size, &crlf))
        return m_status != NeedMore;
    if (!crlf)
        return fail(ZRHttpError::InvalidRequestHeader, 400);
    if (size == 0)
        return finishHeaderBlock();
    const char *line = m_buffer.constData() + start;
    ZRFieldLine field;
    if (!zrReadFieldLine(line, size, &field))
        return fail(ZRHttpError::InvalidRequestHeader, 400);
    takeField(QByteArray(line, field.nameSize),
        QByteArray(line + field.valueStart, field.valueEnd - field.valueStart));
    return true;
}

// Framing and Host are judged as soon as their line is read.
void ZRHttpRequestParser::takeField(QByteArray name, QByteArray value)
{
    if (zrSameName(name, "Content-Length")) {
        readContentLength(value);
    } else if (zrSameName(name, "Transfer-Encoding")) {
        readTransferCoding(value);
    } else if (zrSameName(name, "Host")) {
        // RFC 9112 3.2: two Hosts, or one that is no host, leave the target in doubt.
        if (++m_hosts > 1 || !isHostValue(value))
            fail(ZRHttpError::InvalidRequestHeader, 400);
    }
    if (m_status == NeedMore)
        m_request.headers.append(qMakePair(std::move(name), std::move(value)));
}

void ZRHttpRequestParser::readContentLength(const QByteArray &value)
{
    qint64 length = 0;
    if (m_codingSeen || !ZRHttpChunkDecoder::readDecimal(value, &length)
        || (m_contentLength >= 0 && length != m_contentLength)) {
        fail(ZRHttpError::BadBodyFraming, 400);
        return;
    }
    if (length > m_maxBodySize && !m_pauseAfterHead) {
        fail(ZRHttpError::BodyTooLarge, 413);
        return;
    }
    m_contentLength = length;
    m_framing = LengthFraming;
}

// Every line of the header counts, in order; chunked is the only coding known, and it must
// come last, for after it nothing would say where the body ends.
void ZRHttpRequestParser::readTransferCoding(const QByteArray &value)
{
    if (m_contentLength >= 0) {
        fail(ZRHttpError::BadBodyFraming, 400);
        return;
    }
    m_codingSeen = true;
    int status = 0;
    zrEachElement(value, [this, &status](const char *coding, int size) {
        if (m_framing == ChunkedFraming)
            status = 400;
        else if (!zrSameName(coding, size, "chunked", 7))
            status = 501;
        else
            m_framing = ChunkedFraming;
        return status == 0;
    });
    if (status != 0)
        fail(ZRHttpError::BadBodyFraming, status);
}

bool ZRHttpRequestParser::finishHeaderBlock()
{
    if (m_request.version == ZRHttpParsedRequest::Http11 && m_hosts == 0)
        return fail(ZRHttpError::InvalidRequestHeader, 400);
    if (m_codingSeen && m_framing != ChunkedFraming)
        return fail(ZRHttpError::BadBodyFraming, 400);
    if (!expectationsMet())
        return fail(ZRHttpError::ExpectationFailed, 417);
    m_request.keepAlive = asksToKeepConnection() && framingAllowsNext();
    m_expectsContinue = wantsContinue();
    m_paused = m_pauseAfterHead && bodyDeclared();
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
    // RFC 9112 6.3: without framing a request has no body, whatever its method; what follows
    // is the next request, or is dropped where the connection ends.
    return complete(m_pos);
}

// RFC 9110 10.1.1: 100-continue is the only expectation there is.
bool ZRHttpRequestParser::expectationsMet() const
{
    for (const auto &header : m_request.headers) {
        if (zrSameName(header.first, "Expect")
            && !zrEachElement(header.second, [](const char *expectation, int size) {
                   return zrSameName(expectation, size, "100-continue", 12);
               }))
            return false;
    }
    return true;
}

// An HTTP/1.0 client does not know the interim answer and must not get it.
bool ZRHttpRequestParser::wantsContinue() const
{
    if (!bodyDeclared() || m_request.version == ZRHttpParsedRequest::Http10)
        return false;
    for (const auto &header : m_request.headers) {
        if (zrSameName(header.first, "Expect") && zrListHas(header.second, "100-continue"))
            return true;
    }
    return false;
}

bool ZRHttpRequestParser::asksToKeepConnection() const
{
    bool close = false;
    bool keepAlive = false;
    for (const auto &header : m_request.headers) {
        if (!zrSameName(header.first, "Connection"))
            continue;
        close = close || zrListHas(header.second, "close");
        keepAlive = keepAlive || zrListHas(header.second, "keep-alive");
    }
    if (close)
        return false;
    return m_request.version == ZRHttpParsedRequest::Http11
        || (keepAlive && m_request.version == ZRHttpParsedRequest::Http10);
}

// Without framing, a POST, PUT or PATCH may come from a client that sends its body until it
// closes: ending the connection drops those bytes rather than serving them as a request. An
// HTTP/1.0 client that sent chunks cannot be trusted to frame what follows (RFC 9112 6.1).
bool ZRHttpRequestParser::framingAllowsNext() const
{
    const int method = m_request.method;
    if (m_framing == NoFraming)
        return method != RequestPost && method != RequestPut && method != RequestPatch;
    return m_framing != ChunkedFraming || m_request.version != ZRHttpParsedRequest::Http10;
}

bool ZRHttpRequestParser::bodyDeclared() const
{
    return m_framing == ChunkedFraming || (m_framing == LengthFraming && m_contentLength > 0);
}

bool ZRHttpRequestParser::readLengthBody()
{
    if (m_sink)
        return streamLengthBody();
    if (m_buffer.size() - m_pos < m_contentLength)
        return false;
    m_request.body = bytes(m_pos, int(m_contentLength));
    return complete(m_pos + int(m_contentLength));
}

// What has come of the body goes to the sink at once.
bool ZRHttpRequestParser::streamLengthBody()
{
    const int take = int(qMin<qint64>(m_bodyLeft, m_buffer.size() - m_pos));
    if (take > 0 && !m_sink(m_buffer.constData() + m_pos, take))
        return fail(ZRHttpError::BodyNotStored, 507);
    m_pos += take;
    m_scan = m_pos;
    m_bodyLeft -= take;
    return m_bodyLeft == 0 ? complete(m_pos) : false;
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
    m_rest = bytes(end, m_buffer.size() - end);
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
    const bool taken = m_state == ChunkedBodyState || (m_state == LengthBodyState && m_sink);
    if (m_status != NeedMore || !taken || m_pos == 0)
        return;
    m_buffer.remove(0, m_pos);
    m_base += m_pos;
    m_scan -= m_pos;
    m_pos = 0;
}
