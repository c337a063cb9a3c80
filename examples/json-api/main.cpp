// A small JSON API on a router: the server writes the status lines, lengths and dates, and
// answers unknown paths (404), other methods (405) and HEAD by itself. One router answers
// plain HTTP and HTTPS alike (with a certificate made on first start, kept in the state
// folder), and an after-hook logs every request, the router's own answers included.
//
//   json-api [address=127.0.0.1] [port=8080] [https-port=8443] [--state-dir DIR] [--verbose]
//   (address "::" serves IPv6 and IPv4; the state folder is ~/.local/share/json-api unless given)
//   curl -i http://127.0.0.1:8080/status
//   curl -ik https://127.0.0.1:8443/status
//   curl -i -d '{"a":[1,2]}' http://127.0.0.1:8080/echo
//   curl -i -d 'buy milk' http://127.0.0.1:8080/notes; curl -i http://127.0.0.1:8080/notes
//   curl -i http://127.0.0.1:8080/report
//   curl -i http://127.0.0.1:8080/nowhere
#include <zrhttpmultipart.h>
#include <zrhttprouter.h>
#include <zrhttpserver.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
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

// One line per request, as the reply goes out: who asked, over what, and how it went.
void logRequest(const ZRHttpRequest &request, const ZRHttpReply &reply)
{
    std::printf("%s:%u %s %s %s %d %.3f ms\n", qPrintable(urlHost(request.remoteAddress())),
        unsigned(request.remotePort()), request.isTls() ? "https" : "http",
        qPrintable(request.typeString()), qPrintable(request.path()), reply.status(),
        double(request.nsecsSinceArrival()) / 1e6);
    std::fflush(stdout);
}

// "--state-dir DIR" taken out of the arguments; the program's data folder without it.
QString takeStateDir(QStringList &arguments)
{
    const int at = arguments.indexOf(QStringLiteral("--state-dir"));
    if (at < 0)
        return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString folder = arguments.value(at + 1);
    arguments.erase(arguments.begin() + at, arguments.begin() + qMin(at + 2, arguments.size()));
    return folder;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = quietUnlessVerbose(app);
    const QString stateDir = takeStateDir(arguments);
    const QString address = arguments.value(1, QStringLiteral("127.0.0.1"));
    const int port = arguments.value(2, QStringLiteral("8080")).toInt();
    const int httpsPort = arguments.value(3, QStringLiteral("8443")).toInt();

    QElapsedTimer uptime;
    uptime.start();
    std::atomic<qint64> requests { 0 }; // handlers run on many connection threads at once

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
                "  curl -i -d '{\"a\":[1,2]}' http://%s:%d/echo\n  curl -i http://%s:%d/report\n",
        host.constData(), port, httpsPort, fingerprint.constData(), host.constData(), port,
        host.constData(), httpsPort, host.constData(), port, host.constData(), port);
    std::fflush(stdout);
    return app.exec(); // the servers stop as they are destroyed
}
