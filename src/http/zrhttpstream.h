#ifndef ZRHTTPSTREAM_H
#define ZRHTTPSTREAM_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QObject>

#include <memory>

struct ZRHttpStreamLink;

// The body of a reply that is produced while it goes out (see ZRHttpReply::stream()): each
// write() leaves at once, as far as the client takes it, in a chunk of its own over HTTP/1.1,
// as it is over HTTP/1.0 (whose connection then ends with the body). Every call is safe from
// any thread.
//
// The body ends when the producer calls close(), or lets go of its last reference; an HTTP/1.1
// connection then reads its next request. It ends without the producer when the client goes,
// when the client falls behind the server's send pace or leaves more than MaxQueued bytes
// untaken, and when the server stops or is destroyed: isOpen() turns false, write() fails, and
// closed() is emitted once, from whichever thread saw it (connect with a context object to
// have it delivered on that object's thread). A stream waiting for its producer holds no thread
// of the server's; it counts toward the server's connections, and is never ended to make room.
//
// Server-sent events: sendEvent() writes one event of a text/event-stream
// (ZRHttpReply::eventStream()), sendComment() a line the client ignores, which keeps proxies
// from closing a quiet stream.
class ZRNET_EXPORT ZRHttpStream : public QObject
{
    Q_OBJECT
public:
    // Bytes a stream may hold that its client has not taken yet.
    static constexpr qint64 MaxQueued = 1024 * 1024;

    explicit ZRHttpStream(std::shared_ptr<ZRHttpStreamLink> link);
    // Ends the body, as close() does.
    ~ZRHttpStream() override;

    // Queues the bytes, and sends what the socket takes now. False once the stream has ended,
    // or when the bytes would leave more than MaxQueued untaken: the stream then ends. Empty
    // bytes are no write.
    bool write(const QByteArray &bytes);
    // One event: an "event:" line when event is set, an "id:" line when id is set, and a "data:"
    // line for each line of data (split at CR LF, LF or CR). False, and nothing written, when
    // event or id holds a line break or NUL; else as write().
    bool sendEvent(const QByteArray &data, const QByteArray &event = QByteArray(),
        const QByteArray &id = QByteArray());
    // A comment line (": text"), each line of text its own.
    bool sendComment(const QByteArray &text = QByteArray());
    // Ends the body once what is queued has gone; closed() is not emitted for it.
    void close();
    bool isOpen() const;

signals:
    // The stream ended without close(): the client went, fell behind, or the server stopped.
    void closed();

private:
    const std::shared_ptr<ZRHttpStreamLink> m_link;
};

#endif // ZRHTTPSTREAM_H
