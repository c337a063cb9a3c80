#include "netannouncement_p.h"

#include "netbus_p.h"
#include "zrlogging_p.h"
#include "zrserviceannouncer.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

const char NetAnnouncement::DaemonName[] = "org.freedesktop.Avahi";

namespace {
const char ServerInterface[] = "org.freedesktop.Avahi.Server";
const char GroupInterface[] = "org.freedesktop.Avahi.EntryGroup";
constexpr int Unspecified = -1; // every interface, every protocol
// The states of the daemon and of an entry group, as it numbers them.
constexpr int ServerRunning = 2;
enum GroupState { Established = 2, Collision = 3, Failure = 4 };
constexpr int MaxRenames = 20; // a network where names keep colliding is not worth chasing

QString latin1(const char *text)
{
    return QString::fromLatin1(text);
}

bool isError(const QDBusMessage &reply, const char *name)
{
    return reply.errorName() == QLatin1String(name);
}

// Qt never answers a call on a connection that is not there: its failure is made here.
QDBusPendingCall send(const QDBusMessage &message)
{
    const QDBusConnection bus = NetBus::instance().connection();
    return bus.isConnected() ? bus.asyncCall(message, NetBus::CallLimitMs)
                             : QDBusPendingCall::fromError(QDBusError(QDBusError::Disconnected,
                                 QStringLiteral("not connected to the system bus")));
}

// Why a call failed, in words for the person setting the device up.
QString reason(const QDBusMessage &reply)
{
    if (isError(reply, "org.freedesktop.DBus.Error.ServiceUnknown")
        || isError(reply, "org.freedesktop.DBus.Error.NameHasNoOwner"))
        return QStringLiteral("avahi-daemon is not running: nothing owns %1 on the system bus")
            .arg(latin1(NetAnnouncement::DaemonName));
    switch (QDBusError(reply).type()) {
    case QDBusError::Disconnected:
        return QStringLiteral("there is no system bus here, through which avahi-daemon is asked");
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return QStringLiteral("avahi-daemon did not answer in time");
    default:
        return QStringLiteral("avahi-daemon refused: ") + reply.errorMessage();
    }
}
} // namespace

NetAnnouncement::NetAnnouncement(std::shared_ptr<NetAnnouncementState> state)
    : m_state(std::move(state))
{
    qDBusRegisterMetaType<QList<QByteArray>>(); // TXT records go as "aay"
    // Made on the caller's thread, then moved to the bus thread, where the signal comes.
    connect(&NetBus::instance(), &NetBus::ownerChanged, this, &NetAnnouncement::ownerChanged);
}

void NetAnnouncement::announce(quint64 ticket, const Service &service)
{
    replace(&m_announceTicket, ticket);
    replace(&m_withdrawTicket, 0);
    m_wanted = true;
    m_service = service;
    m_name = service.name;
    unsettle();
    m_renames = 0;
    m_halted = false;
    next();
}

void NetAnnouncement::withdraw(quint64 ticket)
{
    replace(&m_announceTicket, 0);
    replace(&m_withdrawTicket, ticket);
    m_wanted = false;
    m_halted = false;
    next();
}

void NetAnnouncement::setHostName(quint64 ticket, const QString &name)
{
    replace(&m_hostTicket, ticket);
    m_hostWish = name;
    m_applyHost = true;
    m_halted = false;
    next();
}

void NetAnnouncement::runJobs()
{
    for (auto job = m_state->take(); job.first; job = m_state->take())
        job.first(this, job.second);
}

void NetAnnouncement::askHostName(quint64 ticket)
{
    // Beside the steps: it changes nothing.
    QDBusMessage message = QDBusMessage::createMethodCall(latin1(DaemonName), QStringLiteral("/"),
        latin1(ServerInterface), QStringLiteral("GetHostNameFqdn"));
    auto *watcher = new QDBusPendingCallWatcher(send(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, ticket, watcher] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        const bool ok = reply.type() == QDBusMessage::ReplyMessage;
        m_state->settle(ticket, ok, ok ? reply.arguments().value(0).toString() : reason(reply));
    });
}

// The one place that decides what to ask the daemon next.
void NetAnnouncement::next()
{
    if (m_busy)
        return;
    if (m_applyHost) {
        applyHostName();
    } else if (!m_wanted && !m_group.isEmpty()) {
        // Taken as freed either way: the daemon also frees our groups as we leave the bus.
        const Step freed = [this](const QDBusMessage &) {
            m_group.clear();
            unsettle();
            state(false);
            next();
        };
        call(m_group, GroupInterface, "Free", {}, freed, freed);
    } else if (!m_wanted) {
        m_state->settle(std::exchange(m_withdrawTicket, 0), true);
    } else if (m_halted) {
        return;
    } else if (m_renaming) {
        rename();
    } else if (m_group.isEmpty()) {
        call(QStringLiteral("/"), ServerInterface, "EntryGroupNew", {},
            [this](const QDBusMessage &reply) {
                m_group = reply.arguments().value(0).value<QDBusObjectPath>().path();
                next();
            });
    } else if (!m_committed) {
        publish();
    } else if (m_checkHost) {
        m_checkHost = false;
        call(QStringLiteral("/"), ServerInterface, "GetHostNameFqdn", {},
            [this](const QDBusMessage &reply) {
                if (reply.arguments().value(0).toString() != m_host)
                    unsettle();
                next();
            });
    }
}

void NetAnnouncement::applyHostName()
{
    m_applyHost = false;
    call(
        QStringLiteral("/"), ServerInterface, "SetHostName", { m_hostWish },
        [this](const QDBusMessage &) {
            m_state->settle(std::exchange(m_hostTicket, 0), true);
            m_checkHost = m_committed;
            next();
        },
        [this](const QDBusMessage &reply) {
            m_state->settle(std::exchange(m_hostTicket, 0), false, reason(reply));
            next();
        });
}

// The daemon's next free name after the one that collided: "Kiosk #2", then "Kiosk #3".
void NetAnnouncement::rename()
{
    call(QStringLiteral("/"), ServerInterface, "GetAlternativeServiceName", { m_name },
        [this](const QDBusMessage &reply) {
            qCDebug(lcNet, "service \"%s\" collides; taking \"%s\"", qUtf8Printable(m_name),
                qUtf8Printable(reply.arguments().value(0).toString()));
            m_name = reply.arguments().value(0).toString();
            m_renaming = false;
            next();
        });
}

// The service into the group, afresh: its name or the host it points at changed. The group's
// signals speak of the new content once the daemon has answered the reset: it may establish
// the service before it answers the commit.
void NetAnnouncement::publish()
{
    m_committed = true;
    m_current = false;
    call(QStringLiteral("/"), ServerInterface, "GetHostNameFqdn", {},
        [this](const QDBusMessage &reply) {
            m_host = reply.arguments().value(0).toString();
            call(m_group, GroupInterface, "Reset", {}, [this](const QDBusMessage &) {
                m_current = true;
                const QList<QVariant> service { Unspecified, Unspecified, 0u, m_name,
                    m_service.type, QString(), QString(), QVariant::fromValue(m_service.port),
                    QVariant::fromValue(m_service.txt) };
                call(m_group, GroupInterface, "AddService", service, [this](const QDBusMessage &) {
                    // Established, or colliding, comes as a signal.
                    call(m_group, GroupInterface, "Commit", {},
                        [this](const QDBusMessage &) { next(); });
                });
            });
        });
}

void NetAnnouncement::call(const QString &path, const char *interface, const char *method,
    const QList<QVariant> &arguments, Step done, Step failed)
{
    subscribe();
    QDBusMessage message = QDBusMessage::createMethodCall(
        latin1(DaemonName), path, latin1(interface), latin1(method));
    message.setArguments(arguments);
    m_busy = true;
    auto *watcher = new QDBusPendingCallWatcher(send(message), this);
    const quint64 epoch = m_epoch;
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, epoch, done, failed] {
            watcher->deleteLater();
            m_busy = false;
            const QDBusMessage reply = watcher->reply();
            // A daemon's answer about itself is worth nothing to the next one.
            if (epoch != m_epoch)
                next();
            // Asked for the name it has already: as good as done.
            else if (reply.type() == QDBusMessage::ReplyMessage
                || isError(reply, "org.freedesktop.Avahi.NoChangeError"))
                done(reply);
            else if (failed)
                failed(reply);
            else
                fail(reply);
        });
}

void NetAnnouncement::fail(const QDBusMessage &reply)
{
    // Another service of this daemon holds the name: the same cure as a collision.
    if (m_wanted && isError(reply, "org.freedesktop.Avahi.LocalCollisionError")
        && ++m_renames <= MaxRenames) {
        unsettle();
        m_renaming = true;
        next();
        return;
    }
    qCDebug(lcNet, "avahi-daemon: %s", qUtf8Printable(reply.errorMessage()));
    halt(reason(reply));
}

// Nothing more is asked until the daemon comes back, or a new wish.
void NetAnnouncement::halt(const QString &why)
{
    m_halted = true;
    state(false, why);
    settleAll(false, why);
}

void NetAnnouncement::ownerChanged(const QString &name, bool owned)
{
    if (name != QLatin1String(DaemonName))
        return;
    ++m_epoch; // a call still out ends in next()
    m_group.clear(); // the groups went with the daemon
    unsettle();
    m_halted = !owned;
    m_applyHost = owned && !m_hostWish.isEmpty();
    if (!owned && m_wanted)
        state(false, QStringLiteral("avahi-daemon left the system bus"));
    next();
}

void NetAnnouncement::groupStateChanged(int groupState, const QString &error)
{
    if (message().path() != m_group || !m_current)
        return; // another group's, or an earlier content's
    switch (groupState) {
    case Established:
        qCDebug(lcNet, "announced \"%s\" (%s, port %u) on %s", qUtf8Printable(m_name),
            qUtf8Printable(m_service.type), m_service.port, qUtf8Printable(m_host));
        state(true);
        m_state->settle(std::exchange(m_announceTicket, 0), true, m_name);
        break;
    case Collision:
        unsettle();
        if (++m_renames > MaxRenames) {
            halt(QStringLiteral("the service's name collides again and again"));
            break;
        }
        m_renaming = true;
        state(false, QStringLiteral("the name collides with another on the network"));
        next();
        break;
    case Failure:
        halt(QStringLiteral("avahi-daemon could not publish: ") + error);
        break;
    default:
        break;
    }
}

void NetAnnouncement::serverStateChanged(int serverState, const QString &)
{
    // Running again after a change of host name: the service may point at the old one.
    if (serverState == ServerRunning && m_committed) {
        m_checkHost = true;
        next();
    }
}

// What the group holds is to be given again; its signals until then speak of the old.
void NetAnnouncement::unsettle()
{
    m_committed = false;
    m_current = false;
}

void NetAnnouncement::state(bool announced, const QString &error)
{
    m_state->publish(announced, m_name, m_host, error);
}

// A call from another thread came first, and its wish is no longer the last.
void NetAnnouncement::replace(quint64 *waiting, quint64 ticket)
{
    m_state->settle(
        std::exchange(*waiting, ticket), false, QStringLiteral("replaced by a later call"));
}

void NetAnnouncement::settleAll(bool ok, const QString &text)
{
    for (quint64 *ticket : { &m_announceTicket, &m_withdrawTicket, &m_hostTicket })
        m_state->settle(std::exchange(*ticket, 0), ok, text);
}

// On each connection the process has to the bus, once.
void NetAnnouncement::subscribe()
{
    QDBusConnection bus = NetBus::instance().connection();
    if (!bus.isConnected() || bus.name() == m_subscribedOn)
        return;
    const QString daemon = latin1(DaemonName);
    const QString changed = QStringLiteral("StateChanged");
    bus.connect(daemon, QString(), latin1(GroupInterface), changed, this,
        SLOT(groupStateChanged(int, QString)));
    bus.connect(daemon, QStringLiteral("/"), latin1(ServerInterface), changed, this,
        SLOT(serverStateChanged(int, QString)));
    m_subscribedOn = bus.name();
}

quint64 NetAnnouncementState::open(NetAnnouncement *core, const Job &job)
{
    std::lock_guard<std::mutex> lock(mutex);
    waiting.insert(++tickets, Answer());
    jobs.enqueue({ job, tickets });
    QMetaObject::invokeMethod(
        core, [core] { core->runJobs(); }, Qt::QueuedConnection);
    return tickets;
}

QPair<NetAnnouncementState::Job, quint64> NetAnnouncementState::take()
{
    std::lock_guard<std::mutex> lock(mutex);
    return jobs.isEmpty() ? QPair<Job, quint64>() : jobs.dequeue();
}

QPair<bool, quint64> NetAnnouncementState::changes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return { announced, flips };
}

void NetAnnouncementState::settle(quint64 ticket, bool ok, const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = waiting.find(ticket);
    if (found == waiting.end())
        return;
    *found = Answer { true, ok, text };
    answered.notify_all();
}

NetAnnouncementState::Answer NetAnnouncementState::wait(quint64 ticket, int limitMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    answered.wait_for(lock, std::chrono::milliseconds(limitMs),
        [this, ticket] { return waiting.value(ticket).given; });
    const Answer answer = waiting.take(ticket);
    return answer.given
        ? answer
        : Answer { true, false, QStringLiteral("avahi-daemon did not answer in time") };
}

void NetAnnouncementState::publish(
    bool isAnnounced, const QString &name, const QString &publishedHost, const QString &why)
{
    std::lock_guard<std::mutex> lock(mutex);
    const bool changed = isAnnounced != announced;
    flips += changed ? 1 : 0;
    announced = isAnnounced;
    serviceName = name;
    host = publishedHost;
    if (!why.isEmpty() || isAnnounced)
        error = why;
    // Posted under the lock: the owner cannot go in between, and what it has not taken yet goes
    // with it.
    if (changed && owner)
        QMetaObject::invokeMethod(
            owner, [target = owner] { target->reportChanges(); }, Qt::QueuedConnection);
}

void NetAnnouncementState::endCall(const Answer &answer)
{
    std::lock_guard<std::mutex> lock(mutex);
    failure = answer.ok ? QString() : answer.text;
}
