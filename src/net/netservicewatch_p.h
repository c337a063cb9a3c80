#ifndef NETSERVICEWATCH_P_H
#define NETSERVICEWATCH_P_H

#include <QDBusContext>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

// Follows the NetworkManager service's own signals for the devices it manages, on the
// process's bus connection (NetBus): a device's StateChanged, and changes of its
// ActiveAccessPoint and IP configurations, whether the service announces them the standard way
// (org.freedesktop.DBus.Properties) or the older one of its own interfaces. Lives in the event
// loop of its thread; whatever asks the bus runs through `offload`, off that thread.
class NetServiceWatch : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    // `offload` runs a job on another thread, `back` one in this thread's event loop.
    using Runner = std::function<void(std::function<void()>)>;
    NetServiceWatch(Runner offload, Runner back, QObject *parent = nullptr);
    ~NetServiceWatch() override;

    // Follows the service, once the bus is reached; stop() ends it.
    void start();
    void stop();
    // Whether the service manages the interface, as its signals and its device list tell.
    bool manages(const QString &interface) const;

signals:
    void linkChanged(const QString &interface, bool up);
    void networkChanged(const QString &interface); // which one is to be asked
    void addressesChanged(const QString &interface);

private slots:
    void deviceStateChanged(uint state, uint previous, uint reason);
    void propertiesChanged(
        const QString &interface, const QVariantMap &changed, const QStringList &invalidated);
    void devicePropertiesChanged(const QVariantMap &changed);

private:
    struct Device
    {
        QString name;
        uint state = 0;
    };
    // Follows the signals, or with `on` false no longer; returns `on`.
    bool subscribe(bool on);
    // Runs `then` with the device's interface name, asked of the service the first time.
    void withName(const QString &path, std::function<void(const QString &)> then);
    void changed(const QString &path, const QVariantMap &properties);
    void setState(const QString &path, const QString &name, uint state);

    const Runner offload;
    const Runner back;
    QHash<QString, Device> devices; // by the service's object path
    bool wanted = false; // between start() and stop()
    bool subscribed = false;
};

#endif // NETSERVICEWATCH_P_H
