// The returns curve of the training dashboard: every finished episode's return in percent of the initial
// balance, against the episode's number, the trainer's env steps or the wall time. Train episodes are
// dots (each bucket's spread once buckets hold several) with their smoothed line, test episodes are
// diamonds of their own colour, buy-and-hold returns of the same bars a dashed line, and zero a dotted
// one. It draws from an EpisodeHistory, so a draw costs the same after a week as after a minute.
// What the last draw put where is in `chart.drawn` (for tests and automated checks).

import { EpisodeHistory, X_CHANNELS } from './episode-history.js';
import { COLORS as FRAME, drawFrame, drawZero, fillBands, paddedRange, strokeBuckets } from './plot-frame.js';
import { smoothBuckets } from './smoothing.js';

export { movingAverage } from './smoothing.js';

const COLORS = { train: '#3ea6ff', band: 'rgba(62, 166, 255, 0.45)', average: '#e6edf3', test: '#f5a524',
  testBand: 'rgba(245, 165, 36, 0.6)', market: '#8e7cc3', marketTest: '#c9a26b' };
export const AVERAGE_OF = 20;
export const X_AXES = Object.freeze({ episodes: 'episode', steps: 'env steps', wall: 'wall time' });

export class ReturnsChart {
  constructor(canvas, history = new EpisodeHistory()) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d');
    this.history = history;
    this.view = { xAxis: 'episodes', smoothing: { kind: 'mean', width: AVERAGE_OF } };
    this.drawn = { train: 0, test: 0, lo: 0, hi: 0, points: 0, buckets: 0, xAxis: 'episodes', xLabels: [], yLabels: [] };
    this.drawnKey = '';
  }

  // Draws when the history, the view or the canvas's size changed since the last draw; answers whether it drew.
  drawIfChanged(view) {
    const key = [this.history.version, view.xAxis, view.smoothing.kind, view.smoothing.width, this.canvas.clientWidth,
      this.canvas.clientHeight].join('|');
    if (key === this.drawnKey) return false;
    this.draw(undefined, view);
    this.drawnKey = key;
    return true;
  }

  // episodes: when given (a whole list, as before), the chart shows exactly those; otherwise it draws
  // what its history holds. view: { xAxis: 'episodes' | 'steps' | 'wall', smoothing: { kind, width } }.
  draw(episodes, view) {
    if (episodes !== undefined && episodes !== null) {
      this.history.clear();
      this.history.add(episodes);
    }
    if (view !== undefined) this.view = { ...this.view, ...view };
    const h = this.history;
    const ctx = this.ctx;
    const channel = Math.max(0, X_CHANNELS.indexOf(this.view.xAxis));
    const smoothing = this.view.smoothing;
    const average = smoothBuckets(h.train, smoothing);
    const marketTrain = smoothBuckets(h.marketTrain, smoothing);
    const marketTest = smoothBuckets(h.marketTest, smoothing);
    let lo = Math.min(h.train.lo, h.test.lo);
    let hi = Math.max(h.train.hi, h.test.hi);
    for (const values of [marketTrain, marketTest]) {
      for (let b = 0; b < values.length; b++) {
        if (values[b] < lo) lo = values[b];
        if (values[b] > hi) hi = values[b];
      }
    }
    [lo, hi] = paddedRange(lo, hi, true);
    let x0 = Infinity;
    let x1 = -Infinity;
    for (const s of [h.train, h.test]) {
      if (s.length === 0) continue;
      x0 = Math.min(x0, s.firstX(channel));
      x1 = Math.max(x1, s.lastX(channel));
    }
    if (x0 > x1) [x0, x1] = [0, 1];
    const title = `episode return, % of the initial balance: ${h.counts.train} train (dots, line: `
      + `${smoothing.kind === 'ema' ? 'EMA' : 'mean'} of ${smoothing.width}), ${h.counts.test} test (diamonds)`
      + (h.marketTrain.length + h.marketTest.length ? ', buy and hold (dashed)' : '');
    const frame = drawFrame(this.canvas, ctx, { xRange: [x0, x1], yRange: [lo, hi],
      xKind: this.view.xAxis === 'wall' ? 'time' : 'count', yUnit: ' %', title });
    drawZero(ctx, frame);
    fillBands(ctx, frame, h.train, channel, COLORS.band);
    ctx.fillStyle = COLORS.train;
    for (let b = 0; b < h.train.length; b++) {
      if (h.train.count[b] === 1) ctx.fillRect(frame.x(h.train.x(b, channel)) - 1.5, frame.y(h.train.last[b]) - 1.5, 3, 3);
    }
    ctx.setLineDash([5, 3]);
    strokeBuckets(ctx, frame, h.marketTrain, marketTrain, channel, COLORS.market, 1);
    strokeBuckets(ctx, frame, h.marketTest, marketTest, channel, COLORS.marketTest, 1);
    ctx.setLineDash([]);
    fillBands(ctx, frame, h.test, channel, COLORS.testBand);
    ctx.fillStyle = COLORS.test;
    // Diamonds as large as the room for them allows.
    const size = h.test.length <= frame.pane.w / 12 ? 5 : 2.5;
    for (let b = 0; b < h.test.length; b++) diamond(ctx, frame.x(h.test.x(b, channel)), frame.y(h.test.mean(b)), size, true);
    if (h.train.length > 1) strokeBuckets(ctx, frame, h.train, average, channel, COLORS.average, 1.5);
    if (h.test.length > 1 && size < 5) strokeBuckets(ctx, frame, h.test, smoothBuckets(h.test, smoothing), channel, COLORS.test, 1.5);
    // Episodes without a finite return: hollow marks on the zero line (the last few of them).
    ctx.strokeStyle = FRAME.text;
    for (const xs of h.unknown.train) ctx.strokeRect(frame.x(xs[channel]) - 1.5, frame.y(0) - 1.5, 3, 3);
    for (const xs of h.unknown.test) diamond(ctx, frame.x(xs[channel]), frame.y(0), 5, false);
    this.drawn = {
      train: h.counts.train, test: h.counts.test, lo, hi, xAxis: X_CHANNELS[channel],
      points: h.train.length + h.test.length, buckets: h.train.length, bucketWidth: h.train.width,
      market: h.marketTrain.length + h.marketTest.length, xLabels: frame.xLabels, yLabels: frame.yLabels,
      averageLast: average.length ? average[average.length - 1] : null,
    };
  }
}

function diamond(ctx, cx, cy, r, filled) {
  ctx.beginPath();
  ctx.moveTo(cx, cy - r);
  ctx.lineTo(cx + r, cy);
  ctx.lineTo(cx, cy + r);
  ctx.lineTo(cx - r, cy);
  ctx.closePath();
  if (filled) ctx.fill(); else ctx.stroke();
}
