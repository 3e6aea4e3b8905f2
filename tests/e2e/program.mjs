// The program itself, headless (TICKERHALL_HEADLESS: its executable), as the
// program's end-to-end tests start it: its log lines on standard output
// (each without its timestamp), its errors on standard error.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import net from 'node:net';
import { createInterface } from 'node:readline';
import { TIMEOUT } from './chromium.mjs';

export const PROGRAM = process.env.TICKERHALL_HEADLESS;
export const PORT = 5413;

// A text log line: "2026-12-11T10:57:23.123Z Connected: ..." gives
// "Connected: ...".
const STAMP = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z /;

// A free loopback port (not 5413: the program's own is left alone).
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port: picked } = server.address();
      server.close(() => (picked === 5413 ? freePort().then(resolve, reject) : resolve(picked)));
    });
  });
}

export function startProgram(args = []) {
  assert.ok(PROGRAM, 'TICKERHALL_HEADLESS names the program');
  const child = spawn(PROGRAM, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const program = {
    child,
    raw: [],     // standard output as written
    output: [],  // its text lines without their timestamps
    errors: [],  // standard error
    exited: new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal }))),
  };
  createInterface({ input: child.stdout }).on('line', (line) => {
    program.raw.push(line);
    program.output.push(line.replace(STAMP, ''));
  });
  createInterface({ input: child.stderr }).on('line', (line) => program.errors.push(line));
  return program;
}

export function waitFor(check, what) {
  return new Promise((resolve, reject) => {
    const started = Date.now();
    const poll = () => {
      const found = check();
      if (found) return resolve(found);
      if (Date.now() - started > TIMEOUT) return reject(new Error(`timed out waiting for ${what}`));
      setTimeout(poll, 20);
    };
    poll();
  });
}

// Resolves once the program answers on its port.
export async function serving(port = PORT) {
  const started = Date.now();
  while (Date.now() - started < TIMEOUT) {
    try {
      const answer = await fetch(`http://127.0.0.1:${port}/dataset.tvq.tickerhall.js`);
      if (answer.ok) return;
    } catch {
      // not listening yet
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error('the program does not answer on its port');
}
