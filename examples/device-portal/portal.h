#ifndef DEVICE_PORTAL_PORTAL_H
#define DEVICE_PORTAL_PORTAL_H

#include <networkmanager.h>
#include <zrhttprouter.h>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMutex>

// The setup portal's routes on one router: the page (GET /, its style, script and icons) and
// the JSON API the page calls:
//
//   GET  /api/interfaces  Ethernet and Wi-Fi interfaces: kind, default mark, state, addresses
//   GET  /api/status      the Wi-Fi link and its network; whether joins are allowed
//   GET  /api/scan        networks in reach, each once (its strongest cell), strongest first;
//                         one scan at a time, its result reused for ten seconds
//   POST /api/join        {"ssid": ..., "passphrase": ...}: joins, answers with the outcome
//   GET  /api/report      status and scan as the two parts of a multipart/mixed reply
//
// Every route refuses (403) a request whose Host is not the device's address or name, or whose
// Origin is another site's. Handlers run on the connections' threads, several at once;
// NetworkManager keeps no state, so they share it freely. Each call blocks while its tools run:
// a scan for seconds, a join that fails for six.
class Portal
{
public:
    // Joins are refused (403) unless allowChanges.
    Portal(NetworkManager *manager, bool allowChanges);

    void addRoutes(ZRHttpRouter &router);

    QJsonObject interfaces();
    QJsonObject status();
    QJsonObject scan();
    ZRHttpReply join(const ZRHttpRequest &request);
    ZRHttpReply report();

private:
    NetworkManager *const m_manager;
    const bool m_allowChanges;
    QMutex m_joining; // one join at a time: each one ends every supplicant, another join's too
    QMutex m_scanning; // held while a scan runs; guards the two below
    QElapsedTimer m_scannedAt;
    QJsonObject m_lastScan;
};

#endif // DEVICE_PORTAL_PORTAL_H
