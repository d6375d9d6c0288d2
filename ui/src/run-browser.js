// Past runs on the dashboard (its address with runs=1, served by `python -m tarnel_rl.dashboard RUNS_DIR`):
// the list of runs from GET /runs, and the selected ones drawn side by side, read-only, from GET /run:
// their train and test returns, the rolling Sharpe ratio and drawdown of their test episodes (as the live
// page defines them: episode-history.js), and each logged name in a chart of its own, one line per run
// with a legend.

import { EpisodeHistory, X_CHANNELS } from './episode-history.js';
import { LINE_COLORS, LineChart } from './line-chart.js';
import { SCALAR_CHANNELS, ScalarSeries } from './scalar-charts.js';

// The answer of GET /runs, checked: [{ name, episodes, scalars, config }] in the order given.
export function readRunList(answer) {
  if (answer === null || typeof answer !== 'object' || !Array.isArray(answer.runs)) {
    throw new TypeError('the run list is not {"runs": [...]}');
  }
  return answer.runs.map((run, i) => {
    if (run === null || typeof run !== 'object' || typeof run.name !== 'string' || run.name === '') {
      throw new TypeError(`run ${i} of the list has no name`);
    }
    return { name: run.name, episodes: Number.isInteger(run.episodes) ? run.episodes : null,
      scalars: Array.isArray(run.scalars) ? run.scalars.filter((s) => typeof s === 'string') : [],
      config: run.config ?? {} };
  });
}

// One line of the list: what a person reads to choose a run.
export function describeRun(run) {
  const episodes = run.episodes === null ? 'episodes unknown' : `${run.episodes} episodes`;
  return `${run.name} · ${episodes}${run.scalars.length ? ` · ${run.scalars.join(', ')}` : ''}`;
}

// The numbers of `sent` episodes among `total`: the hub thins a long run's episodes evenly, the first
// and the last kept (episode k of those sent is episode round(k (total - 1) / (sent - 1)) + 1, rounded
// as Python rounds: a half to the even neighbour).
export function thinnedNumbers(sent, total) {
  if (!Number.isInteger(total) || total <= sent || sent < 2) return (k) => k + 1;
  const step = (total - 1) / (sent - 1);
  return (k) => {
    const x = k * step;
    let near = Math.round(x);
    if (near - x === 0.5 && near % 2 !== 0) near -= 1;
    return near + 1;
  };
}

// The answer of GET /run, checked and turned into series; total: the run's episodes as the list counts them.
export function seriesOfRun(answer, name, total = null) {
  if (answer === null || typeof answer !== 'object' || !Array.isArray(answer.episodes) || !Array.isArray(answer.scalars)) {
    throw new TypeError(`run ${name}: the answer has no episodes and scalars lists`);
  }
  const history = new EpisodeHistory();
  history.add(answer.episodes, thinnedNumbers(answer.episodes.length, total));
  const scalars = new ScalarSeries();
  scalars.add(answer.scalars);
  return { name, config: answer.config ?? {}, history, scalars };
}

// The overlaid charts of every selected run: the series of its EpisodeHistory each draws.
const RUN_CHARTS = Object.freeze([
  { key: 'train', title: 'train episode return, % of the initial balance', yUnit: ' %' },
  { key: 'test', title: 'test episode return, % of the initial balance', yUnit: ' %' },
  { key: 'sharpe', title: 'test Sharpe (last 20: mean / sd)', yUnit: '' },
  { key: 'drawdown', title: 'test drawdown (last 20, compounded)', yUnit: ' %' },
]);

export class RunBrowser {
  // fetchJson(url): the decoded answer of a GET (the page's fetch); makeCanvas(kind, name): a new canvas
  // for a chart ('returns' with 'train', 'test', 'sharpe' or 'drawdown', or 'scalar' with the logged name).
  constructor({ fetchJson, token, makeCanvas }) {
    this.fetchJson = fetchJson;
    this.token = token;
    this.makeCanvas = makeCanvas;
    this.runs = [];
    this.loaded = new Map(); // name -> series of a selected run, in the order they were selected
    this.charts = { train: null, test: null, sharpe: null, drawdown: null };
    this.scalarCharts = Object.create(null);
    this.problem = '';
  }

  async list() {
    this.runs = readRunList(await this.fetchJson(`runs?token=${encodeURIComponent(this.token)}`));
    return this.runs;
  }

  colorOf(name) {
    const at = this.runs.findIndex((run) => run.name === name);
    return LINE_COLORS[(at < 0 ? this.loaded.size : at) % LINE_COLORS.length];
  }

  // Adds a run to the charts or takes it off; answers whether it is shown now.
  async toggle(name) {
    if (this.loaded.has(name)) {
      this.loaded.delete(name);
      this.#lines();
      return false;
    }
    const answer = await this.fetchJson(`run?token=${encodeURIComponent(this.token)}&name=${encodeURIComponent(name)}`);
    this.loaded.set(name, seriesOfRun(answer, name, this.runs.find((run) => run.name === name)?.episodes ?? null));
    this.#lines();
    return true;
  }

  #lines() {
    for (const { key, title, yUnit } of RUN_CHARTS) {
      this.charts[key] ??= new LineChart(this.makeCanvas('returns', key), { title, yUnit, withZero: true, channels: X_CHANNELS });
      this.charts[key].lines = [];
    }
    for (const chart of Object.values(this.scalarCharts)) chart.lines = [];
    for (const [name, run] of this.loaded) {
      const color = this.colorOf(name);
      for (const { key } of RUN_CHARTS) this.charts[key].setLine(name, run.history[key], color);
      for (const [scalar, kept] of run.scalars.byName) {
        this.scalarCharts[scalar] ??= new LineChart(this.makeCanvas('scalar', scalar), { title: scalar, channels: SCALAR_CHANNELS });
        this.scalarCharts[scalar].setLine(name, kept.series, color);
      }
    }
    for (const chart of this.allCharts()) chart.drawnKey = ''; // the lines changed: draw again
  }

  allCharts() {
    return [...Object.values(this.charts), ...Object.values(this.scalarCharts)].filter(Boolean);
  }

  draw(view) {
    let drew = 0;
    for (const chart of this.allCharts()) if (chart.drawIfChanged(view)) drew += 1;
    return drew;
  }
}
