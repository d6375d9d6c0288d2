// The buffer an answer is written into: one per link, reused for every answer, with room for the 16-byte
// frame header before the payload so that the frame is sent as it lies, without copying the payload
// behind a header. The engine writes the payload (engine.js); the link writes the header and sends a
// view of the written bytes (client.js). A view handed to a socket that may still hold it after `send`
// returns must not be written again: the link then calls `retire()`, which gives the answer new bytes.

import { HEADER_LEN, putFrameHeader } from './protocol.js';

const INITIAL_CAPACITY = 4096;
// A buffer grown beyond this for one large answer (a long get_ohlc) is not kept for the next ones.
export const KEPT_CAPACITY = 1 << 20;

export class Answer {
  constructor(capacity = INITIAL_CAPACITY) {
    this.#allocate(Math.max(HEADER_LEN, capacity));
    this.end = HEADER_LEN;
  }

  #allocate(capacity) {
    this.bytes = new Uint8Array(capacity);
    this.view = new DataView(this.bytes.buffer);
  }

  // Starts a new payload, right after the header's room.
  begin() {
    if (this.bytes.length > KEPT_CAPACITY) this.#allocate(INITIAL_CAPACITY);
    this.end = HEADER_LEN;
  }

  get payloadLength() {
    return this.end - HEADER_LEN;
  }

  // Makes room for `count` more payload bytes and returns the offset they start at.
  reserve(count) {
    const at = this.end;
    const needed = at + count;
    if (needed > this.bytes.length) {
      const old = this.bytes;
      this.#allocate(Math.max(needed, old.length * 2));
      this.bytes.set(old.subarray(0, at));
    }
    this.end = needed;
    return at;
  }

  // The payload written since `begin`: a view, valid until the next `begin`.
  payload() {
    return this.bytes.subarray(HEADER_LEN, this.end);
  }

  // Writes the frame header in front of the payload and returns the whole frame: a view, valid until
  // the next `begin`.
  frame(kind, seq, fnId) {
    putFrameHeader(this.view, kind, seq, fnId, this.end - HEADER_LEN);
    return this.bytes.subarray(0, this.end);
  }

  // The bytes last framed now belong to whoever was handed them: later answers go into new ones.
  retire() {
    this.#allocate(Math.min(this.bytes.length, KEPT_CAPACITY));
    this.end = HEADER_LEN;
  }
}
