#ifndef ZRHTTPBASE_H
#define ZRHTTPBASE_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QMap>
#include <QObject>

// Multipart subtype of a body. Values outside the table are written as form-data.
enum ContentType : int {
    MultipartMixed = 0,
    MultipartRelated = 1,
    MultipartFormData = 2,
    MultipartAlternative = 3
};

// Well-known header names, settable by value; the value indexes knownHeaderString.
enum KnownHeader : int {
    HeaderContentDisposition = 0,
    HeaderContentType,
    HeaderContentLength,
    HeaderAuthorization,
    HeaderAccept,
    HeaderXXsrfToken,
    HeaderCookie,
    HeaderIfMatch,
    HeaderAllow,
    HeaderAccessControlAllowOrigin,
    HeaderAccessControlAllowMethods,
    HeaderAccessControlAllowHeaders,
    HeaderAccessControlAllowCredentials,
    HeaderOrigin
};

// Common base of every HTTP message: a start line, named headers, a body and a content type.
//
// A message is a QObject used as a value. A copy (constructed or assigned) carries every data
// field of its source, and never its parent or connections.
//
// Header names are kept exactly as given and compared byte for byte, so lookup is
// case-sensitive and iteration runs in unsigned byte order (upper case before lower case).
//
// A newly constructed message has the content type MultipartMixed.
class ZRNET_EXPORT ZRHttpBase : public QObject
{
    Q_OBJECT

public:
    explicit ZRHttpBase(QObject *parent = nullptr);
    ZRHttpBase(const ZRHttpBase &other);
    ZRHttpBase &operator=(const ZRHttpBase &other);
    ~ZRHttpBase() override;

    ContentType contentType() const;
    void setContentType(ContentType type);

    // Hides QObject::setParent: does not re-parent, but has this message deleteLater() when
    // parent is destroyed. Only for heap messages; each call adds one more connection.
    void setParent(QObject *parent);

    // A value outside the table stores under the empty name.
    void setHeader(KnownHeader header, QByteArray value);
    void setHeader(QByteArray name, QByteArray value);
    // Empty when the name is not set; never adds the name.
    QByteArray header(QByteArray name) const;
    QMap<QByteArray, QByteArray> headers() const;

    void setBody(const QByteArray &body);
    QByteArray body() const;

    void setStartLine(const QByteArray &line);
    QByteArray startLine() const;

    // Filled during static initialisation, read-only afterwards: safe to read from any thread.
    static QMap<KnownHeader, QByteArray> knownHeaderString;

private:
    QMap<QByteArray, QByteArray> m_headers;
    QByteArray m_body;
    QByteArray m_startLine;
    ContentType m_contentType = MultipartMixed;
};

#endif // ZRHTTPBASE_H
