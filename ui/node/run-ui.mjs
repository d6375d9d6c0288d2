#!/usr/bin/env node
// Runs the reference user interface without a browser: the same engine and link, over npm's `ws`.
//
//   node ui/node/run-ui.mjs --host 127.0.0.1 --port 8765 [--seed 7] [--origin http://localhost]
//                           [--bars 5000] [--window 32] [--episode-length 256] [--sync deferred|eager]
//                           [--series walk|regime] [--regime-drift 0.002] [--regime-bars 100]
//                           [--half-life 300] [--viewer URL] [--page reference|trivial] [--quiet]
//                           [--watch-parent]
//
// Connects to ws://host:port, reconnects whenever the link drops, and exits on SIGTERM or SIGINT. With
// --watch-parent it also exits when the process that started it is gone, however that one ended (even
// by SIGKILL): that process holds the other end of our stdin, so its end is an end of file here, and as a
// second sign our parent process changes (we are handed to init or a subreaper).
// --origin '' sends no Origin header at all. --viewer (or $TARNEL_VIEWER_PUBLISH, which keeps its token off
// the command line) publishes the engine's state to the live viewer's hub at URL (tarnel_rl.viewer), at
// most 30 times a second. --page trivial runs the trivial page instead of
// the reference one (ui/trivial: a ready-made answer for every request, the floor benchmarks measure
// against).
//
// The one npm package it needs, `ws`, is looked up next to it (ui/node_modules, after `npm ci`), then in
// the node_modules directory named by $TARNEL_UI_NODE_MODULES (where tarnel_rl.ui_host installs it when
// the user interface came without it).

import { createRequire } from 'node:module';
import { join } from 'node:path';
import { parseArgs } from 'node:util';
import { Engine } from '../src/engine.js';
import { LinkClient } from '../src/client.js';
import { ViewerPublisher } from '../src/viewer-publisher.js';
import { httpPost } from './http-post.mjs';

const USAGE = 'usage: run-ui.mjs --host HOST --port PORT [--seed N] [--origin URL] [--bars N] '
  + '[--window N] [--episode-length N] [--sync deferred|eager] [--series walk|regime] [--regime-drift X] '
  + '[--initial-balance X] [--lot-size X] [--spread-bps X] [--borrow-rate X] [--bars-per-year X] [--maintenance-margin X] '
  + '[--regime-bars X] [--half-life X] [--fee-rate X] [--slippage-bps X] [--test-share X] [--test-bars N] '
  + '[--validation-bars N] [--train-starts grid|any] [--walk-forward 0|1] [--viewer URL] [--page reference|trivial] [--quiet] [--watch-parent]';
const PAGES = ['reference', 'trivial'];
const PARENT_POLL_MS = 500;

async function loadWebSocket() {
  try {
    return (await import('ws')).default;
  } catch (error) {
    if (error.code !== 'ERR_MODULE_NOT_FOUND') throw error;
  }
  const modules = process.env.TARNEL_UI_NODE_MODULES;
  if (modules) {
    try {
      return createRequire(join(modules, 'index.js'))('ws');
    } catch (error) {
      if (error.code !== 'MODULE_NOT_FOUND') throw error;
    }
  }
  console.error('run-ui: the npm package ws is missing: run `npm ci` in the user interface\'s directory'
    + `${modules ? ` (it is not in TARNEL_UI_NODE_MODULES=${modules} either)` : ''}`);
  process.exit(2);
}

const WebSocket = await loadWebSocket();

function integer(name, text) {
  if (!/^\d+$/.test(text)) throw new Error(`--${name} must be a non-negative integer, got ${text}`);
  return Number(text);
}

function number(name, text) {
  if (!/^\d+(\.\d+)?(e-?\d+)?$/i.test(text)) throw new Error(`--${name} must be a non-negative number, got ${text}`);
  return Number(text);
}

function readOptions(argv) {
  const { values } = parseArgs({
    args: argv,
    options: {
      host: { type: 'string', default: '127.0.0.1' },
      port: { type: 'string' },
      seed: { type: 'string', default: '1' },
      origin: { type: 'string', default: 'http://localhost' },
      bars: { type: 'string' },
      window: { type: 'string' },
      'episode-length': { type: 'string' },
      sync: { type: 'string' },
      series: { type: 'string' },
      'regime-drift': { type: 'string' },
      'regime-bars': { type: 'string' },
      'half-life': { type: 'string' },
      'fee-rate': { type: 'string' },
      'slippage-bps': { type: 'string' },
      'initial-balance': { type: 'string' },
      'lot-size': { type: 'string' },
      'spread-bps': { type: 'string' },
      'borrow-rate': { type: 'string' },
      'bars-per-year': { type: 'string' },
      'maintenance-margin': { type: 'string' },
      'test-share': { type: 'string' },
      'test-bars': { type: 'string' },
      'validation-bars': { type: 'string' },
      'train-starts': { type: 'string' },
      'walk-forward': { type: 'string' },
      viewer: { type: 'string' },
      page: { type: 'string', default: 'reference' },
      quiet: { type: 'boolean', default: false },
      'watch-parent': { type: 'boolean', default: false },
      help: { type: 'boolean', default: false },
    },
  });
  if (values.help) {
    console.log(USAGE);
    process.exit(0);
  }
  // The trainer hands the hub's publish address (it holds a token) through the environment: a command line
  // is readable by every local user.
  if (values.viewer === undefined && process.env.TARNEL_VIEWER_PUBLISH) values.viewer = process.env.TARNEL_VIEWER_PUBLISH;
  if (values.port === undefined) throw new Error('--port is required');
  if (!PAGES.includes(values.page)) throw new Error(`--page must be ${PAGES.join(' or ')}, got ${values.page}`);
  const port = integer('port', values.port);
  if (port < 1 || port > 65535) throw new Error(`--port must be 1 to 65535, got ${port}`);
  const engine = { seed: integer('seed', values.seed) };
  if (values.bars !== undefined) engine.bars = integer('bars', values.bars);
  if (values.window !== undefined) engine.window = integer('window', values.window);
  if (values['episode-length'] !== undefined) engine.episodeLength = integer('episode-length', values['episode-length']);
  if (values.sync !== undefined) engine.syncPolicy = values.sync;
  if (values.series !== undefined) engine.series = values.series;
  for (const [name, key] of [['regime-drift', 'regimeDrift'], ['regime-bars', 'regimeBars'], ['half-life', 'halfLife'],
    ['fee-rate', 'feeRate'], ['slippage-bps', 'slippageBps'], ['test-share', 'testShare']]) {
    if (values[name] !== undefined) engine[key] = number(name, values[name]);
  }
  // The account's options (engine.js, DEFAULTS).
  for (const [name, key] of [['initial-balance', 'initialBalance'], ['lot-size', 'lotSize'], ['spread-bps', 'spreadBps'],
    ['borrow-rate', 'borrowRate'], ['bars-per-year', 'barsPerYear'], ['maintenance-margin', 'maintenanceMargin']]) {
    if (values[name] !== undefined) engine[key] = number(name, values[name]);
  }
  for (const [name, key] of [['test-bars', 'testBars'], ['validation-bars', 'validationBars']]) {
    if (values[name] !== undefined) engine[key] = integer(name, values[name]);
  }
  if (values['train-starts'] !== undefined) engine.trainStarts = values['train-starts'];
  if (values['walk-forward'] !== undefined) {
    if (!['0', '1'].includes(values['walk-forward'])) throw new Error(`--walk-forward must be 0 or 1, got ${values['walk-forward']}`);
    engine.walkForward = values['walk-forward'] === '1';
  }
  // An IPv6 literal needs brackets inside a URL.
  const host = values.host.includes(':') && !values.host.startsWith('[') ? `[${values.host}]` : values.host;
  if (values.viewer !== undefined && !/^https?:\/\//.test(values.viewer)) {
    throw new Error(`--viewer must be an http:// address, got ${values.viewer}`);
  }
  return { url: `ws://${host}:${port}`, origin: values.origin, quiet: values.quiet,
    watchParent: values['watch-parent'], viewer: values.viewer, page: values.page, engine };
}

// The trivial page's modules are loaded only when it runs.
async function trivialPage() {
  const [{ TrivialAnswers }, { answerForever }] = await Promise.all([import('../trivial/answers.js'), import('../trivial/link.js')]);
  return { TrivialAnswers, answerForever };
}

async function main() {
  let options;
  let engine;
  let trivial = null;
  try {
    options = readOptions(process.argv.slice(2));
    if (options.page === 'trivial') trivial = await trivialPage();
    engine = trivial !== null ? new trivial.TrivialAnswers(options.engine) : new Engine(options.engine);
  } catch (error) {
    console.error(`run-ui: ${error.message}\n${USAGE}`);
    process.exit(2);
  }
  const log = (text) => { if (!options.quiet) console.error(`[ui] ${text}`); };
  // Compression would cost more than the loopback saves: the module does not offer it either.
  const socketOptions = { perMessageDeflate: false, ...(options.origin === '' ? {} : { origin: options.origin }) };
  let stop;
  let requests = () => '';
  if (trivial !== null) {
    stop = trivial.answerForever({ url: options.url, WebSocket, answers: engine, socketOptions });
  } else {
    const client = new LinkClient({
      url: options.url,
      WebSocket,
      engine,
      socketOptions,
      onState: (state) => log(`link ${state} (${options.url})`),
      onHandshake: (hello) => log(`handshake: library version ${hello.python_library_version}`),
      onNotice: log,
    });
    client.start();
    stop = () => client.stop();
    requests = () => ` after ${client.stats.requests} requests (${client.stats.errors} refused)`;
    if (options.viewer) {
      new ViewerPublisher({ url: options.viewer, engine, fetch: httpPost, status: () => ({ link: client.state }) }).start();
    }
  }
  const shutdown = (signal) => {
    stop();
    log(`${signal}: stopping${requests()}`);
    process.exit(0);
  };
  process.on('SIGTERM', () => shutdown('SIGTERM'));
  process.on('SIGINT', () => shutdown('SIGINT'));
  if (options.watchParent) {
    const parent = process.ppid;
    process.stdin.on('end', () => shutdown('end of stdin (the parent is gone)'));
    process.stdin.on('error', () => shutdown('stdin failed (the parent is gone)'));
    process.stdin.resume(); // reads and drops whatever comes; only the end matters
    setInterval(() => { if (process.ppid !== parent) shutdown(`parent ${parent} gone`); }, PARENT_POLL_MS).unref();
  }
  log(trivial !== null ? 'the trivial page' : `engine seed ${engine.options.seed}, ${engine.series.length} candles`);
}

await main();
