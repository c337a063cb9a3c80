#ifndef DEVICE_PORTAL_ACCESS_H
#define DEVICE_PORTAL_ACCESS_H

#include <zrhttpguard.h>
#include <zrhttpsessions.h>
#include <zrhttpthrottle.h>

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <optional>

// Who may use the portal: one administrator, known by a password whose scrypt hash lives in the
// state directory (DIR/admin-password, mode 0600, replaced atomically), or ships with the device
// (--password-file, a line of `zrnet-netctl hash-password`) until the user sets another.
//
//   POST /api/password  {"password": NEW}: the first password, which also logs in; afterwards
//                       only in a session, with {"oldPassword": ...} too; every other session
//                       then ends
//   POST /api/login     {"password": ...}: the session's cookie and XSRF-TOKEN (see
//                       ZRHttpSessions); 401 when wrong, slower after each (ZRHttpThrottle), 429
//   POST /api/logout    ends the session
//
// Every other API path needs the session, and its unsafe requests the X-XSRF-TOKEN header
// (ZRHttpGuard). Thread-safe: the handlers run on many threads.
class Access
{
public:
    // False, with the reason in *error, when the state directory cannot be made or the shipped
    // hash is unreadable.
    bool load(const QString &stateDir, const QString &passwordFile, QString *error);

    bool hasPassword() const;
    bool isLoggedIn(const ZRHttpRequest &request) { return m_sessions.find(request).has_value(); }
    // A reply to answer the request with instead of its route (401, 403), or none.
    std::optional<ZRHttpReply> check(const ZRHttpRequest &request) const;

    ZRHttpReply setPassword(const ZRHttpRequest &request);
    ZRHttpReply login(const ZRHttpRequest &request);
    ZRHttpReply logout(const ZRHttpRequest &request);

    // The setup access point's WPA2 passphrase: DIR/setup-passphrase, made at first start as a
    // label would carry it (16 letters and digits no one misreads, in groups of four). Empty,
    // with the reason in *error, when it cannot be kept.
    static QString setupPassphrase(const QString &stateDir, QString *error);

private:
    bool storeHash(const QByteArray &hash, QString *error);
    // The answer when the throttle refuses the try, or password is not the one set (with
    // wrongStatus and the words `wrong`); none when it is.
    std::optional<ZRHttpReply> refusal(const ZRHttpRequest &request, const QString &password,
        int wrongStatus, const QString &wrong);

    QString m_hashFile;
    QMutex m_changing; // held by a password change from its check to its end
    mutable QMutex m_mutex; // guards m_hash
    QByteArray m_hash; // empty: no password yet
    ZRHttpSessions m_sessions;
    ZRHttpThrottle m_throttle;
    const ZRHttpGuard m_guard { &m_sessions,
        { { QStringLiteral("/api/status"), QStringLiteral("/api/login"),
              QStringLiteral("/api/logout"), QStringLiteral("/api/password") },
            QStringLiteral("/api/"), {}, nullptr, QStringLiteral("device") } };
};

#endif // DEVICE_PORTAL_ACCESS_H
