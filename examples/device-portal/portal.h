#ifndef DEVICE_PORTAL_PORTAL_H
#define DEVICE_PORTAL_PORTAL_H

#include <networkmanager.h>
#include <zrhttprouter.h>

#include <QJsonObject>
#include <QMutex>

// The setup portal's routes on one router: the page (its folder of resources at /) and
// the JSON API the page calls:
//
//   GET  /api/interfaces  Ethernet and Wi-Fi interfaces: kind, default mark, state, addresses
//   GET  /api/status      the Wi-Fi link and its network; whether joins are allowed
//   GET  /api/scan        networks in reach, each once (its strongest cell), strongest first
//   POST /api/join        {"ssid": ..., "passphrase": ...}: joins, answers with the outcome
//   GET  /api/report      status and scan as the two parts of a multipart/mixed reply
//
// Handlers run on the connections' threads, several at once; NetworkManager keeps no state,
// so they share it freely. Each call blocks while its tools run: a scan for seconds, a join
// that fails for six.
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
};

#endif // DEVICE_PORTAL_PORTAL_H
