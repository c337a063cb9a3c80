#include "nettooloutput_p.h"

#include <QStringList>

#include <algorithm>
#include <utility>

namespace {

// Each complete line with its line end.
QList<QByteArray> completeLines(const QByteArray &output)
{
    QList<QByteArray> lines;
    int start = 0;
    for (int end = output.indexOf('\n'); end >= 0; end = output.indexOf('\n', start)) {
        lines.append(output.mid(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}

// Percent from a quotient, kept within 0..100; `unchanged` when there is no positive
// denominator.
int percent(double numerator, double denominator, int unchanged)
{
    if (!(denominator > 0))
        return unchanged;
    const double value = 100.0 * numerator / denominator;
    if (!(value > 0)) // negative, or not a number at all
        return 0;
    return value >= 100 ? 100 : static_cast<int>(value);
}

// Percent from a "Quality=n/d ..." line.
int qualityPercent(const QString &line, int unchanged)
{
    const QString value = line.toLower()
                              .simplified()
                              .section(QLatin1Char(' '), 0, 0)
                              .remove(QLatin1String("quality="));
    return percent(value.section(QLatin1Char('/'), 0, 0).toDouble(),
        value.section(QLatin1Char('/'), 1, 1).toDouble(), unchanged);
}

// The name on a line holding "ESSID:". The wireless tools print it in double quotes, bytes
// other than printable ASCII as \xNN and nothing else escaped, so only the outer quotes go; a
// driver may print a quoted Nickname after it. Null when it is not quoted (ESSID:off/any).
QString quotedEssid(const QByteArray &line)
{
    QByteArray value = line.mid(line.indexOf("ESSID:") + 6);
    value.chop(1); // the line end
    if (!value.startsWith('"'))
        return QString();
    const int nickname = value.indexOf("\"  Nickname:\"");
    const int end = nickname > 0 ? nickname : value.lastIndexOf('"');
    return NetToolOutput::iwSsid(value.mid(1, end > 0 ? end - 1 : -1));
}

// One field of the current cell per line; a line before the first cell still counts for it.
void readIwlistLine(const QString &line, WifiAp &ap, NetToolOutput::Protection &protection)
{
    const QString trimmed = line.trimmed();
    if (trimmed.startsWith(QLatin1String("Encryption key:"))) {
        ap.encrypted = trimmed.toLower().endsWith(QLatin1String("on"));
        protection.reported = true;
        protection.privacy = ap.encrypted;
    }
    if (trimmed.startsWith(QLatin1String("Quality="))) {
        ap.quality = qualityPercent(line, ap.quality);
        const int level = trimmed.indexOf(QLatin1String("Signal level="));
        if (level > 0 && trimmed.endsWith(QLatin1String("dBm")))
            ap.signalDbm = trimmed.mid(level + 13).section(QLatin1Char(' '), 0, 0).toInt();
    }
    if (trimmed.startsWith(QLatin1String("Cell ")))
        ap.bssid = trimmed.section(QLatin1String("Address: "), 1).trimmed().toLower();
    if (trimmed.startsWith(QLatin1String("Frequency:"))) {
        const QString value = trimmed.mid(10).section(QLatin1Char(' '), 0, 1);
        const double number = value.section(QLatin1Char(' '), 0, 0).toDouble();
        ap.frequency = int(value.endsWith(QLatin1String("GHz")) ? number * 1000 + 0.5 : number);
    }
    if (trimmed.startsWith(QLatin1String("IE: IEEE 802.11i/WPA2")))
        protection.rsn = true;
    else if (trimmed.startsWith(QLatin1String("IE: WPA Version")))
        protection.wpa = true;
    // iwlist does not know SAE by name: it is suite 8.
    if (trimmed.startsWith(QLatin1String("Authentication Suites"))) {
        const QString suites = trimmed.section(QLatin1Char(':'), 1);
        protection.enterprise = protection.enterprise || suites.contains(QLatin1String("802.1x"));
        protection.sae = protection.sae || suites.contains(QLatin1String("unknown (8)"));
    }
}

// The field of an iw line ("\tSSID: x" gives "SSID: x"), without the line end.
QByteArray iwField(const QByteArray &line)
{
    int start = 0;
    while (start < line.size() && (line.at(start) == '\t' || line.at(start) == ' '))
        ++start;
    return line.mid(start, line.size() - 1 - start);
}

// What follows `key` in `field`, less the one blank iw puts after the colon.
QByteArray valueAfter(const QByteArray &field, const char *key)
{
    const QByteArray value = field.mid(int(qstrlen(key)));
    return value.startsWith(' ') ? value.mid(1) : value;
}

// The whole number that `text` starts with ("-63.00 dBm" gives -63); false when it starts with
// none. Far-off values are held at a bound that is still far off.
bool leadingInteger(const QByteArray &text, int *value)
{
    constexpr int Bound = 1000000;
    int i = (text.startsWith('-') || text.startsWith('+')) ? 1 : 0;
    const int firstDigit = i;
    int magnitude = 0;
    for (; i < text.size() && text.at(i) >= '0' && text.at(i) <= '9'; ++i)
        magnitude = std::min(Bound, magnitude * 10 + (text.at(i) - '0'));
    if (i == firstDigit)
        return false;
    *value = text.startsWith('-') ? -magnitude : magnitude;
    return true;
}

// "signal: -63.00 dBm", or "signal: 60/100" from drivers that give no dBm.
int signalQuality(const QByteArray &value, int unchanged)
{
    const QByteArray token = value.trimmed().split(' ').value(0);
    if (token.contains('/')) {
        const QList<QByteArray> parts = token.split('/');
        return percent(parts.at(0).toDouble(), parts.at(1).toDouble(), unchanged);
    }
    int dbm = 0;
    return leadingInteger(token, &dbm) ? NetToolOutput::qualityFromDbm(dbm) : unchanged;
}

bool namesPrivacy(const QByteArray &capability)
{
    const QList<QByteArray> words = capability.split(' ');
    return words.contains(QByteArrayLiteral("Privacy"));
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One field of an iw record other than its name.
void readIwField(const QByteArray &field, WifiAp &ap, NetToolOutput::Protection &protection)
{
    int number = 0;
    if (field.startsWith("capability:")) {
        protection.reported = true;
        protection.privacy = protection.privacy || namesPrivacy(field);
    } else if (field.startsWith("RSN:")) {
        protection.rsn = true;
    } else if (field.startsWith("WPA:")) {
        protection.wpa = true;
    } else if (field.startsWith("* Authentication suites:")) {
        const QList<QByteArray> suites = valueAfter(field, "* Authentication suites:").split(' ');
        protection.enterprise = protection.enterprise || suites.contains("IEEE") // IEEE 802.1X
            || suites.contains("802.1X") || suites.contains("FT/IEEE");
        protection.sae = protection.sae || suites.contains("SAE") || suites.contains("FT/SAE");
    } else if (field.startsWith("signal:")) {
        ap.quality = signalQuality(valueAfter(field, "signal:"), ap.quality);
        const QByteArray value = valueAfter(field, "signal:");
        if (value.endsWith("dBm") && leadingInteger(value, &number))
            ap.signalDbm = number;
    } else if (field.startsWith("freq:") && leadingInteger(valueAfter(field, "freq:"), &number)) {
        ap.frequency = number;
    }
}

// A record complete: its security from what its lines said; encrypted as any of them said.
WifiAp closed(WifiAp ap, const NetToolOutput::Protection &protection)
{
    ap.encrypted = ap.encrypted || protection.privacy || protection.wpa || protection.rsn;
    ap.security = NetToolOutput::security(protection);
    return ap;
}

} // namespace

namespace NetToolOutput {

WifiSecurity security(const Protection &protection)
{
    if (protection.enterprise)
        return WifiSecurity::Enterprise;
    if (protection.sae)
        return WifiSecurity::Wpa3;
    if (protection.rsn)
        return WifiSecurity::Wpa2;
    if (protection.wpa)
        return WifiSecurity::Wpa;
    if (protection.privacy)
        return WifiSecurity::Wep;
    return protection.reported ? WifiSecurity::Open : WifiSecurity::Unknown;
}

QList<WifiAp> iwlistScan(const QByteArray &output)
{
    QList<WifiAp> aps;
    WifiAp current;
    Protection protection;
    bool inCell = false;
    for (const QByteArray &bytes : completeLines(output)) {
        const QString line = QString::fromUtf8(bytes);
        if (line.trimmed().startsWith(QLatin1String("Cell "))) {
            if (inCell)
                aps.append(closed(std::exchange(current, WifiAp()), std::exchange(protection, {})));
            inCell = true;
        }
        if (line.trimmed().startsWith(QLatin1String("ESSID:")))
            current.ssid = quotedEssid(bytes);
        else
            readIwlistLine(line, current, protection);
    }
    if (inCell)
        aps.append(closed(current, protection));
    return aps;
}

QString iwconfigEssid(const QByteArray &output)
{
    QString essid;
    for (const QByteArray &bytes : completeLines(output)) {
        if (bytes.contains("ESSID:"))
            essid = quotedEssid(bytes);
    }
    return essid;
}

QList<WifiAp> iwScan(const QByteArray &output)
{
    QList<WifiAp> aps;
    WifiAp current;
    Protection protection;
    bool inBss = false;
    bool named = false;
    for (const QByteArray &line : completeLines(output)) {
        if (line.startsWith("BSS ")) {
            if (inBss)
                aps.append(closed(std::exchange(current, WifiAp()), std::exchange(protection, {})));
            inBss = true;
            named = false;
            current.bssid = QString::fromLatin1(line.mid(4, 17)).toLower();
            continue;
        }
        if (!inBss)
            continue;
        const QByteArray field = iwField(line);
        if (field.startsWith("SSID:") && !named) {
            current.ssid = iwSsid(valueAfter(field, "SSID:"));
            named = true;
        } else {
            readIwField(field, current, protection);
        }
    }
    if (inBss)
        aps.append(closed(current, protection));
    return aps;
}

QString iwLinkSsid(const QByteArray &output)
{
    for (const QByteArray &line : completeLines(output)) {
        const QByteArray field = iwField(line);
        if (field.startsWith("SSID:"))
            return iwSsid(valueAfter(field, "SSID:"));
    }
    return QString();
}

QString iwSsid(const QByteArray &printed)
{
    QByteArray bytes;
    bytes.reserve(printed.size());
    for (int i = 0; i < printed.size(); ++i) {
        char byte = printed.at(i);
        if (byte == '\\' && i + 3 < printed.size() && printed.at(i + 1) == 'x') {
            const int high = hexDigit(printed.at(i + 2));
            const int low = hexDigit(printed.at(i + 3));
            if (high >= 0 && low >= 0) {
                byte = char(high * 16 + low);
                i += 3;
            }
        }
        if (byte != '\0')
            bytes.append(byte);
    }
    // Not null even when empty: an empty name is a hidden network, not a missing one.
    return bytes.isEmpty() ? QString(QLatin1String(""))
                           : QString::fromUtf8(bytes.constData(), bytes.size());
}

int qualityFromDbm(int dbm)
{
    return (std::min(std::max(dbm, -110), -40) + 110) * 100 / 70;
}

bool hasKey(const QByteArray &config)
{
    const QList<QByteArray> lines = config.split('\n');
    return std::any_of(lines.cbegin(), lines.cend(),
        [](const QByteArray &line) { return line.trimmed().startsWith("psk="); });
}

} // namespace NetToolOutput
