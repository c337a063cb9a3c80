#include "zrhttpbase.h"

QMap<KnownHeader, QByteArray> ZRHttpBase::knownHeaderString = {
    { HeaderContentDisposition, QByteArrayLiteral("Content-Disposition") },
    { HeaderContentType, QByteArrayLiteral("Content-Type") },
    { HeaderContentLength, QByteArrayLiteral("Content-Length") },
    { HeaderAuthorization, QByteArrayLiteral("Authorization") },
    { HeaderAccept, QByteArrayLiteral("Accept") },
    { HeaderXXsrfToken, QByteArrayLiteral("XXsrfToken") },
    { HeaderCookie, QByteArrayLiteral("Cookie") },
    { HeaderIfMatch, QByteArrayLiteral("IfMatch") },
    { HeaderAllow, QByteArrayLiteral("Allow") },
    { HeaderAccessControlAllowOrigin, QByteArrayLiteral("Access-Control-Allow-Origin") },
    { HeaderAccessControlAllowMethods, QByteArrayLiteral("Access-Control-Allow-Methods") },
    { HeaderAccessControlAllowHeaders, QByteArrayLiteral("Access-Control-Allow-Headers") },
    { HeaderAccessControlAllowCredentials, QByteArrayLiteral("Access-Control-Allow-Credentials") },
    { HeaderOrigin, QByteArrayLiteral("Origin") },
};

ZRHttpBase::ZRHttpBase(QObject *parent) : QObject(parent)
{
    if (parent)
        setParent(parent);
}

// A copy is a fresh object: the object-tree side (parent, connections) stays behind.
ZRHttpBase::ZRHttpBase(const ZRHttpBase &other)
    : QObject(nullptr), m_headers(other.m_headers), m_body(other.m_body),
      m_startLine(other.m_startLine), m_contentType(other.m_contentType)
{ }

ZRHttpBase &ZRHttpBase::operator=(const ZRHttpBase &other)
{
    m_headers = other.m_headers;
    m_body = other.m_body;
    m_startLine = other.m_startLine;
    m_contentType = other.m_contentType;
    return *this;
}

ZRHttpBase::~ZRHttpBase() = default;

ContentType ZRHttpBase::contentType() const
{
    return m_contentType;
}

void ZRHttpBase::setContentType(ContentType type)
{
    m_contentType = type;
}

void ZRHttpBase::setParent(QObject *parent)
{
    if (!parent)
        return;
    connect(parent, &QObject::destroyed, this, &QObject::deleteLater);
}

void ZRHttpBase::setHeader(KnownHeader header, QByteArray value)
{
    // value() rather than operator[]: the shared table must never grow.
    setHeader(knownHeaderString.value(header), std::move(value));
}

void ZRHttpBase::setHeader(QByteArray name, QByteArray value)
{
    m_headers.insert(name, value);
}

QByteArray ZRHttpBase::header(QByteArray name) const
{
    return m_headers.value(name);
}

QMap<QByteArray, QByteArray> ZRHttpBase::headers() const
{
    return m_headers;
}

void ZRHttpBase::setBody(const QByteArray &body)
{
    m_body = body;
}

QByteArray ZRHttpBase::body() const
{
    return m_body;
}

void ZRHttpBase::setStartLine(const QByteArray &line)
{
    m_startLine = line;
}

QByteArray ZRHttpBase::startLine() const
{
    return m_startLine;
}
