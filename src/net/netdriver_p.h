#ifndef NETDRIVER_P_H
#define NETDRIVER_P_H

#include "netsystem_p.h"
#include "networkmanager.h"

#include <QList>
#include <QString>

// One way of carrying out the controller's operations on an interface: the tools, or the
// NetworkManager service over D-Bus where it manages the interface. NetworkManager resolves and
// checks the interface name and the credentials, then picks the driver once per call; a driver
// gets only usable names.
class NetDriver
{
public:
    virtual ~NetDriver();

    // The link up and DHCP running: true when the DHCP client (or the activation) was started.
    virtual bool startEthernet(const QString &interface) = 0;
    virtual void stopEthernet(const QString &interface) = 0;
    virtual bool startDhcp(const QString &interface) = 0;
    virtual void stopDhcp(const QString &interface) = 0;
    virtual void switchWifiOn(const QString &interface) = 0;
    virtual void switchWifiOff(const QString &interface) = 0;
    virtual bool isLinked(const QString &interface) = 0;
    virtual QString currentNetwork(const QString &interface) = 0;
    virtual QList<WifiAp> scan(const QString &interface) = 0;
    // A NetResult: 0, 1000 or 1001.
    virtual int join(const QString &ssid, const QString &passphrase, const QString &interface) = 0;
    // 0 or 1003, with what had started stopped again (name, passphrase and address are checked).
    virtual int startAccessPoint(const QString &interface, const QString &ssid,
        const QString &passphrase, const QString &address)
        = 0;
    // True when nothing of it is left.
    virtual bool stopAccessPoint(const QString &interface) = 0;
    virtual bool isAccessPointActive(const QString &interface) = 0;

    // The driver of NetSystem::route(): the service where it manages `interface`, the tools
    // where it is absent or does not, and one that fails where it did not answer.
    static NetDriver &forInterface(const QString &interface);
    // What netctl and toolChoices() call the service.
    static QString serviceName();
    // What drivenBy() says where the bus or the service did not answer.
    static QString failingName();
    // 0 after logging "Success!" when DHCP was started, else 1001.
    static int dhcpResult(bool started);
};

// The standard Linux tools, as the controller always ran them (see NetTools).
class NetToolDriver : public NetDriver
{
public:
    bool startEthernet(const QString &interface) override;
    void stopEthernet(const QString &interface) override;
    bool startDhcp(const QString &interface) override;
    void stopDhcp(const QString &interface) override;
    void switchWifiOn(const QString &interface) override;
    void switchWifiOff(const QString &interface) override;
    bool isLinked(const QString &interface) override;
    QString currentNetwork(const QString &interface) override;
    QList<WifiAp> scan(const QString &interface) override;
    int join(const QString &ssid, const QString &passphrase, const QString &interface) override;
    int startAccessPoint(const QString &interface, const QString &ssid, const QString &passphrase,
        const QString &address) override;
    bool stopAccessPoint(const QString &interface) override;
    bool isAccessPointActive(const QString &interface) override;

    // Removes the supplicant files of joins whose process has ended without removing its own
    // (killed, or crashed): each holds a key to a network.
    static void removeStaleFiles();
};

// The NetworkManager service on the system bus, through the process's connection (NetBus):
// any thread may call, and each call waits with a bound, without an event loop; after a call
// the bus or the service left unanswered, the operation's other calls and waits end at once.
// An access point is a runtime profile of the service (mode ap, the address set by hand) with
// the tools' dnsmasq for DHCP and DNS.
class NetServiceDriver : public NetDriver
{
public:
    bool startEthernet(const QString &interface) override;
    void stopEthernet(const QString &interface) override;
    bool startDhcp(const QString &interface) override;
    void stopDhcp(const QString &interface) override;
    void switchWifiOn(const QString &interface) override;
    void switchWifiOff(const QString &interface) override;
    bool isLinked(const QString &interface) override;
    QString currentNetwork(const QString &interface) override;
    QList<WifiAp> scan(const QString &interface) override;
    int join(const QString &ssid, const QString &passphrase, const QString &interface) override;
    int startAccessPoint(const QString &interface, const QString &ssid, const QString &passphrase,
        const QString &address) override;
    bool stopAccessPoint(const QString &interface) override;
    bool isAccessPointActive(const QString &interface) override;

    // Who carries out the calls for `interface` (see NetRoute). Asks the bus only.
    static NetRoute route(const QString &interface);
    // Whether anything owns the service's name on the system bus.
    static bool isPresent();
};

// Where the bus or the service did not answer: every operation fails at once with its failure
// result, and no tool runs.
class NetFailingDriver : public NetDriver
{
public:
    bool startEthernet(const QString &) override { return false; }
    void stopEthernet(const QString &) override { }
    bool startDhcp(const QString &) override { return false; }
    void stopDhcp(const QString &) override { }
    void switchWifiOn(const QString &) override { }
    void switchWifiOff(const QString &) override { }
    bool isLinked(const QString &) override { return false; }
    QString currentNetwork(const QString &) override { return QString(); }
    QList<WifiAp> scan(const QString &) override { return {}; }
    int join(const QString &, const QString &, const QString &) override;
    int startAccessPoint(
        const QString &, const QString &, const QString &, const QString &) override;
    bool stopAccessPoint(const QString &) override { return false; }
    bool isAccessPointActive(const QString &) override { return false; }
};

#endif // NETDRIVER_P_H
