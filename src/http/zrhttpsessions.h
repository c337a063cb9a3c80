#ifndef ZRHTTPSESSIONS_H
#define ZRHTTPSESSIONS_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>
#include <optional>

class ZRHttpReply;
class ZRHttpRequest;

// Logged-in sessions, kept on the server and named to the browser by a cookie.
//
// start() makes a session for a user who has just proved who they are: an id of 256 bits from
// the system's random source, never one the request brought (a session planted before login
// ends there), and a token against cross-site requests. It adds two cookies to the reply: the
// session's (HttpOnly, so no script reads it) and XSRF-TOKEN (which the page's script reads and
// sends back in the X-XSRF-TOKEN header; see ZRHttpGuard). Both are SameSite=Strict, Path=/,
// without an expiry (they end with the browser), and Secure when the request came over TLS.
//
// A session ends idleSeconds after its last use or absoluteSeconds after its start, whichever
// comes first, or at end(). Beyond maxSessions the least recently used one ends, so no number
// of logins fills the memory. The store keeps only a SHA-256 of each id, so neither a look-up's
// time nor a dump of the memory gives an id away.
//
// Thread-safe: every function may be called from any thread (handlers run on many).
class ZRNET_EXPORT ZRHttpSessions
{
public:
    struct Options
    {
        QByteArray cookieName = QByteArrayLiteral("session");
        int idleSeconds = 15 * 60;
        int absoluteSeconds = 8 * 60 * 60;
        int maxSessions = 64;
    };
    struct Session
    {
        QString user;
        QByteArray csrfToken; // what X-XSRF-TOKEN must carry
    };
    // Milliseconds from any fixed start, never going back; a steady clock by default.
    using Clock = std::function<qint64()>;

    static constexpr char CsrfCookie[] = "XSRF-TOKEN";
    static constexpr char CsrfHeader[] = "X-XSRF-TOKEN";

    ZRHttpSessions();
    explicit ZRHttpSessions(Options options, Clock clock = Clock());
    ZRHttpSessions(const ZRHttpSessions &) = delete;
    ZRHttpSessions &operator=(const ZRHttpSessions &) = delete;

    // Ends the request's session, if any, starts a new one and sets its cookies on reply.
    Session start(const ZRHttpRequest &request, ZRHttpReply &reply, const QString &user = {});
    // The request's session while it lasts; each find counts as a use.
    std::optional<Session> find(const ZRHttpRequest &request);
    // Ends the request's session, if any, and clears its cookies in the browser.
    void end(const ZRHttpRequest &request, ZRHttpReply &reply);
    // Ends every session of the user (all of them for an empty name): after a password change.
    void endAll(const QString &user = {});
    int count() const;
    QByteArray cookieName() const { return m_options.cookieName; }

private:
    struct Entry
    {
        Session session;
        qint64 startedAt = 0;
        qint64 usedAt = 0;
    };
    qint64 now() const;
    bool isAlive(const Entry &entry, qint64 at) const;
    // Drops the ended sessions, then the least recently used while there are too many.
    void prune(qint64 at);
    void setCookies(ZRHttpReply &reply, bool tls, const QByteArray &id, const QByteArray &token,
        bool clear) const;

    const Options m_options;
    const Clock m_clock;
    mutable QMutex m_mutex; // guards m_sessions
    QHash<QByteArray, Entry> m_sessions; // by the SHA-256 of the id
};

#endif // ZRHTTPSESSIONS_H
