#include "zrhttprequestparser_p.h"

#include <QRandomGenerator>
#include <QtTest>

using Parser = ZRHttpRequestParser;
using Headers = ZRHttpHeaderList;

namespace {

constexpr qint64 oneMiB = 1024 * 1024;

// A string literal with every byte in it, NULs included.
template <int N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

Headers headers(std::initializer_list<QPair<QByteArray, QByteArray>> list)
{
    return Headers(list);
}

// A request whose header block (request line to the end of the empty line) is exactly
// size bytes, padded in one header value; ended is false to leave the empty line off.
QByteArray headerBlockOfSize(int size, bool ended = true)
{
    const QByteArray head = "GET / HTTP/1.1\r\nHost: a\r\nX-Pad: ";
    const QByteArray tail = ended ? "\r\n\r\n" : "\r\n";
    return head + QByteArray(size - head.size() - tail.size(), 'p') + tail;
}

// Everything a caller sees of the parser's answer.
struct Outcome
{
    int status = -1;
    int error = 0;
    int httpStatus = 0;
    bool headerBlockAccepted = false;
    bool expectsContinue = false;
    int framing = 0;
    qint64 bytesUsed = 0;
    QByteArray rest;
    ZRHttpParsedRequest request;
};

Outcome outcomeOf(const Parser &parser)
{
    Outcome outcome;
    outcome.status = parser.status();
    outcome.error = parser.errorCode();
    outcome.httpStatus = parser.httpStatus();
    outcome.headerBlockAccepted = parser.headerBlockAccepted();
    outcome.expectsContinue = parser.expectsContinue();
    outcome.framing = parser.framing();
    outcome.bytesUsed = parser.bytesUsed();
    outcome.request = parser.request();
    return outcome;
}

// Feeds data in pieces that end at the given offsets; the last piece runs to the end.
Outcome feedInPieces(const QByteArray &data, const QVector<int> &cuts, qint64 maxBodySize)
{
    Parser parser(maxBodySize);
    int start = 0;
    for (int cut : cuts) {
        parser.feed(data.constData() + start, cut - start);
        start = cut;
    }
    parser.feed(data.constData() + start, data.size() - start);
    return outcomeOf(parser);
}

// The first field in which two answers differ, or an empty text.
QString difference(const Outcome &a, const Outcome &b)
{
    const ZRHttpParsedRequest &x = a.request;
    const ZRHttpParsedRequest &y = b.request;
    const QVector<QPair<const char *, bool>> fields = {
        { "status", a.status == b.status },
        { "error", a.error == b.error },
        { "httpStatus", a.httpStatus == b.httpStatus },
        { "headerBlockAccepted", a.headerBlockAccepted == b.headerBlockAccepted },
        { "expectsContinue", a.expectsContinue == b.expectsContinue },
        { "framing", a.framing == b.framing },
        { "bytesUsed", a.bytesUsed == b.bytesUsed },
        { "requestLine", x.requestLine == y.requestLine },
        { "methodText", x.methodText == y.methodText },
        { "method", x.method == y.method },
        { "path", x.path == y.path },
        { "protocol", x.protocol == y.protocol },
        { "headers", x.headers == y.headers },
        { "body", x.body == y.body },
        { "keepAlive", x.keepAlive == y.keepAlive },
    };
    for (const auto &field : fields) {
        if (!field.second)
            return QString::fromLatin1(field.first);
    }
    return QString();
}

// The requests a connection would hand over from data cut so, one text each ("PUT /u body=
// close" for a request with an empty body and no next request on its connection), then the
// refusal's status or "more" for an incomplete request. Each request's parser takes what the
// one before left over, as the connection does.
QStringList session(const QByteArray &data, const QVector<int> &cuts)
{
    QStringList seen;
    Parser parser;
    qint64 fed = 0;
    int start = 0;
    for (int i = 0; i <= cuts.size(); ++i) {
        const int end = i < cuts.size() ? cuts[i] : data.size();
        QByteArray piece = data.mid(start, end - start);
        start = end;
        while (!piece.isEmpty()) {
            fed += piece.size();
            if (parser.feed(piece) != Parser::Complete)
                break;
            const ZRHttpParsedRequest request = parser.takeRequest();
            piece = parser.takeRest();
            seen.append(request.methodText + ' ' + request.path + QStringLiteral(" body=")
                + QString::fromLatin1(request.body) + (request.keepAlive ? "" : " close")
                + (parser.bytesUsed() == fed - piece.size() ? "" : " (bytes used wrong)"));
            parser = Parser();
            fed = 0;
        }
        if (parser.status() == Parser::BadRequest)
            return seen << QString::number(parser.httpStatus());
    }
    return fed > 0 ? seen << QStringLiteral("more") : seen;
}

// The ways of cutting size bytes that every case goes through: in two at every offset,
// byte by byte, and a few random cuttings (fixed seed, so a failure repeats).
QVector<QVector<int>> cuttings(int size)
{
    QVector<QVector<int>> all;
    for (int cut = 1; cut < size; ++cut)
        all.append(QVector<int> { cut });
    QVector<int> everyByte;
    for (int cut = 1; cut < size; ++cut)
        everyByte.append(cut);
    all.append(everyByte);
    QRandomGenerator random(size);
    for (int round = 0; round < 5 && size > 2; ++round) {
        QVector<int> cuts;
        for (int cut = 1 + random.bounded(size / 2 + 1); cut < size;
             cut += 1 + random.bounded(size / 3 + 1))
            cuts.append(cut);
        all.append(cuts);
    }
    return all;
}

QString describe(const QVector<int> &cuts)
{
    if (cuts.size() > 8)
        return QStringLiteral("%1 pieces").arg(cuts.size() + 1);
    QStringList offsets;
    for (int cut : cuts)
        offsets.append(QString::number(cut));
    return QStringLiteral("cut at ") + offsets.join(QLatin1Char(','));
}

} // namespace

class tst_ZRHttpRequestParser : public QObject
{
    Q_OBJECT

private slots:
    void complete_data();
    void complete();
    void rejected_data();
    void rejected();
    void waits_data();
    void waits();
    void pipelined_data();
    void pipelined();

private:
    void addCompleteRow(const char *name, const QByteArray &data, int method, const char *path,
        const char *protocol, const Headers &headerList, const QByteArray &body,
        qint64 maxBodySize = oneMiB);
    static Outcome verifyEveryCutting(const QByteArray &data, qint64 maxBodySize);
};

// Parses data whole, then checks that every cutting of it gives the same answer.
Outcome tst_ZRHttpRequestParser::verifyEveryCutting(const QByteArray &data, qint64 maxBodySize)
{
    const Outcome whole = feedInPieces(data, {}, maxBodySize);
    for (const QVector<int> &cuts : cuttings(data.size())) {
        const QString field = difference(whole, feedInPieces(data, cuts, maxBodySize));
        if (!field.isEmpty()) {
            QTest::qFail(
                qPrintable(QStringLiteral("%1 differs when %2").arg(field, describe(cuts))),
                __FILE__, __LINE__);
            break;
        }
    }
    return whole;
}

void tst_ZRHttpRequestParser::addCompleteRow(const char *name, const QByteArray &data, int method,
    const char *path, const char *protocol, const Headers &headerList, const QByteArray &body,
    qint64 maxBodySize)
{
    QTest::newRow(name) << data << maxBodySize << method << QString::fromUtf8(path)
                        << QString::fromUtf8(protocol) << headerList << body;
}

void tst_ZRHttpRequestParser::complete_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<QByteArray>("body");

    const Headers host = headers({ { "Host", "a" } });
    // Request line.
    addCompleteRow("plain GET", "GET /index.html?q=1 HTTP/1.1\r\nHost: example\r\n\r\n", 0,
        "/index.html?q=1", "HTTP/1.1", headers({ { "Host", "example" } }), "");
    addCompleteRow("HTTP/1.0 without Host", "GET /a HTTP/1.0\r\n\r\n", 0, "/a", "HTTP/1.0", {}, "");
    addCompleteRow("path read as UTF-8", "GET /caf\xC3\xA9 HTTP/1.1\r\nHost: a\r\n\r\n", 0,
        "/caf\xC3\xA9", "HTTP/1.1", host, "");
    addCompleteRow("empty lines before the request line skipped",
        "\r\n\r\n\r\n\r\nOPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n", 6, "*", "HTTP/1.1", host, "");
    const char *const methods[] = { "GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS" };
    for (int method = 0; method < 7; ++method) {
        const QByteArray line = QByteArray(methods[method]) + " /m HTTP/1.1\r\nHost: a\r\n\r\n";
        addCompleteRow(methods[method], line, method, "/m", "HTTP/1.1", host, "");
    }

    // Header lines.
    addCompleteRow("split at the first colon", "GET / HTTP/1.1\r\nHost: server1:8080\r\n\r\n", 0,
        "/", "HTTP/1.1", headers({ { "Host", "server1:8080" } }), "");
    addCompleteRow("value as sent less blanks at its ends",
        "GET / HTTP/1.1\r\nHost: a\r\nX-Key2: \t 12998 5 Y3 1  .P00 \t\r\nX-B:\tc\td\r\n\r\n", 0,
        "/", "HTTP/1.1",
        headers({ { "Host", "a" }, { "X-Key2", "12998 5 Y3 1  .P00" }, { "X-B", "c\td" } }), "");
    addCompleteRow("repeated name kept in order, case kept",
        "GET / HTTP/1.1\r\nA: 1\r\nhost: [::1]:80\r\nA: 2\r\n\r\n", 0, "/", "HTTP/1.1",
        headers({ { "A", "1" }, { "host", "[::1]:80" }, { "A", "2" } }), "");
    addCompleteRow("empty values, the token characters in a name",
        "GET / HTTP/1.1\r\nHost:\r\nX:  \r\n!#$%&'*+-.^_`|~09az:v\r\n\r\n", 0, "/", "HTTP/1.1",
        headers({ { "Host", "" }, { "X", "" }, { "!#$%&'*+-.^_`|~09az", "v" } }), "");
    // Non-breaking spaces and other non-ASCII bytes are data, not white space.
    addCompleteRow("non-ASCII bytes in a value kept exactly",
        "GET / HTTP/1.1\r\nHost: a\r\nN: \xC2\xA0x\xC2\xA0\xC2\x85 \xFF\r\n\r\n", 0, "/",
        "HTTP/1.1", headers({ { "Host", "a" }, { "N", "\xC2\xA0x\xC2\xA0\xC2\x85 \xFF" } }), "");
    addCompleteRow("header block of exactly 8192 bytes", headerBlockOfSize(8192), 0, "/",
        "HTTP/1.1", headers({ { "Host", "a" }, { "X-Pad", QByteArray(8192 - 36, 'p') } }), "");
    addCompleteRow("Expect 100-continue without a body",
        "GET / HTTP/1.1\r\nHost: a\r\nExpect: "
        "100-Continue\r\n\r\n",
        0, "/", "HTTP/1.1", headers({ { "Host", "a" }, { "Expect", "100-Continue" } }), "");

    // Without framing headers there is no body, whatever the method and whatever follows.
    addCompleteRow("POST without framing: no body",
        "POST / HTTP/1.1\r\nHost: a\r\n\r\nB: 2\r\na=b\r\n", 1, "/", "HTTP/1.1", host, "");

    // Content-Length.
    addCompleteRow("Content-Length body byte for byte",
        bytes("POST /u HTTP/1.1\r\nHost: a\r\nContent-Length: 14\r\n\r\na\0b  \r\n\r\n  c\0\xFF"),
        1, "/u", "HTTP/1.1", headers({ { "Host", "a" }, { "Content-Length", "14" } }),
        bytes("a\0b  \r\n\r\n  c\0\xFF"));
    addCompleteRow("lower-case content-length, repeated with the same value",
        "PUT / HTTP/1.0\r\ncontent-length: 3\r\nContent-length: 003\r\n\r\nabc", 2, "/", "HTTP/1.0",
        headers({ { "content-length", "3" }, { "Content-length", "003" } }), "abc");
    addCompleteRow("body of exactly the maximum",
        "POST / HTTP/1.0\r\nCONTENT-LENGTH: 5\r\n\r\n12345", 1, "/", "HTTP/1.0",
        headers({ { "CONTENT-LENGTH", "5" } }), "12345", 5);
    addCompleteRow("negative maximum still takes an empty body",
        "POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", 1, "/", "HTTP/1.0",
        headers({ { "Content-Length", "0" } }), "", -1);

    // Chunked.
    const Headers chunked = headers({ { "Host", "a" }, { "Transfer-Encoding", "chunked" } });
    addCompleteRow("chunked with extensions and trailers",
        "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
        "4\r\nWiki\r\n5;name=\"v a\"\r\npedia\r\nE ; x\r\n in\r\n\r\nchunks.\r\n"
        "0;last\r\nX-Trailer: 1\r\nY:  2 \r\n\r\n",
        1, "/", "HTTP/1.1", chunked, "Wikipedia in\r\n\r\nchunks.");
    addCompleteRow("lower-case chunked, upper-case hex, NULs in data",
        bytes("POST / HTTP/1.0\r\ntransfer-encoding: CHUNKED\r\n\r\nA\r\n\0"
              "123456789\r\n"
              "001\r\n\0\r\n0\r\n\r\n"),
        1, "/", "HTTP/1.0", headers({ { "transfer-encoding", "CHUNKED" } }),
        bytes("\0"
              "123456789\0"));
    addCompleteRow("empty coding list elements skipped",
        "POST / HTTP/1.0\r\nTransfer-Encoding: , chunked ,\r\n\r\n0\r\n\r\n", 1, "/", "HTTP/1.0",
        headers({ { "Transfer-Encoding", ", chunked ," } }), "");
    addCompleteRow("chunks adding up to exactly the maximum",
        "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n3\r\ncde\r\n"
        "0\r\n\r\n",
        1, "/", "HTTP/1.1", chunked, "abcde", 5);
}

void tst_ZRHttpRequestParser::complete()
{
    QFETCH(QByteArray, data);
    QFETCH(qint64, maxBodySize);

    const Outcome whole = verifyEveryCutting(data, maxBodySize);
    if (QTest::currentTestFailed())
        return;
    QFETCH(int, method);
    QFETCH(QString, path);
    QFETCH(QString, protocol);
    QFETCH(Headers, headers);
    QFETCH(QByteArray, body);
    QCOMPARE(whole.status, int(Parser::Complete));
    QCOMPARE(whole.request.method, method);
    QCOMPARE(whole.request.path, path);
    QCOMPARE(whole.request.protocol, protocol);
    QCOMPARE(whole.request.headers, headers);
    QCOMPARE(whole.request.body, body);
}

void tst_ZRHttpRequestParser::rejected_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("httpStatus");

    const auto row = [](const char *name, const QByteArray &data, ZRHttpError error, int httpStatus,
                         qint64 maxBodySize = oneMiB) {
        QTest::newRow(name) << data << maxBodySize << int(error) << httpStatus;
    };
    const QByteArray get = "GET / HTTP/1.1\r\nHost: a\r\n";
    const QByteArray post = "POST / HTTP/1.1\r\nHost: a\r\n";
    const QByteArray chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
    const ZRHttpError line = ZRHttpError::MalformedRequest;
    const ZRHttpError header = ZRHttpError::InvalidRequestHeader;
    const ZRHttpError framing = ZRHttpError::BadBodyFraming;

    // The request line is judged as soon as it ends; nothing after it is needed.
    row("two tokens", "GET /\r\n", line, 400);
    row("four tokens", "GET / HTTP/1.1 x\r\n", line, 400);
    row("two spaces", "GET  / HTTP/1.1\r\n", line, 400);
    row("tab between tokens", "GET\t/ HTTP/1.1\r\n", line, 400);
    row("space first", " GET / HTTP/1.1\r\n", line, 400);
    row("space last", "GET / HTTP/1.1 \r\n", line, 400);
    row("bare CR in the request line", "GET /\r HTTP/1.1\r\n", line, 400);
    row("request line ended by a bare LF", "GET / HTTP/1.1\nHost: a\r\n\r\n", line, 400);
    row("LF line ends", "OPTIONS * HTTP/1.1\nHost: a\n\n", line, 400);
    row("blank first line", " \t \r\nGET / HTTP/1.1\r\n\r\n", line, 400);
    row("bare LF before the request line", "\nGET / HTTP/1.1\r\n\r\n", line, 400);
    row("five empty lines first", "\r\n\r\n\r\n\r\n\r\nGET / HTTP/1.1\r\n", line, 400);
    row("NUL first", bytes("\0GET / HTTP/1.1\r\n\r\n"), line, 400);
    row("NUL in the target", bytes("GET /\0 HTTP/1.1\r\n"), line, 400);
    row("method not a token", "G@T / HTTP/1.1\r\n", line, 400);
    row("CONNECT", "CONNECT host:443 HTTP/1.1\r\n", ZRHttpError::BadRequestType, 501);
    row("TRACE", "TRACE / HTTP/1.1\r\n", ZRHttpError::BadRequestType, 501);
    const char *const mixedCase[] = { "get", "Post", "pUT", "PaTcH", "delete", "hEAD" };
    for (const char *method : mixedCase) {
        row(method, QByteArray(method) + " /m HTTP/1.1\r\n", ZRHttpError::BadRequestType, 501);
    }
    row("method with a non-ASCII look-alike letter", "PO\xC5\xBFT / HTTP/1.1\r\n", line, 400);
    const char *const notVersions[]
        = { "FTP/1.0", "HTT", "http/1.1", "HTTPS/1.1", "HTTP2", "HTTP/1.10", "HTTP/1", "HTTP/a.1" };
    for (const char *version : notVersions) {
        row(version, "GET / " + QByteArray(version) + "\r\n", ZRHttpError::InvalidRequestProtocol,
            400);
    }
    for (const char *version : { "HTTP/5.6", "HTTP/2.0", "HTTP/1.2", "HTTP/0.9" })
        row(version, "GET / " + QByteArray(version) + "\r\n", ZRHttpError::UnsupportedVersion, 505);
    row("request line over 8 KiB", "GET /" + QByteArray(8200, 'a') + " HTTP/1.1\r\n\r\n",
        ZRHttpError::HeaderBlockTooLarge, 431);

    // Header lines: a bare LF or CR never ends a line, so it cannot hide a framing header.
    row("bare LF hides Content-Length",
        "GET / HTTP/1.1\r\nHost: a\r\nDummy: x\nContent-Length: 23\r\n\r\nGET / HTTP/1.1\r\n"
        "Dummy: GET /admin HTTP/1.1\r\nHost: localhost\r\n\r\n",
        header, 400);
    row("bare LF hides Transfer-Encoding", get + "X: y\nTransfer-Encoding: chunked\r\n", header,
        400);
    row("bare LF ends the head", get + "\n", header, 400);
    row("bare CR in a value", get + "X: a\rContent-Length: 1\r\n", header, 400);
    row("bare CR ends a value", get + "X: a\r\r\n", header, 400);
    row("header line without colon", get + "bad line\r\n", header, 400);
    row("folded continuation line", get + "A: 1\r\n  more\r\n", header, 400);
    row("folded Host", get + "X-A: 1\r\n Host: evil\r\n", header, 400);
    row("folded Authorization", get + "X-A: 1\r\n\tAuthorization: Bearer x\r\n", header, 400);
    row("white space right after the request line", "GET / HTTP/1.1\r\n Host: foo\r\n", header,
        400);
    row("line of spaces for the empty line", get + "   \r\n", header, 400);
    row("name with @", get + "Fo@: x\r\n", header, 400);
    row("name with a control character", get + "Foo\x01\test: x\r\n", header, 400);
    row("name not ASCII", get + "N\xE9: x\r\n", header, 400);
    row("empty name", get + ": v\r\n", header, 400);
    row("space before the colon", get + "Connection : close\r\n", header, 400);
    row("Content-Length with blank before colon", post + "Content-Length : 3\r\n", header, 400);
    row("control character in a value",
        get
            + "X: a\x01"
              "b\r\n",
        header, 400);
    row("DEL in a value", get + "X: a\x7f\r\n", header, 400);
    row("NUL in a value", bytes("GET / HTTP/1.1\r\nX: a\0b\r\n"), header, 400);
    row("two Hosts", get + "host: a\r\n", header, 400);
    row("two Hosts in HTTP/1.0", "GET / HTTP/1.0\r\nHost: a\r\nHost: b\r\n", header, 400);
    row("no Host in HTTP/1.1", "GET / HTTP/1.1\r\nX: 1\r\n\r\n", header, 400);
    row("Host with a space", "GET / HTTP/1.1\r\nHost: a b\r\n", header, 400);
    row("Host with a path", "GET / HTTP/1.1\r\nHost: a/b\r\n", header, 400);
    row("header block of 8193 bytes", headerBlockOfSize(8193), ZRHttpError::HeaderBlockTooLarge,
        431);
    row("8192 header bytes and not ended", headerBlockOfSize(8192, false) + "\r\n",
        ZRHttpError::HeaderBlockTooLarge, 431);
    row("Expect other than 100-continue", post + "Content-Length: 5\r\nExpect: something\r\n\r\n",
        ZRHttpError::ExpectationFailed, 417);
    row("Expect 100-continue and more", get + "Expect: 100-continue, x\r\n\r\n",
        ZRHttpError::ExpectationFailed, 417);

    // Framing, refused as soon as its line ends: none of these heads is complete.
    row("Content-Length then Transfer-Encoding",
        post + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", framing, 400);
    row("Transfer-Encoding then Content-Length",
        post + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n", framing, 400);
    row("two different Content-Lengths", post + "Content-Length: 3\r\ncontent-length: 4\r\n",
        framing, 400);
    const char *const notDecimal[] = { "12a", "-1", "+5", "", "0x10", "1 2", "3,3", "\xD9\xA3" };
    for (const char *value : notDecimal) {
        row(qPrintable(QStringLiteral("Content-Length '%1'").arg(QString::fromUtf8(value))),
            post + "Content-Length: " + QByteArray(value) + "\r\n", framing, 400);
    }
    row("gzip coding", post + "Transfer-Encoding: gzip\r\n", framing, 501);
    row("gzip then chunked", post + "transfer-encoding: gzip, chunked\r\n", framing, 501);
    row("chunked then gzip", post + "Transfer-Encoding: chunked, gzip\r\n", framing, 400);
    row("chunked twice", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n",
        framing, 400);
    row("empty Transfer-Encoding", post + "Transfer-Encoding:\r\n\r\n", framing, 400);

    // Chunks: every line ends with CR LF, and the trailers end at an empty line only.
    row("chunk size not hex", chunked + "zz\r\nab\r\n0\r\n\r\n", framing, 400);
    row("chunk size missing", chunked + ";x\r\n", framing, 400);
    row("chunk size with blank inside", chunked + "1 0\r\n", framing, 400);
    row("chunk-size line ended by a bare LF", chunked + "3\nabc\r\n0\r\n\r\n", framing, 400);
    row("bare CR in a chunk extension", chunked + "3;a\rb\r\n", framing, 400);
    row("chunk data longer than its size", chunked + "3\r\nabcd\r\n0\r\n\r\n", framing, 400);
    row("chunk data ended by CR alone", chunked + "3\r\nabc\rX", framing, 400);
    row("chunk data ended by a bare LF", chunked + "3\r\nabc\n0\r\n\r\n", framing, 400);
    row("last chunk ended by a bare LF", chunked + "0\n\r\n", framing, 400);
    row("trailers ended by a bare LF", chunked + "0\r\n\n", framing, 400);
    row("trailers ended by a line of spaces",
        chunked + "0\r\n  \r\nGET /admin HTTP/1.1\r\nHost: a\r\n\r\n", framing, 400);
    row("trailer line without colon", chunked + "0\r\nbad\r\n\r\n", framing, 400);
    row("folded trailer line", chunked + "0\r\nT: 1\r\n 2\r\n\r\n", framing, 400);
    row("chunk-size line over 4 KiB", chunked + "1;" + QByteArray(5000, 'x') + "\r\n", framing,
        400);
    row("trailers over 8 KiB", chunked + "0\r\nT: " + QByteArray(8200, 't') + "\r\n\r\n",
        ZRHttpError::HeaderBlockTooLarge, 431);

    // Sizes: a declared length fails at once, chunks as soon as their sizes add up too high.
    row("declared length over 1 MiB", post + "Content-Length: 1048577\r\n",
        ZRHttpError::BodyTooLarge, 413);
    row("declared length beyond 64 bits", post + "Content-Length: 1000000000000000000000\r\n",
        ZRHttpError::BodyTooLarge, 413);
    row("declared length over 1 GiB with a larger maximum", post + "Content-Length: 3000000000\r\n",
        ZRHttpError::BodyTooLarge, 413, qint64(1) << 40);
    row("negative maximum takes no body", post + "Content-Length: 1\r\n\r\nx",
        ZRHttpError::BodyTooLarge, 413, -1);
    row("chunks seen so far over the maximum", chunked + "2\r\nab\r\n4\r\n",
        ZRHttpError::BodyTooLarge, 413, 5);
    row("chunk size beyond 64 bits", chunked + "FFFFFFFFFFFFFFFFFFFFFF\r\n",
        ZRHttpError::BodyTooLarge, 413);
}

void tst_ZRHttpRequestParser::rejected()
{
    QFETCH(QByteArray, data);
    QFETCH(qint64, maxBodySize);

    const Outcome whole = verifyEveryCutting(data, maxBodySize);
    if (QTest::currentTestFailed())
        return;
    QFETCH(int, error);
    QFETCH(int, httpStatus);
    QCOMPARE(whole.status, int(Parser::BadRequest));
    QCOMPARE(whole.error, error);
    QCOMPARE(whole.httpStatus, httpStatus);
    QCOMPARE(whole.request.headers, Headers());
}

void tst_ZRHttpRequestParser::waits_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("headerBlockAccepted");
    QTest::addColumn<bool>("expectsContinue");

    const QByteArray post = "POST / HTTP/1.1\r\nHost: a\r\n";
    QTest::newRow("four empty lines") << QByteArray("\r\n\r\n\r\n\r\n") << false << false;
    QTest::newRow("request line not ended") << QByteArray("GET / HTTP/1.1") << false << false;
    QTest::newRow("header block not ended")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nX: \r\n") << false << false;
    QTest::newRow("8191 header bytes, not ended")
        << headerBlockOfSize(8191, false) << false << false;
    QTest::newRow("body one byte short")
        << post + "Content-Length: 10\r\n\r\n123456789" << true << false;
    QTest::newRow("chunked without the last chunk")
        << post + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"
        << true << false;
    QTest::newRow("last chunk without the end of trailers")
        << post + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nT: 1\r\n"
        << true << false;
    QTest::newRow("chunk data end half there")
        << post + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r" << true << false;
    QTest::newRow("100-continue with a length")
        << post + "Content-Length: 5\r\nExpect: 100-continue\r\n\r\n"
        << true << true;
    QTest::newRow("100-continue in any case, chunked")
        << post + "transfer-encoding: chunked\r\nexpect: 100-Continue\r\n\r\n"
        << true << true;
    QTest::newRow("100-continue from an HTTP/1.0 client")
        << QByteArray("POST / HTTP/1.0\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n")
        << true << false;
}

void tst_ZRHttpRequestParser::waits()
{
    QFETCH(QByteArray, data);

    const Outcome whole = verifyEveryCutting(data, oneMiB);
    if (QTest::currentTestFailed())
        return;
    QFETCH(bool, headerBlockAccepted);
    QFETCH(bool, expectsContinue);
    QCOMPARE(whole.status, int(Parser::NeedMore));
    QCOMPARE(whole.headerBlockAccepted, headerBlockAccepted);
    QCOMPARE(whole.expectsContinue, expectsContinue);
    for (int size = 0; size < data.size(); ++size)
        QCOMPARE(int(feedInPieces(data.left(size), {}, oneMiB).status), int(Parser::NeedMore));
}

// What a connection hands over from bytes that hold more than one request, the same however
// they are cut.
void tst_ZRHttpRequestParser::pipelined_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("requests");

    const QByteArray get = "GET /b HTTP/1.1\r\nHost: a\r\n\r\n";
    const QByteArray put = "PUT /url HTTP/1.1\r\nHost: a\r\nConnection: keep-alive\r\n\r\n";
    const QByteArray chunked = "POST /c HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "1\r\na\r\n0\r\n";
    QTest::newRow("Content-Length, then GET") << "POST /a HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc"
            + get << QStringList { "POST /a body=abc close", "GET /b body=" };
    QTest::newRow("chunked, then GET")
        << chunked + "T: 1\r\n\r\n" + get << QStringList { "POST /c body=a", "GET /b body=" };
    QTest::newRow("empty lines before")
        << "\r\n\r\n" + get + "\r\n" + get << QStringList { "GET /b body=", "GET /b body=" };
    QTest::newRow("PUT without framing, then GET") << "PUT /url HTTP/1.1\r\nHost: a\r\n\r\n"
            + get << QStringList { "PUT /url body= close", "GET /b body=" };
    QTest::newRow("PUT without framing, twice")
        << put + put << QStringList { "PUT /url body= close", "PUT /url body= close" };
    QTest::newRow("GET that closes, then text")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\nhello\r\n  world")
        << QStringList { "GET / body= close", "400" };
    QTest::newRow("CRLF after a body")
        << "POST /a HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nab\r\n" + get
        << QStringList { "POST /a body=ab", "GET /b body=" };
    QTest::newRow("Content-Length in the trailers frames nothing")
        << chunked + "Content-Length: 30\r\n\r\n" + get
        << QStringList { "POST /c body=a", "GET /b body=" };
    QTest::newRow("trailers ended by spaces hide a request") << chunked
            + "  \r\nGET /admin HTTP/1.1\r\nHost: a\r\n\r\n" << QStringList { "400" };
    QTest::newRow("NUL after a request")
        << get + QByteArray(1, '\0') + get << QStringList { "GET /b body=", "400" };
    QTest::newRow("next request cut short")
        << get + "GET /c HT" << QStringList { "GET /b body=", "more" };
}

void tst_ZRHttpRequestParser::pipelined()
{
    QFETCH(QByteArray, data);
    QFETCH(QStringList, requests);

    QCOMPARE(session(data, {}), requests);
    for (const QVector<int> &cuts : cuttings(data.size())) {
        const QStringList seen = session(data, cuts);
        QVERIFY2(seen == requests, qPrintable(describe(cuts) + ": " + seen.join(" | ")));
    }
}

QTEST_APPLESS_MAIN(tst_ZRHttpRequestParser)
#include "tst_zrhttprequestparser.moc"
