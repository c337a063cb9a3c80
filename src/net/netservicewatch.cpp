#include "netservicewatch_p.h"

#include "netbus_p.h"
#include "netcall_p.h"
#include "netservicenames_p.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {
constexpr int AskLimitMs = 5000;
using namespace NetService;

const char DevicesPrefix[] = "/org/freedesktop/NetworkManager/Devices/";

// A property of the service's object; invalid when it did not answer.
QVariant ask(const QString &path, const char *interface, const char *name)
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        latin1(NetBus::ServiceName), path, latin1(PropertiesInterface), QStringLiteral("Get"));
    message.setArguments({ latin1(interface), latin1(name) });
    const QDBusMessage reply = NetBus::instance().call(message);
    return reply.type() == QDBusMessage::ReplyMessage
        ? reply.arguments().value(0).value<QDBusVariant>().variant()
        : QVariant();
}

// The service's devices by path: their interface and state.
QHash<QString, QPair<QString, uint>> currentDevices()
{
    const QDBusMessage reply
        = NetBus::instance().call(QDBusMessage::createMethodCall(latin1(NetBus::ServiceName),
            latin1(ManagerPath), latin1(ManagerInterface), QStringLiteral("GetDevices")));
    QHash<QString, QPair<QString, uint>> found;
    if (reply.type() != QDBusMessage::ReplyMessage)
        return found;
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(0));
    for (const QDBusObjectPath &path : paths) {
        found.insert(path.path(),
            { ask(path.path(), DeviceInterface, "Interface").toString(),
                ask(path.path(), DeviceInterface, "State").toUInt() });
    }
    return found;
}
} // namespace

NetServiceWatch::NetServiceWatch(Runner offload, Runner back, QObject *parent)
    : QObject(parent), offload(std::move(offload)), back(std::move(back))
{ }

NetServiceWatch::~NetServiceWatch()
{
    stop();
}

void NetServiceWatch::start()
{
    wanted = true;
    // Reaching the bus may take its time: never in this thread's event loop. The signals are
    // followed before the devices are looked at, so that no change in between is missed; a
    // device a signal told of already is not taken back to what the look saw.
    offload([this] {
        NetCall call(AskLimitMs);
        if (NetBus::instance().reach() != NetBus::Reach::Connected)
            return;
        subscribe(true); // the connection may be used from any thread
        const auto found = currentDevices();
        back([this, found] {
            subscribed = true;
            if (!wanted) {
                stop();
                return;
            }
            for (auto device = found.cbegin(); device != found.cend(); ++device) {
                if (!devices.contains(device.key()))
                    devices.insert(device.key(), { device->first, device->second });
            }
        });
    });
}

void NetServiceWatch::stop()
{
    wanted = false;
    subscribed = subscribe(false);
    devices.clear();
}

bool NetServiceWatch::manages(const QString &interface) const
{
    for (const Device &device : devices) {
        if (device.name == interface && device.state > StateUnmanaged)
            return true;
    }
    return false;
}

bool NetServiceWatch::subscribe(bool on)
{
    if (!on && !subscribed)
        return false;
    QDBusConnection bus = NetBus::instance().connection();
    const QString service = latin1(NetBus::ServiceName);
    const auto follow = [&](const char *interface, const char *name, const char *slot) {
        if (on)
            bus.connect(service, QString(), latin1(interface), latin1(name), this, slot);
        else
            bus.disconnect(service, QString(), latin1(interface), latin1(name), this, slot);
    };
    follow(DeviceInterface, "StateChanged", SLOT(deviceStateChanged(uint, uint, uint)));
    follow(PropertiesInterface, "PropertiesChanged",
        SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    // Older services announce changes on the interfaces themselves.
    follow(DeviceInterface, "PropertiesChanged", SLOT(devicePropertiesChanged(QVariantMap)));
    follow(WirelessInterface, "PropertiesChanged", SLOT(devicePropertiesChanged(QVariantMap)));
    return on;
}

void NetServiceWatch::deviceStateChanged(uint state, uint previous, uint)
{
    const QString path = message().path();
    if (!devices.contains(path))
        devices.insert(path, { QString(), previous });
    withName(path, [this, path, state](const QString &name) { setState(path, name, state); });
}

void NetServiceWatch::propertiesChanged(
    const QString &interface, const QVariantMap &properties, const QStringList &)
{
    if (interface == QLatin1String(DeviceInterface)
        || interface == QLatin1String(WirelessInterface))
        changed(message().path(), properties);
}

void NetServiceWatch::devicePropertiesChanged(const QVariantMap &properties)
{
    changed(message().path(), properties);
}

void NetServiceWatch::changed(const QString &path, const QVariantMap &properties)
{
    if (!path.startsWith(QLatin1String(DevicesPrefix)))
        return;
    const bool network = properties.contains(QStringLiteral("ActiveAccessPoint"));
    const bool addresses = properties.contains(QStringLiteral("Ip4Config"))
        || properties.contains(QStringLiteral("Ip6Config"));
    if (!network && !addresses)
        return;
    withName(path, [this, network, addresses](const QString &name) {
        if (network)
            emit networkChanged(name);
        if (addresses)
            emit addressesChanged(name);
    });
}

void NetServiceWatch::withName(const QString &path, std::function<void(const QString &)> then)
{
    const QString known = devices.value(path).name;
    if (!known.isEmpty()) {
        then(known);
        return;
    }
    offload([this, path, then] {
        NetCall call(AskLimitMs);
        const QString name = ask(path, DeviceInterface, "Interface").toString();
        back([this, path, name, then] {
            if (name.isEmpty())
                return;
            devices[path].name = name;
            then(name);
        });
    });
}

void NetServiceWatch::setState(const QString &path, const QString &name, uint state)
{
    Device &device = devices[path];
    const bool wasUp = isUp(device.state);
    device.name = name;
    device.state = state;
    if (isUp(state) != wasUp)
        emit linkChanged(name, isUp(state));
}
