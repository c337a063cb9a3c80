#include "zrhttpcompression_p.h"
#include "zrhttpname_p.h"
#include "zrhttpreply.h"
#include "zrhttprequest.h"

#include <QFile>

#include <zlib.h>

#include <climits>

namespace {

// A file's body larger than this goes from the file as it is (a precompressed copy serves it).
constexpr qint64 maxFileSize = 256 * 1024;

// The weight of one element of an Accept-Encoding list ("gzip;q=0.5"): 1 unless it says.
double weight(const QList<QByteArray> &parameters)
{
    for (int i = 1; i < parameters.size(); ++i) {
        const QByteArray parameter = parameters.at(i).trimmed();
        if (parameter.size() > 2 && (parameter.startsWith("q=") || parameter.startsWith("Q=")))
            return parameter.mid(2).toDouble();
    }
    return 1;
}

QByteArray mediaType(const QByteArray &contentType)
{
    const int semicolon = contentType.indexOf(';');
    return (semicolon < 0 ? contentType : contentType.left(semicolon)).trimmed().toLower();
}

// The body as it stands; a file's range read from the file. Null when the file cannot be read.
QByteArray bodyOf(const ZRHttpReply &reply)
{
    if (reply.bodyFile().isEmpty())
        return reply.body();
    QFile file(reply.bodyFile());
    if (!file.open(QIODevice::ReadOnly) || !file.seek(reply.bodyFileOffset()))
        return QByteArray();
    const QByteArray bytes = file.read(reply.bodySize());
    return bytes.size() == reply.bodySize() ? bytes : QByteArray();
}

} // namespace

bool ZRHttpCompression::acceptsGzip(const QByteArray &acceptEncoding)
{
    double gzip = -1;
    double any = -1;
    for (const QByteArray &element : acceptEncoding.split(',')) {
        const QList<QByteArray> parameters = element.split(';');
        const QByteArray coding = parameters.first().trimmed().toLower();
        if (coding == "gzip" || coding == "x-gzip")
            gzip = qMax(gzip, weight(parameters));
        else if (coding == "*")
            any = weight(parameters);
    }
    return gzip >= 0 ? gzip > 0 : any > 0;
}

bool ZRHttpCompression::compressible(const QByteArray &contentType)
{
    const QByteArray type = mediaType(contentType);
    if (type == "text/event-stream")
        return false;
    return type.startsWith("text/") || type == "application/json"
        || type == "application/javascript" || type == "application/xml"
        || type == "application/wasm" || type == "image/svg+xml" || type.endsWith("+json")
        || type.endsWith("+xml");
}

QByteArray ZRHttpCompression::gzip(const QByteArray &data)
{
    z_stream stream {};
    // 15 bits of window, plus 16: a gzip header and trailer rather than zlib's.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
        != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.truncate(done ? int(stream.total_out) : 0);
    deflateEnd(&stream);
    return out;
}

void ZRHttpCompression::addVary(ZRHttpReply &reply, const char *field)
{
    const QByteArray vary = reply.header("Vary");
    if (vary.isEmpty())
        reply.setHeader("Vary", field);
    else if (!zrListHas(vary, field) && !zrListHas(vary, "*"))
        reply.setHeader("Vary", vary + ", " + field);
}

void ZRHttpCompression::compress(
    const ZRHttpRequest &request, ZRHttpReply &reply, int minimumSize)
{
    // A stream goes as it comes; a range counts bytes of the body as it stands; a large file
    // goes from the file rather than through memory.
    const qint64 size = reply.bodySize();
    if (minimumSize < 0 || reply.isStream() || !reply.hasContent() || reply.status() == 206
        || reply.hasHeader("Content-Encoding") || reply.hasHeader("Content-Range")
        || size < minimumSize || size > (reply.bodyFile().isEmpty() ? INT_MAX / 2 : maxFileSize)
        || !compressible(reply.header("Content-Type")))
        return;
    addVary(reply, "Accept-Encoding");
    if (!acceptsGzip(request.headerValue("Accept-Encoding")))
        return;
    const QByteArray body = bodyOf(reply);
    const QByteArray encoded = body.isNull() ? QByteArray() : gzip(body);
    if (encoded.isEmpty() || encoded.size() >= size)
        return; // incompressible after all: the body as it is costs the client less
    reply.setBody(encoded);
    reply.setHeader("Content-Encoding", "gzip");
    if (reply.hasHeader("Accept-Ranges"))
        reply.setHeader("Accept-Ranges", "none"); // ranges are of the file's bytes only
    QByteArray etag = reply.header("ETag");
    if (etag.endsWith('"')) {
        etag.insert(etag.size() - 1, "-gzip");
        reply.setHeader("ETag", etag);
    }
}
