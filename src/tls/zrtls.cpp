#include "zrtls.h"
#include "zrtlscontext_p.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

using namespace ZRTlsPrivate;

namespace {

using NamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES, GENERAL_NAMES_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

QByteArray pemOf(int (*write)(BIO *, void *), void *object)
{
    const BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || write(out.get(), object) != 1)
        return QByteArray();
    char *data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return QByteArray(data, int(size));
}

int writeCertificate(BIO *out, void *certificate)
{
    return PEM_write_bio_X509(out, static_cast<X509 *>(certificate));
}

int writeKey(BIO *out, void *key)
{
    return PEM_write_bio_PrivateKey(
        out, static_cast<EVP_PKEY *>(key), nullptr, nullptr, 0, nullptr, nullptr);
}

// An address as written (IPv4 or IPv6), else a DNS name.
GENERAL_NAME *altName(const QString &name)
{
    const QByteArray text = name.toUtf8();
    GENERAL_NAME *entry = nullptr;
    if (ASN1_OCTET_STRING *ip = a2i_IPADDRESS(text.constData())) {
        entry = GENERAL_NAME_new();
        if (entry)
            GENERAL_NAME_set0_value(entry, GEN_IPADD, ip);
        else
            ASN1_OCTET_STRING_free(ip);
        return entry;
    }
    ASN1_IA5STRING *dns = ASN1_IA5STRING_new();
    if (!dns || !ASN1_STRING_set(dns, text.constData(), text.size())
        || !(entry = GENERAL_NAME_new())) {
        ASN1_IA5STRING_free(dns);
        return nullptr;
    }
    GENERAL_NAME_set0_value(entry, GEN_DNS, dns);
    return entry;
}

bool addAltNames(X509 *certificate, const QStringList &names)
{
    if (names.isEmpty())
        return true;
    NamesPtr all(GENERAL_NAMES_new());
    if (!all)
        return false;
    for (const QString &name : names) {
        GENERAL_NAME *entry = altName(name);
        if (!entry || !sk_GENERAL_NAME_push(all.get(), entry)) {
            GENERAL_NAME_free(entry);
            return false;
        }
    }
    return X509_add1_ext_i2d(certificate, NID_subject_alt_name, all.get(), 0, 0) == 1;
}

// The extensions a browser looks for in a server's certificate.
bool addExtensions(X509 *certificate, const QStringList &altNames)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, certificate, certificate, nullptr, nullptr, 0);
    const char *const extensions[][2] = {
        { "basicConstraints", "critical,CA:FALSE" },
        { "extendedKeyUsage", "serverAuth" },
        { "subjectKeyIdentifier", "hash" },
    };
    for (const auto &extension : extensions) {
        ExtensionPtr made(X509V3_EXT_conf(nullptr, &ctx, extension[0], extension[1]));
        if (!made || X509_add_ext(certificate, made.get(), -1) != 1)
            return false;
    }
    return addAltNames(certificate, altNames);
}

bool setSerialNumber(X509 *certificate)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7f; // a positive number
    BIGNUM *number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool done = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    return done;
}

bool fill(X509 *certificate, EVP_PKEY *key, const QString &commonName, const QStringList &altNames,
    int days)
{
    X509_NAME *name = X509_get_subject_name(certificate);
    const QByteArray cn = commonName.toUtf8();
    return X509_set_version(certificate, X509_VERSION_3) && setSerialNumber(certificate)
        && X509_gmtime_adj(X509_getm_notBefore(certificate), 0)
        && X509_time_adj_ex(X509_getm_notAfter(certificate), days, 0, nullptr)
        && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char *>(cn.constData()), cn.size(), -1, 0)
        && X509_set_issuer_name(certificate, name) && X509_set_pubkey(certificate, key)
        && addExtensions(certificate, altNames) && X509_sign(certificate, key, EVP_sha256()) > 0;
}

} // namespace

bool ZRTls::generateSelfSigned(const QString &commonName, const QStringList &subjectAltNames,
    int days, QByteArray *certificatePem, QByteArray *privateKeyPem, QString *error)
{
    QString ignored;
    QString &reason = error ? *error : ignored;
    if (days <= 0 || commonName.isEmpty()) {
        reason = QStringLiteral("A certificate needs a name and at least one day");
        return false;
    }
    ERR_clear_error();
    const KeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr certificate(X509_new());
    if (!key || !certificate) {
        reason = QStringLiteral("Cannot make a key: ") + takeOpenSslError();
        return false;
    }
    if (!fill(certificate.get(), key.get(), commonName, subjectAltNames, days)) {
        reason = QStringLiteral("Cannot make the certificate: ") + takeOpenSslError();
        return false;
    }
    const QByteArray certificateText = pemOf(writeCertificate, certificate.get());
    const QByteArray keyText = pemOf(writeKey, key.get());
    if (certificateText.isEmpty() || keyText.isEmpty()) {
        reason = QStringLiteral("Cannot write the certificate: ") + takeOpenSslError();
        return false;
    }
    if (certificatePem)
        *certificatePem = certificateText;
    if (privateKeyPem)
        *privateKeyPem = keyText;
    return true;
}

QByteArray ZRTls::fingerprintSha256(const QByteArray &certificatePem)
{
    const std::vector<X509Ptr> chain = readCertificates(certificatePem);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (chain.empty() || X509_digest(chain.front().get(), EVP_sha256(), digest, &size) != 1) {
        ERR_clear_error();
        return QByteArray();
    }
    return QByteArray(reinterpret_cast<const char *>(digest), int(size)).toHex(':').toUpper();
}
