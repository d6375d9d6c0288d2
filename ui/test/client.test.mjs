// The link against a stand-in server on loopback: handshake, answers, what is ignored, echoes, pings,
// the origin header and reconnection.

import test from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import WebSocket, { WebSocketServer } from 'ws';
import { Engine } from '../src/engine.js';
import { LINK_SOCKET_OPTIONS, LinkClient, LinkState, MAX_MESSAGE_BYTES } from '../src/client.js';
import {
  decodeErrorBody, decodeVecF64, encodeFrame, encodeMatF64, FrameKind, parseFrame,
} from '../src/protocol.js';
import { SNAPSHOT } from '../src/columns.js';

const HANDSHAKE = '{"type":"handshake","python_library_version":"0.1.0"}';
const STEP_MS = 5000; // bound on every single wait

function within(promise, what, ms = STEP_MS) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms); }),
  ]).finally(() => clearTimeout(timer));
}

// A server that records the origin of each connection and queues what the client sends.
async function standInServer(port = 0) {
  const server = new WebSocketServer({ host: '127.0.0.1', port });
  await once(server, 'listening');
  const connections = [];
  const waiting = [];
  server.on('connection', (socket, request) => {
    const conn = { socket, origin: request.headers.origin, inbox: [], wakers: [] };
    socket.on('message', (data, isBinary) => {
      conn.inbox.push(isBinary ? new Uint8Array(data) : data.toString());
      conn.wakers.splice(0).forEach((wake) => wake());
    });
    connections.push(conn);
    waiting.splice(0).forEach((wake) => wake());
  });
  return {
    server,
    port: server.address().port,
    connections,
    async nextConnection(count) {
      while (connections.length < count) await within(new Promise((r) => waiting.push(r)), `connection ${count}`);
      return connections[count - 1];
    },
    close: () => new Promise((resolve) => {
      for (const c of server.clients) c.terminate();
      server.close(resolve);
    }),
  };
}

async function nextMessage(conn) {
  while (conn.inbox.length === 0) await within(new Promise((r) => conn.wakers.push(r)), 'a message from the client');
  return conn.inbox.shift();
}

function startClient(port, extra = {}) {
  const states = [];
  const client = new LinkClient({
    url: `ws://127.0.0.1:${port}`,
    WebSocket,
    engine: new Engine({ seed: 9, bars: 200 }),
    socketOptions: { origin: 'http://localhost' },
    reconnect: { initialMs: 20, maxMs: 80, factor: 2 },
    onState: (s) => states.push(s),
    ...extra,
  });
  client.start();
  return { client, states };
}

async function untilState(states, state, count = 1) {
  const deadline = Date.now() + STEP_MS;
  while (states.filter((s) => s === state).length < count) {
    if (Date.now() > deadline) throw new Error(`state ${state} #${count} never came: ${states.join(', ')}`);
    await new Promise((r) => setTimeout(r, 5));
  }
}

test('answers requests, refuses what it cannot do and ignores everything else', async (t) => {
  const stand = await standInServer();
  const hellos = [];
  const { client, states } = startClient(stand.port, { onHandshake: (h) => hellos.push(h) });
  t.after(async () => { client.stop(); await stand.close(); });
  const conn = await stand.nextConnection(1);
  assert.equal(conn.origin, 'http://localhost');
  conn.socket.send(HANDSHAKE);
  await untilState(states, LinkState.Connected);
  assert.deepEqual(states, ['connecting', 'connected']);
  assert.deepEqual(hellos, [{ type: 'handshake', python_library_version: '0.1.0' }]);

  conn.socket.send(encodeFrame(FrameKind.Request, 4294967295, 12));
  const answer = parseFrame(await nextMessage(conn));
  assert.deepEqual([answer.version, answer.kind, answer.seq, answer.fnId], [1, FrameKind.Response, 4294967295, 12]);
  assert.equal(decodeVecF64(answer.payload).length, SNAPSHOT.width);

  // None of these gets an answer: the next message is the reply to the request sent after them.
  conn.socket.send('not json');
  conn.socket.send('{"type":"other"}');
  conn.socket.send(encodeFrame(FrameKind.EchoReply, 77, 1, Uint8Array.of(1)));
  conn.socket.send(encodeFrame(FrameKind.Response, 3, 12));
  conn.socket.send(encodeFrame(200, 3, 12));
  conn.socket.send(new Uint8Array(5));
  const wrongVersion = encodeFrame(FrameKind.Request, 8, 12);
  wrongVersion[0] = 2;
  conn.socket.send(wrongVersion);
  conn.socket.send(encodeFrame(FrameKind.Request, 9, 4242));
  const refused = parseFrame(await nextMessage(conn));
  assert.deepEqual([refused.kind, refused.seq, refused.fnId], [FrameKind.ErrorResponse, 9, 4242]);
  assert.deepEqual(decodeErrorBody(refused.payload), { err: 1, sub: 0, message: 'unknown fnId 4242' });

  // A request whose declared length is wrong still gets its refusal under its seq and fnId.
  const bent = encodeFrame(FrameKind.Request, 10, 2, new Uint8Array(4));
  bent[12] = 9;
  conn.socket.send(bent);
  const lengthRefusal = parseFrame(await nextMessage(conn));
  assert.deepEqual([lengthRefusal.kind, lengthRefusal.seq, lengthRefusal.fnId], [FrameKind.ErrorResponse, 10, 2]);
  assert.deepEqual(decodeErrorBody(lengthRefusal.payload), { err: 2, sub: 5, message: 'payload length mismatch: expected 25, got 20' });
  assert.equal(conn.inbox.length, 0);
  assert.deepEqual([client.stats.requests, client.stats.errors], [3, 2]);
});

test('echo requests and pings go out and their replies come back', async (t) => {
  const stand = await standInServer();
  const pongs = [];
  const { client, states } = startClient(stand.port, { onPong: (p) => pongs.push(Array.from(p)) });
  t.after(async () => { client.stop(); await stand.close(); });
  const conn = await stand.nextConnection(1);
  conn.socket.send(HANDSHAKE);
  await untilState(states, LinkState.Connected);

  const pinged = once(conn.socket, 'ping');
  assert.equal(client.ping(Uint8Array.of(7, 8)), true);
  assert.deepEqual(Array.from((await within(pinged, 'the ping'))[0]), [7, 8]);

  const reply = client.echo(Uint8Array.of(0xab, 0xcd), { fnId: 42 });
  const request = parseFrame(await nextMessage(conn));
  assert.deepEqual([request.kind, request.fnId, Array.from(request.payload)], [FrameKind.EchoRequest, 42, [0xab, 0xcd]]);
  conn.socket.send(encodeFrame(FrameKind.EchoReply, request.seq, request.fnId, request.payload));
  assert.deepEqual(Array.from(await within(reply, 'the echo reply')), [0xab, 0xcd]);
  await within((async () => { while (pongs.length === 0) await new Promise((r) => setTimeout(r, 5)); })(), 'the pong');
  assert.deepEqual(pongs, [[7, 8]]);

  // An echo that is never answered fails when the link drops.
  const lost = client.echo(Uint8Array.of(1));
  await nextMessage(conn);
  conn.socket.terminate();
  await assert.rejects(within(lost, 'the lost echo'), /lost: the link closed/);
});

test('a `ws` socket takes the largest message the link carries, under the options given', () => {
  const made = [];
  class Recording extends WebSocket {
    constructor(url, options) { super(url, options); made.push(options); this.terminate(); }
  }
  const client = new LinkClient({ url: 'ws://127.0.0.1:9', WebSocket: Recording, engine: null,
    socketOptions: { origin: 'http://localhost' }, reconnect: false });
  client.start();
  client.stop();
  assert.equal(MAX_MESSAGE_BYTES, 2 ** 32 - 1); // `ws` reads its limit as an unsigned 32-bit number
  assert.deepEqual(made, [{ ...LINK_SOCKET_OPTIONS, origin: 'http://localhost' }]);
  assert.ok(made[0].maxPayload > 100 * 1024 * 1024); // `ws` closed the link above 100 MiB by default
  const browserLike = new LinkClient({ url: 'ws://127.0.0.1:9', WebSocket: globalThis.WebSocket ?? Recording,
    engine: null, socketOptions: null });
  assert.equal(browserLike.socketOptions, null);
});

test('a request of more than 100 MiB reaches the engine over the link', async (t) => {
  const stand = await standInServer();
  const { client, states } = startClient(stand.port);
  t.after(async () => { client.stop(); await stand.close(); });
  const conn = await stand.nextConnection(1);
  conn.socket.send(HANDSHAKE);
  await untilState(states, LinkState.Connected);
  // 2,621,441 bars: one more than the default limit of `ws` let through (init_candles, fnId 100)
  const bars = 100 * 1024 * 1024 / 40 + 1;
  conn.socket.send(encodeFrame(FrameKind.Request, 5, 100, encodeMatF64(bars, 5, new Float64Array(bars * 5))));
  const answer = parseFrame(await nextMessage(conn));
  assert.deepEqual([answer.kind, answer.seq, answer.fnId], [FrameKind.ErrorResponse, 5, 100]);
  assert.equal(client.state, LinkState.Connected);
});

test('a browser-like socket without ping reports that it cannot ping', async (t) => {
  const stand = await standInServer();
  class NoPing extends WebSocket {}
  Object.defineProperty(NoPing.prototype, 'ping', { value: undefined });
  const { client, states } = startClient(stand.port, { WebSocket: NoPing, socketOptions: null });
  t.after(async () => { client.stop(); await stand.close(); });
  const conn = await stand.nextConnection(1);
  assert.equal(conn.origin, undefined);
  conn.socket.send(HANDSHAKE);
  await untilState(states, LinkState.Connected);
  assert.equal(client.ping(), false);
});

test('reconnects with back-off after the link drops, and stops for good', async (t) => {
  const stand = await standInServer();
  const { client, states } = startClient(stand.port);
  t.after(async () => { client.stop(); await stand.close(); });
  const first = await stand.nextConnection(1);
  first.socket.send(HANDSHAKE);
  await untilState(states, LinkState.Connected);
  first.socket.terminate();
  const second = await stand.nextConnection(2);
  second.socket.send(HANDSHAKE);
  await untilState(states, LinkState.Connected, 2);
  assert.deepEqual(states, ['connecting', 'connected', 'disconnected', 'connecting', 'connected']);
  // The new connection is served like the first.
  second.socket.send(encodeFrame(FrameKind.Request, 1, 120));
  assert.deepEqual(Array.from(parseFrame(await nextMessage(second)).payload), [0]);

  client.stop();
  assert.equal(client.state, LinkState.Disconnected);
  await new Promise((r) => setTimeout(r, 200));
  assert.equal(stand.connections.length, 2);
});

test('keeps trying while nothing listens, then connects', async (t) => {
  // The port is found free and closed again, so that nothing listens on it. Node.js cannot hold a port
  // without listening, so another program may take it meanwhile: then the round goes again on a new port.
  for (let attempt = 1; ; attempt++) {
    const probe = await standInServer();
    const port = probe.port;
    await probe.close();
    const { client, states } = startClient(port);
    try {
      await untilState(states, LinkState.Disconnected, 3);
      let stand;
      try {
        stand = await standInServer(port);
      } catch (error) {
        if (error.code !== 'EADDRINUSE' || attempt === 3) throw error;
        continue;
      }
      t.after(() => stand.close());
      const conn = await stand.nextConnection(1);
      conn.socket.send(HANDSHAKE);
      await untilState(states, LinkState.Connected);
      assert.deepEqual(states.slice(0, 6), ['connecting', 'disconnected', 'connecting', 'disconnected', 'connecting', 'disconnected']);
      return;
    } finally {
      client.stop();
    }
  }
});

test('over a real socket, a long answer and the short ones after it all arrive whole', async (t) => {
  const stand = await standInServer();
  const engine = new Engine({ seed: 9, bars: 3000, window: 2500 });
  const { client, states } = startClient(stand.port, { engine });
  t.after(async () => { client.stop(); await stand.close(); });
  const conn = await stand.nextConnection(1);
  conn.socket.send(HANDSHAKE);
  await untilState(states, LinkState.Connected);
  // All requests at once: the answers follow each other into the socket without waiting for reads.
  const asked = [[1, 15], [2, 12], [3, 2], [4, 15], [5, 12]];
  for (const [seq, fnId] of asked) conn.socket.send(encodeFrame(FrameKind.Request, seq, fnId));
  const frames = [];
  for (let i = 0; i < asked.length; i++) frames.push(parseFrame(await nextMessage(conn)));
  assert.deepEqual(frames.map((f) => [f.kind, f.seq, f.fnId]), asked.map(([seq, fnId]) => [FrameKind.Response, seq, fnId]));
  const ohlc = (rows) => encodeFrame(FrameKind.Response, 0, 15, encodeMatF64(rows, 5, engine.series.rows(0, rows))).subarray(16);
  assert.deepEqual(frames[0].payload, ohlc(2500));
  assert.deepEqual(frames[3].payload, ohlc(2501)); // after step_next
  assert.equal(decodeVecF64(frames[1].payload)[SNAPSHOT.bar], 2499);
  assert.equal(decodeVecF64(frames[4].payload)[SNAPSHOT.bar], 2500);
  assert.equal(frames[2].payload.length, 0);
});
