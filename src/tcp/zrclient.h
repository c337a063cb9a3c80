#ifndef ZRCLIENT_H
#define ZRCLIENT_H

#include "zrnet_global.h"
#include "zrsocketthread.h"

#include <QObject>
#include <QString>

// One outgoing TCP connection. connectToServer() blocks while the host is
// resolved and connected (at most 5 s for the connection itself) and returns
// the descriptor, or -1 after writing an "Error" line to libzrnet.log; the
// cause stays in ZRSocket::lastError()/lastErrorNumber(). Connecting again
// first closes the descriptor already held. stop() and the destructor close it.
//
// The client owns the descriptor: read and write it with the ZRSocket helpers
// but do not close it. It starts no receive thread and never emits its signals;
// they carry the same contract as ZRServer's for applications that want one.
// To receive on a thread of your own, hand the thread a duplicate, so that the
// thread and the client each close only their own descriptor:
//
//     ZRClient client;
//     int fd = client.connectToServer(host, port);
//     if (fd < 0)
//         return;
//     auto *thread = new ZRSocketThread(::dup(fd), host); // <unistd.h>
//     QObject::connect(thread, &ZRSocketThread::connectionThread, thread,
//                      [](char *message, ZRSocketThread *t) {
//                          use(message); // borrowed; copy what you keep
//                          t->next();    // or t->stop() to end the connection
//                      },
//                      Qt::DirectConnection);
//     thread->start();
//     ZRSocket::sendMessage(fd, QStringLiteral("hello\n"));
//
// The thread's stop() shuts the connection down for both descriptors; the
// thread then closes its duplicate and deletes itself from the creating
// thread's event loop, and client.stop() closes the client's descriptor.
//
// One thread at a time calls connectToServer() and stop().
class ZRNET_EXPORT ZRClient : public QObject
{
    Q_OBJECT
public:
    ZRClient();
    ~ZRClient() override;

    int connectToServer(QString host, int port);
    // The connected descriptor; 0 when none is held.
    int socket();
    void stop();

signals:
    void connectionThread(char *clientMessage, ZRSocketThread *thread);
    void serverThreadCreated(ZRSocketThread *thread);

private:
    void closeHeldSocket();

    bool m_running = true;
    int m_socket = 0;
    QString m_host; // host of the latest connectToServer(), for the log
};

#endif // ZRCLIENT_H
