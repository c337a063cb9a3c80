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
// The client owns the descriptor: write it with the ZRSocket helpers but do not
// close it. For a line-based peer, receiveLine() reads the answers on the
// calling thread, with a deadline:
//
//     ZRClient client;
//     if (client.connectToServer(host, port) < 0)
//         return;
//     ZRSocket::sendMessage(client.socket(), QStringLiteral("hello\n"));
//     const QByteArray answer = client.receiveLine(5000); // "hello\n", or empty
//
// The client starts no receive thread and never emits its signals; they carry
// the same contract as ZRServer's for applications that want one. To receive
// every chunk on a thread of your own instead, hand the thread a duplicate, so
// that the thread and the client each close only their own descriptor:
//
//     auto *thread = new ZRSocketThread(::dup(client.socket()), host); // <unistd.h>
//     QObject::connect(thread, &ZRSocketThread::connectionThread, thread,
//                      [](char *message, ZRSocketThread *t) {
//                          use(message); // borrowed; copy what you keep
//                          t->next();    // or t->stop() to end the connection
//                      },
//                      Qt::DirectConnection);
//     thread->start();
//
// The thread's stop() shuts the connection down for both descriptors; the
// thread then closes its duplicate and deletes itself from the creating
// thread's event loop, and client.stop() closes the client's descriptor.
// Use one way of receiving per connection: bytes receiveLine() has buffered
// are not seen by another reader.
//
// One thread at a time calls connectToServer(), receiveLine() and stop().
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

    // Blocks until a whole line has arrived and returns it with its '\n'.
    // Bytes after that line stay buffered for the next call. Otherwise returns:
    // - empty when nothing completes a line within msecs (negative: no limit);
    //   what has arrived of the line so far stays buffered;
    // - the bytes before the peer's close (or a receive error), without '\n',
    //   and empty from then on;
    // - the first maxSize bytes, without '\n', of a line that is longer.
    // Connecting again or stop() drops what is buffered.
    QByteArray receiveLine(int msecs, int maxSize = 64 * 1024);

signals:
    void connectionThread(char *clientMessage, ZRSocketThread *thread);
    void serverThreadCreated(ZRSocketThread *thread);

private:
    void closeHeldSocket();
    QByteArray takeReceived(int size);

    bool m_running = true;
    int m_socket = 0;
    QString m_host; // host of the latest connectToServer(), for the log
    QByteArray m_received; // read by receiveLine() beyond the lines it returned
};

#endif // ZRCLIENT_H
