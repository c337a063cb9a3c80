// TCP client: sends one line and prints what comes back, e.g. from the
// echo-server example.
//
//     tcp-client [host] [port] [line] [--verbose]   (defaults: 127.0.0.1 8080 "hello")
//
// Shows receiving on a ZRSocketThread of one's own: the thread gets a duplicate
// of the client's descriptor, so each of them closes only its own.
#include <zrclient.h>
#include <zrsocket.h>
#include <zrsocketthread.h>

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include "../common/quiet.h"

#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = quietUnlessVerbose(app);
    const QString host = args.value(1, QStringLiteral("127.0.0.1"));
    const int port = args.value(2, QStringLiteral("8080")).toInt();
    const QString line = args.value(3, QStringLiteral("hello"));

    ZRClient client;
    const int fd = client.connectToServer(host, port);
    if (fd < 0) {
        QTextStream(stderr) << "cannot connect to " << host << ':' << port << ": "
                            << ZRSocket::lastError() << " (see libzrnet.log)\n";
        return 1;
    }

    // Written on the connection's thread, read here only after it has ended.
    QByteArray echo;
    auto *receiver = new ZRSocketThread(::dup(fd), host);
    QObject::connect(
        receiver, &ZRSocketThread::connectionThread, receiver,
        [&echo](char *message, ZRSocketThread *thread) {
            echo.append(message, thread->messageSize());
            if (echo.contains('\n'))
                thread->stop();
            else
                thread->next();
        },
        Qt::DirectConnection);
    // The thread deletes itself once finished; by then nothing else uses it.
    QObject::connect(receiver, &QObject::destroyed, &app, &QCoreApplication::quit);
    receiver->start();

    if (!ZRSocket::sendMessage(fd, line + QLatin1Char('\n'))) {
        QTextStream(stderr) << "sending failed\n";
        client.stop();
    }
    // Shutting the client's descriptor down also ends the thread's receive.
    QTimer::singleShot(5000, &client, &ZRClient::stop);
    app.exec();

    QTextStream out(stdout);
    if (echo.isEmpty()) {
        QTextStream(stderr) << "no answer from " << host << ':' << port << '\n';
        return 1;
    }
    out << "echo: " << QString::fromUtf8(echo);
    return 0;
}
