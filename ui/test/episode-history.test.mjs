// What the dashboard keeps of the finished episodes: the rolling Sharpe ratio and drawdown of the test
// episodes (checked against plain computations), buy-and-hold returns, and x values that never go back.

import test from 'node:test';
import assert from 'node:assert/strict';
import { EpisodeHistory, drawdownOf, episodesFinishedBy, sharpeOf } from '../src/episode-history.js';
import { mulberry32 } from '../src/prng.js';

// Independent: the sample Sharpe ratio, and the drawdown from a running list of equity values.
function plainSharpe(r) {
  const mean = r.reduce((a, b) => a + b, 0) / r.length;
  const variance = r.reduce((a, b) => a + (b - mean) ** 2, 0) / (r.length - 1);
  return mean / Math.sqrt(variance);
}

function plainDrawdown(r) {
  const equity = [1];
  for (const x of r) equity.push(equity.at(-1) * (1 + x / 100));
  return Math.min(...equity.map((e, i) => (e / Math.max(...equity.slice(0, i + 1)) - 1) * 100));
}

test('Sharpe and drawdown of known returns', () => {
  assert.ok(Math.abs(sharpeOf([1, 2, 3]) - 2) < 1e-12); // mean 2, sd 1
  assert.ok(Number.isNaN(sharpeOf([1])) && Number.isNaN(sharpeOf([2, 2])));
  // +10 % then -50 % then +20 %: the peak 1.1 falls to 0.55, a drawdown of 50 %.
  assert.ok(Math.abs(drawdownOf([10, -50, 20]) + 50) < 1e-12);
  assert.equal(drawdownOf([1, 2, 3]), 0);
});

test('the rolling figures follow the last 20 test episodes, train episodes aside', () => {
  const random = mulberry32(11);
  const history = new EpisodeHistory({ capacity: 4096 });
  const tests = [];
  const sharpe = [];
  const drawdown = [];
  for (let i = 0; i < 300; i++) {
    const r = (random() - 0.45) * 8;
    const type = i % 3 === 0 ? 'test' : 'train';
    history.add([{ type, return_pct: r, env: 0, n: i + 1, env_steps: i * 64, wall: i }]);
    if (type !== 'test') continue;
    tests.push(r);
    const window = tests.slice(-20);
    if (window.length >= 2) sharpe.push(plainSharpe(window));
    drawdown.push(plainDrawdown(window));
  }
  assert.equal(history.sharpe.points, sharpe.length);
  assert.equal(history.drawdown.points, drawdown.length);
  for (let b = 0; b < sharpe.length; b++) assert.ok(Math.abs(history.sharpe.last[b] - sharpe[b]) < 1e-9, `Sharpe ${b}`);
  for (let b = 0; b < drawdown.length; b++) assert.ok(Math.abs(history.drawdown.last[b] - drawdown[b]) < 1e-9, `drawdown ${b}`);
  assert.equal(history.counts.test, 100);
});

test('x never goes back: an episode without env steps or time keeps the last ones', () => {
  const history = new EpisodeHistory();
  const first = [{ env: 0, n: 1, return_pct: 1, market_pct: 0.5, env_steps: 64, wall: 1 },
    { env: 1, n: 1, return_pct: 2, market_pct: null, env_steps: 128, wall: 2 }];
  assert.equal(history.add(first), 2);
  assert.equal(history.add([{ env: 0, n: 2, return_pct: 3, wall: 3 }, { env: 0, n: 3, return_pct: 4, env_steps: 100 }]), 2);
  assert.equal(history.episodes, 4);
  assert.equal(history.marketTrain.points, 1); // an unknown buy and hold is not drawn
  assert.deepEqual([history.train.lastX(0), history.train.lastX(1), history.train.lastX(2)], [4, 128, 3]);
  assert.equal(history.add([null, 'x', 7]), 0);
});

test('a page that opens late numbers the hub\'s last episodes from where they stand', () => {
  // 4 environments have finished 25 episodes each; the hub kept the last 10, in the order they finished.
  const all = [];
  for (let n = 1; n <= 25; n++) for (let env = 0; env < 4; env++) all.push({ env, n, return_pct: n });
  const kept = all.slice(-10);
  assert.equal(episodesFinishedBy(kept), 100);
  assert.equal(episodesFinishedBy([]), 0);
  assert.equal(episodesFinishedBy([{ env: 0, n: 3 }, { n: 9 }, null, { env: 1, n: 2 }, { env: 0, n: 2 }]), 5);
  const history = new EpisodeHistory();
  const before = episodesFinishedBy(kept) - kept.length;
  history.add(kept, (k) => before + k + 1);
  assert.deepEqual([history.train.firstX(0), history.train.lastX(0)], [91, 100]);
  history.add([{ env: 0, n: 26, return_pct: 1 }]); // then the next ones follow
  assert.equal(history.train.lastX(0), 101);
  assert.equal(history.episodes, 11);
});
