#include "listenhook.h"
#include "loopback.h"
#include "zrsocket.h"
#include "zrsocket_p.h"

#include <QElapsedTimer>
#include <QtTest>

#include <sys/resource.h>
#include <vector>

using loopback::Peer;

// A listening socket of the test's own, for the client-side cases.
class Listener
{
public:
    explicit Listener(int backlog = 16) : fd(loopback::bindAnyPort(port)) { ::listen(fd, backlog); }
    ~Listener() { ::close(fd); }
    int accept() const { return ::accept(fd, nullptr, nullptr); }
    int port = 0;
    int fd;
};

// An accepted pair: `server` is the library-side descriptor under test.
struct Connection
{
    Connection() : client(listener.port), server(listener.accept()) { }
    ~Connection() { ::close(server); }
    Listener listener;
    Peer client;
    int server;
};

class TestZRSocket : public QObject
{
    Q_OBJECT
private slots:
    void serverSocketRefusals_data();
    void serverSocketRefusals();
    void serverSocketListensCloseOnExec();
    void listenFailureIsReported();
    void waitForConnectionRefusesDeadDescriptors();
    void remoteSocketFailures_data();
    void remoteSocketFailures();
    void remoteSocketUnknownHost();
    void remoteSocketTimesOutOnFullQueue();
    void remoteSocketConnects();
    void descriptorsAboveSelectLimit();
    void neverHandsOutDescriptorZero();
    void optionFailuresAreRecorded();
    void receiveStaysWithinMaxSize_data();
    void receiveStaysWithinMaxSize();
    void receiveMessageTrims();
    void sendsEveryByte();
    void sendToVanishedPeerFailsWithoutSignal();
    void sendToATricklingReaderIsBoundedPerCall();
    void peerAddress();
    void simpleOptions();
};

void TestZRSocket::serverSocketRefusals_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty address") << QString() << false << 0 << QString();
    QTest::newRow("host name") << QStringLiteral("localhost") << false << 0 << QString();
    QTest::newRow("short dotted form") << QStringLiteral("127.1") << false << 0 << QString();
    QTest::newRow("IPv6 in brackets") << QStringLiteral("[::1]") << false << 0 << QString();
    QTest::newRow("port too large") << QStringLiteral("127.0.0.1") << false << 70000 << QString();
    QTest::newRow("port in use") << QStringLiteral("127.0.0.1") << true << 0
                                 << QStringLiteral("Bind failed: Address already in use");
}

void TestZRSocket::serverSocketRefusals()
{
    QFETCH(QString, address);
    QFETCH(bool, portTaken);
    QFETCH(int, port);
    QFETCH(QString, text);
    Listener holder;
    if (portTaken)
        port = holder.port;
    else if (port == 0)
        port = loopback::freePort();
    QCOMPARE(ZRSocket::createServerSocket(address, port, 5), -1);
    QCOMPARE(ZRSocket::lastErrorNumber(), -301);
    QVERIFY2(ZRSocket::lastError().startsWith(QLatin1String("Bind failed: ")),
        qPrintable(ZRSocket::lastError()));
    if (!text.isEmpty())
        QCOMPARE(ZRSocket::lastError(), text);
    // Nothing may have been bound to the port on the way.
    if (!portTaken && port < 65536) {
        Peer probe;
        QVERIFY(!probe.connectTo(port));
    }
}

void TestZRSocket::serverSocketListensCloseOnExec()
{
    const int port = loopback::freePort();
    const int s = ZRSocket::createServerSocket(QStringLiteral("0.0.0.0"), port, 5);
    QVERIFY(s > 0);
    QVERIFY(loopback::isCloseOnExec(s));
    Peer client(port);
    QVERIFY(ZRSocket::waitForConnection(s));
    sockaddr_in peer {};
    const int accepted = ZRSocket::acceptClientConnection(s, peer);
    QVERIFY(accepted > 0);
    QVERIFY(loopback::isCloseOnExec(accepted));
    QCOMPARE(ntohl(peer.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
    ZRSocket::closeSocket(accepted);
    ZRSocket::closeSocket(s);
    QVERIFY(!loopback::isOpen(s));
}

void TestZRSocket::listenFailureIsReported()
{
    int fd = -1;
    listenhook::Scoped refuse([&fd](int socket, int) {
        fd = socket;
        errno = EADDRINUSE;
        return -1;
    });
    QCOMPARE(ZRSocket::createServerSocket(QStringLiteral("127.0.0.1"), 0, 5), -1);
    QCOMPARE(ZRSocket::lastErrorNumber(), -301);
    QCOMPARE(ZRSocket::lastError(), QStringLiteral("Listen failed: Address already in use"));
    QVERIFY(fd > 0);
    QVERIFY(!loopback::isOpen(fd));
}

void TestZRSocket::waitForConnectionRefusesDeadDescriptors()
{
    const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
    ::close(closed);
    // Either would make a wait-then-accept loop spin, or block it for good.
    QVERIFY(!ZRSocket::waitForConnection(closed));
    QVERIFY(!ZRSocket::waitForConnection(-1));
}

void TestZRSocket::remoteSocketFailures_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("refusedPort");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("refused port") << QStringLiteral("127.0.0.1") << true << -106
                                  << QStringLiteral("Socket connection error");
    QTest::newRow("host over 255 bytes")
        << QString(300, QLatin1Char('a')) << false << -201 << QStringLiteral("Host not found");
    QTest::newRow("host of 255 bytes")
        << QString(255, QLatin1Char('a')) << false << -201 << QStringLiteral("Host not found");
}

void TestZRSocket::remoteSocketFailures()
{
    QFETCH(QString, host);
    QFETCH(bool, refusedPort);
    QFETCH(int, code);
    QFETCH(QString, text);
    if (!refusedPort && !loopback::mayResolveNames())
        QSKIP("no private network namespace: host names are not looked up here");
    QCOMPARE(ZRSocket::createRemoteSocket(host, refusedPort ? loopback::freePort() : 80), -1);
    QCOMPARE(ZRSocket::lastErrorNumber(), code);
    QCOMPARE(ZRSocket::lastError(), text);
    // The half-made descriptor was closed: the next socket reuses its number.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    const int again = ::socket(AF_INET, SOCK_STREAM, 0);
    QCOMPARE(again, probe + 1);
    ::close(probe);
    ::close(again);
}

void TestZRSocket::remoteSocketUnknownHost()
{
    if (!loopback::mayResolveNames())
        QSKIP("no private network namespace: host names are not looked up here");
    QCOMPARE(ZRSocket::createRemoteSocket(QStringLiteral("no-such-host.invalid"), 80), -1);
    QCOMPARE(ZRSocket::lastErrorNumber(), -201);
    QCOMPARE(ZRSocket::lastError(), QStringLiteral("Host not found"));
}

void TestZRSocket::remoteSocketTimesOutOnFullQueue()
{
    // A listener that never accepts: once its queue is full the kernel drops
    // further handshakes, so a connect can only time out.
    Listener full(0);
    std::vector<int> fillers;
    for (int i = 0; i < 16; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(full.port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(s);
        pollfd p { s, POLLOUT, 0 };
        if (::poll(&p, 1, 300) == 0)
            break; // this one hangs: the queue is full
    }
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(ZRSocket::createRemoteSocket(QStringLiteral("127.0.0.1"), full.port), -1);
    const qint64 waited = timer.elapsed();
    QCOMPARE(ZRSocket::lastErrorNumber(), -107);
    QCOMPARE(ZRSocket::lastError(), QStringLiteral("Socket connect timeout"));
    QVERIFY2(waited >= 4500 && waited < 30000, QByteArray::number(waited));
    for (int s : fillers)
        ::close(s);
}

void TestZRSocket::remoteSocketConnects()
{
    ZRSocket::createRemoteSocket(QStringLiteral("127.0.0.1"), loopback::freePort());
    const int code = ZRSocket::lastErrorNumber();
    const QString text = ZRSocket::lastError();
    Listener server;
    const int s = ZRSocket::createRemoteSocket(QStringLiteral("127.0.0.1"), server.port);
    QVERIFY(s > 0);
    QVERIFY(loopback::isCloseOnExec(s));
    QCOMPARE(::fcntl(s, F_GETFL) & O_NONBLOCK, 0);
    // A success leaves the earlier failure in the record.
    QCOMPARE(ZRSocket::lastErrorNumber(), code);
    QCOMPARE(ZRSocket::lastError(), text);
    const int accepted = server.accept();
    QVERIFY(ZRSocket::sendMessage(s, QStringLiteral("h\u00e9llo \u20ac")));
    char buf[32];
    QCOMPARE(
        int(::recv(accepted, buf, sizeof buf, 0)), QByteArray("h\xc3\xa9llo \xe2\x82\xac").size());
    ::close(accepted);
    ZRSocket::closeSocket(s);
}

void TestZRSocket::descriptorsAboveSelectLimit()
{
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 2048)
        QSKIP("descriptor limit too low to reach past 1024");
    const rlimit saved = limit;
    limit.rlim_cur = 2048;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> filler;
    while (filler.empty() || filler.back() < 1100)
        filler.push_back(::dup(0));
    Listener server;
    const int s = ZRSocket::createRemoteSocket(QStringLiteral("127.0.0.1"), server.port);
    QVERIFY(s > 1023);
    const int accepted = server.accept();
    QVERIFY(ZRSocket::sendByteArray(accepted, "x"));
    QCOMPARE(ZRSocket::receiveByteArray(s, 10), QByteArray("x"));
    ::close(accepted);
    ZRSocket::closeSocket(s);
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

void TestZRSocket::neverHandsOutDescriptorZero()
{
    // With stdin closed the next socket would be descriptor 0, which means
    // "none" to everything that stores one.
    Listener server;
    const int savedStdin = ::dup(0);
    ::close(0);
    const int listening
        = ZRSocket::createServerSocket(QStringLiteral("127.0.0.1"), loopback::freePort(), 1);
    const int remote = ZRSocket::createRemoteSocket(QStringLiteral("127.0.0.1"), server.port);
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    QVERIFY(listening > 0);
    QVERIFY(remote > 0);
    QVERIFY(loopback::isCloseOnExec(listening) && loopback::isCloseOnExec(remote));
    ZRSocket::closeSocket(listening);
    ZRSocket::closeSocket(remote);
}

void TestZRSocket::optionFailuresAreRecorded()
{
    QVERIFY(!ZRSocket::setSocketReuse(-1));
    QCOMPARE(ZRSocket::lastErrorNumber(), -101);
    QCOMPARE(ZRSocket::lastError(), QStringLiteral("Setsockopt failed: Bad file descriptor"));
    QVERIFY(!ZRSocket::setSocketBuffer(-1, 65536));
    QCOMPARE(ZRSocket::lastErrorNumber(), -102);
    QCOMPARE(ZRSocket::lastError(),
        QStringLiteral("Setsockopt buffer size failed: Bad file descriptor"));
    // The other setters report by result only.
    QVERIFY(!ZRSocket::setSocketNonBlocking(-1));
    QVERIFY(!ZRSocket::setSocketTimeout(-1, 1));
    QVERIFY(!ZRSocket::setSocketNodelay(-1, true));
    QCOMPARE(ZRSocket::lastErrorNumber(), -102);
}

void TestZRSocket::receiveStaysWithinMaxSize_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("maxSize");
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<int>("received");
    QTest::newRow("10 of 25 waiting") << 25 << 10 << false << 10;
    QTest::newRow("short message, one read") << 100 << 4096 << false << 100;
    QTest::newRow("1500 of 3000 waiting") << 3000 << 1500 << false << 1500;
    QTest::newRow("1024 then close") << 1024 << 4096 << true << 1024;
    QTest::newRow("exactly maxSize") << 2048 << 2048 << false << 2048;
    QTest::newRow("no room asked") << 10 << 0 << false << 0;
}

void TestZRSocket::receiveStaysWithinMaxSize()
{
    QFETCH(int, sent);
    QFETCH(int, maxSize);
    QFETCH(bool, peerCloses);
    QFETCH(int, received);
    Connection c;
    QByteArray data(sent, '\0');
    for (int i = 0; i < sent; ++i)
        data[i] = char('a' + i % 26);
    QVERIFY(c.client.send(data));
    if (peerCloses)
        c.client.close();
    else
        QThread::msleep(50); // let every byte reach the receive queue
    const QByteArray got = ZRSocket::receiveByteArray(c.server, maxSize);
    QCOMPARE(got, data.left(received));
}

void TestZRSocket::receiveMessageTrims()
{
    Connection c;
    QVERIFY(c.client.send(QByteArray("  hello\r\n", 9)));
    QCOMPARE(ZRSocket::receiveMessage(c.server, 1024), QStringLiteral("hello"));
    QVERIFY(c.client.send(QByteArray("ab\0cd", 5)));
    QCOMPARE(ZRSocket::receiveMessage(c.server, 1024), QStringLiteral("ab"));
}

void TestZRSocket::sendsEveryByte()
{
    Connection c;
    QVERIFY(ZRSocket::sendByteArray(c.server, QByteArray()));
    // Far more than the socket buffers hold: a single send cannot take it all,
    // on a blocking socket nor on a non-blocking one.
    QByteArray big(8 * 1024 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    for (bool nonBlocking : { false, true }) {
        if (nonBlocking)
            QVERIFY(ZRSocket::setSocketNonBlocking(c.server));
        QByteArray got;
        QThread *reader = QThread::create([&] {
            char buf[65536];
            while (got.size() < big.size()) {
                QThread::usleep(100); // a slow reader keeps the buffers full
                const ssize_t n = ::recv(c.client.fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got.append(buf, int(n));
            }
        });
        reader->start();
        QVERIFY(ZRSocket::sendByteArray(c.server, big));
        QVERIFY(reader->wait(30000));
        delete reader;
        QCOMPARE(got.size(), big.size());
        QVERIFY(got == big);
    }
}

void TestZRSocket::sendToVanishedPeerFailsWithoutSignal()
{
    Connection c;
    c.client.close();
    // The first sends may still be buffered; the reset makes a later one fail.
    // Without MSG_NOSIGNAL the process would be killed here.
    bool failed = false;
    for (int i = 0; i < 50 && !failed; ++i) {
        failed = !ZRSocket::sendByteArray(c.server, QByteArray(1000, 'x'));
        if (!failed)
            QThread::msleep(10);
    }
    QVERIFY(failed);
    QVERIFY(!ZRSocket::sendMessage(c.server, QStringLiteral("still gone")));
}

// The wait for room is bounded for the whole call, not afresh after every partial send.
void TestZRSocket::sendToATricklingReaderIsBoundedPerCall()
{
    Connection c;
    const int small = 16384;
    ::setsockopt(c.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(c.client.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    QVERIFY(ZRSocket::setSocketNonBlocking(c.server));
    const int limit = ZRSocketPrivate::sendStallLimitMs();
    ZRSocketPrivate::setSendStallLimitMs(1000);
    std::atomic<bool> done { false };
    QThread *reader = QThread::create([&] {
        char buf[8192];
        // Never stalls the sender for long, but would take it 6 s to read all.
        for (int i = 0; i < 600 && !done; ++i) {
            QThread::msleep(50);
            ::recv(c.client.fd, buf, sizeof buf, MSG_DONTWAIT);
        }
    });
    reader->start();
    const bool sent = ZRSocket::sendByteArray(c.server, QByteArray(1024 * 1024, 'x'));
    done = true;
    QVERIFY(reader->wait(60000));
    delete reader;
    ZRSocketPrivate::setSendStallLimitMs(limit);
    QVERIFY(!sent);
}

void TestZRSocket::peerAddress()
{
    Connection c;
    QString address = QStringLiteral("stale");
    int port = 42;
    ZRSocket::getSocketAddress(c.server, address, port);
    sockaddr_in local {};
    socklen_t len = sizeof local;
    ::getsockname(c.client.fd, reinterpret_cast<sockaddr *>(&local), &len);
    QCOMPARE(address, QStringLiteral("127.0.0.1"));
    QCOMPARE(port, int(ntohs(local.sin_port)));

    const int unconnected = ::socket(AF_INET, SOCK_STREAM, 0);
    ZRSocket::getSocketAddress(unconnected, address, port);
    QCOMPARE(address, QString());
    QCOMPARE(port, 0);
    ::close(unconnected);
}

void TestZRSocket::simpleOptions()
{
    Connection c;
    QVERIFY(ZRSocket::setSocketNodelay(c.server, false));
    QVERIFY(ZRSocket::setSocketNonBlocking(c.server));
    QVERIFY(::fcntl(c.server, F_GETFL) & O_NONBLOCK);
    QVERIFY(ZRSocket::setSocketBlocking(c.server));
    QCOMPARE(::fcntl(c.server, F_GETFL) & O_NONBLOCK, 0);
    // A receive timeout makes an idle read give up instead of blocking.
    QVERIFY(ZRSocket::setSocketTimeout(c.server, 1));
    QCOMPARE(ZRSocket::receiveByteArray(c.server, 10), QByteArray());
    int *cell = ZRSocket::socketPointer(c.server);
    QCOMPARE(*cell, c.server);
    std::free(cell);
}

QTEST_GUILESS_MAIN(TestZRSocket)
#include "tst_zrsocket.moc"
