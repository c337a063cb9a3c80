// Runs the controller's real child processes against the stub tools that tests/tools/stubnet-run
// installs in a namespace of the test's own; the machine's tools and interfaces are out of reach.
#include "stubnet.h"

#include <networkmanager.h>

#include <QtTest>

#include <cstdio>

using namespace stubnet;

class TestNetIntegration : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void interfacesAsQtListsThem();
    void startEthernet();
    void blockingRuns_data();
    void blockingRuns();
    void dhcpWithoutClient();
    void linkTest();
    void join();
    void joinWithoutWpaPassphrase_data();
    void joinWithoutWpaPassphrase();

private:
    QList<StubCall> calls() const;
    QStringList callLines() const;
    void setOutput(const QString &tool, const QByteArray &output) const;

    QString stubDir;
};

void TestNetIntegration::initTestCase()
{
    STUBNET_DIR_OR_SKIP(stubDir);
    // Refuse outright, rather than fail, if a real tool could be reached.
    for (const char *tool : { "dhclient", "ifconfig", "wpa_supplicant" }) {
        if (!isStub(QStringLiteral("/sbin/") + QLatin1String(tool)))
            qFatal("/sbin/%s is not a stub; refusing to run", tool);
    }
    for (const char *tool : { "dhclient", "ifconfig", "rfkill", "killall", "iw", "iwconfig",
             "iwlist", "wpa_passphrase", "wpa_supplicant" }) {
        if (!isStub(QStandardPaths::findExecutable(QLatin1String(tool))))
            qFatal("%s on PATH is not a stub; refusing to run", tool);
    }
}

void TestNetIntegration::init()
{
    clearLog(stubDir);
}

QList<StubCall> TestNetIntegration::calls() const
{
    return stubnet::calls(stubDir);
}

QStringList TestNetIntegration::callLines() const
{
    return stubnet::callLines(stubDir);
}

void TestNetIntegration::setOutput(const QString &tool, const QByteArray &output) const
{
    stubnet::setOutput(stubDir, tool, output);
}

void TestNetIntegration::interfacesAsQtListsThem()
{
    NetworkManager manager; // switches the Wi-Fi on
    QCOMPARE(callLines(), (QStringList { "@rfkill,unblock,wifi", "@ifconfig,wlan0,up" }));

    QStringList ethernet;
    for (const QNetworkInterface &interface : manager.ethernetInterfaces())
        ethernet << interface.name();
    QCOMPARE(ethernet, QStringList { QStringLiteral("eth0") });
    QCOMPARE(manager.defaultEthernetInterface(), QStringLiteral("eth0"));
    QCOMPARE(manager.wifiInterfaces().value(0).name(), QStringLiteral("wlan0"));
}

void TestNetIntegration::startEthernet()
{
    Manager manager(stubDir);
    QCOMPARE(manager.startEthernetInterface(QString()), 0);
    // The DHCP client is detached: its line may come a little later.
    QTRY_COMPARE(callLines(),
        (QStringList { QStringLiteral("@ifconfig,eth0,up"),
            QStringLiteral("/sbin/dhclient,-4,-v,-i,-pf,/run/dhclient.eth0.pid,-lf,"
                           "/var/lib/dhcp/dhclient.eth0.leases,-I,-df,"
                           "/var/lib/dhcp/dhclient6.eth0.leases,eth0") }));
}

void TestNetIntegration::blockingRuns_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("Ethernet down, default")
        << "stopEthernetInterface"
        << ""
        << QStringList { "@dhclient,-pf,/run/dhclient.eth0.pid,-lf,/var/lib/dhcp/"
                         "dhclient.eth0.leases,-r,eth0",
               "/sbin/ifconfig,eth0,0.0.0.0,down" };
    QTest::newRow("DHCP release")
        << "stopDhcp"
        << "eth0"
        << QStringList {
               "@dhclient,-pf,/run/dhclient.eth0.pid,-lf,/var/lib/dhcp/dhclient.eth0.leases,-r,eth0"
           };
    QTest::newRow("Wi-Fi off") << "stopWifiInterface"
                               << "wlan0"
                               << QStringList { "@killall,-9,wpa_supplicant",
                                      "@dhclient,-pf,/run/dhclient.wlan0.pid,-lf,/var/lib/dhcp/"
                                      "dhclient.wlan0.leases,-r,wlan0",
                                      "/sbin/ifconfig,wlan0,0.0.0.0,down" };
    QTest::newRow("Wi-Fi on") << "initializeWifiInterface"
                              << "wlan0"
                              << QStringList { "@rfkill,unblock,wifi", "@ifconfig,wlan0,up" };
    QTest::newRow("Wi-Fi on, Ethernet") << "initializeWifiInterface"
                                        << "eth0" << QStringList();
    QTest::newRow("Wi-Fi off, no such") << "stopWifiInterface"
                                        << "wlan9" << QStringList();
}

void TestNetIntegration::blockingRuns()
{
    QFETCH(QString, operation);
    QFETCH(QString, interface);
    QFETCH(QStringList, calls);
    Manager manager(stubDir);

    blockingOperations().value(operation)(manager, interface);
    const QStringList logged = callLines();
    if (!calls.isEmpty() && logged.isEmpty())
        qFatal("no stub logged a run of %s; refusing to go on", qPrintable(operation));
    QCOMPARE(logged, calls);
}

void TestNetIntegration::dhcpWithoutClient()
{
    const QString client = QStringLiteral("/sbin/dhclient");
    const QString aside = client + QStringLiteral(".aside");
    if (!isStub(client))
        qFatal("%s is not a stub; refusing to move it", qPrintable(client));
    QVERIFY(QFile::rename(client, aside));
    Manager manager(stubDir);
    const int result = manager.startDhcp(QStringLiteral("eth0"));
    QVERIFY(QFile::rename(aside, client));

    QCOMPARE(result, 1001);
    QCOMPARE(callLines(), QStringList());
}

void TestNetIntegration::linkTest()
{
    Manager manager(stubDir);
    // The stub also says "Connected to" on standard error, which must not count.
    QVERIFY(!manager.isWifiConnected(QStringLiteral("wlan0")));
    QFile associated(stubDir + QStringLiteral("/associated"));
    QVERIFY(associated.open(QIODevice::WriteOnly));
    QVERIFY(manager.isWifiConnected(QStringLiteral("wlan0")));
    QCOMPARE(callLines(),
        (QStringList { QStringLiteral("@iw,wlan0,link"), QStringLiteral("@iw,wlan0,link") }));
}

void TestNetIntegration::join()
{
    const QString passphrase = QStringLiteral("pass phrase 1");
    // Not UTF-8 throughout: the file must carry any bytes unchanged.
    const QByteArray config("# reading passphrase from stdin \xe9\nnetwork={\n\tssid=\"Caf\xc3\xa9 "
                            "Net\"\n\tpsk=00ff\n}\n");
    setOutput(QStringLiteral("wpa_passphrase"), config);
    Manager manager(stubDir);

    QCOMPARE(
        manager.connectToAp(QStringLiteral("Caf\u00e9 Net"), passphrase, QStringLiteral("wlan0")),
        0);

    const QString dhclient = QStringLiteral("/sbin/dhclient");
    QTRY_COMPARE(calls().constLast().program, dhclient);
    const QList<StubCall> logged = calls();
    const QStringList lines = callLines();
    QCOMPARE(logged.at(0).arguments, QStringList { QStringLiteral("Caf\u00e9 Net") });
    QVERIFY(logged.at(0).hasInput);
    QCOMPARE(logged.at(0).input, passphrase.toUtf8() + '\n');
    QCOMPARE(lines.mid(1, 5),
        (QStringList { QStringLiteral("@killall,-9,wpa_supplicant"),
            QStringLiteral("@dhclient,-pf,/run/dhclient.wlan0.pid,-lf,/var/lib/dhcp/"
                           "dhclient.wlan0.leases,-r,wlan0"),
            QStringLiteral("/sbin/ifconfig,wlan0,0.0.0.0,down"),
            QStringLiteral("@rfkill,unblock,wifi"), QStringLiteral("@ifconfig,wlan0,up") }));
    QVERIFY(lines.contains(QStringLiteral("@iw,wlan0,link")));
    QCOMPARE(logged.constLast().arguments.constLast(), QStringLiteral("wlan0"));

    const auto supplicant = std::find_if(logged.cbegin(), logged.cend(),
        [](const StubCall &call) { return call.program == QLatin1String("/sbin/wpa_supplicant"); });
    QVERIFY(supplicant != logged.cend());
    QCOMPARE(supplicant->arguments.size(), 5);
    const QString configName = supplicant->arguments.at(1);
    QCOMPARE(supplicant->arguments,
        (QStringList { QStringLiteral("-c"), configName, QStringLiteral("-i"),
            QStringLiteral("wlan0"), QStringLiteral("-B") }));
    QCOMPARE(supplicant->configMode, QStringLiteral("600"));
    QCOMPARE(supplicant->config, config + '\n');
    QVERIFY(!QFile::exists(configName));

    for (const StubCall &call : logged)
        QVERIFY2(
            !call.arguments.join(QLatin1Char(' ')).contains(passphrase), qPrintable(call.program));
}

void TestNetIntegration::joinWithoutWpaPassphrase_data()
{
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QByteArray>("config"); // the supplicant's; empty: nothing runs

    const QByteArray network = "network={\n\tssid=" + QByteArray("Caf\xc3\xa9 \"Net\"").toHex();
    const QString key = QStringLiteral("0123456789abcdefABCDEF").repeated(3).left(64);
    QTest::newRow("open") << "" << network + "\n\tkey_mgmt=NONE\n}\n";
    QTest::newRow("raw key") << key << network + "\n\tpsk=" + key.toLatin1() + "\n}\n";
    QTest::newRow("64 characters") << QString(64, QLatin1Char('x')) << QByteArray();
}

// The name goes to the supplicant in hex: any byte of it, quotes included, stays in it.
void TestNetIntegration::joinWithoutWpaPassphrase()
{
    QFETCH(QString, passphrase);
    QFETCH(QByteArray, config);
    Manager manager(stubDir);
    QCOMPARE(manager.connectToAp(
                 QStringLiteral("Caf\u00e9 \"Net\""), passphrase, QStringLiteral("wlan0")),
        config.isEmpty() ? 1000 : 0);
    const QStringList lines = callLines();
    QCOMPARE(lines.isEmpty(), config.isEmpty());
    QVERIFY(!lines.join(QLatin1Char(' ')).contains(QLatin1String("wpa_passphrase")));
    for (const StubCall &call : calls())
        QVERIFY(call.program != QLatin1String("/sbin/wpa_supplicant") || call.config == config);
}

QTEST_GUILESS_MAIN(TestNetIntegration)
#include "tst_netintegration.moc"
