#include "zrhttpreply.h"
#include "zrhttpmultipart.h"
#include "zrhttpname_p.h"
#include "zrhttpwriter_p.h"
#include "zrlogging_p.h"
#include "zrwebsocket_p.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkCookie>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

struct Reason
{
    int status;
    const char *phrase;
};

// The one table of reason phrases (RFC 9110, and RFC 6585 for 428, 429, 431, 511).
const Reason reasons[] = {
    { 100, "Continue" },
    { 101, "Switching Protocols" },
    { 200, "OK" },
    { 201, "Created" },
    { 202, "Accepted" },
    { 203, "Non-Authoritative Information" },
    { 204, "No Content" },
    { 205, "Reset Content" },
    { 206, "Partial Content" },
    { 300, "Multiple Choices" },
    { 301, "Moved Permanently" },
    { 302, "Found" },
    { 303, "See Other" },
    { 304, "Not Modified" },
    { 305, "Use Proxy" },
    { 307, "Temporary Redirect" },
    { 308, "Permanent Redirect" },
    { 400, "Bad Request" },
    { 401, "Unauthorized" },
    { 402, "Payment Required" },
    { 403, "Forbidden" },
    { 404, "Not Found" },
    { 405, "Method Not Allowed" },
    { 406, "Not Acceptable" },
    { 407, "Proxy Authentication Required" },
    { 408, "Request Timeout" },
    { 409, "Conflict" },
    { 410, "Gone" },
    { 411, "Length Required" },
    { 412, "Precondition Failed" },
    { 413, "Content Too Large" },
    { 414, "URI Too Long" },
    { 415, "Unsupported Media Type" },
    { 416, "Range Not Satisfiable" },
    { 417, "Expectation Failed" },
    { 421, "Misdirected Request" },
    { 422, "Unprocessable Content" },
    { 426, "Upgrade Required" },
    { 428, "Precondition Required" },
    { 429, "Too Many Requests" },
    { 431, "Request Header Fields Too Large" },
    { 500, "Internal Server Error" },
    { 501, "Not Implemented" },
    { 502, "Bad Gateway" },
    { 503, "Service Unavailable" },
    { 504, "Gateway Timeout" },
    { 505, "HTTP Version Not Supported" },
    { 511, "Network Authentication Required" },
};

// The framing is the reply's own: it never sends chunks, and counts the body itself.
bool isFraming(const QByteArray &name)
{
    return zrSameName(name, "Content-Length") || zrSameName(name, "Transfer-Encoding");
}

QByteArray fileRange(const QString &path, qint64 offset, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return QByteArray();
    return file.read(length);
}

// The Date value, formatted once a second on each thread however many replies it sends.
QByteArray currentHttpDate()
{
    thread_local qint64 second = -1;
    thread_local QByteArray text;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != second) {
        text = ZRHttpReply::httpDate(QDateTime::fromSecsSinceEpoch(now, Qt::UTC));
        second = now;
    }
    return text;
}

// The reason phrase of a status in the table; null for any other.
const char *reasonText(int status)
{
    for (const Reason &reason : reasons) {
        if (reason.status == status)
            return reason.phrase;
    }
    return nullptr;
}

// Digits written straight into the reply, without a QByteArray of their own.
void appendNumber(QByteArray &out, qint64 value)
{
    char digits[24];
    char *const end = digits + sizeof digits;
    char *first = end;
    quint64 left = value < 0 ? 0 - quint64(value) : quint64(value);
    do {
        *--first = char('0' + left % 10);
        left /= 10;
    } while (left);
    if (value < 0)
        *--first = '-';
    out.append(first, int(end - first));
}

void appendLine(QByteArray &out, const QByteArray &name, const QByteArray &value)
{
    out += name;
    out += ": ";
    out += value;
    out += "\r\n";
}

} // namespace

ZRHttpReply::ZRHttpReply(int status)
{
    setStatus(status);
}

ZRHttpReply ZRHttpReply::text(const QByteArray &body, int status)
{
    ZRHttpReply reply(status);
    reply.setBody(body, QByteArrayLiteral("text/plain; charset=utf-8"));
    return reply;
}

ZRHttpReply ZRHttpReply::stream(StreamStarted started, QByteArray contentType, int status)
{
    ZRHttpReply reply(status);
    reply.setHeader(QByteArrayLiteral("Content-Type"), contentType);
    reply.m_streamStarted = std::make_shared<const StreamStarted>(std::move(started));
    return reply;
}

ZRHttpReply ZRHttpReply::eventStream(StreamStarted started)
{
    ZRHttpReply reply = stream(std::move(started), QByteArrayLiteral("text/event-stream"));
    reply.setHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-cache"));
    return reply;
}

ZRHttpReply ZRHttpReply::webSocket(
    const ZRHttpRequest &request, const ZRWebSocketOptions &options, WebSocketOpened opened)
{
    ZRHttpReply reply = ZRWebSocketLink::handshake(request, options);
    if (reply.status() == 101)
        reply.m_webSocket = std::make_shared<const ZRWebSocketStart>(
            ZRWebSocketStart { options, std::move(opened) });
    return reply;
}

bool ZRHttpReply::isStream() const
{
    return m_streamStarted != nullptr;
}

ZRHttpReply ZRHttpReply::html(const QByteArray &body, int status)
{
    ZRHttpReply reply(status);
    reply.setBody(body, QByteArrayLiteral("text/html; charset=utf-8"));
    return reply;
}

ZRHttpReply ZRHttpReply::json(const QJsonDocument &document, int status)
{
    ZRHttpReply reply(status);
    reply.setBody(document.toJson(QJsonDocument::Compact), QByteArrayLiteral("application/json"));
    return reply;
}

ZRHttpReply ZRHttpReply::json(const QJsonObject &object, int status)
{
    return json(QJsonDocument(object), status);
}

ZRHttpReply ZRHttpReply::json(const QJsonArray &array, int status)
{
    return json(QJsonDocument(array), status);
}

int ZRHttpReply::status() const
{
    return m_status;
}

// A status line needs three digits; anything else would leave the client guessing.
void ZRHttpReply::setStatus(int status)
{
    if (status < 100 || status > 999) {
        qCWarning(lcHttp, "Status %d is no HTTP status code; replying 500", status);
        status = 500;
    }
    m_status = status;
}

QByteArray ZRHttpReply::reasonPhrase(int status)
{
    const char *phrase = reasonText(status);
    return phrase ? QByteArray::fromRawData(phrase, int(std::strlen(phrase))) : QByteArray();
}

// IMF-fixdate (RFC 9110 5.6.7), spelled out by hand: the C library's names follow the locale.
QByteArray ZRHttpReply::httpDate(const QDateTime &utc)
{
    static const char days[7][4] = { "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun" };
    static const char months[12][4]
        = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    const QDate date = utc.date();
    const QTime time = utc.time();
    if (date.year() < 0 || date.year() > 9999) {
        char text[40];
        const int n = std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
            days[date.dayOfWeek() - 1], date.day(), months[date.month() - 1], date.year(),
            time.hour(), time.minute(), time.second());
        return QByteArray(text, n);
    }
    // By hand in the common case: snprintf() cost more than the rest of a file reply's head.
    char text[] = "Ddd, DD Mmm YYYY HH:MM:SS GMT";
    const auto put = [&text](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    std::memcpy(text, days[date.dayOfWeek() - 1], 3);
    put(5, date.day(), 2);
    std::memcpy(text + 8, months[date.month() - 1], 3);
    put(12, date.year(), 4);
    put(17, time.hour(), 2);
    put(20, time.minute(), 2);
    put(23, time.second(), 2);
    return QByteArray(text, int(sizeof text) - 1);
}

bool ZRHttpReply::accepts(const QByteArray &name, const QByteArray &value) const
{
    if (name.isEmpty() || name.contains(':') || zrSplitsLines(name) || zrSplitsLines(value)) {
        qCWarning(lcHttp, "Header refused: a line break, NUL or colon would corrupt the reply");
        return false;
    }
    return true;
}

bool ZRHttpReply::setHeader(const QByteArray &name, const QByteArray &value)
{
    if (!accepts(name, value))
        return false;
    const int at = indexOf(name);
    if (at < 0) {
        m_headers.append(Header(name, value));
        return true;
    }
    m_headers[at].second = value;
    for (int i = m_headers.size() - 1; i > at; --i) {
        if (zrSameName(m_headers.at(i).first, name.constData()))
            m_headers.removeAt(i);
    }
    return true;
}

bool ZRHttpReply::addHeader(const QByteArray &name, const QByteArray &value)
{
    if (!accepts(name, value))
        return false;
    m_headers.append(Header(name, value));
    return true;
}

namespace {

// What would end a cookie's value or an attribute early and make the rest another attribute
// (or another header): a ';', CR, LF or any other control byte.
bool breaksCookie(const QByteArray &text)
{
    return std::any_of(text.cbegin(), text.cend(),
        [](char c) { return c == ';' || uchar(c) < 0x20 || uchar(c) == 0x7f; });
}

bool cookieBreaks(const QNetworkCookie &cookie)
{
    const QByteArray name = cookie.name();
    return name.isEmpty() || !std::all_of(name.cbegin(), name.cend(), zrIsTokenChar)
        || breaksCookie(cookie.value()) || breaksCookie(cookie.path().toUtf8())
        || breaksCookie(cookie.domain().toUtf8());
}

QByteArray rawForm(QNetworkCookie cookie, ZRHttpReply::SameSite sameSite)
{
    static const char *const names[] = { "", "None", "Lax", "Strict" };
    if (sameSite == ZRHttpReply::SameSite::Unset)
        return cookie.toRawForm();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    cookie.setSameSitePolicy(QNetworkCookie::SameSite::Default);
#endif
    return cookie.toRawForm() + "; SameSite=" + names[int(sameSite)];
}

} // namespace

bool ZRHttpReply::addCookie(const QNetworkCookie &cookie, SameSite sameSite)
{
    if (cookieBreaks(cookie)) {
        qCWarning(
            lcHttp, "Cookie refused: its name, value, path or domain would change its attributes");
        return false;
    }
    return addHeader(QByteArrayLiteral("Set-Cookie"), rawForm(cookie, sameSite));
}

QByteArray ZRHttpReply::header(const QByteArray &name) const
{
    const int at = indexOf(name);
    return at < 0 ? QByteArray() : m_headers.at(at).second;
}

bool ZRHttpReply::hasHeader(const QByteArray &name) const
{
    return indexOf(name) >= 0;
}

QList<ZRHttpReply::Header> ZRHttpReply::headers() const
{
    return m_headers;
}

void ZRHttpReply::setBody(QByteArray body, QByteArray contentType)
{
    m_body = std::move(body);
    m_bodyFile.clear();
    m_streamStarted.reset();
    if (!contentType.isEmpty())
        setHeader(QByteArrayLiteral("Content-Type"), contentType);
}

QByteArray ZRHttpReply::body() const
{
    return m_body;
}

bool ZRHttpReply::setBodyFile(
    const QString &path, QByteArray contentType, qint64 offset, qint64 length)
{
    const QFileInfo file(path);
    const qint64 size = file.size();
    if (!file.isFile() || !file.isReadable() || offset < 0 || offset > size
        || length > size - offset) {
        setBody(QByteArray(), contentType);
        qCWarning(lcHttp, "No readable file or range to send: %s", qUtf8Printable(path));
        return false;
    }
    assignBodyFile(path, contentType, offset, length < 0 ? size - offset : length);
    return true;
}

void ZRHttpReply::assignBodyFile(
    const QString &path, QByteArray contentType, qint64 offset, qint64 length)
{
    setBody(QByteArray(), contentType);
    m_bodyFile = path;
    m_fileOffset = offset;
    m_fileLength = length;
}

QString ZRHttpReply::bodyFile() const
{
    return m_bodyFile;
}

qint64 ZRHttpReply::bodyFileOffset() const
{
    return m_fileOffset;
}

qint64 ZRHttpReply::bodySize() const
{
    return m_bodyFile.isEmpty() ? m_body.size() : m_fileLength;
}

void ZRHttpReply::setMultipart(const ZRHttpMultiPart &multiPart)
{
    const QByteArray boundary = multiPart.boundary().toUtf8();
    const QMap<QByteArray, QByteArray> own = multiPart.headers();
    for (auto it = own.constBegin(); it != own.constEnd(); ++it) {
        if (!zrSameName(it.key(), "Content-Type"))
            setHeader(it.key(), it.value());
    }
    QByteArray type;
    ZRHttpWriter typeWriter(&type, ZRHttpWriter::StandardForm);
    multiPart.writeTypeValue(typeWriter, boundary);
    setBody(ZRHttpWriter::serialise(ZRHttpWriter::StandardForm,
                [&](ZRHttpWriter &writer) { multiPart.writeBodySection(writer, boundary); }),
        type);
}

QByteArray ZRHttpReply::toByteArray() const
{
    return serialise(true, "close");
}

QByteArray ZRHttpReply::head() const
{
    return serialise(false, "close");
}

QByteArray ZRHttpReply::serialise(
    bool withBody, const char *connection, bool chunked, bool dated) const
{
    const bool bodyWritten = withBody && hasContent() && !isStream();
    QByteArray out;
    out.reserve(256 + (bodyWritten ? int(bodySize()) : 0));
    out += "HTTP/1.1 ";
    appendNumber(out, m_status);
    out += ' ';
    out += reasonText(m_status);
    out += "\r\n";
    for (const Header &header : m_headers) {
        if (!isFraming(header.first))
            appendLine(out, header.first, header.second);
    }
    if (hasContent() && isStream()) {
        if (chunked)
            out += "Transfer-Encoding: chunked\r\n";
    } else if (hasContent()) {
        out += "Content-Length: ";
        appendNumber(out, bodySize());
        out += "\r\n";
    }
    if (dated && indexOf(QByteArrayLiteral("Date")) < 0)
        appendLine(out, QByteArrayLiteral("Date"), currentHttpDate());
    if (connection && indexOf(QByteArrayLiteral("Connection")) < 0)
        appendLine(out, QByteArrayLiteral("Connection"), QByteArray(connection));
    out += "\r\n";
    if (bodyWritten)
        out += m_bodyFile.isEmpty() ? m_body : fileRange(m_bodyFile, m_fileOffset, m_fileLength);
    return out;
}

int ZRHttpReply::indexOf(const QByteArray &name) const
{
    for (int i = 0; i < m_headers.size(); ++i) {
        if (zrSameName(m_headers.at(i).first, name))
            return i;
    }
    return -1;
}

// RFC 9110 6.4.1 and 8.6: these statuses carry no content and no Content-Length.
bool ZRHttpReply::hasContent() const
{
    return m_status >= 200 && m_status != 204 && m_status != 304;
}
