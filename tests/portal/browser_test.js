// The device portal as a person meets it, in Debian's chromium driven by playwright-core:
// on first start the page asks for the administrator's password (a weak one refused), and a
// join without a session is refused; once set, the page shows the interfaces and the networks in reach (a hostile name as plain
// text, with no script run), reports a wrong passphrase and then a join, and the status shows
// the joined network; a screenshot; after logging out a join is refused again, and logging in
// brings the page back. Then setup mode at a phone's width (runSetup), with a
// screenshot after the failed and after the successful join (SCREENSHOT-setup-*.png).
//
//   stubnet-run --device tests/tools/simulated-device node browser_test.js [--tls] PORTAL SCREENSHOT
//   node browser_test.js --url URL SCREENSHOT [--setup]   (a portal already serving the
//                                 simulated device, such as the one of scripts/demo [--setup])
//   node browser_test.js --captive --url URL SCREENSHOT    (a phone on the access point of a
//                                 portal in setup mode opens URL and lands on the setup page)
'use strict';

const { spawn } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const SKIP = 77;
const HOSTILE = '<img src=x onerror=alert(1)>';
const HOME = 'Home Network';
// From tests/tools/simulated-device: its scan, merged and strongest first, and the passphrase.
const NETWORKS = [HOME, HOSTILE, 'Café Guest'];
const PASSPHRASE = 'correct horse battery';
const SETUP = ['--setup-ssid', 'Kiosk Setup', '--setup-wait', '2'];
const PHONE = { width: 390, height: 844 };
const PASSWORD = 'purple monkey dishwasher';
const JOIN_WAIT_MS = 60000; // a failing join alone waits six seconds for the link

function check(condition, what) {
  if (!condition) throw new Error(`not ok - ${what}`);
  console.log(`ok - ${what}`);
}

// Starts the portal and resolves to the URL it says it serves.
// Without a TLS state directory, in a fresh one of its own: a device on its first start.
function startPortal(program, stateDir, extra = []) {
  const tls = stateDir ? ['--tls'] : [];
  const state = stateDir || fs.mkdtempSync(path.join(os.tmpdir(), 'zrnet-portal-state-'));
  const portal = spawn(program, ['--listen', '127.0.0.1:0', '--allow-changes', '--state-dir', state,
    ...tls, ...extra], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let said = '';
    const timer = setTimeout(() => reject(new Error(`the portal said only: ${said}`)), 20000);
    portal.on('exit', code => reject(new Error(`the portal ended (${code}): ${said}`)));
    portal.stdout.on('data', chunk => {
      said += chunk;
      const found = /serving (https?:\/\/\S+\/)/.exec(said);
      if (found && (!stateDir || /fingerprint \S+\n/.test(said))) {
        clearTimeout(timer);
        const stop = () => new Promise(ended => portal.once('exit', ended).kill('SIGTERM'))
          .then(() => stateDir || fs.rmSync(state, { recursive: true, force: true }));
        resolve({ url: found[1], said, stop });
      }
    });
  });
}

// What a POST /api/join from the page's own script gets, with the token it would send.
async function joinStatus(page) {
  return page.evaluate(async () => (await fetch('/api/join', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', 'X-XSRF-TOKEN': xsrfToken() },
    body: JSON.stringify({ ssid: 'Café Guest' }),
  })).status);
}

async function signIn(page, title, password) {
  await page.waitForSelector('#signin:not([hidden])');
  check(await page.textContent('#signin-title') === title, `the page asks: ${title}`);
  await page.fill('#password', password);
  await page.click('#signin-button');
}

// First start: the password before anything else; a weak one is refused.
async function choosePassword(page) {
  check(await joinStatus(page) === 401, 'a join without a session is refused (401)');
  await signIn(page, 'Choose the administrator\'s password', 'password1');
  await page.waitForSelector('#signin-outcome.failed');
  check((await page.textContent('#signin-outcome')).includes('most common'),
    'a common password is refused, and the page says why');
  await page.fill('#password', PASSWORD);
  await page.click('#signin-button');
  await page.waitForSelector('#portal:not([hidden])');
  await page.waitForSelector('body[data-loaded="true"]');
}

async function texts(page, selector) {
  return page.$$eval(selector, nodes => nodes.map(node => node.textContent.trim()));
}

async function run(page, url, screenshot) {
  const dialogs = [];
  const problems = [];
  page.on('dialog', dialog => {
    dialogs.push(dialog.message());
    dialog.dismiss();
  });
  page.on('pageerror', error => problems.push(error.message));
  page.on('console', message => {
    if (message.type() === 'error') problems.push(message.text());
  });

  await page.goto(url);
  await page.waitForSelector('body[data-loaded="true"]');
  await choosePassword(page);
  problems.splice(0); // the browser logs the refusals asked for on purpose (401, 400)
  const cookies = (await page.context().cookies(url)).map(c =>
    `${c.name}: httpOnly=${c.httpOnly} secure=${c.secure} sameSite=${c.sameSite} path=${c.path} ` +
    `expires=${c.expires}`);
  console.log(`cookies as the browser keeps them: ${JSON.stringify(cookies)}`);
  const tls = url.startsWith('https:');
  check(cookies.includes(`session: httpOnly=true secure=${tls} sameSite=Strict path=/ expires=-1`) &&
    cookies.includes(`XSRF-TOKEN: httpOnly=false secure=${tls} sameSite=Strict path=/ expires=-1`),
    'the session cookie is HttpOnly, both are SameSite=Strict, Path=/, Secure over TLS');
  const interfaces = await texts(page, '#interfaces tbody tr');
  check(interfaces.some(row => /^eth0\s*default\s*Ethernet/.test(row)),
    `eth0 shows as the default Ethernet interface (${JSON.stringify(interfaces)})`);
  check(interfaces.some(row => /^wlan0\s*default\s*Wi-Fi/.test(row)),
    'wlan0 shows as the default Wi-Fi interface');
  check((await page.textContent('#link')).includes('wlan0: not connected'),
    'the Wi-Fi link shows as not connected');

  const names = await texts(page, '#networks tbody tr td:first-child');
  check(JSON.stringify(names) === JSON.stringify(NETWORKS),
    `the three networks show once each, strongest first (${JSON.stringify(names)})`);
  const hostile = page.locator('#networks button.pick', { hasText: 'onerror' });
  check(await hostile.textContent() === HOSTILE, 'the hostile name shows literally, as text');
  check(await page.locator('img[src="x"]').count() === 0, 'the hostile name made no element');
  check(await page.locator('#networks img.lock').count() === 2 &&
    (await texts(page, '#networks tbody tr td:last-child'))[2] === 'open',
    'two networks carry the lock, the open one says so');

  await page.click(`#networks button.pick >> text="${HOME}"`);
  check(await page.inputValue('#ssid') === HOME, 'picking a network fills the form');
  await page.fill('#passphrase', 'not the passphrase');
  await page.click('#join-button');
  await page.waitForSelector('#outcome.failed', { timeout: JOIN_WAIT_MS });
  check((await page.textContent('#outcome')).includes(
    'The link did not come up (wrong passphrase or out of range).'),
    'a wrong passphrase is reported as such');

  // A second listener beside the page's own, to see the events themselves.
  await page.evaluate(() => new Promise(opened => {
    window.heard = [];
    const events = new EventSource('/api/events');
    for (const name of ['status', 'join']) {
      events.addEventListener(name, e => window.heard.push([name, JSON.parse(e.data)]));
    }
    events.onopen = opened;
  }));
  await page.fill('#passphrase', PASSPHRASE);
  await page.click('#join-button');
  await page.waitForSelector('#outcome.ok', { timeout: JOIN_WAIT_MS });
  check((await page.textContent('#outcome')).startsWith(`${HOME}: Joined`),
    'the right passphrase joins');
  await page.waitForFunction(() => window.heard.length >= 4);
  const heard = (await page.evaluate(() => window.heard)).map(([name, data]) =>
    `${name} ${data.outcome || (data.wifi.connected ? data.wifi.network : '-')}`);
  check(JSON.stringify(heard) === JSON.stringify(
    ['status -', 'join joining', 'join joined', `status ${HOME}`]),
    `an EventSource hears the join as it goes (${JSON.stringify(heard)})`);
  await page.waitForFunction(() => document.getElementById('link').textContent.includes('connected to'));
  check(await page.textContent('#link') === `wlan0: connected to ${HOME}`,
    'the status shows the joined network');

  check(dialogs.length === 0, `no script of a network name ran (${JSON.stringify(dialogs)})`);
  check(problems.length === 0, `no errors in the page (${JSON.stringify(problems)})`);
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(`screenshot: ${screenshot}`);

  await page.click('#logout');
  await page.waitForSelector('#signin:not([hidden])');
  check(await joinStatus(page) === 401, 'after logging out a join is refused (401)');
  await signIn(page, 'Log in', 'not the password');
  await page.waitForSelector('#signin-outcome.failed');
  await page.fill('#password', PASSWORD);
  await page.click('#signin-button');
  await page.waitForSelector('#portal:not([hidden])');
  check(await joinStatus(page) === 200, 'logged in again, the page joins');
}

async function textOf(page, id, wanted) {
  await page.waitForFunction(([id, wanted]) =>
    document.getElementById(id).textContent.includes(wanted), [id, wanted], { timeout: JOIN_WAIT_MS });
  return page.textContent(`#${id}`);
}

async function joinHome(page, passphrase, result) {
  await page.click(`#networks button.pick >> text="${HOME}"`);
  await page.fill('#passphrase', passphrase);
  await page.click('#join-button');
  await page.waitForSelector(`#outcome.${result}`, { timeout: JOIN_WAIT_MS });
}

// A phone on the access point opens the page its system checks the connection with, and lands
// on the setup page of the device (by the address the portal redirects to).
async function runCaptive(page, url, screenshot) {
  await page.setViewportSize(PHONE);
  await page.goto(url);
  await page.waitForSelector('body[data-loaded="true"]');
  check(page.url() === 'http://192.168.42.1/', `${url} lands on ${page.url()}`);
  await choosePassword(page);
  check((await textOf(page, 'access-point', 'is up')).includes('Kiosk Setup'),
    'the page is in setup mode, its access point up');
  const found = await textOf(page, 'found-at', '.local');
  check(/http:\/\/[\w-]+\.local(:\d+)?\//.test(found), `it says where the device will be: ${found}`);
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(`screenshot: ${screenshot}`);
}

async function runSetup(page, url, shots) {
  await page.setViewportSize(PHONE);
  await page.goto(url);
  await page.waitForSelector('body[data-loaded="true"]');
  if (await page.isVisible('#signin')) await choosePassword(page);
  check((await textOf(page, 'access-point', 'is up')).includes('Kiosk Setup'),
    'with no link, the access point is up');
  check(await page.evaluate(() => document.documentElement.scrollWidth) <= PHONE.width,
    'the page fits a phone\'s width');
  await page.click('#rescan');
  check(await textOf(page, 'scan-note', 'before the access point went up'),
    'a scan beside the access point gives the list kept from before it');
  await joinHome(page, 'not the passphrase', 'failed');
  await textOf(page, 'access-point', 'is up');
  check((await texts(page, '#outcome, #last-join')).every(t => t.includes('did not come up')),
    'the access point is back, and the page says why the join failed');
  await page.screenshot({ path: shots[0], fullPage: true });
  await joinHome(page, PASSPHRASE, 'ok');
  await textOf(page, 'link', `connected to ${HOME}`);
  check(await textOf(page, 'access-point', 'off the air'), 'the join took the access point off the air');
  await page.screenshot({ path: shots[1], fullPage: true });
}

// The chromium flag that trusts the portal's own certificate and no other, once the fingerprint
// the portal printed is the certificate's.
function trustOnly(portal, stateDir) {
  const certificate = new crypto.X509Certificate(
    fs.readFileSync(path.join(stateDir, 'portal.crt')));
  check(portal.url.startsWith('https://') &&
    portal.said.includes(`fingerprint ${certificate.fingerprint256}`),
    `the portal serves HTTPS and prints its certificate's fingerprint ${certificate.fingerprint256}`);
  const key = certificate.publicKey.export({ type: 'spki', format: 'der' });
  return [`--ignore-certificate-errors-spki-list=${
    crypto.createHash('sha256').update(key).digest('base64')}`];
}

async function main() {
  const captive = process.argv.includes('--captive');
  const args = process.argv.slice(2).filter(arg => arg !== '--setup' && arg !== '--captive');
  const setupOnly = !captive && args.length < process.argv.length - 2;
  const stateDir = args[0] === '--tls' &&
    fs.mkdtempSync(path.join(os.tmpdir(), 'zrnet-portal-state-'));
  if (stateDir) args.shift();
  const attached = args[0] === '--url';
  if (args.length !== (attached ? 3 : 2)) {
    console.error('usage: browser_test.js PORTAL SCREENSHOT | --url URL SCREENSHOT');
    return 2;
  }
  if (!attached && !process.env.ZRNET_STUB_WIFI) {
    console.log('SKIP: needs the simulated device of stubnet-run --device (' +
      (process.env.ZRNET_STUBNET_UNAVAILABLE || 'not started by it') + ')');
    return SKIP;
  }
  let portal = attached ? { url: args[1], stop() {} } : await startPortal(args[0], stateDir);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zrnet-chromium-'));
  let browser;
  try {
    // A fresh profile: playwright hands it to chromium as --user-data-dir.
    browser = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--no-sandbox', '--no-proxy-server', '--disable-gpu', '--disable-quic',
        '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync',
        ...(stateDir ? trustOnly(portal, stateDir) : [])],
      viewport: { width: 960, height: 900 },
    });
    const page = browser.pages()[0] || await browser.newPage();
    const screenshot = path.resolve(attached ? args[2] : args[1]);
    const shots = ['failed', 'joined'].map(s => screenshot.replace(/(\.png)?$/, `-setup-${s}.png`));
    if (captive) return await runCaptive(page, portal.url, screenshot) || 0;
    if (!setupOnly) await run(page, portal.url, screenshot);
    if (!attached && !stateDir) { // the same device, its link gone, in setup mode
      await portal.stop();
      fs.rmSync(path.join(process.env.ZRNET_STUB_DIR, 'associated'), { force: true });
      portal = await startPortal(args[0], null, SETUP);
    }
    if (setupOnly || (!attached && !stateDir)) await runSetup(page, portal.url, shots);
    return 0;
  } finally {
    if (browser) await browser.close();
    await portal.stop();
    fs.rmSync(profile, { recursive: true, force: true });
    if (stateDir) fs.rmSync(stateDir, { recursive: true, force: true });
  }
}

main().then(code => process.exit(code), error => {
  console.error(error.message);
  process.exit(1);
});
