// The program itself, headless, on its own port 5413
// (TICKERHALL_HEADLESS: its executable, with wsquotes.html beside it):
// an independent WebSocket client, the log on standard output, a clean
// stop on SIGTERM, and the live-quotes page in headless Chromium.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { dirname, join } from 'node:path';
import { pathToFileURL } from 'node:url';
import WebSocket from 'ws';
import { launchChromium, TIMEOUT } from './chromium.mjs';
import { PORT, PROGRAM, serving, startProgram, waitFor } from './program.mjs';

let program, output;

before(async () => {
  program = startProgram();
  output = program.output;  // the log lines without their timestamps
});

after(async () => {
  if (program.child.exitCode === null) program.child.kill('SIGKILL');
});

test('a WebSocket client gets the connect sequence, then ticker updates, and the program logs it', async () => {
  await serving();
  const socket = new WebSocket(`ws://127.0.0.1:${PORT}`, 'dataset.tvq.tickerhall');
  const texts = [];
  socket.on('message', (data) => texts.push(JSON.parse(data.toString())));
  await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
  assert.equal(socket.protocol, 'dataset.tvq.tickerhall');
  await waitFor(() => texts.length >= 24, 'the connect sequence');
  const guid = texts[0].result.message;
  assert.equal(texts[0].result.method, 'tvq@session');
  assert.match(guid, /^[0-9A-F]{32}$/);
  assert.equal(texts[1].result.method, 'tvq@metadata');
  assert.deepEqual(Object.values(texts[1].result.metadata).map((f) => f.fieldname),
    ['ID', 'NAME', 'EXCHANGE', 'OPEN', 'HIGH', 'LOW', 'LAST']);
  assert.equal(texts[2].result.dataset_recordcount, 20);
  assert.deepEqual(texts.slice(3, 23).map((t) => t.result.dataset.ID), Array.from({ length: 20 }, (_, i) => i + 1));
  assert.equal(texts[23].result.method, 'tvq@dataset@req@records@end');
  await waitFor(() => output.includes(`Connected: ${guid}`), 'the connect line');

  socket.send('{"jsonrpc":"2.0", "method":"tvq@subscribe", "params":{"channel":"tvq@dataset@update", "message":""}, "id":"s1"}');
  await waitFor(() => texts.some((t) => t.result?.method === 'tvq@subscribe'), 'the subscribe reply');
  const before = texts.length;
  await waitFor(() => texts.slice(before).filter((t) => t.result?.channel === 'tvq@dataset@update').length >= 3,
    'ticker updates');
  await waitFor(() => output.includes(`Subscribed: ${guid}:tvq@dataset@update`), 'the subscription line');
  socket.close(1000);
  await waitFor(() => output.includes(`Disconnected (1000): ${guid}`), 'the disconnect line');
});

test('the live-quotes page shows the 20 quotes and their changes', async () => {
  await serving();
  const browser = await launchChromium();
  try {
    const page = await browser.newPage({ locale: 'en-US' });
    page.setDefaultTimeout(TIMEOUT);
    // The copy next to the program (what the window's browser buttons open)
    // hands over to the page the program serves, whose origin it lets in.
    await page.goto(pathToFileURL(join(dirname(PROGRAM), 'wsquotes.html')).href);
    await page.waitForURL('http://localhost:5413/wsquotes.html');
    await page.waitForFunction(() => document.getElementById('state').textContent === 'online');
    await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
    // The cells keep each price as it travels ("8265,50") in data-value and
    // show it in the reader's format.
    const lastPrices = () => page.$$eval('#rows td[data-field="LAST"]', (cells) => cells.map((c) => c.dataset.value));
    const first = await lastPrices();
    assert.ok(first.every((price) => /^\d+,\d\d$/.test(price)), first.join(' '));
    await page.waitForFunction((before) => [...document.querySelectorAll('#rows td[data-field="LAST"]')]
      .some((cell, i) => cell.dataset.value !== before[i]), first);
    await page.waitForFunction(() => document.querySelector('#rows tr.up, #rows tr.down') !== null);

    // A price typed into the page goes to the server and comes back.
    await page.click('#rows tr[data-id="20"] td[data-field="LAST"]');
    await page.fill('#rows tr[data-id="20"] td[data-field="LAST"] input', '1234.5');
    await page.press('#rows tr[data-id="20"] td[data-field="LAST"] input', 'Enter');
    await page.waitForFunction(() =>
      document.querySelector('#rows tr[data-id="20"] td[data-field="LAST"]').dataset.value === '1234,50');
    assert.equal(await page.textContent('#rows tr[data-id="20"] td[data-field="LAST"]'), '1,234.50');
  } finally {
    await browser.close();
  }
});

test('SIGTERM stops the program cleanly', async () => {
  program.child.kill('SIGTERM');
  const { code, signal } = await program.exited;
  assert.equal(signal, null);
  assert.equal(code, 0);
});
