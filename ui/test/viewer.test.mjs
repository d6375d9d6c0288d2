// The live viewer's two halves in the page: the state it publishes draws exactly what the page draws, and
// the publisher keeps to its pace (at most 30 a second while viewers watch, one a second while none do,
// one at a time), with a clock and timers of the test's own.

import test from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';
import { Chart } from '../src/chart.js';
import { Engine } from '../src/engine.js';
import { CANDLES_SENT, engineFromState, stateOf } from '../src/viewer-state.js';
import { CALLS_KEPT, ViewerPublisher } from '../src/viewer-publisher.js';
import { call, ok } from '../test-support/requests.mjs';
import { recordingCanvas } from '../test-support/canvas.mjs';

function drawCalls(engine, width) {
  const { canvas, calls } = recordingCanvas(width, 500);
  const chart = new Chart(canvas);
  chart.draw(engine);
  return { calls, drawn: chart.drawn };
}

function busyEngine(steps) {
  const engine = new Engine({ seed: 5, bars: 2000, window: 8, episodeLength: 300 });
  if (steps < 300) ok(call(engine, 'reset_episode', 0, 'train')); // longer: the whole series' session
  for (let i = 0; i < steps; i++) {
    if (i % 37 === 3) ok(call(engine, 'place_ticket', { side: i % 2 ? 'buy' : 'sell', units: 2, takeProfit: 2, stopLoss: 2, trailingStop: 0.5 }));
    if (i % 53 === 7) ok(call(engine, 'place_order', { side: 'sell', orderType: 'limit', price: engine.session.price() * 1.01, units: 1 }));
    ok(call(engine, 'step_next'));
  }
  return engine;
}

for (const [steps, width] of [[0, 900], [40, 900], [600, 1200], [600, CANDLES_SENT * 7 + 100]]) {
  test(`the published state draws what the page draws (${steps} steps, ${width} px)`, () => {
    const engine = busyEngine(steps);
    assert.ok(steps === 0 || engine.session.book.marks.length > 0);
    const sent = JSON.parse(JSON.stringify(stateOf(engine, { link: 'connected' })));
    assert.ok(sent.candles.values.length <= CANDLES_SENT * 5);
    const page = drawCalls(engine, width);
    const viewer = drawCalls(engineFromState(sent), width);
    if (width <= CANDLES_SENT * 7) {
      assert.deepEqual(viewer.calls, page.calls);
    } else {
      // Wider than what is sent: the viewer draws the sent bars only (so its price axis may differ), and
      // the same positions and orders.
      assert.deepEqual(viewer.drawn.levels.map((l) => l.price), page.drawn.levels.map((l) => l.price));
      assert.equal(viewer.calls.filter(([n, , , w]) => n === 'fillRect' && w === 5).length, CANDLES_SENT);
      assert.ok(page.calls.filter(([n, , , w]) => n === 'fillRect' && w === 5).length > CANDLES_SENT);
    }
  });
}

test('a state whose candles do not end at the cursor is refused', () => {
  const state = JSON.parse(JSON.stringify(stateOf(busyEngine(5))));
  state.candles.values.pop();
  assert.throws(() => engineFromState(state), /candles do not end at the cursor|do not end/);
  assert.throws(() => engineFromState({ ...state, version: 99 }), /version 99/);
});

// A clock, timers and a fetch that the test moves by hand.
function harness({ viewers = 1, failing = false } = {}) {
  const h = { time: 0, timers: [], posts: [], answers: [] };
  h.now = () => h.time;
  h.setTimer = (fn, ms) => { const timer = { at: h.time + ms, fn }; h.timers.push(timer); return timer; };
  h.clearTimer = (timer) => { h.timers = h.timers.filter((t) => t !== timer); };
  h.fetch = (url, init) => {
    h.posts.push({ at: h.time, url, body: JSON.parse(init.body), type: init.headers['content-type'] });
    return new Promise((resolve, reject) => h.answers.push(() => (failing ? reject(new Error('refused'))
      : resolve({ json: async () => ({ viewers }) }))));
  };
  // Runs the timers that are due by `to`, in order, letting promises settle in between.
  h.advance = async (to) => {
    for (;;) {
      await new Promise((resolve) => setImmediate(resolve));
      const due = h.timers.filter((t) => t.at <= to).sort((a, b) => a.at - b.at)[0];
      if (due === undefined) break;
      h.timers = h.timers.filter((t) => t !== due);
      h.time = due.at;
      due.fn();
    }
    h.time = to;
  };
  h.answer = async () => {
    h.answers.shift()();
    for (let i = 0; i < 5; i++) await new Promise((resolve) => setImmediate(resolve));
  };
  return h;
}

function publisher(h, engine) {
  return new ViewerPublisher({ url: 'http://127.0.0.1:1/publish', engine, fetch: h.fetch, now: h.now,
    setTimer: h.setTimer, clearTimer: h.clearTimer, status: () => ({ link: 'connected' }) });
}

test('while viewers watch: at most 30 a second, one at a time, only when something changed', async () => {
  const h = harness({ viewers: 2 });
  const engine = new Engine({ seed: 3, bars: 500 });
  const p = publisher(h, engine);
  p.start();
  await h.advance(0);
  assert.equal(h.posts.length, 1);
  assert.equal(h.posts[0].type, 'text/plain');
  for (let i = 0; i < 50; i++) call(engine, 'get_snapshot');
  await h.advance(500); // the first answer has not come: nothing more is sent
  assert.equal(h.posts.length, 1);
  await h.answer(); // 2 viewers: the next one 1/30 s after this answer, with the calls made meanwhile
  await h.advance(500 + 33);
  assert.equal(h.posts.length, 1);
  await h.advance(500 + 34);
  assert.equal(h.posts.length, 2);
  const body = h.posts[1].body;
  assert.equal(body.callCount, 50);
  assert.equal(body.calls.length, CALLS_KEPT);
  assert.deepEqual(body.calls.at(-1), { fn: 'get_snapshot', ok: true });
  assert.equal(body.link, 'connected');
  await h.answer();
  await h.advance(5000); // nothing changed since: nothing is sent
  assert.equal(h.posts.length, 2);
  const refused = call(engine, 'reset_episode', 9999, 'train'); // out of range: refused
  assert.equal(refused.ok, false);
  await h.advance(5000);
  assert.equal(h.posts.length, 3);
  assert.equal(h.posts[2].body.calls.at(-1).ok, false);
  assert.equal(h.posts[2].body.calls.at(-1).message, refused.message);
  p.stop();
});

for (const failing of [false, true]) {
  test(`with no viewer${failing ? ', or no hub,' : ''} once a second`, async () => {
    const h = harness({ viewers: 0, failing });
    const engine = new Engine({ seed: 3, bars: 500 });
    const p = publisher(h, engine);
    p.start();
    await h.advance(0);
    await h.answer();
    for (let t = 1; t <= 3500; t += 10) {
      call(engine, 'get_snapshot');
      await h.advance(t);
      if (h.answers.length) await h.answer(); // each answer comes within 10 ms
    }
    const times = h.posts.map((post) => post.at);
    assert.equal(times.length, 4, times.join(' '));
    for (let i = 1; i < times.length; i++) assert.ok(times[i] - times[i - 1] >= 1000 && times[i] - times[i - 1] <= 1010, times.join(' '));
    assert.equal(p.failed, failing ? 4 : 0);
    p.stop();
    call(engine, 'get_snapshot');
    await h.advance(10000);
    assert.equal(h.posts.length, 4); // stopped: no more
  });
}

test('the runner refuses a viewer address that is not http', async () => {
  const runner = fileURLToPath(new URL('../node/run-ui.mjs', import.meta.url));
  const child = spawn(process.execPath, [runner, '--port', '8765', '--viewer', 'ws://127.0.0.1:1'], { stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const [code] = await once(child, 'exit');
  assert.equal(code, 2);
  assert.match(stderr, /--viewer must be an http:\/\/ address, got ws:\/\/127\.0\.0\.1:1/);
});
