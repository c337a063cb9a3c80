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

// ifconfig NAME up | ip link set dev NAME up
void bringUp(const QString &interface);
// /sbin/ifconfig NAME 0.0.0.0 down | ip addr flush dev NAME, ip link set dev NAME down
void takeDown(const QString &interface);
// Starts a DHCP client in the background (/sbin/dhclient | dhcpcd | udhcpc | busybox udhcpc);
// false when the one found could not be started, or none was found.
bool startDhcp(const QString &interface);
// Releases the lease and ends the client, waiting for it: dhclient -r | dhcpcd -k, and where
// dhclient is missing also a udhcpc named by its pid file.
void releaseDhcp(const QString &interface);
// rfkill unblock wifi | "0" into /sys/class/rfkill/*/soft of every Wi-Fi switch
void unblockWifi();
// killall -9 wpa_supplicant | SIGKILL to every process of /proc named exactly wpa_supplicant;
// where the NetworkManager service runs, only to those started for `interface`.
void endSupplicants(const QString &interface);
// iwlist NAME scan | iw dev NAME scan
QList<WifiAp> scan(const QString &interface);
// iwconfig NAME | iw dev NAME link
QString currentNetwork(const QString &interface);

// Every step with what would carry it out now.
QList<NetToolChoice> choices();

} // namespace NetTools

#endif // NETTOOLS_P_H
