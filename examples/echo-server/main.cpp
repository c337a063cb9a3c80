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

#include "../common/quiet.h"
#include "../common/serveuntilsignal.h"

#include <cstdio>

static const int MaxLine = 64 * 1024;

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

    std::printf("echo server on %s:%d; try: nc %s %d\n"
                "(type lines; \"quit\" ends the connection, Ctrl-C the server)\n",
        qPrintable(address), port, qPrintable(address), port);
    std::fflush(stdout);
    return serveUntilSignal(echo, address, port, 128);
}
