#include "netmonitor_p.h"

#include "zrlogging_p.h"

#include <QNetworkInterface>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int DatagramBytes = 65536;

// The name attribute of a link message; empty when it has none.
QString linkName(nlmsghdr *message)
{
    auto *info = static_cast<ifinfomsg *>(NLMSG_DATA(message));
    int length = int(message->nlmsg_len) - int(NLMSG_LENGTH(sizeof(ifinfomsg)));
    for (rtattr *attribute = IFLA_RTA(info); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type != IFLA_IFNAME)
            continue;
        const auto *bytes = static_cast<const char *>(RTA_DATA(attribute));
        return QString::fromUtf8(bytes, int(strnlen(bytes, RTA_PAYLOAD(attribute))));
    }
    return QString();
}

bool isUp(unsigned flags)
{
    return (flags & IFF_UP) && (flags & IFF_RUNNING);
}
} // namespace

QList<NetLinkEvent> readNetLinkMessages(const QByteArray &datagram)
{
    QList<NetLinkEvent> events;
    // The macros step through a copy of their own, aligned for the headers.
    QByteArray bytes(datagram.constData(), datagram.size());
    int length = bytes.size();
    for (auto *message = reinterpret_cast<nlmsghdr *>(bytes.data()); NLMSG_OK(message, length);
         message = NLMSG_NEXT(message, length)) {
        const auto type = message->nlmsg_type;
        if ((type == RTM_NEWLINK || type == RTM_DELLINK)
            && message->nlmsg_len >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
            const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
            NetLinkEvent event;
            event.kind = type == RTM_NEWLINK ? NetLinkEvent::Link : NetLinkEvent::LinkGone;
            event.index = info->ifi_index;
            event.name = linkName(message);
            event.up = type == RTM_NEWLINK && isUp(info->ifi_flags);
            events.append(event);
        } else if ((type == RTM_NEWADDR || type == RTM_DELADDR)
            && message->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg))) {
            NetLinkEvent event;
            event.kind = NetLinkEvent::Address;
            event.index = int(static_cast<const ifaddrmsg *>(NLMSG_DATA(message))->ifa_index);
            events.append(event);
        }
    }
    return events;
}

NetMonitor::NetMonitor(QObject *parent) : QObject(parent) { }

NetMonitor::~NetMonitor()
{
    stop();
}

bool NetMonitor::start()
{
    if (isRunning())
        return true;
    descriptor = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    sockaddr_nl address {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (descriptor < 0
        || ::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        qCWarning(lcNet, "cannot watch the interfaces: rtnetlink: %s", std::strerror(errno));
        stop();
        return false;
    }
    // Subscribed first, so that nothing between the look and the first message is missed.
    resynchronise(false);
    notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &NetMonitor::readAll);
    return true;
}

void NetMonitor::stop()
{
    delete notifier;
    notifier = nullptr;
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
    links.clear();
}

bool NetMonitor::isRunning() const
{
    return descriptor >= 0;
}

void NetMonitor::readAll()
{
    QByteArray datagram(DatagramBytes, Qt::Uninitialized);
    QSet<QString> addressed;
    for (;;) {
        sockaddr_nl sender {};
        socklen_t senderSize = sizeof sender;
        const ssize_t got = ::recvfrom(descriptor, datagram.data(), size_t(datagram.size()), 0,
            reinterpret_cast<sockaddr *>(&sender), &senderSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == ENOBUFS) {
            // The kernel dropped messages while we were busy: what they said is read afresh.
            resynchronise(true);
            continue;
        }
        if (got <= 0)
            break;
        if (sender.nl_pid != 0)
            continue; // only the kernel speaks for the interfaces
        for (const NetLinkEvent &event : readNetLinkMessages(datagram.left(int(got))))
            apply(event, &addressed);
    }
    for (const QString &name : qAsConst(addressed))
        emit addressesChanged(name);
}

void NetMonitor::apply(const NetLinkEvent &event, QSet<QString> *addressed)
{
    if (event.kind == NetLinkEvent::Address) {
        QString name = links.value(event.index).name;
        char buffer[IF_NAMESIZE] = {};
        if (name.isEmpty() && ::if_indextoname(unsigned(event.index), buffer))
            name = QString::fromUtf8(buffer);
        if (!name.isEmpty())
            addressed->insert(name);
    } else if (event.kind == NetLinkEvent::LinkGone) {
        const Link gone = links.take(event.index);
        const QString name = gone.name.isEmpty() ? event.name : gone.name;
        if (!name.isEmpty())
            emit linkChanged(name, false);
    } else {
        setLink(event.index, event.name, event.up, true);
    }
}

void NetMonitor::setLink(int index, const QString &name, bool up, bool announce)
{
    const auto known = links.constFind(index);
    const bool renamed = known != links.constEnd() && !name.isEmpty() && known->name != name;
    if (renamed && announce && known->up)
        emit linkChanged(known->name, false);
    const bool changed = known == links.constEnd() || renamed || known->up != up;
    const QString current = name.isEmpty() && known != links.constEnd() ? known->name : name;
    links.insert(index, { current, up });
    if (changed && announce && !current.isEmpty())
        emit linkChanged(current, up);
}

void NetMonitor::resynchronise(bool announce)
{
    QSet<int> present;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        const auto flags = interface.flags();
        present.insert(interface.index());
        setLink(interface.index(), interface.name(),
            flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning),
            announce);
    }
    for (const int index : links.keys()) {
        if (!present.contains(index))
            apply({ NetLinkEvent::LinkGone, index, QString(), false }, nullptr);
    }
}
