// Column layouts of every vector and matrix the engine sends back, by name. docs/protocol.md explains them.

function layout(names) {
  const index = {};
  names.forEach((name, i) => { index[name] = i; });
  return Object.freeze({ names: Object.freeze(names), width: names.length, ...index });
}

// get_snapshot and the vector part of step_and_sync.
export const SNAPSHOT = layout([
  'step', 'bar', 'close', 'balance', 'equity', 'unrealised_pnl', 'realised_pnl', 'fees',
  'open_positions', 'pending_orders', 'net_units', 'steps_left', 'done', 'episode_type',
  'episode_index', 'max_drawdown',
]);

// get_ticket_list: one row per open position, then one per pending order.
export const TICKET = layout([
  'id', 'state', 'side', 'units', 'price', 'bar', 'unrealised_pnl', 'take_profit', 'stop_loss',
  'trailing_stop', 'expiry_bar', 'order_type',
]);

// fetch_events: one row per event since the previous fetch.
export const EVENT = layout([
  'type', 'id', 'bar', 'side', 'units', 'price', 'realised_pnl', 'fee', 'reason', 'balance',
]);

// place_order and place_ticket answer with one receipt vector.
export const RECEIPT = layout([
  'id', 'state', 'side', 'units', 'price', 'take_profit', 'stop_loss', 'fee',
]);

// close_positions: one row per entry of the request, in request order.
export const CLOSE_RESULT = layout([
  'id', 'action', 'result', 'units', 'price', 'realised_pnl', 'fee', 'units_left',
]);

// end_session: a single row.
export const SUMMARY = layout([
  'steps', 'initial_balance', 'final_equity', 'return', 'realised_pnl', 'fees', 'trades', 'wins',
  'max_drawdown', 'bar', 'episode_type', 'episode_index',
]);

// end_session on a page with the account's options (a spread, financing, a margin, a lot size other
// than 1): the summary's 12 values, then what the spread and the financing cost, and the margin call
// (its bar, -1 without one, the equity and the margin it fell below).
export const ACCOUNT_SUMMARY = layout([
  ...SUMMARY.names, 'spread_cost', 'borrow_cost', 'margin_call_bar', 'margin_call_equity', 'margin_call_required',
]);

export const PositionState = Object.freeze({ PendingOrder: 0, Open: 1 });
export const EventType = Object.freeze({ Opened: 1, Closed: 2, Reduced: 3, Expired: 4, Cancelled: 5 });
export const Reason = Object.freeze({
  Request: 0, TakeProfit: 1, StopLoss: 2, TrailingStop: 3, TimeLimit: 4, EndOfSession: 5, Triggered: 6, MarginCall: 7,
});
export const CloseResult = Object.freeze({ Nothing: 0, Closed: 1, Reduced: 2, Cancelled: 3 });
