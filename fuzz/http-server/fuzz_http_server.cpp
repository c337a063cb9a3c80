// Sends a fuzzer-chosen byte stream, cut into fuzzer-chosen pieces, to a real ZRHttpServer
// connection over a socket pair, whose handler reads the request as a router's handlers do (on
// the connection's thread, with its default stack), and checks what comes back: exactly one
// answer (the application's, or the server's own refusal) or a close without one, never a
// hang past the request timeout, and the connection and the thread that served it ended every
// time. Routed, a
// router serving a folder answers, and the file beside that folder never goes out.
//
// With ZRNET_FUZZ_OVER_TLS=1 in the environment, the same runs over TLS (see clientend.h).
//
// Input: one byte of options, then pieces, each a length byte and up to that many bytes.
// Every piece is written on its own, and the next one waits (up to 20 ms) until the server has
// read it.
#include "../common/fuzzcheck.h"
#include "../common/refusalstatus.h"
#include "clientend.h"
#include "zrhttprouter.h"
#include "zrhttpserver.h"
#include "zrserver_p.h"
#include "zrtls.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <thread>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum Option : uint8_t {
    Hold = 1, // keep the client's end open after the last piece instead of shutting it down
    PassFirst = 2, // the application lets the first request go with next(), answers the next
    SmallBodies = 4, // a 16-byte body maximum, so that 413 is in reach
    Routed = 8, // a router answers, serving a folder beside which lies a file it must not serve
};

const QByteArray outsideMarker = "never-served-from-outside";

constexpr int RequestTimeoutMs = 100;
// Far beyond the request timeout and the server's linger after a refusal, even on a loaded
// machine under sanitizers: past it the server counts as hung.
constexpr int HangMs = 20000;
// How long one piece may wait for the server to read it before the next one goes anyway.
constexpr int PieceReadMs = 20;

const QByteArray appReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n";

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

// libFuzzer's timer signal interrupts system calls now and then: they are made again.
template <typename Call>
auto retrying(Call call)
{
    auto result = call();
    while (result < 0 && errno == EINTR)
        result = call();
    return result;
}

struct Fixture
{
    Fixture()
    {
        // Debug texts are formatted as usual, then dropped.
        qInstallMessageHandler(dropMessage);
        // A process's first thread makes ThreadSanitizer start a thread of its own, which must
        // not count as one left by a connection.
        std::thread([] {}).join();
        server.setRequestTimeout(RequestTimeoutMs);
        if (ClientEnd::overTls()) {
            QByteArray certificate, key;
            check(ZRTls::generateSelfSigned(QStringLiteral("fuzz"), {}, 1, &certificate, &key)
                    && server.setTlsCertificate(certificate, key)
                    && routedServer.setTlsCertificate(certificate, key),
                "no certificate");
            ClientEnd::trust(certificate);
        }
        QObject::connect(
            &server, &ZRHttpServer::connectionThread, &server,
            [this](const ZRHttpRequest &request, ZRSocketThread *thread) {
                // What a router's handler reads, here on the connection's thread and stack.
                (void)request.json();
                (void)request.query().queryItems(QUrl::FullyDecoded);
                (void)request.pathOnly();
                if (++requests == 1 && passFirst)
                    thread->next();
                else
                    server.sendReply(appReply, thread);
            },
            Qt::DirectConnection);
        for (ZRHttpServer *each : { &server, &routedServer }) {
            QObject::connect(
                each, &ZRHttpServer::error, each,
                [this](int code) {
                    ++errors;
                    lastError = code;
                },
                Qt::DirectConnection);
        }
        routedServer.setRequestTimeout(RequestTimeoutMs);
        QDir(folder.path()).mkdir(QStringLiteral("static"));
        QFile inside(folder.filePath(QStringLiteral("static/a.txt")));
        QFile outside(folder.filePath(QStringLiteral("secret.txt")));
        check(inside.open(QIODevice::WriteOnly) && inside.write("a") == 1
                && outside.open(QIODevice::WriteOnly)
                && outside.write(outsideMarker) == outsideMarker.size()
                && QFile::link(
                    QStringLiteral("../secret.txt"), folder.filePath(QStringLiteral("static/out"))),
            "no folder to serve");
        router.serveDirectory(QStringLiteral("/static"), folder.filePath(QStringLiteral("static")));
        router.route(RequestGet, QStringLiteral("/items/{id}"), [](const ZRHttpRequest &request) {
            return ZRHttpReply::text(request.pathParameter(QStringLiteral("id")).toUtf8());
        });
    }

    int argc = 1;
    char name[17] = "fuzz_http_server";
    char *argv[2] = { name, nullptr };
    QCoreApplication app { argc, argv };
    ZRHttpServer server;
    ZRHttpServer routedServer;
    ZRHttpRouter router { &routedServer };
    QTemporaryDir folder;
    std::atomic<int> requests { 0 };
    std::atomic<int> errors { 0 };
    std::atomic<int> lastError { 0 };
    std::atomic<bool> passFirst { false };
};

Fixture &fixture()
{
    static Fixture *f = new Fixture; // lives as long as the process: threads may refer to it
    return *f;
}

// Threads of this process, as the kernel counts them.
int threadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    const int at = text.indexOf("Threads:");
    return at < 0 ? -1 : text.mid(at + 8, text.indexOf('\n', at) - at - 8).trimmed().toInt();
}

// Waits until the server has read everything written so far, or has gone.
void waitUntilRead(int socket)
{
    QElapsedTimer clock;
    clock.start();
    int queued = 0;
    while (::ioctl(socket, SIOCOUTQ, &queued) == 0 && queued > 0 && clock.elapsed() < PieceReadMs)
        ::usleep(20);
}

// Everything the server sends until it closes; false if HangMs pass without the close.
bool readUntilClosed(int socket, ClientEnd &end, QByteArray *received)
{
    QElapsedTimer clock;
    clock.start();
    char buffer[4096];
    for (;;) {
        const qint64 left = HangMs - clock.elapsed();
        pollfd p { socket, POLLIN, 0 };
        if (!end.hasPending()
            && (left <= 0 || retrying([&] { return ::poll(&p, 1, int(left)); }) <= 0))
            return false;
        const ssize_t n = end.receive(buffer, sizeof buffer);
        if (n <= 0)
            return true;
        received->append(buffer, int(n));
    }
}

// One interim answer per request at most, then the application's answer, one refusal, or
// nothing.
void checkAnswer(QByteArray received, bool passFirst, bool routed)
{
    Fixture &f = fixture();
    check(!received.contains(outsideMarker), "a file outside the served folder went out");
    if (routed) {
        check(received.isEmpty() || received.startsWith("HTTP/1.1 "), "routed answer no reply");
        return;
    }
    for (int i = 0; i < (passFirst ? 2 : 1) && received.startsWith(interim); ++i)
        received.remove(0, interim.size());
    const int handed = passFirst ? 2 : 1;
    if (received.isEmpty()) {
        check(f.errors == 0, "error signal without a refusal");
        check(f.requests < handed, "request handed over but no answer sent");
    } else if (received == appReply) {
        check(f.errors == 0, "error signal beside the answer");
        check(f.requests == handed, "answer sent without a request");
    } else {
        check(received.startsWith("HTTP/1.1 "), "answer neither the application's nor a refusal");
        const int status = received.mid(9, 3).toInt();
        check(f.errors == 1, "refusal without exactly one error signal");
        check(status == refusalStatus(ZRHttpError(int(f.lastError)), status),
            "refusal status off its code");
        check(received.contains("\r\nConnection: close\r\n\r\n")
                && received.endsWith(ZRHttpReply::reasonPhrase(status) + '\n')
                && received.count("HTTP/1.1 ") == 1,
            "not exactly one refusal");
        check(f.requests < handed, "refusal after the request was handed over");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 16384)
        return 0;
    Fixture &f = fixture();
    const uint8_t options = data[0];
    f.requests = 0;
    f.errors = 0;
    f.lastError = 0;
    f.passFirst = (options & PassFirst) != 0;
    ZRHttpServer &server = options & Routed ? f.routedServer : f.server;
    server.setMaxBodySize(options & SmallBodies ? 16 : 1024 * 1024);

    const int threadsBefore = threadCount();
    QElapsedTimer connectionClock;
    connectionClock.start();
    int ends[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "no socket pair");
    const int client = ends[0];
    check(ZRServerHandover::startConnection(server, ends[1], QStringLiteral("fuzz")) != nullptr,
        "no connection");
    ClientEnd end(client);
    // The handshake counts toward the request timeout, so on a slow machine it may end first.
    check(end.start() || connectionClock.elapsed() >= RequestTimeoutMs, "handshake failed");

    for (size_t at = 1; at < size;) {
        const size_t length = qMin<size_t>(data[at], size - at - 1);
        const auto *piece = reinterpret_cast<const char *>(data + at + 1);
        at += 1 + length;
        if (length == 0)
            continue;
        if (end.send(piece, length) != ssize_t(length))
            break; // the server has closed: the rest cannot go
        waitUntilRead(client);
    }
    if (!(options & Hold))
        end.shutdownWrite();
    QByteArray received;
    if (!readUntilClosed(client, end, &received)) {
        std::fprintf(stderr, "%lld ms after the connection began, %d bytes came\n",
            connectionClock.elapsed(), received.size());
        failure("neither an answer nor a close");
    }
    ::close(client);
    check(server.waitForConnections(HangMs), "connection still there after the close");
    checkAnswer(received, f.passFirst, options & Routed);
    // The thread that served it ends at once, no accept loop running, and hands its object to
    // this thread to delete.
    QElapsedTimer threadClock;
    threadClock.start();
    while (threadCount() > threadsBefore && threadClock.elapsed() < HangMs)
        QThread::msleep(1);
    check(threadCount() <= threadsBefore, "the connection's thread still running");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
