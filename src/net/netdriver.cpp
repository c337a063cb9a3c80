#include "netdriver_p.h"

#include "netsystem_p.h"
#include "zrlogging_p.h"

NetDriver::~NetDriver() = default;

NetDriver &NetDriver::forInterface(const QString &interface)
{
    static NetToolDriver tools;
    static NetServiceDriver service;
    if (NetSystem::current()->serviceManages(interface)) {
        qCDebug(
            lcNet, "%s: through the %s", qUtf8Printable(interface), qUtf8Printable(serviceName()));
        return service;
    }
    return tools;
}

QString NetDriver::serviceName()
{
    return QStringLiteral("NetworkManager service (D-Bus)");
}

int NetDriver::dhcpResult(bool started)
{
    if (!started)
        return static_cast<int>(NetResult::DhcpFailed);
    qCDebug(lcNet, "Success!");
    return static_cast<int>(NetResult::DhcpStarted);
}
