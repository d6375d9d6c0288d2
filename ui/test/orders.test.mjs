// Order vectors and close requests, read back exactly as the module writes them.

import test from 'node:test';
import assert from 'node:assert/strict';
import {
  AmountForm, checkCloseRequest, decodeOrderVector, decodeTicketVector, OrderType, Side,
} from '../src/orders.js';
import { EngineFault } from '../src/errors.js';
import { orderVector, ticketVector } from '../test-support/requests.mjs';

function refusedWith(fn, err, sub, message) {
  assert.throws(fn, (error) => {
    assert.ok(error instanceof EngineFault, `expected an EngineFault, got ${error}`);
    assert.deepEqual([error.err, error.sub, error.message], [err, sub, message]);
    return true;
  });
}

test('place_order vectors: the worked examples', () => {
  const plain = orderVector({ side: 'Buy', orderType: ' LIMIT ', price: 1.25, units: 10 });
  assert.deepEqual(plain, [1, 1.25, -1, -1, -1, -1, 1, 1, 10, 0, 0, 0, 0]);
  assert.deepEqual(decodeOrderVector(plain), {
    side: Side.Buy, type: OrderType.Limit, price: 1.25, units: 10, form: AmountForm.Fraction,
    takeProfit: null, stopLoss: null, trailingStop: null, timeLimit: null,
  });

  const withExits = orderVector({ side: 'Buy', orderType: 'limit', price: 1.25, units: 10, takeProfit: 0.02, timeLimit: 30 });
  assert.deepEqual(withExits, [1, 1.25, 1, -1, -1, 1, 1, 1, 10, 1, 0, 0, 30]);
  const decoded = decodeOrderVector(withExits);
  assert.deepEqual([decoded.takeProfit, decoded.timeLimit], [0.02, 30]);

  const sellStop = decodeOrderVector(orderVector({
    side: 'sell', orderType: 'stop', price: 99, units: 2, stopLoss: 0.015, trailingStop: 0.0, timeLimit: 2.5,
  }));
  assert.deepEqual([sellStop.side, sellStop.type, sellStop.stopLoss, sellStop.trailingStop, sellStop.timeLimit],
    [Side.Sell, OrderType.Stop, 0.015, 0, 3]);
  // -0.0 is sent as -1.0 and reads back as a zero amount.
  assert.equal(decodeOrderVector(orderVector({ side: 'buy', orderType: 'limit', price: 1, units: 1, takeProfit: -0 })).takeProfit, 0);
});

test('place_ticket vectors: the worked example and the distances', () => {
  const v = ticketVector({ side: 'sell', units: 3, stopLoss: 0.5 });
  assert.deepEqual(v, [1, 0, 1, 0, 0, 3, 0, -0.5, 0]);
  assert.deepEqual(decodeTicketVector(v), {
    side: Side.Sell, units: 3, form: AmountForm.Distance, takeProfit: null, stopLoss: 0.5, trailingStop: null,
  });
  const all = decodeTicketVector(ticketVector({ side: 'BUY', units: 1, takeProfit: 2.5, stopLoss: 0, trailingStop: 0.75 }));
  assert.deepEqual([all.side, all.takeProfit, all.stopLoss, all.trailingStop], [Side.Buy, 2.5, 0, 0.75]);
});

test('place_order vectors the engine refuses', () => {
  const good = () => orderVector({ side: 'buy', orderType: 'limit', price: 1.25, units: 10 });
  const withValue = (i, v) => { const x = good(); x[i] = v; return x; };
  refusedWith(() => decodeOrderVector(good().slice(0, 12)), 3, 1, 'place_order expects 13 values, got 12');
  refusedWith(() => decodeOrderVector(withValue(0, 2)), 3, 2, 'place_order: unsupported order vector format 2 (expected 1)');
  refusedWith(() => decodeOrderVector(withValue(2, 0)), 3, 3, 'place_order: value 3 (0) must be 1 or -1');
  refusedWith(() => decodeOrderVector(withValue(7, 0.5)), 3, 3, 'place_order: value 8 (0.5) must be 1 or -1');
  refusedWith(() => decodeOrderVector(withValue(1, -5)), 3, 4, 'place_order: price must be finite and > 0, got -5');
  refusedWith(() => decodeOrderVector(withValue(1, 0)), 3, 4, 'place_order: price must be finite and > 0, got 0');
  refusedWith(() => decodeOrderVector(withValue(8, 0)), 3, 4, 'place_order: units must be finite and > 0, got 0');
  // The module carries any time limit unchecked; the engine needs a number of bars.
  for (const limit of [NaN, -3, 0, Infinity]) {
    refusedWith(() => decodeOrderVector(orderVector({ side: 'buy', orderType: 'stop', price: 1, units: 1, timeLimit: limit })),
      3, 4, `place_order: time_limit must be a finite number of bars > 0, got ${limit}`);
  }
  const negativeTp = withValue(2, 1);
  negativeTp[9] = -2; // would be a take-profit of -0.01
  refusedWith(() => decodeOrderVector(negativeTp), 3, 4, 'place_order: take_profit must be finite and >= 0, got -0.01');
});

test('place_ticket vectors the engine refuses', () => {
  const good = () => ticketVector({ side: 'buy', units: 1 });
  const withValue = (i, v) => { const x = good(); x[i] = v; return x; };
  refusedWith(() => decodeTicketVector(good().concat([0])), 3, 1, 'place_ticket expects 9 values, got 10');
  refusedWith(() => decodeTicketVector(withValue(4, -1)), 3, 3, 'place_ticket: value 5 (-1) must be 1 or 0');
  refusedWith(() => decodeTicketVector(withValue(5, NaN)), 3, 4, 'place_ticket: units must be finite and > 0, got NaN');
  const badSl = withValue(2, 1);
  badSl[7] = -1.5;
  refusedWith(() => decodeTicketVector(badSl), 3, 4, 'place_ticket: stop_loss must be finite and >= 0, got -0.5');
});

test('close requests are checked entry by entry before anything changes', () => {
  const book = { 4: 'position', 9: 'position', 11: 'order' };
  const lookup = (id) => book[id] ?? null;
  const request = (flags, actions, ratios) => ({ flags, actions, ratios });
  assert.deepEqual(checkCloseRequest(request([4, 9, 11, 0], [1, 2, 1, 0], [0, 0.25, 0, 0]), lookup), [
    { id: 4, action: 1, ratio: 0 }, { id: 9, action: 2, ratio: 0.25 }, { id: 11, action: 1, ratio: 0 },
    { id: 0, action: 0, ratio: 0 },
  ]);
  refusedWith(() => checkCloseRequest(request([4, 5], [1, 1], [0, 0]), lookup), 4, 1,
    'close_positions entry 1: unknown position id 5');
  refusedWith(() => checkCloseRequest(request([4, 4], [2, 1], [0.5, 0]), lookup), 3, 9,
    'close_positions entry 1: id 4 appears more than once');
  refusedWith(() => checkCloseRequest(request([4], [3], [0]), lookup), 3, 7, 'close_positions entry 0: unknown action 3');
  refusedWith(() => checkCloseRequest(request([4], [-1], [0]), lookup), 3, 7, 'close_positions entry 0: unknown action -1');
  refusedWith(() => checkCloseRequest(request([9], [2], [1.5]), lookup), 3, 8,
    'close_positions entry 0: reduce ratio 1.5 is outside [0, 1]');
  refusedWith(() => checkCloseRequest(request([11], [2], [0.5]), lookup), 5, 4,
    'close_positions entry 0: id 11 is a pending order, which cannot be reduced');
});
