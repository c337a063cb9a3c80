// A small HTTP server: answers every request with a text that echoes the
// method, path, headers and body size, and /multipart with a multipart reply.
//
//   http-hello [address=127.0.0.1] [port=8080] [--verbose]   (address "::" serves IPv6 and IPv4)
//   curl -i http://127.0.0.1:8080/hello
//   curl -i http://127.0.0.1:8080/multipart
#include <zrhttpserver.h>

#include <QCoreApplication>

#include "../common/listenaddress.h"
#include "../common/quiet.h"
#include "../common/serveuntilsignal.h"

#include <cstdio>

static ZRHttpPart textPart(const QByteArray &text)
{
    ZRHttpPart part;
    part.setHeader(
        QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain; charset=utf-8"));
    part.setBody(text);
    return part;
}

static QByteArray describe(const ZRHttpRequest &request)
{
    QByteArray text = request.typeString().toUtf8() + ' ' + request.path().toUtf8() + ' '
        + request.protocol().toUtf8() + '\n';
    const auto headers = request.headers();
    for (auto it = headers.cbegin(); it != headers.cend(); ++it)
        text += it.key() + ": " + it.value() + '\n';
    text += "body: " + QByteArray::number(request.body().size()) + " bytes\n";
    return text;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = quietUnlessVerbose(app);
    const QString address = arguments.value(1, QStringLiteral("127.0.0.1"));
    const int port = arguments.value(2, QStringLiteral("8080")).toInt();

    ZRHttpServer server;
    // Direct: the slot runs on the connection's thread and answers at once.
    QObject::connect(
        &server, &ZRHttpServer::connectionThread, &server,
        [&server](ZRHttpRequest request, ZRSocketThread *thread) {
            // The server adds nothing: the status line and headers are ours.
            if (request.path() == QLatin1String("/multipart")) {
                ZRHttpMultiPart reply(MultipartMixed);
                reply.setStartLine("HTTP/1.1 200 OK\n");
                reply.setHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
                reply.append(textPart("first part\n"));
                reply.append(textPart(describe(request)));
                server.sendReply(reply, thread);
                return;
            }
            ZRHttpPart reply = textPart("Hello from zrnet\n" + describe(request));
            reply.setStartLine("HTTP/1.1 200 OK");
            reply.setHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
            reply.setHeader(
                QByteArrayLiteral("Content-Length"), QByteArray::number(reply.body().size()));
            server.sendReply(reply, thread);
        },
        Qt::DirectConnection);

    const QByteArray host = urlHost(address).toUtf8();
    std::printf("HTTP server on %s:%d; try:\n  curl -i http://%s:%d/hello\n  curl -i "
                "http://%s:%d/multipart\n",
        host.constData(), port, host.constData(), port, host.constData(), port);
    std::fflush(stdout);
    return serveUntilSignal(server, address, port, 1024);
}
