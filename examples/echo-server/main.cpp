// Echo server: every message a client sends comes straight back.
//
// Shows the hand-over of every message: the slot runs on the connection's own
// thread, answers on its socket, then calls next() to receive more, or stop()
// to end the connection (here when the client sends "quit").
#include <zrserver.h>
#include <zrsocket.h>
#include <zrsocketthread.h>

#include <QCoreApplication>

#include "../common/quiet.h"
#include "../common/serveuntilsignal.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = quietUnlessVerbose(app);
    const QString address = arguments.value(1, QStringLiteral("127.0.0.1"));
    const int port = arguments.value(2, QStringLiteral("8080")).toInt();

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

    std::printf("echo server on %s:%d; try: nc %s %d\n"
                "(type lines; \"quit\" ends the connection, Ctrl-C the server)\n",
        qPrintable(address), port, qPrintable(address), port);
    std::fflush(stdout);
    return serveUntilSignal(echo, address, port, 128);
}
