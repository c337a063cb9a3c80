#include "netdriver_p.h"

#include "netaccesspoint_p.h"
#include "netsystem_p.h"
#include "nettools_p.h"

#include <QTemporaryFile>

namespace {
constexpr int LinkPollMs = 500;
constexpr int LinkWaitMs = 6000;

NetSystem &machine()
{
    return *NetSystem::current();
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

bool NetToolDriver::startEthernet(const QString &interface)
{
    NetTools::bringUp(interface);
    return startDhcp(interface);
}

void NetToolDriver::stopEthernet(const QString &interface)
{
    stopDhcp(interface);
    NetTools::takeDown(interface);
}

bool NetToolDriver::startDhcp(const QString &interface)
{
    return NetTools::startDhcp(interface);
}

void NetToolDriver::stopDhcp(const QString &interface)
{
    NetTools::releaseDhcp(interface);
}

void NetToolDriver::switchWifiOn(const QString &interface)
{
    NetTools::unblockWifi();
    NetTools::bringUp(interface);
}

void NetToolDriver::switchWifiOff(const QString &interface)
{
    NetAccessPoint::stop(interface);
    NetTools::endSupplicants(interface);
    stopDhcp(interface);
    NetTools::takeDown(interface);
}

bool NetToolDriver::isLinked(const QString &interface)
{
    const QByteArray link
        = machine().capture(QStringLiteral("iw"), { interface, QStringLiteral("link") });
    return link.toLower().startsWith("connected to");
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

int NetToolDriver::join(const QString &ssid, const QString &passphrase, const QString &interface)
{
    switchWifiOff(interface);
    switchWifiOn(interface);
    // Handed over on standard input: every local user can read a command line.
    const QByteArray config = passphrase.size() >= 8 && passphrase.size() <= 63
        ? machine().capture(QStringLiteral("wpa_passphrase"), { ssid }, passphrase.toUtf8() + '\n')
        : configWithoutPassphrase(ssid, passphrase);

    QTemporaryFile file; // owner-only, removed when the call returns
    writeSupplicantConfig(file, config);
    machine().startDetached(QStringLiteral("/sbin/wpa_supplicant"),
        { QStringLiteral("-c"), file.fileName(), QStringLiteral("-i"), interface,
            QStringLiteral("-B") });

    // Another supplicant may bring back the network the device had: only the one asked for
    // counts.
    bool connected = false;
    for (int remaining = LinkWaitMs; !connected && remaining > 0; remaining -= LinkPollMs) {
        machine().sleep(LinkPollMs);
        connected = isLinked(interface) && currentNetwork(interface) == ssid;
    }
    return connected ? dhcpResult(startDhcp(interface)) : static_cast<int>(NetResult::LinkTimeout);
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
