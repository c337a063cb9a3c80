#ifndef ZRTLS_H
#define ZRTLS_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Certificates for a device that has no name in any public register: it makes its own and shows
// the fingerprint, which a person compares with what the browser shows before trusting it.
class ZRNET_EXPORT ZRTls
{
public:
    // A new ECDSA P-256 key and a self-signed certificate for commonName, valid from now for
    // `days` days, naming each of subjectAltNames as an IPv4/IPv6 address where it reads as one
    // and as a DNS name otherwise. Both come out as PEM; the key unencrypted (PKCS #8), so
    // store it where only its owner reads it. False, with the reason in *error, on failure.
    static bool generateSelfSigned(const QString &commonName, const QStringList &subjectAltNames,
        int days, QByteArray *certificatePem, QByteArray *privateKeyPem, QString *error = nullptr);

    // SHA-256 over the DER form of the first certificate in the PEM, as browsers show it:
    // upper-case hex bytes separated by colons. Empty when no certificate parses.
    static QByteArray fingerprintSha256(const QByteArray &certificatePem);

private:
    ZRTls() = delete;
};

#endif // ZRTLS_H
