// The ticks of a chart's axes: "nice" values (1, 2 or 5 times a power of ten) for counts and returns, and
// seconds, minutes, hours or days for wall time, with labels that carry no float noise (0.30000000000000004).

const TIME_STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400];
const TIME_UNITS = [[86400, 'd'], [3600, 'h'], [60, 'min'], [1, 's']];

// The smallest 1, 2 or 5 × 10^k that cuts `span` into at most `most` parts.
export function niceStep(span, most) {
  const rough = span / Math.max(1, most);
  const power = 10 ** Math.floor(Math.log10(rough));
  for (const m of [1, 2, 5, 10]) if (m * power >= rough * (1 - 1e-9)) return m * power;
  return 10 * power;
}

// The digits after the point that a multiple of `step` needs.
export function decimalsOf(step) {
  if (!(step > 0) || !Number.isFinite(step)) return 0;
  return Math.min(20, Math.max(0, -Math.floor(Math.log10(step) + 1e-9)));
}

function multiples(lo, hi, step, digits) {
  const ticks = [];
  const first = Math.ceil(lo / step - 1e-9);
  const last = Math.floor(hi / step + 1e-9);
  for (let k = first; k <= last && ticks.length < 100; k++) {
    const value = Number((k * step).toFixed(Math.min(20, digits)));
    ticks.push(value === 0 ? 0 : value); // no -0
  }
  return ticks;
}

// Ticks within [lo, hi], at most `most` of them, and at least 2 when the range is not empty (a range
// that one step would cut into few parts gets a finer step: 17 units in 3 parts give -5, 0, 5, not 0).
export function niceTicks(lo, hi, most = 6) {
  if (!Number.isFinite(lo) || !Number.isFinite(hi) || hi < lo) return { step: NaN, ticks: [], digits: 0 };
  if (hi === lo) return { step: 0, ticks: [lo], digits: 0 };
  for (let parts = Math.max(1, most); ; parts *= 2) {
    const step = niceStep(hi - lo, parts);
    const digits = decimalsOf(step);
    const ticks = multiples(lo, hi, step, digits);
    if (ticks.length >= 2 || parts > 64) return { step, ticks, digits };
  }
}

// A tick's label: from 10,000 on, thousands as k and millions as M (chosen by `largest`, the largest
// tick of the axis, so that one axis counts in one unit), with the digits the step needs: 150k, 1.5M,
// 0.25, and 0 for zero.
export function formatTick(value, step, largest = Math.abs(value)) {
  if (value === 0) return '0';
  for (const [scale, suffix] of [[1e9, 'G'], [1e6, 'M'], [1e3, 'k']]) {
    if (largest >= scale && largest >= 1e4) return `${(value / scale).toFixed(decimalsOf(step / scale))}${suffix}`;
  }
  return value.toFixed(decimalsOf(step));
}

// The largest absolute value of a list of ticks (for formatTick).
export function largestOf(ticks) {
  let largest = 0;
  for (const v of ticks) largest = Math.max(largest, Math.abs(v));
  return largest;
}

// Ticks of wall time in seconds: steps of whole seconds, minutes, hours or days (below a second, nice steps).
export function timeTicks(lo, hi, most = 6) {
  if (!Number.isFinite(lo) || !Number.isFinite(hi) || hi < lo) return { step: NaN, ticks: [], unit: 's' };
  if (hi === lo) return { step: 0, ticks: [lo], unit: 's' };
  for (let parts = Math.max(1, most); ; parts *= 2) {
    const rough = (hi - lo) / parts;
    let step = TIME_STEPS.find((s) => s >= rough * (1 - 1e-9));
    if (step === undefined) step = niceStep((hi - lo) / 86400, parts) * 86400;
    if (rough < 1) step = niceStep(hi - lo, parts);
    const ticks = multiples(lo, hi, step, decimalsOf(step));
    if (ticks.length >= 2 || parts > 64) return { step, ticks, unit: TIME_UNITS.find(([s]) => step >= s)?.[1] ?? 's' };
  }
}

// A time tick's label in the unit its step is counted in: "45 s", "30 min", "6 h", "2 d".
export function formatTime(seconds, step) {
  const [scale, unit] = TIME_UNITS.find(([s]) => step >= s) ?? [1, 's'];
  return `${seconds === 0 ? '0' : (seconds / scale).toFixed(decimalsOf(step / scale))} ${unit}`;
}
