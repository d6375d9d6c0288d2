// The dashboard's returns curve: the moving average of the train episodes, and what a draw puts where
// (train episodes as dots, test episodes as diamonds, the scale around every return and zero).

import test from 'node:test';
import assert from 'node:assert/strict';
import { AVERAGE_OF, ReturnsChart, movingAverage } from '../src/returns-chart.js';
import { recordingCanvas } from '../test-support/canvas.mjs';

test('the moving average covers the last episodes, fewer at the start', () => {
  assert.deepEqual(movingAverage([1, 3, 5, 7], 2), [1, 2, 4, 6]);
  assert.deepEqual(movingAverage([], 3), []);
  const many = Array.from({ length: AVERAGE_OF + 5 }, (_, i) => i);
  const last = movingAverage(many, AVERAGE_OF).at(-1);
  assert.equal(last, many.slice(-AVERAGE_OF).reduce((a, b) => a + b) / AVERAGE_OF);
});

test('train episodes are dots, test episodes diamonds, and the scale holds them all and zero', () => {
  const { canvas, calls } = recordingCanvas(600, 180);
  const chart = new ReturnsChart(canvas);
  const episodes = [
    { type: 'train', return_pct: 1.5 }, { type: 'train', return_pct: -0.5 }, { type: 'test', return_pct: 2.5 },
    { type: 'train', return_pct: 0.25 }, { type: 'test', return_pct: null },
  ];
  chart.draw(episodes);
  assert.equal(chart.drawn.train, 3);
  assert.equal(chart.drawn.test, 2);
  assert.ok(chart.drawn.lo < -0.5 && chart.drawn.hi > 2.5);
  const dots = calls.filter(([name, , , w, h]) => name === 'fillRect' && w === 3 && h === 3);
  assert.equal(dots.length, 3);
  const diamonds = calls.filter(([name]) => name === 'closePath');
  assert.equal(diamonds.length, 2);
  const labels = calls.filter(([name]) => name === 'fillText').map(([, text]) => text);
  assert.ok(labels.some((text) => /3 train .* 2 test/.test(text)), labels.join(' | '));
  const empty = new ReturnsChart(recordingCanvas(600, 180).canvas);
  empty.draw([]);
  assert.deepEqual([empty.drawn.train, empty.drawn.test], [0, 0]);
});

function manyEpisodes(count) {
  const episodes = [];
  for (let i = 0; i < count; i++) {
    episodes.push({ env: i % 4, n: Math.floor(i / 4) + 1, type: i % 10 === 9 ? 'test' : 'train',
      return_pct: Math.sin(i / 997) * 4 + ((i * 7919) % 13) / 13 - 0.5, market_pct: Math.cos(i / 5003),
      env_steps: 64 * (i + 1), wall: i * 0.25 });
  }
  return episodes;
}

test('200,000 episodes draw in bounded buckets, every one counted, with nice axes on each x', () => {
  const { canvas, calls } = recordingCanvas(1200, 200);
  const chart = new ReturnsChart(canvas);
  const episodes = manyEpisodes(200_000);
  chart.draw(episodes); // once spread into Math.min this threw RangeError past ~112,000
  assert.deepEqual([chart.drawn.train, chart.drawn.test], [180_000, 20_000]);
  assert.ok(chart.drawn.buckets <= 2048 && chart.drawn.buckets >= 1024, `${chart.drawn.buckets} buckets`);
  assert.ok(calls.length < 40_000, `${calls.length} calls for one draw`);
  let lo = Infinity;
  let hi = -Infinity;
  for (const e of episodes) {
    lo = Math.min(lo, e.return_pct);
    hi = Math.max(hi, e.return_pct);
  }
  assert.ok(chart.drawn.lo < lo && chart.drawn.hi > hi, 'every return is inside the scale');
  assert.ok(chart.drawn.market > 0);
  assert.deepEqual(chart.drawn.xLabels.slice(0, 3), ['20k', '40k', '60k']); // episodes count from 1
  assert.ok(chart.drawn.yLabels.every((label) => /^(0|-?\d+) %$/.test(label)), chart.drawn.yLabels.join(' '));
  chart.draw(undefined, { xAxis: 'steps' });
  assert.equal(chart.drawn.xAxis, 'steps');
  assert.ok(chart.drawn.xLabels.includes('10M') || chart.drawn.xLabels.includes('12M'), chart.drawn.xLabels.join(' '));
  chart.draw(undefined, { xAxis: 'wall' });
  assert.ok(chart.drawn.xLabels.every((label) => / h$/.test(label)), chart.drawn.xLabels.join(' ')); // 13.9 hours
});

test('the smoothing control sets the line: its last point is the mean (or EMA) of the last train returns', () => {
  const chart = new ReturnsChart(recordingCanvas(600, 180).canvas);
  const episodes = [1, 2, 3, 4, 5, 6].map((r) => ({ type: 'train', return_pct: r }));
  chart.draw(episodes, { smoothing: { kind: 'mean', width: 4 } });
  assert.equal(chart.drawn.averageLast, (3 + 4 + 5 + 6) / 4);
  chart.draw(undefined, { smoothing: { kind: 'none', width: 4 } });
  assert.equal(chart.drawn.averageLast, 6);
  chart.draw(undefined, { smoothing: { kind: 'ema', width: 3 } }); // alpha 0.5
  assert.equal(chart.drawn.averageLast, [2, 3, 4, 5, 6].reduce((e, v) => e + 0.5 * (v - e), 1));
});

test('an unknown return is a hollow mark, never a point of the curve', () => {
  const { canvas, calls } = recordingCanvas(600, 180);
  const chart = new ReturnsChart(canvas);
  chart.draw([{ type: 'train', return_pct: 2 }, { type: 'train', return_pct: null }, { type: 'train', return_pct: 4 }]);
  assert.equal(chart.drawn.train, 3);
  assert.equal(chart.history.train.points, 2);
  assert.equal(calls.filter(([name]) => name === 'strokeRect').length, 1);
  assert.equal(chart.drawn.averageLast, 3);
});

test('the chart draws again only when its episodes, the view or its size changed', () => {
  const { canvas } = recordingCanvas(600, 180);
  const chart = new ReturnsChart(canvas);
  const view = { xAxis: 'episodes', smoothing: { kind: 'mean', width: 20 } };
  assert.equal(chart.drawIfChanged(view), true);
  assert.equal(chart.drawIfChanged(view), false);
  chart.history.add([{ type: 'train', return_pct: 1 }]);
  assert.equal(chart.drawIfChanged(view), true);
  assert.equal(chart.drawIfChanged({ ...view, xAxis: 'wall' }), true);
  canvas.clientWidth = 700;
  assert.equal(chart.drawIfChanged({ ...view, xAxis: 'wall' }), true);
  assert.equal(chart.drawn.train, 1);
});
