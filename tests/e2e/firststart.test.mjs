// What a person meets first: the options, the address to open, a port that
// is taken, the base test page and a page that closes its connection.
// Runs the program on its own port 5413 (after program.test.mjs, never at
// the same time).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import WebSocket from 'ws';
import { launchChromium, TIMEOUT } from './chromium.mjs';
import { PORT, PROGRAM, serving, startProgram, waitFor } from './program.mjs';

let program;

before(async () => {
  program = startProgram(['--log-format', 'json']);
  await serving();
});

after(async () => {
  if (program.child.exitCode === null) program.child.kill('SIGKILL');
});

test('--help and --version print and exit 0; a bad option exits 2 and says why', () => {
  const cases = [
    { args: ['--help'], status: 0, out: /--port N.*\n(.*\n)*.*--listen ADDR/, err: /^$/ },
    { args: ['--version'], status: 0, out: /^tickerhall-headless \d+\.\d+\.\d+\n$/, err: /^$/ },
    { args: ['--port', 'eighty'], status: 2, out: /^$/, err: /--port/ },
    { args: ['--no-such-option'], status: 2, out: /^$/, err: /--no-such-option/ },
  ];
  for (const c of cases) {
    const run = spawnSync(PROGRAM, c.args, { encoding: 'utf8', timeout: TIMEOUT });
    assert.equal(run.status, c.status, c.args.join(' '));
    assert.match(run.stdout, c.out, c.args.join(' '));
    assert.match(run.stderr, c.err, c.args.join(' '));
  }
});

test('the log is one JSON object a line, and its first line gives the address to open', async () => {
  const first = await waitFor(() => program.raw[0], 'the first line');
  const line = JSON.parse(first);
  assert.match(line.time, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
  assert.equal(line.level, 'notice');
  assert.match(line.message, /listening on port 5413 on every address: open http:\/\/localhost:5413\/$/);
});

test('the address itself serves the live page; the icon is a 404, not a dead connection', async () => {
  for (const path of ['/', '/?port=5413', '/wsquotes.html']) {
    const answer = await fetch(`http://127.0.0.1:${PORT}${path}`);
    assert.equal(answer.status, 200, path);
    assert.match(answer.headers.get('content-type'), /^text\/html/, path);
    assert.match(await answer.text(), /<title>Tickerhall live quotes<\/title>/, path);
  }
  const icon = await fetch(`http://127.0.0.1:${PORT}/favicon.ico`);
  assert.equal(icon.status, 404);
});

test('a second program on the taken port says which address and why, and exits 1', () => {
  const run = spawnSync(PROGRAM, [], { encoding: 'utf8', timeout: TIMEOUT });
  assert.equal(run.status, 1);
  assert.match(run.stderr,
    /Could not bind socket\. (0\.0\.0\.0|\[::\]):5413: address already in use \(another program listens on that port\)/);
});

test('a client that closes gets a close frame back with its code', async () => {
  for (const code of [1000, 4001]) {
    const socket = new WebSocket(`ws://127.0.0.1:${PORT}`, 'dataset.tvq.tickerhall');
    await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
    const closed = new Promise((resolve) => socket.once('close', (got) => resolve(got)));
    socket.close(code);
    // Without the server's close frame the client sees 1006.
    assert.equal(await closed, code);
  }
});

test('the base test page works against the program, and the live page at its address', async () => {
  const browser = await launchChromium();
  try {
    const page = await browser.newPage();
    page.setDefaultTimeout(TIMEOUT);
    await page.goto(`http://127.0.0.1:${PORT}/tvq.tickerhall.html`);
    await page.click('#open');
    await page.waitForFunction(() => document.getElementById('status').textContent === 'online');
    await page.click('#subscribe');
    await page.waitForFunction(() => [...document.querySelectorAll('#log li')]
      .some((item) => item.textContent === 'tvqsubscribe: test'));
    await page.click('#publish');
    await page.waitForFunction(() => [...document.querySelectorAll('#log li')]
      .some((item) => item.textContent === 'tvqevent: test Hello Subscribers!'));
    // A close the page starts is answered: the page sees the code it sent.
    await page.click('#close');
    await page.waitForFunction(() => document.getElementById('status').textContent === 'offline');
    const log = await page.$$eval('#log li', (items) => items.map((item) => item.textContent));
    assert.ok(log.some((line) => line.startsWith('close: 1000')), log.join('\n'));

    const live = await browser.newPage();
    live.setDefaultTimeout(TIMEOUT);
    await live.goto(`http://127.0.0.1:${PORT}/`);
    await live.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
  } finally {
    await browser.close();
  }
});

test('SIGTERM stops the program cleanly', async () => {
  program.child.kill('SIGTERM');
  assert.deepEqual(await program.exited, { code: 0, signal: null });
});
