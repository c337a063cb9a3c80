#include "loopback.h"
#include "zrserver.h"
#include "zrsocket.h"
#include "zrsocketthread.h"

#include <QMutex>
#include <QPointer>
#include <QtTest>

#include <memory>

using loopback::Peer;
using loopback::Running;

// Records every message it is handed; answers with next(), stop() or nothing.
class Receiver : public QObject
{
    Q_OBJECT
public:
    enum Answer { Next, Stop, Hold };
    explicit Receiver(Answer a = Next) : answer(a) { }

    struct Message
    {
        QByteArray bytes;
        bool terminated;
        ZRSocketThread *thread;
    };

    QList<Message> messages() const
    {
        QMutexLocker lock(&mutex);
        return received;
    }
    int count() const { return messages().size(); }
    QByteArray joined() const
    {
        QByteArray all;
        for (const Message &m : messages())
            all += m.bytes;
        return all;
    }

public slots:
    void onMessage(char *message, ZRSocketThread *thread)
    {
        const int size = thread->messageSize();
        {
            QMutexLocker lock(&mutex);
            received.append({ QByteArray(message, size), message[size] == '\0', thread });
        }
        if (answer == Next)
            thread->next();
        else if (answer == Stop)
            thread->stop();
    }

public:
    Answer answer;

private:
    mutable QMutex mutex;
    QList<Message> received;
};

// A listening server whose messages go to a receiver; stopped on destruction.
struct Served
{
    explicit Served(
        Receiver::Answer answer = Receiver::Next, Qt::ConnectionType type = Qt::DirectConnection)
        : receiver(answer), connection(QObject::connect(&server, &ZRServer::connectionThread,
                                &receiver, &Receiver::onMessage, type)),
          run(server)
    { }
    ~Served() { server.stop(); }
    Receiver receiver;
    ZRServer server;
    QMetaObject::Connection connection;
    Running run;
};

class TestZRServer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { baseline = loopback::threadCount(); }
    void cleanup() { QVERIFY(loopback::releaseEndedThreads(baseline)); }
    void startFailureAndStates();
    void stopEndsTheLoopAndClosesTheSocket();
    void aStoppedServerCannotListenAgain();
    void largeWriteArrivesInHeldChunks();
    void fullChunkIsTerminated();
    void extraNextLetsTheFollowingMessagePass();
    void stopFromTheSlotEndsTheConnection();
    void clientsGetThreadsOfTheirOwn();
    void endedConnectionsAreReleasedWhileListening();
    void idleConnectionsTimeOut();
    void queuedReceiverReadsTheHeldBuffer();
    void destroyingAListeningServerStopsIt();
    void threadStoppedBeforeStart();

private:
    int baseline = 0;
};

void TestZRServer::startFailureAndStates()
{
    ZRServer server;
    QCOMPARE(server.socket(), 0);
    server.stop(); // never listened: returns at once
    ZRServer second;
    Peer holder;
    const int taken = loopback::freePort();
    const int s = ZRSocket::createServerSocket(QStringLiteral("127.0.0.1"), taken, 1);
    QVERIFY(s > 0);
    QCOMPARE(second.listenConnections(QStringLiteral("127.0.0.1"), taken, 5), -1);
    QCOMPARE(second.socket(), -1);
    QCOMPARE(ZRSocket::lastErrorNumber(), -301);
    QCOMPARE(second.errorText(),
        QStringLiteral("Something happened creating server socket. Exiting with error code -301"));
    ZRSocket::closeSocket(s);
}

void TestZRServer::stopEndsTheLoopAndClosesTheSocket()
{
    ZRServer server;
    Running run(server);
    const int listening = server.socket();
    QVERIFY(listening > 0);
    QVERIFY(loopback::isCloseOnExec(listening));
    QThread *stopper = QThread::create([&server] { server.stop(); });
    stopper->start();
    QVERIFY(stopper->wait(5000));
    delete stopper;
    // stop() returned only after the loop had let go of its mutex.
    QVERIFY(run.thread->wait(5000));
    QCOMPARE(run.result.load(), 0);
    QCOMPARE(server.socket(), 0);
    Peer late;
    QVERIFY(!late.connectTo(run.port));
}

void TestZRServer::aStoppedServerCannotListenAgain()
{
    ZRServer server;
    server.stop();
    const int port = loopback::freePort();
    QCOMPARE(server.listenConnections(QStringLiteral("127.0.0.1"), port, 5), 0);
    QCOMPARE(server.socket(), 0);
    Peer late;
    QVERIFY(!late.connectTo(port));
}

void TestZRServer::largeWriteArrivesInHeldChunks()
{
    Served s(Receiver::Hold);
    Peer client(s.run.port);
    QByteArray data(3000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('A' + i % 50);
    QVERIFY(client.send(data));
    int handled = 0;
    for (bool all = false; !all;) {
        QTRY_COMPARE(s.receiver.count(), handled + 1);
        // Held: nothing more arrives until next().
        QTest::qWait(50);
        QCOMPARE(s.receiver.count(), handled + 1);
        const Receiver::Message m = s.receiver.messages().last();
        QVERIFY(m.bytes.size() <= 1024);
        QVERIFY(m.terminated);
        ++handled;
        all = s.receiver.joined().size() == data.size();
        m.thread->next();
    }
    QVERIFY(handled >= 3);
    QCOMPARE(s.receiver.joined(), data);
}

void TestZRServer::fullChunkIsTerminated()
{
    Served s;
    Peer client(s.run.port);
    QVERIFY(client.send(QByteArray(1024, 'z')));
    QTRY_COMPARE(s.receiver.joined().size(), 1024);
    QCOMPARE(s.receiver.messages().first().bytes.size(), 1024);
    QVERIFY(s.receiver.messages().first().terminated);
}

void TestZRServer::extraNextLetsTheFollowingMessagePass()
{
    Served s(Receiver::Hold);
    Peer client(s.run.port);
    QVERIFY(client.send("one"));
    QTRY_COMPARE(s.receiver.count(), 1);
    ZRSocketThread *thread = s.receiver.messages().first().thread;
    thread->next();
    thread->next();
    QTRY_VERIFY(s.receiver.count() == 1 && thread->isRunning());
    QVERIFY(client.send("two"));
    QTRY_COMPARE(s.receiver.count(), 2);
    // The spare release lets "three" through without a next() of its own...
    QVERIFY(client.send("three"));
    QTRY_COMPARE(s.receiver.count(), 3);
    // ...and is then used up.
    QVERIFY(client.send("four"));
    QTest::qWait(100);
    QCOMPARE(s.receiver.count(), 3);
    thread->stop();
}

void TestZRServer::stopFromTheSlotEndsTheConnection()
{
    Served s(Receiver::Stop);
    Peer client(s.run.port);
    QVERIFY(client.send("bye"));
    QVERIFY(client.closedByPeer());
    QCOMPARE(s.receiver.count(), 1);
}

void TestZRServer::clientsGetThreadsOfTheirOwn()
{
    Served s;
    Peer a(s.run.port), b(s.run.port);
    QVERIFY(a.send("from a"));
    QVERIFY(b.send("from b"));
    QTRY_COMPARE(s.receiver.count(), 2);
    const auto m = s.receiver.messages();
    QVERIFY(m[0].thread != m[1].thread);
    QCOMPARE(m[0].thread->remoteAddress(), QStringLiteral("127.0.0.1"));
    QSet<QByteArray> texts { m[0].bytes, m[1].bytes };
    QCOMPARE(texts, (QSet<QByteArray> { "from a", "from b" }));
}

void TestZRServer::endedConnectionsAreReleasedWhileListening()
{
    Served s;
    Peer client(s.run.port);
    QVERIFY(client.send("hello"));
    QTRY_COMPARE(s.receiver.count(), 1);
    QPointer<ZRSocketThread> thread = s.receiver.messages().first().thread;
    QVERIFY(loopback::isCloseOnExec(thread->clientSocket()));
    client.close();
    // Deleted by the listening thread, which is still inside its accept loop.
    QTRY_VERIFY(thread.isNull());
    QVERIFY(s.run.thread->isRunning());
}

void TestZRServer::idleConnectionsTimeOut()
{
    ZRServer server;
    server.setReceiveTimeout(1);
    Running run(server);
    Peer silent(run.port);
    QVERIFY(silent.closedByPeer(10000));
    server.stop();
}

void TestZRServer::queuedReceiverReadsTheHeldBuffer()
{
    Served s(Receiver::Next, Qt::AutoConnection); // the receiver lives here: queued
    Peer client(s.run.port);
    QVERIFY(client.send("first"));
    QTRY_COMPARE(s.receiver.count(), 1);
    QVERIFY(client.send("second"));
    QTRY_COMPARE(s.receiver.count(), 2);
    QCOMPARE(s.receiver.messages().at(0).bytes, QByteArray("first"));
    QCOMPARE(s.receiver.messages().at(1).bytes, QByteArray("second"));
}

void TestZRServer::destroyingAListeningServerStopsIt()
{
    auto *server = new ZRServer;
    Receiver receiver(Receiver::Hold);
    connect(
        server, &ZRServer::connectionThread, &receiver, &Receiver::onMessage, Qt::DirectConnection);
    auto run = std::make_unique<Running>(*server);
    Peer client(run->port);
    QVERIFY(client.send("held"));
    QTRY_COMPARE(receiver.count(), 1);
    QPointer<ZRSocketThread> thread = receiver.messages().first().thread;
    delete server;
    QVERIFY(run->thread->wait(5000));
    QCOMPARE(run->result.load(), 0);
    // The running connection goes on until it is told to end.
    QVERIFY(!thread.isNull() && thread->isRunning());
    thread->stop();
    QVERIFY(client.closedByPeer());
}

void TestZRServer::threadStoppedBeforeStart()
{
    Peer client;
    const int port = loopback::freePort();
    const int listening = ZRSocket::createServerSocket(QStringLiteral("127.0.0.1"), port, 1);
    QVERIFY(client.connectTo(port));
    const int accepted = ZRSocket::acceptClientConnection(listening);
    QVERIFY(client.send("never read"));
    QPointer<ZRSocketThread> thread = new ZRSocketThread(accepted, QStringLiteral("127.0.0.1"));
    Receiver receiver;
    connect(thread.data(), &ZRSocketThread::connectionThread, &receiver, &Receiver::onMessage,
        Qt::DirectConnection);
    QSignalSpy finished(thread.data(), &QThread::finished);
    thread->stop();
    thread->start();
    // The thread may finish before a wait on the spy could begin: wait on the thread.
    QVERIFY(thread->wait(5000));
    QCOMPARE(finished.count(), 1);
    QVERIFY(client.closedByPeer());
    QCOMPARE(receiver.count(), 0);
    QTRY_VERIFY(thread.isNull()); // deleted through this thread's event loop
    ZRSocket::closeSocket(listening);
}

QTEST_GUILESS_MAIN(TestZRServer)
#include "tst_zrserver.moc"
