// Echo server: every line a client sends comes straight back.
//
// Shows the hand-over of every message: the slot runs on the connection's own
// thread, answers on its socket, then calls next() to receive more, or stop()
// to end the connection (here when the client sends "quit"). A message is
// whatever one receive brought, so the slot frames lines itself: a line may
// arrive in pieces, and one message may hold several lines.
#include <zrserver.h>
#include <zrsocket.h>
#include <zrsocketthread.h>

#include <QCoreApplication>

#include "../common/stoponsignal.h"

#include <cstdio>

static const int MaxLine = 64 * 1024;

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
            // Every connection receives on a thread of its own, so this is the
            // connection's unfinished line; it ends with the connection's thread.
            static thread_local QByteArray pending;
            pending.append(message, thread->messageSize());
            for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
                const QByteArray line = pending.left(end + 1);
                pending.remove(0, end + 1);
                if (!ZRSocket::sendByteArray(thread->clientSocket(), line)
                    || line.trimmed() == "quit") {
                    thread->stop();
                    return;
                }
            }
            // A line without end is echoed in pieces rather than held without bound.
            if (pending.size() >= MaxLine) {
                ZRSocket::sendByteArray(thread->clientSocket(), pending);
                pending.clear();
            }
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
