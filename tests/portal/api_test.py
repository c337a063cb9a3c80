"""The device portal's JSON API through curl, against the simulated device that
tests/tools/stubnet-run --device sets up: every route, every error status, every join outcome.

    stubnet-run --device tests/tools/simulated-device python3 api_test.py PORTAL
"""
import base64
import copy
import email
import fcntl
import http.client
import json
import os
import re
import select
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
from multiprocessing.pool import ThreadPool

PORTAL = None
HOSTILE = '<img src=x onerror=alert(1)>'
# The networks of tests/tools/simulated-device: its scan, merged and strongest first.
NETWORKS = [
    {'ssid': 'Home Network', 'quality': 94, 'encrypted': True, 'cells': 2},
    {'ssid': HOSTILE, 'quality': 67, 'encrypted': True, 'cells': 1},
    {'ssid': 'Café Guest', 'quality': 42, 'encrypted': False, 'cells': 1},
]
PASSPHRASES = {'Home Network': 'correct horse battery', HOSTILE: 'only text here'}
PASSWORD = 'purple monkey dishwasher'
JSON_TYPE = 'Content-Type: application/json'
SKIP = 77


class Portal:
    """One portal process on a port the system chooses, with what it said on start."""

    def __init__(self, *arguments, env=None, listen='127.0.0.1:0', stderr=None):
        self.state = tempfile.TemporaryDirectory()
        self.cookies = {}  # as a browser keeps them: session, XSRF-TOKEN
        self.process = subprocess.Popen(
            [PORTAL, '--listen', listen, '--state-dir', self.state.name, *arguments],
            stdout=subprocess.PIPE, text=True, env=env, stderr=stderr)
        self.said = []  # up to the line after the one that says where it serves
        while not self.said or 'serving' not in self.said[-1]:
            self.said.append(self.process.stdout.readline())
            if not self.said[-1]:
                self.stop()
                raise RuntimeError('the portal did not say where it serves: %r' % self.said)
        self.url = re.search(r'serving (https?://\S+/)', self.said[-1]).group(1)
        self.said.append(self.process.stdout.readline())

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stdout.close()
        if self.process.stderr:
            self.process.stderr.close()
        self.state.cleanup()

    def request(self, method, path, body=None, headers=(), session=True, address=None):
        """(status, headers with lower-case names, body) of one request through curl, with the
        session's cookies and token, as the page sends them, unless session is False."""
        command = ['curl', '-sS', '--max-time', '60', '-i', '-X', method]
        if address:
            command += ['--interface', address]
        if session and self.cookies:
            command += ['-H', 'Cookie: ' + '; '.join('%s=%s' % c for c in self.cookies.items()),
                        '-H', 'X-XSRF-TOKEN: ' + self.cookies.get('XSRF-TOKEN', '')]
        for header in headers:
            command += ['-H', header]
        if body is not None:
            command += ['--data-binary', '@-']
        raw = subprocess.run(command + [self.url + path.lstrip('/')], input=body,
                             stdout=subprocess.PIPE, check=True).stdout
        head, _, payload = raw.partition(b'\r\n\r\n')
        lines = head.decode('latin-1').split('\r\n')
        fields = dict(line.split(': ', 1) for line in lines[1:])
        if session:
            for line in lines[1:]:
                if line.lower().startswith('set-cookie: '):
                    name, _, value = line[12:].split(';')[0].partition('=')
                    self.cookies[name] = value
        return int(lines[0].split()[1]), {k.lower(): v for k, v in fields.items()}, payload

    def json(self, method, path, body=None, headers=(JSON_TYPE,), **options):
        status, fields, payload = self.request(method, path, body, headers, **options)
        return status, fields, json.loads(payload)

    def login(self, password=PASSWORD, **options):
        """Sets the first password where there is none, else logs in: the status."""
        body = json.dumps({'password': password}).encode()
        status, _, answer = self.json('POST', '/api/password', body, **options)
        if status == 401:  # a password is set already
            status, _, answer = self.json('POST', '/api/login', body, **options)
        return status

    def join(self, ssid, passphrase):
        return self.json('POST', '/api/join',
                         json.dumps({'ssid': ssid, 'passphrase': passphrase}).encode())

    def listen(self):
        """curl -N on /api/events, once its first event (the status) has come."""
        cookie = 'Cookie: session=' + self.cookies['session']
        curl = subprocess.Popen(['curl', '-sN', '--max-time', '300', '-H', cookie,
                                 self.url + 'api/events'],
                                stdout=subprocess.PIPE, text=True)
        first = [curl.stdout.readline(), curl.stdout.readline(), curl.stdout.readline()]
        assert first[0] == 'event: status\n' and first[2] == '\n', first
        return curl


def events_of(text):
    """(event, data) of each event a stream carried."""
    fields = [dict(line.split(': ', 1) for line in block.split('\n'))
              for block in text.split('\n\n') if block]
    return [(each['event'], json.loads(each['data'])) for each in fields]


def stub_log():
    with open(os.path.join(os.environ['ZRNET_STUB_DIR'], 'log'), 'rb') as log:
        return log.read()


def wait_for_stub(needle, since):
    """Until a tool whose log line holds needle has run since that length of the log."""
    for _ in range(1200):
        if needle in stub_log()[since:]:
            return
        time.sleep(0.05)
    raise AssertionError('%r never ran' % needle)


def read_until(process, needle, seconds):
    """What process writes until needle and the end of its event, or seconds pass."""
    text, deadline = b'', time.monotonic() + seconds
    while needle not in text or not text.endswith(b'\n\n'):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([process.stdout], [], [], left)[0]:
            raise AssertionError('%r never came; heard %r' % (needle, text))
        piece = os.read(process.stdout.fileno(), 65536)
        if not piece:
            raise AssertionError('the stream ended; heard %r' % text)
        text += piece
    return text


def set_link(name, up):
    """The interface up or down, as ip link set would (SIOCGIFFLAGS, SIOCSIFFLAGS)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack('16sh', fcntl.ioctl(s, 0x8913, struct.pack('16sh', name.encode(), 0)))[1]
        flags = flags | 1 if up else flags & ~1
        fcntl.ioctl(s, 0x8914, struct.pack('16sh', name.encode(), flags))


def add_address(name, address):
    """An IPv4 address on the interface (SIOCSIFADDR)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        fcntl.ioctl(s, 0x8916, struct.pack('16sH2s4s8s', name.encode(), socket.AF_INET, b'',
                                           socket.inet_aton(address), b''))


class PortalApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.portal = Portal('--allow-changes')
        assert cls.portal.login() == 200

    @classmethod
    def tearDownClass(cls):
        cls.portal.stop()

    def test_page_and_its_files(self):
        for path, kind in [('/', 'text/html'), ('/portal.js', 'text/javascript'),
                           ('/portal.css', 'text/css'), ('/lock.svg', 'image/svg+xml')]:
            with self.subTest(path=path):
                status, fields, body = self.portal.request('GET', path)
                self.assertEqual(status, 200)
                self.assertTrue(fields['content-type'].startswith(kind))
                self.assertIn("default-src 'self'", fields['content-security-policy'])
                self.assertGreater(len(body), 100)

    def test_interfaces_with_kind_and_default(self):
        status, _, body = self.portal.json('GET', '/api/interfaces')
        self.assertEqual(status, 200)
        seen = {i['name']: (i['kind'], i['default']) for i in body['interfaces']}
        self.assertEqual(seen, {'eth0': ('ethernet', True), 'wlan0': ('wifi', True)})

    def test_scan_shows_each_network_once_strongest_first(self):
        status, _, body = self.portal.json('GET', '/api/scan')
        self.assertEqual(status, 200)
        self.assertEqual(body, {'interface': 'wlan0', 'networks': NETWORKS})

    def test_refusals(self):
        json_type = 'Content-Type: application/json'
        good = b'{"ssid": "Home Network", "passphrase": "x"}'
        cases = [
            ('GET', '/api/nowhere', None, (), 404, None),
            ('GET', '/nowhere/api/scan', None, (), 404, None),
            ('POST', '/api/scan', b'{}', (json_type,), 405, 'GET'),
            ('GET', '/api/join', None, (), 405, 'POST'),
            ('POST', '/api/join', b'{"ssid": "a",', (json_type,), 400, 'bad JSON: '),
            ('POST', '/api/join', b'', (json_type,), 400, 'bad JSON: '),
            ('POST', '/api/join', b'["Home Network"]', (json_type,), 400, 'JSON object'),
            ('POST', '/api/join', b'{"passphrase": "x"}', (json_type,), 400, '"ssid"'),
            ('POST', '/api/join', b'{"ssid": ""}', (json_type,), 400, '"ssid"'),
            ('POST', '/api/join', b'{"ssid": "a", "passphrase": 5}', (json_type,), 400,
             '"passphrase"'),
            ('POST', '/api/join', good, ('Content-Type: text/plain',), 415, 'application/json'),
            ('POST', '/api/join', good, (json_type, 'Origin: http://elsewhere.example'), 403,
             'another site'),
            ('POST', '/api/join', good, (json_type, 'Host: elsewhere.example'), 403,
             "device's address"),
        ] + [('GET', path, None, (refusal,), 403, reason)
             for path in ['/', '/api/interfaces', '/api/scan', '/api/status', '/api/report']
             for refusal, reason in [('Host: elsewhere.example:8080', "device's address"),
                                     ('Sec-Fetch-Site: cross-site', 'another site')]] + [
            ('POST', '/api/join', good, (json_type, 'Sec-Fetch-Site: cross-site'), 403,
             'another site'),
        ]
        before = stub_log()
        for method, path, body, headers, expected, reason in cases:
            with self.subTest(method=method, path=path, body=body, headers=headers):
                status, fields, payload = self.portal.request(method, path, body, headers)
                self.assertEqual(status, expected)
                if expected == 405:
                    self.assertIn(reason, fields['allow'])
                elif reason:
                    self.assertIn(reason, json.loads(payload)['error'])
        self.assertEqual(stub_log(), before, 'a refused request ran a tool')

    def test_join_outcomes_in_words(self):
        dhclient = '/sbin/dhclient'
        cases = [
            ('Home Network', 'wrong passphrase', None, 'no-link',
             'The link did not come up (wrong passphrase or out of range).'),
            ('Home Network', PASSPHRASES['Home Network'], 'no DHCP client', 'dhcp-failed',
             'Joined, but DHCP could not start.'),
            (HOSTILE, PASSPHRASES[HOSTILE], None, 'joined',
             'Joined; the device is getting its address by DHCP.'),
            ('Café Guest', '', None, 'joined', 'Joined; the device is getting its address by DHCP.'),
            ('Home Network', PASSPHRASES['Home Network'], None, 'joined',
             'Joined; the device is getting its address by DHCP.'),
        ]
        events = self.portal.listen()
        for ssid, passphrase, breakage, outcome, words in cases:
            with self.subTest(ssid=ssid, passphrase=passphrase, breakage=breakage):
                if breakage:
                    os.chmod(dhclient, 0o644)  # the namespace's own stub, on its own tmpfs
                try:
                    before = len(stub_log())
                    status, _, body = self.portal.join(ssid, passphrase)
                finally:
                    os.chmod(dhclient, 0o755)
                if outcome == 'joined':  # the client starts detached: none is left for later
                    wait_for_stub(dhclient.encode() + b'\t', before)
                self.assertEqual(status, 200)
                self.assertEqual((body['ssid'], body['outcome'], body['message']),
                                 (ssid, outcome, words))
                _, _, now = self.portal.json('GET', '/api/status')
                joined = outcome != 'no-link'
                self.assertEqual(now['wifi'], {'interface': 'wlan0', 'connected': joined,
                                               'network': ssid if joined else None})
        events.terminate()
        heard = events_of(events.communicate()[0])
        self.assertEqual([(e, d['ssid'], d['outcome']) for e, d in heard if e == 'join'],
                         [each for case in cases for each in
                          (('join', case[0], 'joining'), ('join', case[0], case[3]))])
        self.assertEqual(heard[-1][1]['wifi']['network'], 'Home Network')

    def test_stream_carries_link_and_address_changes(self):
        # eth0's link taken down and up, and an address given, as the kernel tells them.
        stream = subprocess.Popen(['curl', '-sN', '--max-time', '120', '-H',
                                   'Cookie: session=' + self.portal.cookies['session'],
                                   self.portal.url + 'api/events'], stdout=subprocess.PIPE)
        try:
            text = read_until(stream, b'event: status\n', 30)
            set_link('eth0', False)
            set_link('eth0', True)
            text += read_until(stream, b'{"interface":"eth0","up":true}', 30)
            add_address('eth0', '10.77.0.1')
            text += read_until(stream, b'event: addresses\ndata: {"interface":"eth0"}', 30)
        finally:
            stream.terminate()
            stream.communicate()
        heard = events_of(text.decode())
        self.assertLess(heard.index(('link', {'interface': 'eth0', 'up': True})),
                        heard.index(('addresses', {'interface': 'eth0'})))

    def test_scans_at_once_share_one_run(self):
        before = len(stub_log())
        with ThreadPool(3) as pool:
            answers = pool.map(lambda _: self.portal.json('GET', '/api/scan')[2], range(3))
        self.assertEqual(answers, [{'interface': 'wlan0', 'networks': NETWORKS}] * 3)
        self.assertLessEqual(stub_log()[before:].count(b'/iwlist\t'), 1)

    def test_report_is_status_and_scan_as_multipart(self):
        status, fields, body = self.portal.request('GET', '/api/report')
        self.assertEqual(status, 200)
        self.assertTrue(fields['content-type'].startswith('multipart/mixed; boundary='))
        message = email.message_from_bytes(
            b'Content-Type: ' + fields['content-type'].encode() + b'\r\n\r\n' + body)
        self.assertEqual([d for part in message.walk() for d in part.defects], [])
        parts = message.get_payload()
        self.assertEqual([p.get_content_type() for p in parts], ['application/json'] * 2)
        self.assertEqual([p.get_filename() for p in parts], ['status.json', 'scan.json'])
        self.assertEqual(json.loads(parts[0].get_payload(decode=True))['changesAllowed'], True)
        self.assertEqual(json.loads(parts[1].get_payload(decode=True))['networks'], NETWORKS)


class PortalSafety(unittest.TestCase):
    def test_read_only_unless_allowed(self):
        start = len(stub_log())
        portal = Portal()
        try:
            self.assertEqual(portal.login(), 200)
            self.assertIn('read-only', portal.said[-1])
            before = stub_log()
            status, _, body = portal.join('Home Network', PASSPHRASES['Home Network'])
            self.assertEqual(status, 403)
            self.assertIn('--allow-changes', body['error'])
            self.assertEqual(stub_log(), before)
            self.assertEqual(portal.json('GET', '/api/status')[2]['changesAllowed'], False)
            self.assertNotIn(b'rfkill', stub_log()[start:], 'it switched the radio on')
        finally:
            portal.stop()

    def test_stopped_during_a_join_answers_it_first(self):
        portal = Portal('--allow-changes', stderr=subprocess.PIPE)
        portal.login()
        events = portal.listen()  # ended by the portal as it stops, before the join's end
        before = len(stub_log())
        with ThreadPool(1) as pool:
            join = pool.apply_async(portal.join, ('Home Network', 'wrong passphrase'))
            wait_for_stub(b'wpa_supplicant', before)
            portal.process.terminate()
            self.assertEqual(join.get(timeout=60)[2]['outcome'], 'no-link')
        self.assertEqual(portal.process.wait(timeout=30), 0)
        self.assertEqual([d.get('outcome') for e, d in events_of(events.communicate(timeout=30)[0])
                          if e == 'join'], ['joining'])
        self.assertEqual(portal.process.stderr.read(), '')

    def test_silent_bus_answers_503(self):
        # A system bus that accepts and never answers: each call gives up within its bound.
        path = os.path.join(os.environ['ZRNET_STUB_DIR'], 'silent-bus')
        with socket.socket(socket.AF_UNIX) as bus:
            bus.bind(path)
            bus.listen(16)
            env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS='unix:path=' + path)
            portal = Portal('--allow-changes', env=env)
            try:
                portal.login()
                before = stub_log()
                for ask in [lambda: portal.json('GET', '/api/scan'),
                            lambda: portal.join('Home Network', PASSPHRASES['Home Network'])]:
                    started = time.monotonic()
                    status, _, body = ask()
                    self.assertEqual(status, 503)
                    self.assertIn('does not answer', body['error'])
                    self.assertLess(time.monotonic() - started, 30)
                self.assertEqual(stub_log(), before)
            finally:
                portal.stop()
                os.remove(path)

    def test_listens_on_ipv6_in_brackets(self):
        portal = Portal(listen='[::1]:0')
        try:
            self.assertRegex(portal.url, r'^http://\[::1\]:[1-9][0-9]*/$')
            self.assertEqual(portal.json('GET', '/api/status')[0], 200)
        finally:
            portal.stop()

    def test_no_wifi_interface(self):
        # Without the simulated radio, wlan0 is the plain tap it is: Ethernet to Qt.
        env = dict(os.environ, ZRNET_STUB_WIFI='')
        portal = Portal('--allow-changes', env=env)
        try:
            portal.login()
            self.assertEqual(portal.json('GET', '/api/status')[2]['wifi'], None)
            self.assertEqual(portal.json('GET', '/api/scan')[2],
                             {'interface': None, 'networks': []})
            status, _, body = portal.join('Home Network', PASSPHRASES['Home Network'])
            self.assertEqual((status, body['outcome'], body['message']),
                             (200, 'no-wifi', 'No Wi-Fi interface.'))
        finally:
            portal.stop()


class PortalLogin(unittest.TestCase):
    """Who may change the device: nobody without the password, and no other site's page."""

    def setUp(self):
        self.portal = Portal('--allow-changes', stderr=subprocess.PIPE)

    def tearDown(self):
        self.portal.stop()

    def join(self, headers=(), session=True):
        body = json.dumps({'ssid': 'Café Guest', 'passphrase': ''}).encode()
        return self.portal.request('POST', '/api/join', body, (JSON_TYPE, *headers), session)[0]

    def test_changes_need_a_session_and_the_page_own_token(self):
        portal = self.portal
        before = stub_log()
        self.assertEqual([portal.request('GET', path)[0] for path in
                          ['/api/interfaces', '/api/scan', '/api/report', '/api/events']],
                         [401] * 4)
        self.assertEqual(self.join(), 401)
        self.assertEqual(portal.json('GET', '/api/status')[2],
                         {'device': {'name': socket.gethostname()}, 'loggedIn': False,
                          'passwordSet': False, 'setupMode': False})
        weak = json.dumps({'password': 'password1'}).encode()
        self.assertEqual(portal.request('POST', '/api/password', weak, (JSON_TYPE,))[0], 400)
        self.assertEqual(portal.request('POST', '/api/login', b'{}', (JSON_TYPE,))[0], 409)
        first = json.dumps({'password': PASSWORD}).encode()
        status, fields, _ = portal.request('POST', '/api/password', first, (JSON_TYPE,))
        self.assertEqual(status, 200)
        self.assertRegex(fields['set-cookie'], r'^XSRF-TOKEN=[\w-]{43}; path=/; SameSite=Strict$')
        self.assertEqual(portal.request('POST', '/api/password', first, (JSON_TYPE,),
                                        session=False)[0], 401)
        state = portal.state.name
        self.assertEqual({name: os.stat(os.path.join(state, name)).st_mode & 0o777
                          for name in os.listdir(state)}, {'admin-password': 0o600})
        with open(os.path.join(state, 'admin-password')) as stored:
            self.assertTrue(stored.read().startswith('$scrypt$ln=15,r=8,p=1$'))
        self.assertEqual(stub_log(), before, 'a refused request ran a tool')

        # A cookie the browser adds by itself to another site's request proves nothing.
        for headers in [('Origin: http://evil.example',), ('Sec-Fetch-Site: cross-site',),
                        ('Sec-Fetch-Site: same-site',), ('X-XSRF-TOKEN: forged',)]:
            with self.subTest(headers=headers):
                self.assertEqual(self.join(headers), 403)
        self.assertEqual(stub_log(), before, 'a refused request ran a tool')
        self.assertEqual(self.join(), 200)
        self.assertNotEqual(stub_log(), before, 'the join ran no tool')

        # A changed password ends every session but the one that changed it.
        other = copy.copy(portal)
        other.cookies = {}
        self.assertEqual(other.login(), 200)
        change = {'password': 'a new long password', 'oldPassword': 'wrong old one'}
        self.assertEqual(portal.request('POST', '/api/password', json.dumps(change).encode(),
                                        (JSON_TYPE,))[0], 403)
        change['oldPassword'] = PASSWORD
        self.assertEqual(portal.request('POST', '/api/password', json.dumps(change).encode(),
                                        (JSON_TYPE,))[0], 200)
        self.assertEqual((self.join(), other.request('GET', '/api/scan')[0]), (200, 401))
        self.assertEqual(portal.request('POST', '/api/logout', b'', (JSON_TYPE,))[0], 200)
        self.assertEqual(portal.cookies['session'], '')
        self.assertEqual(self.join(), 401)
        self.assertNotIn(PASSWORD, ''.join(portal.said))

    def test_guessing_slows_down_then_stops(self):
        portal = self.portal
        self.assertEqual(portal.login(), 200)
        portal.cookies = {}
        wrong = json.dumps({'password': 'not the password'}).encode()
        answers = [portal.request('POST', '/api/login', wrong, (JSON_TYPE,))
                   for _ in range(11)]
        self.assertEqual([a[0] for a in answers], [401] * 10 + [429])
        self.assertGreater(int(answers[-1][1]['retry-after']), 0)
        right = json.dumps({'password': PASSWORD}).encode()
        self.assertEqual(portal.request('POST', '/api/login', right, (JSON_TYPE,))[0], 429)
        # Another address is not held up by this one's guesses.
        self.assertEqual(portal.request('POST', '/api/login', right, (JSON_TYPE,),
                                        address='127.0.0.2')[0], 200)


class PortalCertificate(unittest.TestCase):
    def test_pair_kept_made_again_or_refused(self):
        host = socket.gethostname()
        served = 'DNS:%s,IP:127.0.0.1' % host
        cases = [  # days, names, mode of the key, what the portal says
            (400, served, 0o600, None),
            (10, served, 0o600, 'made again: it expires within 30 days'),
            (400, 'DNS:elsewhere.example', 0o600, 'made again: it does not name'),
            (400, served, 0o644, 'refusing the key'),
            (400, served, 0o640, 'refusing the key'),
        ]
        for days, names, mode, says in cases:
            with self.subTest(days=days, names=names, mode=oct(mode)), \
                    tempfile.TemporaryDirectory() as state:
                crt, key = (os.path.join(state, 'portal.' + e) for e in ('crt', 'key'))
                subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt',
                                'ec_paramgen_curve:P-256', '-nodes', '-keyout', key, '-out', crt,
                                '-days', str(days), '-subj', '/CN=' + host,
                                '-addext', 'subjectAltName=' + names],
                               check=True, capture_output=True)
                os.chmod(key, mode)
                with open(crt, 'rb') as file:
                    made = file.read()
                portal = subprocess.Popen(
                    [PORTAL, '--listen', '127.0.0.1:0', '--tls', '--state-dir', state],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                said = ''
                for line in portal.stdout:
                    said += line
                    if 'serving' in line:
                        portal.terminate()
                said += portal.communicate(timeout=30)[1]
                refused = says == 'refusing the key'
                self.assertEqual((portal.returncode, 'serving https://' in said),
                                 (1, False) if refused else (0, True))
                self.assertIn(says or 'serving', said)
                with open(crt, 'rb') as file:
                    self.assertEqual(file.read() == made, says is None or refused)
                self.assertEqual(os.stat(key).st_mode & 0o777, mode if refused else 0o600)


class SetupMode(unittest.TestCase):
    """The answers that make a phone on the access point open the page, asked the way the
    phones' own checks ask: http.client with the vendors' host names."""
    AP = '192.168.42.1'

    def ask(self, address, port, path, host=None, method='GET', body=None, cookies=None):
        connection = http.client.HTTPConnection(address, port, timeout=30)
        headers = {'Host': host} if host else {'Content-Type': 'application/json'}
        if cookies:
            headers['Cookie'] = '; '.join('%s=%s' % c for c in cookies.items())
            headers['X-XSRF-TOKEN'] = cookies['XSRF-TOKEN']
        connection.request(method, path, body, headers)
        response = connection.getresponse()
        response.read()
        connection.close()
        return response.status, response.getheader('Location')

    def test_captive_answers_and_joins_from_the_access_point(self):
        associated = os.path.join(os.environ['ZRNET_STUB_DIR'], 'associated')
        if os.path.exists(associated):
            os.remove(associated)  # no link, as a device fresh out of its box
        before = len(stub_log())
        portal = Portal('--setup-ssid', 'Kiosk Setup', '--setup-wait', '1')
        try:
            self.assertEqual(portal.login(), 200)
            for _ in range(100):
                if portal.json('GET', '/api/status')[2]['setup']['accessPoint']['served']:
                    break
                time.sleep(0.1)
            listen = urllib.parse.urlsplit(portal.url)
            to_page = (302, 'http://%s/' % self.AP)
            for address, port in [(self.AP, 80), (listen.hostname, listen.port)]:
                for host, path in [('connectivitycheck.gstatic.com', '/generate_204'),
                                   ('captive.apple.com', '/hotspot-detect.html'),
                                   ('www.msftconnecttest.com', '/connecttest.txt'),
                                   ('www.msftncsi.com', '/ncsi.txt'), (None, '/gen_204'),
                                   ('example.com', '/'), ('example.com', '/api/status')]:
                    with self.subTest(address=address, host=host, path=path):
                        self.assertEqual(self.ask(address, port, path, host), to_page)
                self.assertEqual(self.ask(address, port, '/'), (200, None))
                self.assertEqual(self.ask(address, port, '/nowhere')[0], 404)
            # WPA2 by default, with the passphrase made for this device and kept for its label.
            with open(os.path.join(portal.state.name, 'setup-passphrase')) as kept:
                passphrase = kept.read().strip()
            self.assertRegex(passphrase, r'^([a-z2-9]{4}-){3}[a-z2-9]{4}$')
            self.assertIn(passphrase, ''.join(portal.said))
            hostapd = [line for line in stub_log()[before:].split(b'\n') if b'/hostapd\t' in line]
            config = base64.b64decode(hostapd[-1].split(b'\tf:')[1]).decode()
            self.assertIn('wpa=2\n', config)
            self.assertIn('wpa_passphrase=%s\n' % passphrase, config)
            # Joins: a session first; then refused on --listen (no --allow-changes), taken from
            # the access point's clients, answered at once as the access point goes off the air.
            join = json.dumps({'ssid': 'Home Network'})
            self.assertEqual(self.ask(self.AP, 80, '/api/join', None, 'POST', join)[0], 401)
            self.assertEqual(portal.join('Home Network', 'x' * 8)[0], 403)
            self.assertEqual(
                self.ask(self.AP, 80, '/api/join', None, 'POST', join, portal.cookies)[0], 202)
        finally:
            portal.stop()


if __name__ == '__main__':
    if not os.environ.get('ZRNET_STUB_WIFI'):
        print('SKIP: needs the simulated device of stubnet-run --device (%s)'
              % os.environ.get('ZRNET_STUBNET_UNAVAILABLE', 'not started by it'))
        sys.exit(SKIP)
    PORTAL = sys.argv.pop(1)
    unittest.main(verbosity=2)
