#ifndef ZRSOCKETTHREAD_H
#define ZRSOCKETTHREAD_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QSemaphore>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

class ZRConnectionData;
class ZRSendPace;
class ZRServerConnections;
class ZRTlsContext;
class ZRTransport;

// Owns one connected socket and runs its receive loop on a thread of its own.
//
// Every chunk the socket delivers (one read of at most 1024 bytes; there is no
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

    // Where a server's connection is in its life. The connection's thread moves it, but for
    // Evicted, which only the accept loop sets, from Idle, Reading or Sending, to end a
    // connection that does nothing useful when the cap is reached.
    enum Phase { Reading, Idle, Held, Sending, Evicted };

    // A server's connection: the server's connection set deletes it.
    ZRSocketThread(int socket, QString address, std::shared_ptr<ZRServerConnections> connections);

    // False once the connection has been evicted; it must end then.
    bool enterPhase(Phase phase);
    // By the accept loop, under the connection set's mutex: shuts the socket down, so the
    // thread's read or send returns and the connection ends. False unless still in phase.
    bool evict(int phase);
    // Every byte the connection receives or sends goes through these two.
    qint64 read(char *buffer, qint64 size);
    bool write(const QByteArray &bytes);
    // Set on the socket only when they change: a connection serves many requests.
    void setReadTimeout(qint64 milliseconds);
    void setWriteTimeout(qint64 milliseconds);
    // Bytes received but not used yet (a pipelined request): the loop hands them to the
    // server again, before reading more, once the receiver has called next().
    void unread(const QByteArray &bytes);
    // TLS in place of the plain transport, once the handshake is over by its deadline; or,
    // for a client whose first byte reads as the start of a plain HTTP request, the plain
    // transport kept and m_plainOnTlsPort set, for the server to answer it.
    bool startTls();
    bool startsPlainRequest() const;

    const int m_socket;
    const QString m_address;
    std::atomic<bool> m_running { true }; // cleared by stop() on any thread
    QSemaphore m_pacing; // released by the receiver, acquired by the loop
    // Written by the loop only while no message is outstanding.
    int m_messageSize = 0;
    char m_buffer[MessageCapacity + 1];
    // The members below are used by whoever holds the connection: the loop's thread, or a
    // receiver between a message and its next()/stop().
    QByteArray m_unread;
    qint64 m_readTimeoutMs = 0; // as set on the socket
    qint64 m_writeTimeoutMs = 0;
    // The pace of what the connection sends; the accept loop may ask it whether it stalled.
    const std::unique_ptr<ZRSendPace> m_sendPace;
    std::unique_ptr<ZRTransport> m_transport;
    qint64 m_acceptedAt; // monotonic ms; set before the thread starts
    std::atomic<int> m_phase { Reading };
    std::atomic<qint64> m_phaseSince; // monotonic ms at which the phase began
    const std::shared_ptr<ZRServerConnections> m_connections; // null for a thread of its own
    std::unique_ptr<ZRConnectionData> m_data; // the server's state for it, on this thread
    // Set before the thread starts by a server speaking TLS; run() makes the transport of it.
    std::shared_ptr<const ZRTlsContext> m_tlsContext;
    QDeadlineTimer m_handshakeDeadline;
    bool m_plainOnTlsPort = false; // set by run() before the first message
};

#endif // ZRSOCKETTHREAD_H
