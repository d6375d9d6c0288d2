// A chart of one or more bounded series as lines (a lone line with each bucket's spread as a thin bar),
// with real axes and a legend when it holds several: the trainer's logged values, the rolling figures of
// the test episodes, and past runs side by side. What the last draw showed is in `chart.drawn`.

import { drawFrame, drawZero, fillBands, paddedRange, strokeBuckets } from './plot-frame.js';
import { smoothBuckets } from './smoothing.js';

export const LINE_COLORS = Object.freeze(['#3ea6ff', '#f5a524', '#2fbf71', '#e5484d', '#b58cff', '#4cc9d6', '#e6edf3',
  '#ff8fab']);

// The channel of a series to draw against `xAxis`: its own name for it, else the logged step, else the first.
export function channelOf(channels, xAxis) {
  for (const name of [xAxis, 'steps']) {
    const at = channels.indexOf(name);
    if (at >= 0) return at;
  }
  return 0;
}

export class LineChart {
  // channels: the x channel names of every series it draws (['steps', 'wall'] for logged values).
  constructor(canvas, { title = '', yUnit = '', withZero = false, channels = ['steps', 'wall'] } = {}) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d');
    this.title = title;
    this.yUnit = yUnit;
    this.withZero = withZero;
    this.channels = channels;
    this.lines = [];
    this.drawnKey = '';
    this.drawn = { points: 0, lines: 0, xLabels: [], yLabels: [] };
  }

  // A line named `label` (drawn as text only, on the canvas) through `series`; one per label.
  setLine(label, series, color = LINE_COLORS[this.lines.length % LINE_COLORS.length]) {
    const line = this.lines.find((l) => l.label === label);
    if (line) Object.assign(line, { series, color });
    else this.lines.push({ label, series, color });
  }

  removeLine(label) {
    this.lines = this.lines.filter((l) => l.label !== label);
  }

  // Draws when something changed since the last draw (its series, the view or the canvas's size); answers
  // whether it drew.
  drawIfChanged(view) {
    const key = [view.xAxis, view.smoothing.kind, view.smoothing.width, this.canvas.clientWidth,
      this.canvas.clientHeight, ...this.lines.map((l) => `${l.label}:${l.series.version}`)].join('|');
    if (key === this.drawnKey) return false;
    this.draw(view);
    this.drawnKey = key;
    return true;
  }

  draw({ xAxis = 'steps', smoothing = { kind: 'none', width: 1 } } = {}) {
    const channel = channelOf(this.channels, xAxis);
    const smoothed = this.lines.map((l) => smoothBuckets(l.series, smoothing));
    let [lo, hi, x0, x1] = [Infinity, -Infinity, Infinity, -Infinity];
    this.lines.forEach(({ series }, i) => {
      if (series.length === 0) return;
      lo = Math.min(lo, series.lo);
      hi = Math.max(hi, series.hi);
      for (const v of smoothed[i]) {
        if (v < lo) lo = v;
        if (v > hi) hi = v;
      }
      x0 = Math.min(x0, series.firstX(channel));
      x1 = Math.max(x1, series.lastX(channel));
    });
    if (x0 > x1) [x0, x1] = [0, 1];
    const frame = drawFrame(this.canvas, this.ctx, { xRange: [x0, x1], yRange: paddedRange(lo, hi, this.withZero),
      xKind: this.channels[channel] === 'wall' ? 'time' : 'count', yUnit: this.yUnit, title: this.title });
    const ctx = this.ctx;
    if (this.withZero) drawZero(ctx, frame);
    let points = 0;
    this.lines.forEach(({ series, color }, i) => {
      // Overlaid runs would hide each other's lines behind their spreads: spreads only for a lone line.
      if (this.lines.length === 1) fillBands(ctx, frame, series, channel, `${color}66`);
      if (series.length === 1) {
        ctx.fillStyle = color;
        ctx.fillRect(frame.x(series.x(0, channel)) - 2, frame.y(smoothed[i][0]) - 2, 4, 4);
      }
      strokeBuckets(ctx, frame, series, smoothed[i], channel, color, 1.5);
      points += series.length;
    });
    if (this.lines.length > 1) {
      ctx.textAlign = 'right';
      ctx.textBaseline = 'top';
      this.lines.forEach(({ label, color }, i) => {
        ctx.fillStyle = color;
        ctx.fillText(String(label).slice(0, 60), frame.pane.x + frame.pane.w - 4, frame.pane.y + 2 + i * 13);
      });
    }
    this.drawn = { points, lines: this.lines.length, xAxis: this.channels[channel], xLabels: frame.xLabels,
      yLabels: frame.yLabels };
  }
}
