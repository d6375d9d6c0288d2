// The training dashboard: receives the trainer's figures and the chosen environment's page state from
// the hub (server-sent events at /events, with the token of the page's own address) and draws them at
// most once per animation frame: the returns curve, a cell per environment, and the chosen one's candles,
// observation and last calls. Read-only: it never connects to an engine.

import { Chart } from './chart.js';
import { renderCells } from './dashboard-cells.js';
import { ReturnsChart } from './returns-chart.js';
import { engineFromState } from './viewer-state.js';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const token = params.get('token') ?? '';
const chart = new Chart($('chart'));
const returns = new ReturnsChart($('returns'));
let chosen = Number.parseInt(params.get('env') ?? '0', 10) || 0;
let latest = null; // the chosen environment's page state
let envs = [];
const episodes = [];
let framePending = false;
let updates = 0;
let events = null;
let returnsDrawn = -1; // how many episodes the returns curve shows: it is redrawn only when that changes

function setFeed(state, notice) {
  $('feed-state').textContent = state;
  $('feed-state').dataset.state = state;
  document.body.dataset.feed = state;
  if (notice !== undefined) $('notice').textContent = notice;
}

function schedule() {
  if (!framePending) {
    framePending = true;
    requestAnimationFrame(render);
  }
}

function select(env) {
  if (env === chosen) return;
  chosen = env;
  latest = null;
  const url = new URL(location.href);
  url.searchParams.set('env', String(env));
  history.replaceState(null, '', url);
  connect();
  schedule();
}

function render() {
  framePending = false;
  if (returnsDrawn !== episodes.length) {
    returns.draw(episodes);
    returnsDrawn = episodes.length;
  }
  renderCells($('grid'), envs, chosen, select);
  $('stat-envs').textContent = String(envs.length);
  $('stat-episodes').textContent = String(episodes.length);
  const rate = envs.reduce((sum, env) => sum + (env.closed ? 0 : env.train?.steps_per_second ?? 0), 0);
  $('stat-rate').textContent = rate.toFixed(0);
  $('chosen').textContent = envs[chosen]?.label ?? `env ${chosen}`;
  $('stat-updates').textContent = String(updates);
  const observation = envs[chosen]?.train?.observation ?? [];
  $('observation').replaceChildren(...observation.map((value, i) => {
    const item = document.createElement('li');
    item.textContent = `${String(i).padStart(2)}: ${Number.isFinite(value) ? value.toFixed(4) : '-'}`;
    return item;
  }));
  if (latest === null) return;
  const state = latest;
  chart.draw(engineFromState(state), envs[chosen]?.train);
  const equity = state.snapshot[state.snapshotColumns.indexOf('equity')];
  $('stat-equity').textContent = Number.isFinite(equity) ? equity.toFixed(2) : '-';
  $('link-state').textContent = state.link ?? '-';
  $('calls').replaceChildren(...[...(state.calls ?? [])].reverse().map((call) => {
    const item = document.createElement('li');
    item.textContent = call.ok ? call.fn : `${call.fn} → refused ${call.err}/${call.sub}`;
    if (!call.ok) {
      item.className = 'refused';
      item.title = call.message;
    }
    return item;
  }));
}

function received() {
  updates += 1;
  if (document.body.dataset.feed !== 'live') setFeed('live', '');
  schedule();
}

function connect() {
  if (events !== null) events.close();
  episodes.length = 0; // a new stream sends every episode again
  returnsDrawn = -1;
  events = new EventSource(`events?token=${encodeURIComponent(token)}&env=${chosen}`);
  events.onopen = () => setFeed(envs.length === 0 ? 'waiting' : 'live',
    envs.length === 0 ? 'Connected to the hub; waiting for the trainer.' : undefined);
  events.onerror = () => setFeed('lost', token === ''
    ? 'This address has no token: open the address the trainer printed.'
    : 'The hub is gone (the trainer ended?) or refused the token; retrying.');
  events.addEventListener('train', (message) => {
    envs = JSON.parse(message.data).envs;
    received();
  });
  events.addEventListener('episodes', (message) => {
    episodes.push(...JSON.parse(message.data));
    received();
  });
  events.addEventListener('page', (message) => {
    try {
      const state = JSON.parse(message.data);
      engineFromState(state); // refuse a malformed state here, not in the middle of a frame
      latest = state;
    } catch (error) {
      latest = null;
      setFeed('lost', `unreadable state: ${error.message}`);
      return;
    }
    received();
  });
}

connect();
window.addEventListener('resize', () => {
  returnsDrawn = -1;
  schedule();
});
// For automated checks from a driven browser.
window.liveViewer = {
  chart, returns, select,
  get latest() { return latest; },
  get updates() { return updates; },
  get envs() { return envs; },
  get episodes() { return episodes; },
  get chosen() { return chosen; },
};
