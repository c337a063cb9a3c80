#ifndef ZRHTTPPART_H
#define ZRHTTPPART_H

#include "zrhttpbase.h"

class ZRHttpWriter;

// One message part: a complete single-part reply (the start line is then the status line) or
// one part of a multipart body. It writes exactly what the caller set: no header is added
// (no Content-Length either), lines end with a lone LF, and the content type is ignored.
class ZRNET_EXPORT ZRHttpPart : public ZRHttpBase
{
public:
    explicit ZRHttpPart(ContentType type = MultipartMixed, QObject *parent = nullptr);
    ZRHttpPart(const ZRHttpPart &other);
    ZRHttpPart &operator=(const ZRHttpPart &other);
    ~ZRHttpPart() override;

    // Start line, LF, "name: value" LF per header in byte order, LF, body.
    QByteArray toByteArray() const;

private:
    friend class ZRHttpWriter;
    friend class ZRHttpMultiPart;
    void writeTo(ZRHttpWriter &writer) const;
};

#endif // ZRHTTPPART_H
