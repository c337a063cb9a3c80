#include "childprocess.h"

#include <zrhttprouter.h>
#include <zrhttpserver.h>
#include <zrtls.h>
#include <zrwebsocket.h>

#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One router on an HTTP and an HTTPS server: an echo at /ws taking messages up to 1,000 bytes
// and queueing up to 64 KiB, and a page at /page for the browser.
struct Servers
{
    ZRHttpServer http;
    ZRHttpServer https;
    ZRHttpRouter router;
    QMutex mutex; // guards sockets, written on the server's threads
    QVector<std::shared_ptr<ZRWebSocket>> sockets;
    // The codes closed() gave, kept by the slots too: a WebSocket may close after the servers
    // have gone, on a thread of their pool.
    struct Closes
    {
        QMutex mutex; // guards codes
        QVector<int> codes;
    };
    const std::shared_ptr<Closes> closes = std::make_shared<Closes>();

    ~Servers()
    {
        http.stop();
        https.stop();
        QMutexLocker lock(&mutex);
        sockets.clear();
    }

    bool start()
    {
        QByteArray certificate, key;
        if (!ZRTls::generateSelfSigned(QStringLiteral("t"), {}, 1, &certificate, &key)
            || !https.setTlsCertificate(certificate, key))
            return false;
        ZRWebSocketOptions options;
        options.maxMessageSize = 1000;
        options.maxQueued = 64 * 1024;
        router.webSocket(QStringLiteral("/ws"), options, [this](std::shared_ptr<ZRWebSocket> s) {
            ZRWebSocket *ws = s.get();
            QObject::connect(
                ws, &ZRWebSocket::textMessageReceived, ws,
                [ws](const QString &m) { ws->sendText(m); }, Qt::DirectConnection);
            QObject::connect(
                ws, &ZRWebSocket::binaryMessageReceived, ws,
                [ws](const QByteArray &m) { ws->sendBinary(m); }, Qt::DirectConnection);
            QObject::connect(
                ws, &ZRWebSocket::closed, ws,
                [closes = closes](int code) {
                    QMutexLocker lock(&closes->mutex);
                    closes->codes.append(code);
                },
                Qt::DirectConnection);
            QMutexLocker lock(&mutex);
            sockets.append(std::move(s));
        });
        router.route(RequestGet, QStringLiteral("/page"), [](const ZRHttpRequest &) {
            return ZRHttpReply::html("<!doctype html><title>WebSocket</title>");
        });
        router.serve(&http);
        router.serve(&https);
        return http.start(QStringLiteral("127.0.0.1"), 0, 64) > 0
            && https.start(QStringLiteral("127.0.0.1"), 0, 64) > 0;
    }
    QString url(bool tls) const
    {
        return QStringLiteral("%1://127.0.0.1:%2/ws")
            .arg(tls ? QStringLiteral("wss") : QStringLiteral("ws"))
            .arg((tls ? https : http).serverPort());
    }
    QVector<int> closed()
    {
        QMutexLocker lock(&closes->mutex);
        return closes->codes;
    }
    std::shared_ptr<ZRWebSocket> last()
    {
        QMutexLocker lock(&mutex);
        return sockets.isEmpty() ? nullptr : sockets.last();
    }
};

QStringList clientArguments(const QString &mode, const QString &url)
{
    return { QStringLiteral(ZRNET_WEBSOCKET_CLIENT), mode, url };
}

} // namespace

class TestWebSocket : public QObject
{
    Q_OBJECT
private slots:
    void pythonClient_data();
    void pythonClient();
    void serverSendsAndStops_data();
    void serverSendsAndStops();
    void boundedQueueDrains();
    void chromium();
};

void TestWebSocket::pythonClient_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("serverSawClose"); // 0: no WebSocket opened
    for (const bool tls : { false, true }) {
        const char *scheme = tls ? "wss " : "ws ";
        QTest::addRow("%stext, binary, fragments, ping, close", scheme)
            << tls << "echo"
            << QByteArray("echo 'h\xc3\xa9llo'\necho b'\\x00\\x01\\xff'\necho 'fragmented'\npong\n"
                          "closed 4000 bye\n")
            << 4000;
        QTest::addRow("%sa message over the limit", scheme)
            << tls << "big" << QByteArray("closed 1009 \n") << 1009;
        QTest::addRow("%sa text that is not UTF-8", scheme)
            << tls << "badtext" << QByteArray("closed 1007 \n") << 1007;
        QTest::addRow("%sa foreign origin", scheme)
            << tls << "origin" << QByteArray("refused 403\n") << 0;
        QTest::addRow("%sa GET without the upgrade", scheme)
            << tls << "plain" << QByteArray("426 websocket 13\n") << 0;
    }
}

void TestWebSocket::pythonClient()
{
    QFETCH(bool, tls);
    QFETCH(QString, mode);
    QFETCH(QByteArray, output);
    QFETCH(int, serverSawClose);
    Servers s;
    QVERIFY(s.start());
    const ChildRun run
        = runChild(QStringLiteral("/usr/bin/python3"), clientArguments(mode, s.url(tls)));
    QVERIFY2(run.ok(), run.errors.constData());
    QCOMPARE(run.output, output);
    if (serverSawClose)
        QTRY_COMPARE(s.closed(), QVector<int> { serverSawClose });
    else
        QVERIFY(s.last() == nullptr);
}

void TestWebSocket::serverSendsAndStops_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("ws") << false;
    QTest::newRow("wss") << true;
}

// A message sent from the test's thread, then the servers destroyed at once (which stops them):
// the client sees 1001 all the same.
void TestWebSocket::serverSendsAndStops()
{
    QFETCH(bool, tls);
    auto s = std::make_unique<Servers>();
    QVERIFY(s->start());
    QProcess client;
    client.start(
        QStringLiteral("/usr/bin/python3"), clientArguments(QStringLiteral("hold"), s->url(tls)));
    QByteArray seen;
    QTRY_VERIFY((seen += client.readAllStandardOutput()).contains("open\n"));
    QTRY_VERIFY(s->last() != nullptr);
    const std::shared_ptr<ZRWebSocket> ws = s->last();
    QMutex mutex; // guards closes
    QVector<int> closes;
    QObject receiver; // goes with closes, should the test end early
    connect(
        ws.get(), &ZRWebSocket::closed, &receiver,
        [&](int code) {
            QMutexLocker lock(&mutex);
            closes.append(code);
        },
        Qt::DirectConnection);
    QVERIFY(ws->sendText(QStringLiteral("pushed")));
    QTRY_VERIFY((seen += client.readAllStandardOutput()).contains("got 'pushed'\n"));
    s.reset();
    QVERIFY(client.waitForFinished(10000));
    seen += client.readAllStandardOutput();
    QVERIFY2(seen.endsWith("closed 1001 Server stopping\n"), seen.constData());
    QTRY_VERIFY([&] {
        QMutexLocker lock(&mutex);
        return closes == QVector<int> { 1001 };
    }());
    QVERIFY(!ws->isOpen());
    QVERIFY(!ws->sendText(QStringLiteral("late")));
}

// A client the test reads on demand, with a small receive buffer: sends fail once 64 KiB wait,
// and drained() follows its reading. Its key is the one of RFC 6455's example, whose accept is
// known.
void TestWebSocket::boundedQueueDrains()
{
    Servers s;
    QVERIFY(s.start());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(s.http.serverPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    const QByteArray upgrade = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                               "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    QCOMPARE(::send(fd, upgrade.constData(), size_t(upgrade.size()), 0), ssize_t(upgrade.size()));
    QByteArray head;
    char c;
    while (!head.endsWith("\r\n\r\n") && ::recv(fd, &c, 1, 0) == 1)
        head += c;
    QVERIFY2(head.startsWith("HTTP/1.1 101 Switching Protocols\r\n")
            && head.contains("\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
        head.constData());
    QTRY_VERIFY(s.last() != nullptr);
    const std::shared_ptr<ZRWebSocket> ws = s.last();
    QAtomicInt drained = 0;
    QObject::connect(
        ws.get(), &ZRWebSocket::drained, ws.get(), [&drained] { drained.ref(); },
        Qt::DirectConnection);
    const QByteArray piece(16 * 1024, 'x');
    int sent = 0;
    while (sent < 4096 && ws->sendBinary(piece))
        ++sent;
    QVERIFY(sent < 4096);
    QVERIFY(ws->bufferedAmount() > 0);
    QVERIFY(ws->bufferedAmount() <= 64 * 1024);
    QCOMPARE(drained.loadAcquire(), 0);
    char scratch[65536];
    QTRY_VERIFY((::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT), drained.loadAcquire() == 1));
    QCOMPARE(ws->bufferedAmount(), 0);
    QVERIFY(ws->sendBinary(piece));
}

void TestWebSocket::chromium()
{
    const QString modules = QStringLiteral(ZRNET_NODE_MODULES);
    if (!QFileInfo::exists(modules + QStringLiteral("/playwright-core")))
        QSKIP("playwright-core is not installed (the portal's browser test installs it)");
    Servers s;
    QVERIFY(s.start());
    qputenv("NODE_PATH", modules.toLocal8Bit());
    const ChildRun run = runChild(QStringLiteral("node"),
        { QStringLiteral(ZRNET_WEBSOCKET_BROWSER_TEST), QString::number(s.http.serverPort()),
            QString::number(s.https.serverPort()) });
    qInfo("%s", run.output.constData());
    QVERIFY2(run.ok(), run.errors.constData());
    QCOMPARE(run.output.count("ok - "), 3);
}

QTEST_MAIN(TestWebSocket)
#include "tst_websocket.moc"
