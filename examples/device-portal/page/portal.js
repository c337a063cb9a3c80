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

// The answer's JSON; throws with the portal's reason when the status is not 2xx.
async function api(path, options) {
  const response = await fetch(path, options);
  const body = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
  return body;
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

async function showStatus() {
  const { changesAllowed, wifi } = await api('/api/status');
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
  const note = $('scan-note');
  note.textContent = 'Scanning…';
  const { interface: wifi, networks } = await api('/api/scan');
  fill($('networks'), networks.map(networkRow));
  if (!wifi) note.textContent = 'No Wi-Fi interface to scan with.';
  else if (networks.length === 0) note.textContent = 'No networks in reach.';
  else note.textContent = `${networks.length} networks seen by ${wifi}; pick one to join it.`;
}

async function join(event) {
  event.preventDefault();
  const outcome = $('outcome');
  const button = $('join-button');
  const ssid = $('ssid').value;
  button.disabled = true;
  outcome.className = 'busy';
  outcome.textContent = `Joining ${ssid}… (this can take a few seconds)`;
  try {
    const answer = await api('/api/join', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ ssid, passphrase: $('passphrase').value }),
    });
    outcome.className = answer.outcome === 'joined' ? 'ok' : 'failed';
    outcome.textContent = `${answer.ssid}: ${answer.message}`;
  } catch (error) {
    outcome.className = 'failed';
    outcome.textContent = `Not joined: ${error.message}`;
  } finally {
    button.disabled = false;
    await refresh(showStatus, showInterfaces);
  }
}

// Runs each loader; a failure shows in the status line instead of stopping the others.
async function refresh(...loaders) {
  await Promise.all(loaders.map(loader => loader().catch(error => {
    $('mode').className = 'failed';
    $('mode').textContent = `The device did not answer: ${error.message}`;
  })));
}

$('join').addEventListener('submit', join);
$('rescan').addEventListener('click', () => refresh(showScan));
refresh(showStatus, showInterfaces, showScan).then(() => {
  document.body.dataset.loaded = 'true';
});
