// The trainer's logged values on the dashboard: one bounded chart per name, unreadable entries counted
// and named, and what a chart drew.

import test from 'node:test';
import assert from 'node:assert/strict';
import { MOST_NAMES, ScalarBoard, ScalarSeries, readScalar } from '../src/scalar-charts.js';
import { recordingCanvas } from '../test-support/canvas.mjs';

function board() {
  const made = [];
  const b = new ScalarBoard((name) => {
    made.push(name);
    return recordingCanvas(400, 140).canvas;
  });
  return { board: b, made };
}

test('one chart per name, in the order the names came, drawing every point of its series', () => {
  const { board: b, made } = board();
  const entries = [];
  for (let step = 1; step <= 300; step++) {
    entries.push({ name: 'loss', step, wall: step / 10, value: 1 / step });
    if (step % 10 === 0) entries.push({ name: '__proto__', step, wall: step / 10, value: step });
  }
  assert.equal(b.add(entries), 330);
  assert.deepEqual(made, ['loss', '__proto__']);
  assert.deepEqual(Object.keys(b.charts), ['loss', '__proto__']);
  assert.equal(b.draw({ xAxis: 'steps', smoothing: { kind: 'none', width: 1 } }), 2);
  assert.equal(b.charts.loss.drawn.points, 300);
  assert.equal(b.charts.__proto__.drawn.points, 30);
  assert.deepEqual(b.charts.loss.drawn.xLabels, ['100', '200', '300']);
  assert.equal(b.draw({ xAxis: 'steps', smoothing: { kind: 'none', width: 1 } }), 0); // nothing changed
  assert.equal(b.draw({ xAxis: 'wall', smoothing: { kind: 'none', width: 1 } }), 2);
  assert.equal(b.charts.loss.drawn.xAxis, 'wall');
  assert.ok(b.charts.loss.drawn.xLabels.every((label) => / s$/.test(label)));
  // The episodes axis has no meaning for a logged value: its step is used.
  b.draw({ xAxis: 'episodes', smoothing: { kind: 'none', width: 1 } });
  assert.equal(b.charts.loss.drawn.xAxis, 'steps');
});

test('a million values of one name stay in bounded buckets', () => {
  const series = new ScalarSeries();
  const entries = [];
  for (let step = 1; step <= 1_000_000; step++) entries.push({ name: 'loss', step, wall: step / 1000, value: Math.sin(step) });
  assert.equal(series.add(entries), 1_000_000);
  const kept = series.byName.get('loss').series;
  assert.ok(kept.length <= 2048 && kept.points === 1_000_000);
});

test('unreadable entries are counted with their reason, and names beyond the most are not drawn', () => {
  const series = new ScalarSeries();
  assert.equal(series.add([{ name: 'loss', step: 1, wall: 1, value: 0.5 }, { name: 'loss', step: 1, wall: 1, value: 0.5 }]), 2);
  for (const [entry, why] of [[{ name: 'loss', step: 4, wall: 4, value: NaN }, /loss: the value NaN is not a finite number/],
    [{ name: '', value: 1 }, /without a name/], [{ name: 7, value: 1 }, /without a name/], [null, /not an object/],
    [{ name: 'x', value: '1' }, /x: the value 1 is not a finite number/]]) {
    assert.match(readScalar(entry).why, why);
  }
  assert.equal(series.add([{ name: 'loss', value: null }]), 0);
  assert.equal(series.skipped, 1);
  const many = Array.from({ length: MOST_NAMES + 3 }, (_, i) => ({ name: `n${i}`, step: 1, wall: 1, value: i }));
  series.add(many);
  assert.equal(series.byName.size, MOST_NAMES);
  assert.match(series.lastProblem, new RegExp(`more than ${MOST_NAMES} names`));
});
