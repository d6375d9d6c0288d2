// The chart on a recording stand-in for a canvas: what it draws for a session, with finite coordinates.

import test from 'node:test';
import assert from 'node:assert/strict';
import { Chart } from '../src/chart.js';
import { Engine } from '../src/engine.js';
import { call, ok } from '../test-support/requests.mjs';

// A 2D context that records every call; properties can be set freely.
function recordingCanvas(width, height) {
  const calls = [];
  const ctx = new Proxy({}, {
    get(target, name) {
      if (name in target) return target[name];
      return (...args) => { calls.push([name, ...args]); };
    },
    set(target, name, value) {
      calls.push(['set', name, value]);
      target[name] = value;
      return true;
    },
  });
  return { canvas: { clientWidth: width, clientHeight: height, width: 0, height: 0, getContext: () => ctx }, calls };
}

test('draws the visible candles, the positions, the orders and the equity', () => {
  const engine = new Engine({ seed: 5, bars: 400, window: 8, episodeLength: 30 });
  ok(call(engine, 'reset_episode', 1, 'train'));
  for (let i = 0; i < 12; i++) ok(call(engine, 'step_next'));
  ok(call(engine, 'place_ticket', { side: 'buy', units: 2, takeProfit: 1, stopLoss: 1, trailingStop: 0.5 }));
  ok(call(engine, 'place_order', { side: 'sell', orderType: 'limit', price: engine.session.price() * 1.01, units: 1 }));
  ok(call(engine, 'step_next'));

  const { canvas, calls } = recordingCanvas(900, 500);
  new Chart(canvas).draw(engine);
  assert.deepEqual([canvas.width, canvas.height], [900, 500]);
  for (const [name, ...args] of calls.filter(([n]) => n !== 'set')) {
    for (const a of args) if (typeof a === 'number') assert.ok(Number.isFinite(a), `${name}(${args.join(', ')})`);
  }
  // One body per bar from the episode's first bar up to the cursor: window 8 + 13 steps.
  const bodies = calls.filter(([name, , , w]) => name === 'fillRect' && w === 5);
  assert.equal(bodies.length, 8 + 13);
  const texts = calls.filter(([name]) => name === 'fillText').map(([, text]) => text);
  assert.ok(texts.includes('#1 long 2'), texts.join(' | '));
  assert.ok(texts.includes('#2 sell limit 1'), texts.join(' | '));
  assert.ok(texts.some((s) => s.startsWith('train episode 1 · step 13 / 30')), texts.join(' | '));
  assert.ok(texts.some((s) => s.startsWith('equity ')), texts.join(' | '));
  // The equity curve (the one path drawn 1.5 px wide) has one point per step plus the start.
  const from = calls.findIndex(([name, prop, value]) => name === 'set' && prop === 'lineWidth' && value === 1.5);
  const to = calls.findIndex(([name], i) => i > from && name === 'stroke');
  const path = calls.slice(from, to).filter(([name]) => name === 'moveTo' || name === 'lineTo');
  assert.deepEqual(path.map(([name]) => name), ['moveTo', ...Array(13).fill('lineTo')]);
  assert.equal(path[0][1], 8); // starts at the left edge of the pane
});

test('a flat series and an ended session still draw', () => {
  const engine = new Engine({ window: 1 });
  ok(call(engine, 'init_candles', [[5, 5, 5, 5, 0], [5, 5, 5, 5, 0]]));
  ok(call(engine, 'end_session'));
  const { canvas, calls } = recordingCanvas(300, 200);
  new Chart(canvas).draw(engine);
  for (const [name, ...args] of calls) {
    for (const a of args) if (typeof a === 'number') assert.ok(Number.isFinite(a), `${name}(${args.join(', ')})`);
  }
  assert.ok(calls.some(([name, text]) => name === 'fillText' && text === 'whole series (ended) · step 0 / 1 · bar 0'));
});
