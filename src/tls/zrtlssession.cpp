#include "zrlogging_p.h"
#include "zrsocket_p.h"
#include "zrtlscontext_p.h"
#include "zrtlssession_p.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <limits>

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

// Never waits: when the socket has nothing, OpenSSL is told to try again, and its call says so.
int ZRTlsSession::bioRead(BIO *bio, char *buffer, int size)
{
    auto *session = static_cast<ZRTlsSession *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n
        = ZRSocketPrivate::recvRetrying(session->m_socket, buffer, size_t(size), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(bio);
    return int(n);
}

int ZRTlsSession::bioWrite(BIO *bio, const char *data, int size)
{
    auto *session = static_cast<ZRTlsSession *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    return ZRSocketPrivate::sendAll(
               session->m_socket, data, size, MSG_DONTWAIT, session->m_pace, !session->m_closing)
            == size
        ? size
        : -1;
}

long ZRTlsSession::bioControl(BIO *, int command, long, void *)
{
    // Writes go straight to the socket: there is never anything to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

ZRTlsSession::Progress ZRTlsSession::handshake()
{
    if (m_broken)
        return Failed;
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1)
        return Done;
    if (SSL_get_error(m_ssl, result) == SSL_ERROR_WANT_READ)
        return WantsMore;
    failed(result, "TLS handshake failed");
    return Failed;
}

ssize_t ZRTlsSession::read(char *buffer, size_t size)
{
    if (m_broken) {
        errno = ECONNRESET;
        return -1;
    }
    const int wanted = int(qMin<size_t>(size, std::numeric_limits<int>::max()));
    const int n = SSL_read(m_ssl, buffer, wanted);
    if (n > 0)
        return n;
    switch (SSL_get_error(m_ssl, n)) {
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        return 0;
    case SSL_ERROR_WANT_READ:
        errno = EAGAIN;
        return -1;
    default:
        break;
    }
    // A peer gone without close_notify leaves errno as it was, often "try again" from an
    // earlier read: the caller would wait on a socket that stays readable at its end.
    const int error = errno;
    failed(n, "TLS read failed");
    errno = error == 0 || error == EAGAIN || error == EWOULDBLOCK ? ECONNRESET : error;
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

void ZRTlsSession::close()
{
    // Once only: a second call would wait for the peer's close_notify.
    // The close_notify goes only if the socket takes it at once: a peer that stopped reading
    // must not hold the thread (the accept loop's, when it ends a connection) for the stall
    // limit.
    m_closing = true;
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
