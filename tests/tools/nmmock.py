"""python3-dbusmock's NetworkManager template (python3 -m dbusmock --template nmmock.py),
answering as the real service does where the stock one does not: AddAndActivateConnection
keeps the profile it is given, which the device then lists among its available ones. The stock
one makes a profile up from the access point's flags, and fails for those the service reports
for a WPA2-PSK network (0x188: CCMP pairwise and group, PSK).
"""
import dbus
import dbusmock
from dbusmock.templates import networkmanager
from dbusmock.templates.networkmanager import *  # noqa: F401,F403 (its D-Bus methods)


def keep_profile(self, profile, device, ap):
    path = dbus.ObjectPath(self.SettingsAddConnection(profile))
    available = dbusmock.get_object(device)
    available.Set(DEVICE_IFACE, 'AvailableConnections',
                  available.Get(DEVICE_IFACE, 'AvailableConnections') + [path])
    return path, self.activate_connection(self, path, device, ap)


def load(mock, parameters):
    networkmanager.load(mock, parameters)
    dbusmock.get_object(MANAGER_OBJ).add_and_activate_connection = keep_profile
