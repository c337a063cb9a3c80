// Runs the controller's real child processes against the stub tools that tests/tools/stubnet-run
// installs in a namespace of the test's own; the machine's tools and interfaces are out of reach.
#include <networkmanager.h>

#include <QtTest>

#include <cstdio>
#include <functional>

namespace {
const char StubMarker[] = "zrnet stub tool";

// One run of a stub tool, as it logged itself.
struct StubCall
{
    QString program;
    QStringList arguments;
    QByteArray input;
    bool hasInput = false;
    QString configMode;
    QByteArray config;
};

StubCall parseCall(const QByteArray &line)
{
    const QList<QByteArray> fields = line.split('\t');
    StubCall call;
    call.program = QString::fromUtf8(fields.value(0));
    for (const QByteArray &field : fields.mid(1)) {
        const QByteArray value = QByteArray::fromBase64(field.mid(2));
        if (field.startsWith("a:"))
            call.arguments << QString::fromUtf8(value);
        else if (field.startsWith("i:"))
            call.hasInput = true, call.input = value;
        else if (field.startsWith("m:"))
            call.configMode = QString::fromLatin1(field.mid(2));
        else if (field.startsWith("f:"))
            call.config = value;
    }
    return call;
}

bool isStub(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(StubMarker);
}

using Operation = std::function<void(NetworkManager &, const QString &)>;
const QMap<QString, Operation> &blockingOperations()
{
    static const QMap<QString, Operation> table {
        { QStringLiteral("stopEthernetInterface"), &NetworkManager::stopEthernetInterface },
        { QStringLiteral("stopDhcp"), &NetworkManager::stopDhcp },
        { QStringLiteral("initializeWifiInterface"), &NetworkManager::initializeWifiInterface },
        { QStringLiteral("stopWifiInterface"), &NetworkManager::stopWifiInterface },
    };
    return table;
}
} // namespace

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

private:
    QList<StubCall> calls() const;
    // Program and arguments of each logged call, "@" standing for the stub directory on PATH.
    QStringList callLines() const;
    void setOutput(const QString &tool, const QByteArray &output) const;

    QString stubDir;
};

void TestNetIntegration::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("ZRNET_STUBNET")) {
        const QString why = qEnvironmentVariable(
            "ZRNET_STUBNET_UNAVAILABLE", QStringLiteral("not started by tests/tools/stubnet-run"));
        QSKIP(qPrintable(why));
    }
    stubDir = qEnvironmentVariable("ZRNET_STUB_DIR");
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
    QFile::remove(stubDir + QStringLiteral("/associated"));
    QFile log(stubDir + QStringLiteral("/log"));
    QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Truncate));
}

QList<StubCall> TestNetIntegration::calls() const
{
    QFile log(stubDir + QStringLiteral("/log"));
    if (!log.open(QIODevice::ReadOnly))
        qFatal("no stub log in %s", qPrintable(stubDir));
    QList<StubCall> result;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (!line.isEmpty())
            result << parseCall(line);
    }
    return result;
}

QStringList TestNetIntegration::callLines() const
{
    QStringList lines;
    for (const StubCall &call : calls()) {
        QString program = call.program;
        program.replace(stubDir + QStringLiteral("/bin/"), QStringLiteral("@"));
        lines << (QStringList(program) + call.arguments).join(QLatin1Char(','));
    }
    return lines;
}

void TestNetIntegration::setOutput(const QString &tool, const QByteArray &output) const
{
    QFile file(stubDir + QStringLiteral("/out/") + tool);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(output), qint64(output.size()));
}

void TestNetIntegration::interfacesAsQtListsThem()
{
    NetworkManager manager; // no Wi-Fi in here, so nothing to switch on
    QCOMPARE(callLines(), QStringList());

    QStringList ethernet;
    for (const QNetworkInterface &interface : manager.ethernetInterfaces())
        ethernet << interface.name();
    QCOMPARE(ethernet, QStringList { QStringLiteral("eth0") });
    QCOMPARE(manager.defaultEthernetInterface(), QStringLiteral("eth0"));
    QVERIFY(manager.wifiInterfaces().isEmpty());
    QVERIFY(manager.defaultWifiInterface().isNull());
}

void TestNetIntegration::startEthernet()
{
    NetworkManager manager;
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
        << QStringList { "@dhclient,-pf,/run/dhclient.eth0.pid,-r,eth0",
               "/sbin/ifconfig,eth0,0.0.0.0,down" };
    QTest::newRow("DHCP release") << "stopDhcp"
                                  << "eth0"
                                  << QStringList { "@dhclient,-pf,/run/dhclient.eth0.pid,-r,eth0" };
    QTest::newRow("Wi-Fi off") << "stopWifiInterface"
                               << "wlan0"
                               << QStringList { "@killall,-9,wpa_supplicant",
                                      "@dhclient,-pf,/run/dhclient.wlan0.pid,-r,wlan0",
                                      "/sbin/ifconfig,wlan0,0.0.0.0,down" };
    QTest::newRow("Wi-Fi on") << "initializeWifiInterface"
                              << "wlan0"
                              << QStringList { "@rfkill,unblock,wifi", "@ifconfig,wlan0,up" };
    QTest::newRow("Wi-Fi on, none here") << "initializeWifiInterface"
                                         << "" << QStringList();
    QTest::newRow("Wi-Fi off, none here") << "stopWifiInterface"
                                          << "" << QStringList();
}

void TestNetIntegration::blockingRuns()
{
    QFETCH(QString, operation);
    QFETCH(QString, interface);
    QFETCH(QStringList, calls);
    NetworkManager manager;

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
    NetworkManager manager;
    const int result = manager.startDhcp(QStringLiteral("eth0"));
    QVERIFY(QFile::rename(aside, client));

    QCOMPARE(result, 1001);
    QCOMPARE(callLines(), QStringList());
}

void TestNetIntegration::linkTest()
{
    NetworkManager manager;
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
    // Not UTF-8: a network name may be any bytes, and the file must carry them unchanged.
    const QByteArray config(
        "# reading passphrase from stdin\nnetwork={\n\tssid=\"Caf\xe9\"\n\tpsk=00ff\n}\n");
    setOutput(QStringLiteral("wpa_passphrase"), config);
    NetworkManager manager;

    QCOMPARE(
        manager.connectToAp(QStringLiteral("Caf\u00e9 Net"), passphrase, QStringLiteral("wlan0")),
        0);

    const QString dhclient = QStringLiteral("/sbin/dhclient");
    QTRY_COMPARE(calls().constLast().program, dhclient);
    const QList<StubCall> logged = calls();
    const QStringList lines = callLines();
    QCOMPARE(lines.mid(0, 5),
        (QStringList { QStringLiteral("@killall,-9,wpa_supplicant"),
            QStringLiteral("@dhclient,-pf,/run/dhclient.wlan0.pid,-r,wlan0"),
            QStringLiteral("/sbin/ifconfig,wlan0,0.0.0.0,down"),
            QStringLiteral("@rfkill,unblock,wifi"), QStringLiteral("@ifconfig,wlan0,up") }));
    QCOMPARE(logged.at(5).arguments, QStringList { QStringLiteral("Caf\u00e9 Net") });
    QVERIFY(logged.at(5).hasInput);
    QCOMPARE(logged.at(5).input, passphrase.toUtf8() + '\n');
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

QTEST_GUILESS_MAIN(TestNetIntegration)
#include "tst_netintegration.moc"
