#include "selfsignedtls.h"

#include <zrhttpserver.h>
#include <zrtls.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSysInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ValidityDays = 825; // the longest that browsers accept
constexpr int RenewDays = 30; // renewed this long before it ends, so no visit meets it expired

// The names a browser may reach the server by: the host's name and each address it listens on
// (for a wildcard, every address of the device: IPv4 only for 0.0.0.0, all of them for ::).
QStringList namesFor(const SelfSignedTls &tls)
{
    const QString host = QSysInfo::machineHostName();
    QStringList names { host.isEmpty() ? tls.program : host };
    const QHostAddress listening(tls.listenAddress);
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
    if (!written || !closed || ::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    // The rename itself lasts only once its directory is on the disk.
    const int directory = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = directory >= 0 && ::fsync(directory) == 0;
    if (directory >= 0)
        ::close(directory);
    return synced;
}

// Why the certificate no longer serves (expired, expiring within RenewDays, or not naming one of
// `names`); empty while it does, or when it does not parse (the server then says why).
// *selfSigned tells whether the portal may have made it.
QString staleness(const QByteArray &pem, const QStringList &names, bool *selfSigned)
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.constData(), pem.size()), BIO_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
    *selfSigned
        = certificate && X509_check_issued(certificate.get(), certificate.get()) == X509_V_OK;
    if (!certificate)
        return QString();
    std::time_t soon = std::time(nullptr) + std::time_t(RenewDays) * 24 * 3600;
    if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0)
        return QStringLiteral("it has expired");
    if (X509_cmp_time(X509_get0_notAfter(certificate.get()), &soon) <= 0)
        return QStringLiteral("it expires within %1 days").arg(RenewDays);
    for (const QString &name : names) {
        const QByteArray text = name.toUtf8();
        const bool named = QHostAddress(name).isNull()
            ? X509_check_host(certificate.get(), text.constData(), size_t(text.size()), 0, nullptr)
                == 1
            : X509_check_ip_asc(certificate.get(), text.constData(), 0) == 1;
        if (!named)
            return QStringLiteral("it does not name %1").arg(name);
    }
    return QString();
}

// A key that others than its owner may read is no secret any more: refused, with why.
bool isPrivate(const QString &program, const QString &keyPath)
{
    struct stat status;
    if (::stat(QFile::encodeName(keyPath).constData(), &status) != 0
        || (status.st_mode & (S_IRWXG | S_IRWXO)) == 0)
        return true;
    std::fprintf(stderr,
        "%s: refusing the key %s: its group or others may read it (mode %03o); make it private "
        "(chmod 600), or remove it and its certificate to have a new pair made\n",
        qPrintable(program), qPrintable(keyPath), unsigned(status.st_mode & 0777));
    return false;
}

QString pathOf(const SelfSignedTls &tls, const char *extension)
{
    return tls.stateDir + QLatin1Char('/') + tls.name + QLatin1String(extension);
}

bool makePair(const SelfSignedTls &tls, QByteArray *certificate, QByteArray *key)
{
    QString error;
    const QStringList names = namesFor(tls);
    const QByteArray program = tls.program.toLocal8Bit();
    if (!ZRTls::generateSelfSigned(names.first(), names, ValidityDays, certificate, key, &error)) {
        std::fprintf(
            stderr, "%s: cannot make a certificate: %s\n", program.constData(), qPrintable(error));
        return false;
    }
    // The key first: a certificate without its key would be taken for a pair next time.
    if (!QDir().mkpath(tls.stateDir) || !writeAtomically(pathOf(tls, ".key"), *key, 0600)
        || !writeAtomically(pathOf(tls, ".crt"), *certificate, 0644)) {
        std::fprintf(stderr, "%s: cannot store the certificate in %s: %s\n", program.constData(),
            qPrintable(tls.stateDir), std::strerror(errno));
        return false;
    }
    std::printf("%s: made a self-signed certificate for %s in %s\n", program.constData(),
        qPrintable(names.join(QStringLiteral(", "))), qPrintable(tls.stateDir));
    return true;
}

// The pair in stateDir: made where there is none, and made again where the program's own no
// longer serves. One from elsewhere is its owner's to renew: used as it is, with a warning.
bool loadPair(const SelfSignedTls &tls, QByteArray *certificate, QByteArray *key)
{
    QFile certificateFile(pathOf(tls, ".crt"));
    QFile keyFile(pathOf(tls, ".key"));
    if (!certificateFile.exists() || !keyFile.exists())
        return makePair(tls, certificate, key);
    if (!isPrivate(tls.program, keyFile.fileName()))
        return false;
    if (certificateFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly)) {
        *certificate = certificateFile.readAll();
        *key = keyFile.readAll();
    }
    bool selfSigned = false;
    const QString stale = staleness(*certificate, namesFor(tls), &selfSigned);
    if (stale.isEmpty())
        return true;
    if (!selfSigned) {
        std::fprintf(stderr, "%s: warning: the certificate in %s no longer serves: %s\n",
            qPrintable(tls.program), qPrintable(tls.stateDir), qPrintable(stale));
        return true;
    }
    std::printf("%s: the certificate in %s is made again: %s\n", qPrintable(tls.program),
        qPrintable(tls.stateDir), qPrintable(stale));
    return makePair(tls, certificate, key);
}

} // namespace

bool setUpSelfSignedTls(ZRHttpServer &server, const SelfSignedTls &tls, QByteArray *fingerprint)
{
    QByteArray certificate;
    QByteArray key;
    if (!loadPair(tls, &certificate, &key))
        return false;
    if (!server.setTlsCertificate(certificate, key)) {
        std::fprintf(stderr, "%s: cannot use the certificate in %s: %s\n", qPrintable(tls.program),
            qPrintable(tls.stateDir), qPrintable(server.errorText()));
        return false;
    }
    *fingerprint = ZRTls::fingerprintSha256(certificate);
    return true;
}
