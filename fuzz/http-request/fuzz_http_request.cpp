// Feeds arbitrary bytes to the request parser whole, byte by byte and in three pieces, request
// after request as a connection does, and stops on any difference between the answers or any
// answer that breaks the rules.
#include "../common/fuzzcheck.h"
#include "../common/refusalstatus.h"
#include "zrhttprequestparser_p.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Parser = ZRHttpRequestParser;

bool isControl(char c)
{
    return (c >= 0 && c < ' ') || c == 0x7f;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// A token, as methods and header names are: letters, digits and !#$%&'*+-.^_`|~ only.
bool isToken(const QByteArray &text)
{
    for (const char c : text) {
        const bool alphanumeric
            = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alphanumeric && (c == '\0' || !std::strchr("!#$%&'*+-.^_`|~", c)))
            return false;
    }
    return !text.isEmpty();
}

// A value as the head may carry one: no control character but tab, no blank at either end.
bool isValue(const QByteArray &text)
{
    if (!text.isEmpty() && (isBlank(text.front()) || isBlank(text.back())))
        return false;
    for (const char c : text) {
        if (isControl(c) && c != '\t')
            return false;
    }
    return true;
}

void checkRequest(const Parser &parser, int size)
{
    const ZRHttpParsedRequest &request = parser.request();
    check(request.method >= 0 && request.method < 7, "method outside the table");
    check(request.protocol == QLatin1String("HTTP/1.1")
            || request.protocol == QLatin1String("HTTP/1.0"),
        "protocol neither HTTP/1.1 nor HTTP/1.0");
    check(
        request.requestLine.startsWith(request.methodText.toLatin1() + ' '), "method not as sent");
    check(parser.bytesUsed() > 0 && parser.bytesUsed() <= size, "bytes used out of range");
    int hosts = 0;
    for (const auto &header : request.headers) {
        check(isToken(header.first), "header name not a token");
        check(isValue(header.second), "header value with a control character or blank ends");
        hosts += header.first.compare("host", Qt::CaseInsensitive) == 0 ? 1 : 0;
    }
    check(hosts == 1 || (hosts == 0 && request.protocol == QLatin1String("HTTP/1.0")),
        "Host missing or repeated");
    if (parser.framing() == Parser::NoFraming)
        check(request.body.isEmpty(), "body without framing");
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
                && parser.errorCode() >= int(ZRHttpError::ExpectationFailed),
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

// Everything a parser says must be the same however its bytes were cut.
void checkSame(const Parser &a, const Parser &b)
{
    const ZRHttpParsedRequest &x = a.request();
    const ZRHttpParsedRequest &y = b.request();
    check(a.status() == b.status(), "status differs");
    check(a.errorCode() == b.errorCode() && a.httpStatus() == b.httpStatus(), "error differs");
    check(a.headerBlockAccepted() == b.headerBlockAccepted(), "header acceptance differs");
    check(a.expectsContinue() == b.expectsContinue(), "100-continue differs");
    check(a.framing() == b.framing(), "framing differs");
    check(a.bytesUsed() == b.bytesUsed(), "bytes used differ");
    check(x.requestLine == y.requestLine && x.methodText == y.methodText && x.method == y.method,
        "method differs");
    check(x.path == y.path && x.protocol == y.protocol, "path or protocol differs");
    check(x.headers == y.headers, "headers differ");
    check(x.body == y.body, "body differs");
    check(x.keepAlive == y.keepAlive, "keep-alive differs");
}

// The requests a connection would take from the bytes, cut at the given offsets: each parser
// gets what the one before left over, as the connection gives it. The last parser is the one
// that did not complete, or the last of maxRequests.
constexpr int maxRequests = 8;

struct Session
{
    std::vector<Parser> parsers;
};

Session session(qint64 maxBodySize, const char *bytes, int length, const std::vector<int> &cuts)
{
    Session made;
    made.parsers.emplace_back(maxBodySize);
    int start = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const int end = i < cuts.size() ? cuts[i] : length;
        QByteArray piece = QByteArray::fromRawData(bytes + start, end - start);
        start = end;
        while (!piece.isEmpty() && int(made.parsers.size()) <= maxRequests) {
            Parser &parser = made.parsers.back();
            if (parser.feed(piece) != Parser::Complete)
                break;
            piece = parser.takeRest();
            made.parsers.emplace_back(maxBodySize);
        }
    }
    return made;
}

void checkSameSession(const Session &a, const Session &b)
{
    check(a.parsers.size() == b.parsers.size(), "number of requests differs");
    for (size_t i = 0; i < a.parsers.size(); ++i)
        checkSame(a.parsers[i], b.parsers[i]);
}

} // namespace

// The first byte picks the maximum body size (small ones reach the size limits); the
// rest is what the client sent, which may hold more than one request.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const qint64 maxBodySize = data[0] < 0x80 ? data[0] : Parser::defaultMaxBodySize;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const int length = int(size - 1);

    const Session whole = session(maxBodySize, bytes, length, {});
    int used = 0;
    for (const Parser &parser : whole.parsers) {
        checkAnswer(parser, length - used);
        used += int(parser.bytesUsed());
    }

    std::vector<int> everyByte;
    for (int i = 1; i < length; ++i)
        everyByte.push_back(i);
    checkSameSession(whole, session(maxBodySize, bytes, length, everyByte));

    // Cut points taken from the data itself, so every input is cut its own way.
    const int first = length > 0 ? data[0] % (length + 1) : 0;
    const int second = first + (length > first ? (data[size - 1] * 31) % (length - first + 1) : 0);
    checkSameSession(whole, session(maxBodySize, bytes, length, { first, second }));
    return 0;
}
