// Draws the session on a canvas: candles up to the cursor, fills (triangles: up for a buy, down for a
// sell) and closes (rings: green for a gain, red for a loss), open positions with their exit levels,
// pending orders, and the equity curve below. A level beyond the price axis is drawn at the axis's edge
// with an arrow and its price, and labels are kept inside the pane. Reads the engine; never changes it.
// The page knows a bar by its index only: a bar's time comes with the trainer's figures (`bar`,
// `bar_time`, tarnel_rl.dashboard), when its series has times.
// What the last draw put where is in `chart.drawn` (for tests and automated checks).

import { trailingLevel } from './book.js';
import { EventType } from './columns.js';
import { HIGH, LOW } from './candles.js';
import { Side } from './orders.js';

const COLORS = {
  background: '#10151c', grid: '#1f2833', text: '#9fb0c2', up: '#2fbf71', down: '#e5484d',
  buy: '#3ea6ff', sell: '#f5a524', order: '#8b98a8', trail: '#c084fc', equity: '#3ea6ff', baseline: '#55606d',
  gain: '#2fbf71', loss: '#e5484d',
};
const MARK_SIZE = 4;
const LABEL_HEIGHT = 12;
const FONT = '11px system-ui, sans-serif';
const PAD = { left: 8, right: 64, top: 22, bottom: 6 };
const PANE_GAP = 18;
const CANDLE_STEP_PX = 7;

// The trainer's bar time for the title: its own bar said too when the page has moved on since (the two
// are published apart, the figures at most 10 times a second).
export function barTimeText(cursor, figures) {
  const time = figures?.bar_time;
  if (typeof time !== 'string' || time === '') return '';
  return figures.bar === cursor ? ` · ${time}` : ` · (bar ${figures.bar}: ${time})`;
}

export class Chart {
  constructor(canvas) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d');
    this.drawn = { marks: [], levels: [], labels: [], pricePane: null };
  }

  // Matches the backing store to the element's size and the screen's pixel ratio.
  #resize() {
    const ratio = globalThis.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(this.canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(this.canvas.clientHeight * ratio));
    if (this.canvas.width !== width || this.canvas.height !== height) {
      this.canvas.width = width;
      this.canvas.height = height;
    }
    this.ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    return { width: width / ratio, height: height / ratio };
  }

  // figures: the trainer's latest for this session (its `bar` and `bar_time`), or null.
  draw(engine, figures = null) {
    const { width, height } = this.#resize();
    const ctx = this.ctx;
    this.drawn = { marks: [], levels: [], labels: [], pricePane: null };
    ctx.fillStyle = COLORS.background;
    ctx.fillRect(0, 0, width, height);
    ctx.font = FONT;
    const session = engine.session;
    const plotWidth = Math.max(10, width - PAD.left - PAD.right);
    const priceHeight = Math.max(10, (height - PAD.top - PAD.bottom - PANE_GAP) * 0.7);
    const pricePane = { x: PAD.left, y: PAD.top, w: plotWidth, h: priceHeight };
    const equityPane = { x: PAD.left, y: PAD.top + priceHeight + PANE_GAP, w: plotWidth,
      h: Math.max(10, height - PAD.top - PAD.bottom - PANE_GAP - priceHeight) };
    this.#title(session, width, figures);
    this.#prices(session, pricePane);
    this.#equity(session, equityPane);
  }

  #title(session, width, figures) {
    const ctx = this.ctx;
    const name = session.type === 1 ? `test episode ${session.index}` : session.type === 0
      ? `train episode ${session.index}` : 'whole series';
    const state = session.ended ? ' (ended)' : '';
    ctx.fillStyle = COLORS.text;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'middle';
    ctx.fillText(`${name}${state} · step ${session.step} / ${session.lastBar - session.firstBar} · bar ${session.cursor}`
      + barTimeText(session.cursor, figures), PAD.left, PAD.top / 2);
    ctx.textAlign = 'right';
    ctx.fillText(`close ${session.price().toFixed(4)}`, width - 4, PAD.top / 2);
  }

  #prices(session, pane) {
    const ctx = this.ctx;
    const series = session.series;
    const count = Math.max(2, Math.floor(pane.w / CANDLE_STEP_PX));
    const from = Math.max(session.startBar, session.cursor - count + 1);
    let lo = Infinity;
    let hi = -Infinity;
    for (let b = from; b <= session.cursor; b++) {
      lo = Math.min(lo, series.value(b, LOW));
      hi = Math.max(hi, series.value(b, HIGH));
    }
    const margin = (hi - lo) * 0.05 || hi * 0.01 || 1;
    lo -= margin;
    hi += margin;
    const y = (price) => pane.y + (hi - price) / (hi - lo) * pane.h;
    const x = (bar) => pane.x + (bar - from + 0.5) * CANDLE_STEP_PX;
    this.#grid(pane, lo, hi, y);

    ctx.save();
    ctx.beginPath();
    ctx.rect(pane.x, pane.y, pane.w, pane.h);
    ctx.clip();
    const body = Math.max(1, CANDLE_STEP_PX - 2);
    for (let b = from; b <= session.cursor; b++) {
      const c = series.candle(b);
      ctx.strokeStyle = ctx.fillStyle = c.close >= c.open ? COLORS.up : COLORS.down;
      ctx.beginPath();
      ctx.moveTo(Math.round(x(b)) + 0.5, y(c.high));
      ctx.lineTo(Math.round(x(b)) + 0.5, y(c.low));
      ctx.stroke();
      const top = y(Math.max(c.open, c.close));
      ctx.fillRect(x(b) - body / 2, top, body, Math.max(1, y(Math.min(c.open, c.close)) - top));
    }
    for (const mark of session.book.marks) {
      if (mark.bar < from || mark.bar > session.cursor) continue;
      this.#mark(mark, x(mark.bar), y(mark.price));
    }
    ctx.restore();

    // Levels and labels are drawn unclipped, each kept inside the pane.
    this.drawn.pricePane = pane;
    const right = pane.x + pane.w;
    for (const p of session.book.positions.values()) {
      const color = p.side === Side.Buy ? COLORS.buy : COLORS.sell;
      const start = Math.max(pane.x, x(p.entryBar));
      const entryY = this.#level(pane, start, right, p.entryPrice, y, color, []);
      if (p.takeProfit !== null) this.#level(pane, start, right, p.takeProfit, y, COLORS.up, [5, 4]);
      if (p.stopLoss !== null) this.#level(pane, start, right, p.stopLoss, y, COLORS.down, [5, 4]);
      const trail = trailingLevel(p);
      if (trail !== null) this.#level(pane, start, right, trail, y, COLORS.trail, [2, 3]);
      this.#label(pane, `#${p.id} ${p.side === Side.Buy ? 'long' : 'short'} ${p.units}`, start + 3, entryY - 2, color);
    }
    for (const o of session.book.orders.values()) {
      const start = Math.max(pane.x, x(o.placedBar));
      const orderY = this.#level(pane, start, right, o.price, y, COLORS.order, [6, 3]);
      this.#label(pane, `#${o.id} ${o.side === Side.Buy ? 'buy' : 'sell'} ${o.type > 0 ? 'limit' : 'stop'} ${o.units}`,
        start + 3, orderY - 2, COLORS.order);
    }
  }

  // A fill: a triangle at its price, pointing up for a buy and down for a sell. A close or a reduction:
  // a ring, green when it gained, red when it lost.
  #mark(mark, xx, yy) {
    const ctx = this.ctx;
    const opened = mark.type === EventType.Opened;
    const color = opened ? (mark.side === Side.Buy ? COLORS.buy : COLORS.sell) : (mark.pnl > 0 ? COLORS.gain : COLORS.loss);
    ctx.beginPath();
    if (opened) {
      const tip = mark.side === Side.Buy ? -1 : 1; // the apex points up for a buy
      ctx.moveTo(xx, yy + tip * MARK_SIZE);
      ctx.lineTo(xx - MARK_SIZE, yy - tip * MARK_SIZE);
      ctx.lineTo(xx + MARK_SIZE, yy - tip * MARK_SIZE);
      ctx.closePath();
      ctx.fillStyle = color;
      ctx.fill();
    } else {
      ctx.arc(xx, yy, MARK_SIZE, 0, 2 * Math.PI);
      ctx.strokeStyle = color;
      ctx.lineWidth = 1.5;
      ctx.stroke();
      ctx.lineWidth = 1;
    }
    this.drawn.marks.push({ kind: opened ? 'fill' : 'close', id: mark.id, bar: mark.bar, x: xx, y: yy, color });
  }

  // A horizontal level at `price`, clamped to the pane: one beyond the axis is drawn on its edge with an
  // arrow pointing the way it lies and its price. Returns the y it was drawn at.
  #level(pane, x0, x1, price, y, color, dash) {
    const exact = y(price);
    const top = pane.y + 1;
    const bottom = pane.y + pane.h - 1;
    const yy = Math.min(bottom, Math.max(top, exact));
    const off = exact < top ? 'above' : exact > bottom ? 'below' : null;
    this.#line(x0, x1, yy, color, dash);
    if (off !== null) {
      const ctx = this.ctx;
      const dir = off === 'above' ? -1 : 1;
      const ax = x1 - 8;
      ctx.beginPath();
      ctx.moveTo(ax, yy + dir * 0.5);
      ctx.lineTo(ax - 5, yy - dir * 7);
      ctx.lineTo(ax + 5, yy - dir * 7);
      ctx.closePath();
      ctx.fillStyle = color;
      ctx.fill();
      const text = `${off === 'above' ? '↑' : '↓'} ${price.toPrecision(6)}`;
      this.#label(pane, text, ax - 8 - this.#textWidth(text), yy + (off === 'above' ? 12 : -2), color);
    }
    this.drawn.levels.push({ price, y: yy, off, color });
    return yy;
  }

  // A label whose baseline is at (x, yy), moved as little as needed to lie wholly inside the pane.
  #label(pane, text, x, yy, color) {
    const ctx = this.ctx;
    const width = this.#textWidth(text);
    const lx = Math.max(pane.x + 2, Math.min(x, pane.x + pane.w - width - 2));
    const ly = Math.max(pane.y + LABEL_HEIGHT, Math.min(yy, pane.y + pane.h - 2));
    ctx.fillStyle = color;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'bottom';
    ctx.fillText(text, lx, ly);
    this.drawn.labels.push({ text, x: lx, y: ly, width });
  }

  #textWidth(text) {
    const measured = this.ctx.measureText?.(text);
    return measured && Number.isFinite(measured.width) ? measured.width : text.length * 6.5;
  }

  #equity(session, pane) {
    const ctx = this.ctx;
    const curve = session.equity;
    const base = session.book.initialBalance;
    let lo = base;
    let hi = base;
    for (const v of curve) {
      lo = Math.min(lo, v);
      hi = Math.max(hi, v);
    }
    const margin = (hi - lo) * 0.1 || base * 0.001 || 1;
    lo -= margin;
    hi += margin;
    const y = (v) => pane.y + (hi - v) / (hi - lo) * pane.h;
    this.#grid(pane, lo, hi, y);
    const span = Math.max(1, session.lastBar - session.firstBar);
    const x = (i) => pane.x + (i / span) * pane.w;
    this.#line(pane.x, pane.x + pane.w, y(base), COLORS.baseline, [4, 4]);
    ctx.strokeStyle = COLORS.equity;
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    curve.forEach((v, i) => (i === 0 ? ctx.moveTo(x(i), y(v)) : ctx.lineTo(x(i), y(v))));
    ctx.stroke();
    ctx.lineWidth = 1;
    ctx.fillStyle = COLORS.text;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'top';
    ctx.fillText(`equity ${curve[curve.length - 1].toFixed(2)}`, pane.x + 4, pane.y + 2);
  }

  #grid(pane, lo, hi, y) {
    const ctx = this.ctx;
    ctx.strokeStyle = COLORS.grid;
    ctx.fillStyle = COLORS.text;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'middle';
    ctx.strokeRect(pane.x + 0.5, pane.y + 0.5, pane.w, pane.h);
    const lines = 4;
    for (let i = 0; i <= lines; i++) {
      const v = lo + (hi - lo) * (i / lines);
      const yy = Math.round(y(v)) + 0.5;
      ctx.beginPath();
      ctx.moveTo(pane.x, yy);
      ctx.lineTo(pane.x + pane.w, yy);
      ctx.stroke();
      ctx.fillText(v.toPrecision(6), pane.x + pane.w + 4, yy);
    }
  }

  #line(x0, x1, yy, color, dash) {
    const ctx = this.ctx;
    ctx.strokeStyle = color;
    ctx.setLineDash(dash);
    ctx.beginPath();
    ctx.moveTo(x0, Math.round(yy) + 0.5);
    ctx.lineTo(x1, Math.round(yy) + 0.5);
    ctx.stroke();
    ctx.setLineDash([]);
  }
}
