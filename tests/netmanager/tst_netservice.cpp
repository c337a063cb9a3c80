// The controller beside a mock NetworkManager service, on a system bus of the test's own inside
// the namespaces of tests/tools/stubnet-run: the service manages wlan0 (three access points),
// not eth0. What the service received is read from the mock's call log.
#include "stubnet.h"

#include <QtDBus>
#include <QtTest>

#include <thread>

using namespace stubnet;

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

void TestNetService::setLookup(const QString &code)
{
    mock(QStringLiteral("/org/freedesktop/NetworkManager"), "AddMethod",
        { "org.freedesktop.NetworkManager", "GetDeviceByIpIface", "s", "o", code });
}

void TestNetService::initTestCase()
{
    STUBNET_DIR_OR_SKIP(stubDir);
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
    QVERIFY2(
        added.contains(QRegularExpression("AddAndActivateConnection .*\"ssid\": \\[72, 111, "
                                          "109, 101, 32, 78.*\"psk\": \"correct horse battery\""
                                          ".*/Devices/wlan0dev\" \"/org/freedesktop/"
                                          "NetworkManager/AccessPoint/ap1\"")),
        qPrintable(added));

    // The profile the service now keeps for that name is updated, not added again.
    logSeen += added.toUtf8().size();
    QCOMPARE(manager.connectToAp("Home Network", "new passphrase", "wlan0"), 0);
    const QString updated = mockLog();
    QVERIFY2(updated.contains(QRegularExpression("Update .*\"psk\": \"new passphrase\"")),
        qPrintable(updated));
    QVERIFY(updated.contains("ActivateConnection"));
    QVERIFY(!updated.contains("AddAndActivateConnection"));
    QCOMPARE(callLines(stubDir), QStringList());
}

void TestNetService::joinFails_data()
{
    QTest::addColumn<uint>("reason");
    QTest::addColumn<int>("result");
    QTest::newRow("no secrets") << 7u << 1000;
    QTest::newRow("supplicant timeout") << 11u << 1000;
    QTest::newRow("DHCP failed") << 17u << 1001;
}

// The device goes to failed with `reason` as soon as the join is asked for.
void TestNetService::joinFails()
{
    QFETCH(uint, reason);
    QFETCH(int, result);
    mock(QStringLiteral("/org/freedesktop/NetworkManager"), "AddMethod",
        { "org.freedesktop.NetworkManager", "AddAndActivateConnection", "a{sa{sv}}oo", "oo",
            QStringLiteral("d = objects[args[1]]; i = 'org.freedesktop.NetworkManager.Device'\n"
                           "d.Set(i, 'StateReason', (dbus.UInt32(120), dbus.UInt32(%1)))\n"
                           "d.Set(i, 'State', dbus.UInt32(120))\n"
                           "ret = (dbus.ObjectPath('/'), dbus.ObjectPath('/'))")
                .arg(reason) });
    NetworkManager manager;
    QCOMPARE(manager.connectToAp("Office", "wrong passphrase", "wlan0"), result);
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

    QTRY_COMPARE(callLines(stubDir).size(), 6);
    QStringList lines = callLines(stubDir);
    // The DHCP client is detached: its line may come at any point after its start.
    const int dhcp = lines.indexOf(QRegularExpression("/sbin/dhclient,.*,eth0"));
    QVERIFY(dhcp >= 2);
    lines.removeAt(dhcp);
    QCOMPARE(lines,
        (QStringList { "@rfkill,unblock,wifi", "@ifconfig,wlan0,up", "@ifconfig,eth0,up",
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
