// The page: builds the engine and the link from the page's query, shows the link state and the
// account, and redraws the chart and the figures after requests that change them: at an animation
// frame, at most `fps` times a second (draw-schedule.js), or after every request when the sync policy
// is eager. A figure's text is set only when it changed.
//
// Query: ?host=127.0.0.1&port=8765&seed=7[&bars=5000&window=32&episode_length=256&sync=deferred]
//        [&series=walk|regime&regime_drift=0.002&regime_bars=100&half_life=300][&fps=10]
//        [&initial_balance=10000&lot_size=1&spread_bps=0&borrow_rate=0&bars_per_year=252&maintenance_margin=0]
//        [&fee_rate=0.0002&slippage_bps=0&test_share=0.2&test_bars=N&validation_bars=0&train_starts=grid|any]
//        [&walk_forward=0|1]  (a walk-forward pass over each held-out range, episodes.js)
//        [&viewer=http://127.0.0.1:PORT/publish]  (publishes the state to the live viewer's hub)

import { Engine, FN_NAMES, FnId } from './engine.js';
import { LinkClient } from './client.js';
import { Chart } from './chart.js';
import { SNAPSHOT } from './columns.js';
import { ViewerPublisher } from './viewer-publisher.js';
import { DEFAULT_DRAWS_PER_SECOND, DrawSchedule } from './draw-schedule.js';

// Requests that change nothing the chart shows.
const READ_ONLY = new Set([FnId.GetSnapshot, FnId.GetTicketList, FnId.GetOhlc, FnId.GetRlConfig, FnId.GetSyncPolicy]);

const params = new URLSearchParams(location.search);
const $ = (id) => document.getElementById(id);

function intParam(name, fallback) {
  const text = params.get(name);
  if (text === null || text === '') return fallback;
  if (!/^\d+$/.test(text)) throw new Error(`query parameter ${name} must be a non-negative integer, got ${text}`);
  return Number(text);
}

function numberParam(name) {
  const text = params.get(name);
  if (text === null || text === '') return undefined;
  if (!/^\d+(\.\d+)?(e-?\d+)?$/i.test(text)) throw new Error(`query parameter ${name} must be a non-negative number, got ${text}`);
  return Number(text);
}

function switchParam(name, text) {
  if (text !== '0' && text !== '1') throw new Error(`query parameter ${name} must be 0 or 1, got ${text}`);
  return text === '1';
}

function engineOptions() {
  const options = { seed: intParam('seed', 1) };
  for (const [param, key] of [['bars', 'bars'], ['window', 'window'], ['episode_length', 'episodeLength'],
    ['test_bars', 'testBars'], ['validation_bars', 'validationBars']]) {
    const value = intParam(param, undefined);
    if (value !== undefined) options[key] = value;
  }
  for (const [param, key] of [['regime_drift', 'regimeDrift'], ['regime_bars', 'regimeBars'], ['half_life', 'halfLife'],
    ['fee_rate', 'feeRate'], ['slippage_bps', 'slippageBps'], ['test_share', 'testShare'],
    ['initial_balance', 'initialBalance'], ['lot_size', 'lotSize'], ['spread_bps', 'spreadBps'],
    ['borrow_rate', 'borrowRate'], ['bars_per_year', 'barsPerYear'], ['maintenance_margin', 'maintenanceMargin']]) {
    const value = numberParam(param);
    if (value !== undefined) options[key] = value;
  }
  if (params.has('series')) options.series = params.get('series');
  if (params.has('sync')) options.syncPolicy = params.get('sync');
  if (params.has('train_starts')) options.trainStarts = params.get('train_starts');
  if (params.has('walk_forward')) options.walkForward = switchParam('walk_forward', params.get('walk_forward'));
  return options;
}

function linkUrl() {
  const host = params.get('host') || '127.0.0.1';
  const port = intParam('port', 8765);
  return `ws://${host.includes(':') && !host.startsWith('[') ? `[${host}]` : host}:${port}`;
}

function showFatal(message) {
  $('link-state').textContent = 'error';
  $('link-state').dataset.state = 'error';
  $('notice').textContent = message;
}

function start() {
  let engine;
  let url;
  try {
    engine = new Engine(engineOptions());
    url = linkUrl();
  } catch (error) {
    showFatal(error.message);
    return;
  }
  const chart = new Chart($('chart'));
  const snapshot = new Float64Array(SNAPSHOT.width);
  const shown = new Map(); // element id -> the text it shows
  const show = (id, text) => {
    if (shown.get(id) === text) return;
    shown.set(id, text);
    $(id).textContent = text;
  };
  let lastFn = '-';
  let chartChanged = true;

  const render = () => {
    if (chartChanged) chart.draw(engine);
    chartChanged = false;
    engine.session.snapshotInto(snapshot);
    for (const name of ['equity', 'balance', 'open_positions', 'pending_orders', 'max_drawdown']) {
      const value = snapshot[SNAPSHOT[name]];
      show(`stat-${name}`, Number.isInteger(value) ? String(value) : value.toFixed(name === 'max_drawdown' ? 4 : 2));
    }
    show('stat-requests', String(client.stats.requests));
    show('stat-errors', String(client.stats.errors));
    show('stat-last', lastFn);
  };
  const schedule = new DrawSchedule(render, { maxPerSecond: intParam('fps', DEFAULT_DRAWS_PER_SECOND) || Infinity });
  const scheduleRender = () => schedule.changed();

  const client = new LinkClient({
    url,
    WebSocket: window.WebSocket,
    engine,
    onState: (state) => {
      $('link-state').textContent = state;
      $('link-state').dataset.state = state;
      document.body.dataset.link = state;
    },
    onHandshake: (hello) => { $('library-version').textContent = String(hello.python_library_version); },
    onNotice: (text) => { $('notice').textContent = text; },
  });

  engine.subscribe((fnId, outcome) => {
    if (outcome.ok) {
      lastFn = FN_NAMES[fnId] ?? `fnId ${fnId}`;
      if (!READ_ONLY.has(fnId)) chartChanged = true;
    } else {
      lastFn = `${FN_NAMES[fnId] ?? `fnId ${fnId}`} → error ${outcome.err}/${outcome.sub}`;
      $('notice').textContent = outcome.message;
    }
    if (engine.options.syncPolicy === 'eager') render();
    else scheduleRender();
  });

  $('link-url').textContent = url;
  $('seed').textContent = String(engine.options.seed);
  $('echo').addEventListener('click', () => {
    const started = performance.now();
    client.echo(new TextEncoder().encode('echo'))
      .then(() => { $('notice').textContent = `echo answered in ${(performance.now() - started).toFixed(1)} ms`; })
      .catch((error) => { $('notice').textContent = error.message; });
  });
  window.addEventListener('resize', () => {
    chartChanged = true;
    scheduleRender();
  });
  // For automated checks from a driven browser.
  window.referenceUi = { engine, client, chart, schedule };
  client.start();
  scheduleRender();
  // The hub's publish address: in the query for a page of your own, or set before the page's scripts by
  // the browser's host (tarnel_rl.chromium), which keeps its token out of the address.
  const viewer = params.get('viewer') || globalThis.tarnelViewerPublish;
  if (viewer) new ViewerPublisher({ url: viewer, engine, status: () => ({ link: client.state }) }).start();
}

start();
