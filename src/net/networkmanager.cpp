#include "networkmanager.h"

#include "netsystem_p.h"
#include "nettools_p.h"
#include "zrlogging_p.h"

#include <QRegularExpression>
#include <QTemporaryFile>

#include <algorithm>

namespace {
constexpr int code(NetResult result)
{
    return static_cast<int>(result);
}

constexpr int LinkPollMs = 500;
constexpr int LinkWaitMs = 6000;
constexpr int MaxInterfaceNameBytes = 15; // the kernel's IFNAMSIZ less its NUL

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

// What a join can use: empty for an open network, 8 to 63 printable ASCII characters for
// wpa_passphrase (which would cut a longer one to 63 and refuses an empty one), or a key of 64
// hex digits, which the supplicant takes as it is.
bool isPassphrase(const QString &passphrase)
{
    if (passphrase.isEmpty()
        || QRegularExpression(QStringLiteral("^[0-9A-Fa-f]{64}$")).match(passphrase).hasMatch())
        return true;
    if (passphrase.size() < 8 || passphrase.size() > 63)
        return false;
    return std::all_of(passphrase.cbegin(), passphrase.cend(),
        [](QChar c) { return c >= QLatin1Char(' ') && c <= QLatin1Char('~'); });
}

// The configuration of a network wpa_passphrase has nothing to add to: open, or with its key.
// The name in hex, so that no byte of it can end the quoted form.
QByteArray configWithoutPassphrase(const QString &ssid, const QString &passphrase)
{
    return "network={\n\tssid=" + ssid.toUtf8().toHex() + "\n\t"
        + (passphrase.isEmpty() ? QByteArray("key_mgmt=NONE") : "psk=" + passphrase.toLatin1())
        + "\n}";
}

// Written byte for byte: the configuration may hold a network name that is not UTF-8.
void writeSupplicantConfig(QTemporaryFile &file, const QByteArray &config)
{
    if (file.open()) {
        file.write(config + '\n');
        file.flush();
    }
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
    const QString name = usableName(interface, QNetworkInterface::Ethernet);
    if (name.isEmpty())
        return code(NetResult::NoInterface);
    NetTools::bringUp(name);
    return startDhcp(name);
}

void NetworkManager::stopEthernetInterface(QString interface)
{
    const QString name = usableName(interface, QNetworkInterface::Ethernet);
    if (name.isEmpty())
        return;
    stopDhcp(name);
    NetTools::takeDown(name);
}

int NetworkManager::startDhcp(QString interface)
{
    if (!isInterfaceName(interface) || !NetTools::startDhcp(interface))
        return code(NetResult::DhcpFailed);
    qCDebug(lcNet, "Success!");
    return code(NetResult::DhcpStarted);
}

void NetworkManager::stopDhcp(QString interface)
{
    if (isInterfaceName(interface))
        NetTools::releaseDhcp(interface);
}

void NetworkManager::initializeWifiInterface(QString interface)
{
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    if (name.isEmpty())
        return;
    NetTools::unblockWifi();
    NetTools::bringUp(name);
}

void NetworkManager::stopWifiInterface(QString interface)
{
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    if (name.isEmpty())
        return;
    NetTools::endSupplicants();
    stopDhcp(name);
    NetTools::takeDown(name);
}

bool NetworkManager::isWifiConnected(QString interface)
{
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    if (name.isEmpty())
        return false;
    const QByteArray link
        = machine().capture(QStringLiteral("iw"), { name, QStringLiteral("link") });
    return link.toLower().startsWith("connected to");
}

QString NetworkManager::connectedAp()
{
    const QString name = usableName(QString(), QNetworkInterface::Wifi);
    if (name.isEmpty())
        return QString();
    return NetTools::currentNetwork(name);
}

QList<WifiAp> NetworkManager::apList()
{
    const QString name = usableName(QString(), QNetworkInterface::Wifi);
    if (name.isEmpty())
        return {};
    return NetTools::scan(name);
}

QList<NetToolChoice> NetworkManager::toolChoices()
{
    return NetTools::choices();
}

int NetworkManager::connectToAp(QString ssid, QString passphrase, QString interface)
{
    const QString name = usableName(interface, QNetworkInterface::Wifi);
    if (name.isEmpty())
        return code(NetResult::NoInterface);
    // No link can come up with a name or passphrase the tools cannot take whole: refused
    // before anything is stopped, so the device stays on the network it has.
    if (!isOneLine(ssid) || !isPassphrase(passphrase))
        return code(NetResult::LinkTimeout);
    stopWifiInterface(name);
    initializeWifiInterface(name);
    // Handed over on standard input: every local user can read a command line.
    const QByteArray config = passphrase.size() >= 8 && passphrase.size() <= 63
        ? machine().capture(QStringLiteral("wpa_passphrase"), { ssid }, passphrase.toUtf8() + '\n')
        : configWithoutPassphrase(ssid, passphrase);

    QTemporaryFile file; // owner-only, removed when the call returns
    writeSupplicantConfig(file, config);
    machine().startDetached(QStringLiteral("/sbin/wpa_supplicant"),
        { QStringLiteral("-c"), file.fileName(), QStringLiteral("-i"), name,
            QStringLiteral("-B") });

    // Another supplicant may bring back the network the device had: only the one asked for
    // counts.
    bool connected = false;
    for (int remaining = LinkWaitMs; !connected && remaining > 0; remaining -= LinkPollMs) {
        machine().sleep(LinkPollMs);
        connected = isWifiConnected(name) && NetTools::currentNetwork(name) == ssid;
    }
    return connected ? startDhcp(name) : code(NetResult::LinkTimeout);
}
