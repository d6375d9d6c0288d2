// Publishes the page's state to the live viewer's hub (tarnel_rl.viewer): at most `rate` times a second
// while viewers watch, once every `idleMs` while none do, and never while a publication is in flight, so
// that watching costs the engine's link little. The hub's answer, {"viewers": n}, sets the pace. The state
// is built only when it is sent; a call answered in between only marks it stale.

import { FN_NAMES } from './engine.js';
import { stateOf } from './viewer-state.js';

export const PUBLISH_RATE = 30;
export const IDLE_MS = 1000;
export const CALLS_KEPT = 12;

export class ViewerPublisher {
  // url: the hub's publish address; status(): the link's state and counters to send along.
  // The defaults are wrapped: a browser refuses its own fetch and timers called as methods of another object.
  constructor({ url, engine, status = () => ({}), fetch = (...args) => globalThis.fetch(...args),
    now = () => performance.now(), setTimer = (fn, ms) => setTimeout(fn, ms), clearTimer = (timer) => clearTimeout(timer),
    rate = PUBLISH_RATE, idleMs = IDLE_MS }) {
    this.url = url;
    this.engine = engine;
    this.status = status;
    this.fetch = fetch;
    this.now = now;
    this.setTimer = setTimer;
    this.clearTimer = clearTimer;
    this.intervalMs = 1000 / rate;
    this.idleMs = idleMs;
    this.viewers = 0;
    this.calls = []; // the last CALLS_KEPT calls, oldest first
    this.callCount = 0;
    this.published = 0;
    this.failed = 0;
    this.stale = false;
    this.inFlight = false;
    this.timer = null;
    this.lastSent = -Infinity;
    this.unsubscribe = null;
  }

  start() {
    if (this.unsubscribe !== null) return;
    this.unsubscribe = this.engine.subscribe((fnId, outcome) => this.#record(fnId, outcome));
    this.stale = true;
    this.#schedule();
  }

  stop() {
    if (this.unsubscribe !== null) this.unsubscribe();
    this.unsubscribe = null;
    if (this.timer !== null) this.clearTimer(this.timer);
    this.timer = null;
  }

  #record(fnId, outcome) {
    this.callCount += 1;
    if (this.calls.length >= CALLS_KEPT) this.calls.shift();
    this.calls.push(outcome.ok ? { fn: FN_NAMES[fnId] ?? `fnId ${fnId}`, ok: true }
      : { fn: FN_NAMES[fnId] ?? `fnId ${fnId}`, ok: false, err: outcome.err, sub: outcome.sub, message: outcome.message });
    this.stale = true;
    this.#schedule();
  }

  #schedule() {
    if (this.timer !== null || this.inFlight || !this.stale || this.unsubscribe === null) return;
    const gap = this.viewers > 0 ? this.intervalMs : this.idleMs;
    const delay = Math.max(0, this.lastSent + gap - this.now());
    this.timer = this.setTimer(() => {
      this.timer = null;
      this.#publish();
    }, delay);
  }

  #publish() {
    this.stale = false;
    this.inFlight = true;
    this.lastSent = this.now();
    let body;
    try {
      body = JSON.stringify(stateOf(this.engine, {
        ...this.status(), calls: this.calls, callCount: this.callCount, published: this.published + 1,
      }));
    } catch (error) {
      this.inFlight = false;
      this.failed += 1;
      return;
    }
    // text/plain keeps a browser's cross-origin POST simple (no preflight request).
    Promise.resolve()
      .then(() => this.fetch(this.url, { method: 'POST', body, headers: { 'content-type': 'text/plain' } }))
      .then((response) => response.json())
      .then((answer) => {
        this.published += 1;
        this.viewers = Number.isInteger(answer?.viewers) ? answer.viewers : 0;
      })
      .catch(() => {
        // The hub is gone or busy: try again at the idle pace, never faster.
        this.failed += 1;
        this.viewers = 0;
      })
      .finally(() => {
        this.inFlight = false;
        this.lastSent = this.now();
        this.#schedule();
      });
  }
}
