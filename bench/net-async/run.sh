#!/bin/sh
# The event-loop gaps of NetworkManager's asynchronous operations on the simulated device, in
# namespaces of their own (tests/tools/stubnet-run): with the tools, then beside a mock
# NetworkManager service on a bus of its own that manages wlan0.
#   bench/net-async/run.sh BUILD_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tools=$here/../../tests/tools
bench=$1/bench/net-async/net-async
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== the tools (simulated device)"
"$tools/stubnet-run" --device "$tools/simulated-device" "$bench"
echo "== the service (mock, on a bus of its own)"
"$tools/stubnet-run" --device "$tools/simulated-device" sh -c '
    d=$(mktemp -d); trap "kill \$bus \$mock 2>/dev/null; rm -rf \$d" EXIT
    dbus-daemon --session --nofork --address=unix:path=$d/bus & bus=$!
    while [ ! -S $d/bus ]; do sleep 0.1; done
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$d/bus
    /usr/bin/python3 -m dbusmock --system --template "$0" >$d/mock.log 2>&1 & mock=$!
    m="gdbus call --system -d org.freedesktop.NetworkManager"
    until $m -o /org/freedesktop -m org.freedesktop.DBus.Mock.AddWiFiDevice wlan0dev wlan0 30 \
        >/dev/null 2>&1; do sleep 0.2; done
    # As the real service answers: a name it has no device for is an UnknownDevice error.
    $m -o /org/freedesktop/NetworkManager -m org.freedesktop.DBus.Mock.AddMethod \
        org.freedesktop.NetworkManager GetDeviceByIpIface s o "ret = self.get_device_by_ip_iface(self, args[0])
if not ret: raise dbus.exceptions.DBusException(\"none\", name=\"org.freedesktop.NetworkManager.UnknownDevice\")" \
        >/dev/null
    $m -o /org/freedesktop -m org.freedesktop.DBus.Mock.AddAccessPoint \
        /org/freedesktop/NetworkManager/Devices/wlan0dev ap1 "Home Network" 02:00:00:00:00:01 \
        2 2437 54000 82 0x188 >/dev/null
    "$1"' "$tools/nmmock.py" "$bench"
