// Echo server: every message a client sends comes straight back.
//
// Shows the hand-over of every message: the slot runs on the connection's own
// thread, answers on its socket, then calls next() to receive more, or stop()
// to end the connection (here when the client sends "quit").
#include <zrserver.h>
#include <zrsocket.h>
#include <zrsocketthread.h>

#include <QCoreApplication>

#include "../common/stoponsignal.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString address
        = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("127.0.0.1");
    const int port = argc > 2 ? QByteArray(argv[2]).toInt() : 8080;

    ZRServer echo;
    QObject::connect(
        &echo, &ZRServer::connectionThread, &echo,
        [](char *message, ZRSocketThread *thread) {
            const QByteArray bytes(message, thread->messageSize());
            ZRSocket::sendByteArray(thread->clientSocket(), bytes);
            if (bytes.trimmed() == "quit")
                thread->stop();
            else
                thread->next();
        },
        Qt::DirectConnection);

    stopOnSignal(echo);

    std::printf("echo server on %s:%d; try: nc %s %d\n"
                "(type lines; \"quit\" ends the connection, Ctrl-C the server)\n",
        qPrintable(address), port, qPrintable(address), port);
    std::fflush(stdout);
    const int result = echo.listenConnections(address, port, 128);
    if (result < 0)
        std::fprintf(
            stderr, "%s: %s\n", qPrintable(echo.errorText()), qPrintable(ZRSocket::lastError()));
    return result < 0 ? 1 : 0;
}
