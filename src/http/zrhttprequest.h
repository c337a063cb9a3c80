#ifndef ZRHTTPREQUEST_H
#define ZRHTTPREQUEST_H

#include "zrhttpbase.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QUrlQuery>

// The HTTP methods the server recognises; the value indexes requestTypeString.
enum RequestType : int {
    RequestGet = 0,
    RequestPost,
    RequestPut,
    RequestPatch,
    RequestDelete,
    RequestHead,
    RequestOptions
};

// One parsed HTTP request: method, target and protocol of the request line, with the headers
// and body of ZRHttpBase. Setters store their argument unchanged; validation is the parser's.
//
// A copy (constructed or assigned) carries every field, content type included, and never the
// parent. A newly constructed request has the type RequestGet.
//
// Declared as a meta-type, so it can travel through queued connections.
class ZRNET_EXPORT ZRHttpRequest : public ZRHttpBase
{
public:
    explicit ZRHttpRequest(QObject *parent = nullptr);
    ZRHttpRequest(const ZRHttpRequest &other);
    ZRHttpRequest &operator=(const ZRHttpRequest &other);
    ~ZRHttpRequest() override;

    void setType(RequestType type);
    RequestType type() const;
    // The method text for the type; empty for a value outside the table.
    QString typeString() const;

    void setPath(QString path);
    QString path() const;

    void setProtocol(QString protocol);
    QString protocol() const;

    // The header map is case-sensitive; this looks a name up in any letter case. Of names
    // that differ only in case, the first in byte order answers.
    QByteArray headerValue(const QByteArray &name) const;
    // One more value under name, as a repeated header line brings it: the header map keeps
    // the last one (as setHeader() does), headerValues() all of them.
    void addHeader(const QByteArray &name, const QByteArray &value);
    // Every value of the name in any letter case, in the order added; for a header only ever
    // set with setHeader(), its one value.
    QList<QByteArray> headerValues(const QByteArray &name) const;
    // The value of one cookie of the Cookie header(s); empty when it is not there.
    QString cookie(const QString &name) const;
    // The path up to "?", percent-decoded as UTF-8, with its dot segments resolved; of an
    // absolute-form target ("http://host/path") its path.
    QString pathOnly() const;
    // The value of a "{name}" segment of the route that matched, percent-decoded (the router
    // sets it); empty when there is none.
    QString pathParameter(const QString &name) const;
    void setPathParameter(const QString &name, const QString &value);
    // The items after "?"; QUrlQuery decodes each value when asked for it.
    QUrlQuery query() const;
    // The body read as JSON: a null document when it is none, the cause then in *error. A body
    // nested deeper than 64 levels (arrays and objects together) is refused unparsed, with
    // QJsonParseError::DeepNesting at the offset of the bracket that goes too deep.
    QJsonDocument json(QJsonParseError *error = nullptr) const;

    // What the server knows of the connection the request came on: the client's address (as
    // ZRSocketThread::remoteAddress() writes it) and port, the server's port it reached, and
    // whether it came over TLS. Empty, 0 and false for a request the server did not make.
    QString remoteAddress() const;
    quint16 remotePort() const;
    quint16 localPort() const;
    bool isTls() const;
    // Nanoseconds since the server had the whole request (-1 for one it did not make): once the
    // reply is made, the time an access log reports.
    qint64 nsecsSinceArrival() const;
    // Where the body is when it went to a file as it came (ZRHttpRouter::setBodyLimits()), and
    // body() is empty: the file is the server's, removed once the request is answered, so read
    // it (or move it away) before. Empty for a body held in memory.
    QString bodyFile() const;

    // The single source of method texts; filled during static initialisation, read-only
    // afterwards, so connection threads read it without a lock.
    static QMap<RequestType, QString> requestTypeString;

private:
    friend class ZRHttpConnection;
    // addHeader() for each line, the list itself kept as it is.
    void addHeaders(const QList<QPair<QByteArray, QByteArray>> &lines);
    // The connection's facts, and the moment of arrival: now.
    void setArrival(const QString &remoteAddress, quint16 remotePort, quint16 localPort, bool tls);

    RequestType m_type = RequestGet;
    QString m_path;
    QString m_protocol;
    QList<QPair<QByteArray, QByteArray>> m_headerLines; // what addHeader() was given, in order
    QMap<QString, QString> m_pathParameters;
    QString m_remoteAddress;
    quint16 m_remotePort = 0;
    quint16 m_localPort = 0;
    bool m_tls = false;
    QElapsedTimer m_arrival; // invalid unless the server made the request
    QString m_bodyFile;
};

Q_DECLARE_METATYPE(ZRHttpRequest)

#endif // ZRHTTPREQUEST_H
