#include "portaltls.h"

#include <zrhttpserver.h>
#include <zrtls.h>

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSysInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int ValidityDays = 825; // the longest that browsers accept

// The names a browser may reach the portal by: the host's name and each address it listens on
// (for a wildcard, every address of the device: IPv4 only for 0.0.0.0, all of them for ::).
QStringList namesFor(const QString &listenAddress)
{
    const QString host = QSysInfo::machineHostName();
    QStringList names { host.isEmpty() ? QStringLiteral("device-portal") : host };
    const QHostAddress listening(listenAddress);
    const bool anyIPv4 = listening == QHostAddress::AnyIPv4;
    if (!anyIPv4 && listening != QHostAddress::AnyIPv6) {
        names << listening.toString();
        return names;
    }
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        // A link-local address needs its interface's name, which no certificate can carry.
        if (address.scopeId().isEmpty()
            && (!anyIPv4 || address.protocol() == QAbstractSocket::IPv4Protocol))
            names << address.toString();
    }
    return names;
}

// Written whole or not at all, with its mode from the first byte on.
bool writeAtomically(const QString &path, const QByteArray &bytes, mode_t mode)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool written
        = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size() && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (written && closed && ::rename(temporary.constData(), target.constData()) == 0)
        return true;
    ::unlink(temporary.constData());
    return false;
}

bool makePair(
    const QString &stateDir, const QString &listenAddress, QByteArray *certificate, QByteArray *key)
{
    QString error;
    const QStringList names = namesFor(listenAddress);
    if (!ZRTls::generateSelfSigned(names.first(), names, ValidityDays, certificate, key, &error)) {
        std::fprintf(stderr, "device-portal: cannot make a certificate: %s\n", qPrintable(error));
        return false;
    }
    // The key first: a certificate without its key would be taken for a pair next time.
    if (!QDir().mkpath(stateDir)
        || !writeAtomically(stateDir + QStringLiteral("/portal.key"), *key, 0600)
        || !writeAtomically(stateDir + QStringLiteral("/portal.crt"), *certificate, 0644)) {
        std::fprintf(stderr, "device-portal: cannot store the certificate in %s: %s\n",
            qPrintable(stateDir), std::strerror(errno));
        return false;
    }
    std::printf("device portal: made a self-signed certificate for %s in %s\n",
        qPrintable(names.join(QStringLiteral(", "))), qPrintable(stateDir));
    return true;
}

} // namespace

bool setUpPortalTls(ZRHttpServer &server, const QString &stateDir, const QString &listenAddress,
    QByteArray *fingerprint)
{
    QFile certificateFile(stateDir + QStringLiteral("/portal.crt"));
    QFile keyFile(stateDir + QStringLiteral("/portal.key"));
    QByteArray certificate;
    QByteArray key;
    if (certificateFile.exists() && keyFile.exists()) {
        if (certificateFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly)) {
            certificate = certificateFile.readAll();
            key = keyFile.readAll();
        }
    } else if (!makePair(stateDir, listenAddress, &certificate, &key)) {
        return false;
    }
    if (!server.setTlsCertificate(certificate, key)) {
        std::fprintf(stderr, "device-portal: cannot use the certificate in %s: %s\n",
            qPrintable(stateDir), qPrintable(server.errorText()));
        return false;
    }
    *fingerprint = ZRTls::fingerprintSha256(certificate);
    return true;
}
