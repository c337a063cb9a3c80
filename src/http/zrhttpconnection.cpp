#include "zrconnectiontable_p.h"
#include "zrhttpconnection_p.h"
#include "zrhttpfilebody_p.h"
#include "zrhttpheadcheck_p.h"
#include "zrhttpname_p.h"
#include "zrhttpreply.h"
#include "zrhttpserver.h"
#include "zrhttpstream.h"
#include "zrhttpstream_p.h"
#include "zrlogging_p.h"
#include "zrsocket_p.h"
#include "zrsocketthread.h"
#include "zrtlscontext_p.h"
#include "zrtransport_p.h"
#include "zrwebsocket_p.h"
#include "zrworkerpool_p.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ZRSocketPrivate;

namespace {

constexpr int BulkCapacity = 64 * 1024;

// How long, and how much, the server drops of what a client still sends once the server has
// ended the connection.
constexpr qint64 LingerMs = 2000;
constexpr qint64 LingerBytes = 1024 * 1024;

// The answer to a client that speaks plain HTTP to the HTTPS port, in the only form it reads.
QByteArray plainOnTlsPortReply()
{
    return ZRHttpReply::text("This port speaks HTTPS: ask for https:// rather than http://.\n", 400)
        .toByteArray();
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

qint64 after(qint64 since, qint64 milliseconds)
{
    return milliseconds > 0 ? since + milliseconds : NoDeadline;
}

} // namespace

ZRHttpConnection::ZRHttpConnection(ZRHttpServer &server, int socket, const QString &address)
    : ZRConnection(socket, address, server.m_connections),
      m_transport(new ZRPlainTransport(socket, &m_pace)), m_tlsContext(server.tlsContext())
{
    restart(server);
    m_requestStart = phaseSince();
}

ZRHttpConnection::~ZRHttpConnection()
{
    closeFile();
}

ZRHttpConnection *ZRHttpConnection::of(ZRSocketThread *thread)
{
    ZRConnection *connection = thread ? thread->m_connection : nullptr;
    return connection && !connection->servesItself() ? static_cast<ZRHttpConnection *>(connection)
                                                     : nullptr;
}

// The one deadline. A request has the request timeout from its first byte (the first request:
// from the accept, its handshake included); a connection idle between requests, the keep-alive
// timeout; a reply, its pace's current window; a connection the server closes, the linger time.
qint64 ZRHttpConnection::deadline() const
{
    switch (phase()) {
    case FirstByte:
        return after(phaseSince(), m_requestTimeoutMs);
    case Reading:
        // Once the head is in, the body keeps its pace: each byte buys 1/rate of a second.
        if (m_bodyStart >= 0 && m_receiveRate > 0 && m_requestTimeoutMs > 0)
            return m_bodyStart + m_requestTimeoutMs + m_bodyReceived * 1000 / m_receiveRate;
        return after(m_requestStart, m_requestTimeoutMs);
    case Sending:
        return m_pace.deadline();
    case Idle:
        return after(phaseSince(), m_keepAliveMs);
    case Closing:
        return phaseSince() + LingerMs;
    case Held:
    case Streaming: // bounded by the pace while bytes wait, which it parks with
        break;
    }
    return NoDeadline;
}

// The server's settings as a request begins, and a fresh parser for it.
void ZRHttpConnection::restart(const ZRHttpServer &server)
{
    m_requestTimeoutMs = server.requestTimeout();
    m_keepAliveMs = server.keepAliveTimeout();
    m_headCheck = server.headCheck();
    m_parser = ZRHttpRequestParser(server.maxBodySize());
    m_parser.setPauseAfterHead(m_headCheck != nullptr);
    m_receiveRate = server.minimumReceiveRate();
    m_bodyStart = -1;
    m_bodyReceived = 0;
    m_described = false;
    m_continueSent = false;
}

void ZRHttpConnection::serve(ZRWorker &worker)
{
    for (;;) {
        const Step step = proceed(worker);
        if (step == Ended || step == LetGo || (step == WaitForSocket && !waitForSocket()))
            return;
    }
}

ZRHttpConnection::Step ZRHttpConnection::proceed(ZRWorker &worker)
{
    if (!handle()->m_running) { // stopped by an answer that came after its thread let go
        end();
        return Ended;
    }
    switch (phase()) {
    case Sending:
        return pushOnThread(); // the pace judges a reply's time
    case Streaming:
        return m_webSocket ? serveWebSocket() : serveStream();
    case Held:
        // The application let the request go unanswered: the next one's time starts now.
        setPhase(FirstByte);
        break;
    default:
        break;
    }
    const qint64 due = deadline();
    if (due != NoDeadline && monotonicMs() >= due)
        return timeUp();
    if (phase() == Closing)
        return drop();
    if (m_tlsContext)
        return startTls();
    return readMore(worker);
}

// A short grace on the thread first, while reading (unless the read itself waited for it, or
// the connection is closing): a busy client's next request comes at once. Then the connection
// parks; with no accept loop to park in, the thread waits for the socket itself. False once the
// thread has let go of the connection.
bool ZRHttpConnection::waitForSocket()
{
    const qint64 due = deadline();
    if (m_waitsFor == POLLIN && !std::exchange(m_graceSpent, false) && !table().pool().crowded()
        && phase() != Closing) {
        const qint64 graceEnd = deadlineIn(ZRConnection::GraceMs);
        if (waitUntil(socket(), POLLIN, earlierDeadline(due, graceEnd)) != 0)
            return true;
        if (due != NoDeadline && due <= graceEnd)
            return true; // its time is up
    }
    const unsigned events = m_waitsFor == POLLIN ? EPOLLIN | EPOLLRDHUP : EPOLLOUT;
    if (table().park(this, events, due))
        return false;
    waitUntil(socket(), m_waitsFor, due);
    return true;
}

ZRHttpConnection::Step ZRHttpConnection::timeUp()
{
    if (phase() == FirstByte || phase() == Reading)
        qCDebug(lcHttp, "Request timed out");
    end();
    return Ended;
}

// Over HTTPS, the client's first byte tells a TLS client from one that speaks plain HTTP (no TLS
// record starts with a letter, every method does); then the handshake, step by step.
ZRHttpConnection::Step ZRHttpConnection::startTls()
{
    if (!m_tls) {
        char first = 0;
        const ssize_t n = recvRetrying(socket(), &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_waitsFor = POLLIN;
            return WaitForSocket;
        }
        if (n <= 0) {
            end();
            return Ended;
        }
        if (isLetter(first)) {
            m_tlsContext.reset();
            m_plainOnTlsPort = true;
            return Proceed;
        }
        m_tls = new ZRTlsTransport(*m_tlsContext, socket(), &m_pace);
        m_transport.reset(m_tls);
    }
    switch (m_tls->handshake()) {
    case ZRTlsSession::Done:
        m_tlsContext.reset();
        return Proceed;
    case ZRTlsSession::WantsMore:
        m_waitsFor = POLLIN;
        return WaitForSocket;
    case ZRTlsSession::Failed:
        break;
    }
    end();
    return Ended;
}

// The next piece: bytes given back first (a pipelined request), then the socket's. Each is
// handed over as one message, and the thread waits for its next() or stop().
ZRHttpConnection::Step ZRHttpConnection::readMore(ZRWorker &worker)
{
    const bool fresh = m_unread.isEmpty();
    // A body comes in large pieces where nobody hears the raw messages (whose contract is a
    // piece of 1 KiB at most): an upload costs a read for each 64 KiB, not for each KiB.
    char *buffer = worker.buffer;
    qint64 capacity = ZRWorker::MessageCapacity;
    if (fresh && m_bodyStart >= 0 && !messagesHeard()) {
        m_bulk.resize(BulkCapacity + 1);
        buffer = m_bulk.data();
        capacity = BulkCapacity;
    }
    qint64 n = 0;
    if (!fresh) {
        n = qMin<qint64>(m_unread.size(), ZRWorker::MessageCapacity);
        std::memcpy(worker.buffer, m_unread.constData(), size_t(n));
        m_unread.remove(0, int(n));
    } else {
        // The grace spent in the read itself, where the transport can, and the time allows.
        const qint64 due = deadline();
        const bool briefly = m_transport->waitsBriefly() && !table().pool().crowded()
            && (due == NoDeadline || due - monotonicMs() > GraceMs);
        n = m_transport->read(buffer, capacity, briefly);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_waitsFor = POLLIN;
            m_graceSpent = briefly;
            return WaitForSocket;
        }
        qCDebug(lcTcp, "Done recv. Readsize: %d", int(n));
        if (n <= 0) {
            qCDebug(lcTcp, "readsize = 0. Exiting");
            end();
            return Ended;
        }
    }
    switch (handle()->handOver(buffer, int(n), fresh, true)) {
    case ZRSocketThread::Going:
        return Proceed;
    case ZRSocketThread::Stopped:
        break;
    case ZRSocketThread::LetGo:
        return LetGo; // the connection is the answer's now: not to be touched here
    }
    end();
    return Ended;
}

bool ZRHttpConnection::messagesHeard()
{
    ZRServer *server = table().enter();
    const bool heard = !server || server->messagesHeard() || handle()->messagesHeard();
    if (server)
        table().leave();
    return heard;
}

// What the client still sends once the server has ended the connection is read and dropped for
// a while, so that closing with unread data does not reset the connection before the client
// has read the answer.
ZRHttpConnection::Step ZRHttpConnection::drop()
{
    char scratch[4096];
    const qint64 n = m_transport->read(scratch, sizeof scratch);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        m_waitsFor = POLLIN;
        return WaitForSocket;
    }
    m_dropped += qMax<qint64>(0, n);
    if (n > 0 && m_dropped < LingerBytes)
        return Proceed;
    end();
    return Ended;
}

void ZRHttpConnection::end()
{
    qCDebug(lcTcp, "Exiting thread. Shutting down socket...");
    m_transport->close();
    release();
}

// Runs inside the server, once for every piece the connection receives.
void ZRHttpConnection::received(ZRServer &to, const char *bytes, int size)
{
    auto &server = static_cast<ZRHttpServer &>(to);
    if (!server.m_running && phase() != Reading) { // stopped: no request begins any more
        handle()->stop();
        return;
    }
    if (m_plainOnTlsPort) {
        qCDebug(lcHttp, "Plain HTTP on the HTTPS port");
        answerAndClose(plainOnTlsPortReply());
        return;
    }
    if (phase() != Reading)
        beginRequest();
    auto status = m_parser.feed(bytes, size);
    if (m_bodyStart >= 0)
        m_bodyReceived += size;
    if (!m_described && m_parser.hasRequestLine()) {
        m_described = true;
        qCDebug(lcHttp, "Request description: %s", m_parser.request().requestLine.constData());
    }
    if (status != ZRHttpRequestParser::BadRequest && m_parser.headerBlockAccepted()
        && m_bodyStart < 0) {
        m_bodyStart = monotonicMs();
        if (m_headCheck && !judgeHead(server))
            return;
        status = m_parser.resume();
    }
    switch (status) {
    case ZRHttpRequestParser::NeedMore:
        awaitMore();
        break;
    case ZRHttpRequestParser::BadRequest:
        refuse(server, m_parser.error(), m_parser.httpStatus());
        break;
    case ZRHttpRequestParser::Complete:
        handToApplication(server);
        break;
    }
}

// A request's time runs from its first byte; the first request's from the accept.
void ZRHttpConnection::beginRequest()
{
    m_requestStart = phase() == FirstByte ? phaseSince() : monotonicMs();
    setPhase(Reading, false);
}

void ZRHttpConnection::awaitMore()
{
    if (m_parser.expectsContinue() && !m_continueSent) {
        m_continueSent = true;
        m_transport->write(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
    }
    handle()->next();
}

// The reason in a line of text, and a Date, as every other reply has.
void ZRHttpConnection::refuse(ZRHttpServer &server, ZRHttpError code, int status)
{
    qCDebug(lcHttp, "%s", toString(code));
    emit server.error(int(code));
    answerAndClose(
        ZRHttpReply::text(ZRHttpReply::reasonPhrase(status) + '\n', status).serialise(true, "close"));
}

// The router's judgement of the head, before any of the body is read: an answer in the
// request's place, or how to take the body. False when it answered.
bool ZRHttpConnection::judgeHead(ZRHttpServer &server)
{
    ZRHttpBodyPlan plan;
    const std::optional<ZRHttpReply> answer = (*m_headCheck)(requestOf(m_parser.request()), &plan);
    if (answer) {
        answerHead(server, *answer);
        return false;
    }
    if (plan.minimumRate >= 0)
        m_receiveRate = plan.minimumRate;
    const bool toFile = m_parser.isPaused() && plan.fileFrom >= 0
        && (m_parser.framing() == ZRHttpRequestParser::ChunkedFraming
            || m_parser.declaredLength() >= plan.fileFrom);
    if (toFile && !openBodyFile(plan.directory)) {
        refuse(server, ZRHttpError::BodyNotStored, 507);
        return false;
    }
    m_parser.setMaxBodySize(plan.maxSize >= 0 ? plan.maxSize : server.maxBodySize());
    return true;
}

// An answer to a request whose body has not come (or not all of it) ends its connection, which
// drops what the client still sends; one to a whole request is an answer like any other.
void ZRHttpConnection::answerHead(ZRHttpServer &server, const ZRHttpReply &reply)
{
    if (m_parser.status() != ZRHttpRequestParser::Complete) {
        const bool head = m_parser.request().method == RequestHead;
        answerAndClose(reply.serialise(!head && reply.hasContent(), "close"));
        return;
    }
    takeRequest(server);
    sendReply(server, reply);
}

namespace {

// Where bodies go that no folder was named for: one of the process's own, which only its user
// may enter.
QString privateBodyFolder()
{
    static const QTemporaryDir folder(QDir::tempPath() + QLatin1String("/zrnet-bodies-XXXXXX"));
    return folder.isValid() ? folder.path() : QDir::tempPath();
}

} // namespace

bool ZRHttpConnection::openBodyFile(const QString &directory)
{
    auto file = std::make_unique<QTemporaryFile>(
        (directory.isEmpty() ? privateBodyFolder() : directory) + QLatin1String("/body-XXXXXX"));
    if (!file->open()) {
        qCWarning(lcHttp, "Cannot store a request body in %s: %s", qPrintable(file->fileTemplate()),
            qPrintable(file->errorString()));
        return false;
    }
    QTemporaryFile *raw = file.get();
    m_parser.setBodySink([raw](const char *data, int size) { return raw->write(data, size) == size; });
    m_bodyFile = std::move(file);
    return true;
}

void ZRHttpConnection::answerAndClose(const QByteArray &answer)
{
    m_transport->write(answer);
    linger();
    handle()->next();
}

// The one way the server ends a connection it has answered: nothing more is sent (over TLS, a
// close_notify first), and what the client still sends is dropped for a while (see drop()).
void ZRHttpConnection::linger()
{
    m_transport->close();
    ::shutdown(socket(), SHUT_WR);
    m_unread.clear();
    m_dropped = 0;
    setPhase(Closing);
}

void ZRHttpConnection::handToApplication(ZRHttpServer &server)
{
    const ZRHttpRequest request = takeRequest(server);
    emit server.connectionThread(request, handle());
}

// The request as the application gets it; its body as it came, or the file it went to.
ZRHttpRequest ZRHttpConnection::requestOf(const ZRHttpParsedRequest &parsed)
{
    if (m_remotePort == 0) { // once a connection
        m_remotePort = peerPort(socket());
        m_localPort = localPort(socket());
    }
    ZRHttpRequest request;
    request.setArrival(handle()->remoteAddress(), m_remotePort, m_localPort, m_tls != nullptr);
    request.setType(RequestType(parsed.method));
    request.setPath(parsed.path);
    request.setProtocol(parsed.protocol);
    request.addHeaders(parsed.headers);
    request.setBody(parsed.body);
    if (m_bodyFile && m_bodyFile->flush())
        request.m_bodyFile = m_bodyFile->fileName();
    return request;
}

// The whole request taken from the parser, which begins the next; the connection holds it.
ZRHttpRequest ZRHttpConnection::takeRequest(ZRHttpServer &server)
{
    m_bulk.clear();
    const ZRHttpParsedRequest parsed = m_parser.takeRequest();
    // A pipelined request that came with this one is read once this one is answered.
    m_unread.prepend(m_parser.takeRest());
    restart(server);
    ++m_served;
    m_keepOpen
        = m_keepAliveMs > 0 && parsed.keepAlive && m_served < server.maxRequestsPerConnection();
    m_http10 = parsed.version == ZRHttpParsedRequest::Http10;
    m_answeringHead = parsed.method == RequestHead;
    setPhase(Held, false);
    return requestOf(parsed);
}

void ZRHttpConnection::sendBytes(ZRHttpServer &server, const QByteArray &bytes)
{
    m_bodyFile.reset(); // the request is answered
    startReply(server, bytes, -1, 0, false);
}

// To a HEAD request, the head only. A file goes out with sendfile() from a descriptor of its
// own on the plain socket; else it is read and written in pieces by the caller's thread.
void ZRHttpConnection::sendReply(ZRHttpServer &server, const ZRHttpReply &reply)
{
    m_bodyFile.reset(); // the request is answered
    if (reply.m_webSocket) {
        startWebSocket(server, reply);
        return;
    }
    // Over HTTP/1.0 a stream's end is the connection's; a stopped server's, every answer's.
    const bool keepOpen = m_keepOpen && server.m_running && !(reply.isStream() && m_http10)
        && !zrListHas(reply.header(QByteArrayLiteral("Connection")), "close");
    const char *connectionValue = !keepOpen ? "close" : m_http10 ? "keep-alive" : nullptr;
    if (reply.isStream() && !m_answeringHead && reply.hasContent()) {
        startStream(server, reply, connectionValue, keepOpen);
        return;
    }
    if (m_answeringHead || reply.bodyFile().isEmpty()) {
        startReply(
            server, reply.serialise(!m_answeringHead, connectionValue, !m_http10), -1, 0, keepOpen);
        return;
    }
    const QByteArray head = reply.serialise(false, connectionValue);
    const int file = m_transport->plainSocket() >= 0 ? zrOpenBodyFile(reply) : -1;
    if (file >= 0) {
        m_fileOffset = reply.bodyFileOffset();
        startReply(server, head, file, reply.hasContent() ? reply.bodySize() : 0, keepOpen);
        return;
    }
    setPhase(Sending, false);
    m_pace.start(socket(), server.requestTimeout(), server.minimumSendRate(), reply.bodySize());
    m_replyKeepsOpen = keepOpen;
    concludeReply(zrSendFileReply(*m_transport, reply, head), &server) ? handle()->next()
                                                                       : handle()->stop();
}

// Sends what the socket takes now; what it does not is left to the connection's thread.
void ZRHttpConnection::startReply(
    ZRHttpServer &server, const QByteArray &head, int file, qint64 fileLength, bool keepOpen)
{
    setPhase(Sending, false);
    m_pace.start(
        socket(), server.requestTimeout(), server.minimumSendRate(), head.size() + fileLength);
    m_output = head;
    m_outputSent = 0;
    m_file = file;
    m_fileLeft = fileLength;
    m_replyKeepsOpen = keepOpen;
    Push pushed = Failed;
    if (m_transport->plainSocket() >= 0)
        pushed = push();
    else if (m_transport->write(m_output))
        pushed = Done;
    if (pushed == Blocked)
        handle()->next();
    else
        concludeReply(pushed == Done, &server) ? handle()->next() : handle()->stop();
}

// The head goes out, then the producer gets the stream, on this thread; the connection's
// thread, let go, parks the connection.
void ZRHttpConnection::startStream(
    ZRHttpServer &server, const ZRHttpReply &reply, const char *connection, bool keepOpen)
{
    auto link = std::make_shared<ZRHttpStreamLink>();
    link->connection = this;
    link->chunked = !m_http10;
    auto stream = std::make_shared<ZRHttpStream>(link);
    link->stream = stream;
    m_stream = link;
    setPhase(Streaming, false);
    m_pace.start(socket(), server.requestTimeout(), server.minimumSendRate(), 0);
    m_replyKeepsOpen = keepOpen;
    m_output.clear();
    m_outputSent = 0;
    m_watchesOut = false;
    feedStream(*link, reply.serialise(false, connection, link->chunked), false);
    if (*reply.m_streamStarted) // else the stream, let go of, ends at once
        (*reply.m_streamStarted)(std::move(stream));
    handle()->next();
}

// The connection stays linked, so alive, while the lock is held; a parked one is resumed when
// it has to act: the body ended, or failed, or bytes wait and it does not watch for room yet.
bool ZRHttpConnection::feedStream(ZRHttpStreamLink &link, const QByteArray &bytes, bool last)
{
    std::lock_guard<std::mutex> lock(link.mutex);
    ZRHttpConnection *connection = link.connection;
    if (!link.open || !connection)
        return false;
    const bool fed = connection->queueStreamed(bytes);
    link.open = fed && !last;
    link.finished = fed && last;
    const bool waiting = connection->m_outputSent < connection->m_output.size();
    if (!link.open || (waiting && !connection->m_watchesOut))
        connection->table().resume(connection);
    return fed;
}

// Under the stream's lock: the bytes queued behind those waiting, as far as the socket takes
// them now. A client that leaves too much untaken ends its stream.
bool ZRHttpConnection::queueStreamed(const QByteArray &bytes)
{
    if (m_output.size() - m_outputSent + bytes.size() > ZRHttpStream::MaxQueued) {
        qCDebug(lcHttp, "A stream's client takes too little: the stream ends");
        return false;
    }
    if (m_transport->plainSocket() < 0) { // sent by the connection's thread: see serveStream()
        m_output += bytes;
        return true;
    }
    m_output.remove(0, int(m_outputSent));
    m_outputSent = 0;
    m_output += bytes;
    return push() != Failed;
}

// On a thread of the pool: the stream's bytes that wait, its end, or its client gone. Parked
// under the stream's lock, so that a producer's change either comes before it, and is seen
// here, or finds the connection parked, and resumes it.
ZRHttpConnection::Step ZRHttpConnection::serveStream()
{
    std::unique_lock<std::mutex> lock(m_stream->mutex);
    bool failed = !m_stream->open && !m_stream->finished;
    if (!failed && m_outputSent < m_output.size() && m_transport->plainSocket() < 0) {
        // A TLS write waits for the client, so it is made here, never on the producer's thread,
        // and outside the lock, so that the producer's writes queue meanwhile; what they queued
        // goes in the next round.
        const QByteArray out = std::exchange(m_output, QByteArray());
        lock.unlock();
        if (m_transport->write(out))
            return Proceed;
        end();
        return Ended;
    }
    if (!failed && m_outputSent < m_output.size())
        failed = push() == Failed;
    const bool waiting = m_outputSent < m_output.size();
    if (!failed && m_stream->finished && !waiting) {
        m_stream->connection = nullptr;
        lock.unlock();
        m_stream.reset();
        // Ended by a stop, it closes once its end is out: no lingering past its server.
        if (!m_endedByStop && concludeReply(true, nullptr))
            return Proceed;
    } else if (!failed && !clientGone()) {
        m_watchesOut = waiting;
        const unsigned events = EPOLLRDHUP | (waiting ? EPOLLOUT : 0u);
        if (table().park(this, events, waiting ? m_pace.deadline() : NoDeadline))
            return LetGo;
        return endStreamAtStop(lock, waiting);
    }
    if (lock.owns_lock())
        lock.unlock();
    end();
    return Ended;
}

// No loop to park in: the server is stopping. The body gets the end its producer would give it
// (the last chunk; over HTTP/1.0, the close), its producer hears closed(), and the connection
// sends what is left, then closes.
ZRHttpConnection::Step ZRHttpConnection::endStreamAtStop(
    std::unique_lock<std::mutex> &lock, bool waiting)
{
    std::shared_ptr<ZRHttpStream> told;
    if (!m_stream->finished) {
        told = m_stream->stream.lock();
        if (m_stream->chunked)
            m_output += QByteArrayLiteral("0\r\n\r\n");
        m_stream->open = false;
        m_stream->finished = true;
        m_replyKeepsOpen = false;
        m_endedByStop = true;
        waiting = true;
    }
    lock.unlock();
    if (told)
        emit told->closed();
    m_waitsFor = POLLOUT;
    return waiting ? WaitForSocket : Proceed;
}

// The client closed its end, or reset it: nothing it could still read is coming.
bool ZRHttpConnection::clientGone() const
{
    pollfd watched { socket(), POLLRDHUP, 0 };
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void ZRHttpConnection::leaving()
{
    if (m_stream)
        unlinkStream();
    if (m_webSocket)
        std::exchange(m_webSocket, nullptr)->unlink();
}

// The producer learns of an end it did not make, once, outside the lock.
void ZRHttpConnection::unlinkStream()
{
    std::shared_ptr<ZRHttpStream> told;
    {
        std::lock_guard<std::mutex> lock(m_stream->mutex);
        m_stream->connection = nullptr;
        m_stream->open = false;
        if (!m_stream->finished)
            told = m_stream->stream.lock();
    }
    m_stream.reset();
    if (told)
        emit told->closed();
}

// The 101 goes out, then the application gets the WebSocket, on this thread; the connection's
// thread, let go, serves it from now on. A stopping server upgrades nothing.
void ZRHttpConnection::startWebSocket(ZRHttpServer &server, const ZRHttpReply &reply)
{
    if (!server.m_running) {
        sendReply(server, ZRHttpReply::text("The server is stopping\n", 503));
        return;
    }
    setPhase(Streaming, false);
    m_pace.start(socket(), server.requestTimeout(), server.minimumSendRate(), 0);
    if (!m_transport->write(reply.serialise(false, nullptr))) {
        concludeReply(false, &server);
        handle()->stop();
        return;
    }
    m_webSocket = std::make_shared<ZRWebSocketLink>(
        this, m_transport.get(), reply.m_webSocket->options, std::exchange(m_unread, QByteArray()));
    const QString subprotocol
        = QString::fromUtf8(reply.header(QByteArrayLiteral("Sec-WebSocket-Protocol")));
    std::shared_ptr<ZRWebSocket> opened = m_webSocket->open(server.thread(), subprotocol);
    if (reply.m_webSocket->opened)
        reply.m_webSocket->opened(std::move(opened));
    handle()->next();
}

void ZRHttpConnection::serverStopping()
{
    if (m_webSocket)
        m_webSocket->goAway();
}

// Once the WebSocket is over, the connection ends as any the server closes: it lingers.
ZRHttpConnection::Step ZRHttpConnection::serveWebSocket()
{
    switch (m_webSocket->serve(
        [this](unsigned events, qint64 due) { return table().park(this, events, due); })) {
    case ZRWebSocketLink::Again:
        return Proceed;
    case ZRWebSocketLink::Parked:
        return LetGo;
    case ZRWebSocketLink::Over:
        break;
    }
    m_pace.stop();
    std::exchange(m_webSocket, nullptr)->unlink();
    linger();
    return Proceed;
}

// What is left of the reply, as far as the socket takes it without waiting; the head waits
// for the file's first bytes, so that both leave in one segment.
ZRHttpConnection::Push ZRHttpConnection::push()
{
    const int s = socket();
    const bool fileFollows = m_file >= 0 && m_fileLeft > 0;
    if (m_outputSent < m_output.size()) {
        m_outputSent
            += sendAll(s, m_output.constData() + m_outputSent, m_output.size() - m_outputSent,
                MSG_DONTWAIT | (fileFollows ? MSG_MORE : 0), &m_pace, false);
        if (m_outputSent < m_output.size())
            return errno == EAGAIN ? Blocked : Failed;
    }
    if (fileFollows) {
        const qint64 sent = sendFile(s, m_file, m_fileOffset, m_fileLeft, &m_pace, false);
        m_fileOffset += sent;
        m_fileLeft -= sent;
        if (m_fileLeft > 0)
            return errno == EAGAIN ? Blocked : Failed;
    }
    return Done;
}

ZRHttpConnection::Step ZRHttpConnection::pushOnThread()
{
    const Push pushed = push();
    if (pushed == Blocked) {
        m_waitsFor = POLLOUT;
        return WaitForSocket;
    }
    ZRServer *server = table().enter();
    const bool goesOn = concludeReply(pushed == Done, server);
    if (server)
        table().leave();
    if (goesOn)
        return Proceed;
    end();
    return Ended;
}

// Every answer ends here: -901 unless it all went. True when the connection goes on: idle, for
// its next request, or lingering as it closes.
bool ZRHttpConnection::concludeReply(bool sent, ZRServer *server)
{
    m_pace.stop();
    closeFile();
    m_output.clear();
    if (!sent) {
        qCDebug(lcHttp, "%s", toString(ZRHttpError::SendError));
        if (server)
            emit static_cast<ZRHttpServer *>(server)->error(int(ZRHttpError::SendError));
        return false;
    }
    if (m_replyKeepsOpen)
        setPhase(Idle);
    else
        linger();
    return true;
}

void ZRHttpConnection::closeFile()
{
    if (m_file >= 0)
        ::close(m_file);
    m_file = -1;
    m_fileLeft = 0;
}
