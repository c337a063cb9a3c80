// A small JSON API on a router: the server writes the status lines, lengths and dates, and
// answers unknown paths (404), other methods (405) and HEAD by itself. One router answers
// plain HTTP and HTTPS alike (with a certificate made on first start, kept in the state
// folder), and an after-hook logs every request, the router's own answers included. /account
// needs a login: a session from POST /login (its cookie, and its token in X-XSRF-TOKEN for
// unsafe requests), or Basic credentials over HTTPS; the password is made at start and printed.
//
//   json-api [address=127.0.0.1] [port=8080] [https-port=8443] [--state-dir DIR]
//            [--upload-token TOKEN] [--verbose]
//   (address "::" serves IPv6 and IPv4; the state folder is ~/.local/share/json-api unless given)
//   curl -i http://127.0.0.1:8080/status
//   curl -ik https://127.0.0.1:8443/status
//   curl -i -d '{"a":[1,2]}' http://127.0.0.1:8080/echo
//   curl -i -d 'buy milk' http://127.0.0.1:8080/notes; curl -i http://127.0.0.1:8080/notes
//   curl -i http://127.0.0.1:8080/report
//   curl -i -F name=value -F file=@picture.png http://127.0.0.1:8080/form
//   curl -i -T firmware.bin http://127.0.0.1:8080/upload     (to a file as it comes, up to 1 GiB)
//   (with --upload-token TOKEN, /upload and /form need -H 'Authorization: Bearer TOKEN', and
//   anything else gets 401 before a byte of its body is read)
//   curl -i http://127.0.0.1:8080/nowhere
//   python3 -m websockets ws://127.0.0.1:8080/ws                 (an echo; wss:// on 8443 too)
//   curl -i http://127.0.0.1:8080/account                       (401)
//   curl -i -c jar -d '{"password":"PASSWORD"}' http://127.0.0.1:8080/login
//   curl -i -b jar http://127.0.0.1:8080/account
//   curl -i -b jar -X POST http://127.0.0.1:8080/logout
//   curl -ik -u admin:PASSWORD https://127.0.0.1:8443/account
#include <zrhttpform.h>
#include <zrhttpguard.h>
#include <zrhttpmultipart.h>
#include <zrhttprouter.h>
#include <zrhttpserver.h>
#include <zrhttpsessions.h>
#include <zrhttpthrottle.h>
#include <zrpassword.h>
#include <zrwebsocket.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>

#include "../common/listenaddress.h"
#include "../common/quiet.h"
#include "../common/selfsignedtls.h"
#include "../common/serveuntilsignal.h"

#include <atomic>
#include <cstdio>

namespace {

ZRHttpPart part(const QByteArray &contentType, const QByteArray &body)
{
    ZRHttpPart part;
    part.setHeader(QByteArrayLiteral("Content-Type"), contentType);
    part.setBody(body);
    return part;
}

// A summary in text, the same as JSON, and a chart offered as text or HTML.
ZRHttpMultiPart report(qint64 requests)
{
    const QByteArray count = QByteArray::number(requests);
    ZRHttpMultiPart report(MultipartMixed);
    ZRHttpPart summary = part("text/plain; charset=utf-8", "requests so far: " + count + "\n");
    summary.setStartLine("Content-Disposition: inline");
    report.append(summary);
    report.append(part("application/json",
        QJsonDocument(QJsonObject { { QStringLiteral("requests"), requests } })
            .toJson(QJsonDocument::Compact)));
    ZRHttpMultiPart chart(MultipartAlternative);
    chart.append(
        part("text/plain; charset=utf-8", QByteArray(int(qMin<qint64>(requests, 60)), '#')));
    chart.append(
        part("text/html; charset=utf-8", "<meter max=\"60\" value=\"" + count + "\"></meter>"));
    report.append(chart);
    return report;
}

// Each part of a multipart form: its field's name, its file name, size and SHA-256.
ZRHttpReply describeForm(const ZRHttpRequest &request)
{
    const ZRHttpForm form = ZRHttpForm::parse(request);
    if (form.error() != ZRHttpForm::NoError)
        return ZRHttpReply::json(
            QJsonObject { { QStringLiteral("error"), form.errorString() } }, 400);
    QJsonArray parts;
    for (const ZRHttpForm::Part &part : form.parts()) {
        QCryptographicHash sha256(QCryptographicHash::Sha256);
        QFile file(part.filePath);
        if (part.isFile() && file.open(QIODevice::ReadOnly))
            sha256.addData(&file);
        else
            sha256.addData(part.value);
        parts.append(QJsonObject { { QStringLiteral("name"), part.name },
            { QStringLiteral("fileName"), part.fileName },
            { QStringLiteral("size"), part.size },
            { QStringLiteral("sha256"), QString::fromLatin1(sha256.result().toHex()) } });
    }
    return ZRHttpReply::json(parts);
}

// The size and SHA-256 of a body, read from the file it went to.
ZRHttpReply describeUpload(const ZRHttpRequest &request)
{
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    QFile file(request.bodyFile());
    qint64 size = request.body().size();
    if (file.open(QIODevice::ReadOnly)) {
        size = file.size();
        sha256.addData(&file);
    } else {
        sha256.addData(request.body());
    }
    return ZRHttpReply::json(QJsonObject { { QStringLiteral("bytes"), size },
        { QStringLiteral("sha256"), QString::fromLatin1(sha256.result().toHex()) } });
}

// With a token, uploads and forms need it, judged on their head: 401 before their body.
ZRHttpRouter::BeforeHook requireUploadToken(const QString &token)
{
    return [expected = "Bearer " + token.toUtf8()](
               const ZRHttpRequest &request) -> std::optional<ZRHttpReply> {
        const QString path = request.pathOnly();
        if (expected == "Bearer " || (path != QLatin1String("/upload") && path != QLatin1String("/form"))
            || request.headerValue("Authorization") == expected)
            return std::nullopt;
        return ZRHttpReply::json(QJsonObject { { QStringLiteral("error"), QStringLiteral("token needed") } }, 401);
    };
}

// One line per request, as the reply goes out: who asked, over what, and how it went.
void logRequest(const ZRHttpRequest &request, const ZRHttpReply &reply)
{
    std::printf("%s:%u %s %s %s %d %.3f ms\n", qPrintable(urlHost(request.remoteAddress())),
        unsigned(request.remotePort()), request.isTls() ? "https" : "http",
        qPrintable(request.typeString()), qPrintable(request.path()), reply.status(),
        double(request.nsecsSinceArrival()) / 1e6);
    std::fflush(stdout);
}

// "NAME VALUE" taken out of the arguments; null without it.
QString takeOption(QStringList &arguments, const QString &name)
{
    const int at = arguments.indexOf(name);
    if (at < 0)
        return QString();
    const QString value = arguments.value(at + 1);
    arguments.erase(arguments.begin() + at, arguments.begin() + qMin(at + 2, arguments.size()));
    return value;
}

// "--state-dir DIR" taken out of the arguments; the program's data folder without it.
QString takeStateDir(QStringList &arguments)
{
    const QString folder = takeOption(arguments, QStringLiteral("--state-dir"));
    return folder.isNull() ? QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
                           : folder;
}

// An example has nobody to choose its password, and no password may be the same everywhere:
// one is made at each start.
QString madePassword()
{
    QByteArray bytes(12, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), 3);
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding));
}

// POST /login {"password": ...} starts a session, POST /logout ends it, and GET /account answers
// only within one (or to Basic credentials over HTTPS); the other routes stay open.
void addAccount(ZRHttpRouter &router, ZRHttpSessions &sessions, ZRHttpThrottle &throttle,
    const QByteArray &hash)
{
    router.route(RequestPost, QStringLiteral("/login"), [&, hash](const ZRHttpRequest &request) {
        const QString password
            = request.json().object().value(QStringLiteral("password")).toString();
        ZRHttpThrottle::Verdict verdict;
        const auto outcome = throttle.attempt(
            request.remoteAddress(), [&] { return ZRPassword::verify(password, hash); }, &verdict);
        if (outcome == ZRHttpThrottle::Outcome::Refused)
            return ZRHttpThrottle::refusal(verdict);
        if (outcome == ZRHttpThrottle::Outcome::Wrong)
            return ZRHttpReply::json(
                QJsonObject { { QStringLiteral("error"), QStringLiteral("wrong password") } }, 401);
        ZRHttpReply reply = ZRHttpReply::json(
            QJsonObject { { QStringLiteral("user"), QStringLiteral("admin") } });
        sessions.start(request, reply, QStringLiteral("admin"));
        return reply;
    });
    router.route(RequestPost, QStringLiteral("/logout"), [&](const ZRHttpRequest &request) {
        ZRHttpReply reply(204);
        sessions.end(request, reply);
        return reply;
    });
    router.route(RequestGet, QStringLiteral("/account"), [&](const ZRHttpRequest &request) {
        const auto session = sessions.find(request);
        return ZRHttpReply::json(QJsonObject { { QStringLiteral("user"), QStringLiteral("admin") },
            { QStringLiteral("by"),
                session ? QStringLiteral("session") : QStringLiteral("basic") } });
    });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = quietUnlessVerbose(app);
    const QString stateDir = takeStateDir(arguments);
    const QString uploadToken = takeOption(arguments, QStringLiteral("--upload-token"));
    const QString address = arguments.value(1, QStringLiteral("127.0.0.1"));
    const int port = arguments.value(2, QStringLiteral("8080")).toInt();
    const int httpsPort = arguments.value(3, QStringLiteral("8443")).toInt();

    QElapsedTimer uptime;
    uptime.start();
    std::atomic<qint64> requests { 0 }; // handlers run on many connection threads at once

    // Before the servers, which may still run handlers as they are destroyed: every request
    // goes through the guard, and /account alone needs a login.
    const QString password = madePassword();
    const QByteArray hash = ZRPassword::hash(password);
    ZRHttpSessions sessions;
    ZRHttpThrottle throttle;
    ZRHttpGuard::Options guarding;
    guarding.openPaths = QStringList { QStringLiteral("/status"), QStringLiteral("/echo"),
        QStringLiteral("/report"), QStringLiteral("/notes"), QStringLiteral("/form"),
        QStringLiteral("/upload"), QStringLiteral("/login"), QStringLiteral("/logout"),
        QStringLiteral("/ws") };
    guarding.apiPrefix = QStringLiteral("/");
    guarding.basic = [hash](const QString &user, const QString &given) {
        return user == QLatin1String("admin") && ZRPassword::verify(given, hash);
    };
    guarding.throttle = &throttle;
    const ZRHttpGuard guard(&sessions, guarding);
    ZRHttpServer server;
    ZRHttpServer httpsServer;
    QByteArray fingerprint;
    if (!setUpSelfSignedTls(httpsServer,
            { QStringLiteral("json-api"), stateDir, QStringLiteral("json-api"), address },
            &fingerprint))
        return 1;
    ZRHttpRouter router;
    router.serve(&server);
    router.serve(&httpsServer);
    router.after(logRequest);
    router.setCompression(true);
    router.before(guard.hook());
    addAccount(router, sessions, throttle, hash);
    router.route(RequestGet, QStringLiteral("/status"), [&](const ZRHttpRequest &) {
        return ZRHttpReply::json(QJsonObject {
            { QStringLiteral("status"), QStringLiteral("ok") },
            { QStringLiteral("uptimeSeconds"), uptime.elapsed() / 1000 },
            { QStringLiteral("requests"), ++requests },
        });
    });
    router.route(RequestPost, QStringLiteral("/echo"), [&](const ZRHttpRequest &request) {
        ++requests;
        QJsonParseError error;
        const QJsonDocument body = request.json(&error);
        if (body.isNull()) {
            return ZRHttpReply::json(QJsonObject { { QStringLiteral("error"), error.errorString() },
                                         { QStringLiteral("offset"), error.offset } },
                400);
        }
        return ZRHttpReply::json(body);
    });
    router.before(requireUploadToken(uploadToken));
    router.route(RequestPost, QStringLiteral("/form"), describeForm);
    router.route(RequestPut, QStringLiteral("/upload"), describeUpload);
    ZRHttpRouter::BodyLimits toFile;
    toFile.maxSize = qint64(1) << 30;
    toFile.fileFrom = 64 * 1024;
    router.setBodyLimits(QStringLiteral("/upload"), toFile);
    toFile.maxSize = 256 * 1024 * 1024;
    router.setBodyLimits(QStringLiteral("/form"), toFile);
    router.route(RequestGet, QStringLiteral("/report"), [&](const ZRHttpRequest &) {
        ZRHttpReply reply;
        reply.setMultipart(report(++requests));
        return reply;
    });
    // The notes belong to the main thread, where these two handlers run: no lock.
    QStringList notes;
    router.route(RequestPost, QStringLiteral("/notes"), &app, [&](const ZRHttpRequest &request) {
        ++requests;
        notes.append(QString::fromUtf8(request.body()));
        return ZRHttpReply::json(QJsonObject { { QStringLiteral("notes"), notes.size() } }, 201);
    });
    router.route(RequestGet, QStringLiteral("/notes"), &app, [&](const ZRHttpRequest &) {
        ++requests;
        return ZRHttpReply::json(QJsonArray::fromStringList(notes));
    });
    // Each message goes back as it came, from the thread that read it.
    router.webSocket(
        QStringLiteral("/ws"), ZRWebSocketOptions(), [](std::shared_ptr<ZRWebSocket> socket) {
            ZRWebSocket *ws = socket.get();
            QObject::connect(
                ws, &ZRWebSocket::textMessageReceived, ws,
                [ws](const QString &message) { ws->sendText(message); }, Qt::DirectConnection);
            QObject::connect(
                ws, &ZRWebSocket::binaryMessageReceived, ws,
                [ws](const QByteArray &message) { ws->sendBinary(message); },
                Qt::DirectConnection);
        });

    // Before the servers start their threads; the event loop, which the notes' handlers need,
    // takes the signals.
    const StopSignals stopSignals;
    for (const auto &listener : { qMakePair(&server, port), qMakePair(&httpsServer, httpsPort) }) {
        if (listener.first->start(address, listener.second, 1024) < 0) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(listener.first->errorText()),
                qPrintable(ZRSocket::lastError()));
            return 1;
        }
    }
    const QByteArray host = urlHost(address).toUtf8();
    std::printf("JSON API on %s:%d and HTTPS on port %d (certificate SHA-256 %s); try:\n"
                "  curl -i http://%s:%d/status\n  curl -ik https://%s:%d/status\n"
                "  curl -i -d '{\"a\":[1,2]}' http://%s:%d/echo\n  curl -i http://%s:%d/report\n"
                "  curl -ik -u admin:%s https://%s:%d/account\n",
        host.constData(), port, httpsPort, fingerprint.constData(), host.constData(), port,
        host.constData(), httpsPort, host.constData(), port, host.constData(), port,
        qPrintable(password), host.constData(), httpsPort);
    std::fflush(stdout);
    return app.exec(); // the servers stop as they are destroyed
}
