#include "childprocess.h"
#include "logger.h"
#include "loopback.h"
#include "messagelog.h"
#include "workdir.h"
#include "zrclient.h"
#include "zrhttpserver.h"
#include "zrsocket.h"
#include "zrsocketthread.h"
#include "zrtls.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>

#include <sched.h>
#include <sys/mount.h>

using loopback::Peer;
using loopback::Running;
using Headers = QMap<QByteArray, QByteArray>;

namespace {

// A string literal with every byte in it, NULs included.
template <int N>
QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

// What the server sends by itself to a request it refuses, but for its Date (withoutDate()).
QByteArray refusal(const char *status)
{
    const QByteArray reason = QByteArray(status).mid(4) + '\n';
    return QByteArray("HTTP/1.1 ") + status
        + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + QByteArray::number(reason.size()) + "\r\nConnection: close\r\n\r\n" + reason;
}

// A reply without its Date line, which must be there.
QByteArray withoutDate(QByteArray reply)
{
    const int at = reply.indexOf("\r\nDate: ");
    if (at < 0)
        return "(no Date) " + reply;
    return reply.remove(at, reply.indexOf("\r\n", at + 2) - at);
}

QByteArray okReply(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray methodText(int type)
{
    return ZRHttpRequest::requestTypeString.value(RequestType(type)).toUtf8();
}

// The test application's answer: enough of the request for a client to check what arrived.
QByteArray summary(const QByteArray &method, const QByteArray &path, const QByteArray &protocol,
    const QByteArray &body, const Headers &headers = {})
{
    QByteArray text = method + ' ' + path + ' ' + protocol + '\n' + QByteArray::number(body.size())
        + ' ' + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + '\n';
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        if (it.key().startsWith("X-"))
            text += it.key() + ": " + it.value() + '\n';
    }
    return text;
}

// Bytes of every value, CR, LF, NUL and blanks included, the same on every run.
QByteArray binaryPayload(int size)
{
    QRandomGenerator random(4);
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(random.bounded(256));
    return bytes;
}

// Text full of what line shaping would fold: runs of blanks, CRLFs, empty lines.
QByteArray blankHeavyText(int size)
{
    const QByteArray pattern = "word   with    runs \t of  blanks  \r\n\r\n   \r\nnext:  line\r\n";
    QByteArray text;
    while (text.size() < size)
        text += pattern;
    text.truncate(size);
    return text;
}

// The texts written to the HTTP debug category since the last clear(), from any thread.
using HttpLog = MessageLog;

// One request as the application received it.
struct Seen
{
    int type;
    QByteArray path;
    QByteArray protocol;
    Headers headers;
    QByteArray body;
    ZRSocketThread *thread;
    QThread *deliveredOn;

    QByteArray summary() const
    {
        return ::summary(methodText(type), path, protocol, body, headers);
    }
};

// The application side of a server: records each request and error the server hands over,
// and answers each request with `answer`, by default with its summary. An empty answer
// holds the request for the test to answer.
class Application : public QObject
{
    Q_OBJECT
public:
    using Answer = std::function<void(const Seen &)>;

    Application(ZRHttpServer &server, Qt::ConnectionType type) : server(server)
    {
        // By name, as a queued connection finds the request type by its name.
        connect(&server, SIGNAL(connectionThread(ZRHttpRequest, ZRSocketThread *)), this,
            SLOT(onRequest(ZRHttpRequest, ZRSocketThread *)), type);
        connect(&server, &ZRHttpServer::error, this, &Application::onError, type);
        answer = [this](const Seen &seen) {
            this->server.sendReply(okReply(seen.summary()), seen.thread);
        };
    }
    QList<Seen> requests() const
    {
        QMutexLocker lock(&mutex);
        return seen;
    }
    QList<int> errors() const
    {
        QMutexLocker lock(&mutex);
        return codes;
    }

    ZRHttpServer &server;
    Answer answer; // set before any client connects

public slots:
    void onRequest(const ZRHttpRequest &request, ZRSocketThread *thread)
    {
        const Seen one { request.type(), request.path().toUtf8(), request.protocol().toUtf8(),
            request.headers(), request.body(), thread, QThread::currentThread() };
        {
            QMutexLocker lock(&mutex);
            seen.append(one);
        }
        if (answer)
            answer(one);
    }
    void onError(int code)
    {
        QMutexLocker lock(&mutex);
        codes.append(code);
    }

private:
    mutable QMutex mutex;
    QList<Seen> seen;
    QList<int> codes;
};

// A listening HTTP server with its application. On destruction it stops, then waits for
// its connections to end, so that none is still inside the server when it goes.
struct Served
{
    explicit Served(Qt::ConnectionType type = Qt::DirectConnection, int requestTimeoutMs = 0,
        qint64 maxBodySize = 0)
        : app(configured(server, requestTimeoutMs, maxBodySize), type), run(server)
    { }
    ~Served()
    {
        server.stop();
        loopback::releaseEndedThreads(threadsBefore);
    }

    static ZRHttpServer &configured(ZRHttpServer &server, int requestTimeoutMs, qint64 maxBodySize)
    {
        if (requestTimeoutMs > 0)
            server.setRequestTimeout(requestTimeoutMs);
        if (maxBodySize > 0)
            server.setMaxBodySize(maxBodySize);
        return server;
    }

    const int threadsBefore = loopback::threadCount();
    ZRHttpServer server;
    Application app;
    Running run;
};

// A real client run to its end; the port and file name stand in its arguments as
// {port} and {file}.
using Client = ChildRun;

Client runClient(const QString &program, QStringList arguments, int port, const QString &file,
    const QByteArray &input = {})
{
    for (QString &argument : arguments) {
        argument.replace(QLatin1String("{port}"), QString::number(port));
        argument.replace(QLatin1String("{file}"), file);
    }
    return runChild(program, arguments, input);
}

const QString curl = QStringLiteral("curl");
const QString python = QStringLiteral("python3");
// Common curl options: quiet but for errors, never through a proxy, the status code last.
const QStringList curlBase { QStringLiteral("-sS"), QStringLiteral("--noproxy"),
    QStringLiteral("*"), QStringLiteral("-w"), QStringLiteral("%{http_code}\\n") };

// python3 -c <this> port path mode file: one request through http.client, then the
// answer's body and its status on a line of its own.
const char pythonClient[] = R"(
import http.client, sys
port, path, mode, name = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
data = open(name, 'rb').read()
c = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
if mode == 'put':
    c.request('PUT', path, body=data, headers={'X-Test': 'py'})
elif mode == 'chunked':
    c.request('POST', path, body=iter([data[:70000], data[70000:]]), encode_chunked=True)
elif mode == 'lower':
    c.putrequest('POST', path)
    c.putheader('content-length', str(len(data)))
    c.endheaders()
    c.send(data)
elif mode == 'trace':
    c.request('TRACE', path)
else:
    c.request('GET', path)
r = c.getresponse()
sys.stdout.buffer.write(r.read() + b'%d\n' % r.status)
)";

QStringList pythonArguments(const char *path, const char *mode)
{
    return { QStringLiteral("-c"), QString::fromLatin1(pythonClient), QStringLiteral("{port}"),
        QString::fromLatin1(path), QString::fromLatin1(mode), QStringLiteral("{file}") };
}

// Counts the connection's end into ended; from its own thread, before its answer, so that the
// handle is alive while connected to.
void countEnds(ZRSocketThread *handle, std::atomic<int> &ended)
{
    QObject::connect(handle, &QThread::finished, [&ended] { ++ended; });
}

bool isReset(int socket)
{
    pollfd p { socket, POLLIN, 0 };
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP));
}

// python3 -c <this> port: the cases of persistent connections, one line each, as seen by
// real clients.
const char pythonKeepAlive[] = R"(
import http.client, socket, sys
port = int(sys.argv[1])
def ended(s):
    s.settimeout(5)
    return s.recv(1) == b''
c = http.client.HTTPConnection('127.0.0.1', port, timeout=5)
seen = []
for path, headers in (('/a', {}), ('/b', {}), ('/c', {'Connection': 'close'})):
    c.request('GET', path, headers=headers)
    r = c.getresponse()
    seen.append('%s %s %s' % (r.read().split(b' ')[1].decode(), r.getheader('Connection'),
                              c.sock.getsockname()[1] if c.sock else 'closed'))
print('three on one:', seen[0].split()[:2], seen[1].split()[:2], seen[2].split()[:2],
      seen[0].split()[2] == seen[1].split()[2], seen[2].split()[2])
s = socket.create_connection(('127.0.0.1', port), timeout=5)
s.sendall(b''.join(b'GET /p%d HTTP/1.1\r\nHost: a\r\n\r\n' % i for i in (1, 2, 3)))
got = b''
while got.count(b'HTTP/1.1 200') < 3 or not got.endswith(b'\n'):
    got += s.recv(65536)
print('pipelined:', [l.split(b' ')[1].decode() for l in got.split(b'\r\n\r\n')[1:]])
for line in (b'', b'Connection: keep-alive\r\n'):
    s = socket.create_connection(('127.0.0.1', port), timeout=5)
    s.sendall(b'GET /old HTTP/1.0\r\n' + line + b'\r\n')
    head = s.recv(65536).split(b'\r\n\r\n')[0]
    if line:
        s.sendall(b'GET /again HTTP/1.0\r\n' + line + b'\r\n')
        again = s.recv(65536).startswith(b'HTTP/1.1 200')
    else:
        again = ended(s)
    print('HTTP/1.0:', [h.decode() for h in head.split(b'\r\n') if h.startswith(b'Connection')],
          again)
s = socket.create_connection(('127.0.0.1', port), timeout=5)
s.sendall(b'GET /raw HTTP/1.1\r\nHost: a\r\n\r\n')
print('raw bytes:', s.recv(65536).count(b'Connection: close'), ended(s))
)";

enum ReplyForm { RawReply, PartReply, MultiPartReply };

} // namespace

Q_DECLARE_METATYPE(ReplyForm)

class TestZRHttpServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { HttpLog::uninstall(); }
    void init() { HttpLog::clear(); }
    void cleanup() { QVERIFY(loopback::releaseEndedThreads(baseline)); }

    void parsed_data();
    void parsed();
    void refused_data();
    void refused();
    void arrivesWholeFromPieces_data();
    void arrivesWholeFromPieces();
    void continueBeforeTheBody();
    void endsAfterItsAnswer_data();
    void endsAfterItsAnswer();
    void closeIsReadWhole_data();
    void closeIsReadWhole();
    void stopEndsAHeldRequestsConnection();
    void streamWithoutAProducerEndsAtOnce();
    void aBurstGetsAThreadForEachClient();
    void realClients_data();
    void realClients();
    void droppedWithoutAnswer_data();
    void droppedWithoutAnswer();
    void queuedToAMainThreadObject();
    void nextRequestGetsTheFullTime();
    void replyToAGoneClient();
    void replyToAClientThatStopsReading();
    void replyFormsSendExactBytes_data();
    void replyFormsSendExactBytes();
    void manyConcurrentClients();
    void destroyedWhileConnectionsAreMidRequest();
    void defaultStackSurvivesTheDeepestPath();
    void persistentConnectionsWithRealClients();
    void idleConnectionsGiveWay();
    void parkedConnectionsWakeUp_data();
    void parkedConnectionsWakeUp();
    void servesIPv6AndDualStack_data();
    void servesIPv6AndDualStack();

private:
    int baseline = 0;
    QTemporaryDir dir;
    QString payloadFile;
    QString bigPayloadFile;
    QByteArray payload;
    QByteArray bigPayload;
};

void TestZRHttpServer::initTestCase()
{
    // The server's trace is checked; per-message socket chatter would drown the output of the
    // many-client cases.
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.http.debug=true"));
    HttpLog::install(QtDebugMsg, "zrnet.http");
    QVERIFY(dir.isValid());
    payload = binaryPayload(200 * 1024);
    bigPayload = binaryPayload(1536 * 1024);
    payloadFile = dir.filePath(QStringLiteral("payload"));
    bigPayloadFile = dir.filePath(QStringLiteral("big-payload"));
    for (const auto &file :
        { qMakePair(payloadFile, payload), qMakePair(bigPayloadFile, bigPayload) }) {
        QFile out(file.first);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(file.second), qint64(file.second.size()));
    }
    // Child processes and the runner's own threads are there from now on.
    baseline = loopback::threadCount();
}

void TestZRHttpServer::parsed_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("protocol");
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("description");

    const auto line = [](const char *text) {
        return QStringLiteral("Request description: ") + QLatin1String(text);
    };
    const Headers host { { "Host", "a" } };
    QTest::newRow("get with host")
        << QByteArray("GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n") << int(RequestGet)
        << QByteArray("/index.html") << QByteArray("HTTP/1.1") << host << QByteArray()
        << line("GET /index.html HTTP/1.1");
    QTest::newRow("empty lines first, HTTP/1.0 without Host")
        << QByteArray("\r\n\r\nHEAD / HTTP/1.0\r\n\r\n") << int(RequestHead) << QByteArray("/")
        << QByteArray("HTTP/1.0") << Headers() << QByteArray() << line("HEAD / HTTP/1.0");
    QTest::newRow("split at the first colon")
        << QByteArray("GET / HTTP/1.1\r\nHost: server1:8080\r\n\r\n") << int(RequestGet)
        << QByteArray("/") << QByteArray("HTTP/1.1") << Headers { { "Host", "server1:8080" } }
        << QByteArray() << line("GET / HTTP/1.1");
    QTest::newRow("runs in the value kept, its ends trimmed")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nX-Name:  a   b \t c \r\n\r\n")
        << int(RequestGet) << QByteArray("/") << QByteArray("HTTP/1.1")
        << Headers { { "Host", "a" }, { "X-Name", "a   b \t c" } } << QByteArray()
        << line("GET / HTTP/1.1");
    QTest::newRow("duplicate header: the later value")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nX-A: 1\r\nX-A: 2\r\n\r\n") << int(RequestGet)
        << QByteArray("/") << QByteArray("HTTP/1.1") << Headers { { "Host", "a" }, { "X-A", "2" } }
        << QByteArray() << line("GET / HTTP/1.1");
    QTest::newRow("unframed PATCH: no body, what follows never one")
        << QByteArray("PATCH /p HTTP/1.1\r\nHost: a\r\n\r\na=b\r\nX-B:  c\r\n") << int(RequestPatch)
        << QByteArray("/p") << QByteArray("HTTP/1.1") << host << QByteArray()
        << line("PATCH /p HTTP/1.1");
    QTest::newRow("NUL and CRLF kept in a counted body")
        << bytes("PUT /b HTTP/1.1\r\nHost: a\r\nContent-Length: 7\r\n\r\na\0 \r\n  b")
        << int(RequestPut) << QByteArray("/b") << QByteArray("HTTP/1.1")
        << Headers { { "Host", "a" }, { "Content-Length", "7" } } << bytes("a\0 \r\n  ")
        << line("PUT /b HTTP/1.1");
    QTest::newRow("lower-case content-length")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\ncontent-length: 4\r\n\r\n a  b")
        << int(RequestPost) << QByteArray("/") << QByteArray("HTTP/1.1")
        << Headers { { "Host", "a" }, { "content-length", "4" } } << QByteArray(" a  ")
        << line("POST / HTTP/1.1");
    QTest::newRow("mixed-case transfer-encoding")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\ntransfer-Encoding: Chunked\r\n\r\n"
                      "3;ext=1\r\na\r\n\r\n2\r\n  \r\n0\r\nX-Trailer: t\r\n\r\n")
        << int(RequestPost) << QByteArray("/") << QByteArray("HTTP/1.1")
        << Headers { { "Host", "a" }, { "transfer-Encoding", "Chunked" } } << QByteArray("a\r\n  ")
        << line("POST / HTTP/1.1");
    QTest::newRow("bytes outside ASCII kept")
        << QByteArray(
               "GET /caf\xc3\xa9 HTTP/1.1\r\nHost: a\r\nX-Name: caf\xc3\xa9 \xff\xfe\r\n\r\n")
        << int(RequestGet) << QByteArray("/caf\xc3\xa9") << QByteArray("HTTP/1.1")
        << Headers { { "Host", "a" }, { "X-Name", "caf\xc3\xa9 \xff\xfe" } } << QByteArray()
        << QStringLiteral("Request description: GET /caf\u00e9 HTTP/1.1");
}

void TestZRHttpServer::parsed()
{
    QFETCH(QByteArray, request);
    QFETCH(int, type);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, protocol);
    QFETCH(Headers, headers);
    QFETCH(QByteArray, body);
    QFETCH(QString, description);

    Served s;
    Peer client(s.run.port);
    QVERIFY(client.send(request));
    const QByteArray expected = okReply(summary(methodText(type), path, protocol, body, headers));
    QCOMPARE(client.readAll(), expected);
    QVERIFY(client.closedByPeer());

    const QList<Seen> seen = s.app.requests();
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].type, type);
    QCOMPARE(seen[0].path, path);
    QCOMPARE(seen[0].protocol, protocol);
    QCOMPARE(seen[0].headers, headers);
    QCOMPARE(seen[0].body, body);
    QCOMPARE(s.app.errors(), QList<int>());
    QCOMPARE(HttpLog::texts(), QStringList { description });
}

void TestZRHttpServer::refused_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("texts");

    const QByteArray badRequest = refusal("400 Bad Request");
    const QByteArray notImplemented = refusal("501 Not Implemented");
    const auto texts = [](const char *line, const char *reason) {
        QStringList list;
        if (line)
            list << QStringLiteral("Request description: ") + QLatin1String(line);
        return list << QLatin1String(reason);
    };
    const char *malformed = "Malformed request.";
    const char *framing = "Bad request body framing";

    QTest::newRow("two tokens") << QByteArray("GET /\r\n\r\n") << -902 << badRequest
                                << texts("GET /", malformed);
    QTest::newRow("four tokens") << QByteArray("GET / HTTP/1.1 extra\r\n\r\n") << -902 << badRequest
                                 << texts("GET / HTTP/1.1 extra", malformed);
    QTest::newRow("two spaces") << QByteArray("GET  / HTTP/1.1\r\n") << -902 << badRequest
                                << texts("GET  / HTTP/1.1", malformed);
    QTest::newRow("five empty lines first") << QByteArray("\r\n\r\n\r\n\r\n\r\nGET / HTTP/1.1\r\n")
                                            << -902 << badRequest << texts(nullptr, malformed);
    QTest::newRow("lower-case method") << QByteArray("get / HTTP/1.1\r\n") << -903 << notImplemented
                                       << texts("get / HTTP/1.1", "Bad request type");
    QTest::newRow("CONNECT") << QByteArray("CONNECT a:443 HTTP/1.1\r\n") << -903 << notImplemented
                             << texts("CONNECT a:443 HTTP/1.1", "Bad request type");
    QTest::newRow("TRACE") << QByteArray("TRACE / HTTP/1.1\r\n\r\n") << -903 << notImplemented
                           << texts("TRACE / HTTP/1.1", "Bad request type");
    QTest::newRow("FTP/1.0") << QByteArray("GET / FTP/1.0\r\n\r\n") << -904 << badRequest
                             << texts("GET / FTP/1.0", "Invalid request protocol");
    QTest::newRow("HTTPS/1.1") << QByteArray("GET / HTTPS/1.1\r\n") << -904 << badRequest
                               << texts("GET / HTTPS/1.1", "Invalid request protocol");
    QTest::newRow("HTTP/5.6") << QByteArray("GET / HTTP/5.6\r\n") << -909
                              << refusal("505 HTTP Version Not Supported")
                              << texts("GET / HTTP/5.6", "Unsupported HTTP version");
    const char *header = "Invalid request header";
    // The bare LF would end the line for us and not for a proxy, which reads one request.
    QTest::newRow("Content-Length behind a bare LF")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nDummy: x\nContent-Length: 23\r\n\r\n"
                      "GET / HTTP/1.1\r\nDummy: GET /admin HTTP/1.1\r\nHost: localhost\r\n\r\n")
        << -905 << badRequest << texts("GET / HTTP/1.1", header);
    QTest::newRow("no Host") << QByteArray("GET / HTTP/1.1\r\nX: 1\r\n\r\n") << -905 << badRequest
                             << texts("GET / HTTP/1.1", header);
    QTest::newRow("folded Host") << QByteArray("GET / HTTP/1.1\r\nX-A: 1\r\n Host: evil\r\n\r\n")
                                 << -905 << badRequest << texts("GET / HTTP/1.1", header);
    QTest::newRow("NUL in the header block")
        << bytes("GET /nul HTTP/1.1\r\nX-A: 1\0X-B: 2\r\n\r\n") << -905 << badRequest
        << texts("GET /nul HTTP/1.1", header);
    QTest::newRow("Expect other than 100-continue")
        << QByteArray("PUT / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue, more\r\n"
                      "Content-Length: 2\r\n\r\nab")
        << -910 << refusal("417 Expectation Failed")
        << texts("PUT / HTTP/1.1", "Expectation failed");
    QTest::newRow("header line without colon")
        << QByteArray("GET / HTTP/1.1\r\nHost: a\r\nno colon here\r\n\r\n") << -905 << badRequest
        << texts("GET / HTTP/1.1", "Invalid request header");
    QTest::newRow("header block over 8 KiB")
        << "GET / HTTP/1.1\r\nX-Big: " + QByteArray(9000, 'b') + "\r\n\r\n"
        << -906 << refusal("431 Request Header Fields Too Large")
        << texts("GET / HTTP/1.1", "Request header block too large");
    QTest::newRow("request line over 8 KiB")
        << "GET /" + QByteArray(9000, 'p') << -906 << refusal("431 Request Header Fields Too Large")
        << texts(nullptr, "Request header block too large");
    QTest::newRow("declared body over the maximum")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\nabc") << -907
        << refusal("413 Content Too Large") << texts("POST / HTTP/1.1", "Request body too large");
    // Refused at once, without the interim answer.
    QTest::newRow("expecting continue, body over the maximum")
        << QByteArray("POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2000000\r\n\r\n")
        << -907 << refusal("413 Content Too Large")
        << texts("POST / HTTP/1.1", "Request body too large");
    QTest::newRow("chunks over the maximum")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "80000\r\n")
            + QByteArray(0x80000, 'c') + "\r\n80001\r\n"
        << -907 << refusal("413 Content Too Large")
        << texts("POST / HTTP/1.1", "Request body too large");
    QTest::newRow("content-length not a number")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n") << -908 << badRequest
        << texts("POST / HTTP/1.1", framing);
    QTest::newRow("negative content-length")
        << QByteArray("POST / HTTP/1.1\r\ncontent-length: -1\r\n\r\n") << -908 << badRequest
        << texts("POST / HTTP/1.1", framing);
    QTest::newRow("two different content-lengths")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-length: 4\r\n\r\nabcd")
        << -908 << badRequest << texts("POST / HTTP/1.1", framing);
    QTest::newRow("content-length with transfer-encoding") << QByteArray(
        "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3\r\nabc\r\n0\r\n\r\n") << -908 << badRequest << texts("POST / HTTP/1.1", framing);
    QTest::newRow("folded content-length")
        << QByteArray("POST / HTTP/1.1\r\nX-A: a\r\n Content-Length: 5\r\n\r\nabcde") << -905
        << badRequest << texts("POST / HTTP/1.1", header);
    QTest::newRow("folded transfer-encoding")
        << QByteArray("POST / HTTP/1.1\r\nX-A: a\r\n\tTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
        << -905 << badRequest << texts("POST / HTTP/1.1", header);
    QTest::newRow("space before the colon of content-length")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length : 3\r\n\r\nabc") << -905 << badRequest
        << texts("POST / HTTP/1.1", header);
    QTest::newRow("unknown transfer coding")
        << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n") << -908
        << notImplemented << texts("POST / HTTP/1.1", framing);
    QTest::newRow("chunk size not hexadecimal")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")
        << -908 << badRequest << texts("POST / HTTP/1.1", framing);
    QTest::newRow("trailers ended by a line of spaces")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n  \r\n"
                      "GET /admin HTTP/1.1\r\nHost: a\r\n\r\n")
        << -908 << badRequest << texts("POST / HTTP/1.1", framing);
    QTest::newRow("chunk data longer than its size") << QByteArray(
        "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n")
                                                     << -908 << badRequest
                                                     << texts("POST / HTTP/1.1", framing);
}

void TestZRHttpServer::refused()
{
    QFETCH(QByteArray, request);
    QFETCH(int, code);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, texts);

    Served s;
    Peer client(s.run.port);
    QVERIFY(client.send(request));
    QCOMPARE(withoutDate(client.readAll()), answer);
    QVERIFY(client.closedByPeer());
    QCOMPARE(s.app.errors(), QList<int> { code });
    QCOMPARE(s.app.requests().size(), 0);
    QCOMPARE(HttpLog::texts(), texts);
}

void TestZRHttpServer::arrivesWholeFromPieces_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QVector<int>>("cuts");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("headerName");
    QTest::addColumn<QByteArray>("headerValue");

    const QByteArray text = blankHeavyText(3000);
    const QByteArray head = "POST /text HTTP/1.1\r\nHost: a\r\nContent-Length: 3000\r\n\r\n";
    const int headSize = head.size();
    QTest::newRow("3000-byte body in six writes")
        << head + text
        << QVector<int> { 9, headSize, headSize + 700, headSize + 1024, headSize + 2000,
               headSize + 2999 }
        << text << QByteArray("Host") << QByteArray("a");

    const QByteArray cookie = QByteArray(3 * 1024, 'k');
    const QByteArray headers = "GET /h HTTP/1.1\r\nHost: a\r\nCookie: " + cookie + "\r\n\r\n";
    QTest::newRow("3 KiB of headers in two writes")
        << headers << QVector<int> { 1500 } << QByteArray() << QByteArray("Cookie") << cookie;

    const QByteArray chunked
        = bytes("POST /c HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
                "5;name=value\r\n \r\n\0 \r\n"
                "7d0\r\n")
        + text.left(2000) + "\r\n0\r\nX-Trailer: dropped\r\n\r\n";
    const int chunkStart = chunked.indexOf("\r\n\r\n") + 4;
    const int chunkedSize = chunked.size();
    QTest::newRow("chunked upload cut inside sizes, data and line ends")
        << chunked
        << QVector<int> { chunkStart + 2, chunkStart + 16, chunkStart + 21, chunkStart + 500,
               chunkedSize - 25, chunkedSize - 1 }
        << bytes(" \r\n\0 ") + text.left(2000) << QByteArray("Transfer-Encoding")
        << QByteArray("chunked");
}

void TestZRHttpServer::arrivesWholeFromPieces()
{
    QFETCH(QByteArray, request);
    QFETCH(QVector<int>, cuts);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, headerName);
    QFETCH(QByteArray, headerValue);

    Served s;
    Peer client(s.run.port);
    QVERIFY(client.sendInPieces(request, cuts));
    const QByteArray answer = client.readAll();
    QVERIFY(client.closedByPeer());
    const QList<Seen> seen = s.app.requests();
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].body.size(), body.size());
    QVERIFY(seen[0].body == body);
    QVERIFY(seen[0].headers.value(headerName) == headerValue);
    QCOMPARE(answer, okReply(seen[0].summary()));
    // Described once, however many pieces the request line came in.
    QCOMPARE(HttpLog::texts().size(), 1);
}

void TestZRHttpServer::continueBeforeTheBody()
{
    Served s;
    Peer client(s.run.port);
    QVERIFY(client.send(
        "PUT /up HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"));
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n";
    QByteArray got;
    QTRY_VERIFY((got += client.readAll(50)).size() >= interim.size());
    QCOMPARE(got, interim);
    QVERIFY(client.send("a b\r\n"));
    QCOMPARE(client.readAll(), okReply(summary("PUT", "/up", "HTTP/1.1", "a b\r\n")));
}

// Where the next request would start is in doubt, or the client speaks another protocol: one
// answer, then the connection ends.
void TestZRHttpServer::endsAfterItsAnswer_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer"); // the start of the status line, a line of the body
    QTest::newRow("unframed POST, a GET in the same write")
        << false
        << QByteArray("POST /a HTTP/1.1\r\nHost: a\r\n\r\nGET /b HTTP/1.1\r\nHost: a\r\n\r\n")
        << QByteArray("200 OK\r\n.*\r\n\r\n/a$");
    QTest::newRow("HTTP/1.0 chunks, keep-alive asked")
        << false
        << QByteArray(
               "PUT /c HTTP/1.0\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n\r\n"
               "1\r\nx\r\n0\r\n\r\n")
        << QByteArray("200 OK\r\n.*\r\n\r\n/c$");
    QTest::newRow("plain HTTP on the HTTPS port")
        << true << QByteArray("GET / HTTP/1.1\r\nHost: a\r\n\r\n")
        << QByteArray("400 Bad Request\r\n.*\r\n\r\nThis port speaks HTTPS");
}

void TestZRHttpServer::endsAfterItsAnswer()
{
    QFETCH(bool, tls);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    Served s;
    s.app.answer
        = [&s](const Seen &seen) { s.server.sendReply(ZRHttpReply::text(seen.path), seen.thread); };
    QByteArray certificate, key;
    if (tls) {
        QVERIFY(ZRTls::generateSelfSigned(QStringLiteral("t"), {}, 1, &certificate, &key));
        QVERIFY(s.server.setTlsCertificate(certificate, key));
    }
    Peer client(s.run.port);
    QVERIFY(client.send(request));
    const QByteArray got = client.readAll();
    QVERIFY(client.closedByPeer());
    QCOMPARE(got.count("HTTP/1.1 "), 1);
    QVERIFY2(got.contains("\r\nConnection: close\r\n")
            && QRegularExpression(QString::fromLatin1("^HTTP/1.1 " + answer),
                QRegularExpression::DotMatchesEverythingOption)
                   .match(QString::fromLatin1(got))
                   .hasMatch(),
        got.constData());
    QCOMPARE(s.app.requests().size(), tls ? 0 : 1);
}

// A connection the server ends is read whole by a client that sends more once it has read the
// head of the first answer: what comes after the last answer is dropped, not met with a reset.
// The client's small receive buffer keeps the end of the answers in the server's when it ends.
void TestZRHttpServer::closeIsReadWhole_data()
{
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QByteArray>("extra"); // sent once the first head is in
    QTest::addColumn<int>("limit"); // requests per connection
    QTest::addColumn<int>("answers");
    QTest::addColumn<QByteArray>("lastStatus");
    const QByteArray get
        = "GET /2k HTTP/1.1\r\nHost: a\r\nX-Pad: " + QByteArray(300, 'p') + "\r\n\r\n";
    QTest::newRow("a large reply, then a CRLF")
        << QByteArray("GET /big HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
        << QByteArray("\r\n")
        << 1000 << 1 << QByteArray("200 OK");
    QTest::newRow("pipelined past the request limit")
        << get.repeated(200) << get.repeated(40) << 100 << 100 << QByteArray("200 OK");
    QTest::newRow("a refusal, its body following")
        << QByteArray("POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 3000000\r\n\r\n")
        << QByteArray(256 * 1024, 'b') << 1000 << 1 << QByteArray("413 Content Too Large");
}

void TestZRHttpServer::closeIsReadWhole()
{
    QFETCH(QByteArray, requests);
    QFETCH(QByteArray, extra);
    QFETCH(int, limit);
    QFETCH(int, answers);
    QFETCH(QByteArray, lastStatus);
    const QByteArray big(4 * 1024 * 1024, 'x');
    Served s;
    s.server.setMaxRequestsPerConnection(limit);
    s.app.answer = [&](const Seen &seen) {
        const int size = seen.path == "/big" ? big.size() : 2048;
        s.server.sendReply(ZRHttpReply::text(big.left(size)), seen.thread);
    };
    Peer client;
    client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int receiveBuffer = 16 * 1024;
    ::setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(s.run.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(::connect(client.fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0);
    QVERIFY(client.send(requests));
    QByteArray got;
    int error = 0;
    char buffer[65536];
    for (bool sent = false;;) {
        pollfd p { client.fd, POLLIN, 0 };
        QVERIFY2(::poll(&p, 1, 10000) == 1, "the server went silent");
        const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
        error = n < 0 ? errno : 0;
        if (n <= 0)
            break;
        got.append(buffer, int(n));
        if (!sent && got.contains("\r\n\r\n"))
            sent = client.send(extra);
    }
    QCOMPARE(error, 0); // an orderly end, not a reset
    QCOMPARE(got.count("HTTP/1.1 "), answers);
    const int last = got.lastIndexOf("HTTP/1.1 ");
    QVERIFY(got.mid(last).startsWith("HTTP/1.1 " + lastStatus + "\r\n"));
    QVERIFY(got.mid(last).contains("\r\nConnection: close\r\n"));
    if (requests.startsWith("GET /big"))
        QCOMPARE(got.size() - got.indexOf("\r\n\r\n") - 4, big.size());
}

// After stop(), the answer to a request held from before closes its connection, and the
// request pipelined behind it is never served.
void TestZRHttpServer::stopEndsAHeldRequestsConnection()
{
    Served s;
    s.app.answer = [&s](const Seen &seen) {
        if (seen.path != "/hold")
            s.server.sendReply(ZRHttpReply::text(seen.path), seen.thread);
    };
    Peer client(s.run.port);
    QVERIFY(
        client.send("GET /hold HTTP/1.1\r\nHost: a\r\n\r\nGET /after HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_COMPARE(s.app.requests().size(), 1);
    s.server.stop();
    s.server.sendReply(ZRHttpReply::text("late"), s.app.requests().at(0).thread);
    const QByteArray got = client.readAll();
    QCOMPARE(got.count("HTTP/1.1 "), 1);
    QVERIFY2(got.contains("\r\nConnection: close\r\n") && got.endsWith("late"), got.constData());
    QCOMPARE(s.app.requests().size(), 1);
}

// Nobody to write it: the stream's body ends as it begins, and the connection goes on.
void TestZRHttpServer::streamWithoutAProducerEndsAtOnce()
{
    Served s;
    s.app.answer = [&s](const Seen &seen) {
        s.server.sendReply(
            seen.path == "/none" ? ZRHttpReply::eventStream({}) : ZRHttpReply::text(seen.path),
            seen.thread);
    };
    Peer client(s.run.port);
    QVERIFY(client.send("GET /none HTTP/1.1\r\nHost: a\r\n\r\n"
                        "GET /next HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    const QByteArray got = client.readAll();
    QCOMPARE(got.count("HTTP/1.1 200 OK\r\n"), 2);
    QVERIFY2(
        got.contains("\r\n\r\n0\r\n\r\nHTTP/1.1 200") && got.endsWith("/next"), got.constData());
}

// Clients that come at once, more than the idle threads, each get a thread at once: none waits
// queued behind a thread woken for another. The cap holds them in the backlog until it is raised,
// so that the accept loop takes them in one pass; each handler holds its thread until all came.
void TestZRHttpServer::aBurstGetsAThreadForEachClient()
{
    Served s;
    QSemaphore arrived, gate;
    std::atomic<int> warmEnded { 0 };
    s.app.answer = [&](const Seen &seen) {
        if (seen.path == "/gate")
            return; // held: its connection keeps the cap full, and never gives way
        if (seen.path == "/warm")
            countEnds(seen.thread, warmEnded);
        if (seen.path == "/hold") {
            arrived.release();
            gate.tryAcquire(1, 20000);
        }
        s.server.sendReply(ZRHttpReply::text(seen.path), seen.thread);
    };
    const QByteArray close = " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    for (int i = 0; i < 2; ++i) { // two threads served, now idle
        Peer warm(s.run.port);
        QVERIFY(warm.send("GET /warm" + close) && warm.readAll().endsWith("/warm"));
        warm.close();
        QTRY_COMPARE(warmEnded.load(), i + 1);
    }
    s.server.setMaxConnections(1);
    Peer held(s.run.port);
    QVERIFY(held.send("GET /gate" + close));
    QTRY_COMPARE(s.app.requests().size(), 3);
    Peer burst[4];
    for (Peer &client : burst)
        QVERIFY(client.connectTo(s.run.port) && client.send("GET /hold" + close));
    s.server.setMaxConnections(0);
    QTRY_COMPARE(arrived.available(), 4);
    gate.release(4);
    for (Peer &client : burst)
        QVERIFY(client.readAll().endsWith("/hold"));
    s.server.sendReply(ZRHttpReply::text("gate"), s.app.requests().at(2).thread);
    QVERIFY(held.readAll().endsWith("gate"));
}

void TestZRHttpServer::realClients_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<QByteArray>("output");

    const QByteArray ok = "200\n";
    const auto url = [](const char *path) {
        return QStringLiteral("http://127.0.0.1:{port}") + QLatin1String(path);
    };
    const QString upload = QStringLiteral("--data-binary");
    const QString file = QStringLiteral("@{file}");
    const QString header = QStringLiteral("-H");

    QTest::newRow("curl GET with a header")
        << curl
        << curlBase + QStringList { header, QStringLiteral("X-Test: one   two"), url("/get?q=1") }
        << qint64(0)
        << summary("GET", "/get?q=1", "HTTP/1.1", {}, { { "X-Test", "one   two" } }) + ok;
    QTest::newRow("curl 200 KiB upload")
        << curl << curlBase + QStringList { upload, file, url("/upload") } << qint64(0)
        << summary("POST", "/upload", "HTTP/1.1", payload) + ok;
    QTest::newRow("curl chunked upload") << curl
                                         << curlBase
            + QStringList { header, QStringLiteral("Transfer-Encoding: chunked"), upload, file,
                  url("/chunked") } << qint64(0)
                                         << summary("POST", "/chunked", "HTTP/1.1", payload) + ok;
    // Without the interim answer curl would wait out its two-minute expect timeout.
    QTest::newRow("curl expecting continue")
        << curl
        << curlBase
            + QStringList { header, QStringLiteral("Expect: 100-continue"),
                  QStringLiteral("--expect100-timeout"), QStringLiteral("120"), upload, file,
                  url("/expect") }
        << qint64(0) << summary("POST", "/expect", "HTTP/1.1", payload) + ok;
    QTest::newRow("curl 1.5 MiB upload, its own expect")
        << curl
        << curlBase
            + QStringList { QStringLiteral("--expect100-timeout"), QStringLiteral("120"), upload,
                  QStringLiteral("@") + bigPayloadFile, url("/big") }
        << qint64(2 * 1024 * 1024) << summary("POST", "/big", "HTTP/1.1", bigPayload) + ok;
    QTest::newRow("curl upload over the maximum: 413") << curl
                                                       << curlBase
            + QStringList { QStringLiteral("--expect100-timeout"), QStringLiteral("120"), upload,
                  QStringLiteral("@") + bigPayloadFile, url("/big") }
                                                       << qint64(0) << QByteArray("Content Too Large\n413\n");
    QTest::newRow("curl headers over 8 KiB: 431") << curl
                                                  << curlBase
            + QStringList { header, QStringLiteral("X-Big: ") + QString(9000, QLatin1Char('b')),
                  url("/") } << qint64(0)
        << QByteArray("Request Header Fields Too Large\n431\n");
    QTest::newRow("python PUT") << python << pythonArguments("/py", "put") << qint64(0)
                                << summary(
                                       "PUT", "/py", "HTTP/1.1", payload, { { "X-Test", "py" } })
            + ok;
    QTest::newRow("python chunked") << python << pythonArguments("/pyc", "chunked") << qint64(0)
                                    << summary("POST", "/pyc", "HTTP/1.1", payload) + ok;
    QTest::newRow("python lower-case content-length")
        << python << pythonArguments("/low", "lower") << qint64(0)
        << summary("POST", "/low", "HTTP/1.1", payload) + ok;
    // http.client cannot wait for the interim answer: it sends the body at once.
    QTest::newRow("python upload over the maximum: 413")
        << python << pythonArguments("/low", "lower") << qint64(64 * 1024)
        << QByteArray("Content Too Large\n413\n");
    QTest::newRow("python TRACE: 501")
        << python << pythonArguments("/", "trace") << qint64(0)
        << QByteArray("Not Implemented\n501\n");
}

void TestZRHttpServer::realClients()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(qint64, maxBodySize);
    QFETCH(QByteArray, output);

    Served s(Qt::DirectConnection, 0, maxBodySize);
    const Client client = runClient(program, arguments, s.run.port, payloadFile);
    QVERIFY2(client.finished, client.errors.constData());
    QVERIFY2(client.exitCode == 0, client.errors.constData());
    QCOMPARE(client.output, output);
}

void TestZRHttpServer::droppedWithoutAnswer_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("dribble");
    QTest::addColumn<bool>("halfClose");

    QTest::newRow("closed at once") << QByteArray() << false << true;
    QTest::newRow("half a request, then closed") << QByteArray("GET / HT") << false << true;
    QTest::newRow("silent") << QByteArray() << false << false;
    QTest::newRow("request line, then silent")
        << QByteArray("GET / HTTP/1.1\r\n") << false << false;
    QTest::newRow("body short of its length")
        << QByteArray("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nabc") << false
        << false;
    QTest::newRow("a byte at a time") << QByteArray("GET / HTTP/1.1\r\nX-Slow: ") << true << false;
}

void TestZRHttpServer::droppedWithoutAnswer()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, dribble);
    QFETCH(bool, halfClose);

    Served s(Qt::DirectConnection, 300);
    Peer client(s.run.port);
    QVERIFY(client.send(sent));
    if (halfClose)
        ::shutdown(client.fd, SHUT_WR);
    if (dribble) {
        // 250 bytes at one per 40 ms outlast the timeout many times over.
        int dribbled = 0;
        for (; dribbled < 250 && !client.closedByPeer(40); ++dribbled)
            client.send("s");
        QVERIFY2(dribbled < 250, "still open after 10 s of dribbling");
    }
    QVERIFY(client.closedByPeer(10000));
    QCOMPARE(client.readAll(100), QByteArray());
    QCOMPARE(s.app.requests().size(), 0);
    QCOMPARE(s.app.errors(), QList<int>());
}

void TestZRHttpServer::queuedToAMainThreadObject()
{
    // Short, to show it does not run while the application holds the request.
    Served s(Qt::AutoConnection, 300);
    s.app.answer = nullptr;
    // One thread serves every connection: a request the application holds holds none.
    s.server.setMaxConnectionThreads(1);
    QProcess client;
    QStringList arguments = pythonArguments("/queued", "get");
    arguments.replaceInStrings(QStringLiteral("{port}"), QString::number(s.run.port));
    arguments.replaceInStrings(QStringLiteral("{file}"), payloadFile);
    client.start(python, arguments);
    Peer other(s.run.port);
    QVERIFY(other.send("GET /other HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(s.app.requests().size(), 2, 30000);
    const QList<Seen> held = s.app.requests();
    const Seen seen = held.at(held.at(0).path == "/queued" ? 0 : 1);
    QCOMPARE(seen.deliveredOn, QThread::currentThread());
    QCOMPARE(seen.path, QByteArray("/queued"));
    QTest::qWait(1000);
    s.server.sendReply(okReply(seen.summary()), seen.thread);
    QVERIFY(client.waitForFinished(30000));
    QCOMPARE(client.readAllStandardOutput(), seen.summary() + "200\n");
    const Seen later = held.at(held.at(0).path == "/queued" ? 1 : 0);
    later.thread->next(); // unanswered: the connection reads on
    QVERIFY(other.send("GET /third HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_COMPARE(s.app.requests().size(), 3);
    s.server.sendReply(okReply("third"), s.app.requests().last().thread);
    QCOMPARE(other.readAll(), okReply("third"));
    QCOMPARE(s.app.errors(), QList<int>());
}

// An application may read a further request instead of answering; the time it held the
// first one must not count against the next.
void TestZRHttpServer::nextRequestGetsTheFullTime()
{
    Served s(Qt::DirectConnection, 300);
    const Application::Answer answer = s.app.answer;
    s.app.answer = [answer](const Seen &seen) {
        if (seen.path != "/first")
            answer(seen);
    };
    Peer client(s.run.port);
    QVERIFY(client.send("GET /first HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_COMPARE(s.app.requests().size(), 1);
    QTest::qWait(600);
    s.app.requests().first().thread->next();
    QVERIFY(client.sendInPieces("GET /second HTTP/1.1\r\nHost: a\r\n\r\n", { 5 }));
    QCOMPARE(client.readAll(), okReply(summary("GET", "/second", "HTTP/1.1", {})));
}

void TestZRHttpServer::replyToAGoneClient()
{
    Served s;
    s.app.answer = nullptr;
    Peer client(s.run.port);
    QVERIFY(client.send("GET /gone HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_COMPARE(s.app.requests().size(), 1);
    ZRSocketThread *thread = s.app.requests().first().thread;
    client.abort();
    // The reset has reached the server's end of the connection.
    QTRY_VERIFY(isReset(thread->clientSocket()));
    s.server.sendReply(okReply(QByteArray(256 * 1024, 'r')), thread);
    QCOMPARE(s.app.errors(), QList<int> { -901 });
    QCOMPARE(HttpLog::texts(),
        (QStringList { QStringLiteral("Request description: GET /gone HTTP/1.1"),
            QStringLiteral("Send error") }));
}

void TestZRHttpServer::replyToAClientThatStopsReading()
{
    // Far more than the socket buffers hold; the client never reads any of it.
    Served s(Qt::DirectConnection, 300);
    s.app.answer = [&s](const Seen &seen) {
        s.server.sendReply(okReply(QByteArray(32 * 1024 * 1024, 'r')), seen.thread);
    };
    Peer client(s.run.port);
    QVERIFY(client.send("GET /big HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(s.app.errors(), QList<int> { -901 }, 15000);
}

void TestZRHttpServer::replyFormsSendExactBytes_data()
{
    QTest::addColumn<ReplyForm>("form");
    QTest::newRow("raw bytes") << RawReply;
    QTest::newRow("part") << PartReply;
    QTest::newRow("multipart") << MultiPartReply;
}

void TestZRHttpServer::replyFormsSendExactBytes()
{
    QFETCH(ReplyForm, form);

    ZRHttpPart part;
    part.setStartLine("HTTP/1.1 200 OK");
    part.setHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain"));
    part.setBody(bytes("no line end\0\r"));
    ZRHttpMultiPart multiPart(MultipartFormData);
    multiPart.setStartLine("HTTP/1.1 200 OK\n");
    multiPart.append(part);
    ZRHttpMultiPart nested(MultipartRelated);
    nested.append(part);
    multiPart.append(nested);
    const QByteArray raw = bytes("HTTP/1.0 204 No Content\n\r\n\0tail");
    const QByteArray expected = form == RawReply ? raw
        : form == PartReply                      ? part.toByteArray()
                                                 : multiPart.toByteArray();
    QVERIFY(!expected.isEmpty());

    Served s;
    s.app.answer = [&](const Seen &seen) {
        if (form == RawReply)
            s.server.sendReply(raw, seen.thread);
        else if (form == PartReply)
            s.server.sendReply(part, seen.thread);
        else
            s.server.sendReply(multiPart, seen.thread);
    };
    Peer client(s.run.port);
    QVERIFY(client.send("GET / HTTP/1.1\r\nHost: a\r\n\r\n"));
    QCOMPARE(client.readAll(), expected);
    QVERIFY(client.closedByPeer());
}

void TestZRHttpServer::manyConcurrentClients()
{
    constexpr int clients = 200;
    Served s;
    QByteArray config;
    QSet<QByteArray> expected;
    const QByteArray base = "http://127.0.0.1:" + QByteArray::number(s.run.port) + "/n/";
    for (int i = 0; i < clients; ++i) {
        config += "url = \"" + base + QByteArray::number(i) + "\"\noutput = \"/dev/null\"\n";
        expected.insert("200 " + base + QByteArray::number(i));
    }
    const Client client = runClient(curl,
        { QStringLiteral("-sS"), QStringLiteral("--noproxy"), QStringLiteral("*"),
            QStringLiteral("--parallel"), QStringLiteral("--parallel-max"), QStringLiteral("50"),
            QStringLiteral("-w"), QStringLiteral("%{http_code} %{url_effective}\\n"),
            QStringLiteral("-K"), QStringLiteral("-") },
        s.run.port, {}, config);
    QVERIFY2(client.finished && client.exitCode == 0, client.errors.constData());
    const QList<QByteArray> lines = client.output.trimmed().split('\n');
    QCOMPARE(lines.size(), clients);
    QSet<QByteArray> answered;
    for (const QByteArray &line : lines)
        answered.insert(line);
    QCOMPARE(answered, expected);
    QCOMPARE(s.app.requests().size(), clients);
}

// Destruction waits for a slot still inside the server, closes a connection whose request is
// still arriving, and leaves a request the application holds for it to answer.
void TestZRHttpServer::destroyedWhileConnectionsAreMidRequest()
{
    auto *server = new ZRHttpServer;
    QSemaphore slowStarted;
    QMutex mutex;
    ZRSocketThread *held = nullptr;
    connect(
        server, &ZRHttpServer::connectionThread, server,
        [&](const ZRHttpRequest &request, ZRSocketThread *thread) {
            if (request.path() == QLatin1String("/held")) {
                QMutexLocker lock(&mutex);
                held = thread;
                return;
            }
            slowStarted.release();
            QThread::msleep(300); // the server is being destroyed meanwhile
            server->sendReply(okReply("slow"), thread);
        },
        Qt::DirectConnection);
    QVERIFY(server->start(QStringLiteral("127.0.0.1"), 0, 16) > 0);
    const int port = server->serverPort();
    Peer arriving(port), holding(port), slow(port);
    QVERIFY(arriving.send("GET /arriving HTTP/1.1\r\nHost: x"));
    QVERIFY(holding.send("GET /held HTTP/1.1\r\nHost: a\r\n\r\n"));
    const auto heldThread = [&] {
        QMutexLocker lock(&mutex);
        return held;
    };
    QTRY_VERIFY(heldThread() != nullptr);
    QTRY_VERIFY(
        HttpLog::texts().contains(QStringLiteral("Request description: GET /arriving HTTP/1.1")));
    QVERIFY(slow.send("GET /slow HTTP/1.1\r\nHost: a\r\n\r\n"));
    QVERIFY(slowStarted.tryAcquire(1, 10000));

    delete server;
    QCOMPARE(slow.readAll(), okReply("slow"));
    QCOMPARE(arriving.readAll(), QByteArray()); // closed without an answer
    QVERIFY(arriving.closedByPeer());
    QVERIFY(!holding.closedByPeer(100));
    QVERIFY(ZRSocket::sendByteArray(held->clientSocket(), okReply("held")));
    held->stop();
    QCOMPARE(holding.readAll(), okReply("held"));
}

// Connection threads run on a small stack unless told otherwise: the heaviest path through
// the library and a slot that parses JSON as deep as requests may nest it, builds JSON and
// logs must fit in it.
void TestZRHttpServer::defaultStackSurvivesTheDeepestPath()
{
    TemporaryWorkingDirectory logHere;
    QVERIFY(logHere.isValid());
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=true"));
    Served s;
    QCOMPARE(s.server.threadStackSize(), 256u * 1024);
    s.app.answer = [&s](const Seen &seen) {
        QJsonObject answer { { QStringLiteral("path"), QString::fromUtf8(seen.path) },
            { QStringLiteral("body"), QJsonDocument::fromJson(seen.body).object() } };
        QJsonArray headers;
        for (auto it = seen.headers.cbegin(); it != seen.headers.cend(); ++it)
            headers.append(QString::fromUtf8(it.key() + ": " + it.value()));
        answer.insert(QStringLiteral("headers"), headers);
        const QByteArray body = QJsonDocument(answer).toJson();
        qDebug() << "answering" << seen.path << QStringLiteral("with %1 bytes").arg(body.size());
        Logger::logInfo(QStringLiteral("answered %1").arg(QString::fromUtf8(seen.path)));
        s.server.sendReply(okReply(body), seen.thread);
    };
    // 64 levels, the most a request's json() parses.
    const QByteArray deep = QByteArray("{\"a\":[").repeated(32) + QByteArray("]}").repeated(32);
    Peer client(s.run.port);
    QVERIFY(client.send(
        "POST /deep?q=1 HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nX-A: b\r\n\r\n"
        + QByteArray::number(deep.size(), 16) + "\r\n" + deep + "\r\n0\r\n\r\n"));
    const QByteArray reply = client.readAll();
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.http.debug=true"));
    QVERIFY2(reply.startsWith("HTTP/1.1 200 OK"), reply.constData());
    QVERIFY(reply.contains("\"X-A: b\""));
    const QJsonObject echoed
        = QJsonDocument::fromJson(reply.mid(reply.indexOf("\r\n\r\n") + 4)).object();
    QCOMPARE(echoed.value(QStringLiteral("body")), QJsonDocument::fromJson(deep).object());
}

// A ZRHttpReply keeps the connection when the request allows it; raw bytes end it.
void TestZRHttpServer::persistentConnectionsWithRealClients()
{
    Served s;
    s.app.answer = [&s](const Seen &seen) {
        if (seen.path == "/raw")
            s.server.sendReply(okReply(seen.summary()), seen.thread);
        else
            s.server.sendReply(ZRHttpReply::text(seen.summary()), seen.thread);
    };
    // Through the connection set's lock, which the accept loop takes on every pass, the new
    // answer is ordered before the connections' threads start, for ThreadSanitizer too.
    s.server.waitForConnections(0);
    const Client client = runClient(python,
        { QStringLiteral("-c"), QString::fromLatin1(pythonKeepAlive), QStringLiteral("{port}") },
        s.run.port, {});
    QVERIFY2(client.ok(), client.errors.constData());
    QCOMPARE(client.output,
        QByteArray("three on one: ['/a', 'None'] ['/b', 'None'] ['/c', 'close'] True closed\n"
                   "pipelined: ['/p1', '/p2', '/p3']\n"
                   "HTTP/1.0: ['Connection: close'] True\n"
                   "HTTP/1.0: ['Connection: keep-alive'] True\n"
                   "raw bytes: 1 True\n"));
    const QList<Seen> seen = s.app.requests();
    QCOMPARE(seen.size(), 10);
    QCOMPARE(seen[1].thread, seen[0].thread);
    QCOMPARE(seen[2].thread, seen[0].thread);
}

// An idle connection ends after the keep-alive time, or sooner when a client waits at the cap;
// then the oldest incomplete request; a request the application holds is never ended for it.
void TestZRHttpServer::idleConnectionsGiveWay()
{
    Served s;
    s.server.setKeepAliveTimeout(400);
    s.server.setMaxConnections(3);
    std::atomic<int> closed { 0 }; // ends of /waiting's connections
    s.app.answer = [&](const Seen &seen) {
        if (seen.path == "/waiting")
            countEnds(seen.thread, closed);
        if (seen.path != "/hold")
            s.server.sendReply(ZRHttpReply::text(seen.path), seen.thread);
    };
    s.server.waitForConnections(0); // as above
    const QByteArray get = "GET /idle HTTP/1.1\r\nHost: a\r\n\r\n";
    Peer idle(s.run.port);
    QVERIFY(idle.send(get));
    QVERIFY(idle.readAll(150).endsWith("/idle")); // and still open
    QVERIFY(!idle.closedByPeer(0));
    QVERIFY(idle.closedByPeer(3000)); // the keep-alive time ran out

    Peer held(s.run.port);
    QVERIFY(held.send("GET /hold HTTP/1.1\r\nHost: a\r\n\r\n"));
    QTRY_COMPARE(s.app.requests().size(), 2);
    s.server.setKeepAliveTimeout(60000);
    Peer partial(s.run.port);
    QVERIFY(partial.send("GET /partial HTTP/1.1\r\n"));
    Peer second(s.run.port);
    QVERIFY(second.send(get));
    QVERIFY(second.readAll(150).endsWith("/idle"));
    const QByteArray last = "GET /waiting HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n";
    Peer waiting(s.run.port); // the cap is reached: the idle one makes room
    QVERIFY(waiting.send(last));
    QVERIFY(waiting.readAll().endsWith("/waiting"));
    QVERIFY(second.closedByPeer());
    // The closed one lingers until its client closes too.
    waiting.close();
    QTRY_COMPARE(closed.load(), 1);
    Peer silent(s.run.port); // at the cap again: now the oldest incomplete request
    QVERIFY(silent.readAll(150).isEmpty());
    QVERIFY(waiting.connectTo(s.run.port) && waiting.send(last));
    QVERIFY(waiting.readAll().endsWith("/waiting"));
    QVERIFY(partial.closedByPeer());
    QVERIFY(!silent.closedByPeer(0));
    QVERIFY(!held.closedByPeer(100));
    s.server.sendReply(ZRHttpReply::text("late"), s.app.requests().at(1).thread);
    QVERIFY(held.readAll(500).endsWith("late"));
}

// A connection that waits for its client past the grace leaves its thread for the poll set, and
// goes on where it was, with the same handle: the next request, the rest of one, a reply.
void TestZRHttpServer::parkedConnectionsWakeUp_data()
{
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QVector<int>>("cuts"); // each piece sent after a pause
    QTest::addColumn<bool>("holdFirst"); // the test answers /a after a pause
    QTest::addColumn<int>("replySize"); // more than the sockets hold: read after a pause
    const QByteArray a = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
    const QByteArray ab = a + "GET /b HTTP/1.1\r\nHost: h\r\n\r\n";
    QTest::newRow("idle, woken by the next request")
        << ab << QVector<int> { a.size() } << false << 2;
    QTest::newRow("pipelined, buffered while the first is held")
        << ab << QVector<int>() << true << 2;
    QTest::newRow("pipelined, the next one split across the pause")
        << ab << QVector<int> { ab.size() - 2 } << false << 2;
    QTest::newRow("replies blocked on a full socket, then read")
        << ab << QVector<int>() << false << 16 * 1024 * 1024;
}

void TestZRHttpServer::parkedConnectionsWakeUp()
{
    QFETCH(QByteArray, requests);
    QFETCH(QVector<int>, cuts);
    QFETCH(bool, holdFirst);
    QFETCH(int, replySize);
    constexpr int PauseMs = 150; // well past the grace
    const auto reply = [replySize](const QByteArray &path) {
        return ZRHttpReply::text(path + QByteArray(replySize - path.size(), '.'));
    };
    Served s;
    s.app.answer = [&](const Seen &seen) {
        if (!holdFirst || seen.path != "/a")
            s.server.sendReply(reply(seen.path), seen.thread);
    };
    s.server.waitForConnections(0); // as in persistentConnectionsWithRealClients
    Peer client(s.run.port);
    QVERIFY(client.sendInPieces(requests, cuts, PauseMs));
    if (holdFirst) {
        QTRY_COMPARE(s.app.requests().size(), 1);
        QThread::msleep(PauseMs);
        s.server.sendReply(reply("/a"), s.app.requests().first().thread);
    }
    if (replySize > 1024)
        QThread::msleep(PauseMs);
    const QRegularExpression date(QStringLiteral("Date: [^\r]*\r\n"));
    QString got = QString::fromLatin1(client.readAll(500));
    // Kept open: without the "Connection: close" of a reply on its own.
    QString expected = QString::fromLatin1(reply("/a").toByteArray() + reply("/b").toByteArray());
    expected.remove(QStringLiteral("Connection: close\r\n"));
    QCOMPARE(got.remove(date), expected.remove(date));
    const QList<Seen> seen = s.app.requests();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[1].thread, seen[0].thread);
    QCOMPARE(s.app.errors(), QList<int>());
}

// Gives this process a mount namespace of its own whose /etc/hosts also names "v6only.test"
// (::1) and "both.test" (::1, then 127.0.0.1). False where that is not permitted.
static bool addTestHostNames(const QString &dir)
{
    QFile original(QStringLiteral("/etc/hosts"));
    QFile hosts(dir + QStringLiteral("/hosts"));
    if (!original.open(QIODevice::ReadOnly) || !hosts.open(QIODevice::WriteOnly)
        || hosts.write(original.readAll() + "\n::1 v6only.test both.test\n127.0.0.1 both.test\n")
            <= 0)
        return false;
    hosts.close();
    return ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
        && ::mount(qPrintable(hosts.fileName()), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
}

void TestZRHttpServer::servesIPv6AndDualStack_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("client"); // empty: ZRClient
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("peer");
    const QString v6 = QStringLiteral("::1"), v4 = QStringLiteral("127.0.0.1");
    QTest::newRow("curl to ::1") << v6 << curl << QStringLiteral("[::1]") << v6;
    QTest::newRow("http.client to ::1") << v6 << python << v6 << v6;
    QTest::newRow("dual-stack, curl over IPv4") << QStringLiteral("::") << curl << v4 << v4;
    QTest::newRow("dual-stack, ZRClient to ::1") << QStringLiteral("::") << QString() << v6 << v6;
    QTest::newRow("ZRClient to a name only on ::1")
        << v6 << QString() << QStringLiteral("v6only.test") << v6;
    QTest::newRow("ZRClient past a refusing ::1")
        << v4 << QString() << QStringLiteral("both.test") << v4;
}

void TestZRHttpServer::servesIPv6AndDualStack()
{
    QFETCH(QString, listen);
    QFETCH(QString, client);
    QFETCH(QString, host);
    QFETCH(QString, peer);
    static const bool named = loopback::mayResolveNames() && addTestHostNames(dir.path());
    if (host.endsWith(QLatin1String(".test")) && !named)
        QSKIP("no mount namespace of our own for the test's host names");
    // Dual-stack must not rest on the system's default, set here to IPv6 only.
    if (qgetenv("ZRNET_IN_NETNS") == "1") {
        QFile v6Only(QStringLiteral("/proc/sys/net/ipv6/bindv6only"));
        QVERIFY(v6Only.open(QIODevice::WriteOnly) && v6Only.write("1") == 1);
    }
    ZRHttpServer server;
    Application app(server, Qt::DirectConnection);
    QString seenPeer;
    app.answer = [&](const Seen &seen) {
        seenPeer = seen.thread->remoteAddress();
        server.sendReply(okReply("hi"), seen.thread);
    };
    Running run(server, listen);
    const auto stop = qScopeGuard([&server] { server.stop(); });
    const QString port = QString::number(run.port);
    const char *script = "import http.client as h, sys; c = h.HTTPConnection(sys.argv[1], "
                         "int(sys.argv[2])); c.request('GET', '/'); print(c.getresponse().status)";
    ZRClient zr;
    QByteArray answer;
    if (client == curl)
        answer = runChild(curl, curlBase + QStringList { "http://" + host + ':' + port }).output;
    else if (client == python)
        answer
            = runChild(python, { QStringLiteral("-c"), QLatin1String(script), host, port }).output;
    else if (zr.connectToServer(host, run.port) > 0
        && ZRSocket::sendMessage(zr.socket(), QStringLiteral("GET / HTTP/1.0\r\n\r\n")))
        answer = zr.receiveLine(10000);
    QVERIFY2(answer.contains("200"), answer.constData());
    QVERIFY(server.waitForConnections(10000)); // its thread is done with seenPeer
    QCOMPARE(seenPeer, peer);
}

QTEST_GUILESS_MAIN(TestZRHttpServer)
#include "tst_zrhttpserver.moc"
