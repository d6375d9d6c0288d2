// Seeded pseudo-random numbers (mulberry32) that come out bit for bit the same in every JavaScript engine.

// Returns a function giving uniform numbers in [0, 1); the seed is taken as an unsigned 32-bit integer.
export function mulberry32(seed) {
  let state = seed >>> 0;
  return function next() {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

// An approximately standard normal number: the centred sum of four uniforms scaled to unit variance.
// Only +, - and * (and a correctly rounded sqrt) are used, so no engine's Math.log/cos can make series
// differ between a browser and Node.
const SQRT3 = Math.sqrt(3);
export function normalish(uniform) {
  return (uniform() + uniform() + uniform() + uniform() - 2) * SQRT3;
}
