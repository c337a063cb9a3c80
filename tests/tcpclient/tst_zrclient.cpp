#include <zrclient.h>
#include <zrsocket.h>

#include "loopback.h"
#include "workdir.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

// A listener whose accept queue holds one connection that nobody accepts, so
// the kernel drops every further handshake and a connect waits in vain.
class FullListener
{
public:
    FullListener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 && ::listen(fd, 0) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
            filled = filler.connectTo(port);
        }
    }
    ~FullListener() { ::close(fd); }

    int fd = -1;
    int port = 0;
    bool filled = false;
    loopback::Peer filler;
};

class tst_ZRClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void failureIsLoggedAndReturnsMinusOne_data();
    void failureIsLoggedAndReturnsMinusOne();
    void connectReturnsHeldDescriptor();
    void connectWithStdinClosed();
    void stopClosesDescriptor();
    void stopWithoutConnectionClosesNothing();
    void reconnectClosesHeldDescriptor_data();
    void reconnectClosesHeldDescriptor();
    void destructionClosesDescriptor();
    void receiveLine_data();
    void receiveLine();

private:
    static QStringList logLines();
    // The server side of the connection the client has just made.
    QTcpSocket *acceptPeer();

    QScopedPointer<TemporaryWorkingDirectory> m_workDir;
    QTcpServer m_server;
};

void tst_ZRClient::initTestCase()
{
    QVERIFY(m_server.listen(QHostAddress::LocalHost));
}

// Every test writes its log into a fresh working directory.
void tst_ZRClient::init()
{
    m_workDir.reset(new TemporaryWorkingDirectory);
    QVERIFY(m_workDir->isValid());
}

void tst_ZRClient::cleanup()
{
    m_workDir.reset();
    while (m_server.hasPendingConnections())
        delete m_server.nextPendingConnection();
}

QStringList tst_ZRClient::logLines()
{
    QFile file(QStringLiteral("libzrnet.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'));
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QTcpSocket *tst_ZRClient::acceptPeer()
{
    if (!m_server.waitForNewConnection(5000))
        return nullptr;
    QTcpSocket *peer = m_server.nextPendingConnection();
    peer->setParent(this);
    return peer;
}

static bool closedByClient(QTcpSocket *peer)
{
    return peer->state() == QAbstractSocket::UnconnectedState || peer->waitForDisconnected(5000);
}

void tst_ZRClient::failureIsLoggedAndReturnsMinusOne_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("target"); // what answers at the port
    QTest::addColumn<int>("lastErrorNumber");
    QTest::addColumn<QString>("logged");

    QTest::newRow("unknown host") << "nosuchhost.invalid"
                                  << "anything" << -201
                                  << "Error: host nosuchhost.invalid doesn't exist";
    QTest::newRow("refused loopback port")
        << "127.0.0.1"
        << "nothing" << -106 << "cannot connect to host 127.0.0.1";
    QTest::newRow("no answer within the wait")
        << "127.0.0.1"
        << "full queue" << -107 << "timeout connecting to host 127.0.0.1";
}

void tst_ZRClient::failureIsLoggedAndReturnsMinusOne()
{
    QFETCH(QString, host);
    QFETCH(QString, target);
    QFETCH(int, lastErrorNumber);
    QFETCH(QString, logged);

    if (host != QLatin1String("127.0.0.1") && !loopback::mayResolveNames())
        QSKIP("name look-ups would leave the machine outside a private network namespace");

    FullListener full;
    int port = loopback::freePort();
    if (target == QLatin1String("full queue")) {
        QVERIFY(full.filled);
        port = full.port;
    }

    ZRClient client;
    QCOMPARE(client.connectToServer(host, port), -1);
    QCOMPARE(client.socket(), 0);
    QCOMPARE(ZRSocket::lastErrorNumber(), lastErrorNumber);

    const QStringList lines = logLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.first().endsWith(QLatin1String(" - Error: ") + logged), qPrintable(lines.first()));
}

void tst_ZRClient::connectReturnsHeldDescriptor()
{
    ZRClient client;
    const int fd = client.connectToServer(QStringLiteral("127.0.0.1"), m_server.serverPort());
    QVERIFY(fd > 0);
    QCOMPARE(client.socket(), fd);

    QTcpSocket *peer = acceptPeer();
    QVERIFY(peer);
    QVERIFY(ZRSocket::sendMessage(fd, QStringLiteral("ping\n")));
    QVERIFY(peer->waitForReadyRead(5000));
    QCOMPARE(peer->readAll(), QByteArray("ping\n"));
    QVERIFY(logLines().isEmpty());
}

// Holds descriptor 0 closed and puts back what was there.
class StdinClosed
{
public:
    StdinClosed() : m_saved(::fcntl(0, F_DUPFD_CLOEXEC, 3)) { ::close(0); }
    ~StdinClosed()
    {
        if (m_saved >= 0) {
            ::dup2(m_saved, 0);
            ::close(m_saved);
        }
    }

private:
    const int m_saved;
};

// Descriptor 0 is a real connection, not "none": it must be neither lost nor
// reported as a failure.
void tst_ZRClient::connectWithStdinClosed()
{
    StdinClosed stdinClosed;
    ZRClient client;
    const int fd = client.connectToServer(QStringLiteral("127.0.0.1"), m_server.serverPort());
    QVERIFY(fd > 0);
    QCOMPARE(client.socket(), fd);
    QVERIFY(!loopback::isOpen(0));
    QVERIFY(logLines().isEmpty());

    QTcpSocket *peer = acceptPeer();
    QVERIFY(peer);
    QVERIFY(ZRSocket::sendMessage(fd, QStringLiteral("ping")));
    QVERIFY(peer->waitForReadyRead(5000));
    client.stop();
    QVERIFY(closedByClient(peer));
}

void tst_ZRClient::stopClosesDescriptor()
{
    ZRClient client;
    const int fd = client.connectToServer(QStringLiteral("127.0.0.1"), m_server.serverPort());
    QVERIFY(fd > 0);
    QTcpSocket *peer = acceptPeer();
    QVERIFY(peer);

    client.stop();
    QCOMPARE(client.socket(), 0);
    QCOMPARE(::fcntl(fd, F_GETFD), -1);
    QCOMPARE(errno, EBADF);
    QVERIFY(closedByClient(peer));

    client.stop();
    QCOMPARE(client.socket(), 0);
}

// A client that never connected must not close descriptor 0 on stop().
void tst_ZRClient::stopWithoutConnectionClosesNothing()
{
    if (!loopback::isOpen(0))
        QSKIP("descriptor 0 is not open in this run");
    {
        ZRClient client;
        client.stop();
        QCOMPARE(client.socket(), 0);
    }
    QVERIFY(loopback::isOpen(0));
}

void tst_ZRClient::reconnectClosesHeldDescriptor_data()
{
    QTest::addColumn<bool>("secondSucceeds");
    QTest::newRow("second connection made") << true;
    QTest::newRow("second connection refused") << false;
}

void tst_ZRClient::reconnectClosesHeldDescriptor()
{
    QFETCH(bool, secondSucceeds);

    ZRClient client;
    const int first = client.connectToServer(QStringLiteral("127.0.0.1"), m_server.serverPort());
    QVERIFY(first > 0);
    QTcpSocket *firstPeer = acceptPeer();
    QVERIFY(firstPeer);

    const int port = secondSucceeds ? m_server.serverPort() : loopback::freePort();
    const int second = client.connectToServer(QStringLiteral("127.0.0.1"), port);
    QVERIFY(closedByClient(firstPeer));
    if (secondSucceeds) {
        QVERIFY(second > 0);
        QCOMPARE(client.socket(), second);
        QVERIFY(acceptPeer());
    } else {
        QCOMPARE(second, -1);
        QCOMPARE(client.socket(), 0);
        QVERIFY(!loopback::isOpen(first));
    }
}

void tst_ZRClient::destructionClosesDescriptor()
{
    auto client = std::make_unique<ZRClient>();
    const int fd = client->connectToServer(QStringLiteral("127.0.0.1"), m_server.serverPort());
    QVERIFY(fd > 0);
    QTcpSocket *peer = acceptPeer();
    QVERIFY(peer);

    client.reset();
    QVERIFY(!loopback::isOpen(fd));
    QVERIFY(closedByClient(peer));
}

using Lines = QList<QByteArray>;

void tst_ZRClient::receiveLine_data()
{
    // Step i: the peer sends writes[i] (if any), closes after its last write when
    // peerCloses, then receiveLine() must return lines[i].
    QTest::addColumn<Lines>("writes");
    QTest::addColumn<bool>("peerCloses");
    QTest::addColumn<int>("maxSize");
    QTest::addColumn<Lines>("lines");

    QTest::newRow("line split across writes, the first wait runs out")
        << Lines { "hel", "lo\n" } << false << 1024 << Lines { "", "hello\n" };
    QTest::newRow("two lines in one write")
        << Lines { "one\ntwo\n" } << false << 1024 << Lines { "one\n", "two\n" };
    QTest::newRow("peer closes after a partial line")
        << Lines { "done\nrest" } << true << 1024 << Lines { "done\n", "rest", "" };
    QTest::newRow("line longer than maxSize")
        << Lines { "abcdef\n" } << false << 4 << Lines { "abcd", "ef\n" };
}

void tst_ZRClient::receiveLine()
{
    QFETCH(Lines, writes);
    QFETCH(bool, peerCloses);
    QFETCH(int, maxSize);
    QFETCH(Lines, lines);

    ZRClient client;
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), m_server.serverPort()) > 0);
    QTcpSocket *peer = acceptPeer();
    QVERIFY(peer);
    for (int i = 0; i < lines.size(); ++i) {
        if (i < writes.size()) {
            peer->write(writes.at(i));
            QVERIFY(peer->waitForBytesWritten(5000));
            if (peerCloses && i == writes.size() - 1)
                peer->disconnectFromHost();
        }
        // An empty answer is a wait that runs out or a closed peer: keep it short.
        const int wait = lines.at(i).isEmpty() ? 100 : 5000;
        QCOMPARE(client.receiveLine(wait, maxSize), lines.at(i));
    }
}

QTEST_GUILESS_MAIN(tst_ZRClient)
#include "tst_zrclient.moc"
