#!/usr/bin/env node
// What the training dashboard's charts cost the browser as a run grows: one draw of the returns curve
// (with its smoothed line, buy and hold and test diamonds) and of a logged value's chart, after a
// minute's run (1,000 episodes: the baseline) and after longer ones, up to a week's (1,000,000 episodes
// or logged values), on a canvas whose drawing calls do nothing (the JavaScript's own cost), and the cost
// of taking in one episode. Prints median, p99, max and the count of draws, each case timed for at least
// 100 ms.
//
//   node --expose-gc bench/dashboard_draw.mjs [--sizes 1000,100000,1000000] [--json]
//
// With --expose-gc the garbage of building each case's data is collected before its draws are timed.

import { parseArgs } from 'node:util';
import { EpisodeHistory } from '../ui/src/episode-history.js';
import { ReturnsChart } from '../ui/src/returns-chart.js';
import { ScalarSeries } from '../ui/src/scalar-charts.js';
import { LineChart } from '../ui/src/line-chart.js';

const { values } = parseArgs({ options: { sizes: { type: 'string', default: '1000,100000,1000000' },
  json: { type: 'boolean', default: false } } });
const sizes = values.sizes.split(',').map(Number);

function quietCanvas(width, height) {
  const ctx = new Proxy({}, { get: (target, name) => (name in target ? target[name] : () => {}) });
  return { clientWidth: width, clientHeight: height, width: 0, height: 0, getContext: () => ctx };
}

function timed(fn) {
  globalThis.gc?.();
  const times = [];
  const start = performance.now();
  while (performance.now() - start < 100 || times.length < 20) {
    const t = performance.now();
    fn();
    times.push(performance.now() - t);
  }
  times.sort((a, b) => a - b);
  const at = (q) => times[Math.min(times.length - 1, Math.floor(q * times.length))];
  return { median_ms: at(0.5), p99_ms: at(0.99), max_ms: times.at(-1), count: times.length };
}

const rows = [];
const view = { xAxis: 'wall', smoothing: { kind: 'ema', width: 50 } };
for (const size of sizes) {
  const history = new EpisodeHistory();
  const scalars = new ScalarSeries();
  const batch = [];
  const ingest = performance.now();
  for (let i = 0; i < size; i++) {
    batch.push({ env: i % 4, n: Math.floor(i / 4) + 1, type: i % 10 === 9 ? 'test' : 'train',
      return_pct: Math.sin(i / 997) * 4 + ((i * 7919) % 13) / 13, market_pct: Math.cos(i / 5003),
      env_steps: 64 * (i + 1), wall: i * 0.6 });
    if (batch.length === 1000) history.add(batch.splice(0));
  }
  history.add(batch.splice(0));
  const ingestUs = ((performance.now() - ingest) * 1000) / size;
  const entries = [];
  for (let i = 0; i < size; i++) entries.push({ name: 'loss', step: i * 64, wall: i * 0.6, value: 1 / (1 + i) });
  scalars.add(entries);
  const returns = new ReturnsChart(quietCanvas(1300, 200), history);
  const loss = new LineChart(quietCanvas(420, 140), { title: 'loss' });
  loss.setLine('loss', scalars.byName.get('loss').series);
  rows.push({ case: `returns curve, ${size} episodes`, ...timed(() => returns.draw(undefined, view)),
    buckets: history.train.length, ingest_us_per_episode: Number(ingestUs.toFixed(3)) });
  rows.push({ case: `logged value, ${size} points`, ...timed(() => loss.draw(view)), buckets: loss.lines[0].series.length });
}
if (values.json) {
  for (const row of rows) console.log(JSON.stringify(row));
} else {
  const base = new Map(rows.slice(0, 2).map((row) => [row.case.split(',')[0], row.median_ms]));
  for (const row of rows) {
    const ratio = row.median_ms / base.get(row.case.split(',')[0]);
    console.log(`${row.case.padEnd(36)} median ${row.median_ms.toFixed(3)} ms  p99 ${row.p99_ms.toFixed(3)} ms  `
      + `max ${row.max_ms.toFixed(3)} ms  draws ${row.count}  buckets ${row.buckets}  x${ratio.toFixed(2)} of the baseline`
      + (row.ingest_us_per_episode !== undefined ? `  take-in ${row.ingest_us_per_episode} µs/episode` : ''));
  }
}
