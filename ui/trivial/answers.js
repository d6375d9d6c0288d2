// The trivial page's answers: the floor that the reference page is measured against. Every answer is a
// frame made once, at start, from the reference engine's own answers (so each has the size and the
// layout the trainer expects), and only its seq and the few values a trainer checks are written into it
// per request: the episode's type, index and step, whether it is done, and the position the trainer
// holds. It has no prices or account of its own: its observations and rewards are not a back-test's.

import { Engine, FnId } from '../src/engine.js';
import { Answer } from '../src/answer.js';
import { encodeCloseStep, encodeVecF64, FrameKind, HEADER_LEN } from '../src/protocol.js';
import { RECEIPT, SNAPSHOT, SUMMARY, TICKET } from '../src/columns.js';

const VEC = HEADER_LEN + 4; // where a vector's values start in a frame
const MAT = HEADER_LEN + 8; // where a matrix's values start in a frame
const F64 = 8;

// One ready-made frame and a view to write into it.
class Ready {
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  }

  f64(at, column, value) {
    this.view.setFloat64(at + F64 * column, value, true);
  }
}

// The answers of a reference engine with the given options, each as a frame of its own.
function referenceAnswers(options) {
  const engine = new Engine(options);
  const answer = new Answer();
  return (fnId, payload = new Uint8Array(0)) => {
    const outcome = engine.respond(fnId, payload, answer);
    if (!outcome.ok) throw new Error(`the reference engine refused fnId ${fnId}: ${outcome.message}`);
    return new Ready(answer.frame(FrameKind.Response, 0, fnId).slice());
  };
}

export class TrivialAnswers {
  constructor(options = {}) {
    const made = referenceAnswers(options);
    const ticket = encodeVecF64([1, 0, 0, 0, 1, 1, 0, 0, 0]);
    this.frames = new Map();
    this.emptyTicketList = made(FnId.GetTicketList);
    for (const fnId of [FnId.GetRlConfig, FnId.GetSyncPolicy, FnId.GetSnapshot, FnId.GetOhlc, FnId.StepAndSync,
      FnId.StepNext, FnId.FetchEvents]) { // any other fnId (init_candles) gets an empty answer
      this.frames.set(fnId, made(fnId));
    }
    this.frames.set(FnId.ResetEpisode, made(FnId.ResetEpisode, Uint8Array.of(0, 0, 0, 0, 0)));
    this.frames.set(FnId.PlaceTicket, made(FnId.PlaceTicket, ticket));
    this.frames.set(FnId.PlaceOrder, this.frames.get(FnId.PlaceTicket));
    this.ticketList = made(FnId.GetTicketList);
    this.closeRow = made(FnId.ClosePositions, encodeCloseStep([1], [1], [0])).bytes.slice(MAT);
    this.closeResults = new Map(); // by the number of entries closed
    this.frames.set(FnId.EndSession, made(FnId.EndSession));
    const config = this.frames.get(FnId.GetRlConfig).bytes.subarray(HEADER_LEN);
    this.length = JSON.parse(new TextDecoder().decode(config)).episode_length;
    this.type = -1;
    this.index = -1;
    this.step = 0;
    this.nextId = 1;
    this.#flat();
  }

  // The frame answering a request: a ready-made frame, rewritten by the next request.
  answer(seq, fnId, payload) {
    let ready;
    switch (fnId) {
      case FnId.ResetEpisode:
        this.index = payload.length === 5 ? new DataView(payload.buffer, payload.byteOffset).getUint32(0, true) : 0;
        this.type = payload.length === 5 ? payload[4] : 0;
        this.step = 0;
        this.#flat();
        break;
      case FnId.StepAndSync:
      case FnId.StepNext:
        this.step += 1;
        break;
      case FnId.PlaceTicket:
      case FnId.PlaceOrder:
        this.#placed(fnId === FnId.PlaceTicket, payload);
        break;
      case FnId.ClosePositions:
        ready = this.#closed(payload);
        break;
      case FnId.GetTicketList:
        ready = this.openId === 0 ? this.emptyTicketList : this.ticketList;
        break;
      default:
    }
    ready ??= this.frames.get(fnId) ?? this.frames.get(FnId.StepNext);
    if (fnId === FnId.StepAndSync || fnId === FnId.GetSnapshot) this.#snapshot(ready);
    else if (fnId === FnId.EndSession) this.#summary(ready);
    else if (fnId === FnId.GetTicketList && this.openId !== 0) this.#position(ready, MAT, TICKET);
    ready.view.setUint32(4, seq >>> 0, true);
    ready.view.setUint16(8, fnId, true); // a ready-made frame may answer more than one fnId
    return ready.bytes;
  }

  #flat() {
    this.openId = 0;
    this.side = 0;
    this.units = 0;
  }

  #snapshot(ready) {
    ready.f64(VEC, SNAPSHOT.step, this.step);
    ready.f64(VEC, SNAPSHOT.steps_left, Math.max(0, this.length - this.step));
    ready.f64(VEC, SNAPSHOT.done, this.step >= this.length ? 1 : 0);
    ready.f64(VEC, SNAPSHOT.episode_type, this.type);
    ready.f64(VEC, SNAPSHOT.episode_index, this.index);
    ready.f64(VEC, SNAPSHOT.open_positions, this.openId === 0 ? 0 : 1);
    ready.f64(VEC, SNAPSHOT.net_units, this.side * this.units);
  }

  #summary(ready) {
    ready.f64(MAT, SUMMARY.steps, this.step);
    ready.f64(MAT, SUMMARY.episode_type, this.type);
    ready.f64(MAT, SUMMARY.episode_index, this.index);
    this.#flat();
  }

  // The position or order just placed, from its request vector: a ticket's is [1, tp?, sl?, trail?,
  // buy?, units, ...], an order's [1, price, four flags, side, type, units, ...].
  #placed(ticket, payload) {
    const request = new DataView(payload.buffer, payload.byteOffset, payload.byteLength);
    const value = (i) => (payload.length >= 4 + F64 * (i + 1) ? request.getFloat64(4 + F64 * i, true) : 0);
    this.openId = this.nextId++;
    this.side = ticket ? (value(4) === 1 ? 1 : -1) : value(6);
    this.units = ticket ? value(5) : value(8);
    this.#position(this.frames.get(FnId.PlaceTicket), VEC, RECEIPT);
  }

  #position(ready, at, columns) {
    ready.f64(at, columns.id, this.openId);
    ready.f64(at, columns.side, this.side);
    ready.f64(at, columns.units, this.units);
  }

  // One close result per entry of the request: the ready-made row with the entry's id.
  #closed(payload) {
    const request = new DataView(payload.buffer, payload.byteOffset, payload.byteLength);
    const entries = payload.length >= 4 ? request.getUint32(0, true) : 0;
    let ready = this.closeResults.get(entries);
    if (ready === undefined) {
      const answer = new Answer();
      answer.begin();
      answer.view.setUint32(answer.reserve(4), entries, true);
      answer.view.setUint32(answer.reserve(4), this.closeRow.length / F64, true);
      for (let i = 0; i < entries; i++) answer.bytes.set(this.closeRow, answer.reserve(this.closeRow.length));
      ready = new Ready(answer.frame(FrameKind.Response, 0, FnId.ClosePositions).slice());
      this.closeResults.set(entries, ready);
    }
    for (let i = 0; i < entries && 8 + 4 * i <= payload.length; i++) {
      ready.view.setFloat64(MAT + this.closeRow.length * i, request.getInt32(4 + 4 * i, true), true);
    }
    this.#flat();
    return ready;
  }
}
