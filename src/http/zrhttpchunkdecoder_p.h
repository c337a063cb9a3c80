#ifndef ZRHTTPCHUNKDECODER_P_H
#define ZRHTTPCHUNKDECODER_P_H

#include "zrhttperror.h"
#include "zrnet_global.h"

#include <QByteArray>

#include <functional>

// Decodes a body sent with chunked transfer coding: chunk-size lines (extensions ignored),
// chunk data each ended by CR LF, the last chunk, and the trailer section, whose fields are
// checked and dropped. Every line ends with CR LF: a bare LF is refused, as in the head, so
// that no proxy can read the body's end elsewhere. It knows nothing of the request around it.
//
// feed() takes the bytes that follow the header block, in whatever pieces they come, and
// answers how many of them it used: all of them while NeedMore; once Complete, those up to the
// end of the trailer section, leaving what follows (a pipelined request) alone. On Failed,
// error() gives the reason and httpStatus() the answer to send. Once Complete or Failed it
// takes nothing more.
//
// Limits: a chunk-size line, extensions included, under 4 KiB; the trailer section up to
// 8 KiB, as the header block; the body up to the maximum given, which is taken between 0 and
// 1 GiB (a body is one QByteArray), or 1 TiB where a sink takes the data instead. A size too
// big for 64 bits counts as the largest one.
class ZRNET_AUTOTEST_EXPORT ZRHttpChunkDecoder
{
public:
    enum Status { NeedMore, Complete, Failed };
    static constexpr int maxChunkLineSize = 4096;
    static constexpr int maxTrailerSize = 8192;
    static constexpr qint64 bodySizeCeiling = qint64(1) << 30;
    static constexpr qint64 streamedBodyCeiling = qint64(1) << 40;

    explicit ZRHttpChunkDecoder(qint64 maxBodySize = 0);

    // Takes the data as it comes instead of body(), which then stays empty; false from it fails
    // the body with BodyNotStored (507).
    using Sink = std::function<bool(const char *data, int size)>;
    void setSink(Sink sink);
    // A new maximum, before the body ends: more than it has come already fails with 413.
    void setMaxBodySize(qint64 maxBodySize);

    int feed(const char *data, int size);

    Status status() const { return m_status; }
    ZRHttpError error() const { return m_error; }
    int httpStatus() const { return m_httpStatus; } // 0 unless Failed
    const QByteArray &body() const { return m_body; }
    qint64 bytesUsed() const { return m_bytesUsed; } // by every feed() so far

    // Reads the digits at the front of text; a number too big to hold saturates at the
    // largest qint64, which every size limit then rejects. Returns how many digits it read.
    // Content-Length is read with it too.
    static int readNumber(const QByteArray &text, int base, qint64 *value);
    // Whether text is decimal digits and nothing else (Content-Length, a range's bounds).
    static bool readDecimal(const QByteArray &text, qint64 *value)
    {
        return !text.isEmpty() && readNumber(text, 10, value) == text.size();
    }

private:
    enum State { SizeLineState, DataState, DataEndState, TrailerState, DoneState };

    int step(const char *data, int size);
    int gatherLine(const char *data, int size, qint64 room, ZRHttpError tooLong, int status);
    void takeSizeLine();
    void takeTrailerLine();
    int takeData(const char *data, int size);
    int takeDataEnd(char c);
    void fail(ZRHttpError error, int httpStatus);

    QByteArray m_body;
    Sink m_sink;
    qint64 m_bodySize = 0; // of the data so far
    QByteArray m_line; // the line being gathered, without its LF
    bool m_lineDone = false; // m_line has met its LF
    bool m_crSeen = false; // the CR of a chunk's CR LF has come
    qint64 m_maxBodySize;
    qint64 m_chunkLeft = 0;
    qint64 m_trailerSize = 0; // of the lines before m_line, LFs included
    qint64 m_bytesUsed = 0;
    State m_state = SizeLineState;
    Status m_status = NeedMore;
    ZRHttpError m_error = ZRHttpError::None;
    int m_httpStatus = 0;
};

#endif // ZRHTTPCHUNKDECODER_P_H
