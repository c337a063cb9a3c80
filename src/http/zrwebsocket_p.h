#ifndef ZRWEBSOCKET_P_H
#define ZRWEBSOCKET_P_H

#include "zrhttpreply.h"
#include "zrwebsocket.h"

#include <QVector>

#include <cstdint>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>

class ZRConnection;
class ZRHttpRequest;
class ZRTransport;
struct wslay_event_context;
struct wslay_event_on_msg_recv_arg;

// What a reply that accepts an upgrade carries to the connection.
struct ZRWebSocketStart
{
    ZRWebSocketOptions options;
    ZRHttpReply::WebSocketOpened opened;
};

// The protocol state of one WebSocket (wslay's event context) and what its object and its
// connection share. The mutex guards every member: the context, and the transport while linked
// (a producer sends on the plain socket under it; over TLS only the connection's thread reads
// and writes, the lock let go while a write waits for the client). The connection links itself
// at the upgrade and unlinks itself, under the mutex, before it can go.
class ZRWebSocketLink : public std::enable_shared_from_this<ZRWebSocketLink>
{
public:
    // The handshake's answer to the request: 101 with Sec-WebSocket-Accept, or the refusal.
    static ZRHttpReply handshake(const ZRHttpRequest &request, const ZRWebSocketOptions &options);

    ZRWebSocketLink(ZRConnection *connection, ZRTransport *transport,
        const ZRWebSocketOptions &options, QByteArray unread);
    ~ZRWebSocketLink();
    ZRWebSocketLink(const ZRWebSocketLink &) = delete;
    ZRWebSocketLink &operator=(const ZRWebSocketLink &) = delete;

    // The object, living in thread, kept by the link until it unlinks.
    std::shared_ptr<ZRWebSocket> open(QThread *thread, const QString &subprotocol);

    // On the connection's thread: reads what came, delivers it, sends what waits, then parks
    // the connection through park(events, deadline) under the lock.
    enum Outcome { Again, Parked, Over };
    using Park = std::function<bool(unsigned events, qint64 deadline)>;
    Outcome serve(const Park &park);
    // The server stops: the close (1001) goes now, from the thread that holds the connection.
    void goAway();
    // As the connection goes: closed() is emitted.
    void unlink();

    // From the object, on any thread.
    bool queue(int opcode, const QByteArray &payload);
    void close(int code, const QByteArray &reason);
    bool isOpen() const;
    qint64 bufferedAmount() const;
    QString subprotocol() const;

private:
    struct Message
    {
        int opcode;
        QByteArray payload;
    };

    static ssize_t received(wslay_event_context *, uint8_t *buffer, size_t size, int, void *self);
    static ssize_t sent(wslay_event_context *, const uint8_t *data, size_t size, int, void *self);
    static void message(wslay_event_context *, const wslay_event_on_msg_recv_arg *arg, void *self);
    bool flush(std::unique_lock<std::mutex> &lock);
    void goAwayLocked(std::unique_lock<std::mutex> &lock);
    void kick();
    bool finished(qint64 now) const;
    qint64 queuedLocked() const;
    void deliver(const QVector<Message> &inbox, bool drainedNow);

    mutable std::mutex m_mutex;
    wslay_event_context *m_context = nullptr;
    ZRConnection *m_connection; // null once unlinked
    ZRTransport *m_transport;
    const int m_socket; // the plain socket, -1 over TLS
    const ZRWebSocketOptions m_options;
    QByteArray m_unread; // read with the request, before the upgrade
    QByteArray m_output; // over TLS: framed, waiting for the connection's thread
    QVector<Message> m_inbox; // received in this round, delivered outside the lock
    std::shared_ptr<ZRWebSocket> m_object; // kept while linked
    QString m_subprotocol;
    qint64 m_readBudget = 0;
    qint64 m_closeDeadline = 0; // once a close has gone: how long the client has to answer
    bool m_peerGone = false;
    bool m_failed = false;
    bool m_refused = false; // a send failed for the queue's bound: drained() is owed
    bool m_watchesOut = false; // the parked connection waits for room
};

#endif // ZRWEBSOCKET_P_H
