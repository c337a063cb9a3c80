#ifndef NETTOOLOUTPUT_P_H
#define NETTOOLOUTPUT_P_H

#include "networkmanager.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Readers of what the wireless tools print on standard output: pure functions over bytes, so
// that tests and fuzzers call them without a process. Any bytes are accepted. Only complete
// lines count (each ended by a line feed), as a line-by-line reader of the tool's pipe sees
// them; a last line without its line end is not read.
namespace NetToolOutput {

// What a scan said of an access point's protection, to be read as one WifiSecurity.
struct Protection
{
    bool reported = false; // whether it said anything of encryption at all
    bool privacy = false; // encryption on (WEP unless more is said)
    bool wpa = false; // a WPA (version 1) element
    bool rsn = false; // an RSN (WPA2 or later) element
    bool enterprise = false; // 802.1X among the key managements
    bool sae = false; // SAE among them (WPA3)
};

// The strongest protection offered: 802.1X, then SAE, RSN, WPA, WEP; Open only where the scan
// said encryption is off, Unknown where it said nothing.
WifiSecurity security(const Protection &protection);

// "iwlist NAME scan": one record per line starting "Cell " (after white space), fields from the
// "ESSID:", "Encryption key:" and "Quality=n/d" lines up to the next cell; lines before the first
// cell count for it. Names are decoded as by iwconfigEssid. Besides: bssid from the cell's
// "Address:", frequency from "Frequency:" (GHz or MHz), signalDbm from "Signal level=S dBm",
// security from the encryption key, the "IE: WPA Version" and "IE: IEEE 802.11i/WPA2"
// elements and their "Authentication Suites" (802.1x; SAE, which iwlist calls unknown (8)).
QList<WifiAp> iwlistScan(const QByteArray &output);

// "iwconfig NAME": the name of the last line holding "ESSID:", without its outer double quotes
// (the inner ones are part of it; a quoted Nickname after it is not), decoded by iwSsid; null
// when no line holds one, or the line's value is not quoted (ESSID:off/any).
QString iwconfigEssid(const QByteArray &output);

// "iw dev NAME scan": one record per line starting "BSS " at its very start, with
// - ssid from the first "SSID:" line of the record (the information elements the kernel also
//   gives iwlist come first), decoded by iwSsid; a hidden network gives an empty name;
// - encrypted when the "capability:" line names Privacy or there is an "RSN:" or "WPA:" line;
// - quality from the "signal:" line: "S dBm" by qualityFromDbm, "n/100" as n percent;
// - bssid from the "BSS " line, frequency from "freq:" (whole MHz), signalDbm from "S dBm",
//   security from Privacy, "RSN:", "WPA:" and their "* Authentication suites:" (IEEE 802.1X,
//   SAE).
// Lines before the first "BSS " line are ignored.
QList<WifiAp> iwScan(const QByteArray &output);

// "iw dev NAME link": the name on the first "SSID:" line, decoded by iwSsid; null when there is
// none ("Not connected.").
QString iwLinkSsid(const QByteArray &output);

// A network name as iw prints it: every "\xNN" turned back into its byte, the bytes read as
// UTF-8. NUL bytes, which hidden networks send in place of a name, are dropped.
QString iwSsid(const QByteArray &printed);

// Percent quality for a signal of `dbm` (the whole dBm, the fraction cut off toward zero):
//   (min(max(dbm, -110), -40) + 110) * 100 / 70, truncated,
// which is the Quality=n/70 that iwlist shows for the same signal read as a percentage. A
// stronger signal never gives a lower quality; -40 dBm and above give 100, -110 and below 0.
int qualityFromDbm(int dbm);

// Whether a supplicant configuration holds a key: a "psk=" line (after white space).
bool hasKey(const QByteArray &config);

} // namespace NetToolOutput

#endif // NETTOOLOUTPUT_P_H
