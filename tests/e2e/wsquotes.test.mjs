// The live-quotes page (wsquotes.html) in headless Chromium against the
// test server on an ephemeral port (TICKERHALL_E2E_SERVER), served by it or
// opened as a file. The ticker never moves the row with ID 20: the tests
// set its prices themselves, through a WebSocket client of their own.
// TICKERHALL_ARTIFACTS: where the phone screenshot goes (else the system's
// temporary folder).
import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import WebSocket from 'ws';
import { launchChromium, TIMEOUT } from './chromium.mjs';
import { startServer } from './e2eserver.mjs';

let server, browser, feeder;

before(async () => {
  server = await startServer();
  browser = await launchChromium();
  feeder = new WebSocket(`ws://127.0.0.1:${server.port}`, 'dataset.tvq.tickerhall');
  await new Promise((resolve, reject) => { feeder.once('open', resolve); feeder.once('error', reject); });
});

// A test's browser contexts go when it ends, passed or not.
const contexts = [];
async function newContext(options) {
  const context = await browser.newContext({ locale: 'en-US', timezoneId: 'UTC', ...options });
  contexts.push(context);
  return context;
}
afterEach(async () => {
  for (const context of contexts.splice(0)) await context.close();
});

after(async () => {
  feeder?.close();
  await browser?.close();
  server?.stop();
});

const LAST20 = '#rows tr[data-id="20"] td[data-field="LAST"]';
const CHANGE20 = '#rows tr[data-id="20"] td[data-field="CHANGE"]';

// The page as the program serves it, in a browser of the given locale.
async function openQuotes({ url = `http://127.0.0.1:${server.port}/wsquotes.html`, ...options } = {}) {
  const page = await (await newContext(options)).newPage();
  page.setDefaultTimeout(TIMEOUT);
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('state').textContent === 'online');
  await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
  // A ticker update has come: the page is subscribed, it gets the tests' changes too.
  await page.waitForFunction(() => document.getElementById('updates').textContent !== '0 updates');
  return page;
}

// Another client changes row 20; resolves once the page has the new values
// (the cells keep the texts as they travel in data-value).
async function setRow20(page, record) {
  feeder.send('{"jsonrpc":"2.0", "result":{"method":"tvq@dataset","channel":"tvq@dataset@update","dataset":' +
    JSON.stringify({ ID: 20, ...record }) + '}}');
  await page.waitForFunction((values) => Object.entries(values).every(([name, value]) =>
    document.querySelector(`#rows tr[data-id="20"] td[data-field="${name}"]`).dataset.value === value), record);
}

const text = (page, selector) => page.$eval(selector, (element) => element.textContent);
const hasInput = (page) => page.$eval(LAST20, (cell) => cell.querySelector('input') !== null);

test('served by the program, the page reaches the server it came from', async () => {
  const from = server.received.length;
  const page = await openQuotes();
  // This server, not one on the default port, has the page's subscription.
  await server.receivedText(/^dataset\.tvq\.tickerhall .*"method":"tvq@subscribe", "params":\{"channel":"tvq@dataset@update"/, from);
  const cells = await page.$$eval('#rows td[data-field="LAST"]', (all) => all.map((cell) => cell.dataset.value));
  assert.ok(cells.every((price) => /^\d+,\d\d$/.test(price)), cells.join(' '));
  assert.deepEqual(await page.$$eval('#columns th', (all) => all.map((cell) => cell.textContent)),
    ['ID', 'NAME', 'EXCHANGE', 'OPEN', 'HIGH', 'LOW', 'LAST', 'CHANGE']);
  assert.match(await text(page, '#updates'), /^[1-9]\d* updates$/);
});

test("prices show in the reader's format, and the change of LAST against OPEN in its colour", async () => {
  const cases = [
    // locale, OPEN, LAST, shown LAST, shown change, its class
    ['en-US', '1000,00', '1012,50', '1,012.50', '+12.50 (+1.3%)', 'positive'],
    ['en-US', '8000,00', '7990,00', '7,990.00', '-10.00 (-0.1%)', 'negative'],
    ['de-DE', '1000,00', '1012,50', '1.012,50', '+12,50 (+1,3\u00a0%)', 'positive'],
    ['de-DE', '1000,00', '1000,00', '1.000,00', '0,00 (0,0\u00a0%)', ''],
    ['en-US', '0,00', '5,25', '5.25', '+5.25', 'positive'],
  ];
  for (const [locale, open, last, shownLast, shownChange, colour] of cases) {
    const page = await openQuotes({ locale });
    await setRow20(page, { OPEN: open, LAST: last });
    const name = `${locale} ${open} ${last}`;
    assert.equal(await text(page, LAST20), shownLast, name);
    assert.equal(await text(page, CHANGE20), shownChange, name);
    assert.equal(await page.$eval(CHANGE20, (cell) => cell.className), `number change ${colour}`.trim(), name);
    const colours = await page.$eval(CHANGE20, (cell) => getComputedStyle(cell).color);
    if (colour) assert.notEqual(colours, await page.$eval('#rows tr[data-id="20"] td[data-field="NAME"]',
      (cell) => getComputedStyle(cell).color), `${name}: coloured`);
    await page.context().close();
  }
});

test('cancelling an edit, or entering no price, keeps the price shown', async () => {
  const cases = [
    // what the reader does in the open editor, and the message it gets
    ['Escape', async (page) => page.press(`${LAST20} input`, 'Escape'), ''],
    ['a click elsewhere', async (page) => page.click('#rows tr[data-id="20"] td[data-field="NAME"]'), ''],
    ['Tab', async (page) => page.press(`${LAST20} input`, 'Tab'), ''],
    ['Enter on an empty field', async (page) => {
      await page.fill(`${LAST20} input`, '');
      await page.press(`${LAST20} input`, 'Enter');
    }, ''],
    ...['abc', '-5', '1.2.3', '12,5,0', '1e3'].map((entry) => [`Enter on "${entry}"`, async (page) => {
      await page.fill(`${LAST20} input`, entry);
      await page.press(`${LAST20} input`, 'Enter');
    }, `${entry} is not a price`]),
  ];
  const page = await openQuotes();
  await setRow20(page, { OPEN: '2000,00', LAST: '2000,00' });
  const from = server.received.length;
  for (const [what, act, message] of cases) {
    await page.click(LAST20);
    assert.equal(await page.inputValue(`${LAST20} input`), '2,000.00', what);
    await act(page);
    assert.equal(await hasInput(page), false, what);
    assert.equal(await text(page, LAST20), '2,000.00', what);
    assert.equal(await text(page, CHANGE20), '0.00 (0.0%)', what);
    assert.equal(await page.$eval('#message', (line) => line.hidden ? '' : line.textContent), message, what);
  }
  assert.equal(await page.isVisible('#message'), true);
  // None of it went to the server.
  assert.deepEqual(server.received.slice(from).filter((line) => line.startsWith('dataset.tvq.tickerhall ')), []);
});

test('a price that comes while the editor is open shows once the edit is cancelled', async () => {
  const page = await openQuotes();
  await setRow20(page, { LAST: '2000,00' });
  await page.click(LAST20);
  await page.fill(`${LAST20} input`, '2100');
  await setRow20(page, { LAST: '3000,00' });
  // The editor keeps what the reader typed.
  assert.equal(await page.inputValue(`${LAST20} input`), '2100');
  await page.press(`${LAST20} input`, 'Escape');
  assert.equal(await text(page, LAST20), '3,000.00');
});

test("a typed price goes to the server in its travelling form, in the reader's format or with . or ,", async () => {
  const cases = [
    ['en-US', '1234.5', '1234,50', '1,234.50'],
    ['en-US', '1,234.5', '1234,50', '1,234.50'],
    ['en-US', '12,5', '12,50', '12.50'],
    ['en-US', '1,234', '1234,00', '1,234.00'],
    ['de-DE', '1.234,5', '1234,50', '1.234,50'],
    ['de-DE', '12.5', '12,50', '12,50'],
    ['de-DE', ' 77 ', '77,00', '77,00'],
    ['fr-FR', '1 234,5', '1234,50', '1\u202f234,50'],
    ['en-IN', '1,23,456.5', '123456,50', '1,23,456.50'],
  ];
  for (const [locale, entry, travels, shown] of cases) {
    const page = await openQuotes({ locale });
    await setRow20(page, { LAST: '1,00' });
    const from = server.received.length;
    await page.click(LAST20);
    await page.fill(`${LAST20} input`, entry);
    await page.press(`${LAST20} input`, 'Enter');
    assert.equal(await server.receivedText(/"ID":20,"LAST"/, from),
      'dataset.tvq.tickerhall {"jsonrpc":"2.0", "result":{"method":"tvq@dataset","channel":"tvq@dataset@update",' +
      `"dataset":{"ID":20,"LAST":"${travels}"}}}`, `${locale} ${entry}`);
    // The server sends it back to every client.
    await page.waitForFunction((value) => document.querySelector('#rows tr[data-id="20"] td[data-field="LAST"]')
      .dataset.value === value, travels);
    assert.equal(await text(page, LAST20), shown, `${locale} ${entry}`);
    await page.context().close();
  }
});

test('the LAST cells work from the keyboard: Tab, Enter or F2 to edit, Escape to cancel, Enter to send', async () => {
  const page = await openQuotes();
  await setRow20(page, { LAST: '500,00' });
  // The first LAST cell is the page's first stop.
  await page.keyboard.press('Tab');
  assert.deepEqual(await page.evaluate(() => [document.activeElement.dataset.field,
    document.activeElement.closest('tr').dataset.id]), ['LAST', '1']);
  assert.match(await page.getAttribute(LAST20, 'aria-label'), /^Last price of Symbol 20: 500\.00\b/);

  await page.focus(LAST20);
  for (const key of ['Enter', 'F2']) {
    await page.keyboard.press(key);
    assert.equal(await page.evaluate(() => document.activeElement.tagName), 'INPUT', key);
    await page.keyboard.press('Escape');
    assert.equal(await hasInput(page), false, key);
    assert.equal(await text(page, LAST20), '500.00', key);
    assert.equal(await page.evaluate(() => document.activeElement.dataset.field), 'LAST', `${key}: back on the cell`);
  }

  const from = server.received.length;
  await page.keyboard.press('Enter');
  await page.keyboard.type('640.25');
  await page.keyboard.press('Enter');
  await server.receivedText(/"dataset":\{"ID":20,"LAST":"640,25"\}/, from);
  await page.waitForFunction((selector) => document.querySelector(selector).textContent === '640.25', LAST20);
  assert.equal(await page.evaluate(() => document.activeElement.dataset.field), 'LAST');
});

test("the time of the last update shows in the reader's format", async () => {
  for (const [locale, shown] of [['de-DE', /^last update 14:03:12$/], ['en-US', /^last update 2:03:12\sPM$/]]) {
    const context = await newContext({ locale });
    await context.clock.setFixedTime(new Date('2024-03-05T14:03:12Z'));
    const page = await context.newPage();
    page.setDefaultTimeout(TIMEOUT);
    await page.goto(`http://127.0.0.1:${server.port}/wsquotes.html`);
    await page.waitForFunction(() => document.getElementById('updated').textContent !== '');
    assert.match(await text(page, '#updated'), shown);
    await context.close();
  }
});

// Polls aCheck until it holds.
async function until(check, what) {
  const started = Date.now();
  while (!check()) {
    if (Date.now() - started > TIMEOUT) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// A TCP relay to the test server that can be switched off: while off, it
// drops every connection, as if no server were running.
async function startRelay(port) {
  const relay = { on: false, tries: 0, sockets: new Set() };
  const listener = net.createServer((socket) => {
    relay.tries++;
    if (!relay.on) {
      socket.destroy();
      return;
    }
    const upstream = net.connect(port, '127.0.0.1');
    for (const [a, b] of [[socket, upstream], [upstream, socket]]) {
      a.pipe(b);
      a.on('error', () => b.destroy());
      a.on('close', () => b.destroy());
      relay.sockets.add(a);
      a.on('close', () => relay.sockets.delete(a));
    }
  });
  await new Promise((resolve) => listener.listen(0, '127.0.0.1', resolve));
  relay.port = listener.address().port;
  relay.off = () => {
    relay.on = false;
    for (const socket of relay.sockets) socket.destroy();
  };
  relay.close = () => new Promise((resolve) => { relay.off(); listener.close(resolve); });
  return relay;
}

test('opened before the server runs, the page keeps trying; offline, it dims the prices until it has them again',
  async () => {
    const relay = await startRelay(server.port);
    const context = await newContext();
    try {
      const page = await context.newPage();
      page.setDefaultTimeout(TIMEOUT);
      const state = () => page.$eval('#state', (line) => [line.className, line.textContent]);
      const stale = () => page.$eval('#quotes', (table) => [table.classList.contains('stale'),
        Number(getComputedStyle(table.tBodies[0]).opacity) < 1]);
      // The file next to the program, told where the server is: it waits for
      // the server, then hands over to the page the server serves.
      await page.goto(`${new URL('../../web/wsquotes.html', import.meta.url).href}?host=127.0.0.1&port=${relay.port}`);
      await page.waitForFunction(() => document.getElementById('state').className === 'unreachable');
      assert.deepEqual(await state(), ['unreachable', 'unreachable, retrying']);
      assert.match(await text(page, '#info'), new RegExp(`127\\.0\\.0\\.1:${relay.port} does not answer`));
      const tries = relay.tries;
      await until(() => relay.tries > tries, 'another try');

      relay.on = true;
      await page.waitForURL(`http://127.0.0.1:${relay.port}/wsquotes.html`);
      await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
      await page.waitForFunction(() => document.getElementById('state').textContent === 'online');
      assert.deepEqual(await stale(), [false, false]);
      assert.match(await text(page, '#info'), /^Click or tap a price/);

      relay.off();
      await page.waitForFunction(() => document.getElementById('state').className === 'offline');
      assert.equal((await state())[1], 'offline, reconnecting');
      assert.deepEqual(await stale(), [true, true]);
      assert.equal(await page.$$eval('#rows tr', (rows) => rows.length), 20, 'the last known prices stay');
      // An edit now would be lost: the page says so.
      await page.click(LAST20);
      await page.fill(`${LAST20} input`, '5');
      await page.press(`${LAST20} input`, 'Enter');
      assert.equal(await text(page, '#message'), 'Not connected: 5 was not sent');

      relay.on = true;
      await page.waitForFunction(() => document.getElementById('state').textContent === 'online');
      await page.waitForFunction(() => !document.getElementById('quotes').classList.contains('stale'));
      assert.deepEqual(await stale(), [false, false]);
      assert.equal(await page.$$eval('#rows tr', (rows) => rows.length), 20);
    } finally {
      await relay.close();
    }
  });

test('on a phone, the moving columns fit the screen without sideways scrolling', async () => {
  const folder = process.env.TICKERHALL_ARTIFACTS || tmpdir();
  mkdirSync(folder, { recursive: true });
  for (const locale of ['en-US', 'de-DE']) {
    const page = await openQuotes({ locale, viewport: { width: 390, height: 844 }, deviceScaleFactor: 2,
      isMobile: true, hasTouch: true });
    // The widest prices the table may hold: five digits before the decimals.
    await setRow20(page, { OPEN: '19999,99', LAST: '10000,01' });
    const file = join(folder, `wsquotes-phone-${locale}.png`);
    await page.screenshot({ path: file, fullPage: true });
    console.log(`screenshot: ${file}`);
    const layout = await page.evaluate(() => ({
      width: window.innerWidth,
      scrollWidth: document.documentElement.scrollWidth,
      cells: [...document.querySelectorAll('#rows td[data-field="LAST"], #rows td[data-field="CHANGE"]')]
        .map((cell) => { const box = cell.getBoundingClientRect(); return [box.left, box.right, box.width]; }),
      hidden: [...document.querySelectorAll('#columns th')].filter((cell) => cell.offsetWidth === 0)
        .map((cell) => cell.textContent),
    }));
    assert.equal(layout.width, 390);
    assert.ok(layout.scrollWidth <= layout.width, `${locale}: the page is ${layout.scrollWidth} px wide`);
    assert.equal(layout.cells.length, 40);
    for (const [left, right, width] of layout.cells)
      assert.ok(left >= 0 && right <= layout.width && width > 0, `${locale}: a cell at ${left}..${right}`);
    assert.deepEqual(layout.hidden, ['EXCHANGE', 'OPEN', 'HIGH', 'LOW'], locale);
    await page.context().close();
  }
});
