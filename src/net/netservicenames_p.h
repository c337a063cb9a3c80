#ifndef NETSERVICENAMES_P_H
#define NETSERVICENAMES_P_H

#include <QString>

// The NetworkManager service's bus names and device states that both the driver and the watch
// use.
namespace NetService {

inline constexpr char ManagerPath[] = "/org/freedesktop/NetworkManager";
inline constexpr char ManagerInterface[] = "org.freedesktop.NetworkManager";
inline constexpr char DeviceInterface[] = "org.freedesktop.NetworkManager.Device";
inline constexpr char WirelessInterface[] = "org.freedesktop.NetworkManager.Device.Wireless";
inline constexpr char PropertiesInterface[] = "org.freedesktop.DBus.Properties";

enum : uint {
    StateUnmanaged = 10,
    StateUnavailable = 20,
    StateDisconnected = 30,
    StateIpConfig = 70,
    StateActivated = 100,
    StateFailed = 120,
};

// From taking its addresses to activated: the device's link carries traffic.
inline bool isUp(uint state)
{
    return state >= StateIpConfig && state <= StateActivated;
}

inline QString latin1(const char *text)
{
    return QString::fromLatin1(text);
}

} // namespace NetService

#endif // NETSERVICENAMES_P_H
