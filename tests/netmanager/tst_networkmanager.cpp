#include "fakenetsystem.h"

#include <networkmanager.h>

#include <QtTest>

#include <functional>

namespace {
QString dhclientStart(const QString &name)
{
    return QStringLiteral("detached /sbin/dhclient,-4,-v,-i,-pf,/run/dhclient.%1.pid,"
                          "-lf,/var/lib/dhcp/dhclient.%1.leases,-I,"
                          "-df,/var/lib/dhcp/dhclient6.%1.leases,%1")
        .arg(name);
}
QString dhclientRelease(const QString &name)
{
    return QStringLiteral(
        "run dhclient,-pf,/run/dhclient.%1.pid,-lf,/var/lib/dhcp/dhclient.%1.leases,-r,%1")
        .arg(name);
}
QString up(const QString &name)
{
    return QStringLiteral("run ifconfig,%1,up").arg(name);
}
QString down(const QString &name)
{
    return QStringLiteral("run /sbin/ifconfig,%1,0.0.0.0,down").arg(name);
}
const QString rfkill = QStringLiteral("run rfkill,unblock,wifi");
const QString killall = QStringLiteral("run killall,-9,wpa_supplicant");

QString text(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Every operation with one interface argument, its result as text ("-" for none).
using Operation = std::function<QString(NetworkManager &, const QString &)>;
const QMap<QString, Operation> &operationTable()
{
    static const QMap<QString, Operation> table {
        { QStringLiteral("startEthernetInterface"),
            [](NetworkManager &m, const QString &i) {
                return QString::number(m.startEthernetInterface(i));
            } },
        { QStringLiteral("stopEthernetInterface"),
            [](NetworkManager &m, const QString &i) {
                m.stopEthernetInterface(i);
                return QStringLiteral("-");
            } },
        { QStringLiteral("startDhcp"),
            [](NetworkManager &m, const QString &i) { return QString::number(m.startDhcp(i)); } },
        { QStringLiteral("stopDhcp"),
            [](NetworkManager &m, const QString &i) {
                m.stopDhcp(i);
                return QStringLiteral("-");
            } },
        { QStringLiteral("initializeWifiInterface"),
            [](NetworkManager &m, const QString &i) {
                m.initializeWifiInterface(i);
                return QStringLiteral("-");
            } },
        { QStringLiteral("stopWifiInterface"),
            [](NetworkManager &m, const QString &i) {
                m.stopWifiInterface(i);
                return QStringLiteral("-");
            } },
        { QStringLiteral("isWifiConnected"),
            [](NetworkManager &m, const QString &i) { return text(m.isWifiConnected(i)); } },
        { QStringLiteral("connectToAp"),
            [](NetworkManager &m, const QString &i) {
                return QString::number(
                    m.connectToAp(QStringLiteral("Home"), QStringLiteral("secret99"), i));
            } },
    };
    return table;
}

QByteArray fixture(const QString &name)
{
    QFile file(QFINDTESTDATA(QStringLiteral("fixtures/") + name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("no fixture %s", qPrintable(name));
    return file.readAll();
}

// Sets the fake machine up from short entries: "-prog" is not installed, "!prog" fails to
// start, "/path=text" is a file and "^/path=text" a file that refuses writes; "$$" in a path
// stands for this process.
void prepare(FakeNetSystem &fake, const QStringList &setup)
{
    for (const QString &entry : setup) {
        const QString rest = entry.mid(1);
        if (entry.startsWith(QLatin1Char('-'))) {
            fake.missingPrograms.insert(rest);
        } else if (entry.startsWith(QLatin1Char('!'))) {
            fake.failingStarts.insert(rest);
        } else if (entry.startsWith(QLatin1Char('@'))) {
            fake.machineName = rest;
        } else {
            QString path = entry.section(QLatin1Char('='), 0, 0);
            path.replace(QLatin1String("$$"), QString::number(QCoreApplication::applicationPid()));
            if (path.startsWith(QLatin1Char('^')))
                fake.readOnly.insert(path.remove(0, 1));
            fake.files[path] = entry.section(QLatin1Char('='), 1)
                                   .toUtf8()
                                   .replace(QByteArray("\\0"), QByteArray(1, 0));
        }
    }
}

// "ssid|quality|on", and with `details` "|bssid frequency MHz signal dBm security".
QStringList render(const QList<WifiAp> &aps, bool details = false)
{
    const QStringList securities { "?", "open", "WEP", "WPA", "WPA2", "WPA3", "802.1X" };
    QStringList result;
    for (const WifiAp &ap : aps) {
        result << QStringLiteral("%1|%2|%3")
                      .arg(ap.ssid)
                      .arg(ap.quality)
                      .arg(ap.encrypted ? "on" : "off")
                + (details ? QStringLiteral("|%1 %2 MHz %3 dBm %4")
                                 .arg(ap.bssid)
                                 .arg(ap.frequency)
                                 .arg(ap.signalDbm)
                                 .arg(securities.value(int(ap.security)))
                           : QString());
    }
    return result;
}

// What apList() finds on the default Wi-Fi interface wlan1 when `tool` prints `output`; iw is
// taken only where iwlist is missing. `calls` gets what it ran.
QStringList scan(const QString &tool, const QByteArray &output, QStringList *calls = nullptr,
    bool details = false)
{
    FakeNetSystem fake(QStringLiteral("eth0:e wlan1:w wlan0:w"));
    if (tool != QLatin1String("iwlist"))
        fake.missingPrograms.insert(QStringLiteral("iwlist"));
    fake.setOutputs(tool, { output });
    NetworkManager manager;
    fake.calls.clear();
    const QStringList aps = render(manager.apList(), details);
    if (calls)
        *calls = fake.calls;
    return aps;
}
} // namespace

class TestNetworkManager : public QObject
{
    Q_OBJECT

private slots:
    // The controller's trace lines are checked.
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("zrnet.net.debug=true"));
    }
    void interfacesAndDefaults_data();
    void interfacesAndDefaults();
    void operations_data();
    void operations();
    void unusableNames_data();
    void unusableNames();
    void linkTest_data();
    void linkTest();
    void linkTestThroughMetaObject();
    void connectedAp_data();
    void connectedAp();
    void apList_data();
    void apList();
    void connectToAp_data();
    void connectToAp();
    void oneLineOnly_data();
    void oneLineOnly();
    void resultTexts_data();
    void resultTexts();
    void modernTools_data();
    void modernTools();
    void choiceIsLogged();
    void iwScan_data();
    void iwScan();
    void sameAirEitherTool();
    void iwLink_data();
    void iwLink();
};

void TestNetworkManager::interfacesAndDefaults_data()
{
    QTest::addColumn<QString>("interfaces");
    QTest::addColumn<int>("wifiCount");
    QTest::addColumn<int>("ethernetCount");
    QTest::addColumn<QString>("defaultWifi");
    QTest::addColumn<QString>("defaultEthernet");
    QTest::addColumn<QStringList>("constructorCalls");
    QTest::addColumn<QStringList>("withDevice");

    QTest::newRow("nothing") << QString() << 0 << 0 << QString() << QString() << QStringList()
                             << QStringList();
    QTest::newRow("Ethernet only")
        << "lo:l eth0:e" << 0 << 1 << QString() << "eth0" << QStringList() << QStringList();
    QTest::newRow("Wi-Fi first") << "wlan0:w wlan1:w eth0:e" << 2 << 1 << "wlan0"
                                 << "eth0" << QStringList { rfkill, up("wlan0") } << QStringList();
    QTest::newRow("enumeration order decides")
        << "lo:l eth1:e wlan1:w eth0:e wlan0:w" << 2 << 2 << "wlan1"
        << "eth1" << QStringList { rfkill, up("wlan1") } << QStringList();
    QTest::newRow("virtual ones before the port")
        << "lo:l ifb0:e docker0:e eth0:e veth1:e" << 0 << 4 << QString() << "eth0" << QStringList()
        << QStringList { "lo", "eth0" };
    QTest::newRow("first of two ports")
        << "tap0:e eth0:e eth1:e wlp0:w wlan0:w wlan1:w" << 3 << 3 << "wlan0"
        << "eth0" << QStringList { rfkill, up("wlan0") }
        << QStringList { "eth0", "eth1", "wlan0", "wlan1" };
    QTest::newRow("device of another kind")
        << "wlan0:w wlan1:w eth0:e eth1:e" << 2 << 2 << "wlan0"
        << "eth1" << QStringList { rfkill, up("wlan0") } << QStringList { "eth1" };
}

void TestNetworkManager::interfacesAndDefaults()
{
    QFETCH(QString, interfaces);
    QFETCH(QString, defaultWifi);
    QFETCH(QString, defaultEthernet);
    QFETCH(QStringList, withDevice);
    FakeNetSystem fake(interfaces);
    for (const QString &name : withDevice)
        fake.files[QStringLiteral("/sys/class/net/%1/device/vendor").arg(name)] = "0x8086\n";
    for (const QString &name : interfaces.split(QLatin1Char(' ')))
        fake.files[QStringLiteral("/sys/class/net/%1/mtu")
                       .arg(name.section(QLatin1Char(':'), 0, 0))]
            = "1500\n";

    NetworkManager manager;
    QTEST(fake.calls, "constructorCalls");
    QTEST(int(manager.wifiInterfaces().size()), "wifiCount");
    QTEST(int(manager.ethernetInterfaces().size()), "ethernetCount");
    QCOMPARE(manager.defaultWifiInterface(), defaultWifi);
    QCOMPARE(manager.defaultWifiInterface().isNull(), defaultWifi.isNull());
    QCOMPARE(manager.defaultEthernetInterface(), defaultEthernet);
    QCOMPARE(manager.defaultEthernetInterface().isNull(), defaultEthernet.isNull());
}

void TestNetworkManager::operations_data()
{
    QTest::addColumn<QString>("interfaces");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<bool>("dhclientStarts");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QStringList>("calls");

    const QString both = QStringLiteral("lo:l eth0:e wlan0:w eth1:e");
    const QString ethernet = QStringLiteral("lo:l eth0:e");
    const QString wifi = QStringLiteral("wlan0:w");

    QTest::newRow("Ethernet up, default")
        << both << "startEthernetInterface"
        << "" << true << "0" << QStringList { up("eth0"), dhclientStart("eth0") };
    QTest::newRow("Ethernet up, named")
        << both << "startEthernetInterface"
        << "eth1" << true << "0" << QStringList { up("eth1"), dhclientStart("eth1") };
    QTest::newRow("Ethernet up, no client")
        << both << "startEthernetInterface"
        << "" << false << "1001" << QStringList { up("eth0"), dhclientStart("eth0") };
    QTest::newRow("Ethernet up, none") << wifi << "startEthernetInterface"
                                       << "" << true << "1002" << QStringList();
    QTest::newRow("Ethernet down, default")
        << both << "stopEthernetInterface"
        << "" << true << "-" << QStringList { dhclientRelease("eth0"), down("eth0") };
    QTest::newRow("Ethernet down, none") << wifi << "stopEthernetInterface"
                                         << "" << true << "-" << QStringList();
    QTest::newRow("DHCP start") << both << "startDhcp"
                                << "wlan0" << true << "0" << QStringList { dhclientStart("wlan0") };
    QTest::newRow("DHCP start fails")
        << both << "startDhcp"
        << "wlan0" << false << "1001" << QStringList { dhclientStart("wlan0") };
    QTest::newRow("DHCP start, empty name") << both << "startDhcp"
                                            << "" << true << "1001" << QStringList();
    QTest::newRow("DHCP release") << both << "stopDhcp"
                                  << "eth0" << true << "-"
                                  << QStringList { dhclientRelease("eth0") };
    QTest::newRow("DHCP release, empty name") << both << "stopDhcp"
                                              << "" << true << "-" << QStringList();
    QTest::newRow("Wi-Fi on, default") << both << "initializeWifiInterface"
                                       << "" << true << "-" << QStringList { rfkill, up("wlan0") };
    QTest::newRow("Wi-Fi on, none") << ethernet << "initializeWifiInterface"
                                    << "" << true << "-" << QStringList();
    QTest::newRow("Wi-Fi off, named")
        << both << "stopWifiInterface"
        << "wlan0" << true << "-"
        << QStringList { killall, dhclientRelease("wlan0"), down("wlan0") };
    QTest::newRow("Wi-Fi off, none") << ethernet << "stopWifiInterface"
                                     << "" << true << "-" << QStringList();
    QTest::newRow("link, none") << ethernet << "isWifiConnected"
                                << "" << true << "false" << QStringList();
    QTest::newRow("join, none") << ethernet << "connectToAp"
                                << "" << true << "1002" << QStringList();
}

void TestNetworkManager::operations()
{
    QFETCH(QString, interfaces);
    QFETCH(QString, operation);
    QFETCH(QString, argument);
    QFETCH(bool, dhclientStarts);
    FakeNetSystem fake(interfaces);
    if (!dhclientStarts)
        fake.failingStarts.insert(QStringLiteral("/sbin/dhclient"));
    NetworkManager manager;
    fake.calls.clear();

    QFETCH(QString, result);
    if (result == QLatin1String("0"))
        QTest::ignoreMessage(QtDebugMsg, "Success!");
    QTEST(operationTable().value(operation)(manager, argument), "result");
    QTEST(fake.calls, "calls");
}

void TestNetworkManager::unusableNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("usable");

    QTest::newRow("blank inside") << "eth0 up" << false;
    QTest::newRow("line end") << "eth0\n" << false;
    QTest::newRow("tab") << "\teth0" << false;
    QTest::newRow("slash") << "../../etc/x" << false;
    QTest::newRow("colon") << "eth0:1" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("16 bytes") << "abcdefghijklmnop" << false;
    QTest::newRow("16 UTF-8 bytes") << QString(8, QChar(0xe9)) << false;
    QTest::newRow("option") << "-x" << false;
    QTest::newRow("NUL") << QString::fromLatin1("eth0\0x", 6) << false;
    QTest::newRow("15 bytes") << "abcdefghijklmno" << true;
    QTest::newRow("15 UTF-8 bytes") << QString(7, QChar(0xe9)) + QLatin1Char('x') << true;
    QTest::newRow("VLAN") << "eth0.100" << true;
    QTest::newRow("three dots") << "..." << true;
}

// A refused name runs nothing, whichever operation gets it; a good one always reaches a tool.
void TestNetworkManager::unusableNames()
{
    QFETCH(QString, name);
    QFETCH(bool, usable);
    const QMap<QString, QString> refusals { { QStringLiteral("startEthernetInterface"),
                                                QStringLiteral("1002") },
        { QStringLiteral("startDhcp"), QStringLiteral("1002") },
        { QStringLiteral("isWifiConnected"), QStringLiteral("false") },
        { QStringLiteral("connectToAp"), QStringLiteral("1002") } };
    // A usable name still has to be an interface of the machine.
    FakeNetSystem fake(QStringLiteral("wlan0:w eth0:e ") + (usable ? name + ":w" : QString()));
    NetworkManager manager;

    for (auto op = operationTable().cbegin(); op != operationTable().cend(); ++op) {
        fake.calls.clear();
        const QString result = op.value()(manager, name);
        QVERIFY2(fake.calls.isEmpty() != usable, qPrintable(op.key()));
        if (!usable)
            QCOMPARE(result, refusals.value(op.key(), QStringLiteral("-")));
    }
}

void TestNetworkManager::linkTest_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("connected");

    QTest::newRow("connected") << QByteArray(
        "Connected to 02:00:00:00:00:01 (on wlan1)\n\tSSID: Home\n")
                               << true;
    QTest::newRow("upper case") << QByteArray("CONNECTED TO 02:00:00:00:00:01\n") << true;
    QTest::newRow("mixed case") << QByteArray("connected To x") << true;
    QTest::newRow("not connected") << QByteArray("Not connected.\n") << false;
    QTest::newRow("leading blank") << QByteArray(" Connected to 02:00:00:00:00:01\n") << false;
    QTest::newRow("second line") << QByteArray("\nConnected to 02:00:00:00:00:01\n") << false;
    QTest::newRow("nothing") << QByteArray() << false;
}

void TestNetworkManager::linkTest()
{
    QFETCH(QByteArray, output);
    FakeNetSystem fake(QStringLiteral("eth0:e wlan1:w wlan0:w"));
    fake.setOutputs(QStringLiteral("iw"), { output });
    NetworkManager manager;
    fake.calls.clear();

    QTEST(manager.isWifiConnected(QString()), "connected");
    QCOMPARE(fake.calls, QStringList { QStringLiteral("capture iw,wlan1,link") });
}

void TestNetworkManager::linkTestThroughMetaObject()
{
    FakeNetSystem fake(QStringLiteral("eth0:e wlan1:w wlan0:w"));
    fake.setOutputs(QStringLiteral("iw"), { "Connected to 02:00:00:00:00:01\n" });
    NetworkManager manager;
    fake.calls.clear();

    bool connected = false;
    QVERIFY(QMetaObject::invokeMethod(
        &manager, "isWifiConnected", Qt::DirectConnection, Q_RETURN_ARG(bool, connected)));
    QVERIFY(connected);
    connected = false;
    QVERIFY(QMetaObject::invokeMethod(&manager, "isWifiConnected", Qt::DirectConnection,
        Q_RETURN_ARG(bool, connected), Q_ARG(QString, QStringLiteral("wlan0"))));
    QVERIFY(connected);
    QCOMPARE(fake.calls,
        (QStringList {
            QStringLiteral("capture iw,wlan1,link"), QStringLiteral("capture iw,wlan0,link") }));
}

void TestNetworkManager::connectedAp_data()
{
    QTest::addColumn<QString>("interfaces");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("network");
    QTest::addColumn<QStringList>("calls");

    const QString wifi = QStringLiteral("eth0:e wlan1:w wlan0:w");
    const QStringList iwconfig { QStringLiteral("capture iwconfig,wlan1") };
    QTest::newRow("named") << wifi
                           << QByteArray("wlan1     IEEE 802.11  ESSID:\"Home\"  \n"
                                         "          Mode:Managed  Frequency:2.412 GHz\n")
                           << "Home" << iwconfig;
    QTest::newRow("off/any") << wifi << QByteArray("wlan1     IEEE 802.11  ESSID:off/any\n")
                             << QString() << iwconfig;
    QTest::newRow("quote inside") << wifi << QByteArray("ESSID:\"Bob\"s\"  \n") << "Bob\"s"
                                  << iwconfig;
    QTest::newRow("escaped, and a nickname")
        << wifi << QByteArray("ESSID:\"Caf\\xC3\\xA9 \"  Nickname:\"a\"\n") << "Caf\u00e9 "
        << iwconfig;
    QTest::newRow("one quote") << wifi << QByteArray("ESSID:\"Home\n") << "Home" << iwconfig;
    QTest::newRow("last line wins")
        << wifi << QByteArray("ESSID:\"Home\"\nESSID:\"Work\"\n") << "Work" << iwconfig;
    QTest::newRow("unfinished last line")
        << wifi << QByteArray("ESSID:\"Home\"\nESSID:\"Work\"") << "Home" << iwconfig;
    QTest::newRow("case matters") << wifi << QByteArray("essid:\"Home\"\n") << QString()
                                  << iwconfig;
    QTest::newRow("no Wi-Fi") << "eth0:e" << QByteArray("ESSID:\"Home\"\n") << QString()
                              << QStringList();
}

void TestNetworkManager::connectedAp()
{
    QFETCH(QString, interfaces);
    QFETCH(QByteArray, output);
    QFETCH(QString, network);
    FakeNetSystem fake(interfaces);
    fake.setOutputs(QStringLiteral("iwconfig"), { output });
    NetworkManager manager;
    fake.calls.clear();

    const QString found = manager.connectedAp();
    QCOMPARE(found, network);
    QCOMPARE(found.isNull(), network.isNull());
    QTEST(fake.calls, "calls");
}

void TestNetworkManager::apList_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("aps");

    QTest::newRow("three cells") << QByteArray(
        "wlan1     Scan completed :\n"
        "          Cell 01 - Address: 02:00:00:00:00:01\n"
        "                    Channel:1\n"
        "                    Quality=70/70  Signal level=-30 dBm  \n"
        "                    Encryption key:on\n"
        "                    ESSID:\"Home\"\n"
        "          Cell 02 - Address: 02:00:00:00:00:02\n"
        "                    Quality=35/70  Signal level=-75 dBm  \n"
        "                    Encryption key:off\n"
        "                    ESSID:\"Cafe Guest\"\n"
        "          Cell 03 - Address: 02:00:00:00:00:03\n"
        "                    Quality=47/70  Signal level=-63 dBm  \n"
        "                    Encryption key:ON\n"
        "                    ESSID:\"\"\n")
                                 << QStringList { "Home|100|on", "Cafe Guest|50|off", "|67|on" };
    QTest::newRow("odd qualities") << QByteArray("Cell 01\nQuality=0/0\n"
                                                 "Cell 02\nQuality=70\n"
                                                 "Cell 03\nQuality:70/70\n"
                                                 "Cell 04\nQuality=300/70\n"
                                                 "Cell 05\nQuality=-35/70\n"
                                                 "Cell 06\nQuality=abc/70\n"
                                                 "Cell 07\nQuality=35/70\nQuality=9/0\n"
                                                 "Cell 08\nQuality=1e300/1e-300\n")
                                   << QStringList { "|0|off", "|0|off", "|0|off", "|100|off",
                                          "|0|off", "|0|off", "|50|off", "|100|off" };
    QTest::newRow("name edits") << QByteArray("Cell 01\nESSID:\"a\"b\"\n"
                                              "Cell 02\nESSID:\"xESSID:y\"\n"
                                              "Cell 03\nESSID:\"Quality=35/70\"\n"
                                              "Cell 04\nESSID:\"Encryption key:on\"\n"
                                              "Cell 05\nESSID:\"first\"\nESSID:\"second\"\n")
                                << QStringList { "a\"b|0|off", "xESSID:y|0|off",
                                       "Quality=35/70|0|off", "Encryption key:on|0|off",
                                       "second|0|off" };
    QTest::newRow("prefixes are exact") << QByteArray("Cell 01\nencryption key:on\nquality=70/70\n"
                                                      "essid:\"x\"\nCell02\n")
                                        << QStringList { "|0|off" };
    QTest::newRow("lines before the first cell")
        << QByteArray("ESSID:\"early\"\nQuality=35/70\nCell 01 - Address: x\nEncryption key:on\n")
        << QStringList { "early|50|on" };
    QTest::newRow("same network twice")
        << QByteArray("Cell 01\nESSID:\"Home\"\nCell 02\nESSID:\"Home\"\n")
        << QStringList { "Home|0|off", "Home|0|off" };
    QTest::newRow("no cell") << QByteArray("ESSID:\"x\"\nQuality=70/70\n") << QStringList();
    QTest::newRow("unfinished last line")
        << QByteArray("Cell 01\nESSID:\"a\"\nQuality=70/70") << QStringList { "a|0|off" };
    QTest::newRow("nothing") << QByteArray() << QStringList();
}

void TestNetworkManager::apList()
{
    QFETCH(QByteArray, output);
    QStringList calls;
    QTEST(scan(QStringLiteral("iwlist"), output, &calls), "aps");
    QCOMPARE(calls, QStringList { QStringLiteral("capture iwlist,wlan1,scan") });
}

void TestNetworkManager::connectToAp_data()
{
    QTest::addColumn<QList<QByteArray>>("linkOutputs");
    QTest::addColumn<bool>("dhclientStarts");
    QTest::addColumn<int>("polls");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("network"); // what iwconfig names once the link is up

    const QByteArray no("Not connected.\n");
    const QByteArray yes("Connected to 02:00:00:00:00:01 (on wlan0)\n");
    const QByteArray home("wlan0     IEEE 802.11  ESSID:\"My Home\"  \n");
    QTest::newRow("first poll") << QList<QByteArray> { yes } << true << 1 << 0 << home;
    QTest::newRow("third poll") << QList<QByteArray> { no, no, yes } << true << 3 << 0 << home;
    QTest::newRow("third poll, no client")
        << QList<QByteArray> { no, no, yes } << false << 3 << 1001 << home;
    QTest::newRow("never") << QList<QByteArray> { no } << true << 12 << 1000 << home;
    QTest::newRow("twelfth poll") << (QList<QByteArray>()
        << QVector<QByteArray>(11, no).toList() << yes)
                                  << true << 12 << 0 << home;
    QTest::newRow("up, but to the network it had")
        << QList<QByteArray> { yes } << true << 12 << 1000
        << QByteArray("wlan0     IEEE 802.11  ESSID:\"My Home 2\"  \n");
}

void TestNetworkManager::connectToAp()
{
    QFETCH(QList<QByteArray>, linkOutputs);
    QFETCH(bool, dhclientStarts);
    QFETCH(int, polls);
    QFETCH(QByteArray, network);
    // Not UTF-8: a network name may be any bytes, and the file must carry them unchanged;
    // the passphrase the tool repeats as a comment stays off the disk.
    const QByteArray config(
        "# reading passphrase from stdin\nnetwork={\n\tssid=\"Caf\xe9\"\n\tpsk=00ff\n}\n");
    QByteArray printed = config;
    printed.insert(printed.indexOf("\tpsk"), "\t#psk=\"pass phrase\"\n");
    FakeNetSystem fake(QStringLiteral("eth0:e wlan0:w wlan1:w"));
    fake.setOutputs(QStringLiteral("iw"), linkOutputs);
    fake.setOutputs(QStringLiteral("iwconfig"), { network });
    fake.setOutputs(QStringLiteral("wpa_passphrase"), { printed });
    if (!dhclientStarts)
        fake.failingStarts.insert(QStringLiteral("/sbin/dhclient"));
    NetworkManager manager;
    fake.calls.clear();

    QFETCH(int, result);
    QCOMPARE(
        manager.connectToAp(QStringLiteral("My Home"), QStringLiteral("pass phrase"), QString()),
        result);

    QStringList expected { QStringLiteral("capture wpa_passphrase,My Home <pass phrase\n"), killall,
        dhclientRelease("wlan0"), down("wlan0"), rfkill, up("wlan0"),
        QStringLiteral("detached /sbin/wpa_supplicant,-c,%1,-i,wlan0,-B").arg(fake.configName) };
    for (int i = 0; i < polls; ++i) {
        expected << QStringLiteral("sleep 500") << QStringLiteral("capture iw,wlan0,link");
        if (linkOutputs.value(i, linkOutputs.constLast()).startsWith("Connected"))
            expected << QStringLiteral("capture iwconfig,wlan0");
    }
    if (result != 1000)
        expected << dhclientStart("wlan0");
    QCOMPARE(fake.calls, expected);

    QVERIFY(fake.configName.startsWith(QLatin1String("/run/zrnet/")));
    QCOMPARE(fake.configBytes, config + '\n');
    QVERIFY(!fake.files.contains(fake.configName));
}

void TestNetworkManager::oneLineOnly_data()
{
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("passphrase");

    QTest::newRow("line feed") << "Home"
                               << "secret99\nrest";
    QTest::newRow("carriage return") << "Home"
                                     << "secret99\rrest";
    QTest::newRow("NUL") << "Home" << QString::fromLatin1("secret99\0rest", 13);
    QTest::newRow("line end only at the end") << "Home"
                                              << "secret99\n";
    QTest::newRow("line feed in the name") << "x\"\n\tkey_mgmt=NONE\n#"
                                           << "secret99";
    QTest::newRow("carriage return in the name") << "Home\r"
                                                 << "secret99";
    QTest::newRow("7 characters") << "Home"
                                  << "secret9";
    QTest::newRow("64 characters, not hex") << "Home" << QString(64, QLatin1Char('x'));
    QTest::newRow("65 hex digits") << "Home" << QString(65, QLatin1Char('a'));
    QTest::newRow("not ASCII") << "Home"
                               << "secr\u00e9t99";
}

// The passphrase would reach the tool only up to the break (or be cut to 63 characters), and a
// name with a break would write lines of its own into the supplicant's configuration: refused
// before anything runs.
void TestNetworkManager::oneLineOnly()
{
    QFETCH(QString, ssid);
    QFETCH(QString, passphrase);
    FakeNetSystem fake(QStringLiteral("eth0:e wlan0:w"));
    NetworkManager manager;
    fake.calls.clear();

    QCOMPARE(manager.connectToAp(ssid, passphrase, QString()), 1000);
    QCOMPARE(fake.calls, QStringList());
}

void TestNetworkManager::resultTexts_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("text");

    QTest::newRow("0") << 0 << "connected; DHCP started";
    QTest::newRow("1000") << 1000
                          << "the Wi-Fi link did not come up (wrong passphrase or out of range)";
    QTest::newRow("1001") << 1001 << "DHCP could not start";
    QTest::newRow("1002") << 1002 << "no usable network interface";
    QTest::newRow("1003") << 1003 << "the access point could not start";
    QTest::newRow("other") << 1005 << "unknown result";
}

// The ints the operations return name their outcome through the enum.
void TestNetworkManager::resultTexts()
{
    QFETCH(int, result);
    QTEST(netResultText(NetResult(result)), "text");
}

void TestNetworkManager::modernTools_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QStringList>("calls");

    const QStringList noDhclient { "-/sbin/dhclient", "-dhclient" };
    const QStringList noDhcpcd = noDhclient + QStringList { "-dhcpcd" };
    const QStringList noClient = noDhcpcd + QStringList { "-udhcpc", "-busybox" };
    const QStringList noIfconfig { "-ifconfig", "-/sbin/ifconfig" };
    const QStringList udhcpc { "/run/udhcpc.eth0.pid=42\n", "/proc/42/comm=udhcpc\n",
        "/proc/42/stat=42 (udhcpc) S 1 42 42 0 -1", "/proc/42/cmdline=/sbin/udhcpc\\0-i" };
    const QStringList busybox { "/run/udhcpc.eth0.pid=7", "/proc/7/comm=busybox\n" };
    const QString ipUp = "run ip,link,set,dev,%1,up";
    const QString flush = "run ip,addr,flush,dev,%1";
    const QString ipDown = "run ip,link,set,dev,%1,down";

    QTest::newRow("up with ip, DHCP with dhcpcd")
        << "startEthernetInterface"
        << "" << noIfconfig + noDhclient << "0"
        << QStringList { ipUp.arg("eth0"), "detached dhcpcd,-4,-b,eth0" };
    QTest::newRow("dhcpcd fails to start")
        << "startDhcp"
        << "eth0" << noDhclient + QStringList { "!dhcpcd" } << "1001"
        << QStringList { "detached dhcpcd,-4,-b,eth0" };
    QTest::newRow("udhcpc") << "startDhcp"
                            << "eth0" << noDhcpcd << "0"
                            << QStringList { "detached udhcpc,-i,eth0,-b,-p,/run/udhcpc.eth0.pid" };
    QTest::newRow("busybox udhcpc")
        << "startDhcp"
        << "eth0" << noDhcpcd + QStringList { "-udhcpc" } << "0"
        << QStringList { "detached busybox,udhcpc,-i,eth0,-b,-p,/run/udhcpc.eth0.pid" };
    // Each client sends the machine's name its own way; dhclient as its configuration says.
    const QString dhclient = dhclientStart("eth0").replace(",eth0", ",%1eth0");
    QTest::newRow("name to dhcpcd") << "startDhcp"
                                    << "eth0" << noDhclient + QStringList { "@kiosk-lobby" } << "0"
                                    << QStringList { "detached dhcpcd,-4,-b,-h,kiosk-lobby,eth0" };
    QTest::newRow("name to udhcpc")
        << "startDhcp"
        << "eth0" << noDhcpcd + QStringList { "@kiosk-lobby" } << "0"
        << QStringList {
               "detached udhcpc,-i,eth0,-b,-p,/run/udhcpc.eth0.pid,-x,hostname:kiosk-lobby"
           };
    QTest::newRow("name to dhclient, by a configuration of its own")
        << "startDhcp"
        << "eth0" << QStringList { "@kiosk-lobby" } << "0"
        << QStringList { dhclient.arg("-cf,/run/dhclient.eth0.conf,") };
    QTest::newRow("name to dhclient, by the machine's configuration")
        << "startDhcp"
        << "eth0"
        << QStringList { "@kiosk-lobby", "/etc/dhcp/dhclient.conf=  send host-name \"x\";\n" }
        << "0" << QStringList { dhclient.arg("") };
    QTest::newRow("no name worth sending") << "startDhcp"
                                           << "eth0" << noDhclient + QStringList { "@localhost" }
                                           << "0" << QStringList { "detached dhcpcd,-4,-b,eth0" };
    QTest::newRow("no client, no ip")
        << "startEthernetInterface"
        << "" << noClient + noIfconfig + QStringList { "-ip" } << "1001" << QStringList();
    QTest::newRow("release with dhcpcd")
        << "stopDhcp"
        << "eth0" << noDhclient << "-" << QStringList { "run dhcpcd,-4,-k,eth0" };
    QTest::newRow("release a udhcpc through its pid file")
        << "stopDhcp"
        << "eth0" << noDhcpcd + udhcpc << "-" << QStringList { "signal 42 12", "signal 42 15" };
    QTest::newRow("release a busybox udhcpc")
        << "stopDhcp"
        << "eth0" << noClient + busybox + QStringList { "/proc/7/cmdline=busybox\\0udhcpc" } << "-"
        << QStringList { "signal 7 12", "signal 7 15" };
    QTest::newRow("stale pid file of another busybox applet")
        << "stopDhcp"
        << "eth0" << noClient + busybox + QStringList { "/proc/7/cmdline=busybox\\0sh" } << "-"
        << QStringList();
    QTest::newRow("stale pid file")
        << "stopDhcp"
        << "eth0" << noDhcpcd + QStringList { "/run/udhcpc.eth0.pid=42\n", "/proc/42/comm=sshd\n" }
        << "-" << QStringList();
    QTest::newRow("pid file of init")
        << "stopDhcp"
        << "eth0" << noDhcpcd + QStringList { "/run/udhcpc.eth0.pid=1\n", "/proc/1/comm=udhcpc\n" }
        << "-" << QStringList();
    QTest::newRow("Ethernet down with ip and dhcpcd")
        << "stopEthernetInterface"
        << "" << noDhclient + noIfconfig << "-"
        << QStringList { "run dhcpcd,-4,-k,eth0", flush.arg("eth0"), ipDown.arg("eth0") };
    QTest::newRow("Wi-Fi on through /sys")
        << "initializeWifiInterface"
        << ""
        << QStringList { "-rfkill", "-ifconfig", "/sys/class/rfkill/rfkill0/type=wlan\n",
               "/sys/class/rfkill/rfkill0/soft=1\n", "/sys/class/rfkill/rfkill1/type=bluetooth\n",
               "/sys/class/rfkill/rfkill1/soft=1\n", "/sys/class/rfkill/rfkill2/type=wlan\n",
               "^/sys/class/rfkill/rfkill2/soft=1\n", "/sys/class/rfkill/rfkill3/type=wlan\n",
               "/sys/class/rfkill/rfkill3/soft=0\n" }
        << "-"
        << QStringList { "write /sys/class/rfkill/rfkill0/soft 0",
               "write /sys/class/rfkill/rfkill3/soft 0", ipUp.arg("wlan0") };
    QTest::newRow("Wi-Fi off through /proc")
        << "stopWifiInterface"
        << "wlan0"
        << QStringList { "-killall", "/proc/17/comm=wpa_supplicant\n",
               "/proc/8/comm=wpa_supplicant2\n", "/proc/9/comm=xwpa_supplicant\n",
               "/proc/self/comm=wpa_supplicant\n", "/proc/$$/comm=wpa_supplicant\n",
               "/proc/42/comm=wpa_supplicant\n", "/proc/13/comm=WPA_SUPPLICANT\n" }
        << "-"
        << QStringList { "signal 17 9", "signal 42 9", dhclientRelease("wlan0"), down("wlan0") };
    QTest::newRow("nothing to end, nothing to unblock")
        << "connectToAp"
        << "" << QStringList { "-killall", "-rfkill", "-dhclient", "-dhcpcd", "-/sbin/ifconfig" }
        << "1000"
        << QStringList { "capture wpa_passphrase,Home <secret99\n", flush.arg("wlan0"),
               ipDown.arg("wlan0"), up("wlan0"), "detached /sbin/wpa_supplicant,-c,*" };
}

// Where a classic tool is missing, each step takes its modern equivalent; the classic cases are
// the other tests, which run with every tool installed.
void TestNetworkManager::modernTools()
{
    QFETCH(QString, operation);
    QFETCH(QString, argument);
    QFETCH(QStringList, setup);
    QFETCH(QString, result);
    QFETCH(QStringList, calls);
    FakeNetSystem fake(QStringLiteral("eth0:e wlan0:w"));
    prepare(fake, setup);
    fake.setOutputs(QStringLiteral("wpa_passphrase"), { "network={\n\tpsk=00\n}\n" });
    NetworkManager manager;
    fake.calls.clear();

    if (result == QLatin1String("0"))
        QTest::ignoreMessage(QtDebugMsg, "Success!");
    QCOMPARE(operationTable().value(operation)(manager, argument), result);
    // A join polls the link twelve times: compare up to the supplicant's start.
    if (!calls.isEmpty() && calls.constLast().endsWith(QLatin1Char('*'))) {
        QVERIFY(fake.calls.size() > calls.size());
        QVERIFY(fake.calls.at(calls.size() - 1).startsWith(calls.constLast().chopped(1)));
        fake.calls = fake.calls.mid(0, calls.size() - 1);
        calls.removeLast();
    }
    QCOMPARE(fake.calls, calls);
}

void TestNetworkManager::choiceIsLogged()
{
    FakeNetSystem fake(QStringLiteral("eth0:e"));
    fake.missingPrograms = { QStringLiteral("ifconfig"), QStringLiteral("/sbin/dhclient"),
        QStringLiteral("dhcpcd"), QStringLiteral("udhcpc"), QStringLiteral("busybox") };
    NetworkManager manager;

    QTest::ignoreMessage(QtDebugMsg, "bring an interface up (eth0): ip, as ifconfig is not found");
    QTest::ignoreMessage(QtDebugMsg,
        "start the DHCP client (eth0): skipped, none of /sbin/dhclient, dhcpcd, udhcpc, busybox "
        "found");
    QCOMPARE(manager.startEthernetInterface(QString()), 1001);
}

void TestNetworkManager::iwScan_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("aps");

    QTest::newRow("ath9k") << fixture("iw-scan-ath9k.txt")
                           << QStringList { "Home|100|on", "Cafe Guest|50|off", "|67|on",
                                  "Old Router|27|on", "Caf\u00e9 \"Guest\"|50|off" };
    QTest::newRow("iwlwifi") << fixture("iw-scan-iwlwifi.txt")
                             << QStringList { "Caf\u00e9 Wi-Fi|100|on", " Lobby |98|off",
                                    "back\\slash\"quote|0|on", "|0|on",
                                    "\u65c5\u9928 Guest|100|on" };
    QTest::newRow("brcmfmac") << fixture("iw-scan-brcmfmac.txt")
                              << QStringList { "raspberry-net|74|on", "|34|off" };
    QTest::newRow("rndis_wlan, no dBm") << fixture("iw-scan-rndis_wlan.txt")
                                        << QStringList { "usb-stick|60|on", "neighbour|100|off" };
    QTest::newRow("lines before the first BSS")
        << QByteArray("\tSSID: early\n\tsignal: -40.00 dBm\nBSS 02:00:00:00:00:01\n\tSSID: a\n")
        << QStringList { "a|0|off" };
    QTest::newRow("indented BSS is a field")
        << QByteArray("BSS 02:00:00:00:00:01\n\tSSID: a\n\tBSS Load:\n BSS x\n\tSSID: b\n")
        << QStringList { "a|0|off" };
    QTest::newRow("unfinished last line")
        << QByteArray("BSS 02:00:00:00:00:01\n\tSSID: a\nBSS 02:00:00:00:00:02\n\tSSID: b")
        << QStringList { "a|0|off", "|0|off" };
    QTest::newRow("escapes kept when incomplete") << QByteArray(
        "BSS x\n\tSSID: \\x4g\\x41\\\\x41\\x4\n") << QStringList { "\\x4gA\\A\\x4|0|off" };
    QTest::newRow("signal forms") << QByteArray("BSS 1\n\tsignal: -63.-50 dBm\n"
                                                "BSS 2\n\tsignal: 0/0\n"
                                                "BSS 3\n\tsignal: abc\n"
                                                "BSS 4\n\tsignal: 150/100\n"
                                                "BSS 5\n\tsignal: -99999999999 dBm\n"
                                                "BSS 6\n\tsignal: 99999999999 dBm\n"
                                                "BSS 7\n\tsignal: -70.00 dBm\n\tsignal: x\n")
                                  << QStringList { "|67|off", "|0|off", "|0|off", "|100|off",
                                         "|0|off", "|100|off", "|57|off" };
    QTest::newRow("encryption") << QByteArray("BSS 1\n\tcapability: IBSS Privacy (0x0012)\n"
                                              "BSS 2\n\tcapability: ESS PrivacyX (0x0001)\n"
                                              "BSS 3\n\tWPA:\t * Version: 1\n"
                                              "BSS 4\n\tWPS:\t * Version: 1.0\n")
                                << QStringList { "|0|on", "|0|off", "|0|on", "|0|off" };
    QTest::newRow("nothing") << QByteArray() << QStringList();
}

// The iw path, taken where iwlist is missing.
void TestNetworkManager::iwScan()
{
    QFETCH(QByteArray, output);
    QStringList calls;
    QTEST(scan(QStringLiteral("iw"), output, &calls), "aps");
    QCOMPARE(calls, QStringList { QStringLiteral("capture iw,dev,wlan1,scan") });
}

// For the same air, iw gives the records iwlist gives, details included.
void TestNetworkManager::sameAirEitherTool()
{
    const QStringList expected { "Home|100|on|02:1a:11:f0:3c:01 2437 MHz -39 dBm WPA2",
        "Cafe Guest|50|off|02:1a:11:f0:3c:02 2412 MHz -75 dBm open",
        "|67|on|02:1a:11:f0:3c:03 2462 MHz -63 dBm WPA2",
        "Old Router|27|on|02:1a:11:f0:3c:04 2427 MHz -91 dBm WPA",
        "Caf\u00e9 \"Guest\"|50|off|02:1a:11:f0:3c:05 2412 MHz -75 dBm open" };
    QCOMPARE(
        scan(QStringLiteral("iwlist"), fixture("iwlist-scan-ath9k.txt"), nullptr, true), expected);
    QCOMPARE(scan(QStringLiteral("iw"), fixture("iw-scan-ath9k.txt"), nullptr, true), expected);
    QCOMPARE(scan(QStringLiteral("iw"), fixture("iw-scan-iwlwifi.txt"), nullptr, true).first(),
        QStringLiteral("Caf\u00e9 Wi-Fi|100|on|3c:84:6a:10:20:30 5180 MHz -20 dBm WPA3"));
}

void TestNetworkManager::iwLink_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("network");

    QTest::newRow("ath9k") << fixture("iw-link-ath9k.txt") << "Home";
    QTest::newRow("iwlwifi") << fixture("iw-link-iwlwifi.txt") << "Caf\u00e9 Wi-Fi";
    QTest::newRow("brcmfmac, blanks at the ends")
        << fixture("iw-link-brcmfmac.txt") << " two  spaces ";
    QTest::newRow("not connected") << fixture("iw-link-not-connected.txt") << QString();
    QTest::newRow("hidden") << QByteArray("Connected to 02:00:00:00:00:01 (on wlan0)\n\tSSID: \n")
                            << "";
    QTest::newRow("unfinished line")
        << QByteArray("Connected to 02:00:00:00:00:01 (on wlan0)\n\tSSID: Home") << QString();
}

// The iw path, taken where iwconfig is missing.
void TestNetworkManager::iwLink()
{
    QFETCH(QByteArray, output);
    QFETCH(QString, network);
    FakeNetSystem fake(QStringLiteral("eth0:e wlan1:w"));
    fake.missingPrograms.insert(QStringLiteral("iwconfig"));
    fake.setOutputs(QStringLiteral("iw"), { output });
    NetworkManager manager;
    fake.calls.clear();

    const QString found = manager.connectedAp();
    QCOMPARE(found, network);
    QCOMPARE(found.isNull(), network.isNull());
    QCOMPARE(fake.calls, QStringList { QStringLiteral("capture iw,dev,wlan1,link") });
}

QTEST_GUILESS_MAIN(TestNetworkManager)
#include "tst_networkmanager.moc"
