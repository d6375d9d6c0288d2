// The dashboard's axes: nice ticks (1, 2 or 5 times a power of ten) within the range, labels without float
// noise and with k/M from 10,000 on, and wall time in s, min, h or d.

import test from 'node:test';
import assert from 'node:assert/strict';
import { formatTick, formatTime, largestOf, niceTicks, timeTicks } from '../src/axis-ticks.js';

const labels = ({ ticks, step }) => ticks.map((v) => formatTick(v, step, largestOf(ticks)));

for (const [lo, hi, most, expected] of [
  [-2.66, 10.83, 5, ['0', '5', '10']], // the old odd ticks: -2.66 %, 10.83 %
  [-2.66, 10.83, 8, ['-2', '0', '2', '4', '6', '8', '10']],
  [0, 1, 5, ['0', '0.2', '0.4', '0.6', '0.8', '1.0']],
  [0.1, 0.3, 4, ['0.10', '0.15', '0.20', '0.25', '0.30']],
  [-0.001, 0.003, 4, ['-0.001', '0', '0.001', '0.002', '0.003']],
  [0, 1200, 5, ['0', '500', '1000']],
  [0, 156000, 8, ['0', '20k', '40k', '60k', '80k', '100k', '120k', '140k']],
  [1e6, 1.5e6, 5, ['1.0M', '1.1M', '1.2M', '1.3M', '1.4M', '1.5M']],
  [0, 10e6, 5, ['0', '2M', '4M', '6M', '8M', '10M']],
  [-8.7, 8.7, 3, ['-5', '0', '5']], // one step of 10 would leave a single tick
  [5, 5, 5, ['5']],
]) {
  test(`nice ticks of [${lo}, ${hi}] in at most ${most} parts`, () => {
    const ticks = niceTicks(lo, hi, most);
    assert.deepEqual(labels(ticks), expected);
    for (const v of ticks.ticks) assert.ok(v >= lo - 1e-12 && v <= hi + 1e-12, `${v} outside the range`);
    if (hi > lo) {
      const mantissa = ticks.step / 10 ** Math.floor(Math.log10(ticks.step) + 1e-9);
      assert.ok([1, 2, 5].some((m) => Math.abs(mantissa - m) < 1e-9), `step ${ticks.step}`);
      assert.ok(ticks.ticks.length >= 2);
    }
  });
}

test('an empty or unknown range has no ticks', () => {
  for (const [lo, hi] of [[NaN, 1], [0, Infinity], [2, 1]]) assert.deepEqual(niceTicks(lo, hi).ticks, []);
  assert.deepEqual(timeTicks(NaN, 1).ticks, []);
});

for (const [lo, hi, expected] of [
  [0, 0.5, ['0 s', '0.1 s', '0.2 s', '0.3 s', '0.4 s', '0.5 s']],
  [0, 45, ['0 s', '10 s', '20 s', '30 s', '40 s']],
  [0, 600, ['0 min', '2 min', '4 min', '6 min', '8 min', '10 min']],
  [100, 5400, ['15 min', '30 min', '45 min', '60 min', '75 min', '90 min']],
  [0, 6 * 3600, ['0 h', '1 h', '2 h', '3 h', '4 h', '5 h', '6 h']],
  [0, 7 * 86400, ['0 d', '2 d', '4 d', '6 d']],
]) {
  test(`wall time ticks of [${lo}, ${hi}] s`, () => {
    const ticks = timeTicks(lo, hi, 6);
    assert.deepEqual(ticks.ticks.map((v) => formatTime(v, ticks.step)), expected);
  });
}
