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
