// Fills, exits, orders, closing and the account, on hand-made candles where every number can be
// worked out by hand.

import test from 'node:test';
import assert from 'node:assert/strict';
import { Engine } from '../src/engine.js';
import { CloseResult, EventType, Reason, SNAPSHOT, SUMMARY, TICKET } from '../src/columns.js';
import { call, hex, mat, ok, refused, vec } from '../test-support/requests.mjs';

const flat = (p) => [p, p, p, p, 1];

// An engine on the given candles, its cursor on bar 0 (a one-bar window).
function market(rows, options = {}) {
  const engine = new Engine({ window: 1, feeRate: 0, ...options });
  ok(call(engine, 'init_candles', rows));
  return engine;
}

function near(actual, expected, what = '') {
  assert.ok(Math.abs(actual - expected) < 1e-9, `${what}: ${actual} is not ${expected}`);
}

function nearRows(actual, expected) {
  assert.equal(actual.length, expected.length, `${actual.length} rows, expected ${expected.length}`);
  actual.forEach((row, r) => row.forEach((v, c) => near(v, expected[r][c], `row ${r} column ${c}`)));
}

test('a market ticket fills at the close and exits at its take-profit distance', () => {
  const engine = market([flat(100), [100, 104, 99, 101, 1], [101, 106, 100, 105, 1]]);
  assert.deepEqual(vec(call(engine, 'place_ticket', { side: 'buy', units: 2, takeProfit: 5, stopLoss: 3 })),
    [1, 1, 1, 2, 100, 105, 97, 0]);
  ok(call(engine, 'step_next'));
  const snap = vec(call(engine, 'get_snapshot'));
  assert.deepEqual([snap[SNAPSHOT.unrealised_pnl], snap[SNAPSHOT.equity], snap[SNAPSHOT.net_units], snap[SNAPSHOT.open_positions]],
    [2, 10002, 2, 1]);
  assert.deepEqual(mat(call(engine, 'get_ticket_list')), [[1, 1, 1, 2, 100, 0, 2, 105, 97, 0, -1, 0]]);
  ok(call(engine, 'step_next'));
  assert.deepEqual(mat(call(engine, 'fetch_events')), [
    [EventType.Opened, 1, 0, 1, 2, 100, 0, 0, Reason.Request, 10000],
    [EventType.Closed, 1, 2, 1, 2, 105, 10, 0, Reason.TakeProfit, 10010],
  ]);
  assert.equal(mat(call(engine, 'fetch_events')).length, 0);
  const after = vec(call(engine, 'get_snapshot'));
  assert.deepEqual([after[SNAPSHOT.balance], after[SNAPSHOT.realised_pnl], after[SNAPSHOT.open_positions]], [10010, 10, 0]);
});

test('stops are tested before take-profits, and a gap fills at the open', () => {
  const both = market([flat(100), [100, 106, 96, 100, 1]]);
  ok(call(both, 'place_ticket', { side: 'buy', units: 1, takeProfit: 5, stopLoss: 3 }));
  ok(call(both, 'step_next'));
  assert.deepEqual(mat(call(both, 'fetch_events'))[1], [EventType.Closed, 1, 1, 1, 1, 97, -3, 0, Reason.StopLoss, 9997]);

  const gap = market([flat(100), [95, 96, 94, 95.5, 1]]);
  ok(call(gap, 'place_ticket', { side: 'buy', units: 1, stopLoss: 3 }));
  ok(call(gap, 'step_next'));
  assert.deepEqual(mat(call(gap, 'fetch_events'))[1], [EventType.Closed, 1, 1, 1, 1, 95, -5, 0, Reason.StopLoss, 9995]);
  near(vec(call(gap, 'get_snapshot'))[SNAPSHOT.max_drawdown], 5 / 10000, 'max drawdown');
});

test('a trailing stop follows the best price of the bars before', () => {
  const engine = market([flat(100), [99, 99.5, 95, 96, 1], [96, 97.5, 95.5, 97, 1]]);
  assert.deepEqual(vec(call(engine, 'place_ticket', { side: 'sell', units: 1, trailingStop: 2 })), [1, 1, -1, 1, 100, 0, 0, 0]);
  ok(call(engine, 'step_next'));
  assert.equal(mat(call(engine, 'get_ticket_list'))[0][TICKET.trailing_stop], 97);
  ok(call(engine, 'step_next'));
  assert.deepEqual(mat(call(engine, 'fetch_events'))[1], [EventType.Closed, 1, 2, -1, 1, 97, 3, 0, Reason.TrailingStop, 10003]);
});

test('limit and stop orders fill on later bars, with exits as fractions of the fill', () => {
  const engine = market([
    flat(100),
    [100, 101, 99, 100, 1],
    [97.5, 100, 97, 98, 1], // opens below the buy limit: filled at the open
    [98, 99.5, 98, 99, 1],
    [104, 105, 103, 104, 1], // opens above the buy stop: filled at the open
  ]);
  assert.deepEqual(vec(call(engine, 'place_order', { side: 'buy', orderType: 'limit', price: 98, units: 1, takeProfit: 0.02 })),
    [1, 0, 1, 1, 98, 0, 0, 0]);
  ok(call(engine, 'place_order', { side: 'buy', orderType: 'stop', price: 102, units: 3 }));
  ok(call(engine, 'place_order', { side: 'sell', orderType: 'limit', price: 150, units: 1, timeLimit: 2 }));
  assert.deepEqual(mat(call(engine, 'get_ticket_list')).map((r) => [r[TICKET.id], r[TICKET.state], r[TICKET.expiry_bar], r[TICKET.order_type]]),
    [[1, 0, -1, 1], [2, 0, -1, -1], [3, 0, 2, 1]]);
  ok(call(engine, 'step_next'));
  assert.equal(mat(call(engine, 'fetch_events')).length, 0);
  ok(call(engine, 'step_next'));
  // Bar 2 reaches the take-profit too, but a fill's exits start on the next bar.
  assert.deepEqual(mat(call(engine, 'fetch_events')), [
    [EventType.Opened, 1, 2, 1, 1, 97.5, 0, 0, Reason.Triggered, 10000],
    [EventType.Expired, 3, 2, -1, 1, 150, 0, 0, Reason.TimeLimit, 10000],
  ]);
  const [position] = mat(call(engine, 'get_ticket_list')).filter((r) => r[TICKET.state] === 1);
  near(position[TICKET.take_profit], 97.5 * 1.02, 'take-profit price');
  ok(call(engine, 'step_next'));
  const [closed] = mat(call(engine, 'fetch_events'));
  assert.deepEqual(closed.slice(0, 5), [EventType.Closed, 1, 3, 1, 1]);
  near(closed[5], 99.45, 'exit price');
  assert.equal(closed[8], Reason.TakeProfit);
  ok(call(engine, 'step_next'));
  assert.deepEqual(mat(call(engine, 'fetch_events')), [[EventType.Opened, 2, 4, 1, 3, 104, 0, 0, Reason.Triggered, closed[9]]]);
});

test('close_positions reduces, closes, cancels and holds, with fees on every fill', () => {
  const engine = market([flat(100), flat(110)], { feeRate: 0.001 });
  assert.deepEqual(vec(call(engine, 'place_ticket', { side: 'buy', units: 4 })), [1, 1, 1, 4, 100, 0, 0, 0.4]);
  ok(call(engine, 'place_order', { side: 'sell', orderType: 'limit', price: 200, units: 1 }));
  ok(call(engine, 'step_next'));
  nearRows(mat(call(engine, 'close_positions', [1, 2, 0], [2, 1, 0], [0.25, 0, 0])), [
    [1, 2, CloseResult.Reduced, 1, 110, 10, 0.11, 3],
    [2, 1, CloseResult.Cancelled, 1, 200, 0, 0, 0],
    [0, 0, CloseResult.Nothing, 0, 110, 0, 0, 0],
  ]);
  assert.deepEqual(mat(call(engine, 'close_positions', [1], [2], [0])), [[1, 2, CloseResult.Nothing, 0, 110, 0, 0, 3]]);
  nearRows(mat(call(engine, 'close_positions', [1], [1], [0])), [[1, 1, CloseResult.Closed, 3, 110, 30, 0.33, 0]]);
  const events = mat(call(engine, 'fetch_events'));
  assert.deepEqual(events.map((e) => [e[0], e[1], e[8]]), [
    [EventType.Opened, 1, Reason.Request], [EventType.Reduced, 1, Reason.Request],
    [EventType.Cancelled, 2, Reason.Request], [EventType.Closed, 1, Reason.Request],
  ]);
  const balance = 10000 - 0.4 + 10 - 0.11 + 30 - 0.33;
  near(events[3][9], balance, 'balance after the close');
  const [summary] = mat(call(engine, 'end_session'));
  // The equity peaked at bar 1 before the two closing fees.
  const peak = 10000 - 0.4 + 40;
  nearRows([summary], [[1, 10000, balance, balance / 10000 - 1, 40, 0.84, 1, 1, (peak - balance) / peak, 1, -1, -1]]);
});

test('a refused close request changes nothing, not even its valid entries', () => {
  const engine = market([flat(100), flat(101)]);
  ok(call(engine, 'place_ticket', { side: 'buy', units: 2 }));
  const before = hex(ok(call(engine, 'get_ticket_list')));
  refused(call(engine, 'close_positions', [1, 5], [1, 1], [0, 0]), 4, 1, 'close_positions entry 1: unknown position id 5');
  refused(call(engine, 'close_positions', [1, 1], [2, 2], [0.5, 0.5]), 3, 9, 'close_positions entry 1: id 1 appears more than once');
  assert.equal(hex(ok(call(engine, 'get_ticket_list'))), before);
});

test('end_session settles everything once and freezes the session', () => {
  const engine = market([flat(100), [100, 101.5, 99.5, 101, 1], flat(101)]);
  ok(call(engine, 'place_ticket', { side: 'sell', units: 1 }));
  ok(call(engine, 'place_order', { side: 'buy', orderType: 'limit', price: 90, units: 1 }));
  ok(call(engine, 'step_next'));
  const summary = ok(call(engine, 'end_session'));
  assert.deepEqual(mat(call(engine, 'fetch_events')).slice(1), [
    [EventType.Closed, 1, 1, -1, 1, 101, -1, 0, Reason.EndOfSession, 9999],
    [EventType.Cancelled, 2, 1, 1, 1, 90, 0, 0, Reason.EndOfSession, 9999],
  ]);
  const row = mat({ ok: true, payload: summary })[0];
  assert.deepEqual([row[SUMMARY.steps], row[SUMMARY.final_equity], row[SUMMARY.trades], row[SUMMARY.wins], row[SUMMARY.bar]],
    [1, 9999, 1, 0, 1]);
  near(row[SUMMARY.return], -0.0001, 'return');
  assert.equal(hex(ok(call(engine, 'end_session'))), hex(summary));
  const ended = 'the session has ended: call reset_episode';
  refused(call(engine, 'step_next'), 5, 2, ended);
  refused(call(engine, 'step_and_sync'), 5, 2, ended);
  refused(call(engine, 'place_ticket', { side: 'buy', units: 1 }), 5, 2, ended);
  refused(call(engine, 'place_order', { side: 'buy', orderType: 'stop', price: 120, units: 1 }), 5, 2, ended);
  refused(call(engine, 'close_positions', [], [], []), 5, 2, ended);
  const snap = vec(call(engine, 'get_snapshot'));
  assert.deepEqual([snap[SNAPSHOT.done], snap[SNAPSHOT.steps_left], snap[SNAPSHOT.open_positions]], [1, 0, 0]);
});

test('reset_episode starts a fresh account and init_candles a fresh series', () => {
  const engine = new Engine({ seed: 4, bars: 500, window: 5, episodeLength: 30 });
  ok(call(engine, 'reset_episode', 1, 'train'));
  ok(call(engine, 'place_ticket', { side: 'buy', units: 5 }));
  ok(call(engine, 'step_next'));
  ok(call(engine, 'reset_episode', 0, 'test'));
  const snap = vec(call(engine, 'get_snapshot'));
  assert.deepEqual([snap[SNAPSHOT.balance], snap[SNAPSHOT.open_positions], snap[SNAPSHOT.step], snap[SNAPSHOT.episode_type]],
    [10000, 0, 0, 1]);
  assert.equal(mat(call(engine, 'fetch_events')).length, 0);
  assert.equal(vec(call(engine, 'place_ticket', { side: 'buy', units: 1 }))[0], 1); // ids start again
});
