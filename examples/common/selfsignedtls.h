#ifndef ZRNET_EXAMPLES_SELFSIGNEDTLS_H
#define ZRNET_EXAMPLES_SELFSIGNEDTLS_H

#include <QByteArray>
#include <QString>

class ZRHttpServer;

// HTTPS with a certificate of the program's own, for a device that has no name a public
// authority would certify. The certificate and key live in stateDir (NAME.crt, NAME.key); on
// first start a self-signed pair is made for this host's name and the address the server
// listens on, and made again on a start where it has expired, expires within 30 days, or no
// longer names all of them (a certificate from elsewhere is kept, with a warning). A key its
// group or others may read is refused.
struct SelfSignedTls
{
    QString program; // names the messages: "device-portal"
    QString stateDir;
    QString name; // of the files: "portal"
    QString listenAddress; // for a wildcard, every address of the device is named
};

// False, with the reason printed, when the pair can be neither read nor made; else the server
// speaks TLS and *fingerprint is the certificate's SHA-256, for a person to compare with what
// the browser shows.
bool setUpSelfSignedTls(ZRHttpServer &server, const SelfSignedTls &tls, QByteArray *fingerprint);

#endif // ZRNET_EXAMPLES_SELFSIGNEDTLS_H
