// netctl: look at the machine's network interfaces, scan for Wi-Fi networks, join one and
// start DHCP, watch what changes, all through NetworkManager; doctor tells which tool each step
// takes here, and status which interfaces the NetworkManager service drives. announce publishes
// a service of this device by multicast DNS (through avahi-daemon) until interrupted.
//
// Note: like every program that creates a NetworkManager, netctl switches the first Wi-Fi
// interface on when it starts; without root rights the tools refuse and nothing changes.
#include <networkmanager.h>
#include <zrpassword.h>
#include <zrserviceannouncer.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include "../common/quiet.h"
#include "../common/serveuntilsignal.h"

#include <csignal>
#include <cstdio>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace {
QTextStream out(stdout);
QTextStream err(stderr);
QString program = QStringLiteral("netctl"); // as it was started: installed, zrnet-netctl

const char Usage[] // %1: the program
    = "usage: %1 list               interfaces, their kind and the defaults\n"
      "       %1 status             link state and the current Wi-Fi network\n"
      "       %1 scan [IFACE]       Wi-Fi networks in reach, each once\n"
      "       %1 join SSID [IFACE]  join a WPA network (asks for the passphrase)\n"
      "       %1 dhcp IFACE         start the DHCP client on IFACE\n"
      "       %1 release IFACE      release the DHCP lease on IFACE and end its client\n"
      "       %1 ethernet start|stop IFACE  bring IFACE up with DHCP, or release and take it "
      "down\n"
      "       %1 ap start IFACE SSID  make IFACE an access point (asks for the passphrase;\n"
      "                                 empty for an open network)\n"
      "       %1 ap stop IFACE      end the access point on IFACE\n"
      "       %1 watch [SECONDS]    print each change of links, addresses, networks and access "
      "points\n"
      "       %1 doctor             the tool (or service) each step takes here, what is "
      "missing\n"
      "       %1 hash-password      the hash of a password (asked for) for device-portal "
      "--password-file\n"
      "       %1 announce NAME PORT [TYPE]  publish this device's service NAME on PORT\n"
      "                                 (TYPE _http._tcp by default) until interrupted\n"
      "join, dhcp, release, ethernet and ap change the system and need root; --verbose shows the "
      "library's trace.\n";

bool isRoot(const char *command)
{
    if (geteuid() == 0)
        return true;
    err << program << ": '" << command << "' changes the network configuration, which needs root; "
        << "run it as root (for example with sudo)\n";
    return false;
}

// Turns terminal echo off for its lifetime, if standard input is a terminal; an interrupt
// in between still gives the terminal its echo back.
class EchoOff
{
public:
    EchoOff()
    {
        if (tcgetattr(STDIN_FILENO, &saved) != 0)
            return;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        std::signal(SIGINT, restoreAndQuit);
        active = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (active)
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::signal(SIGINT, SIG_DFL);
    }

private:
    static void restoreAndQuit(int)
    {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        _exit(130);
    }

    static termios saved;
    bool active = false;
};
termios EchoOff::saved {};

QString readSecret(const char *prompt)
{
    err << prompt;
    err.flush();
    std::string line;
    {
        EchoOff echoOff;
        for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
            line += static_cast<char>(c);
    }
    err << "\n";
    return QString::fromStdString(line);
}

QString readPassphrase()
{
    return readSecret("Passphrase: ");
}

// A password's hash for a device that ships with its own (device-portal --password-file): asked
// for without echo, or read from standard input; a weak one is refused.
int hashPassword()
{
    const QString password = readSecret("Password: ");
    const QString weakness = ZRPassword::weakness(password);
    if (!weakness.isEmpty()) {
        err << program << ": refused: the password is " << weakness << "\n";
        return 1;
    }
    const QByteArray hash = ZRPassword::hash(password);
    if (hash.isEmpty())
        return 1;
    out << hash << "\n";
    return 0;
}

// What the library says of the last operation: why it failed, or what it did.
QString outcome()
{
    return NetworkManager::lastFailure().text;
}

// The last operation's outcome on standard output, or as an error; the exit status.
int reportOutcome()
{
    if (NetworkManager::lastFailure().reason == NetFailureReason::None) {
        out << outcome() << "\n";
        return 0;
    }
    err << program << ": " << outcome() << "\n";
    return 1;
}

void showInterfaces(
    const QList<QNetworkInterface> &interfaces, const QString &kind, const QString &chosen)
{
    for (const QNetworkInterface &interface : interfaces) {
        out << interface.name().leftJustified(16);
        if (interface.name() == chosen)
            out << kind.leftJustified(10) << "default\n";
        else
            out << kind << "\n";
    }
}

int list(NetworkManager &manager)
{
    const QString wifi = manager.defaultWifiInterface();
    const QString ethernet = manager.defaultEthernetInterface();
    showInterfaces(manager.ethernetInterfaces(), QStringLiteral("ethernet"), ethernet);
    showInterfaces(manager.wifiInterfaces(), QStringLiteral("wifi"), wifi);
    if (wifi.isNull() && ethernet.isNull())
        out << "no Ethernet or Wi-Fi interface on this machine\n";
    return 0;
}

QString drivenBy(NetworkManager &manager, const QString &interface)
{
    return QStringLiteral("; driven by ") + manager.drivenBy(interface);
}

// ", 192.168.1.20/24" for each IPv4 address the interface has.
QString ipv4Addresses(const QNetworkInterface &interface)
{
    QString text;
    for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            text += QStringLiteral(", %1/%2").arg(entry.ip().toString()).arg(entry.prefixLength());
    }
    return text;
}

int status(NetworkManager &manager)
{
    for (const QNetworkInterface &interface : manager.ethernetInterfaces()) {
        const bool running = interface.flags().testFlag(QNetworkInterface::IsRunning);
        out << interface.name() << ": ethernet, link " << (running ? "up" : "down")
            << ipv4Addresses(interface) << drivenBy(manager, interface.name()) << "\n";
    }
    const QString wifi = manager.defaultWifiInterface();
    if (wifi.isNull()) {
        out << "no Wi-Fi interface on this machine\n";
        return 0;
    }
    if (manager.isWifiConnected(wifi))
        out << wifi << ": wifi, connected to \"" << manager.connectedAp() << "\"";
    else
        out << wifi << ": wifi, not connected";
    out << drivenBy(manager, wifi) << "\n";
    return 0;
}

int scan(NetworkManager &manager, const QString &interface)
{
    const QList<WifiAp> aps = manager.networks(interface);
    if (NetworkManager::lastFailure().reason != NetFailureReason::None) {
        err << program << ": cannot scan: " << outcome() << "\n";
        return 1;
    }
    if (aps.isEmpty()) {
        out << "no access points found\n";
        return 0;
    }
    const char *const securities[] = { "", "open", "WEP", "WPA", "WPA2", "WPA3", "802.1X" };
    out << qSetFieldWidth(34) << "SSID" << qSetFieldWidth(9) << "QUALITY" << qSetFieldWidth(12)
        << "ENCRYPTION" << qSetFieldWidth(0) << "SECURITY\n";
    for (const WifiAp &ap : aps) {
        out << qSetFieldWidth(34) << ap.ssid << qSetFieldWidth(9)
            << QStringLiteral("%1%").arg(ap.quality) << qSetFieldWidth(12)
            << (ap.encrypted ? "on" : "off") << qSetFieldWidth(0) << securities[int(ap.security)]
            << "\n";
    }
    return 0;
}

// What doctor says carries out a step: the tool, or what is missing, and the interfaces the
// service does it for when it does not do it for all of them.
QString carriedOutBy(const NetToolChoice &choice)
{
    const QString service = QStringLiteral("NetworkManager service (D-Bus)");
    const QString missing = choice.missing.join(QLatin1String(", "));
    QString text = choice.tool.isEmpty() ? QStringLiteral("MISSING: none of ") + missing
        : missing.isEmpty()              ? choice.tool
                                         : QStringLiteral("%1 (no %2)").arg(choice.tool, missing);
    if (!choice.viaService.isEmpty() && choice.tool != service)
        text += QStringLiteral("; %1 for %2")
                    .arg(service, choice.viaService.join(QLatin1String(", ")));
    return text;
}

// Runs nothing: only looks for the tools and asks the bus. Fails when a step has none at all.
int doctor()
{
    QStringList broken;
    out << qSetFieldWidth(32) << "STEP" << qSetFieldWidth(0) << "TOOL\n";
    for (const NetToolChoice &choice : NetworkManager::toolChoices()) {
        out << qSetFieldWidth(32) << choice.step << qSetFieldWidth(0) << carriedOutBy(choice)
            << "\n";
        for (const QString &operation : choice.operations) {
            if (choice.tool.isEmpty() && !broken.contains(operation))
                broken << operation;
        }
    }
    if (broken.isEmpty()) {
        out << "every step has a tool here\n";
        return 0;
    }
    out << "operations missing a tool here: " << broken.join(QLatin1String(", ")) << "\n";
    return 1;
}

int join(const QString &ssid, const QString &interface)
{
    NetworkManager manager;
    const int result = manager.connectToAp(ssid, readPassphrase(), interface);
    if (result != 0) {
        err << program << ": joining \"" << ssid << "\": " << outcome() << "\n";
        return 1;
    }
    out << "joined \"" << ssid << "\": " << outcome() << "\n";
    return 0;
}

// Prints each change the library announces as it comes, for `seconds` (0: until ended).
int watch(int seconds)
{
    const StopSignals stopSignals; // Ctrl-C ends the watch as its time would
    NetworkManager manager(NetAccess::ReadOnly);
    QElapsedTimer clock;
    clock.start();
    const auto say = [&](const QString &what) {
        out << QString::number(clock.elapsed() / 1000.0, 'f', 2) << " s  " << what << "\n";
        out.flush(); // a line at a time, for whoever reads it meanwhile
    };
    const auto state
        = [](bool on, const char *yes, const char *no) { return QLatin1String(on ? yes : no); };
    QObject::connect(&manager, &NetworkManager::linkChanged,
        [&](QString name, bool up) { say(name + state(up, ": link up", ": link down")); });
    QObject::connect(&manager, &NetworkManager::addressesChanged,
        [&](QString name) { say(name + QStringLiteral(": addresses changed")); });
    QObject::connect(&manager, &NetworkManager::wifiNetworkChanged,
        [&](QString name, QString ssid) { say(name + QStringLiteral(": on \"%1\"").arg(ssid)); });
    QObject::connect(&manager, &NetworkManager::accessPointChanged, [&](QString name, bool on) {
        say(name + state(on, ": access point up", ": access point down"));
    });
    if (seconds > 0)
        QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    return QCoreApplication::exec();
}

int dhcp(const QString &interface)
{
    NetworkManager manager;
    manager.startDhcp(interface);
    return reportOutcome();
}

int release(const QString &interface)
{
    NetworkManager manager;
    manager.stopDhcp(interface);
    return reportOutcome();
}

int ethernet(const QString &action, const QString &interface)
{
    NetworkManager manager;
    if (action == QLatin1String("stop"))
        manager.stopEthernetInterface(interface);
    else
        manager.startEthernetInterface(interface);
    return reportOutcome();
}

int accessPoint(const QString &action, const QString &interface, const QString &ssid)
{
    NetworkManager manager;
    if (action == QLatin1String("stop"))
        manager.stopAccessPoint(interface);
    else
        manager.startAccessPoint(interface, ssid, readPassphrase());
    return reportOutcome();
}

int announce(const QString &name, const QString &portText, const QString &type)
{
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        err << program << ": PORT must be a number from 1 to 65535\n";
        return 2;
    }
    const StopSignals stopSignals; // before the announcer starts any thread
    ZRServiceAnnouncer announcer;
    QObject::connect(&announcer, &ZRServiceAnnouncer::announcedChanged, [&](bool announced) {
        if (announced)
            out << "announced \"" << announcer.serviceName() << "\" (" << type << ", port " << port
                << ") on " << announcer.hostName() << "\n";
        else
            out << "not announced now: " << announcer.errorString() << "\n";
        out.flush();
    });
    const bool web = type == QLatin1String("_http._tcp") || type == QLatin1String("_https._tcp");
    if (!announcer.announce(name, quint16(port), type,
            web ? QStringList { QStringLiteral("path=/") } : QStringList())) {
        err << program << ": announcing \"" << name << "\": " << announcer.errorString() << "\n";
        announcer.withdraw();
        return 1;
    }
    QCoreApplication::exec();
    if (!announcer.withdraw()) {
        err << program << ": not withdrawn: " << announcer.errorString() << "\n";
        return 1;
    }
    out << "withdrawn\n";
    return 0;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    out.setFieldAlignment(QTextStream::AlignLeft);
    program = QFileInfo(app.arguments().value(0)).fileName();
    const QStringList args = quietUnlessVerbose(app).mid(1);
    const QString command = args.value(0);

    if (command == QLatin1String("join") && (args.size() == 2 || args.size() == 3))
        return isRoot("join") ? join(args.at(1), args.value(2)) : 1;
    if (command == QLatin1String("dhcp") && args.size() == 2)
        return isRoot("dhcp") ? dhcp(args.at(1)) : 1;
    if (command == QLatin1String("release") && args.size() == 2)
        return isRoot("release") ? release(args.at(1)) : 1;
    if (command == QLatin1String("ethernet") && args.size() == 3
        && (args.at(1) == QLatin1String("start") || args.at(1) == QLatin1String("stop")))
        return isRoot("ethernet") ? ethernet(args.at(1), args.at(2)) : 1;
    if (command == QLatin1String("ap")
        && ((args.size() == 4 && args.at(1) == QLatin1String("start"))
            || (args.size() == 3 && args.at(1) == QLatin1String("stop"))))
        return isRoot("ap") ? accessPoint(args.at(1), args.at(2), args.value(3)) : 1;
    if (command == QLatin1String("hash-password") && args.size() == 1)
        return hashPassword();
    if (command == QLatin1String("watch") && args.size() <= 2)
        return watch(args.value(1).toInt());
    if (command == QLatin1String("doctor") && args.size() == 1)
        return doctor();
    if (command == QLatin1String("announce") && (args.size() == 3 || args.size() == 4))
        return announce(args.at(1), args.at(2), args.value(3, QStringLiteral("_http._tcp")));
    if (command == QLatin1String("scan") && args.size() <= 2) {
        NetworkManager manager;
        return scan(manager, args.value(1));
    }
    if (args.size() == 1
        && (command == QLatin1String("list") || command == QLatin1String("status"))) {
        NetworkManager manager(NetAccess::ReadOnly); // looking switches nothing on
        return command == QLatin1String("list") ? list(manager) : status(manager);
    }
    err << QString::fromLatin1(Usage).arg(program);
    return 2;
}
