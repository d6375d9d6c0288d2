// Smoothing on bucketed series: exact while every bucket holds one point (checked against plain
// computations), and the mean of each bucket repeated `count` times once buckets merged.

import test from 'node:test';
import assert from 'node:assert/strict';
import { BucketSeries } from '../src/series-buckets.js';
import { movingAverage, smoothBuckets } from '../src/smoothing.js';
import { mulberry32 } from '../src/prng.js';

function seriesOf(values, capacity = 4096) {
  const series = new BucketSeries({ capacity });
  values.forEach((v, i) => series.push(v, i));
  return series;
}

function ema(values, width) {
  const alpha = 2 / (width + 1);
  const out = [];
  values.forEach((v, i) => out.push(i === 0 ? v : out[i - 1] + alpha * (v - out[i - 1])));
  return out;
}

const close = (actual, expected, what) => {
  assert.equal(actual.length, expected.length, what);
  for (let i = 0; i < expected.length; i++) {
    assert.ok(Math.abs(actual[i] - expected[i]) <= 1e-9 * Math.max(1, Math.abs(expected[i])), `${what} at ${i}: ${actual[i]} vs ${expected[i]}`);
  }
};

const random = mulberry32(7);
const values = Array.from({ length: 500 }, () => (random() - 0.5) * 10);

for (const width of [1, 2, 20, 499, 500, 5000]) {
  test(`one point a bucket: the moving average and the EMA of ${width} are exact`, () => {
    const series = seriesOf(values);
    close(smoothBuckets(series, { kind: 'mean', width }), movingAverage(values, width), 'mean');
    close(smoothBuckets(series, { kind: 'ema', width }), ema(values, width), 'ema');
    close(smoothBuckets(series, { kind: 'none', width }), values, 'none');
  });
}

test('merged buckets: each counts as its mean repeated, the window still spans `width` points', () => {
  // Pairs of equal values: merged into buckets of 2, nothing is lost to the means.
  const pairs = values.flatMap((v) => [v, v]);
  const merged = seriesOf(pairs, 512); // 1000 points in 500 buckets of 2
  assert.equal(merged.width, 2);
  const exactMean = movingAverage(pairs, 7);
  close(smoothBuckets(merged, { kind: 'mean', width: 7 }), exactMean.filter((_, i) => i % 2 === 1), 'mean of 7');
  const exactEma = ema(pairs, 9);
  const smoothed = smoothBuckets(merged, { kind: 'ema', width: 9 });
  // The first bucket starts at its mean; from the second on the recursion is the same.
  close(smoothed.slice(1), exactEma.filter((_, i) => i % 2 === 1).slice(1), 'ema of 9');
});

test('an unknown smoothing is refused with the known ones', () => {
  assert.throws(() => smoothBuckets(seriesOf([1]), { kind: 'median', width: 3 }), /unknown smoothing median \(known: none, mean, ema\)/);
});
