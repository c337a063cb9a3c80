#include "zrhttpchunkdecoder_p.h"
#include "zrhttpcompression_p.h"
#include "zrhttppath_p.h"
#include "zrhttprequest.h"
#include "zrhttprouter.h"
#include "zrhttpstaticfiles_p.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QMimeDatabase>
#include <QMutex>
#include <QUrl>

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

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

QByteArray contentType(const QMimeType &type)
{
    QByteArray name = type.name().toLatin1();
    if (name == "application/javascript")
        name = "text/javascript"; // RFC 9239 makes it the one type for scripts
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
    const QByteArray sinceText = request.headerValue("If-Modified-Since");
    if (!noneMatch.isEmpty() || sinceText.isEmpty())
        return false;
    const QDateTime since = parseHttpDate(sinceText);
    return since.isValid() && modified.isValid()
        && modified.toSecsSinceEpoch() <= since.toSecsSinceEpoch();
}

enum class Range { Whole, Part, Unsatisfiable };

// One "bytes=first-last", "bytes=first-" or "bytes=-suffix" (RFC 9110 14.1.2); several
// ranges or a malformed one are answered with the whole file, as 14.2 allows. The bounds are
// written only for a range that parses.
Range readRange(const QByteArray &header, qint64 size, qint64 *first, qint64 *last)
{
    if (!header.startsWith("bytes=") || header.contains(','))
        return Range::Whole;
    const QByteArray value = header.mid(6).trimmed();
    const int dash = value.indexOf('-');
    const QByteArray from = value.left(dash);
    const QByteArray to = value.mid(dash + 1);
    qint64 start = 0;
    qint64 end = size - 1;
    if (dash < 0 || (from.isEmpty() && !ZRHttpChunkDecoder::readDecimal(to, &start)))
        return Range::Whole;
    if (from.isEmpty()) { // the last `start` bytes
        if (start == 0 || size == 0)
            return Range::Unsatisfiable;
        *first = qMax<qint64>(0, size - start);
        *last = size - 1;
        return Range::Part;
    }
    if (!ZRHttpChunkDecoder::readDecimal(from, &start) || (!to.isEmpty() && (!ZRHttpChunkDecoder::readDecimal(to, &end) || end < start)))
        return Range::Whole;
    if (start >= size)
        return Range::Unsatisfiable;
    *first = start;
    *last = qMin(end, size - 1);
    return Range::Part;
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

// What a served path names, every link resolved.
struct Found
{
    QString real;
    bool folder = false;
    qint64 size = 0;
    QDateTime modified; // UTC
};

bool fill(Found *found, const QString &real, const struct stat &facts)
{
    if (!S_ISDIR(facts.st_mode) && !S_ISREG(facts.st_mode))
        return false; // a device or a pipe is never served
    found->real = real;
    found->folder = S_ISDIR(facts.st_mode);
    found->size = facts.st_size;
    found->modified = QDateTime::fromMSecsSinceEpoch(
        qint64(facts.st_mtim.tv_sec) * 1000 + facts.st_mtim.tv_nsec / 1000000, Qt::UTC);
    return true;
}

bool isResource(const QString &path)
{
    return path.startsWith(QLatin1Char(':'));
}

// A Qt resource has no links and no real path of its own.
bool findResource(const QString &path, Found *found)
{
    const QFileInfo file(path);
    if (!file.exists())
        return false;
    found->real = file.filePath();
    found->folder = file.isDir();
    found->size = file.size();
    found->modified = file.lastModified().toUTC();
    return true;
}

// What the steps below the folder (canonical) name; false when nothing is there. One lstat()
// a step: the folder is looked at anew for every request, so that files may come and go. A
// link on the way hands the whole path to realpath(), and the caller checks where it leads.
bool find(const QString &folder, const QStringList &steps, Found *found)
{
    if (isResource(folder))
        return findResource(folder + QLatin1Char('/') + steps.join(QLatin1Char('/')), found);
    QString path = folder;
    struct stat facts
    {
    };
    for (const QString &step : steps) {
        if (step.isEmpty())
            continue; // a folder's trailing "/"
        path += QLatin1Char('/') + step;
        if (::lstat(QFile::encodeName(path).constData(), &facts) != 0)
            return false;
        if (S_ISLNK(facts.st_mode)) {
            char resolved[PATH_MAX];
            const QByteArray all
                = QFile::encodeName(folder + QLatin1Char('/') + steps.join(QLatin1Char('/')));
            return ::realpath(all.constData(), resolved) && ::stat(resolved, &facts) == 0
                && fill(found, QFile::decodeName(resolved), facts);
        }
        if (!S_ISDIR(facts.st_mode) && &step != &steps.last())
            return false;
    }
    if (path.size() == folder.size() && ::stat(QFile::encodeName(path).constData(), &facts) != 0)
        return false; // the folder itself
    return fill(found, path, facts);
}

// The type of a file by its name, else by its content. Looking it up costs more than sending
// a small file, so the answer is kept for the files served, as long as they keep their size
// and time.
QByteArray mimeType(const Found &file)
{
    struct Kept
    {
        QByteArray type;
        qint64 size;
        QDateTime modified;
    };
    constexpr int MostKept = 1024;
    static QMutex mutex;
    static QHash<QString, Kept> kept;
    QMutexLocker lock(&mutex);
    const auto known = kept.constFind(file.real);
    if (known != kept.constEnd() && known->size == file.size && known->modified == file.modified)
        return known->type;
    lock.unlock();
    const QMimeDatabase database;
    QMimeType type = database.mimeTypeForFile(file.real, QMimeDatabase::MatchExtension);
    if (type.isDefault())
        type = database.mimeTypeForFile(file.real, QMimeDatabase::MatchContent);
    const Kept found { contentType(type), file.size, file.modified };
    lock.relock();
    if (kept.size() >= MostKept)
        kept.clear();
    kept.insert(file.real, found);
    return found.type;
}

// The answer with file's bytes, of type; `coding` names the content coding of a precompressed
// copy ("gzip"), whose ETag says so as well, so that no cache takes it for the file itself.
ZRHttpReply fileReply(const Found &file, const ZRHttpRequest &request, const QByteArray &type,
    const QByteArray &coding = QByteArray())
{
    const QByteArray etag = '"' + QByteArray::number(file.size, 16) + '-'
        + QByteArray::number(file.modified.toMSecsSinceEpoch(), 16)
        + (coding.isEmpty() ? QByteArray() : '-' + coding) + '"';
    const QByteArray lastModified = ZRHttpReply::httpDate(file.modified);
    ZRHttpReply reply(200); // each header once: added, not looked for
    reply.addHeader("ETag", etag);
    reply.addHeader("Last-Modified", lastModified);
    if (notModified(request, etag, file.modified)) {
        reply.setStatus(304);
        return reply;
    }
    reply.addHeader("Accept-Ranges", "bytes");
    const qint64 size = file.size;
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
    if (!isResource(file.real) && ::access(QFile::encodeName(file.real).constData(), R_OK) != 0)
        return ZRHttpRouter::statusReply(404, request);
    ZRHttpFolder::setBodyFile(reply, file.real, type, first, last - first + 1);
    if (!coding.isEmpty())
        reply.setHeader("Content-Encoding", coding);
    return reply;
}

// The file's gzip copy beside it ("app.js.gz"), as the file of that type and of that coding;
// the file itself where there is none, or none below the folder.
ZRHttpReply precompressedReply(const QString &root, const QString &inside, QStringList steps,
    const Found &file, const ZRHttpRequest &request)
{
    steps.last() += QLatin1String(".gz");
    Found copy;
    if (!find(root, steps, &copy) || copy.folder || !copy.real.startsWith(inside))
        return fileReply(file, request, mimeType(file));
    ZRHttpReply reply = fileReply(copy, request, mimeType(file), "gzip");
    ZRHttpCompression::addVary(reply, "Accept-Encoding");
    return reply;
}

} // namespace

ZRHttpReply ZRHttpFolder::serve(int depth, const ZRHttpRequest &request)
{
    const ZRHttpPath path = ZRHttpPath::parse(request.path());
    QStringList below = path.segments.mid(depth);
    if (below.isEmpty() || !namesOneStep(below))
        return ZRHttpRouter::statusReply(404, request);
    QString root = realPath(false);
    Found file;
    bool found = !root.isEmpty() && find(root, below, &file);
    if (!found) { // the folder may have moved
        const QString again = realPath(true);
        found = !again.isEmpty() && again != root && find(again, below, &file);
        root = again;
    }
    if (!found)
        return ZRHttpRouter::statusReply(404, request);
    if (file.folder && !below.last().isEmpty())
        return toFolder(path, request);
    if (file.folder) {
        below.last() = QStringLiteral("index.html");
        if (!find(root, below, &file))
            return ZRHttpRouter::statusReply(404, request);
    }
    // The file itself, every link resolved, must still lie below the folder.
    const QString inside = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (file.folder || !file.real.startsWith(inside))
        return ZRHttpRouter::statusReply(404, request);
    ZRHttpReply reply = m_options.precompressed
            && ZRHttpCompression::acceptsGzip(request.headerValue("Accept-Encoding"))
        ? precompressedReply(root, inside, below, file, request)
        : fileReply(file, request, mimeType(file));
    if (!m_options.cacheControl.isEmpty()
        && (reply.status() == 200 || reply.status() == 206 || reply.status() == 304))
        reply.setHeader("Cache-Control", m_options.cacheControl);
    return reply;
}

QString ZRHttpFolder::realPath(bool lookAgain)
{
    if (isResource(m_directory)) {
        const QFileInfo folder(m_directory);
        return folder.isDir() ? folder.canonicalFilePath() : QString();
    }
    const QByteArray given = QFile::encodeName(m_directory);
    struct stat facts
    {
    };
    if (::stat(given.constData(), &facts) != 0 || !S_ISDIR(facts.st_mode))
        return QString();
    QMutexLocker lock(&m_mutex);
    if (!lookAgain && !m_real.isEmpty() && facts.st_dev == m_device && facts.st_ino == m_inode)
        return m_real;
    lock.unlock();
    char resolved[PATH_MAX];
    if (!::realpath(given.constData(), resolved))
        return QString();
    lock.relock();
    m_real = QFile::decodeName(resolved);
    m_device = facts.st_dev;
    m_inode = facts.st_ino;
    return m_real;
}
