// Debian's Chromium, headless, as the browser tests launch it
// (TICKERHALL_CHROMIUM: another executable); aArgs: switches of a test's
// own ("--ignore-certificate-errors" for a throw-away certificate).
import { chromium } from 'playwright-core';

export const TIMEOUT = 20000;

export function launchChromium(aArgs = []) {
  return chromium.launch({
    executablePath: process.env.TICKERHALL_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', ...aArgs],
  });
}
