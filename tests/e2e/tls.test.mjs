// TLS in the program itself, headless (TICKERHALL_HEADLESS), with a
// throw-away CA and server certificates that the `openssl` command makes
// in a temporary folder (never kept): plain and TLS side by side on
// loopback ports the test picks (never 5413); a Node `ws` client that trusts
// only the test CA; the live page in headless Chromium over https with its
// updates over wss; the pages served over TLS naming https and wss; SIGHUP
// with a new pair (open connections go on, new ones get the new
// certificate) and with a broken one (the pair in use stays, the error says
// why); the one port speaking TLS; and a broken pair at start.
import { after, afterEach, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { copyFileSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import tls from 'node:tls';
import WebSocket from 'ws';
import { launchChromium, TIMEOUT } from './chromium.mjs';
import { freePort, PROGRAM, serving, startProgram, waitFor } from './program.mjs';

let folder, ca, program, plainPort, tlsPort, liveCert, liveKey;
const others = [];   // programs a test starts of its own
const sockets = [];  // WebSocket clients, closed when their test ends

// ---- the throw-away certificates

function openssl(...args) {
  const run = spawnSync('openssl', args, { cwd: folder, encoding: 'utf8' });
  assert.equal(run.error, undefined, `the openssl command is needed: ${run.error}`);
  assert.equal(run.status, 0, `openssl ${args.join(' ')}\n${run.stderr}`);
}

const EC = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes'];
let serial = 1;

// NAME.pem and NAME.key: a server certificate for localhost and 127.0.0.1,
// signed by the test CA, whose subject's common name is NAME.
function makeServerPair(name) {
  writeFileSync(join(folder, `${name}.ext`), 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' +
    'keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n');
  openssl('req', ...EC, '-subj', `/CN=${name}`, '-keyout', `${name}.key`, '-out', `${name}.csr`);
  openssl('x509', '-req', '-in', `${name}.csr`, '-CA', 'ca.pem', '-CAkey', 'ca.key', '-set_serial', String(serial++),
    '-days', '2', '-extfile', `${name}.ext`, '-out', `${name}.pem`);
}

const file = (name) => join(folder, name);

// Puts a pair where the program reads it (its --tls-cert and --tls-key).
function install(certName, keyName) {
  copyFileSync(file(certName), liveCert);
  copyFileSync(file(keyName), liveKey);
}

// ---- clients

// The certificate a new TLS connection gets, checked against the test CA
// (the server name sent, localhost, is one the certificate names), and the
// protocol ALPN chose.
function peerCertificate(port) {
  return new Promise((resolve, reject) => {
    const socket = tls.connect({ host: '127.0.0.1', port, ca, servername: 'localhost', ALPNProtocols: ['http/1.1'] },
      () => {
        const certificate = socket.getPeerCertificate();
        resolve({ name: certificate.subject.CN, fingerprint: certificate.fingerprint256, alpn: socket.alpnProtocol });
        socket.end();
      });
    socket.once('error', reject);
  });
}

// A client of the quote table; resolves once its connect sequence has come.
async function quotesClient(url, options = {}) {
  const socket = new WebSocket(url, 'dataset.tvq.tickerhall', options);
  sockets.push(socket);
  socket.texts = [];
  socket.on('message', (data) => socket.texts.push(JSON.parse(data.toString())));
  await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
  await waitFor(() => socket.texts.length >= 24, `the connect sequence on ${url}`);
  return socket;
}

const wssClient = (port) => quotesClient(`wss://127.0.0.1:${port}`, { ca });

// Subscribes to the table's updates; resolves once the answer has come.
async function subscribe(socket) {
  socket.send('{"jsonrpc":"2.0", "method":"tvq@subscribe", "params":{"channel":"tvq@dataset@update", "message":""}, "id":"s1"}');
  await waitFor(() => socket.texts.some((t) => t.result?.method === 'tvq@subscribe'), 'the subscribe answer');
}

const updates = (socket, from = 0) =>
  socket.texts.slice(from).filter((t) => t.result?.channel === 'tvq@dataset@update').length;

function get(module, port, path, options = {}) {
  return new Promise((resolve, reject) => {
    module.get({ host: '127.0.0.1', port, path, ...options }, (answer) => {
      let body = '';
      answer.setEncoding('utf8');
      answer.on('data', (chunk) => { body += chunk; });
      answer.on('end', () => resolve({ status: answer.statusCode, body }));
    }).once('error', reject);
  });
}

// What a plain HTTP request on a port gets back before the connection closes.
function plainRequest(port, path = '/') {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => socket.write(`GET ${path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n`));
    let text = '';
    socket.setEncoding('latin1');
    socket.on('data', (chunk) => { text += chunk; });
    socket.once('close', () => resolve(text));
    socket.once('error', (error) => (error.code === 'ECONNRESET' ? resolve(text) : reject(error)));
    socket.setTimeout(TIMEOUT, () => socket.destroy(new Error('the TLS port kept a plain request open')));
  });
}

// A program of the test's own; resolves with it once it has said where it
// listens, or has ended.
async function startOther(args) {
  const other = startProgram(args);
  others.push(other);
  await waitFor(() => other.output.some((line) => line.includes(' listening on ')) || other.child.exitCode !== null,
    'the program to start');
  return other;
}

before(async () => {
  folder = mkdtempSync(join(tmpdir(), 'tickerhall-tls-'));
  openssl('req', '-x509', ...EC, '-days', '2', '-subj', '/CN=Tickerhall throw-away test CA',
    '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign,cRLSign',
    '-keyout', 'ca.key', '-out', 'ca.pem');
  makeServerPair('first');
  makeServerPair('second');
  ca = readFileSync(file('ca.pem'));
  liveCert = file('live-cert.pem');
  liveKey = file('live-key.pem');
  install('first.pem', 'first.key');
  plainPort = await freePort();
  do tlsPort = await freePort(); while (tlsPort === plainPort);
  program = await startOther(['--port', String(plainPort), '--listen', '127.0.0.1', '--tls-cert', liveCert,
    '--tls-key', liveKey, '--tls-port', String(tlsPort)]);
  assert.equal(program.child.exitCode, null, program.errors.join('\n'));
  await serving(plainPort);
});

afterEach(() => {
  for (const socket of sockets.splice(0)) socket.terminate();
});

after(async () => {
  for (const other of others) {
    if (other.child.exitCode !== null) continue;
    other.child.kill('SIGTERM');
    await other.exited;
  }
  if (folder) rmSync(folder, { recursive: true, force: true });
});

test('the first line names the plain and the https address', () => {
  const line = program.output.find((text) => text.includes(' listening on '));
  assert.ok(line.endsWith(`listening on port ${plainPort} on 127.0.0.1: open http://127.0.0.1:${plainPort}/; ` +
    `TLS on port ${tlsPort}: open https://127.0.0.1:${tlsPort}/`), line);
});

test('plain and TLS side by side: the same table over ws and over wss, updates on both', async () => {
  const secure = await wssClient(tlsPort);
  const plain = await quotesClient(`ws://127.0.0.1:${plainPort}`);
  for (const socket of [secure, plain]) {
    assert.equal(socket.protocol, 'dataset.tvq.tickerhall');
    assert.equal(socket.texts[0].result.method, 'tvq@session');
    assert.equal(socket.texts[1].result.method, 'tvq@metadata');
    assert.deepEqual(Object.values(socket.texts[1].result.metadata).map((f) => f.fieldname),
      ['ID', 'NAME', 'EXCHANGE', 'OPEN', 'HIGH', 'LOW', 'LAST']);
    assert.equal(socket.texts[2].result.dataset_recordcount, 20);
    assert.deepEqual(socket.texts.slice(3, 23).map((t) => t.result.dataset.ID),
      Array.from({ length: 20 }, (_, i) => i + 1));
    assert.equal(socket.texts[23].result.method, 'tvq@dataset@req@records@end');
  }
  // The wss client is one of the program's clients like any other.
  const guid = secure.texts[0].result.message;
  await waitFor(() => program.output.includes(`Connected: ${guid}`), 'the connect line of the wss client');
  await subscribe(secure);
  const from = secure.texts.length;
  await waitFor(() => updates(secure, from) >= 3, 'ticker updates over wss');

  const certificate = await peerCertificate(tlsPort);
  assert.equal(certificate.name, 'first');
  assert.equal(certificate.alpn, 'http/1.1');
  // A plain request on the TLS port is not served the page.
  const answer = await plainRequest(tlsPort);
  assert.ok(answer === '' || answer.startsWith('HTTP/1.1 400 '), answer);
});

test('pages served over TLS name https and wss; over the plain port http and ws', async () => {
  for (const page of ['/tvq.tickerhall.html', '/dataset.tvq.tickerhall.html', '/tvqWebSockets.html']) {
    const secure = await get(https, tlsPort, page, { ca });
    assert.equal(secure.status, 200, page);
    assert.ok(secure.body.includes(`src="https://127.0.0.1:${tlsPort}/tvqWebSockets.js"`), `${page}\n${secure.body}`);
    assert.ok(secure.body.includes(`('wss://127.0.0.1:${tlsPort}')`), `${page}\n${secure.body}`);
    assert.ok(!/\b(http|ws):\/\//.test(secure.body), `${page}\n${secure.body}`);

    const plain = await get(http, plainPort, page);
    assert.equal(plain.status, 200, page);
    assert.ok(plain.body.includes(`src="http://127.0.0.1:${plainPort}/tvqWebSockets.js"`), `${page}\n${plain.body}`);
    assert.ok(plain.body.includes(`('ws://127.0.0.1:${plainPort}')`), `${page}\n${plain.body}`);
  }
});

test('the live page over https shows the quotes and their updates over wss', async () => {
  const browser = await launchChromium(['--ignore-certificate-errors']);
  try {
    const page = await browser.newPage({ locale: 'en-US' });
    page.setDefaultTimeout(TIMEOUT);
    const urls = [];
    page.on('websocket', (socket) => urls.push(socket.url()));
    await page.goto(`https://127.0.0.1:${tlsPort}/`);
    await page.waitForFunction(() => document.getElementById('state').textContent === 'online');
    await page.waitForFunction(() => document.querySelectorAll('#rows tr').length === 20);
    assert.ok(urls.length > 0 && urls.every((url) => url.startsWith(`wss://127.0.0.1:${tlsPort}`)), urls.join(' '));
    const lastPrices = () => page.$$eval('#rows td[data-field="LAST"]', (cells) => cells.map((c) => c.dataset.value));
    const first = await lastPrices();
    assert.ok(first.every((price) => /^\d+,\d\d$/.test(price)), first.join(' '));
    await page.waitForFunction((before) => [...document.querySelectorAll('#rows td[data-field="LAST"]')]
      .some((cell, i) => cell.dataset.value !== before[i]), first);
    await page.waitForFunction(() => document.getElementById('updates').textContent !== '0 updates');
  } finally {
    await browser.close();
  }
});

test('SIGHUP: new connections get the new certificate, open ones keep receiving', async () => {
  const before = await peerCertificate(tlsPort);
  assert.equal(before.name, 'first');
  const open = await wssClient(tlsPort);
  await subscribe(open);
  let closed = false;
  open.once('close', () => { closed = true; });

  install('second.pem', 'second.key');
  program.child.kill('SIGHUP');
  await waitFor(() => program.output.includes(`TLS certificate reloaded from ${liveCert}`), 'the reload line');
  const from = open.texts.length;
  await waitFor(() => updates(open, from) >= 3, 'updates on the connection opened before the reload');
  assert.equal(closed, false);

  const after = await peerCertificate(tlsPort);
  assert.equal(after.name, 'second');
  assert.notEqual(after.fingerprint, before.fingerprint);
  await wssClient(tlsPort);  // the CA vouches for the new one too
  assert.equal(program.child.exitCode, null);
});

test('a reload that fails keeps the pair in use and says why', async () => {
  const inUse = await peerCertificate(tlsPort);
  const open = await wssClient(tlsPort);
  await subscribe(open);
  const errorsBefore = program.errors.length;
  const reloaded = () => program.output.filter((text) => text.includes('TLS certificate reloaded from')).length;
  const reloadsBefore = reloaded();
  // The first key beside the second certificate: not a pair.
  install('second.pem', 'first.key');
  program.child.kill('SIGHUP');
  const line = await waitFor(() => program.errors.slice(errorsBefore).find((text) => text.includes('not reloaded')),
    'the failed reload line');
  assert.ok(line.includes(liveKey) && /does not match/.test(line), line);
  assert.equal(reloaded(), reloadsBefore, program.output.join('\n'));

  const still = await peerCertificate(tlsPort);
  assert.equal(still.fingerprint, inUse.fingerprint);
  const from = open.texts.length;
  await waitFor(() => updates(open, from) >= 3, 'updates after the failed reload');
  await wssClient(tlsPort);
  assert.equal(program.child.exitCode, null);
});

test('with a certificate and no TLS port, the one port speaks TLS', async () => {
  const port = await freePort();
  const other = await startOther(['--port', String(port), '--listen', '127.0.0.1', '--tls-cert', file('first.pem'),
    '--tls-key', file('first.key')]);
  assert.equal(other.child.exitCode, null, other.errors.join('\n'));
  const line = other.output.find((text) => text.includes(' listening on '));
  assert.ok(line.endsWith(`listening on port ${port} on 127.0.0.1, TLS: open https://127.0.0.1:${port}/`), line);
  const socket = await wssClient(port);
  assert.equal(socket.texts[0].result.method, 'tvq@session');
  assert.equal((await get(https, port, '/wsquotes.html', { ca })).status, 200);
  const answer = await plainRequest(port);
  assert.ok(answer === '' || answer.startsWith('HTTP/1.1 400 '), answer);
});

// Each broken pair: exit status 2, before anything listens, with the file's
// name and what is wrong with it.
test('a broken pair at start ends the program with status 2 and names the file', async () => {
  writeFileSync(file('not-pem.txt'), 'this is no certificate\n');
  const missing = file('missing.pem');
  const cases = [
    { cert: missing, key: file('first.key'), names: missing, says: /cannot be read/ },
    { cert: file('not-pem.txt'), key: file('first.key'), names: file('not-pem.txt'), says: /no PEM certificate/ },
    { cert: file('first.pem'), key: file('first.pem'), names: file('first.pem'), says: /no PEM private key/ },
    { cert: file('first.pem'), key: file('second.key'), names: file('second.key'), says: /does not match/ },
  ];
  const port = await freePort();
  for (const c of cases) {
    const run = spawnSync(PROGRAM, ['--port', String(port), '--listen', '127.0.0.1', '--tls-cert', c.cert,
      '--tls-key', c.key], { encoding: 'utf8', timeout: TIMEOUT });
    assert.equal(run.status, 2, `${c.cert} ${c.key}: ${run.stderr}`);
    assert.ok(run.stderr.includes(c.names), run.stderr);
    assert.match(run.stderr, c.says);
    assert.ok(!run.stdout.includes('listening on'), run.stdout);
  }
});

test('SIGTERM stops the program cleanly with TLS connections open', async () => {
  await wssClient(tlsPort);
  program.child.kill('SIGTERM');
  const { code, signal } = await program.exited;
  assert.equal(signal, null);
  assert.equal(code, 0);
});
