#include "zrhttpsessions.h"

#include "zrhttpreply.h"
#include "zrhttprequest.h"
#include "zrsteadyclock_p.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QNetworkCookie>
#include <QRandomGenerator>

#include <algorithm>

namespace {

constexpr int IdBytes = 32;

QByteArray randomText()
{
    QByteArray bytes(IdBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), IdBytes / 4);
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray keyOf(const QByteArray &id)
{
    return QCryptographicHash::hash(id, QCryptographicHash::Sha256);
}

} // namespace

ZRHttpSessions::ZRHttpSessions() : ZRHttpSessions(Options()) { }

ZRHttpSessions::ZRHttpSessions(Options options, Clock clock)
    : m_options(std::move(options)), m_clock(clock ? std::move(clock) : Clock(zrSteadyMs))
{ }

qint64 ZRHttpSessions::now() const
{
    return m_clock();
}

bool ZRHttpSessions::isAlive(const Entry &entry, qint64 at) const
{
    return at - entry.usedAt < m_options.idleSeconds * 1000LL
        && at - entry.startedAt < m_options.absoluteSeconds * 1000LL;
}

void ZRHttpSessions::prune(qint64 at)
{
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = isAlive(it.value(), at) ? std::next(it) : m_sessions.erase(it);
    while (m_sessions.size() > std::max(1, m_options.maxSessions)) {
        const auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(),
            [](const Entry &a, const Entry &b) { return a.usedAt < b.usedAt; });
        m_sessions.erase(oldest);
    }
}

ZRHttpSessions::Session ZRHttpSessions::start(
    const ZRHttpRequest &request, ZRHttpReply &reply, const QString &user)
{
    const QByteArray id = randomText();
    const Session session { user, randomText() };
    {
        QMutexLocker lock(&m_mutex);
        m_sessions.remove(
            keyOf(request.cookie(QString::fromLatin1(m_options.cookieName)).toLatin1()));
        const qint64 at = now();
        m_sessions.insert(keyOf(id), Entry { session, at, at });
        prune(at);
    }
    setCookies(reply, request.isTls(), id, session.csrfToken, false);
    return session;
}

std::optional<ZRHttpSessions::Session> ZRHttpSessions::find(const ZRHttpRequest &request)
{
    const QString id = request.cookie(QString::fromLatin1(m_options.cookieName));
    if (id.isEmpty())
        return std::nullopt;
    QMutexLocker lock(&m_mutex);
    const auto it = m_sessions.find(keyOf(id.toLatin1()));
    if (it == m_sessions.end())
        return std::nullopt;
    const qint64 at = now();
    if (!isAlive(it.value(), at)) {
        m_sessions.erase(it);
        return std::nullopt;
    }
    it->usedAt = at;
    return it->session;
}

void ZRHttpSessions::end(const ZRHttpRequest &request, ZRHttpReply &reply)
{
    const QString id = request.cookie(QString::fromLatin1(m_options.cookieName));
    if (!id.isEmpty()) {
        QMutexLocker lock(&m_mutex);
        m_sessions.remove(keyOf(id.toLatin1()));
    }
    setCookies(reply, request.isTls(), QByteArray(), QByteArray(), true);
}

void ZRHttpSessions::endAll(const QString &user)
{
    QMutexLocker lock(&m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        it = user.isEmpty() || it->session.user == user ? m_sessions.erase(it) : std::next(it);
    }
}

int ZRHttpSessions::count() const
{
    QMutexLocker lock(&m_mutex);
    return m_sessions.size();
}

void ZRHttpSessions::setCookies(
    ZRHttpReply &reply, bool tls, const QByteArray &id, const QByteArray &token, bool clear) const
{
    const auto add = [&](const QByteArray &name, const QByteArray &value, bool httpOnly) {
        QNetworkCookie cookie(name, value);
        cookie.setPath(QStringLiteral("/"));
        cookie.setHttpOnly(httpOnly);
        cookie.setSecure(tls);
        if (clear) // a date long past makes the browser drop it
            cookie.setExpirationDate(QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
        reply.addCookie(cookie, ZRHttpReply::SameSite::Strict);
    };
    add(m_options.cookieName, id, true);
    add(CsrfCookie, token, false);
}
