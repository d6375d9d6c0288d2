// Test helpers: request payloads built the way the Python module builds them, and short-hands for
// calling the engine and reading its answers.

import assert from 'node:assert/strict';
import {
  decodeMatF64, decodeVecF64, decodeVecMatF64, encodeCloseStep, encodeMatF64, encodeVecF64,
} from '../src/protocol.js';

export function hex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).toUpperCase().padStart(2, '0')).join(' ');
}

export function fromHex(text) {
  const clean = text.replace(/\s+/g, '');
  return Uint8Array.from(clean.match(/../g) ?? [], (pair) => parseInt(pair, 16));
}

const word = (text) => text.trim().toLowerCase();

// The 13-value order vector of place_order.
export function orderVector({ side, orderType, price, units, takeProfit = null, stopLoss = null,
  trailingStop = null, timeLimit = null }) {
  const flag = (v) => (v === null ? -1 : 1);
  const pct = (v) => (v === null ? 0 : v * 100 - 1);
  return [1, price, flag(takeProfit), flag(stopLoss), flag(trailingStop), flag(timeLimit),
    word(side) === 'buy' ? 1 : -1, word(orderType) === 'limit' ? 1 : -1, units,
    pct(takeProfit), pct(stopLoss), pct(trailingStop), timeLimit === null ? 0 : timeLimit];
}

// The 9-value order vector of place_ticket.
export function ticketVector({ side, units, takeProfit = null, stopLoss = null, trailingStop = null }) {
  const flag = (v) => (v === null ? 0 : 1);
  const less1 = (v) => (v === null ? 0 : v - 1);
  return [1, flag(takeProfit), flag(stopLoss), flag(trailingStop), word(side) === 'buy' ? 1 : 0, units,
    less1(takeProfit), less1(stopLoss), less1(trailingStop)];
}

// close_positions' CloseStep: ratios are zeroed except for action 2.
export function closePayload(ids, actions, ratios) {
  return encodeCloseStep(ids, actions, ratios.map((r, i) => (actions[i] === 2 ? r : 0)));
}

export function resetPayload(index, type) {
  const out = new Uint8Array(5);
  new DataView(out.buffer).setUint32(0, index, true);
  out[4] = type.toLowerCase() === 'test' ? 1 : 0;
  return out;
}

export function candlePayload(rows) {
  return encodeMatF64(rows.length, rows.length ? rows[0].length : 5, rows.flat());
}

// One request per method name, the payload built from the same arguments the Python method takes.
export const FN = {
  init_candles: [100, (rows) => candlePayload(rows)],
  reset_episode: [101, (index, type) => resetPayload(index, type)],
  get_rl_config: [102],
  step_next: [2],
  step_and_sync: [130],
  get_snapshot: [12],
  get_ticket_list: [10],
  get_ohlc: [15],
  fetch_events: [30],
  end_session: [40],
  get_sync_policy: [120],
  close_positions: [31, (ids, actions, ratios) => closePayload(ids, actions, ratios)],
  place_order: [20, (o) => encodeVecF64(orderVector(o))],
  place_ticket: [21, (t) => encodeVecF64(ticketVector(t))],
};

export function call(engine, name, ...args) {
  const [fnId, build] = FN[name];
  return engine.handleRequest(fnId, build ? build(...args) : new Uint8Array(0));
}

export function ok(outcome) {
  assert.equal(outcome.ok, true, outcome.ok ? '' : `refused: ${outcome.err}/${outcome.sub} ${outcome.message}`);
  return outcome.payload;
}

export const vec = (outcome) => Array.from(decodeVecF64(ok(outcome)));

// A matrix as an array of rows.
export function mat(outcome) {
  return rowsOf(decodeMatF64(ok(outcome)));
}

export function rowsOf({ rows, cols, data }) {
  return Array.from({ length: rows }, (_, r) => Array.from(data.subarray(r * cols, (r + 1) * cols)));
}

export function vecMat(outcome) {
  const { vector, matrix } = decodeVecMatF64(ok(outcome));
  return { vector: Array.from(vector), rows: rowsOf(matrix) };
}

export function refused(outcome, err, sub, message) {
  assert.equal(outcome.ok, false, 'expected a refusal');
  assert.deepEqual({ err: outcome.err, sub: outcome.sub, message: outcome.message }, { err, sub, message });
}

// A flat series: every candle open = high = low = close = price, unless a row is given for the bar.
export function flatCandles(count, price, overrides = {}) {
  return Array.from({ length: count }, (_, b) => overrides[b] ?? [price, price, price, price, 100]);
}
