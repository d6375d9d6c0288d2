// The link: a WebSocket client that connects to the module's server, reads its handshake message and
// answers every Request frame through the engine, reconnecting with back-off whenever the link drops.
// The WebSocket class is injected: the browser's own, or the `ws` package in Node.
//
// The hot path allocates next to nothing: a request is read where it was received (in Node, the `ws`
// package's own Buffer), its header into one reused object, and every answer is written into one reused
// buffer (answer.js) and sent as it lies.

import { CodecError, encodeFrame, FrameKind, PROTOCOL_VERSION, readFrame, writeErrorBody } from './protocol.js';
import { Answer } from './answer.js';
import { Err, Sub } from './errors.js';

export const LinkState = Object.freeze({
  Connecting: 'connecting',
  Connected: 'connected',
  Disconnected: 'disconnected',
});

const OPEN = 1;
// The largest message the link takes: 4 GiB - 1, the most `ws` can be told (it reads the limit as an
// unsigned 32-bit number), an init_candles of 107,374,181 bars (89,478,484 with their times). The
// module's frame could be 16 bytes longer; Python refuses a series that would not fit
// (tarnel_rl.trading.check_series_length). `ws` would close the link above its default 100 MiB, which
// no more than 2,621,440 bars fit.
export const MAX_MESSAGE_BYTES = 0xFFFFFFFF;
// What a `ws` socket of the link is made with, under any socketOptions given. No compression: it would
// cost more than the loopback saves, and the module does not offer it.
export const LINK_SOCKET_OPTIONS = Object.freeze({ maxPayload: MAX_MESSAGE_BYTES, perMessageDeflate: false });
const DEFAULT_RECONNECT = Object.freeze({ initialMs: 250, maxMs: 5000, factor: 2 });

export class LinkClient {
  // url: ws://host:port; WebSocket: the class to connect with; engine: answers requests
  // (engine.js); socketOptions: second constructor argument for `ws` (e.g. { origin }), laid over
  // LINK_SOCKET_OPTIONS; null (the default for the browser's WebSocket) omits it; reconnect: back-off
  // settings, or false for a single attempt. sendCopies: whether `send` is done with the bytes it is
  // given when it returns. The standard WebSocket (the browser's) copies them
  // by definition; for any other class the answer buffer is given up whenever the socket still has
  // bytes queued after a send, as it may be holding ours.
  constructor({ url, WebSocket, engine, socketOptions = WebSocket === globalThis.WebSocket ? null : {},
    reconnect = DEFAULT_RECONNECT,
    sendCopies = WebSocket === globalThis.WebSocket,
    onState = () => {}, onHandshake = () => {}, onNotice = () => {}, onPong = () => {} }) {
    this.url = url;
    this.WebSocket = WebSocket;
    this.engine = engine;
    this.sendCopies = sendCopies;
    this.answer = new Answer();
    this.frame = { version: 0, kind: 0, seq: 0, fnId: 0, payloadLength: 0, payload: null };
    this.socketOptions = socketOptions === null ? null : { ...LINK_SOCKET_OPTIONS, ...socketOptions };
    this.reconnect = reconnect === false ? null : { ...DEFAULT_RECONNECT, ...reconnect };
    this.callbacks = { onState, onHandshake, onNotice, onPong };
    this.state = LinkState.Disconnected;
    this.handshake = null;
    this.socket = null;
    this.stopped = true;
    this.attempt = 0;
    this.retryTimer = null;
    this.echoSeq = 0;
    this.pendingEchoes = new Map();
    this.stats = { connections: 0, requests: 0, errors: 0, ignored: 0, echoes: 0, pongs: 0 };
  }

  start() {
    if (!this.stopped) return;
    this.stopped = false;
    this.#open();
  }

  // Stops for good: no reconnect; the socket is dropped at once.
  stop() {
    this.stopped = true;
    clearTimeout(this.retryTimer);
    this.retryTimer = null;
    const socket = this.socket;
    if (socket !== null) {
      this.#detach(socket);
      // The server reads only while a call waits, so a closing handshake could hang: drop the socket.
      if (typeof socket.terminate === 'function') socket.terminate();
      else socket.close();
    }
    this.#closed();
  }

  // Sends an EchoRequest and resolves with the payload of its EchoReply. The module answers echoes
  // only while one of its calls waits for a response, so the reply may come late.
  echo(payload = new Uint8Array(0), { fnId = 0, timeoutMs = 10000 } = {}) {
    if (!this.#isOpen()) return Promise.reject(new Error('link is not open'));
    this.echoSeq = (this.echoSeq + 1) >>> 0;
    const seq = this.echoSeq;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pendingEchoes.delete(seq);
        reject(new Error(`echo ${seq} timed out after ${timeoutMs} ms`));
      }, timeoutMs);
      this.pendingEchoes.set(seq, { resolve, reject, timer });
      this.socket.send(encodeFrame(FrameKind.EchoRequest, seq, fnId, payload));
    });
  }

  // Sends a WebSocket ping. Browsers cannot; returns false there (and when the link is not open).
  ping(payload = new Uint8Array(0)) {
    if (!this.#isOpen() || typeof this.socket.ping !== 'function') return false;
    this.socket.ping(payload);
    return true;
  }

  #isOpen() {
    return this.socket !== null && this.socket.readyState === OPEN;
  }

  #setState(state) {
    if (this.state === state) return;
    this.state = state;
    this.callbacks.onState(state);
  }

  #open() {
    this.#setState(LinkState.Connecting);
    let socket;
    try {
      socket = this.socketOptions === null
        ? new this.WebSocket(this.url)
        : new this.WebSocket(this.url, this.socketOptions);
    } catch (error) {
      this.callbacks.onNotice(`cannot connect to ${this.url}: ${error.message}`);
      this.#closed();
      return;
    }
    // `ws` hands over its own Buffers as they were received ('nodebuffer'); a browser refuses the value
    // and gets ArrayBuffers.
    socket.binaryType = 'nodebuffer';
    if (socket.binaryType !== 'nodebuffer') socket.binaryType = 'arraybuffer';
    socket.onopen = () => { this.stats.connections += 1; };
    socket.onmessage = (event) => this.#receive(event.data);
    socket.onerror = () => {}; // a close event always follows
    socket.onclose = () => {
      this.#detach(socket);
      this.#closed();
    };
    if (typeof socket.on === 'function') {
      socket.on('pong', (data) => {
        this.stats.pongs += 1;
        this.callbacks.onPong(new Uint8Array(data));
      });
    }
    this.socket = socket;
  }

  #detach(socket) {
    socket.onopen = socket.onmessage = socket.onclose = null;
    if (this.socket === socket) this.socket = null;
  }

  #closed() {
    for (const [seq, pending] of this.pendingEchoes) {
      clearTimeout(pending.timer);
      pending.reject(new Error(`echo ${seq} lost: the link closed`));
    }
    this.pendingEchoes.clear();
    this.#setState(LinkState.Disconnected);
    if (this.stopped || this.reconnect === null || this.retryTimer !== null) return;
    const { initialMs, maxMs, factor } = this.reconnect;
    const delay = Math.min(maxMs, initialMs * factor ** this.attempt);
    this.attempt += 1;
    this.retryTimer = setTimeout(() => {
      this.retryTimer = null;
      if (!this.stopped) this.#open();
    }, delay);
  }

  #connected() {
    this.attempt = 0;
    this.#setState(LinkState.Connected);
  }

  #receive(data) {
    if (typeof data === 'string') {
      this.#receiveText(data);
      return;
    }
    let frame;
    try {
      frame = readFrame(data, this.frame);
    } catch (error) {
      if (!(error instanceof CodecError)) throw error;
      this.#refuseMalformed(error);
      return;
    }
    if (frame.version !== PROTOCOL_VERSION) {
      this.stats.ignored += 1;
      this.callbacks.onNotice(`ignored a frame of protocol version ${frame.version}`);
      return;
    }
    if (frame.kind === FrameKind.Request) this.#answer(frame);
    else if (frame.kind === FrameKind.EchoReply) this.#echoReplied(frame);
    else this.stats.ignored += 1;
  }

  #receiveText(text) {
    let message = null;
    try {
      message = JSON.parse(text);
    } catch {
      // not JSON: ignored below
    }
    if (message !== null && typeof message === 'object' && message.type === 'handshake') {
      this.handshake = message;
      this.#connected();
      this.callbacks.onHandshake(message);
    } else {
      this.stats.ignored += 1;
    }
  }

  #answer(frame) {
    // A request without the handshake before it still gets its answer: the link works, so say so.
    if (this.state !== LinkState.Connected) this.#connected();
    this.stats.requests += 1;
    const outcome = this.engine.respond(frame.fnId, frame.payload, this.answer);
    if (!outcome.ok) this.stats.errors += 1;
    this.#sendAnswer(outcome.ok ? FrameKind.Response : FrameKind.ErrorResponse, frame.seq, frame.fnId);
  }

  // A Request whose length disagrees with its header still names the seq and fnId the server waits on.
  #refuseMalformed(error) {
    const header = error.header;
    if (header && header.version === PROTOCOL_VERSION && header.kind === FrameKind.Request) {
      this.stats.requests += 1;
      this.stats.errors += 1;
      this.answer.begin();
      writeErrorBody(this.answer, Err.BadPayload, Sub.FrameLength, error.message);
      this.#sendAnswer(FrameKind.ErrorResponse, header.seq, header.fnId);
    } else {
      this.stats.ignored += 1;
      this.callbacks.onNotice(`ignored a malformed frame: ${error.message}`);
    }
  }

  #echoReplied(frame) {
    const pending = this.pendingEchoes.get(frame.seq);
    if (pending === undefined) {
      this.stats.ignored += 1;
      return;
    }
    this.pendingEchoes.delete(frame.seq);
    clearTimeout(pending.timer);
    this.stats.echoes += 1;
    pending.resolve(frame.payload.slice());
  }

  #sendAnswer(kind, seq, fnId) {
    if (!this.#isOpen()) return;
    const socket = this.socket;
    socket.send(this.answer.frame(kind, seq, fnId));
    if (!this.sendCopies && socket.bufferedAmount > 0) this.answer.retire();
  }
}
