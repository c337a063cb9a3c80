#include "netdriver_p.h"

#include "netaccesspoint_p.h"
#include "netsystem_p.h"
#include "nettools_p.h"

#include "netcall_p.h"

#include <QCoreApplication>

namespace {
constexpr int LinkPollMs = 500;
constexpr int LinkWaitMs = 6000;
constexpr int NotLinked = static_cast<int>(NetResult::LinkTimeout);

const char SupplicantFilePrefix[] = "wpa_supplicant-";

NetSystem &machine()
{
    return *NetSystem::current();
}

// The tools change interfaces only with root or CAP_NET_ADMIN; without, nothing is run.
bool permitted()
{
    if (machine().mayChangeNetwork())
        return true;
    NetCall::record(NetFailureReason::PermissionDenied);
    return false;
}

// The configuration of a network wpa_passphrase has nothing to add to: open, or with its key.
// The name in hex, so that no byte of it can end the quoted form.
QByteArray configWithoutPassphrase(const QString &ssid, const QString &passphrase)
{
    return "network={\n\tssid=" + ssid.toUtf8().toHex() + "\n\t"
        + (passphrase.isEmpty() ? QByteArray("key_mgmt=NONE") : "psk=" + passphrase.toLatin1())
        + "\n}";
}

// The supplicant's configuration for one join: in the runtime folder (owner only), named
// after this process and the interface, and removed when it goes.
class SupplicantFile
{
public:
    explicit SupplicantFile(const QString &interface)
        : path(QStringLiteral("%1/%2%3-%4.conf")
                   .arg(NetTools::runtimeDirectory(), QLatin1String(SupplicantFilePrefix))
                   .arg(QCoreApplication::applicationPid())
                   .arg(interface))
    { }
    ~SupplicantFile() { machine().removeFile(path); }
    SupplicantFile(const SupplicantFile &) = delete;
    SupplicantFile &operator=(const SupplicantFile &) = delete;

    // Written byte for byte: the configuration may hold a network name that is not UTF-8.
    bool write(const QByteArray &config)
    {
        if (machine().makePrivateDirectory(NetTools::runtimeDirectory())
            && machine().writePrivateFile(path, config + '\n'))
            return true;
        NetCall::record(NetFailureReason::PermissionDenied, QString(),
            QStringLiteral("the supplicant's file cannot be written in %1; nothing was changed")
                .arg(NetTools::runtimeDirectory()));
        return false;
    }

    const QString path;
};

bool linkUp(const QString &interface)
{
    const QByteArray link
        = machine().capture(QStringLiteral("iw"), { interface, QStringLiteral("link") });
    return link.toLower().startsWith("connected to");
}

// Polls the link twelve times, every half second. Another supplicant may bring back the
// network the device had: only the one asked for counts.
bool awaitLink(const QString &ssid, const QString &interface)
{
    for (int waited = 0; waited < LinkWaitMs && !NetCall::expired(); waited += LinkPollMs) {
        machine().sleep(NetCall::remainingMs(LinkPollMs));
        if (linkUp(interface) && NetTools::currentNetwork(interface) == ssid)
            return true;
    }
    return false;
}
} // namespace

void NetToolDriver::removeStaleFiles()
{
    const QString directory = NetTools::runtimeDirectory();
    for (const QString &entry : machine().entries(directory)) {
        if (!entry.startsWith(QLatin1String(SupplicantFilePrefix)))
            continue;
        const QString pid
            = entry.mid(int(qstrlen(SupplicantFilePrefix))).section(QLatin1Char('-'), 0, 0);
        if (!machine().exists(QStringLiteral("/proc/") + pid))
            machine().removeFile(directory + QLatin1Char('/') + entry);
    }
}

bool NetToolDriver::startEthernet(const QString &interface)
{
    if (!permitted())
        return false;
    NetTools::bringUp(interface);
    return startDhcp(interface);
}

void NetToolDriver::stopEthernet(const QString &interface)
{
    if (!permitted())
        return;
    stopDhcp(interface);
    NetTools::takeDown(interface);
}

bool NetToolDriver::startDhcp(const QString &interface)
{
    return permitted() && NetTools::startDhcp(interface);
}

void NetToolDriver::stopDhcp(const QString &interface)
{
    if (permitted())
        NetTools::releaseDhcp(interface);
}

void NetToolDriver::switchWifiOn(const QString &interface)
{
    if (!permitted())
        return;
    NetTools::unblockWifi();
    NetTools::bringUp(interface);
}

void NetToolDriver::switchWifiOff(const QString &interface)
{
    if (!permitted())
        return;
    NetAccessPoint::stop(interface);
    NetTools::endSupplicants(interface);
    stopDhcp(interface);
    NetTools::takeDown(interface);
}

bool NetToolDriver::isLinked(const QString &interface)
{
    return linkUp(interface);
}

QString NetToolDriver::currentNetwork(const QString &interface)
{
    return NetTools::currentNetwork(interface);
}

QList<WifiAp> NetToolDriver::scan(const QString &interface)
{
    return NetAccessPoint::isActive(interface) ? NetTools::scanBesideAccessPoint(interface)
                                               : NetTools::scan(interface);
}

// Everything the join needs is checked, and the key derived, before the link it replaces is
// touched.
int NetToolDriver::join(const QString &ssid, const QString &passphrase, const QString &interface)
{
    const bool derives = passphrase.size() >= 8 && passphrase.size() <= 63;
    if (!permitted() || !NetTools::available(interface, derives))
        return NotLinked;
    const QByteArray config = derives ? NetTools::derivedKey(ssid, passphrase)
                                      : configWithoutPassphrase(ssid, passphrase);
    removeStaleFiles();
    SupplicantFile file(interface);
    if (config.isEmpty() || !file.write(config))
        return NotLinked;

    switchWifiOff(interface);
    switchWifiOn(interface);
    NetTools::startSupplicant(interface, file.path);
    // The file stays until the wait is over: a supplicant may read it again as it starts.
    if (awaitLink(ssid, interface))
        return dhcpResult(startDhcp(interface));
    NetCall::record(NetFailureReason::NotAssociated, QString(),
        QStringLiteral("%1 got no link to \"%2\" within six seconds: the passphrase may be "
                       "wrong, or the network out of reach")
            .arg(interface, ssid));
    return NotLinked;
}

int NetToolDriver::startAccessPoint(const QString &interface, const QString &ssid,
    const QString &passphrase, const QString &address)
{
    return NetAccessPoint::start(interface, ssid, passphrase, address);
}

bool NetToolDriver::stopAccessPoint(const QString &interface)
{
    return NetAccessPoint::stop(interface);
}

bool NetToolDriver::isAccessPointActive(const QString &interface)
{
    return NetAccessPoint::isActive(interface);
}
