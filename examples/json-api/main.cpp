// A small JSON API on a router: the server writes the status lines, lengths and dates, and
// answers unknown paths (404), other methods (405) and HEAD by itself.
//
//   json-api [address=127.0.0.1] [port=8080] [--verbose]   (address "::" serves IPv6 and IPv4)
//   curl -i http://127.0.0.1:8080/status
//   curl -i -d '{"a":[1,2]}' http://127.0.0.1:8080/echo
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

#include "../common/listenaddress.h"
#include "../common/quiet.h"
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = quietUnlessVerbose(app);
    const QString address = arguments.value(1, QStringLiteral("127.0.0.1"));
    const int port = arguments.value(2, QStringLiteral("8080")).toInt();

    QElapsedTimer uptime;
    uptime.start();
    std::atomic<qint64> requests { 0 }; // handlers run on many connection threads at once

    ZRHttpServer server;
    ZRHttpRouter router(&server);
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

    const QByteArray host = urlHost(address).toUtf8();
    std::printf("JSON API on %s:%d; try:\n  curl -i http://%s:%d/status\n"
                "  curl -i -d '{\"a\":[1,2]}' http://%s:%d/echo\n  curl -i http://%s:%d/report\n",
        host.constData(), port, host.constData(), port, host.constData(), port, host.constData(),
        port);
    std::fflush(stdout);
    return serveUntilSignal(server, address, port, 1024);
}
