#include "netdriver_p.h"

#include "netsystem_p.h"
#include "zrlogging_p.h"

NetDriver::~NetDriver() = default;

NetDriver &NetDriver::forInterface(const QString &interface)
{
    static NetToolDriver tools;
    static NetServiceDriver service;
    static NetFailingDriver failing;
    switch (NetSystem::current()->route(interface)) {
    case NetRoute::Service:
        qCDebug(
            lcNet, "%s: through the %s", qUtf8Printable(interface), qUtf8Printable(serviceName()));
        return service;
    case NetRoute::Failing:
        qCDebug(lcNet, "%s: %s; the call fails", qUtf8Printable(interface),
            qUtf8Printable(failingName()));
        return failing;
    case NetRoute::Tools:
        break;
    }
    return tools;
}

QString NetDriver::serviceName()
{
    return QStringLiteral("NetworkManager service (D-Bus)");
}

QString NetDriver::failingName()
{
    return QStringLiteral("nothing: the system bus or the NetworkManager service does not answer");
}

int NetDriver::dhcpResult(bool started)
{
    if (!started)
        return static_cast<int>(NetResult::DhcpFailed);
    qCDebug(lcNet, "Success!");
    return static_cast<int>(NetResult::DhcpStarted);
}

int NetFailingDriver::join(const QString &, const QString &, const QString &)
{
    return static_cast<int>(NetResult::LinkTimeout);
}

int NetFailingDriver::startAccessPoint(
    const QString &, const QString &, const QString &, const QString &)
{
    return static_cast<int>(NetResult::AccessPointFailed);
}
