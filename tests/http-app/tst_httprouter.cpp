#include "childprocess.h"
#include "loopback.h"
#include "messagelog.h"

#include <zrhttpmultipart.h>
#include <zrhttprouter.h>
#include <zrhttpserver.h>
#include <zrhttpstream.h>
#include <zrtls.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QNetworkCookie>
#include <QProcess>
#include <QSemaphore>
#include <QtTest>

#include <future>
#include <memory>
#include <stdexcept>

using loopback::Peer;

namespace {

// What python3 client.py reports of one request.
QJsonObject python(int port, const char *method, const char *path, const QByteArray &body = {})
{
    const ChildRun client = runChild(QStringLiteral("python3"),
        { QStringLiteral(ZRNET_HTTP_CLIENT_SCRIPT), QString::number(port), QLatin1String(method),
            QLatin1String(path) },
        body);
    if (!client.ok())
        qWarning("client.py: %s", client.errors.constData());
    return QJsonDocument::fromJson(client.output).object();
}

int countNamed(const QJsonArray &headers, const QString &name)
{
    int count = 0;
    for (const QJsonValue &header : headers)
        count += header.toArray().at(0).toString().compare(name, Qt::CaseInsensitive) == 0;
    return count;
}

ZRHttpPart part(const QByteArray &startLine, const QByteArray &type, const QByteArray &body)
{
    ZRHttpPart part;
    part.setStartLine(startLine);
    part.setHeader(QByteArrayLiteral("Content-Type"), type);
    part.setBody(body);
    return part;
}

// Three parts, the last a nested multipart; one body holds a line break, one non-ASCII text.
ZRHttpMultiPart report()
{
    ZRHttpMultiPart outer(MultipartMixed);
    outer.setBoundary(QStringLiteral("outer-b0undary"));
    ZRHttpPart summary = part("Content-Disposition: inline; filename=\"summary.txt\"",
        "text/plain; charset=utf-8", "line 1\r\nline 2 gr\xc3\xbc\xc3\x9f\x65");
    summary.setHeader("X-Order", "1");
    outer.append(summary);
    outer.append(part("", "application/json", "{\"n\":1}"));
    ZRHttpMultiPart nested(MultipartAlternative);
    nested.setBoundary(QStringLiteral("inner-b0undary"));
    nested.setHeader("X-Nested", "yes");
    nested.append(part("", "text/plain", "plain"));
    nested.append(part("", "text/html", "<b>html</b>"));
    outer.append(nested);
    return outer;
}

// The head of a reply as a client received it, and what followed it.
QPair<QByteArray, QByteArray> split(const QByteArray &reply)
{
    const int end = reply.indexOf("\r\n\r\n");
    return end < 0 ? qMakePair(reply, QByteArray())
                   : qMakePair(reply.left(end + 4), reply.mid(end + 4));
}

QByteArray bigText()
{
    return QByteArray("a line of text that compresses well\n").repeated(100);
}

QByteArray headerOf(const QByteArray &head, const QByteArray &name)
{
    const int at = head.indexOf("\r\n" + name + ": ");
    if (at < 0)
        return QByteArray();
    const int from = at + name.size() + 4;
    return head.mid(from, head.indexOf("\r\n", from) - from);
}

} // namespace

class TestHttpRouter : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    // The server's threads outlive its connections: no connection may.
    void cleanup()
    {
        QVERIFY(server->waitForConnections(10000) && tlsServer->waitForConnections(10000));
    }

    void routes_data();
    void routes();
    void files_data();
    void files();
    void largeFileSentFromTheFile();
    void throwingHandlerGets500();
    void headIsTheGetHeadAlone();
    void jsonRoundTrip();
    void jsonNestingIsBounded_data();
    void jsonNestingIsBounded();
    void multipartReadByEmail();
    void headerWithCrlfNeverSent();
    void routerGoneBeforeServer();
    void streamsEndEveryWay();
    void tlsStreamToAClientTakingNothing();
    void connectionFacts_data();
    void connectionFacts();
    void corsCredentials_data();
    void corsCredentials();
    void cookieRoundTrip();
    void handlerOnContextThread_data();
    void handlerOnContextThread();
    void uploads_data();
    void uploads();

private:
    QByteArray get(const QByteArray &request);

    int baseline = 0;
    QTemporaryDir folder;
    std::unique_ptr<ZRHttpServer> server;
    std::unique_ptr<ZRHttpRouter> router;
    std::unique_ptr<loopback::Running> run;
    // HTTPS, answered by the same router
    std::unique_ptr<ZRHttpServer> tlsServer;
    std::unique_ptr<loopback::Running> tlsRun;
    QObject *context = nullptr; // of the routes run on the main thread; deleted by a test
    QSemaphore queuedArrived;
    QMutex bodyFilesMutex;
    QStringList bodyFiles; // the files bodies went to, as handlers saw them
};

void TestHttpRouter::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=false"));
    MessageLog::install(QtWarningMsg);
    server = std::make_unique<ZRHttpServer>();
    router = std::make_unique<ZRHttpRouter>(server.get());
    router->route(RequestGet, QStringLiteral("/status"), [](const ZRHttpRequest &) {
        return ZRHttpReply::json(
            QJsonObject { { QStringLiteral("status"), QStringLiteral("ok") } });
    });
    router->route(RequestPost, QStringLiteral("/echo"), [](const ZRHttpRequest &request) {
        QJsonParseError error;
        const QJsonDocument body = request.json(&error);
        return body.isNull() ? ZRHttpReply::text(
                   QStringLiteral("%1 at %2\n").arg(error.errorString()).arg(error.offset).toUtf8(),
                   400)
                             : ZRHttpReply::json(body);
    });
    router->route(RequestGet, QStringLiteral("/files/*"), [](const ZRHttpRequest &request) {
        return ZRHttpReply::text("prefix " + request.pathOnly().toUtf8());
    });
    router->route(RequestPut, QStringLiteral("/files/*"),
        [](const ZRHttpRequest &) { return ZRHttpReply::text("put"); });
    router->route(RequestGet, QStringLiteral("/files/exact"),
        [](const ZRHttpRequest &) { return ZRHttpReply::text("exact"); });
    router->route(RequestGet, QStringLiteral("/items/{id}"), [](const ZRHttpRequest &request) {
        return ZRHttpReply::text("item " + request.pathParameter(QStringLiteral("id")).toUtf8());
    });
    router->route(
        RequestGet, QStringLiteral("/users/{user}/keys/{key}"), [](const ZRHttpRequest &r) {
            return ZRHttpReply::text(r.pathParameter(QStringLiteral("user")).toUtf8() + ' '
                + r.pathParameter(QStringLiteral("key")).toUtf8());
        });
    router->route(RequestGet, QStringLiteral("/items/new"),
        [](const ZRHttpRequest &) { return ZRHttpReply::text("new"); });
    router->route(RequestGet, QStringLiteral("/items/*"), [](const ZRHttpRequest &request) {
        return ZRHttpReply::text("any " + request.pathOnly().toUtf8());
    });
    router->route(RequestGet, QStringLiteral("/cookies"), [](const ZRHttpRequest &request) {
        ZRHttpReply reply = ZRHttpReply::text(request.cookie(QStringLiteral("b")).toUtf8() + ','
            + request.headerValues("X-Tag").join('|'));
        reply.addHeader("Set-Cookie", "a=1");
        reply.addHeader("Set-Cookie", "b=2");
        return reply;
    });
    router->serveDirectory(QStringLiteral("/static"), folder.filePath(QStringLiteral("static")));
    ZRHttpRouter::DirectoryOptions cached;
    cached.cacheControl = "max-age=60";
    cached.precompressed = false;
    QVERIFY(router->serveDirectory(
        QStringLiteral("/cached"), folder.filePath(QStringLiteral("static")), cached));
    cached.cacheControl = "max-age=60\r\nSet-Cookie: a=1";
    QVERIFY(!router->serveDirectory(
        QStringLiteral("/split"), folder.filePath(QStringLiteral("static")), cached));
    router->setCompression(true);
    router->route(RequestPut, QStringLiteral("/upload/*"), [this](const ZRHttpRequest &request) {
        QCryptographicHash sha256(QCryptographicHash::Sha256);
        QFile file(request.bodyFile());
        if (request.bodyFile().isEmpty() || !file.open(QIODevice::ReadOnly)) {
            sha256.addData(request.body());
            return ZRHttpReply::text("memory " + QByteArray::number(request.body().size()) + ' '
                + sha256.result().toHex());
        }
        QMutexLocker lock(&bodyFilesMutex);
        bodyFiles.append(request.bodyFile());
        sha256.addData(&file);
        return ZRHttpReply::text(
            "file " + QByteArray::number(file.size()) + ' ' + sha256.result().toHex());
    });
    ZRHttpRouter::BodyLimits toFile;
    toFile.maxSize = 64 * 1024 * 1024;
    toFile.fileFrom = 1000;
    router->setBodyLimits(QStringLiteral("/upload/*"), toFile);
    toFile.maxSize = 2000;
    router->setBodyLimits(QStringLiteral("/upload/small"), toFile);
    router->route(RequestGet, QStringLiteral("/big"),
        [](const ZRHttpRequest &) { return ZRHttpReply::text(bigText()); });
    router->setDefaultHeader("X-Served-By", "test");
    ZRHttpRouter::CorsOptions cors;
    cors.credentials = true;
    cors.maxAgeSeconds = 600;
    cors.allowedHeaders = { "Content-Type" };
    cors.exposedHeaders = { "X-Served-By", "X-After" };
    QVERIFY(router->setCors({ QStringLiteral("http://front.example") }, cors));
    router->before([this](const ZRHttpRequest &request) -> std::optional<ZRHttpReply> {
        if (request.pathOnly() == QLatin1String("/queued"))
            queuedArrived.release();
        if (request.pathOnly().startsWith(QLatin1String("/private"))
            && request.headerValue("Authorization") != "Bearer t")
            return ZRHttpRouter::statusReply(401, request);
        return std::nullopt;
    });
    router->after([](const ZRHttpRequest &, ZRHttpReply &reply) {
        reply.setHeader("X-After", QByteArray::number(reply.status()));
    });
    router->route(RequestGet, QStringLiteral("/private/data"),
        [](const ZRHttpRequest &) { return ZRHttpReply::text("granted"); });
    router->route(RequestGet, QStringLiteral("/facts"), [](const ZRHttpRequest &r) {
        return ZRHttpReply::text(QStringLiteral("%1 %2 %3 %4\n")
                                     .arg(r.remoteAddress())
                                     .arg(r.remotePort())
                                     .arg(r.localPort())
                                     .arg(r.isTls() && r.nsecsSinceArrival() >= 0)
                                     .toUtf8());
    });
    router->route(RequestGet, QStringLiteral("/session"), [](const ZRHttpRequest &request) {
        const QString session = request.cookie(QStringLiteral("session"));
        ZRHttpReply reply
            = ZRHttpReply::text(session.isEmpty() ? "new " : "back " + session.toUtf8());
        QNetworkCookie cookie("session", "s1");
        cookie.setHttpOnly(true);
        reply.addCookie(cookie, ZRHttpReply::SameSite::Strict);
        reply.addCookie(QNetworkCookie("bad", "1; Domain=evil.example")); // refused
        return reply;
    });
    // Of a class of the program's own, so that under ThreadSanitizer its events pass through
    // tsanqtsync.cpp's QObject::event().
    struct Context : QObject
    {
    };
    context = new Context;
    const auto onMainThread = [](const ZRHttpRequest &) {
        return ZRHttpReply::text(QThread::currentThread() == qApp->thread() ? "main" : "other");
    };
    for (const char *path : { "/main", "/queued" })
        router->route(RequestGet, QLatin1String(path), context, onMainThread);
    QObject gone;
    router->route(RequestGet, QStringLiteral("/gone"), &gone, onMainThread);
    QVERIFY(QDir(folder.path()).mkpath(QStringLiteral("static/sub")));
    for (const char *name : { "static/a.txt", "static/sub/index.html", "secret.txt" }) {
        QFile file(folder.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly)
            && file.write(QByteArray(name).mid(QByteArray(name).lastIndexOf('/') + 1)) > 0);
    }
    QVERIFY(QFile::link(
        QStringLiteral("../secret.txt"), folder.filePath(QStringLiteral("static/out"))));
    // The copy says other words than the file, so that a client shows which it got.
    const ChildRun gzip = runChild(QStringLiteral("gzip"), { "-c" }, "from the copy");
    const QList<QPair<QString, QByteArray>> files { { "static/app.js", "plain script" },
        { "static/app.js.gz", gzip.output }, { "static/big.txt", bigText() } };
    for (const auto &[name, bytes] : files) {
        QFile file(folder.filePath(name));
        QVERIFY(gzip.ok() && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    router->route(RequestGet, QStringLiteral("/throw"),
        [](const ZRHttpRequest &) -> ZRHttpReply { throw std::runtime_error("boom"); });
    router->route(RequestGet, QStringLiteral("/report"), [](const ZRHttpRequest &) {
        ZRHttpReply reply;
        reply.setMultipart(report());
        return reply;
    });
    router->route(RequestGet, QStringLiteral("/inject"), [](const ZRHttpRequest &) {
        ZRHttpReply reply = ZRHttpReply::text("ok");
        reply.setHeader("X-Injected", "a\r\nSet-Cookie: stolen=1");
        reply.setHeader("X-Fine", "yes");
        return reply;
    });
    run = std::make_unique<loopback::Running>(*server);
    tlsServer = std::make_unique<ZRHttpServer>();
    QByteArray certificate;
    QByteArray key;
    QVERIFY(ZRTls::generateSelfSigned(QStringLiteral("t"), {}, 1, &certificate, &key));
    QVERIFY(tlsServer->setTlsCertificate(certificate, key));
    router->serve(tlsServer.get());
    router->serve(tlsServer.get()); // once is enough: a second answer would break the first
    tlsRun = std::make_unique<loopback::Running>(*tlsServer);
    baseline = loopback::threadCount();
}

void TestHttpRouter::cleanupTestCase()
{
    server->stop();
    tlsServer->stop();
    run.reset();
    tlsRun.reset();
    QVERIFY(loopback::releaseEndedThreads(baseline - 2));
    router.reset();
    server.reset();
    tlsServer.reset();
    delete context;
    MessageLog::uninstall();
}

QByteArray TestHttpRouter::get(const QByteArray &request)
{
    Peer client(run->port);
    client.send(request);
    return client.readAll();
}

void TestHttpRouter::routes_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("allow");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("contentLength"); // -1: none

    const QByteArray status = "{\"status\":\"ok\"}";
    const QByteArray ok = "HTTP/1.1 200 OK";
    QTest::newRow("GET") << "GET"
                         << "/status" << ok << QByteArray() << status << int(status.size());
    QTest::newRow("HEAD on a GET route: length, no body")
        << "HEAD"
        << "/status" << ok << QByteArray() << QByteArray() << int(status.size());
    QTest::newRow("unknown path: 404") << "GET"
                                       << "/nowhere" << QByteArray("HTTP/1.1 404 Not Found")
                                       << QByteArray() << QByteArray("Not Found\n") << 10;
    QTest::newRow("exact route is no prefix: 404")
        << "GET"
        << "/status/more" << QByteArray("HTTP/1.1 404 Not Found") << QByteArray()
        << QByteArray("Not Found\n") << 10;
    QTest::newRow("other method: 405 with Allow")
        << "DELETE"
        << "/status" << QByteArray("HTTP/1.1 405 Method Not Allowed")
        << QByteArray("GET, HEAD, OPTIONS") << QByteArray("Method Not Allowed\n") << 19;
    QTest::newRow("OPTIONS: 204 with Allow, no length")
        << "OPTIONS"
        << "/status" << QByteArray("HTTP/1.1 204 No Content") << QByteArray("GET, HEAD, OPTIONS")
        << QByteArray() << -1;
    QTest::newRow("prefix, percent-decoded, query left out")
        << "GET"
        << "/files/a%20b?x=1" << ok << QByteArray() << QByteArray("prefix /files/a b") << 17;
    QTest::newRow("exact beats prefix")
        << "GET"
        << "/files/exact" << ok << QByteArray() << QByteArray("exact") << 5;
    QTest::newRow("prefix routes' methods in Allow")
        << "POST"
        << "/files/exact" << QByteArray("HTTP/1.1 405 Method Not Allowed")
        << QByteArray("GET, PUT, HEAD, OPTIONS") << QByteArray("Method Not Allowed\n") << 19;
    const auto row = [&](const char *name, const char *path, const QByteArray &body) {
        QTest::newRow(name) << "GET" << path << ok << QByteArray() << body << int(body.size());
    };
    row("parameter, decoded, beats a prefix", "/items/caf%C3%A9", "item caf\xc3\xa9");
    row("two parameters, an encoded / kept", "/users/ann/keys/k%2F1", "ann k/1");
    row("exact beats parameter", "/items/new", "new");
    row("prefix where no parameter fits", "/items/7/x", "any /items/7/x");
    row("an empty segment is no parameter", "/items/", "any /items/");
    row("dot segments resolved before matching", "/files/a/../../status", status);
    row("encoded dot segments too", "/x/%2e%2E/status?q", status);
    row("absolute form routes by its path", "http://elsewhere.example/status", status);
    QTest::newRow("climbing above the root: 400, no handler")
        << "GET"
        << "/files/../../status" << QByteArray("HTTP/1.1 400 Bad Request") << QByteArray()
        << QByteArray("Bad Request\n") << 12;
    QTest::newRow("OPTIONS *: every method")
        << "OPTIONS"
        << "*" << QByteArray("HTTP/1.1 204 No Content")
        << QByteArray("GET, POST, PUT, HEAD, OPTIONS") << QByteArray() << -1;
}

// curl passes the head through as it came: every line is checked as sent.
void TestHttpRouter::routes()
{
    QFETCH(QString, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, allow);
    QFETCH(QByteArray, body);
    QFETCH(int, contentLength);

    QStringList arguments { QStringLiteral("-sS"), QStringLiteral("--noproxy"), QStringLiteral("*"),
        QStringLiteral("-i") };
    arguments << (method == QLatin1String("HEAD") ? QStringList { QStringLiteral("-I") }
                                                  : QStringList { QStringLiteral("-X"), method });
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(run->port);
    if (path.startsWith(QLatin1Char('/')))
        arguments << QStringLiteral("--path-as-is") << base + path;
    else
        arguments << QStringLiteral("--request-target") << path << base;
    const ChildRun client = runChild(QStringLiteral("curl"), arguments);
    QVERIFY2(client.ok(), client.errors.constData());

    const auto [head, rest] = split(client.output);
    QCOMPARE(head.left(head.indexOf("\r\n")), statusLine);
    QCOMPARE(head.count('\n'), head.count("\r\n"));
    QCOMPARE(head.count("\r\nContent-Length: "), contentLength < 0 ? 0 : 1);
    QCOMPARE(head.count("\r\nDate: "), 1);
    // curl's HTTP/1.1 connection stays open, but for a POST without framing (no body)
    QCOMPARE(head.count("\r\nConnection: close"), int(method == QLatin1String("POST")));
    QCOMPARE(headerOf(head, "Allow"), allow);
    if (contentLength >= 0)
        QCOMPARE(headerOf(head, "Content-Length").toInt(), contentLength);
    QCOMPARE(rest, body);
}

void TestHttpRouter::files_data()
{
    QTest::addColumn<QStringList>("arguments"); // to curl, before the URL
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("inHead"); // "!" first: must not be in the head

    const QStringList none;
    const QByteArray notFound = "Not Found\n";
    const auto header = [](const char *line) { return QStringList { "-H", line }; };
    QTest::newRow("file, typed by name") << none << "/static/a.txt" << 200 << QByteArray("a.txt")
                                         << QByteArray("Content-Type: text/plain; charset=utf-8");
    QTest::newRow("folder: index.html") << none << "/static/sub/" << 200 << QByteArray("index.html")
                                        << QByteArray("Content-Type: text/html; charset=utf-8");
    QTest::newRow("folder without /: 301")
        << none << "/static/sub" << 301 << QByteArray() << QByteArray("Location: /static/sub/");
    QTest::newRow("%2e%2e") << none << "/static/%2e%2e/secret.txt" << 404 << notFound
                            << QByteArray();
    QTest::newRow("%2F is no separator")
        << none << "/static/sub%2Findex.html" << 404 << notFound << QByteArray();
    QTest::newRow("..: 400") << none << "/static/../../secret.txt" << 400
                             << QByteArray("Bad Request\n") << QByteArray();
    QTest::newRow("link leading out") << none << "/static/out" << 404 << notFound << QByteArray();
    QTest::newRow("NUL") << none << "/static/a.txt%00.html" << 404 << notFound << QByteArray();
    QTest::newRow("range") << header("Range: bytes=1-2") << "/static/a.txt" << 206
                           << QByteArray(".t") << QByteArray("Content-Range: bytes 1-2/5");
    QTest::newRow("suffix range") << header("Range: bytes=-2") << "/static/a.txt" << 206
                                  << QByteArray("xt") << QByteArray("Content-Length: 2");
    QTest::newRow("range past the end: 416")
        << header("Range: bytes=5-") << "/static/a.txt" << 416 << QByteArray()
        << QByteArray("Content-Range: bytes */5");
    for (const char *range : { "Range: bytes=0--5", "Range: bytes=3-1", "Range: bytes=1 -2" })
        QTest::newRow(range) << header(range) << "/static/a.txt" << 200 << QByteArray("a.txt")
                             << QByteArray("Content-Length: 5\r\n");
    QTest::newRow("two ranges: the whole") << header("Range: bytes=0-0,2-3") << "/static/a.txt"
                                           << 200 << QByteArray("a.txt") << QByteArray();
    QTest::newRow("ETag: 304") << header("If-None-Match: \"x\", {etag}") << "/static/a.txt" << 304
                               << QByteArray() << QByteArray("ETag: ");
    QTest::newRow("not modified since")
        << header("If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT") << "/static/a.txt" << 304
        << QByteArray() << QByteArray();
    QTest::newRow("modified since")
        << header("If-Modified-Since: Thu, 01 Jan 1970 00:00:00 GMT") << "/static/a.txt" << 200
        << QByteArray("a.txt") << QByteArray("Last-Modified: ");
    QTest::newRow("own 404 in JSON, default header")
        << header("Accept: text/html;q=0.9, application/json") << "/nowhere" << 404
        << QByteArray("{\"error\":\"Not Found\"}") << QByteArray("X-Served-By: test");
    QTest::newRow("cookies and repeated headers")
        << QStringList { "-H", "Cookie: a=1; b=2", "-H", "X-Tag: x", "-H", "X-Tag: y" }
        << "/cookies" << 200 << QByteArray("2,x|y")
        << QByteArray("Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n");
    QTest::newRow("allowed origin") << header("Origin: http://front.example") << "/status" << 200
                                    << QByteArray() << QByteArray("Vary: Origin");
    QTest::newRow("other origin") << header("Origin: http://other.example") << "/status" << 200
                                  << QByteArray() << QByteArray("!Access-Control");
    const QStringList preflight { "-X", "OPTIONS", "-H", "Access-Control-Request-Method: POST" };
    QTest::newRow("preflight") << preflight + header("Origin: http://front.example") << "/echo"
                               << 204 << QByteArray()
                               << QByteArray("Access-Control-Allow-Methods: POST, OPTIONS");
    QTest::newRow("preflight, other origin")
        << preflight + header("Origin: http://other.example") << "/echo" << 204 << QByteArray()
        << QByteArray("!Access-Control");
    QTest::newRow("preflight: allowed headers, max-age, credentials")
        << preflight + header("Origin: http://front.example") << "/echo" << 204 << QByteArray()
        << QByteArray("Allow-Headers: Content-Type\r\nAccess-Control-Max-Age: 600\r\nX-Served-By: "
                      "test\r\nVary: Origin\r\nAccess-Control-Allow-"
                      "Origin: http://front.example\r\nAccess-Control-Allow-Credentials: true\r\n");
    QTest::newRow("allowed origin: exposed headers, after-hook's header last")
        << header("Origin: http://front.example") << "/status" << 200 << QByteArray()
        << QByteArray("Access-Control-Expose-Headers: X-Served-By, X-After\r\nX-After: 200\r\n");
    QTest::newRow("other origin: Vary all the same")
        << header("Origin: http://other.example") << "/status" << 200 << QByteArray()
        << QByteArray("Vary: Origin");
    QTest::newRow("no origin: Vary all the same")
        << none << "/status" << 200 << QByteArray() << QByteArray("Vary: Origin");
    QTest::newRow("before-hook answers 401, after-hook sees it")
        << none << "/private/data" << 401 << QByteArray("Unauthorized\n")
        << QByteArray("X-After: 401");
    QTest::newRow("before-hook lets the route answer")
        << header("Authorization: Bearer t") << "/private/data" << 200 << QByteArray("granted")
        << QByteArray();
    QTest::newRow("after-hook sees the router's own 404")
        << none << "/nowhere" << 404 << QByteArray("Not Found\n") << QByteArray("X-After: 404");
    const QStringList compressed { "--compressed" };
    QTest::newRow("gzip: a large text encoded")
        << compressed << "/big" << 200 << bigText() << QByteArray("Content-Encoding: gzip");
    QTest::newRow("gzip: any coding taken") << header("Accept-Encoding: br, *;q=0.5") << "/big"
                                            << 200 << QByteArray() << QByteArray("Content-Encoding: gzip");
    for (const char *refused : { "Accept-Encoding: gzip;q=0, br", "Accept-Encoding: *;q=0",
             "Accept-Encoding: identity" })
        QTest::newRow(refused) << header(refused) << "/big" << 200 << bigText()
                               << QByteArray("!Content-Encoding");
    QTest::newRow("gzip: Vary beside Origin's, encoded or not")
        << none << "/big" << 200 << bigText() << QByteArray("Vary: Origin, Accept-Encoding");
    QTest::newRow("gzip: a small reply left alone")
        << compressed << "/status" << 200 << QByteArray() << QByteArray("!Content-Encoding");
    QTest::newRow("precompressed copy, of the file's type")
        << compressed << "/static/app.js" << 200 << QByteArray("from the copy")
        << QByteArray("Content-Type: text/javascript");
    QTest::newRow("precompressed copy: the file for a client without gzip")
        << none << "/static/app.js" << 200 << QByteArray("plain script")
        << QByteArray("!Content-Encoding");
    QTest::newRow("gzip: a file without a copy, read and encoded")
        << compressed << "/static/big.txt" << 200 << bigText() << QByteArray("Accept-Ranges: none");
    QTest::newRow("Cache-Control of a folder, copies off")
        << compressed << "/cached/app.js" << 200 << QByteArray("plain script")
        << QByteArray("Cache-Control: max-age=60");
    QTest::newRow("Cache-Control on 304")
        << header("If-None-Match: {etag}") << "/cached/a.txt" << 304 << QByteArray()
        << QByteArray("Cache-Control: max-age=60");
}

// Through curl, so every line is checked as sent; nothing outside the folder is ever served.
void TestHttpRouter::files()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, inHead);

    const QString url = QStringLiteral("http://127.0.0.1:%1%2").arg(run->port).arg(path);
    const auto curl = [&](const QStringList &more) {
        const ChildRun client = runChild(QStringLiteral("curl"),
            QStringList { "-sS", "--noproxy", "*", "-i", "--path-as-is" } + more << url);
        return split(client.output);
    };
    arguments.replaceInStrings(QStringLiteral("{etag}"), headerOf(curl({}).first, "ETag"));
    const auto [head, rest] = curl(arguments);
    QCOMPARE(head.mid(9, 3).toInt(), status);
    if (!body.isNull())
        QCOMPARE(rest, body);
    QVERIFY(!rest.contains("secret"));
    if (inHead.startsWith('!'))
        QVERIFY2(!head.contains(inHead.mid(1)), head.constData());
    else
        QVERIFY2(head.contains(inHead), head.constData());
}

// A figure, not a limit of time: the body is never held, so the peak hardly moves.
void TestHttpRouter::largeFileSentFromTheFile()
{
    constexpr qint64 size = 50 * 1024 * 1024;
    QFile big(folder.filePath(QStringLiteral("static/big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(size));
    const auto peakKb = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        const int at = text.indexOf("VmHWM:");
        return text.mid(at + 6).simplified().split(' ').at(0).toLong();
    };
    // A client gone mid-file fails only its own reply: sendfile() must not raise SIGPIPE.
    Peer gone(run->port);
    char some[4096];
    QVERIFY(gone.send("GET /static/big.bin HTTP/1.1\r\nHost: a\r\n\r\n")
        && ::recv(gone.fd, some, 4096, 0) > 0);
    gone.close();
    const long before = peakKb();
    const ChildRun client = runChild(QStringLiteral("curl"),
        { "-sS", "--noproxy", "*", "-o", "/dev/null", "-w", "%{http_code} %{size_download}",
            QStringLiteral("http://127.0.0.1:%1/static/big.bin").arg(run->port) });
    const long after = peakKb();
    qInfo("Peak RSS serving a 50 MB file: %ld kB before, %ld kB after", before, after);
    QCOMPARE(client.output, QByteArray("200 ") + QByteArray::number(size));
    QVERIFY(after - before < 16 * 1024);
}

void TestHttpRouter::throwingHandlerGets500()
{
    MessageLog::take();
    const QJsonObject thrown = python(run->port, "GET", "/throw");
    QCOMPARE(thrown.value(QStringLiteral("status")).toInt(), 500);
    QCOMPARE(
        thrown.value(QStringLiteral("reason")).toString(), QStringLiteral("Internal Server Error"));
    QCOMPARE(
        thrown.value(QStringLiteral("body")).toString(), QStringLiteral("Internal Server Error\n"));
    QCOMPARE(
        MessageLog::take(), QStringList { QStringLiteral("Handler for GET /throw threw: boom") });
    QCOMPARE(python(run->port, "GET", "/status").value(QStringLiteral("status")).toInt(), 200);
}

void TestHttpRouter::headIsTheGetHeadAlone()
{
    const auto [getHead, getBody] = split(get("GET /report HTTP/1.1\r\nHost: a\r\n\r\n"));
    const QByteArray head = get("HEAD /report HTTP/1.1\r\nHost: a\r\n\r\n");
    QVERIFY(head.endsWith("\r\n\r\n"));
    QCOMPARE(head.indexOf("\r\n\r\n"), head.size() - 4);
    QCOMPARE(headerOf(head, "Content-Length").toInt(), getBody.size());
    QVERIFY(getBody.size() > 0);
    // Alike but for the date, which may have turned over between the two.
    const QRegularExpression date(QStringLiteral("\r\nDate: [^\r]*"));
    QCOMPARE(QString::fromLatin1(head).remove(date), QString::fromLatin1(getHead).remove(date));
}

void TestHttpRouter::jsonRoundTrip()
{
    const QByteArray sent
        = QString::fromUtf8(R"({"name":"grüße ✓","list":[1,2.5,null,true,{"deep":[]}],"empty":""})")
              .toUtf8();
    const QJsonObject reply = python(run->port, "POST", "/echo", sent);
    QCOMPARE(reply.value(QStringLiteral("status")).toInt(), 200);
    QCOMPARE(reply.value(QStringLiteral("reason")).toString(), QStringLiteral("OK"));
    QCOMPARE(QJsonDocument::fromJson(reply.value(QStringLiteral("body")).toString().toUtf8()),
        QJsonDocument::fromJson(sent));
    const QJsonArray headers = reply.value(QStringLiteral("headers")).toArray();
    QCOMPARE(countNamed(headers, QStringLiteral("Content-Type")), 1);
    QCOMPARE(countNamed(headers, QStringLiteral("Content-Length")), 1);
    QCOMPARE(countNamed(headers, QStringLiteral("Date")), 1);
    // Python read the date back as a date in UTC.
    QVERIFY(reply.value(QStringLiteral("date")).toString().endsWith(QLatin1String("+00:00")));
}

void TestHttpRouter::jsonNestingIsBounded_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("refusedAt"); // empty: echoed

    const QByteArray deep
        = QByteArray("[{\"a\":").repeated(32) + "1" + QByteArray("}]").repeated(32);
    const QByteArray brackets(65, '[');
    QTest::newRow("1000 objects, a crash once")
        << QByteArray("{\"a\":").repeated(1000) + "1" + QByteArray(1000, '}') << QByteArray("320");
    QTest::newRow("65 levels") << "[" + deep + "]" << QByteArray("188");
    QTest::newRow("64 levels") << deep << QByteArray();
    QTest::newRow("brackets in a string") << "[\"" + brackets + "\"]" << QByteArray();
    QTest::newRow("after an escaped quote") << "[\"\\\"" + brackets + "\"]" << QByteArray();
    QTest::newRow("after an escaped backslash") << "[\"\\\\\"," + deep + "]" << QByteArray("193");
}

// Qt's parser recurses per level: deep bodies are refused before it, on the connection's stack.
void TestHttpRouter::jsonNestingIsBounded()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, refusedAt);
    const ChildRun client = runChild(QStringLiteral("curl"),
        { QStringLiteral("-sS"), QStringLiteral("--noproxy"), QStringLiteral("*"),
            QStringLiteral("-w"), QStringLiteral("%{http_code}"), QStringLiteral("--data-binary"),
            QStringLiteral("@-"), QStringLiteral("http://127.0.0.1:%1/echo").arg(run->port) },
        body);
    QVERIFY2(client.ok(), client.errors.constData());
    if (refusedAt.isEmpty())
        QCOMPARE(QJsonDocument::fromJson(client.output.chopped(3)), QJsonDocument::fromJson(body));
    else
        QCOMPARE(client.output, "too deeply nested document at " + refusedAt + "\n400");
}

void TestHttpRouter::multipartReadByEmail()
{
    const QJsonObject reply = python(run->port, "GET", "/report");
    QCOMPARE(reply.value(QStringLiteral("status")).toInt(), 200);
    QCOMPARE(reply.value(QStringLiteral("defects")).toArray(), QJsonArray());
    const QJsonObject expected = QJsonDocument::fromJson(QString::fromUtf8(R"({
        "headers": [["Content-Type", "multipart/mixed; boundary=\"outer-b0undary\""]],
        "parts": [
            {"headers": [["Content-Disposition", "inline; filename=\"summary.txt\""],
                         ["Content-Type", "text/plain; charset=utf-8"],
                         ["X-Order", "1"]],
             "body": "line 1\r\nline 2 grüße"},
            {"headers": [["Content-Type", "application/json"]], "body": "{\"n\":1}"},
            {"headers": [["X-Nested", "yes"],
                         ["Content-Type", "multipart/alternative; boundary=\"inner-b0undary\""]],
             "parts": [{"headers": [["Content-Type", "text/plain"]], "body": "plain"},
                       {"headers": [["Content-Type", "text/html"]], "body": "<b>html</b>"}]}
        ]})")
                                                             .toUtf8())
                                     .object();
    QVERIFY(!expected.isEmpty());
    QCOMPARE(reply.value(QStringLiteral("mime")).toObject(), expected);
}

void TestHttpRouter::headerWithCrlfNeverSent()
{
    MessageLog::take();
    const QByteArray reply = get("GET /inject HTTP/1.1\r\nHost: a\r\n\r\n");
    QVERIFY2(reply.startsWith("HTTP/1.1 200 OK\r\n"), reply.constData());
    QVERIFY(reply.contains("\r\nX-Fine: yes\r\n"));
    QVERIFY(!reply.contains("X-Injected"));
    QVERIFY(!reply.contains("stolen"));
    QCOMPARE(MessageLog::take().size(), 1);
}

// A handler running when its router goes still answers, and nothing is left dangling
// whichever of router and server goes first.
void TestHttpRouter::routerGoneBeforeServer()
{
    const int threadsBefore = loopback::threadCount();
    auto own = std::make_unique<ZRHttpServer>();
    auto ownRouter = std::make_unique<ZRHttpRouter>(own.get());
    QSemaphore entered;
    QSemaphore release;
    ownRouter->route(RequestGet, QStringLiteral("/slow"), [&](const ZRHttpRequest &) {
        entered.release();
        release.acquire();
        return ZRHttpReply::text("late");
    });
    {
        loopback::Running running(*own);
        Peer client(running.port);
        QVERIFY(client.send("GET /slow HTTP/1.1\r\nHost: a\r\n\r\n"));
        QVERIFY(entered.tryAcquire(1, 10000));
        ownRouter.reset();
        release.release();
        const QByteArray reply = client.readAll();
        QVERIFY2(reply.startsWith("HTTP/1.1 200 OK\r\n"), reply.constData());
        QVERIFY(reply.endsWith("\r\n\r\nlate"));
        own->stop();
    }
    QVERIFY(loopback::releaseEndedThreads(threadsBefore));

    auto outlived = std::make_unique<ZRHttpRouter>(own.get());
    own.reset();
    outlived.reset();
}

// A stream's bytes as a client meets them, and each way a stream ends: its producer's close
// (HTTP/1.1 chunks, the connection kept; HTTP/1.0, the connection closed), its client going,
// its client taking nothing, the server destroyed. The producer learns of each end but its own.
void TestHttpRouter::streamsEndEveryWay()
{
    const int threadsBefore = loopback::threadCount();
    auto own = std::make_unique<ZRHttpServer>();
    ZRHttpRouter routes(own.get());
    QMutex mutex;
    QVector<std::shared_ptr<ZRHttpStream>> streams;
    std::atomic<int> told { 0 };
    routes.route(RequestGet, QStringLiteral("/events"), [&](const ZRHttpRequest &) {
        return ZRHttpReply::eventStream([&](std::shared_ptr<ZRHttpStream> stream) {
            QObject::connect(stream.get(), &ZRHttpStream::closed, [&] { ++told; });
            stream->sendEvent("one\r\ntwo", "tick", "7");
            QMutexLocker lock(&mutex);
            streams.append(std::move(stream));
        });
    });
    const int port = loopback::freePort();
    QVERIFY(own->start(QStringLiteral("127.0.0.1"), port, 64) > 0);
    const auto count = [&] {
        QMutexLocker lock(&mutex);
        return streams.size();
    };
    // The stream a request opens; null when none comes.
    const auto opened = [&](Peer &client, const QByteArray &request) {
        const int before = count();
        client.connectTo(port);
        client.send(request);
        const bool came = QTest::qWaitFor([&] { return count() > before; }, 5000);
        QMutexLocker lock(&mutex);
        return came ? streams.last() : nullptr;
    };
    const QByteArray event = "event: tick\nid: 7\ndata: one\ndata: two\n\n";

    Peer client;
    std::shared_ptr<ZRHttpStream> stream
        = opened(client, "GET /events HTTP/1.1\r\nHost: a\r\n\r\n");
    QVERIFY(stream && stream->sendComment("ping") && stream->write(QByteArray()));
    stream->close();
    QVERIFY(!stream->isOpen() && !stream->write("late"));
    // The next request on the same connection; to HEAD, the head alone.
    client.send("HEAD /events HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    const auto [head, rest] = split(client.readAll());
    QCOMPARE(headerOf(head, "Content-Type"), QByteArray("text/event-stream"));
    QCOMPARE(headerOf(head, "Transfer-Encoding"), QByteArray("chunked"));
    QVERIFY(!head.contains("Content-Length"));
    const auto [nextHead, nothing] = split(rest.mid(rest.indexOf("HTTP/1.1 200")));
    QCOMPARE(rest.left(rest.indexOf("HTTP/1.1 200")),
        "27\r\n" + event + "\r\n7\r\n: ping\n\r\n0\r\n\r\n");
    QVERIFY(headerOf(nextHead, "Transfer-Encoding") == "chunked" && nothing.isEmpty());
    QCOMPARE(count(), 1);

    stream = opened(client, "GET /events HTTP/1.0\r\n\r\n");
    QVERIFY(stream && stream->write("raw"));
    stream.reset(); // let go of, it ends
    {
        QMutexLocker lock(&mutex);
        streams.clear();
    }
    const auto [oldHead, oldBody] = split(client.readAll());
    QVERIFY(!oldHead.contains("Content-Length") && !oldHead.contains("Transfer-Encoding"));
    QCOMPARE(headerOf(oldHead, "Connection"), QByteArray("close"));
    QCOMPARE(oldBody, event + "raw");
    QCOMPARE(told.load(), 0);

    stream = opened(client, "GET /events HTTP/1.1\r\nHost: a\r\n\r\n");
    QVERIFY(stream);
    client.close();
    QTRY_COMPARE(told.load(), 1);
    QVERIFY(!stream->isOpen() && !stream->sendEvent("gone"));
    QVERIFY(own->waitForConnections(5000));

    // A client that takes nothing: the stream ends before it holds much more than its bound.
    stream = opened(client, "GET /events HTTP/1.1\r\nHost: a\r\n\r\n");
    QVERIFY(stream);
    const QByteArray piece(64 * 1024, 'x');
    int written = 0;
    while (written < 400 && stream->write(piece))
        ++written;
    QVERIFY2(written < 400, qPrintable(QString::number(written)));
    QTRY_COMPARE(told.load(), 2);

    stream = opened(client, "GET /events HTTP/1.1\r\nHost: a\r\n\r\n");
    QVERIFY(stream);
    own.reset();
    QTRY_COMPARE(told.load(), 3);
    QVERIFY(!stream->write("after"));
    // A stop ends it as its producer would: its last chunk, then the close.
    QVERIFY(client.readAll().endsWith(event + "\r\n0\r\n\r\n") && client.closedByPeer());
    stream.reset();
    streams.clear();
    QVERIFY(loopback::releaseEndedThreads(threadsBefore));
}

// Over TLS, whose writes wait for the client, a client that takes nothing holds up no producer:
// its writes queue up to the bound and then fail; the stream ends when the client goes.
void TestHttpRouter::tlsStreamToAClientTakingNothing()
{
    auto opened = std::make_shared<std::pair<QMutex, std::shared_ptr<ZRHttpStream>>>();
    auto told = std::make_shared<std::atomic<bool>>(false);
    router->route(RequestGet, QStringLiteral("/tls-events"), [=](const ZRHttpRequest &) {
        return ZRHttpReply::eventStream([=](std::shared_ptr<ZRHttpStream> stream) {
            QObject::connect(stream.get(), &ZRHttpStream::closed, [=] { *told = true; });
            QMutexLocker lock(&opened->first);
            opened->second = std::move(stream);
        });
    });
    QProcess client;
    client.start(QStringLiteral("python3"),
        { QStringLiteral("-c"),
            QStringLiteral("import socket, ssl, sys, time\n"
                           "s = ssl._create_unverified_context().wrap_socket("
                           "socket.create_connection(('127.0.0.1', int(sys.argv[1]))))\n"
                           "s.sendall(b'GET /tls-events HTTP/1.1\\r\\nHost: a\\r\\n\\r\\n')\n"
                           "time.sleep(60)"),
            QString::number(tlsRun->port) });
    const auto stream = [&] {
        QMutexLocker lock(&opened->first);
        return opened->second;
    };
    QTRY_VERIFY_WITH_TIMEOUT(stream() != nullptr, 10000);
    // The writes come back while the client still takes nothing (a write that waited for it
    // would wait for the server's stall limit, 30 s).
    auto writes = std::async(std::launch::async, [piece = QByteArray(64 * 1024, 'x'), &stream] {
        int written = 0;
        while (written < 400 && stream()->write(piece))
            ++written;
        return written;
    });
    QTRY_VERIFY_WITH_TIMEOUT(
        writes.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 10000);
    QVERIFY(writes.get() < 400 && client.state() == QProcess::Running);
    client.kill();
    client.waitForFinished(5000);
    QTRY_VERIFY(told->load());
}

void TestHttpRouter::connectionFacts_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    QTest::newRow("TLS") << true;
}

// Two requests on one kept-open connection, each reporting what the server knows of it.
void TestHttpRouter::connectionFacts()
{
    QFETCH(bool, tls);
    const int port = tls ? tlsRun->port : run->port;
    const QString url
        = QStringLiteral("%1://127.0.0.1:%2/facts").arg(tls ? "https" : "http").arg(port);
    const ChildRun client = runChild(QStringLiteral("curl"),
        { "-sSk", "--noproxy", "*", "-w", "%{local_port} %{num_connects}\n", url, url });
    QVERIFY2(client.ok(), client.errors.constData());
    const QByteArray clientPort = client.output.split(' ').value(1);
    const QByteArray facts = "127.0.0.1 " + clientPort + ' ' + QByteArray::number(port) + ' '
        + QByteArray::number(tls) + '\n' + clientPort;
    QCOMPARE(client.output, facts + " 1\n" + facts + " 0\n");
}

// With credentials only origins named are allowed: "*" is refused, "null" never allowed.
void TestHttpRouter::corsCredentials_data()
{
    QTest::addColumn<QString>("allowed");
    QTest::addColumn<bool>("credentials");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("allowOrigin"); // Access-Control-Allow-Origin; empty: none
    QTest::addColumn<QByteArray>("allowCredentials");
    QTest::newRow("* with credentials: refused")
        << "*" << true << QByteArray("http://any.example") << QByteArray() << QByteArray();
    QTest::newRow("* with credentials: null")
        << "*" << true << QByteArray("null") << QByteArray() << QByteArray();
    QTest::newRow("null named, with credentials")
        << "null" << true << QByteArray("null") << QByteArray() << QByteArray();
    QTest::newRow("named, with credentials")
        << "http://a.example" << true << QByteArray("http://a.example")
        << QByteArray("http://a.example") << QByteArray("true");
    QTest::newRow("* without credentials: null")
        << "*" << false << QByteArray("null") << QByteArray("*") << QByteArray();
}

void TestHttpRouter::corsCredentials()
{
    QFETCH(QString, allowed);
    QFETCH(bool, credentials);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, allowOrigin);
    QFETCH(QByteArray, allowCredentials);
    ZRHttpRouter::CorsOptions cors;
    cors.credentials = credentials;
    const bool refused = credentials && allowed == QLatin1String("*");
    if (refused)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("CORS refused")));
    QCOMPARE(router->setCors({ allowed }, cors), !refused);
    const ChildRun client = runChild(QStringLiteral("curl"),
        { "-sSi", "--noproxy", "*", "-H", "Origin: " + origin,
            QStringLiteral("http://127.0.0.1:%1/status").arg(run->port) });
    router->setCors({ QStringLiteral("http://front.example") }, {});
    const QByteArray head = split(client.output).first;
    QVERIFY2(head.startsWith("HTTP/1.1 200"), head.constData());
    QCOMPARE(headerOf(head, "Access-Control-Allow-Origin"), allowOrigin);
    QCOMPARE(headerOf(head, "Access-Control-Allow-Credentials"), allowCredentials);
}

// curl keeps the cookie and sends it back; one that would set another domain never goes out.
void TestHttpRouter::cookieRoundTrip()
{
    const QString url = QStringLiteral("http://127.0.0.1:%1/session").arg(run->port);
    const ChildRun client
        = runChild(QStringLiteral("curl"), { "-sSi", "--noproxy", "*", "-b", "", url, url });
    QCOMPARE(client.output.count("\r\nSet-Cookie: session=s1; HttpOnly; SameSite=Strict\r\n"), 2);
    QVERIFY(client.output.contains("\r\n\r\nnew HTTP/1.1 200 OK\r\n"));
    QVERIFY(client.output.endsWith("\r\n\r\nback s1") && !client.output.contains("evil"));
}

void TestHttpRouter::handlerOnContextThread_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("answer"); // status line, and body

    QTest::newRow("on the main thread") << QByteArray("/main") << QByteArray("200 OK main");
    QTest::newRow("context gone before")
        << QByteArray("/gone") << QByteArray("503 Service Unavailable Service Unavailable\n");
    QTest::newRow("context gone while the request waits")
        << QByteArray("/queued") << QByteArray("503 Service Unavailable Service Unavailable\n");
}

// The main thread runs its event loop while the client waits; for /queued it deletes the
// context as soon as the request is in, before its call is posted or after: 503 either way.
void TestHttpRouter::handlerOnContextThread()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, answer);
    auto reply = std::async(std::launch::async,
        [&] { return get("GET " + path + " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"); });
    if (path == "/queued") {
        QVERIFY(queuedArrived.tryAcquire(1, 10000));
        delete context;
        context = nullptr;
    }
    QTRY_VERIFY(reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready);
    const auto [head, body] = split(reply.get());
    QCOMPARE(head.mid(9, head.indexOf("\r\n") - 9) + ' ' + body, answer);
}

// Bodies judged by their head before any of them is read: a route's own maximum, above the
// server's or below it, a file for the large ones, and the before-hooks' refusals, which go out
// without "100 Continue" and without the client's body ever being sent.
void TestHttpRouter::uploads_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("body"); // sent only after the head's answer allows it
    QTest::addColumn<QByteArray>("answer"); // its status line, then (after "|") its body

    const QByteArray big(3 * 1024 * 1024, 'u');
    const QByteArray sha = QCryptographicHash::hash(big, QCryptographicHash::Sha256).toHex();
    const QByteArray put = "PUT /upload/a HTTP/1.1\r\nHost: a\r\nConnection: close\r\n";
    QTest::newRow("above the server's maximum, to a file")
        << put + "Content-Length: 3145728\r\n\r\n" << big
        << "HTTP/1.1 200 OK|file 3145728 " + sha;
    QTest::newRow("chunked, to a file")
        << put + "Transfer-Encoding: chunked\r\n\r\n"
        << QByteArray("300000\r\n") + big + "\r\n0\r\n\r\n"
        << "HTTP/1.1 200 OK|file 3145728 " + sha;
    QTest::newRow("small, in memory")
        << put + "Content-Length: 2\r\n\r\n" << QByteArray("hi")
        << QByteArray("HTTP/1.1 200 OK|memory 2 ")
            + QCryptographicHash::hash("hi", QCryptographicHash::Sha256).toHex();
    QTest::newRow("over a route's maximum: 413 before the body")
        << QByteArray("PUT /upload/small HTTP/1.1\r\nHost: a\r\nContent-Length: 2001\r\n\r\n")
        << QByteArray() << QByteArray("HTTP/1.1 413 Content Too Large|Content Too Large\n");
    QTest::newRow("chunked past a route's maximum")
        << QByteArray("PUT /upload/small HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n")
        << QByteArray("3e8\r\n" + QByteArray(1000, 'c') + "\r\n").repeated(3)
        << QByteArray("HTTP/1.1 413 Content Too Large|Content Too Large\n");
    QTest::newRow("over the server's maximum elsewhere")
        << QByteArray("POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 1048577\r\n\r\n")
        << QByteArray() << QByteArray("HTTP/1.1 413 Content Too Large|");
    QTest::newRow("a before-hook's 401, no 100 Continue")
        << QByteArray("PUT /private/up HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\n"
                      "Content-Length: 100000000000\r\n\r\n")
        << QByteArray() << QByteArray("HTTP/1.1 401 Unauthorized|Unauthorized\n");
}

void TestHttpRouter::uploads()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, answer);

    Peer client(run->port);
    QVERIFY(client.send(head));
    if (!body.isEmpty())
        QVERIFY(client.send(body));
    const auto [got, content] = split(client.readAll());
    const QList<QByteArray> expected = answer.split('|');
    QVERIFY2(got.startsWith(expected.at(0) + "\r\n"), got.constData());
    QVERIFY2(content.startsWith(expected.at(1)), content.left(200).constData());
    QMutexLocker lock(&bodyFilesMutex);
    for (const QString &file : qAsConst(bodyFiles))
        QTRY_VERIFY2(!QFile::exists(file), qPrintable(file)); // gone with its answer
    bodyFiles.clear();
}

QTEST_GUILESS_MAIN(TestHttpRouter)
#include "tst_httprouter.moc"
