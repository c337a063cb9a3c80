#ifndef ZRHTTPREPLY_H
#define ZRHTTPREPLY_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

class QDateTime;
class QJsonArray;
class QJsonDocument;
class QJsonObject;
class QNetworkCookie;
class ZRHttpMultiPart;
class ZRHttpRequest;
class ZRHttpStream;
class ZRWebSocket;
struct ZRWebSocketOptions;
struct ZRWebSocketStart;

// A whole HTTP/1.1 reply for ZRHttpServer::sendReply(): status code, headers and body. A plain
// value, cheap to copy; build it on any thread.
//
// toByteArray() writes the status line with the code's reason phrase, the headers in the
// order they were first set, then Content-Length, and Date and "Connection: close" unless the
// caller set those, an empty line and the body; every line ends in CRLF. Content-Length is
// always the body's size: a Content-Length or Transfer-Encoding the caller set is not written.
// A reply that has no content by its status (1xx, 204, 304) gets neither Content-Length nor
// body.
//
// A header name or value holding CR, LF or NUL is refused with a warning and never written,
// so nothing a caller copies from a request can split the reply.
class ZRNET_EXPORT ZRHttpReply
{
public:
    using Header = QPair<QByteArray, QByteArray>;

    // A code outside 100 to 999 is taken as 500, with a warning.
    explicit ZRHttpReply(int status = 200);

    // text/plain; charset=utf-8
    static ZRHttpReply text(const QByteArray &body, int status = 200);
    // text/html; charset=utf-8
    static ZRHttpReply html(const QByteArray &body, int status = 200);
    // application/json, compact
    static ZRHttpReply json(const QJsonDocument &document, int status = 200);
    static ZRHttpReply json(const QJsonObject &object, int status = 200);
    static ZRHttpReply json(const QJsonArray &array, int status = 200);

    // A reply whose body is produced while it goes out: once the head has gone, started gets
    // the stream to write the body to, on the thread that sends the reply, and keeps it for as
    // long as it produces (see ZRHttpStream); it should return soon, as a handler does, and
    // write later from wherever the body comes from. The body goes in chunks over HTTP/1.1 and
    // ends its connection over HTTP/1.0; it has no Content-Length. To a HEAD request, or with
    // a status that carries no content, the head goes alone and started is not called; nor is
    // it by toByteArray(), which writes the head. Setting a body or a body file makes the reply
    // a whole one again.
    using StreamStarted = std::function<void(std::shared_ptr<ZRHttpStream> stream)>;
    static ZRHttpReply stream(StreamStarted started, QByteArray contentType, int status = 200);
    // A stream of server-sent events: text/event-stream, not to be cached.
    static ZRHttpReply eventStream(StreamStarted started);
    bool isStream() const;

    // The answer to a WebSocket upgrade (see ZRWebSocket): 101 when the request is a WebSocket
    // handshake the options accept; then, once the 101 has gone, opened gets the WebSocket, on
    // the thread that sends the reply, and the connection serves it until it closes, HTTP over
    // for good. Else the refusal: 426 (with Upgrade: websocket) to a request that asks for no
    // upgrade, or for another version than 13; 403 to an Origin not allowed; 400 to any other
    // flaw. To a stopping server's request, 503.
    using WebSocketOpened = std::function<void(std::shared_ptr<ZRWebSocket> socket)>;
    static ZRHttpReply webSocket(
        const ZRHttpRequest &request, const ZRWebSocketOptions &options, WebSocketOpened opened);

    int status() const;
    void setStatus(int status);
    // The standard reason phrase of a code; empty for a code the table does not hold.
    static QByteArray reasonPhrase(int status);
    // A time in the form of Date and Last-Modified (RFC 9110 5.6.7).
    static QByteArray httpDate(const QDateTime &utc);

    // Replaces every header of the same name in any letter case, in the first one's place.
    // False, with a warning, when refused.
    bool setHeader(const QByteArray &name, const QByteArray &value);
    // One more line of that name, after those there are (as Set-Cookie needs); same refusals.
    bool addHeader(const QByteArray &name, const QByteArray &value);
    // The SameSite attribute of a cookie, as Qt 6's QNetworkCookie::SameSite names it.
    enum class SameSite { Unset, None, Lax, Strict };
    // One more Set-Cookie line: the cookie's QNetworkCookie::toRawForm(), then, unless Unset,
    // "; SameSite=Lax" (or None, Strict) in place of any the cookie carries itself (Qt 6), so
    // the line is the same on Qt 5 and Qt 6. False, with a warning, and nothing written, for a
    // cookie whose name is not a token, or whose value, path or domain holds ';', CR, LF or
    // another control byte (each would change the cookie's attributes, or the reply).
    bool addCookie(const QNetworkCookie &cookie, SameSite sameSite = SameSite::Unset);
    // Looks the name up in any letter case; the first value, empty when not set.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    QList<Header> headers() const;

    // Sets Content-Type as well, unless contentType is empty. Replaces a body file.
    void setBody(QByteArray body, QByteArray contentType = QByteArray());
    QByteArray body() const;
    // The body is length bytes of the file from offset (-1: to its end), sent from the file
    // when the reply goes out, never held: Content-Length is taken from the file's size now,
    // and a HEAD answer opens nothing. False, with the body left empty, when path is no
    // readable file or the range lies outside it. Replaces a body set before.
    bool setBodyFile(const QString &path, QByteArray contentType = QByteArray(), qint64 offset = 0,
        qint64 length = -1);
    // Empty unless the body is a file.
    QString bodyFile() const;
    qint64 bodyFileOffset() const;
    // The body's length: the file range's, or the size of body().
    qint64 bodySize() const;
    // The body becomes multiPart in standard MIME form: CRLF line ends, each part's
    // non-empty start line as its first header line, nested multiparts with boundaries of
    // their own. The multipart's headers become the reply's and Content-Type names its
    // subtype and boundary; its start line is not used, the status line takes its place.
    void setMultipart(const ZRHttpMultiPart &multiPart);

    // With a body file, reads the file: ZRHttpServer::sendReply() sends it from the file instead.
    QByteArray toByteArray() const;
    // toByteArray() without the body, Content-Length still giving the body's size: the
    // answer to a HEAD request, and what precedes a body file.
    QByteArray head() const;

    // Whether the status lets the reply carry content: not 1xx, 204 or 304.
    bool hasContent() const;

private:
    friend class ZRHttpConnection; // decides the Connection header when it sends
    friend class ZRHttpServer;
    friend class ZRHttpFolder; // has looked at the file already

    int indexOf(const QByteArray &name) const;
    // setBodyFile() without looking at the file.
    void assignBodyFile(const QString &path, QByteArray contentType, qint64 offset, qint64 length);
    // connection: the Connection value written unless the caller set one; null writes none.
    // chunked: a stream's body follows in chunks. dated: a Date header unless the caller set
    // one (the server's own refusals go without, in bytes clients may rely on).
    QByteArray serialise(
        bool withBody, const char *connection, bool chunked = false, bool dated = true) const;

    bool accepts(const QByteArray &name, const QByteArray &value) const;

    int m_status = 200;
    QList<Header> m_headers; // in the order of first setting
    QByteArray m_body;
    QString m_bodyFile;
    qint64 m_fileOffset = 0;
    qint64 m_fileLength = 0;
    std::shared_ptr<const StreamStarted> m_streamStarted; // set for a stream
    std::shared_ptr<const ZRWebSocketStart> m_webSocket; // set for an upgrade accepted
};

#endif // ZRHTTPREPLY_H
