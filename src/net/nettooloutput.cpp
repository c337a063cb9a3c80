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
void readIwlistLine(const QString &line, WifiAp &ap)
{
    const QString trimmed = line.trimmed();
    if (trimmed.startsWith(QLatin1String("Encryption key:")))
        ap.encrypted = trimmed.toLower().endsWith(QLatin1String("on"));
    if (trimmed.startsWith(QLatin1String("Quality=")))
        ap.quality = qualityPercent(line, ap.quality);
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

} // namespace

namespace NetToolOutput {

QList<WifiAp> iwlistScan(const QByteArray &output)
{
    QList<WifiAp> aps;
    WifiAp current;
    bool inCell = false;
    for (const QByteArray &bytes : completeLines(output)) {
        const QString line = QString::fromUtf8(bytes);
        if (line.trimmed().startsWith(QLatin1String("Cell "))) {
            if (inCell)
                aps.append(std::exchange(current, WifiAp()));
            inCell = true;
        }
        if (line.trimmed().startsWith(QLatin1String("ESSID:")))
            current.ssid = quotedEssid(bytes);
        else
            readIwlistLine(line, current);
    }
    if (inCell)
        aps.append(current);
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
    bool inBss = false;
    bool named = false;
    for (const QByteArray &line : completeLines(output)) {
        if (line.startsWith("BSS ")) {
            if (inBss)
                aps.append(std::exchange(current, WifiAp()));
            inBss = true;
            named = false;
            continue;
        }
        if (!inBss)
            continue;
        const QByteArray field = iwField(line);
        if (field.startsWith("SSID:") && !named) {
            current.ssid = iwSsid(valueAfter(field, "SSID:"));
            named = true;
        } else if (field.startsWith("capability:")) {
            current.encrypted = current.encrypted || namesPrivacy(field);
        } else if (field.startsWith("RSN:") || field.startsWith("WPA:")) {
            current.encrypted = true;
        } else if (field.startsWith("signal:")) {
            current.quality = signalQuality(valueAfter(field, "signal:"), current.quality);
        }
    }
    if (inBss)
        aps.append(current);
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
