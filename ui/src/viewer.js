// The live viewer: receives the driven page's state from the hub (server-sent events at /events) and
// draws it with the page's own chart, at most once per animation frame. Read-only: it never connects to
// the engine, so any number of viewers can watch without taking the link.

import { Chart } from './chart.js';
import { engineFromState } from './viewer-state.js';

const $ = (id) => document.getElementById(id);
const chart = new Chart($('chart'));
let latest = null;
let framePending = false;
let updates = 0;

function setFeed(state, notice) {
  $('feed-state').textContent = state;
  $('feed-state').dataset.state = state;
  document.body.dataset.feed = state;
  if (notice !== undefined) $('notice').textContent = notice;
}

function render() {
  framePending = false;
  if (latest === null) return;
  const state = latest;
  chart.draw(engineFromState(state));
  const names = state.snapshotColumns;
  for (const name of ['equity', 'balance', 'open_positions', 'pending_orders', 'max_drawdown']) {
    const value = state.snapshot[names.indexOf(name)];
    $(`stat-${name}`).textContent = Number.isInteger(value) ? String(value) : value.toFixed(name === 'max_drawdown' ? 4 : 2);
  }
  $('seed').textContent = String(state.seed);
  $('link-state').textContent = state.link ?? '-';
  $('stat-calls').textContent = String(state.callCount ?? 0);
  $('stat-updates').textContent = String(updates);
  const list = $('calls');
  list.replaceChildren(...[...(state.calls ?? [])].reverse().map((call) => {
    const item = document.createElement('li');
    item.textContent = call.ok ? call.fn : `${call.fn} → refused ${call.err}/${call.sub}`;
    if (!call.ok) {
      item.className = 'refused';
      item.title = call.message;
    }
    return item;
  }));
}

const events = new EventSource('events');
events.onopen = () => setFeed(latest === null ? 'waiting' : 'live',
  latest === null ? 'Connected to the hub; waiting for the page to publish its state.' : undefined);
events.onerror = () => setFeed('lost', 'The hub is gone (the trainer ended?); retrying.');
events.onmessage = (message) => {
  try {
    latest = JSON.parse(message.data);
    engineFromState(latest); // refuse a malformed state here, not in the middle of a frame
  } catch (error) {
    latest = null;
    setFeed('lost', `unreadable state: ${error.message}`);
    return;
  }
  updates += 1;
  if (document.body.dataset.feed !== 'live') setFeed('live', '');
  if (!framePending) {
    framePending = true;
    requestAnimationFrame(render);
  }
};
window.addEventListener('resize', () => { if (!framePending) { framePending = true; requestAnimationFrame(render); } });
// For automated checks from a driven browser.
window.liveViewer = { chart, get latest() { return latest; }, get updates() { return updates; } };
