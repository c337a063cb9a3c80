#include "nettools_p.h"

#include "netcall_p.h"
#include "netsystem_p.h"
#include "nettooloutput_p.h"
#include "zrlogging_p.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QVector>

#include <algorithm>
#include <functional>

#include <signal.h>

namespace {

enum class Step {
    BringUp,
    TakeDown,
    StartDhcp,
    ReleaseDhcp,
    UnblockWifi,
    EndSupplicants,
    Scan,
    CurrentNetwork,
    LinkTest,
    Passphrase,
    Supplicant,
    SetAddress,
    AccessPoint,
    AccessPointServices,
    ScanBesideAccessPoint,
};

// One way of carrying out a step: a program, looked up the way the controller starts it, or
// kernel files that the library reads and writes itself, which are always at hand.
struct Way
{
    QString program;
    QString shownAs;
    bool builtIn;
};

struct StepWays
{
    Step step;
    QString what;
    QStringList operations;
    QVector<Way> ways; // in order of preference, the classic tool first
};

Way tool(const char *program, const char *shownAs = nullptr)
{
    const QString name = QString::fromLatin1(program);
    return { name, shownAs ? QString::fromLatin1(shownAs) : name, false };
}

Way kernel(const char *path)
{
    return { QString::fromLatin1(path), QString::fromLatin1(path), true };
}

QStringList names(const char *operations)
{
    return QString::fromLatin1(operations).split(QLatin1Char(' '));
}

const QVector<StepWays> &table()
{
    static const QVector<StepWays> steps {
        { Step::BringUp, QStringLiteral("bring an interface up"),
            names("startEthernetInterface initializeWifiInterface connectToAp"),
            { tool("ifconfig"), tool("ip") } },
        { Step::TakeDown, QStringLiteral("take an interface down"),
            names("stopEthernetInterface stopWifiInterface connectToAp"),
            { tool("/sbin/ifconfig"), tool("ip") } },
        { Step::StartDhcp, QStringLiteral("start the DHCP client"),
            names("startDhcp startEthernetInterface connectToAp"),
            { tool("/sbin/dhclient"), tool("dhcpcd"), tool("udhcpc"),
                tool("busybox", "busybox udhcpc") } },
        { Step::ReleaseDhcp, QStringLiteral("release the DHCP lease"),
            names("stopDhcp stopEthernetInterface stopWifiInterface connectToAp"),
            { tool("dhclient"), tool("dhcpcd"), tool("udhcpc", "udhcpc (its pid file)"),
                tool("busybox", "busybox udhcpc (its pid file)") } },
        { Step::UnblockWifi, QStringLiteral("unblock the Wi-Fi radio"),
            names("initializeWifiInterface connectToAp"),
            { tool("rfkill"), kernel("/sys/class/rfkill") } },
        { Step::EndSupplicants, QStringLiteral("end the WPA supplicants"),
            names("stopWifiInterface connectToAp"), { tool("killall"), kernel("/proc") } },
        { Step::Scan, QStringLiteral("scan for access points"), names("apList"),
            { tool("iwlist"), tool("iw") } },
        { Step::CurrentNetwork, QStringLiteral("name the current network"), names("connectedAp"),
            { tool("iwconfig"), tool("iw") } },
        { Step::LinkTest, QStringLiteral("test the Wi-Fi link"),
            names("isWifiConnected connectToAp"), { tool("iw") } },
        { Step::Passphrase, QStringLiteral("turn the passphrase into a key"), names("connectToAp"),
            { tool("wpa_passphrase") } },
        { Step::Supplicant, QStringLiteral("start the WPA supplicant"), names("connectToAp"),
            { tool("/sbin/wpa_supplicant"), tool("wpa_supplicant") } },
        { Step::SetAddress, QStringLiteral("give an interface its address"),
            names("startAccessPoint stopAccessPoint"), { tool("ifconfig"), tool("ip") } },
        { Step::AccessPoint, QStringLiteral("start the access point"), names("startAccessPoint"),
            { tool("hostapd") } },
        { Step::AccessPointServices, QStringLiteral("serve its DHCP and DNS"),
            names("startAccessPoint"), { tool("dnsmasq") } },
        { Step::ScanBesideAccessPoint, QStringLiteral("scan beside the access point"),
            names("apList"), { tool("iw") } },
    };
    return steps;
}

const StepWays &waysOf(Step step)
{
    const QVector<StepWays> &steps = table();
    return *std::find_if(
        steps.cbegin(), steps.cend(), [step](const StepWays &ways) { return ways.step == step; });
}

NetSystem &machine()
{
    return *NetSystem::current();
}

// The first way at hand; its program is empty when there is none.
Way choose(const StepWays &step, QStringList *missing)
{
    for (const Way &way : step.ways) {
        if (way.builtIn || !machine().findProgram(way.program).isEmpty())
            return way;
        missing->append(way.program);
    }
    return { QString(), QString(), false };
}

// What a step without any of its tools records: the first (classic) one by name, the others
// as alternatives.
void recordMissing(const StepWays &step, const QString &consequence)
{
    QStringList tools;
    for (const Way &way : step.ways)
        tools.append(QFileInfo(way.program).fileName());
    tools.removeDuplicates();
    const QString alternatives = tools.size() > 1
        ? QStringLiteral(" (nor %1)").arg(tools.mid(1).join(QLatin1String(", ")))
        : QString();
    NetCall::record(NetFailureReason::ToolMissing, tools.first(),
        QStringLiteral("%1%2 is not installed here, and %3 needs it%4")
            .arg(tools.first(), alternatives, step.what, consequence));
}

// The program (or kernel path) to use for `step` now, and a debug line that says so.
QString chosen(Step step, const QString &interface = QString())
{
    const StepWays &ways = waysOf(step);
    QStringList missing;
    const Way way = choose(ways, &missing);
    const QString what
        = interface.isEmpty() ? ways.what : QStringLiteral("%1 (%2)").arg(ways.what, interface);
    if (way.program.isEmpty()) {
        qCDebug(lcNet, "%s: skipped, none of %s found", qUtf8Printable(what),
            qUtf8Printable(missing.join(QLatin1String(", "))));
        // Without a DHCP client there is no lease to release.
        if (step != Step::ReleaseDhcp)
            recordMissing(ways, QString());
    } else if (missing.isEmpty())
        qCDebug(lcNet, "%s: %s", qUtf8Printable(what), qUtf8Printable(way.shownAs));
    else
        qCDebug(lcNet, "%s: %s, as %s is not found", qUtf8Printable(what),
            qUtf8Printable(way.shownAs), qUtf8Printable(missing.join(QLatin1String(", "))));
    return way.program;
}

bool is(const QString &program, const char *name)
{
    return program == QLatin1String(name);
}

void runIp(const QStringList &arguments)
{
    machine().run(QStringLiteral("ip"), arguments);
}

QString dhclientFile(const char *pathTemplate, const QString &interface)
{
    return QString::fromLatin1(pathTemplate).arg(interface);
}

QString udhcpcPidFile(const QString &interface)
{
    return QStringLiteral("/run/udhcpc.%1.pid").arg(interface);
}

const char DhclientConfig[] = "/etc/dhcp/dhclient.conf";

// Whether a dhclient configuration sends a host name (Debian's does: gethostname()).
bool sendsHostName(const QByteArray &config)
{
    static const QRegularExpression send(QStringLiteral("^\\s*send\\s+host-name\\b"));
    for (const QByteArray &line : config.split('\n')) {
        if (send.match(QString::fromUtf8(line)).hasMatch())
            return true;
    }
    return false;
}

// dhclient sends a host name only where its configuration says so. Where the machine's does
// not, the client gets one of its own that takes the machine's and adds the line.
QStringList dhclientStart(const QString &interface)
{
    QStringList arguments { QStringLiteral("-4"), QStringLiteral("-v"), QStringLiteral("-i"),
        QStringLiteral("-pf"), dhclientFile("/run/dhclient.%1.pid", interface),
        QStringLiteral("-lf"), dhclientFile("/var/lib/dhcp/dhclient.%1.leases", interface),
        QStringLiteral("-I"), QStringLiteral("-df"),
        dhclientFile("/var/lib/dhcp/dhclient6.%1.leases", interface) };
    const QString system = QString::fromLatin1(DhclientConfig);
    if (!NetTools::dhcpHostName().isEmpty() && !sendsHostName(machine().readFile(system))) {
        const QString own = dhclientFile("/run/dhclient.%1.conf", interface);
        QByteArray config = "send host-name = gethostname();\n";
        if (machine().exists(system))
            config.prepend("include \"" + system.toUtf8() + "\";\n");
        if (machine().writePrivateFile(own, config))
            arguments << QStringLiteral("-cf") << own;
    }
    return arguments << interface;
}

QStringList udhcpcStart(const QString &interface)
{
    QStringList arguments { QStringLiteral("-i"), interface, QStringLiteral("-b"),
        QStringLiteral("-p"), udhcpcPidFile(interface) };
    const QString name = NetTools::dhcpHostName();
    if (!name.isEmpty())
        arguments << QStringLiteral("-x") << QStringLiteral("hostname:") + name;
    return arguments;
}

QStringList dhcpcdStart(const QString &interface)
{
    QStringList arguments { QStringLiteral("-4"), QStringLiteral("-b") };
    const QString name = NetTools::dhcpHostName();
    if (!name.isEmpty())
        arguments << QStringLiteral("-h") << name;
    return arguments << interface;
}

// A process's name as the kernel keeps it (what killall matches), empty when it is gone.
QByteArray processName(qint64 pid)
{
    QByteArray name = machine().readFile(QStringLiteral("/proc/%1/comm").arg(pid));
    if (name.endsWith('\n'))
        name.chop(1);
    return name;
}

// Still running: there, and not a zombie waiting for its parent.
bool isRunning(qint64 pid)
{
    const QByteArray stat = machine().readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int nameEnd = stat.lastIndexOf(')');
    return nameEnd >= 0 && stat.size() > nameEnd + 2 && stat.at(nameEnd + 2) != 'Z';
}

// The kernel's name of a busybox applet is busybox, whichever applet it runs: the command line
// tells udhcpc ("udhcpc ...", "/sbin/udhcpc ...", "busybox udhcpc ...") from the others.
bool isUdhcpc(qint64 pid)
{
    const QByteArray name = processName(pid);
    const QList<QByteArray> arguments
        = machine().readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
    const auto runs
        = [&arguments](int i) { return arguments.value(i).split('/').constLast() == "udhcpc"; };
    return (name == "udhcpc" || name == "busybox") && (runs(0) || (name == "busybox" && runs(1)));
}

// Waits up to `msecs` while `holds`; true when it no longer does.
bool waitWhile(const std::function<bool()> &holds, int msecs)
{
    constexpr int PollMs = 100;
    for (int waited = 0; waited < msecs && holds(); waited += PollMs)
        machine().sleep(PollMs);
    return !holds();
}

// Waits up to `msecs` for process `pid` to end; true when it has.
bool waitForEnd(qint64 pid, int msecs)
{
    return waitWhile([pid]() { return isRunning(pid); }, msecs);
}

// Whether `signal` waits to be taken by process `pid` (its SigPnd or ShdPnd mask).
bool isPending(qint64 pid, int signal)
{
    const QByteArray status = machine().readFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.split('\n')) {
        const bool mask = line.startsWith("SigPnd:") || line.startsWith("ShdPnd:");
        if (mask && (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1)
            return true;
    }
    return false;
}

// udhcpc releases its lease on SIGUSR2 and ends on SIGTERM. The pid file may be stale, so the
// process must still be a udhcpc before anything is sent to it.
void releaseUdhcpc(const QString &interface)
{
    constexpr int WaitMs = 3000;
    bool ok = false;
    const qint64 pid = machine().readFile(udhcpcPidFile(interface)).trimmed().toLongLong(&ok);
    if (!ok || pid <= 1)
        return;
    if (!isUdhcpc(pid)) {
        qCDebug(lcNet, "%s names process %lld, which is no udhcpc; left alone",
            qUtf8Printable(udhcpcPidFile(interface)), pid);
        return;
    }
    // Sent together, the two signals reach udhcpc's handlers in the wrong order (SIGTERM's
    // runs inside SIGUSR2's), and it ends without a release: SIGTERM only once it has taken
    // SIGUSR2.
    machine().signalProcess(pid, SIGUSR2);
    waitWhile([pid]() { return isPending(pid, SIGUSR2); }, WaitMs);
    machine().signalProcess(pid, SIGTERM);
    // Like dhclient -r, return once the client is gone, so the release leaves before the link
    // goes down.
    waitForEnd(pid, WaitMs);
}

void unblockThroughSys()
{
    const QString switches = QStringLiteral("/sys/class/rfkill");
    for (const QString &entry : machine().entries(switches)) {
        const QString path = switches + QLatin1Char('/') + entry;
        if (machine().readFile(path + QStringLiteral("/type")).trimmed() != "wlan")
            continue;
        if (!machine().writeFile(path + QStringLiteral("/soft"), "0"))
            qCDebug(lcNet, "%s/soft cannot be written; skipped", qUtf8Printable(path));
    }
}

bool isProcessId(const QString &name)
{
    bool ok = false;
    return name.toLongLong(&ok) > 0 && ok;
}

// The supplicants running here, this process aside.
QList<qint64> supplicants()
{
    const qint64 self = QCoreApplication::applicationPid();
    QList<qint64> found;
    for (const QString &entry : machine().entries(QStringLiteral("/proc"))) {
        const qint64 pid = isProcessId(entry) ? entry.toLongLong() : 0;
        if (pid > 0 && pid != self && processName(pid) == "wpa_supplicant")
            found.append(pid);
    }
    return found;
}

// The interface a supplicant was started for ("-i NAME" or "-iNAME"); empty when it names none.
QByteArray interfaceOf(qint64 pid)
{
    const QList<QByteArray> arguments
        = machine().readFile(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0');
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) == "-i")
            return arguments.value(i + 1);
        if (arguments.at(i).startsWith("-i"))
            return arguments.at(i).mid(2);
    }
    return QByteArray();
}

// Every supplicant, or with `interface` only those started for it.
void endThroughProc(const QString &interface = QString())
{
    for (const qint64 pid : supplicants()) {
        if (interface.isEmpty() || interfaceOf(pid) == interface.toUtf8())
            machine().signalProcess(pid, SIGKILL);
    }
}

// Whether a supplicant runs for an interface other than `interface`.
bool othersHaveSupplicants(const QString &interface)
{
    for (const qint64 pid : supplicants()) {
        const QByteArray name = interfaceOf(pid);
        if (!name.isEmpty() && name != interface.toUtf8())
            return true;
    }
    return false;
}

// A scan's access points; a scan the tool could not make is empty with the failure recorded,
// so that it is not taken for a quiet sky.
QList<WifiAp> scanned(const QString &program, const QStringList &arguments,
    const QString &interface, QList<WifiAp> (*read)(const QByteArray &))
{
    int exitCode = -1;
    const QByteArray output = machine().capture(program, arguments, QByteArray(), &exitCode);
    if (exitCode != 0) {
        NetCall::record(NetFailureReason::ToolFailed, program,
            QStringLiteral("%1 could not scan on %2 (it needs root and the interface up)")
                .arg(program, interface));
        return {};
    }
    return read(output);
}

} // namespace

namespace NetTools {

bool isWifi(const QString &interface)
{
    const QList<NetInterface> all = machine().interfaces();
    const auto found = std::find_if(
        all.cbegin(), all.cend(), [&](const NetInterface &each) { return each.name == interface; });
    return found != all.cend()
        && (found->kind == QNetworkInterface::Wifi
            || machine().exists(QStringLiteral("/sys/class/net/%1/phy80211").arg(interface)));
}

QString runtimeDirectory()
{
    return QStringLiteral("/run/zrnet");
}

void bringUp(const QString &interface)
{
    const QString program = chosen(Step::BringUp, interface);
    if (is(program, "ifconfig"))
        machine().run(program, { interface, QStringLiteral("up") });
    else if (is(program, "ip"))
        runIp({ QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("dev"), interface,
            QStringLiteral("up") });
}

void takeDown(const QString &interface)
{
    const QString program = chosen(Step::TakeDown, interface);
    if (is(program, "/sbin/ifconfig")) {
        machine().run(program, { interface, QStringLiteral("0.0.0.0"), QStringLiteral("down") });
    } else if (is(program, "ip")) {
        runIp(
            { QStringLiteral("addr"), QStringLiteral("flush"), QStringLiteral("dev"), interface });
        runIp({ QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("dev"), interface,
            QStringLiteral("down") });
    }
}

bool startDhcp(const QString &interface)
{
    const QString program = chosen(Step::StartDhcp, interface);
    if (is(program, "/sbin/dhclient"))
        return machine().startDetached(program, dhclientStart(interface));
    if (is(program, "dhcpcd"))
        return machine().startDetached(program, dhcpcdStart(interface));
    if (is(program, "udhcpc"))
        return machine().startDetached(program, udhcpcStart(interface));
    if (is(program, "busybox"))
        return machine().startDetached(
            program, QStringList(QStringLiteral("udhcpc")) + udhcpcStart(interface));
    return false;
}

void releaseDhcp(const QString &interface)
{
    const QString program = chosen(Step::ReleaseDhcp, interface);
    if (is(program, "dhclient")) {
        // The lease is in the file the client was started with: without it dhclient finds
        // nothing to release, ends the client and leaves the lease and the address.
        machine().run(program,
            { QStringLiteral("-pf"), dhclientFile("/run/dhclient.%1.pid", interface),
                QStringLiteral("-lf"), dhclientFile("/var/lib/dhcp/dhclient.%1.leases", interface),
                QStringLiteral("-r"), interface });
        return;
    }
    // dhcpcd -k reaches only an instance started for the same address family.
    if (is(program, "dhcpcd"))
        machine().run(program, { QStringLiteral("-4"), QStringLiteral("-k"), interface });
    // Without dhclient the client may be a udhcpc, whichever tool is found now.
    releaseUdhcpc(interface);
}

void unblockWifi()
{
    const QString program = chosen(Step::UnblockWifi);
    if (is(program, "rfkill"))
        machine().run(program, { QStringLiteral("unblock"), QStringLiteral("wifi") });
    else
        unblockThroughSys();
}

void endSupplicants(const QString &interface)
{
    // The service's own supplicant serves the interfaces it manages, and a supplicant of
    // another interface serves that one: ending them would cut those links.
    if (machine().hasService() || othersHaveSupplicants(interface)) {
        endSupplicantsOf(interface);
        return;
    }
    const QString program = chosen(Step::EndSupplicants);
    if (is(program, "killall"))
        machine().run(program, { QStringLiteral("-9"), QStringLiteral("wpa_supplicant") });
    else
        endThroughProc();
}

void endSupplicantsOf(const QString &interface)
{
    qCDebug(lcNet, "end the WPA supplicants (%s): only those started for it",
        qUtf8Printable(interface));
    endThroughProc(interface);
}

QList<WifiAp> scan(const QString &interface)
{
    const QString program = chosen(Step::Scan, interface);
    if (is(program, "iwlist"))
        return scanned(
            program, { interface, QStringLiteral("scan") }, interface, &NetToolOutput::iwlistScan);
    if (is(program, "iw"))
        return scanned(program, { QStringLiteral("dev"), interface, QStringLiteral("scan") },
            interface, &NetToolOutput::iwScan);
    return {};
}

QString currentNetwork(const QString &interface)
{
    const QString program = chosen(Step::CurrentNetwork, interface);
    if (is(program, "iwconfig"))
        return NetToolOutput::iwconfigEssid(machine().capture(program, { interface }));
    if (is(program, "iw"))
        return NetToolOutput::iwLinkSsid(machine().capture(
            program, { QStringLiteral("dev"), interface, QStringLiteral("link") }));
    return QString();
}

bool setAddress(const QString &interface, const QString &address)
{
    const QString program = chosen(Step::SetAddress, interface);
    if (is(program, "ifconfig"))
        return machine().execute(program,
                   { interface, address, QStringLiteral("netmask"), QStringLiteral("255.255.255.0"),
                       QStringLiteral("up") })
            == 0;
    return is(program, "ip") && removeAddress(interface)
        && machine().execute(program,
               { QStringLiteral("addr"), QStringLiteral("add"), address + QStringLiteral("/24"),
                   QStringLiteral("dev"), interface })
        == 0
        && machine().execute(program,
               { QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("dev"), interface,
                   QStringLiteral("up") })
        == 0;
}

bool removeAddress(const QString &interface)
{
    const QString program = chosen(Step::SetAddress, interface);
    if (is(program, "ifconfig"))
        return machine().execute(program, { interface, QStringLiteral("0.0.0.0") }) == 0;
    return is(program, "ip")
        && machine().execute(program,
               { QStringLiteral("-4"), QStringLiteral("addr"), QStringLiteral("flush"),
                   QStringLiteral("dev"), interface })
        == 0;
}

bool hasAccessPointTools()
{
    QStringList missing;
    for (const Step step : { Step::SetAddress, Step::AccessPoint, Step::AccessPointServices }) {
        if (choose(waysOf(step), &missing).program.isEmpty()) {
            qCDebug(lcNet, "%s: none of %s found", qUtf8Printable(waysOf(step).what),
                qUtf8Printable(missing.join(QLatin1String(", "))));
            recordMissing(waysOf(step), QStringLiteral("; nothing was changed"));
            return false;
        }
    }
    return true;
}

bool startHostapd(const QString &config, const QString &pidFile)
{
    const QString program = chosen(Step::AccessPoint);
    return !program.isEmpty()
        && machine().execute(
               program, { QStringLiteral("-B"), QStringLiteral("-P"), pidFile, config })
        == 0;
}

bool startDnsmasq(const QString &interface, const QString &address, const QString &directory)
{
    const QString program = chosen(Step::AccessPointServices, interface);
    if (program.isEmpty())
        return false;
    // Clients get the rest of the /24: the addresses on the far side of the device's own.
    const QStringList octets = address.split(QLatin1Char('.'));
    const QString net = QStringList(octets.mid(0, 3)).join(QLatin1Char('.')) + QLatin1Char('.');
    const int own = octets.value(3).toInt();
    const QString range = own < 128
        ? net + QString::number(own + 1) + QLatin1Char(',') + net + QStringLiteral("254")
        : net + QStringLiteral("1,") + net + QString::number(own - 1);
    // No configuration of /etc is read and no other address is touched, so a DNS server
    // already running here keeps its port 53 everywhere else.
    return machine().execute(program,
               { QStringLiteral("--conf-file=/dev/null"), QStringLiteral("--no-resolv"),
                   QStringLiteral("--no-hosts"), QStringLiteral("--interface=") + interface,
                   QStringLiteral("--bind-interfaces"), QStringLiteral("--except-interface=lo"),
                   QStringLiteral("--address=/#/") + address,
                   QStringLiteral("--dhcp-range=%1,255.255.255.0,1h").arg(range),
                   QStringLiteral("--dhcp-option=114,http://%1/").arg(address),
                   QStringLiteral("--dhcp-authoritative"),
                   QStringLiteral("--dhcp-leasefile=") + directory
                       + QStringLiteral("/dnsmasq.leases"),
                   QStringLiteral("--pid-file=") + directory + QStringLiteral("/dnsmasq.pid") })
        == 0;
}

QList<WifiAp> scanBesideAccessPoint(const QString &interface)
{
    const QString program = chosen(Step::ScanBesideAccessPoint, interface);
    if (program.isEmpty())
        return {};
    return scanned(program,
        { QStringLiteral("dev"), interface, QStringLiteral("scan"), QStringLiteral("ap-force") },
        interface, &NetToolOutput::iwScan);
}

bool available(const QString &interface, bool derivesKey)
{
    // A DHCP client is looked for after the link: a link without an address is still a link.
    QVector<Step> needed { Step::Supplicant, Step::LinkTest, Step::CurrentNetwork };
    if (derivesKey)
        needed.prepend(Step::Passphrase);
    for (const Step step : needed) {
        QStringList missing;
        if (choose(waysOf(step), &missing).program.isEmpty()) {
            qCDebug(lcNet, "join on %s: %s is missing; nothing was changed",
                qUtf8Printable(interface), qUtf8Printable(missing.join(QLatin1String(", "))));
            recordMissing(waysOf(step), QStringLiteral("; nothing was changed"));
            return false;
        }
    }
    return true;
}

QByteArray derivedKey(const QString &ssid, const QString &passphrase)
{
    const QString program = chosen(Step::Passphrase);
    int exitCode = -1;
    // Handed over on standard input: every local user can read a command line.
    const QByteArray output
        = machine().capture(program, { ssid }, passphrase.toUtf8() + '\n', &exitCode);
    QByteArray config;
    for (const QByteArray &line : output.split('\n')) {
        // The tool repeats the passphrase as a comment; the key alone goes to disk.
        if (!line.trimmed().startsWith("#psk="))
            config += line + '\n';
    }
    config.chop(1);
    if (exitCode == 0 && NetToolOutput::hasKey(config))
        return config;
    NetCall::record(NetFailureReason::ToolFailed, QStringLiteral("wpa_passphrase"),
        QStringLiteral("wpa_passphrase gave no key for this network name and passphrase; "
                       "nothing was changed"));
    return QByteArray();
}

bool startSupplicant(const QString &interface, const QString &config)
{
    const QString program = chosen(Step::Supplicant, interface);
    return !program.isEmpty()
        && machine().startDetached(program,
            { QStringLiteral("-c"), config, QStringLiteral("-i"), interface,
                QStringLiteral("-B") });
}

bool isProcess(qint64 pid, const QByteArray &name)
{
    return pid > 1 && isRunning(pid) && processName(pid) == name;
}

bool endProcess(qint64 pid, const QByteArray &name)
{
    constexpr int GraceMs = 3000;
    constexpr int KillWaitMs = 1000;
    if (!isProcess(pid, name))
        return true;
    machine().signalProcess(pid, SIGTERM);
    if (waitForEnd(pid, GraceMs))
        return true;
    machine().signalProcess(pid, SIGKILL);
    return waitForEnd(pid, KillWaitMs);
}

QString dhcpHostName()
{
    static const QRegularExpression hostName(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,62})(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,62}))*$"));
    constexpr int MaxNameBytes = 253;
    const QString name = machine().hostName();
    return name.size() <= MaxNameBytes && name != QLatin1String("localhost")
            && hostName.match(name).hasMatch()
        ? name
        : QString();
}

QList<NetToolChoice> choices()
{
    QList<NetToolChoice> result;
    for (const StepWays &step : table()) {
        NetToolChoice choice { step.what, step.operations, QString(), QStringList(),
            QStringList() };
        choice.tool = choose(step, &choice.missing).shownAs;
        result.append(choice);
    }
    return result;
}

} // namespace NetTools
