// The test server (TICKERHALL_E2E_SERVER: tickerhall_e2e_server) for the
// browser tests: it listens on an ephemeral loopback port and prints every
// text a client sends, which the tests wait for.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import { TIMEOUT } from './chromium.mjs';

const SERVER = process.env.TICKERHALL_E2E_SERVER;

export async function startServer() {
  assert.ok(SERVER, 'TICKERHALL_E2E_SERVER names the test server program');
  const child = spawn(SERVER, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const received = [];  // the texts the server received, "<sub-protocol> <text>", in order
  const waiters = [];
  const port = await new Promise((resolve, reject) => {
    child.once('error', reject);
    child.once('exit', (code) => reject(new Error(`server ended early (${code})`)));
    createInterface({ input: child.stdout }).on('line', (line) => {
      const match = /^port (\d+)$/.exec(line);
      if (match) resolve(Number(match[1]));
      if (line.startsWith('received ')) received.push(line.substring('received '.length));
      for (const waiter of [...waiters]) waiter();
    });
  });

  // Resolves with the first received text (from aFrom on) that matches.
  function receivedText(pattern, from = 0) {
    return new Promise((resolve, reject) => {
      const check = () => {
        const found = received.slice(from).find((text) => pattern.test(text));
        if (found === undefined) return false;
        waiters.splice(waiters.indexOf(check), 1);
        clearTimeout(timer);
        resolve(found);
        return true;
      };
      const timer = setTimeout(() => {
        waiters.splice(waiters.indexOf(check), 1);
        reject(new Error(`the server received nothing like ${pattern}; it received:\n${received.slice(from).join('\n')}`));
      }, TIMEOUT);
      waiters.push(check);
      check();
    });
  }

  return { port, received, receivedText, stop: () => child.kill('SIGTERM') };
}
