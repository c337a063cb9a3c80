// The controller as an application meets it on the simulated device (stubnet-run --device):
// change signals from the kernel, operations that do not block, checks before anything is
// stopped, deadlines, one change at a time, and the supplicant's file.
#include "stubnet.h"

#include <QtTest>

#include <thread>

using namespace stubnet;

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
    void refusedBeforeAnythingRuns_data();
    void refusedBeforeAnythingRuns();
    void missingToolStopsNothing_data();
    void missingToolStopsNothing();
    void concurrentJoins();
    void wedgedToolEndsWithinDeadline();
    void supplicantFileHoldsNoPassphrase();
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
    QCOMPARE(failure.reason, NetFailureReason::NotAssociated);
    QVERIFY2(ticks > 20, qPrintable(QString::number(ticks))); // six seconds of polls went by
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
