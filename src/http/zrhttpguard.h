#ifndef ZRHTTPGUARD_H
#define ZRHTTPGUARD_H

#include "zrhttprouter.h"
#include "zrhttpsessions.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class ZRHttpThrottle;

// Lets through only requests from someone logged in, and unsafe ones only from the site's own
// pages. check() (or the router hook that hook() gives) answers, in this order:
//
//   - OPTIONS goes on: browsers send preflights without credentials.
//   - A POST, PUT, PATCH or DELETE whose Origin is not this site's (scheme, as the request
//     came, and Host), or whose Sec-Fetch-Site is neither same-origin nor none: 403.
//   - A path of openPaths ("/api/login"; "/static/*" for a prefix) goes on.
//   - A request with a live session (ZRHttpSessions) goes on; an unsafe one only when its
//     X-XSRF-TOKEN header equals the session's token (403 otherwise): a cookie a browser adds
//     by itself proves nothing, a header only the site's own script can read and send.
//   - Over TLS, where the application gives a check, HTTP Basic credentials (RFC 7617) go on,
//     through the throttle if there is one (429 when it refuses). A script has no cookie to
//     protect, so these need no token.
//   - Anything else: 401; as {"error": ...} JSON under apiPrefix, as ZRHttpRouter::statusReply
//     elsewhere; with WWW-Authenticate: Basic where Basic is allowed (over TLS, with a check).
//
// Thread-safe once made; the sessions and the throttle must outlive it and its hooks.
class ZRNET_EXPORT ZRHttpGuard
{
public:
    using BasicCheck = std::function<bool(const QString &user, const QString &password)>;
    struct Options
    {
        QStringList openPaths;
        QString apiPrefix = QStringLiteral("/api/");
        BasicCheck basic; // none: no Basic credentials
        ZRHttpThrottle *throttle = nullptr; // for Basic credentials
        QString realm = QStringLiteral("device");
    };

    explicit ZRHttpGuard(ZRHttpSessions *sessions);
    ZRHttpGuard(ZRHttpSessions *sessions, Options options);

    // The reply that answers the request in its route's place; none to let it go on.
    std::optional<ZRHttpReply> check(const ZRHttpRequest &request) const;
    // check() as a before-hook; the guard must outlive the router.
    ZRHttpRouter::BeforeHook hook() const;

    // Why the request may have come from another site's page: empty for a safe method, and for
    // an unsafe one whose Origin (where sent) is the request's own scheme and Host and whose
    // Sec-Fetch-Site (where sent) is same-origin or none.
    static QString crossSiteRefusal(const ZRHttpRequest &request);
    // Whether the request's X-XSRF-TOKEN equals token, compared in constant time.
    static bool carriesToken(const ZRHttpRequest &request, const QByteArray &token);
    static bool isUnsafe(RequestType method);

private:
    bool isOpen(const QString &path) const;
    // The throttle's 429, or nothing; *accepted says whether Basic credentials were right.
    std::optional<ZRHttpReply> basic(const ZRHttpRequest &request, bool *accepted) const;
    ZRHttpReply unauthorised(const ZRHttpRequest &request) const;

    ZRHttpSessions *const m_sessions;
    const Options m_options;
};

#endif // ZRHTTPGUARD_H
