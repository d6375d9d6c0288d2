// The account's rules beyond the fee and the slippage: lots, the bid/ask spread, financing and the margin
// call, on hand-made candles where every number is worked out by hand.

import test from 'node:test';
import assert from 'node:assert/strict';
import { Engine } from '../src/engine.js';
import { ACCOUNT_SUMMARY, EventType, Reason, SNAPSHOT, SUMMARY, TICKET } from '../src/columns.js';
import { SECONDS_PER_YEAR } from '../src/session.js';
import { Err, Sub } from '../src/errors.js';
import { call, mat, ok, refused, vec } from '../test-support/requests.mjs';

const flat = (p) => [p, p, p, p, 1];
const DAY = 86400;

function market(rows, options = {}) {
  const engine = new Engine({ window: 1, feeRate: 0, ...options });
  ok(call(engine, 'init_candles', rows));
  return engine;
}

function near(actual, expected, what) {
  assert.ok(Math.abs(actual - expected) <= 1e-9 * Math.max(1, Math.abs(expected)), `${what}: ${actual} is not ${expected}`);
}

const config = (engine) => JSON.parse(new TextDecoder().decode(call(engine, 'get_rl_config').payload));
const snapshot = (engine) => vec(call(engine, 'get_snapshot'));
const summary = (engine) => mat(call(engine, 'end_session'))[0];

test('lots scale the quantity, and the spread is paid half on each side and counted apart from the fee', () => {
  const engine = market([flat(100), flat(110)], { lotSize: 0.01, spreadBps: 20, feeRate: 0.001 });
  const receipt = vec(call(engine, 'place_ticket', { side: 'buy', units: 3 }));
  const entry = 100 * (1 + 0.001); // half of 20 bps above the mid
  near(receipt[4], entry, 'entry price');
  near(receipt[7], 0.001 * entry * 0.03, 'entry fee');
  assert.equal(receipt[3], 3, 'the receipt counts lots');
  ok(call(engine, 'step_next'));
  const snap = snapshot(engine);
  near(snap[SNAPSHOT.unrealised_pnl], (110 - entry) * 0.03, 'unrealised');
  assert.equal(snap[SNAPSHOT.net_units], 3);
  near(mat(call(engine, 'get_ticket_list'))[0][TICKET.unrealised_pnl], (110 - entry) * 0.03, 'ticket unrealised');
  const row = summary(engine);
  const exit = 110 * (1 - 0.001);
  const pnl = (exit - entry) * 0.03;
  const fees = 0.001 * entry * 0.03 + 0.001 * exit * 0.03;
  assert.equal(row.length, ACCOUNT_SUMMARY.width);
  near(row[SUMMARY.realised_pnl], pnl, 'realised');
  near(row[SUMMARY.fees], fees, 'fees');
  near(row[SUMMARY.final_equity], 10000 + pnl - fees, 'final equity');
  near(row[ACCOUNT_SUMMARY.spread_cost], 0.001 * 100 * 0.03 + 0.001 * 110 * 0.03, 'spread cost');
  assert.deepEqual([row[ACCOUNT_SUMMARY.borrow_cost], row[ACCOUNT_SUMMARY.margin_call_bar]], [0, -1]);
});

test('shorts pay financing on their whole value, longs on what is beyond the equity', () => {
  const short = market([flat(100), flat(100), flat(90)], { borrowRate: 0.1, barsPerYear: 250 });
  ok(call(short, 'place_ticket', { side: 'sell', units: 2 }));
  ok(call(short, 'step_next'));
  near(snapshot(short)[SNAPSHOT.equity], 10000 - 0.1 / 250 * 200, 'after one bar');
  ok(call(short, 'step_next'));
  const charged = 0.1 / 250 * 200 * 2; // both bars on the value at the close before them, 100
  near(snapshot(short)[SNAPSHOT.equity], 10000 + 20 - charged, 'after two bars');
  near(summary(short)[ACCOUNT_SUMMARY.borrow_cost], charged, 'borrow cost');

  const long = market([flat(100), flat(100)], { initialBalance: 1000, borrowRate: 0.1, barsPerYear: 250 });
  ok(call(long, 'place_ticket', { side: 'buy', units: 15 })); // 1500 held on 1000 of equity: 500 borrowed
  ok(call(long, 'step_next'));
  near(summary(long)[ACCOUNT_SUMMARY.borrow_cost], 0.1 / 250 * 500, 'long borrow');

  const covered = market([flat(100), flat(100)], { borrowRate: 0.1 });
  ok(call(covered, 'place_ticket', { side: 'buy', units: 50 })); // within the equity: nothing borrowed
  ok(call(covered, 'step_next'));
  assert.equal(summary(covered)[ACCOUNT_SUMMARY.borrow_cost], 0);
});

test('with times in a sixth column the financing runs by the elapsed time, weekends included', () => {
  const rows = [[...flat(100), 0], [...flat(100), 3 * DAY], [...flat(100), 4 * DAY]];
  const engine = market(rows, { borrowRate: 0.05 });
  assert.equal(config(engine).account.bar_times, true);
  ok(call(engine, 'place_ticket', { side: 'sell', units: 10 }));
  ok(call(engine, 'step_next'));
  ok(call(engine, 'step_next'));
  near(summary(engine)[ACCOUNT_SUMMARY.borrow_cost], 0.05 * 1000 * (4 * DAY) / SECONDS_PER_YEAR, 'borrow cost');
  assert.deepEqual(mat(call(engine, 'get_ohlc')).at(-1), flat(100), 'the times are not candle columns');
});

test('a fall below the maintenance margin closes everything at the close and ends the episode', () => {
  const engine = market([flat(100), flat(120), flat(125), flat(130)], { initialBalance: 1000, maintenanceMargin: 0.25 });
  ok(call(engine, 'place_ticket', { side: 'sell', units: 20 }));
  ok(call(engine, 'place_order', { side: 'buy', orderType: 'limit', price: 50, units: 1 }));
  ok(call(engine, 'step_next')); // equity 600, margin 0.25 x 2400 = 600: not below it
  assert.equal(snapshot(engine)[SNAPSHOT.open_positions], 1);
  ok(call(engine, 'step_next')); // equity 500 below 0.25 x 2500 = 625
  const snap = snapshot(engine);
  assert.deepEqual([snap[SNAPSHOT.open_positions], snap[SNAPSHOT.pending_orders], snap[SNAPSHOT.steps_left], snap[SNAPSHOT.done]],
    [0, 0, 0, 1]);
  assert.equal(snap[SNAPSHOT.equity], 500);
  const events = mat(call(engine, 'fetch_events')).slice(1); // after the short's opening
  assert.deepEqual(events.map((e) => [e[0], e[2], e[5], e[8]]),
    [[EventType.Closed, 2, 125, Reason.MarginCall], [EventType.Cancelled, 2, 50, Reason.MarginCall]]);
  refused(call(engine, 'step_next'), Err.BadState, Sub.EpisodeOver,
    'the episode is over after 2 steps: call end_session or reset_episode');
  refused(call(engine, 'place_ticket', { side: 'buy', units: 1 }), Err.BadState, Sub.EpisodeOver,
    'the account was closed by a margin call at bar 2 (equity 500 below 625): call end_session or reset_episode');
  const row = summary(engine);
  assert.deepEqual(row.slice(ACCOUNT_SUMMARY.margin_call_bar), [2, 500, 625]);
  assert.deepEqual([row[SUMMARY.final_equity], row[SUMMARY.steps]], [500, 2]);
});

test('without the account options the page answers as before: 12 summary values, no account in the config', () => {
  const engine = market([flat(100), flat(101)]);
  assert.equal(config(engine).account, undefined);
  ok(call(engine, 'place_ticket', { side: 'buy', units: 1 }));
  ok(call(engine, 'step_next'));
  assert.equal(summary(engine).length, SUMMARY.width);
  const chosen = config(market([flat(100), flat(101)], { lotSize: 0.5, spreadBps: 3, maintenanceMargin: 0.1 })).account;
  assert.deepEqual([chosen.lot_size, chosen.spread_bps, chosen.borrow_rate, chosen.maintenance_margin, chosen.bar_times],
    [0.5, 3, 0, 0.1, false]);
});

test('bad account options and bad times are refused, naming them', () => {
  for (const [options, name] of [[{ lotSize: 0 }, 'lotSize'], [{ spreadBps: -1 }, 'spreadBps'],
    [{ borrowRate: Infinity }, 'borrowRate'], [{ barsPerYear: 0 }, 'barsPerYear'], [{ maintenanceMargin: 1 }, 'maintenanceMargin']]) {
    assert.throws(() => new Engine(options), new RegExp(`engine option ${name} must be`));
  }
  const engine = market([flat(100), flat(101)]);
  refused(call(engine, 'init_candles', [[...flat(100), 5], [...flat(101), 5]]), Err.BadArgument, Sub.CandleValue,
    "init_candles row 1: the time (column 6) must be finite and after the row before's, got 5");
  assert.equal(engine.series.length, 2);
  assert.equal(engine.times, null, 'a refused matrix leaves the engine as it was');
});
