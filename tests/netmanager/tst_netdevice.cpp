// The controller as an application meets it on the simulated device (stubnet-run --device):
// change signals from the kernel, operations that do not block, checks before anything is
// stopped, deadlines, one change at a time, and the supplicant's file.
#include "stubnet.h"

#include <QtTest>

#include <thread>

using namespace stubnet;

Q_DECLARE_METATYPE(std::function<void(NetworkManager &)>)
Q_DECLARE_METATYPE(WifiJoinOptions)
Q_DECLARE_METATYPE(NetFailureReason)

namespace {
const QString Home = QStringLiteral("Home Network");
const QString Right = QStringLiteral("correct horse battery");

void ip(const QString &stubDir, const QString &arguments)
{
    QCOMPARE(QProcess::execute(stubDir + QStringLiteral("/netns-ip"), arguments.split(' ')), 0);
}

// Every change signal of `manager`, as "link eth0 1", "addresses eth0", "network wlan0 x".
QStringList *recordSignals(NetworkManager &manager)
{
    auto *seen = new QStringList;
    QObject::connect(&manager, &QObject::destroyed, [seen] { delete seen; });
    QObject::connect(&manager, &NetworkManager::linkChanged,
        [seen](QString name, bool up) { *seen << QStringLiteral("link %1 %2").arg(name).arg(up); });
    QObject::connect(&manager, &NetworkManager::addressesChanged,
        [seen](QString name) { *seen << QStringLiteral("addresses ") + name; });
    QObject::connect(
        &manager, &NetworkManager::wifiNetworkChanged, [seen](QString name, QString ssid) {
            *seen << QStringLiteral("network %1 %2").arg(name, ssid);
        });
    return seen;
}
} // namespace

class TestNetDevice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void changeSignals_data();
    void changeSignals();
    void joinAsyncLeavesTheLoopTurning();
    void asyncOperations_data();
    void asyncOperations();
    void refusedBeforeAnythingRuns_data();
    void refusedBeforeAnythingRuns();
    void missingToolStopsNothing_data();
    void missingToolStopsNothing();
    void concurrentJoins();
    void wedgedToolEndsWithinDeadline();
    void supplicantFileHoldsNoPassphrase();
    void joinOptions_data();
    void savedNetworks();
    void joinOptions();
    void readOnlyChangesNothing();

private:
    QString stubDir;
};

void TestNetDevice::initTestCase()
{
    STUBNET_DIR_OR_SKIP(stubDir);
    // Only the link's own changes: no IPv6 addresses coming and going with it.
    QFile ipv6(QStringLiteral("/proc/sys/net/ipv6/conf/eth0/disable_ipv6"));
    QVERIFY(ipv6.open(QIODevice::WriteOnly) && ipv6.write("1") == 1);
}

void TestNetDevice::init()
{
    QProcess::execute(QStringLiteral("killall"), { "-9", "wpa_supplicant" }); // no association
    clearLog(stubDir);
}

void TestNetDevice::changeSignals_data()
{
    QTest::addColumn<QStringList>("commands"); // for ip, run beside the manager
    QTest::addColumn<QStringList>("heard");
    QTest::newRow("link down and up") << QStringList { "link set eth0 down", "link set eth0 up" }
                                      << QStringList { "link eth0 0", "link eth0 1" };
    QTest::newRow("address added")
        << QStringList { "addr add 192.0.2.7/24 dev eth0" } << QStringList { "addresses eth0" };
}

// Nothing polls: the kernel's announcements alone, and no tool runs for them.
void TestNetDevice::changeSignals()
{
    QFETCH(QStringList, commands);
    ip(stubDir, QStringLiteral("link set eth0 up")); // eth0 has a cable in
    QTRY_VERIFY(
        QNetworkInterface::interfaceFromName("eth0").flags() & QNetworkInterface::IsRunning);
    Manager manager(stubDir);
    QStringList *seen = recordSignals(manager);
    QTest::qWait(100); // the watch starts in the event loop

    for (const QString &command : commands) {
        const int before = seen->size();
        ip(stubDir, command);
        QTRY_VERIFY(seen->size() > before);
    }
    QTEST(*seen, "heard");
    QCOMPARE(callLines(stubDir), QStringList());
    // Undone by its handle in the manager's thread, where Qt holds its lock as it tells of it.
    QObject::disconnect(connect(&manager, &NetworkManager::linkChanged, [] {}));
}

void TestNetDevice::joinAsyncLeavesTheLoopTurning()
{
    Manager manager(stubDir);
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(50);
    NetFailure failure;
    connect(&manager, &NetworkManager::joinFinished,
        [&failure] { failure = NetworkManager::lastFailure(); });
    QSignalSpy finished(&manager, &NetworkManager::joinFinished);

    manager.joinAsync(Home, QStringLiteral("wrong passphrase"), QStringLiteral("wlan0"));
    QCOMPARE(ticks, 0);
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.at(0), (QVariantList { "wlan0", 1000 }));
    QCOMPARE(failure.reason, NetFailureReason::WrongPassphrase); // the network is in reach
    QVERIFY2(ticks > 20, qPrintable(QString::number(ticks))); // six seconds of polls went by
}

void TestNetDevice::asyncOperations_data()
{
    using Start = std::function<void(NetworkManager &)>;
    QTest::addColumn<Start>("start");
    QTest::addColumn<NetOperation>("operation");
    QTest::addColumn<QString>("interface");
    QTest::addColumn<bool>("success");

    QTest::newRow("Ethernet up") << Start([](NetworkManager &m) { m.startEthernetAsync(); })
                                 << NetOperation::StartEthernet << "eth0" << true;
    QTest::newRow("Ethernet down") << Start([](NetworkManager &m) { m.stopEthernetAsync("eth0"); })
                                   << NetOperation::StopEthernet << "eth0" << true;
    QTest::newRow("DHCP") << Start([](NetworkManager &m) { m.startDhcpAsync("eth0"); })
                          << NetOperation::StartDhcp << "eth0" << true;
    QTest::newRow("DHCP, no such interface")
        << Start([](NetworkManager &m) { m.startDhcpAsync("wlan9"); }) << NetOperation::StartDhcp
        << "wlan9" << false;
    QTest::newRow("release") << Start([](NetworkManager &m) { m.stopDhcpAsync("eth0"); })
                             << NetOperation::StopDhcp << "eth0" << true;
    QTest::newRow("radio off") << Start([](NetworkManager &m) { m.setWifiEnabledAsync(false); })
                               << NetOperation::SetWifiEnabled << "wlan0" << true;
    QTest::newRow("Wi-Fi off") << Start([](NetworkManager &m) { m.stopWifiInterfaceAsync(); })
                               << NetOperation::StopWifi << "wlan0" << true;
    QTest::newRow("access point off")
        << Start([](NetworkManager &m) { m.stopAccessPointAsync("wlan0"); })
        << NetOperation::StopAccessPoint << "wlan0" << true;
    QTest::newRow("driven by") << Start([](NetworkManager &m) { m.drivenByAsync("eth0"); })
                               << NetOperation::DrivenBy << "eth0" << true;
    QTest::newRow("join, wrong passphrase")
        << Start([](NetworkManager &m) { m.joinAsync(Home, QStringLiteral("wrong one")); })
        << NetOperation::Join << "wlan0" << false;
}

// Each returns at once and reports on the one signal, with lastFailure() its own there.
void TestNetDevice::asyncOperations()
{
    using Start = std::function<void(NetworkManager &)>;
    QFETCH(Start, start);
    QFETCH(NetOperation, operation);
    Manager manager(stubDir);
    QString said;
    connect(&manager, &NetworkManager::operationFinished,
        [&said] { said = NetworkManager::lastFailure().text; });
    QSignalSpy finished(&manager, &NetworkManager::operationFinished);
    start(manager);
    QVERIFY(finished.isEmpty());
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.at(0).at(0).value<NetOperation>(), operation);
    QTEST(finished.at(0).at(1).toString(), "interface");
    QTEST(finished.at(0).at(2).toBool(), "success");
    QVERIFY(!finished.at(0).at(3).toString().isEmpty());
    QCOMPARE(finished.at(0).at(3).toString(), said);
}

void TestNetDevice::refusedBeforeAnythingRuns_data()
{
    QTest::addColumn<QString>("interface");
    QTest::addColumn<int>("reason");
    QTest::newRow("Ethernet") << "eth0" << int(NetFailureReason::NotWifi);
    QTest::newRow("no such interface") << "wlan9" << int(NetFailureReason::NoSuchInterface);
}

void TestNetDevice::refusedBeforeAnythingRuns()
{
    QFETCH(QString, interface);
    Manager manager(stubDir);
    QCOMPARE(manager.connectToAp(Home, Right, interface), 1002);
    QTEST(int(NetworkManager::lastFailure().reason), "reason");
    QVERIFY(NetworkManager::lastFailure().text.contains(interface));
    QCOMPARE(manager.startAccessPoint(interface, QStringLiteral("Kiosk"), QString()), 1002);
    QCOMPARE(callLines(stubDir), QStringList());
}

void TestNetDevice::missingToolStopsNothing_data()
{
    QTest::addColumn<QString>("tool");
    QTest::newRow("join without a supplicant") << "wpa_supplicant";
    QTest::newRow("access point without hostapd") << "hostapd";
}

// The device stays on the network it has: nothing is stopped for a change that cannot be made.
void TestNetDevice::missingToolStopsNothing()
{
    QFETCH(QString, tool);
    Manager manager(stubDir);
    QCOMPARE(manager.connectToAp(Home, Right, QStringLiteral("wlan0")), 0);
    clearLog(stubDir);
    QFile(stubDir + QStringLiteral("/associated")).open(QIODevice::WriteOnly);
    {
        Aside aside(tool);
        if (tool == QLatin1String("hostapd"))
            QCOMPARE(manager.startAccessPoint("wlan0", "Kiosk", QString()), 1003);
        else
            QCOMPARE(manager.connectToAp(Home, Right, QStringLiteral("wlan0")), 1000);
    }
    QCOMPARE(NetworkManager::lastFailure().reason, NetFailureReason::ToolMissing);
    QCOMPARE(NetworkManager::lastFailure().detail, tool);
    QCOMPARE(callLines(stubDir), QStringList());
    QVERIFY(manager.isWifiConnected(QStringLiteral("wlan0")));
}

// The second waits for the first instead of ending its supplicant: each result is true.
void TestNetDevice::concurrentJoins()
{
    Manager manager(stubDir);
    int first = -1;
    int second = -1;
    std::thread right([&] { first = manager.connectToAp(Home, Right, QStringLiteral("wlan0")); });
    QThread::msleep(150);
    std::thread wrong([&] { second = manager.connectToAp(Home, "wrong one", "wlan0"); });
    right.join();
    wrong.join();
    QCOMPARE(first, 0);
    QCOMPARE(second, 1000);
}

// A tool that never answers is ended with what it started, and the join says so in time.
void TestNetDevice::wedgedToolEndsWithinDeadline()
{
    Manager manager(stubDir);
    setOutput(stubDir, QStringLiteral("iw.hang"), QByteArray());
    QElapsedTimer clock;
    clock.start();
    const int result = manager.connectToAp(Home, Right, QStringLiteral("wlan0"));
    const qint64 took = clock.elapsed();
    QFile::remove(stubDir + QStringLiteral("/out/iw.hang"));
    QCOMPARE(result, 1000);
    QCOMPARE(NetworkManager::lastFailure().reason, NetFailureReason::TimedOut);
    QCOMPARE(NetworkManager::lastFailure().detail, QStringLiteral("iw"));
    QVERIFY2(took < 25000, qPrintable(QString::number(took))); // 15 s promised
    // The stub's child went with it: no sleep is left in this namespace.
    const auto sleeping = [] {
        const QStringList pids = QDir(QStringLiteral("/proc")).entryList();
        return std::count_if(pids.cbegin(), pids.cend(), [](const QString &pid) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            return comm.open(QIODevice::ReadOnly) && comm.readAll() == "sleep\n";
        });
    };
    QTRY_COMPARE(sleeping(), 0);
}

// The key only, in a private folder, gone once the join returns; so are those a killed
// process left behind.
void TestNetDevice::supplicantFileHoldsNoPassphrase()
{
    const QString stale = QStringLiteral("/run/zrnet/wpa_supplicant-999999-wlan0.conf");
    QVERIFY(QDir().mkpath(QStringLiteral("/run/zrnet")));
    QFile(stale).open(QIODevice::WriteOnly);
    Manager manager(stubDir);
    QCOMPARE(manager.connectToAp(Home, Right, QStringLiteral("wlan0")), 0);
    QCOMPARE(NetworkManager::lastFailure().text, netResultText(NetResult::DhcpStarted));
    const QList<StubCall> logged = calls(stubDir);
    const auto supplicant = std::find_if(logged.cbegin(), logged.cend(),
        [](const StubCall &call) { return call.program.endsWith("wpa_supplicant"); });
    QVERIFY(supplicant != logged.cend());
    QVERIFY(supplicant->config.contains("\tpsk="));
    QVERIFY(!supplicant->config.contains("#psk") && !supplicant->config.contains(Right.toUtf8()));
    QCOMPARE(supplicant->configMode, QStringLiteral("600"));
    QCOMPARE(QFileInfo(QStringLiteral("/run/zrnet")).permissions() & 0x0077, 0);
    QCOMPARE(QDir(QStringLiteral("/run/zrnet")).entryList(QDir::Files), QStringList());
}

void TestNetDevice::joinOptions_data()
{
    QTest::addColumn<QString>("ssid");
    QTest::addColumn<WifiJoinOptions>("options");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<NetFailureReason>("failure");
    QTest::addColumn<QStringList>("lines"); // in the supplicant's file
    QTest::addColumn<QStringList>("absent");

    const auto sae = [](bool hidden) { return WifiJoinOptions { WifiSecurity::Wpa3, hidden }; };
    const auto wpa2 = [](bool hidden) { return WifiJoinOptions { WifiSecurity::Wpa2, hidden }; };
    QTest::newRow("SAE") << Home << sae(false) << Right << NetFailureReason::None
                         << QStringList { "key_mgmt=SAE", "sae_password=\"" + Right + "\"",
                                "ieee80211w=2" }
                         << QStringList { "psk=", "scan_ssid" };
    QTest::newRow("SAE, wrong passphrase")
        << Home << sae(false) << "wrong passphrase" << NetFailureReason::WrongPassphrase
        << QStringList { "key_mgmt=SAE" } << QStringList();
    QTest::newRow("hidden, WPA2") << Home << wpa2(true) << Right << NetFailureReason::None
                                  << QStringList { "scan_ssid=1" } << QStringList { Right };
    QTest::newRow("hidden, SAE") << Home << sae(true) << Right << NetFailureReason::None
                                 << QStringList { "scan_ssid=1", "key_mgmt=SAE" } << QStringList();
    QTest::newRow("out of reach") << "Nowhere" << wpa2(false) << Right
                                  << NetFailureReason::OutOfReach << QStringList()
                                  << QStringList { Right };
    QTest::newRow("hidden, wrong passphrase: undecided")
        << Home << wpa2(true) << "wrong passphrase" << NetFailureReason::NotAssociated
        << QStringList { "scan_ssid=1" } << QStringList();
}

// What the supplicant is given, owner-only, and whether the device joins with it.
void TestNetDevice::joinOptions()
{
    QFETCH(QString, ssid);
    QFETCH(WifiJoinOptions, options);
    QFETCH(QString, passphrase);
    QFETCH(NetFailureReason, failure);
    Manager manager(stubDir);
    QCOMPARE(manager.connectToAp(ssid, passphrase, QStringLiteral("wlan0"), options),
        failure == NetFailureReason::None ? 0 : 1000);
    QCOMPARE(NetworkManager::lastFailure().reason, failure);
    const QList<StubCall> logged = calls(stubDir);
    const auto supplicant = std::find_if(logged.cbegin(), logged.cend(),
        [](const StubCall &call) { return call.program.endsWith("wpa_supplicant"); });
    QVERIFY(supplicant != logged.cend());
    QCOMPARE(supplicant->configMode, QStringLiteral("600"));
    const QString config = QString::fromUtf8(supplicant->config);
    QFETCH(QStringList, lines);
    for (const QString &line : lines)
        QVERIFY2(config.contains("\t" + line + "\n"), qPrintable(line + " not in " + config));
    QFETCH(QStringList, absent);
    for (const QString &text : absent)
        QVERIFY2(!config.contains(text), qPrintable(text + " in " + config));
}

// Kept owner-only with the derived key (the SAE passphrase aside), changed in place, joined
// with the supplicant given them all.
void TestNetDevice::savedNetworks()
{
    QTemporaryDir state;
    qputenv("STATE_DIRECTORY", QFile::encodeName(state.path()));
    Manager manager(stubDir);
    QVERIFY(manager.saveNetwork({ Home, WifiSecurity::Wpa2, 5, true, true, {} }, Right));
    QVERIFY(manager.saveNetwork(
        { "Office", WifiSecurity::Wpa3, 10, true, false, {} }, QStringLiteral("office sae pass")));
    QFile file(state.filePath(QStringLiteral("wpa_supplicant.conf")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray kept = file.readAll();
    QCOMPARE(int(file.permissions() & 0x0077), 0);
    QVERIFY2(!kept.contains(Right.toUtf8()), kept.constData());
    for (const char *line : { "\tscan_ssid=1\n", "\tpriority=5\n", "\tpriority=10\n",
             "\tkey_mgmt=SAE\n", "\tkey_mgmt=WPA-PSK\n" })
        QVERIFY2(kept.contains(line), line);

    QVERIFY(manager.setNetworkPriority(Home, 20));
    QVERIFY(manager.setNetworkAutoconnect("Office", false));
    QVERIFY(!manager.forgetNetwork("Nowhere"));
    QCOMPARE(manager.joinSavedNetwork("Nowhere", "wlan0"), 1000);
    QCOMPARE(manager.joinSavedNetwork(Home, "wlan0"), 0);
    QCOMPARE(manager.connectedAp("wlan0"), Home);
    const QList<WifiSavedNetwork> saved = manager.savedNetworks();
    QCOMPARE(saved.size(), 2);
    QCOMPARE(saved.at(0).priority, 20);
    QVERIFY(saved.at(0).hidden && saved.at(0).autoconnect && saved.at(0).lastUsed.isValid());
    QCOMPARE(saved.at(1).security, WifiSecurity::Wpa3);
    QVERIFY(!saved.at(1).autoconnect && !saved.at(1).lastUsed.isValid());
    QVERIFY(manager.forgetNetwork("Office"));
    QCOMPARE(manager.savedNetworks().size(), 1);

    // Of two saved networks in reach, the supplicant takes the one of higher priority.
    const QString cafe = QStringLiteral("Caf\u00e9 Guest");
    QVERIFY(manager.saveNetwork({ cafe, WifiSecurity::Open, 30, true, false, {} }, QString()));
    QCOMPARE(manager.joinSavedNetwork(QString(), "wlan0"), 0);
    QCOMPARE(manager.connectedAp("wlan0"), cafe);
    QVERIFY(manager.setNetworkPriority(Home, 40));
    QCOMPARE(manager.joinSavedNetwork(QString(), "wlan0"), 0);
    QCOMPARE(manager.connectedAp("wlan0"), Home);
    qunsetenv("STATE_DIRECTORY");
}

void TestNetDevice::readOnlyChangesNothing()
{
    Manager joined(stubDir);
    QCOMPARE(joined.connectToAp(Home, Right, QStringLiteral("wlan0")), 0);
    QVERIFY(QFile(stubDir + QStringLiteral("/log")).resize(0)); // still associated
    NetworkManager reader(NetAccess::ReadOnly);
    QCOMPARE(reader.connectedAp(QStringLiteral("wlan0")), Home);
    QCOMPARE(reader.connectToAp(Home, Right, QStringLiteral("wlan0")), 1000);
    for (const Operation &change : blockingOperations())
        change(reader, QStringLiteral("wlan0"));
    QCOMPARE(NetworkManager::lastFailure().reason, NetFailureReason::ReadOnly);
    QCOMPARE(callLines(stubDir), QStringList { "@iwconfig,wlan0" });
}

QTEST_GUILESS_MAIN(TestNetDevice)
#include "tst_netdevice.moc"
