// Load and fault programs for the HTTP server on loopback. Each prints figures (memory,
// threads, descriptors, CPU time, latencies) and checks only counts and states, never times;
// bench/stress/run.sh runs them all inside a private network namespace.
//
//   zrnet-stress serve   [--port 0] [--request-timeout ms] [--max-connections n] [--fd-limit n]
//   zrnet-stress idle    [--connections 5000] [--request-timeout 2000] [--max-connections 6000]
//                        [--rounds 2]
//   zrnet-stress slow    [--clients 500] [--request-timeout 5000]
//   zrnet-stress readers [--readers 2] [--rate 512] [--request-timeout 5000] [--seconds 60]
//   zrnet-stress reset   [--clients 300]
//   zrnet-stress stop    [--connections 500]
//   zrnet-stress exhaust [--clients 1000] [--fd-limit 256] [--seconds 60]
//
// serve is the server the others start as a child process: it answers like the example
// http-hello, /big with 4 MiB, and /stats with its counts of requests and error codes. A
// --max-connections of -1 keeps the server's default cap.
#include <zrhttpserver.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QMutex>
#include <QProcess>
#include <QThread>

#include "../common/loopbackclient.h"
#include <QVector>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// No scenario runs longer than this, whatever its options.
constexpr qint64 TimeLimitMs = 10 * 60 * 1000;
constexpr int BigReplySize = 4 * 1024 * 1024;

using Options = QMap<QString, QString>;

int option(const Options &options, const char *name, int fallback)
{
    bool ok = false;
    const int value = options.value(QLatin1String(name)).toInt(&ok);
    return ok ? value : fallback;
}

// ---- Figures of a process, from /proc.

struct Figures
{
    long rssKiB = 0;
    long threads = 0;
    long descriptors = 0;
    double cpuSeconds = 0;
};

long statusField(const QByteArray &status, const char *name)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(name))
            return line.mid(int(qstrlen(name))).trimmed().split(' ').first().toLong();
    }
    return -1;
}

Figures figuresOf(qint64 pid)
{
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    Figures f;
    QFile status(proc + QLatin1String("status"));
    if (status.open(QIODevice::ReadOnly)) {
        const QByteArray text = status.readAll();
        f.rssKiB = statusField(text, "VmRSS:");
        f.threads = statusField(text, "Threads:");
    }
    f.descriptors = QDir(proc + QLatin1String("fd"))
                        .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                        .size();
    QFile stat(proc + QLatin1String("stat"));
    if (stat.open(QIODevice::ReadOnly)) {
        // Fields after the command name, which ends with the last ')': utime and stime are the
        // 12th and 13th.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            f.cpuSeconds = double(fields.at(11).toLong() + fields.at(12).toLong())
                / double(sysconf(_SC_CLK_TCK));
    }
    return f;
}

QByteArray describe(const Figures &f)
{
    return QByteArray("RSS ") + QByteArray::number(qlonglong(f.rssKiB)) + " KiB, "
        + QByteArray::number(qlonglong(f.threads)) + " threads, "
        + QByteArray::number(qlonglong(f.descriptors)) + " descriptors";
}

// Prints the program's verdict and gives its exit code.
int verdict(const char *name, bool ok)
{
    std::printf("%s: %s\n", name, ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}

// Whether nothing is left over: no more threads or descriptors than before.
bool backTo(const Figures &before, const Figures &after)
{
    return after.threads <= before.threads && after.descriptors <= before.descriptors;
}

// Polls until done() or msecs pass; true if done.
bool waitUntil(const std::function<bool()> &done, int msecs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= msecs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

// The figures once the thread count has held still for half a second (or after 20 s), so that
// connections still on their way out do not count.
Figures settledFigures(qint64 pid)
{
    Figures last = figuresOf(pid);
    QElapsedTimer still, clock;
    still.start();
    clock.start();
    while (still.elapsed() < 500 && clock.elapsed() < 20000) {
        QThread::msleep(50);
        const Figures now = figuresOf(pid);
        if (now.threads != last.threads)
            still.restart();
        last = now;
    }
    return last;
}

void raiseDescriptorLimit()
{
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// ---- Client side: raw sockets.

bool sendAll(int s, const QByteArray &data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n
            = ::send(s, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads until the peer closes, at most maxBytes, or until timeoutMs passes without data.
QByteArray readUntilClosed(int s, int timeoutMs, qint64 maxBytes = BigReplySize * 2)
{
    QByteArray out;
    char buffer[65536];
    while (out.size() < maxBytes) {
        pollfd p { s, POLLIN, 0 };
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        out.append(buffer, int(n));
    }
    return out;
}

// One request on a connection of its own: the whole answer, or empty; micros gets its time.
QByteArray fetch(int port, const QByteArray &path, int timeoutMs = 10000, qint64 *micros = nullptr)
{
    QElapsedTimer clock;
    clock.start();
    const int s = connectTo(port);
    QByteArray answer;
    if (s >= 0 && sendAll(s, "GET " + path + " HTTP/1.1\r\nHost: stress\r\n\r\n"))
        answer = readUntilClosed(s, timeoutMs);
    if (s >= 0)
        ::close(s);
    if (micros)
        *micros = clock.nsecsElapsed() / 1000;
    return answer;
}

bool isOk(const QByteArray &answer)
{
    return answer.startsWith("HTTP/1.1 200 OK");
}

struct Spread
{
    qint64 median = 0, p99 = 0, max = 0;
    int count = 0;
};

Spread spreadOf(std::vector<qint64> values)
{
    Spread s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.count = int(values.size());
    s.median = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    s.max = values.back();
    return s;
}

void closeAll(std::vector<int> &sockets)
{
    for (int s : sockets)
        ::close(s);
    sockets.clear();
}

// ---- The server process.

class ServerProcess
{
public:
    explicit ServerProcess(const QStringList &arguments)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationFilePath(),
            QStringList { QStringLiteral("serve") } + arguments);
        if (m_process.waitForStarted(5000) && m_process.waitForReadyRead(10000)) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("port "))
                port = line.mid(5).toInt();
        }
        if (port <= 0)
            std::fprintf(stderr, "stress: the server did not start\n");
    }
    ~ServerProcess() { finish(); }

    qint64 pid() const { return m_process.processId(); }
    Figures figures() const { return figuresOf(pid()); }
    bool running() const { return m_process.state() == QProcess::Running; }
    // The server's counts: "requests", and each error code by its number.
    QMap<QByteArray, long> stats() const
    {
        QMap<QByteArray, long> counts;
        const QByteArray answer = fetch(port, "/stats");
        const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
        for (const QByteArray &line : body.split('\n')) {
            const QList<QByteArray> pair = line.split(' ');
            if (pair.size() == 2)
                counts[pair.at(0)] = pair.at(1).toLong();
        }
        return counts;
    }
    // Stops it with SIGTERM; true if it then ended by itself, without a crash.
    bool finish()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_cleanExit;
        m_process.terminate();
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            return m_cleanExit = false;
        }
        return m_cleanExit
            = m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    int port = 0;

private:
    QProcess m_process;
    bool m_cleanExit = false;
};

// ---- serve

QByteArray reply(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray helloReply(const ZRHttpRequest &request)
{
    QByteArray body = "Hello from zrnet\n" + request.typeString().toUtf8() + ' '
        + request.path().toUtf8() + ' ' + request.protocol().toUtf8() + '\n';
    const auto headers = request.headers();
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        body += it.key() + ": " + it.value() + '\n';
    return reply(body);
}

int serve(const Options &options)
{
    const int fdLimit = option(options, "--fd-limit", 0);
    if (fdLimit > 0) {
        rlimit limit {};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = rlim_t(fdLimit);
        setrlimit(RLIMIT_NOFILE, &limit);
    } else {
        raiseDescriptorLimit();
    }
    // SIGTERM ends the event loop; every thread started from here on blocks it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ZRHttpServer server;
    server.setRequestTimeout(option(options, "--request-timeout", 30000));
    const int cap = option(options, "--max-connections", -1);
    if (cap >= 0)
        server.setMaxConnections(cap);

    std::atomic<long> requests { 0 };
    QMutex countsMutex;
    QMap<int, long> errors;
    const QByteArray big = reply(QByteArray(BigReplySize, 'x'));
    QObject::connect(
        &server, &ZRHttpServer::connectionThread, &server,
        [&](const ZRHttpRequest &request, ZRSocketThread *thread) {
            ++requests;
            if (request.path() == QLatin1String("/big")) {
                server.sendReply(big, thread);
            } else if (request.path() == QLatin1String("/stats")) {
                QByteArray body = "requests " + QByteArray::number(qlonglong(requests)) + '\n';
                QMutexLocker lock(&countsMutex);
                for (auto it = errors.cbegin(); it != errors.cend(); ++it)
                    body += QByteArray::number(it.key()) + ' '
                        + QByteArray::number(qlonglong(it.value())) + '\n';
                lock.unlock();
                server.sendReply(reply(body), thread);
            } else {
                server.sendReply(helloReply(request), thread);
            }
        },
        Qt::DirectConnection);
    QObject::connect(
        &server, &ZRHttpServer::error, &server,
        [&](int code) {
            QMutexLocker lock(&countsMutex);
            ++errors[code];
        },
        Qt::DirectConnection);

    if (server.start(QStringLiteral("127.0.0.1"), option(options, "--port", 0), 4096) < 0) {
        std::fprintf(stderr, "serve: %s\n", qPrintable(server.errorText()));
        return 1;
    }
    std::printf("port %d\n", server.serverPort());
    std::fflush(stdout);
    std::thread([stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
    }).detach();
    QCoreApplication::exec();
    server.stop();
    return 0;
}

// ---- idle: many connections that send nothing.

// One round: connections held idle until the server drops them, a fresh request meanwhile;
// true if it was answered, every connection was dropped and the server is back to before.
bool idleRound(ServerProcess &server, int connections, int timeoutMs, int cap,
    const Figures &before, int round)
{
    std::vector<int> held;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < connections && clock.elapsed() < TimeLimitMs; ++i) {
        const int s = connectTo(server.port);
        if (s >= 0)
            held.push_back(s);
    }
    const qint64 connectMs = clock.elapsed();
    const long expected = before.threads + std::min<long>(long(held.size()), cap < 0 ? 1024 : cap);
    waitUntil([&] { return server.figures().threads >= expected; }, 30000);
    const Figures during = server.figures();
    std::printf("  round %d, held:  %s (%zu connected in %lld ms)\n", round,
        describe(during).constData(), held.size(), connectMs);

    // A fresh client meanwhile: at once while there is room, else once timeouts make room.
    qint64 micros = 0;
    const bool answered = isOk(fetch(server.port, "/fresh", 4 * timeoutMs + 10000, &micros));
    std::printf("  round %d, a fresh request meanwhile: %s in %lld us\n", round,
        answered ? "answered" : "NOT answered", micros);

    // Every held connection is dropped by the request timeout (those queued behind the cap
    // are accepted, and dropped, in turn).
    std::vector<qint64> droppedAt;
    std::vector<pollfd> watch;
    for (int s : held)
        watch.push_back({ s, POLLIN, 0 });
    const int batches = cap > 0 ? (connections + cap - 1) / cap : 2;
    size_t open = watch.size();
    while (open > 0 && clock.elapsed() < qint64(batches + 2) * timeoutMs + 20000) {
        if (::poll(watch.data(), nfds_t(watch.size()), 200) <= 0)
            continue;
        for (pollfd &p : watch) {
            if (p.fd >= 0 && p.revents) {
                droppedAt.push_back(clock.elapsed());
                p.fd = -1;
                --open;
            }
        }
    }
    const Spread drops = spreadOf(droppedAt);
    std::printf("  round %d, dropped by the server: %d of %zu, the last %lld ms after the first "
                "connect\n",
        round, drops.count, held.size(), drops.max);
    closeAll(held);
    waitUntil([&] { return server.figures().threads <= before.threads; }, 20000);
    const Figures after = server.figures();
    std::printf("  round %d, after: %s\n", round, describe(after).constData());
    return answered && drops.count == connections && backTo(before, after);
}

// Two rounds, so that what the C library keeps for reuse after the first (freed thread stacks,
// per-thread malloc arenas) shows as such rather than as growth.
int idle(const Options &options)
{
    raiseDescriptorLimit();
    const int connections = option(options, "--connections", 5000);
    const int timeoutMs = option(options, "--request-timeout", 2000);
    const int cap = option(options, "--max-connections", 6000);
    const int rounds = option(options, "--rounds", 2);
    ServerProcess server({ QStringLiteral("--request-timeout"), QString::number(timeoutMs),
        QStringLiteral("--max-connections"), QString::number(cap) });
    if (!server.port)
        return 1;
    std::printf(
        "idle: %d connections that send nothing; request timeout %d ms; connection cap %s\n",
        connections, timeoutMs,
        cap < 0 ? "the server's default (1,024)" : qPrintable(QString::number(cap)));
    qint64 micros = 0;
    fetch(server.port, "/warm-up", 10000, &micros);
    const Figures before = settledFigures(server.pid());
    std::printf("  baseline: %s; a request takes %lld us\n", describe(before).constData(), micros);
    bool ok = true;
    for (int round = 1; round <= rounds; ++round)
        ok = idleRound(server, connections, timeoutMs, cap, before, round) && ok;
    return verdict("idle", ok && server.finish());
}

// ---- slow: clients that send one byte a second.

int slow(const Options &options)
{
    raiseDescriptorLimit();
    const int clients = option(options, "--clients", 500);
    const int timeoutMs = option(options, "--request-timeout", 5000);
    ServerProcess server({ QStringLiteral("--request-timeout"), QString::number(timeoutMs) });
    if (!server.port)
        return 1;
    std::printf(
        "slow: %d clients sending one byte a second; request timeout %d ms\n", clients, timeoutMs);

    const auto normalRequests = [&](const std::function<bool()> &more, int *failed) {
        std::vector<qint64> latencies;
        while (more()) {
            qint64 micros = 0;
            if (isOk(fetch(server.port, "/normal", 10000, &micros)))
                latencies.push_back(micros);
            else
                ++*failed;
        }
        return spreadOf(latencies);
    };
    int failedBefore = 0;
    int count = 0;
    const Spread before = normalRequests([&] { return count++ < 500; }, &failedBefore);
    const Figures base = settledFigures(server.pid());

    const QByteArray request = "GET /slow HTTP/1.1\r\nHost: stress\r\nX-Pad: slowly\r\n\r\n";
    std::vector<int> sockets;
    std::vector<qint64> connectedAt(size_t(clients), 0);
    std::vector<qint64> droppedAfter;
    QElapsedTimer clock;
    clock.start();
    std::atomic<bool> slowDone { false };
    int rounds = 0;
    std::thread slowClients([&] {
        std::vector<pollfd> watch;
        for (int i = 0; i < clients; ++i) {
            const int s = connectTo(server.port);
            connectedAt[size_t(i)] = clock.elapsed();
            watch.push_back({ s, POLLIN, 0 });
        }
        int sent = 0;
        size_t open = watch.size();
        const qint64 limit = qint64(timeoutMs) * 3 + 10000;
        while (open > 0 && clock.elapsed() < limit) {
            for (pollfd &p : watch) {
                if (p.fd >= 0)
                    ::send(p.fd, request.constData() + (sent % request.size()), 1, MSG_NOSIGNAL);
            }
            ++sent;
            QElapsedTimer second;
            second.start();
            while (open > 0 && second.elapsed() < 1000) {
                if (::poll(watch.data(), nfds_t(watch.size()), 1000 - int(second.elapsed())) <= 0)
                    continue;
                for (size_t i = 0; i < watch.size(); ++i) {
                    pollfd &p = watch[i];
                    if (p.fd < 0 || !p.revents)
                        continue;
                    char c;
                    if (::recv(p.fd, &c, 1, MSG_DONTWAIT) > 0)
                        continue; // an answer would be a fault; it shows as not dropped
                    droppedAfter.push_back(clock.elapsed() - connectedAt[i]);
                    ::close(p.fd);
                    p.fd = -1;
                    --open;
                }
            }
        }
        rounds = sent;
        for (pollfd &p : watch) {
            if (p.fd >= 0)
                ::close(p.fd);
        }
        slowDone = true;
    });
    int failedDuring = 0;
    const Spread during = normalRequests([&] { return !slowDone; }, &failedDuring);
    slowClients.join();
    const Spread drops = spreadOf(droppedAfter);
    waitUntil([&] { return server.figures().threads <= base.threads; }, 20000);
    const Figures after = server.figures();

    std::printf("  slow clients dropped: %d of %d, %lld ms after their connect (median), %lld ms "
                "(longest); %d one-byte rounds in all\n",
        drops.count, clients, drops.median, drops.max, rounds);
    std::printf("  normal client before: %d requests, median %lld us, p99 %lld us, max %lld us, "
                "%d failed\n",
        before.count, before.median, before.p99, before.max, failedBefore);
    std::printf("  normal client during: %d requests, median %lld us, p99 %lld us, max %lld us, "
                "%d failed\n",
        during.count, during.median, during.p99, during.max, failedDuring);
    std::printf("  server before: %s; after: %s\n", describe(base).constData(),
        describe(after).constData());
    const bool ok = drops.count == clients && failedBefore == 0 && failedDuring == 0
        && after.threads <= base.threads && server.finish();
    return verdict("slow", ok);
}

// ---- readers: clients that take a large reply slowly, at a server capped at their number.

// Takes the reply at rate bytes a second (0: nothing after its first bytes) through a small
// receive buffer, so that the server sees each bit taken, until the server ends the
// connection or limitMs pass. The bytes taken; what the server sent before it ended the
// connection may still be on its way, so its end is not timed here.
qint64 readSlowly(int s, int rate, const QElapsedTimer &clock, qint64 limitMs)
{
    char buffer[4096];
    qint64 taken = 0;
    qint64 allowed = 1;
    while (clock.elapsed() < limitMs) {
        const qint64 want = qMin<qint64>(sizeof buffer, allowed - taken);
        const ssize_t n = want > 0 ? ::recv(s, buffer, size_t(want), MSG_DONTWAIT) : -1;
        if (n == 0 || (n < 0 && want > 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        taken += qMax<ssize_t>(0, n);
        QThread::msleep(100);
        allowed = rate > 0 ? allowed + rate / 10 : qMax<qint64>(1, taken);
    }
    return taken;
}

int readers(const Options &options)
{
    const int count = option(options, "--readers", 2);
    const int rate = option(options, "--rate", 512);
    const int timeoutMs = option(options, "--request-timeout", 5000);
    const qint64 limitMs = qint64(option(options, "--seconds", 60)) * 1000;
    ServerProcess server({ QStringLiteral("--request-timeout"), QString::number(timeoutMs),
        QStringLiteral("--max-connections"), QString::number(count) });
    if (!server.port)
        return 1;
    std::printf("readers: %d clients take a 4 MiB reply at %d bytes/s from a server capped at %d "
                "connections; request timeout %d ms; then another client asks\n",
        count, rate, count, timeoutMs);
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> taken(static_cast<size_t>(count), 0);
    std::vector<std::thread> threads;
    std::atomic<int> started { 0 };
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            const int s = connectTo(server.port, 4096);
            if (s >= 0 && sendAll(s, "GET /big HTTP/1.1\r\nHost: stress\r\n\r\n")) {
                ++started;
                taken[size_t(i)] = readSlowly(s, rate, clock, limitMs);
            }
            if (s >= 0)
                ::close(s);
        });
    }
    waitUntil([&] { return started == count; }, 10000);
    QThread::msleep(500);
    qint64 micros = 0;
    const qint64 askedAt = clock.elapsed();
    // Until shortly before the readers give up, so that their leaving makes no room.
    const qint64 waitMs = qMax<qint64>(1, limitMs - askedAt - 2000);
    const bool answered = isOk(fetch(server.port, "/fresh", int(waitMs), &micros));
    const qint64 waitedMs = answered ? micros / 1000 : waitMs;
    for (std::thread &t : threads)
        t.join();
    const long ended = server.stats().value("-901");
    std::printf("  the other client: %s %lld ms after it asked\n",
        answered ? "answered" : "NOT answered within", waitedMs);
    std::printf("  replies ended unsent (by the server, or as the readers left): %ld of %d; bytes "
                "the readers took:",
        ended, count);
    for (qint64 bytes : taken)
        std::printf(" %lld", bytes);
    std::printf("\n");
    // Below the server's minimum rate (1 KiB/s) they are ended and the other client answered;
    // above it they are served, however long that holds the cap.
    const bool slow = rate < 1024;
    return verdict("readers", answered == slow && (!slow || ended == count) && server.finish());
}

// ---- reset: clients that reset the connection in the middle of a 4 MiB reply.

int resetMidReply(int port)
{
    // A small window, so that the reply cannot sit whole in the socket buffers.
    const int s = connectTo(port, 16 * 1024);
    if (s < 0 || !sendAll(s, "GET /big HTTP/1.1\r\nHost: stress\r\n\r\n")) {
        if (s >= 0)
            ::close(s);
        return 0;
    }
    const QByteArray part = readUntilClosed(s, 10000, 64 * 1024);
    const linger hard { 1, 0 };
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(s);
    return part.size() >= 64 * 1024 && part.size() < BigReplySize ? 1 : 0;
}

int reset(const Options &options)
{
    const int clients = option(options, "--clients", 300);
    const int parallel = 10;
    ServerProcess server({});
    if (!server.port)
        return 1;
    std::printf("reset: %d clients reset the connection after 64 KiB of a 4 MiB reply, %d at "
                "a time\n",
        clients, parallel);
    for (int i = 0; i < 20; ++i) // warm-up
        resetMidReply(server.port);
    const Figures before = settledFigures(server.pid());
    const long resetsBefore = server.stats().value("-901");

    std::atomic<int> next { 0 }, midway { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < parallel; ++t) {
        threads.emplace_back([&] {
            while (next++ < clients)
                midway += resetMidReply(server.port);
        });
    }
    for (std::thread &t : threads)
        t.join();
    waitUntil([&] { return server.figures().threads <= before.threads; }, 20000);
    const Figures after = server.figures();
    const QMap<QByteArray, long> stats = server.stats();
    const long sendErrors = stats.value("-901") - resetsBefore;
    std::printf("  resets mid-reply: %d; error(-901) signals: %ld\n", midway.load(), sendErrors);
    std::printf("  server before: %s\n  server after:  %s\n", describe(before).constData(),
        describe(after).constData());
    const bool clean = server.finish();
    std::printf("  server ended cleanly: %s\n", clean ? "yes" : "NO");
    const bool ok = midway == clients && sendErrors == clients && clean && backTo(before, after);
    return verdict("reset", ok);
}

// ---- stop: stop() and destruction with live connections, in this process.

int stopWithLiveConnections(const Options &options)
{
    raiseDescriptorLimit();
    const int connections = option(options, "--connections", 500);
    const int idleCount = connections * 2 / 5;
    const int partialCount = connections * 3 / 10;
    const int heldCount = connections - idleCount - partialCount;
    std::printf("stop: stop() and destruction of a server with %d connections: %d idle, %d "
                "mid-request, %d requests held by the application\n",
        connections, idleCount, partialCount, heldCount);
    const Figures base = figuresOf(getpid());

    auto *server = new ZRHttpServer;
    QMutex heldMutex;
    QVector<ZRSocketThread *> held;
    QObject::connect(
        server, &ZRHttpServer::connectionThread, server,
        [&](const ZRHttpRequest &, ZRSocketThread *thread) {
            QMutexLocker lock(&heldMutex);
            held.append(thread);
        },
        Qt::DirectConnection);
    if (server->start(QStringLiteral("127.0.0.1"), 0, 4096) < 0)
        return 1;
    const int port = server->serverPort();
    std::vector<int> sockets;
    for (int i = 0; i < connections; ++i) {
        const int s = connectTo(port);
        if (s < 0)
            continue;
        sockets.push_back(s);
        if (i < idleCount)
            continue;
        if (i < idleCount + partialCount)
            sendAll(s, "POST /partial HTTP/1.1\r\nHost: stress\r\nContent-Length: 100\r\n\r\nhalf");
        else
            sendAll(s, "GET /held HTTP/1.1\r\nHost: stress\r\n\r\n");
    }
    waitUntil(
        [&] {
            QMutexLocker lock(&heldMutex);
            return held.size() >= heldCount;
        },
        30000);
    waitUntil([&] { return figuresOf(getpid()).threads >= base.threads + connections; }, 30000);
    const Figures during = figuresOf(getpid());

    QElapsedTimer clock;
    clock.start();
    server->stop();
    const qint64 stopMs = clock.restart();
    delete server;
    const qint64 deleteMs = clock.elapsed();

    // The server's own connections end at its destruction; the held requests are answered on
    // their sockets, as an application does once its server is gone.
    int answered = 0;
    for (ZRSocketThread *thread : qAsConst(held)) {
        answered
            += ::send(thread->clientSocket(), "HTTP/1.1 503 Gone\r\n\r\n", 21, MSG_NOSIGNAL) == 21;
        thread->stop();
    }
    int closedByServer = 0;
    for (size_t i = 0; i < size_t(idleCount + partialCount) && i < sockets.size(); ++i) {
        pollfd p { sockets[i], POLLIN, 0 };
        char c;
        closedByServer += ::poll(&p, 1, 5000) > 0 && ::recv(sockets[i], &c, 1, 0) <= 0;
    }
    closeAll(sockets);
    waitUntil(
        [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return figuresOf(getpid()).threads <= base.threads;
        },
        20000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const Figures after = figuresOf(getpid());

    std::printf("  before the server: %s\n  with connections:  %s\n  after:             %s\n",
        describe(base).constData(), describe(during).constData(), describe(after).constData());
    std::printf("  stop() returned in %lld ms, destruction in %lld ms\n", stopMs, deleteMs);
    std::printf("  held requests: %lld, answered after the destruction: %d; idle and "
                "mid-request connections closed by the destruction: %d of %d\n",
        qlonglong(held.size()), answered, closedByServer, idleCount + partialCount);
    const bool ok = held.size() == heldCount && answered == heldCount
        && closedByServer == idleCount + partialCount && backTo(base, after);
    return verdict("stop", ok);
}

// ---- exhaust: more clients than the server has descriptors.

int exhaust(const Options &options)
{
    raiseDescriptorLimit();
    const int clients = option(options, "--clients", 1000);
    const int fdLimit = option(options, "--fd-limit", 256);
    const int seconds = option(options, "--seconds", 60);
    // Clients are held for the whole minute: the request timeout must not free them.
    ServerProcess server({ QStringLiteral("--fd-limit"), QString::number(fdLimit),
        QStringLiteral("--request-timeout"), QString::number((seconds + 60) * 1000) });
    if (!server.port)
        return 1;
    std::printf("exhaust: %d clients against a server limited to %d descriptors, held %d s\n",
        clients, fdLimit, seconds);
    const bool answeredBefore = isOk(fetch(server.port, "/before"));
    const Figures before = settledFigures(server.pid());

    std::vector<int> sockets;
    for (int i = 0; i < clients; ++i) {
        const int s = connectTo(server.port);
        if (s >= 0)
            sockets.push_back(s);
    }
    long last = -1;
    waitUntil(
        [&] {
            const long now = server.figures().threads;
            const bool steady = now == last;
            last = now;
            return steady;
        },
        10000);
    const Figures saturated = server.figures();
    const size_t connected = sockets.size();
    qint64 micros = 0;
    const bool answeredSaturated = isOk(fetch(server.port, "/saturated", 2000, &micros));
    const double cpuStart = server.figures().cpuSeconds;
    QThread::sleep(ulong(seconds));
    const Figures minute = server.figures();
    const double cpu = minute.cpuSeconds - cpuStart;

    closeAll(sockets);
    waitUntil([&] { return server.figures().threads <= before.threads; }, 60000);
    const bool answeredAfter = isOk(fetch(server.port, "/after", 10000, &micros));
    const Figures after = server.figures();
    std::printf("  before:    %s\n  saturated: %s (%zu clients connected)\n",
        describe(before).constData(), describe(saturated).constData(), connected);
    std::printf("  CPU time over %d s saturated: %.2f s (%.1f%% of one core)\n", seconds, cpu,
        100.0 * cpu / seconds);
    std::printf("  a fresh request while saturated: %s within 2 s\n",
        answeredSaturated ? "answered" : "not answered");
    std::printf("  after the clients left: %s; a fresh request %s in %lld us\n",
        describe(after).constData(), answeredAfter ? "answered" : "NOT answered", micros);
    const bool alive = server.running();
    const bool clean = server.finish();
    std::printf("  server alive at the end: %s, ended cleanly: %s\n", alive ? "yes" : "NO",
        clean ? "yes" : "NO");
    const bool ok = answeredBefore && answeredAfter && alive && clean;
    return verdict("exhaust", ok);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=false"));
    std::signal(SIGPIPE, SIG_IGN);
    const QStringList args = app.arguments();
    const QString command = args.value(1);
    Options options;
    for (int i = 2; i + 1 < args.size(); i += 2)
        options[args.at(i)] = args.at(i + 1);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (command == QLatin1String("serve"))
        return serve(options);
    if (command == QLatin1String("idle"))
        return idle(options);
    if (command == QLatin1String("slow"))
        return slow(options);
    if (command == QLatin1String("readers"))
        return readers(options);
    if (command == QLatin1String("reset"))
        return reset(options);
    if (command == QLatin1String("stop"))
        return stopWithLiveConnections(options);
    if (command == QLatin1String("exhaust"))
        return exhaust(options);
    std::fprintf(stderr,
        "usage: zrnet-stress serve|idle|slow|readers|reset|stop|exhaust [--option value]...\n");
    return 2;
}
