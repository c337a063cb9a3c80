#include "zrhttprequest.h"
#include "zrhttpname_p.h"
#include "zrhttppath_p.h"

#include <QUrl>

namespace {

// Qt's JSON parser recurses once per level of nesting and stops only at 1024 levels, deep
// enough to overflow a connection thread's stack; no document a handler expects nests this
// deep.
constexpr int MaxJsonDepth = 64;

// The offset of the bracket that opens a level beyond MaxJsonDepth, outside strings; -1 when
// there is none. Unbalanced closers only make the count err on the deep side.
int tooDeepAt(const QByteArray &json)
{
    int depth = 0;
    bool inString = false;
    for (int i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (inString) {
            if (c == '\\')
                ++i; // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MaxJsonDepth)
                return i;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return -1;
}

} // namespace

QMap<RequestType, QString> ZRHttpRequest::requestTypeString = {
    { RequestGet, QStringLiteral("GET") },
    { RequestPost, QStringLiteral("POST") },
    { RequestPut, QStringLiteral("PUT") },
    { RequestPatch, QStringLiteral("PATCH") },
    { RequestDelete, QStringLiteral("DELETE") },
    { RequestHead, QStringLiteral("HEAD") },
    { RequestOptions, QStringLiteral("OPTIONS") },
};

ZRHttpRequest::ZRHttpRequest(QObject *parent) : ZRHttpBase(parent) { }

ZRHttpRequest::ZRHttpRequest(const ZRHttpRequest &other)
    : ZRHttpBase(other), m_type(other.m_type), m_path(other.m_path), m_protocol(other.m_protocol),
      m_headerLines(other.m_headerLines), m_pathParameters(other.m_pathParameters),
      m_remoteAddress(other.m_remoteAddress), m_remotePort(other.m_remotePort),
      m_localPort(other.m_localPort), m_tls(other.m_tls), m_arrival(other.m_arrival),
      m_bodyFile(other.m_bodyFile)
{ }

ZRHttpRequest &ZRHttpRequest::operator=(const ZRHttpRequest &other)
{
    ZRHttpBase::operator=(other);
    m_type = other.m_type;
    m_path = other.m_path;
    m_protocol = other.m_protocol;
    m_headerLines = other.m_headerLines;
    m_pathParameters = other.m_pathParameters;
    m_remoteAddress = other.m_remoteAddress;
    m_remotePort = other.m_remotePort;
    m_localPort = other.m_localPort;
    m_tls = other.m_tls;
    m_arrival = other.m_arrival;
    m_bodyFile = other.m_bodyFile;
    return *this;
}

QString ZRHttpRequest::bodyFile() const
{
    return m_bodyFile;
}

ZRHttpRequest::~ZRHttpRequest() = default;

void ZRHttpRequest::setType(RequestType type)
{
    m_type = type;
}

RequestType ZRHttpRequest::type() const
{
    return m_type;
}

QString ZRHttpRequest::typeString() const
{
    // value() rather than operator[]: other threads read the table without a lock.
    return requestTypeString.value(m_type);
}

void ZRHttpRequest::setPath(QString path)
{
    m_path = path;
}

QString ZRHttpRequest::path() const
{
    return m_path;
}

void ZRHttpRequest::setProtocol(QString protocol)
{
    m_protocol = protocol;
}

QString ZRHttpRequest::protocol() const
{
    return m_protocol;
}

QByteArray ZRHttpRequest::headerValue(const QByteArray &name) const
{
    const QMap<QByteArray, QByteArray> all = headers();
    for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
        if (zrSameName(it.key(), name))
            return it.value();
    }
    return QByteArray();
}

void ZRHttpRequest::addHeader(const QByteArray &name, const QByteArray &value)
{
    m_headerLines.append(qMakePair(name, value));
    setHeader(name, value);
}

void ZRHttpRequest::addHeaders(const QList<QPair<QByteArray, QByteArray>> &lines)
{
    m_headerLines += lines;
    for (const auto &line : lines)
        setHeader(line.first, line.second);
}

QList<QByteArray> ZRHttpRequest::headerValues(const QByteArray &name) const
{
    QList<QByteArray> values;
    for (const auto &line : m_headerLines) {
        if (zrSameName(line.first, name))
            values.append(line.second);
    }
    if (!values.isEmpty())
        return values;
    const QMap<QByteArray, QByteArray> all = headers();
    for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
        if (zrSameName(it.key(), name))
            values.append(it.value());
    }
    return values;
}

// RFC 6265 5.4: "name=value" pairs separated by ";"; the first of a name counts.
QString ZRHttpRequest::cookie(const QString &name) const
{
    const QByteArray wanted = name.toUtf8();
    for (const QByteArray &header : headerValues(QByteArrayLiteral("Cookie"))) {
        for (const QByteArray &pair : header.split(';')) {
            const int equals = pair.indexOf('=');
            if (equals > 0 && pair.left(equals).trimmed() == wanted)
                return QString::fromUtf8(pair.mid(equals + 1).trimmed());
        }
    }
    return QString();
}

// A target the router refuses (one that climbs above the root, say) keeps its plain decoding.
QString ZRHttpRequest::pathOnly() const
{
    const ZRHttpPath path = ZRHttpPath::parse(m_path);
    if (path.kind == ZRHttpPath::Normal)
        return path.joined();
    return QUrl::fromPercentEncoding(m_path.left(m_path.indexOf(QLatin1Char('?'))).toUtf8());
}

QString ZRHttpRequest::pathParameter(const QString &name) const
{
    return m_pathParameters.value(name);
}

void ZRHttpRequest::setPathParameter(const QString &name, const QString &value)
{
    m_pathParameters.insert(name, value);
}

QUrlQuery ZRHttpRequest::query() const
{
    const int mark = m_path.indexOf(QLatin1Char('?'));
    return QUrlQuery(mark < 0 ? QString() : m_path.mid(mark + 1));
}

QJsonDocument ZRHttpRequest::json(QJsonParseError *error) const
{
    const QByteArray text = body();
    const int tooDeep = tooDeepAt(text);
    if (tooDeep < 0)
        return QJsonDocument::fromJson(text, error);
    if (error) {
        error->offset = tooDeep;
        error->error = QJsonParseError::DeepNesting;
    }
    return QJsonDocument();
}

QString ZRHttpRequest::remoteAddress() const
{
    return m_remoteAddress;
}

quint16 ZRHttpRequest::remotePort() const
{
    return m_remotePort;
}

quint16 ZRHttpRequest::localPort() const
{
    return m_localPort;
}

bool ZRHttpRequest::isTls() const
{
    return m_tls;
}

qint64 ZRHttpRequest::nsecsSinceArrival() const
{
    return m_arrival.isValid() ? m_arrival.nsecsElapsed() : -1;
}

void ZRHttpRequest::setArrival(
    const QString &remoteAddress, quint16 remotePort, quint16 localPort, bool tls)
{
    m_remoteAddress = remoteAddress;
    m_remotePort = remotePort;
    m_localPort = localPort;
    m_tls = tls;
    m_arrival.start();
}
