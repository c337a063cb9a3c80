#ifndef NETMONITOR_P_H
#define NETMONITOR_P_H

#include "zrnet_global.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class QSocketNotifier;

// One change the kernel announced on rtnetlink.
struct NetLinkEvent
{
    enum Kind { Link, LinkGone, Address };
    Kind kind = Link;
    int index = 0; // the interface's index
    QString name; // Link only: its name as the message gives it
    bool up = false; // Link only: up and running (a carrier, an association)
};

// Reads the link and address messages of rtnetlink datagrams: a pure function over bytes, so
// that tests and fuzzers call it without a socket. Any bytes are accepted; a message cut short
// ends the reading, other kinds of message are skipped.
ZRNET_AUTOTEST_EXPORT QList<NetLinkEvent> readNetLinkMessages(const QByteArray &datagram);

// Watches the kernel's announcements of links and addresses (rtnetlink, IPv4 and IPv6 address
// groups) from the event loop of its thread: a socket and a notifier, nothing polled. Keeps each
// interface's last state, so that a signal means a change. Opens nothing until start().
class NetMonitor : public QObject
{
    Q_OBJECT

public:
    explicit NetMonitor(QObject *parent = nullptr);
    ~NetMonitor() override;

    // False when the socket cannot be had (no netlink in this sandbox).
    bool start();
    void stop();
    bool isRunning() const;

signals:
    // A link came up, went down, appeared or went away (down).
    void linkChanged(const QString &interface, bool up);
    // Addresses of these interfaces changed, once per interface for a burst of messages.
    void addressesChanged(const QString &interface);

private:
    void readAll();
    // What the kernel says now, for a start and after messages were lost.
    void resynchronise(bool announce);
    void apply(const NetLinkEvent &event, QSet<QString> *addressed);
    void setLink(int index, const QString &name, bool up, bool announce);

    struct Link
    {
        QString name;
        bool up = false;
    };
    int descriptor = -1;
    QSocketNotifier *notifier = nullptr;
    QHash<int, Link> links; // by index
};

#endif // NETMONITOR_P_H
