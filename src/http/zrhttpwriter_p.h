#ifndef ZRHTTPWRITER_P_H
#define ZRHTTPWRITER_P_H

#include <QByteArray>
#include <QMap>

#include <limits>

// Sink for message serialisation. Without a buffer it only counts, so one walk over a message
// sizes the output and a second walk fills a buffer reserved once: linear in the output size,
// however deep the nesting.
class ZRHttpWriter
{
public:
    explicit ZRHttpWriter(QByteArray *out = nullptr) : m_out(out) { }

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

    // "name: value\n" for each header, in the map's (byte) order.
    void writeHeaderLines(const QMap<QByteArray, QByteArray> &headers)
    {
        for (auto it = headers.constBegin(); it != headers.constEnd(); ++it) {
            write(it.key());
            write(": ");
            write(it.value());
            write("\n");
        }
    }

    qint64 size() const { return m_size; }

    // Message provides writeTo(ZRHttpWriter &) const.
    template <typename Message>
    static QByteArray serialise(const Message &message)
    {
        ZRHttpWriter counter;
        message.writeTo(counter);
        QByteArray out;
        if (counter.size() <= std::numeric_limits<int>::max())
            out.reserve(int(counter.size()));
        ZRHttpWriter writer(&out);
        message.writeTo(writer);
        return out;
    }

private:
    QByteArray *m_out;
    qint64 m_size = 0;
};

#endif // ZRHTTPWRITER_P_H
