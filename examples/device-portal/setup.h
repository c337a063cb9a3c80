#ifndef DEVICE_PORTAL_SETUP_H
#define DEVICE_PORTAL_SETUP_H

#include <networkmanager.h>
#include <zrhttprouter.h>
#include <zrhttpserver.h>

#include <QDateTime>
#include <QJsonObject>
#include <QMutex>
#include <QWaitCondition>

#include <memory>
#include <thread>

class Portal;

// Setup mode, for a device that has no network yet: while its Wi-Fi has had no link for a
// while (and at once at start), it scans, keeps that list, makes the Wi-Fi an access point and
// serves the portal on the access point's address, port 80. A join takes the access point off
// the air and joins; when that fails the access point comes back, and the reason is kept for
// the page. A joined device stays off the air until its link has been gone for the wait again.
//
// A thread of its own watches the link and carries the joins out, so nothing that blocks for
// seconds runs on a connection's thread. What the handlers read is under m_mutex.
class Setup
{
public:
    struct Options
    {
        QString ssid;
        QString passphrase; // empty: an open access point
        int waitSeconds = 20;
        // The portal's own server serves port 80 of every address, the access point's too.
        bool servedByListen = false;
    };
    static const QString Address; // of the device on its access point

    Setup(NetworkManager *manager, const QString &wifi, const Options &options);
    ~Setup();

    // Starts watching; the routes of the access point's server come from `portal`.
    void start(Portal *portal);
    // Stops watching and serving, and takes the access point off the air.
    void stop();

    // False when a join is under way already; the join runs on the setup thread.
    bool requestJoin(const QString &ssid, const QString &passphrase);
    bool isUp() const { return m_manager->isAccessPointActive(m_wifi); }
    // For /api/status: the access point, the join under way and the last join's outcome.
    QJsonObject describe() const;
    // While the access point is up and the radio cannot scan beside it: the networks seen
    // before it went up, and when.
    QList<WifiAp> keptNetworks(QDateTime *when) const;

private:
    void run();
    bool isStopping() const;
    void bringUp();
    void serveOnAccessPoint();
    void stopServingOnAccessPoint();
    void join(const QString &ssid, const QString &passphrase);

    NetworkManager *const m_manager;
    const QString m_wifi;
    const Options m_options;
    Portal *m_portal = nullptr;
    std::thread m_thread;
    bool m_refused = false; // setup thread: the access point's settings were refused
    // Made and ended on the setup thread (and by stop() once that has ended).
    std::unique_ptr<ZRHttpServer> m_server;
    std::unique_ptr<ZRHttpRouter> m_router;

    mutable QMutex m_mutex;
    QWaitCondition m_wake;
    bool m_stopping = false;
    bool m_served = false; // the page is on the access point's address
    QString m_joining; // the network being joined, null when none
    QString m_pendingPassphrase;
    bool m_pending = false; // a join waits for the setup thread
    QJsonObject m_lastJoin;
    QList<WifiAp> m_kept;
    QDateTime m_keptAt;
};

#endif // DEVICE_PORTAL_SETUP_H
