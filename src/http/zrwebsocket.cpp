#include "zrwebsocket.h"
#include "zrconnection_p.h"
#include "zrconnectiontable_p.h"
#include "zrhttpname_p.h"
#include "zrhttprequest.h"
#include "zrlogging_p.h"
#include "zrsocket_p.h"
#include "zrtransport_p.h"
#include "zrwebsocket_p.h"

#include <QCryptographicHash>
#include <QThread>

#include <wslay/wslay.h>

#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <sys/socket.h>

using namespace ZRSocketPrivate;

namespace {

// How long a client has to answer a close frame before the connection goes anyway.
constexpr qint64 CloseTimeoutMs = 5000;
// What one round reads before the messages go out: a client that sends without pause still has
// its messages delivered, and its buffers stay bounded.
constexpr qint64 ReadBudget = 256 * 1024;
// Over TLS, the framed bytes that wait for the connection's thread at most.
constexpr int OutputChunk = 64 * 1024;

QByteArray lowerOrigin(const QByteArray &origin)
{
    QByteArray lower = origin.toLower();
    if (lower.startsWith("http://") && lower.endsWith(":80"))
        lower.chop(3);
    else if (lower.startsWith("https://") && lower.endsWith(":443"))
        lower.chop(4);
    return lower;
}

// The page's own origin is the request's: its scheme, and the host and port it asked for.
bool originAllowed(const ZRHttpRequest &request, const ZRWebSocketOptions &options)
{
    const QByteArray origin = request.headerValue("Origin");
    if (origin.isEmpty() || options.allowedOrigins.contains(QStringLiteral("*"))
        || options.allowedOrigins.contains(QString::fromUtf8(origin)))
        return true;
    const QByteArray own
        = (request.isTls() ? "https://" : "http://") + request.headerValue("Host").trimmed();
    return lowerOrigin(origin) == lowerOrigin(own);
}

QByteArray chooseSubprotocol(const ZRHttpRequest &request, const ZRWebSocketOptions &options)
{
    const QByteArray offered = request.headerValues("Sec-WebSocket-Protocol").join(',');
    for (const QString &protocol : options.subprotocols) {
        if (zrListHas(offered, protocol.toUtf8().constData()))
            return protocol.toUtf8();
    }
    return QByteArray();
}

ZRHttpReply refusal(int status, const char *why)
{
    qCDebug(lcHttp, "WebSocket upgrade refused: %s", why);
    ZRHttpReply reply = ZRHttpReply::text(QByteArray(why) + '\n', status);
    if (status == 426) {
        reply.setHeader("Upgrade", "websocket");
        reply.setHeader("Sec-WebSocket-Version", "13");
    }
    return reply;
}

bool validCloseCode(int code)
{
    return code == 1000 || code == 1001 || code == 1003 || (code >= 1007 && code <= 1011)
        || (code >= 3000 && code <= 4999);
}

// Text frames carry UTF-8 only (RFC 6455 8.1): what does not survive the round trip is not.
bool isUtf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

ZRHttpReply ZRWebSocketLink::handshake(
    const ZRHttpRequest &request, const ZRWebSocketOptions &options)
{
    if (!zrListHas(request.headerValue("Upgrade"), "websocket"))
        return refusal(426, "This path speaks WebSocket only");
    if (request.type() != RequestGet || request.protocol() != QLatin1String("HTTP/1.1")
        || !zrListHas(request.headerValue("Connection"), "upgrade"))
        return refusal(400, "Not a WebSocket handshake");
    if (request.headerValue("Sec-WebSocket-Version").trimmed() != "13")
        return refusal(426, "WebSocket version 13 only");
    const QByteArray key = request.headerValue("Sec-WebSocket-Key").trimmed();
    if (QByteArray::fromBase64(key).size() != 16)
        return refusal(400, "Bad Sec-WebSocket-Key");
    if (!originAllowed(request, options))
        return refusal(403, "Origin not allowed");
    ZRHttpReply reply(101);
    reply.setHeader("Upgrade", "websocket");
    reply.setHeader("Connection", "Upgrade");
    const QByteArray accept = QCryptographicHash::hash(
        key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1);
    reply.setHeader("Sec-WebSocket-Accept", accept.toBase64());
    const QByteArray subprotocol = chooseSubprotocol(request, options);
    if (!subprotocol.isEmpty())
        reply.setHeader("Sec-WebSocket-Protocol", subprotocol);
    return reply;
}

ZRWebSocketLink::ZRWebSocketLink(ZRConnection *connection, ZRTransport *transport,
    const ZRWebSocketOptions &options, QByteArray unread)
    : m_connection(connection), m_transport(transport), m_socket(transport->plainSocket()),
      m_options(options), m_unread(std::move(unread))
{
    wslay_event_callbacks callbacks {};
    callbacks.recv_callback = received;
    callbacks.send_callback = sent;
    callbacks.on_msg_recv_callback = message;
    if (wslay_event_context_server_init(&m_context, &callbacks, this) != 0) {
        m_context = nullptr;
        m_failed = true;
        return;
    }
    wslay_event_config_set_max_recv_msg_length(
        m_context, quint64(qMax<qint64>(0, options.maxMessageSize)));
}

ZRWebSocketLink::~ZRWebSocketLink()
{
    if (m_context)
        wslay_event_context_free(m_context);
}

std::shared_ptr<ZRWebSocket> ZRWebSocketLink::open(QThread *thread, const QString &subprotocol)
{
    // Deleted on its own thread, which may not be the one that lets go of it last.
    auto *object = new ZRWebSocket(shared_from_this());
    std::shared_ptr<ZRWebSocket> shared(object, [](ZRWebSocket *o) {
        if (o->thread() == QThread::currentThread() || !o->thread())
            delete o;
        else
            o->deleteLater();
    });
    if (thread)
        object->moveToThread(thread);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subprotocol = subprotocol;
    m_object = shared;
    return shared;
}

ssize_t ZRWebSocketLink::received(
    wslay_event_context *, uint8_t *buffer, size_t size, int, void *self)
{
    auto *link = static_cast<ZRWebSocketLink *>(self);
    if (!link->m_unread.isEmpty()) {
        const int n = qMin(link->m_unread.size(), int(qMin<size_t>(size, INT_MAX)));
        std::memcpy(buffer, link->m_unread.constData(), size_t(n));
        link->m_unread.remove(0, n);
        return n;
    }
    if (link->m_readBudget <= 0) {
        wslay_event_set_error(link->m_context, WSLAY_ERR_WOULDBLOCK);
        return -1;
    }
    const qint64 n = link->m_transport->read(reinterpret_cast<char *>(buffer), qint64(size));
    if (n > 0) {
        link->m_readBudget -= n;
        return ssize_t(n);
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        wslay_event_set_error(link->m_context, WSLAY_ERR_WOULDBLOCK);
        return -1;
    }
    link->m_peerGone = true;
    wslay_event_set_error(link->m_context, WSLAY_ERR_CALLBACK_FAILURE);
    return -1;
}

// On the plain socket at once, without waiting; over TLS into the output, for the connection's
// thread.
ssize_t ZRWebSocketLink::sent(
    wslay_event_context *, const uint8_t *data, size_t size, int flags, void *self)
{
    auto *link = static_cast<ZRWebSocketLink *>(self);
    if (link->m_socket < 0) {
        const int room = OutputChunk - link->m_output.size();
        if (room <= 0) {
            wslay_event_set_error(link->m_context, WSLAY_ERR_WOULDBLOCK);
            return -1;
        }
        const int n = int(qMin<size_t>(size, size_t(room)));
        link->m_output.append(reinterpret_cast<const char *>(data), n);
        return n;
    }
    const int more = flags & WSLAY_MSG_MORE ? MSG_MORE : 0;
    const ssize_t n = sendRetrying(link->m_socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL | more);
    if (n >= 0)
        return n;
    wslay_event_set_error(link->m_context,
        errno == EAGAIN || errno == EWOULDBLOCK ? WSLAY_ERR_WOULDBLOCK
                                                : WSLAY_ERR_CALLBACK_FAILURE);
    return -1;
}

void ZRWebSocketLink::message(
    wslay_event_context *context, const wslay_event_on_msg_recv_arg *arg, void *self)
{
    auto *link = static_cast<ZRWebSocketLink *>(self);
    const QByteArray payload(reinterpret_cast<const char *>(arg->msg), int(arg->msg_length));
    switch (arg->opcode) {
    case WSLAY_TEXT_FRAME:
        if (!isUtf8(payload)) {
            wslay_event_queue_close(context, WSLAY_CODE_INVALID_FRAME_PAYLOAD_DATA, nullptr, 0);
            wslay_event_shutdown_read(context);
            return;
        }
        Q_FALLTHROUGH();
    case WSLAY_BINARY_FRAME:
    case WSLAY_PONG:
        link->m_inbox.append({ arg->opcode, payload });
        break;
    default: // pings are answered, closes answered and noted, by the context itself
        break;
    }
}

ZRWebSocketLink::Outcome ZRWebSocketLink::serve(const Park &park)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_context)
        return Over;
    m_readBudget = ReadBudget;
    if (!m_failed && wslay_event_want_read(m_context) && wslay_event_recv(m_context) != 0)
        m_failed = true;
    QVector<Message> inbox = std::move(m_inbox);
    m_inbox.clear();
    lock.unlock();
    deliver(inbox, false);
    lock.lock();
    if (!flush(lock))
        m_failed = true;
    const bool drainedNow = m_refused && queuedLocked() == 0;
    m_refused = m_refused && !drainedNow;
    if (drainedNow) {
        lock.unlock();
        deliver({}, true);
        lock.lock();
    }
    if (wslay_event_get_close_sent(m_context) && m_closeDeadline == 0)
        m_closeDeadline = deadlineIn(CloseTimeoutMs);
    if (finished(monotonicMs()))
        return Over;
    if (m_readBudget <= 0)
        return Again;
    m_watchesOut = wslay_event_want_write(m_context);
    // A client's end matters only while it is read from: once it has closed, a half-closed
    // socket would report it over and over while the close frame waits for room.
    const unsigned events = (wslay_event_want_read(m_context) ? EPOLLIN | EPOLLRDHUP : 0u)
        | (m_watchesOut ? EPOLLOUT : 0u);
    if (park(events, m_closeDeadline ? m_closeDeadline : NoDeadline))
        return Parked;
    // No loop to park in: the server is stopping.
    goAwayLocked(lock);
    return Over;
}

void ZRWebSocketLink::goAway()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    goAwayLocked(lock);
}

void ZRWebSocketLink::goAwayLocked(std::unique_lock<std::mutex> &lock)
{
    if (!m_context || m_failed || wslay_event_get_close_sent(m_context))
        return;
    static const char reason[] = "Server stopping";
    wslay_event_queue_close(m_context, WSLAY_CODE_GOING_AWAY,
        reinterpret_cast<const uint8_t *>(reason), sizeof reason - 1);
    if (!flush(lock))
        m_failed = true;
}

// What the context wants to send, as far as the socket takes it now; over TLS, written here
// whole, the lock let go meanwhile. False on a failure.
bool ZRWebSocketLink::flush(std::unique_lock<std::mutex> &lock)
{
    while (!m_failed && wslay_event_want_write(m_context)) {
        if (wslay_event_send(m_context) != 0)
            return false;
        if (m_socket >= 0)
            return true;
        if (m_output.isEmpty())
            break;
        const QByteArray out = std::exchange(m_output, QByteArray());
        lock.unlock();
        const bool written = m_transport->write(out);
        lock.lock();
        if (!written)
            return false;
    }
    return !m_failed;
}

// Done once both closes have gone (or the client can no longer send its own), the client went,
// a write failed, or the client let the close wait too long.
bool ZRWebSocketLink::finished(qint64 now) const
{
    if (m_failed || m_peerGone)
        return true;
    if (!wslay_event_get_close_sent(m_context))
        return false;
    return wslay_event_get_close_received(m_context) || !wslay_event_want_read(m_context)
        || now >= m_closeDeadline;
}

void ZRWebSocketLink::deliver(const QVector<Message> &inbox, bool drainedNow)
{
    std::shared_ptr<ZRWebSocket> object;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        object = m_object;
    }
    if (!object)
        return;
    for (const Message &m : inbox) {
        if (m.opcode == WSLAY_TEXT_FRAME)
            emit object->textMessageReceived(QString::fromUtf8(m.payload));
        else if (m.opcode == WSLAY_BINARY_FRAME)
            emit object->binaryMessageReceived(m.payload);
        else
            emit object->pong(m.payload);
    }
    if (drainedNow)
        emit object->drained();
}

void ZRWebSocketLink::unlink()
{
    std::shared_ptr<ZRWebSocket> object;
    int code = WSLAY_CODE_ABNORMAL_CLOSURE;
    QString reason;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connection = nullptr;
        m_transport = nullptr;
        object = std::move(m_object);
        if (m_context && wslay_event_get_close_received(m_context))
            code = wslay_event_get_status_code_received(m_context);
        else if (m_context && wslay_event_get_close_sent(m_context))
            code = wslay_event_get_status_code_sent(m_context);
    }
    if (object)
        emit object->closed(code, reason);
}

// Under the lock, from a producer: over HTTP what the socket takes goes now; the connection,
// parked, is resumed when it has to act (bytes wait and it does not watch for room, a close).
void ZRWebSocketLink::kick()
{
    if (m_socket >= 0 && wslay_event_send(m_context) != 0)
        m_failed = true;
    const bool closing
        = wslay_event_get_close_sent(m_context) || !wslay_event_get_write_enabled(m_context);
    if (m_failed || closing || (wslay_event_want_write(m_context) && !m_watchesOut))
        m_connection->table().resume(m_connection);
}

qint64 ZRWebSocketLink::queuedLocked() const
{
    return qint64(wslay_event_get_queued_msg_length(m_context)) + m_output.size();
}

bool ZRWebSocketLink::queue(int opcode, const QByteArray &payload)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_connection || m_failed || !wslay_event_get_write_enabled(m_context)
        || wslay_event_get_close_sent(m_context))
        return false;
    if (queuedLocked() + payload.size() > m_options.maxQueued) {
        m_refused = true;
        return false;
    }
    wslay_event_msg msg { quint8(opcode), reinterpret_cast<const uint8_t *>(payload.constData()),
        size_t(payload.size()) };
    if (wslay_event_queue_msg(m_context, &msg) != 0)
        return false;
    kick();
    return true;
}

void ZRWebSocketLink::close(int code, const QByteArray &reason)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_connection || m_failed)
        return;
    const QByteArray cut = reason.left(123);
    if (wslay_event_queue_close(m_context, quint16(validCloseCode(code) ? code : 1000),
            reinterpret_cast<const uint8_t *>(cut.constData()), size_t(cut.size()))
        != 0)
        return;
    kick();
}

bool ZRWebSocketLink::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection && !m_failed && wslay_event_get_write_enabled(m_context)
        && !wslay_event_get_close_sent(m_context) && !wslay_event_get_close_received(m_context);
}

qint64 ZRWebSocketLink::bufferedAmount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_context ? queuedLocked() : 0;
}

QString ZRWebSocketLink::subprotocol() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subprotocol;
}

ZRWebSocket::ZRWebSocket(std::shared_ptr<ZRWebSocketLink> link) : m_link(std::move(link)) { }

ZRWebSocket::~ZRWebSocket() = default;

bool ZRWebSocket::sendText(const QString &message)
{
    return send(WSLAY_TEXT_FRAME, message.toUtf8());
}

bool ZRWebSocket::sendBinary(const QByteArray &message)
{
    return send(WSLAY_BINARY_FRAME, message);
}

bool ZRWebSocket::ping(const QByteArray &payload)
{
    return payload.size() <= 125 && send(WSLAY_PING, payload);
}

void ZRWebSocket::close(int code, const QString &reason)
{
    if (m_link)
        m_link->close(code, reason.toUtf8());
}

bool ZRWebSocket::isOpen() const
{
    return m_link && m_link->isOpen();
}

qint64 ZRWebSocket::bufferedAmount() const
{
    return m_link ? m_link->bufferedAmount() : 0;
}

QString ZRWebSocket::subprotocol() const
{
    return m_link ? m_link->subprotocol() : QString();
}

bool ZRWebSocket::send(int opcode, const QByteArray &payload)
{
    return m_link && m_link->queue(opcode, payload);
}
