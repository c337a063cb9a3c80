#include "netsavednetworks_p.h"

#include "netcall_p.h"
#include "netsystem_p.h"
#include "nettools_p.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <mutex>

namespace {
// One saved network: its settings as the supplicant reads them, in order, and when it was last
// joined (a comment the supplicant skips).
struct Entry
{
    QList<QPair<QByteArray, QByteArray>> settings;
    QByteArray lastUsed;

    QByteArray value(const QByteArray &key) const
    {
        for (const auto &setting : settings) {
            if (setting.first == key)
                return setting.second;
        }
        return QByteArray();
    }
    void set(const QByteArray &key, const QByteArray &value)
    {
        for (auto &setting : settings) {
            if (setting.first == key) {
                setting.second = value;
                return;
            }
        }
        settings.append({ key, value });
    }
    void remove(const QByteArray &key)
    {
        settings.erase(std::remove_if(settings.begin(), settings.end(),
                           [&](const auto &setting) { return setting.first == key; }),
            settings.end());
    }
    QString ssid() const { return QString::fromUtf8(QByteArray::fromHex(value("ssid"))); }
};

const char LastUsedComment[] = "#zrnet last_used=";

std::mutex &storeLock()
{
    static auto *const lock = new std::mutex;
    return *lock;
}

NetSystem &machine()
{
    return *NetSystem::current();
}

QString directory()
{
    const QString given = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    return given.isEmpty() ? QStringLiteral("/var/lib/zrnet") : given;
}

// Reads only what this library writes: blocks of "\tkey=value" lines.
QList<Entry> read()
{
    QFile file(NetSavedNetworks::filePath());
    QList<Entry> entries;
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    Entry *open = nullptr;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line == "network={") {
            entries.append(Entry());
            open = &entries.last();
        } else if (line == "}") {
            open = nullptr;
        } else if (open && line.startsWith(LastUsedComment)) {
            open->lastUsed = line.mid(int(qstrlen(LastUsedComment)));
        } else if (open && line.contains('=') && !line.startsWith('#')) {
            const int equals = line.indexOf('=');
            open->settings.append({ line.left(equals), line.mid(equals + 1) });
        }
    }
    return entries;
}

QByteArray render(const QList<Entry> &entries)
{
    QByteArray text = "# The networks this device joins again; written by zrnet, owner-only.\n";
    for (const Entry &entry : entries) {
        text += "network={\n";
        for (const auto &setting : entry.settings)
            text += '\t' + setting.first + '=' + setting.second + '\n';
        if (!entry.lastUsed.isEmpty())
            text += '\t' + QByteArray(LastUsedComment) + entry.lastUsed + '\n';
        text += "}\n";
    }
    return text;
}

bool write(const QList<Entry> &entries)
{
    if (machine().makePrivateDirectory(directory())
        && machine().replacePrivateFile(NetSavedNetworks::filePath(), render(entries)))
        return true;
    NetCall::record(NetFailureReason::PermissionDenied, QString(),
        QStringLiteral("the saved networks cannot be written in %1").arg(directory()));
    return false;
}

// Changes the entry named `ssid` with `change`; false when there is none or it cannot be kept.
bool update(const QString &ssid, const std::function<void(QList<Entry> &, int)> &change)
{
    const std::lock_guard<std::mutex> guard(storeLock());
    QList<Entry> entries = read();
    const auto found = std::find_if(
        entries.cbegin(), entries.cend(), [&](const Entry &entry) { return entry.ssid() == ssid; });
    if (found == entries.cend()) {
        NetCall::record(NetFailureReason::ToolFailed, QString(),
            QStringLiteral("no network named \"%1\" is saved").arg(ssid));
        return false;
    }
    change(entries, int(found - entries.cbegin()));
    return write(entries);
}

// The settings of a network joined with `passphrase`, key derived where WPA-PSK takes one.
bool fill(Entry &entry, const WifiSavedNetwork &network, const QString &passphrase)
{
    entry.set("ssid", network.ssid.toUtf8().toHex());
    if (network.hidden)
        entry.set("scan_ssid", "1");
    if (passphrase.isEmpty()) {
        entry.set("key_mgmt", "NONE");
    } else if (network.security == WifiSecurity::Wpa3) {
        entry.set("key_mgmt", "SAE");
        entry.set("sae_password", '"' + passphrase.toLatin1() + '"');
        entry.set("ieee80211w", "2");
    } else {
        const QByteArray derived = passphrase.size() == 64
            ? "psk=" + passphrase.toLatin1()
            : NetTools::derivedKey(network.ssid, passphrase);
        const int at = derived.indexOf("psk=");
        if (at < 0)
            return false;
        entry.set("key_mgmt", "WPA-PSK");
        entry.set("psk", derived.mid(at + 4, 64));
    }
    entry.set("priority", QByteArray::number(network.priority));
    if (!network.autoconnect)
        entry.set("disabled", "1");
    return true;
}

WifiSecurity securityOf(const Entry &entry)
{
    const QByteArray keys = entry.value("key_mgmt");
    if (keys == "NONE")
        return WifiSecurity::Open;
    return keys == "SAE" ? WifiSecurity::Wpa3 : WifiSecurity::Wpa2;
}
} // namespace

namespace NetSavedNetworks {

QString filePath()
{
    return directory() + QStringLiteral("/wpa_supplicant.conf");
}

QList<WifiSavedNetwork> list()
{
    const std::lock_guard<std::mutex> guard(storeLock());
    QList<WifiSavedNetwork> result;
    for (const Entry &entry : read()) {
        WifiSavedNetwork network;
        network.ssid = entry.ssid();
        network.security = securityOf(entry);
        network.priority = entry.value("priority").toInt();
        network.autoconnect = entry.value("disabled") != "1";
        network.hidden = entry.value("scan_ssid") == "1";
        network.lastUsed = QDateTime::fromString(QString::fromLatin1(entry.lastUsed), Qt::ISODate);
        result.append(network);
    }
    return result;
}

bool save(const WifiSavedNetwork &network, const QString &passphrase)
{
    Entry entry;
    if (!fill(entry, network, passphrase))
        return false; // derivedKey said why
    const std::lock_guard<std::mutex> guard(storeLock());
    QList<Entry> entries = read();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                      [&](const Entry &each) { return each.ssid() == network.ssid; }),
        entries.end());
    entries.append(entry);
    return write(entries);
}

bool forget(const QString &ssid)
{
    return update(ssid, [](QList<Entry> &entries, int at) { entries.removeAt(at); });
}

bool setPriority(const QString &ssid, int priority)
{
    return update(ssid, [priority](QList<Entry> &entries, int at) {
        entries[at].set("priority", QByteArray::number(priority));
    });
}

bool setAutoconnect(const QString &ssid, bool autoconnect)
{
    return update(ssid, [autoconnect](QList<Entry> &entries, int at) {
        if (autoconnect)
            entries[at].remove("disabled");
        else
            entries[at].set("disabled", "1");
    });
}

void markUsed(const QString &ssid)
{
    update(ssid, [](QList<Entry> &entries, int at) {
        entries[at].lastUsed = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toLatin1();
    });
}

QByteArray supplicantConfig(const QString &preferred)
{
    const std::lock_guard<std::mutex> guard(storeLock());
    QList<Entry> entries = read();
    int top = 0;
    for (const Entry &entry : entries)
        top = std::max(top, entry.value("priority").toInt());
    bool found = preferred.isEmpty();
    for (Entry &entry : entries) {
        if (entry.ssid() == preferred) {
            entry.set("priority", QByteArray::number(top + 1));
            entry.remove("disabled"); // asked for by name
            found = true;
        }
    }
    return found && !entries.isEmpty() ? render(entries) : QByteArray();
}

} // namespace NetSavedNetworks
