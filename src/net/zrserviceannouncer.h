#ifndef ZRSERVICEANNOUNCER_H
#define ZRSERVICEANNOUNCER_H

#include "zrnet_global.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class NetAnnouncement;
struct NetAnnouncementState;

// Publishes one service of this device (its web page, say) on the local networks by multicast
// DNS and DNS-SD, so that a laptop or phone finds it by name: avahi-daemon answers for the
// machine, and this class asks it over the system bus (org.freedesktop.Avahi). Browsers then
// reach the device at HOST.local, and `avahi-browse -rt _http._tcp` lists the service.
//
// The service stays published while the object lives: when avahi-daemon restarts, it is
// published again (under the host name asked with setHostName, too), and when another device
// publishes the same name, it takes the daemon's next free one ("Kiosk #2"). Without
// avahi-daemon, announce() fails with the reason in errorString(), and the service is published
// once the daemon comes. Any thread may call, with no event loop of the caller's; each call
// returns within 20 s however the bus and the daemon behave (withdraw within 10 s), and announce
// gives the daemon 10 s to establish the service. announcedChanged() is emitted in the object's
// thread, which needs an event loop for it.
class ZRNET_EXPORT ZRServiceAnnouncer : public QObject
{
    Q_OBJECT

public:
    explicit ZRServiceAnnouncer(QObject *parent = nullptr);
    // Withdraws the service.
    ~ZRServiceAnnouncer() override;

    // Publishes `name` (1 to 63 bytes of UTF-8: what a browser shows, "Kiosk in the lobby") as
    // a service of `type` ("_http._tcp", "_https._tcp", or another "_name._tcp" or "_udp") on
    // `port` of every interface the daemon serves, with the TXT records `txt` ("path=/"; each
    // 1 to 255 bytes). Replaces what the object announced before. True once the daemon has
    // established it on the network; false, with errorString(), when arguments are refused
    // (nothing changes then) or the daemon is missing, refuses or is slow (the service is still
    // wanted: isAnnounced() and announcedChanged() tell when it comes).
    bool announce(const QString &name, quint16 port,
        const QString &type = QStringLiteral("_http._tcp"), const QStringList &txt = QStringList());
    // Takes the service off the network; true once the daemon did (or nothing was published).
    bool withdraw();
    bool isAnnounced() const;
    // The name the service is published under: announce()'s, or the daemon's next free one
    // after a collision. Empty before announce().
    QString serviceName() const;

    // The .local name the daemon publishes for this machine ("kiosk-lobby.local"), which the
    // announced service points at; empty, with errorString(), without avahi-daemon. While the
    // service is announced, known without asking the daemon.
    QString hostName();
    // Asks the daemon to publish the machine as `name`.local (1 to 63 bytes, no dot), leaving
    // the system's host name alone; services are published again under it. Should another
    // machine hold that name, the daemon takes the next free one ("kiosk-lobby-2"): hostName()
    // tells. The wish is applied again when the daemon restarts. False, with errorString(), when
    // the daemon refuses or is missing.
    bool setHostName(const QString &name);

    // Why the last call failed, or why the service is not announced now; empty otherwise.
    QString errorString() const;

    // Whether avahi-daemon is on the system bus now (within 10 s).
    static bool isAvailable();

signals:
    void announcedChanged(bool announced);

private slots:
    void reportChanges();

private:
    friend struct NetAnnouncementState; // queues reportChanges() from the bus thread
    std::shared_ptr<NetAnnouncementState> d;
    NetAnnouncement *m_core; // lives on the bus thread
    quint64 m_reported = 0; // the changes announcedChanged() told of; the object's thread
};

#endif // ZRSERVICEANNOUNCER_H
