#ifndef ZRHTTPWRITER_P_H
#define ZRHTTPWRITER_P_H

#include "zrhttpname_p.h"

#include <QByteArray>
#include <QMap>

#include <limits>

// Sink for message serialisation. Without a buffer it only counts, so one walk over a message
// sizes the output and a second walk fills a buffer reserved once: linear in the output size,
// however deep the nesting.
//
// The same walk writes either form of a message:
//  - BareLfForm: what the message classes have always written, byte for byte: lines end in a
//    lone LF and every start line is written, even an empty one.
//  - StandardForm: RFC 2046 body parts for an HTTP reply: lines end in CRLF, a part's start
//    line is its first header line and an empty one writes nothing.
class ZRHttpWriter
{
public:
    enum Form { BareLfForm, StandardForm };

    explicit ZRHttpWriter(QByteArray *out = nullptr, Form form = BareLfForm)
        : m_out(out), m_form(form)
    { }

    Form form() const { return m_form; }

    void write(const char *data, int size)
    {
        m_size += size;
        if (m_out)
            m_out->append(data, size);
    }
    void write(const QByteArray &bytes) { write(bytes.constData(), bytes.size()); }
    template <int N>
    void write(const char (&literal)[N])
    {
        write(literal, N - 1);
    }
    void endLine()
    {
        if (m_form == StandardForm)
            write("\r\n");
        else
            write("\n");
    }

    // A multipart's bare-LF start line carries its own line end, if any.
    void writeStartLine(const QByteArray &line, bool bareLfEndsIt)
    {
        if (m_form == StandardForm && line.isEmpty())
            return;
        write(line);
        if (m_form == StandardForm || bareLfEndsIt)
            endLine();
    }

    // "name: value" for each header, in the map's (byte) order, but for a name equal to skip
    // in any letter case.
    void writeHeaderLines(
        const QMap<QByteArray, QByteArray> &headers, const QByteArray &skip = QByteArray())
    {
        for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
            if (!skip.isEmpty() && zrSameName(it.key(), skip))
                continue;
            write(it.key());
            write(": ");
            write(it.value());
            endLine();
        }
    }

    qint64 size() const { return m_size; }

    // walk(ZRHttpWriter &) writes the message; it is called twice.
    template <typename Walk>
    static QByteArray serialise(Form form, const Walk &walk)
    {
        ZRHttpWriter counter(nullptr, form);
        walk(counter);
        QByteArray out;
        if (counter.size() <= std::numeric_limits<int>::max())
            out.reserve(int(counter.size()));
        ZRHttpWriter writer(&out, form);
        walk(writer);
        return out;
    }

    // Message provides writeTo(ZRHttpWriter &) const.
    template <typename Message>
    static QByteArray serialise(const Message &message, Form form = BareLfForm)
    {
        return serialise(form, [&message](ZRHttpWriter &writer) { message.writeTo(writer); });
    }

private:
    QByteArray *m_out;
    Form m_form;
    qint64 m_size = 0;
};

#endif // ZRHTTPWRITER_P_H
