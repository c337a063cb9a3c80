// The controller on a machine without the classic tools: tests/tools/stubnet-run makes only ip,
// iw, dhcpcd and the WPA tools exist in the test's namespace, and gives it a /sys/class of its
// own. Real child processes, real look-ups on the search path, real /proc.
#include "stubnet.h"

#include <networkmanager.h>

#include <QtTest>

using namespace stubnet;

namespace {
const QStringList Present { "ip", "iw", "dhcpcd", "wpa_passphrase", "wpa_supplicant" };
const QStringList Absent { "ifconfig", "dhclient", "iwlist", "iwconfig", "killall", "rfkill",
    "udhcpc", "busybox" };
const QString Switches = QStringLiteral("/sys/class/rfkill");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

} // namespace

class TestNetModernTools : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void toolChoices();
    void startEthernet();
    void blockingRuns_data();
    void blockingRuns();
    void radioThroughSys();
    void supplicantsThroughProc();
    void dhcpWithoutClient();
    void join();

private:
    QString stubDir;
};

void TestNetModernTools::initTestCase()
{
    STUBNET_DIR_OR_SKIP(stubDir);
    if (!QFile::exists(QStringLiteral("/sys/class/zrnet-substitute")))
        qFatal("/sys/class is not the namespace's own; refusing to run");
    for (const QString &tool : Present) {
        if (!isStub(QStandardPaths::findExecutable(tool)))
            qFatal("%s on PATH is not a stub; refusing to run", qPrintable(tool));
    }
    if (!isStub(QStringLiteral("/sbin/wpa_supplicant")))
        qFatal("/sbin/wpa_supplicant is not a stub; refusing to run");
    for (const QString &tool : Absent) {
        if (!QStandardPaths::findExecutable(tool).isEmpty()
            || QFileInfo(QStringLiteral("/sbin/") + tool).isExecutable())
            qFatal("%s can be found; it must be missing here", qPrintable(tool));
    }
}

void TestNetModernTools::init()
{
    clearLog(stubDir);
    // One Wi-Fi switch and one of another kind, both blocked.
    for (const char *entry : { "rfkill0", "rfkill1" })
        QVERIFY(QDir().mkpath(Switches + QLatin1Char('/') + QLatin1String(entry)));
    writeFile(Switches + QStringLiteral("/rfkill0/type"), "wlan\n");
    writeFile(Switches + QStringLiteral("/rfkill0/soft"), "1\n");
    writeFile(Switches + QStringLiteral("/rfkill1/type"), "bluetooth\n");
    writeFile(Switches + QStringLiteral("/rfkill1/soft"), "1\n");
}

void TestNetModernTools::toolChoices()
{
    QStringList choices;
    for (const NetToolChoice &choice : NetworkManager::toolChoices()) {
        choices << choice.step + QStringLiteral(": ") + choice.tool
                + (choice.missing.isEmpty()
                        ? QString()
                        : QStringLiteral(" for ") + choice.missing.join(QLatin1Char(',')));
    }
    QCOMPARE(choices,
        (QStringList { "bring an interface up: ip for ifconfig",
            "take an interface down: ip for /sbin/ifconfig",
            "start the DHCP client: dhcpcd for /sbin/dhclient",
            "release the DHCP lease: dhcpcd for dhclient",
            "unblock the Wi-Fi radio: /sys/class/rfkill for rfkill",
            "end the WPA supplicants: /proc for killall", "scan for access points: iw for iwlist",
            "name the current network: iw for iwconfig", "test the Wi-Fi link: iw",
            "turn the passphrase into a key: wpa_passphrase",
            "start the WPA supplicant: /sbin/wpa_supplicant",
            "give an interface its address: ip for ifconfig",
            "start the access point:  for hostapd", "serve its DHCP and DNS:  for dnsmasq",
            "scan beside the access point: iw",
            "announce the device by mDNS:  for avahi-daemon" }));
}

void TestNetModernTools::startEthernet()
{
    Manager manager(stubDir);
    QCOMPARE(manager.startEthernetInterface(QString()), 0);
    // The DHCP client is detached: its line may come a little later.
    QTRY_COMPARE(callLines(stubDir),
        (QStringList { QStringLiteral("@ip,link,set,dev,eth0,up"),
            QStringLiteral("@dhcpcd,-4,-b,-h,zrnet-device,eth0") }));
}

void TestNetModernTools::blockingRuns_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("Ethernet down, default")
        << "stopEthernetInterface"
        << ""
        << QStringList { "@dhcpcd,-4,-k,eth0", "@ip,addr,flush,dev,eth0",
               "@ip,link,set,dev,eth0,down" };
    QTest::newRow("DHCP release") << "stopDhcp"
                                  << "eth0" << QStringList { "@dhcpcd,-4,-k,eth0" };
    QTest::newRow("Wi-Fi off") << "stopWifiInterface"
                               << "wlan0"
                               << QStringList { "@dhcpcd,-4,-k,wlan0", "@ip,addr,flush,dev,wlan0",
                                      "@ip,link,set,dev,wlan0,down" };
    QTest::newRow("Wi-Fi on") << "initializeWifiInterface"
                              << "wlan0" << QStringList { "@ip,link,set,dev,wlan0,up" };
}

void TestNetModernTools::blockingRuns()
{
    QFETCH(QString, operation);
    QFETCH(QString, interface);
    QFETCH(QStringList, calls);
    Manager manager(stubDir);

    blockingOperations().value(operation)(manager, interface);
    QCOMPARE(callLines(stubDir), calls);
}

void TestNetModernTools::radioThroughSys()
{
    Manager(stubDir).initializeWifiInterface(QStringLiteral("wlan0"));
    QCOMPARE(readFile(Switches + QStringLiteral("/rfkill0/soft")), QByteArray("0"));
    QCOMPARE(readFile(Switches + QStringLiteral("/rfkill1/soft")), QByteArray("1\n"));
}

// Ends every process named exactly wpa_supplicant, as killall -9 would, and nothing else.
void TestNetModernTools::supplicantsThroughProc()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    QProcess supplicant;
    QProcess lookalike;
    for (QProcess *process : { &supplicant, &lookalike }) {
        const QString name
            = dir.filePath(process == &supplicant ? QStringLiteral("wpa_supplicant")
                                                  : QStringLiteral("wpa_supplicant_"));
        QVERIFY(QFile::copy(sleep, name));
        process->start(name, { QStringLiteral("30") });
        QVERIFY(process->waitForStarted());
    }

    Manager(stubDir).stopWifiInterface(QStringLiteral("wlan0"));
    QTRY_COMPARE(supplicant.state(), QProcess::NotRunning);
    QCOMPARE(supplicant.exitStatus(), QProcess::CrashExit);
    QCOMPARE(lookalike.state(), QProcess::Running);
    lookalike.kill();
    QVERIFY(lookalike.waitForFinished());
}

void TestNetModernTools::dhcpWithoutClient()
{
    int result = 0;
    {
        Aside aside(QStringLiteral("dhcpcd"));
        result = Manager(stubDir).startDhcp(QStringLiteral("eth0"));
    }
    QCOMPARE(result, 1001);
    QCOMPARE(callLines(stubDir), QStringList());
}

void TestNetModernTools::join()
{
    const QByteArray config("network={\n\tssid=\"Home\"\n\tpsk=00ff\n}\n");
    setOutput(stubDir, QStringLiteral("wpa_passphrase"), config);
    Manager manager(stubDir);

    QCOMPARE(manager.connectToAp(
                 QStringLiteral("Home"), QStringLiteral("pass phrase 1"), QStringLiteral("wlan0")),
        0);

    QTRY_COMPARE(
        callLines(stubDir).constLast(), QStringLiteral("@dhcpcd,-4,-b,-h,zrnet-device,wlan0"));
    const QStringList lines = callLines(stubDir);
    QCOMPARE(lines.mid(0, 5),
        (QStringList { QStringLiteral("@wpa_passphrase,Home"),
            QStringLiteral("@dhcpcd,-4,-k,wlan0"), QStringLiteral("@ip,addr,flush,dev,wlan0"),
            QStringLiteral("@ip,link,set,dev,wlan0,down"),
            QStringLiteral("@ip,link,set,dev,wlan0,up") }));
    QVERIFY(lines.at(5).startsWith(QStringLiteral("/sbin/wpa_supplicant,-c,")));
    QVERIFY(lines.at(5).endsWith(QStringLiteral(",-i,wlan0,-B")));
    QVERIFY(lines.contains(QStringLiteral("@iw,wlan0,link")));
    QCOMPARE(calls(stubDir).at(5).config, config + '\n');
    QCOMPARE(readFile(Switches + QStringLiteral("/rfkill0/soft")), QByteArray("0"));
}

QTEST_GUILESS_MAIN(TestNetModernTools)
#include "tst_netmoderntools.moc"
