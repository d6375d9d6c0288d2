// The chart on a recording stand-in for a canvas: what it draws for a session, with finite coordinates.

import test from 'node:test';
import assert from 'node:assert/strict';
import { barTimeText, Chart } from '../src/chart.js';
import { Engine } from '../src/engine.js';
import { call, ok } from '../test-support/requests.mjs';
import { recordingCanvas } from '../test-support/canvas.mjs';

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

function pricePaneOf(chart) {
  const pane = chart.drawn.pricePane;
  assert.ok(pane, 'the price pane was drawn');
  return pane;
}

function assertLabelsInside(chart) {
  const pane = pricePaneOf(chart);
  for (const label of chart.drawn.labels) {
    assert.ok(label.x >= pane.x && label.x + label.width <= pane.x + pane.w, `${label.text} at x ${label.x}`);
    assert.ok(label.y - 12 >= pane.y && label.y <= pane.y + pane.h, `${label.text} at y ${label.y}`);
  }
}

test('fills and closes are marked where they happened', () => {
  const engine = new Engine({ seed: 8, bars: 400, window: 8, episodeLength: 40 });
  ok(call(engine, 'reset_episode', 0, 'train'));
  ok(call(engine, 'step_next'));
  ok(call(engine, 'place_ticket', { side: 'buy', units: 1 }));
  const entryBar = engine.session.cursor;
  const entry = engine.session.price();
  for (let i = 0; i < 3; i++) ok(call(engine, 'step_next'));
  ok(call(engine, 'close_positions', [1], [1], [0]));
  const exitBar = engine.session.cursor;
  const gained = engine.session.price() > entry;
  ok(call(engine, 'place_ticket', { side: 'sell', units: 2 }));
  ok(call(engine, 'close_positions', [2], [2], [0.5]));
  ok(call(engine, 'step_next'));
  ok(call(engine, 'fetch_events')); // the trainer's fetch does not take the marks away

  const { canvas } = recordingCanvas(900, 500);
  const chart = new Chart(canvas);
  chart.draw(engine);
  const marks = chart.drawn.marks.map(({ kind, id, bar, color }) => [kind, id, bar, color]);
  // A reduction of the short at its own fill price gains nothing: a loss-coloured ring.
  assert.deepEqual(marks, [
    ['fill', 1, entryBar, '#3ea6ff'],
    ['close', 1, exitBar, gained ? '#2fbf71' : '#e5484d'],
    ['fill', 2, exitBar, '#f5a524'],
    ['close', 2, exitBar, '#e5484d'],
  ]);
  const pane = pricePaneOf(chart);
  for (const m of chart.drawn.marks) assert.ok(m.y >= pane.y && m.y <= pane.y + pane.h && m.x >= pane.x, JSON.stringify(m));
  // The fill and the reduction of the short happened at one price: the same height.
  assert.equal(chart.drawn.marks[2].y, chart.drawn.marks[3].y);
});

test('levels beyond the price axis stay on it with an arrow, and labels stay inside the pane', () => {
  const engine = new Engine({ seed: 5, bars: 400, window: 8, episodeLength: 30 });
  ok(call(engine, 'reset_episode', 1, 'train'));
  for (let i = 0; i < 5; i++) ok(call(engine, 'step_next'));
  const price = engine.session.price();
  // A take-profit far above and a stop far below the visible prices, and orders beyond both ends.
  ok(call(engine, 'place_ticket', { side: 'buy', units: 3, takeProfit: price, stopLoss: price * 0.9 }));
  ok(call(engine, 'place_order', { side: 'sell', orderType: 'limit', price: price * 3, units: 1 }));
  ok(call(engine, 'place_order', { side: 'sell', orderType: 'stop', price: price / 3, units: 1 }));
  ok(call(engine, 'place_order', { side: 'buy', orderType: 'limit', price: price * 0.999, units: 1 }));

  const { canvas, calls } = recordingCanvas(700, 400);
  const chart = new Chart(canvas);
  chart.draw(engine);
  const pane = pricePaneOf(chart);
  const levels = chart.drawn.levels;
  assert.equal(levels.length, 6); // entry, take-profit, stop-loss, three orders
  for (const level of levels) assert.ok(level.y >= pane.y && level.y <= pane.y + pane.h, JSON.stringify(level));
  // In drawing order: the entry, its take-profit (2 × price) and stop-loss (0.1 × price), then the orders.
  assert.deepEqual(levels.map((l) => l.off), [null, 'above', 'below', 'above', 'below', null]);
  const texts = calls.filter(([name]) => name === 'fillText').map(([, text]) => text);
  for (const l of levels.filter((level) => level.off)) {
    assert.ok(texts.includes(`${l.off === 'above' ? '↑' : '↓'} ${l.price.toPrecision(6)}`), texts.join(' | '));
  }
  assert.ok(texts.includes('#1 long 3') && texts.includes('#2 sell limit 1'), texts.join(' | '));
  assertLabelsInside(chart);
});

test('a position opened on the newest bar, at the top of the axis, keeps its label in view', () => {
  const engine = new Engine({ seed: 9, bars: 400, window: 8, episodeLength: 60 });
  ok(call(engine, 'reset_episode', 0, 'train'));
  // Step to the highest close of the episode so far, then open there: its label would leave the pane.
  for (let i = 0; i < 40; i++) ok(call(engine, 'step_next'));
  ok(call(engine, 'place_ticket', { side: 'sell', units: 12345 }));
  for (const [w, h] of [[900, 500], [260, 160]]) {
    const { canvas } = recordingCanvas(w, h);
    const chart = new Chart(canvas);
    chart.draw(engine);
    assert.ok(chart.drawn.labels.some((l) => l.text === '#1 short 12345'));
    assertLabelsInside(chart);
  }
});

test('opened as a file, the page says how to serve it', async () => {
  const { readFile } = await import('node:fs/promises');
  const vm = await import('node:vm');
  const html = await readFile(new URL('../index.html', import.meta.url), 'utf8');
  const inline = html.match(/<script>([\s\S]*?)<\/script>/)[1];
  for (const [protocol, search, expected] of [
    ['file:', '?port=9001', /served|opened as a file.*http\.server 8000 --bind 127\.0\.0\.1 --directory ui.*http:\/\/127\.0\.0\.1:8000\/index\.html\?port=9001/],
    ['http:', '?port=9001', null],
  ]) {
    const elements = { 'link-state': { textContent: 'disconnected', dataset: { state: 'disconnected' } }, notice: { textContent: '' } };
    vm.runInNewContext(inline, { location: { protocol, search }, document: { getElementById: (id) => elements[id] } });
    if (expected === null) {
      assert.deepEqual([elements.notice.textContent, elements['link-state'].dataset.state], ['', 'disconnected']);
    } else {
      assert.match(elements.notice.textContent, expected);
      assert.equal(elements['link-state'].dataset.state, 'error');
    }
  }
});

test('the title says the bar time the trainer sent, and whose bar it is when the page has moved on', () => {
  const engine = new Engine({ seed: 5, bars: 400, window: 8, episodeLength: 30 });
  ok(call(engine, 'reset_episode', 1, 'train'));
  for (let i = 0; i < 3; i++) ok(call(engine, 'step_next'));
  const cursor = engine.session.cursor;
  const titles = (figures) => {
    const { canvas, calls } = recordingCanvas(900, 500);
    new Chart(canvas).draw(engine, figures);
    return calls.filter(([name, text]) => name === 'fillText' && String(text).startsWith('train episode')).map(([, t]) => t);
  };
  assert.deepEqual(titles({ bar: cursor, bar_time: '2024-01-31' }), [`train episode 1 · step 3 / 30 · bar ${cursor} · 2024-01-31`]);
  assert.deepEqual(titles({ bar: cursor - 2, bar_time: '2024-01-29 09:30' }),
    [`train episode 1 · step 3 / 30 · bar ${cursor} · (bar ${cursor - 2}: 2024-01-29 09:30)`]);
  for (const figures of [null, undefined, { bar: cursor, bar_time: null }, { bar: cursor }]) {
    assert.deepEqual(titles(figures), [`train episode 1 · step 3 / 30 · bar ${cursor}`]);
  }
  assert.equal(barTimeText(7, { bar: 7, bar_time: '' }), '');
});
