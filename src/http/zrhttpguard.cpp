#include "zrhttpguard.h"

#include "zrhttpthrottle.h"

#include <QJsonObject>

#include <openssl/crypto.h>

namespace {

ZRHttpReply jsonError(int status, const QString &why)
{
    return ZRHttpReply::json(QJsonObject { { QStringLiteral("error"), why } }, status);
}

} // namespace

ZRHttpGuard::ZRHttpGuard(ZRHttpSessions *sessions) : ZRHttpGuard(sessions, Options()) { }

ZRHttpGuard::ZRHttpGuard(ZRHttpSessions *sessions, Options options)
    : m_sessions(sessions), m_options(std::move(options))
{ }

bool ZRHttpGuard::isUnsafe(RequestType method)
{
    return method == RequestPost || method == RequestPut || method == RequestPatch
        || method == RequestDelete;
}

QString ZRHttpGuard::crossSiteRefusal(const ZRHttpRequest &request)
{
    if (!isUnsafe(request.type()))
        return QString();
    const QByteArray site = request.headerValue("Sec-Fetch-Site").trimmed().toLower();
    if (!site.isEmpty() && site != "same-origin" && site != "none")
        return QStringLiteral("refused: the request comes from another site");
    const QList<QByteArray> origins = request.headerValues("Origin");
    const QByteArray own
        = (request.isTls() ? "https://" : "http://") + request.headerValue("Host").toLower();
    for (const QByteArray &origin : origins) {
        if (origin.trimmed().toLower() != own)
            return QStringLiteral("refused: the request comes from another site");
    }
    return QString();
}

bool ZRHttpGuard::carriesToken(const ZRHttpRequest &request, const QByteArray &token)
{
    const QByteArray sent = request.headerValue(ZRHttpSessions::CsrfHeader);
    return !token.isEmpty() && sent.size() == token.size()
        && CRYPTO_memcmp(sent.constData(), token.constData(), size_t(token.size())) == 0;
}

bool ZRHttpGuard::isOpen(const QString &path) const
{
    for (const QString &open : m_options.openPaths) {
        if (open.endsWith(QLatin1String("/*")) ? path.startsWith(open.chopped(1)) : path == open)
            return true;
    }
    return false;
}

std::optional<ZRHttpReply> ZRHttpGuard::check(const ZRHttpRequest &request) const
{
    if (request.type() == RequestOptions)
        return std::nullopt;
    const QString refusal = crossSiteRefusal(request);
    if (!refusal.isEmpty())
        return jsonError(403, refusal);
    if (isOpen(request.pathOnly()))
        return std::nullopt;
    if (const auto session = m_sessions->find(request)) {
        if (isUnsafe(request.type()) && !carriesToken(request, session->csrfToken))
            return jsonError(403,
                QStringLiteral("refused: the X-XSRF-TOKEN header must carry the XSRF-TOKEN "
                               "cookie's value"));
        return std::nullopt;
    }
    bool accepted = false;
    std::optional<ZRHttpReply> answer = basic(request, &accepted);
    if (accepted)
        return std::nullopt;
    return answer ? answer : unauthorised(request);
}

std::optional<ZRHttpReply> ZRHttpGuard::basic(const ZRHttpRequest &request, bool *accepted) const
{
    const QByteArray authorization = request.headerValue("Authorization").trimmed();
    if (!m_options.basic || !request.isTls() || !authorization.toLower().startsWith("basic "))
        return std::nullopt;
    const QByteArray decoded = QByteArray::fromBase64(authorization.mid(6).trimmed());
    const int colon = decoded.indexOf(':');
    if (colon < 0)
        return std::nullopt;
    const QString user = QString::fromUtf8(decoded.left(colon));
    const QString password = QString::fromUtf8(decoded.mid(colon + 1));
    if (!m_options.throttle) {
        *accepted = m_options.basic(user, password);
        return std::nullopt;
    }
    ZRHttpThrottle::Verdict verdict;
    const auto outcome = m_options.throttle->attempt(
        request.remoteAddress(), [&] { return m_options.basic(user, password); }, &verdict);
    *accepted = outcome == ZRHttpThrottle::Outcome::Right;
    if (outcome == ZRHttpThrottle::Outcome::Refused)
        return ZRHttpThrottle::refusal(verdict);
    return std::nullopt;
}

ZRHttpReply ZRHttpGuard::unauthorised(const ZRHttpRequest &request) const
{
    ZRHttpReply reply = request.pathOnly().startsWith(m_options.apiPrefix)
        ? jsonError(401, QStringLiteral("log in first"))
        : ZRHttpRouter::statusReply(401, request);
    if (m_options.basic && request.isTls()) {
        QString realm = m_options.realm;
        realm.remove(QLatin1Char('"')).remove(QLatin1Char('\\'));
        reply.setHeader(
            "WWW-Authenticate", "Basic realm=\"" + realm.toUtf8() + "\", charset=\"UTF-8\"");
    }
    return reply;
}

ZRHttpRouter::BeforeHook ZRHttpGuard::hook() const
{
    return [this](const ZRHttpRequest &request) { return check(request); };
}
