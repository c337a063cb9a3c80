#ifndef ZRHTTPREPLY_H
#define ZRHTTPREPLY_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QList>
#include <QPair>

class QJsonArray;
class QJsonDocument;
class QJsonObject;
class ZRHttpMultiPart;

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

    int status() const;
    void setStatus(int status);
    // The standard reason phrase of a code; empty for a code the table does not hold.
    static QByteArray reasonPhrase(int status);

    // Replaces a header of the same name in any letter case, in its first place. False, with
    // a warning, when refused.
    bool setHeader(const QByteArray &name, const QByteArray &value);
    // Looks the name up in any letter case; empty when not set.
    QByteArray header(const QByteArray &name) const;
    QList<Header> headers() const;

    // Sets Content-Type as well, unless contentType is empty.
    void setBody(QByteArray body, QByteArray contentType = QByteArray());
    QByteArray body() const;
    // The body becomes multiPart in standard MIME form: CRLF line ends, each part's
    // non-empty start line as its first header line, nested multiparts with boundaries of
    // their own. The multipart's headers become the reply's and Content-Type names its
    // subtype and boundary; its start line is not used, the status line takes its place.
    void setMultipart(const ZRHttpMultiPart &multiPart);

    QByteArray toByteArray() const;
    // toByteArray() without the body, Content-Length still giving the body's size: the
    // answer to a HEAD request.
    QByteArray head() const;

private:
    friend class ZRHttpServer; // decides the Connection header when it sends

    int indexOf(const QByteArray &name) const;
    bool hasContent() const;
    // connection: the Connection value written unless the caller set one; null writes none.
    QByteArray serialise(bool withBody, const char *connection) const;

    int m_status = 200;
    QList<Header> m_headers; // in the order of first setting
    QByteArray m_body;
};

#endif // ZRHTTPREPLY_H
