#include "access.h"

#include <zrpassword.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>

namespace {

const QFileDevice::Permissions OwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

ZRHttpReply answer(int status, const QString &key, const QJsonValue &value)
{
    return ZRHttpReply::json(QJsonObject { { key, value } }, status);
}

ZRHttpReply failure(int status, const QString &why)
{
    return answer(status, QStringLiteral("error"), why);
}

// The body's string member, or a null string where it is no object or has none.
QString member(const ZRHttpRequest &request, const char *name)
{
    const QJsonValue value = request.json().object().value(QLatin1String(name));
    return value.isString() ? value.toString() : QString();
}

// Written whole or not at all, readable by the owner alone from its first byte.
bool writePrivate(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(OwnerOnly)
        || file.write(content) != content.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// A directory made here is the owner's alone; one that exists keeps its mode.
bool makePrivateDir(const QString &dir, QString *error)
{
    const bool made = !QFileInfo::exists(dir);
    if (!QDir().mkpath(dir)
        || (made
            && !QFile::setPermissions(
                dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))) {
        *error = QStringLiteral("cannot make the state directory %1").arg(dir);
        return false;
    }
    return true;
}

} // namespace

bool Access::load(const QString &stateDir, const QString &passwordFile, QString *error)
{
    if (!makePrivateDir(stateDir, error))
        return false;
    m_hashFile = stateDir + QLatin1String("/admin-password");
    QFile stored(QFile::exists(m_hashFile) || passwordFile.isEmpty() ? m_hashFile : passwordFile);
    QByteArray hash;
    if (stored.exists()) {
        if (!stored.open(QIODevice::ReadOnly)) {
            *error
                = QStringLiteral("cannot read %1: %2").arg(stored.fileName(), stored.errorString());
            return false;
        }
        hash = stored.readAll().trimmed();
    }
    if (!hash.isEmpty() && !hash.startsWith("$scrypt$")) {
        *error = QStringLiteral("%1 holds no password hash (make one with zrnet-netctl "
                                "hash-password)")
                     .arg(stored.fileName());
        return false;
    }
    QMutexLocker lock(&m_mutex);
    m_hash = hash;
    return true;
}

bool Access::hasPassword() const
{
    QMutexLocker lock(&m_mutex);
    return !m_hash.isEmpty();
}

std::optional<ZRHttpReply> Access::check(const ZRHttpRequest &request) const
{
    return m_guard.check(request);
}

bool Access::storeHash(const QByteArray &hash, QString *error)
{
    if (hash.isEmpty() || !writePrivate(m_hashFile, hash + '\n', error))
        return false;
    QMutexLocker lock(&m_mutex);
    m_hash = hash;
    return true;
}

std::optional<ZRHttpReply> Access::refusal(
    const ZRHttpRequest &request, const QString &password, int wrongStatus, const QString &wrong)
{
    QMutexLocker lock(&m_mutex);
    const QByteArray hash = m_hash;
    lock.unlock();
    ZRHttpThrottle::Verdict verdict;
    switch (m_throttle.attempt(
        request.remoteAddress(), [&] { return ZRPassword::verify(password, hash); }, &verdict)) {
    case ZRHttpThrottle::Outcome::Refused:
        return ZRHttpThrottle::refusal(verdict);
    case ZRHttpThrottle::Outcome::Wrong:
        return failure(wrongStatus, wrong);
    case ZRHttpThrottle::Outcome::Right:
        break;
    }
    return std::nullopt;
}

ZRHttpReply Access::setPassword(const ZRHttpRequest &request)
{
    // Two first passwords at once: the second finds the first set.
    QMutexLocker changing(&m_changing);
    const QString password = member(request, "password");
    if (hasPassword()) {
        // Changing it takes a session (with its token) and the old password.
        const auto session = m_sessions.find(request);
        if (!session)
            return failure(401, QStringLiteral("log in first"));
        if (!ZRHttpGuard::carriesToken(request, session->csrfToken))
            return failure(403, QStringLiteral("refused: the X-XSRF-TOKEN header is missing"));
        if (auto refused = refusal(request, member(request, "oldPassword"), 403,
                QStringLiteral("the old password is wrong")))
            return *refused;
    }
    const QString weakness = ZRPassword::weakness(password);
    if (!weakness.isEmpty())
        return failure(400, QStringLiteral("choose another password: this one is ") + weakness);
    QString error;
    if (!storeHash(ZRPassword::hash(password), &error)) {
        qWarning("device portal: the password was not changed: %s", qPrintable(error));
        return failure(500, QStringLiteral("the password could not be stored"));
    }
    m_sessions.endAll();
    ZRHttpReply reply = answer(200, QStringLiteral("loggedIn"), true);
    m_sessions.start(request, reply, QStringLiteral("admin"));
    return reply;
}

ZRHttpReply Access::login(const ZRHttpRequest &request)
{
    if (!hasPassword())
        return failure(409, QStringLiteral("no password yet: choose one first"));
    if (auto refused
        = refusal(request, member(request, "password"), 401, QStringLiteral("wrong password")))
        return *refused;
    ZRHttpReply reply = answer(200, QStringLiteral("loggedIn"), true);
    m_sessions.start(request, reply, QStringLiteral("admin"));
    return reply;
}

ZRHttpReply Access::logout(const ZRHttpRequest &request)
{
    ZRHttpReply reply = answer(200, QStringLiteral("loggedIn"), false);
    m_sessions.end(request, reply);
    return reply;
}

QString Access::setupPassphrase(const QString &stateDir, QString *error)
{
    const QString path = stateDir + QLatin1String("/setup-passphrase");
    QFile kept(path);
    if (kept.open(QIODevice::ReadOnly))
        return QString::fromLatin1(kept.readAll().trimmed());
    // No 0/O, 1/l/I: it is read off a label and typed on a phone.
    static const char Alphabet[] = "abcdefghijkmnpqrstuvwxyz23456789";
    QString passphrase;
    for (int i = 0; i < 16; ++i) {
        if (i > 0 && i % 4 == 0)
            passphrase += QLatin1Char('-');
        passphrase += QLatin1Char(
            Alphabet[QRandomGenerator::system()->bounded(int(sizeof(Alphabet) - 1))]);
    }
    if (!makePrivateDir(stateDir, error)
        || !writePrivate(path, passphrase.toLatin1() + '\n', error))
        return QString();
    return passphrase;
}
