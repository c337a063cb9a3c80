#include "childprocess.h"
#include "loopback.h"
#include "zrhttpserver.h"
#include "zrtls.h"

#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>

using loopback::Peer;
using loopback::Running;

namespace {

// python3 -c <this> HOST PORT CAFILE: two requests on one connection through http.client with
// the system's default checks (certificate chain, host name); each body, then the status.
const char pythonClient[] = R"(
import http.client, socket, ssl, sys
host, port, cafile = sys.argv[1], int(sys.argv[2]), sys.argv[3]
# Always to 127.0.0.1, so that a machine without an /etc/hosts still checks the name given.
class Connection(http.client.HTTPSConnection):
    def connect(self):
        raw = socket.create_connection(('127.0.0.1', self.port))
        self.sock = self._context.wrap_socket(raw, server_hostname=self.host)
c = Connection(host, port, context=ssl.create_default_context(cafile=cafile))
for path in ('/a', '/b'):
    c.request('GET', path)
    r = c.getresponse()
    sys.stdout.write('%s %d\n' % (r.read().decode(), r.status))
)";

// Answers each request with its path, with `big` bytes for /big, or with the file for /file.
struct Served
{
    explicit Served(int requestTimeoutMs = 0)
    {
        if (requestTimeoutMs > 0)
            server.setRequestTimeout(requestTimeoutMs);
        QObject::connect(
            &server, &ZRHttpServer::connectionThread, &server,
            [this](const ZRHttpRequest &request, ZRSocketThread *thread) {
                const QByteArray path = request.path().toUtf8();
                ZRHttpReply reply = ZRHttpReply::text(path == "/big" ? big : path);
                if (path == "/file")
                    reply.setBodyFile(file);
                server.sendReply(reply, thread);
            },
            Qt::DirectConnection);
        QObject::connect(
            &server, &ZRHttpServer::error, &server,
            [this](int code) {
                lastError = code;
                ++errors;
            },
            Qt::DirectConnection);
    }
    ~Served() { server.stop(); }

    ZRHttpServer server;
    QByteArray big = QByteArray(4 * 1024 * 1024, 'b');
    QString file;
    std::atomic<int> errors { 0 };
    std::atomic<int> lastError { 0 };
    Running run { server };
};

} // namespace

class TestTls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void certificateTakenOnlyWithItsKey();
    void realClients_data();
    void realClients();
    void stalledHandshakeDroppedAtTheDeadline_data();
    void stalledHandshakeDroppedAtTheDeadline();
    void resetDuringALargeReply();
    void peerGoneWithoutCloseNotify();

private:
    QString write(const QString &name, const QByteArray &bytes);
    ChildRun curl(int port, const QString &caFile, const QStringList &paths);
    ChildRun leaveAfterStatus(int port, const char *path, bool reset);

    QTemporaryDir dir;
    QByteArray certificate, key, otherCertificate, otherKey;
    QString certificateFile;
};

void TestTls::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=false"));
    // QProcess ignores SIGPIPE for the whole process when it first starts a child. A write of
    // the library's that raises it must end this test, as it would end an application.
    runChild(QStringLiteral("true"), {});
    ::signal(SIGPIPE, SIG_DFL);
    const QStringList names { QStringLiteral("localhost"), QStringLiteral("127.0.0.1"),
        QStringLiteral("::1") };
    QVERIFY(ZRTls::generateSelfSigned(QStringLiteral("zrnet test"), names, 1, &certificate, &key));
    QVERIFY(
        ZRTls::generateSelfSigned(QStringLiteral("other"), names, 1, &otherCertificate, &otherKey));
    certificateFile = write(QStringLiteral("cert.pem"), certificate);
}

QString TestTls::write(const QString &name, const QByteArray &bytes)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

ChildRun TestTls::curl(int port, const QString &caFile, const QStringList &paths)
{
    QStringList arguments { QStringLiteral("-sS"), QStringLiteral("--noproxy"), QStringLiteral("*"),
        QStringLiteral("--cacert"), caFile, QStringLiteral("-w"),
        QStringLiteral("%{num_connects}\\n") };
    for (const QString &path : paths)
        arguments << QStringLiteral("https://127.0.0.1:%1%2").arg(port).arg(path);
    return runChild(QStringLiteral("curl"), arguments);
}

// The server stays as it was after a refused pair; a new pair applies to the next connection.
void TestTls::certificateTakenOnlyWithItsKey()
{
    QCOMPARE(ZRTls::fingerprintSha256(certificate),
        runChild(QStringLiteral("openssl"),
            { QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-fingerprint"),
                QStringLiteral("-sha256"), QStringLiteral("-in"), certificateFile })
            .output.trimmed()
            .split('=')
            .last());
    const QByteArray text = runChild(QStringLiteral("openssl"),
        { QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-text"),
            QStringLiteral("-in"), certificateFile })
                                .output;
    QVERIFY2(text.contains("DNS:localhost, IP Address:127.0.0.1, IP Address:0:0:0:0:0:0:0:1")
            && text.contains("prime256v1"),
        text.constData());

    Served s;
    QVERIFY(!s.server.setTlsCertificate(certificate, otherKey));
    QVERIFY2(s.server.errorText().startsWith(
                 QLatin1String("The private key does not match the certificate")),
        qPrintable(s.server.errorText()));
    QVERIFY(!s.server.setTlsCertificate("not a certificate", key));
    QVERIFY(!s.server.isTls());
    QCOMPARE(
        runChild(QStringLiteral("curl"),
            { QStringLiteral("-sS"), QStringLiteral("http://127.0.0.1:%1/plain").arg(s.run.port) })
            .output,
        QByteArray("/plain"));

    QVERIFY(s.server.setTlsCertificate(certificate, key));
    QVERIFY(s.server.isTls());
    QCOMPARE(curl(s.run.port, certificateFile, { QStringLiteral("/one") }).output, "/one1\n");
    QVERIFY(s.server.setTlsCertificate(otherCertificate, otherKey));
    const QString otherFile = write(QStringLiteral("other.pem"), otherCertificate);
    QCOMPARE(curl(s.run.port, otherFile, { QStringLiteral("/renewed") }).output, "/renewed1\n");
    QVERIFY(!curl(s.run.port, certificateFile, { QStringLiteral("/old") }).ok());
}

void TestTls::realClients_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("output");
    const QString python = QStringLiteral("python3");
    const QString code = QString::fromLatin1(pythonClient);
    QTest::newRow("curl, two URLs")
        << QStringLiteral("curl")
        << QStringList { QStringLiteral("--cacert"), QStringLiteral("{cert}"), QStringLiteral("-w"),
               QStringLiteral("%{num_connects}\\n"), QStringLiteral("https://127.0.0.1:{port}/a"),
               QStringLiteral("https://127.0.0.1:{port}/b") }
        << QByteArray("/a1\n/b0\n"); // the second on the same connection
    QTest::newRow("curl, a file body")
        << QStringLiteral("curl")
        << QStringList { QStringLiteral("--cacert"), QStringLiteral("{cert}"),
               QStringLiteral("https://127.0.0.1:{port}/file") }
        << certificate;
    QTest::newRow("python, by name")
        << python
        << QStringList { QStringLiteral("-c"), code, QStringLiteral("localhost"),
               QStringLiteral("{port}"), QStringLiteral("{cert}") }
        << QByteArray("/a 200\n/b 200\n");
    QTest::newRow("python, by address")
        << python
        << QStringList { QStringLiteral("-c"), code, QStringLiteral("127.0.0.1"),
               QStringLiteral("{port}"), QStringLiteral("{cert}") }
        << QByteArray("/a 200\n/b 200\n");
    QTest::newRow("openssl, TLS 1.1")
        << QStringLiteral("openssl")
        << QStringList { QStringLiteral("s_client"), QStringLiteral("-tls1_1"),
               QStringLiteral("-connect"), QStringLiteral("127.0.0.1:{port}") }
        << QByteArray();
}

void TestTls::realClients()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, output);
    Served s;
    s.file = certificateFile;
    QVERIFY(s.server.setTlsCertificate(certificate, key));
    for (QString &argument : arguments) {
        argument.replace(QLatin1String("{port}"), QString::number(s.run.port));
        argument.replace(QLatin1String("{cert}"), certificateFile);
    }
    const ChildRun run = runChild(program, arguments);
    QVERIFY2(run.finished, run.errors.constData());
    if (output.isEmpty()) {
        QVERIFY2(run.exitCode != 0 && run.errors.contains("alert protocol version"),
            run.errors.constData());
    } else {
        QCOMPARE(run.output, output);
    }
}

void TestTls::stalledHandshakeDroppedAtTheDeadline_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::newRow("nothing sent") << 0;
    QTest::newRow("a ClientHello's first bytes, one each 100 ms") << 100;
}

// Each byte comes well within the timeout, but the handshake as a whole must not outlast it.
void TestTls::stalledHandshakeDroppedAtTheDeadline()
{
    QFETCH(int, gapMs);
    Served s(600);
    QVERIFY(s.server.setTlsCertificate(certificate, key));
    Peer client(s.run.port);
    // A handshake record announcing 512 bytes, then the start of a ClientHello.
    const QByteArray hello = QByteArray::fromHex("160301020001000200fc0303") + QByteArray(60, 'r');
    for (int i = 0; gapMs > 0 && i < hello.size() && !client.closedByPeer(gapMs); ++i)
        client.send(hello.mid(i, 1));
    QVERIFY(client.closedByPeer(5000));
    QCOMPARE(s.errors, 0);
}

// A client that asks for `path`, prints the reply's status line and leaves without close_notify,
// with a reset when `reset`.
ChildRun TestTls::leaveAfterStatus(int port, const char *path, bool reset)
{
    const char code[] = R"(
import socket, ssl, struct, sys
ctx = ssl.create_default_context(cafile=sys.argv[2])
s = ctx.wrap_socket(socket.create_connection(('127.0.0.1', int(sys.argv[1]))), server_hostname='localhost')
s.sendall(b'GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n' % sys.argv[3].encode())
print(s.recv(100).split(b'\r\n')[0].decode())
if sys.argv[4] == 'reset':
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
s.close()
)";
    return runChild(QStringLiteral("python3"),
        { QStringLiteral("-c"), QString::fromLatin1(code), QString::number(port), certificateFile,
            QString::fromLatin1(path), reset ? QStringLiteral("reset") : QStringLiteral("close") });
}

void TestTls::resetDuringALargeReply()
{
    Served s;
    QVERIFY(s.server.setTlsCertificate(certificate, key));
    QCOMPARE(leaveAfterStatus(s.run.port, "/big", true).output, QByteArray("HTTP/1.1 200 OK\n"));
    QTRY_COMPARE_WITH_TIMEOUT(s.errors, 1, 15000);
    QCOMPARE(s.lastError, -901);
}

// The sockets this process holds open.
static int openSockets()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    int count = 0;
    for (const QFileInfo &fd : fds.entryInfoList(QDir::System))
        count += fd.symLinkTarget().contains(QLatin1String("socket:")) ? 1 : 0;
    return count;
}

// A kept-open connection whose client leaves without close_notify (as Python's ssl does, and
// many clients between requests) ends at once, not at the keep-alive time.
void TestTls::peerGoneWithoutCloseNotify()
{
    Served s;
    s.server.setKeepAliveTimeout(60000);
    QVERIFY(s.server.setTlsCertificate(certificate, key));
    const int before = openSockets();
    QCOMPARE(leaveAfterStatus(s.run.port, "/a", false).output, QByteArray("HTTP/1.1 200 OK\n"));
    QTRY_COMPARE_WITH_TIMEOUT(openSockets(), before, 3000);
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
