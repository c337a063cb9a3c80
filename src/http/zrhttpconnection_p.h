#ifndef ZRHTTPCONNECTION_P_H
#define ZRHTTPCONNECTION_P_H

#include "zrconnection_p.h"
#include "zrhttperror.h"
#include "zrhttpheadcheck_p.h"
#include "zrhttprequestparser_p.h"
#include "zrsendpace_p.h"

#include <QByteArray>

#include <QTemporaryFile>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class ZRHttpReply;
class ZRHttpRequest;
class ZRHttpServer;
struct ZRHttpStreamLink;
class ZRServer;
class ZRTlsContext;
class ZRTlsTransport;
class ZRTransport;
class ZRWebSocketLink;

// One connection of an HTTP server: its phase, its transport (plain or TLS), its parser, the
// reply going out, and the one deadline that follows from them.
//
// Threads. The connection has no thread of its own. Whenever it has something to do (bytes of a
// request, room in its socket for more of a reply, a deadline come) a thread of the server's
// pool serves it, and when it has to wait for its socket again it goes back, parked, to the
// accept loop's poll set: after a short grace while reading (a busy client's next request
// usually comes at once, and then keeps its thread), at once while a reply waits for room. Once
// a whole request is handed to the application, the thread waits for its next(), stop() or
// reply while the slots it runs are at work (a slot may run an event loop on it, and answer
// from there); when they return without an answer, the thread lets go, and the connection
// waits in the table, served by no thread and in no poll set, until the answer comes from
// whichever thread and hands it to the pool. Unless the raw message signal (the server's or
// the handle's) has receivers: its bytes live in the thread's buffer, so the thread waits as
// long as they may be read.
//
// The handle. The ZRSocketThread the application gets with each request is the connection's,
// the same for every request of the connection, and never started itself: next() and stop()
// release the thread that serves the connection, and clientSocket(), remoteAddress() and
// messageSize() read the connection. When the connection ends, the handle emits finished() and
// is deleted at once; wait() on it returns at once.
//
// A reply is sent from whichever thread calls sendReply(). When the socket is full and the
// transport is the plain socket, what is left waits in the connection, and the connection's
// thread takes it from there, parking it meanwhile; over TLS the caller's thread sends it all.
//
// A streamed reply (ZRHttpStream) is sent the same way, from whichever thread its producer
// writes on, under the stream's lock; over TLS, whose writes wait for the client, by a thread
// of the pool, so that a slow client never holds the producer up. Meanwhile the connection waits
// parked, watching for its client going and, while bytes wait, for room; a producer that needs it
// to act on something the socket does not tell (an end, a write that left bytes waiting) has the
// accept loop resume it.
//
// After a WebSocket upgrade the connection speaks WebSocket until it ends (see ZRWebSocket):
// it streams, parked while it waits for its client or for room, served by a thread of the pool
// when its socket has bytes, room, or a producer's message to send over TLS.
//
// Memory: an idle connection keeps its handle, this object and the parser's empty buffers;
// messages are read into the serving thread's buffer.
class ZRHttpConnection : public ZRConnection
{
public:
    ZRHttpConnection(ZRHttpServer &server, int socket, const QString &address);
    ~ZRHttpConnection() override;
    // The HTTP connection behind a handle; null for any other.
    static ZRHttpConnection *of(ZRSocketThread *thread);

    qint64 deadline() const override;
    bool servesItself() const override { return false; }
    void serve(ZRWorker &worker) override;
    void end() override;
    void serverStopping() override;

    // On the connection's thread, inside the server: a piece of the request being read.
    void received(ZRServer &server, const char *bytes, int size) override;
    // The answer to the request held, from any thread: the bytes as given (the connection
    // ends after them), or a reply.
    void sendBytes(ZRHttpServer &server, const QByteArray &bytes);
    void sendReply(ZRHttpServer &server, const ZRHttpReply &reply);
    // From a stream's producer, on any thread: bytes of the body, framed, or its end (last).
    // False when the stream has ended, or ends now.
    static bool feedStream(ZRHttpStreamLink &link, const QByteArray &bytes, bool last);

protected:
    void leaving() override;

private:
    enum Step { Proceed, WaitForSocket, Ended, LetGo };
    enum Push { Done, Blocked, Failed };

    void restart(const ZRHttpServer &server);
    Step proceed(ZRWorker &worker);
    bool waitForSocket();
    Step timeUp();
    Step startTls();
    Step readMore(ZRWorker &worker);
    Step drop();
    void beginRequest();
    void awaitMore();
    void refuse(ZRHttpServer &server, ZRHttpError code, int status);
    void answerAndClose(const QByteArray &answer);
    void linger();
    void handToApplication(ZRHttpServer &server);
    ZRHttpRequest takeRequest(ZRHttpServer &server);
    ZRHttpRequest requestOf(const ZRHttpParsedRequest &parsed);
    bool judgeHead(ZRHttpServer &server);
    void answerHead(ZRHttpServer &server, const ZRHttpReply &reply);
    bool openBodyFile(const QString &directory);
    // Whether a receiver waits for the raw messages, the server's or the handle's.
    bool messagesHeard();
    void startReply(
        ZRHttpServer &server, const QByteArray &head, int file, qint64 fileLength, bool keepOpen);
    void startStream(
        ZRHttpServer &server, const ZRHttpReply &reply, const char *connection, bool keepOpen);
    bool queueStreamed(const QByteArray &bytes);
    Step serveStream();
    Step endStreamAtStop(std::unique_lock<std::mutex> &lock, bool waiting);
    bool clientGone() const;
    void startWebSocket(ZRHttpServer &server, const ZRHttpReply &reply);
    Step serveWebSocket();
    void unlinkStream();
    Push push();
    Step pushOnThread();
    bool concludeReply(bool sent, ZRServer *server);
    void closeFile();

    std::unique_ptr<ZRTransport> m_transport;
    ZRTlsTransport *m_tls = nullptr; // m_transport, over TLS
    // Set until the transport is settled: TLS, or a plain client answered in plain text.
    std::shared_ptr<const ZRTlsContext> m_tlsContext;
    ZRHttpRequestParser m_parser;
    // The router's judge of each head, as the request began; null where no router serves.
    std::shared_ptr<const ZRHttpHeadCheck> m_headCheck;
    // A body going to a file, from its head until its answer, when it is removed.
    std::unique_ptr<QTemporaryFile> m_bodyFile;
    QByteArray m_bulk; // the buffer a body is read into, while one is
    qint64 m_bodyStart = -1; // monotonic ms when the head was in; -1 before
    qint64 m_bodyReceived = 0; // bytes read since
    qint64 m_receiveRate = 0; // the least the body must keep, bytes a second; 0: none
    ZRSendPace m_pace;
    QByteArray m_unread; // bytes read with a request that belong to the next one
    std::shared_ptr<ZRHttpStreamLink> m_stream; // while a stream goes out
    std::shared_ptr<ZRWebSocketLink> m_webSocket; // after an upgrade, while the WebSocket is open
    // The reply going out on the plain socket: bytes, then a range of a file.
    QByteArray m_output;
    qint64 m_outputSent = 0;
    int m_file = -1;
    qint64 m_fileOffset = 0;
    qint64 m_fileLeft = 0;
    qint64 m_requestStart = 0; // monotonic ms: the first byte of the request (the accept, first)
    qint64 m_requestTimeoutMs = 0; // the server's, as the request began
    qint64 m_keepAliveMs = 0;
    qint64 m_dropped = 0; // bytes dropped while closing
    int m_served = 0; // requests handed to the application
    quint16 m_remotePort = 0; // both taken with the first request
    quint16 m_localPort = 0;
    short m_waitsFor = 0; // POLLIN or POLLOUT, while waiting for the socket
    bool m_described = false; // the request line has been logged
    bool m_continueSent = false;
    bool m_keepOpen = false; // the request held allows the connection to stay open
    bool m_http10 = false; // ... and must be told so with "Connection: keep-alive"
    bool m_answeringHead = false;
    bool m_replyKeepsOpen = false; // the reply going out leaves the connection open
    bool m_plainOnTlsPort = false;
    bool m_graceSpent = false; // the read that found nothing waited for the grace already
    bool m_watchesOut = false; // a stream parked waiting for room; under the stream's lock
    bool m_endedByStop = false; // a stream the server's stop gave its end
};

#endif // ZRHTTPCONNECTION_P_H
