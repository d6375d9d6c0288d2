// The account of one session: cash, open positions, pending orders, fills, exits and the event queue.
//
// Execution rules, chosen to be simple and never optimistic:
// - a market ticket fills at once at the close of the current bar;
// - a pending order is first looked at on the bar after it was placed; a buy limit fills when the low
//   reaches its price, a sell limit when the high does, a buy stop when the high does, a sell stop when
//   the low does; a bar that opens beyond the price fills at the open (better for a limit, worse for a stop);
// - a position's exits are first looked at on the bar after its fill. Stops (stop-loss and trailing
//   stop) are tested before the take-profit, so a bar that touches both counts as a loss; a gap through
//   a level fills at the open. The trailing level follows the best price up to the previous bar;
// - every fill pays fee_rate * price * units;
// - with a slippage s (a fraction of the price: slippage_bps / 10000) every fill and every close, at the
//   market or at a level, is s worse for the trader than the price above: a buy at price * (1 + s), a
//   sell at price * (1 - s). The fee is on that price. With s = 0 nothing changes, bit for bit;
// - with a spread of h = spread_bps / 10000 the quoted price is the mid: a buy pays half the spread above
//   it, a sell half below, on top of the slippage: price * (1 + side * (s + h / 2)). What the half spreads
//   cost (h / 2 * quoted price * quantity) is counted apart in `spreadCost`; it is part of the PnL already,
//   as the slippage is, and the fee is on the price paid;
// - `units` count lots: a position of u units holds u * lot_size of the instrument, and its PnL, fee and
//   value are on that quantity. With lot_size = 1 nothing changes, bit for bit;
// - financing (`chargeBorrow`) and the margin call (`liquidate`) are the session's to call (session.js).

import { AmountForm, Side } from './orders.js';
import { CloseResult, EventType, PositionState, Reason } from './columns.js';

function exitLevel(form, side, entry, amount, direction) {
  if (amount === null) return null;
  // direction +1: in the position's favour (take-profit); -1: against it (stop-loss).
  return form === AmountForm.Fraction
    ? entry * (1 + direction * side * amount)
    : entry + direction * side * amount;
}

export const MARKS_KEPT = 2000;

export class Book {
  // account: { lotSize, spread } (spread: a fraction of the price, spread_bps / 10000).
  constructor(initialBalance, feeRate, slippage = 0, { lotSize = 1, spread = 0 } = {}) {
    this.initialBalance = initialBalance;
    this.feeRate = feeRate;
    this.slippage = slippage;
    this.lotSize = lotSize;
    this.halfSpread = spread / 2;
    this.spreadCost = 0;
    this.borrowCost = 0;
    this.balance = initialBalance;
    this.realised = 0;
    this.fees = 0;
    this.trades = 0;
    this.wins = 0;
    this.peakEquity = initialBalance;
    this.maxDrawdown = 0;
    this.nextId = 1;
    this.positions = new Map();
    this.orders = new Map();
    this.events = [];
    // Fills, closes and reductions for the chart, which must not empty the event queue: the last
    // MARKS_KEPT of them, oldest first.
    this.marks = [];
  }

  kindOf(id) {
    if (this.positions.has(id)) return 'position';
    if (this.orders.has(id)) return 'order';
    return null;
  }

  // place_ticket: opens a position now. Returns its receipt values.
  openMarket(request, bar, price) {
    const position = this.#fill(request, this.nextId++, 0, bar, price, Reason.Request);
    return [position.id, PositionState.Open, position.side, position.units, position.entryPrice,
      position.takeProfit ?? 0, position.stopLoss ?? 0, position.entryFee];
  }

  // place_order: queues a limit or stop order. Returns its receipt values (exit prices are known
  // only once it fills, so they read 0).
  placePending(request, bar) {
    const order = { ...request, id: this.nextId++, placedBar: bar,
      expiryBar: request.timeLimit === null ? -1 : bar + request.timeLimit };
    this.orders.set(order.id, order);
    return [order.id, PositionState.PendingOrder, order.side, order.units, order.price, 0, 0, 0];
  }

  // Everything that happens during one new bar: fills and expiries of pending orders, then exits of the
  // positions that were open before it.
  onBar(bar, candle) {
    if (this.orders.size === 0 && this.positions.size === 0) return; // nothing to look at: no copies made
    for (const order of [...this.orders.values()]) {
      if (order.placedBar >= bar) continue;
      const price = triggerPrice(order, candle);
      if (price !== null) {
        this.orders.delete(order.id);
        this.#fill(order, order.id, order.type, bar, price, Reason.Triggered);
      } else if (order.expiryBar >= 0 && bar >= order.expiryBar) {
        this.orders.delete(order.id);
        this.#event(EventType.Expired, order, bar, order.units, order.price, 0, 0, Reason.TimeLimit);
      }
    }
    for (const position of [...this.positions.values()]) {
      if (position.entryBar >= bar) continue;
      const exit = exitOf(position, candle);
      if (exit !== null) this.close(position.id, bar, exit.price, exit.reason);
      else position.best = position.side === Side.Buy ? Math.max(position.best, candle.high) : Math.min(position.best, candle.low);
    }
  }

  // Closes `ratio` of a position's units (all of them at ratio 1). Returns [result, units, price, pnl, fee, left].
  reduce(id, ratio, bar, quoted) {
    const position = this.positions.get(id);
    const units = ratio === 1 ? position.units : position.units * ratio;
    if (units === 0) return [CloseResult.Nothing, 0, quoted, 0, 0, position.units];
    if (units === position.units) return this.close(id, bar, quoted, Reason.Request);
    const { pnl, fee, price } = this.#realise(position, units, quoted);
    position.units -= units;
    this.#event(EventType.Reduced, position, bar, units, price, pnl, fee, Reason.Request);
    return [CloseResult.Reduced, units, price, pnl, fee, position.units];
  }

  close(id, bar, quoted, reason) {
    const position = this.positions.get(id);
    const units = position.units;
    const { pnl, fee, price } = this.#realise(position, units, quoted);
    this.positions.delete(id);
    this.trades += 1;
    if (position.pnl - position.feesPaid > 0) this.wins += 1;
    this.#event(EventType.Closed, position, bar, units, price, pnl, fee, reason);
    return [CloseResult.Closed, units, price, pnl, fee, 0];
  }

  cancel(id, bar, reason) {
    const order = this.orders.get(id);
    this.orders.delete(id);
    this.#event(EventType.Cancelled, order, bar, order.units, order.price, 0, 0, reason);
    return [CloseResult.Cancelled, order.units, order.price, 0, 0, 0];
  }

  unrealised(price) {
    let sum = 0;
    for (const p of this.positions.values()) sum += p.side * (price - p.entryPrice) * p.units * this.lotSize;
    return sum;
  }

  // The open positions' value at `price`: { long, short }, both >= 0 (quantity x price).
  exposure(price) {
    let long = 0;
    let short = 0;
    for (const p of this.positions.values()) {
      if (p.side === Side.Buy) long += p.units * this.lotSize * price;
      else short += p.units * this.lotSize * price;
    }
    return { long, short };
  }

  // Financing paid out of the balance (session.js says what it is charged on).
  chargeBorrow(amount) {
    this.balance -= amount;
    this.borrowCost += amount;
  }

  // Closes every position at `price` and cancels every pending order, all for `reason`.
  liquidate(bar, price, reason) {
    for (const id of [...this.positions.keys()]) this.close(id, bar, price, reason);
    for (const id of [...this.orders.keys()]) this.cancel(id, bar, reason);
  }

  netUnits() {
    let sum = 0;
    for (const p of this.positions.values()) sum += p.side * p.units;
    return sum;
  }

  // Equity at `price`; also follows the peak for the drawdown.
  markToMarket(price) {
    const equity = this.balance + this.unrealised(price);
    if (equity > this.peakEquity) this.peakEquity = equity;
    if (this.peakEquity > 0) this.maxDrawdown = Math.max(this.maxDrawdown, (this.peakEquity - equity) / this.peakEquity);
    return equity;
  }

  takeEvents() {
    const events = this.events;
    this.events = [];
    return events;
  }

  // A position from a ticket's or an order's request, filled now.
  #fill(request, id, type, bar, quoted, reason) {
    const price = this.#slipped(quoted, request.side, request.units);
    const fee = this.feeRate * price * request.units * this.lotSize;
    const position = {
      id, side: request.side, units: request.units, type, form: request.form,
      entryPrice: price, entryBar: bar, best: price, entryFee: fee,
      takeProfit: exitLevel(request.form, request.side, price, request.takeProfit, +1),
      stopLoss: exitLevel(request.form, request.side, price, request.stopLoss, -1),
      trailingStop: request.trailingStop,
      pnl: 0, feesPaid: fee,
    };
    this.positions.set(position.id, position);
    this.balance -= fee;
    this.fees += fee;
    this.#event(EventType.Opened, position, bar, position.units, price, 0, fee, reason);
    return position;
  }

  // A trade's price after slippage and half the spread: `side` +1 buys, -1 sells; counts the spread's cost.
  #slipped(price, side, units) {
    if (this.halfSpread === 0) return price * (1 + side * this.slippage);
    this.spreadCost += this.halfSpread * price * units * this.lotSize;
    return price * (1 + side * (this.slippage + this.halfSpread));
  }

  // Realises `units` of a position closed at the quoted `price`; answers the PnL, the fee and the price
  // it was closed at (after slippage).
  #realise(position, units, quoted) {
    const price = this.#slipped(quoted, -position.side, units);
    const pnl = position.side * (price - position.entryPrice) * units * this.lotSize;
    const fee = this.feeRate * price * units * this.lotSize;
    position.pnl += pnl;
    position.feesPaid += fee;
    this.realised += pnl;
    this.fees += fee;
    this.balance += pnl - fee;
    return { pnl, fee, price };
  }

  #event(type, item, bar, units, price, pnl, fee, reason) {
    this.events.push([type, item.id, bar, item.side, units, price, pnl, fee, reason, this.balance]);
    if (type === EventType.Opened || type === EventType.Closed || type === EventType.Reduced) {
      if (this.marks.length >= MARKS_KEPT) this.marks.splice(0, this.marks.length - MARKS_KEPT + 1);
      this.marks.push({ type, id: item.id, bar, side: item.side, price, pnl, reason });
    }
  }
}

// The trailing stop's level, from the best price the position has seen; null without a trailing stop.
export function trailingLevel(position) {
  if (position.trailingStop === null) return null;
  return position.form === AmountForm.Fraction
    ? position.best * (1 - position.side * position.trailingStop)
    : position.best - position.side * position.trailingStop;
}

function triggerPrice(order, { open, high, low }) {
  const buy = order.side === Side.Buy;
  const limit = order.type > 0;
  if (buy === limit) {
    // buy limit or sell stop: triggered by a low at or below the price
    return low > order.price ? null : Math.min(open, order.price);
  }
  // sell limit or buy stop: triggered by a high at or above the price
  return high < order.price ? null : Math.max(open, order.price);
}

function exitOf(position, { open, high, low }) {
  const long = position.side === Side.Buy;
  const trail = trailingLevel(position);
  let stop = position.stopLoss;
  let reason = Reason.StopLoss;
  if (trail !== null && (stop === null || (long ? trail > stop : trail < stop))) {
    stop = trail;
    reason = Reason.TrailingStop;
  }
  if (stop !== null && (long ? low <= stop : high >= stop)) {
    return { price: long ? Math.min(open, stop) : Math.max(open, stop), reason };
  }
  const tp = position.takeProfit;
  if (tp !== null && (long ? high >= tp : low <= tp)) {
    return { price: long ? Math.max(open, tp) : Math.min(open, tp), reason: Reason.TakeProfit };
  }
  return null;
}
