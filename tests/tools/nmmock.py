"""python3-dbusmock's NetworkManager template (python3 -m dbusmock --template nmmock.py),
answering as the real service does where the stock one does not:
- AddAndActivateConnection keeps the profile it is given (an empty one completed), which the
  device then lists among its available ones. The stock one makes a profile up from the access point's flags, and fails for
  those the service reports for a WPA2-PSK network (0x188: CCMP pairwise and group, PSK).
- AddConnectionUnsaved keeps a profile in memory (Unsaved) until its Save().
- A network given its passphrase by the mock method SetPassphrase(ssid, passphrase) refuses an
  activation with another one: the device fails with reason 7 (no secrets), as the service's
  does when the 4-way handshake fails.
"""
import dbus
import dbusmock
from dbusmock.templates import networkmanager
from dbusmock.templates.networkmanager import *  # noqa: F401,F403 (its D-Bus methods)

PASSPHRASES = {}
REASON_NO_SECRETS = 7


def keep_profile(self, profile, device, ap):
    # The service completes an empty profile for the device.
    connection = profile.setdefault('connection', dbus.Dictionary({}, signature='sv'))
    connection.setdefault('id', 'completed')
    connection.setdefault('type', '802-11-wireless')
    path = dbus.ObjectPath(self.SettingsAddConnection(profile))
    available = dbusmock.get_object(device)
    available.Set(DEVICE_IFACE, 'AvailableConnections',
                  available.Get(DEVICE_IFACE, 'AvailableConnections') + [path])
    return path, self.activate_connection(self, path, device, ap)


def refused(profile):
    """Whether the network's passphrase is known and the profile's is another."""
    ssid = bytes(profile.get('802-11-wireless', {}).get('ssid', b'')).decode()
    psk = profile.get('802-11-wireless-security', {}).get('psk', '')
    return ssid in PASSPHRASES and psk != PASSPHRASES[ssid]


def activate_or_fail(self, path, device, ap):
    if not refused(dbusmock.get_object(path).settings):
        return networkmanager.activate_connection(self, path, device, ap)
    failed = dbusmock.get_object(device)
    before = failed.Get(DEVICE_IFACE, 'State')
    failed.Set(DEVICE_IFACE, 'StateReason', (dbus.UInt32(120), dbus.UInt32(REASON_NO_SECRETS)))
    failed.Set(DEVICE_IFACE, 'State', dbus.UInt32(120))
    failed.EmitSignal(DEVICE_IFACE, 'StateChanged', 'uuu',
                      [dbus.UInt32(120), before, dbus.UInt32(REASON_NO_SECRETS)])
    return dbus.ObjectPath('/org/freedesktop/NetworkManager/ActiveConnection/failed')


def add_unsaved(self, profile):
    path = self.SettingsAddConnection(profile)
    added = dbusmock.get_object(path)
    added.Set(CSETTINGS_IFACE, 'Unsaved', True)
    added.AddMethod(CSETTINGS_IFACE, 'Save', '', '',
                    f"self.Set('{CSETTINGS_IFACE}', 'Unsaved', False)")
    return path


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def SetPassphrase(_self, ssid, passphrase):
    if passphrase:
        PASSPHRASES[str(ssid)] = str(passphrase)
    else:  # any passphrase will do again
        PASSPHRASES.pop(str(ssid), None)


def load(mock, parameters):
    networkmanager.load(mock, parameters)
    manager = dbusmock.get_object(MANAGER_OBJ)
    manager.add_and_activate_connection = keep_profile
    manager.activate_connection = activate_or_fail
    settings = dbusmock.get_object(SETTINGS_OBJ)
    settings.add_unsaved = add_unsaved
    settings.AddMethod(SETTINGS_IFACE, 'AddConnectionUnsaved', 'a{sa{sv}}', 'o',
                       'ret = self.add_unsaved(self, args[0])')
