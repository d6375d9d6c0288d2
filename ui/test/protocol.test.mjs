// Payload codecs and frames, byte for byte.

import test from 'node:test';
import assert from 'node:assert/strict';
import {
  CodecError, decodeCloseStep, decodeErrorBody, decodeMatF64, decodeVecF64, decodeVecMatF64,
  encodeCloseStep, encodeErrorBody, encodeFrame, encodeMatF64, encodeVecF64, encodeVecMatF64, FrameKind,
  parseFrame,
} from '../src/protocol.js';
import { fromHex, hex } from '../test-support/requests.mjs';

function fails(fn, message, sub) {
  assert.throws(fn, (error) => {
    assert.ok(error instanceof CodecError, `expected a CodecError, got ${error}`);
    assert.equal(error.message, message);
    if (sub !== undefined) assert.equal(error.sub, sub);
    return true;
  });
}

test('worked examples encode and decode byte for byte', () => {
  const vec = '01 00 00 00 00 00 00 00 00 00 F0 3F';
  assert.equal(hex(encodeVecF64([1.0])), vec);
  assert.deepEqual(Array.from(decodeVecF64(fromHex(vec))), [1.0]);

  const mat = '01 00 00 00 02 00 00 00 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 00 C0';
  assert.equal(hex(encodeMatF64(1, 2, [1.0, -2.0])), mat);
  const m = decodeMatF64(fromHex(mat));
  assert.deepEqual([m.rows, m.cols, Array.from(m.data)], [1, 2, [1.0, -2.0]]);

  const close = '01 00 00 00 07 00 00 00 02 00 00 00 00 00 00 00 00 00 E0 3F';
  assert.equal(hex(encodeCloseStep([7], [2], [0.5])), close);
  const c = decodeCloseStep(fromHex(close));
  assert.deepEqual([Array.from(c.flags), Array.from(c.actions), Array.from(c.ratios)], [[7], [2], [0.5]]);

  const vm = '01 00 00 00 00 00 00 00 00 00 08 40 01 00 00 00 01 00 00 00 00 00 00 00 00 00 10 40';
  assert.equal(hex(encodeVecMatF64([3.0], 1, 1, [4.0])), vm);
  const d = decodeVecMatF64(fromHex(vm));
  assert.deepEqual([Array.from(d.vector), d.matrix.rows, d.matrix.cols, Array.from(d.matrix.data)], [[3], 1, 1, [4]]);
});

test('close steps keep the columns one after another with negative values', () => {
  const bytes = encodeCloseStep([4, -9], [1, -2], [0.0, 0.25]);
  assert.equal(hex(bytes),
    '02 00 00 00 04 00 00 00 F7 FF FF FF 01 00 00 00 FE FF FF FF '
    + '00 00 00 00 00 00 00 00 00 00 00 00 00 00 D0 3F');
  const back = decodeCloseStep(bytes);
  assert.deepEqual([Array.from(back.flags), Array.from(back.actions)], [[4, -9], [1, -2]]);
});

test('empty vectors and matrices without elements', () => {
  assert.equal(hex(encodeVecF64([])), '00 00 00 00');
  assert.equal(decodeVecF64(fromHex('00 00 00 00')).length, 0);
  for (const [rows, cols] of [[0, 5], [5, 0]]) {
    const m = decodeMatF64(encodeMatF64(rows, cols, []));
    assert.deepEqual([m.rows, m.cols, m.data.length], [rows, cols, 0]);
  }
  assert.equal(hex(encodeCloseStep([], [], [])), '00 00 00 00');
});

test('decoders refuse short and mismatched payloads with the exact texts', () => {
  const three = new Uint8Array(3);
  fails(() => decodeVecF64(three), 'VecF64 payload too short', 1);
  fails(() => decodeCloseStep(three), 'CloseStep payload too short', 1);
  fails(() => decodeVecMatF64(three), 'VecMatF64 payload too short', 1);
  fails(() => decodeMatF64(new Uint8Array(7)), 'MatF64 payload too short', 1);

  const header2 = fromHex('02 00 00 00');
  const withTail = (n) => { const b = new Uint8Array(4 + n); b.set(header2); return b; };
  fails(() => decodeVecF64(withTail(15)), 'VecF64 length mismatch: expected 20, got 19', 2);
  fails(() => decodeVecF64(withTail(17)), 'VecF64 length mismatch: expected 20, got 21', 2);
  fails(() => decodeCloseStep(fromHex('01 00 00 00 00')), 'CloseStep length mismatch: expected 20, got 5', 2);

  // rows = cols = 2^32 - 1: the expected length is printed in full, never wrapped.
  fails(() => decodeMatF64(fromHex('FF FF FF FF FF FF FF FF')),
    'MatF64 length mismatch: expected 147573952520956936208, got 8', 2);

  const vm = encodeVecMatF64([3.0], 1, 1, [4.0]);
  fails(() => decodeVecMatF64(vm.subarray(0, 19)), 'VecMatF64 missing matrix header', 3);
  fails(() => decodeVecMatF64(vm.subarray(0, 27)), 'VecMatF64 length mismatch: expected 28, got 27', 2);
});

test('encoders refuse data that disagrees with the shape', () => {
  assert.throws(() => encodeMatF64(2, 3, [1, 2, 3, 4, 5]), { message: 'MatF64 data length mismatch: expected 6, got 5' });
  assert.throws(() => encodeCloseStep([1, 2], [1, 1], [0, 0, 0]),
    { message: 'close_step shape mismatch: flags=2, actions=2, ratios=3' });
  assert.throws(() => encodeMatF64(2 ** 32, 0, []), RangeError);
});

test('special floats survive a round trip bit for bit', () => {
  const payload = fromHex('03 00 00 00 01 00 00 00 00 00 F8 7F 00 00 00 00 00 00 F0 7F 00 00 00 00 00 00 00 80');
  const values = decodeVecF64(payload);
  assert.ok(Number.isNaN(values[0]));
  assert.equal(values[1], Infinity);
  assert.ok(Object.is(values[2], -0));
  assert.equal(hex(encodeVecF64(values)), hex(payload));
});

test('frames: request, response and error body examples', () => {
  assert.equal(hex(encodeFrame(FrameKind.Request, 1, 2)), '01 01 00 00 01 00 00 00 02 00 00 00 00 00 00 00');
  const response = encodeFrame(FrameKind.Response, 1, 2, fromHex('41 42'));
  assert.equal(hex(response), '01 02 00 00 01 00 00 00 02 00 00 00 02 00 00 00 41 42');
  const parsed = parseFrame(response);
  assert.deepEqual({ ...parsed, payload: hex(parsed.payload) },
    { version: 1, kind: 2, seq: 1, fnId: 2, payloadLength: 2, payload: '41 42' });
  assert.equal(hex(encodeErrorBody(3, 1, 'no')), '03 00 01 00 02 00 00 00 6E 6F');

  const big = encodeFrame(FrameKind.Response, 0xffffffff, 0xffff, new Uint8Array(0));
  assert.deepEqual([parseFrame(big).seq, parseFrame(big).fnId], [4294967295, 65535]);
});

test('frame parsing refuses short messages and length mismatches, and keeps the header', () => {
  fails(() => parseFrame(new Uint8Array(15)), 'frame too short: 15 < 16', 1);
  fails(() => parseFrame(new Uint8Array(0)), 'frame too short: 0 < 16', 1);
  const frame = encodeFrame(FrameKind.Request, 9, 31, new Uint8Array(4));
  frame[12] = 8;
  assert.throws(() => parseFrame(frame), (error) => {
    assert.equal(error.message, 'payload length mismatch: expected 24, got 20');
    assert.deepEqual([error.header.seq, error.header.fnId, error.header.kind], [9, 31, 1]);
    return true;
  });
  frame.set([0xff, 0xff, 0xff, 0xff], 12);
  fails(() => parseFrame(frame), 'payload length mismatch: expected 4294967311, got 20');
  // The reserved fields are ignored on receipt; the version is reported, not judged.
  const odd = encodeFrame(FrameKind.Request, 1, 2, new Uint8Array(0));
  odd.set([0xaa, 0xbb], 2);
  odd.set([0xcc, 0xdd], 10);
  odd[0] = 2;
  assert.deepEqual([parseFrame(odd).version, parseFrame(odd).fnId], [2, 2]);
});

test('error bodies decode leniently', () => {
  assert.deepEqual(decodeErrorBody(new Uint8Array(7)), { err: 0, sub: 0, message: '' });
  const body = new Uint8Array(18);
  body.set(fromHex('03 00 01 00 64 00 00 00'));
  assert.deepEqual(decodeErrorBody(body), { err: 3, sub: 1, message: '' });
  assert.deepEqual(decodeErrorBody(fromHex('05 00 02 00 02 00 00 00 FF 41')), { err: 5, sub: 2, message: '\uFFFDA' });
  assert.deepEqual(decodeErrorBody(encodeErrorBody(4, 2, 'ünïcode ✓')), { err: 4, sub: 2, message: 'ünïcode ✓' });
});
