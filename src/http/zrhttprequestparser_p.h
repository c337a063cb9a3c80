#ifndef ZRHTTPREQUESTPARSER_P_H
#define ZRHTTPREQUESTPARSER_P_H

#include "zrhttpchunkdecoder_p.h"
#include "zrhttperror.h"
#include "zrnet_global.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <utility>

using ZRHttpHeaderList = QList<QPair<QByteArray, QByteArray>>;

// One request as read from a connection, before it becomes a ZRHttpRequest.
struct ZRHttpParsedRequest
{
    QByteArray requestLine; // the first line as sent (control characters as spaces), for the log
    QString methodText; // the method token, one of the table's
    int method = -1; // index into the method table (GET 0 .. OPTIONS 6)
    QString path;
    QString protocol;
    enum Version { OtherVersion, Http10, Http11 };
    Version version = OtherVersion;
    ZRHttpHeaderList headers; // in the order received; a repeated name appears each time
    QByteArray body;
    // The client asks to keep the connection open (HTTP/1.1 without "Connection: close", or
    // HTTP/1.0 with "Connection: keep-alive"), and the request's framing leaves no doubt where
    // the next one starts: not a POST, PUT or PATCH without framing, nor HTTP/1.0 chunks.
    bool keepAlive = false;
};

// Assembles one HTTP request from the bytes a connection receives, in whatever pieces
// they come, and parses it. Knows nothing of sockets or threads: the connection feeds
// it every piece it receives until the answer is no longer NeedMore. The same bytes give the
// same answer however they are cut.
//
// feed() answers:
//  - NeedMore: the request is not complete yet. Once the header block has been
//    accepted, expectsContinue() says whether the client waits for an interim
//    "100 Continue" before sending its body.
//  - Complete: request() holds the request and bytesUsed() how many of the bytes fed
//    it took; anything after that (a pipelined request) is left alone, for takeRest().
//  - BadRequest: error() gives the reason and httpStatus() the answer to send.
// Once Complete or BadRequest, further bytes change nothing.
//
// With setPauseAfterHead(), a request whose head declares a body stops once the head is
// accepted (NeedMore, isPaused()), keeping what came after it, so that the caller can judge the
// head before any of the body is taken: it may then set the body's maximum and a sink, and
// resume(). The declared length is judged against the maximum then, rather than at its line.
// A sink takes the body as it comes, so that the parser holds none of it; body() stays empty.
//
// The head is read strictly, so that it cannot mean one thing here and another to a proxy in
// front: every line ends with CR LF, and a bare CR or LF, or any other control character but a
// tab inside a value, is refused. A few empty lines before the request line are skipped. The
// request line is a method of the table (letter case counts), one space, a target, one space,
// and HTTP/1.0 or HTTP/1.1 (another HTTP/x.y is 505); it is judged as soon as it ends. Header
// names are tokens followed at once by the colon; a line that starts with white space is
// refused; values are kept as sent less the spaces and tabs at either end. An HTTP/1.1 request
// has exactly one Host, an HTTP/1.0 one at most one. Framing headers are judged as soon as
// their line ends. The header block ends at the first empty line. With Content-Length or
// chunked transfer coding the body is taken byte for byte; with neither there is no body, and
// what follows the header block is the next request. An Expect other than 100-continue is
// refused with 417.
class ZRNET_AUTOTEST_EXPORT ZRHttpRequestParser
{
public:
    enum Status { NeedMore, Complete, BadRequest };
    enum Framing { NoFraming, LengthFraming, ChunkedFraming };
    static constexpr int maxHeaderBlockSize = 8192;
    static constexpr int maxEmptyLinesBefore = 4;
    static constexpr qint64 defaultMaxBodySize = 1024 * 1024;

    // A negative maximum counts as 0, and one above 1 GiB as 1 GiB: a body is one QByteArray.
    explicit ZRHttpRequestParser(qint64 maxBodySize = defaultMaxBodySize);

    Status feed(const char *data, int size);
    Status feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }

    void setPauseAfterHead(bool on) { m_pauseAfterHead = on; }
    bool isPaused() const { return m_paused; }
    // While paused: the body's maximum, which a sink lets pass 1 GiB (up to 1 TiB).
    void setMaxBodySize(qint64 maxBodySize);
    // While paused: false from the sink fails the request with BodyNotStored (507).
    using Sink = ZRHttpChunkDecoder::Sink;
    void setBodySink(Sink sink);
    // Goes on with the bytes held; the answer as feed() gives it.
    Status resume();

    Status status() const { return m_status; }
    ZRHttpError error() const { return m_error; }
    int errorCode() const { return int(m_error); }
    int httpStatus() const { return m_httpStatus; } // 0 unless BadRequest
    bool hasRequestLine() const { return m_state > RequestLineState; }
    bool headerBlockAccepted() const { return m_state > HeaderLinesState; }
    bool expectsContinue() const { return m_expectsContinue; }
    Framing framing() const { return m_framing; }
    qint64 declaredLength() const { return m_contentLength; } // -1 without Content-Length
    qint64 bytesUsed() const { return m_bytesUsed; } // 0 unless Complete
    qint64 maxBodySize() const { return m_maxBodySize; }
    const ZRHttpParsedRequest &request() const { return m_request; }
    // Once Complete: the request, which the parser keeps no more.
    ZRHttpParsedRequest takeRequest() { return std::exchange(m_request, ZRHttpParsedRequest()); }
    // Once Complete: the bytes fed after the request, which belong to the next one.
    QByteArray takeRest() { return std::exchange(m_rest, QByteArray()); }

private:
    enum State { RequestLineState, HeaderLinesState, LengthBodyState, ChunkedBodyState, DoneState };
    enum LineEnd { LineNotYet = -1, LineTooLong = -2 };

    bool step();
    int findLineEnd(int limit);
    bool takeHeadLine(int *start, int *size, bool *crlf);
    QByteArray bytes(int from, int size) const; // a copy of these bytes of the buffer
    bool readRequestLine();
    void checkRequestLine(const char *line, int size, bool crlf);
    bool readHeaderLine();
    void takeField(QByteArray name, QByteArray value);
    void readContentLength(const QByteArray &value);
    void readTransferCoding(const QByteArray &value);
    bool finishHeaderBlock();
    bool expectationsMet() const;
    bool wantsContinue() const;
    bool asksToKeepConnection() const;
    bool framingAllowsNext() const;
    bool bodyDeclared() const;
    bool readLengthBody();
    bool streamLengthBody();
    void run();
    bool readChunkedBody();
    // Both settle the answer and return true, as a step that made progress.
    bool complete(int end);
    bool fail(ZRHttpError error, int httpStatus);
    void dropUsedBytes();

    ZRHttpParsedRequest m_request;
    QByteArray m_rest; // what came after a complete request
    QByteArray m_buffer; // bytes not yet used up; m_base of them were dropped before it
    qint64 m_base = 0;
    int m_pos = 0; // next byte to read in m_buffer
    int m_scan = 0; // where the search for the current line's end goes on
    int m_emptyLines = 0; // skipped before the request line
    int m_hosts = 0;
    bool m_codingSeen = false; // a Transfer-Encoding line, even an empty one
    qint64 m_maxBodySize;
    qint64 m_contentLength = -1; // none yet
    qint64 m_bodyLeft = 0; // of a length body going to the sink
    Sink m_sink;
    qint64 m_bytesUsed = 0;
    ZRHttpChunkDecoder m_chunks;
    State m_state = RequestLineState;
    Status m_status = NeedMore;
    ZRHttpError m_error = ZRHttpError::None;
    int m_httpStatus = 0;
    Framing m_framing = NoFraming;
    bool m_expectsContinue = false;
    bool m_pauseAfterHead = false;
    bool m_paused = false;
};

#endif // ZRHTTPREQUESTPARSER_P_H
