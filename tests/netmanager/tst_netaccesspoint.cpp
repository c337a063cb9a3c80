// The access point of the tools on the simulated device (stubnet-run --device): what hostapd and
// dnsmasq are given, and that a stop or a failed start leaves nothing behind.
#include "stubnet.h"

#include <networkmanager.h>

#include <QtTest>

using namespace stubnet;

namespace {
const QString Wifi = QStringLiteral("wlan0");
const QString Directory = QStringLiteral("/run/zrnet/ap-wlan0");

// The pids of the running (not zombie) processes named `program`.
QList<qint64> running(const QByteArray &program)
{
    QList<qint64> pids;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList()) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        if (line.contains(" (" + program + ") ") && !line.contains(") Z "))
            pids << pid.toLongLong();
    }
    return pids;
}

qint64 pidIn(const char *program)
{
    QFile file(QStringLiteral("%1/%2.pid").arg(Directory, QLatin1String(program)));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
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
    void endsOnlyItsOwnSupplicant();

private:
    QString stubDir;
};

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
    QVERIFY(manager.isAccessPointActive(Wifi) && hasAddress());
    const QList<StubCall> logged = calls(stubDir); // ... hostapd, dnsmasq
    const StubCall hostapd = logged.value(logged.size() - 2);
    QVERIFY(hostapd.program.endsWith(QLatin1String("/hostapd")));
    QCOMPARE(hostapd.configMode, QStringLiteral("600"));
    // Only the name's line tells one configuration from another, whatever the name holds.
    QByteArray expected = "interface=wlan0\ndriver=nl80211\nssid2=" + ssid.toUtf8().toHex()
        + "\nutf8_ssid=1\nhw_mode=g\nchannel=6\nauth_algs=1\n";
    if (!passphrase.isEmpty())
        expected += "wpa=2\nwpa_key_mgmt=WPA-PSK\nrsn_pairwise=CCMP\nwpa_passphrase="
            + passphrase.toUtf8() + '\n';
    QCOMPARE(hostapd.config, expected);
    const QStringList dnsmasq = logged.constLast().arguments;
    for (const char *argument : { "--interface=wlan0", "--bind-interfaces", "--except-interface=lo",
             "--address=/#/192.168.42.1", "--conf-file=/dev/null",
             "--dhcp-option=114,http://192.168.42.1/" })
        QVERIFY2(dnsmasq.contains(QLatin1String(argument)), argument);

    // Stopped by the pids they were started with: nothing of that name is left.
    QVERIFY(running("hostapd").contains(pidIn("hostapd")));
    QVERIFY(running("dnsmasq").contains(pidIn("dnsmasq")));
    QVERIFY(manager.stopAccessPoint(Wifi));
    QCOMPARE(running("hostapd") + running("dnsmasq"), QList<qint64>());
    QVERIFY(!QFileInfo::exists(Directory) && !hasAddress());
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
    NetworkManager manager;
    clearLog(stubDir);
    QTEST(manager.startAccessPoint(interface, ssid, passphrase, address), "result");
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
    QVERIFY(callLines(stubDir).join(QLatin1Char(' ')).contains(QLatin1String("hostapd,-B")));
    QCOMPARE(running("hostapd"), QList<qint64>());
    QVERIFY(!QFileInfo::exists(Directory) && !hasAddress());
}

// A second radio keeps its uplink: of two supplicants, only the one started for wlan0 is ended.
void TestNetAccessPoint::endsOnlyItsOwnSupplicant()
{
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("wpa_supplicant")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nwhile :; do sleep 1; done\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    QProcess own;
    QProcess other;
    own.start(script.fileName(), { "-B", "-i", "wlan0" });
    other.start(script.fileName(), { "-B", "-iwlan1" });
    QVERIFY(own.waitForStarted() && other.waitForStarted());

    NetworkManager manager;
    clearLog(stubDir);
    QCOMPARE(manager.startAccessPoint(Wifi, QStringLiteral("Kiosk"), QString()), 0);
    QTRY_COMPARE(own.state(), QProcess::NotRunning);
    QCOMPARE(running("wpa_supplicant"), QList<qint64> { other.processId() });
    QVERIFY(!callLines(stubDir).join(QLatin1Char(' ')).contains(QLatin1String("killall")));
    other.kill();
    QVERIFY(manager.stopAccessPoint(Wifi));
}

QTEST_GUILESS_MAIN(TestNetAccessPoint)
#include "tst_netaccesspoint.moc"
