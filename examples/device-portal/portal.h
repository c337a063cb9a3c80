#ifndef DEVICE_PORTAL_PORTAL_H
#define DEVICE_PORTAL_PORTAL_H

#include <networkmanager.h>
#include <zrhttprouter.h>
#include <zrhttpstream.h>
#include <zrserviceannouncer.h>

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMutex>
#include <QVector>

#include <atomic>
#include <memory>

class Access;
class Setup;

// What /api/join answers for a result of NetworkManager::connectToAp(): ssid, result, outcome
// (a short name) and message.
QJsonObject joinOutcome(const QString &ssid, int result);

// The setup portal's routes on one router: the page (its folder of resources at /) and
// the JSON API the page calls:
//
//   GET  /api/interfaces  Ethernet and Wi-Fi interfaces: kind, default mark, state, addresses
//   GET  /api/status      the Wi-Fi link and its network; whether joins are allowed; where
//                         the device is found on its networks (its .local name and address);
//                         without a session only what a passer-by may know: the device's
//                         name, whether it has a password and whether it is in setup mode
//   GET  /api/scan        networks in reach, each once (its strongest cell), strongest first;
//                         one scan at a time, its result reused for ten seconds
//   POST /api/join        {"ssid": ..., "passphrase": ...}: joins, answers with the outcome
//   GET  /api/report      status and scan as the two parts of a multipart/mixed reply
//   GET  /api/events      server-sent events, as things happen: first "status" (as
//                         /api/status), then "join" (ssid, outcome "joining", then as
//                         /api/join answers, then "status" again), "scan" (as /api/scan, for any
//                         page's fresh scan), and "link", "network", "addresses", "access-point"
//                         (the interface, and what changed) from the device's network
//
// Every API route but status and those of Access (password, login, logout) needs a session,
// and its unsafe requests the X-XSRF-TOKEN header: see access.h.
//
// In setup mode (setSetup) the portal also answers the checks by which phones find a captive
// portal: a phone that asks for its check page, or for any name that is not the device's,
// gets "302 Found" to the page, which it then opens by itself.
//
// Otherwise every route refuses (403) a request whose Host is not the device's address or
// name, whose Origin is another site's, or that the browser marks as cross-site
// (Sec-Fetch-Site). A route whose calls find the NetworkManager service or the system bus silent
// answers 503 (each call gives up within its bound; see NetworkManager).
//
// Handlers run on the connections' threads, several at once; NetworkManager keeps no state,
// so they share it freely. Each call blocks while its tools run: a scan for seconds, a join
// that fails for six.
class Portal
{
public:
    // Where a request came in: in setup mode, clients of the access point may join.
    enum class Side { Listen, AccessPoint };

    // Joins are refused (403) unless allowChanges, or in setup mode from the access point.
    Portal(NetworkManager *manager, bool allowChanges);

    // Who may use the routes; before addRoutes, and it outlives them.
    void setAccess(Access *access) { m_access = access; }
    // Setup mode; before addRoutes, and `setup` outlives the routes.
    void setSetup(Setup *setup);
    // Where the device is found once on a network: NAME.local (or the name `announcer`, which
    // outlives the routes, got from avahi-daemon), at `scheme`://NAME.local:PORT/. Before
    // addRoutes.
    void setWhereabouts(ZRServiceAnnouncer *announcer, const QString &name, const QString &scheme);
    // The PORT, once listening; 0 (as before) where the portal listens on this device alone.
    void setPort(int port) { m_port = port; }
    void addRoutes(ZRHttpRouter &router, Side side = Side::Listen);

    QJsonObject interfaces();
    QJsonObject status(Side side = Side::Listen);
    // What anyone may see: the name, whether a password is set, whether in setup mode.
    QJsonObject passerByStatus() const;
    QJsonObject device();
    QJsonObject scan();
    ZRHttpReply join(const ZRHttpRequest &request, Side side = Side::Listen);
    ZRHttpReply report();
    ZRHttpReply events(Side side = Side::Listen);
    // The status anew, as each page listening sees it from its side: after a join, and as the
    // setup's access point comes or goes.
    void broadcastStatus();

private:
    bool isCaptive(const ZRHttpRequest &request) const;
    // The names the device answers to, besides its addresses: its host name and the .local ones.
    QStringList ownNames() const;
    QJsonObject freshScan();
    // One event to every page listening; from any thread (the controller's signals come on the
    // main thread, joins and scans on the connections').
    void broadcast(const QByteArray &event, const QJsonObject &data);
    void forwardChanges();

    NetworkManager *const m_manager;
    const bool m_allowChanges;
    Setup *m_setup = nullptr;
    Access *m_access = nullptr;
    ZRServiceAnnouncer *m_announcer = nullptr;
    QString m_name; // what the device is called on the network
    QString m_scheme;
    std::atomic<int> m_port { 0 };
    QMutex m_joining; // one join at a time: each one ends every supplicant, another join's too
    QMutex m_scanning; // held while a scan runs; guards the two below
    QElapsedTimer m_scannedAt;
    QJsonObject m_lastScan;
    bool m_scannedBeside = false; // m_lastScan was made beside the access point
    QMutex m_listening; // guards the list below
    QVector<QPair<Side, std::shared_ptr<ZRHttpStream>>> m_listeners; // of /api/events
    QObject m_changes; // the context of the controller's signals: they end with the portal
};

#endif // DEVICE_PORTAL_PORTAL_H
