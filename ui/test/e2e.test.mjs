// End to end: the real Python module drives this engine over loopback. Every result Python receives
// must equal what the same calls give on a local engine, and every request payload must be the bytes
// the module is meant to send.

import test from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';
import WebSocket from 'ws';
import { Engine, FN_NAMES } from '../src/engine.js';
import { LinkClient, LinkState } from '../src/client.js';
import { decodeMatF64, decodeVecF64, decodeVecMatF64 } from '../src/protocol.js';
import { syntheticSeries } from '../src/candles.js';
import { SNAPSHOT } from '../src/columns.js';
import { call, FN, hex } from '../test-support/requests.mjs';

const PYTHON = process.env.TARNEL_PYTHON
  ?? fileURLToPath(new URL('../../.venv/bin/python', import.meta.url));
const ENGINE_OPTIONS = { seed: 7, window: 16, episodeLength: 40 };

// Runs a plan of method calls read from stdin and prints every result (or exception) as JSON. Its port is
// found free and held by a socket that never listens (the engine binds beside it), so that no other program
// can take it before the engine binds it; the test learns it from the "listening" line.
const TRAINER = `
import asyncio, json, socket, sys
import numpy as np
import py_engine_tarnel as tarnel

def plain(value):
    if isinstance(value, np.ndarray):
        return {"shape": list(value.shape), "data": value.ravel().tolist()}
    if isinstance(value, tuple):
        return [plain(v) for v in value]
    return value

async def main():
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind(("127.0.0.1", 0))
    port = holder.getsockname()[1]
    plan = json.loads(sys.stdin.readline())
    engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
    await engine.start()
    print(json.dumps({"listening": port}), flush=True)
    await engine.wait_connected(timeout_secs=10)
    results = []
    for step in plan:
        if step["method"] == "pause":
            # Tell the test, wait for its go-ahead, then wait for a user interface to be installed.
            print(json.dumps({"paused": len(results)}), flush=True)
            await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
            await engine.wait_connected(timeout_secs=10)
            continue
        args = list(step["args"])
        if step["method"] == "init_candles":
            args[0] = np.array(args[0], dtype=np.float64)
        try:
            value = await getattr(engine, step["method"])(*args, **step["kwargs"])
            results.append({"ok": plain(value)})
        except Exception as error:
            results.append({"error": type(error).__name__, "message": str(error)})
    print(json.dumps({"results": results}), flush=True)

asyncio.run(main())
`;

function within(promise, what, ms) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

// The calls, each with the Python arguments and the arguments of the local payload builder.
function buildPlan(candles, cursorClose) {
  const steps = [];
  const add = (method, args = [], kwargs = {}, local = args) => steps.push({ method, args, kwargs, local });
  add('get_sync_policy');
  add('get_rl_config');
  add('init_candles', [candles]);
  add('get_rl_config');
  add('reset_episode', [0, 'train']);
  add('get_snapshot');
  add('get_ohlc');
  add('step_and_sync');
  add('place_ticket', ['buy', 2], { take_profit: 50, stop_loss: 50 }, [{ side: 'buy', units: 2, takeProfit: 50, stopLoss: 50 }]);
  add('place_order', [' Buy ', 'LIMIT', 1.25, 10], {}, [{ side: 'Buy', orderType: 'LIMIT', price: 1.25, units: 10 }]);
  const stopPrice = cursorClose * 0.995;
  add('place_order', ['sell', 'stop', stopPrice, 3],
    { take_profit: 0.02, stop_loss: 0.01, trailing_stop: 0.015, time_limit: 5 },
    [{ side: 'sell', orderType: 'stop', price: stopPrice, units: 3, takeProfit: 0.02, stopLoss: 0.01, trailingStop: 0.015, timeLimit: 5 }]);
  for (let i = 0; i < 6; i++) add('step_next');
  add('get_ticket_list');
  add('step_and_sync');
  add('close_positions', [[1, 99], [2, 1], [0.5, 0.7]]);
  add('close_positions', [[1, 2], [2, 1], [0.5, 0.7]]);
  add('fetch_events');
  add('fetch_events');
  add('end_session');
  add('reset_episode', [99, 'TEST']);
  add('step_next');
  add('reset_episode', [0, 'test']);
  add('get_snapshot');
  return steps;
}

// What Python should hold after a call on the local engine, in the trainer's JSON form.
function expectedResult(method, outcome, seq) {
  const [fnId] = FN[method];
  if (!outcome.ok) {
    return { error: 'RuntimeError', message: `RpcError(seq=${seq}, fnId=${fnId}, err=${outcome.err}, sub=${outcome.sub}): ${outcome.message}` };
  }
  const p = outcome.payload;
  const array1 = (values) => ({ shape: [values.length], data: Array.from(values) });
  const array2 = ({ rows, cols, data }) => ({ shape: rows === 0 ? [0, 0] : [rows, cols], data: Array.from(data) });
  switch (method) {
    case 'init_candles': case 'step_next': return { ok: null };
    case 'reset_episode': return { ok: new DataView(p.buffer, p.byteOffset).getUint32(0, true) };
    case 'get_rl_config': return { ok: new TextDecoder().decode(p) };
    case 'get_sync_policy': return { ok: ['deferred', 'eager'][p[0]] };
    case 'get_snapshot': case 'place_order': case 'place_ticket': return { ok: array1(decodeVecF64(p)) };
    case 'step_and_sync': {
      const { vector, matrix } = decodeVecMatF64(p);
      return { ok: [array1(vector), array2(matrix)] };
    }
    default: return { ok: array2(decodeMatF64(p)) };
  }
}

// Starts the trainer (on a port of its own) with the plan, runs a client against it, and collects what
// Python printed. `onPause(client)` runs at each pause step; the trainer goes on when it resolves.
// `clientOptions.onHandshake(hello, client)` is handed the client too.
async function runTrainer(t, plan, { engine, clientOptions = {}, onPause = async () => {} }) {
  const python = spawn(PYTHON, ['-c', TRAINER], { stdio: ['pipe', 'pipe', 'pipe'] });
  let stderr = '';
  python.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => python.once('exit', (code) => resolve(code)));
  const messages = [];
  const lineWaiters = [];
  createInterface({ input: python.stdout }).on('line', (line) => {
    messages.push(JSON.parse(line));
    lineWaiters.splice(0).forEach((w) => w());
  });
  const nextLine = async (what) => {
    while (messages.length === 0) {
      await within(Promise.race([new Promise((r) => lineWaiters.push(r)), exited.then((code) => {
        throw new Error(`python exited (${code}) before ${what}: ${stderr}`);
      })]), what, 30000);
    }
    return messages.shift();
  };
  let client = null;
  t.after(() => {
    client?.stop();
    if (python.exitCode === null) python.kill('SIGKILL');
  });
  python.stdin.write(`${JSON.stringify(plan.map(({ method, args = [], kwargs = {} }) => ({ method, args, kwargs })))}\n`);
  const { listening: port, ...rest } = await nextLine('the listening line');
  assert.ok(Number.isInteger(port) && port > 0 && Object.keys(rest).length === 0, `listening on ${port}`);
  client = new LinkClient({
    url: `ws://127.0.0.1:${port}`,
    WebSocket,
    engine,
    socketOptions: { origin: 'http://localhost' },
    reconnect: { initialMs: 50, maxMs: 200 },
    ...clientOptions,
    onHandshake: (hello) => clientOptions.onHandshake?.(hello, client),
  });
  client.start();
  for (;;) {
    const line = await nextLine('the results');
    if (line.results) {
      python.stdin.end();
      assert.equal(await within(exited, 'python to exit', 10000), 0, stderr);
      return { client, results: line.results, stderr };
    }
    await onPause(client, line.paused);
    python.stdin.write('go\n');
  }
}

function recordRequests(engine) {
  const seen = [];
  const respond = engine.respond.bind(engine);
  engine.respond = (fnId, payload, answer) => {
    seen.push([fnId, hex(payload)]);
    return respond(fnId, payload, answer);
  };
  return seen;
}

const needsPython = existsSync(PYTHON) ? {} : { skip: `no Python environment at ${PYTHON}: build the module first (make setup)` };

test('the Python module drives the engine end to end', { timeout: 60000, ...needsPython }, async (t) => {
  const series = syntheticSeries(21, 300);
  const candles = Array.from({ length: series.length }, (_, b) => Array.from(series.rows(b, b + 1)));
  const plan = buildPlan(candles, series.close(16));
  const engine = new Engine(ENGINE_OPTIONS);
  const seen = recordRequests(engine);
  const states = [];
  const pongs = [];
  let echoed = null;
  const { client, results } = await runTrainer(t, plan, {
    engine,
    clientOptions: {
      onState: (s) => states.push(s),
      onPong: (data) => pongs.push(Array.from(data)),
      onHandshake: (hello, client) => {
        // The module answers these while its first call waits for the response.
        echoed = client.echo(Uint8Array.of(1, 2, 3), { fnId: 77, timeoutMs: 20000 });
        client.ping(Uint8Array.of(9));
      },
    },
  });

  assert.equal(client.handshake.python_library_version, '0.1.0');
  assert.deepEqual(states.slice(0, 2), [LinkState.Connecting, LinkState.Connected]);
  assert.deepEqual(Array.from(await within(echoed, 'the echo reply', 5000)), [1, 2, 3]);
  assert.deepEqual(pongs, [[9]]);

  // The module sent exactly the payloads it is meant to, in order.
  const expectedPayloads = plan.map(({ method, local: args }) => {
    const [fnId, build] = FN[method];
    return [fnId, hex(build ? build(...args) : new Uint8Array(0))];
  });
  assert.deepEqual(seen.map(([fnId]) => FN_NAMES[fnId]), plan.map((s) => s.method));
  assert.deepEqual(seen, expectedPayloads);

  // Python got what the local engine gives for the same calls (seq counts from 1 on the connection).
  const local = new Engine(ENGINE_OPTIONS);
  const expected = plan.map(({ method, local: args }, i) => expectedResult(method, call(local, method, ...args), i + 1));
  assert.deepEqual(results, expected);

  // A few values spelled out, so that a fault shared by both sides cannot hide.
  assert.deepEqual(results[0], { ok: 'deferred' });
  assert.equal(JSON.parse(results[3].ok).candle_source, 'init_candles');
  assert.deepEqual(results[4], { ok: 40 });
  const [snapshot, window] = results[7].ok;
  assert.deepEqual([snapshot.shape, window.shape, snapshot.data[SNAPSHOT.bar]], [[16], [16, 5], 16]);
  assert.deepEqual(window.data.slice(-5), candles[16]);
  assert.deepEqual(results[8].ok.data.slice(0, 5), [1, 1, 1, 2, candles[16][3]]);
  assert.equal(plan[19].method, 'close_positions');
  assert.equal(results[19].message, 'RpcError(seq=20, fnId=31, err=4, sub=1): close_positions entry 1: unknown position id 99');
  assert.equal(results[20].ok.shape[1], 8);
  assert.deepEqual(results[22].ok.shape, [0, 0]);
  assert.deepEqual(results[23].ok.shape, [1, 12]);
  assert.equal(results[24].message, 'RpcError(seq=25, fnId=101, err=4, sub=2): test episode index 99 out of range (1 test episodes)');
  assert.equal(results[25].message, 'RpcError(seq=26, fnId=2, err=5, sub=2): the session has ended: call reset_episode');
});

test('a user interface that reconnects is served again, its engine state kept', { timeout: 60000, ...needsPython }, async (t) => {
  const engine = new Engine(ENGINE_OPTIONS);
  const states = [];
  const plan = [
    { method: 'reset_episode', args: [1, 'train'] },
    { method: 'step_next' },
    { method: 'pause' },
    { method: 'get_snapshot' },
    { method: 'step_and_sync' },
  ];
  const { results } = await runTrainer(t, plan, {
    engine,
    clientOptions: { onState: (s) => states.push(s) },
    onPause: async (client) => {
      // Drop the link from this side; the client must come back on its own.
      client.socket.terminate();
      const deadline = Date.now() + 10000;
      while (states.filter((s) => s === LinkState.Connected).length < 2) {
        if (Date.now() > deadline) throw new Error(`no reconnection: ${states.join(', ')}`);
        await new Promise((r) => setTimeout(r, 10));
      }
    },
  });
  assert.deepEqual(states.slice(0, 5), ['connecting', 'connected', 'disconnected', 'connecting', 'connected']);
  assert.deepEqual(results.slice(0, 2), [{ ok: 40 }, { ok: null }]);
  // The engine lives in the page, not in the link: the episode goes on where it was.
  const snapshot = results[2].ok.data;
  assert.deepEqual([snapshot[SNAPSHOT.step], snapshot[SNAPSHOT.episode_index]], [1, 1]);
  assert.equal(results[3].ok[0].data[SNAPSHOT.step], 2);
});
