// The side-by-side benchmark: Tickerhall's server (bench_server) and the
// reference server on Node ws (reference/server.mjs), the same scenarios
// against each in one run, alternating, several rounds. Prints one
// "round ..." line per run, then "median ..." lines per server and
// "ratio ..." lines (Tickerhall / reference).
//   node bench/run.mjs BUILD_DIR [--rounds R] [--quick]
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';
import { dirname, join } from 'node:path';

const here = dirname(fileURLToPath(import.meta.url));
const build = process.argv[2] || join(here, '..', 'build');
const option = (name, fallback) => {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : fallback;
};
const quick = process.argv.includes('--quick');
const rounds = Number(option('--rounds', quick ? 1 : 3));

const servers = {
  tickerhall: () => spawn(join(build, 'bench', 'bench_server'), [], { stdio: ['ignore', 'pipe', 'inherit'] }),
  reference: () => spawn(process.execPath, [join(here, 'reference', 'server.mjs')], { stdio: ['ignore', 'pipe', 'inherit'] }),
};

const scenarios = quick
  ? [['fanout', { clients: 100, edits: 200 }], ['idle', { clients: 100, seconds: 2 }], ['connect', { clients: 200 }]]
  : [
    ['fanout', { clients: 100, edits: 2000 }],
    ['fanout', { clients: 1000, edits: 300 }],
    ['fanout', { clients: 4000, edits: 60 }],
    ['steady', { clients: 1000, rate: 50, seconds: 20 }],
    ['idle', { clients: 100, seconds: 10 }],
    ['idle', { clients: 1000, seconds: 10 }],
    ['idle', { clients: 4000, seconds: 10 }],
    ['connect', { clients: 1000 }],
  ];

function start(name) {
  const child = servers[name]();
  return new Promise((resolve, reject) => {
    child.once('exit', (code) => reject(new Error(`${name} server ended (${code})`)));
    createInterface({ input: child.stdout }).on('line', (line) => {
      const match = /^port (\d+)$/.exec(line);
      if (match) resolve({ child, port: Number(match[1]) });
    });
  });
}

function load(port, pid, scenario, settings) {
  const args = ['--port', port, '--pid', pid, '--scenario', scenario];
  for (const [key, value] of Object.entries(settings)) args.push(`--${key}`, value);
  return new Promise((resolve) => {
    const child = spawn(join(build, 'bench', 'bench_loadgen'), args.map(String), { stdio: ['ignore', 'pipe', 'inherit'] });
    let line = '';
    child.stdout.on('data', (data) => { line += data; });
    child.on('exit', () => {
      const result = {};
      for (const [, key, value] of line.matchAll(/(\w+)=(\S+)/g)) result[key] = Number.isNaN(Number(value)) ? value : Number(value);
      resolve(result);
    });
  });
}

const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
};

const results = {};  // scenario label -> server -> list of results
for (let round = 1; round <= rounds; round++) {
  for (const [scenario, settings] of scenarios) {
    const label = `${scenario}_${settings.clients}`;
    // Alternate which server goes first.
    const order = round % 2 ? ['tickerhall', 'reference'] : ['reference', 'tickerhall'];
    for (const name of order) {
      const { child, port } = await start(name);
      const result = await load(port, child.pid, scenario, settings);
      child.kill('SIGTERM');
      await new Promise((resolve) => child.once('exit', resolve));
      ((results[label] ??= {})[name] ??= []).push(result);
      console.log(`round ${round} server=${name} scenario=${label} ` +
        Object.entries(result).filter(([k]) => k !== 'scenario').map(([k, v]) => `${k}=${v}`).join(' '));
    }
  }
}

const keys = ['delivered_per_s', 'server_cpu_us_per_msg', 'server_cpu_share', 'p50_ms', 'p99_ms', 'max_ms',
  'gen_p50_ms', 'gen_p99_ms', 'lost',
  'rss_kib_per_connection', 'connections_per_s', 'gen_cpu_share'];
for (const [label, byServer] of Object.entries(results)) {
  const medians = {};
  for (const [name, list] of Object.entries(byServer)) {
    medians[name] = {};
    for (const key of keys) {
      const values = list.map((r) => r[key]).filter((v) => typeof v === 'number');
      if (values.length) medians[name][key] = median(values);
    }
    console.log(`median server=${name} scenario=${label} ` +
      Object.entries(medians[name]).map(([k, v]) => `${k}=${v}`).join(' '));
  }
  const ours = medians.tickerhall ?? {}, theirs = medians.reference ?? {};
  console.log(`ratio scenario=${label} ` + keys.filter((k) => k !== 'lost' && k in ours && theirs[k])
    .map((k) => `${k}=${(ours[k] / theirs[k]).toFixed(3)}`).join(' '));
}
