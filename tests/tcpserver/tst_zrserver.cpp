#include "loopback.h"
#include "zrserver.h"
#include "zrsocket.h"
#include "zrsocketthread.h"
#include "zrthreaddispatcher_p.h"

#include <QDir>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMutex>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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
        int socket; // read on the connection's thread, while it surely lives
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
            received.append({ QByteArray(message, size), message[size] == '\0', thread,
                thread->clientSocket() });
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
    void initTestCase()
    {
        baseline = loopback::threadCount();
        QLoggingCategory::setFilterRules(QStringLiteral("zrnet.tcp.debug=true")); // hooks read it
    }
    void cleanup() { QVERIFY(loopback::releaseEndedThreads(baseline)); }
    void startFailureAndStates();
    void descriptorsRunningOut_data();
    void descriptorsRunningOut();
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
    void stopRacingTheStartClosesTheSocketOnce();
    void stopRacingStartReturnsOnceTheLoopEnded();
    void connectionThreadThatCannotStart();
    void errorTextIsReadWhileWritten();
    void startRunsTheLoopOnAThreadOfItsOwn();
    void capHoldsBackFurtherConnections();
    void idleConnectionsHoldOneDescriptorEach();
    void aSlotMayRunAnEventLoopOnItsConnection();
    void dispatcherKeepsWakeUpsAndTellsTimersApart();

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
    const QList<QPair<QString, QString>> causes { // one fixed text; the warnings tell them apart
        { "127.0.0.1", "port %1 is in use; stop what listens there or choose another port" },
        { "localhost", "localhost is a name; listen on 127.0.0.1 or ::1" },
        { "300.1.1.1", "300.1.1.1 is not an address; write one in numbers, as 127.0.0.1 or ::1" },
        { "fe80::1%nosuch0", "fe80::1%nosuch0 names no interface of this machine after %" },
        { "fe80::1", "fe80::1 is link-local; name its interface too, as fe80::1%eth0" }
    };
    for (const auto &cause : causes) {
        QTest::ignoreMessage(QtWarningMsg,
            qPrintable(QStringLiteral("cannot listen on %1, port %2: ").arg(cause.first).arg(taken)
                + QString(cause.second).replace("%1", QString::number(taken))));
        QCOMPARE(second.listenConnections(cause.first, taken, 5), -1);
    }
    QCOMPARE(second.socket(), -1);
    QCOMPARE(ZRSocket::lastErrorNumber(), -301);
    QCOMPARE(second.errorText(),
        QStringLiteral("Something happened creating server socket. Exiting with error code -301"));
    ZRSocket::closeSocket(s);
}

// Every descriptor the process may open but `spare` is taken until this goes: the limit, the
// hard one too (the server raises the soft one to it), is lowered, and the rest filled.
class DescriptorsTaken
{
public:
    explicit DescriptorsTaken(int spare)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        const rlim_t low = qMin<rlim_t>(m_saved.rlim_cur, 512);
        const rlimit lowered { low, low };
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            m_taken.append(fd);
        for (int i = 0; i < spare && !m_taken.isEmpty(); ++i)
            ::close(m_taken.takeLast());
    }
    ~DescriptorsTaken()
    {
        for (int fd : qAsConst(m_taken))
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }

private:
    rlimit m_saved {};
    QVector<int> m_taken;
};

void TestZRServer::descriptorsRunningOut_data()
{
    QTest::addColumn<bool>("viaStart"); // else listenConnections()
    QTest::addColumn<bool>("noneForTheServer"); // taken before the server is made
    QTest::addColumn<QString>("error");
    for (bool viaStart : { true, false }) {
        const char *how = viaStart ? "start" : "listenConnections";
        QTest::addRow("%s: one left for the listening socket", how)
            << viaStart << false << "Cannot make the accept loop's poll set: Too many open files";
        QTest::addRow("%s: none for the server's wake-up", how)
            << viaStart << true
            << "Cannot make the server's wake-up descriptor: Too many open files";
    }
}

// A server that cannot make what its accept loop needs says so, rather than listening where
// nobody will be accepted.
void TestZRServer::descriptorsRunningOut()
{
    QFETCH(bool, viaStart);
    QFETCH(bool, noneForTheServer);
    QFETCH(QString, error);
    if (::geteuid() != 0)
        QSKIP("restoring the hard limit on open files needs root");
    const int port = loopback::freePort();
    std::unique_ptr<ZRServer> server;
    {
        std::unique_ptr<DescriptorsTaken> taken;
        if (noneForTheServer)
            taken.reset(new DescriptorsTaken(0));
        server.reset(new ZRServer);
        if (!noneForTheServer)
            taken.reset(new DescriptorsTaken(1));
        if (!noneForTheServer)
            QTest::ignoreMessage(QtWarningMsg,
                qPrintable(
                    QStringLiteral("cannot serve on 127.0.0.1, port %1: ").arg(port) + error));
        const int result = viaStart
            ? server->start(QStringLiteral("127.0.0.1"), port, 5)
            : server->listenConnections(QStringLiteral("127.0.0.1"), port, 5);
        QCOMPARE(result, -1);
    }
    QCOMPARE(server->errorText(), error);
    QCOMPARE(server->socket(), noneForTheServer ? 0 : -1);
    Peer client;
    QVERIFY(!client.connectTo(port));
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
    QVERIFY(loopback::isCloseOnExec(s.receiver.messages().first().socket));
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
    // The running connection goes on; what it receives next has nobody to answer it, so
    // it ends instead of waiting for ever.
    QVERIFY(!thread.isNull() && thread->isRunning());
    thread->next();
    QVERIFY(client.send("after"));
    QVERIFY(client.closedByPeer());
    QCOMPARE(receiver.count(), 1);
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

// Runs once in place of the next "Socket created" line: the moment the listening socket has
// been stored, before the accept loop has begun.
static std::function<void()> atSocketCreated;

static void raceAtSocketCreated(
    QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (atSocketCreated && text == QLatin1String("Socket created"))
        std::exchange(atSocketCreated, nullptr)();
    else if (type != QtDebugMsg)
        qt_message_output(type, context, text);
}

// Only the accept loop closes its socket: a stop() that comes before the loop has begun
// must not close it too, or the second close hits whatever reused the number meanwhile.
void TestZRServer::stopRacingTheStartClosesTheSocketOnce()
{
    ZRServer server;
    std::unique_ptr<QThread> stopper(QThread::create([&server] { server.stop(); }));
    int pipeEnds[2] = { -1, -1 };
    atSocketCreated = [&] {
        stopper->start();
        stopper->wait(300); // a stop() that does not wait for the loop is done by now
        // The application opens descriptors of its own meanwhile.
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
            qFatal("pipe2 failed");
    };
    const QtMessageHandler previous = qInstallMessageHandler(raceAtSocketCreated);
    const int result = server.listenConnections(QStringLiteral("127.0.0.1"), 0, 5);
    qInstallMessageHandler(previous);
    QCOMPARE(result, 0);
    QVERIFY(stopper->wait(5000));
    QVERIFY(loopback::isOpen(pipeEnds[0]));
    QVERIFY(loopback::isOpen(pipeEnds[1]));
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

// A stop() that comes while start() is under way returns only once the loop it started ended.
// The race is lost now and then only: ten rounds.
void TestZRServer::stopRacingStartReturnsOnceTheLoopEnded()
{
    for (int round = 0; round < 10; ++round) {
        ZRServer server;
        int socketAfterStop = -1;
        std::unique_ptr<QThread> stopper(QThread::create([&] {
            server.stop();
            socketAfterStop = server.socket();
        }));
        atSocketCreated = [&] {
            stopper->start();
            stopper->wait(50); // it waits for the loop mutex that start() holds
        };
        const QtMessageHandler previous = qInstallMessageHandler(raceAtSocketCreated);
        QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0, 5) > 0);
        qInstallMessageHandler(previous);
        QVERIFY(stopper->wait(5000));
        QCOMPARE(socketAfterStop, 0);
    }
}

// Its socket is closed, its objects released (which LeakSanitizer checks), and the server goes on.
void TestZRServer::connectionThreadThatCannotStart()
{
    Served s;
    s.server.setThreadStackSize(1);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("stack size")));
    Peer refused(s.run.port);
    QVERIFY(refused.closedByPeer());
    s.server.setThreadStackSize(0);
    Peer served(s.run.port);
    QVERIFY(served.send("x"));
    QTRY_COMPARE(s.receiver.count(), 1);
}

// Failing starts write the text on one thread while another reads it.
void TestZRServer::errorTextIsReadWhileWritten()
{
    ZRServer server;
    const int port = loopback::freePort();
    const int taken = ZRSocket::createServerSocket(QStringLiteral("127.0.0.1"), port, 1);
    std::atomic<bool> done { false };
    std::atomic<bool> torn { false };
    std::unique_ptr<QThread> reader(QThread::create([&] {
        while (!done) {
            const QString text = server.errorText();
            torn = torn || !(text.isEmpty() || text.startsWith(QLatin1String("Something")));
        }
    }));
    reader->start();
    for (int i = 0; i < 200; ++i)
        QCOMPARE(server.listenConnections(QStringLiteral("127.0.0.1"), port, 5), -1);
    done = true;
    QVERIFY(reader->wait(5000));
    QVERIFY(!torn);
    ZRSocket::closeSocket(taken);
}

void TestZRServer::startRunsTheLoopOnAThreadOfItsOwn()
{
    ZRServer server;
    Receiver receiver(Receiver::Hold);
    connect(&server, &ZRServer::connectionThread, &receiver, &Receiver::onMessage,
        Qt::DirectConnection);
    QCOMPARE(server.serverPort(), quint16(0));
    const int listening = server.start(QStringLiteral("127.0.0.1"), 0, 5);
    QVERIFY(listening > 0);
    QCOMPARE(server.socket(), listening);
    QVERIFY(server.serverPort() != 0);
    QCOMPARE(server.start(QStringLiteral("127.0.0.1"), 0, 5), -1); // one loop at a time
    QVERIFY(!server.errorText().isEmpty());

    // Served while this thread goes on running its own event loop.
    const quint16 port = server.serverPort();
    Peer client(port);
    QVERIFY(client.send("ping"));
    QTRY_COMPARE(receiver.count(), 1);
    QVERIFY(!server.waitForConnections(50)); // the held request counts
    receiver.messages().first().thread->stop();
    QVERIFY(client.closedByPeer());
    QVERIFY(server.waitForConnections(5000));

    server.stop(); // from the thread that started it
    QCOMPARE(server.socket(), 0);
    QCOMPARE(server.serverPort(), quint16(0));
    Peer late;
    QVERIFY(!late.connectTo(port));
    QCOMPARE(server.start(QStringLiteral("127.0.0.1"), 0, 5), -1);
    QVERIFY(server.errorText().contains(QLatin1String("stopped")));
}

// Cap 4, 10 clients: never more than 4 served at once, every one served in the end.
void TestZRServer::capHoldsBackFurtherConnections()
{
    ZRServer server;
    server.setMaxConnections(4);
    QCOMPARE(server.maxConnections(), 4);
    QMutex mutex;
    QSet<ZRSocketThread *> held;
    int mostHeld = 0;
    int served = 0;
    connect(
        &server, &ZRServer::connectionThread, &server,
        [&](char *, ZRSocketThread *thread) {
            QMutexLocker lock(&mutex);
            held.insert(thread);
            mostHeld = qMax(mostHeld, held.size());
            ++served;
        },
        Qt::DirectConnection);
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0, 16) > 0);
    std::vector<std::unique_ptr<Peer>> clients;
    for (int i = 0; i < 10; ++i) {
        clients.push_back(std::make_unique<Peer>(server.serverPort()));
        QVERIFY(clients.back()->send("x"));
    }
    const auto heldNow = [&] {
        QMutexLocker lock(&mutex);
        return held.size();
    };
    const auto servedNow = [&] {
        QMutexLocker lock(&mutex);
        return served;
    };
    // Release one held connection at a time; the next waiting client takes its place.
    for (int done = 0; done < 10; ++done) {
        QTRY_COMPARE(heldNow(), qMin(4, 10 - done));
        QMutexLocker lock(&mutex);
        ZRSocketThread *thread = *held.begin();
        held.remove(thread);
        thread->stop();
    }
    QCOMPARE(servedNow(), 10);
    QCOMPARE(mostHeld, 4);
    QVERIFY(server.waitForConnections(5000));
}

static int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

// A connection costs its socket and nothing more: no wake-up descriptor of an event loop.
void TestZRServer::idleConnectionsHoldOneDescriptorEach()
{
    ZRServer server;
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0, 64) > 0);
    const int before = openDescriptors();
    std::vector<std::unique_ptr<Peer>> clients;
    for (int i = 0; i < 20; ++i)
        clients.push_back(std::make_unique<Peer>(server.serverPort()));
    QTRY_COMPARE(loopback::threadCount(), baseline + 1 + 20);
    QCOMPARE(openDescriptors() - before, 20 + 20); // the server's and the clients' ends
    clients.clear();
    QVERIFY(server.waitForConnections(5000));
}

// Posted events, deferred deletions, queued calls, timers and socket notifiers all work for a
// slot that runs an event loop on its connection thread.
void TestZRServer::aSlotMayRunAnEventLoopOnItsConnection()
{
    ZRServer server;
    int pipeEnds[2];
    QVERIFY(::pipe2(pipeEnds, O_CLOEXEC) == 0);
    std::atomic<int> seen { 0 };
    enum { Deleted = 1, Queued = 2, Timer = 4, Notified = 8 };
    QObject *onConnection = nullptr;
    QSemaphore ready;
    connect(
        &server, &ZRServer::connectionThread, &server,
        [&](char *, ZRSocketThread *thread) {
            QEventLoop loop;
            auto *doomed = new QObject;
            connect(doomed, &QObject::destroyed, [&] { seen |= Deleted; });
            doomed->deleteLater();
            QObject here;
            onConnection = &here;
            QTimer::singleShot(20, &here, [&] { seen |= Timer; });
            QSocketNotifier notifier(pipeEnds[0], QSocketNotifier::Read);
            connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
                seen |= Notified;
                loop.quit();
            });
            ready.release();
            loop.exec();
            onConnection = nullptr;
            thread->stop();
        },
        Qt::DirectConnection);
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0, 5) > 0);
    Peer client(server.serverPort());
    QVERIFY(client.send("go"));
    QVERIFY(ready.tryAcquire(1, 5000));
    QMetaObject::invokeMethod(
        onConnection, [&] { seen |= Queued; }, Qt::QueuedConnection);
    QTRY_COMPARE(seen & (Deleted | Queued | Timer), int(Deleted | Queued | Timer));
    QCOMPARE(::write(pipeEnds[1], "!", 1), ssize_t(1));
    QVERIFY(client.closedByPeer());
    QCOMPARE(seen.load(), int(Deleted | Queued | Timer | Notified));
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

// A wake-up or interrupt that comes before processEvents() is not lost, and a timer that takes
// the id of one killed in the same pass is a new timer, not due yet.
void TestZRServer::dispatcherKeepsWakeUpsAndTellsTimersApart()
{
    auto *dispatcher = new ZRThreadDispatcher;
    QSemaphore woke, leave; // the thread, and its dispatcher, stay until the test is done
    int killedId = -1, startedId = -2;
    bool startedFired = false;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        dispatcher->wakeUp();
        dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        dispatcher->interrupt();
        dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        woke.release();
        QTimer first, killed, started;
        connect(&first, &QTimer::timeout, [&] {
            first.stop();
            killed.stop();
            started.start(60000);
            startedId = started.timerId();
        });
        connect(&started, &QTimer::timeout, [&] { startedFired = true; });
        first.start(0);
        killed.start(0);
        killedId = killed.timerId();
        QThread::msleep(2); // both due
        dispatcher->processEvents(QEventLoop::AllEvents);
        leave.acquire();
    }));
    thread->setEventDispatcher(dispatcher);
    thread->start();
    const bool wokeAtOnce = woke.tryAcquire(1, 5000);
    while (!wokeAtOnce && !woke.tryAcquire(1, 10))
        dispatcher->wakeUp(); // for the ones lost
    leave.release();
    QVERIFY(thread->wait(5000));
    QVERIFY(wokeAtOnce);
    QCOMPARE(startedId, killedId); // Qt hands out the id freed last first
    QVERIFY(!startedFired);
}

QTEST_GUILESS_MAIN(TestZRServer)
#include "tst_zrserver.moc"
