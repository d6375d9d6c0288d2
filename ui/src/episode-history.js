// Every finished episode the dashboard was given, kept as bounded series: train and test returns, their
// buy-and-hold returns (`market_pct`), and the rolling Sharpe ratio and drawdown of the test episodes.
// Each point carries three x values (X_CHANNELS): its episode's number in the order episodes finished,
// the trainer's env steps then, and the wall time since the run started.
//
// Rolling figures of the test episodes, over the last ROLLING_TESTS of them (fewer at the start):
//   Sharpe   = mean(r) / sd(r), r the episodes' returns in percent, sd the sample standard deviation
//              (n - 1); per episode, not annualised; none while fewer than 2 or when sd is 0.
//   drawdown = the deepest fall, in percent, of the compounded curve E_0 = 1, E_j = E_{j-1} (1 + r_j / 100)
//              from a peak to a later point: min over j of (E_j / max_{i <= j} E_i - 1) * 100 (0 or less).

import { BucketSeries, DEFAULT_CAPACITY } from './series-buckets.js';

export const X_CHANNELS = Object.freeze(['episodes', 'steps', 'wall']);
export const ROLLING_TESTS = 20;

// The rolling Sharpe ratio of `returns` (an array of percents), or NaN when it has none.
export function sharpeOf(returns) {
  const n = returns.length;
  if (n < 2) return NaN;
  let sum = 0;
  for (const r of returns) sum += r;
  const mean = sum / n;
  let squares = 0;
  for (const r of returns) squares += (r - mean) ** 2;
  const sd = Math.sqrt(squares / (n - 1));
  return sd > 0 ? mean / sd : NaN;
}

// The deepest drawdown, in percent (<= 0), of the curve compounded from `returns` (percents).
export function drawdownOf(returns) {
  let equity = 1;
  let peak = 1;
  let deepest = 0;
  for (const r of returns) {
    equity *= 1 + r / 100;
    if (equity > peak) peak = equity;
    deepest = Math.min(deepest, equity / peak - 1);
  }
  return deepest * 100;
}

const finite = (v) => typeof v === 'number' && Number.isFinite(v);

// How many episodes the trainer had finished when the last of `list` finished: each environment counts
// its own (`n`, from 1), so it is the sum of the last count of every environment in the list (those
// without an episode in it are not counted). The hub keeps the last episodes, so a page that opens late
// numbers what it is sent from there.
export function episodesFinishedBy(list) {
  const last = new Map();
  for (const e of list) {
    if (e !== null && typeof e === 'object' && Number.isInteger(e.env) && Number.isInteger(e.n)) {
      last.set(e.env, Math.max(last.get(e.env) ?? 0, e.n));
    }
  }
  let sum = 0;
  for (const n of last.values()) sum += n;
  return sum;
}

export class EpisodeHistory {
  constructor({ capacity = DEFAULT_CAPACITY, rolling = ROLLING_TESTS } = {}) {
    const series = () => new BucketSeries({ capacity, channels: X_CHANNELS.length });
    this.train = series();
    this.test = series();
    this.marketTrain = series();
    this.marketTest = series();
    this.sharpe = series();
    this.drawdown = series();
    this.rolling = rolling;
    this.clear();
  }

  clear() {
    for (const s of [this.train, this.test, this.marketTrain, this.marketTest, this.sharpe, this.drawdown]) s.clear();
    this.episodes = 0; // every episode taken, a return or not
    this.lastNumber = 0; // the number of the last one taken among all the run's episodes
    this.counts = { train: 0, test: 0 };
    this.unknown = { train: [], test: [] }; // the x of the last episodes without a finite return (bounded)
    this.unknownCount = { train: 0, test: 0 };
    this.recentTests = [];
    this.steps = 0;
    this.wall = 0;
    this.version = 0;
  }

  // episodes: any iterable of episode entries, in the order they finished. numberOf(k): the number of the
  // k-th of them among all the run's episodes, when they are not simply the next ones (a past run's,
  // thinned; the hub's last ones when the page opens late); by default they follow the last one taken.
  // Answers how many were taken.
  add(episodes, numberOf = null) {
    let taken = 0;
    let k = 0;
    for (const episode of episodes) {
      if (this.#take(episode, numberOf === null ? this.lastNumber + 1 : numberOf(k))) taken += 1;
      k += 1;
    }
    if (taken) this.version += 1;
    return taken;
  }

  #take(e, number) {
    if (e === null || typeof e !== 'object') return false;
    this.episodes += 1;
    this.lastNumber = number;
    // Steps and time never go back: a missing figure keeps the last one.
    if (finite(e.env_steps)) this.steps = Math.max(this.steps, e.env_steps);
    if (finite(e.wall)) this.wall = Math.max(this.wall, e.wall);
    const xs = [number, this.steps, this.wall];
    const type = e.type === 'test' ? 'test' : 'train';
    this.counts[type] += 1;
    if (finite(e.market_pct)) (type === 'test' ? this.marketTest : this.marketTrain).push(e.market_pct, xs);
    if (!finite(e.return_pct)) {
      this.unknownCount[type] += 1;
      const kept = this.unknown[type];
      kept.push(xs);
      if (kept.length > 64) kept.shift();
      return true;
    }
    this[type].push(e.return_pct, xs);
    if (type === 'test') {
      this.recentTests.push(e.return_pct);
      if (this.recentTests.length > this.rolling) this.recentTests.shift();
      const sharpe = sharpeOf(this.recentTests);
      if (Number.isFinite(sharpe)) this.sharpe.push(sharpe, xs);
      this.drawdown.push(drawdownOf(this.recentTests), xs);
    }
    return true;
  }
}
