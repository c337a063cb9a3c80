#include "zrhttpthrottle.h"

#include "zrhttpreply.h"
#include "zrsteadyclock_p.h"

#include <QJsonObject>
#include <QThread>

#include <algorithm>

namespace {

constexpr qint64 MinuteMs = 60 * 1000;

int secondsUntil(qint64 ms)
{
    return int(std::max<qint64>(1, (ms + 999) / 1000));
}

} // namespace

ZRHttpThrottle::ZRHttpThrottle() : ZRHttpThrottle(Options()) { }

ZRHttpThrottle::ZRHttpThrottle(Options options, Clock clock)
    : m_options(options), m_clock(clock ? std::move(clock) : Clock(zrSteadyMs))
{ }

ZRHttpThrottle::Verdict ZRHttpThrottle::judge(const Entry &entry, qint64 at) const
{
    Verdict verdict;
    if (entry.trying) {
        verdict.retryAfterSeconds = 1;
    } else if (entry.failures >= m_options.lockFailures) {
        verdict.retryAfterSeconds
            = secondsUntil(entry.lastFailureAt + m_options.lockSeconds * 1000LL - at);
    } else if (entry.failures > m_options.freeFailures) {
        const int doublings = std::min(entry.failures - m_options.freeFailures - 1, 20);
        verdict.waitMs
            = std::min<qint64>(qint64(m_options.firstDelayMs) << doublings, m_options.maxDelayMs);
    }
    return verdict;
}

// The addresses whose lock-out has passed start afresh; the minute's count loses its old tries.
void ZRHttpThrottle::forgetOld(qint64 at)
{
    for (auto it = m_addresses.begin(); it != m_addresses.end();) {
        const bool old = !it->trying && at - it->lastFailureAt >= m_options.lockSeconds * 1000LL;
        it = old ? m_addresses.erase(it) : std::next(it);
    }
    const auto recent = std::find_if(m_recentFailures.begin(), m_recentFailures.end(),
        [at](qint64 when) { return at - when < MinuteMs; });
    m_recentFailures.erase(m_recentFailures.begin(), recent);
}

ZRHttpThrottle::Verdict ZRHttpThrottle::admit(const QString &address)
{
    QMutexLocker lock(&m_mutex);
    const qint64 at = m_clock();
    forgetOld(at);
    if (m_recentFailures.size() >= m_options.totalFailuresPerMinute)
        return { 0, secondsUntil(m_recentFailures.first() + MinuteMs - at) };
    auto it = m_addresses.find(address);
    if (it == m_addresses.end()) {
        if (m_addresses.size() >= m_options.maxAddresses)
            return { 0, secondsUntil(m_options.lockSeconds * 1000LL) };
        it = m_addresses.insert(address, Entry());
    }
    const Verdict verdict = judge(it.value(), at);
    if (!verdict.refused())
        it->trying = true;
    return verdict;
}

void ZRHttpThrottle::record(const QString &address, bool succeeded)
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_addresses.find(address);
    if (succeeded) {
        if (it != m_addresses.end())
            m_addresses.erase(it);
        return;
    }
    const qint64 at = m_clock();
    m_recentFailures.append(at);
    if (it != m_addresses.end()) {
        it->trying = false;
        ++it->failures;
        it->lastFailureAt = at;
    }
}

ZRHttpThrottle::Outcome ZRHttpThrottle::attempt(
    const QString &address, const std::function<bool()> &check, Verdict *verdict)
{
    const Verdict judged = admit(address);
    if (verdict)
        *verdict = judged;
    if (judged.refused())
        return Outcome::Refused;
    if (judged.waitMs > 0)
        QThread::msleep(static_cast<unsigned long>(judged.waitMs));
    const bool right = check();
    record(address, right);
    return right ? Outcome::Right : Outcome::Wrong;
}

ZRHttpReply ZRHttpThrottle::refusal(const Verdict &verdict)
{
    ZRHttpReply reply
        = ZRHttpReply::json(QJsonObject { { QStringLiteral("error"),
                                QStringLiteral("too many wrong passwords; try again in %1 s")
                                    .arg(verdict.retryAfterSeconds) } },
            429);
    reply.setHeader("Retry-After", QByteArray::number(verdict.retryAfterSeconds));
    return reply;
}
