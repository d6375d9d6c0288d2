// The synthetic series: the plain walk and the regime-switching one, their determinism, their candles,
// the structure the regime series has (and the walk has not), and the engine options that choose them.

import test from 'node:test';
import assert from 'node:assert/strict';
import { REGIME_DEFAULTS, syntheticSeries } from '../src/candles.js';
import { Engine } from '../src/engine.js';
import { call, ok } from '../test-support/requests.mjs';

const REGIME = { kind: 'regime' };

// Mean of sign(sum of the last `lookback` log-free returns) × next return, and its t statistic: how much
// following the recent trend earns per bar.
function trendEdge(series, lookback = 16) {
  const r = [];
  for (let b = 1; b < series.length; b++) r.push(series.close(b) / series.close(b - 1) - 1);
  const gains = [];
  for (let t = lookback; t < r.length; t++) {
    let past = 0;
    for (let k = t - lookback; k < t; k++) past += r[k];
    gains.push(Math.sign(past) * r[t]);
  }
  const mean = gains.reduce((a, b) => a + b, 0) / gains.length;
  const sd = Math.sqrt(gains.reduce((a, b) => a + (b - mean) ** 2, 0) / (gains.length - 1));
  return { mean, t: mean / (sd / Math.sqrt(gains.length)) };
}

test('each kind is deterministic, and a longer series starts with the shorter one', () => {
  for (const options of [{}, { kind: 'walk' }, REGIME, { kind: 'regime', regimeDrift: 0.001, regimeBars: 40, halfLife: 0 }]) {
    const label = JSON.stringify(options);
    assert.deepEqual(syntheticSeries(11, 500, options).data, syntheticSeries(11, 500, options).data, label);
    assert.deepEqual(syntheticSeries(11, 1000, options).data.subarray(0, 2500), syntheticSeries(11, 500, options).data, label);
    assert.notDeepEqual(syntheticSeries(12, 500, options).data, syntheticSeries(11, 500, options).data, label);
  }
  assert.deepEqual(syntheticSeries(11, 500).data, syntheticSeries(11, 500, { kind: 'walk' }).data);
  assert.notDeepEqual(syntheticSeries(11, 500, REGIME).data, syntheticSeries(11, 500).data);
  assert.throws(() => syntheticSeries(1, 10, { kind: 'sine' }), /unknown series kind sine \(known: walk, regime\)/);
});

test('regime candles are valid and the price stays near 100', () => {
  for (let seed = 1; seed <= 6; seed++) {
    const series = syntheticSeries(seed, 8000, REGIME);
    let lo = Infinity;
    let hi = -Infinity;
    for (let b = 0; b < series.length; b++) {
      const c = series.candle(b);
      assert.ok(c.low > 0 && c.low <= Math.min(c.open, c.close) && c.high >= Math.max(c.open, c.close) && c.volume > 0,
        `seed ${seed} bar ${b}: ${JSON.stringify(c)}`);
      lo = Math.min(lo, c.close);
      hi = Math.max(hi, c.close);
    }
    assert.ok(lo > 40 && hi < 250, `seed ${seed}: closes from ${lo} to ${hi}`);
  }
});

test('following the recent trend pays on the regime series and not on the walk', () => {
  for (let seed = 1; seed <= 4; seed++) {
    const regime = trendEdge(syntheticSeries(seed, 8000, REGIME));
    const walk = trendEdge(syntheticSeries(seed, 8000));
    const flat = trendEdge(syntheticSeries(seed, 8000, { kind: 'regime', regimeDrift: 0, halfLife: 0 }));
    assert.ok(regime.t > 8 && regime.mean > 0.4 * REGIME_DEFAULTS.regimeDrift, `seed ${seed}: ${JSON.stringify(regime)}`);
    for (const other of [walk, flat]) assert.ok(Math.abs(other.t) < 4, `seed ${seed}: ${JSON.stringify(other)}`);
  }
  // Longer regimes leave more to follow.
  const longer = trendEdge(syntheticSeries(3, 8000, { kind: 'regime', regimeBars: 300, halfLife: 0 }));
  const shorter = trendEdge(syntheticSeries(3, 8000, { kind: 'regime', regimeBars: 20, halfLife: 0 }));
  assert.ok(longer.mean > 1.3 * shorter.mean, `${JSON.stringify(longer)} vs ${JSON.stringify(shorter)}`);
});

test('the engine options choose the series, are checked, and are in the configuration', () => {
  const config = (engine) => JSON.parse(new TextDecoder().decode(ok(call(engine, 'get_rl_config'))));
  assert.deepEqual(config(new Engine({ bars: 300 })).series, { kind: 'walk' });
  const engine = new Engine({ seed: 4, bars: 300, series: 'regime', regimeBars: 50 });
  assert.deepEqual(config(engine).series, { kind: 'regime', regime_drift: 0.002, regime_bars: 50, half_life: 300 });
  assert.deepEqual(engine.series.data, syntheticSeries(4, 300, { kind: 'regime', regimeBars: 50 }).data);
  assert.deepEqual(new Engine({ seed: 4, bars: 300 }).series.data, syntheticSeries(4, 300).data);
  for (const [options, text] of [
    [{ series: 'sine' }, /engine option series must be 'walk' or 'regime', got sine/],
    [{ regimeDrift: -0.1 }, /regimeDrift must be from 0 to 0.1/],
    [{ regimeDrift: 0.5 }, /regimeDrift must be from 0 to 0.1/],
    [{ regimeBars: 0.5 }, /regimeBars must be a number >= 1/],
    [{ halfLife: Number.NaN }, /halfLife must be a number >= 0/],
  ]) assert.throws(() => new Engine(options), text);
});
