// The trivial page: every answer the size the reference engine gives, under the request's seq and fnId,
// with the values a trainer checks kept true; and the Node runner serving it.

import test from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';
import { WebSocketServer } from 'ws';
import { TrivialAnswers } from '../trivial/answers.js';
import { Engine } from '../src/engine.js';
import { decodeMatF64, decodeVecF64, decodeVecMatF64, encodeFrame, FrameKind, parseFrame } from '../src/protocol.js';
import { CLOSE_RESULT, RECEIPT, SNAPSHOT, SUMMARY } from '../src/columns.js';
import { FN } from '../test-support/requests.mjs';

const OPTIONS = { seed: 2, bars: 800, window: 12, episodeLength: 3 };

test('each answer has the reference answer\'s size, and the values a trainer checks', () => {
  const trivial = new TrivialAnswers(OPTIONS);
  const reference = new Engine(OPTIONS);
  let seq = 0;
  const ask = (name, ...args) => {
    const [fnId, build] = FN[name];
    const payload = build ? build(...args) : new Uint8Array(0);
    seq += 1;
    const frame = parseFrame(trivial.answer(seq, fnId, payload));
    const expected = reference.handleRequest(fnId, payload);
    assert.equal(expected.ok, true, expected.message);
    assert.deepEqual([frame.kind, frame.seq, frame.fnId, frame.payload.length],
      [FrameKind.Response, seq, fnId, expected.payload.length], name);
    return frame.payload;
  };
  assert.equal(JSON.parse(new TextDecoder().decode(ask('get_rl_config'))).episode_length, 3);
  ask('reset_episode', 5, 'test');
  assert.deepEqual(snapshotValues(decodeVecF64(ask('get_snapshot'))), [0, 0, 1, 5, 0, 0]);
  assert.equal(decodeMatF64(ask('get_ohlc')).rows, 12);
  const receipt = decodeVecF64(ask('place_ticket', { side: 'sell', units: 10 }));
  assert.deepEqual([receipt[RECEIPT.id], receipt[RECEIPT.side], receipt[RECEIPT.units]], [1, -1, 10]);
  assert.deepEqual(snapshotValues(decodeVecMatF64(ask('step_and_sync')).vector), [1, 0, 1, 5, 1, -10]);
  assert.equal(decodeMatF64(ask('get_ticket_list')).rows, 1);
  const closed = decodeMatF64(ask('close_positions', [1], [1], [0]));
  assert.deepEqual([closed.rows, closed.data[CLOSE_RESULT.id]], [1, 1]);
  ask('step_and_sync');
  assert.deepEqual(snapshotValues(decodeVecMatF64(ask('step_and_sync')).vector), [3, 1, 1, 5, 0, 0]);
  const summary = decodeMatF64(ask('end_session')).data;
  assert.deepEqual([summary[SUMMARY.steps], summary[SUMMARY.episode_type], summary[SUMMARY.episode_index]], [3, 1, 5]);
});

function snapshotValues(v) {
  return [v[SNAPSHOT.step], v[SNAPSHOT.done], v[SNAPSHOT.episode_type], v[SNAPSHOT.episode_index],
    v[SNAPSHOT.open_positions], v[SNAPSHOT.net_units]];
}

test('a close of several positions answers one row per entry, each with its id', () => {
  const trivial = new TrivialAnswers(OPTIONS);
  const [fnId, build] = FN.close_positions;
  for (const ids of [[4, 9], [], [7]]) {
    const closed = decodeMatF64(parseFrame(trivial.answer(1, fnId, build(ids, ids.map(() => 1), ids.map(() => 0)))).payload);
    assert.deepEqual([closed.rows, closed.cols], [ids.length, CLOSE_RESULT.width]);
    assert.deepEqual(ids.map((_, i) => closed.data[i * CLOSE_RESULT.width + CLOSE_RESULT.id]), ids);
  }
});

test('the runner serves the trivial page with --page trivial, and refuses an unknown page', async (t) => {
  const runner = fileURLToPath(new URL('../node/run-ui.mjs', import.meta.url));
  const refused = spawn(process.execPath, [runner, '--port', '1', '--page', 'fancy'], { stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  refused.stderr.on('data', (d) => { stderr += d; });
  assert.deepEqual(await once(refused, 'exit'), [2, null]);
  assert.match(stderr, /--page must be reference or trivial, got fancy/);

  const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
  await once(server, 'listening');
  const child = spawn(process.execPath, [runner, '--port', String(server.address().port), '--page', 'trivial', '--quiet'],
    { stdio: 'ignore' });
  t.after(() => { child.kill('SIGKILL'); for (const c of server.clients) c.terminate(); server.close(); });
  const [socket] = await once(server, 'connection');
  const answered = once(socket, 'message');
  socket.send(encodeFrame(FrameKind.Request, 41, FN.get_snapshot[0]));
  const frame = parseFrame(new Uint8Array((await answered)[0]));
  assert.deepEqual([frame.kind, frame.seq, frame.fnId, frame.payload.length], [FrameKind.Response, 41, 12, 4 + 8 * SNAPSHOT.width]);
});
