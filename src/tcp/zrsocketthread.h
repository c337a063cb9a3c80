#ifndef ZRSOCKETTHREAD_H
#define ZRSOCKETTHREAD_H

#include "zrnet_global.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QString>
#include <QThread>

#include <atomic>

// Owns one connected socket and runs its receive loop on a thread of its own.
//
// Every chunk the socket delivers (one recv of at most 1024 bytes; there is no
// framing) is emitted as connectionThread(message, this), the message being
// NUL-terminated and borrowed from this thread. The loop then waits until the
// receiver calls exactly one of next() (go on) or stop() (end the connection);
// until then the buffer stays as emitted, so queued receivers may read it too.
// A receiver must call one of them for every message, or the connection stalls.
//
// When the peer closes, an error or a receive timeout occurs, or stop() is
// called, the loop closes the socket; once the thread has finished the object
// is deleted by the event processing of the thread that created it. Nobody else
// deletes it, and nobody should keep the pointer past finished().
class ZRNET_EXPORT ZRSocketThread : public QThread
{
    Q_OBJECT
public:
    enum { MessageCapacity = 1024 };

    ZRSocketThread(int socket, QString address);
    ~ZRSocketThread() override;

    int clientSocket() const;
    QString remoteAddress() const;
    // Size in bytes of the message being held (it may contain NUL bytes).
    int messageSize() const;

    void next();
    void stop();

signals:
    void connectionThread(char *clientMessage, ZRSocketThread *thread);

protected:
    void run() override;

private:
    friend class ZRHttpServer; // counts a request's time from the accept

    const int m_socket;
    const QString m_address;
    std::atomic<bool> m_running { true }; // cleared by stop() on any thread
    QSemaphore m_pacing; // released by the receiver, acquired by the loop
    // Written by the loop only while no message is outstanding.
    int m_messageSize = 0;
    char m_buffer[MessageCapacity + 1];
    QElapsedTimer m_sinceAccept; // started at construction, read-only afterwards
};

#endif // ZRSOCKETTHREAD_H
