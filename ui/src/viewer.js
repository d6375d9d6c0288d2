// The training dashboard: receives the trainer's figures and the chosen environment's page state from
// the hub (server-sent events at /events, with the token of the page's own address) and draws them at
// most DRAWS_PER_SECOND times a second, each chart only when what it shows changed: the returns curve
// with the rolling figures of the test episodes, one chart per logged value, a card per environment,
// and the chosen one's candles, observation and last calls. With runs=1 in its address it shows past
// runs instead (run-browser.js). Read-only: it never connects to an engine.

import { Chart } from './chart.js';
import { CardGrid } from './dashboard-cells.js';
import { DrawSchedule } from './draw-schedule.js';
import { EpisodeHistory, X_CHANNELS, episodesFinishedBy } from './episode-history.js';
import { LineChart } from './line-chart.js';
import { ReturnsChart, X_AXES } from './returns-chart.js';
import { RunBrowser, describeRun } from './run-browser.js';
import { ScalarBoard } from './scalar-charts.js';
import { SMOOTHING_KINDS } from './smoothing.js';
import { StreamReplay, episodeKey, scalarKey } from './stream-replay.js';
import { engineFromState } from './viewer-state.js';

const RECENT_EPISODES = 200; // raw episodes kept for automated checks (the charts keep their own series)
const MOST_ENVS = 4096; // cards on one page
const CALLS_SHOWN = 40;
const NONE = Object.freeze([]);

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const token = params.get('token') ?? '';
const pastRuns = params.get('runs') === '1';
// How often the page draws at most (&fps=N, 1 to 30): each draw costs the browser its whole pipeline.
const DRAWS_PER_SECOND = Math.min(30, Math.max(1, Number.parseInt(params.get('fps') ?? '10', 10) || 10));
const chart = new Chart($('chart'));
const episodes = new EpisodeHistory();
const returns = new ReturnsChart($('returns'), episodes);
const sharpe = new LineChart($('sharpe'), { title: 'test Sharpe (last 20: mean / sd)', channels: X_CHANNELS, withZero: true });
sharpe.setLine('Sharpe', episodes.sharpe, '#f5a524');
const drawdown = new LineChart($('drawdown'), { title: 'test drawdown (last 20, compounded)', yUnit: ' %', channels: X_CHANNELS, withZero: true });
drawdown.setLine('drawdown', episodes.drawdown, '#e5484d');
const scalarCanvas = (name) => {
  const canvas = document.createElement('canvas');
  canvas.dataset.scalar = name;
  canvas.setAttribute('aria-label', name);
  $('scalars').append(canvas);
  return canvas;
};
const scalars = new ScalarBoard(scalarCanvas);
let chosen = Number.parseInt(params.get('env') ?? '0', 10) || 0;
let latest = null; // the chosen environment's page state
let latestDrawn = null; // the state the candles show
let candlesResized = false;
let observationShown = null;
let pendingTrain = null; // the last `train` event not read yet
let pendingPage = null; // the last `page` event not read yet
let seats = []; // { env, label, closed } from `seats` events
let envs = [];
const recent = [];
const episodeReplay = new StreamReplay(episodeKey);
const scalarReplay = new StreamReplay(scalarKey);
let runName = null;
let updates = 0;
let events = null;
const view = readView();

const cards = new CardGrid($('grid'), select);
const schedule = new DrawSchedule(pastRuns ? drawPastRuns : render, { maxPerSecond: DRAWS_PER_SECOND });

// The x axis and smoothing from the controls (and the address, so that a reload keeps them).
function readView() {
  const xAxis = params.get('x') in X_AXES ? params.get('x') : 'episodes';
  const kind = SMOOTHING_KINDS.includes(params.get('smooth')) ? params.get('smooth') : 'mean';
  const width = Math.min(100000, Math.max(1, Number.parseInt(params.get('width') ?? '20', 10) || 20));
  $('x-axis').value = xAxis;
  $('smoothing').value = kind;
  $('smooth-width').value = String(width);
  return { xAxis, smoothing: { kind, width } };
}

function viewChanged() {
  view.xAxis = $('x-axis').value in X_AXES ? $('x-axis').value : 'episodes';
  view.smoothing = { kind: $('smoothing').value,
    width: Math.min(100000, Math.max(1, Number.parseInt($('smooth-width').value, 10) || 1)) };
  const url = new URL(location.href);
  url.searchParams.set('x', view.xAxis);
  url.searchParams.set('smooth', view.smoothing.kind);
  url.searchParams.set('width', String(view.smoothing.width));
  window.history.replaceState(null, '', url);
  schedule.changed();
}

// A run's configuration as a tooltip (text, cut short).
function configText(config) {
  try {
    return JSON.stringify(config ?? {}, null, 1).slice(0, 4000);
  } catch {
    return '';
  }
}

function setFeed(state, notice) {
  $('feed-state').textContent = state;
  $('feed-state').dataset.state = state;
  document.body.dataset.feed = state;
  if (notice !== undefined) $('notice').textContent = notice;
}

function select(env) {
  if (env === chosen) return;
  chosen = env;
  latest = null;
  latestDrawn = null;
  pendingPage = null; // the last environment's
  const url = new URL(location.href);
  url.searchParams.set('env', String(env));
  window.history.replaceState(null, '', url);
  connect();
  schedule.changed();
}

function render() {
  takePending();
  returns.drawIfChanged(view);
  sharpe.drawIfChanged(view);
  drawdown.drawIfChanged(view);
  scalars.draw(view);
  cards.update(envs, chosen);
  $('stat-envs').textContent = String(envs.length);
  $('stat-episodes').textContent = String(episodes.episodes);
  let rate = 0;
  for (const env of envs) rate += env.closed ? 0 : env.train?.steps_per_second ?? 0;
  $('stat-rate').textContent = rate.toFixed(0);
  $('chosen').textContent = envs[chosen]?.label ?? `env ${chosen}`;
  $('stat-updates').textContent = String(updates);
  const observation = Array.isArray(envs[chosen]?.train?.observation) ? envs[chosen].train.observation : NONE;
  if (observation !== observationShown) {
    observationShown = observation;
    $('observation').replaceChildren(...observation.slice(0, 64).map((value, i) => {
      const item = document.createElement('li');
      item.textContent = `${String(i).padStart(2)}: ${Number.isFinite(value) ? value.toFixed(4) : '-'}`;
      return item;
    }));
  }
  if (latest === null || (latest === latestDrawn && !candlesResized)) return;
  candlesResized = false;
  const state = latest;
  latestDrawn = state;
  chart.draw(engineFromState(state), envs[chosen]?.train);
  const equity = state.snapshot[state.snapshotColumns.indexOf('equity')];
  $('stat-equity').textContent = Number.isFinite(equity) ? equity.toFixed(2) : '-';
  $('link-state').textContent = state.link ?? '-';
  $('calls').replaceChildren(...(state.calls ?? []).slice(-CALLS_SHOWN).reverse().map((call) => {
    const item = document.createElement('li');
    item.textContent = call.ok ? call.fn : `${call.fn} → refused ${call.err}/${call.sub}`;
    if (!call.ok) {
      item.className = 'refused';
      item.title = call.message;
    }
    return item;
  }));
}

// Reads the latest figures and page state that came since the last draw.
function takePending() {
  if (pendingTrain !== null) {
    const data = parsed(pendingTrain, 'train');
    pendingTrain = null;
    if (data !== null && Array.isArray(data.envs)) envs = mergeEnvs(data.envs);
  }
  if (pendingPage !== null) {
    const message = pendingPage;
    pendingPage = null;
    try {
      const state = JSON.parse(message.data);
      engineFromState(state); // refuse a malformed state here, not in the middle of the chart's drawing
      latest = state;
    } catch (error) {
      latest = null;
      setFeed('lost', `unreadable state: ${error.message}`);
    }
  }
}

function received() {
  updates += 1;
  if (document.body.dataset.feed !== 'live') setFeed('live', '');
  schedule.changed();
}

// Every environment, by its number: its label and state from the seats, its figures from `train` (older
// hubs sent the label with the figures). Numbers beyond MOST_ENVS are not shown (a garbled number must
// not make a page of a billion cards).
function mergeEnvs(trained) {
  const byEnv = new Map();
  const entry = (env) => {
    if (!Number.isInteger(env) || env < 0 || env >= MOST_ENVS) return null;
    if (!byEnv.has(env)) byEnv.set(env, { env, label: `env ${env}`, closed: false, train: null });
    return byEnv.get(env);
  };
  trained.forEach((t, i) => {
    const e = entry(Number.isInteger(t?.env) ? t.env : i);
    if (e === null) return;
    e.train = t.train ?? null;
    if (typeof t.label === 'string') e.label = t.label;
    if (t.closed !== undefined) e.closed = Boolean(t.closed);
  });
  seats.forEach((seat, i) => {
    const e = entry(Number.isInteger(seat?.env) ? seat.env : i);
    if (e === null) return;
    if (typeof seat.label === 'string') e.label = seat.label;
    e.closed = Boolean(seat.closed);
  });
  let count = 0;
  for (const env of byEnv.keys()) count = Math.max(count, env + 1);
  const merged = [];
  for (let env = 0; env < count; env++) merged.push(byEnv.get(env) ?? entry(env));
  return merged;
}

function keepRecent(list) {
  for (const episode of list) recent.push(episode);
  if (recent.length > 2 * RECENT_EPISODES) recent.splice(0, recent.length - RECENT_EPISODES);
}

function parsed(message, what) {
  try {
    return JSON.parse(message.data);
  } catch (error) {
    $('notice').textContent = `an unreadable ${what} event: ${error.message}`;
    return null;
  }
}

function connect() {
  if (events !== null) events.close();
  // A new stream sends what the hub keeps again: what was taken already is skipped.
  episodeReplay.reconnected();
  scalarReplay.reconnected();
  events = new EventSource(`events?token=${encodeURIComponent(token)}&env=${chosen}`);
  events.onopen = () => setFeed(envs.length === 0 ? 'waiting' : 'live',
    envs.length === 0 ? 'Connected to the hub; waiting for the trainer.' : undefined);
  events.onerror = () => setFeed('lost', token === ''
    ? 'This address has no token: open the address the trainer printed.'
    : 'The hub is gone (the trainer ended?) or refused the token; retrying.');
  events.addEventListener('run', (message) => {
    const run = parsed(message, 'run');
    if (run === null || typeof run.name !== 'string') return;
    if (runName !== null && run.name !== runName) { // another run on the same hub: its own curves
      episodes.clear();
      recent.length = 0;
      episodeReplay.forget();
    }
    runName = run.name;
    $('run-name').textContent = run.name;
    $('run-name').title = configText(run.config);
    received();
  });
  events.addEventListener('seats', (message) => {
    const data = parsed(message, 'seats');
    if (data === null || !Array.isArray(data.seats)) return;
    takePending();
    seats = data.seats;
    envs = mergeEnvs(envs.map((e) => ({ env: e.env, train: e.train })));
    received();
  });
  // The figures and the page's state come up to 30 times a second and each replaces the last: they are
  // read when a draw needs them (at most DRAWS_PER_SECOND), not as they come.
  events.addEventListener('train', (message) => {
    pendingTrain = message;
    received();
  });
  events.addEventListener('episodes', (message) => {
    const list = parsed(message, 'episodes');
    if (!Array.isArray(list)) return;
    const fresh = episodeReplay.fresh(list);
    // The first list is the hub's last episodes: numbered from where they stand among all the run's.
    const before = episodes.lastNumber === 0 ? Math.max(0, episodesFinishedBy(fresh) - fresh.length) : 0;
    episodes.add(fresh, before > 0 ? (k) => before + k + 1 : null);
    keepRecent(fresh);
    received();
  });
  events.addEventListener('scalars', (message) => {
    const data = parsed(message, 'scalars');
    if (data === null || !Array.isArray(data.scalars)) return;
    scalars.add(scalarReplay.fresh(data.scalars));
    received();
  });
  events.addEventListener('page', (message) => {
    pendingPage = message;
    received();
  });
}

// --- past runs ---------------------------------------------------------------------------------------

const pastCanvas = (kind, name) => {
  if (kind === 'scalar') return scalarCanvas(name);
  const canvas = document.createElement('canvas');
  canvas.dataset.returns = name;
  $('past-returns').append(canvas);
  return canvas;
};

async function fetchJson(url) {
  const response = await fetch(url, { cache: 'no-store' });
  if (!response.ok) throw new Error(`${url.split('?')[0]}: ${response.status} ${(await response.text()).trim()}`);
  return response.json();
}

const runs = pastRuns ? new RunBrowser({ fetchJson, token, makeCanvas: pastCanvas }) : null;

function drawPastRuns() {
  runs.draw(view);
  let count = 0; // as the run list counts them (the hub sends at most 20,000 of a run)
  for (const [name, run] of runs.loaded) count += runs.runs.find((r) => r.name === name)?.episodes ?? run.history.episodes;
  $('stat-episodes').textContent = String(count);
  $('run-name').textContent = runs.loaded.size ? [...runs.loaded.keys()].join(', ') : '-';
}

async function showRuns() {
  document.body.dataset.mode = 'runs';
  setFeed('waiting', 'Past runs, read-only: choose the runs to draw side by side.');
  try {
    const list = await runs.list();
    $('run-list').replaceChildren();
    for (const run of list) {
      const item = document.createElement('li');
      const label = document.createElement('label');
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.dataset.run = run.name;
      box.addEventListener('change', async () => {
        box.disabled = true;
        try {
          box.checked = await runs.toggle(run.name);
          $('notice').textContent = '';
        } catch (error) {
          box.checked = false;
          $('notice').textContent = `run ${run.name}: ${error.message}`;
        }
        box.disabled = false;
        schedule.changed();
      });
      const text = document.createElement('span');
      text.textContent = ` ${describeRun(run)}`;
      text.title = configText(run.config);
      label.append(box, text);
      item.append(label);
      $('run-list').append(item);
    }
    setFeed('live', list.length ? undefined : 'No run in this folder yet.');
  } catch (error) {
    setFeed('lost', `the run list: ${error.message}`);
  }
}

for (const id of ['x-axis', 'smoothing', 'smooth-width']) $(id).addEventListener('change', viewChanged);
window.addEventListener('resize', () => {
  candlesResized = true;
  for (const c of [returns, sharpe, drawdown, ...Object.values(scalars.charts), ...(runs?.allCharts() ?? [])]) c.drawnKey = '';
  schedule.changed();
});
if (pastRuns) showRuns(); else connect();

// For automated checks from a driven browser: what the page shows (the last draw's), not what came since.
window.tarnelDashboard = { returnsChart: returns, scalarCharts: scalars.charts, cards, history: episodes, view, sharpe, drawdown,
  runs, get envs() { return envs; } };
window.liveViewer = {
  chart, returns, select,
  get latest() { return latestDrawn; }, // the state the candles show
  get updates() { return updates; },
  get envs() { return envs; },
  get episodes() { return recent; }, // the last RECENT_EPISODES or more; tarnelDashboard.history counts them all
  get chosen() { return chosen; },
};
