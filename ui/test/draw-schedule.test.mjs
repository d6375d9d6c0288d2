// When the page draws: once per animation frame at most, no more often than its rate while changes
// stream in, and always once after the last change.

import test from 'node:test';
import assert from 'node:assert/strict';
import { DrawSchedule } from '../src/draw-schedule.js';

// A clock, animation frames every 16 ms and timers, all run by hand.
function fakeBrowser() {
  const pending = []; // [when, fn, isFrame]
  const browser = {
    time: 0,
    now: () => browser.time,
    requestFrame: (fn) => pending.push([Math.ceil((browser.time + 1) / 16) * 16, fn]),
    setTimer: (fn, ms) => pending.push([browser.time + ms, fn]),
    advanceTo(time) {
      for (;;) {
        pending.sort((a, b) => a[0] - b[0]);
        if (pending.length === 0 || pending[0][0] > time) break;
        const [when, fn] = pending.shift();
        browser.time = when;
        fn();
      }
      browser.time = time;
    },
    pending,
  };
  return browser;
}

test('changes streaming in are drawn at most at the set rate, and the last one is drawn', () => {
  const browser = fakeBrowser();
  const drawnAt = [];
  const schedule = new DrawSchedule(() => drawnAt.push(browser.time), { maxPerSecond: 10, ...browser });
  for (let t = 0; t <= 1000; t += 1) { // a change every millisecond for a second
    browser.advanceTo(t);
    schedule.changed();
  }
  browser.advanceTo(2000);
  assert.ok(drawnAt.length >= 10 && drawnAt.length <= 12, drawnAt.join(' '));
  for (let i = 1; i < drawnAt.length; i++) assert.ok(drawnAt[i] - drawnAt[i - 1] >= 100, drawnAt.join(' '));
  assert.ok(drawnAt.at(-1) >= 1000, 'the last change is drawn');
  assert.equal(browser.pending.length, 0);
});

test('a change after a quiet spell is drawn at the next frame; no change, no draw', () => {
  const browser = fakeBrowser();
  let draws = 0;
  const schedule = new DrawSchedule(() => { draws += 1; }, { maxPerSecond: 10, ...browser });
  browser.advanceTo(500);
  assert.equal(draws, 0);
  schedule.changed();
  schedule.changed();
  browser.advanceTo(517);
  assert.equal(draws, 1);
  browser.advanceTo(5000);
  assert.equal(draws, 1);
});

test('without a rate, every frame with a change is drawn, once', () => {
  const browser = fakeBrowser();
  let draws = 0;
  const schedule = new DrawSchedule(() => { draws += 1; }, { maxPerSecond: Infinity, ...browser });
  for (let frame = 0; frame < 20; frame++) {
    for (let i = 0; i < 5; i++) schedule.changed();
    browser.advanceTo((frame + 1) * 16);
  }
  assert.equal(draws, 20);
});
