// What the live viewer is sent: the page's state as one plain object (`stateOf`), and the read-only
// engine the chart draws from it (`engineFromState`), so that a viewer draws exactly what the page does.
// Only the bars the chart can show are sent: the last CANDLES_SENT up to the cursor.

import { CandleSeries, WIDTH } from './candles.js';
import { SNAPSHOT } from './columns.js';

export const STATE_VERSION = 1;
// The chart draws a candle every 7 px: 400 fill a canvas 2,800 px wide.
export const CANDLES_SENT = 400;

const POSITION_FIELDS = ['id', 'side', 'units', 'type', 'form', 'entryPrice', 'entryBar', 'best', 'takeProfit',
  'stopLoss', 'trailingStop'];
const ORDER_FIELDS = ['id', 'side', 'units', 'type', 'price', 'placedBar'];

function pick(item, fields) {
  const out = {};
  for (const name of fields) out[name] = item[name] ?? null;
  return out;
}

// `extra` is merged in as it is: the link's state, the last calls, the publisher's counters.
export function stateOf(engine, extra = {}) {
  const session = engine.session;
  const book = session.book;
  const from = Math.max(session.startBar, session.cursor - CANDLES_SENT + 1);
  return {
    version: STATE_VERSION,
    seed: engine.options.seed,
    session: {
      type: session.type, index: session.index, ended: session.ended, step: session.step,
      startBar: session.startBar, firstBar: session.firstBar, lastBar: session.lastBar, cursor: session.cursor,
    },
    candles: { from, values: Array.from(session.series.rows(from, session.cursor + 1)) },
    snapshot: session.snapshot(),
    snapshotColumns: SNAPSHOT.names,
    initialBalance: book.initialBalance,
    equity: session.equity,
    marks: book.marks.filter((mark) => mark.bar >= from),
    positions: [...book.positions.values()].map((p) => pick(p, POSITION_FIELDS)),
    orders: [...book.orders.values()].map((o) => pick(o, ORDER_FIELDS)),
    ...extra,
  };
}

// The sent bars stand at their own bar numbers: bar b is row b - from.
class SentCandles extends CandleSeries {
  constructor(from, values) {
    super(Float64Array.from(values), 'sent');
    this.from = from;
  }

  value(bar, column) { return super.value(bar - this.from, column); }

  close(bar) { return super.close(bar - this.from); }

  candle(bar) { return super.candle(bar - this.from); }
}

// What `Chart.draw(engine)` reads, rebuilt from a state: `engine.session` with its series, book and equity.
export function engineFromState(state) {
  if (state.version !== STATE_VERSION) throw new Error(`viewer state version ${state.version}, expected ${STATE_VERSION}`);
  const s = state.session;
  const series = new SentCandles(state.candles.from, state.candles.values);
  if (series.length !== s.cursor + 1 - state.candles.from || state.candles.values.length % WIDTH !== 0) {
    throw new Error('viewer state: the candles do not end at the cursor');
  }
  const keyed = (items) => new Map(items.map((item) => [item.id, item]));
  const session = {
    ...s,
    // The chart never looks before the first bar it was sent.
    startBar: Math.max(s.startBar, state.candles.from),
    series,
    equity: state.equity,
    book: { initialBalance: state.initialBalance, marks: state.marks, positions: keyed(state.positions),
      orders: keyed(state.orders) },
    price: () => series.close(s.cursor),
  };
  return { session, options: { seed: state.seed } };
}
