// Qt 6's own QHttpServer, as a Qt user would write it: routes on the main thread's event
// loop. /sleep answers after a handler that sleeps a second (the fairness table);
// /static/NAME, given a folder, answers with the file NAME of it; any other path says hello.
// It keeps connections open whatever the request says.
//
//   qhttpserver-hello PORT [FOLDER]
#include <QCoreApplication>
#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int port = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    if (port <= 0 || argc > 3) {
        std::fprintf(stderr, "usage: qhttpserver-hello PORT [FOLDER]\n");
        return 2;
    }
    const QString folder = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QHttpServer server;
    server.route("/sleep", [] {
        QThread::sleep(1);
        return QStringLiteral("Slept.");
    });
    server.route("/static/<arg>", [folder](const QString &name) {
        return QHttpServerResponse::fromFile(folder + QLatin1Char('/') + name);
    });
    server.route("/<arg>", [](const QString &) { return QStringLiteral("Hello, world!"); });
    if (server.listen(QHostAddress::LocalHost, quint16(port)) != port) {
        std::fprintf(stderr, "qhttpserver-hello: cannot listen\n");
        return 1;
    }
    return app.exec();
}
