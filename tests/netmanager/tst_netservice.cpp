// The controller beside a mock NetworkManager service, on a system bus of the test's own inside
// the namespaces of tests/tools/stubnet-run: the service manages wlan0 (three access points),
// not eth0. What the service received is read from the mock's call log.
#include "stubnet.h"

#include <QtDBus>
#include <QtTest>

#include <thread>

using namespace stubnet;

Q_DECLARE_METATYPE(NetFailureReason)

namespace {
const char Device[] = "/org/freedesktop/NetworkManager/Devices/wlan0dev";
const char DeviceInterface[] = "org.freedesktop.NetworkManager.Device";
// As the real service answers it: a name it has no device for is an UnknownDevice error.
const QString Lookup = QStringLiteral(
    "ret = self.get_device_by_ip_iface(self, args[0])\n"
    "if not ret: raise dbus.exceptions.DBusException('No device found for the requested iface.', "
    "name='org.freedesktop.NetworkManager.UnknownDevice')");
}

class TestNetService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void scanFromAnyThread();
    void join();
    void joinFails_data();
    void joinFails();
    void savedSecret_data();
    void savedSecret();
    void savedNetworks();
    void managedRunsNoTool_data();
    void managedRunsNoTool();
    void unmanagedTakesTools();
    void accessPoint();
    void changeSignals();
    void silentServiceRunsNoTool_data();
    void silentServiceRunsNoTool();

private:
    void setLookup(const QString &code);
    QVariant mock(const QString &path, const char *method, const QVariantList &arguments);
    QString mockLog() const;
    QStringList savedSecrets(const QByteArray &ssid, bool remove = false);

    QString stubDir;
    QTemporaryDir dir;
    QProcess bus;
    QProcess service;
    qint64 logSeen = 0;
};

QVariant TestNetService::mock(
    const QString &path, const char *method, const QVariantList &arguments)
{
    QDBusMessage call
        = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.NetworkManager"), path,
            QStringLiteral("org.freedesktop.DBus.Mock"), QLatin1String(method));
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection(QStringLiteral("test")).call(call);
    if (reply.type() != QDBusMessage::ReplyMessage)
        qFatal("mock %s: %s", method, qPrintable(reply.errorMessage()));
    return reply.arguments().value(0);
}

// What the service was asked since the last init().
QString TestNetService::mockLog() const
{
    QFile log(dir.filePath(QStringLiteral("mock.log")));
    return log.open(QIODevice::ReadOnly) && log.seek(logSeen) ? QString::fromUtf8(log.readAll())
                                                              : QString();
}

// The secrets of the saved profiles the mock keeps for `ssid` (unsaved ones left out), which
// are deleted with `remove`.
QStringList TestNetService::savedSecrets(const QByteArray &ssid, bool remove)
{
    const QString settings = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
    const QString profileInterface
        = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
    QDBusConnection test(QStringLiteral("test"));
    QDBusInterface list(QStringLiteral("org.freedesktop.NetworkManager"), settings,
        QStringLiteral("org.freedesktop.NetworkManager.Settings"), test);
    QStringList found;
    const auto paths = QDBusReply<QList<QDBusObjectPath>>(list.call("ListConnections")).value();
    for (const QDBusObjectPath &path : paths) {
        QDBusInterface profile(
            QStringLiteral("org.freedesktop.NetworkManager"), path.path(), profileInterface, test);
        const QDBusMessage reply = profile.call(QStringLiteral("GetSettings"));
        const auto all = qdbus_cast<QMap<QString, QVariantMap>>(reply.arguments().value(0));
        if (all.value("802-11-wireless").value("ssid").toByteArray() != ssid
            || profile.property("Unsaved").toBool())
            continue;
        found << all.value("802-11-wireless-security").value("psk").toString();
        if (remove)
            profile.call(QStringLiteral("Delete"));
    }
    return found;
}

void TestNetService::setLookup(const QString &code)
{
    mock(QStringLiteral("/org/freedesktop/NetworkManager"), "AddMethod",
        { "org.freedesktop.NetworkManager", "GetDeviceByIpIface", "s", "o", code });
}

void TestNetService::initTestCase()
{
    STUBNET_DIR_OR_SKIP(stubDir);
    qDBusRegisterMetaType<QMap<QString, QVariantMap>>();
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()
        || QProcess::execute(QStringLiteral("/usr/bin/python3"), { "-c", "import dbusmock" }) != 0)
        QSKIP("dbus-daemon or python3-dbusmock is missing");
    bus.start(QStringLiteral("dbus-daemon"),
        { "--session", "--nofork", "--print-address",
            "--address=unix:path=" + dir.filePath("bus") });
    QVERIFY(bus.waitForReadyRead(10000));
    const QByteArray address = bus.readLine().trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    service.setStandardErrorFile(dir.filePath(QStringLiteral("mock.err")));
    service.start(QStringLiteral("/usr/bin/python3"),
        { "-m", "dbusmock", "--system", "--template", ZRNET_NMMOCK, "-l",
            dir.filePath(QStringLiteral("mock.log")) });
    const QDBusConnection test = QDBusConnection::connectToBus(QString::fromUtf8(address), "test");
    QTRY_VERIFY_WITH_TIMEOUT(
        test.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.NetworkManager")),
        20000);

    const QString root = QStringLiteral("/org/freedesktop");
    setLookup(Lookup);
    QCOMPARE(mock(root, "AddWiFiDevice", { "wlan0dev", "wlan0", 30 }).toString(), Device);
    mock(Device, "AddMethod", { DeviceInterface, "Disconnect", "", "", "" });
    // WPA2-PSK as the service reports it: CCMP pairwise and group, PSK.
    const QVariantList aps[] = { { "ap1", "Home Network", "02:00:00:00:00:01", 82u, 0x188u },
        { "ap2", "Cafe", "02:00:00:00:00:02", 40u, 0u },
        { "ap3", "Office", "02:00:00:00:00:03", 67u, 0x188u } };
    for (const QVariantList &ap : aps) {
        mock(root, "AddAccessPoint",
            { Device, ap[0], ap[1], ap[2], 2u, 2437u, 54000u,
                QVariant::fromValue(uchar(ap[3].toUInt())), ap[4] });
    }
}

void TestNetService::cleanupTestCase()
{
    for (QProcess *process : { &service, &bus }) {
        process->terminate();
        process->waitForFinished();
    }
}

void TestNetService::init()
{
    clearLog(stubDir);
    logSeen = QFileInfo(dir.filePath(QStringLiteral("mock.log"))).size();
}

void TestNetService::scanFromAnyThread()
{
    NetworkManager manager;
    QList<WifiAp> aps;
    std::thread([&]() { aps = manager.apList(); }).join();
    QStringList seen;
    for (const WifiAp &ap : aps)
        seen << QStringLiteral("%1 %2 %3").arg(ap.ssid).arg(ap.quality).arg(ap.encrypted);
    QCOMPARE(seen, (QStringList { "Home Network 82 1", "Cafe 40 0", "Office 67 1" }));
    QVERIFY(mockLog().contains(QStringLiteral("RequestScan")));
}

void TestNetService::join()
{
    NetworkManager manager;
    QCOMPARE(manager.connectToAp("Home Network", "correct horse battery", "wlan0"), 0);
    const QString added = mockLog();
    QVERIFY2(added.contains(QRegularExpression(
                 "AddConnectionUnsaved .*\"ssid\": \\[72, 111, 109, 101, 32, 78.*\"psk\": "
                 "\"correct horse battery\".*ActivateConnection .*/Devices/wlan0dev\" "
                 "\"/org/freedesktop/NetworkManager/AccessPoint/ap1\".*Save",
                 QRegularExpression::DotMatchesEverythingOption)),
        qPrintable(added));
    QCOMPARE(savedSecrets("Home Network"), QStringList { "correct horse battery" });

    // WPA3 and a hidden network, as asked.
    logSeen += added.toUtf8().size();
    QCOMPARE(manager.connectToAp(
                 "Office", "office sae pass", "wlan0", { WifiSecurity::Wpa3, /*hidden=*/true }),
        0);
    for (const char *setting : { "\"key-mgmt\": \"sae\"", "\"hidden\": True" })
        QVERIFY2(mockLog().contains(QLatin1String(setting)), qPrintable(mockLog()));
    savedSecrets("Office", true);
    QCOMPARE(callLines(stubDir), QStringList());
}

void TestNetService::joinFails_data()
{
    QTest::addColumn<uint>("reason");
    QTest::addColumn<int>("result");
    QTest::addColumn<NetFailureReason>("failure");
    QTest::newRow("no secrets: the handshake failed")
        << 7u << 1000 << NetFailureReason::WrongPassphrase;
    QTest::newRow("supplicant dropped the link") << 8u << 1000 << NetFailureReason::WrongPassphrase;
    QTest::newRow("supplicant timeout") << 11u << 1000 << NetFailureReason::NotAssociated;
    QTest::newRow("no such network") << 53u << 1000 << NetFailureReason::OutOfReach;
    QTest::newRow("DHCP failed") << 17u << 1001 << NetFailureReason::DhcpFailed;
}

// The device goes to failed with `reason` as soon as the join is asked for; nothing is saved.
void TestNetService::joinFails()
{
    QFETCH(uint, reason);
    QFETCH(int, result);
    const QString manager = QStringLiteral("/org/freedesktop/NetworkManager");
    const auto activation = [&](const QString &code) {
        mock(manager, "AddMethod",
            { "org.freedesktop.NetworkManager", "ActivateConnection", "ooo", "o", code });
    };
    activation(QStringLiteral("d = objects[args[1]]; i = 'org.freedesktop.NetworkManager.Device'\n"
                              "d.Set(i, 'StateReason', (dbus.UInt32(120), dbus.UInt32(%1)))\n"
                              "d.Set(i, 'State', dbus.UInt32(120))\n"
                              "ret = dbus.ObjectPath('/')")
                   .arg(reason));
    QCOMPARE(NetworkManager().connectToAp("Office", "wrong passphrase", "wlan0"), result);
    QTEST(NetworkManager::lastFailure().reason, "failure");
    activation(QStringLiteral("ret = self.activate_connection(self, args[0], args[1], args[2])"));
    QCOMPARE(savedSecrets("Office"), QStringList());
    QCOMPARE(callLines(stubDir), QStringList());
}

void TestNetService::savedSecret_data()
{
    QTest::addColumn<QString>("earlier"); // the passphrase of a join before; none when empty
    QTest::addColumn<QString>("right"); // what the network takes now
    QTest::addColumn<QString>("given");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("saved"); // the secrets saved for the network afterwards

    QTest::newRow("wrong after right: the right one stays")
        << "office pass 1"
        << "office pass 1"
        << "wrong passphrase" << 1000 << QStringList { "office pass 1" };
    QTest::newRow("the network's new one replaces the old")
        << "office pass 1"
        << "office pass 2"
        << "office pass 2" << 0 << QStringList { "office pass 2" };
    QTest::newRow("wrong, nothing saved before: nothing saved")
        << ""
        << "office pass 1"
        << "wrong passphrase" << 1000 << QStringList();
}

// A join writes its secret into the saved profile only once it has succeeded.
void TestNetService::savedSecret()
{
    QFETCH(QString, earlier);
    QFETCH(QString, right);
    QFETCH(QString, given);
    const QString root = QStringLiteral("/org/freedesktop");
    savedSecrets("Office", true);
    NetworkManager manager;
    if (!earlier.isEmpty()) {
        mock(root, "SetPassphrase", { "Office", earlier });
        QCOMPARE(manager.connectToAp("Office", earlier, "wlan0"), 0);
    }
    mock(root, "SetPassphrase", { "Office", right });
    QTEST(manager.connectToAp("Office", given, "wlan0"), "result");
    QTEST(savedSecrets("Office"), "saved");
    mock(root, "SetPassphrase", { "Office", "" });
}

// The service's profiles, behind the same calls as the tools' own file.
void TestNetService::savedNetworks()
{
    NetworkManager manager;
    savedSecrets("Office", true);
    QVERIFY(
        manager.saveNetwork({ "Office", WifiSecurity::Wpa3, 3, true, true, {} }, "office pass"));
    QVERIFY(manager.setNetworkPriority("Office", 7));
    QVERIFY(manager.setNetworkAutoconnect("Office", false));
    QVERIFY(!manager.setNetworkPriority("Nowhere", 1));
    const auto office = [&] {
        for (const WifiSavedNetwork &network : manager.savedNetworks()) {
            if (network.ssid == QLatin1String("Office"))
                return network;
        }
        return WifiSavedNetwork();
    };
    QCOMPARE(office().security, WifiSecurity::Wpa3);
    QCOMPARE(office().priority, 7);
    QVERIFY(office().hidden && !office().autoconnect);
    QCOMPARE(savedSecrets("Office"), QStringList { "office pass" }); // kept through the updates
    QCOMPARE(manager.joinSavedNetwork("Office", "wlan0"), 0);
    QVERIFY(manager.forgetNetwork("Office"));
    QVERIFY(office().ssid.isEmpty());
    QCOMPARE(callLines(stubDir), QStringList());
}

void TestNetService::managedRunsNoTool_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("asked");

    QTest::newRow("Wi-Fi on") << "initializeWifiInterface"
                              << "WirelessEnabled True";
    QTest::newRow("Wi-Fi off") << "stopWifiInterface"
                               << "WirelessEnabled False";
    QTest::newRow("DHCP release") << "stopDhcp"
                                  << "Disconnect";
}

void TestNetService::managedRunsNoTool()
{
    QFETCH(QString, operation);
    QFETCH(QString, asked);
    NetworkManager manager;
    blockingOperations().value(operation)(manager, QStringLiteral("wlan0"));
    QCOMPARE(manager.startDhcp(QStringLiteral("wlan0")), 0);
    manager.isWifiConnected(QStringLiteral("wlan0"));
    manager.connectedAp();

    QVERIFY2(mockLog().contains(asked), qPrintable(mockLog()));
    QVERIFY(mockLog().contains(QStringLiteral("ActivateConnection")));
    QCOMPARE(callLines(stubDir), QStringList());
}

void TestNetService::unmanagedTakesTools()
{
    mock(QStringLiteral("/org/freedesktop/NetworkManager"), "SetProperty",
        { Device, DeviceInterface, "Managed", QVariant::fromValue(QDBusVariant(false)) });
    NetworkManager manager;
    QCOMPARE(manager.startEthernetInterface(QStringLiteral("eth0")), 0);
    // The service's supplicant serves what it manages: no killall beside it.
    manager.stopWifiInterface(QStringLiteral("wlan0"));
    mock(QStringLiteral("/org/freedesktop/NetworkManager"), "SetProperty",
        { Device, DeviceInterface, "Managed", QVariant::fromValue(QDBusVariant(true)) });

    QTRY_COMPARE(callLines(stubDir).size(), 4);
    QStringList lines = callLines(stubDir);
    // The DHCP client is detached: its line may come at any point after its start.
    const int dhcp = lines.indexOf(QRegularExpression("/sbin/dhclient,.*,eth0"));
    QVERIFY(dhcp >= 1);
    lines.removeAt(dhcp);
    QCOMPARE(lines,
        (QStringList { "@ifconfig,eth0,up",
            "@dhclient,-pf,/run/dhclient.wlan0.pid,-lf,/var/lib/dhcp/"
            "dhclient.wlan0.leases,-r,wlan0",
            "/sbin/ifconfig,wlan0,0.0.0.0,down" }));
}

// A runtime profile of the service for the radio and the address, the tools' dnsmasq for DHCP
// and DNS, and nothing of it left after the stop.
void TestNetService::accessPoint()
{
    NetworkManager manager;
    QCOMPARE(manager.startAccessPoint("wlan0", "Kiosk Setup", "setup pass", "192.168.42.7"), 0);
    QVERIFY(manager.isAccessPointActive("wlan0"));
    const QString asked = mockLog();
    for (const char *setting : { "AddConnectionUnsaved", "\"ssid\": [75, 105, 111, 115, 107, 32",
             "\"mode\": \"ap\"", "\"key-mgmt\": \"wpa-psk\"", "\"psk\": \"setup pass\"",
             "\"proto\": [\"rsn\"]", "\"method\": \"manual\"", "\"address\": \"192.168.42.7\"",
             "\"prefix\": 24", "\"interface-name\": \"wlan0\"", "ActivateConnection" })
        QVERIFY2(asked.contains(QLatin1String(setting)), setting);
    const QStringList lines = callLines(stubDir);
    QCOMPARE(lines.size(), 1);
    for (const char *argument :
        { "@dnsmasq,", ",--interface=wlan0,", ",--address=/#/192.168.42.7" })
        QVERIFY2(lines.first().contains(QLatin1String(argument)), qPrintable(lines.first()));

    QVERIFY(manager.stopAccessPoint("wlan0"));
    QVERIFY(mockLog().contains("Delete"));
    QVERIFY(!manager.isAccessPointActive("wlan0"));
}

// The service speaks for the device it manages, from its own signals: StateChanged for the
// link, ActiveAccessPoint for the network. No tool runs.
void TestNetService::changeSignals()
{
    const QString root = QStringLiteral("/org/freedesktop/NetworkManager");
    const char Wireless[] = "org.freedesktop.NetworkManager.Device.Wireless";
    const auto path = [](const QString &object) {
        return QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusObjectPath(object))));
    };
    mock(root, "SetDeviceDisconnected", { Device });
    mock(Device, "AddProperty", { Wireless, "ActiveAccessPoint", path("/") });
    // The kernel has the link up and running (a carrier: the tap held open), so the service's
    // state alone decides.
    QProcess carrier;
    carrier.start(QStringLiteral("socat"),
        { "-u", "TUN,tun-name=wlan0,tun-type=tap,iff-no-pi,iff-up", "/dev/null" });
    QTRY_VERIFY(QNetworkInterface::interfaceFromName(QStringLiteral("wlan0"))
                    .flags()
                    .testFlag(QNetworkInterface::IsRunning));
    NetworkManager manager;
    clearLog(stubDir);
    QSignalSpy link(&manager, &NetworkManager::linkChanged);
    QSignalSpy network(&manager, &NetworkManager::wifiNetworkChanged);
    const auto active = [&] { mock(root, "SetDeviceActive", { Device, root + "/Connection/1" }); };
    const auto disconnected = [&] { mock(root, "SetDeviceDisconnected", { Device }); };
    // The watch follows the service once the bus is reached: up and down until it hears both.
    // Each change is heard once: up and down alternate.
    QTRY_VERIFY_WITH_TIMEOUT((active(), disconnected(), link.size() >= 2), 10000);
    for (int i = 0; i < link.size(); ++i) {
        QCOMPARE(link.at(i).at(0), QVariant("wlan0"));
        QVERIFY(i == 0 || link.at(i).at(1) != link.at(i - 1).at(1));
    }
    mock(root, "SetProperty",
        { Device, Wireless, "ActiveAccessPoint", path(root + "/AccessPoint/ap1") });
    QTRY_COMPARE(network.constLast(), (QVariantList { "wlan0", "Home Network" }));
    QCOMPARE(callLines(stubDir), QStringList());
    carrier.kill();
    carrier.waitForFinished();
}

void TestNetService::silentServiceRunsNoTool_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("reason");
    QTest::newRow("an error") << "raise dbus.exceptions.DBusException('busy', "
                                 "name='org.freedesktop.NetworkManager.Failed')"
                              << int(NetFailureReason::ServiceRefused);
    // Last: the mock stays busy after the call has given up.
    QTest::newRow("too late") << "time.sleep(8)\n" + Lookup << int(NetFailureReason::TimedOut);
}

// The service owns its name but does not answer whether it manages wlan0: the join fails, and
// no tool fights the service for the interface.
void TestNetService::silentServiceRunsNoTool()
{
    QFETCH(QString, answer);
    NetworkManager manager;
    clearLog(stubDir);
    setLookup(answer);
    QCOMPARE(manager.connectToAp("Home Network", "correct horse battery", "wlan0"), 1000);
    QVERIFY(NetworkManager::lastCallServiceUnavailable());
    QTEST(int(NetworkManager::lastFailure().reason), "reason");
    QCOMPARE(callLines(stubDir), QStringList());
    setLookup(Lookup);
}

QTEST_GUILESS_MAIN(TestNetService)
#include "tst_netservice.moc"
