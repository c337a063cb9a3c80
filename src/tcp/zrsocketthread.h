#ifndef ZRSOCKETTHREAD_H
#define ZRSOCKETTHREAD_H

#include "zrnet_global.h"

#include <QSemaphore>
#include <QString>
#include <QThread>

#include <atomic>

class ZRConnection;

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
// server's connection, by the server: see ZRServer). Nobody else deletes it,
// and nobody should keep the pointer past finished().
//
// The thread runs no event loop of its own, so it starts with a lightweight event
// dispatcher that opens no descriptor: events posted to objects of the thread,
// deferred deletions, timers and socket notifiers still work whenever a slot runs
// a QEventLoop on it.
//
// A ZRHttpServer's connections are served by the server's threads instead (see
// ZRHttpServer): their object is the connection's handle, never started itself;
// the thread serving the connection carries its messages and runs the slots, and
// waits for next() or stop() until they have returned (and, while a receiver of
// the raw message signal holds the bytes, after); next() and stop() from any
// thread then hand the connection to a thread of the server's again. finished()
// is emitted, and the object deleted, when the connection ends.
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
    friend class ZRConnection;
    friend class ZRConnectionTable;
    friend class ZRHttpConnection;
    friend class ZRHttpServer;
    friend class ZRServer;

    // The handle of a server's connection, which deletes it.
    ZRSocketThread(int socket, QString address, ZRConnection *connection);
    enum Handed { Going, Stopped, LetGo };
    // Hands a message (size bytes in a buffer with room for one more) to the receivers: the
    // server's first, then this object's own signal unless only the server is to see it (bytes
    // given back, that the signal has carried already). Returns once a receiver has called
    // next() (Going) or stop() (Stopped); with mayLetGo, when the receivers have returned
    // without either and no signal lent them the bytes, at once (LetGo): the answer, when it
    // comes, hands the connection to the server's pool.
    Handed handOver(char *message, int size, bool toAll = true, bool mayLetGo = false);
    // Whether this object's message signal has receivers.
    bool messagesHeard() const;
    // A server's connection that never ran as a thread announces its end as a thread would.
    void announceEnd();
    void receiveLoop();

    const int m_socket;
    const QString m_address;
    std::atomic<bool> m_running { true }; // cleared by stop() on any thread
    QSemaphore m_pacing; // released by the receiver, acquired by the loop
    int m_messageSize = 0; // written by the loop only while no message is outstanding
    ZRConnection *const m_connection; // null for a thread of its own
    bool m_deletesConnection = false; // set once the connection's table hands it over
};

#endif // ZRSOCKETTHREAD_H
