#ifndef PORTALTLS_H
#define PORTALTLS_H

#include <QByteArray>
#include <QString>

class ZRHttpServer;

// HTTPS for the portal, so that a passphrase typed into its form never crosses the network in
// the clear. The certificate and key live in stateDir (portal.crt, portal.key); on first start
// a self-signed pair is made for this host's name and the addresses the portal listens on, and
// made again on a start where it has expired, expires within 30 days, or no longer names all of
// them (a certificate from elsewhere is kept, with a warning). A key its group or others may
// read is refused. False, with the reason printed, when they can be neither read nor made;
// else the server speaks TLS and *fingerprint is the certificate's SHA-256, for a person to
// compare with what the browser shows.
bool setUpPortalTls(ZRHttpServer &server, const QString &stateDir, const QString &listenAddress,
    QByteArray *fingerprint);

#endif // PORTALTLS_H
