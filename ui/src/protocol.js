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

export function encodeVecF64(values) {
  checkCount(values.length, 'VecF64 length');
  const out = new Uint8Array(4 + 8 * values.length);
  const dv = viewOf(out);
  dv.setUint32(0, values.length, true);
  for (let i = 0; i < values.length; i++) dv.setFloat64(4 + 8 * i, values[i], true);
  return out;
}

// `data` holds rows*cols values in row-major order.
export function encodeMatF64(rows, cols, data) {
  checkCount(rows, 'MatF64 rows');
  checkCount(cols, 'MatF64 cols');
  if (data.length !== rows * cols) {
    throw new RangeError(`MatF64 data length mismatch: expected ${rows * cols}, got ${data.length}`);
  }
  const out = new Uint8Array(8 + 8 * data.length);
  const dv = viewOf(out);
  dv.setUint32(0, rows, true);
  dv.setUint32(4, cols, true);
  for (let i = 0; i < data.length; i++) dv.setFloat64(8 + 8 * i, data[i], true);
  return out;
}

export function encodeCloseStep(flags, actions, ratios) {
  if (flags.length !== actions.length || flags.length !== ratios.length) {
    throw new RangeError(
      `close_step shape mismatch: flags=${flags.length}, actions=${actions.length}, ratios=${ratios.length}`);
  }
  const n = flags.length;
  checkCount(n, 'CloseStep length');
  const out = new Uint8Array(4 + 16 * n);
  const dv = viewOf(out);
  dv.setUint32(0, n, true);
  for (let i = 0; i < n; i++) {
    dv.setInt32(4 + 4 * i, flags[i], true);
    dv.setInt32(4 + 4 * n + 4 * i, actions[i], true);
    dv.setFloat64(4 + 8 * n + 8 * i, ratios[i], true);
  }
  return out;
}

export function encodeVecMatF64(vector, rows, cols, data) {
  const vec = encodeVecF64(vector);
  const mat = encodeMatF64(rows, cols, data);
  const out = new Uint8Array(vec.length + mat.length);
  out.set(vec, 0);
  out.set(mat, vec.length);
  return out;
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

export function encodeFrame(kind, seq, fnId, payload = new Uint8Array(0)) {
  const body = asBytes(payload);
  if (body.length > U32_MAX) throw new RangeError(`payload of ${body.length} bytes does not fit a frame`);
  const out = new Uint8Array(HEADER_LEN + body.length);
  const dv = viewOf(out);
  dv.setUint8(0, PROTOCOL_VERSION);
  dv.setUint8(1, kind);
  dv.setUint16(2, 0, true);
  dv.setUint32(4, seq >>> 0, true);
  dv.setUint16(8, fnId & 0xffff, true);
  dv.setUint16(10, 0, true);
  dv.setUint32(12, body.length, true);
  out.set(body, HEADER_LEN);
  return out;
}

// Reads the header of one binary message. Throws CodecError when the message is shorter than a header
// or its length disagrees with the declared payload length; the version is returned, not judged.
export function parseFrame(message) {
  const bytes = asBytes(message);
  const L = bytes.length;
  if (L < HEADER_LEN) throw new CodecError(`frame too short: ${L} < ${HEADER_LEN}`, CodecFailure.TooShort);
  const header = readHeader(bytes);
  const expected = HEADER_LEN + header.payloadLength;
  if (expected !== L) {
    const error = new CodecError(`payload length mismatch: expected ${expected}, got ${L}`, CodecFailure.LengthMismatch);
    error.header = header;
    throw error;
  }
  return { ...header, payload: bytes.subarray(HEADER_LEN) };
}

function readHeader(bytes) {
  const dv = viewOf(bytes);
  return {
    version: dv.getUint8(0),
    kind: dv.getUint8(1),
    seq: dv.getUint32(4, true),
    fnId: dv.getUint16(8, true),
    payloadLength: dv.getUint32(12, true),
  };
}

export function encodeErrorBody(err, sub, message) {
  const text = utf8Encoder.encode(message);
  const out = new Uint8Array(8 + text.length);
  const dv = viewOf(out);
  dv.setUint16(0, err, true);
  dv.setUint16(2, sub, true);
  dv.setUint32(4, text.length, true);
  out.set(text, 8);
  return out;
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
