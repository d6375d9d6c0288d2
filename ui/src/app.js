// The page: builds the engine and the link from the page's query, shows the link state and the
// account, and redraws the chart at most once per animation frame (or after every request when the
// sync policy is eager).
//
// Query: ?host=127.0.0.1&port=8765&seed=7[&bars=5000&window=32&episode_length=256&sync=deferred]
//        [&series=walk|regime&regime_drift=0.002&regime_bars=100&half_life=300]
//        [&viewer=http://127.0.0.1:PORT/publish]  (publishes the state to the live viewer's hub)

import { Engine, FN_NAMES } from './engine.js';
import { LinkClient } from './client.js';
import { Chart } from './chart.js';
import { SNAPSHOT } from './columns.js';
import { ViewerPublisher } from './viewer-publisher.js';

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

function engineOptions() {
  const options = { seed: intParam('seed', 1) };
  for (const [param, key] of [['bars', 'bars'], ['window', 'window'], ['episode_length', 'episodeLength']]) {
    const value = intParam(param, undefined);
    if (value !== undefined) options[key] = value;
  }
  for (const [param, key] of [['regime_drift', 'regimeDrift'], ['regime_bars', 'regimeBars'], ['half_life', 'halfLife']]) {
    const value = numberParam(param);
    if (value !== undefined) options[key] = value;
  }
  if (params.has('series')) options.series = params.get('series');
  if (params.has('sync')) options.syncPolicy = params.get('sync');
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
  let framePending = false;
  let lastFn = '-';

  const render = () => {
    chart.draw(engine);
    const snapshot = engine.session.snapshot();
    for (const name of ['equity', 'balance', 'open_positions', 'pending_orders', 'max_drawdown']) {
      const value = snapshot[SNAPSHOT[name]];
      $(`stat-${name}`).textContent = Number.isInteger(value) ? String(value) : value.toFixed(name === 'max_drawdown' ? 4 : 2);
    }
    $('stat-requests').textContent = String(client.stats.requests);
    $('stat-errors').textContent = String(client.stats.errors);
    $('stat-last').textContent = lastFn;
  };
  const scheduleRender = () => {
    if (framePending) return;
    framePending = true;
    requestAnimationFrame(() => {
      framePending = false;
      render();
    });
  };

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
    lastFn = `${FN_NAMES[fnId] ?? `fnId ${fnId}`}${outcome.ok ? '' : ` → error ${outcome.err}/${outcome.sub}`}`;
    if (!outcome.ok) $('notice').textContent = outcome.message;
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
  window.addEventListener('resize', scheduleRender);
  // For automated checks from a driven browser.
  window.referenceUi = { engine, client, chart };
  client.start();
  scheduleRender();
  if (params.get('viewer')) new ViewerPublisher({ url: params.get('viewer'), engine, status: () => ({ link: client.state }) }).start();
}

start();
