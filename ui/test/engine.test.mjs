// The engine as the link sees it: every function identifier, its answer's payload kind, episodes,
// determinism and the refusals.

import test from 'node:test';
import assert from 'node:assert/strict';
import { Engine, FnId } from '../src/engine.js';
import { decodeMatF64, encodeVecF64 } from '../src/protocol.js';
import { CLOSE_RESULT, EVENT, RECEIPT, SNAPSHOT, SUMMARY, TICKET } from '../src/columns.js';
import { syntheticSeries } from '../src/candles.js';
import {
  call, candlePayload, flatCandles, hex, mat, ok, refused, resetPayload, rowsOf, vec, vecMat,
} from '../test-support/requests.mjs';

const EMPTY = new Uint8Array(0);

test('every function identifier answers with its payload kind', () => {
  const engine = new Engine({ seed: 3, bars: 600, window: 16, episodeLength: 64 });
  const config = JSON.parse(new TextDecoder().decode(ok(call(engine, 'get_rl_config'))));
  assert.deepEqual(
    [config.seed, config.bars, config.window, config.episode_length, config.train_episodes, config.test_episodes],
    [3, 600, 16, 64, 6, 1]);
  assert.deepEqual(config.candle_columns, ['open', 'high', 'low', 'close', 'volume']);
  assert.deepEqual(config.snapshot_columns, SNAPSHOT.names);

  assert.equal(hex(ok(call(engine, 'reset_episode', 1, 'train'))), '40 00 00 00'); // 64 steps
  assert.equal(ok(call(engine, 'step_next')).length, 0);
  const { vector, rows } = vecMat(call(engine, 'step_and_sync'));
  assert.equal(vector.length, SNAPSHOT.width);
  assert.equal(vector[SNAPSHOT.step], 2);
  // The window is the last 16 candles, ending on the cursor's bar.
  const cursor = vector[SNAPSHOT.bar];
  assert.equal(cursor, 80 + 15 + 2);
  assert.deepEqual(rows, rowsOf({ rows: 16, cols: 5, data: engine.series.rows(cursor - 15, cursor + 1) }));

  assert.equal(vec(call(engine, 'get_snapshot')).length, SNAPSHOT.width);
  assert.equal(vec(call(engine, 'place_ticket', { side: 'buy', units: 1 })).length, RECEIPT.width);
  assert.equal(vec(call(engine, 'place_order', { side: 'sell', orderType: 'limit', price: 500, units: 1 })).length, RECEIPT.width);
  const tickets = mat(call(engine, 'get_ticket_list'));
  assert.deepEqual(tickets.map((r) => [r.length, r[TICKET.id]]), [[TICKET.width, 1], [TICKET.width, 2]]);
  const ohlc = decodeMatF64(ok(call(engine, 'get_ohlc')));
  assert.deepEqual([ohlc.rows, ohlc.cols], [cursor - 80 + 1, 5]);
  assert.equal(mat(call(engine, 'fetch_events'))[0].length, EVENT.width);
  assert.equal(mat(call(engine, 'close_positions', [1, 2], [1, 1], [0, 0]))[0].length, CLOSE_RESULT.width);
  const summary = decodeMatF64(ok(call(engine, 'end_session')));
  assert.deepEqual([summary.rows, summary.cols], [1, SUMMARY.width]);
  assert.equal(hex(ok(call(engine, 'get_sync_policy'))), '00');
  assert.equal(hex(ok(new Engine({ syncPolicy: 'eager' }).handleRequest(FnId.GetSyncPolicy, EMPTY))), '01');
  assert.equal(ok(call(engine, 'init_candles', flatCandles(10, 5))).length, 0);
});

test('empty results are matrices with no rows', () => {
  const engine = new Engine({ bars: 100 });
  for (const [name, width] of [['fetch_events', EVENT.width], ['get_ticket_list', TICKET.width]]) {
    const m = decodeMatF64(ok(call(engine, name)));
    assert.deepEqual([m.rows, m.cols], [0, width]);
  }
  const closed = decodeMatF64(ok(call(engine, 'close_positions', [], [], [])));
  assert.deepEqual([closed.rows, closed.cols], [0, CLOSE_RESULT.width]);
});

test('train and test episodes are separate windows of the series', () => {
  const engine = new Engine({ bars: 1000, window: 10, episodeLength: 40, testShare: 0.25 });
  const config = JSON.parse(new TextDecoder().decode(ok(call(engine, 'get_rl_config'))));
  assert.deepEqual([config.train_bars, config.test_bars, config.train_episodes, config.test_episodes],
    [[0, 750], [750, 250], 15, 5]);
  const covered = new Map();
  for (const [type, count] of [['train', 15], ['test', 5]]) {
    for (let i = 0; i < count; i++) {
      const steps = new DataView(ok(call(engine, 'reset_episode', i, type)).buffer).getUint32(0, true);
      assert.equal(steps, 40);
      const first = vec(call(engine, 'get_snapshot'));
      assert.deepEqual([first[SNAPSHOT.step], first[SNAPSHOT.steps_left], first[SNAPSHOT.done]], [0, 40, 0]);
      assert.deepEqual([first[SNAPSHOT.episode_type], first[SNAPSHOT.episode_index]], [type === 'test' ? 1 : 0, i]);
      const ohlc = decodeMatF64(ok(call(engine, 'get_ohlc')));
      assert.equal(ohlc.rows, 10); // the history window, nothing after the cursor
      let last = first;
      for (let s = 0; s < 40; s++) last = vecMat(call(engine, 'step_and_sync')).vector;
      assert.deepEqual([last[SNAPSHOT.steps_left], last[SNAPSHOT.done]], [0, 1]);
      const startBar = first[SNAPSHOT.bar] - 9;
      for (let b = startBar; b <= last[SNAPSHOT.bar]; b++) {
        assert.ok(!covered.has(b), `bar ${b} is in two episodes`);
        covered.set(b, type);
      }
      if (type === 'test') assert.ok(startBar >= 750);
      else assert.ok(last[SNAPSHOT.bar] < 750);
      refused(call(engine, 'step_next'), 5, 1, 'the episode is over after 40 steps: call end_session or reset_episode');
    }
  }
});

test('short series shrink the episodes, and too short ones have none', () => {
  const engine = new Engine({ window: 8 });
  ok(call(engine, 'init_candles', flatCandles(200, 10)));
  const config = JSON.parse(new TextDecoder().decode(ok(call(engine, 'get_rl_config'))));
  assert.deepEqual([config.candle_source, config.bars, config.episode_length, config.train_episodes, config.test_episodes],
    ['init_candles', 200, 32, 4, 1]);
  ok(call(engine, 'init_candles', flatCandles(40, 10)));
  refused(call(engine, 'reset_episode', 0, 'train'), 5, 3, 'no train episodes: 40 candles are too few for a window of 8 bars');
  // The whole series still runs before any episode.
  const snap = vec(call(engine, 'get_snapshot'));
  assert.deepEqual([snap[SNAPSHOT.bar], snap[SNAPSHOT.steps_left], snap[SNAPSHOT.episode_type]], [7, 32, -1]);
});

test('the same seed gives the same answers, byte for byte', () => {
  const script = (engine) => {
    const out = [];
    const push = (outcome) => out.push(outcome.ok ? hex(outcome.payload) : `${outcome.err}/${outcome.sub} ${outcome.message}`);
    push(call(engine, 'reset_episode', 2, 'train'));
    push(call(engine, 'get_ohlc'));
    for (let i = 0; i < 30; i++) {
      push(call(engine, 'step_and_sync'));
      if (i % 7 === 0) push(call(engine, 'place_ticket', { side: i % 2 ? 'sell' : 'buy', units: 1, trailingStop: 0.3 }));
      if (i % 5 === 0) push(call(engine, 'place_order', { side: 'buy', orderType: 'limit', price: 99, units: 2, timeLimit: 4 }));
      push(call(engine, 'fetch_events'));
    }
    push(call(engine, 'get_ticket_list'));
    push(call(engine, 'end_session'));
    return out;
  };
  const a = script(new Engine({ seed: 11 }));
  assert.deepEqual(script(new Engine({ seed: 11 })), a);
  assert.notDeepEqual(script(new Engine({ seed: 12 })), a);
  assert.deepEqual(syntheticSeries(11, 300).data, syntheticSeries(11, 300).data);
  assert.deepEqual(syntheticSeries(11, 300).data, syntheticSeries(11, 600).data.subarray(0, 1500));
});

test('synthetic candles are consistent', () => {
  const series = syntheticSeries(5, 3000);
  for (let b = 0; b < series.length; b++) {
    const c = series.candle(b);
    assert.ok(c.low > 0 && c.low <= Math.min(c.open, c.close) && c.high >= Math.max(c.open, c.close) && c.volume > 0,
      `bar ${b}: ${JSON.stringify(c)}`);
  }
});

test('refused requests: codes, texts, and no change to the engine', () => {
  const engine = new Engine({ seed: 2, bars: 400, window: 8, episodeLength: 20 });
  ok(call(engine, 'reset_episode', 0, 'train'));
  ok(call(engine, 'place_ticket', { side: 'buy', units: 2 }));
  ok(call(engine, 'step_next'));
  const before = [hex(ok(call(engine, 'get_snapshot'))), hex(ok(call(engine, 'get_ticket_list'))), hex(ok(call(engine, 'get_ohlc')))];

  refused(engine.handleRequest(999, EMPTY), 1, 0, 'unknown fnId 999');
  refused(engine.handleRequest(0, EMPTY), 1, 0, 'unknown fnId 0');
  refused(engine.handleRequest(FnId.StepNext, new Uint8Array(3)), 2, 4, 'step_next takes an empty payload, got 3 bytes');
  refused(engine.handleRequest(FnId.PlaceTicket, new Uint8Array(3)), 2, 1, 'VecF64 payload too short');
  refused(engine.handleRequest(FnId.PlaceOrder, encodeVecF64([1, 2, 3]).subarray(0, 27)), 2, 2,
    'VecF64 length mismatch: expected 28, got 27');
  refused(engine.handleRequest(FnId.PlaceOrder, encodeVecF64([1, 2, 3])), 3, 1, 'place_order expects 13 values, got 3');
  refused(engine.handleRequest(FnId.ClosePositions, new Uint8Array(5)), 2, 2, 'CloseStep length mismatch: expected 4, got 5');
  refused(call(engine, 'close_positions', [1, 77], [2, 1], [0.5, 0]), 4, 1, 'close_positions entry 1: unknown position id 77');
  refused(engine.handleRequest(FnId.ResetEpisode, resetPayload(0, 'train').subarray(0, 4)), 2, 2, 'reset_episode expects 5 bytes, got 4');
  refused(engine.handleRequest(FnId.ResetEpisode, Uint8Array.of(0, 0, 0, 0, 2)), 3, 10,
    'reset_episode: episode type 2 is neither 0 (train) nor 1 (test)');
  refused(call(engine, 'reset_episode', 99, 'test'), 4, 2, 'test episode index 99 out of range (2 test episodes)');
  refused(call(engine, 'reset_episode', 4294967295, 'train'), 4, 2, 'train episode index 4294967295 out of range (11 train episodes)');
  refused(engine.handleRequest(FnId.InitCandles, new Uint8Array(7)), 2, 1, 'MatF64 payload too short');
  refused(engine.handleRequest(FnId.InitCandles, candlePayload([[1, 1, 1, 1], [1, 1, 1, 1]])), 3, 5,
    'init_candles expects 5 columns (open, high, low, close, volume), got 4');
  refused(call(engine, 'init_candles', flatCandles(1, 5)), 3, 5, 'init_candles needs at least 2 rows, got 1');
  refused(call(engine, 'init_candles', flatCandles(3, 5, { 2: [5, 5, 5, NaN, 1] })), 3, 6, 'init_candles row 2: close is not finite (NaN)');
  refused(call(engine, 'init_candles', flatCandles(3, 5, { 1: [5, 4, 3, 5, 1] })), 3, 6,
    'init_candles row 1: high 4 is below max(open, close) 5');
  refused(call(engine, 'init_candles', flatCandles(3, 5, { 0: [5, 6, 5.5, 5, 1] })), 3, 6,
    'init_candles row 0: low 5.5 is above min(open, close) 5');
  refused(call(engine, 'init_candles', flatCandles(3, 5, { 0: [0, 0, 0, 0, 1] })), 3, 6, 'init_candles row 0: prices must be > 0');
  refused(call(engine, 'init_candles', flatCandles(3, 5, { 0: [5, 5, 5, 5, -1] })), 3, 6, 'init_candles row 0: volume must be >= 0, got -1');

  const after = [hex(ok(call(engine, 'get_snapshot'))), hex(ok(call(engine, 'get_ticket_list'))), hex(ok(call(engine, 'get_ohlc')))];
  assert.deepEqual(after, before);
});

test('a failing display listener does not cost the answer', (t) => {
  const engine = new Engine({ bars: 100 });
  t.mock.method(console, 'error', () => {});
  engine.subscribe(() => { throw new Error('canvas gone'); });
  const seen = [];
  engine.subscribe((fnId, outcome) => seen.push([fnId, outcome.ok]));
  assert.equal(vec(call(engine, 'get_snapshot')).length, SNAPSHOT.width);
  refused(engine.handleRequest(7, EMPTY), 1, 0, 'unknown fnId 7');
  assert.deepEqual(seen, [[12, true], [7, false]]);
});

test('a series no longer than the window has nothing to step through', () => {
  const engine = new Engine({ window: 4 });
  ok(call(engine, 'init_candles', flatCandles(4, 5)));
  const snap = vec(call(engine, 'get_snapshot'));
  assert.deepEqual([snap[SNAPSHOT.bar], snap[SNAPSHOT.steps_left], snap[SNAPSHOT.done]], [3, 0, 1]);
  refused(call(engine, 'step_and_sync'), 5, 1, 'the episode is over after 0 steps: call end_session or reset_episode');
  ok(call(engine, 'init_candles', flatCandles(5, 5)));
  const { vector, rows } = vecMat(call(engine, 'step_and_sync'));
  assert.deepEqual([vector[SNAPSHOT.bar], vector[SNAPSHOT.done], rows.length], [4, 1, 4]);
});
