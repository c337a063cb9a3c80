"""Namespaces that stand for a device, its home network and a phone, joined by veth pairs, with
real daemons in them: for tests that meet real DHCP servers and clients, the NetworkManager
service and a browser without touching the machine's own interfaces or bus.

    lab = Lab(directory)      # from here on in mount and process namespaces of its own
    device, home = lab.node('device'), lab.node('home')
    lab.link(device, 'eth9', home, 'eth0', '192.168.7.1/24')
    leases = home.dnsmasq('eth0', '192.168.7.50,192.168.7.99')
    device.run([netctl, 'dhcp', 'eth9'])

Lab() first runs the calling script again as the first process of fresh mount and process
namespaces, so whatever it started ends with it (or skips with 77 where namespaces are
refused). A node is a network, mount and UTS namespace of its own: its name as host name, lo
up, its own sysfs read only, /run a tmpfs, /etc and /var/lib copies on write, so that no
script of a DHCP client or daemon writes the machine's resolv.conf, leases or state. A daemon
runs in a node with its configuration, pid, lease and log files in the lab's directory, and is
stopped by its pid.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))

NODE_SETUP = '''set -e; hostname "$1"; ip link set lo up
mount -t sysfs -o ro sysfs /sys; mount -t tmpfs run /run
mount -t tmpfs scratch "$0"
for d in /etc /var/lib; do
    mkdir -p "$0/$d" "$0/$d-work"
    mount -t overlay overlay -o "lowerdir=$d,upperdir=$0/$d,workdir=$0/$d-work" "$d"
done
: >"$0/hidden"; chmod 644 "$0/hidden"
echo ready; exec sleep 1000000'''
# A file that cannot run over each program named, where the search path finds it.
HIDE = 'for t; do p=$(command -v "$t") && mount --bind "$0" "$(readlink -f "$p")"; done; true'


def wait(done, seconds):
    """Polls `done` for up to `seconds`; its last value."""
    deadline = time.monotonic() + seconds
    while not (value := done()) and time.monotonic() < deadline:
        time.sleep(0.2)
    return value


def until(done, seconds, what):
    """wait(), whose last value must be true."""
    value = wait(done, seconds)
    assert value, f'{what}: not within {seconds} s'
    return value


class Node:
    def __init__(self, lab, name, env):
        self.lab, self.name, self.env, self.daemons = lab, name, env, {}
        self.scratch = lab.path(name + '.d')  # a tmpfs of the node's own
        os.makedirs(self.scratch)
        self.holder = subprocess.Popen(
            ['unshare', '--net', '--mount', '--uts', '--propagation', 'private', 'sh', '-c',
             NODE_SETUP, self.scratch, name], stdout=subprocess.PIPE, text=True)
        assert self.holder.stdout.readline() == 'ready\n', f'node {name} could not be made'

    def hide(self, *programs):
        """The programs, as the machine's search path finds them, cannot be run in the node."""
        self.run(['sh', '-c', HIDE, self.scratch + '/hidden', *programs],
                 env={'PATH': os.environ['PATH']})

    def _command(self, argv, env):
        return (['nsenter', '-t', str(self.holder.pid), '-n', '-m', '-u', *argv],
                {**os.environ, **self.env, **(env or {})})

    def run(self, argv, env=None, input=None, check=True, timeout=60):
        """Runs a program in the node to its end; its standard output."""
        command, environment = self._command(argv, env)
        # A file rather than a pipe: a daemon the program leaves behind may hold it open.
        with tempfile.TemporaryFile('w+') as output:
            done = subprocess.run(command, env=environment, input=input, text=True,
                                  timeout=timeout, stdout=output, stderr=subprocess.STDOUT)
            output.seek(0)
            said = output.read()
        if check and done.returncode:
            raise AssertionError(f'{self.name}: {" ".join(argv)}: {done.returncode}\n{said}')
        return said

    def start(self, name, argv, env=None):
        """Starts a daemon that stays in the foreground, its output in NAME.log."""
        command, environment = self._command(argv, env)
        with open(self.lab.path(name + '.log'), 'w') as log:
            self.daemons[name] = subprocess.Popen(command, env=environment, stdout=log,
                                                  stderr=subprocess.STDOUT)
        return self.daemons[name]

    def stop(self, name):
        """Ends the daemon by its pid: SIGTERM, SIGKILL after five seconds."""
        daemon = self.daemons.pop(name)
        daemon.terminate()
        try:
            daemon.wait(5)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()

    def dnsmasq(self, interface, dhcp_range, *options, name='dnsmasq'):
        """DHCP (and DNS) on `interface`; the lease file's path."""
        leases = self.lab.path(name + '.leases')
        self.start(name, ['dnsmasq', '--keep-in-foreground', '--conf-file=/dev/null',
                          '--no-resolv', '--no-hosts', '--interface=' + interface,
                          '--bind-interfaces', f'--dhcp-range={dhcp_range},1h',
                          '--dhcp-leasefile=' + leases, f'--pid-file={leases[:-7]}.pid',
                          '--log-facility=-', '--log-dhcp', *options])  # into NAME.log
        until(lambda: os.path.exists(leases), 10, f'{name} on {self.name}')
        return leases

    def bus(self, name):
        """A bus of its own for the node's services, whose address it returns."""
        socket = self.lab.path(name + '.bus')
        self.start(name, ['dbus-daemon', '--session', '--nofork', '--address=unix:path=' + socket])
        until(lambda: os.path.exists(socket), 10, f'bus {name}')
        return 'unix:path=' + socket

    def network_manager(self, bus, *devices):
        """The NetworkManager service on `bus`, managing `devices` with no profile of its own
        for them (no-auto-default=*), DHCP its own, leaving DNS and the host name alone. It
        manages devices without udev only where sysfs is read only, as in a node."""
        managed = ''.join(f'[device-{name}]\nmatch-device=interface-name:{name}\nmanaged=1\n'
                          for name in devices)
        config = self.lab.write('NetworkManager.conf', f'''[main]
plugins=keyfile
dhcp=internal
no-auto-default=*
auth-polkit=false
dns=none
rc-manager=unmanaged
hostname-mode=none
[logging]
level=INFO
[keyfile]
unmanaged-devices=except:{','.join('interface-name:' + d for d in devices)}
{managed}''')
        # --debug: its log on standard error, into NetworkManager.log.
        return self.start('NetworkManager', ['NetworkManager', '--no-daemon', '--debug',
                                             '--config=' + config],
                          env={'DBUS_SYSTEM_BUS_ADDRESS': bus})

    def close(self):
        for name in reversed(list(self.daemons)):
            self.stop(name)
        self.holder.kill()
        self.holder.wait()


class Lab:
    def __init__(self, directory):
        if os.getpid() != 1:
            probe = ['unshare', '--mount', '--net', '--pid', '--fork', 'true']
            if subprocess.run(probe, stderr=subprocess.DEVNULL).returncode:
                print('SKIP: unshare --mount --net --pid is not permitted here')
                sys.exit(SKIP)
            os.execvp('unshare', ['unshare', '--mount', '--propagation', 'private', '--pid',
                                  '--fork', '--kill-child', '--mount-proc', sys.executable,
                                  *sys.argv])
        self.directory, self.nodes = directory, []
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)

    def path(self, name):
        return os.path.join(self.directory, name)

    def write(self, name, text, mode=0o644):
        with open(self.path(name), 'w') as file:
            file.write(text)
        os.chmod(self.path(name), mode)
        return self.path(name)

    def node(self, name, hide=(), env=None):
        """A node whose programs run with `env`, and where those of `hide` cannot run."""
        self.nodes.append(Node(self, name, env or {}))
        self.nodes[-1].hide(*hide)
        return self.nodes[-1]

    def link(self, a, a_name, b, b_name, b_address=None):
        """A veth pair, up, from `a_name` in node a to `b_name` in node b."""
        subprocess.run(['ip', 'link', 'add', a_name, 'netns', str(a.holder.pid), 'type', 'veth',
                        'peer', 'name', b_name, 'netns', str(b.holder.pid)], check=True)
        a.run(['ip', 'link', 'set', a_name, 'up'])
        b.run(['ip', 'link', 'set', b_name, 'up'])
        if b_address:
            b.run(['ip', 'addr', 'add', b_address, 'dev', b_name])

    def stubs(self, *tools):
        """A directory for the front of PATH holding tests/tools/stubtool as each of `tools`,
        and the environment the stubs need."""
        stubs = self.path('stubs')
        os.makedirs(stubs + '/bin')
        os.makedirs(stubs + '/out')
        open(stubs + '/log', 'w').close()
        for tool in tools:
            os.symlink(os.path.join(HERE, 'stubtool'), f'{stubs}/bin/{tool}')
        return {'ZRNET_STUB_DIR': stubs, 'PATH': stubs + '/bin:' + os.environ['PATH']}

    def fake_wifi(self, *interfaces):
        """The environment in which every program takes `interfaces` for Wi-Fi (fakewifi.c)."""
        library = self.path('fakewifi.so')
        subprocess.run(['cc', '-shared', '-fPIC', '-O2', '-o', library,
                        os.path.join(HERE, 'fakewifi.c')], check=True)
        asan = os.environ.get('ASAN_OPTIONS')
        return {'LD_PRELOAD': library, 'ZRNET_STUB_WIFI': ' '.join(interfaces),
                'ASAN_OPTIONS': (asan + ':' if asan else '') + 'verify_asan_link_order=0'}

    def close(self):
        for node in reversed(self.nodes):
            node.close()
