#include "zrserviceannouncer.h"

#include "netannouncement_p.h"
#include "netbus_p.h"

#include <QRegularExpression>
#include <QThread>

namespace {
// Probing a name takes the daemon a second or two, and each collision as much again.
constexpr int AnnounceWaitMs = 10000;
constexpr int CallWaitMs = 2 * NetBus::CallLimitMs;
constexpr int MaxLabelBytes = 63; // of a DNS name, a service's instance name included
constexpr int MaxTxtBytes = 255;

QString daemonName()
{
    return QString::fromLatin1(NetAnnouncement::DaemonName);
}

// "_http._tcp": an underscore name of up to 15 letters, digits and hyphens, over TCP or UDP.
bool isServiceType(const QString &type)
{
    static const QRegularExpression pattern(
        QStringLiteral("^_[A-Za-z0-9][A-Za-z0-9-]{0,14}\\._(tcp|udp)$"));
    return pattern.match(type).hasMatch();
}

bool fits(const QString &text, int maxBytes)
{
    const int bytes = text.toUtf8().size();
    return bytes >= 1 && bytes <= maxBytes;
}

using Job = NetAnnouncementState::Job;

// Runs `job` on the bus thread, where the announcement lives, and waits for its answer. With
// `reach`, the bus is reached first and the daemon's comings and goings followed.
NetAnnouncementState::Answer run(
    NetAnnouncementState &state, NetAnnouncement *core, int limitMs, const Job &job, bool reach)
{
    NetBus &bus = NetBus::instance();
    if (reach)
        bus.follow(daemonName());
    NetAnnouncementState::Answer answer { true, true, QString() };
    if (bus.thread()->isRunning())
        answer = state.wait(state.open(core, job), limitMs);
    state.endCall(answer);
    return answer;
}

NetAnnouncementState::Answer refused(NetAnnouncementState &state, const QString &why)
{
    const NetAnnouncementState::Answer answer { true, false, why };
    state.endCall(answer);
    return answer;
}
} // namespace

ZRServiceAnnouncer::ZRServiceAnnouncer(QObject *parent)
    : QObject(parent), d(std::make_shared<NetAnnouncementState>()), m_core(new NetAnnouncement(d))
{
    d->owner = this;
    m_core->moveToThread(NetBus::instance().thread());
}

ZRServiceAnnouncer::~ZRServiceAnnouncer()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->owner = nullptr;
    }
    withdraw();
    // Without its thread (never started, or ended with the application), nothing else holds it.
    if (NetBus::instance().thread()->isRunning())
        m_core->deleteLater();
    else
        delete m_core;
}

bool ZRServiceAnnouncer::announce(
    const QString &name, quint16 port, const QString &type, const QStringList &txt)
{
    NetAnnouncement::Service service { name, type, port, {} };
    for (const QString &record : txt) {
        if (!fits(record, MaxTxtBytes))
            return refused(*d, QStringLiteral("a TXT record must be 1 to 255 bytes")).ok;
        service.txt.append(record.toUtf8());
    }
    if (!fits(name, MaxLabelBytes))
        return refused(*d, QStringLiteral("a service's name must be 1 to 63 bytes of UTF-8")).ok;
    if (!isServiceType(type))
        return refused(*d, QStringLiteral("\"%1\" is no service type such as _http._tcp").arg(type))
            .ok;
    if (port == 0)
        return refused(*d, QStringLiteral("a service needs a port")).ok;
    const auto job
        = [service](NetAnnouncement *core, quint64 ticket) { core->announce(ticket, service); };
    return run(*d, m_core, AnnounceWaitMs, job, true).ok;
}

bool ZRServiceAnnouncer::withdraw()
{
    const auto job = [](NetAnnouncement *core, quint64 ticket) { core->withdraw(ticket); };
    return run(*d, m_core, CallWaitMs, job, false).ok;
}

bool ZRServiceAnnouncer::isAnnounced() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->announced;
}

QString ZRServiceAnnouncer::serviceName() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->serviceName;
}

QString ZRServiceAnnouncer::hostName()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (d->announced && !d->host.isEmpty())
            return d->host; // what the service points at, without a question
    }
    const auto job = [](NetAnnouncement *core, quint64 ticket) { core->askHostName(ticket); };
    const NetAnnouncementState::Answer answer = run(*d, m_core, CallWaitMs, job, true);
    return answer.ok ? answer.text : QString();
}

bool ZRServiceAnnouncer::setHostName(const QString &name)
{
    if (!fits(name, MaxLabelBytes) || name.contains(QLatin1Char('.')))
        return refused(*d, QStringLiteral("a host name must be 1 to 63 bytes, without a dot")).ok;
    const auto job
        = [name](NetAnnouncement *core, quint64 ticket) { core->setHostName(ticket, name); };
    return run(*d, m_core, CallWaitMs, job, true).ok;
}

QString ZRServiceAnnouncer::errorString() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->failure.isEmpty())
        return d->failure;
    return d->announced ? QString() : d->error;
}

// An even count of changes missed is a going and a coming back (a rename, a restart).
void ZRServiceAnnouncer::reportChanges()
{
    const QPair<bool, quint64> now = d->changes();
    const quint64 missed = now.second - m_reported;
    m_reported = now.second;
    if (missed > 0 && missed % 2 == 0)
        emit announcedChanged(!now.first);
    if (missed > 0)
        emit announcedChanged(now.first);
}

bool ZRServiceAnnouncer::isAvailable()
{
    return NetBus::instance().follow(daemonName());
}
