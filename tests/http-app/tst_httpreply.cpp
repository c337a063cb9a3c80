#include <zrhttpmultipart.h>
#include <zrhttpreply.h>
#include <zrhttprequest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkCookie>
#include <QRegularExpression>
#include <QtTest>

Q_DECLARE_METATYPE(ZRHttpReply)

namespace {

// A byte string with every byte in it, NULs included.
template <int N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

const char refusedWarning[] = "Header refused: a line break, NUL or colon would corrupt the reply";

// The header lines of a reply's head, each without its CRLF, but for the Date line the reply
// added itself.
QByteArrayList headLines(const QByteArray &head)
{
    QByteArrayList lines = head.split('\n');
    QByteArrayList out;
    for (int i = 1; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        line.chop(1);
        if (!line.isEmpty() && !line.startsWith("Date: "))
            out << line;
    }
    return out;
}

ZRHttpPart part(const QByteArray &startLine, const QByteArray &type, const QByteArray &body)
{
    ZRHttpPart part;
    part.setStartLine(startLine);
    if (!type.isEmpty())
        part.setHeader(QByteArrayLiteral("Content-Type"), type);
    part.setBody(body);
    return part;
}

} // namespace

class TestHttpReply : public QObject
{
    Q_OBJECT
private slots:
    void statusLine_data();
    void statusLine();
    void wholeReply();
    void headers_data();
    void headers();
    void cookies_data();
    void cookies();
    void convenienceForms_data();
    void convenienceForms();
    void multipartInStandardForm();
    void requestTarget_data();
    void requestTarget();
    void requestHeaderAndJson();
};

void TestHttpReply::statusLine_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("stored");

    QTest::newRow("200") << 200 << QByteArray("HTTP/1.1 200 OK") << 200;
    QTest::newRow("413") << 413 << QByteArray("HTTP/1.1 413 Content Too Large") << 413;
    QTest::newRow("unknown code: empty phrase") << 299 << QByteArray("HTTP/1.1 299 ") << 299;
    QTest::newRow("two digits: 500")
        << 42 << QByteArray("HTTP/1.1 500 Internal Server Error") << 500;
}

void TestHttpReply::statusLine()
{
    QFETCH(int, status);
    QFETCH(QByteArray, line);
    QFETCH(int, stored);

    if (stored != status) {
        QTest::ignoreMessage(QtWarningMsg,
            qPrintable(
                QStringLiteral("Status %1 is no HTTP status code; replying 500").arg(status)));
    }
    const ZRHttpReply reply(status);
    QCOMPARE(reply.status(), stored);
    const QByteArray bytes = reply.toByteArray();
    QCOMPARE(bytes.left(bytes.indexOf("\r\n")), line);
}

void TestHttpReply::wholeReply()
{
    ZRHttpReply reply = ZRHttpReply::text("hi\n", 201);
    reply.setHeader("X-A", "1");
    const QByteArray bytes = reply.toByteArray();
    const QRegularExpression shape(QStringLiteral(
        "^HTTP/1\\.1 201 Created\r\nContent-Type: text/plain; charset=utf-8\r\nX-A: 1\r\n"
        "Content-Length: 3\r\nDate: ((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d{4} \\d\\d:\\d\\d:\\d\\d GMT)\r\n"
        "Connection: close\r\n\r\nhi\n$"));
    const QRegularExpressionMatch match = shape.match(QString::fromLatin1(bytes));
    QVERIFY2(match.hasMatch(), bytes.constData());
    // From the clock, in GMT: a wrong time zone is off by hours.
    const QDateTime date = QDateTime::fromString(match.captured(1), Qt::RFC2822Date);
    QVERIFY(qAbs(date.secsTo(QDateTime::currentDateTimeUtc())) < 600);
}

void TestHttpReply::headers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArrayList>("sets"); // name, value, name, value, ...
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArrayList>("lines"); // written after the status line
    QTest::addColumn<int>("refused");

    QTest::newRow("same name in any case replaces, in its first place")
        << 200 << QByteArrayList { "X-A", "1", "Accept", "b", "x-a", "2" } << QByteArray("xy")
        << QByteArrayList { "X-A: 2", "Accept: b", "Content-Length: 2", "Connection: close" } << 0;
    QTest::newRow("caller's framing never written")
        << 200
        << QByteArrayList { "content-length", "99", "Transfer-Encoding", "chunked", "X-B", "b" }
        << QByteArray("abc")
        << QByteArrayList { "X-B: b", "Content-Length: 3", "Connection: close" } << 0;
    QTest::newRow("caller's Date and Connection kept, once")
        << 200 << QByteArrayList { "date", "Sun, 06 Nov 1994 08:49:37 GMT", "CONNECTION", "close" }
        << QByteArray()
        << QByteArrayList { "date: Sun, 06 Nov 1994 08:49:37 GMT", "CONNECTION: close",
               "Content-Length: 0" }
        << 0;
    QTest::newRow("CR, LF, NUL and colons refused")
        << 200
        << QByteArrayList { "X-Split", "a\r\nSet-Cookie: stolen=1", "X-Lf", "a\nb", "X-Cr\r", "c",
               "X-Nul", bytes("a\0b"), "X-Colon:", "d", "", "e", "X-Ok", "f" }
        << QByteArray() << QByteArrayList { "X-Ok: f", "Content-Length: 0", "Connection: close" }
        << 6;
    QTest::newRow("204: no Content-Length, no body")
        << 204 << QByteArrayList { "Content-Length", "5" } << QByteArray("lost")
        << QByteArrayList { "Connection: close" } << 0;
}

void TestHttpReply::headers()
{
    QFETCH(int, status);
    QFETCH(QByteArrayList, sets);
    QFETCH(QByteArray, body);
    QFETCH(QByteArrayList, lines);
    QFETCH(int, refused);

    for (int i = 0; i < refused; ++i)
        QTest::ignoreMessage(QtWarningMsg, refusedWarning);
    ZRHttpReply reply(status);
    int accepted = 0;
    for (int i = 0; i + 1 < sets.size(); i += 2)
        accepted += reply.setHeader(sets.at(i), sets.at(i + 1)) ? 1 : 0;
    QCOMPARE(accepted, sets.size() / 2 - refused);
    reply.setBody(body);

    const QByteArray head = reply.head();
    QCOMPARE(headLines(head), lines);
    QCOMPARE(head.count('\n'), head.count("\r\n"));
    QCOMPARE(head.count("\r\nDate: ") + head.count("\r\ndate: "), 1);
    QCOMPARE(reply.toByteArray(), status == 204 ? head : head + body);
}

// A cookie whose parts would add or change attributes (or split the reply) is never written.
void TestHttpReply::cookies_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QByteArray>("line"); // the Set-Cookie line; empty: refused

    QTest::newRow("plain") << QByteArray("s") << QByteArray("1") << "/app" << QString()
                           << QByteArray("s=1; path=/app");
    QTest::newRow("path adds a domain")
        << QByteArray("s") << QByteArray("1") << "/; Domain=evil.example; Max-Age=99999999"
        << QString() << QByteArray();
    QTest::newRow("path splits the reply") << QByteArray("s") << QByteArray("1")
                                           << "/\r\nSet-Cookie: x=1" << QString() << QByteArray();
    QTest::newRow("domain adds a path")
        << QByteArray("s") << QByteArray("1") << QString() << "a.example; Path=/x" << QByteArray();
    QTest::newRow("value with ;") << QByteArray("s") << QByteArray("1; Secure") << QString()
                                  << QString() << QByteArray();
    QTest::newRow("value with a control byte")
        << QByteArray("s") << QByteArray("a\x01b") << QString() << QString() << QByteArray();
    QTest::newRow("value with LF")
        << QByteArray("s") << QByteArray("a\nb") << QString() << QString() << QByteArray();
    QTest::newRow("name not a token")
        << QByteArray("a b") << QByteArray("1") << QString() << QString() << QByteArray();
    QTest::newRow("name with =") << QByteArray("a=b") << QByteArray("1") << QString() << QString()
                                 << QByteArray();
    QTest::newRow("name with DEL")
        << QByteArray("a\x7f") << QByteArray("1") << QString() << QString() << QByteArray();
}

void TestHttpReply::cookies()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QFETCH(QString, path);
    QFETCH(QString, domain);
    QFETCH(QByteArray, line);

    QNetworkCookie cookie(name, value);
    cookie.setPath(path);
    cookie.setDomain(domain);
    if (line.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Cookie refused")));
    ZRHttpReply reply;
    QCOMPARE(reply.addCookie(cookie), !line.isEmpty());
    QCOMPARE(reply.header("Set-Cookie"), line);
}

void TestHttpReply::convenienceForms_data()
{
    QTest::addColumn<ZRHttpReply>("reply");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    const QJsonObject object { { QStringLiteral("a"), 1 },
        { QStringLiteral("b"), QJsonArray { true, QStringLiteral("x\u00e9") } } };
    QTest::newRow("text") << ZRHttpReply::text("hi") << QByteArray("text/plain; charset=utf-8")
                          << QByteArray("hi");
    QTest::newRow("json object, compact")
        << ZRHttpReply::json(object) << QByteArray("application/json")
        << QByteArray("{\"a\":1,\"b\":[true,\"x\xc3\xa9\"]}");
    QTest::newRow("json array") << ZRHttpReply::json(QJsonArray { 1, 2 }, 201)
                                << QByteArray("application/json") << QByteArray("[1,2]");
}

void TestHttpReply::convenienceForms()
{
    QFETCH(ZRHttpReply, reply);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);

    QCOMPARE(reply.header("content-TYPE"), contentType);
    QCOMPARE(reply.body(), body);
    QVERIFY(reply.toByteArray().endsWith("\r\n\r\n" + body));
}

// Every line ends in CRLF; part start lines are header lines; an empty start line writes
// nothing; the nested multipart is a part with its own boundary.
void TestHttpReply::multipartInStandardForm()
{
    ZRHttpMultiPart outer(MultipartMixed);
    outer.setBoundary(QStringLiteral("outer"));
    outer.setStartLine("HTTP/1.1 200 OK\n");
    outer.setHeader("X-Batch", "7");
    outer.setHeader("content-type", "text/wrong");
    outer.setBody("preamble");
    outer.append(part("Content-Disposition: inline", "text/plain", "hello"));
    outer.append(part("", "", "{}"));
    ZRHttpMultiPart inner(MultipartAlternative);
    inner.setBoundary(QStringLiteral("inner"));
    inner.setHeader("X-N", "1");
    inner.append(part("", "text/plain", "a"));
    outer.append(inner);
    const QByteArray bareLf = outer.toByteArray();

    ZRHttpReply reply;
    reply.setMultipart(outer);
    QCOMPARE(reply.header("Content-Type"), QByteArray("multipart/mixed; boundary=\"outer\""));
    QCOMPARE(reply.header("X-Batch"), QByteArray("7"));
    QCOMPARE(reply.body(),
        QByteArray("preamble\r\n"
                   "--outer\r\n"
                   "Content-Disposition: inline\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
                   "--outer\r\n"
                   "\r\n{}\r\n"
                   "--outer\r\n"
                   "X-N: 1\r\nContent-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n"
                   "--inner\r\n"
                   "Content-Type: text/plain\r\n\r\na\r\n"
                   "--inner--\r\n"
                   "\r\n"
                   "--outer--\r\n"));
    QCOMPARE(outer.toByteArray(), bareLf);
}

void TestHttpReply::requestTarget_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("pathOnly");
    QTest::addColumn<QString>("queryItems"); // key=value;..., values decoded

    QTest::newRow("plain") << QStringLiteral("/status") << QStringLiteral("/status") << QString();
    QTest::newRow("percent-decoded path, decoded values")
        << QStringLiteral("/a%20b/caf%C3%A9?x=1&y=a%26b%20c") << QStringLiteral("/a b/caf\u00e9")
        << QStringLiteral("x=1;y=a&b c");
    QTest::newRow("encoded ? stays in the path")
        << QStringLiteral("/p%3Fq?r=%3F") << QStringLiteral("/p?q") << QStringLiteral("r=?");
    QTest::newRow("dot segments, encoded too, resolved")
        << QStringLiteral("/a/./b/%2E%2e/c/..") << QStringLiteral("/a/") << QString();
    QTest::newRow("absolute form: its path")
        << QStringLiteral("HTTP://h:8/x/../y?q=1") << QStringLiteral("/y") << QStringLiteral("q=1");
}

void TestHttpReply::requestTarget()
{
    QFETCH(QString, target);
    QFETCH(QString, pathOnly);
    QFETCH(QString, queryItems);

    ZRHttpRequest request;
    request.setPath(target);
    QCOMPARE(request.pathOnly(), pathOnly);
    QStringList items;
    const auto pairs = request.query().queryItems(QUrl::FullyDecoded);
    for (const auto &pair : pairs)
        items << pair.first + QLatin1Char('=') + pair.second;
    QCOMPARE(items.join(QLatin1Char(';')), queryItems);
    QCOMPARE(request.path(), target);
}

void TestHttpReply::requestHeaderAndJson()
{
    ZRHttpRequest request;
    request.setHeader("content-TYPE", "application/json");
    request.setBody("{\"a\":[1,2]}");
    QCOMPARE(request.headerValue("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.headerValue("Content-Length"), QByteArray());
    QJsonParseError error;
    QCOMPARE(
        request.json(&error).object().value(QStringLiteral("a")).toArray(), (QJsonArray { 1, 2 }));
    QCOMPARE(error.error, QJsonParseError::NoError);

    request.setBody("{\"a\":");
    QVERIFY(request.json(&error).isNull());
    QVERIFY(error.error != QJsonParseError::NoError);
}

QTEST_GUILESS_MAIN(TestHttpReply)
#include "tst_httpreply.moc"
