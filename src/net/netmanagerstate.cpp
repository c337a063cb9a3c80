#include "netmanagerstate_p.h"

#include "netcall_p.h"
#include "netdriver_p.h"
#include "netmonitor_p.h"
#include "netservicewatch_p.h"
#include "nettools_p.h"

#include <QMetaMethod>
#include <QThread>

#include <algorithm>
#include <mutex>

namespace {
constexpr int AskLimitMs = 5000;

// Every manager's state, for of() and announceAccessPoint(). Never destroyed: a manager may
// outlive the statics.
std::mutex &registryLock()
{
    static auto *const lock = new std::mutex;
    return *lock;
}
QHash<const NetworkManager *, NetManagerState *> &registry()
{
    static auto *const states = new QHash<const NetworkManager *, NetManagerState *>;
    return *states;
}

// The signals that need the machine watched.
QList<QMetaMethod> watchSignals()
{
    return { QMetaMethod::fromSignal(&NetworkManager::linkChanged),
        QMetaMethod::fromSignal(&NetworkManager::addressesChanged),
        QMetaMethod::fromSignal(&NetworkManager::wifiNetworkChanged),
        QMetaMethod::fromSignal(&NetworkManager::accessPointChanged) };
}
} // namespace

NetManagerState::NetManagerState(NetworkManager *manager, NetAccess access)
    : QObject(manager), manager(manager), accessMode(access), worker(new NetWorker)
{
    const std::lock_guard<std::mutex> guard(registryLock());
    registry().insert(manager, this);
}

NetManagerState::~NetManagerState()
{
    shutDown();
}

NetManagerState *NetManagerState::of(const NetworkManager *manager)
{
    const std::lock_guard<std::mutex> guard(registryLock());
    return registry().value(manager);
}

void NetManagerState::shutDown()
{
    {
        const std::lock_guard<std::mutex> guard(registryLock());
        registry().remove(manager);
    }
    worker.reset(); // waits for what runs
}

void NetManagerState::submit(const QString &interface, std::function<void()> job)
{
    if (worker)
        worker->submit(interface, std::move(job));
}

void NetManagerState::deliver(const NetFailure &report, std::function<void()> emitter)
{
    post([report, emitter] {
        NetCall::setLast(report);
        emitter();
    });
}

void NetManagerState::post(std::function<void()> job)
{
    bool wake = false;
    {
        const std::lock_guard<std::mutex> guard(mailLock);
        wake = mail.isEmpty(); // else a wake is on its way, or runPosted() is at work
        mail.enqueue(std::move(job));
    }
    if (wake)
        QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

void NetManagerState::runPosted()
{
    for (;;) {
        std::function<void()> job;
        {
            const std::lock_guard<std::mutex> guard(mailLock);
            if (mail.isEmpty())
                return;
            job = mail.dequeue();
        }
        job();
    }
}

void NetManagerState::updateWatch()
{
    // Connections may be made from any thread; the watch lives in the manager's.
    const auto update = [this] {
        const QList<QMetaMethod> all = watchSignals();
        watch(std::any_of(all.cbegin(), all.cend(),
            [this](const QMetaMethod &signal) { return manager->isSignalConnected(signal); }));
    };
    if (QThread::currentThread() == thread())
        update();
    else
        post(update);
}

void NetManagerState::announceAccessPoint(const QString &interface, bool active)
{
    const std::lock_guard<std::mutex> guard(registryLock());
    for (NetManagerState *state : qAsConst(registry())) {
        state->post([state, interface, active] { state->setAccessPoint(interface, active); });
    }
}

void NetManagerState::watch(bool on)
{
    if (on == watching)
        return;
    watching = on;
    networks.clear();
    accessPoints.clear();
    if (!on) {
        delete monitor;
        monitor = nullptr;
        service->stop();
        return;
    }
    monitor = new NetMonitor(this);
    connect(monitor, &NetMonitor::linkChanged, this, &NetManagerState::onKernelLink);
    connect(monitor, &NetMonitor::addressesChanged, this, &NetManagerState::onKernelAddresses);
    monitor->start();
    if (!service) {
        service = new NetServiceWatch(
            [this](
                std::function<void()> job) { submit(QStringLiteral("service"), std::move(job)); },
            [this](std::function<void()> job) { post(std::move(job)); }, this);
        connect(service, &NetServiceWatch::linkChanged, this, &NetManagerState::onLink);
        connect(service, &NetServiceWatch::networkChanged, this, &NetManagerState::askWifi);
        connect(service, &NetServiceWatch::addressesChanged, manager,
            &NetworkManager::addressesChanged);
    }
    service->start();
}

void NetManagerState::onKernelLink(const QString &interface, bool up)
{
    if (!service->manages(interface))
        onLink(interface, up);
}

void NetManagerState::onKernelAddresses(const QString &interface)
{
    if (!service->manages(interface))
        emit manager->addressesChanged(interface);
}

void NetManagerState::onLink(const QString &interface, bool up)
{
    emit manager->linkChanged(interface, up);
    if (!NetTools::isWifi(interface))
        return;
    if (up)
        askWifi(interface);
    else
        setNetwork(interface, QString(QLatin1String("")));
}

void NetManagerState::askWifi(const QString &interface)
{
    submit(QStringLiteral("watch ") + interface, [this, interface] {
        NetCall call(AskLimitMs);
        NetDriver &driver = NetDriver::forInterface(interface);
        const bool serving = driver.isAccessPointActive(interface);
        // Serving its own network, it is no client of any.
        const QString ssid = serving ? QString() : driver.currentNetwork(interface);
        // Not deliver(): the application's lastFailure() is not this look's business.
        post([this, interface, serving, ssid] {
            setAccessPoint(interface, serving);
            setNetwork(interface, ssid.isNull() ? QString(QLatin1String("")) : ssid);
        });
    });
}

void NetManagerState::setNetwork(const QString &interface, const QString &ssid)
{
    const auto known = networks.constFind(interface);
    if (!watching || (known != networks.constEnd() && *known == ssid))
        return;
    networks.insert(interface, ssid);
    emit manager->wifiNetworkChanged(interface, ssid);
}

void NetManagerState::setAccessPoint(const QString &interface, bool active)
{
    if (!watching || accessPoints.value(interface, false) == active)
        return;
    accessPoints.insert(interface, active);
    emit manager->accessPointChanged(interface, active);
}
