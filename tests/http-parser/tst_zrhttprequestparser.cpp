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
    const QByteArray head = "GET / HTTP/1.1\r\nX-Pad: ";
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

// The first field in which two answers differ, or an empty text. Without framing the
// body is what came with the header block, so it and the bytes used depend on the cuts.
QString difference(const Outcome &a, const Outcome &b)
{
    const ZRHttpParsedRequest &x = a.request;
    const ZRHttpParsedRequest &y = b.request;
    const bool framed = a.framing != Parser::NoFraming;
    const QVector<QPair<const char *, bool>> fields = {
        { "status", a.status == b.status },
        { "error", a.error == b.error },
        { "httpStatus", a.httpStatus == b.httpStatus },
        { "headerBlockAccepted", a.headerBlockAccepted == b.headerBlockAccepted },
        { "expectsContinue", a.expectsContinue == b.expectsContinue },
        { "framing", a.framing == b.framing },
        { "bytesUsed", !framed || a.bytesUsed == b.bytesUsed },
        { "requestLine", x.requestLine == y.requestLine },
        { "methodText", x.methodText == y.methodText },
        { "method", x.method == y.method },
        { "path", x.path == y.path },
        { "protocol", x.protocol == y.protocol },
        { "headers", x.headers == y.headers },
        { "body", !framed || x.body == y.body },
    };
    for (const auto &field : fields) {
        if (!field.second)
            return QString::fromLatin1(field.first);
    }
    return QString();
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
    void bytesUsed_data();
    void bytesUsed();
    void unframedBodyIsWhatCameWithTheHeaders();

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

    // Request line.
    addCompleteRow("plain GET", "GET /index.html?q=1 HTTP/1.1\r\nHost: example\r\n\r\n", 0,
        "/index.html?q=1", "HTTP/1.1", headers({ { "Host", "example" } }), "");
    addCompleteRow(
        "lower-case method and protocol", "get /a http/1.0\r\n\r\n", 0, "/a", "http/1.0", {}, "");
    addCompleteRow("tabs, doubled spaces, CRs around tokens", " \tPOST  /x\t\tHTTP/1.1 \r\r\n\r\n",
        1, "/x", "HTTP/1.1", {}, "");
    addCompleteRow("LF line ends, HTTP2", "OPTIONS * HTTP2\n\n", 6, "*", "HTTP2", {}, "");
    addCompleteRow("HTTPS prefix passes", "GET / HTTPS/1.1\r\n\r\n", 0, "/", "HTTPS/1.1", {}, "");
    addCompleteRow("path read as UTF-8", "GET /caf\xC3\xA9 HTTP/1.1\r\n\r\n", 0, "/caf\xC3\xA9",
        "HTTP/1.1", {}, "");
    const char *const mixedCase[] = { "Get", "pOST", "put", "PaTcH", "delete", "hEAD", "Options" };
    for (int method = 0; method < 7; ++method) {
        const QByteArray line = QByteArray(mixedCase[method]) + " /m HTTP/1.1\r\n\r\n";
        addCompleteRow(mixedCase[method], line, method, "/m", "HTTP/1.1", {}, "");
    }

    // Header lines.
    addCompleteRow("split at the first colon", "GET / HTTP/1.1\r\nHost: server1:8080\r\n\r\n", 0,
        "/", "HTTP/1.1", headers({ { "Host", "server1:8080" } }), "");
    addCompleteRow("blank before colon stays in the name, value runs folded",
        "GET / HTTP/1.1\r\nX-A  :  one  \t two  \r\n\r\n", 0, "/", "HTTP/1.1",
        headers({ { "X-A ", "one two" } }), "");
    addCompleteRow("repeated name kept in order, case kept",
        "GET / HTTP/1.1\r\nA: 1\r\nhost: h\r\nA: 2\r\n\r\n", 0, "/", "HTTP/1.1",
        headers({ { "A", "1" }, { "host", "h" }, { "A", "2" } }), "");
    addCompleteRow("empty value and empty name", "GET / HTTP/1.1\r\nX:\r\n: v\r\n\r\n", 0, "/",
        "HTTP/1.1", headers({ { "X", "" }, { "", "v" } }), "");
    // Non-breaking spaces and other non-ASCII bytes are data, not white space.
    addCompleteRow("non-ASCII bytes kept exactly",
        "GET / HTTP/1.1\r\nN\xE9: \xC2\xA0x\xC2\xA0\xC2\x85 \xFF\r\n\r\n", 0, "/", "HTTP/1.1",
        headers({ { "N\xE9", "\xC2\xA0x\xC2\xA0\xC2\x85 \xFF" } }), "");
    addCompleteRow("header block of exactly 8192 bytes", headerBlockOfSize(8192), 0, "/",
        "HTTP/1.1", headers({ { "X-Pad", QByteArray(8192 - 27, 'p') } }), "");

    // Without framing headers.
    addCompleteRow("blank line ends headers, rest is body",
        "POST / HTTP/1.1\r\nA: 1\r\n \t \r\nB: 2\r\na=b\r\n", 1, "/", "HTTP/1.1",
        headers({ { "A", "1" } }), "B: 2\na=b\n");
    addCompleteRow("body lines folded, CRLF to LF, empty line kept",
        "POST / HTTP/1.1\r\n\r\n  x   y \r\n\r\nz", 1, "/", "HTTP/1.1", {}, "x y\n\nz\n");
    addCompleteRow("NUL ends the request in the headers",
        bytes("GET / HTTP/1.1\r\nA: 1\0B: 2\r\n\r\nbody"), 0, "/", "HTTP/1.1",
        headers({ { "A", "1" } }), "");
    addCompleteRow("NUL right after the request line", bytes("GET / HTTP/1.1\0A: 1\r\n\r\n"), 0,
        "/", "HTTP/1.1", {}, "");
    addCompleteRow("NUL after the header block cuts the body",
        bytes("POST / HTTP/1.1\r\n\r\nab\r\n\0cd\r\n"), 1, "/", "HTTP/1.1", {}, "ab\n");
    addCompleteRow("NUL-ended request declaring no body",
        bytes("POST / HTTP/1.1\r\nContent-Length: 0\0"), 1, "/", "HTTP/1.1",
        headers({ { "Content-Length", "0" } }), "");

    // Content-Length.
    addCompleteRow("Content-Length body byte for byte",
        bytes("POST /u HTTP/1.1\r\nContent-Length: 14\r\n\r\na\0b  \r\n\r\n  c\0\xFF"), 1, "/u",
        "HTTP/1.1", headers({ { "Content-Length", "14" } }), bytes("a\0b  \r\n\r\n  c\0\xFF"));
    addCompleteRow("lower-case content-length, repeated with the same value",
        "PUT / HTTP/1.1\r\ncontent-length: 3\r\nContent-length: 003\r\n\r\nabc", 2, "/", "HTTP/1.1",
        headers({ { "content-length", "3" }, { "Content-length", "003" } }), "abc");
    addCompleteRow("body of exactly the maximum",
        "POST / HTTP/1.1\r\nCONTENT-LENGTH: 5\r\n\r\n12345", 1, "/", "HTTP/1.1",
        headers({ { "CONTENT-LENGTH", "5" } }), "12345", 5);
    addCompleteRow("negative maximum still takes an empty body",
        "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 1, "/", "HTTP/1.1",
        headers({ { "Content-Length", "0" } }), "", -1);

    // Chunked.
    addCompleteRow("chunked with extensions and trailers",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "4\r\nWiki\r\n5;name=\"v a\"\r\npedia\r\nE ; x\r\n in\r\n\r\nchunks.\r\n"
        "0;last\r\nX-Trailer: 1\r\nY: 2\r\n\r\n",
        1, "/", "HTTP/1.1", headers({ { "Transfer-Encoding", "chunked" } }),
        "Wikipedia in\r\n\r\nchunks.");
    addCompleteRow("lower-case chunked, LF line ends, upper-case hex, NULs in data",
        bytes("POST / HTTP/1.1\ntransfer-encoding: CHUNKED\n\nA\n\0"
              "123456789\n"
              "001\n\0\n0\n\n"),
        1, "/", "HTTP/1.1", headers({ { "transfer-encoding", "CHUNKED" } }),
        bytes("\0"
              "123456789\0"));
    addCompleteRow("empty coding list elements skipped",
        "POST / HTTP/1.1\r\nTransfer-Encoding: , chunked ,\r\n\r\n0\r\n\r\n", 1, "/", "HTTP/1.1",
        headers({ { "Transfer-Encoding", ", chunked ," } }), "");
    addCompleteRow("chunks adding up to exactly the maximum",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n3\r\ncde\r\n0\r\n\r\n", 1,
        "/", "HTTP/1.1", headers({ { "Transfer-Encoding", "chunked" } }), "abcde", 5);
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
    const QByteArray chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";

    // The request line is judged as soon as it ends; nothing after it is needed.
    row("two tokens", "GET /\r\n", ZRHttpError::MalformedRequest, 400);
    row("four tokens", "GET / HTTP/1.1 x\r\n", ZRHttpError::MalformedRequest, 400);
    row("empty first line is not skipped", "\r\nGET / HTTP/1.1\r\n\r\n",
        ZRHttpError::MalformedRequest, 400);
    row("blank first line", " \t \nGET / HTTP/1.1\r\n\r\n", ZRHttpError::MalformedRequest, 400);
    row("NUL first", bytes("\0GET / HTTP/1.1\r\n\r\n"), ZRHttpError::MalformedRequest, 400);
    row("CONNECT", "CONNECT host:443 HTTP/1.1\r\n", ZRHttpError::BadRequestType, 501);
    row("TRACE", "TRACE / HTTP/1.1\r\n", ZRHttpError::BadRequestType, 501);
    row("method with a non-ASCII look-alike letter", "PO\xC5\xBFT / HTTP/1.1\r\n",
        ZRHttpError::BadRequestType, 501);
    row("FTP protocol", "GET / FTP/1.0\r\n", ZRHttpError::InvalidRequestProtocol, 400);
    row("protocol shorter than HTTP", "GET / HTT\r\n", ZRHttpError::InvalidRequestProtocol, 400);
    row("request line over 8 KiB", "GET /" + QByteArray(8200, 'a') + " HTTP/1.1\r\n\r\n",
        ZRHttpError::HeaderBlockTooLarge, 431);

    // Header block.
    row("header line without colon", "GET / HTTP/1.1\r\nA: 1\r\nbad line\r\n\r\n",
        ZRHttpError::InvalidRequestHeader, 400);
    row("folded continuation line", "GET / HTTP/1.1\r\nA: 1\r\n  more\r\n\r\n",
        ZRHttpError::InvalidRequestHeader, 400);
    row("line without colon ended by NUL", bytes("GET / HTTP/1.1\r\nbad\0"),
        ZRHttpError::InvalidRequestHeader, 400);
    row("header block of 8193 bytes", headerBlockOfSize(8193), ZRHttpError::HeaderBlockTooLarge,
        431);
    row("8192 header bytes and not ended", headerBlockOfSize(8192, false) + "\r\n",
        ZRHttpError::HeaderBlockTooLarge, 431);

    // Framing.
    row("Content-Length with Transfer-Encoding",
        "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
        ZRHttpError::BadBodyFraming, 400);
    row("two different Content-Lengths",
        "POST / HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 4\r\n\r\nabcd",
        ZRHttpError::BadBodyFraming, 400);
    const char *const notDecimal[] = { "12a", "-1", "+5", "", "0x10", "1 2", "3,3", "\xD9\xA3" };
    for (const char *value : notDecimal) {
        row(qPrintable(QStringLiteral("Content-Length '%1'").arg(QString::fromUtf8(value))),
            "POST / HTTP/1.1\r\nContent-Length: " + QByteArray(value) + "\r\n\r\nabc",
            ZRHttpError::BadBodyFraming, 400);
    }
    row("Content-Length with blank before colon",
        "POST / HTTP/1.1\r\nContent-Length : 3\r\n\r\nabc", ZRHttpError::BadBodyFraming, 400);
    row("gzip coding", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n",
        ZRHttpError::BadBodyFraming, 501);
    row("gzip then chunked", "POST / HTTP/1.1\r\ntransfer-encoding: gzip, chunked\r\n\r\n",
        ZRHttpError::BadBodyFraming, 501);
    row("chunked twice",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
        ZRHttpError::BadBodyFraming, 400);
    row("empty Transfer-Encoding", "POST / HTTP/1.1\r\nTransfer-Encoding:\r\n\r\n",
        ZRHttpError::BadBodyFraming, 400);
    row("chunk size not hex", chunked + "zz\r\nab\r\n0\r\n\r\n", ZRHttpError::BadBodyFraming, 400);
    row("chunk size missing", chunked + ";x\r\n", ZRHttpError::BadBodyFraming, 400);
    row("chunk size with blank inside", chunked + "1 0\r\n", ZRHttpError::BadBodyFraming, 400);
    row("chunk data longer than its size", chunked + "3\r\nabcd\r\n0\r\n\r\n",
        ZRHttpError::BadBodyFraming, 400);
    row("chunk data ended by CR alone", chunked + "3\r\nabc\rX", ZRHttpError::BadBodyFraming, 400);
    row("chunk-size line over 4 KiB", chunked + "1;" + QByteArray(5000, 'x') + "\r\n",
        ZRHttpError::BadBodyFraming, 400);
    row("NUL-ended request declaring a body", bytes("POST / HTTP/1.1\r\nContent-Length: 3\0abc"),
        ZRHttpError::BadBodyFraming, 400);
    row("trailers over 8 KiB", chunked + "0\r\nT: " + QByteArray(8200, 't') + "\r\n\r\n",
        ZRHttpError::HeaderBlockTooLarge, 431);

    // Sizes: a declared length fails at once, chunks as soon as their sizes add up too high.
    row("declared length over 1 MiB", "POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n",
        ZRHttpError::BodyTooLarge, 413);
    row("declared length beyond 64 bits",
        "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
        ZRHttpError::BodyTooLarge, 413);
    row("declared length over 1 GiB with a larger maximum",
        "POST / HTTP/1.1\r\nContent-Length: 3000000000\r\n\r\n", ZRHttpError::BodyTooLarge, 413,
        qint64(1) << 40);
    row("negative maximum takes no body", "POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\nx",
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

    const QByteArray post = "POST / HTTP/1.1\r\n";
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
    QTest::newRow("another expectation") << post + "Content-Length: 5\r\nExpect: something\r\n\r\n"
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

void tst_ZRHttpRequestParser::bytesUsed_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("used");

    const QByteArray next = "GET /next HTTP/1.1\r\n\r\n";
    const QByteArray length = "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    const QByteArray chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "3\r\nabc\r\n0\r\nT: 1\r\n\r\n";
    QTest::newRow("Content-Length, next request after") << length + next << length.size();
    QTest::newRow("chunked, next request after") << chunked + next << chunked.size();
    QTest::newRow("NUL in the headers, up to the NUL")
        << bytes("GET / HTTP/1.1\r\nA: 1\0rest\r\n\r\n") << 21;
    QTest::newRow("no framing, all that came")
        << "GET / HTTP/1.1\r\n\r\n" + next << 18 + next.size();
}

void tst_ZRHttpRequestParser::bytesUsed()
{
    QFETCH(QByteArray, data);
    QFETCH(int, used);

    Parser parser;
    QCOMPARE(parser.feed(data), Parser::Complete);
    QCOMPARE(parser.bytesUsed(), qint64(used));
}

// Without framing headers a body written after the header block is not waited for.
void tst_ZRHttpRequestParser::unframedBodyIsWhatCameWithTheHeaders()
{
    const QByteArray head = "POST / HTTP/1.1\r\nHost: a\r\n\r\n";
    Parser parser;
    QCOMPARE(parser.feed(head), Parser::Complete);
    QCOMPARE(parser.feed("late body\r\n"), Parser::Complete);
    QCOMPARE(parser.request().body, QByteArray());
    QCOMPARE(parser.bytesUsed(), qint64(head.size()));

    Parser together;
    QCOMPARE(together.feed(head + "early\r\n"), Parser::Complete);
    QCOMPARE(together.request().body, QByteArray("early\n"));
}

QTEST_APPLESS_MAIN(tst_ZRHttpRequestParser)
#include "tst_zrhttprequestparser.moc"
