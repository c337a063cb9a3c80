#ifndef NETMANAGERSTATE_P_H
#define NETMANAGERSTATE_P_H

#include "networker_p.h"
#include "networkmanager.h"

#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

class NetMonitor;
class NetServiceWatch;

// What a NetworkManager keeps beside the machine, as a child object, so that the class keeps
// its size: the worker of the *Async operations and the watch behind its change signals. Lives
// in the manager's thread; of() finds it from any thread.
class NetManagerState : public QObject
{
    Q_OBJECT

public:
    NetManagerState(NetworkManager *manager, NetAccess access);
    ~NetManagerState() override;

    static NetManagerState *of(const NetworkManager *manager);
    NetAccess access() const { return accessMode; }
    // Called as the manager goes: it hears nothing more, and what its worker runs has ended.
    void shutDown();

    // Runs `job` on the worker, after the jobs already given for `interface`.
    void submit(const QString &interface, std::function<void()> job);
    // Runs `emitter` in the manager's thread, with lastFailure() there set to `report`: what
    // an operation on the worker reported.
    void deliver(const NetFailure &report, std::function<void()> emitter);
    // Runs `job` in the manager's thread, from its event loop. Any thread may call.
    void post(std::function<void()> job);

    // Watches the machine while a change signal of the manager is connected, and only then.
    // Any thread may call.
    void updateWatch();
    // An access point of this process started or ended: every watching manager hears it.
    static void announceAccessPoint(const QString &interface, bool active);

private slots:
    // Runs what post() left, in the order posted.
    void runPosted();

private:
    void watch(bool on);
    // A link change from the kernel; the service speaks for the interfaces it manages.
    void onKernelLink(const QString &interface, bool up);
    void onKernelAddresses(const QString &interface);
    void onLink(const QString &interface, bool up);
    // Asks, on the worker, which network a Wi-Fi interface is on and whether it serves an
    // access point.
    void askWifi(const QString &interface);
    void setNetwork(const QString &interface, const QString &ssid);
    void setAccessPoint(const QString &interface, bool active);

    NetworkManager *const manager;
    const NetAccess accessMode;
    std::unique_ptr<NetWorker> worker; // gone once shut down
    NetMonitor *monitor = nullptr; // a child, made when first watched
    NetServiceWatch *service = nullptr; // a child made then too, which jobs may still reach
    bool watching = false;
    // post()'s jobs cross threads here, under a lock of ours: the event that wakes this thread
    // carries nothing (a queued functor may be freed by the thread that queued it, after it
    // ran here).
    std::mutex mailLock;
    QQueue<std::function<void()>> mail;
    // What was last announced, so that each signal is a change (the manager's thread only).
    QHash<QString, QString> networks;
    QHash<QString, bool> accessPoints;
};

#endif // NETMANAGERSTATE_P_H
