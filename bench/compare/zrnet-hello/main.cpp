// The server side of bench/compare: answers every request on 127.0.0.1:PORT
// with the same 13-byte reply as the other servers there, then closes; over TLS when given a
// certificate and its key (PEM files).
//
//   zrnet-hello PORT [CERTIFICATE KEY]
#include <zrhttpserver.h>
#include <zrsocket.h>

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include "serveuntilsignal.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int port = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    if (port <= 0 || (argc != 2 && argc != 4)) {
        std::fprintf(stderr, "usage: zrnet-hello PORT [CERTIFICATE KEY]\n");
        return 2;
    }
    // The figures are about serving, not about writing debug lines.
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=false"));

    static const QByteArray reply = QByteArrayLiteral("HTTP/1.1 200 OK\r\n"
                                                      "Content-Length: 13\r\n"
                                                      "Connection: close\r\n"
                                                      "\r\n"
                                                      "Hello, world!");
    ZRHttpServer server;
    // The idle phase holds 5,000 connections while a fresh request must be answered: above the
    // server's default cap of 1,024, which would keep the fresh client waiting in the queue.
    server.setMaxConnections(20000);
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
        [&server](
            const ZRHttpRequest &, ZRSocketThread *thread) { server.sendReply(reply, thread); },
        Qt::DirectConnection);
    return serveUntilSignal(server, QStringLiteral("127.0.0.1"), port, 1024);
}
