// The Node entry point: options, the origin it sends, answering, and stopping on a signal.

import test from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';
import { WebSocketServer } from 'ws';
import { decodeVecF64, encodeFrame, FrameKind, parseFrame } from '../src/protocol.js';

const RUNNER = fileURLToPath(new URL('../node/run-ui.mjs', import.meta.url));

function within(promise, what, ms = 10000) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

function run(args) {
  const child = spawn(process.execPath, [RUNNER, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  return { child, exited, stderr: () => stderr };
}

test('bad options are refused with the usage', async () => {
  for (const args of [[], ['--port', '70000'], ['--port', '8765', '--seed', 'x'], ['--port', '8765', '--sync', 'sometimes'],
    ['--port', '8765', '--series', 'sine'], ['--port', '8765', '--regime-drift', '-1'],
    ['--port', '8765', '--half-life', 'long']]) {
    const { exited, stderr } = run(args);
    assert.deepEqual(await within(exited, 'the exit'), { code: 2, signal: null }, args.join(' '));
    assert.match(stderr(), /usage: run-ui\.mjs --host HOST --port PORT/);
  }
});

// A WebSocket server on a free loopback port, closed (with its clients) when the test ends.
async function listeningServer(t) {
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await once(server, 'listening');
  t.after(() => new Promise((resolve) => {
    for (const c of server.clients) c.terminate();
    server.close(resolve);
  }));
  return server;
}

test('connects with the configured origin, answers, and exits on SIGTERM', async (t) => {
  const server = await listeningServer(t);
  const connected = once(server, 'connection');
  const { child, exited, stderr } = run(['--host', '127.0.0.1', '--port', String(server.address().port), '--seed', '7',
    '--origin', 'http://127.0.0.1:5173']);
  t.after(() => { if (child.exitCode === null) child.kill('SIGKILL'); });
  const [socket, request] = await within(connected, 'the connection');
  assert.equal(request.headers.origin, 'http://127.0.0.1:5173');
  socket.send('{"type":"handshake","python_library_version":"0.1.0"}');
  const answered = once(socket, 'message');
  socket.send(encodeFrame(FrameKind.Request, 3, 12));
  const [data] = await within(answered, 'the answer');
  const frame = parseFrame(new Uint8Array(data));
  assert.deepEqual([frame.kind, frame.seq, frame.fnId, decodeVecF64(frame.payload).length], [FrameKind.Response, 3, 12, 16]);

  child.kill('SIGTERM');
  assert.deepEqual(await within(exited, 'the exit'), { code: 0, signal: null });
  assert.match(stderr(), /link connected/);
  assert.match(stderr(), /SIGTERM: stopping after 1 requests \(0 refused\)/);
});

test('the series options reach the engine', async (t) => {
  const server = await listeningServer(t);
  const connected = once(server, 'connection');
  const { child, exited } = run(['--port', String(server.address().port), '--quiet', '--series', 'regime',
    '--regime-drift', '0.001', '--regime-bars', '50.5', '--half-life', '0']);
  t.after(() => { if (child.exitCode === null) child.kill('SIGKILL'); });
  const [socket] = await within(connected, 'the connection');
  const answered = once(socket, 'message');
  socket.send(encodeFrame(FrameKind.Request, 1, 102));
  const [data] = await within(answered, 'the answer');
  const config = JSON.parse(new TextDecoder().decode(parseFrame(new Uint8Array(data)).payload));
  assert.deepEqual(config.series, { kind: 'regime', regime_drift: 0.001, regime_bars: 50.5, half_life: 0 });
  child.kill('SIGTERM');
  await within(exited, 'the exit');
});
