// Debian's Chromium, headless, as the browser tests launch it
// (TICKERHALL_CHROMIUM: another executable).
import { chromium } from 'playwright-core';

export const TIMEOUT = 20000;

export function launchChromium() {
  return chromium.launch({
    executablePath: process.env.TICKERHALL_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
}
