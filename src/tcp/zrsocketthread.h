#ifndef ZRSOCKETTHREAD_H
#define ZRSOCKETTHREAD_H

#include "zrnet_global.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

#include <sys/types.h>

class ZRConnectionData;
class ZRServerConnections;
class ZRTlsContext;
class ZRTlsSession;

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
// is deleted by the event processing of the thread that created it (or, for a
// server's connection, by the server's accept loop). Nobody else deletes it,
// and nobody should keep the pointer past finished().
//
// The thread runs no event loop of its own, so it starts with a lightweight event
// dispatcher that opens no descriptor: events posted to objects of the thread,
// deferred deletions, timers and socket notifiers still work whenever a slot runs
// a QEventLoop on it.
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
    friend class ZRServer;
    friend class ZRServerConnections;
    friend class ZRHttpServer; // keeps its request state with the connection

    // A server's connection: the server's connection set deletes it. With a TLS context it
    // speaks TLS, its handshake over by handshakeDeadline.
    ZRSocketThread(int socket, QString address, std::shared_ptr<ZRServerConnections> connections,
        std::shared_ptr<const ZRTlsContext> tls = nullptr,
        QDeadlineTimer handshakeDeadline = QDeadlineTimer(QDeadlineTimer::Forever));

    // The connection's one read and one write, over plain TCP or TLS alike.
    ssize_t receive(char *buffer, size_t size);
    bool send(const QByteArray &bytes);
    // How long one receive() may wait; 0 is no limit.
    void setReceiveTimeout(qint64 milliseconds);
    bool startTls();

    const int m_socket;
    const QString m_address;
    std::atomic<bool> m_running { true }; // cleared by stop() on any thread
    QSemaphore m_pacing; // released by the receiver, acquired by the loop
    // Written by the loop only while no message is outstanding.
    int m_messageSize = 0;
    char m_buffer[MessageCapacity + 1];
    QElapsedTimer m_sinceAccept; // started at construction, read-only afterwards
    const std::shared_ptr<ZRServerConnections> m_connections; // null for a thread of its own
    std::unique_ptr<ZRConnectionData> m_data; // the server's state for it, on this thread
    // TLS: the context until run() has made the session from it. The session is used by the
    // connection's thread, and by the thread answering while this one waits for next()/stop().
    std::shared_ptr<const ZRTlsContext> m_tlsContext;
    std::unique_ptr<ZRTlsSession> m_tls;
    const bool m_isTls;
    const QDeadlineTimer m_handshakeDeadline;
    qint64 m_tlsReceiveTimeoutMs = 0; // the session's, until there is one
};

#endif // ZRSOCKETTHREAD_H
