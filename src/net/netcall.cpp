#include "netcall_p.h"

#include "netbus_p.h"

#include <QHash>
#include <QThread>

#include <condition_variable>
#include <mutex>

namespace {
thread_local NetCall *currentCall = nullptr;
thread_local NetFailure lastReport;

// The interfaces held for a change, by the thread that holds them.
std::mutex holdersLock;
std::condition_variable released;
QHash<QString, Qt::HANDLE> holders;
} // namespace

QString netFailureText(NetFailureReason reason, const QString &detail)
{
    switch (reason) {
    case NetFailureReason::None:
        return QString();
    case NetFailureReason::InvalidPassphrase:
        return QStringLiteral("the passphrase cannot work: it must be empty (an open network), 8 "
                              "to 63 printable ASCII characters or 64 hex digits");
    case NetFailureReason::NoSuchInterface:
        return detail.isEmpty() ? QStringLiteral("there is no interface of the kind needed")
                                : QStringLiteral("there is no interface %1 here").arg(detail);
    case NetFailureReason::NotWifi:
        return QStringLiteral("%1 is not a Wi-Fi interface; nothing was changed").arg(detail);
    case NetFailureReason::ToolMissing:
        return QStringLiteral("%1 is not installed here, and this needs it; nothing was "
                              "changed")
            .arg(detail);
    case NetFailureReason::PermissionDenied:
        return QStringLiteral("changing the network needs root (or CAP_NET_ADMIN); run it as "
                              "root");
    case NetFailureReason::Busy:
        return QStringLiteral("%1 is busy with another change, which took too long; try again")
            .arg(detail);
    case NetFailureReason::TimedOut:
        return QStringLiteral("%1 did not finish in time and was ended").arg(detail);
    case NetFailureReason::NotAssociated:
        return QStringLiteral("the Wi-Fi link did not come up: the passphrase may be wrong, or "
                              "the network out of reach");
    case NetFailureReason::DhcpFailed:
        return QStringLiteral("the DHCP client could not be started");
    case NetFailureReason::ServiceRefused:
        return QStringLiteral("the NetworkManager service refused: %1").arg(detail);
    case NetFailureReason::ToolFailed:
        return QStringLiteral("%1 failed").arg(detail);
    case NetFailureReason::ReadOnly:
        return QStringLiteral("this NetworkManager only reads; nothing was changed");
    }
    return QString();
}

NetCall::NetCall(int limitMs) : outer(currentCall), limitMs(limitMs), deadline(limitMs)
{
    if (outer)
        return;
    currentCall = this;
    NetBus::beginCall();
}

NetCall::~NetCall()
{
    if (!held.isEmpty()) {
        {
            const std::lock_guard<std::mutex> lock(holdersLock);
            for (const QString &interface : qAsConst(held))
                holders.remove(interface);
        }
        released.notify_all();
    }
    if (outer)
        return;
    currentCall = nullptr;
    lastReport = report;
}

bool NetCall::hold(const QString &interface)
{
    const Qt::HANDLE self = QThread::currentThreadId();
    std::unique_lock<std::mutex> lock(holdersLock);
    const bool free = released.wait_for(lock, std::chrono::milliseconds(BusyWaitMs),
        [&] { return holders.value(interface, self) == self; });
    if (!free) {
        lock.unlock();
        record(NetFailureReason::Busy, interface);
        return false;
    }
    if (!holders.contains(interface)) {
        holders.insert(interface, self);
        held.append(interface);
        // The wait was for another operation: this one's time starts now.
        if (!outer)
            deadline = QDeadlineTimer(limitMs);
    }
    return true;
}

void NetCall::conclude(
    bool ok, const QString &success, NetFailureReason fallback, const QString &fallbackText)
{
    if (outer)
        return; // the outer operation reports
    if (ok) {
        report = NetFailure { NetFailureReason::None, QString(), success };
        failed = false;
    } else if (!failed) {
        report = NetFailure { fallback, QString(), fallbackText };
    }
}

void NetCall::record(NetFailureReason reason, const QString &detail, const QString &text)
{
    NetCall *call = currentCall;
    if (!call || call->failed)
        return;
    call->failed = true;
    call->report
        = NetFailure { reason, detail, text.isEmpty() ? netFailureText(reason, detail) : text };
}

NetFailureReason NetCall::recorded()
{
    return currentCall && currentCall->failed ? currentCall->report.reason : NetFailureReason::None;
}

int NetCall::remainingMs(int capMs)
{
    if (!currentCall)
        return capMs;
    return int(qBound(qint64(0), qint64(currentCall->deadline.remainingTime()), qint64(capMs)));
}

bool NetCall::expired()
{
    return currentCall && currentCall->deadline.hasExpired();
}

NetFailure NetCall::last()
{
    return lastReport;
}

void NetCall::setLast(const NetFailure &report)
{
    lastReport = report;
}
