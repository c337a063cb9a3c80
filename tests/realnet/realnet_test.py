"""The interface controller, through netctl, against real daemons in the namespaces of
tests/tools/netlab.py: one path a run.

    realnet_test.py tools|service|access-point|announce DIRECTORY   (programs in ZRNET_NETCTL,
        ZRNET_PORTAL, ZRNET_NODE, ZRNET_BROWSER_TEST; files and the screenshot in DIRECTORY)
"""
import json
import os
import re
import shutil
import sys

import dbus
import netlab
from netlab import until, wait

NETCTL = os.environ.get('ZRNET_NETCTL')
HOME_NET = '192.168.7.'
NM = 'org.freedesktop.NetworkManager'
PROPERTIES = 'org.freedesktop.DBus.Properties'
SECURITY = '802-11-wireless-security'


def address(device, interface, env=None):
    """The IPv4 address netctl status shows for the interface, and its whole line."""
    line = next(line for line in device.run([NETCTL, 'status'], env).splitlines()
                if line.startswith(interface + ':'))
    found = re.search(r', ([\d.]+)/\d+', line)
    return (found.group(1) if found else None), line


def log(lab, name):
    with open(lab.path(name + '.log')) as file:
        return file.read()


AVAHI = ['avahi-daemon', '--no-drop-root', '--no-chroot', '--no-rlimits', '-f']


def avahi(lab, node, interface):
    """avahi-daemon for `interface` on a bus of the node's own; the environment that reaches it."""
    env = {'DBUS_SYSTEM_BUS_ADDRESS': node.bus(node.name + '-bus')}
    node.start(node.name + '-avahi', AVAHI + [lab.write(
        node.name + '-avahi.conf', f'[server]\nuse-ipv6=no\nallow-interfaces={interface}\n')],
        env=env)
    return env


def browse(node, env):
    """The _http._tcp services resolved from the node: {name: (host, address, port, TXT)};
    none before its daemon is on the bus."""
    lines = node.run(['avahi-browse', '-rtp', '_http._tcp'], env=env, check=False).splitlines()
    return {re.sub(r'\\(\d{3})', lambda code: chr(int(code[1])), line.split(';')[3]):
            tuple(line.split(';')[6:10]) for line in lines if line.startswith('=')}


def leased(leases, ip):
    with open(leases) as file:
        return f' {ip} ' in file.read()


def running(*names):
    """The processes of those names, zombies left out."""
    stats = [open(f'/proc/{pid}/stat').read() for pid in os.listdir('/proc') if pid.isdigit()]
    return [stat for stat in stats
            if stat[stat.index('(') + 1:stat.rindex(')')] in names
            and stat[stat.rindex(')') + 2] != 'Z']


# The client the library finds once the one the row before found is hidden, whether the
# server is up, and the netctl commands that start DHCP and stop it.
TOOLS = [('dhclient', (), True, 'ethernet start', 'ethernet stop'),
         ('dhcpcd', ('dhclient',), True, 'dhcp', 'release'),
         ('udhcpc', ('dhcpcd',), True, 'ethernet start', 'ethernet stop'),
         ('udhcpc', (), False, 'dhcp', 'release')]


def tools(lab):
    device, home = lab.node('device'), lab.node('home')
    lab.link(device, 'eth9', home, 'eth0', HOME_NET + '1/24')
    leases = home.dnsmasq('eth0', HOME_NET + '50,' + HOME_NET + '99')
    device.run(['hostname', 'kiosk-lobby'])
    # dhclient sends the name by a configuration of the library's own then.
    device.run(['sed', '-i', '/^send host-name/d', '/etc/dhcp/dhclient.conf'])
    for client, hide, served, start, stop in TOOLS:
        device.hide(*hide)
        if not shutil.which(client):
            print(f'skip {client}: not installed')
            continue
        if not served:
            home.stop('dnsmasq')
        device.run([NETCTL, *start.split(), 'eth9'])  # fails unless 0
        if served:
            ip, line = until(lambda: (now := address(device, 'eth9'))[0] and now, 20, client)
            assert ip.startswith(HOME_NET) and 50 <= int(ip.split('.')[3]) <= 99, line
            assert leased(leases, ip + ' kiosk-lobby'), f'{ip} kiosk-lobby not in the lease file'
            print(f'{client}: {line}; lease file: {open(leases).read().strip()}')
        else:
            assert not wait(lambda: address(device, 'eth9')[0], 3), 'a lease from nowhere'
            print(f'{client}: no server: started (0), no address')
        device.run([NETCTL, *stop.split(), 'eth9'])
        assert not address(device, 'eth9')[0], 'the address stayed'
        assert not served or not leased(leases, ip), f'{ip} stays in the lease file'
        assert not running('dhclient', 'dhcpcd', 'udhcpc', 'busybox'), 'a DHCP client stays'
        print(f'{client}: netctl {stop}: lease file {open(leases).read().strip() or "empty"}')


# netctl commands on eth9 through the service, and the device state each leads to.
SERVICE = [('ethernet start', 100), ('release', 30), ('dhcp', 100), ('ethernet stop', 30)]
# netctl commands whose profiles the mock service keeps, and the passphrase each is given.
PROFILES = [(['join', 'Home Network', 'wlan0'], 'correct horse battery'),
            (['join', 'Cafe', 'wlan0'], ''), (['join', 'Out of Sight', 'wlan0'], 'hidden pass'),
            (['ap', 'start', 'wlan0', 'Kiosk Setup'], 'setup pass')]


def service(lab):
    device, home = lab.node('device'), lab.node('home')
    lab.link(device, 'eth9', home, 'eth0', HOME_NET + '1/24')
    leases = home.dnsmasq('eth0', HOME_NET + '50,' + HOME_NET + '99')
    real = {'DBUS_SYSTEM_BUS_ADDRESS': device.bus('system')}
    device.network_manager(real['DBUS_SYSTEM_BUS_ADDRESS'], 'eth9')
    bus = dbus.bus.BusConnection(real['DBUS_SYSTEM_BUS_ADDRESS'])
    until(lambda: 'driven by NetworkManager' in address(device, 'eth9', real)[1], 30, 'the service')
    eth9 = bus.get_object(NM, bus.get_object(NM, '/org/freedesktop/NetworkManager')
                          .GetDeviceByIpIface('eth9', dbus_interface=NM))
    device.start('watch', [NETCTL, 'watch'], env=real)
    for command, state in SERVICE:
        device.run([NETCTL, *command.split(), 'eth9'], env=real)
        until(lambda: eth9.Get(NM + '.Device', 'State', dbus_interface=PROPERTIES) == state,
              30, f'{command}: state {state}')
        ip, line = address(device, 'eth9', real)
        assert (state == 100) == bool(ip) and (not ip or leased(leases, ip)), line
        print(f'netctl {command}: device state {state}; {line}')
    print(f'lease file: {open(leases).read().strip() or "empty"}')
    # The link as the service's StateChanged told netctl watch (which may have begun to
    # listen after the first activation began): down, up and down again at least.
    heard = lambda: re.findall(r'eth9: link (up|down)', open(lab.path('watch.log')).read())
    until(lambda: heard()[-3:] == ['down', 'up', 'down'], 10, 'the link changes')
    device.stop('watch')
    print(f'netctl watch heard eth9: {", ".join(heard())}')

    # The profiles the library adds for a join and an access point, kept by the mock service,
    # then added to the real one and read back.
    mock = {'DBUS_SYSTEM_BUS_ADDRESS': device.bus('mock')}
    device.start('mock', ['/usr/bin/python3', '-m', 'dbusmock', '--system', '--template',
                          os.path.join(netlab.HERE, 'nmmock.py')], env=mock)
    mock_bus = dbus.bus.BusConnection(mock['DBUS_SYSTEM_BUS_ADDRESS'])
    until(lambda: mock_bus.name_has_owner(NM), 20, 'the mock service')
    root = dbus.Interface(mock_bus.get_object(NM, '/org/freedesktop'), 'org.freedesktop.DBus.Mock')
    wifi = root.AddWiFiDevice('wlan0dev', 'wlan0', 30)
    for name, ssid, flags in [('ap1', 'Home Network', 0x188), ('ap2', 'Cafe', 0)]:
        root.AddAccessPoint(wifi, name, ssid, '02:00:00:00:00:01', 2, 2437, 54000, 82, flags)
    lab.link(device, 'wlan0', home, 'phone0')  # for the access point's dnsmasq
    mock.update(lab.fake_wifi('wlan0'))
    for argv, passphrase in PROFILES:
        device.run([NETCTL, *argv], env=mock, input=passphrase + '\n')
    settings = '/org/freedesktop/NetworkManager/Settings'
    for path in mock_bus.get_object(NM, settings).ListConnections(dbus_interface=NM + '.Settings'):
        sent = mock_bus.get_object(NM, path).GetSettings(dbus_interface=NM + '.Settings.Connection')
        added = bus.get_object(NM, bus.get_object(NM, settings).AddConnection(
            sent, dbus_interface=NM + '.Settings'))
        back = added.GetSettings(dbus_interface=NM + '.Settings.Connection')
        if SECURITY in sent:
            back[SECURITY].update(added.GetSecrets(SECURITY, dbus_interface=NM + '.Settings.'
                                                   'Connection')[SECURITY])
        # The service leaves its defaults out of what it reads back.
        read = {f'{setting}.{key}': back[setting].get(key, {'dhcp-send-hostname': dbus.Boolean(True)}.get(key))
                for setting, keys in sent.items() for key in keys}
        for setting, keys in sent.items():
            for key, value in keys.items():
                assert read[f'{setting}.{key}'] == value, f'{setting}.{key}: {value} read back ' \
                    f'as {read[f"{setting}.{key}"]}'
        print(f'{sent["connection"]["id"]}: read back from the service:',
              {name: plain(value) for name, value in read.items() if not name.endswith('uuid')})
    device.run([NETCTL, 'ap', 'stop', 'wlan0'], env=mock)


def plain(value):
    """A D-Bus value as Python writes it, byte arrays as text."""
    if isinstance(value, dbus.Array) and value.signature == 'y':
        return bytes(value).decode()
    if isinstance(value, dict):
        return {str(key): plain(item) for key, item in value.items()}
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    return int(value) if isinstance(value, int) else str(value)


def access_point(lab):
    device = lab.node('device', hide=['rfkill'],
                      env={**lab.fake_wifi('wlan0'), **lab.stubs('hostapd', 'rfkill')})
    phone = lab.node('phone')
    lab.link(device, 'wlan0', phone, 'wlan0')
    # On port 80 of every address, the one server serves the access point's clients too.
    device.start('portal', [os.environ['ZRNET_PORTAL'], '--listen', '0.0.0.0:80', '--name',
                            'kiosk-lobby', '--allow-changes', '--setup-ssid', 'Kiosk Setup',
                            '--setup-wait', '1', '--state-dir', lab.path('portal-state')],
                 env=avahi(lab, device, 'wlan0'))
    until(lambda: 'serving http://192.168.42.1/' in log(lab, 'portal'), 60, 'the access point')
    script = lab.write('udhcpc.script', f'#!/bin/sh\nenv >{lab.path("lease")}.$1\n'
                       'exec /etc/udhcpc/default.script "$@"\n', 0o755)
    dhcp = ['udhcpc', '-i', 'wlan0', '-n', '-q', '-t', '4', '-T', '1', '-O', '114', '-s', script]
    phone.run(dhcp)
    lease = dict(line.split('=', 1) for line in open(lab.path('lease.bound')).read().splitlines())
    url = bytes.fromhex(lease['opt114']).decode()
    assert lease['ip'].startswith('192.168.42.') and url == 'http://192.168.42.1/', lease
    print(f"phone: lease {lease['ip']}/{lease['mask']}, DNS {lease['dns']}, option 114 {url}")
    answers = phone.run(['getent', 'hosts', 'connectivitycheck.gstatic.com', 'captive.apple.com'])
    assert answers.split()[::2] == ['192.168.42.1'] * 2, answers
    print('phone: DNS answers', answers.split())
    mdns = avahi(lab, phone, 'wlan0')
    found = until(lambda: browse(phone, mdns).get('kiosk-lobby'), 30, 'the service on the air')
    assert found == ('kiosk-lobby.local', '192.168.42.1', '80', '"path=/"'), found
    print('phone: avahi-browse finds kiosk-lobby at', found)
    print(phone.run([os.environ['ZRNET_NODE'], os.environ['ZRNET_BROWSER_TEST'], '--captive',
                     '--url', 'http://connectivitycheck.gstatic.com/generate_204',
                     os.path.join(os.path.dirname(lab.directory), 'captive-portal.png')]).strip())
    device.stop('portal')
    assert not running('dnsmasq', 'hostapd'), 'the access point stays'
    assert 'lease of' not in phone.run(dhcp[:-2] + ['-s', '/bin/true'], check=False)
    print('portal stopped: no dnsmasq, no DHCP answer')


def announce(lab):
    device, home = lab.node('device'), lab.node('home')
    lab.link(device, 'eth9', home, 'eth0', HOME_NET + '1/24')
    leases = home.dnsmasq('eth0', HOME_NET + '50,' + HOME_NET + '99')
    device.run([NETCTL, 'dhcp', 'eth9'])
    ip = until(lambda: address(device, 'eth9')[0], 20, 'a lease')
    said = device.run([NETCTL, 'announce', 'Kiosk', '80'], check=False)  # no bus at all
    assert said.startswith(os.path.basename(NETCTL) + ': announcing "Kiosk": there is no system '
                           'bus'), said
    mdns, laptop = avahi(lab, device, 'eth9'), avahi(lab, home, 'eth0')
    device.start('portal', [os.environ['ZRNET_PORTAL'], '--listen', '0.0.0.0:8080', '--name',
                            'kiosk-lobby', '--state-dir', lab.path('portal-state')], env=mdns)
    # The daemon may come after the portal: the portal announces once it does.
    found = until(lambda: browse(home, laptop).get('kiosk-lobby'), 30, 'the portal from home')
    doctor = device.run([NETCTL, 'doctor'], env=mdns, check=False)
    assert re.search(r'announce the device by mDNS +avahi-daemon \(D-Bus\)', doctor), doctor
    assert found == ('kiosk-lobby.local', ip, '8080', '"path=/"'), found
    print('home: avahi-browse -rtp _http._tcp:', home.run(['avahi-browse', '-rtp', '_http._tcp'],
                                                          env=laptop).strip().replace('\n', ' | '))
    resolved = home.run(['avahi-resolve', '-n', 'kiosk-lobby.local'], env=laptop)
    assert resolved.split() == ['kiosk-lobby.local', ip], resolved
    print('home: avahi-resolve -n kiosk-lobby.local:', resolved.strip())
    # Where the device is found is for its administrator: the first password logs in.
    curl = ['curl', '-sS', '--resolve', f'kiosk-lobby.local:8080:{ip}', '-b', lab.path('jar'),
            '-c', lab.path('jar')]
    home.run(curl + ['-H', 'Content-Type: application/json', '-d', '{"password": "kiosk lobby admin"}',
                     'http://kiosk-lobby.local:8080/api/password'])
    status = json.loads(home.run(curl + ['http://kiosk-lobby.local:8080/api/status']))['device']
    assert status['url'] == 'http://kiosk-lobby.local:8080/' and ip in status['addresses'], status
    print(f'lease file: {open(leases).read().strip()}; /api/status device: {status}')

    # The daemon restarts: the name and the service come back.
    device.stop('device-avahi')
    until(lambda: 'kiosk-lobby' not in browse(home, laptop), 20, 'the daemon gone')
    device.start('device-avahi', AVAHI + [lab.path('device-avahi.conf')], env=mdns)
    assert until(lambda: browse(home, laptop).get('kiosk-lobby'), 30, 'the service back') == found
    # The same name at home: the device takes the daemon's next one, and withdraws it at the end.
    home.start('home-kiosk', [NETCTL, 'announce', 'Kiosk', '9000'], env=laptop)
    until(lambda: 'Kiosk' in browse(home, laptop), 20, 'the name at home')
    device.start('kiosk', [NETCTL, 'announce', 'Kiosk', '9001'], env=mdns)
    assert until(lambda: browse(home, laptop).get('Kiosk #2'), 20, 'the next name')[2] == '9001'
    print('collision:', log(lab, 'kiosk').strip())
    device.stop('kiosk')
    device.stop('portal')
    until(lambda: browse(home, laptop).keys() == {'Kiosk'}, 20, 'both withdrawn')
    print(f'withdrawn: {log(lab, "kiosk").strip().splitlines()[-1]}; home sees only "Kiosk"')


PATHS = {'tools': (tools, ['dnsmasq']),
         'service': (service, ['dnsmasq', 'NetworkManager', 'dbus-daemon']),
         'access-point': (access_point, ['dnsmasq', 'udhcpc', 'chromium', 'getent',
                                         'avahi-daemon', 'avahi-browse']),
         'announce': (announce, ['dnsmasq', 'avahi-daemon', 'avahi-browse', 'avahi-resolve',
                                 'curl'])}


def main():
    path, (test, needs) = sys.argv[1], PATHS[sys.argv[1]]
    missing = [program for program in needs if not shutil.which(program)]
    if missing:  # fails rather than skips: ./scripts/setup test installs them all
        sys.exit(f'{path}: {", ".join(missing)} missing; ./scripts/setup test installs them')
    lab = netlab.Lab(sys.argv[2])
    try:
        test(lab)
    finally:
        lab.close()
    print(f'{path}: 1 passed, 0 failed')


if __name__ == '__main__':
    main()
