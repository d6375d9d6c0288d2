// The trainer's task on the page: slippage against the trader, the fee rate, the validation range, a
// test range of a given length, and train episodes that may start on any bar. Numbers by hand.

import test from 'node:test';
import assert from 'node:assert/strict';
import { Engine } from '../src/engine.js';
import { EventType, Reason, SNAPSHOT, SUMMARY } from '../src/columns.js';
import { layoutEpisodes } from '../src/episodes.js';
import { call, mat, ok, refused, vec } from '../test-support/requests.mjs';

const flat = (p) => [p, p, p, p, 1];

function market(rows, options = {}) {
  const engine = new Engine({ window: 1, ...options });
  ok(call(engine, 'init_candles', rows));
  return engine;
}

function near(actual, expected, what = '') {
  assert.ok(Math.abs(actual - expected) < 1e-9, `${what}: ${actual} is not ${expected}`);
}

function config(engine) {
  return JSON.parse(new TextDecoder().decode(ok(call(engine, 'get_rl_config'))));
}

test('slippage moves every fill and close against the trader, and the fee is on the moved price', () => {
  // 50 bps, fee 0.001: a buy of 2 at 100 fills at 100.5 (fee 0.201); closed at 110 it sells at 109.45
  // (fee 0.21890): PnL 2 * 8.95 = 17.9.
  const engine = market([flat(100), flat(110)], { feeRate: 0.001, slippageBps: 50 });
  const receipt = vec(call(engine, 'place_ticket', { side: 'buy', units: 2 }));
  near(receipt[4], 100.5, 'fill price');
  near(receipt[7], 0.201, 'entry fee');
  ok(call(engine, 'step_next'));
  const summary = mat(call(engine, 'end_session'))[0];
  near(summary[SUMMARY.realised_pnl], 17.9, 'realised');
  near(summary[SUMMARY.fees], 0.201 + 0.2189, 'fees');
  near(summary[SUMMARY.final_equity], 10000 + 17.9 - 0.201 - 0.2189, 'final equity');
  const closed = mat(call(engine, 'fetch_events')).find((e) => e[0] === EventType.Closed);
  near(closed[5], 109.45, 'close price');
  assert.equal(closed[8], Reason.EndOfSession);

  // A short sells below and buys back above: 100 * (1 - 0.005) = 99.5, then 110 * 1.005 = 110.55.
  const short = market([flat(100), flat(110)], { feeRate: 0, slippageBps: 50 });
  near(vec(call(short, 'place_ticket', { side: 'sell', units: 1 }))[4], 99.5, 'short fill');
  ok(call(short, 'step_next'));
  const rows = mat(call(short, 'close_positions', [1], [1], [0]));
  near(rows[0][4], 110.55, 'buy-back price');
  near(rows[0][5], -11.05, 'short PnL');
  assert.equal(config(short).slippage_bps, 50);
});

test('without slippage fills are at the quoted price, bit for bit', () => {
  const engine = market([flat(100.1), flat(100.3)], { feeRate: 0 });
  assert.equal(vec(call(engine, 'place_ticket', { side: 'buy', units: 3 }))[4], 100.1);
  assert.equal(config(engine).slippage_bps, 0);
});

test('a validation range lies between the train and the test range, addressed as test episodes after them', () => {
  const engine = new Engine({ bars: 1000, window: 10, episodeLength: 40, testBars: 200, validationBars: 100 });
  const c = config(engine);
  assert.deepEqual([c.train_bars, c.validation_bars, c.test_bars], [[0, 700], [700, 100], [800, 200]]);
  assert.deepEqual([c.train_episodes, c.validation_episodes, c.test_episodes, c.episode_length], [14, 2, 4, 40]);
  const startOf = (type, index) => {
    ok(call(engine, 'reset_episode', index, type));
    return vec(call(engine, 'get_snapshot'))[SNAPSHOT.bar] - 9;
  };
  assert.deepEqual([0, 1, 2, 3, 4, 5].map((i) => startOf('test', i)), [800, 850, 900, 950, 700, 750]);
  refused(call(engine, 'reset_episode', 6, 'test'), 4, 2, 'test episode index 6 out of range (4 test and 2 validation episodes)');
});

test('train episodes may start on any bar of the train range, never reaching the held-out bars', () => {
  const engine = new Engine({ bars: 200, window: 5, episodeLength: 20, testBars: 50, trainStarts: 'any' });
  const c = config(engine);
  // 150 train bars, episodes of 25 bars: starts 0 .. 125.
  assert.deepEqual([c.train_episodes, c.test_episodes, c.train_starts], [126, 2, 'any']);
  ok(call(engine, 'reset_episode', 125, 'train'));
  let snapshot = vec(call(engine, 'get_snapshot'));
  assert.equal(snapshot[SNAPSHOT.bar], 129);
  for (let s = 0; s < 20; s++) ok(call(engine, 'step_next'));
  snapshot = vec(call(engine, 'get_snapshot'));
  assert.deepEqual([snapshot[SNAPSHOT.bar], snapshot[SNAPSHOT.done]], [149, 1]);
  ok(call(engine, 'reset_episode', 7, 'train'));
  assert.equal(vec(call(engine, 'get_snapshot'))[SNAPSHOT.bar], 11);
  refused(call(engine, 'reset_episode', 126, 'train'), 4, 2, 'train episode index 126 out of range (126 train episodes)');
});

test('the default layout is the one of before: the last fifth is the test range, episodes on a grid', () => {
  const layout = layoutEpisodes(5000, { window: 32, episodeLength: 256, testShare: 0.2 });
  assert.deepEqual([layout.train, layout.test, layout.validation.episodes, layout.length],
    [{ first: 0, bars: 4000, episodes: 13 }, { first: 4000, bars: 1000, episodes: 3 }, 0, 256]);
});

test('bad task options are refused when the engine is made', () => {
  for (const [options, text] of [
    [{ slippageBps: -1 }, /slippageBps/], [{ slippageBps: Number.NaN }, /slippageBps/],
    [{ testBars: 0 }, /testBars/], [{ validationBars: 1.5 }, /validationBars/], [{ trainStarts: 'some' }, /trainStarts/],
  ]) {
    assert.throws(() => new Engine(options), text);
  }
});
