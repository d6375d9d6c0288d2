// A bounded, downsampled series for the dashboard's charts: points in the order they came, kept as at most
// `capacity` buckets of equal width (min, max, sum, count, last value, and the first and last x of each
// x channel). When the buckets are full, neighbours merge in pairs and the width doubles, so memory and
// the time a draw takes stay the same whether the series holds a hundred points or a billion.

export const DEFAULT_CAPACITY = 2048;

export class BucketSeries {
  // capacity: the most buckets kept (even, at least 2); channels: how many x values each point carries
  // (the returns curve: episode, env steps, wall time).
  constructor({ capacity = DEFAULT_CAPACITY, channels = 1 } = {}) {
    if (!Number.isInteger(capacity) || capacity < 2 || capacity % 2 !== 0) {
      throw new RangeError(`a series' capacity must be an even integer of at least 2, got ${capacity}`);
    }
    if (!Number.isInteger(channels) || channels < 1) throw new RangeError(`channels must be at least 1, got ${channels}`);
    this.capacity = capacity;
    this.channels = channels;
    this.count = new Float64Array(capacity);
    this.sum = new Float64Array(capacity);
    this.min = new Float64Array(capacity);
    this.max = new Float64Array(capacity);
    this.last = new Float64Array(capacity);
    this.xFirst = new Float64Array(capacity * channels);
    this.xLast = new Float64Array(capacity * channels);
    this.clear();
  }

  clear() {
    this.length = 0; // buckets in use
    this.width = 1; // points in every bucket but the last, which holds 1 to `width`
    this.points = 0;
    this.lo = Infinity;
    this.hi = -Infinity;
    this.version = 0; // changes with every point: a chart redraws only when it changed
  }

  // y: a finite number (anything else is refused: the caller counts what it cannot draw);
  // xs: `channels` x values (a number when there is one channel).
  push(y, xs) {
    if (!Number.isFinite(y)) throw new RangeError(`a series holds finite values only, got ${y}`);
    let b = this.length - 1;
    if (b < 0 || this.count[b] >= this.width) {
      if (this.length === this.capacity) this.#mergePairs();
      b = this.length;
      this.length += 1;
      this.count[b] = 0;
      this.sum[b] = 0;
      this.min[b] = y;
      this.max[b] = y;
    }
    this.count[b] += 1;
    this.sum[b] += y;
    if (y < this.min[b]) this.min[b] = y;
    if (y > this.max[b]) this.max[b] = y;
    this.last[b] = y;
    const at = b * this.channels;
    for (let c = 0; c < this.channels; c++) {
      const x = typeof xs === 'number' ? xs : xs[c];
      if (this.count[b] === 1) this.xFirst[at + c] = x;
      this.xLast[at + c] = x;
    }
    if (y < this.lo) this.lo = y;
    if (y > this.hi) this.hi = y;
    this.points += 1;
    this.version += 1;
  }

  mean(b) { return this.sum[b] / this.count[b]; }

  // The x a bucket is drawn at on channel c: the middle of its first and last point.
  x(b, c = 0) {
    const at = b * this.channels + c;
    return (this.xFirst[at] + this.xLast[at]) / 2;
  }

  firstX(c = 0) { return this.length ? this.xFirst[c] : NaN; }

  lastX(c = 0) { return this.length ? this.xLast[(this.length - 1) * this.channels + c] : NaN; }

  // Every bucket is full when this runs (the last one included): bucket i and i+1 become bucket i/2.
  #mergePairs() {
    const n = this.channels;
    for (let to = 0, from = 0; from < this.length; to += 1, from += 2) {
      const a = from;
      const b = from + 1;
      this.count[to] = this.count[a] + this.count[b];
      this.sum[to] = this.sum[a] + this.sum[b];
      this.min[to] = Math.min(this.min[a], this.min[b]);
      this.max[to] = Math.max(this.max[a], this.max[b]);
      this.last[to] = this.last[b];
      for (let c = 0; c < n; c++) {
        this.xFirst[to * n + c] = this.xFirst[a * n + c];
        this.xLast[to * n + c] = this.xLast[b * n + c];
      }
    }
    this.length /= 2;
    this.width *= 2;
  }
}
