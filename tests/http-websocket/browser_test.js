// Debian's chromium opens WebSockets from a page of the test server, on the page's own port:
// ws:// from the HTTP page, wss:// from the HTTPS one (the certificate ignored), each an echo;
// and from the HTTP page a wss:// to the HTTPS port, another origin, which the server refuses.
//
//   node browser_test.js HTTP-PORT HTTPS-PORT
'use strict';

const { chromium } = require('playwright-core');

function check(condition, what) {
  if (!condition) throw new Error(`not ok - ${what}`);
  console.log(`ok - ${what}`);
}

// In the page: opens url, sends one message, and resolves with what came back or how it closed.
function roundTrip(page, url) {
  return page.evaluate(url => new Promise(resolve => {
    const socket = new WebSocket(url);
    socket.onopen = () => socket.send('hello from chromium');
    socket.onmessage = event => { resolve(`echo ${event.data}`); socket.close(1000); };
    socket.onclose = event => resolve(`closed ${event.code}`);
  }), url);
}

async function main() {
  const [httpPort, httpsPort] = process.argv.slice(2);
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--ignore-certificate-errors'] });
  try {
    const page = await (await browser.newContext({ ignoreHTTPSErrors: true })).newPage();
    for (const [scheme, port] of [['http', httpPort], ['https', httpsPort]]) {
      await page.goto(`${scheme}://127.0.0.1:${port}/page`);
      const url = `${scheme === 'https' ? 'wss' : 'ws'}://127.0.0.1:${port}/ws`;
      const got = await roundTrip(page, url);
      check(got === 'echo hello from chromium', `${url} from ${page.url()}: ${got}`);
    }
    await page.goto(`http://127.0.0.1:${httpPort}/page`);
    const foreign = `wss://127.0.0.1:${httpsPort}/ws`;
    const refused = await roundTrip(page, foreign);
    check(refused === 'closed 1006', `${foreign} from ${page.url()}, another origin: ${refused}`);
    return 0;
  } finally {
    await browser.close();
  }
}

main().then(code => process.exit(code), error => {
  console.error(error.message);
  process.exit(1);
});
