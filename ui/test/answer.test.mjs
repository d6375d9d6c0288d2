// Answers written in place: the reused buffer, the writers against the encoders, the engine's in-place
// answers against answers built from fresh copies, and the link handing a buffer to a socket.

import test from 'node:test';
import assert from 'node:assert/strict';
import { Answer, KEPT_CAPACITY } from '../src/answer.js';
import { Engine, FnId } from '../src/engine.js';
import { LinkClient } from '../src/client.js';
import {
  encodeFrame, encodeMatF64, encodeVecF64, encodeVecMatF64, FrameKind, parseFrame, readFrame, writeMatF64,
  writeRows, writeVecF64, writeVecMatF64,
} from '../src/protocol.js';
import { WIDTH } from '../src/candles.js';
import { FN, hex } from '../test-support/requests.mjs';

test('a long answer then a short one: each frame is exactly its own payload', () => {
  const answer = new Answer(64);
  const long = Array.from({ length: 500 }, (_, i) => i * 0.25);
  answer.begin();
  writeVecF64(answer, long);
  const first = answer.frame(FrameKind.Response, 1, 15).slice();
  assert.equal(hex(first), hex(encodeFrame(FrameKind.Response, 1, 15, encodeVecF64(long))));
  answer.begin();
  writeVecF64(answer, [7]);
  assert.equal(hex(answer.frame(FrameKind.Response, 2, 12)), hex(encodeFrame(FrameKind.Response, 2, 12, encodeVecF64([7]))));
  answer.begin();
  assert.equal(hex(answer.frame(FrameKind.Response, 3, 2)), hex(encodeFrame(FrameKind.Response, 3, 2)));
});

test('a buffer grown past the kept size is let go at the next answer; a retired one is never written again', () => {
  const answer = new Answer();
  answer.begin();
  writeMatF64(answer, KEPT_CAPACITY / 8, 1, new Float64Array(KEPT_CAPACITY / 8).fill(1));
  const large = answer.frame(FrameKind.Response, 1, 15);
  const kept = large.slice();
  answer.begin();
  writeVecF64(answer, [2]);
  answer.frame(FrameKind.Response, 2, 12);
  assert.ok(answer.bytes.length <= KEPT_CAPACITY);
  assert.deepEqual(large, kept);

  const handed = answer.frame(FrameKind.Response, 2, 12);
  const copy = handed.slice();
  answer.retire();
  answer.begin();
  writeVecF64(answer, [3, 4, 5]);
  answer.frame(FrameKind.Response, 3, 12);
  assert.deepEqual(handed, copy);
});

test('the writers put down what the encoders make, and refuse what they refuse', () => {
  const cases = [
    [(a) => writeVecF64(a, [1.5, -0, Number.MAX_VALUE]), encodeVecF64([1.5, -0, Number.MAX_VALUE])],
    [(a) => writeVecF64(a, new Float64Array([3, 4]).subarray(1)), encodeVecF64([4])],
    [(a) => writeMatF64(a, 2, 2, new Float64Array([1, 2, 3, 4])), encodeMatF64(2, 2, [1, 2, 3, 4])],
    [(a) => writeRows(a, [[1, 2], [3, 4]], 2), encodeMatF64(2, 2, [1, 2, 3, 4])],
    [(a) => writeRows(a, [], 12), encodeMatF64(0, 12, [])],
    [(a) => writeVecMatF64(a, [9], 1, 2, new Float64Array([5, 6])), encodeVecMatF64([9], 1, 2, [5, 6])],
  ];
  for (const [write, expected] of cases) {
    const answer = new Answer(16);
    answer.begin();
    write(answer);
    assert.equal(hex(answer.payload()), hex(expected));
  }
  const answer = new Answer();
  answer.begin();
  assert.throws(() => writeRows(answer, [[1, 2], [3]], 2), /MatF64 row of 1 values in a matrix of 2 columns/);
  assert.throws(() => writeMatF64(answer, 2, 2, [1, 2, 3]), /MatF64 data length mismatch: expected 4, got 3/);
});

test('a request header is read into the object given, and a bad length still names its header', () => {
  const into = {};
  const frame = readFrame(encodeFrame(FrameKind.Request, 7, 130, Uint8Array.of(1, 2)), into);
  assert.equal(frame, into);
  assert.deepEqual([into.kind, into.seq, into.fnId, Array.from(into.payload)], [FrameKind.Request, 7, 130, [1, 2]]);
  const bent = encodeFrame(FrameKind.Request, 8, 31, new Uint8Array(4));
  bent[12] = 9;
  assert.throws(() => readFrame(bent, into), (error) => error.header.seq === 8 && error.header.fnId === 31);
});

// Answers to a trainer's calls, built again from fresh copies of what the engine holds.
function copiedAnswer(engine, fnId) {
  const session = engine.session;
  if (fnId === FnId.GetSnapshot) return encodeVecF64(session.snapshot());
  if (fnId === FnId.GetOhlc) return encodeMatF64(session.cursor + 1 - session.startBar, WIDTH, engine.series.rows(session.startBar, session.cursor + 1));
  const from = Math.max(0, session.cursor - session.window + 1);
  return encodeVecMatF64(session.snapshot(), session.cursor + 1 - from, WIDTH, engine.series.rows(from, session.cursor + 1));
}

test('answers written in place equal answers built from copies, call after call', () => {
  const engine = new Engine({ seed: 4, bars: 600, window: 16, episodeLength: 40 });
  const answer = new Answer(32);
  const ask = (name, ...args) => {
    const [fnId, build] = FN[name];
    const outcome = engine.respond(fnId, build ? build(...args) : new Uint8Array(0), answer);
    assert.equal(outcome.ok, true, outcome.message);
    return outcome.payload;
  };
  ask('reset_episode', 2, 'train');
  assert.equal(hex(ask('get_ohlc')), hex(copiedAnswer(engine, FnId.GetOhlc)));
  for (let step = 0; step < 40; step++) {
    if (step % 3 === 0) ask('place_ticket', { side: step % 2 ? 'buy' : 'sell', units: 2 });
    if (step % 3 === 1) ask('close_positions', [...engine.session.book.positions.keys()], [1], [0]);
    const stepped = hex(ask('step_and_sync'));
    assert.equal(stepped, hex(copiedAnswer(engine, FnId.StepAndSync)), `step ${step}`);
    assert.equal(hex(ask('get_snapshot')), hex(copiedAnswer(engine, FnId.GetSnapshot)));
  }
  assert.equal(hex(ask('get_ohlc')), hex(copiedAnswer(engine, FnId.GetOhlc)));
  // The window handed out is a view of the series, never written to.
  assert.equal(hex(engine.series.rows(0, 600)), hex(new Engine({ seed: 4, bars: 600 }).series.rows(0, 600)));
});

// A socket that keeps the views it is given, as a transport that sends later would, and reports them
// as still queued until told otherwise.
class HoldingSocket {
  static instances = [];

  constructor() {
    this.readyState = 1;
    this.sent = [];
    this.bufferedAmount = 0;
    this.holds = true;
    HoldingSocket.instances.push(this);
  }

  send(bytes) {
    this.sent.push({ bytes, copy: bytes.slice() });
    if (this.holds) this.bufferedAmount += bytes.length;
  }

  close() {}
}

function linkOn(socketClass, options = {}) {
  const engine = new Engine({ seed: 3, bars: 3000, window: 2500, episodeLength: 50 });
  const client = new LinkClient({ url: 'ws://127.0.0.1:1', WebSocket: socketClass, engine, reconnect: false, ...options });
  client.start();
  const socket = socketClass.instances.at(-1);
  const request = (seq, fnId) => socket.onmessage({ data: encodeFrame(FrameKind.Request, seq, fnId) });
  return { client, socket, request };
}

test('an answer handed to a socket that may still hold it is never written again', () => {
  const { client, socket, request } = linkOn(HoldingSocket);
  request(1, FnId.GetOhlc); // 2500 rows: a long answer
  request(2, FnId.GetSnapshot);
  request(3, FnId.StepAndSync);
  socket.holds = false;
  socket.bufferedAmount = 0;
  request(4, FnId.GetSnapshot);
  request(5, FnId.GetSnapshot);
  // What the socket was given while it held it is as it was when given.
  for (const { bytes, copy } of socket.sent.slice(0, 3)) assert.equal(hex(bytes), hex(copy));
  const frames = socket.sent.map(({ copy }) => parseFrame(copy));
  assert.deepEqual(frames.map((f) => [f.seq, f.fnId, f.payload.length]),
    [[1, 15, 8 + 2500 * 40], [2, 12, 132], [3, 130, 4 + 128 + 8 + 2500 * 40], [4, 12, 132], [5, 12, 132]]);
  assert.equal(hex(frames[2].payload.subarray(4, 132)), hex(encodeVecF64(client.engine.session.snapshot()).subarray(4)));
  // Once the socket holds nothing, the buffer is reused.
  assert.equal(socket.sent[3].bytes.buffer, socket.sent[4].bytes.buffer);
  client.stop();
});

test('a socket that copies what it sends gets every answer from the same buffer', () => {
  const { client, socket, request } = linkOn(HoldingSocket, { sendCopies: true });
  request(1, FnId.GetOhlc);
  request(2, FnId.GetSnapshot);
  const [long, short] = socket.sent;
  assert.equal(long.bytes.buffer, short.bytes.buffer);
  assert.equal(hex(short.bytes), hex(short.copy));
  assert.deepEqual(parseFrame(long.copy).payload.length, 8 + 2500 * 40);
  client.stop();
});
