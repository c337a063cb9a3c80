// A cross-origin fetch in Debian's chromium against the README's sample, which allows the
// origin http://localhost:5173 with credentials: from a page of that origin the preflight passes
// and the JSON comes back, with the page's cookies too; from http://127.0.0.1:5173 the browser
// refuses it. python3's http.server serves
// the pages of both origins.
//
//   node cors_test.js README-SAMPLE
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

function check(condition, what) {
  if (!condition) throw new Error(`not ok - ${what}`);
  console.log(`ok - ${what}`);
}

async function listening(port) {
  for (let tries = 0; tries < 200; ++tries) {
    const open = await new Promise(resolve => net.connect(port, '127.0.0.1')
      .on('connect', function () { this.end(); resolve(true); })
      .on('error', () => resolve(false)));
    if (open) return;
    await new Promise(resolve => setTimeout(resolve, 100));
  }
  throw new Error(`nothing listens on ${port}`);
}

async function main() {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'zrnet-cors-'));
  const children = [
    spawn(process.argv[2], [], { cwd: folder, stdio: 'inherit' }),
    spawn('python3', ['-m', 'http.server', '5173', '--bind', '127.0.0.1'],
      { cwd: folder, stdio: 'ignore' }),
  ];
  let browser;
  try {
    await listening(8080);
    await listening(5173);
    browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'] });
    const page = await browser.newPage();
    const post = (credentials = 'same-origin') => page.evaluate(credentials => fetch(
      'http://127.0.0.1:8080/echo', { method: 'POST', credentials,
        headers: { 'Content-Type': 'application/json' }, body: '{"a":[1,2]}' },
    ).then(reply => reply.text(), error => `refused: ${error.name}`), credentials);
    await page.goto('http://localhost:5173/');
    const allowed = await post();
    check(allowed === '{"a":[1,2]}', `the allowed origin gets the answer (${allowed})`);
    const withCookies = await post('include');
    check(withCookies === allowed, `with credentials too (${withCookies})`);
    await page.goto('http://127.0.0.1:5173/');
    const other = await post();
    check(other === 'refused: TypeError', `another origin is refused (${other})`);
    return 0;
  } finally {
    if (browser) await browser.close();
    children.forEach(child => child.kill('SIGTERM'));
    fs.rmSync(folder, { recursive: true, force: true });
  }
}

main().then(code => process.exit(code), error => {
  console.error(error.message);
  process.exit(1);
});
