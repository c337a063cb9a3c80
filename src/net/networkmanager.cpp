#include "networkmanager.h"

#include "netbus_p.h"
#include "netcall_p.h"
#include "netdriver_p.h"
#include "netmanagerstate_p.h"
#include "netsystem_p.h"
#include "nettools_p.h"
#include "zrserviceannouncer.h"

#include <QHostAddress>
#include <QMap>
#include <QRegularExpression>
#include <QVector>

#include <algorithm>
#include <numeric>

namespace {
constexpr int code(NetResult result)
{
    return static_cast<int>(result);
}

// Each operation's deadline. A join: six seconds of polls and the tools around them.
constexpr int JoinLimitMs = 15000;
constexpr int ScanLimitMs = 15000;
constexpr int ChangeLimitMs = 15000;
constexpr int QueryLimitMs = 5000;
// The service's access point waits up to 30 s for the device before dnsmasq starts.
constexpr int AccessPointLimitMs = 40000;

constexpr int MaxInterfaceNameBytes = 15; // the kernel's IFNAMSIZ less its NUL
constexpr int MaxSsidBytes = 32;
constexpr int MinPassphrase = 8; // WPA's limits for a passphrase
constexpr int MaxPassphrase = 63;

NetSystem &machine()
{
    return *NetSystem::current();
}

// Names end up in argument lists and file paths of tools that run as root, so anything the
// kernel would not accept as an interface name (or a tool would read as an option) is refused.
bool isInterfaceName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.startsWith(QLatin1Char('-')) || name.toUtf8().size() > MaxInterfaceNameBytes)
        return false;
    for (const QChar c : name) {
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char(':') || c.isNull())
            return false;
    }
    return true;
}

QList<NetInterface> interfacesOfKind(QNetworkInterface::InterfaceType kind)
{
    QList<NetInterface> result;
    for (const NetInterface &candidate : machine().interfaces()) {
        if (candidate.kind == kind)
            result.append(candidate);
    }
    return result;
}

QList<QNetworkInterface> handles(const QList<NetInterface> &interfaces)
{
    QList<QNetworkInterface> result;
    for (const NetInterface &each : interfaces)
        result.append(each.handle);
    return result;
}

// Qt reports virtual devices (bridges, veth, tap, ifb) as Ethernet too, and only a port with
// hardware behind it is worth choosing by default.
bool hasDevice(const NetInterface &interface)
{
    return isInterfaceName(interface.name)
        && machine().exists(QStringLiteral("/sys/class/net/%1/device").arg(interface.name));
}

// The first interface of `kind` backed by a device, else the first one; null when there is none.
QString defaultName(QNetworkInterface::InterfaceType kind)
{
    const QList<NetInterface> found = interfacesOfKind(kind);
    for (const NetInterface &candidate : found) {
        if (hasDevice(candidate))
            return candidate.name;
    }
    return found.isEmpty() ? QString() : found.first().name;
}

// The interface an operation works on: an empty argument means the default one of `kind`.
// Null when there is none or the name is unusable.
QString usableName(const QString &interface, QNetworkInterface::InterfaceType kind)
{
    const QString name = interface.isEmpty() ? defaultName(kind) : interface;
    return isInterfaceName(name) ? name : QString();
}

QString kindName(QNetworkInterface::InterfaceType kind)
{
    return kind == QNetworkInterface::Wifi ? QStringLiteral("Wi-Fi") : QStringLiteral("Ethernet");
}

// The interface an operation works on: an empty argument means the default one of `kind`, and
// a name must be an interface of this machine, a Wi-Fi one for `wifiOnly`. Null, with the
// reason recorded, when there is no such interface; no tool has run then.
QString resolve(const QString &interface, QNetworkInterface::InterfaceType kind, bool wifiOnly)
{
    if (interface.isEmpty()) {
        const QString name = usableName(interface, kind);
        if (name.isEmpty())
            NetCall::record(NetFailureReason::NoSuchInterface, QString(),
                QStringLiteral("there is no %1 interface here").arg(kindName(kind)));
        return name;
    }
    const QList<NetInterface> all = machine().interfaces();
    if (!isInterfaceName(interface)
        || std::none_of(all.cbegin(), all.cend(),
            [&](const NetInterface &each) { return each.name == interface; })) {
        NetCall::record(NetFailureReason::NoSuchInterface, interface);
        return QString();
    }
    if (wifiOnly && !NetTools::isWifi(interface)) {
        NetCall::record(NetFailureReason::NotWifi, interface);
        return QString();
    }
    return interface;
}

// The reason a result code gives where nothing more precise was recorded.
NetFailureReason reasonOf(int result)
{
    switch (NetResult(result)) {
    case NetResult::DhcpStarted:
        return NetFailureReason::None;
    case NetResult::LinkTimeout:
        return NetFailureReason::NotAssociated;
    case NetResult::DhcpFailed:
        return NetFailureReason::DhcpFailed;
    case NetResult::NoInterface:
        return NetFailureReason::NoSuchInterface;
    case NetResult::AccessPointFailed:
        return NetFailureReason::ToolFailed;
    case NetResult::AccessPointRefused:
        return NetFailureReason::InvalidPassphrase;
    }
    return NetFailureReason::None;
}

// `result` returned, and reported: `success` for 0, else why it failed, in the code's own
// words where nothing more precise was recorded.
int reported(NetCall &call, int result, const QString &success = QString())
{
    call.conclude(result == 0, success, reasonOf(result), netResultText(NetResult(result)));
    return result;
}

// An operation without a result succeeded unless something failed on the way.
void concluded(NetCall &call, const QString &success)
{
    call.conclude(NetCall::recorded() == NetFailureReason::None, success);
}

// The queue an asynchronous operation waits in: its interface's, named as resolved now.
QString queueName(const QString &interface)
{
    return interface.isEmpty() ? defaultName(QNetworkInterface::Wifi) : interface;
}

// The passphrase goes to the tool as one line of its standard input: a line break or NUL in it
// would silently cut it short, and the network would be joined with the part before it. The
// network name comes back verbatim in the tool's output, the supplicant's configuration, where
// a line break would start lines of the name's choosing; a name read from iw may hold one.
bool isOneLine(const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c.isNull())
            return false;
    }
    return true;
}

bool isAccessPointName(const QString &ssid)
{
    const int bytes = ssid.toUtf8().size();
    return bytes >= 1 && bytes <= MaxSsidBytes;
}

bool isWpaPassphrase(const QString &passphrase)
{
    if (passphrase.isEmpty())
        return true; // an open network
    if (passphrase.size() < MinPassphrase || passphrase.size() > MaxPassphrase)
        return false;
    return std::all_of(passphrase.cbegin(), passphrase.cend(),
        [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7e; });
}

// What a join can use: what an access point takes (wpa_passphrase would cut a longer one to 63
// and refuses an empty one), or a key of 64 hex digits, which the supplicant takes as it is.
bool isJoinPassphrase(const QString &passphrase)
{
    return isWpaPassphrase(passphrase)
        || QRegularExpression(QStringLiteral("^[0-9A-Fa-f]{64}$")).match(passphrase).hasMatch();
}

// A host of its /24, written the one way the tools will be given it.
bool isAccessPointAddress(const QString &address)
{
    const QHostAddress parsed(address);
    const quint32 host = parsed.toIPv4Address() & 0xff;
    return parsed.protocol() == QAbstractSocket::IPv4Protocol && parsed.toString() == address
        && !parsed.isLoopback() && !parsed.isMulticast() && host != 0 && host != 0xff;
}

QStringList namesOf(const QList<NetInterface> &interfaces)
{
    QStringList result;
    for (const NetInterface &each : interfaces)
        result.append(each.name);
    return result;
}

// Holds the interface for a change, as NetCall::hold does; a manager that only reads holds
// nothing, so that no change runs past this point.
bool holdForChange(const NetworkManager *manager, NetCall &call, const QString &interface)
{
    if (manager->access() == NetAccess::ReadOnly) {
        NetCall::record(NetFailureReason::ReadOnly, interface);
        return false;
    }
    return call.hold(interface);
}

// A step concerns Ethernet interfaces too when one of its operations works on them.
bool concernsEthernet(const NetToolChoice &choice)
{
    for (const QString &operation : choice.operations) {
        if (operation.contains(QLatin1String("Ethernet"))
            || operation.contains(QLatin1String("Dhcp")))
            return true;
    }
    return false;
}
} // namespace

QString netResultText(NetResult result)
{
    switch (result) {
    case NetResult::DhcpStarted:
        return QStringLiteral("connected; DHCP started");
    case NetResult::LinkTimeout:
        return QStringLiteral("the Wi-Fi link did not come up (wrong passphrase or out of range)");
    case NetResult::DhcpFailed:
        return QStringLiteral("DHCP could not start");
    case NetResult::NoInterface:
        return QStringLiteral("no usable network interface");
    case NetResult::AccessPointFailed:
        return QStringLiteral("the access point could not start");
    case NetResult::AccessPointRefused:
        return QStringLiteral("refused: the network name must be 1 to 32 bytes, the passphrase "
                              "empty or 8 to 63 printable ASCII characters");
    }
    return QStringLiteral("unknown result");
}

NetworkManager::NetworkManager() : NetworkManager(NetAccess::ReadWrite) { }

NetworkManager::NetworkManager(NetAccess access)
{
    qRegisterMetaType<WifiAp>();
    qRegisterMetaType<QList<WifiAp>>();
    new NetManagerState(this, access);
    if (access == NetAccess::ReadOnly)
        return;
    NetToolDriver::removeStaleFiles();
    const QString wifi = defaultWifiInterface();
    if (!wifi.isEmpty())
        initializeWifiInterface(wifi);
}

NetworkManager::~NetworkManager()
{
    NetManagerState::of(this)->shutDown();
}

// Once shut down, nothing of it runs any more: what it may do no longer matters.
NetAccess NetworkManager::access() const
{
    const NetManagerState *state = NetManagerState::of(this);
    return state ? state->access() : NetAccess::ReadOnly;
}

QList<QNetworkInterface> NetworkManager::wifiInterfaces()
{
    return handles(interfacesOfKind(QNetworkInterface::Wifi));
}

QList<QNetworkInterface> NetworkManager::ethernetInterfaces()
{
    return handles(interfacesOfKind(QNetworkInterface::Ethernet));
}

QString NetworkManager::defaultWifiInterface()
{
    return defaultName(QNetworkInterface::Wifi);
}

QString NetworkManager::defaultEthernetInterface()
{
    return defaultName(QNetworkInterface::Ethernet);
}

int NetworkManager::startEthernetInterface(QString interface)
{
    NetCall call(ChangeLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Ethernet, false);
    if (name.isEmpty() || !holdForChange(this, call, name))
        return reported(
            call, code(name.isEmpty() ? NetResult::NoInterface : NetResult::DhcpFailed));
    const int result = NetDriver::dhcpResult(NetDriver::forInterface(name).startEthernet(name));
    // Without a carrier the client waits for a cable: worth saying, not a failure.
    const bool carrier
        = machine().readFile(QStringLiteral("/sys/class/net/%1/carrier").arg(name)).trimmed()
        != "0";
    return reported(call, result,
        carrier ? QStringLiteral("%1 is up; DHCP started").arg(name)
                : QStringLiteral("%1 is up but has no carrier (is the cable in?); the DHCP "
                                 "client was started and waits for one")
                      .arg(name));
}

void NetworkManager::stopEthernetInterface(QString interface)
{
    NetCall call(ChangeLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Ethernet, false);
    if (!name.isEmpty() && holdForChange(this, call, name))
        NetDriver::forInterface(name).stopEthernet(name);
    concluded(call, QStringLiteral("%1 is down").arg(name));
}

// No default here: an empty name is no interface, and starts nothing.
int NetworkManager::startDhcp(QString interface)
{
    NetCall call(ChangeLimitMs);
    const QString name = interface.isEmpty() ? QString() : resolve(interface, {}, false);
    if (interface.isEmpty() || name.isEmpty() || !holdForChange(this, call, name))
        return reported(call,
            code(name.isEmpty() && !interface.isEmpty() ? NetResult::NoInterface
                                                        : NetResult::DhcpFailed));
    return reported(call, NetDriver::dhcpResult(NetDriver::forInterface(name).startDhcp(name)),
        QStringLiteral("DHCP started on %1").arg(name));
}

void NetworkManager::stopDhcp(QString interface)
{
    NetCall call(ChangeLimitMs);
    const QString name = interface.isEmpty() ? QString() : resolve(interface, {}, false);
    if (!name.isEmpty() && holdForChange(this, call, name))
        NetDriver::forInterface(name).stopDhcp(name);
    concluded(call, QStringLiteral("the DHCP lease of %1 was released").arg(name));
}

void NetworkManager::initializeWifiInterface(QString interface)
{
    NetCall call(ChangeLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Wifi, true);
    if (!name.isEmpty() && holdForChange(this, call, name))
        NetDriver::forInterface(name).switchWifiOn(name);
    concluded(call, QStringLiteral("%1 is on").arg(name));
}

void NetworkManager::stopWifiInterface(QString interface)
{
    NetCall call(ChangeLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Wifi, true);
    if (!name.isEmpty() && holdForChange(this, call, name))
        NetDriver::forInterface(name).switchWifiOff(name);
    concluded(call, QStringLiteral("%1 is off").arg(name));
}

bool NetworkManager::isWifiConnected(QString interface)
{
    NetCall call(QueryLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Wifi, true);
    const bool linked = !name.isEmpty() && NetDriver::forInterface(name).isLinked(name);
    concluded(call,
        linked ? QStringLiteral("%1 is linked").arg(name)
               : QStringLiteral("%1 is not linked").arg(name));
    return linked;
}

QString NetworkManager::connectedAp()
{
    return connectedAp(QString());
}

QString NetworkManager::connectedAp(const QString &interface)
{
    NetCall call(QueryLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Wifi, true);
    const QString network
        = name.isEmpty() ? QString() : NetDriver::forInterface(name).currentNetwork(name);
    concluded(call, QStringLiteral("%1 is on \"%2\"").arg(name, network));
    return network;
}

QList<WifiAp> NetworkManager::apList()
{
    return apList(QString());
}

QList<WifiAp> NetworkManager::apList(const QString &interface)
{
    NetCall call(ScanLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Wifi, true);
    const QList<WifiAp> aps
        = name.isEmpty() ? QList<WifiAp>() : NetDriver::forInterface(name).scan(name);
    concluded(call, QStringLiteral("%1 sees %2 access points").arg(name).arg(aps.size()));
    return aps;
}

QList<WifiAp> NetworkManager::networks(const QString &interface)
{
    return networksIn(apList(interface));
}

QList<WifiAp> NetworkManager::networksIn(const QList<WifiAp> &aps, QList<int> *apCounts)
{
    QList<WifiAp> strongest;
    QList<int> counts;
    QMap<QPair<QString, bool>, int> seen;
    for (const WifiAp &ap : aps) {
        if (ap.ssid.isEmpty())
            continue; // a hidden network: nothing to show or to pick
        const auto key = qMakePair(ap.ssid, ap.encrypted);
        if (!seen.contains(key)) {
            seen.insert(key, strongest.size());
            strongest.append(ap);
            counts.append(0);
        }
        const int at = seen.value(key);
        if (++counts[at] > 1 && ap.quality > strongest.at(at).quality)
            strongest[at] = ap;
    }
    QVector<int> order(strongest.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
        [&](int a, int b) { return strongest.at(a).quality > strongest.at(b).quality; });
    QList<WifiAp> result;
    for (const int i : order) {
        result.append(strongest.at(i));
        if (apCounts)
            apCounts->append(counts.at(i));
    }
    return result;
}

QString NetworkManager::drivenBy(QString interface)
{
    NetBus::beginCall();
    switch (isInterfaceName(interface) ? machine().route(interface) : NetRoute::Tools) {
    case NetRoute::Service:
        return NetDriver::serviceName();
    case NetRoute::Failing:
        return NetDriver::failingName();
    case NetRoute::Tools:
        break;
    }
    return QStringLiteral("tools");
}

bool NetworkManager::lastCallServiceUnavailable()
{
    return NetBus::failed();
}

QList<NetToolChoice> NetworkManager::toolChoices()
{
    NetBus::beginCall();
    QStringList wifi = namesOf(interfacesOfKind(QNetworkInterface::Wifi));
    QStringList ethernet = namesOf(interfacesOfKind(QNetworkInterface::Ethernet));
    QStringList managed;
    for (const QString &name : wifi + ethernet) {
        if (isInterfaceName(name) && machine().route(name) == NetRoute::Service)
            managed.append(name);
    }
    QList<NetToolChoice> choices = NetTools::choices();
    for (NetToolChoice &choice : choices) {
        const QStringList concerned = concernsEthernet(choice) ? wifi + ethernet : wifi;
        for (const QString &name : concerned) {
            if (managed.contains(name))
                choice.viaService.append(name);
        }
        // The service's access point still takes the tools' dnsmasq for DHCP and DNS.
        if (choice.tool == QLatin1String("dnsmasq")
            || choice.missing.contains(QLatin1String("dnsmasq")))
            choice.viaService.clear();
        // The tools are not needed where the service carries the step for every interface.
        if (!concerned.isEmpty() && choice.viaService.size() == concerned.size()) {
            choice.tool = NetDriver::serviceName();
            choice.missing.clear();
        }
    }
    NetToolChoice announcing { QStringLiteral("announce the device by mDNS"),
        { QStringLiteral("ZRServiceAnnouncer::announce") }, QString(), QStringList(),
        QStringList() };
    if (ZRServiceAnnouncer::isAvailable())
        announcing.tool = QStringLiteral("avahi-daemon (D-Bus)");
    else
        announcing.missing.append(QStringLiteral("avahi-daemon"));
    choices.append(announcing);
    return choices;
}

int NetworkManager::connectToAp(QString ssid, QString passphrase, QString interface)
{
    NetCall call(JoinLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Wifi, true);
    if (name.isEmpty())
        return reported(call, code(NetResult::NoInterface));
    // No link can come up with a name or passphrase the tools cannot take whole: refused
    // before anything is stopped, so the device stays on the network it has.
    if (!isOneLine(ssid))
        NetCall::record(NetFailureReason::InvalidPassphrase, QString(),
            QStringLiteral("the network name cannot hold a line break or NUL; nothing was "
                           "changed"));
    else if (!isJoinPassphrase(passphrase))
        NetCall::record(NetFailureReason::InvalidPassphrase);
    if (NetCall::recorded() != NetFailureReason::None || !holdForChange(this, call, name))
        return reported(call, code(NetResult::LinkTimeout));
    return reported(call, NetDriver::forInterface(name).join(ssid, passphrase, name),
        netResultText(NetResult::DhcpStarted));
}

int NetworkManager::startAccessPoint(const QString &interface, const QString &ssid,
    const QString &passphrase, const QString &address)
{
    NetCall call(AccessPointLimitMs);
    const QString name = resolve(interface, QNetworkInterface::Wifi, true);
    if (name.isEmpty())
        return reported(call, code(NetResult::NoInterface));
    if (!isAccessPointName(ssid) || !isWpaPassphrase(passphrase) || !isAccessPointAddress(address))
        return reported(call, code(NetResult::AccessPointRefused));
    if (!holdForChange(this, call, name))
        return reported(call, code(NetResult::AccessPointFailed));
    const int result
        = NetDriver::forInterface(name).startAccessPoint(name, ssid, passphrase, address);
    if (result == 0)
        NetManagerState::announceAccessPoint(name, true);
    return reported(call, result,
        QStringLiteral("access point \"%1\" is up on %2; the device is at %3")
            .arg(ssid, name, address));
}

bool NetworkManager::stopAccessPoint(const QString &interface)
{
    NetCall call(AccessPointLimitMs);
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    const bool gone = name.isEmpty()
        || (holdForChange(this, call, name) && NetDriver::forInterface(name).stopAccessPoint(name));
    if (!name.isEmpty() && access() == NetAccess::ReadWrite)
        NetManagerState::announceAccessPoint(name, false);
    call.conclude(gone, QStringLiteral("no access point is left on %1").arg(name),
        NetFailureReason::ToolFailed,
        QStringLiteral("the access point on %1 could not be stopped entirely").arg(name));
    return gone;
}

bool NetworkManager::isAccessPointActive(const QString &interface) const
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    return !name.isEmpty() && NetDriver::forInterface(name).isAccessPointActive(name);
}

// The jobs use the state, not the manager's lookup: the manager waits for them as it goes.
void NetworkManager::scanAsync(const QString &interface)
{
    NetManagerState *state = NetManagerState::of(this);
    const QString name = queueName(interface);
    state->submit(name, [this, state, interface, name] {
        const QList<WifiAp> aps = apList(interface);
        state->deliver(NetCall::last(), [this, name, aps] { emit scanFinished(name, aps); });
    });
}

void NetworkManager::joinAsync(
    const QString &ssid, const QString &passphrase, const QString &interface)
{
    NetManagerState *state = NetManagerState::of(this);
    const QString name = queueName(interface);
    state->submit(name, [this, state, ssid, passphrase, interface, name] {
        const int result = connectToAp(ssid, passphrase, interface);
        state->deliver(NetCall::last(), [this, name, result] { emit joinFinished(name, result); });
    });
}

void NetworkManager::startAccessPointAsync(const QString &interface, const QString &ssid,
    const QString &passphrase, const QString &address)
{
    NetManagerState *state = NetManagerState::of(this);
    const QString name = queueName(interface);
    state->submit(name, [=] {
        const int result = startAccessPoint(interface, ssid, passphrase, address);
        state->deliver(
            NetCall::last(), [this, name, result] { emit accessPointStarted(name, result); });
    });
}

NetFailure NetworkManager::lastFailure()
{
    return NetCall::last();
}

void NetworkManager::connectNotify(const QMetaMethod &)
{
    if (NetManagerState *state = NetManagerState::of(this))
        state->updateWatch();
}

void NetworkManager::disconnectNotify(const QMetaMethod &)
{
    if (NetManagerState *state = NetManagerState::of(this))
        state->updateWatch();
}
