// TCP client: sends one line and prints the line that comes back, e.g. from the
// echo-server example.
//
//     tcp-client [host] [port] [line] [--verbose]   (defaults: 127.0.0.1 8080 "hello")
//
// Shows a request and its answer on the calling thread: receiveLine() waits
// (here at most 5 s) until a whole line has arrived, however the peer's bytes
// were split on the way.
#include <zrclient.h>
#include <zrsocket.h>

#include <QCoreApplication>
#include <QTextStream>

#include "../common/quiet.h"

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
    if (!ZRSocket::sendMessage(fd, line + QLatin1Char('\n'))) {
        QTextStream(stderr) << "sending failed\n";
        return 1;
    }
    const QByteArray echo = client.receiveLine(5000);
    if (echo.isEmpty()) {
        QTextStream(stderr) << "no answer from " << host << ':' << port << '\n';
        return 1;
    }
    QTextStream(stdout) << "echo: " << QString::fromUtf8(echo);
    return 0;
}
