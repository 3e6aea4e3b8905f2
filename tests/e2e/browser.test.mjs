// The served test pages in headless Chromium against a real server on an
// ephemeral port (TICKERHALL_E2E_SERVER: the test server program).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchChromium, TIMEOUT } from './chromium.mjs';
import { startServer } from './e2eserver.mjs';

let server, port, browser, received, receivedText;

before(async () => {
  server = await startServer();
  ({ port, received, receivedText } = server);
  browser = await launchChromium();
});

after(async () => {
  await browser?.close();
  server?.stop();
});

async function openPage(file) {
  const page = await browser.newPage();
  page.setDefaultTimeout(TIMEOUT);
  await page.goto(`http://127.0.0.1:${port}/${file}`);
  await page.click('#open');
  await page.waitForFunction(() => document.getElementById('status').textContent === 'online');
  assert.equal(await page.getAttribute('#status', 'class'), 'online');
  return page;
}

// The page's log, oldest line first.
async function logOf(page) {
  return (await page.$$eval('#log li', (items) => items.map((item) => item.textContent))).reverse();
}

async function waitForLog(page, prefix, times = 1) {
  await page.waitForFunction(([p, n]) => [...document.querySelectorAll('#log li')]
    .filter((item) => item.textContent.startsWith(p)).length >= n, [prefix, times]);
}

test('the dataset page shows the connect sequence, then ticker updates once subscribed', async () => {
  const page = await openPage('dataset.tvq.tickerhall.html');
  await waitForLog(page, 'tvqaftersynchronize: cdsQuotes');
  const log = await logOf(page);
  assert.equal(log[0], 'open');
  assert.match(log[1], /^tvqsession: [0-9A-F]{32}$/);
  assert.match(log[2], /^tvqmetadata: \{"field0":\{"fieldname":"ID","datatype":"ftInteger","datasize":4,"keyfield":true\},/);
  assert.equal(log[3], 'tvqbeforesynchronize: cdsQuotes 20');
  for (let id = 1; id <= 20; id++)
    assert.match(log[3 + id], new RegExp(`^tvqdataset: tvq@dataset@update \\{"ID":${id},"NAME":"Symbol ${id}","EXCHANGE":"Nasdaq","OPEN":"\\d+,\\d\\d",`));
  assert.equal(log[24], 'tvqaftersynchronize: cdsQuotes');
  assert.equal(log.length, 25);

  await page.click('#subscribe');
  await waitForLog(page, 'tvqsubscribe: tvq@dataset@delete');
  // The ticker moves a quote every 250 ms: updates keep arriving.
  await waitForLog(page, 'tvqdataset: tvq@dataset@update', 23);
  await page.close();
});

test('an edit from one page reaches a second page subscribed to the update channel', async () => {
  const editor = await openPage('dataset.tvq.tickerhall.html');
  const watcher = await openPage('dataset.tvq.tickerhall.html');
  await watcher.click('#subscribe');
  await waitForLog(watcher, 'tvqsubscribe: tvq@dataset@update');
  const from = received.length;
  await editor.evaluate(() => client.dataset_update('{"ID":3,"LAST":"1234,50"}'));
  assert.equal(await receivedText(/"LAST":"1234,50"/, from),
    'dataset.tvq.tickerhall {"jsonrpc":"2.0", "result":{"method":"tvq@dataset","channel":"tvq@dataset@update","dataset":{"ID":3,"LAST":"1234,50"}}}');
  await watcher.waitForFunction(() => [...document.querySelectorAll('#log li')]
    .some((item) => /^tvqdataset: tvq@dataset@update \{"ID":3,.*"LAST":"1234,50"\}$/.test(item.textContent)));
  await editor.close();
  await watcher.close();
});

test("the base page's links send their texts and show the server's replies", async () => {
  const page = await openPage('tvq.tickerhall.html');
  await waitForLog(page, 'tvqsession: ');
  const guid = '([0-9a-f]{8,32})';
  const steps = [
    ['send', `^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@message", "params":\\{"message":"Hello from the test page"\\}, "id":"${guid}"\\}$`, []],
    ['broadcast', '^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@broadcast", "params":\\{"channel":"test", "message":"Hello everybody!"\\}\\}$', []],
    ['subscribe', `^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@subscribe", "params":\\{"channel":"test", "message":""\\}, "id":"${guid}"\\}$`, ['tvqsubscribe: test']],
    ['publish', `^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@publish", "params":\\{"channel":"test", "message":"Hello Subscribers!"\\}, "id":"${guid}"\\}$`, ['tvqevent: test Hello Subscribers!']],
    ['rpc', `^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"test", "params":"\\{\\\\"param\\\\":10\\}", "id":"${guid}"\\}$`, ['tvqrpcerror: -32601 Method not found. The method does not exist / is not available.']],
    ['notify', '^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"test", "params":""\\}$', []],
    ['session', '^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@session"\\}$', ['tvqsession: ']],
    ['unsubscribe', `^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@unsubscribe", "params":\\{"channel":"test", "message":""\\}, "id":"${guid}"\\}$`, ['tvqunsubscribe: test']],
    ['starttransaction', '^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@transaction", "params":\\{"channel":"test", "message":""\\}\\}$', []],
    ['commit', '^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@commit", "params":\\{"channel":"test", "message":""\\}\\}$', []],
    ['rollback', '^tvq\\.tickerhall \\{"jsonrpc":"2\\.0", "method":"tvq@rollback", "params":\\{"channel":"test", "message":""\\}\\}$', []],
  ];
  for (const [link, form, replies] of steps) {
    const from = received.length;
    const before = (await logOf(page)).length;
    await page.click(`#${link}`);
    const text = await receivedText(new RegExp(form), from);
    const id = new RegExp(form).exec(text)[1];
    // Every request with an id is acknowledged.
    if (id) await waitForLog(page, `tvqacknowledgment: ${id}`);
    for (const reply of replies)
      await page.waitForFunction(([p, n]) => {
        const items = [...document.querySelectorAll('#log li')];  // newest first
        return items.slice(0, items.length - n).some((item) => item.textContent.startsWith(p));
      }, [reply, before]);
  }
  await page.click('#state');
  await waitForLog(page, 'state: open');
  await page.click('#close');
  await page.waitForFunction(() => document.getElementById('status').textContent === 'offline');
  await page.close();
});

test('the generic page connects and sends its test text', async () => {
  const page = await openPage('tvqWebSockets.html');
  await page.click('#send');
  await page.click('#state');
  await waitForLog(page, 'state: open');
  await page.close();
});

// Each test page with its links that act on the connection.
const pages = [
  ['tvqWebSockets.html', ['send']],
  ['tvq.tickerhall.html', ['starttransaction', 'commit', 'rollback', 'send', 'broadcast', 'subscribe', 'unsubscribe',
    'publish', 'rpc', 'notify', 'session']],
  ['dataset.tvq.tickerhall.html', ['starttransaction', 'commit', 'rollback', 'send', 'broadcast', 'subscribe',
    'unsubscribe', 'publish', 'rpc', 'notify', 'synchronize', 'getmetadata']],
];

test('a link used before Open or after Close logs that there is no connection', async () => {
  const NOT_OPEN = 'not connected: press Open first';
  for (const [file, links] of pages) {
    const page = await browser.newPage();
    page.setDefaultTimeout(TIMEOUT);
    const errors = [];
    page.on('pageerror', (error) => errors.push(error.message));
    // Sending on a closed WebSocket throws nothing, it only complains.
    page.on('console', (message) => { if (/WebSocket/.test(message.text())) errors.push(message.text()); });
    await page.goto(`http://127.0.0.1:${port}/${file}`);

    for (const link of [...links, 'state', 'close']) await page.click(`#${link}`);
    assert.deepEqual(await logOf(page), Array(links.length + 2).fill(NOT_OPEN), file);

    await page.click('#open');
    await page.waitForFunction(() => document.getElementById('status').textContent === 'online');
    await page.click('#close');
    await page.waitForFunction(() => document.getElementById('status').textContent === 'offline');
    const before = (await logOf(page)).length;
    for (const link of [...links, 'close']) await page.click(`#${link}`);
    await page.click('#state');
    assert.deepEqual((await logOf(page)).slice(before), [...Array(links.length + 1).fill(NOT_OPEN), 'state: closed'], file);
    assert.deepEqual(errors, [], file);
    await page.close();
  }
});

test('the log keeps its newest 500 lines, and Clear empties it', async () => {
  const page = await openPage('dataset.tvq.tickerhall.html');
  await waitForLog(page, 'tvqaftersynchronize: cdsQuotes');
  // 25 lines from the connect sequence, then 480 more: the 5 oldest go.
  await page.evaluate(() => {
    for (let i = 0; i < 480; i++) document.getElementById('state').click();
  });
  const log = await logOf(page);
  assert.equal(log.length, 500);
  assert.match(log[0], /^tvqdataset: tvq@dataset@update \{"ID":2,/);
  assert.equal(log[499], 'state: open');

  await page.click('#clear');
  assert.deepEqual(await logOf(page), []);
  await page.click('#state');
  assert.deepEqual(await logOf(page), ['state: open']);
  await page.close();
});
