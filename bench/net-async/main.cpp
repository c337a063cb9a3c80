// How long each asynchronous operation of NetworkManager holds up the caller's event loop: a
// 10 ms heartbeat runs while the operation works, and the longest gap between its beats is
// printed beside the operation's own duration. Run it where the controller may change things:
// bench/net-async/run.sh runs it on the simulated device, with the tools or a mock service.
#include "networkmanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {
struct Case
{
    const char *name;
    std::function<void(NetworkManager &)> start;
};
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString wifi = app.arguments().value(1, QStringLiteral("wlan0"));
    const QString ethernet = app.arguments().value(2, QStringLiteral("eth0"));
    const QString ssid = app.arguments().value(3, QStringLiteral("Home Network"));
    const QString passphrase = app.arguments().value(4, QStringLiteral("correct horse battery"));
    NetworkManager manager;
    const QList<Case> cases {
        { "scanAsync", [&](NetworkManager &m) { m.scanAsync(wifi); } },
        { "joinAsync", [&](NetworkManager &m) { m.joinAsync(ssid, passphrase, wifi); } },
        { "startAccessPointAsync",
            [&](NetworkManager &m) { m.startAccessPointAsync(wifi, "Kiosk Setup", QString()); } },
        { "stopAccessPointAsync", [&](NetworkManager &m) { m.stopAccessPointAsync(wifi); } },
        { "startEthernetAsync", [&](NetworkManager &m) { m.startEthernetAsync(ethernet); } },
        { "stopDhcpAsync", [&](NetworkManager &m) { m.stopDhcpAsync(ethernet); } },
        { "startDhcpAsync", [&](NetworkManager &m) { m.startDhcpAsync(ethernet); } },
        { "stopEthernetAsync", [&](NetworkManager &m) { m.stopEthernetAsync(ethernet); } },
        { "setWifiEnabledAsync(false)", [](NetworkManager &m) { m.setWifiEnabledAsync(false); } },
        { "setWifiEnabledAsync(true)", [](NetworkManager &m) { m.setWifiEnabledAsync(true); } },
        { "stopWifiInterfaceAsync", [&](NetworkManager &m) { m.stopWifiInterfaceAsync(wifi); } },
        { "drivenByAsync", [&](NetworkManager &m) { m.drivenByAsync(wifi); } },
    };

    QElapsedTimer sinceBeat;
    qint64 longestGap = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceBeat.elapsed());
        sinceBeat.restart();
    });
    std::printf(
        "%-28s %10s %10s %12s  %s\n", "operation", "call ms", "total ms", "longest gap", "outcome");
    std::fflush(stdout);
    for (const Case &each : cases) {
        QEventLoop loop;
        bool success = false;
        QString reason;
        const auto connection = QObject::connect(&manager, &NetworkManager::operationFinished,
            [&](NetOperation, QString, bool ok, QString said) {
                success = ok;
                reason = said;
                loop.quit();
            });
        heartbeat.start(10);
        sinceBeat.start();
        longestGap = 0;
        QElapsedTimer clock;
        clock.start();
        each.start(manager);
        const qint64 call = clock.elapsed();
        QTimer::singleShot(60000, &loop, &QEventLoop::quit); // every operation is bounded
        loop.exec();
        const qint64 total = clock.elapsed();
        longestGap = std::max(longestGap, sinceBeat.elapsed()); // up to the report
        heartbeat.stop();
        QObject::disconnect(connection);
        // The gap counts the heartbeat's own 10 ms.
        std::printf("%-28s %10lld %10lld %9lld ms  %s: %s\n", each.name,
            static_cast<long long>(call), static_cast<long long>(total),
            static_cast<long long>(longestGap), success ? "ok" : "failed", qPrintable(reason));
        std::fflush(stdout);
    }
    return 0;
}
