#ifndef ZRNET_FUZZ_CLIENTEND_H
#define ZRNET_FUZZ_CLIENTEND_H

// The client's end of a fuzzed connection: the socket's bytes as they are, or, with
// ZRNET_FUZZ_OVER_TLS=1 in the environment, a TLS client over them, so that the same inputs
// reach the server through its TLS session. Each piece is then one TLS record.

#include "../common/fuzzcheck.h"

#include <QByteArray>

#include <openssl/ssl.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/socket.h>

class ClientEnd
{
public:
    static bool overTls()
    {
        static const bool on = std::getenv("ZRNET_FUZZ_OVER_TLS") != nullptr;
        return on;
    }

    // Trusts only the server's certificate, as a real client would.
    static void trust(const QByteArray &certificatePem)
    {
        // OpenSSL's socket writes raise SIGPIPE once the server has closed: the server's own
        // writes never do, and tst_tls checks that with the signal's default action.
        std::signal(SIGPIPE, SIG_IGN);
        context() = SSL_CTX_new(TLS_client_method());
        BIO *in = BIO_new_mem_buf(certificatePem.constData(), certificatePem.size());
        X509 *certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
        check(certificate && X509_STORE_add_cert(SSL_CTX_get_cert_store(context()), certificate),
            "cannot trust the certificate");
        X509_free(certificate);
        BIO_free(in);
        SSL_CTX_set_verify(context(), SSL_VERIFY_PEER, nullptr);
    }

    explicit ClientEnd(int socket) : m_socket(socket) { }
    ~ClientEnd() { SSL_free(m_ssl); }

    // The handshake, over TLS; false when the server has dropped the connection.
    bool start()
    {
        if (!overTls())
            return true;
        m_ssl = SSL_new(context());
        SSL_set_fd(m_ssl, m_socket);
        return SSL_connect(m_ssl) == 1;
    }
    ssize_t send(const char *data, size_t size)
    {
        if (!m_ssl)
            return retried([&] { return ::send(m_socket, data, size, MSG_NOSIGNAL); });
        return SSL_write(m_ssl, data, int(size));
    }
    ssize_t receive(char *buffer, size_t size)
    {
        if (!m_ssl)
            return retried([&] { return ::recv(m_socket, buffer, size, 0); });
        return SSL_read(m_ssl, buffer, int(size));
    }
    // Bytes already decrypted: no need to wait on the socket for them.
    bool hasPending() const { return m_ssl && SSL_pending(m_ssl) > 0; }
    void shutdownWrite()
    {
        if (m_ssl)
            SSL_shutdown(m_ssl);
        ::shutdown(m_socket, SHUT_WR);
    }

private:
    static SSL_CTX *&context()
    {
        static SSL_CTX *made = nullptr;
        return made;
    }
    // libFuzzer's timer signal interrupts system calls now and then: they are made again.
    template <typename Call>
    static ssize_t retried(Call call)
    {
        ssize_t result = call();
        while (result < 0 && errno == EINTR)
            result = call();
        return result;
    }

    const int m_socket;
    SSL *m_ssl = nullptr;
};

#endif // ZRNET_FUZZ_CLIENTEND_H
