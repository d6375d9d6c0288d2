// Wire format of the link: the 16-byte frame envelope, the error body and the four numeric payload kinds.
// Everything is little-endian; float64 values are moved with DataView so their bits are kept as they are.

export const PROTOCOL_VERSION = 1;
export const HEADER_LEN = 16;

export const FrameKind = Object.freeze({
  Request: 1,
  Response: 2,
  ErrorResponse: 3,
  EchoRequest: 4,
  EchoReply: 5,
});

const U32_MAX = 0xffffffff;
const utf8Encoder = new TextEncoder();
const utf8Decoder = new TextDecoder('utf-8', { fatal: false });

// A payload or frame that fails a length check. `sub` is the code the engine reports it with.
export class CodecError extends Error {
  constructor(message, sub) {
    super(message);
    this.name = 'CodecError';
    this.sub = sub;
  }
}

export const CodecFailure = Object.freeze({
  TooShort: 1,
  LengthMismatch: 2,
  MissingMatrixHeader: 3,
});

// Accepts a Uint8Array (Node's Buffer included), an ArrayBuffer or a DataView; never copies.
export function asBytes(data) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError('expected bytes (Uint8Array, ArrayBuffer or DataView)');
}

function viewOf(bytes) {
  return new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
}

function checkCount(count, what) {
  if (!Number.isInteger(count) || count < 0 || count > U32_MAX) {
    throw new RangeError(`${what} must be an integer from 0 to ${U32_MAX}, got ${count}`);
  }
}

function mismatch(kind, expected, got) {
  return new CodecError(`${kind} length mismatch: expected ${expected}, got ${got}`, CodecFailure.LengthMismatch);
}

// ---- payload encoders -------------------------------------------------------------------------
// Each kind has a writer that appends it to an Answer (answer.js), the link's reused buffer, and an
// encoder that returns it as new bytes; both put it down with the same function.

// Float64Array values are copied as bytes where the platform is little-endian, as the wire is: the same
// bits a DataView would write, without a call per value.
const LITTLE_ENDIAN = new Uint8Array(new Float64Array([1]).buffer)[7] === 0x3f;

function putF64s(bytes, dv, at, values, count) {
  if (LITTLE_ENDIAN && values instanceof Float64Array) {
    bytes.set(new Uint8Array(values.buffer, values.byteOffset, 8 * count), at);
  } else {
    for (let i = 0; i < count; i++) dv.setFloat64(at + 8 * i, values[i], true);
  }
  return at + 8 * count;
}

function putVecF64(bytes, dv, at, values) {
  const n = values.length;
  checkCount(n, 'VecF64 length');
  dv.setUint32(at, n, true);
  return putF64s(bytes, dv, at + 4, values, n);
}

function checkMatrix(rows, cols, length) {
  checkCount(rows, 'MatF64 rows');
  checkCount(cols, 'MatF64 cols');
  if (length !== rows * cols) throw new RangeError(`MatF64 data length mismatch: expected ${rows * cols}, got ${length}`);
}

function putMatF64(bytes, dv, at, rows, cols, data) {
  checkMatrix(rows, cols, data.length);
  dv.setUint32(at, rows, true);
  dv.setUint32(at + 4, cols, true);
  return putF64s(bytes, dv, at + 8, data, data.length);
}

function putCloseStep(dv, at, flags, actions, ratios) {
  if (flags.length !== actions.length || flags.length !== ratios.length) {
    throw new RangeError(
      `close_step shape mismatch: flags=${flags.length}, actions=${actions.length}, ratios=${ratios.length}`);
  }
  const n = flags.length;
  checkCount(n, 'CloseStep length');
  dv.setUint32(at, n, true);
  for (let i = 0; i < n; i++) {
    dv.setInt32(at + 4 + 4 * i, flags[i], true);
    dv.setInt32(at + 4 + 4 * n + 4 * i, actions[i], true);
    dv.setFloat64(at + 4 + 8 * n + 8 * i, ratios[i], true);
  }
}

function encoded(size, put) {
  const out = new Uint8Array(size);
  put(out, viewOf(out));
  return out;
}

export function encodeVecF64(values) {
  return encoded(4 + 8 * values.length, (bytes, dv) => putVecF64(bytes, dv, 0, values));
}

// `data` holds rows*cols values in row-major order.
export function encodeMatF64(rows, cols, data) {
  checkMatrix(rows, cols, data.length);
  return encoded(8 + 8 * data.length, (bytes, dv) => putMatF64(bytes, dv, 0, rows, cols, data));
}

export function encodeCloseStep(flags, actions, ratios) {
  return encoded(4 + 16 * flags.length, (bytes, dv) => putCloseStep(dv, 0, flags, actions, ratios));
}

export function encodeVecMatF64(vector, rows, cols, data) {
  checkMatrix(rows, cols, data.length);
  return encoded(12 + 8 * vector.length + 8 * data.length, (bytes, dv) => {
    putMatF64(bytes, dv, putVecF64(bytes, dv, 0, vector), rows, cols, data);
  });
}

export function writeVecF64(answer, values) {
  const at = answer.reserve(4 + 8 * values.length);
  putVecF64(answer.bytes, answer.view, at, values);
}

export function writeMatF64(answer, rows, cols, data) {
  checkMatrix(rows, cols, data.length);
  const at = answer.reserve(8 + 8 * data.length);
  putMatF64(answer.bytes, answer.view, at, rows, cols, data);
}

// A matrix given as an array of rows, each of `cols` values.
export function writeRows(answer, rows, cols) {
  checkMatrix(rows.length, cols, rows.length * cols);
  const at = answer.reserve(8 + 8 * rows.length * cols);
  const dv = answer.view;
  dv.setUint32(at, rows.length, true);
  dv.setUint32(at + 4, cols, true);
  let offset = at + 8;
  for (const row of rows) {
    if (row.length !== cols) throw new RangeError(`MatF64 row of ${row.length} values in a matrix of ${cols} columns`);
    offset = putF64s(answer.bytes, dv, offset, row, cols);
  }
}

export function writeVecMatF64(answer, vector, rows, cols, data) {
  checkMatrix(rows, cols, data.length);
  const at = answer.reserve(12 + 8 * vector.length + 8 * data.length);
  const { bytes, view } = answer;
  putMatF64(bytes, view, putVecF64(bytes, view, at, vector), rows, cols, data);
}

export function writeBytes(answer, source) {
  const at = answer.reserve(source.length);
  answer.bytes.set(source, at);
}

// ---- payload decoders: each length is checked before anything is read or allocated --------------

function readF64s(dv, offset, count) {
  const out = new Float64Array(count);
  for (let i = 0; i < count; i++) out[i] = dv.getFloat64(offset + 8 * i, true);
  return out;
}

export function decodeVecF64(payload) {
  const bytes = asBytes(payload);
  const L = bytes.length;
  if (L < 4) throw new CodecError('VecF64 payload too short', CodecFailure.TooShort);
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  const expected = 4 + 8 * n; // at most 4 + 8 * (2^32 - 1): exact in a double
  if (L !== expected) throw mismatch('VecF64', expected, L);
  return readF64s(dv, 4, n);
}

export function decodeMatF64(payload) {
  const bytes = asBytes(payload);
  const L = bytes.length;
  if (L < 8) throw new CodecError('MatF64 payload too short', CodecFailure.TooShort);
  const dv = viewOf(bytes);
  const rows = dv.getUint32(0, true);
  const cols = dv.getUint32(4, true);
  // rows*cols can reach (2^32 - 1)^2, beyond a double's exact range: compare in BigInt.
  const expected = 8n + 8n * BigInt(rows) * BigInt(cols);
  if (BigInt(L) !== expected) throw mismatch('MatF64', expected, L);
  return { rows, cols, data: readF64s(dv, 8, rows * cols) };
}

export function decodeCloseStep(payload) {
  const bytes = asBytes(payload);
  const L = bytes.length;
  if (L < 4) throw new CodecError('CloseStep payload too short', CodecFailure.TooShort);
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  const expected = 4 + 16 * n;
  if (L !== expected) throw mismatch('CloseStep', expected, L);
  const flags = new Int32Array(n);
  const actions = new Int32Array(n);
  for (let i = 0; i < n; i++) {
    flags[i] = dv.getInt32(4 + 4 * i, true);
    actions[i] = dv.getInt32(4 + 4 * n + 4 * i, true);
  }
  return { flags, actions, ratios: readF64s(dv, 4 + 8 * n, n) };
}

export function decodeVecMatF64(payload) {
  const bytes = asBytes(payload);
  const L = bytes.length;
  if (L < 4) throw new CodecError('VecMatF64 payload too short', CodecFailure.TooShort);
  const dv = viewOf(bytes);
  const n = dv.getUint32(0, true);
  const header = 12 + 8 * n;
  if (L < header) throw new CodecError('VecMatF64 missing matrix header', CodecFailure.MissingMatrixHeader);
  const rows = dv.getUint32(4 + 8 * n, true);
  const cols = dv.getUint32(8 + 8 * n, true);
  const expected = BigInt(header) + 8n * BigInt(rows) * BigInt(cols);
  if (BigInt(L) !== expected) throw mismatch('VecMatF64', expected, L);
  return { vector: readF64s(dv, 4, n), matrix: { rows, cols, data: readF64s(dv, header, rows * cols) } };
}

// ---- frames ---------------------------------------------------------------------------------

// The 16-byte header at the start of `dv`.
export function putFrameHeader(dv, kind, seq, fnId, payloadLength) {
  dv.setUint8(0, PROTOCOL_VERSION);
  dv.setUint8(1, kind);
  dv.setUint16(2, 0, true);
  dv.setUint32(4, seq >>> 0, true);
  dv.setUint16(8, fnId & 0xffff, true);
  dv.setUint16(10, 0, true);
  dv.setUint32(12, payloadLength, true);
}

export function encodeFrame(kind, seq, fnId, payload = new Uint8Array(0)) {
  const body = asBytes(payload);
  if (body.length > U32_MAX) throw new RangeError(`payload of ${body.length} bytes does not fit a frame`);
  const out = new Uint8Array(HEADER_LEN + body.length);
  putFrameHeader(viewOf(out), kind, seq, fnId, body.length);
  out.set(body, HEADER_LEN);
  return out;
}

// Reads the header of one binary message into `into` (a reused object on the link's hot path) and
// returns it, with `payload` a view of the message's payload. Throws CodecError when the message is
// shorter than a header or its length disagrees with the declared payload length (the error carries the
// header); the version is returned, not judged.
export function readFrame(message, into) {
  const bytes = asBytes(message);
  const L = bytes.length;
  if (L < HEADER_LEN) throw new CodecError(`frame too short: ${L} < ${HEADER_LEN}`, CodecFailure.TooShort);
  const dv = viewOf(bytes);
  into.version = dv.getUint8(0);
  into.kind = dv.getUint8(1);
  into.seq = dv.getUint32(4, true);
  into.fnId = dv.getUint16(8, true);
  into.payloadLength = dv.getUint32(12, true);
  const expected = HEADER_LEN + into.payloadLength;
  if (expected !== L) {
    const error = new CodecError(`payload length mismatch: expected ${expected}, got ${L}`, CodecFailure.LengthMismatch);
    const { version, kind, seq, fnId, payloadLength } = into;
    error.header = { version, kind, seq, fnId, payloadLength };
    throw error;
  }
  into.payload = bytes.subarray(HEADER_LEN);
  return into;
}

export function parseFrame(message) {
  return readFrame(message, {});
}

function putErrorBody(bytes, dv, at, err, sub, text) {
  dv.setUint16(at, err, true);
  dv.setUint16(at + 2, sub, true);
  dv.setUint32(at + 4, text.length, true);
  bytes.set(text, at + 8);
}

export function encodeErrorBody(err, sub, message) {
  const text = utf8Encoder.encode(message);
  return encoded(8 + text.length, (bytes, dv) => putErrorBody(bytes, dv, 0, err, sub, text));
}

export function writeErrorBody(answer, err, sub, message) {
  const text = utf8Encoder.encode(message);
  const at = answer.reserve(8 + text.length);
  putErrorBody(answer.bytes, answer.view, at, err, sub, text);
}

// Never fails: a body too short for its header or its declared message gives what could be read.
export function decodeErrorBody(payload) {
  const bytes = asBytes(payload);
  if (bytes.length < 8) return { err: 0, sub: 0, message: '' };
  const dv = viewOf(bytes);
  const err = dv.getUint16(0, true);
  const sub = dv.getUint16(2, true);
  const m = dv.getUint32(4, true);
  const message = 8 + m <= bytes.length ? utf8Decoder.decode(bytes.subarray(8, 8 + m)) : '';
  return { err, sub, message };
}

export function encodeText(text) {
  return utf8Encoder.encode(text);
}

export function decodeText(bytes) {
  return utf8Decoder.decode(asBytes(bytes));
}
