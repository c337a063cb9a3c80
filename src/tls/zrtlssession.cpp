#include "zrlogging_p.h"
#include "zrsocket_p.h"
#include "zrtlscontext_p.h"
#include "zrtlssession_p.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

ZRTlsSession::ZRTlsSession(const ZRTlsContext &context, int socket, ZRSendPace *pace)
    : m_socket(socket), m_pace(pace), m_ssl(SSL_new(context.handle()))
{
    BIO *bio = m_ssl ? BIO_new(socketMethod()) : nullptr;
    if (!bio) {
        m_broken = true;
        return;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_accept_state(m_ssl);
}

ZRTlsSession::~ZRTlsSession()
{
    SSL_free(m_ssl);
}

BIO_METHOD *ZRTlsSession::socketMethod()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *made = BIO_meth_new(
            BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "zrnet socket");
        BIO_meth_set_read(made, bioRead);
        BIO_meth_set_write(made, bioWrite);
        BIO_meth_set_ctrl(made, bioControl);
        return made;
    }();
    return method;
}

// The first receive of a read blocks under the socket's receive timeout, which is the read's
// own, as a plain connection's receive does. Any further receive that the same record needs
// waits in poll() for what is left of the read's time, so a record trickled in byte by byte
// cannot stretch it. The handshake waits in poll() throughout, for its own deadline.
int ZRTlsSession::bioRead(BIO *bio, char *buffer, int size)
{
    auto *session = static_cast<ZRTlsSession *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const bool first = std::exchange(session->m_blockingReceive, false);
    for (;;) {
        const ssize_t n = ZRSocketPrivate::recvRetrying(
            session->m_socket, buffer, size_t(size), first ? 0 : MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return int(n);
        const QDeadlineTimer &deadline = session->m_readDeadline;
        const int left = deadline.isForever() ? -1 : int(deadline.remainingTime());
        if (first || left == 0 || ZRSocketPrivate::waitFor(session->m_socket, POLLIN, left) <= 0) {
            errno = EAGAIN;
            return -1;
        }
    }
}

int ZRTlsSession::bioWrite(BIO *bio, const char *data, int size)
{
    auto *session = static_cast<ZRTlsSession *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    return ZRSocketPrivate::sendAll(session->m_socket, data, size, 0, session->m_pace) == size
        ? size
        : -1;
}

long ZRTlsSession::bioControl(BIO *, int command, long, void *)
{
    // Writes go straight to the socket: there is never anything to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

bool ZRTlsSession::handshake(QDeadlineTimer deadline)
{
    if (m_broken)
        return false;
    m_readDeadline = deadline;
    const int result = SSL_do_handshake(m_ssl);
    return result == 1 || failed(result, "TLS handshake failed");
}

ssize_t ZRTlsSession::read(char *buffer, size_t size)
{
    if (m_broken)
        return -1;
    m_readDeadline = m_receiveTimeoutMs > 0 ? QDeadlineTimer(m_receiveTimeoutMs)
                                            : QDeadlineTimer(QDeadlineTimer::Forever);
    m_blockingReceive = true;
    const int wanted = int(qMin<size_t>(size, std::numeric_limits<int>::max()));
    const int n = SSL_read(m_ssl, buffer, wanted);
    if (n > 0)
        return n;
    if (SSL_get_error(m_ssl, n) == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return 0;
    }
    const int error = errno;
    failed(n, "TLS read failed");
    errno = error;
    return -1;
}

bool ZRTlsSession::write(const char *data, qint64 size)
{
    constexpr qint64 Chunk = 1 << 30;
    for (qint64 at = 0; at < size && !m_broken; at += Chunk) {
        const int part = int(qMin(Chunk, size - at));
        const int n = SSL_write(m_ssl, data + at, part);
        if (n != part)
            return failed(n, "TLS write failed");
    }
    return !m_broken;
}

void ZRTlsSession::setReceiveTimeout(qint64 milliseconds)
{
    m_receiveTimeoutMs = qMax<qint64>(0, milliseconds);
}

void ZRTlsSession::close()
{
    // Once only: a second call would wait for the peer's close_notify.
    if (!m_broken && SSL_is_init_finished(m_ssl) && !(SSL_get_shutdown(m_ssl) & SSL_SENT_SHUTDOWN))
        SSL_shutdown(m_ssl);
    ERR_clear_error();
}

// Always false. A failed call leaves the session unusable, and OpenSSL's errors are taken off
// this thread's queue, where they would confuse the next connection's calls.
bool ZRTlsSession::failed(int result, const char *what)
{
    const int kind = SSL_get_error(m_ssl, result);
    const int savedErrno = errno;
    const QString cause = ZRTlsPrivate::takeOpenSslError();
    qCDebug(lcTcp, "%s (%d): %s", what, kind,
        cause.isEmpty() ? qUtf8Printable(QString::fromLocal8Bit(strerror(savedErrno)))
                        : qUtf8Printable(cause));
    m_broken = true;
    return false;
}
