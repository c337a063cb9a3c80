#include "zrhttpmultipart.h"

#include "zrhttpwriter_p.h"

#include <QRandomGenerator>

namespace {

// The generated type line is left out when the caller names a content type of its own.
bool namesContentType(const QMap<QByteArray, QByteArray> &headers)
{
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
        if (it.key().toLower().contains("content-type"))
            return true;
    }
    return false;
}

const char *subtypeName(ContentType type)
{
    switch (type) {
    case MultipartMixed:
        return "multipart/mixed";
    case MultipartRelated:
        return "multipart/related";
    case MultipartAlternative:
        return "multipart/alternative";
    default:
        return "multipart/form-data";
    }
}

bool needsMimeVersion(ContentType type)
{
    return type != MultipartMixed && type != MultipartRelated && type != MultipartAlternative;
}

} // namespace

ZRHttpMultiPart::ZRHttpMultiPart(ContentType type)
    : ZRHttpBase(nullptr), m_boundary(generateBoundary(12))
{
    setContentType(type);
}

ZRHttpMultiPart::ZRHttpMultiPart(const ZRHttpMultiPart &other) = default;

ZRHttpMultiPart &ZRHttpMultiPart::operator=(const ZRHttpMultiPart &other) = default;

ZRHttpMultiPart::~ZRHttpMultiPart() = default;

void ZRHttpMultiPart::setBoundary(QString boundary)
{
    m_boundary = boundary;
}

QString ZRHttpMultiPart::boundary() const
{
    return m_boundary;
}

void ZRHttpMultiPart::append(ZRHttpPart part)
{
    m_parts.append(part);
}

// The argument is already a copy, so appending a multipart to itself stores its earlier state.
void ZRHttpMultiPart::append(ZRHttpMultiPart multiPart)
{
    m_multiParts.append(multiPart);
}

QList<ZRHttpPart> ZRHttpMultiPart::parts() const
{
    return m_parts;
}

QList<ZRHttpMultiPart> ZRHttpMultiPart::multiParts() const
{
    return m_multiParts;
}

QByteArray ZRHttpMultiPart::toByteArray() const
{
    return ZRHttpWriter::serialise(*this);
}

QString ZRHttpMultiPart::generateBoundary(int length) const
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const int alphabetSize = int(sizeof(alphabet)) - 1;
    QString boundary;
    if (length <= 0)
        return boundary;
    boundary.reserve(length);
    QRandomGenerator *generator = QRandomGenerator::global();
    for (int i = 0; i < length; ++i)
        boundary.append(QLatin1Char(alphabet[generator->bounded(alphabetSize)]));
    return boundary;
}

// Single parts always precede nested multiparts, whatever order they were appended in.
void ZRHttpMultiPart::writeTo(ZRHttpWriter &writer) const
{
    const QByteArray boundary = m_boundary.toUtf8();
    writeHeaderSection(writer, boundary);
    writeBodySection(writer, boundary);
}

// The standard form always names the boundary itself, so a caller's Content-Type cannot
// contradict it; the bare-LF form leaves that to a caller who names a content type.
void ZRHttpMultiPart::writeHeaderSection(ZRHttpWriter &writer, const QByteArray &boundary) const
{
    writer.writeStartLine(startLine(), false);
    const QMap<QByteArray, QByteArray> headerMap = headers();
    if (writer.form() == ZRHttpWriter::StandardForm) {
        writer.writeHeaderLines(headerMap, QByteArrayLiteral("Content-Type"));
        writer.write("Content-Type: ");
        writeTypeValue(writer, boundary);
        writer.endLine();
        writer.endLine();
        return;
    }
    writer.writeHeaderLines(headerMap);
    if (namesContentType(headerMap))
        return;
    writer.write("Content-type: ");
    writeTypeValue(writer, boundary);
    writer.endLine();
    if (needsMimeVersion(contentType()))
        writer.write("MIME-Version: 1.0\n");
}

// The bare-LF form puts the preamble straight after the header lines, where its line end
// closes the header block; in the standard form a preamble stands on lines of its own.
void ZRHttpMultiPart::writeBodySection(ZRHttpWriter &writer, const QByteArray &boundary) const
{
    if (writer.form() == ZRHttpWriter::BareLfForm || !body().isEmpty()) {
        writer.write(body());
        writer.endLine();
    }
    for (const ZRHttpPart &part : m_parts) {
        writeDelimiter(writer, boundary);
        part.writeTo(writer);
        writer.endLine();
    }
    for (const ZRHttpMultiPart &multiPart : m_multiParts) {
        writeDelimiter(writer, boundary);
        multiPart.writeTo(writer);
        writer.endLine();
    }
    writer.write("--");
    writer.write(boundary);
    writer.write("--");
    writer.endLine();
}

void ZRHttpMultiPart::writeTypeValue(ZRHttpWriter &writer, const QByteArray &boundary) const
{
    const char *subtype = subtypeName(contentType());
    writer.write(subtype, int(qstrlen(subtype)));
    writer.write("; boundary=\"");
    writer.write(boundary);
    writer.write("\"");
}

void ZRHttpMultiPart::writeDelimiter(ZRHttpWriter &writer, const QByteArray &boundary)
{
    writer.write("--");
    writer.write(boundary);
    writer.endLine();
}
