// Decoding of the order vectors of place_order and place_ticket and of the close request of close_positions.

import { fault, Err, Sub } from './errors.js';

export const Side = Object.freeze({ Buy: 1, Sell: -1 });
export const OrderType = Object.freeze({ Limit: 1, Stop: -1 });
// How an exit amount is turned into a price: a fraction of the entry price, or a price distance.
export const AmountForm = Object.freeze({ Fraction: 'fraction', Distance: 'distance' });

export const CloseAction = Object.freeze({ Hold: 0, Close: 1, Reduce: 2 });

const ORDER_VECTOR_LENGTH = 13;
const TICKET_VECTOR_LENGTH = 9;

function badFlag(what, position, value, allowed) {
  return fault(Err.BadArgument, Sub.FlagValue, `${what}: value ${position} (${value}) must be ${allowed}`);
}

function checkHeader(what, vector, length) {
  if (vector.length !== length) {
    throw fault(Err.BadArgument, Sub.VectorLength, `${what} expects ${length} values, got ${vector.length}`);
  }
  if (vector[0] !== 1) {
    throw fault(Err.BadArgument, Sub.FormatMarker, `${what}: unsupported order vector format ${vector[0]} (expected 1)`);
  }
}

function checkUnits(what, units) {
  if (!(Number.isFinite(units) && units > 0)) {
    throw fault(Err.BadArgument, Sub.NumberValue, `${what}: units must be finite and > 0, got ${units}`);
  }
}

// An exit amount read back from its encoded value; absent when its presence flag says so.
function amount(what, name, present, decoded) {
  if (!present) return null;
  if (!(Number.isFinite(decoded) && decoded >= 0)) {
    throw fault(Err.BadArgument, Sub.NumberValue, `${what}: ${name} must be finite and >= 0, got ${decoded}`);
  }
  return decoded;
}

// place_order: [1, price, tp?, sl?, trail?, time_limit?, side, type, units, tp*100-1, sl*100-1,
// trail*100-1, time_limit], presence and side/type flags +1/-1. Exit amounts are fractions of the fill
// price (0.02 = 2 %); the time limit is the number of bars the order may wait for its fill.
export function decodeOrderVector(vector) {
  const what = 'place_order';
  checkHeader(what, vector, ORDER_VECTOR_LENGTH);
  const flags = [];
  for (let i = 2; i <= 7; i++) {
    if (vector[i] !== 1 && vector[i] !== -1) throw badFlag(what, i + 1, vector[i], '1 or -1');
    flags.push(vector[i] === 1);
  }
  const [hasTp, hasSl, hasTrail, hasTimeLimit, isBuy, isLimit] = flags;
  const price = vector[1];
  if (!(Number.isFinite(price) && price > 0)) {
    throw fault(Err.BadArgument, Sub.NumberValue, `${what}: price must be finite and > 0, got ${price}`);
  }
  const units = vector[8];
  checkUnits(what, units);
  let timeLimit = null;
  if (hasTimeLimit) {
    const bars = vector[12];
    if (!(Number.isFinite(bars) && bars > 0)) {
      throw fault(Err.BadArgument, Sub.NumberValue, `${what}: time_limit must be a finite number of bars > 0, got ${bars}`);
    }
    timeLimit = Math.ceil(bars);
  }
  return {
    side: isBuy ? Side.Buy : Side.Sell,
    type: isLimit ? OrderType.Limit : OrderType.Stop,
    price,
    units,
    form: AmountForm.Fraction,
    takeProfit: amount(what, 'take_profit', hasTp, (vector[9] + 1) / 100),
    stopLoss: amount(what, 'stop_loss', hasSl, (vector[10] + 1) / 100),
    trailingStop: amount(what, 'trailing_stop', hasTrail, (vector[11] + 1) / 100),
    timeLimit,
  };
}

// place_ticket: [1, tp?, sl?, trail?, buy?, units, tp-1, sl-1, trail-1], presence and side flags 1/0.
// Exit amounts are price distances from the fill price.
export function decodeTicketVector(vector) {
  const what = 'place_ticket';
  checkHeader(what, vector, TICKET_VECTOR_LENGTH);
  const flags = [];
  for (let i = 1; i <= 4; i++) {
    if (vector[i] !== 1 && vector[i] !== 0) throw badFlag(what, i + 1, vector[i], '1 or 0');
    flags.push(vector[i] === 1);
  }
  const [hasTp, hasSl, hasTrail, isBuy] = flags;
  const units = vector[5];
  checkUnits(what, units);
  return {
    side: isBuy ? Side.Buy : Side.Sell,
    units,
    form: AmountForm.Distance,
    takeProfit: amount(what, 'take_profit', hasTp, vector[6] + 1),
    stopLoss: amount(what, 'stop_loss', hasSl, vector[7] + 1),
    trailingStop: amount(what, 'trailing_stop', hasTrail, vector[8] + 1),
  };
}

// Checks every entry of a decoded close request against the book before anything is changed, and
// returns the entries in request order. `lookup(id)` gives 'position', 'order' or null.
export function checkCloseRequest({ flags, actions, ratios }, lookup) {
  const seen = new Set();
  const entries = [];
  for (let i = 0; i < flags.length; i++) {
    const id = flags[i];
    const action = actions[i];
    const ratio = ratios[i];
    if (action === CloseAction.Hold) {
      entries.push({ id, action, ratio });
      continue;
    }
    if (action !== CloseAction.Close && action !== CloseAction.Reduce) {
      throw fault(Err.BadArgument, Sub.CloseAction, `close_positions entry ${i}: unknown action ${action}`);
    }
    if (action === CloseAction.Reduce && !(ratio >= 0 && ratio <= 1)) {
      throw fault(Err.BadArgument, Sub.CloseRatio, `close_positions entry ${i}: reduce ratio ${ratio} is outside [0, 1]`);
    }
    if (seen.has(id)) {
      throw fault(Err.BadArgument, Sub.DuplicateId, `close_positions entry ${i}: id ${id} appears more than once`);
    }
    seen.add(id);
    const found = lookup(id);
    if (found === null) throw fault(Err.NotFound, Sub.UnknownId, `close_positions entry ${i}: unknown position id ${id}`);
    if (found === 'order' && action === CloseAction.Reduce) {
      throw fault(Err.BadState, Sub.NotAPosition, `close_positions entry ${i}: id ${id} is a pending order, which cannot be reduced`);
    }
    entries.push({ id, action, ratio });
  }
  return entries;
}
