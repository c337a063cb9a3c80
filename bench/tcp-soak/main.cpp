// Soak and fan-out check for the threaded TCP server, run on loopback:
//   tcp-soak [connections=100000] [concurrent=2000]
// Phase 1 opens, uses and closes `connections` connections one after another
// (two client threads) and prints resident memory and thread count before and
// after. Phase 2 holds `concurrent` connections open at once, has every one
// echo a message, and times a fresh connection's round trip meanwhile.
// Run it inside a private network namespace: unshare --net sh -c 'ip link set lo up; ...'
#include <zrserver.h>
#include <zrsocket.h>
#include <zrsocketthread.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QThread>

#include "../common/loopbackclient.h"

#include <atomic>
#include <cstdio>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 TimeLimitMs = 15 * 60 * 1000;

long statusField(const char *name)
{
    QFile f(QStringLiteral("/proc/self/status"));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(int(qstrlen(name))).trimmed().split(' ').first().toLong();
    return -1;
}

bool echoOnce(int s)
{
    char c = 'x';
    return ::send(s, &c, 1, MSG_NOSIGNAL) == 1 && ::recv(s, &c, 1, 0) == 1 && c == 'x';
}

void settle(long baselineThreads)
{
    QElapsedTimer t;
    t.start();
    while (statusField("Threads:") > baselineThreads && t.elapsed() < 10000)
        QThread::msleep(50);
    QThread::msleep(500); // let the accept loop release the last objects
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=false"));
    const int total = argc > 1 ? atoi(argv[1]) : 100000;
    const int concurrent = argc > 2 ? atoi(argv[2]) : 2000;
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    ZRServer server;
    QObject::connect(
        &server, &ZRServer::connectionThread, &server,
        [](char *message, ZRSocketThread *thread) {
            ZRSocket::sendByteArray(
                thread->clientSocket(), QByteArray(message, thread->messageSize()));
            thread->next();
        },
        Qt::DirectConnection);
    int port = 0;
    for (port = 20000; port < 20100; ++port) {
        const int probe = ZRSocket::createServerSocket(QStringLiteral("127.0.0.1"), port, 1);
        if (probe > 0) {
            ZRSocket::closeSocket(probe);
            break;
        }
    }
    QThread *loop = QThread::create(
        [&] { server.listenConnections(QStringLiteral("127.0.0.1"), port, 4096); });
    loop->start();
    while (server.socket() == 0)
        QThread::msleep(10);

    QElapsedTimer clock;
    clock.start();
    // Warm up so that one-time allocations do not count as growth.
    for (int i = 0; i < 200; ++i) {
        const int s = connectTo(port);
        echoOnce(s);
        ::close(s);
    }
    const long baseThreads = statusField("Threads:");
    settle(baseThreads);
    const long rssBefore = statusField("VmRSS:");
    const long threadsBefore = statusField("Threads:");

    std::atomic<int> done { 0 }, failed { 0 };
    auto client = [&] {
        while (clock.elapsed() < TimeLimitMs) {
            if (done.fetch_add(1) >= total)
                break;
            const int s = connectTo(port);
            if (s < 0 || !echoOnce(s))
                ++failed;
            if (s >= 0)
                ::close(s);
        }
    };
    QElapsedTimer phase;
    phase.start();
    QThread *a = QThread::create(client), *b = QThread::create(client);
    a->start();
    b->start();
    a->wait();
    b->wait();
    delete a;
    delete b;
    const qint64 soakMs = phase.elapsed();
    settle(threadsBefore);
    const long rssAfter = statusField("VmRSS:");
    const long threadsAfter = statusField("Threads:");
    std::printf("soak: %d connections in %.1f s (%.0f/s), %d failed\n", qMin(total, done.load()),
        soakMs / 1000.0, qMin(total, done.load()) * 1000.0 / qMax<qint64>(1, soakMs),
        failed.load());
    std::printf("soak: RSS %ld KiB -> %ld KiB (growth %ld KiB); threads %ld -> %ld\n", rssBefore,
        rssAfter, rssAfter - rssBefore, threadsBefore, threadsAfter);

    // Phase 2: many clients at once.
    std::vector<int> held;
    int echoed = 0;
    phase.restart();
    for (int i = 0; i < concurrent && clock.elapsed() < TimeLimitMs; ++i) {
        const int s = connectTo(port);
        if (s >= 0)
            held.push_back(s);
    }
    for (int s : held)
        echoed += echoOnce(s) ? 1 : 0;
    const qint64 fanMs = phase.elapsed();
    std::vector<qint64> probes;
    for (int i = 0; i < 21; ++i) {
        QElapsedTimer t;
        t.start();
        const int s = connectTo(port);
        echoOnce(s);
        ::close(s);
        probes.push_back(t.nsecsElapsed() / 1000);
    }
    std::sort(probes.begin(), probes.end());
    std::printf("fan-out: %zu connections open at once, %d echoed, in %.2f s; threads now %ld\n",
        held.size(), echoed, fanMs / 1000.0, statusField("Threads:"));
    std::printf(
        "fan-out: a new client's round trip meanwhile: median %lld us (min %lld, max %lld)\n",
        probes[probes.size() / 2], probes.front(), probes.back());
    for (int s : held)
        ::close(s);
    settle(threadsBefore);
    std::printf("fan-out: after closing all, threads %ld\n", statusField("Threads:"));

    server.stop();
    loop->wait();
    delete loop;
    const bool ok = failed == 0 && echoed == int(held.size()) && held.size() == size_t(concurrent)
        && rssAfter - rssBefore < 5 * 1024 && threadsAfter <= threadsBefore;
    std::printf("%s\n", ok ? "tcp-soak: OK" : "tcp-soak: FAILED");
    return ok ? 0 : 1;
}
