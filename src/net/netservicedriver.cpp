#include "netdriver_p.h"

#include "netaccesspoint_p.h"
#include "netbus_p.h"
#include "netcall_p.h"
#include "netservicenames_p.h"
#include "netsystem_p.h"
#include "nettooloutput_p.h"
#include "nettools_p.h"
#include "zrlogging_p.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>

#include <algorithm>
#include <functional>

// A profile as the service hands it over: settings by name, each a map of its keys.
using Profile = QMap<QString, QVariantMap>;
Q_DECLARE_METATYPE(Profile)
// An IPv4 address as the service takes it: a list of maps with address and prefix.
using AddressData = QList<QVariantMap>;
Q_DECLARE_METATYPE(AddressData)

namespace {
using namespace NetService;

constexpr int PollMs = 200;
constexpr int ScanWaitMs = 10000;
constexpr int JoinWaitMs = 30000;
constexpr int RadioWaitMs = 10000;

const char SettingsPath[] = "/org/freedesktop/NetworkManager/Settings";
const char SettingsInterface[] = "org.freedesktop.NetworkManager.Settings";
const char ProfileInterface[] = "org.freedesktop.NetworkManager.Settings.Connection";
const char AccessPointInterface[] = "org.freedesktop.NetworkManager.AccessPoint";

const char WirelessSetting[] = "802-11-wireless";
const char SecuritySetting[] = "802-11-wireless-security";

// The reasons for a device's state, as the service numbers them.
enum : uint {
    ReasonIpConfigUnavailable = 5,
    ReasonIpConfigExpired = 6,
    ReasonNoSecrets = 7,
    ReasonSupplicantTimeout = 11,
    ReasonDhcpStartFailed = 15,
    ReasonDhcpFailed = 17,
    ReasonSsidNotFound = 53,
};
constexpr uint ApPrivacy = 0x1;
// Key managements among an access point's WPA and RSN flags.
constexpr uint KeyMgmt8021x = 0x200;
constexpr uint KeyMgmtSae = 0x400;
constexpr uint KeyMgmtSuiteB192 = 0x2000;

NetSystem &machine()
{
    return *NetSystem::current();
}

QVariant pathArgument(const QString &path)
{
    return QVariant::fromValue(QDBusObjectPath(path));
}

QString pathOf(const QVariant &value)
{
    return value.value<QDBusObjectPath>().path();
}

QList<QDBusObjectPath> pathsOf(const QVariant &value)
{
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QList<QDBusObjectPath>>(value.value<QDBusArgument>());
    return value.value<QList<QDBusObjectPath>>();
}

bool succeeded(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ReplyMessage;
}

// The calls of one operation, on the process's connection to the system bus.
class Bus
{
public:
    Bus()
    {
        static const bool registered
            = (qDBusRegisterMetaType<Profile>(), qDBusRegisterMetaType<AddressData>(), true);
        Q_UNUSED(registered)
    }

    // Waits at most NetBus::CallLimitMs, without an event loop; an error reply on failure.
    QDBusMessage call(const QString &path, const char *interface, const char *method,
        const QVariantList &arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            latin1(NetBus::ServiceName), path, latin1(interface), latin1(method));
        message.setArguments(arguments);
        const QDBusMessage reply = NetBus::instance().call(message);
        if (!succeeded(reply))
            qCDebug(lcNet, "%s.%s of %s: %s", interface, method, qUtf8Printable(path),
                qUtf8Printable(reply.errorMessage()));
        return reply;
    }

    // Invalid when the object or the property is not there.
    QVariant property(const QString &path, const char *interface, const char *name)
    {
        const QDBusMessage reply
            = call(path, PropertiesInterface, "Get", { latin1(interface), latin1(name) });
        return succeeded(reply) ? reply.arguments().value(0).value<QDBusVariant>().variant()
                                : QVariant();
    }

    bool setProperty(
        const QString &path, const char *interface, const char *name, const QVariant &value)
    {
        return succeeded(call(path, PropertiesInterface, "Set",
            { latin1(interface), latin1(name), QVariant::fromValue(QDBusVariant(value)) }));
    }

    QVariantMap properties(const QString &path, const char *interface)
    {
        const QDBusMessage reply = call(path, PropertiesInterface, "GetAll", { latin1(interface) });
        if (!succeeded(reply))
            return {};
        return qdbus_cast<QVariantMap>(reply.arguments().value(0).value<QDBusArgument>());
    }
};

// Polls until `done`, `limitMs` have passed, or the service failed to answer; whether it was
// done.
bool waitUntil(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= limitMs || NetBus::failed())
            return false;
        machine().sleep(PollMs);
    }
    return true;
}

// The service has left the bus, or does not know the interface: the tools may have it.
bool isAbsence(const QDBusMessage &reply)
{
    const QString error = reply.errorName();
    return error == QLatin1String("org.freedesktop.NetworkManager.UnknownDevice")
        || error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
        || error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

// `reply` returned; an error the service answered with is recorded as its refusal.
QDBusMessage refusal(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage)
        NetCall::record(NetFailureReason::ServiceRefused, reply.errorMessage());
    return reply;
}

// The bus or the service failed the question which way to go: the call runs nothing.
NetRoute failing(const QDBusMessage &reply = QDBusMessage())
{
    NetBus::noteFailure();
    refusal(reply);
    NetCall::record(NetFailureReason::TimedOut, QStringLiteral("NetworkManager service"),
        QStringLiteral("the system bus did not answer in time"));
    return NetRoute::Failing;
}

// The service's object for the device behind `interface`; empty when it knows none.
QString devicePath(Bus &bus, const QString &interface)
{
    const QDBusMessage reply
        = bus.call(latin1(ManagerPath), ManagerInterface, "GetDeviceByIpIface", { interface });
    return succeeded(reply) ? pathOf(reply.arguments().value(0)) : QString();
}

struct DeviceStatus
{
    uint state = 0;
    uint reason = 0;
    QString activeConnection;
};

DeviceStatus statusOf(Bus &bus, const QString &device)
{
    const QVariantMap properties = bus.properties(device, DeviceInterface);
    DeviceStatus status;
    status.state = properties.value(QStringLiteral("State")).toUInt();
    status.activeConnection = pathOf(properties.value(QStringLiteral("ActiveConnection")));
    const QVariant reason = properties.value(QStringLiteral("StateReason"));
    if (reason.canConvert<QDBusArgument>()) {
        const QDBusArgument pair = reason.value<QDBusArgument>();
        uint state = 0;
        pair.beginStructure();
        pair >> state >> status.reason;
        pair.endStructure();
    }
    return status;
}

// Where the link itself did not come up: the passphrase, the supplicant, the network gone.
bool isLinkReason(uint reason)
{
    return (reason >= ReasonNoSecrets && reason <= ReasonSupplicantTimeout)
        || reason == ReasonSsidNotFound;
}

bool isIpReason(uint reason)
{
    return reason == ReasonIpConfigUnavailable || reason == ReasonIpConfigExpired
        || (reason >= ReasonDhcpStartFailed && reason <= ReasonDhcpFailed);
}

// Follows the device after an activation was asked for, until it is activated with
// `activeConnection`, fails, or JoinWaitMs have passed. States left over from before (`before`)
// do not count until the device has moved on from them.
int awaitActivation(
    Bus &bus, const QString &device, const QString &activeConnection, const DeviceStatus &before)
{
    DeviceStatus now;
    bool moved = false;
    const auto decided = [&]() {
        now = statusOf(bus, device);
        moved = moved || now.state != before.state || now.reason != before.reason
            || now.activeConnection == activeConnection;
        return moved
            && ((now.state == StateActivated && now.activeConnection == activeConnection)
                || now.state == StateFailed
                || (now.state == StateDisconnected && isLinkReason(now.reason)));
    };
    if (waitUntil(decided, JoinWaitMs) && now.state == StateActivated)
        return static_cast<int>(NetResult::DhcpStarted);
    qCDebug(lcNet, "%s: state %u, reason %u", qUtf8Printable(device), now.state, now.reason);
    const bool atIp = (now.state == StateFailed && isIpReason(now.reason))
        || (now.state >= StateIpConfig && now.state < StateActivated);
    return static_cast<int>(atIp ? NetResult::DhcpFailed : NetResult::LinkTimeout);
}

// The radio on, and the device given time to come up if it was off.
void switchRadioOn(Bus &bus, const QString &device)
{
    if (bus.property(latin1(ManagerPath), ManagerInterface, "WirelessEnabled").toBool())
        return;
    bus.setProperty(latin1(ManagerPath), ManagerInterface, "WirelessEnabled", true);
    waitUntil([&]() { return statusOf(bus, device).state > StateUnavailable; }, RadioWaitMs);
}

// Asks for the device's best profile, the first one it lists. Where the service keeps none for
// the device (images set no-auto-default=*; a user may have deleted "Wired connection 1") it
// refuses to activate, so an empty profile goes with the request, which the service completes
// for the device, as its own command line does for "device connect".
bool activate(Bus &bus, const QString &device)
{
    const QList<QDBusObjectPath> available
        = pathsOf(bus.property(device, DeviceInterface, "AvailableConnections"));
    const QVariant none = pathArgument(QStringLiteral("/"));
    if (available.isEmpty())
        return succeeded(
            refusal(bus.call(latin1(ManagerPath), ManagerInterface, "AddAndActivateConnection",
                { QVariant::fromValue(Profile()), pathArgument(device), none })));
    return succeeded(refusal(bus.call(latin1(ManagerPath), ManagerInterface, "ActivateConnection",
        { pathArgument(available.first().path()), pathArgument(device), none })));
}

void disconnect(const QString &interface)
{
    Bus bus;
    const QString device = devicePath(bus, interface);
    if (!device.isEmpty())
        bus.call(device, DeviceInterface, "Disconnect");
}

WifiAp accessPoint(const QVariantMap &properties)
{
    const uint wpa = properties.value(QStringLiteral("WpaFlags")).toUInt();
    const uint rsn = properties.value(QStringLiteral("RsnFlags")).toUInt();
    NetToolOutput::Protection protection;
    protection.reported = properties.contains(QStringLiteral("Flags"));
    protection.privacy = properties.value(QStringLiteral("Flags")).toUInt() & ApPrivacy;
    protection.wpa = wpa != 0;
    protection.rsn = rsn != 0;
    protection.enterprise = (wpa | rsn) & (KeyMgmt8021x | KeyMgmtSuiteB192);
    protection.sae = rsn & KeyMgmtSae;
    WifiAp ap;
    ap.ssid = QString::fromUtf8(properties.value(QStringLiteral("Ssid")).toByteArray());
    ap.quality
        = static_cast<int>(std::min(properties.value(QStringLiteral("Strength")).toUInt(), 100u));
    ap.encrypted = protection.privacy || protection.wpa || protection.rsn;
    ap.bssid = properties.value(QStringLiteral("HwAddress")).toString().toLower();
    ap.frequency = static_cast<int>(properties.value(QStringLiteral("Frequency")).toUInt());
    ap.security = NetToolOutput::security(protection);
    return ap;
}

QList<QDBusObjectPath> accessPoints(Bus &bus, const QString &device)
{
    return pathsOf(bus.call(device, WirelessInterface, "GetAllAccessPoints").arguments().value(0));
}

// An access point the device sees with that name; empty when there is none.
QString accessPointNamed(Bus &bus, const QString &device, const QByteArray &ssid)
{
    for (const QDBusObjectPath &ap : accessPoints(bus, device)) {
        if (bus.property(ap.path(), AccessPointInterface, "Ssid").toByteArray() == ssid)
            return ap.path();
    }
    return QString();
}

Profile profileOf(Bus &bus, const QString &path)
{
    const QDBusMessage reply = bus.call(path, ProfileInterface, "GetSettings");
    return succeeded(reply) ? qdbus_cast<Profile>(reply.arguments().value(0).value<QDBusArgument>())
                            : Profile();
}

// The active connection of `profile` on the device; empty when the service refused.
QString activateProfile(Bus &bus, const QString &profile, const QString &device)
{
    const QDBusMessage reply
        = refusal(bus.call(latin1(ManagerPath), ManagerInterface, "ActivateConnection",
            { pathArgument(profile), pathArgument(device), pathArgument(QStringLiteral("/")) }));
    return succeeded(reply) ? pathOf(reply.arguments().value(0)) : QString();
}

// The profiles the service keeps whose connection setting has `key` equal to `value`.
QStringList profilesWith(Bus &bus, const char *key, const QVariant &value)
{
    QStringList result;
    const QDBusMessage reply = bus.call(latin1(SettingsPath), SettingsInterface, "ListConnections");
    for (const QDBusObjectPath &path : pathsOf(reply.arguments().value(0))) {
        if (profileOf(bus, path.path()).value(QStringLiteral("connection")).value(latin1(key))
            == value)
            result.append(path.path());
    }
    return result;
}

// The client profile the service keeps for that network name; empty when it has none.
QString profileFor(Bus &bus, const QByteArray &ssid)
{
    const QDBusMessage reply = bus.call(latin1(SettingsPath), SettingsInterface, "ListConnections");
    for (const QDBusObjectPath &path : pathsOf(reply.arguments().value(0))) {
        const Profile profile = profileOf(bus, path.path());
        const QVariantMap wireless = profile.value(latin1(WirelessSetting));
        if (wireless.value(QStringLiteral("ssid")).toByteArray() == ssid
            && wireless.value(QStringLiteral("mode")).toString() != QLatin1String("ap"))
            return path.path();
    }
    return QString();
}

// `profile` (empty for a new one) made to join `ssid` with `passphrase`: WPA-PSK, or open
// when the passphrase is empty.
Profile joining(Profile profile, const QByteArray &ssid, const QString &passphrase, bool hidden)
{
    QVariantMap &connection = profile[QStringLiteral("connection")];
    connection.insert(QStringLiteral("type"), latin1(WirelessSetting));
    if (!connection.contains(QStringLiteral("id")))
        connection.insert(QStringLiteral("id"), QString::fromUtf8(ssid));
    QVariantMap &wireless = profile[latin1(WirelessSetting)];
    wireless.insert(QStringLiteral("ssid"), ssid);
    wireless.insert(QStringLiteral("mode"), QStringLiteral("infrastructure"));
    if (hidden)
        wireless.insert(QStringLiteral("hidden"), true);
    if (passphrase.isEmpty()) {
        wireless.remove(QStringLiteral("security"));
        profile.remove(latin1(SecuritySetting));
    } else {
        profile[latin1(SecuritySetting)]
            = QVariantMap { { QStringLiteral("key-mgmt"), QStringLiteral("wpa-psk") },
                  { QStringLiteral("psk"), passphrase } };
    }
    // The router's leases name the device, as with the tools' DHCP clients; a profile's own
    // choice stays.
    QVariantMap &ipv4 = profile[QStringLiteral("ipv4")];
    if (!ipv4.contains(QStringLiteral("method")))
        ipv4.insert(QStringLiteral("method"), QStringLiteral("auto"));
    if (!ipv4.contains(QStringLiteral("dhcp-send-hostname")))
        ipv4.insert(QStringLiteral("dhcp-send-hostname"), true);
    const QString hostName = NetTools::dhcpHostName();
    if (!ipv4.contains(QStringLiteral("dhcp-hostname")) && !hostName.isEmpty())
        ipv4.insert(QStringLiteral("dhcp-hostname"), hostName);
    return profile;
}

// Our access point's profiles are known by their name.
QString accessPointId(const QString &interface)
{
    return QStringLiteral("zrnet access point ") + interface;
}

// WPA2-PSK (open without a passphrase), the address set by hand: DHCP and DNS come from the
// tools' dnsmasq, which answers every name with the address, as on the tools' access point.
Profile accessPointProfile(const QString &interface, const QString &ssid, const QString &passphrase,
    const QString &address)
{
    Profile profile;
    profile[QStringLiteral("connection")] = QVariantMap {
        { QStringLiteral("id"), accessPointId(interface) },
        { QStringLiteral("type"), latin1(WirelessSetting) },
        { QStringLiteral("interface-name"), interface },
        { QStringLiteral("autoconnect"), false },
    };
    profile[latin1(WirelessSetting)] = QVariantMap { { QStringLiteral("ssid"), ssid.toUtf8() },
        { QStringLiteral("mode"), QStringLiteral("ap") } };
    if (!passphrase.isEmpty()) {
        const QStringList ccmp { QStringLiteral("ccmp") };
        profile[latin1(SecuritySetting)] = QVariantMap {
            { QStringLiteral("key-mgmt"), QStringLiteral("wpa-psk") },
            { QStringLiteral("psk"), passphrase },
            { QStringLiteral("proto"), QStringList { QStringLiteral("rsn") } },
            { QStringLiteral("pairwise"), ccmp },
            { QStringLiteral("group"), ccmp },
        };
    }
    const AddressData addresses { { { QStringLiteral("address"), address },
        { QStringLiteral("prefix"), 24u } } };
    profile[QStringLiteral("ipv4")]
        = QVariantMap { { QStringLiteral("method"), QStringLiteral("manual") },
              { QStringLiteral("address-data"), QVariant::fromValue(addresses) } };
    profile[QStringLiteral("ipv6")]
        = QVariantMap { { QStringLiteral("method"), QStringLiteral("ignore") } };
    return profile;
}

// Adds or updates the profile for `ssid` and asks for it on the device; the active connection,
// empty when the service refused.
QString requestJoin(
    Bus &bus, const QString &device, const QByteArray &ssid, const QString &passphrase)
{
    const QString existing = profileFor(bus, ssid);
    if (!existing.isEmpty()) {
        const Profile updated = joining(profileOf(bus, existing), ssid, passphrase, false);
        if (!succeeded(refusal(
                bus.call(existing, ProfileInterface, "Update", { QVariant::fromValue(updated) }))))
            return QString();
        return activateProfile(bus, existing, device);
    }
    // A network out of sight may still answer a probe for its name.
    const QString ap = accessPointNamed(bus, device, ssid);
    const Profile added = joining(Profile(), ssid, passphrase, ap.isEmpty());
    const QDBusMessage reply
        = refusal(bus.call(latin1(ManagerPath), ManagerInterface, "AddAndActivateConnection",
            { QVariant::fromValue(added), pathArgument(device),
                pathArgument(ap.isEmpty() ? QStringLiteral("/") : ap) }));
    return succeeded(reply) ? pathOf(reply.arguments().value(1)) : QString();
}
} // namespace

bool NetServiceDriver::isPresent()
{
    return NetBus::instance().hasService();
}

NetRoute NetServiceDriver::route(const QString &interface)
{
    const NetBus::Reach reach = NetBus::instance().reach();
    if (reach == NetBus::Reach::Unanswered)
        return failing();
    if (reach == NetBus::Reach::Absent || !NetBus::instance().hasService())
        return NetRoute::Tools;
    Bus bus;
    const QDBusMessage device
        = bus.call(latin1(ManagerPath), ManagerInterface, "GetDeviceByIpIface", { interface });
    if (!succeeded(device))
        return isAbsence(device) ? NetRoute::Tools : failing(device);
    const QDBusMessage managed = bus.call(pathOf(device.arguments().value(0)), PropertiesInterface,
        "Get", { latin1(DeviceInterface), QStringLiteral("Managed") });
    if (!succeeded(managed))
        return failing(managed);
    return managed.arguments().value(0).value<QDBusVariant>().variant().toBool() ? NetRoute::Service
                                                                                 : NetRoute::Tools;
}

bool NetServiceDriver::startEthernet(const QString &interface)
{
    return startDhcp(interface);
}

void NetServiceDriver::stopEthernet(const QString &interface)
{
    disconnect(interface);
}

// The service runs DHCP as part of activating the device.
bool NetServiceDriver::startDhcp(const QString &interface)
{
    Bus bus;
    const QString device = devicePath(bus, interface);
    return !device.isEmpty() && activate(bus, device);
}

void NetServiceDriver::stopDhcp(const QString &interface)
{
    disconnect(interface);
}

void NetServiceDriver::switchWifiOn(const QString &)
{
    Bus bus;
    bus.setProperty(latin1(ManagerPath), ManagerInterface, "WirelessEnabled", true);
}

void NetServiceDriver::switchWifiOff(const QString &interface)
{
    stopAccessPoint(interface);
    Bus bus;
    bus.setProperty(latin1(ManagerPath), ManagerInterface, "WirelessEnabled", false);
}

bool NetServiceDriver::isLinked(const QString &interface)
{
    Bus bus;
    const QString device = devicePath(bus, interface);
    if (device.isEmpty())
        return false;
    const uint state = statusOf(bus, device).state;
    return isUp(state)
        && pathOf(bus.property(device, WirelessInterface, "ActiveAccessPoint"))
        != QLatin1String("/");
}

QString NetServiceDriver::currentNetwork(const QString &interface)
{
    Bus bus;
    const QString device = devicePath(bus, interface);
    const QString ap = device.isEmpty()
        ? QString()
        : pathOf(bus.property(device, WirelessInterface, "ActiveAccessPoint"));
    if (ap.isEmpty() || ap == QLatin1String("/"))
        return QString();
    return QString::fromUtf8(bus.property(ap, AccessPointInterface, "Ssid").toByteArray());
}

QList<WifiAp> NetServiceDriver::scan(const QString &interface)
{
    Bus bus;
    const QString device = devicePath(bus, interface);
    if (device.isEmpty())
        return {};
    // A service too old to report LastScan gives what it has seen so far.
    const QVariant lastScan = bus.property(device, WirelessInterface, "LastScan");
    if (succeeded(bus.call(
            device, WirelessInterface, "RequestScan", { QVariant::fromValue(QVariantMap()) }))
        && lastScan.isValid()) {
        waitUntil([&]() { return bus.property(device, WirelessInterface, "LastScan") != lastScan; },
            ScanWaitMs);
    }
    QList<WifiAp> result;
    for (const QDBusObjectPath &ap : accessPoints(bus, device))
        result.append(accessPoint(bus.properties(ap.path(), AccessPointInterface)));
    return result;
}

int NetServiceDriver::join(const QString &ssid, const QString &passphrase, const QString &interface)
{
    stopAccessPoint(interface); // the radio serves one or the other
    Bus bus;
    const QString device = devicePath(bus, interface);
    if (device.isEmpty())
        return static_cast<int>(NetResult::LinkTimeout);
    switchRadioOn(bus, device);
    const DeviceStatus before = statusOf(bus, device);
    const QString active = requestJoin(bus, device, ssid.toUtf8(), passphrase);
    if (active.isEmpty())
        return static_cast<int>(NetResult::LinkTimeout);
    return awaitActivation(bus, device, active, before);
}

int NetServiceDriver::startAccessPoint(const QString &interface, const QString &ssid,
    const QString &passphrase, const QString &address)
{
    stopAccessPoint(interface); // an earlier one gives way
    Bus bus;
    const QString device = devicePath(bus, interface);
    if (!device.isEmpty()) {
        switchRadioOn(bus, device);
        const DeviceStatus before = statusOf(bus, device);
        // Unsaved: the access point is for this run, not for the next boot.
        const QDBusMessage added
            = refusal(bus.call(latin1(SettingsPath), SettingsInterface, "AddConnectionUnsaved",
                { QVariant::fromValue(accessPointProfile(interface, ssid, passphrase, address)) }));
        const QString active = succeeded(added)
            ? activateProfile(bus, pathOf(added.arguments().value(0)), device)
            : QString();
        if (!active.isEmpty() && awaitActivation(bus, device, active, before) == 0
            && NetAccessPoint::startServices(interface, address))
            return 0;
    }
    qCDebug(lcNet, "access point on %s: the service could not start it; stopping what did",
        qUtf8Printable(interface));
    stopAccessPoint(interface);
    return static_cast<int>(NetResult::AccessPointFailed);
}

bool NetServiceDriver::stopAccessPoint(const QString &interface)
{
    bool gone = NetAccessPoint::stopServices(interface);
    Bus bus;
    for (const QString &profile : profilesWith(bus, "id", accessPointId(interface)))
        gone = succeeded(bus.call(profile, ProfileInterface, "Delete")) && gone;
    return gone;
}

bool NetServiceDriver::isAccessPointActive(const QString &interface)
{
    Bus bus;
    const QString device = devicePath(bus, interface);
    return !device.isEmpty() && statusOf(bus, device).state == StateActivated
        && !profilesWith(bus, "id", accessPointId(interface)).isEmpty()
        && NetAccessPoint::servicesRunning(interface);
}
