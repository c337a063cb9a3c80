#ifndef NETACCESSPOINT_P_H
#define NETACCESSPOINT_P_H

#include <QByteArray>
#include <QString>

// An access point run with the tools: hostapd for the radio, dnsmasq for DHCP and DNS. What a
// start leaves on the machine is kept in a directory of its own per interface
// (/run/zrnet/ap-NAME, owner only): hostapd's configuration, both pid files and the leases,
// so that a stop (from this process or another one) ends exactly what the start began.
// The callers check the interface, name, passphrase and address first.
namespace NetAccessPoint {

// 0, or 1003 with whatever had started stopped again.
int start(const QString &interface, const QString &ssid, const QString &passphrase,
    const QString &address);
// True when nothing of it is left: no process, no address, no directory.
bool stop(const QString &interface);
bool isActive(const QString &interface);

// DHCP and DNS alone, for an access point whose radio and address the NetworkManager service
// provides: dnsmasq as start() runs it, kept in the same directory. True when it runs.
bool startServices(const QString &interface, const QString &address);
// True when it is gone, with its directory.
bool stopServices(const QString &interface);
bool servicesRunning(const QString &interface);

// hostapd's configuration: the name in hex, WPA2-PSK with the passphrase, open without one.
QByteArray hostapdConfig(const QString &interface, const QString &ssid, const QString &passphrase);

} // namespace NetAccessPoint

#endif // NETACCESSPOINT_P_H
