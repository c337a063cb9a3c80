// The device portal as a person meets it, in Debian's chromium driven by playwright-core:
// the page loads, shows the interfaces and the networks in reach (a hostile name as plain
// text, with no script run), reports a wrong passphrase and then a join, and the status shows
// the joined network. Saves a screenshot of the page at the end.
//
//   stubnet-run --device tests/tools/simulated-device node browser_test.js [--tls] PORTAL SCREENSHOT
//   node browser_test.js --url URL SCREENSHOT     (a portal already serving the simulated
//                                                  device, such as the one of scripts/demo)
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
const JOIN_WAIT_MS = 60000; // a failing join alone waits six seconds for the link

function check(condition, what) {
  if (!condition) throw new Error(`not ok - ${what}`);
  console.log(`ok - ${what}`);
}

// Starts the portal and resolves to the URL it says it serves.
function startPortal(program, stateDir) {
  const tls = stateDir ? ['--tls', '--state-dir', stateDir] : [];
  const portal = spawn(program, ['--listen', '127.0.0.1:0', '--allow-changes', ...tls],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let said = '';
    const timer = setTimeout(() => reject(new Error(`the portal said only: ${said}`)), 20000);
    portal.on('exit', code => reject(new Error(`the portal ended (${code}): ${said}`)));
    portal.stdout.on('data', chunk => {
      said += chunk;
      const found = /serving (https?:\/\/\S+\/)/.exec(said);
      if (found && (!stateDir || /fingerprint \S+\n/.test(said))) {
        clearTimeout(timer);
        resolve({ url: found[1], said, stop: () => portal.kill('SIGTERM') });
      }
    });
  });
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

  await page.fill('#passphrase', PASSPHRASE);
  await page.click('#join-button');
  await page.waitForSelector('#outcome.ok', { timeout: JOIN_WAIT_MS });
  check((await page.textContent('#outcome')).startsWith(`${HOME}: Joined`),
    'the right passphrase joins');
  await page.waitForFunction(() => document.getElementById('link').textContent.includes('connected to'));
  check(await page.textContent('#link') === `wlan0: connected to ${HOME}`,
    'the status shows the joined network');

  check(dialogs.length === 0, `no script of a network name ran (${JSON.stringify(dialogs)})`);
  check(problems.length === 0, `no errors in the page (${JSON.stringify(problems)})`);
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(`screenshot: ${screenshot}`);
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
  const args = process.argv.slice(2);
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
  const portal = attached ? { url: args[1], stop() {} } : await startPortal(args[0], stateDir);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'zrnet-chromium-'));
  let browser;
  try {
    // A fresh profile: playwright hands it to chromium as --user-data-dir.
    browser = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        ...(stateDir ? trustOnly(portal, stateDir) : [])],
      viewport: { width: 960, height: 900 },
    });
    const page = browser.pages()[0] || await browser.newPage();
    await run(page, portal.url, path.resolve(attached ? args[2] : args[1]));
    return 0;
  } finally {
    if (browser) await browser.close();
    portal.stop();
    fs.rmSync(profile, { recursive: true, force: true });
    if (stateDir) fs.rmSync(stateDir, { recursive: true, force: true });
  }
}

main().then(code => process.exit(code), error => {
  console.error(error.message);
  process.exit(1);
});
