#include "netaccesspoint_p.h"

#include "netcall_p.h"
#include "netsystem_p.h"
#include "nettools_p.h"
#include "zrlogging_p.h"

namespace {

NetSystem &machine()
{
    return *NetSystem::current();
}

QString directoryOf(const QString &interface)
{
    return NetTools::runtimeDirectory() + QStringLiteral("/ap-") + interface;
}

QString pidFile(const QString &directory, const char *program)
{
    return QStringLiteral("%1/%2.pid").arg(directory, QLatin1String(program));
}

qint64 pidOf(const QString &directory, const char *program)
{
    bool ok = false;
    const qint64 pid = machine().readFile(pidFile(directory, program)).trimmed().toLongLong(&ok);
    return ok ? pid : 0;
}

// A daemon writes its pid file once it is in the background, which may be just after the
// tool that started it has returned.
bool isRunningFrom(const QString &directory, const char *program)
{
    constexpr int PollMs = 100;
    constexpr int WaitMs = 2000;
    for (int waited = 0;; waited += PollMs) {
        if (NetTools::isProcess(pidOf(directory, program), program))
            return true;
        if (waited >= WaitMs)
            return false;
        machine().sleep(PollMs);
    }
}

// Records that `tool` did not start, or did not stay; false.
bool failedAt(const char *tool)
{
    NetCall::record(NetFailureReason::ToolFailed, QLatin1String(tool),
        QStringLiteral("%1 did not start (is the radio free, and able to serve?)")
            .arg(QLatin1String(tool)));
    return false;
}

} // namespace

namespace NetAccessPoint {

QByteArray hostapdConfig(const QString &interface, const QString &ssid, const QString &passphrase)
{
    // The name goes in hex: no byte of it can end its line or start another one.
    QByteArray config = "interface=" + interface.toUtf8() + "\ndriver=nl80211\nssid2="
        + ssid.toUtf8().toHex() + "\nutf8_ssid=1\nhw_mode=g\nchannel=6\nauth_algs=1\n";
    if (!passphrase.isEmpty()) {
        config += "wpa=2\nwpa_key_mgmt=WPA-PSK\nrsn_pairwise=CCMP\nwpa_passphrase="
            + passphrase.toLatin1() + '\n';
    }
    return config;
}

int start(const QString &interface, const QString &ssid, const QString &passphrase,
    const QString &address)
{
    constexpr int Failed = 1003;
    if (!NetTools::hasAccessPointTools())
        return Failed;
    stop(interface); // an earlier one on this interface gives way
    // A supplicant would fight hostapd for the radio, and the client's lease is void here.
    NetTools::endSupplicantsOf(interface);
    NetTools::releaseDhcp(interface);
    NetTools::unblockWifi();

    const QString directory = directoryOf(interface);
    const QString config = directory + QStringLiteral("/hostapd.conf");
    const bool started = machine().makePrivateDirectory(directory)
        && machine().writePrivateFile(config, hostapdConfig(interface, ssid, passphrase))
        && NetTools::setAddress(interface, address)
        && ((NetTools::startHostapd(config, pidFile(directory, "hostapd"))
                && isRunningFrom(directory, "hostapd"))
            || failedAt("hostapd"))
        && (startServices(interface, address) || failedAt("dnsmasq"));
    if (started)
        return 0;
    qCDebug(
        lcNet, "access point on %s: could not start; stopping what did", qUtf8Printable(interface));
    stop(interface);
    return Failed;
}

bool stop(const QString &interface)
{
    const QString directory = directoryOf(interface);
    if (!machine().exists(directory))
        return true;
    bool ended = true;
    for (const char *program : { "dnsmasq", "hostapd" })
        ended = NetTools::endProcess(pidOf(directory, program), program) && ended;
    const bool unaddressed = NetTools::removeAddress(interface);
    // With a process left, its pid file stays for the next try.
    return ended && machine().removeDirectory(directory) && unaddressed;
}

bool isActive(const QString &interface)
{
    return NetTools::isProcess(pidOf(directoryOf(interface), "hostapd"), "hostapd")
        && servicesRunning(interface);
}

bool startServices(const QString &interface, const QString &address)
{
    const QString directory = directoryOf(interface);
    return machine().makePrivateDirectory(directory)
        && NetTools::startDnsmasq(interface, address, directory)
        && isRunningFrom(directory, "dnsmasq");
}

bool stopServices(const QString &interface)
{
    const QString directory = directoryOf(interface);
    return !machine().exists(directory)
        || (NetTools::endProcess(pidOf(directory, "dnsmasq"), "dnsmasq")
            && machine().removeDirectory(directory));
}

bool servicesRunning(const QString &interface)
{
    return NetTools::isProcess(pidOf(directoryOf(interface), "dnsmasq"), "dnsmasq");
}

} // namespace NetAccessPoint
