// The access point of the tools on the simulated device (stubnet-run --device): what hostapd and
// dnsmasq are given, and that a stop or a failed start leaves nothing behind.
#include "stubnet.h"

#include <networkmanager.h>

#include <QtTest>

using namespace stubnet;

namespace {
const QString Wifi = QStringLiteral("wlan0");
const QString Directory = QStringLiteral("/run/zrnet/ap-wlan0");

qint64 pidIn(const char *program)
{
    QFile file(QStringLiteral("%1/%2.pid").arg(Directory, QLatin1String(program)));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

bool isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && !stat.readAll().contains(") Z");
}

bool hasAddress()
{
    return !QNetworkInterface::interfaceFromName(Wifi).addressEntries().isEmpty();
}
} // namespace

class TestNetAccessPoint : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { STUBNET_DIR_OR_SKIP(stubDir); }
    void init() { clearLog(stubDir); }
    void startAndStop_data();
    void startAndStop();
    void refused_data();
    void refused();
    void failedStartLeavesNothing();

private:
    StubCall callOf(const char *program) const;

    QString stubDir;
};

StubCall TestNetAccessPoint::callOf(const char *program) const
{
    for (const StubCall &call : calls(stubDir)) {
        if (call.program.endsWith(QLatin1Char('/') + QLatin1String(program)))
            return call;
    }
    return {};
}

void TestNetAccessPoint::startAndStop_data()
{
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("passphrase");
    QTest::newRow("plain") << "Kiosk Setup"
                           << "kiosk-setup-2026";
    QTest::newRow("hostile") << "a\"\n\nwpa=0\n$(reboot)'#"
                             << "# $(x) \"q\" ~";
    QTest::newRow("32 bytes of UTF-8") << QString(8, QChar(0x20ac)) + "ab"
                                       << "12345678";
    QTest::newRow("open") << "Open Setup"
                          << "";
}

void TestNetAccessPoint::startAndStop()
{
    QFETCH(QString, ssid);
    QFETCH(QString, passphrase);
    NetworkManager manager;
    clearLog(stubDir);

    QCOMPARE(manager.startAccessPoint(Wifi, ssid, passphrase), 0);
    QVERIFY(manager.isAccessPointActive(Wifi));
    QVERIFY(hasAddress());
    const StubCall hostapd = callOf("hostapd");
    QCOMPARE(hostapd.configMode, QStringLiteral("600"));
    // Only the name's line tells one configuration from another, whatever the name holds.
    QByteArray expected = "interface=wlan0\ndriver=nl80211\nssid2=" + ssid.toUtf8().toHex()
        + "\nutf8_ssid=1\nhw_mode=g\nchannel=6\nauth_algs=1\n";
    if (!passphrase.isEmpty())
        expected += "wpa=2\nwpa_key_mgmt=WPA-PSK\nrsn_pairwise=CCMP\nwpa_passphrase="
            + passphrase.toUtf8() + '\n';
    QCOMPARE(hostapd.config, expected);
    const QStringList dnsmasq = callOf("dnsmasq").arguments;
    for (const char *argument : { "--interface=wlan0", "--bind-interfaces", "--except-interface=lo",
             "--address=/#/192.168.42.1", "--conf-file=/dev/null",
             "--dhcp-option=114,\"http://192.168.42.1/\"" })
        QVERIFY2(dnsmasq.contains(QLatin1String(argument)), argument);

    const qint64 pids[] = { pidIn("hostapd"), pidIn("dnsmasq") };
    QVERIFY(isRunning(pids[0]) && isRunning(pids[1]));
    QVERIFY(manager.stopAccessPoint(Wifi));
    QVERIFY(!isRunning(pids[0]) && !isRunning(pids[1]));
    QVERIFY(!QFileInfo::exists(Directory));
    QVERIFY(!hasAddress());
    QVERIFY(!manager.isAccessPointActive(Wifi));
}

void TestNetAccessPoint::refused_data()
{
    QTest::addColumn<QString>("interface");
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("result");
    const QString ap = QStringLiteral("192.168.42.1");
    QTest::newRow("Ethernet") << "eth0"
                              << "Kiosk"
                              << "" << ap << 1002;
    QTest::newRow("no name") << "wlan0"
                             << ""
                             << "" << ap << 1004;
    QTest::newRow("33 bytes") << "wlan0" << QString(11, QChar(0x20ac)) << "" << ap << 1004;
    QTest::newRow("7 characters") << "wlan0"
                                  << "Kiosk"
                                  << "1234567" << ap << 1004;
    QTest::newRow("64 characters") << "wlan0"
                                   << "Kiosk" << QString(64, 'a') << ap << 1004;
    QTest::newRow("not ASCII") << "wlan0"
                               << "Kiosk"
                               << "pässwort1" << ap << 1004;
    QTest::newRow("line break") << "wlan0"
                                << "Kiosk"
                                << "12345678\nwpa=0" << ap << 1004;
    QTest::newRow("network address") << "wlan0"
                                     << "Kiosk"
                                     << ""
                                     << "10.0.0.0" << 1004;
    QTest::newRow("IPv6") << "wlan0"
                          << "Kiosk"
                          << ""
                          << "fd00::1" << 1004;
    QTest::newRow("not canonical") << "wlan0"
                                   << "Kiosk"
                                   << ""
                                   << "10.0.0.01" << 1004;
}

void TestNetAccessPoint::refused()
{
    QFETCH(QString, interface);
    QFETCH(QString, ssid);
    QFETCH(QString, passphrase);
    QFETCH(QString, address);
    QFETCH(int, result);
    NetworkManager manager;
    clearLog(stubDir);
    QCOMPARE(manager.startAccessPoint(interface, ssid, passphrase, address), result);
    QCOMPARE(callLines(stubDir), QStringList());
}

// A dnsmasq that cannot start (port 53 taken on that address, say): the hostapd already
// running is ended by its pid, and the address and files go.
void TestNetAccessPoint::failedStartLeavesNothing()
{
    NetworkManager manager;
    setOutput(stubDir, QStringLiteral("dnsmasq.status"), "2");
    QCOMPARE(manager.startAccessPoint(Wifi, QStringLiteral("Kiosk"), QString()), 1003);
    QFile::remove(stubDir + QStringLiteral("/out/dnsmasq.status"));
    QVERIFY(!callOf("hostapd").program.isEmpty());
    QVERIFY(!QFileInfo::exists(Directory));
    QVERIFY(!hasAddress());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList()) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll() == "hostapd\n")
            QVERIFY2(!isRunning(pid.toLongLong()), qPrintable(pid));
    }
}

QTEST_GUILESS_MAIN(TestNetAccessPoint)
#include "tst_netaccesspoint.moc"
