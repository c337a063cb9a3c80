#ifndef NETSAVEDNETWORKS_P_H
#define NETSAVEDNETWORKS_P_H

#include "networkmanager.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The networks the tools path keeps to join again, in a supplicant configuration of the
// library's own: the supplicant is given the whole file, so that it joins the best saved
// network in reach (by priority) and roams among them without the application.
//
// The file lives in the state directory (systemd's $STATE_DIRECTORY, else /var/lib/zrnet),
// owner-only (0600, in a 0700 directory), and is replaced whole and atomically (a new file
// renamed over the old) so that a crash leaves the old one or the new one, never half. A
// WPA2 network is kept by its derived key (wpa_passphrase), never the passphrase; a WPA3 (SAE)
// one needs the passphrase itself, since SAE derives fresh keys from it at every association,
// so there the file holds it: the same owner-only file, which the supplicant must read anyway.
// Any thread may call; changes run one at a time under one lock.
namespace NetSavedNetworks {

QString filePath();
QList<WifiSavedNetwork> list();
// Adds the network or replaces the one of that name; false, with the reason recorded, when the
// key cannot be derived or the file cannot be written.
bool save(const WifiSavedNetwork &network, const QString &passphrase);
bool forget(const QString &ssid);
bool setPriority(const QString &ssid, int priority);
bool setAutoconnect(const QString &ssid, bool autoconnect);
void markUsed(const QString &ssid);
// The supplicant's configuration of every saved network; `preferred`, when named, before all
// others for this join only. Empty when nothing is saved (or `preferred` is not).
QByteArray supplicantConfig(const QString &preferred = QString());

} // namespace NetSavedNetworks

#endif // NETSAVEDNETWORKS_P_H
