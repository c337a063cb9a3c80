// Feeds arbitrary bytes to the request parser whole, byte by byte and in three pieces,
// and stops on any difference between the answers or any answer that breaks the rules.
#include "../common/fuzzcheck.h"
#include "../common/refusalstatus.h"
#include "zrhttprequestparser_p.h"

#include <cstdint>

namespace {

using Parser = ZRHttpRequestParser;

bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Folded text: no line break or NUL inside, no white space at the ends.
bool isFolded(const QByteArray &text)
{
    if (!text.isEmpty() && (isAsciiSpace(text.front()) || isAsciiSpace(text.back())))
        return false;
    return !text.contains('\n') && !text.contains('\r') && !text.contains('\0');
}

void checkRequest(const Parser &parser, int size)
{
    const ZRHttpParsedRequest &request = parser.request();
    check(request.method >= 0 && request.method < 7, "method outside the table");
    check(request.protocol.left(4).compare(QLatin1String("http"), Qt::CaseInsensitive) == 0,
        "protocol without the HTTP prefix");
    check(parser.bytesUsed() > 0 && parser.bytesUsed() <= size, "bytes used out of range");
    check(isFolded(request.requestLine), "request line not folded");
    for (const auto &header : request.headers) {
        check(!header.first.contains(':'), "colon in a header name");
        check(isFolded(header.first.endsWith(' ') ? header.first.chopped(1) : header.first),
            "header name not folded");
        check(isFolded(header.second), "header value not folded");
    }
    if (parser.framing() == Parser::NoFraming)
        check(
            !request.body.contains('\0') && !request.body.contains('\r'), "unframed body unshaped");
    else
        check(request.body.size() <= parser.maxBodySize(), "body over the maximum");
}

void checkAnswer(const Parser &parser, int size)
{
    switch (parser.status()) {
    case Parser::Complete:
        checkRequest(parser, size);
        break;
    case Parser::BadRequest:
        check(parser.errorCode() <= int(ZRHttpError::MalformedRequest)
                && parser.errorCode() >= int(ZRHttpError::BadBodyFraming),
            "error code out of range");
        check(parser.httpStatus() == refusalStatus(parser.error(), parser.httpStatus()),
            "HTTP status does not match the error");
        check(parser.request().headers.isEmpty(), "headers kept after a bad request");
        break;
    case Parser::NeedMore:
        check(parser.bytesUsed() == 0 && parser.httpStatus() == 0, "answer while waiting");
        break;
    }
}

// Without framing the body is what came with the header block, so it and the bytes
// used depend on how the bytes were cut; everything else must not.
void checkSame(const Parser &a, const Parser &b)
{
    const ZRHttpParsedRequest &x = a.request();
    const ZRHttpParsedRequest &y = b.request();
    const bool framed = a.framing() != Parser::NoFraming;
    check(a.status() == b.status(), "status differs");
    check(a.errorCode() == b.errorCode() && a.httpStatus() == b.httpStatus(), "error differs");
    check(a.headerBlockAccepted() == b.headerBlockAccepted(), "header acceptance differs");
    check(a.expectsContinue() == b.expectsContinue(), "100-continue differs");
    check(a.framing() == b.framing(), "framing differs");
    check(!framed || a.bytesUsed() == b.bytesUsed(), "bytes used differ");
    check(x.requestLine == y.requestLine && x.methodText == y.methodText && x.method == y.method,
        "method differs");
    check(x.path == y.path && x.protocol == y.protocol, "path or protocol differs");
    check(x.headers == y.headers, "headers differ");
    check(!framed || x.body == y.body, "body differs");
}

} // namespace

// The first byte picks the maximum body size (small ones reach the size limits); the
// rest is what the client sent.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const qint64 maxBodySize = data[0] < 0x80 ? data[0] : Parser::defaultMaxBodySize;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const int length = int(size - 1);

    Parser whole(maxBodySize);
    whole.feed(bytes, length);
    checkAnswer(whole, length);

    Parser byteByByte(maxBodySize);
    for (int i = 0; i < length; ++i)
        byteByByte.feed(bytes + i, 1);
    checkSame(whole, byteByByte);

    // Cut points taken from the data itself, so every input is cut its own way.
    const int first = length > 0 ? data[0] % (length + 1) : 0;
    const int second = first + (length > first ? (data[size - 1] * 31) % (length - first + 1) : 0);
    Parser inPieces(maxBodySize);
    inPieces.feed(bytes, first);
    inPieces.feed(bytes + first, second - first);
    inPieces.feed(bytes + second, length - second);
    checkSame(whole, inPieces);
    return 0;
}
