#include "zrhttpcompression_p.h"
#include "zrhttpname_p.h"
#include "zrhttpreply.h"
#include "zrhttprequest.h"

#include <zlib.h>

#include <climits>

namespace {

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
    // A file is sent from the file and a stream as it comes; a range counts bytes of the body
    // as it stands.
    if (minimumSize < 0 || reply.isStream() || !reply.bodyFile().isEmpty() || !reply.hasContent()
        || reply.status() == 206 || reply.hasHeader("Content-Encoding")
        || reply.hasHeader("Content-Range") || reply.bodySize() < minimumSize
        || reply.bodySize() > INT_MAX / 2 || !compressible(reply.header("Content-Type")))
        return;
    addVary(reply, "Accept-Encoding");
    if (!acceptsGzip(request.headerValue("Accept-Encoding")))
        return;
    const QByteArray encoded = gzip(reply.body());
    if (encoded.isEmpty() || encoded.size() >= reply.bodySize())
        return; // incompressible after all: the body as it is costs the client less
    reply.setBody(encoded);
    reply.setHeader("Content-Encoding", "gzip");
    QByteArray etag = reply.header("ETag");
    if (etag.endsWith('"')) {
        etag.insert(etag.size() - 1, "-gzip");
        reply.setHeader("ETag", etag);
    }
}
