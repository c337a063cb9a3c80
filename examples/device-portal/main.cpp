// device-portal: a page on which a person sets up the device's network from a browser: the
// interfaces, the Wi-Fi link, the networks in reach, and a form that joins one. The page is
// plain HTML, CSS and JavaScript compiled in as Qt resources; it calls the JSON API that
// portal.h lists.
//
//   device-portal [--listen ADDRESS:PORT] [--allow-changes] [--tls] [--state-dir DIR] [--verbose]
//                 [--password-file FILE] [--name NAME] [--setup-ssid NAME
//                 [--setup-passphrase PASSPHRASE | --setup-open] [--setup-wait SECONDS]]
//
// Safe by default: it listens on 127.0.0.1:8080, reachable from this machine only, and
// refuses to join networks unless started with --allow-changes. On a device, as root:
//   device-portal --listen 0.0.0.0:8080 --allow-changes
// or --listen [::]:8080 for IPv6 and IPv4 alike.
// Nothing but the page and a passer-by's status without the administrator's password: the page
// asks for it first (see access.h), or it ships with the device as --password-file's hash.
// With --tls it serves HTTPS, with a certificate it makes on first start (see
// ../common/selfsignedtls.h). With --setup-ssid, a device without a network offers its own:
// whenever its Wi-Fi has had no link for --setup-wait seconds (20; at start, at once), it becomes
// the access point NAME (WPA2 with --setup-passphrase, else with the device's own, made at first
// start and kept in the state directory; open only with --setup-open) and serves the page on
// http://192.168.42.1/ as well, where phones open it by themselves; its clients may join a network
// (see setup.h). Where it listens beyond this device, it announces the page by multicast DNS
// through avahi-daemon (_http._tcp, or _https._tcp with --tls) as --name (the host name by
// default), which it also asks the daemon to publish the device as: http://NAME.local:PORT/ on
// every network it serves, and the setup page says so before the device joins one. With --listen on
// port 80 of every address, that server serves the access point's clients too, and they may
// join only with --allow-changes.
// With --allow-changes or in setup mode it switches the Wi-Fi radio on at start (where it has the
// rights to); without either it only looks, and switches nothing.
#include "access.h"
#include "portal.h"
#include "setup.h"

#include <zrhttpserver.h>
#include <zrserviceannouncer.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSysInfo>

#include "../common/listenaddress.h"
#include "../common/quiet.h"
#include "../common/selfsignedtls.h"
#include "../common/serveuntilsignal.h"

#include <cstdio>

namespace {

struct Settings
{
    QString address = QStringLiteral("127.0.0.1");
    int port = 8080;
    bool allowChanges = false;
    bool tls = false;
    QString stateDir = QStringLiteral("/var/lib/device-portal");
    QString passwordFile; // the hash the device ships with
    bool setupOpen = false;
    QByteArray fingerprint; // of the certificate, with --tls
    QString name; // on the network: NAME.local, and the announced service's name
    bool named = false; // by --name rather than the host name
    Setup::Options setup; // setup mode when it has a name
};

// False, with the reason printed, for arguments that do not make sense.
bool parse(const QStringList &arguments, Settings *settings)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A setup page for this device's network."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
        QStringLiteral("Serve on ADDRESS:PORT, IPv6 in brackets ([::]:8080; default "
                       "127.0.0.1:8080)."),
        QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption allowChanges(QStringLiteral("allow-changes"),
        QStringLiteral("Let the page join networks (needs root)."));
    const QCommandLineOption tls(QStringLiteral("tls"),
        QStringLiteral("Serve HTTPS with the certificate in the state directory (made if none)."));
    const QCommandLineOption stateDir(QStringLiteral("state-dir"),
        QStringLiteral("Where the password's hash, the setup passphrase, the certificate and key "
                       "live (default /var/lib/device-portal)."),
        QStringLiteral("DIR"), settings->stateDir);
    const QCommandLineOption setupSsid(QStringLiteral("setup-ssid"),
        QStringLiteral("Setup mode: while the Wi-Fi has no link, be the access point NAME."),
        QStringLiteral("NAME"));
    const QCommandLineOption setupPassphrase(QStringLiteral("setup-passphrase"),
        QStringLiteral("The access point's WPA2 passphrase (default: an open network)."),
        QStringLiteral("PASSPHRASE"));
    const QCommandLineOption passwordFile(QStringLiteral("password-file"),
        QStringLiteral("The administrator's password as `zrnet-netctl hash-password` hashed it, "
                       "until the user sets another."),
        QStringLiteral("FILE"));
    const QCommandLineOption setupOpen(QStringLiteral("setup-open"),
        QStringLiteral("Make the setup access point an open network (default: WPA2)."));
    const QCommandLineOption setupWait(QStringLiteral("setup-wait"),
        QStringLiteral("Seconds without a link before the access point comes up (default 20)."),
        QStringLiteral("SECONDS"), QStringLiteral("20"));
    const QCommandLineOption name(QStringLiteral("name"),
        QStringLiteral(
            "Announce the page as NAME, at http://NAME.local/ (default: the host name)."),
        QStringLiteral("NAME"), QSysInfo::machineHostName());
    parser.addOptions({ listen, allowChanges, tls, stateDir, name, setupSsid, setupPassphrase,
        setupWait, passwordFile, setupOpen });
    parser.process(arguments); // exits on --help and on unknown options
    settings->name = parser.value(name);
    settings->named = parser.isSet(name);
    settings->allowChanges = parser.isSet(allowChanges);
    settings->tls = parser.isSet(tls);
    settings->stateDir = parser.value(stateDir);
    settings->passwordFile = parser.value(passwordFile);
    settings->setupOpen = parser.isSet(setupOpen);
    if (settings->setupOpen && parser.isSet(setupPassphrase)) {
        std::fprintf(
            stderr, "device-portal: --setup-open and --setup-passphrase exclude each other\n");
        return false;
    }
    settings->setup = { parser.value(setupSsid), parser.value(setupPassphrase),
        parser.value(setupWait).toInt() };
    // NAME.local goes into URLs as it is.
    static const QRegularExpression hostLabel(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    if (settings->named && !hostLabel.match(settings->name).hasMatch()) {
        std::fprintf(stderr,
            "device-portal: --name takes a host name: up to 63 letters, digits and hyphens\n");
        return false;
    }
    if (parser.isSet(setupSsid) && settings->setup.ssid.isEmpty()) {
        std::fprintf(stderr, "device-portal: --setup-ssid takes the access point's name\n");
        return false;
    }
    if (parser.isSet(setupWait) && settings->setup.waitSeconds < 1) {
        std::fprintf(stderr, "device-portal: --setup-wait takes a number of seconds, 1 or more\n");
        return false;
    }
    if (!parser.isSet(listen))
        return true;

    if (!parseListenAddress(parser.value(listen), &settings->address, &settings->port)) {
        std::fprintf(
            stderr, "device-portal: --listen takes ADDRESS:PORT, e.g. 0.0.0.0:8080 or [::]:8080\n");
        return false;
    }
    return true;
}

bool listensEverywhere(const Settings &settings)
{
    const QHostAddress listening(settings.address);
    return listening == QHostAddress::AnyIPv4 || listening == QHostAddress::AnyIPv6;
}

void announce(const Settings &settings, quint16 port)
{
    const bool everywhere = listensEverywhere(settings);
    std::printf("device portal: serving %s://%s:%u/%s\n", settings.tls ? "https" : "http",
        qPrintable(urlHost(settings.address)), port,
        everywhere ? " on every address of this device" : "");
    if (settings.tls)
        std::printf("device portal: certificate SHA-256 fingerprint %s\n",
            settings.fingerprint.constData());
    if (settings.allowChanges)
        std::printf("device portal: changes allowed: the page can join networks\n");
    else
        std::printf("device portal: read-only: joins are refused (--allow-changes permits them)\n");
    std::fflush(stdout);
}

// The page by multicast DNS, where other devices can reach it.
void announceOnNetworks(ZRServiceAnnouncer &announcer, const Settings &settings, quint16 port)
{
    if (QHostAddress(settings.address).isLoopback()) {
        std::printf("device portal: not announced: it listens on this device alone\n");
        return;
    }
    if (settings.named && !announcer.setHostName(settings.name))
        std::printf("device portal: the device is not %s.local: %s\n", qPrintable(settings.name),
            qPrintable(announcer.errorString()));
    const QString type
        = settings.tls ? QStringLiteral("_https._tcp") : QStringLiteral("_http._tcp");
    if (announcer.announce(settings.name, port, type, { QStringLiteral("path=/") }))
        std::printf("device portal: announced \"%s\" (%s) on %s\n",
            qPrintable(announcer.serviceName()), qPrintable(type),
            qPrintable(announcer.hostName()));
    else
        std::printf("device portal: not announced: %s\n", qPrintable(announcer.errorString()));
    std::fflush(stdout);
}

// The administrator's password, and the setup access point's passphrase unless it is open.
bool setUpAccess(Access &access, Settings &settings)
{
    QString error;
    if (!access.load(settings.stateDir, settings.passwordFile, &error)) {
        std::fprintf(stderr, "device-portal: %s\n", qPrintable(error));
        return false;
    }
    if (!access.hasPassword())
        std::printf("device portal: no password yet: the page asks for one first\n");
    if (settings.setup.ssid.isEmpty() || settings.setupOpen || !settings.setup.passphrase.isEmpty())
        return true;
    settings.setup.passphrase = Access::setupPassphrase(settings.stateDir, &error);
    if (settings.setup.passphrase.isEmpty()) {
        std::fprintf(stderr, "device-portal: %s\n", qPrintable(error));
        return false;
    }
    std::printf("device portal: setup access point \"%s\", WPA2 passphrase %s\n",
        qPrintable(settings.setup.ssid), qPrintable(settings.setup.passphrase));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const StopSignals stopSignals; // before any thread starts, the controller's included
    Settings settings;
    if (!parse(quietUnlessVerbose(app), &settings))
        return 2;

    // A portal that may change nothing only looks, and so does not even switch the radio on.
    const bool changes = settings.allowChanges || !settings.setup.ssid.isEmpty();
    NetworkManager manager(changes ? NetAccess::ReadWrite : NetAccess::ReadOnly);
    // Before the server: destroying the server waits for the handlers that use these.
    ZRServiceAnnouncer announcer;
    Access access;
    if (!setUpAccess(access, settings))
        return 1;
    Portal portal(&manager, settings.allowChanges);
    portal.setAccess(&access);
    const QString wifi = manager.defaultWifiInterface();
    std::unique_ptr<Setup> setup;
    if (!settings.setup.ssid.isEmpty() && wifi.isEmpty())
        std::fprintf(stderr, "device-portal: no Wi-Fi interface here, so no setup mode\n");
    else if (!settings.setup.ssid.isEmpty()) {
        settings.setup.servedByListen = listensEverywhere(settings) && settings.port == 80;
        setup = std::make_unique<Setup>(&manager, wifi, settings.setup);
    }
    portal.setSetup(setup.get());
    ZRHttpServer server;
    server.setMaxBodySize(64 * 1024); // a join is a few dozen bytes
    if (settings.tls
        && !setUpSelfSignedTls(server,
            { QStringLiteral("device-portal"), settings.stateDir, QStringLiteral("portal"),
                settings.address },
            &settings.fingerprint))
        return 1;
    ZRHttpRouter router(&server);
    portal.setWhereabouts(
        &announcer, settings.name, settings.tls ? QStringLiteral("https") : QStringLiteral("http"));
    portal.addRoutes(router);

    const int status
        = serveUntilSignal(server, settings.address, settings.port, 64, [&](quint16 port) {
              announce(settings, port);
              portal.setPort(QHostAddress(settings.address).isLoopback() ? 0 : port);
              if (setup)
                  setup->start(&portal); // its thread blocks the stop signals, as this one does
              announceOnNetworks(announcer, settings, port);
          });
    if (setup)
        setup->stop();
    return status;
}
