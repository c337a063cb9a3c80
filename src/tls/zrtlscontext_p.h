#ifndef ZRTLSCONTEXT_P_H
#define ZRTLSCONTEXT_P_H

#include <QByteArray>
#include <QString>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

// Owners for the OpenSSL objects the library makes, so that every path frees them.
namespace ZRTlsPrivate {

template <typename T, void (*Free)(T *)>
struct Deleter
{
    void operator()(T *p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

// Every certificate of a PEM chain, in order; empty when the first does not parse.
std::vector<X509Ptr> readCertificates(const QByteArray &pem);
KeyPtr readPrivateKey(const QByteArray &pem);
// The text of OpenSSL's oldest queued error on this thread (the cause), and clears the queue.
QString takeOpenSslError();

} // namespace ZRTlsPrivate

// A server's certificate, key and TLS settings: TLS 1.2 and 1.3 only, no compression, no
// renegotiation. Immutable once made, so connections on any thread share it; a new certificate
// is a new context, and a connection keeps the one it was accepted with.
class ZRTlsContext
{
public:
    // Null, with the reason in *error, when the PEM does not parse or the key does not match
    // the certificate.
    static std::shared_ptr<ZRTlsContext> create(
        const QByteArray &certificateChainPem, const QByteArray &privateKeyPem, QString *error);
    ~ZRTlsContext();

    SSL_CTX *handle() const { return m_ctx; }

private:
    explicit ZRTlsContext(SSL_CTX *ctx) : m_ctx(ctx) { }
    SSL_CTX *const m_ctx;
};

#endif // ZRTLSCONTEXT_P_H
