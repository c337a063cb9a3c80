#ifndef NETTOOLS_P_H
#define NETTOOLS_P_H

#include "networkmanager.h"

#include <QList>
#include <QString>

// The steps the interface controller takes on the machine. Each is carried out by its classic
// tool where that is installed, with the program, arguments and order it always had, and by a
// modern equivalent only where it is missing. The choice is made on every call (a tool may be
// installed later), costs a look-up on the search path per candidate tried, and is named by a
// zrnet.net debug line. Every contact with the machine goes through NetSystem.
namespace NetTools {

// Whether `interface` is a Wi-Fi interface of this machine: Qt says so, or the kernel has a
// radio behind it (a driver without the wireless extensions Qt asks).
bool isWifi(const QString &interface);

// Where the controller keeps what it starts (/run/zrnet): an access point's files, the
// supplicant's configuration.
QString runtimeDirectory();

// ifconfig NAME up | ip link set dev NAME up
void bringUp(const QString &interface);
// /sbin/ifconfig NAME 0.0.0.0 down | ip addr flush dev NAME, ip link set dev NAME down
void takeDown(const QString &interface);
// Starts a DHCP client in the background (/sbin/dhclient | dhcpcd | udhcpc | busybox udhcpc),
// sending dhcpHostName() (see startDhcp in the .cpp for how each does); false when the one found
// could not be started, or none was found.
bool startDhcp(const QString &interface);
// Releases the lease and ends the client, waiting for it: dhclient -r | dhcpcd -4 -k, and where
// dhclient is missing also a udhcpc named by its pid file.
void releaseDhcp(const QString &interface);
// rfkill unblock wifi | "0" into /sys/class/rfkill/*/soft of every Wi-Fi switch
void unblockWifi();
// killall -9 wpa_supplicant | SIGKILL to every process of /proc named exactly wpa_supplicant;
// where the NetworkManager service runs, only to those started for `interface`.
void endSupplicants(const QString &interface);
// SIGKILL to the supplicants of /proc started for `interface` alone: another radio keeps its own.
void endSupplicantsOf(const QString &interface);
// iwlist NAME scan | iw dev NAME scan; empty, with the failure recorded, when the tool failed.
QList<WifiAp> scan(const QString &interface);
// iwconfig NAME | iw dev NAME link
QString currentNetwork(const QString &interface);

// ifconfig NAME ADDRESS netmask 255.255.255.0 up | ip -4 addr flush dev NAME,
// ip addr add ADDRESS/24 dev NAME, ip link set dev NAME up; false when it failed or no tool
// was found.
bool setAddress(const QString &interface, const QString &address);
// ifconfig NAME 0.0.0.0 | ip -4 addr flush dev NAME; false when it failed.
bool removeAddress(const QString &interface);
// Whether a tool is at hand for every step of an access point; runs nothing. Records the
// first one missing.
bool hasAccessPointTools();
// Whether a tool is at hand for the supplicant and the link tests of a join (wpa_passphrase
// too where the key is derived from a passphrase); runs nothing. Records the first missing.
bool available(const QString &interface, bool derivesKey);
// The supplicant's configuration for `ssid` with the key wpa_passphrase derives from
// `passphrase` (on its standard input), without the passphrase itself, which the tool repeats
// as a comment; empty, with the failure recorded, when it gave no key.
QByteArray derivedKey(const QString &ssid, const QString &passphrase);
// /sbin/wpa_supplicant (else the one on the search path) -c CONFIG -i NAME -B
bool startSupplicant(const QString &interface, const QString &config);
// hostapd -B -P PIDFILE CONFIG: true when it started and went into the background.
bool startHostapd(const QString &config, const QString &pidFile);
// dnsmasq for the access point's clients alone: DHCP in ADDRESS/24 with the portal's URL as
// option 114, every name answered with ADDRESS; its pid and lease files in `directory`.
bool startDnsmasq(const QString &interface, const QString &address, const QString &directory);
// iw dev NAME scan ap-force: a scan while the interface serves an access point, where the
// driver allows it; empty without iw.
QList<WifiAp> scanBesideAccessPoint(const QString &interface);
// Whether process `pid` runs and its name is `name`.
bool isProcess(qint64 pid, const QByteArray &name);
// Ends process `pid` if it still is `name` (a pid file may be stale): SIGTERM, then SIGKILL
// after three seconds. True when no such process is left.
bool endProcess(qint64 pid, const QByteArray &name);

// The machine's host name, which DHCP clients send so that the server's leases name the
// device: letters, digits and hyphens (dots between labels). Empty for any other name, and for
// localhost: nothing is sent then.
QString dhcpHostName();

// Every step with what would carry it out now.
QList<NetToolChoice> choices();

} // namespace NetTools

#endif // NETTOOLS_P_H
