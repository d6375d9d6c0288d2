// The back-test engine behind the link: one handler per function identifier, each turning a request
// payload into a response payload or a refusal. No DOM; runs the same in a browser and in Node.

import {
  asBytes, CodecError, decodeCloseStep, decodeMatF64, decodeVecF64, encodeText, writeBytes, writeErrorBody,
  writeMatF64, writeRows, writeVecF64, writeVecMatF64,
} from './protocol.js';
import { Answer } from './answer.js';
import { CANDLE_COLUMNS, REGIME_DEFAULTS, SERIES_KINDS, seriesFromMatrix, syntheticSeries, WIDTH } from './candles.js';
import { EpisodeType, episodeBars, layoutEpisodes, seriesBars, TRAIN_STARTS } from './episodes.js';
import { CloseAction, checkCloseRequest, decodeOrderVector, decodeTicketVector } from './orders.js';
import { ACCOUNT_SUMMARY, CLOSE_RESULT, CloseResult, EVENT, Reason, SNAPSHOT, TICKET } from './columns.js';
import { ACCOUNT_DEFAULTS, Session } from './session.js';
import { EngineFault, Err, fault, Sub } from './errors.js';

export const FnId = Object.freeze({
  StepNext: 2,
  GetTicketList: 10,
  GetSnapshot: 12,
  GetOhlc: 15,
  PlaceOrder: 20,
  PlaceTicket: 21,
  FetchEvents: 30,
  ClosePositions: 31,
  EndSession: 40,
  InitCandles: 100,
  ResetEpisode: 101,
  GetRlConfig: 102,
  GetSyncPolicy: 120,
  StepAndSync: 130,
});

export const FN_NAMES = Object.freeze({
  2: 'step_next', 10: 'get_ticket_list', 12: 'get_snapshot', 15: 'get_ohlc', 20: 'place_order',
  21: 'place_ticket', 30: 'fetch_events', 31: 'close_positions', 40: 'end_session', 100: 'init_candles',
  101: 'reset_episode', 102: 'get_rl_config', 120: 'get_sync_policy', 130: 'step_and_sync',
});

export const DEFAULTS = Object.freeze({
  seed: 1,
  bars: 5000,
  series: 'walk',
  ...REGIME_DEFAULTS,
  window: 32,
  episodeLength: 256,
  testShare: 0.2,
  testBars: null, // a number of bars: the test range's length, instead of testShare
  validationBars: 0,
  trainStarts: 'grid',
  walkForward: false, // one more test-type episode per held-out range, walking all of it (episodes.js)
  initialBalance: 10000,
  feeRate: 0.0002,
  slippageBps: 0, // basis points of the price, always against the trader (book.js)
  syncPolicy: 'deferred',
  // The account beyond the fee and the slippage (book.js, session.js); any of them set makes the summary
  // the 17 values of ACCOUNT_SUMMARY and get_rl_config's answer name them under "account".
  lotSize: 1, // the instrument's quantity in one unit of the wire (0.01 for a hundredth of a coin)
  spreadBps: 0, // the whole bid/ask spread: a buy pays half above the price, a sell half below
  borrowRate: 0, // a year's rate on short value and on long value beyond the equity
  barsPerYear: 252, // the year of the financing when the candles came without times
  maintenanceMargin: 0, // a fraction of the positions' value: below it in equity, a margin call
});

const ACCOUNT_OPTIONS = ['lotSize', 'spreadBps', 'borrowRate', 'barsPerYear', 'maintenanceMargin'];
// init_candles' optional sixth column: the bar's time in seconds (for the financing's year fractions).
const TIMED_WIDTH = WIDTH + 1;

const SYNC_POLICIES = ['deferred', 'eager'];

function checkOptions(o) {
  const bad = (name, rule) => { throw new RangeError(`engine option ${name} must be ${rule}, got ${o[name]}`); };
  if (!Number.isInteger(o.seed) || o.seed < 0 || o.seed > 0xffffffff) bad('seed', 'an integer from 0 to 4294967295');
  if (!Number.isInteger(o.bars) || o.bars < 2) bad('bars', 'an integer >= 2');
  if (!SERIES_KINDS.includes(o.series)) bad('series', SERIES_KINDS.map((k) => `'${k}'`).join(' or '));
  if (!(Number.isFinite(o.regimeDrift) && o.regimeDrift >= 0 && o.regimeDrift < 0.1)) bad('regimeDrift', 'from 0 to 0.1');
  if (!(Number.isFinite(o.regimeBars) && o.regimeBars >= 1)) bad('regimeBars', 'a number >= 1');
  if (!(Number.isFinite(o.halfLife) && o.halfLife >= 0)) bad('halfLife', 'a number >= 0');
  if (!Number.isInteger(o.window) || o.window < 1) bad('window', 'an integer >= 1');
  if (!Number.isInteger(o.episodeLength) || o.episodeLength < 1) bad('episodeLength', 'an integer >= 1');
  if (!(o.testShare > 0 && o.testShare < 1)) bad('testShare', 'between 0 and 1');
  if (o.testBars !== null && !(Number.isInteger(o.testBars) && o.testBars >= 1)) bad('testBars', 'an integer >= 1');
  if (!Number.isInteger(o.validationBars) || o.validationBars < 0) bad('validationBars', 'an integer >= 0');
  if (!TRAIN_STARTS.includes(o.trainStarts)) bad('trainStarts', TRAIN_STARTS.map((k) => `'${k}'`).join(' or '));
  if (typeof o.walkForward !== 'boolean') bad('walkForward', 'true or false');
  if (!(Number.isFinite(o.slippageBps) && o.slippageBps >= 0 && o.slippageBps < 10000)) bad('slippageBps', 'from 0 to 10000');
  if (!(Number.isFinite(o.initialBalance) && o.initialBalance > 0)) bad('initialBalance', 'finite and > 0');
  if (!(Number.isFinite(o.feeRate) && o.feeRate >= 0)) bad('feeRate', 'finite and >= 0');
  if (!SYNC_POLICIES.includes(o.syncPolicy)) bad('syncPolicy', "'deferred' or 'eager'");
  if (!(Number.isFinite(o.lotSize) && o.lotSize > 0)) bad('lotSize', 'finite and > 0');
  if (!(Number.isFinite(o.spreadBps) && o.spreadBps >= 0 && o.spreadBps < 10000)) bad('spreadBps', 'from 0 to 10000');
  if (!(Number.isFinite(o.borrowRate) && o.borrowRate >= 0)) bad('borrowRate', 'finite and >= 0');
  if (!(Number.isFinite(o.barsPerYear) && o.barsPerYear > 0)) bad('barsPerYear', 'finite and > 0');
  if (!(Number.isFinite(o.maintenanceMargin) && o.maintenanceMargin >= 0 && o.maintenanceMargin < 1)) {
    bad('maintenanceMargin', 'from 0 to 1 (excluded)');
  }
}

// The bars' times from init_candles' sixth column, checked: finite and strictly increasing.
function candleTimes({ rows, data }) {
  const times = new Float64Array(rows);
  for (let r = 0; r < rows; r++) {
    const time = data[r * TIMED_WIDTH + WIDTH];
    if (!Number.isFinite(time) || (r > 0 && !(time > times[r - 1]))) {
      throw fault(Err.BadArgument, Sub.CandleValue,
        `init_candles row ${r}: the time (column 6) must be finite and after the row before's, got ${time}`);
    }
    times[r] = time;
  }
  return times;
}

// The candles' five columns of a matrix that has a sixth (a copy, row by row).
function withoutTimes({ rows, data }) {
  const values = new Float64Array(rows * WIDTH);
  for (let r = 0; r < rows; r++) values.set(data.subarray(r * TIMED_WIDTH, r * TIMED_WIDTH + WIDTH), r * WIDTH);
  return { rows, cols: WIDTH, data: values };
}

export class Engine {
  constructor(options = {}) {
    this.options = { ...DEFAULTS, ...options };
    checkOptions(this.options);
    this.times = null; // the bars' times in seconds, when init_candles gave them
    this.listeners = new Set();
    // Every handler writes its answer's payload into the Answer it is given (answer.js).
    this.handlers = new Map([
      [FnId.InitCandles, (p) => this.#initCandles(p)],
      [FnId.ResetEpisode, (p, a) => this.#resetEpisode(p, a)],
      [FnId.GetRlConfig, (p, a) => writeBytes(a, encodeText(this.#config()))],
      [FnId.StepNext, () => this.session.advance()],
      [FnId.StepAndSync, (p, a) => this.#stepAndSync(a)],
      [FnId.GetSnapshot, (p, a) => writeVecF64(a, this.session.snapshotInto(this.#snapshot))],
      [FnId.GetTicketList, (p, a) => writeRows(a, this.session.ticketRows(), TICKET.width)],
      [FnId.GetOhlc, (p, a) => { const { rows, data } = this.session.ohlcRows(); writeMatF64(a, rows, WIDTH, data); }],
      [FnId.FetchEvents, (p, a) => writeRows(a, this.session.book.takeEvents(), EVENT.width)],
      [FnId.EndSession, (p, a) => { const row = this.session.end(); writeMatF64(a, 1, row.length, row); }],
      [FnId.GetSyncPolicy, (p, a) => writeBytes(a, [SYNC_POLICIES.indexOf(this.options.syncPolicy)])],
      [FnId.ClosePositions, (p, a) => this.#closePositions(p, a)],
      [FnId.PlaceOrder, (p, a) => this.#placeOrder(p, a)],
      [FnId.PlaceTicket, (p, a) => this.#placeTicket(p, a)],
    ]);
    const o = this.options;
    this.#load(syntheticSeries(o.seed, o.bars,
      { kind: o.series, regimeDrift: o.regimeDrift, regimeBars: o.regimeBars, halfLife: o.halfLife }));
  }

  #snapshot = new Float64Array(SNAPSHOT.width);
  // The outcome `respond` answers with: one object, rewritten by every request.
  #outcome = { ok: true, err: 0, sub: 0, message: '', payload: null };
  #ownAnswer = null;

  // Answers one request: writes the response payload (or, when refused, the error body) into `answer`
  // and returns { ok, err, sub, message, payload }, where `payload` is a view of what was written. The
  // outcome and its payload are rewritten by the next request: read them before that. Never throws.
  // Every handler checks all of its request before it changes anything, so a refused request leaves
  // the engine exactly as it was (short of an internal fault, err 6, which is a bug).
  respond(fnId, payload, answer) {
    const outcome = this.#outcome;
    answer.begin();
    try {
      payload = asBytes(payload);
      const handler = this.handlers.get(fnId);
      if (handler === undefined) throw fault(Err.UnknownFunction, Sub.None, `unknown fnId ${fnId}`);
      if (!TAKES_PAYLOAD.has(fnId) && payload.length !== 0) {
        throw fault(Err.BadPayload, Sub.NotEmpty, `${FN_NAMES[fnId]} takes an empty payload, got ${payload.length} bytes`);
      }
      handler(payload, answer);
      outcome.ok = true;
      outcome.err = outcome.sub = 0;
      outcome.message = '';
    } catch (error) {
      const { err, sub, message } = describeFailure(error);
      outcome.ok = false;
      outcome.err = err;
      outcome.sub = sub;
      outcome.message = message;
      answer.begin(); // whatever the handler had written is not the answer
      writeErrorBody(answer, err, sub, message);
    }
    outcome.payload = answer.payload();
    for (const listener of this.listeners) {
      try {
        listener(fnId, outcome);
      } catch (error) {
        // A broken display must not cost the trainer its answer.
        console.error('engine listener failed:', error);
      }
    }
    return outcome;
  }

  // Answers one request with an outcome of its own: { ok: true, payload } with the payload's own bytes,
  // or { ok: false, err, sub, message }. For callers that keep answers; the link uses `respond`.
  handleRequest(fnId, payload) {
    this.#ownAnswer ??= new Answer();
    const { ok, err, sub, message, payload: answered } = this.respond(fnId, payload, this.#ownAnswer);
    return ok ? { ok, payload: answered.slice() } : { ok, err, sub, message };
  }

  // `listener(fnId, outcome)` runs after every request, with the outcome `respond` returns (valid during
  // the call only); returns a function that removes it.
  subscribe(listener) {
    this.listeners.add(listener);
    return () => this.listeners.delete(listener);
  }

  #load(series, times = null) {
    const o = this.options;
    this.series = series;
    this.times = times;
    this.layout = layoutEpisodes(series.length, o);
    this.session = this.#session(seriesBars(series.length, o.window), EpisodeType.Series, -1);
  }

  #session(bars, type, index) {
    const o = this.options;
    return new Session(this.series, bars, type, index,
      { initialBalance: o.initialBalance, feeRate: o.feeRate, slippage: o.slippageBps / 10000, window: o.window,
        account: this.#account() });
  }

  // Whether any account option differs from its default: then the summary has the account's columns.
  #accountExtended() {
    return ACCOUNT_OPTIONS.some((name) => this.options[name] !== DEFAULTS[name]);
  }

  #account() {
    if (!this.#accountExtended()) return ACCOUNT_DEFAULTS;
    const o = this.options;
    return { lotSize: o.lotSize, spread: o.spreadBps / 10000, borrowRate: o.borrowRate, barsPerYear: o.barsPerYear,
      maintenanceMargin: o.maintenanceMargin, times: this.times, extended: true };
  }

  #initCandles(payload) {
    const matrix = decodeMatF64(payload);
    if (matrix.cols !== TIMED_WIDTH) {
      this.#load(seriesFromMatrix(matrix));
      return;
    }
    const times = candleTimes(matrix);
    this.#load(seriesFromMatrix(withoutTimes(matrix)), times);
  }

  #resetEpisode(payload, answer) {
    if (payload.length !== 5) {
      throw fault(Err.BadPayload, Sub.LengthMismatch, `reset_episode expects 5 bytes, got ${payload.length}`);
    }
    const dv = new DataView(payload.buffer, payload.byteOffset, payload.byteLength);
    const index = dv.getUint32(0, true);
    const typeByte = dv.getUint8(4);
    if (typeByte !== 0 && typeByte !== 1) {
      throw fault(Err.BadArgument, Sub.EpisodeType, `reset_episode: episode type ${typeByte} is neither 0 (train) nor 1 (test)`);
    }
    const type = typeByte === 1 ? EpisodeType.Test : EpisodeType.Train;
    const name = type === EpisodeType.Test ? 'test' : 'train';
    const { train, test, validation, walkForward } = this.layout;
    // Validation episodes are test episodes whose indices follow the test range's, and the walk-forward
    // passes follow them (episodes.js).
    const passes = walkForward === undefined ? 0 : [walkForward.test, walkForward.validation].filter((i) => i !== null).length;
    const count = type === EpisodeType.Test ? test.episodes + validation.episodes + passes : train.episodes;
    if (count === 0) {
      throw fault(Err.BadState, Sub.NoEpisodes,
        `no ${name} episodes: ${this.series.length} candles are too few for a window of ${this.options.window} bars`);
    }
    if (index >= count) {
      let held = type === EpisodeType.Test && validation.episodes > 0
        ? `${test.episodes} test and ${validation.episodes} validation episodes` : `${count} ${name} episodes`;
      if (type === EpisodeType.Test && passes > 0) held += ` and ${passes} walk-forward pass${passes > 1 ? 'es' : ''}`;
      throw fault(Err.NotFound, Sub.EpisodeIndex, `${name} episode index ${index} out of range (${held})`);
    }
    this.session = this.#session(episodeBars(this.layout, type, index), type, index);
    answer.view.setUint32(answer.reserve(4), this.layout.length, true);
  }

  #stepAndSync(answer) {
    const session = this.session;
    session.advance();
    const { rows, data } = session.windowRows();
    writeVecMatF64(answer, session.snapshotInto(this.#snapshot), rows, WIDTH, data);
  }

  #placeOrder(payload, answer) {
    const request = decodeOrderVector(decodeVecF64(payload));
    this.session.requireTrading();
    writeVecF64(answer, this.session.book.placePending(request, this.session.cursor));
  }

  #placeTicket(payload, answer) {
    const request = decodeTicketVector(decodeVecF64(payload));
    const session = this.session;
    session.requireTrading();
    const receipt = session.book.openMarket(request, session.cursor, session.price());
    session.refreshEquity();
    writeVecF64(answer, receipt);
  }

  #closePositions(payload, answer) {
    const session = this.session;
    const book = session.book;
    const request = decodeCloseStep(payload);
    session.requireOpen();
    const entries = checkCloseRequest(request, (id) => book.kindOf(id));
    const price = session.price();
    const rows = entries.map(({ id, action, ratio }) => {
      let result;
      if (action === CloseAction.Hold) result = [CloseResult.Nothing, 0, price, 0, 0, book.positions.get(id)?.units ?? 0];
      else if (book.kindOf(id) === 'order') result = book.cancel(id, session.cursor, Reason.Request);
      else result = book.reduce(id, action === CloseAction.Reduce ? ratio : 1, session.cursor, price);
      return [id, action, ...result];
    });
    session.refreshEquity();
    writeRows(answer, rows, CLOSE_RESULT.width);
  }

  #config() {
    const o = this.options;
    const { layout } = this;
    return JSON.stringify({
      seed: o.seed,
      candle_source: this.series.source,
      series: o.series === 'regime'
        ? { kind: 'regime', regime_drift: o.regimeDrift, regime_bars: o.regimeBars, half_life: o.halfLife }
        : { kind: o.series },
      bars: this.series.length,
      candle_columns: CANDLE_COLUMNS,
      window: o.window,
      episode_length: layout.length,
      train_episodes: layout.train.episodes,
      test_episodes: layout.test.episodes,
      train_bars: [layout.train.first, layout.train.bars],
      test_bars: [layout.test.first, layout.test.bars],
      initial_balance: o.initialBalance,
      fee_rate: o.feeRate,
      sync_policy: o.syncPolicy,
      snapshot_columns: SNAPSHOT.names,
      // Test episodes (type 1) from index test_episodes on are the validation range's.
      validation_episodes: layout.validation.episodes,
      validation_bars: [layout.validation.first, layout.validation.bars],
      train_starts: layout.trainStarts,
      // Only with an account option set, so that the default page answers as it always did.
      ...(this.#accountExtended() ? { account: {
        lot_size: o.lotSize, spread_bps: o.spreadBps, borrow_rate: o.borrowRate, bars_per_year: o.barsPerYear,
        maintenance_margin: o.maintenanceMargin, bar_times: this.times !== null,
        summary_columns: ACCOUNT_SUMMARY.names,
      } } : {}),
      slippage_bps: o.slippageBps,
      // Only with the walkForward option: the test-type indices of the passes over whole held-out ranges.
      ...(layout.walkForward === undefined ? {} : { walk_forward_episodes: layout.walkForward }),
    });
  }
}

const TAKES_PAYLOAD = new Set([
  FnId.InitCandles, FnId.ResetEpisode, FnId.ClosePositions, FnId.PlaceOrder, FnId.PlaceTicket,
]);

function describeFailure(error) {
  if (error instanceof EngineFault) return { err: error.err, sub: error.sub, message: error.message };
  if (error instanceof CodecError) return { err: Err.BadPayload, sub: error.sub, message: error.message };
  return { err: Err.Internal, sub: Sub.None, message: `internal error: ${error && error.message ? error.message : String(error)}` };
}
