#ifndef ZRWEBSOCKET_H
#define ZRWEBSOCKET_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class ZRWebSocketLink;

// What a route accepts of a WebSocket upgrade (see ZRHttpReply::webSocket()).
struct ZRWebSocketOptions
{
    // Pages of these origins ("https://app.example:8443"; "*" for any) may open the WebSocket,
    // besides the page's own origin (scheme, host and port of the request itself), which always
    // may. A request without Origin comes from no browser, and is let in; any other gets 403, as
    // a browser sends every page's cookies along, whichever site the page is from.
    QStringList allowedOrigins;
    // The subprotocols the route speaks, best first: the first one the client offers too is
    // chosen (Sec-WebSocket-Protocol); with none in common, the upgrade goes on without one,
    // and the client decides.
    QStringList subprotocols;
    // The largest message received, fragments put together; a larger one closes the WebSocket
    // with 1009.
    qint64 maxMessageSize = 1024 * 1024;
    // Bytes of messages queued for the client and not yet taken by it: a send that would pass
    // it fails (see ZRWebSocket::drained()).
    qint64 maxQueued = 1024 * 1024;
};

// One WebSocket (RFC 6455), open on the connection that asked for it, HTTP or HTTPS alike; the
// connection has left HTTP for good. The server makes it and hands it to the route's callback,
// which connects its signals.
//
// Threads. Every function is safe from any thread. The object lives in the server's thread: a
// slot connected with it (or another object of that thread) as context runs on that thread's
// event loop, in the order the messages came; with Qt::DirectConnection, on the thread of the
// server's pool that read the message, one message after the other, before the connection
// reads on. Sends queue the message and return at once: over HTTP, what the socket takes goes
// out on the caller's thread; over HTTPS, whose writes wait for the client, a thread of the
// pool sends it. A WebSocket waiting for its client holds no thread; it counts toward the
// server's connections, and is never ended to make room.
//
// Ownership. The connection keeps the object while the WebSocket is open, and lets go of it
// after closed(); whoever holds a reference keeps it beyond (a slot connected to its own signal
// should capture the plain pointer, not the reference, or the object never goes).
//
// Ends. close() sends the close frame and waits a while for the client's; the client's close is
// answered at once; a message over maxMessageSize closes with 1009, a text message that is not
// UTF-8 with 1007, and stopping the server with 1001. closed() is emitted once, when the
// connection has gone: with the client's code, else the one sent, else 1006 (the connection
// dropped without a close).
class ZRNET_EXPORT ZRWebSocket : public QObject
{
    Q_OBJECT
public:
    explicit ZRWebSocket(std::shared_ptr<ZRWebSocketLink> link);
    ~ZRWebSocket() override;

    // False, and nothing queued, once the WebSocket is closing or closed, or when the message
    // would pass maxQueued.
    bool sendText(const QString &message);
    bool sendBinary(const QByteArray &message);
    // A ping; the client's pong comes as pong(). At most 125 bytes of payload.
    bool ping(const QByteArray &payload = QByteArray());
    // Sends the close frame after what is queued. The code must be one a close frame may carry
    // (1000, 1001, 1003, 1007 to 1011, 3000 to 4999), else 1000 goes; the reason is cut to 123
    // bytes.
    void close(int code = 1000, const QString &reason = QString());
    bool isOpen() const;
    // Bytes of messages queued and not yet sent.
    qint64 bufferedAmount() const;
    // The subprotocol chosen; empty for none.
    QString subprotocol() const;

signals:
    void textMessageReceived(const QString &message);
    void binaryMessageReceived(const QByteArray &message);
    void pong(const QByteArray &payload);
    // After a send failed because of maxQueued, the queue has emptied.
    void drained();
    void closed(int code, const QString &reason);

private:
    bool send(int opcode, const QByteArray &payload);

    const std::shared_ptr<ZRWebSocketLink> m_link;
};

#endif // ZRWEBSOCKET_H
