#include "zrhttppart.h"

#include "zrhttpwriter_p.h"

ZRHttpPart::ZRHttpPart(ContentType type, QObject *parent) : ZRHttpBase(parent)
{
    setContentType(type);
}

ZRHttpPart::ZRHttpPart(const ZRHttpPart &other) = default;

ZRHttpPart &ZRHttpPart::operator=(const ZRHttpPart &other) = default;

ZRHttpPart::~ZRHttpPart() = default;

QByteArray ZRHttpPart::toByteArray() const
{
    return ZRHttpWriter::serialise(*this);
}

void ZRHttpPart::writeTo(ZRHttpWriter &writer) const
{
    writer.writeStartLine(startLine(), true);
    writer.writeHeaderLines(headers());
    writer.endLine();
    writer.write(body());
}
