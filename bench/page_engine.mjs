#!/usr/bin/env node
// The page's engine alone, without a link: replays the calls a trainer's random-action loop makes
// (close and ticket calls as the position needs them, step_and_sync every step, a reset with its
// snapshot and window at every episode's end) and prints the engine's CPU time per call by method and
// one digest of every answer's bytes. The digest must not change when the engine's hot path does: it is
// how "the same answers to the bit" is checked without a module.
//
//   node bench/page_engine.mjs [--steps 20000] [--seed 1] [--series regime] [--json]

import { createHash } from 'node:crypto';
import { parseArgs } from 'node:util';
import { Engine, FN_NAMES, FnId } from '../ui/src/engine.js';
import { encodeCloseStep, encodeVecF64 } from '../ui/src/protocol.js';
import { mulberry32 } from '../ui/src/prng.js';
import { Answer } from '../ui/src/answer.js';

const { values } = parseArgs({
  options: {
    steps: { type: 'string', default: '20000' },
    seed: { type: 'string', default: '1' },
    series: { type: 'string', default: 'regime' },
    json: { type: 'boolean', default: false },
  },
});
const steps = Number(values.steps);
const engine = new Engine({ seed: 7, bars: 8000, series: values.series, episodeLength: 128 });
const draw = mulberry32(Number(values.seed));
const digest = createHash('sha256');
const perMethod = new Map();

// The link's own path: every answer written into one reused buffer, digested as it would be sent.
const answer = new Answer();
function request(fnId, payload = new Uint8Array(0)) {
  const started = process.cpuUsage();
  const outcome = engine.respond(fnId, payload, answer);
  const used = process.cpuUsage(started);
  const entry = perMethod.get(fnId) ?? { calls: 0, us: 0 };
  entry.calls += 1;
  entry.us += used.user + used.system;
  perMethod.set(fnId, entry);
  if (!outcome.ok) throw new Error(`${FN_NAMES[fnId]} refused: ${outcome.message}`);
  digest.update(new Uint8Array([fnId & 0xff]));
  digest.update(outcome.payload);
  return outcome.payload;
}

const ticket = (buy) => encodeVecF64([1, 0, 0, 0, buy ? 1 : 0, 10, 0, 0, 0]);
const resetPayload = (index) => Uint8Array.of(index & 0xff, (index >> 8) & 0xff, 0, 0, 0);
const config = JSON.parse(new TextDecoder().decode(request(FnId.GetRlConfig)));
let episode = 0;
let openId = null;
let position = 0;

function reset() {
  request(FnId.ResetEpisode, resetPayload(episode % config.train_episodes));
  episode += 1;
  request(FnId.GetSnapshot);
  request(FnId.GetOhlc);
  openId = null;
  position = 0;
}

reset();
const wall = process.hrtime.bigint();
for (let i = 0; i < steps; i++) {
  const wanted = [null, 1, -1, 0][Math.floor(draw() * 4)];
  if (wanted !== null && wanted !== position) {
    if (openId !== null) request(FnId.ClosePositions, encodeCloseStep([openId], [1], [0]));
    openId = null;
    position = 0;
    if (wanted !== 0) {
      const receipt = request(FnId.PlaceTicket, ticket(wanted > 0));
      openId = new DataView(receipt.buffer, receipt.byteOffset).getFloat64(4, true);
      position = wanted;
    }
  }
  const answered = request(FnId.StepAndSync);
  const done = new DataView(answered.buffer, answered.byteOffset).getFloat64(4 + 8 * 12, true);
  if (i % 500 === 0) {
    request(FnId.GetTicketList);
    request(FnId.FetchEvents);
  }
  if (done === 1) {
    request(FnId.EndSession);
    reset();
  }
}
const wallMs = Number(process.hrtime.bigint() - wall) / 1e6;

const rows = [...perMethod].map(([fnId, { calls, us }]) => ({ method: FN_NAMES[fnId], calls, us_per_call: us / calls }));
const calls = rows.reduce((sum, r) => sum + r.calls, 0);
const result = { steps, calls, wall_ms: wallMs, us_per_call: (wallMs * 1000) / calls, digest: digest.digest('hex'), methods: rows };
if (values.json) {
  console.log(JSON.stringify(result));
} else {
  for (const r of rows) console.log(`${r.method.padEnd(16)} ${String(r.calls).padStart(7)} calls ${r.us_per_call.toFixed(2).padStart(8)} us`);
  console.log(`${calls} calls in ${wallMs.toFixed(0)} ms: ${result.us_per_call.toFixed(2)} us per call; answers ${result.digest}`);
}
