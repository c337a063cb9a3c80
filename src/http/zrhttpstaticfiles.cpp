#include "zrhttpchunkdecoder_p.h"
#include "zrhttppath_p.h"
#include "zrhttprequest.h"
#include "zrhttprouter.h"
#include "zrhttpstaticfiles_p.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QMimeDatabase>
#include <QUrl>

namespace {

// A decoded "%2F" or NUL would let one segment name a path of several, or cut it short; an
// empty segment is a folder's trailing "/" only.
bool namesOneStep(const QStringList &segments)
{
    for (int i = 0; i < segments.size(); ++i) {
        const QString &segment = segments.at(i);
        if (segment.contains(QLatin1Char('/')) || segment.contains(QChar(0))
            || (segment.isEmpty() && i < segments.size() - 1))
            return false;
    }
    return true;
}

// RFC 9239 makes text/javascript the one type for scripts.
QByteArray mimeType(const QString &path)
{
    const QMimeDatabase database;
    QMimeType type = database.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    if (type.isDefault())
        type = database.mimeTypeForFile(path, QMimeDatabase::MatchContent);
    QByteArray name = type.name().toLatin1();
    if (name == "application/javascript")
        name = "text/javascript";
    return name.startsWith("text/") ? name + "; charset=utf-8" : name;
}

QDateTime parseHttpDate(const QByteArray &text)
{
    const QDateTime local = QLocale::c().toDateTime(
        QString::fromLatin1(text.trimmed()), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    return local.isValid() ? QDateTime(local.date(), local.time(), Qt::UTC) : QDateTime();
}

// RFC 9110 13.1.2 and 13.1.3: If-None-Match, compared weakly, overrides If-Modified-Since.
bool notModified(const ZRHttpRequest &request, const QByteArray &etag, const QDateTime &modified)
{
    const QList<QByteArray> noneMatch = request.headerValues("If-None-Match");
    for (const QByteArray &value : noneMatch) {
        for (QByteArray tag : value.split(',')) {
            tag = tag.trimmed();
            if (tag == "*" || tag == etag || tag == "W/" + etag)
                return true;
        }
    }
    const QDateTime since = parseHttpDate(request.headerValue("If-Modified-Since"));
    return noneMatch.isEmpty() && since.isValid() && modified.isValid()
        && modified.toSecsSinceEpoch() <= since.toSecsSinceEpoch();
}

bool readNumber(const QByteArray &text, qint64 *number)
{
    return !text.isEmpty() && ZRHttpChunkDecoder::readNumber(text, 10, number) == text.size();
}

enum class Range { Whole, Part, Unsatisfiable };

// One "bytes=first-last", "bytes=first-" or "bytes=-suffix" (RFC 9110 14.1.2); several
// ranges or a malformed one are answered with the whole file, as 14.2 allows.
Range readRange(const QByteArray &header, qint64 size, qint64 *first, qint64 *last)
{
    if (!header.startsWith("bytes=") || header.contains(','))
        return Range::Whole;
    const QByteArray value = header.mid(6).trimmed();
    const int dash = value.indexOf('-');
    const QByteArray from = value.left(dash);
    const QByteArray to = value.mid(dash + 1);
    qint64 suffix = 0;
    if (dash < 0 || !(from.isEmpty() ? readNumber(to, &suffix) : readNumber(from, first)))
        return Range::Whole;
    if (from.isEmpty()) {
        *first = qMax<qint64>(0, size - suffix);
        *last = size - 1;
        return suffix == 0 || size == 0 ? Range::Unsatisfiable : Range::Part;
    }
    *last = size - 1;
    if (!to.isEmpty() && (!readNumber(to, last) || *last < *first))
        return Range::Whole;
    *last = qMin(*last, size - 1);
    return *first >= size ? Range::Unsatisfiable : Range::Part;
}

// A folder asked without its "/" would resolve the names in its index.html one level up.
ZRHttpReply toFolder(const ZRHttpPath &path, const ZRHttpRequest &request)
{
    QByteArray location;
    for (const QString &segment : path.segments)
        location += '/' + QUrl::toPercentEncoding(segment);
    ZRHttpReply reply = ZRHttpRouter::statusReply(301, request);
    reply.setHeader("Location", location + '/');
    return reply;
}

ZRHttpReply fileReply(const QFileInfo &file, const QString &real, const ZRHttpRequest &request)
{
    const QDateTime modified = file.lastModified().toUTC();
    const QByteArray etag = '"' + QByteArray::number(file.size(), 16) + '-'
        + QByteArray::number(modified.toMSecsSinceEpoch(), 16) + '"';
    const QByteArray lastModified = ZRHttpReply::httpDate(modified);
    ZRHttpReply reply(200);
    reply.setHeader("ETag", etag);
    reply.setHeader("Last-Modified", lastModified);
    if (notModified(request, etag, modified)) {
        reply.setStatus(304);
        return reply;
    }
    reply.setHeader("Accept-Ranges", "bytes");
    const qint64 size = file.size();
    qint64 first = 0;
    qint64 last = size - 1;
    const QByteArray ifRange = request.headerValue("If-Range");
    const Range range = ifRange.isEmpty() || ifRange == etag || ifRange == lastModified
        ? readRange(request.headerValue("Range"), size, &first, &last)
        : Range::Whole;
    if (range == Range::Unsatisfiable) {
        reply.setStatus(416);
        reply.setHeader("Content-Range", "bytes */" + QByteArray::number(size));
        return reply;
    }
    if (range == Range::Part) {
        reply.setStatus(206);
        reply.setHeader("Content-Range",
            "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/'
                + QByteArray::number(size));
    }
    if (!reply.setBodyFile(real, mimeType(real), first, last - first + 1))
        return ZRHttpRouter::statusReply(404, request);
    return reply;
}

} // namespace

ZRHttpReply zrServeFile(const QString &directory, int depth, const ZRHttpRequest &request)
{
    const ZRHttpPath path = ZRHttpPath::parse(request.path());
    const QStringList below = path.segments.mid(depth);
    const QString root = QFileInfo(directory).canonicalFilePath();
    if (below.isEmpty() || !namesOneStep(below) || root.isEmpty())
        return ZRHttpRouter::statusReply(404, request);
    QFileInfo file(root + QLatin1Char('/') + below.join(QLatin1Char('/')));
    if (file.isDir() && !below.last().isEmpty())
        return toFolder(path, request);
    if (file.isDir())
        file.setFile(file.filePath() + QLatin1String("index.html"));
    // The file itself, every link resolved, must still lie below the folder.
    const QString real = file.canonicalFilePath();
    const QString inside = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (!file.isFile() || !real.startsWith(inside))
        return ZRHttpRouter::statusReply(404, request);
    return fileReply(QFileInfo(real), real, request);
}
