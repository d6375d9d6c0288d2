// The bounded series behind every dashboard chart: each bucket keeps the min, max, sum and count of the
// points it covers, the series never holds more than its capacity, and x values go with their points.

import test from 'node:test';
import assert from 'node:assert/strict';
import { BucketSeries } from '../src/series-buckets.js';
import { mulberry32 } from '../src/prng.js';

// Checks every bucket against the raw points it covers (buckets cover consecutive points, in order).
function assertBucketsMatch(series, values) {
  let from = 0;
  for (let b = 0; b < series.length; b++) {
    const count = series.count[b];
    assert.equal(count, b < series.length - 1 ? series.width : count, `bucket ${b} is not full`);
    let lo = Infinity;
    let hi = -Infinity;
    let sum = 0;
    for (let i = from; i < from + count; i++) {
      lo = Math.min(lo, values[i]);
      hi = Math.max(hi, values[i]);
      sum += values[i];
    }
    assert.equal(series.min[b], lo, `bucket ${b} min`);
    assert.equal(series.max[b], hi, `bucket ${b} max`);
    assert.ok(Math.abs(series.sum[b] - sum) <= 1e-9 * Math.max(1, Math.abs(sum)), `bucket ${b} sum`);
    assert.equal(series.last[b], values[from + count - 1]);
    assert.equal(series.xFirst[b], from);
    assert.equal(series.xLast[b], from + count - 1);
    from += count;
  }
  assert.equal(from, values.length, 'the buckets cover every point');
}

for (const [points, capacity] of [[1, 8], [8, 8], [9, 8], [1000, 16], [1_000_000, 2048]]) {
  test(`${points} points in ${capacity} buckets keep their min and max and stay bounded`, () => {
    const random = mulberry32(points);
    const series = new BucketSeries({ capacity });
    const values = new Float64Array(points);
    for (let i = 0; i < points; i++) {
      values[i] = (random() - 0.5) * 100 + (i % 997 === 0 ? 1e4 : 0); // rare spikes must survive merging
      series.push(values[i], i);
    }
    assert.ok(series.length <= capacity && series.length >= Math.min(points, capacity / 2), `${series.length} buckets`);
    assert.equal(series.points, points);
    assert.equal(series.count.length, capacity); // the storage never grows
    assertBucketsMatch(series, values);
    let lo = Infinity;
    let hi = -Infinity;
    for (const v of values) {
      lo = Math.min(lo, v);
      hi = Math.max(hi, v);
    }
    assert.deepEqual([series.lo, series.hi], [lo, hi]);
  });
}

test('every x channel keeps the first and last x of its bucket', () => {
  const series = new BucketSeries({ capacity: 4, channels: 3 });
  for (let i = 0; i < 10; i++) series.push(i, [i, 64 * i, i / 2]);
  assert.deepEqual([series.length, series.width], [3, 4]); // 4 + 4 + 2
  assert.deepEqual([series.firstX(1), series.lastX(1), series.lastX(2)], [0, 576, 4.5]);
  assert.equal(series.x(1, 1), (64 * 4 + 64 * 7) / 2);
  assert.equal(series.mean(2), 8.5);
});

test('values that cannot be drawn and impossible capacities are refused', () => {
  const series = new BucketSeries({ capacity: 4 });
  for (const bad of [NaN, Infinity, null, undefined, '1']) assert.throws(() => series.push(bad, 0), /finite values only/);
  assert.equal(series.points, 0);
  for (const capacity of [0, 3, 2.5, -2]) assert.throws(() => new BucketSeries({ capacity }), /even integer/);
  assert.throws(() => new BucketSeries({ channels: 0 }), /channels/);
});
