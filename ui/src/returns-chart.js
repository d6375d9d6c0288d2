// The returns curve of the training dashboard: one point per finished episode (its return in percent of
// the initial balance) in the order they finished, train episodes as small dots with their moving
// average as a line, test episodes as larger diamonds of their own colour, and the zero line.
// What the last draw put where is in `chart.drawn` (for tests and automated checks).

const COLORS = { background: '#10151c', grid: '#1f2833', text: '#9fb0c2', train: '#3ea6ff', average: '#e6edf3',
  test: '#f5a524', zero: '#55606d' };
const PAD = { left: 52, right: 10, top: 18, bottom: 18 };
export const AVERAGE_OF = 20;

export function movingAverage(values, count) {
  const out = [];
  let sum = 0;
  for (let i = 0; i < values.length; i++) {
    sum += values[i];
    if (i >= count) sum -= values[i - count];
    out.push(sum / Math.min(i + 1, count));
  }
  return out;
}

export class ReturnsChart {
  constructor(canvas) {
    this.canvas = canvas;
    this.ctx = canvas.getContext('2d');
    this.drawn = { train: 0, test: 0, lo: 0, hi: 0 };
  }

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

  // episodes: [{ type: 'train' | 'test', return_pct, env, n }], in the order they finished.
  draw(episodes) {
    const { width, height } = this.#resize();
    const ctx = this.ctx;
    ctx.fillStyle = COLORS.background;
    ctx.fillRect(0, 0, width, height);
    ctx.font = '11px system-ui, sans-serif';
    const pane = { x: PAD.left, y: PAD.top, w: Math.max(10, width - PAD.left - PAD.right),
      h: Math.max(10, height - PAD.top - PAD.bottom) };
    const values = episodes.map((e) => (Number.isFinite(e.return_pct) ? e.return_pct : 0));
    let lo = Math.min(0, ...values);
    let hi = Math.max(0, ...values);
    const margin = (hi - lo) * 0.08 || 0.1;
    lo -= margin;
    hi += margin;
    const x = (i) => pane.x + (episodes.length < 2 ? pane.w / 2 : (i / (episodes.length - 1)) * pane.w);
    const y = (v) => pane.y + ((hi - v) / (hi - lo)) * pane.h;
    ctx.fillStyle = COLORS.text;
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    for (const v of [hi - margin, (hi + lo) / 2, lo + margin]) {
      ctx.fillText(`${v.toFixed(2)} %`, pane.x - 6, y(v));
      ctx.fillStyle = COLORS.grid;
      ctx.fillRect(pane.x, Math.round(y(v)), pane.w, 1);
      ctx.fillStyle = COLORS.text;
    }
    ctx.strokeStyle = COLORS.zero;
    ctx.setLineDash([4, 4]);
    ctx.beginPath();
    ctx.moveTo(pane.x, Math.round(y(0)) + 0.5);
    ctx.lineTo(pane.x + pane.w, Math.round(y(0)) + 0.5);
    ctx.stroke();
    ctx.setLineDash([]);
    const train = [];
    let tests = 0;
    episodes.forEach((episode, i) => {
      if (episode.type === 'test') {
        tests += 1;
        const cx = x(i);
        const cy = y(values[i]);
        ctx.fillStyle = COLORS.test;
        ctx.beginPath();
        ctx.moveTo(cx, cy - 5);
        ctx.lineTo(cx + 5, cy);
        ctx.lineTo(cx, cy + 5);
        ctx.lineTo(cx - 5, cy);
        ctx.closePath();
        ctx.fill();
      } else {
        train.push(i);
        ctx.fillStyle = COLORS.train;
        ctx.fillRect(x(i) - 1.5, y(values[i]) - 1.5, 3, 3);
      }
    });
    const average = movingAverage(train.map((i) => values[i]), AVERAGE_OF);
    if (average.length > 1) {
      ctx.strokeStyle = COLORS.average;
      ctx.lineWidth = 1.5;
      ctx.beginPath();
      train.forEach((i, k) => (k === 0 ? ctx.moveTo(x(i), y(average[k])) : ctx.lineTo(x(i), y(average[k]))));
      ctx.stroke();
      ctx.lineWidth = 1;
    }
    ctx.textAlign = 'left';
    ctx.fillStyle = COLORS.text;
    ctx.fillText(`episode return, % of the initial balance: ${train.length} train (dots, line: mean of ${AVERAGE_OF}), `
      + `${tests} test (diamonds)`, pane.x, PAD.top / 2);
    this.drawn = { train: train.length, test: tests, lo, hi };
  }
}
