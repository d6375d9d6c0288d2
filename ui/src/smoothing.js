// Smoothing of the dashboard's curves: a moving average or an exponential moving average whose width is
// counted in points (episodes, logged values), computed on a bucketed series. While every bucket holds
// one point the result is exact; once buckets hold many, each is taken as its mean repeated `count` times.

export const SMOOTHING_KINDS = Object.freeze(['none', 'mean', 'ema']);

// The mean of the last `count` values at every position (fewer at the start), on a plain array.
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

// kind: 'none' (each bucket's mean), 'mean' (moving average of `width` points) or 'ema' (exponential,
// alpha = 2 / (width + 1) per point, starting at the first value). Answers one value per bucket.
export function smoothBuckets(series, { kind = 'mean', width = 20 } = {}) {
  if (!SMOOTHING_KINDS.includes(kind)) throw new RangeError(`unknown smoothing ${kind} (known: ${SMOOTHING_KINDS.join(', ')})`);
  const n = series.length;
  const out = new Float64Array(n);
  const w = Math.max(1, Math.floor(width) || 1);
  if (kind === 'none' || w === 1) {
    for (let b = 0; b < n; b++) out[b] = series.mean(b);
  } else if (kind === 'ema') {
    const keep = 1 - 2 / (w + 1);
    let ema = 0;
    for (let b = 0; b < n; b++) {
      const m = series.mean(b);
      ema = b === 0 ? m : m + (ema - m) * keep ** series.count[b];
      out[b] = ema;
    }
  } else {
    // The last w points end at bucket b's end: all of buckets k+1..b and the newest part of bucket k.
    let k = 0;
    let before = 0; // points before bucket k
    let sumBefore = 0;
    let points = 0;
    let sum = 0;
    for (let b = 0; b < n; b++) {
      points += series.count[b];
      sum += series.sum[b];
      const start = points - w; // points to leave out, counted from the first
      if (start <= 0) {
        out[b] = sum / points;
        continue;
      }
      while (before + series.count[k] <= start) {
        before += series.count[k];
        sumBefore += series.sum[k];
        k += 1;
      }
      out[b] = (sum - sumBefore - (start - before) * series.mean(k)) / w;
    }
  }
  return out;
}
