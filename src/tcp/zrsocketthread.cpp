#include "zrsocketthread.h"
#include "zrlogging_p.h"
#include "zrsendpace_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrthreaddispatcher_p.h"
#include "zrtlscontext_p.h"
#include "zrtransport_p.h"

#include <cstring>

ZRSocketThread::ZRSocketThread(int socket, QString address)
    : ZRSocketThread(socket, address, nullptr)
{
    // Deleting from finished() (never from inside run()) guarantees the
    // creating thread cannot destroy a QThread that is still running.
    connect(this, &QThread::finished, this, &QObject::deleteLater, Qt::DirectConnection);
}

ZRSocketThread::ZRSocketThread(
    int socket, QString address, std::shared_ptr<ZRServerConnections> connections)
    : m_socket(socket), m_address(address), m_sendPace(new ZRSendPace),
      m_transport(new ZRPlainTransport(socket, m_sendPace.get())), m_acceptedAt(monotonicMs()),
      m_phaseSince(m_acceptedAt), m_connections(std::move(connections))
{
    // char* is no built-in meta-type; without this a queued receiver of
    // connectionThread could not be called.
    static const int charPointerType = qRegisterMetaType<char *>("char*");
    Q_UNUSED(charPointerType);
    m_buffer[0] = '\0';
    setEventDispatcher(new ZRThreadDispatcher);
}

ZRSocketThread::~ZRSocketThread() = default;

int ZRSocketThread::clientSocket() const
{
    return m_socket;
}

QString ZRSocketThread::remoteAddress() const
{
    return m_address;
}

int ZRSocketThread::messageSize() const
{
    return m_messageSize;
}

void ZRSocketThread::next()
{
    m_pacing.release();
}

void ZRSocketThread::stop()
{
    m_running = false;
    m_pacing.release();
}

bool ZRSocketThread::enterPhase(Phase phase)
{
    int current = m_phase.load();
    do {
        if (current == Evicted)
            return false;
        if (current == phase)
            return true;
        m_phaseSince = monotonicMs();
    } while (!m_phase.compare_exchange_weak(current, phase));
    return true;
}

bool ZRSocketThread::evict(int phase)
{
    if (!m_phase.compare_exchange_strong(phase, Evicted))
        return false;
    ::shutdown(m_socket, SHUT_RDWR);
    return true;
}

qint64 ZRSocketThread::read(char *buffer, qint64 size)
{
    return m_transport->read(buffer, size);
}

bool ZRSocketThread::write(const QByteArray &bytes)
{
    return m_transport->write(bytes);
}

void ZRSocketThread::setReadTimeout(qint64 milliseconds)
{
    if (milliseconds != m_readTimeoutMs
        && ZRSocketPrivate::setReceiveTimeout(m_socket, milliseconds)) {
        m_readTimeoutMs = milliseconds;
        m_transport->readTimeoutChanged(milliseconds);
    }
}

void ZRSocketThread::setWriteTimeout(qint64 milliseconds)
{
    if (milliseconds != m_writeTimeoutMs && ZRSocketPrivate::setSendTimeout(m_socket, milliseconds))
        m_writeTimeoutMs = milliseconds;
}

void ZRSocketThread::unread(const QByteArray &bytes)
{
    m_unread.prepend(bytes);
}

// On the connection's thread rather than at the accept, so that a slow handshake holds this
// connection only. It counts toward the first request's time, which runs from the accept.
bool ZRSocketThread::startTls()
{
    if (startsPlainRequest()) {
        m_tlsContext.reset();
        m_plainOnTlsPort = true;
        return true;
    }
    auto tls = std::make_unique<ZRTlsTransport>(*m_tlsContext, m_socket, m_sendPace.get());
    m_tlsContext.reset();
    tls->readTimeoutChanged(m_readTimeoutMs);
    const bool done = tls->handshake(m_handshakeDeadline);
    m_transport = std::move(tls);
    return done;
}

// The client's first byte, waited for within the handshake's time, is a letter: no TLS record
// starts with one, and a method does.
bool ZRSocketThread::startsPlainRequest() const
{
    const int wait = m_handshakeDeadline.isForever()
        ? -1
        : int(qMax<qint64>(0, m_handshakeDeadline.remainingTime()));
    char first = 0;
    return ZRSocketPrivate::waitFor(m_socket, POLLIN, wait) > 0
        && ZRSocketPrivate::recvRetrying(m_socket, &first, 1, MSG_PEEK) == 1
        && ((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'));
}

void ZRSocketThread::run()
{
    if (m_tlsContext && m_running && !startTls())
        m_running = false;
    while (m_running) {
        // Bytes given back are the server's alone: the signal has carried them already.
        const bool again = !m_unread.isEmpty();
        qint64 n = 0;
        if (again) {
            n = qMin<qint64>(m_unread.size(), MessageCapacity);
            std::memcpy(m_buffer, m_unread.constData(), size_t(n));
            m_unread.remove(0, int(n));
        } else {
            if (m_data) {
                const qint64 timeout = m_data->readTimeoutMs();
                if (timeout >= 0)
                    setReadTimeout(timeout);
            }
            qCDebug(lcTcp, "Doing recv...");
            n = read(m_buffer, MessageCapacity);
            qCDebug(lcTcp, "Done recv. Readsize: %d", int(n));
            if (n <= 0) {
                qCDebug(lcTcp, "readsize = 0. Exiting");
                m_running = false;
                break;
            }
        }
        m_buffer[n] = '\0';
        m_messageSize = int(n);
        // A server's connection hands the message to the server first, as if its signal were
        // connected to the server's before any other.
        if (m_connections)
            m_connections->relay(m_buffer, this);
        if (!again)
            emit connectionThread(m_buffer, this);
        m_pacing.acquire();
    }
    qCDebug(lcTcp, "Exiting thread. Shutting down socket...");
    if (m_connections)
        m_connections->ending(this); // before the close: the descriptor is still ours
    m_transport->close();
    ZRSocket::closeSocket(m_socket);
}
