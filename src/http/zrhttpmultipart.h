#ifndef ZRHTTPMULTIPART_H
#define ZRHTTPMULTIPART_H

#include "zrhttppart.h"

#include <QList>
#include <QString>

// A MIME multipart body, nested to any depth. Serialised as: the start line as is (a reply
// puts its status line with its line end there), the header lines, a generated
// "Content-type: multipart/<subtype>; boundary=..." line (plus "MIME-Version: 1.0" for
// form-data and unknown types) unless a header name contains "content-type" in any case, the
// body (preamble) and LF, every part, then every nested multipart, each after a delimiter
// line, and the closing delimiter. Lines end with a lone LF.
//
// append() stores copies: later changes to the argument do not reach the stored element.
// Copies share list storage until either side appends, so copying is cheap.
class ZRNET_EXPORT ZRHttpMultiPart : public ZRHttpBase
{
    Q_OBJECT

public:
    // Draws a fresh random 12-character boundary.
    explicit ZRHttpMultiPart(ContentType type = MultipartMixed);
    ZRHttpMultiPart(const ZRHttpMultiPart &other);
    ZRHttpMultiPart &operator=(const ZRHttpMultiPart &other);
    ~ZRHttpMultiPart() override;

    // Not checked; nothing ensures the boundary does not occur inside a part.
    void setBoundary(QString boundary);
    QString boundary() const;

    void append(ZRHttpPart part);
    void append(ZRHttpMultiPart multiPart);
    QList<ZRHttpPart> parts() const;
    QList<ZRHttpMultiPart> multiParts() const;

    QByteArray toByteArray() const;
    // length characters from [A-Za-z0-9], drawn from the system-seeded global generator so a
    // boundary cannot be predicted; empty for length <= 0.
    QString generateBoundary(int length) const;

private:
    friend class ZRHttpWriter;
    friend class ZRHttpReply; // takes the header section into its head, the rest as its body
    void writeTo(ZRHttpWriter &writer) const;
    void writeHeaderSection(ZRHttpWriter &writer, const QByteArray &boundary) const;
    void writeBodySection(ZRHttpWriter &writer, const QByteArray &boundary) const;
    // multipart/<subtype>; boundary="<boundary>": the value of the generated type line.
    void writeTypeValue(ZRHttpWriter &writer, const QByteArray &boundary) const;
    static void writeDelimiter(ZRHttpWriter &writer, const QByteArray &boundary);

    QList<ZRHttpPart> m_parts;
    QList<ZRHttpMultiPart> m_multiParts;
    QString m_boundary;
};

#endif // ZRHTTPMULTIPART_H
