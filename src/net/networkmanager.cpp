#include "networkmanager.h"

#include "netbus_p.h"
#include "netdriver_p.h"
#include "netsystem_p.h"
#include "nettools_p.h"
#include "zrserviceannouncer.h"

#include <QHostAddress>
#include <QRegularExpression>

#include <algorithm>

namespace {
constexpr int code(NetResult result)
{
    return static_cast<int>(result);
}

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

NetworkManager::NetworkManager()
{
    const QString wifi = defaultWifiInterface();
    if (!wifi.isEmpty())
        initializeWifiInterface(wifi);
}

NetworkManager::~NetworkManager() = default;

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
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Ethernet);
    if (name.isEmpty())
        return code(NetResult::NoInterface);
    return NetDriver::dhcpResult(NetDriver::forInterface(name).startEthernet(name));
}

void NetworkManager::stopEthernetInterface(QString interface)
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Ethernet);
    if (!name.isEmpty())
        NetDriver::forInterface(name).stopEthernet(name);
}

int NetworkManager::startDhcp(QString interface)
{
    NetBus::beginCall();
    if (!isInterfaceName(interface))
        return code(NetResult::DhcpFailed);
    return NetDriver::dhcpResult(NetDriver::forInterface(interface).startDhcp(interface));
}

void NetworkManager::stopDhcp(QString interface)
{
    NetBus::beginCall();
    if (isInterfaceName(interface))
        NetDriver::forInterface(interface).stopDhcp(interface);
}

void NetworkManager::initializeWifiInterface(QString interface)
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    if (!name.isEmpty())
        NetDriver::forInterface(name).switchWifiOn(name);
}

void NetworkManager::stopWifiInterface(QString interface)
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    if (!name.isEmpty())
        NetDriver::forInterface(name).switchWifiOff(name);
}

bool NetworkManager::isWifiConnected(QString interface)
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    return !name.isEmpty() && NetDriver::forInterface(name).isLinked(name);
}

QString NetworkManager::connectedAp()
{
    NetBus::beginCall();
    const QString name = usableName(QString(), QNetworkInterface::Wifi);
    if (name.isEmpty())
        return QString();
    return NetDriver::forInterface(name).currentNetwork(name);
}

QList<WifiAp> NetworkManager::apList()
{
    NetBus::beginCall();
    const QString name = usableName(QString(), QNetworkInterface::Wifi);
    if (name.isEmpty())
        return {};
    return NetDriver::forInterface(name).scan(name);
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
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    if (name.isEmpty())
        return code(NetResult::NoInterface);
    // No link can come up with a name or passphrase the tools cannot take whole: refused
    // before anything is stopped, so the device stays on the network it has.
    if (!isOneLine(ssid) || !isJoinPassphrase(passphrase))
        return code(NetResult::LinkTimeout);
    return NetDriver::forInterface(name).join(ssid, passphrase, name);
}

int NetworkManager::startAccessPoint(const QString &interface, const QString &ssid,
    const QString &passphrase, const QString &address)
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    const QList<NetInterface> wifi = interfacesOfKind(QNetworkInterface::Wifi);
    if (name.isEmpty() || std::none_of(wifi.cbegin(), wifi.cend(), [&](const NetInterface &each) {
            return each.name == name;
        }))
        return code(NetResult::NoInterface);
    if (!isAccessPointName(ssid) || !isWpaPassphrase(passphrase) || !isAccessPointAddress(address))
        return code(NetResult::AccessPointRefused);
    return NetDriver::forInterface(name).startAccessPoint(name, ssid, passphrase, address);
}

bool NetworkManager::stopAccessPoint(const QString &interface)
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    return name.isEmpty() || NetDriver::forInterface(name).stopAccessPoint(name);
}

bool NetworkManager::isAccessPointActive(const QString &interface) const
{
    NetBus::beginCall();
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    return !name.isEmpty() && NetDriver::forInterface(name).isAccessPointActive(name);
}
