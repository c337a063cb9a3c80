// The server side of bench/compare: answers every request on 127.0.0.1:PORT
// with the same 13-byte reply as the other servers there, through a ZRHttpReply,
// so the connection stays open when the client asks for it. The server's
// defaults otherwise, the connection cap included.
//
//   zrnet-hello PORT
#include <zrhttpserver.h>
#include <zrsocket.h>

#include <QCoreApplication>

#include "serveuntilsignal.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int port = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    if (port <= 0) {
        std::fprintf(stderr, "usage: zrnet-hello PORT\n");
        return 2;
    }
    ZRHttpReply reply;
    reply.setBody(QByteArrayLiteral("Hello, world!"));
    ZRHttpServer server;
    // Direct: answered on the connection's own thread, as soon as the request is whole.
    QObject::connect(
        &server, &ZRHttpServer::connectionThread, &server,
        [&server, &reply](
            const ZRHttpRequest &, ZRSocketThread *thread) { server.sendReply(reply, thread); },
        Qt::DirectConnection);
    return serveUntilSignal(server, QStringLiteral("127.0.0.1"), port, 1024);
}
