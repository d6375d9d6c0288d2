// The candle series: columns, the checks on a series given by init_candles, and the seeded synthetic series.

import { mulberry32, normalish } from './prng.js';
import { fault, Err, Sub } from './errors.js';

export const CANDLE_COLUMNS = Object.freeze(['open', 'high', 'low', 'close', 'volume']);
export const OPEN = 0;
export const HIGH = 1;
export const LOW = 2;
export const CLOSE = 3;
export const VOLUME = 4;
export const WIDTH = 5;

// A series of N candles stored row-major in one Float64Array of N*5 values.
export class CandleSeries {
  constructor(data, source) {
    this.data = data;
    this.length = data.length / WIDTH;
    this.source = source; // 'synthetic' or 'init_candles'
  }

  value(bar, column) {
    return this.data[bar * WIDTH + column];
  }

  close(bar) {
    return this.data[bar * WIDTH + CLOSE];
  }

  candle(bar) {
    const at = bar * WIDTH;
    return {
      open: this.data[at + OPEN], high: this.data[at + HIGH], low: this.data[at + LOW],
      close: this.data[at + CLOSE], volume: this.data[at + VOLUME],
    };
  }

  // Row-major values of bars [from, to), as a new array.
  rows(from, to) {
    return this.data.slice(from * WIDTH, to * WIDTH);
  }

  // The same values as a view of the series: nothing is copied, and nothing may be written to it.
  view(from, to) {
    return this.data.subarray(from * WIDTH, to * WIDTH);
  }
}

// Checks a decoded MatF64 from init_candles and turns it into a series. The whole matrix is checked
// before anything is kept, so a refused matrix leaves the engine as it was.
export function seriesFromMatrix({ rows, cols, data }) {
  if (cols !== WIDTH) {
    throw fault(Err.BadArgument, Sub.CandleShape,
      `init_candles expects ${WIDTH} columns (open, high, low, close, volume), got ${cols}`);
  }
  if (rows < 2) throw fault(Err.BadArgument, Sub.CandleShape, `init_candles needs at least 2 rows, got ${rows}`);
  for (let r = 0; r < rows; r++) {
    const at = r * WIDTH;
    const [open, high, low, close, volume] = data.subarray(at, at + WIDTH);
    const problem = candleProblem(open, high, low, close, volume);
    if (problem) throw fault(Err.BadArgument, Sub.CandleValue, `init_candles row ${r}: ${problem}`);
  }
  return new CandleSeries(Float64Array.from(data), 'init_candles');
}

function candleProblem(open, high, low, close, volume) {
  for (const [name, v] of [['open', open], ['high', high], ['low', low], ['close', close], ['volume', volume]]) {
    if (!Number.isFinite(v)) return `${name} is not finite (${v})`;
  }
  if (!(open > 0 && high > 0 && low > 0 && close > 0)) return 'prices must be > 0';
  if (volume < 0) return `volume must be >= 0, got ${volume}`;
  if (low > Math.min(open, close)) return `low ${low} is above min(open, close) ${Math.min(open, close)}`;
  if (high < Math.max(open, close)) return `high ${high} is below max(open, close) ${Math.max(open, close)}`;
  return null;
}

// The synthetic series the engine makes from its seed when no candles were given (docs/protocol.md,
// "Candles"). Every kind starts at 100 and uses only +, -, *, / and comparisons (no Math.log or
// Math.exp), so the same seed and options give the same series bit for bit wherever it runs.
export const SERIES_KINDS = Object.freeze(['walk', 'regime']);
export const REGIME_DEFAULTS = Object.freeze({ regimeDrift: 0.002, regimeBars: 100, halfLife: 300 });

// `kind` 'walk' (the default): a random walk with slowly changing volatility and drift, which no policy
// can beat on average. `kind` 'regime': trends a policy can learn to follow (see regimeSeries).
export function syntheticSeries(seed, bars, { kind = 'walk', ...regime } = {}) {
  if (kind === 'regime') return regimeSeries(seed, bars, { ...REGIME_DEFAULTS, ...regime });
  if (kind !== 'walk') throw new RangeError(`unknown series kind ${kind} (known: ${SERIES_KINDS.join(', ')})`);
  return walkSeries(seed, bars);
}

// One bar after a close of prevClose: [open, high, low, close, volume], with the given drift and
// volatility (fractions of the price per bar). Both synthetic series draw their bars through it, in this
// order of random draws, so a seed keeps giving the same series.
function nextCandle(uniform, prevClose, drift, vol) {
  const open = prevClose * (1 + 0.1 * vol * normalish(uniform));
  const close = open * (1 + drift + vol * normalish(uniform));
  const high = Math.max(open, close) * (1 + 0.5 * vol * uniform());
  const low = Math.min(open, close) * (1 - 0.5 * vol * uniform());
  const volume = 1000 * (0.5 + uniform()) * (1 + Math.abs(close - open) / (open * vol));
  return [open, high, low, close, volume];
}

function walkSeries(seed, bars) {
  const uniform = mulberry32(seed);
  const data = new Float64Array(bars * WIDTH);
  const baseVol = 0.004;
  let vol = baseVol;
  let drift = 0;
  let prevClose = 100;
  for (let b = 0; b < bars; b++) {
    vol = 0.97 * vol + 0.03 * baseVol * (0.5 + 2 * uniform());
    drift = 0.995 * drift + 0.00002 * normalish(uniform);
    const candle = nextCandle(uniform, prevClose, drift, vol);
    data.set(candle, b * WIDTH);
    prevClose = candle[3];
  }
  return new CandleSeries(data, 'synthetic');
}

// Regime-switching drift: the series is always in an up or a down regime, which drifts the close by
// +regimeDrift or -regimeDrift (a fraction of the price) per bar on top of the same noise as the walk
// (volatility about 0.4 % per bar). Each bar the regime flips with probability 1 / regimeBars, so
// regimes last regimeBars bars on average (geometrically distributed) and the sign of the recent returns
// tells which one holds: a policy that follows it earns about regimeDrift per bar less the lag after each
// flip. A pull back to 100, which halves a deviation in about halfLife bars (0: none), keeps the price
// within a few tens of percent of 100. The regime itself is never shown; the first one is drawn from the
// seed.
function regimeSeries(seed, bars, { regimeDrift, regimeBars, halfLife }) {
  const uniform = mulberry32(seed);
  const data = new Float64Array(bars * WIDTH);
  const baseVol = 0.004;
  const flip = 1 / regimeBars;
  // For small deviations -pull·(p/100 − 1) is the drift that halves ln(p/100) in halfLife bars.
  const pull = halfLife > 0 ? 0.6931471805599453 / halfLife : 0;
  let vol = baseVol;
  let regime = uniform() < 0.5 ? 1 : -1;
  let prevClose = 100;
  for (let b = 0; b < bars; b++) {
    if (uniform() < flip) regime = -regime;
    vol = 0.97 * vol + 0.03 * baseVol * (0.5 + 2 * uniform());
    const drift = regime * regimeDrift - pull * (prevClose / 100 - 1);
    const candle = nextCandle(uniform, prevClose, drift, vol);
    data.set(candle, b * WIDTH);
    prevClose = candle[3];
  }
  return new CandleSeries(data, 'synthetic');
}
