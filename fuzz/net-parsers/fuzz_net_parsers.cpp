// Feeds arbitrary bytes, as the output of each wireless tool and as an rtnetlink datagram, to
// the controller's readers through the system seam: a fake machine with one Wi-Fi interface whose
// tools all print the input. Stops on a quality outside 0..100, on a record that no cell or BSS of
// the input accounts for, or on a name the input cannot have given.
//
// Only the entry point is here, without a main, so that a plain replay over the corpus can
// call it too.
#include "netmonitor_p.h"
#include "netsystem_p.h"
#include "networkmanager.h"

#include <QLoggingCategory>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void failure(const char *what)
{
    std::fprintf(stderr, "net parsers: %s\n", what);
    std::abort();
}

void check(bool condition, const char *what)
{
    if (!condition)
        failure(what);
}

// A machine with one Wi-Fi interface, wlan0, whose tools all print `output`; the tools in
// `missing` are not installed. Changes nothing.
class FuzzSystem : public NetSystem
{
public:
    QByteArray output;
    QStringList missing;

    QList<NetInterface> interfaces() override
    {
        return { { QStringLiteral("wlan0"), QNetworkInterface::Wifi, QNetworkInterface() } };
    }
    void run(const QString &, const QStringList &) override { }
    QByteArray capture(
        const QString &, const QStringList &, const QByteArray &, int *exitCode) override
    {
        if (exitCode)
            *exitCode = 0;
        return output;
    }
    bool startDetached(const QString &, const QStringList &) override { return false; }
    void sleep(int) override { }
    QString findProgram(const QString &program) override
    {
        return missing.contains(program) ? QString() : program;
    }
    bool exists(const QString &) override { return false; }
    QStringList entries(const QString &) override { return {}; }
    QByteArray readFile(const QString &) override { return {}; }
    bool writeFile(const QString &, const QByteArray &) override { return false; }
    bool signalProcess(qint64, int) override { return false; }
    bool hasService() override { return false; }
    NetRoute route(const QString &) override { return NetRoute::Tools; }
};

QList<QByteArray> completeLines(const QByteArray &output)
{
    QList<QByteArray> lines = output.split('\n');
    lines.removeLast(); // what follows the last line end, if anything, is not a line
    return lines;
}

// The input cut into records: a line that `starts` a record opens one, and lines before the
// first belong to it when `before` says so. `named` tells, for each, whether a line in it
// could give a name.
template <typename Starts, typename Names>
QVector<bool> recordsOf(const QByteArray &output, bool before, Starts starts, Names names)
{
    QVector<bool> named;
    bool early = false;
    for (const QByteArray &line : completeLines(output)) {
        if (starts(line)) {
            named.append(early);
            early = false;
        }
        const bool gives = names(line);
        if (named.isEmpty())
            early = before && (early || gives);
        else if (gives)
            named.last() = true;
    }
    return named;
}

void checkRecords(const QList<WifiAp> &aps, const QVector<bool> &named)
{
    check(aps.size() == named.size(), "records do not match the cells");
    for (int i = 0; i < aps.size(); ++i) {
        check(aps.at(i).quality >= 0 && aps.at(i).quality <= 100, "quality outside 0..100");
        check(aps.at(i).ssid.isEmpty() || named.at(i), "a name from a cell without one");
        check(!aps.at(i).ssid.contains(QChar(0)), "NUL in a decoded name");
        check(aps.at(i).extra1.isNull() && aps.at(i).extra2.isNull(), "extra fields filled");
    }
}

// The line as the iwlist reader sees it.
QString text(const QByteArray &line)
{
    return QString::fromUtf8(line).trimmed();
}

QByteArray iwField(const QByteArray &line)
{
    int start = 0;
    while (start < line.size() && (line.at(start) == '\t' || line.at(start) == ' '))
        ++start;
    return line.mid(start);
}

void checkIwlist(FuzzSystem &machine, NetworkManager &manager)
{
    machine.missing.clear();
    const QVector<bool> cells = recordsOf(
        machine.output, true,
        [](const QByteArray &line) { return text(line).startsWith(QLatin1String("Cell ")); },
        [](const QByteArray &line) { return text(line).startsWith(QLatin1String("ESSID:")); });
    checkRecords(manager.apList(), cells);
}

void checkIw(FuzzSystem &machine, NetworkManager &manager)
{
    machine.missing = QStringList { QStringLiteral("iwlist"), QStringLiteral("iwconfig") };
    const QVector<bool> bsses = recordsOf(
        machine.output, false, [](const QByteArray &line) { return line.startsWith("BSS "); },
        [](const QByteArray &line) { return iwField(line).startsWith("SSID:"); });
    checkRecords(manager.apList(), bsses);

    const QString network = manager.connectedAp();
    bool hasSsidLine = false;
    for (const QByteArray &line : completeLines(machine.output))
        hasSsidLine = hasSsidLine || iwField(line).startsWith("SSID:");
    check(network.isNull() != hasSsidLine, "iw link name without an SSID line, or lost");
    check(!network.contains(QChar(0)), "NUL in the name of the current network");
}

void checkIwconfig(FuzzSystem &machine, NetworkManager &manager)
{
    machine.missing.clear();
    const QString network = manager.connectedAp();
    check(network.isNull() || machine.output.contains("ESSID:\""), "a name without ESSID:\"");
    check(!network.contains(QChar(0)), "NUL in a name from iwconfig");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    static FuzzSystem machine;
    static NetworkManager *manager = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=false"));
        NetSystem::install(&machine);
        return new NetworkManager; // lives as long as the process
    }();
    machine.output = QByteArray(reinterpret_cast<const char *>(data), int(size));
    checkIwlist(machine, *manager);
    checkIw(machine, *manager);
    checkIwconfig(machine, *manager);
    // The same bytes as a datagram of the kernel's link and address announcements.
    for (const NetLinkEvent &event : readNetLinkMessages(machine.output))
        check(event.kind != NetLinkEvent::Address || event.name.isEmpty(),
            "a name off a link message");
    return 0;
}
