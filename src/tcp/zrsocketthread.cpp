#include "zrsocketthread.h"
#include "zrlogging_p.h"
#include "zrserver_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrthreaddispatcher_p.h"
#include "zrtlscontext_p.h"
#include "zrtlssession_p.h"

ZRSocketThread::ZRSocketThread(int socket, QString address)
    : ZRSocketThread(socket, address, nullptr)
{
    // Deleting from finished() (never from inside run()) guarantees the
    // creating thread cannot destroy a QThread that is still running.
    connect(this, &QThread::finished, this, &QObject::deleteLater, Qt::DirectConnection);
}

ZRSocketThread::ZRSocketThread(int socket, QString address,
    std::shared_ptr<ZRServerConnections> connections, std::shared_ptr<const ZRTlsContext> tls,
    QDeadlineTimer handshakeDeadline)
    : m_socket(socket), m_address(address), m_connections(std::move(connections)),
      m_tlsContext(std::move(tls)), m_isTls(m_tlsContext != nullptr),
      m_handshakeDeadline(handshakeDeadline)
{
    // char* is no built-in meta-type; without this a queued receiver of
    // connectionThread could not be called.
    static const int charPointerType = qRegisterMetaType<char *>("char*");
    Q_UNUSED(charPointerType);
    m_buffer[0] = '\0';
    m_sinceAccept.start();
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

ssize_t ZRSocketThread::receive(char *buffer, size_t size)
{
    return m_tls ? m_tls->read(buffer, size)
                 : ZRSocketPrivate::recvRetrying(m_socket, buffer, size, 0);
}

bool ZRSocketThread::send(const QByteArray &bytes)
{
    if (!m_isTls)
        return ZRSocket::sendByteArray(m_socket, bytes);
    return m_tls && m_tls->write(bytes.constData(), bytes.size());
}

void ZRSocketThread::setReceiveTimeout(qint64 milliseconds)
{
    ZRSocketPrivate::setReceiveTimeout(m_socket, milliseconds);
    m_tlsReceiveTimeoutMs = milliseconds;
    if (m_tls)
        m_tls->setReceiveTimeout(milliseconds);
}

// Made here rather than at the accept, so that a slow handshake holds this connection only.
bool ZRSocketThread::startTls()
{
    m_tls = std::make_unique<ZRTlsSession>(*m_tlsContext, m_socket);
    m_tlsContext.reset();
    m_tls->setReceiveTimeout(m_tlsReceiveTimeoutMs);
    return m_tls->handshake(m_handshakeDeadline);
}

void ZRSocketThread::run()
{
    if (m_isTls && m_running && !startTls())
        m_running = false;
    while (m_running) {
        qCDebug(lcTcp, "Doing recv...");
        const ssize_t n = receive(m_buffer, MessageCapacity);
        qCDebug(lcTcp, "Done recv. Readsize: %d", int(n));
        if (n <= 0) {
            qCDebug(lcTcp, "readsize = 0. Exiting");
            m_running = false;
            break;
        }
        m_buffer[n] = '\0';
        m_messageSize = int(n);
        // A server's connection hands the message to the server first, as if its signal were
        // connected to the server's before any other.
        if (m_connections)
            m_connections->relay(m_buffer, this);
        emit connectionThread(m_buffer, this);
        m_pacing.acquire();
    }
    qCDebug(lcTcp, "Exiting thread. Shutting down socket...");
    if (m_connections)
        m_connections->ending(this); // before the close: the descriptor is still ours
    if (m_tls)
        m_tls->close();
    ZRSocket::closeSocket(m_socket);
}
