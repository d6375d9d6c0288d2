// A chart's frame on a canvas: the canvas sized to its box (for the screen's pixel ratio), the pane inside
// the margins, and both axes with their ticks, grid lines and labels. Every chart of the dashboard draws
// in one; `x` and `y` map values to pixels.

import { formatTick, formatTime, largestOf, niceTicks, timeTicks } from './axis-ticks.js';

export const COLORS = Object.freeze({ background: '#10151c', grid: '#1f2833', text: '#9fb0c2', zero: '#55606d' });
export const PAD = Object.freeze({ left: 52, right: 10, top: 18, bottom: 20 });

// Sizes the canvas's bitmap to its box and answers the box in CSS pixels.
export function fitCanvas(canvas, ctx) {
  const ratio = globalThis.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  return { width: width / ratio, height: height / ratio };
}

// The y range that holds [lo, hi] (and zero when `withZero`), with a margin.
export function paddedRange(lo, hi, withZero) {
  if (withZero) {
    lo = Math.min(0, lo);
    hi = Math.max(0, hi);
  }
  if (!Number.isFinite(lo) || !Number.isFinite(hi)) return [-1, 1];
  const margin = (hi - lo) * 0.08 || Math.abs(hi) * 0.1 || 0.1;
  return [lo - margin, hi + margin];
}

// Clears the canvas and draws the frame. xKind: 'count' or 'time' (seconds); yUnit follows y labels
// (' %'). Answers { pane, x, y, xTicks, yTicks, width, height }.
export function drawFrame(canvas, ctx, { xRange, yRange, xKind = 'count', yUnit = '', title = '' }) {
  const { width, height } = fitCanvas(canvas, ctx);
  ctx.fillStyle = COLORS.background;
  ctx.fillRect(0, 0, width, height);
  ctx.font = '11px system-ui, sans-serif';
  const pane = { x: PAD.left, y: PAD.top, w: Math.max(10, width - PAD.left - PAD.right),
    h: Math.max(10, height - PAD.top - PAD.bottom) };
  let [x0, x1] = xRange;
  if (!(x1 > x0)) [x0, x1] = [x0 - 1, x0 + 1];
  if (!Number.isFinite(x0) || !Number.isFinite(x1)) [x0, x1] = [0, 1];
  const [y0, y1] = yRange;
  const x = (v) => pane.x + ((v - x0) / (x1 - x0)) * pane.w;
  const y = (v) => pane.y + ((y1 - v) / (y1 - y0)) * pane.h;
  const most = Math.max(3, Math.floor(pane.h / 28));
  const yTicks = niceTicks(y0, y1, most);
  const yLargest = largestOf(yTicks.ticks);
  const yLabel = (v) => `${formatTick(v, yTicks.step, yLargest)}${yUnit}`;
  ctx.textAlign = 'right';
  ctx.textBaseline = 'middle';
  for (const v of yTicks.ticks) {
    ctx.fillStyle = COLORS.grid;
    ctx.fillRect(pane.x, Math.round(y(v)), pane.w, 1);
    ctx.fillStyle = COLORS.text;
    ctx.fillText(yLabel(v), pane.x - 6, y(v));
  }
  const xMost = Math.max(3, Math.floor(pane.w / 80));
  const xTicks = xKind === 'time' ? timeTicks(x0, x1, xMost) : niceTicks(x0, x1, xMost);
  const xLargest = largestOf(xTicks.ticks);
  const label = xKind === 'time' ? (v) => formatTime(v, xTicks.step) : (v) => formatTick(v, xTicks.step, xLargest);
  ctx.textAlign = 'center';
  ctx.textBaseline = 'top';
  for (const v of xTicks.ticks) {
    ctx.fillStyle = COLORS.grid;
    ctx.fillRect(Math.round(x(v)), pane.y + pane.h, 1, 4);
    ctx.fillStyle = COLORS.text;
    ctx.fillText(label(v), x(v), pane.y + pane.h + 5);
  }
  if (title) {
    ctx.textAlign = 'left';
    ctx.textBaseline = 'middle';
    ctx.fillStyle = COLORS.text;
    ctx.fillText(title, pane.x, PAD.top / 2);
  }
  return { pane, x, y, width, height, xTicks: xTicks.ticks, yTicks: yTicks.ticks,
    xLabels: xTicks.ticks.map(label), yLabels: yTicks.ticks.map(yLabel) };
}

// A dashed line at y = 0 when zero is inside the pane.
export function drawZero(ctx, frame) {
  const at = Math.round(frame.y(0)) + 0.5;
  if (at < frame.pane.y || at > frame.pane.y + frame.pane.h) return;
  ctx.strokeStyle = COLORS.zero;
  ctx.setLineDash([4, 4]);
  ctx.beginPath();
  ctx.moveTo(frame.pane.x, at);
  ctx.lineTo(frame.pane.x + frame.pane.w, at);
  ctx.stroke();
  ctx.setLineDash([]);
}

// A line through one value per bucket of `series`, at the buckets' x on `channel`.
export function strokeBuckets(ctx, frame, series, values, channel, color, width = 1.5) {
  if (series.length === 0) return 0;
  ctx.strokeStyle = color;
  ctx.lineWidth = width;
  ctx.beginPath();
  for (let b = 0; b < series.length; b++) {
    const px = frame.x(series.x(b, channel));
    const py = frame.y(values[b]);
    if (b === 0) ctx.moveTo(px, py); else ctx.lineTo(px, py);
  }
  ctx.stroke();
  ctx.lineWidth = 1;
  return series.length;
}

// Each bucket's spread, from its min to its max, as a thin bar (only where a bucket holds several points).
export function fillBands(ctx, frame, series, channel, color) {
  ctx.fillStyle = color;
  for (let b = 0; b < series.length; b++) {
    if (series.count[b] < 2) continue;
    const top = frame.y(series.max[b]);
    ctx.fillRect(frame.x(series.x(b, channel)) - 0.5, top, 1, Math.max(1, frame.y(series.min[b]) - top));
  }
}
