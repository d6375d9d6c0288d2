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
  return Math.max(0, -Math.floor(Math.log10(step) + 1e-9));
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

// Ticks within [lo, hi], at most `most` of them (at least 2 when the range is not empty).
export function niceTicks(lo, hi, most = 6) {
  if (!Number.isFinite(lo) || !Number.isFinite(hi) || hi < lo) return { step: NaN, ticks: [], digits: 0 };
  if (hi === lo) return { step: 0, ticks: [lo], digits: 0 };
  const step = niceStep(hi - lo, most);
  const digits = decimalsOf(step);
  return { step, ticks: multiples(lo, hi, step, digits), digits };
}

// A tick's label: thousands as k, millions as M, with the digits the step needs (150k, 1.5M, 0.25).
export function formatTick(value, step) {
  for (const [scale, suffix] of [[1e9, 'G'], [1e6, 'M'], [1e3, 'k']]) {
    if (step >= scale) return `${(value / scale).toFixed(decimalsOf(step / scale))}${suffix}`;
  }
  return value.toFixed(decimalsOf(step));
}

// Ticks of wall time in seconds: steps of whole seconds, minutes, hours or days (below a second, nice steps).
export function timeTicks(lo, hi, most = 6) {
  if (!Number.isFinite(lo) || !Number.isFinite(hi) || hi < lo) return { step: NaN, ticks: [], unit: 's' };
  if (hi === lo) return { step: 0, ticks: [lo], unit: 's' };
  const rough = (hi - lo) / Math.max(1, most);
  let step = TIME_STEPS.find((s) => s >= rough * (1 - 1e-9));
  if (step === undefined) step = niceStep((hi - lo) / 86400, most) * 86400;
  if (rough < 1) step = niceStep(hi - lo, most);
  return { step, ticks: multiples(lo, hi, step, decimalsOf(step)), unit: TIME_UNITS.find(([s]) => step >= s)?.[1] ?? 's' };
}

// A time tick's label in the unit its step is counted in: "45 s", "30 min", "6 h", "2 d".
export function formatTime(seconds, step) {
  const [scale, unit] = TIME_UNITS.find(([s]) => step >= s) ?? [1, 's'];
  return `${formatTick(seconds / scale, step / scale)} ${unit}`;
}
