#ifndef NETWORKMANAGER_H
#define NETWORKMANAGER_H

#include "zrnet_global.h"

#include <QList>
#include <QNetworkInterface>
#include <QObject>
#include <QString>
#include <QStringList>

// How an access point protects its network: the strongest way it offers.
enum class WifiSecurity : int {
    Unknown, // not reported
    Open,
    Wep,
    Wpa, // WPA (version 1) with a passphrase
    Wpa2, // WPA2 (RSN) with a passphrase
    Wpa3, // WPA3: SAE
    Enterprise, // 802.1X: an account rather than a passphrase
};

// One access point seen by a scan.
struct WifiAp
{
    QString ssid; // as the scan reports it, without double quotes
    int quality = 0; // percent, 0..100
    bool encrypted = false;
    QString extra1; // never filled by the library; free for the application
    QString extra2;
    // Where the tool or the service reports them; empty, 0 or Unknown otherwise.
    QString bssid; // the access point's address, "02:00:00:00:01:01" (lower case)
    int frequency = 0; // MHz: 2412 is channel 1, 5180 channel 36
    int signalDbm = 0; // dBm, negative (the service gives only quality)
    WifiSecurity security = WifiSecurity::Unknown;
};
Q_DECLARE_METATYPE(WifiAp)

// Outcome of the int operations of NetworkManager, which return it as a plain int of the same
// value.
enum class NetResult : int {
    DhcpStarted = 0, // the link is up and the DHCP client was started
    LinkTimeout = 1000, // connectToAp: the Wi-Fi link did not come up within six seconds
    DhcpFailed = 1001, // no DHCP client could be started
    NoInterface = 1002, // no interface of the kind needed, or a name that cannot be one
    AccessPointFailed = 1003, // startAccessPoint: a tool failed; what had started was stopped
    AccessPointRefused = 1004, // startAccessPoint: unusable name, passphrase or address
};

// A short English sentence for `result`, fit for the person setting the device up; unknown
// values get "unknown result".
ZRNET_EXPORT QString netResultText(NetResult result);

// Why the last operation of a thread failed (see NetworkManager::lastFailure()).
enum class NetFailureReason : int {
    None, // it did what it was asked
    InvalidPassphrase, // the passphrase (or name, or address) cannot work: nothing was run
    NoSuchInterface, // no interface of that name, or none of the kind needed
    NotWifi, // the interface named is not a Wi-Fi interface
    ToolMissing, // a tool the operation needs is not installed: `detail` names it
    PermissionDenied, // changing the network needs root (or CAP_NET_ADMIN)
    Busy, // another operation kept the interface for longer than the wait allows
    TimedOut, // the operation ran out of time; `detail` names the tool that was ended
    NotAssociated, // the Wi-Fi link did not come up: wrong passphrase, or out of reach
    DhcpFailed, // no DHCP client could be started
    ServiceRefused, // the NetworkManager service said no: `detail` is its message
    ToolFailed, // a tool ran and failed: `detail` names it
    ReadOnly, // a NetworkManager made to read only was asked for a change: nothing was run
};

// What a NetworkManager may do to the machine.
enum class NetAccess : int {
    ReadWrite, // everything; creating it switches the default Wi-Fi interface on
    // Looks only, for a status page: interfaces, link, addresses, the network, scans. Creating
    // it runs nothing, and every operation that would change the machine (the radio, up/down,
    // DHCP, a join, an access point) runs no tool and asks the service nothing: it returns its
    // failure result, with reason ReadOnly.
    ReadOnly,
};

struct NetFailure
{
    NetFailureReason reason = NetFailureReason::None;
    QString detail; // the tool's name, the service's message, or empty
    QString text; // one sentence for the person setting the device up; after a success, what
                  // the operation did
};

// How one step of the controller is carried out on this machine (see
// NetworkManager::toolChoices()).
struct NetToolChoice
{
    QString step; // what the step does, e.g. "bring an interface up"
    QStringList operations; // the NetworkManager operations that take it
    QString tool; // what will do it: a program, or a kernel file the library uses itself;
                  // empty when nothing can
    QStringList missing; // the tools looked for first and not found, in order of preference
    QStringList viaService; // the interfaces for which the NetworkManager service does it instead
};

// Controls the machine's Ethernet and Wi-Fi interfaces by running the standard Linux tools
// (ifconfig, dhclient, rfkill, killall, iw, iwconfig, iwlist, wpa_passphrase, wpa_supplicant,
// and hostapd and dnsmasq for an access point).
// It keeps no state of the machine: every call looks the interfaces up afresh. Every blocking
// call returns within a deadline of its own (a join within 15 s; a tool still running then is
// ended with its process group); most need root rights to have any effect.
//
// Where the NetworkManager service runs on the system bus and manages the interface, a call
// asks the service over D-Bus instead, and runs no tool on that interface: the service joins
// networks (a profile per network name, added or updated, then activated on the device), runs
// DHCP and switches the radio (WirelessEnabled). The results are the same codes; waits are
// bounded (a scan 10 s, a join 30 s); any thread may call. Interfaces it does not manage, and
// machines without it (no system bus, or nothing owns its name there), get the tools.
// Where the system bus or the service does not answer, or the service answers the question
// whether it manages the interface with an error, the call fails with its failure result and
// runs no tool: connecting to the bus waits at most 5 s, each question to the service 5 s, and
// the first one left unanswered ends the call (lastCallServiceUnavailable() tells so).
//
// Where a classic tool is missing, its modern equivalent does the same work: ip for ifconfig,
// dhcpcd or busybox udhcpc for dhclient, iw for iwlist and iwconfig, /sys/class/rfkill for
// rfkill and /proc for killall. Where the classic tool is there, it alone is used, as always.
// The choice is made on each call; the zrnet.net debug lines name it.
//
// An empty `interface` stands for the default interface of the kind the call works on. A name
// that is no interface of this machine runs nothing (1002 from an int operation), and so does
// an interface that is not Wi-Fi given to a Wi-Fi operation. What a change needs (the
// supplicant, hostapd, root) is checked before anything is stopped. Operations that change an
// interface run one at a time per process: a second one waits for the first (up to 25 s, then
// fails as Busy). lastFailure() says why the calling thread's last operation failed.
//
// The int operations return the values of NetResult.
//
// Signals: connecting to linkChanged, addressesChanged, wifiNetworkChanged or
// accessPointChanged starts watching the machine (the kernel's rtnetlink announcements, and the
// service's own signals for the interfaces it manages); nothing polls, and nothing is watched
// while none of them is connected. They are emitted in the object's thread, which needs an
// event loop, as do the *Async operations, which run on a thread the object owns, one at a
// time per interface, in the order asked.
//
// Creating a NetworkManager switches the default Wi-Fi interface on (see initializeWifiInterface),
// unless it is made NetAccess::ReadOnly.
class ZRNET_EXPORT NetworkManager : public QObject
{
    Q_OBJECT

public:
    NetworkManager();
    explicit NetworkManager(NetAccess access);
    // Waits for an asynchronous operation that is running (each is bounded); those still
    // queued are dropped.
    ~NetworkManager() override;
    NetAccess access() const;

    // Every interface Qt reports as Wi-Fi or as Ethernet (virtual ones included), in its order.
    QList<QNetworkInterface> wifiInterfaces();
    QList<QNetworkInterface> ethernetInterfaces();
    // The first of the list backed by a device (/sys/class/net/NAME/device), else the first one;
    // a null string when the list is empty.
    QString defaultWifiInterface();
    QString defaultEthernetInterface();

    // Brings the interface up (ifconfig, else ip), then startDhcp: 0, 1001 or 1002. Without a
    // carrier (no cable) the DHCP client is started all the same and waits for one; the
    // success text of lastFailure() says so.
    int startEthernetInterface(QString interface);
    // Releases the DHCP lease, then takes the interface down without address.
    void stopEthernetInterface(QString interface);

    // Starts the DHCP client in the background (dhclient, else dhcpcd, else udhcpc): 0 when it
    // started, 1001 when it could not be started or there is none, 1002 when there is no such
    // interface.
    int startDhcp(QString interface);
    // Asks the interface's DHCP client to release its lease and end, and waits for it.
    void stopDhcp(QString interface);

    // Unblocks the Wi-Fi radio and brings the interface up.
    void initializeWifiInterface(QString interface);
    // Ends the interface's supplicants (every wpa_supplicant on the machine, unless other
    // interfaces have supplicants of their own), releases the lease, takes the interface down;
    // ends the interface's access point too.
    void stopWifiInterface(QString interface);
    // Name of the network the default Wi-Fi interface (or `interface`) is associated with, or
    // a null string.
    QString connectedAp();
    QString connectedAp(const QString &interface);
    // Access points the default Wi-Fi interface (or `interface`) can see, in the order of the
    // scan, names decoded. From iwlist, quality is Quality=n/d as 100*n/d; from iw (where
    // iwlist is missing) a signal of S dBm gives (min(max(S,-110),-40)+110)*100/70, truncated:
    // the figure iwlist shows for the same signal, never lower for a stronger one.
    // While the interface serves an access point, iw scans beside it where the driver allows
    // (ap-force); the list is empty where it does not. A scan that could not run (no tool, no
    // such interface, out of time) is empty too, with the reason in lastFailure(); an empty
    // list with reason None means no network is in reach.
    QList<WifiAp> apList();
    QList<WifiAp> apList(const QString &interface);
    // The networks in reach, each once: its strongest access point (see networksIn).
    QList<WifiAp> networks(const QString &interface = QString());
    // Each named network of `aps` once, at its strongest access point, strongest first (ties
    // in scan order). The same name with and without encryption are two networks, so that an
    // open twin of a protected network is not hidden behind it; hidden networks are left out.
    // `apCounts`, when given, gets how many access points each network was seen through.
    static QList<WifiAp> networksIn(const QList<WifiAp> &aps, QList<int> *apCounts = nullptr);
    // Joins a network, waits up to six seconds for a link to that very network, then starts
    // DHCP: 0, 1000, 1001 or 1002. The passphrase is empty for an open network, 8 to 63
    // printable ASCII characters, or a key of 64 hex digits, and never appears on a command
    // line nor on disk in clear (the supplicant's file, owner-only in /run/zrnet, holds the
    // derived key and is removed once the join returns). Any other passphrase, or a name
    // holding a line break or NUL, cannot work: it gets 1000 and nothing is run, the device
    // left as it was. Through the service: 0 once the device is activated (within 30 s), 1000
    // when the link does not come up (secrets, supplicant, timeout), 1001 when it fails at IP
    // configuration.
    int connectToAp(QString ssid, QString passphrase, QString interface);

    // Makes the Wi-Fi interface an access point named `ssid`: WPA2-PSK with the passphrase (8 to
    // 63 printable ASCII characters), open when it is empty. The interface gets `address`/24;
    // its clients get an address of that /24 by DHCP, with http://ADDRESS/ as their captive
    // portal (DHCP option 114), and every name they look up resolves to `address`. Another DNS
    // server on the machine keeps its other addresses. Ends the supplicants started for the
    // interface (another radio keeps its own) and the client's lease first. 0; 1002 when the
    // interface is not Wi-Fi; 1003 when a tool is missing or fails (what had started is stopped
    // again); 1004, running nothing, for a name that is not 1 to 32 bytes of UTF-8, a passphrase as
    // above or an address that is not a host of its /24. Replaces an access point already up on
    // that interface.
    int startAccessPoint(const QString &interface, const QString &ssid, const QString &passphrase,
        const QString &address = QStringLiteral("192.168.42.1"));
    // Ends what startAccessPoint began there (by the pids it recorded, in this process or
    // another) and removes the address; true when nothing of it is left.
    bool stopAccessPoint(const QString &interface);
    bool isAccessPointActive(const QString &interface) const;

    // The same as apList, connectToAp and startAccessPoint, without blocking the caller: each
    // returns at once, and its signal (scanFinished, joinFinished, accessPointStarted) brings
    // the result. Operations on one interface run one after the other, in the order asked. In
    // a slot connected to that signal, lastFailure() is the operation's.
    void scanAsync(const QString &interface = QString());
    void joinAsync(
        const QString &ssid, const QString &passphrase, const QString &interface = QString());
    void startAccessPointAsync(const QString &interface, const QString &ssid,
        const QString &passphrase, const QString &address = QStringLiteral("192.168.42.1"));

    // Why the calling thread's last operation failed, in a sentence fit for the person setting
    // the device up; reason None (and what it did) after a success. The result codes stay as
    // they are: this tells apart what a code does not.
    static NetFailure lastFailure();

    // What carries out each step of the controller on this machine, and what is missing. Only
    // looks: runs nothing and needs no NetworkManager (whose constructor switches Wi-Fi on).
    // A step the service carries out for every interface it concerns names the service
    // ("NetworkManager service (D-Bus)") as its tool. The last step says whether
    // ZRServiceAnnouncer can announce the device: "avahi-daemon (D-Bus)" when the daemon is on
    // the system bus.
    static QList<NetToolChoice> toolChoices();
    // How calls for `interface` are carried out now: "NetworkManager service (D-Bus)" or
    // "tools"; where the bus or the service does not answer, "nothing: the system bus or the
    // NetworkManager service does not answer".
    QString drivenBy(QString interface);
    // Whether the calling thread's last call of this class failed because the system bus or the
    // NetworkManager service did not answer in time (or answered with an error where it had
    // to say whether it manages the interface). The call then returned its failure result.
    static bool lastCallServiceUnavailable();

public slots:
    bool isWifiConnected(QString interface = QString());

signals:
    // The interface can carry traffic (up, with a carrier: a cable, a Wi-Fi association), or no
    // longer can; also when it appears or goes away.
    void linkChanged(QString interface, bool up);
    // An address of the interface came or went (IPv4 or IPv6).
    void addressesChanged(QString interface);
    // The Wi-Fi network the interface is on; empty when the link is lost.
    void wifiNetworkChanged(QString interface, QString ssid);
    // An access point of this library started or ended there.
    void accessPointChanged(QString interface, bool active);

    void scanFinished(QString interface, QList<WifiAp> aps);
    void joinFinished(QString interface, int result);
    void accessPointStarted(QString interface, int result);

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private:
    friend class NetManagerState; // what an object keeps lives there, not in its members
};

#endif // NETWORKMANAGER_H
