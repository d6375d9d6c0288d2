// Several pages in one Node.js runner: each port gets its own engine and link, and the process ends
// with its parent's pipe whatever number of pages it hosts.

import test from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';
import { WebSocketServer } from 'ws';
import { encodeFrame, FrameKind, parseFrame } from '../src/protocol.js';

const RUNNER = fileURLToPath(new URL('../node/run-ui.mjs', import.meta.url));
const GET_RL_CONFIG = 102;

function within(promise, what, ms = 10000) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

function run(t, args, stdin = 'ignore') {
  const child = spawn(process.execPath, [RUNNER, ...args], { stdio: [stdin, 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
  t.after(() => { if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL'); });
  return { child, exited, stderr: () => stderr };
}

async function servers(t, count) {
  const list = [];
  for (let i = 0; i < count; i += 1) {
    const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
    await once(server, 'listening');
    t.after(() => new Promise((resolve) => {
      for (const c of server.clients) c.terminate();
      server.close(resolve);
    }));
    list.push(server);
  }
  return list;
}

async function config(socket, seq) {
  const answered = once(socket, 'message');
  socket.send(encodeFrame(FrameKind.Request, seq, GET_RL_CONFIG));
  const [data] = await within(answered, `the answer to ${seq}`);
  const frame = parseFrame(new Uint8Array(data));
  assert.equal(frame.seq, seq);
  return JSON.parse(new TextDecoder().decode(frame.payload));
}

test('one runner hosts a page per port, each with its own seed and link', async (t) => {
  const list = await servers(t, 3);
  const connected = list.map((server) => once(server, 'connection'));
  const ports = list.map((server) => server.address().port).join(',');
  const { child, exited, stderr } = run(t, ['--port', ports, '--seed', '7,8,9', '--bars', '600']);
  const sockets = (await within(Promise.all(connected), 'three connections')).map(([socket]) => socket);
  // Every page answers on its own socket, all of them at once, with its own engine's series.
  const configs = await Promise.all(sockets.map((socket, i) => config(socket, 10 + i)));
  assert.deepEqual(configs.map((c) => c.seed), [7, 8, 9]);
  // A page whose link drops reconnects by itself while the others keep answering.
  const again = once(list[1], 'connection');
  sockets[1].terminate();
  const [replacement] = await within(again, 'the reconnection');
  assert.equal((await config(replacement, 20)).seed, 8);
  assert.equal((await config(sockets[2], 21)).seed, 9);
  child.kill('SIGTERM');
  assert.deepEqual(await within(exited, 'the exit'), { code: 0, signal: null });
  assert.match(stderr(), /page 0 link connected/);
  assert.match(stderr(), /page 2: engine seed 9/);
  assert.match(stderr(), /stopping after 5 requests \(0 refused\)/);
});

test('a runner of several pages ends when its parent\'s pipe ends', async (t) => {
  const list = await servers(t, 2);
  const connected = list.map((server) => once(server, 'connection'));
  const { child, exited } = run(t, ['--port', list.map((s) => s.address().port).join(','), '--seed', '3',
    '--quiet', '--watch-parent'], 'pipe');
  const sockets = (await within(Promise.all(connected), 'two connections')).map(([socket]) => socket);
  assert.deepEqual((await Promise.all(sockets.map((s, i) => config(s, i + 1)))).map((c) => c.seed), [3, 3]);
  child.stdin.end();
  assert.deepEqual(await within(exited, 'the exit'), { code: 0, signal: null });
});

test('page lists that do not fit are refused with the usage', async (t) => {
  for (const [args, said] of [
    [['--port', '8765,8766', '--seed', '1,2,3'], /3 seeds for 2 ports/],
    [['--port', '8765,8765'], /names a port twice/],
    [['--port', '8765,'], /--port must be a non-negative integer/],
    [['--port', '8765,8766', '--viewer', 'http://127.0.0.1:9/publish'], /--viewer publishes one page/],
  ]) {
    const { exited, stderr } = run(t, args);
    assert.deepEqual(await within(exited, 'the exit'), { code: 2, signal: null }, args.join(' '));
    assert.match(stderr(), said);
    assert.match(stderr(), /usage: run-ui\.mjs --host HOST --port PORT\[,PORT\.\.\.\]/);
  }
});
