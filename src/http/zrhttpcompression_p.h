#ifndef ZRHTTPCOMPRESSION_P_H
#define ZRHTTPCOMPRESSION_P_H

#include <QByteArray>

class ZRHttpReply;
class ZRHttpRequest;

// Content coding of replies (RFC 9110 8.4): gzip through zlib, for the router's replies and the
// precompressed copies of static files. Plain functions over values, callable from any thread.
class ZRHttpCompression
{
public:
    // Whether an Accept-Encoding value takes gzip (RFC 9110 12.5.3): "gzip" or "x-gzip" with a
    // weight above 0, or "*" above 0 where gzip is not named.
    static bool acceptsGzip(const QByteArray &acceptEncoding);
    // Text, JSON, JavaScript, XML and SVG; not images, archives, media or event streams, which
    // are compressed already or must reach the client as they are written.
    static bool compressible(const QByteArray &contentType);
    // The gzip member (RFC 1952) of data; empty if zlib fails.
    static QByteArray gzip(const QByteArray &data);
    // Adds field to the reply's Vary list unless it names it already.
    static void addVary(ZRHttpReply &reply, const char *field);
    // Encodes the reply's body for the request when both allow it: a body of at least
    // minimumSize bytes (held in memory, or a file's of 256 KiB at most), a compressible type,
    // no coding of its own, not a range, and a client that takes gzip. Every reply that could be encoded says Vary: Accept-Encoding,
    // encoded or not, and an encoded one gets an ETag of its own.
    static void compress(const ZRHttpRequest &request, ZRHttpReply &reply, int minimumSize);
};

#endif // ZRHTTPCOMPRESSION_P_H
