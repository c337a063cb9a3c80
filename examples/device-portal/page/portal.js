'use strict';

// Network names come from the air: anyone nearby can choose one. Every text from the device
// therefore goes into the page as text (textContent), never as markup.
function el(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}

function $(id) {
  return document.getElementById(id);
}

// The token the device set at login, which only this site's scripts can read: every change
// carries it back, so a page elsewhere cannot make one with this browser's cookie.
function xsrfToken() {
  const found = document.cookie.split('; ').find(pair => pair.startsWith('XSRF-TOKEN='));
  return found ? decodeURIComponent(found.slice('XSRF-TOKEN='.length)) : '';
}

// The answer's JSON; throws with the portal's reason when the status is not 2xx. A session
// that has ended (401) brings the login form back.
async function api(path, options = {}) {
  const headers = { ...options.headers };
  if (options.method && options.method !== 'GET') headers['X-XSRF-TOKEN'] = xsrfToken();
  const response = await fetch(path, { ...options, headers });
  const body = await response.json().catch(() => ({}));
  if (response.status === 401 && !path.startsWith('/api/login')) showSignIn(true);
  if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
  return body;
}

function post(path, body) {
  return api(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body),
  });
}

function fill(table, rows) {
  table.tBodies[0].replaceChildren(...rows);
}

function interfaceRow(iface) {
  const name = el('td', iface.name);
  if (iface.default) name.append(' ', el('span', 'default', 'badge'));
  const row = el('tr');
  row.append(name, el('td', iface.kind === 'wifi' ? 'Wi-Fi' : 'Ethernet'),
    el('td', iface.hardwareAddress, 'mono'), el('td', iface.addresses.join(', ') || '—'));
  return row;
}

async function showInterfaces() {
  const { interfaces } = await api('/api/interfaces');
  fill($('interfaces'), interfaces.map(interfaceRow));
}

function when(time) {
  return new Date(time).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
}

// Where the device will be once it has joined, said before the access point goes.
function showWhereabouts(device) {
  const found = $('found-at');
  if (!device.url) {
    found.textContent = device.note;
    return;
  }
  const address = device.addresses.length ? ` (address ${device.addresses.join(', ')})` : '';
  found.replaceChildren('Once on your network, find this device at ', el('strong', device.url),
    `${address}. ${device.note}`);
}

// Setup mode: the device's own access point, and how the last join went.
function showSetup(setup, device) {
  $('setup').hidden = !setup;
  if (!setup) return;
  showWhereabouts(device);
  const ap = setup.accessPoint;
  if (ap.up) {
    $('access-point').replaceChildren(`Access point `, el('strong', ap.ssid),
      ` is up${ap.open ? ' (open)' : ''}; this page is also at http://${ap.address}/.`);
  } else {
    $('access-point').textContent = setup.joining
      ? `Off the air while joining ${setup.joining}…`
      : 'The access point is off the air.';
  }
  const last = setup.lastJoin;
  $('last-join').className = last ? (last.outcome === 'joined' ? 'ok' : 'failed') : '';
  $('last-join').textContent = last
    ? `Last join (${when(last.time)}): ${last.network}: ${last.message}` : '';
}

async function showStatus() {
  showStatusOf(await api('/api/status'));
}

function showStatusOf({ changesAllowed, wifi, setup, device }) {
  showSetup(setup, device);
  $('mode').textContent = changesAllowed
    ? 'Changes allowed: joining a network reconfigures this device.'
    : 'Read-only: this portal was started without --allow-changes, so it joins no network.';
  $('mode').className = changesAllowed ? 'changes' : 'read-only';
  $('join-button').disabled = !changesAllowed;
  const link = $('link');
  if (!wifi) {
    link.textContent = 'No Wi-Fi interface on this device.';
  } else if (wifi.connected) {
    link.replaceChildren(`${wifi.interface}: connected to `, el('strong', wifi.network ?? '?'));
  } else {
    link.textContent = `${wifi.interface}: not connected`;
  }
}

function pick(network) {
  $('ssid').value = network.ssid;
  $('passphrase').value = '';
  $('passphrase').focus();
}

function networkRow(network) {
  const name = el('button', network.ssid, 'pick');
  name.type = 'button';
  name.title = 'Join this network';
  name.addEventListener('click', () => pick(network));
  const meter = el('meter');
  meter.min = 0;
  meter.max = 100;
  meter.value = network.quality;
  const signal = el('td');
  signal.append(meter, ` ${network.quality} %`);
  const security = el('td');
  if (network.encrypted) {
    const lock = el('img', undefined, 'lock');
    lock.src = '/lock.svg';
    lock.alt = 'encrypted';
    security.append(lock, ' WPA');
  } else {
    security.textContent = 'open';
  }
  const row = el('tr');
  const nameCell = el('td');
  nameCell.append(name);
  row.append(nameCell, signal, security);
  return row;
}

async function showScan() {
  $('scan-note').textContent = 'Scanning…';
  showScanOf(await api('/api/scan'));
}

function showScanOf({ interface: wifi, networks, keptSince }) {
  const note = $('scan-note');
  fill($('networks'), networks.map(networkRow));
  const seen = keptSince
    ? ` at ${when(keptSince)}, before the access point went up (the radio cannot scan beside it)`
    : '';
  if (!wifi) note.textContent = 'No Wi-Fi interface to scan with.';
  else if (networks.length === 0) note.textContent = 'No networks in reach.';
  else note.textContent = `${networks.length} networks seen by ${wifi}${seen}; pick one to join it.`;
}

const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

// In setup mode a join takes the access point off the air, and this page's connection with
// it: the outcome comes from the status once the device answers again.
async function awaitSetupJoin() {
  for (let tries = 0; tries < 120; ++tries) {
    await sleep(1000);
    const status = await api('/api/status').catch(() => null);
    if (status && status.setup && !status.setup.joining) return status.setup.lastJoin;
  }
  throw new Error('the device did not come back; if the join worked, it is on the new network');
}

async function join(event) {
  event.preventDefault();
  const outcome = $('outcome');
  const button = $('join-button');
  const ssid = $('ssid').value;
  const loaders = [showStatus, showInterfaces];
  button.disabled = true;
  outcome.className = 'busy';
  outcome.textContent = `Joining ${ssid}… (this can take a few seconds)`;
  try {
    let answer = await post('/api/join', { ssid, passphrase: $('passphrase').value });
    if (answer.outcome === 'joining') {
      outcome.textContent = `Joining ${ssid}… the access point is off the air meanwhile; ` +
        'reconnect to it if the join fails.';
      loaders.push(showScan); // off the air, the radio scans again
      const last = await awaitSetupJoin();
      answer = { ssid: last.network, outcome: last.outcome, message: last.message };
    }
    outcome.className = answer.outcome === 'joined' ? 'ok' : 'failed';
    outcome.textContent = `${answer.ssid}: ${answer.message}`;
  } catch (error) {
    outcome.className = 'failed';
    outcome.textContent = `Not joined: ${error.message}`;
  } finally {
    button.disabled = false;
    await refresh(...loaders);
  }
}

// A join under way, from this page or another: its progress, then its outcome.
function showJoin({ ssid, outcome, message }) {
  const line = $('outcome');
  if (outcome === 'joining' && line.className === 'busy') return; // this page's own, told already
  line.className = outcome === 'joining' ? 'busy' : outcome === 'joined' ? 'ok' : 'failed';
  line.textContent = outcome === 'joining' ? `Joining ${ssid}… (this can take a few seconds)`
    : `${ssid}: ${message}`;
}

// The device tells what changes as it happens (and its whole status first, again after each
// reconnection: in setup mode the access point comes and goes by itself).
let events = null;

function listen() {
  events = new EventSource('/api/events');
  const data = handler => event => handler(JSON.parse(event.data));
  events.addEventListener('status', data(showStatusOf));
  events.addEventListener('scan', data(showScanOf));
  events.addEventListener('join', data(showJoin));
  for (const name of ['link', 'network', 'addresses', 'access-point']) {
    events.addEventListener(name, () => refresh(showStatus, showInterfaces));
  }
}

// Runs each loader; a failure shows in the status line instead of stopping the others.
async function refresh(...loaders) {
  await Promise.all(loaders.map(loader => loader().catch(error => {
    $('mode').className = 'failed';
    $('mode').textContent = `The device did not answer: ${error.message}`;
  })));
}

// Before anything else the administrator's password: chosen on first start, asked for after.
let passwordSet = true;

function showSignIn(ended) {
  if (events) events.close();
  events = null;
  $('portal').hidden = true;
  $('logout').hidden = true;
  $('signin').hidden = false;
  $('signin-title').textContent = passwordSet ? 'Log in' : 'Choose the administrator\'s password';
  $('signin-note').textContent = passwordSet
    ? (ended ? 'Your session has ended; log in again.' : 'This device asks for its password.')
    : 'Nobody can change this device without it. At least 8 characters; a few words you ' +
      'will remember make a good one.';
  $('signin-button').textContent = passwordSet ? 'Log in' : 'Set password';
  $('password').autocomplete = passwordSet ? 'current-password' : 'new-password';
  $('mode').textContent = '';
  document.body.dataset.loaded = 'true';
}

async function signIn(event) {
  event.preventDefault();
  const outcome = $('signin-outcome');
  try {
    await post(passwordSet ? '/api/login' : '/api/password', { password: $('password').value });
    $('password').value = '';
    outcome.textContent = '';
    outcome.className = '';
    await start();
  } catch (error) {
    outcome.className = 'failed';
    outcome.textContent = error.message;
  }
}

async function logOut() {
  await post('/api/logout', {}).catch(() => {});
  showSignIn(false);
}

async function start() {
  document.body.dataset.loaded = 'false';
  const status = await api('/api/status');
  passwordSet = status.passwordSet;
  if (!status.loggedIn) return showSignIn(false);
  $('signin').hidden = true;
  $('portal').hidden = false;
  $('logout').hidden = false;
  showStatusOf(status);
  listen();
  await refresh(showInterfaces, showScan);
  document.body.dataset.loaded = 'true';
}

$('join').addEventListener('submit', join);
$('rescan').addEventListener('click', () => refresh(showScan));
$('signin-form').addEventListener('submit', signIn);
$('logout').addEventListener('click', logOut);
refresh(start);
