// One trading session over a stretch of bars: the cursor, the account, the equity curve and the
// vectors and matrices that describe them.

import { Book, trailingLevel } from './book.js';
import { fault, Err, Sub } from './errors.js';
import { PositionState, Reason, SNAPSHOT, SUMMARY } from './columns.js';

export class Session {
  // bars: { startBar, firstBar, lastBar } (episodes.js); type: EpisodeType; index: -1 for the series.
  constructor(series, bars, type, index, { initialBalance, feeRate, slippage = 0, window }) {
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
    this.book = new Book(initialBalance, feeRate, slippage);
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
    this.cursor += 1;
    this.book.onBar(this.cursor, this.series.candle(this.cursor));
    this.equity.push(this.book.markToMarket(this.price()));
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
        p.side * (price - p.entryPrice) * p.units, p.takeProfit ?? 0, p.stopLoss ?? 0,
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
    const row = new Array(SUMMARY.width).fill(0);
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
    this.summaryRow = row;
    return row;
  }
}
