// The trainer's own curves on the dashboard: one chart per name it logs (`scalars` events, or a past
// run's scalars), each a bounded series against the logged step and the wall time.

import { BucketSeries, DEFAULT_CAPACITY } from './series-buckets.js';
import { LineChart } from './line-chart.js';

export const SCALAR_CHANNELS = Object.freeze(['steps', 'wall']);
export const MOST_NAMES = 64; // charts on one page; names beyond are counted, not drawn
const NAME_CHARACTERS = 200;

// A scalar entry as sent ({ name, step, wall, value }), or null when it cannot be drawn (its reason in
// `why`): a name that is not text, a value that is not a finite number.
export function readScalar(entry) {
  if (entry === null || typeof entry !== 'object') return { why: 'not an object' };
  const { name, step, wall, value } = entry;
  if (typeof name !== 'string' || name === '') return { why: 'a scalar without a name' };
  if (typeof value !== 'number' || !Number.isFinite(value)) return { why: `${name}: the value ${value} is not a finite number` };
  return { name: name.slice(0, NAME_CHARACTERS), value,
    step: Number.isFinite(step) ? step : NaN, wall: Number.isFinite(wall) ? wall : NaN };
}

// The series of every logged name: `add(entries)` takes a list of scalar entries.
export class ScalarSeries {
  constructor({ capacity = DEFAULT_CAPACITY } = {}) {
    this.capacity = capacity;
    this.byName = new Map(); // name -> { series, step, wall }
    this.skipped = 0; // unreadable entries, or names beyond MOST_NAMES
    this.lastProblem = '';
  }

  add(entries) {
    let added = 0;
    for (const entry of entries) {
      const s = readScalar(entry);
      if (s.why) {
        this.skipped += 1;
        this.lastProblem = s.why;
        continue;
      }
      let kept = this.byName.get(s.name);
      if (kept === undefined) {
        if (this.byName.size >= MOST_NAMES) {
          this.skipped += 1;
          this.lastProblem = `more than ${MOST_NAMES} names: ${s.name} is not drawn`;
          continue;
        }
        kept = { series: new BucketSeries({ capacity: this.capacity, channels: 2 }), step: -Infinity, wall: -Infinity };
        this.byName.set(s.name, kept);
      }
      // A missing step or time keeps the last one.
      const step = Number.isFinite(s.step) ? s.step : Math.max(0, kept.step);
      const wall = Number.isFinite(s.wall) ? s.wall : Math.max(0, kept.wall);
      kept.step = step;
      kept.wall = wall;
      kept.series.push(s.value, [step, wall]);
      added += 1;
    }
    return added;
  }
}

// One chart per name, in the order the names came. makeCanvas(name) answers a new canvas for a name
// (the page puts it in #scalars with data-scalar=NAME); charts[name] is the chart.
export class ScalarBoard {
  constructor(makeCanvas, series = new ScalarSeries()) {
    this.makeCanvas = makeCanvas;
    this.series = series;
    this.charts = Object.create(null); // a name such as __proto__ is a plain key here
  }

  add(entries) {
    const added = this.series.add(entries);
    this.#chartEveryName();
    return added;
  }

  #chartEveryName() {
    for (const [name, kept] of this.series.byName) {
      if (Object.hasOwn(this.charts, name)) continue;
      const chart = new LineChart(this.makeCanvas(name), { title: name, channels: SCALAR_CHANNELS });
      chart.setLine(name, kept.series);
      this.charts[name] = chart;
    }
  }

  // Draws the charts whose series or view changed; answers how many drew.
  draw(view) {
    let drew = 0;
    for (const chart of Object.values(this.charts)) if (chart.drawIfChanged(view)) drew += 1;
    return drew;
  }
}
