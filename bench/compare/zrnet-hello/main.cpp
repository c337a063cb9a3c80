// The server side of bench/compare: answers every request on 127.0.0.1:PORT
// with the same 13-byte reply as the other servers there, through a ZRHttpReply,
// so the connection stays open when the client asks for it; over TLS when given a
// certificate and its key (PEM files). With --static FOLDER it serves the files of FOLDER at
// /static/ through ZRHttpRouter::serveDirectory() instead. The server's defaults otherwise,
// the connection cap included. /sleep answers after a handler that sleeps a second, on the
// connection's thread as every handler here (the fairness table of run.sh).
//
//   zrnet-hello PORT [CERTIFICATE KEY]
//   zrnet-hello PORT --static FOLDER
#include <zrhttprouter.h>
#include <zrhttpserver.h>
#include <zrsocket.h>

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include "serveuntilsignal.h"

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int port = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    const bool folder = argc == 4 && QByteArray(argv[2]) == "--static";
    if (port <= 0 || (argc != 2 && argc != 4)) {
        std::fprintf(stderr, "usage: zrnet-hello PORT [CERTIFICATE KEY | --static FOLDER]\n");
        return 2;
    }
    ZRHttpReply reply;
    reply.setBody(QByteArrayLiteral("Hello, world!"));
    ZRHttpReply slept;
    slept.setBody(QByteArrayLiteral("Slept."));
    ZRHttpServer server;
    std::unique_ptr<ZRHttpRouter> router;
    if (folder) {
        router = std::make_unique<ZRHttpRouter>(&server);
        router->serveDirectory(QStringLiteral("/static"), QString::fromLocal8Bit(argv[3]));
        return serveUntilSignal(server, QStringLiteral("127.0.0.1"), port, 1024);
    }
    if (argc == 4) {
        QFile certificate(QString::fromLocal8Bit(argv[2]));
        QFile key(QString::fromLocal8Bit(argv[3]));
        if (!certificate.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)
            || !server.setTlsCertificate(certificate.readAll(), key.readAll())) {
            std::fprintf(stderr, "zrnet-hello: no TLS: %s\n", qPrintable(server.errorText()));
            return 1;
        }
    }
    // Direct: answered on the connection's own thread, as soon as the request is whole.
    QObject::connect(
        &server, &ZRHttpServer::connectionThread, &server,
        [&server, &reply, &slept](const ZRHttpRequest &request, ZRSocketThread *thread) {
            if (request.pathOnly() == QLatin1String("/sleep")) {
                QThread::sleep(1);
                server.sendReply(slept, thread);
                return;
            }
            server.sendReply(reply, thread);
        },
        Qt::DirectConnection);
    return serveUntilSignal(server, QStringLiteral("127.0.0.1"), port, 1024);
}
