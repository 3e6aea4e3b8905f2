// Access control of the program itself, headless (TICKERHALL_HEADLESS), on
// a loopback port the test picks (never 5413), with a users file whose
// hashes the program's own --hash-password made: a page from another origin
// (a second loopback port) cannot connect nor edit; the served live page
// logs in as an editor and edits; a viewer gets no edit control; hostile
// names stay text in every served page.
import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import WebSocket from 'ws';
import { launchChromium, TIMEOUT } from './chromium.mjs';
import { freePort, PROGRAM, serving, startProgram, waitFor } from './program.mjs';

let program, browser, port, folder, foreign;

function hash(password) {
  const made = spawnSync(PROGRAM, ['--hash-password'], { input: `${password}\n`, encoding: 'utf8' });
  assert.equal(made.status, 0, made.stderr);
  return made.stdout.trim();
}

before(async () => {
  folder = mkdtempSync(join(tmpdir(), 'tickerhall-access-'));
  const users = join(folder, 'users');
  writeFileSync(users, `# the test's users\ned:${hash('ed pass/1')}:editor\nvi:${hash('vi-pass')}:viewer\n`);
  port = await freePort();
  program = startProgram(['--port', String(port), '--listen', '127.0.0.1', '--users', users]);
  await serving(port);
  browser = await launchChromium();
  // The foreign site: another origin on the same machine, whose page tries
  // to reach the program and change row 20.
  foreign = createServer((request, answer) => {
    answer.writeHead(200, { 'Content-Type': 'text/html' });
    answer.end(`<!DOCTYPE html><script>
      window.result = 'pending';
      var socket = new WebSocket('ws://127.0.0.1:${port}/tvq/auth/url/ed/' + encodeURIComponent('ed pass/1'),
        'dataset.tvq.tickerhall');
      socket.onopen = function () {
        socket.send('{"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@update",' +
          '"dataset":{"ID":20,"NAME":"hijacked"}}}');
        window.result = 'opened';
      };
      socket.onclose = function (e) { if (window.result === 'pending') window.result = 'refused ' + e.code; };
    </script>`);
  });
  await new Promise((resolve) => foreign.listen(0, '127.0.0.1', resolve));
});

const contexts = [];
async function newPage() {
  const context = await browser.newContext();
  contexts.push(context);
  const page = await context.newPage();
  page.setDefaultTimeout(TIMEOUT);
  return page;
}
afterEach(async () => {
  for (const context of contexts.splice(0)) await context.close();
});

after(async () => {
  await browser?.close();
  foreign?.close();
  if (program && program.child.exitCode === null) {
    program.child.kill('SIGTERM');
    await program.exited;
  }
  rmSync(folder, { recursive: true, force: true });
});

// A WebSocket client of the test's own (node sends no Origin), logged in
// when a user is given; resolves once its connect sequence has come.
async function client(user, password) {
  const path = user ? `/tvq/auth/url/${encodeURIComponent(user)}/${encodeURIComponent(password)}` : '';
  const socket = new WebSocket(`ws://127.0.0.1:${port}${path}`, 'dataset.tvq.tickerhall');
  socket.texts = [];
  socket.on('message', (data) => socket.texts.push(JSON.parse(data.toString())));
  await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
  await waitFor(() => socket.texts.length >= 24, 'the connect sequence');
  return socket;
}

function setName(socket, name) {
  socket.send(JSON.stringify({ jsonrpc: '2.0', result: { method: 'tvq@dataset', channel: 'tvq@dataset@update',
    dataset: { ID: 20, NAME: name } } }));
}

test('a page from another origin cannot connect, so cannot edit', async () => {
  const page = await newPage();
  await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
  await page.waitForFunction(() => window.result !== 'pending');
  assert.equal(await page.evaluate(() => window.result), 'refused 1006');
  assert.ok(!program.output.some((line) => line.includes('row 20')), program.output.join('\n'));
});

test('the served live page logs in as an editor and edits a price', async () => {
  const page = await newPage();
  await page.goto(`http://127.0.0.1:${port}/wsquotes.html`);
  // A users file: the page offers a login and, until then, only watching.
  await page.waitForSelector('#login:not([hidden])');
  await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
  assert.equal(await page.locator('#rows td.editable').count(), 0);
  await page.fill('#login-user', 'ed');
  await page.fill('#login-password', 'ed pass/1');
  await page.click('#login button');
  await page.waitForFunction(() => document.getElementById('user-line').textContent === 'logged in as ed');
  await page.waitForFunction(() => document.querySelectorAll('#rows td.editable').length === 20);
  await page.click('#rows tr[data-id="20"] td[data-field="LAST"]');
  await page.keyboard.type('4321.5');
  await page.keyboard.press('Enter');
  await waitFor(() => program.output.find((line) => /^Edited: [0-9A-F]{32} row 20$/.test(line)), 'the edit in the log');
});

test('a viewer sees no edit control and its edits change nothing', async () => {
  const page = await newPage();
  await page.goto(`http://127.0.0.1:${port}/wsquotes.html`);
  await page.waitForSelector('#login:not([hidden])');
  await page.fill('#login-user', 'vi');
  await page.fill('#login-password', 'vi-pass');
  await page.click('#login button');
  await page.waitForFunction(() => document.getElementById('user-line').textContent === 'logged in as vi');
  await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
  assert.equal(await page.locator('#rows td.editable').count(), 0);
  await page.click('#rows tr[data-id="19"] td[data-field="LAST"]');
  assert.equal(await page.locator('#rows input').count(), 0);
  assert.match(await page.textContent('#info'), /only an editor can change them/);
  // Straight from the viewer's own socket: refused, nothing logged.
  const viewer = await client('vi', 'vi-pass');
  setName(viewer, 'changed by a viewer');
  viewer.send('{"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"tvq@dataset@delete","dataset":{"ID":19}},"id":"d"}');
  await waitFor(() => viewer.texts.find((t) => t.id === 'd'), 'the refusal');
  assert.deepEqual(viewer.texts.find((t) => t.id === 'd').error, { code: -32001, message: 'Not allowed: read-only access' });
  assert.ok(!program.output.some((line) => /row 19$/.test(line)));
  viewer.close();
});

test('a wrong password is refused with 1008 and slowed down', async () => {
  const socket = new WebSocket(`ws://127.0.0.1:${port}/tvq/auth/url/ed/wrong`, 'dataset.tvq.tickerhall');
  const texts = [];
  socket.on('message', (data) => texts.push(data.toString()));
  const [code, reason] = await new Promise((resolve) => socket.once('close', (c, r) => resolve([c, r.toString()])));
  assert.deepEqual([code, reason, texts], [1008, 'Authentication failed', []]);
  await waitFor(() => program.output.includes('Login failed: ed from 127.0.0.1'), 'the failed login in the log');
  assert.ok(!program.raw.some((line) => line.includes('wrong')));
});

test('hostile names show as text in every served page', async () => {
  const editor = await client('ed', 'ed pass/1');
  // Each within the NAME field's 30 characters.
  const hostile = ['<img src=x onerror=pwned=1>', '</script><script>pwned=2//', '<svg onload=pwned=3>'];
  for (const name of hostile) {
    setName(editor, name);
    // The live page (anonymous viewer) and the dataset test page, both served.
    const live = await newPage();
    await live.goto(`http://127.0.0.1:${port}/wsquotes.html`);
    await live.waitForFunction((n) => document.querySelector('#rows tr[data-id="20"] td[data-field="NAME"]')
      ?.textContent === n, name);
    const test = await newPage();
    await test.goto(`http://127.0.0.1:${port}/dataset.tvq.tickerhall.html`);
    await test.click('#open');
    await test.waitForFunction(() => document.getElementById('status').textContent === 'online');
    await test.click('#synchronize');
    await test.waitForFunction((n) => Array.from(document.querySelectorAll('#log li'))
      .some((item) => item.textContent.includes(n)), name);
    for (const page of [live, test]) {
      assert.equal(await page.evaluate(() => window.pwned), undefined, name);
      assert.equal(await page.locator('#rows img, #rows svg, #log img, #log svg').count(), 0, name);
    }
  }
  editor.close();
});

test('the served live page talks to its own origin only, whatever ?host= says', async () => {
  const page = await newPage();
  const asked = [];
  page.on('request', (request) => asked.push(request.url()));
  await page.goto(`http://127.0.0.1:${port}/?host=127.0.0.2&port=${foreign.address().port}`);
  await page.waitForFunction(() => document.getElementById('state').textContent === 'online');
  await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
  assert.deepEqual(asked.filter((url) => !url.startsWith(`http://127.0.0.1:${port}/`)), []);
});
