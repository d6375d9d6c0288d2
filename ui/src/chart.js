// Draws the session on a canvas: candles up to the cursor, open positions with their exit levels,
// pending orders, and the equity curve below. Reads the engine; never changes it.

import { trailingLevel } from './book.js';
import { HIGH, LOW } from './candles.js';
import { Side } from './orders.js';

const COLORS = {
  background: '#10151c', grid: '#1f2833', text: '#9fb0c2', up: '#2fbf71', down: '#e5484d',
  buy: '#3ea6ff', sell: '#f5a524', order: '#8b98a8', trail: '#c084fc', equity: '#3ea6ff', baseline: '#55606d',
};
const FONT = '11px system-ui, sans-serif';
const PAD = { left: 8, right: 64, top: 22, bottom: 6 };
const PANE_GAP = 18;
const CANDLE_STEP_PX = 7;

export class Chart {
  constructor(canvas) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d');
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

  draw(engine) {
    const { width, height } = this.#resize();
    const ctx = this.ctx;
    ctx.fillStyle = COLORS.background;
    ctx.fillRect(0, 0, width, height);
    ctx.font = FONT;
    const session = engine.session;
    const plotWidth = Math.max(10, width - PAD.left - PAD.right);
    const priceHeight = Math.max(10, (height - PAD.top - PAD.bottom - PANE_GAP) * 0.7);
    const pricePane = { x: PAD.left, y: PAD.top, w: plotWidth, h: priceHeight };
    const equityPane = { x: PAD.left, y: PAD.top + priceHeight + PANE_GAP, w: plotWidth,
      h: Math.max(10, height - PAD.top - PAD.bottom - PANE_GAP - priceHeight) };
    this.#title(session, width);
    this.#prices(session, pricePane);
    this.#equity(session, equityPane);
  }

  #title(session, width) {
    const ctx = this.ctx;
    const name = session.type === 1 ? `test episode ${session.index}` : session.type === 0
      ? `train episode ${session.index}` : 'whole series';
    const state = session.ended ? ' (ended)' : '';
    ctx.fillStyle = COLORS.text;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'middle';
    ctx.fillText(`${name}${state} · step ${session.step} / ${session.lastBar - session.firstBar} · bar ${session.cursor}`,
      PAD.left, PAD.top / 2);
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
    const right = pane.x + pane.w;
    for (const p of session.book.positions.values()) {
      const color = p.side === Side.Buy ? COLORS.buy : COLORS.sell;
      const start = Math.max(pane.x, x(p.entryBar));
      this.#level(start, right, y(p.entryPrice), color, []);
      if (p.takeProfit !== null) this.#level(start, right, y(p.takeProfit), COLORS.up, [5, 4]);
      if (p.stopLoss !== null) this.#level(start, right, y(p.stopLoss), COLORS.down, [5, 4]);
      const trail = trailingLevel(p);
      if (trail !== null) this.#level(start, right, y(trail), COLORS.trail, [2, 3]);
      ctx.fillStyle = color;
      ctx.textAlign = 'left';
      ctx.textBaseline = 'bottom';
      ctx.fillText(`#${p.id} ${p.side === Side.Buy ? 'long' : 'short'} ${p.units}`, start + 3, y(p.entryPrice) - 2);
    }
    for (const o of session.book.orders.values()) {
      this.#level(Math.max(pane.x, x(o.placedBar)), right, y(o.price), COLORS.order, [6, 3]);
      ctx.fillStyle = COLORS.order;
      ctx.textAlign = 'left';
      ctx.textBaseline = 'bottom';
      ctx.fillText(`#${o.id} ${o.side === Side.Buy ? 'buy' : 'sell'} ${o.type > 0 ? 'limit' : 'stop'} ${o.units}`,
        Math.max(pane.x, x(o.placedBar)) + 3, y(o.price) - 2);
    }
    ctx.restore();
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
    this.#level(pane.x, pane.x + pane.w, y(base), COLORS.baseline, [4, 4]);
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

  #level(x0, x1, yy, color, dash) {
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
