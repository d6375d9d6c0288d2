// One trading session over a stretch of bars: the cursor, the account, the equity curve and the
// vectors and matrices that describe them.
//
// The account's rules that follow the bars (the book's own are in book.js), each off at its default:
// - financing: moving from bar a to bar b, the positions open at a's close pay
//   borrowRate * years(a, b) * (short value + max(0, long value - equity)), all at a's close: shorts pay on
//   their whole value, longs on what is beyond the equity (the money borrowed). years(a, b) is
//   (time(b) - time(a)) / SECONDS_PER_YEAR when the candles came with times, else 1 / barsPerYear. It is
//   charged before the bar's exits, out of the balance (`borrow_cost`, apart from the fees);
// - margin call: at each new bar's close, after the exits, when positions are open and the equity is
//   below maintenanceMargin * their value (long and short alike), everything is closed at that close
//   (with the spread, slippage and fees of any close), pending orders are cancelled (reason 7) and the
//   episode is over: `steps_left` 0 and `done` 1. A gap can still take the equity below zero: the loss
//   stays, as it would at a broker.

import { Book, trailingLevel } from './book.js';
import { fault, Err, Sub } from './errors.js';
import { ACCOUNT_SUMMARY, PositionState, Reason, SNAPSHOT, SUMMARY } from './columns.js';

export const SECONDS_PER_YEAR = 365.25 * 86400;

// The account's options that go beyond the fee and the slippage, off at these values.
export const ACCOUNT_DEFAULTS = Object.freeze({
  lotSize: 1, spread: 0, borrowRate: 0, barsPerYear: 252, maintenanceMargin: 0, times: null, extended: false,
});

export class Session {
  // bars: { startBar, firstBar, lastBar } (episodes.js); type: EpisodeType; index: -1 for the series.
  // account: ACCOUNT_DEFAULTS' fields (times: the bars' times in seconds, or null; extended: the summary
  // carries the account's columns).
  constructor(series, bars, type, index, { initialBalance, feeRate, slippage = 0, window, account = ACCOUNT_DEFAULTS }) {
    this.series = series;
    this.startBar = bars.startBar;
    this.firstBar = bars.firstBar;
    this.lastBar = bars.lastBar;
    this.type = type;
    this.index = index;
    this.window = window;
    this.cursor = bars.firstBar;
    this.ended = false;
    this.summaryRow = null;
    this.account = account;
    this.marginCall = null; // { bar, equity, required } once one happened
    this.book = new Book(initialBalance, feeRate, slippage, { lotSize: account.lotSize, spread: account.spread });
    this.equity = [initialBalance]; // one point per step, the last one kept current
  }

  get step() {
    return this.cursor - this.firstBar;
  }

  get stepsLeft() {
    return this.ended ? 0 : this.lastBar - this.cursor;
  }

  price() {
    return this.series.close(this.cursor);
  }

  requireOpen() {
    if (this.ended) throw fault(Err.BadState, Sub.SessionEnded, 'the session has ended: call reset_episode');
  }

  advance() {
    this.requireOpen();
    if (this.cursor >= this.lastBar) {
      throw fault(Err.BadState, Sub.EpisodeOver, `the episode is over after ${this.step} steps: call end_session or reset_episode`);
    }
    const from = this.cursor;
    this.cursor += 1;
    if (this.account.borrowRate > 0 && this.book.positions.size > 0) this.#chargeBorrow(from, this.cursor);
    this.book.onBar(this.cursor, this.series.candle(this.cursor));
    let equity = this.book.markToMarket(this.price());
    if (this.account.maintenanceMargin > 0 && this.book.positions.size > 0) equity = this.#checkMargin(equity);
    this.equity.push(equity);
  }

  // Trading needs a session that is open and no margin call.
  requireTrading() {
    this.requireOpen();
    if (this.marginCall !== null) {
      const { bar, equity, required } = this.marginCall;
      throw fault(Err.BadState, Sub.EpisodeOver,
        `the account was closed by a margin call at bar ${bar} (equity ${equity} below ${required}): call end_session or reset_episode`);
    }
  }

  #chargeBorrow(from, to) {
    const { borrowRate, barsPerYear, times } = this.account;
    const price = this.series.close(from);
    const { long, short } = this.book.exposure(price);
    const equity = this.book.balance + this.book.unrealised(price);
    const borrowed = short + Math.max(0, long - equity);
    if (borrowed <= 0) return;
    const years = times === null ? (to - from) / barsPerYear : (times[to] - times[from]) / SECONDS_PER_YEAR;
    this.book.chargeBorrow(borrowRate * years * borrowed);
  }

  // The margin call at the current close; answers the equity after it.
  #checkMargin(equity) {
    const price = this.price();
    const { long, short } = this.book.exposure(price);
    const required = this.account.maintenanceMargin * (long + short);
    if (!(equity < required)) return equity;
    this.marginCall = { bar: this.cursor, equity, required };
    this.book.liquidate(this.cursor, price, Reason.MarginCall);
    this.lastBar = this.cursor;
    return this.book.markToMarket(price);
  }

  // After a trade at the current bar the last point of the equity curve moves with it.
  refreshEquity() {
    this.equity[this.equity.length - 1] = this.book.markToMarket(this.price());
  }

  // The snapshot as a new array.
  snapshot() {
    return Array.from(this.snapshotInto(new Float64Array(SNAPSHOT.width)));
  }

  // Writes the snapshot's values into `values` (SNAPSHOT.width of them) and returns it.
  snapshotInto(values) {
    const book = this.book;
    const price = this.price();
    const unrealised = book.unrealised(price);
    values[SNAPSHOT.step] = this.step;
    values[SNAPSHOT.bar] = this.cursor;
    values[SNAPSHOT.close] = price;
    values[SNAPSHOT.balance] = book.balance;
    values[SNAPSHOT.equity] = book.balance + unrealised;
    values[SNAPSHOT.unrealised_pnl] = unrealised;
    values[SNAPSHOT.realised_pnl] = book.realised;
    values[SNAPSHOT.fees] = book.fees;
    values[SNAPSHOT.open_positions] = book.positions.size;
    values[SNAPSHOT.pending_orders] = book.orders.size;
    values[SNAPSHOT.net_units] = book.netUnits();
    values[SNAPSHOT.steps_left] = this.stepsLeft;
    values[SNAPSHOT.done] = this.stepsLeft === 0 ? 1 : 0;
    values[SNAPSHOT.episode_type] = this.type;
    values[SNAPSHOT.episode_index] = this.index;
    values[SNAPSHOT.max_drawdown] = book.maxDrawdown;
    return values;
  }

  // The last `window` candles up to and including the current bar, oldest first: a view of the series.
  windowRows() {
    const from = Math.max(0, this.cursor - this.window + 1);
    return { rows: this.cursor + 1 - from, data: this.series.view(from, this.cursor + 1) };
  }

  // The session's candles from its first bar to the current one (never a bar from the future): a view.
  ohlcRows() {
    return { rows: this.cursor + 1 - this.startBar, data: this.series.view(this.startBar, this.cursor + 1) };
  }

  ticketRows() {
    const price = this.price();
    const rows = [];
    for (const p of this.book.positions.values()) {
      rows.push([p.id, PositionState.Open, p.side, p.units, p.entryPrice, p.entryBar,
        p.side * (price - p.entryPrice) * p.units * this.book.lotSize, p.takeProfit ?? 0, p.stopLoss ?? 0,
        trailingLevel(p) ?? 0, -1, p.type]);
    }
    for (const o of this.book.orders.values()) {
      rows.push([o.id, PositionState.PendingOrder, o.side, o.units, o.price, o.placedBar, 0, 0, 0, 0,
        o.expiryBar, o.type]);
    }
    return rows;
  }

  // Closes what is open at the current close, cancels pending orders and freezes the summary.
  end() {
    if (this.ended) return this.summaryRow;
    const price = this.price();
    for (const id of [...this.book.positions.keys()]) this.book.close(id, this.cursor, price, Reason.EndOfSession);
    for (const id of [...this.book.orders.keys()]) this.book.cancel(id, this.cursor, Reason.EndOfSession);
    this.refreshEquity();
    this.ended = true;
    const book = this.book;
    const row = new Array(this.account.extended ? ACCOUNT_SUMMARY.width : SUMMARY.width).fill(0);
    row[SUMMARY.steps] = this.step;
    row[SUMMARY.initial_balance] = book.initialBalance;
    row[SUMMARY.final_equity] = book.balance;
    row[SUMMARY.return] = book.balance / book.initialBalance - 1;
    row[SUMMARY.realised_pnl] = book.realised;
    row[SUMMARY.fees] = book.fees;
    row[SUMMARY.trades] = book.trades;
    row[SUMMARY.wins] = book.wins;
    row[SUMMARY.max_drawdown] = book.maxDrawdown;
    row[SUMMARY.bar] = this.cursor;
    row[SUMMARY.episode_type] = this.type;
    row[SUMMARY.episode_index] = this.index;
    if (this.account.extended) {
      row[ACCOUNT_SUMMARY.spread_cost] = book.spreadCost;
      row[ACCOUNT_SUMMARY.borrow_cost] = book.borrowCost;
      row[ACCOUNT_SUMMARY.margin_call_bar] = this.marginCall?.bar ?? -1;
      row[ACCOUNT_SUMMARY.margin_call_equity] = this.marginCall?.equity ?? 0;
      row[ACCOUNT_SUMMARY.margin_call_required] = this.marginCall?.required ?? 0;
    }
    this.summaryRow = row;
    return row;
  }
}
