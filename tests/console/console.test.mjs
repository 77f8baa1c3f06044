// The console page in Debian's headless Chromium against the real bridge and
// its simulated devices: one scenario, a handful of flows, in order.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync } from 'node:fs';
import { createServer } from 'node:http';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { Bridge, eventually } from './bridge.mjs';

const here = dirname(fileURLToPath(import.meta.url));
const CHROMIUM = process.env.ORVEX_CHROMIUM || '/usr/bin/chromium';
const BINARY = process.env.ORVEX_BRIDGE;
const SCENARIO = join(here, 'scenario.json');
const SHOTS = process.env.ORVEX_SCREENSHOT_DIR || join(here, 'out');

const skip = !existsSync(CHROMIUM) ? `no Chromium at ${CHROMIUM} (apt-get install chromium)` : false;

let chromium;
let browser;
let page;
let bridge;

before(async () => {
  if (skip) return;
  assert.ok(BINARY && existsSync(BINARY), `ORVEX_BRIDGE must name the bridge binary (got ${BINARY})`);
  ({ chromium } = await import('playwright-core'));
  bridge = new Bridge(resolve(BINARY), SCENARIO);
  await bridge.start();
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [
      '--no-sandbox',
      '--disable-gpu',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      '--no-first-run',
    ],
  });
  page = await browser.newPage({ viewport: { width: 1280, height: 1200 } });
  // Anything the page loads from elsewhere, or any script error, is a fault.
  page.errors = [];
  page.on('request', (r) => {
    if (!/^(http|ws):\/\/127\.0\.0\.1:\d+\//.test(r.url())) page.errors.push(`asked the network for ${r.url()}`);
  });
  page.on('pageerror', (e) => page.errors.push(String(e)));
  page.on('console', (m) => {
    if (m.type() === 'error' && !/net::ERR_CONNECTION_(REFUSED|RESET|CLOSED)|WebSocket connection/.test(m.text())) page.errors.push(m.text());
  });
});

after(async () => {
  if (browser) await browser.close();
  if (bridge) await bridge.dispose();
  if (page) assert.deepEqual(page.errors, [], 'errors on the page');
});

function row(selector) {
  return page.locator(selector);
}

async function cells(locator) {
  return (await locator.first().locator('td').allTextContents()).map((t) => t.trim());
}

test('the page loads, says it is connected, and lists the devices after their first reports', { skip }, async () => {
  await page.goto(bridge.url('/'));
  await row('#connection[data-state="connected"]').waitFor({ timeout: 10000 });
  await bridge.sim({ op: 'report', device: 'mouse-81', hex: '0501000000' });
  await bridge.sim({ op: 'report', device: 'receiver-82-83', hex: '0502000000' });
  await bridge.sim({ op: 'report', device: 'receiver-82-83', hex: '0602000000', collection: 0 });
  await bridge.sim({ op: 'report', device: 'wired-80', hex: '0503000000' });
  await bridge.sim({ op: 'report', device: 'wired-85', hex: '0504000000' });
  // The BLE device announces its id by itself once it is subscribed.
  for (const [family, device] of [['0x80', '03'], ['0x81', '01'], ['0x82', '02'], ['0x83', '02'], ['0x85', '04'], ['0x84', '06']]) {
    await row(`#device-rows tr[data-family="${family}"][data-device="${device}"]`).waitFor({ timeout: 15000 });
  }
  const mouse = await cells(row('#device-rows tr[data-family="0x81"][data-device="01"]'));
  assert.equal(mouse[3], '/dev/sim/mouse-81/1');
  assert.equal(mouse[4], 'paired');
  const ble = await cells(row('#device-rows tr[data-family="0x84"]'));
  assert.match(ble[3], /\(C0:FF:EE:00:00:06\)$/i);
  assert.equal(ble[4], 'connected');
});

test('a report injected into a simulated device appears decoded in the stream within 1 s', { skip }, async () => {
  await bridge.sim({ op: 'report', device: 'mouse-81', hex: '05017a7b7c' });
  const entry = row('#stream-rows tr[data-kind="report"]').filter({ hasText: '810105017a7b7c' });
  await entry.waitFor({ timeout: 1000 });
  assert.deepEqual((await cells(entry)).slice(1), ['0x81', 'input report', '01', '05 01 7a 7b 7c', '810105017a7b7c']);
});

test('composed commands and queries reach the devices, and malformed input sends nothing', { skip }, async () => {
  await bridge.sim({ op: 'clear', device: 'mouse-81' });
  await page.selectOption('#cmd-family', '81');
  await page.fill('#cmd-device', '01');
  await page.fill('#cmd-report', '05');
  await page.fill('#cmd-data', '01 02');
  assert.equal(await page.textContent('#cmd-preview'), '81 01 05 04 01 02');
  await page.click('#command-form button[type="submit"]');
  // Family 0x81 acknowledges, and the page pairs the text with its command.
  await row('#cmd-result[data-outcome="ok"]').filter({ hasText: '01810101' }).waitFor({ timeout: 15000 });
  const log = await bridge.sim({ op: 'log', device: 'mouse-81' });
  assert.ok(
    log.received.some((e) => e.kind === 'feature' && e.hex.toLowerCase() === '05040102'),
    `feature report 05 04 01 02 not on the wire: ${JSON.stringify(log.received)}`,
  );

  await page.selectOption('#q-family', '83');
  await page.fill('#q-device', '02');
  await page.selectOption('#q-code', '0b');
  assert.equal(await page.isDisabled('#q-arg'), true, '0x0b takes no argument');
  assert.equal(await page.textContent('#q-preview'), 'f0 83 02 0b 00');
  await page.focus('#q-device');
  await page.keyboard.press('Enter'); // a keyboard user's submit
  const reply = row('#q-result[data-outcome="ok"]');
  await reply.waitFor({ timeout: 15000 });
  assert.match(await reply.textContent(), /^query reply 0x0b: 0b( [0-9a-f]{2}){3} \(raw 83020b[0-9a-f]{6}\)$/);

  // Nothing of these may reach the bridge. A valid query after them is the
  // marker: it is the one new message the bridge logs.
  const before = bridge.received().length;
  const malformed = [
    ['#cmd-data', 'zz 01', '#command-form', '#cmd-data-error', /"zz" is not hex/],
    ['#cmd-device', '1ff', '#command-form', '#cmd-device-error', /not one byte/],
    ['#cmd-data', Array(254).fill('00').join(' '), '#command-form', '#cmd-data-error', /at most 253/],
  ];
  for (const [field, value, form, error, message] of malformed) {
    await page.fill('#cmd-device', '01');
    await page.fill('#cmd-data', '');
    await page.fill(field, value);
    await page.click(`${form} button[type="submit"]`);
    assert.match(await page.textContent(error), message, `${field} = ${value}`);
    assert.equal(await page.getAttribute(field, 'aria-invalid'), 'true');
    assert.equal(await page.evaluate(() => document.activeElement.id), field.slice(1), 'focus on the bad field');
  }
  await page.selectOption('#q-family', '84');
  await page.selectOption('#q-code', '04');
  await page.click('#query-form button[type="submit"]');
  assert.match(await page.textContent('#q-code-error'), /BLE devices answer only/);
  await page.selectOption('#q-code', '0c');
  await page.fill('#q-device', '06');
  await page.click('#query-form button[type="submit"]');
  assert.equal(await page.textContent('#q-code-error'), '');
  await eventually(() => bridge.received().length > before, 'the marker query at the bridge');
  assert.deepEqual(bridge.received().slice(before), ['Received message: f084060c00']);
  // The BLE answer to the marker, decoded and paired with its query.
  await row('#q-result[data-outcome="ok"]').filter({ hasText: 'BLE answer A2 (query 0x0c)' }).waitFor({ timeout: 15000 });

  // Fixing the field takes its message away again.
  await page.fill('#cmd-data', '01 02');
  assert.equal(await page.textContent('#cmd-data-error'), '');
  assert.equal(await page.getAttribute('#cmd-data', 'aria-invalid'), null);

  mkdirSync(SHOTS, { recursive: true });
  await page.screenshot({ path: join(SHOTS, 'console.png') });
});

test('an unplug shows the removal, and a restarted bridge is found again', { skip }, async () => {
  await bridge.sim({ op: 'unplug', device: 'wired-80' });
  await row('#stream-rows tr[data-kind="removal"]').filter({ hasText: '800003' }).waitFor({ timeout: 10000 });
  await row('#device-rows tr[data-family="0x80"]').waitFor({ state: 'detached', timeout: 10000 });

  const port = bridge.port;
  await bridge.stop();
  await row('#connection[data-state="disconnected"]').waitFor({ timeout: 10000 });
  await bridge.start();
  assert.equal(bridge.port, port);
  await row('#connection[data-state="connected"]').waitFor({ timeout: 15000 });
  // The greeting of the new bridge, and its device table (wired-80 is back).
  assert.ok((await row('#stream-rows tr[data-kind="greeting"]').count()) >= 2);
  await row('#device-rows tr[data-family="0x80"]').waitFor({ timeout: 10000 });
});

test('a page of another origin waits until Allow is clicked in the console, then runs what it sent', { skip }, async () => {
  // A site of its own (another port is another origin) whose page queries at once.
  const site = createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end(`<script>
      window.texts = [];
      const ws = new WebSocket('ws://127.0.0.1:${bridge.port}/');
      ws.onopen = () => ws.send('f083020b00');
      ws.onmessage = (e) => window.texts.push(e.data);
      ws.onclose = (e) => (window.closeCode = e.code);
    </script>`);
  });
  await new Promise((done) => site.listen(0, '127.0.0.1', done));
  // The receiver's first report tells the bridge its device id, which the query names.
  await bridge.sim({ op: 'report', device: 'receiver-82-83', hex: '0602000000', collection: 0 });
  const origin = `http://127.0.0.1:${site.address().port}`;
  const other = await browser.newPage();
  try {
    await other.goto(`${origin}/`);
    const waiting = row(`#origin-rows tr[data-origin="${origin}"][data-state="waiting"]`);
    await waiting.waitFor({ timeout: 10000 });
    assert.equal((await cells(waiting))[2], '1');
    await eventually(() => bridge.received().includes('Received message: f083020b00'), 'the held query at the bridge');
    assert.deepEqual(await other.evaluate(() => window.texts), [], 'nothing for a held page');

    await waiting.getByRole('button', { name: `Allow ${origin}` }).click();
    const texts = await eventually(async () => {
      const t = await other.evaluate(() => window.texts);
      return t.some((x) => x.startsWith('83020b')) && t;
    }, 'the greeting and the query reply after Allow', 15000);
    assert.equal(texts[0], '0304');
    await row(`#origin-rows tr[data-origin="${origin}"][data-state="trusted"]`).waitFor({ timeout: 5000 });

    // Removed again: the page loses the devices.
    await row(`#origin-rows tr[data-origin="${origin}"]`).getByRole('button', { name: `Remove ${origin}` }).click();
    assert.equal(await eventually(() => other.evaluate(() => window.closeCode), 'the page closed'), 1008);
    await row(`#origin-rows tr[data-origin="${origin}"]`).waitFor({ state: 'detached', timeout: 5000 });
  } finally {
    await other.close();
    site.close();
  }
});

test('/status has its shape; foreign hosts, other paths and --no-console are refused', { skip }, async () => {
  const status = await bridge.http('/status');
  assert.equal(status.status, 200);
  assert.equal(status.headers['content-type'], 'application/json');
  assert.match(status.headers['content-security-policy'], /connect-src 'self' ws:\/\/127\.0\.0\.1:\d+;.*frame-ancestors 'none'/);
  assert.deepEqual(Object.keys(status.headers).filter((h) => h.startsWith('access-control-')), []);
  // The C++ tests check each field; here: what a page sees of a live bridge.
  const s = JSON.parse(status.body);
  assert.deepEqual(Object.keys(s),
    ['version', 'uptime_ms', 'listen', 'addresses', 'session', 'pages', 'devices', 'families', 'origins']);
  assert.deepEqual([s.listen, s.addresses[0], s.pages, s.devices],
    [{ address: '127.0.0.1', port: bridge.port }, '127.0.0.1', 1, 'simulated']);
  assert.deepEqual(Object.keys(s.session), ['uid', 'id', 'active']);
  assert.deepEqual(s.origins, { policy: 'ask', trusted: 0, pending: 0, denied: 0 });
  assert.deepEqual(s.families.map((f) => `${f.family} ${f.transport} ${f.slots.length}`),
    ['0x80 hid 1', '0x81 hid 1', '0x82 hid 1', '0x83 hid 1', '0x84 ble 1', '0x85 hid 1']);
  assert.deepEqual(Object.keys(s.families[4].slots[0]), ['slot', 'device_id', 'node', 'address', 'state']);
  assert.deepEqual(Object.keys(s.families[1].slots[0]),
    ['slot', 'device_id', 'node', 'paired', 'reports', 'last_report_ms_ago']);

  assert.equal((await bridge.http('/', { host: 'attacker.example' })).status, 403);
  assert.equal((await bridge.http('/status', { host: `attacker.example:${bridge.port}` })).status, 403);
  assert.equal((await bridge.http('/elsewhere')).status, 404);

  const quiet = new Bridge(bridge.binary, SCENARIO, ['--no-console']);
  try {
    await quiet.start();
    assert.equal((await quiet.http('/')).status, 404);
    assert.equal((await quiet.http('/status')).status, 404);
  } finally {
    await quiet.dispose();
  }
});
