#include "zrtlscontext_p.h"

#include <openssl/err.h>
#include <openssl/pem.h>

namespace ZRTlsPrivate {

namespace {

BioPtr memoryBio(const QByteArray &bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.constData(), bytes.size()));
}

} // namespace

std::vector<X509Ptr> readCertificates(const QByteArray &pem)
{
    std::vector<X509Ptr> chain;
    const BioPtr in = memoryBio(pem);
    while (in) {
        X509Ptr certificate(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
        if (!certificate)
            break;
        chain.push_back(std::move(certificate));
    }
    // Running off the end of the PEM queues an error that is no failure.
    if (!chain.empty())
        ERR_clear_error();
    return chain;
}

KeyPtr readPrivateKey(const QByteArray &pem)
{
    const BioPtr in = memoryBio(pem);
    // An empty passphrase callback: an encrypted key fails here instead of prompting.
    return KeyPtr(in ? PEM_read_bio_PrivateKey(
                      in.get(), nullptr, [](char *, int, int, void *) { return 0; }, nullptr)
                     : nullptr);
}

QString takeOpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QString();
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace ZRTlsPrivate

using namespace ZRTlsPrivate;

namespace {

QString withCause(const char *what)
{
    const QString cause = takeOpenSslError();
    return cause.isEmpty() ? QString::fromLatin1(what)
                           : QString::fromLatin1(what) + QStringLiteral(": ") + cause;
}

// The settings every connection gets, whatever the certificate.
bool configure(SSL_CTX *ctx)
{
    SSL_CTX_set_options(
        ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // An idle connection keeps no read or write buffer (some 34 KB). The chain is sent as
    // given: building it from the trust store would verify a signature on every handshake.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_NO_AUTO_CHAIN);
    // Clients resume with tickets, which the server need not store: a store would take a lock
    // on every handshake and walk all its sessions every 255th.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1;
}

bool useCertificate(SSL_CTX *ctx, const QByteArray &chainPem, QString *error)
{
    std::vector<X509Ptr> chain = readCertificates(chainPem);
    if (chain.empty()) {
        *error = withCause("The certificate does not parse");
        return false;
    }
    if (SSL_CTX_use_certificate(ctx, chain.front().get()) != 1) {
        *error = withCause("The certificate cannot be used");
        return false;
    }
    for (size_t i = 1; i < chain.size(); ++i) {
        if (SSL_CTX_add1_chain_cert(ctx, chain[i].get()) != 1) {
            *error = withCause("A certificate of the chain cannot be used");
            return false;
        }
    }
    return true;
}

bool useKey(SSL_CTX *ctx, const QByteArray &keyPem, QString *error)
{
    const KeyPtr key = readPrivateKey(keyPem);
    if (!key) {
        *error = withCause("The private key does not parse");
        return false;
    }
    if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        *error = withCause("The private key does not match the certificate");
        return false;
    }
    return true;
}

} // namespace

std::shared_ptr<ZRTlsContext> ZRTlsContext::create(
    const QByteArray &certificateChainPem, const QByteArray &privateKeyPem, QString *error)
{
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        *error = withCause("Cannot make a TLS context");
        return nullptr;
    }
    std::shared_ptr<ZRTlsContext> context(new ZRTlsContext(ctx));
    if (!configure(ctx)) {
        *error = withCause("Cannot restrict TLS to version 1.2 and later");
        return nullptr;
    }
    if (!useCertificate(ctx, certificateChainPem, error) || !useKey(ctx, privateKeyPem, error))
        return nullptr;
    return context;
}

ZRTlsContext::~ZRTlsContext()
{
    SSL_CTX_free(m_ctx);
}
