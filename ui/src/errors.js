// The err/sub codes the engine answers a failed request with (sent in an ErrorResponse frame).

export const Err = Object.freeze({
  UnknownFunction: 1,
  BadPayload: 2,
  BadArgument: 3,
  NotFound: 4,
  BadState: 5,
  Internal: 6,
});

// Sub-codes, grouped by err code. BadPayload's sub-codes 1-3 are the codec's own (protocol.js).
export const Sub = Object.freeze({
  None: 0,
  // BadPayload
  TooShort: 1,
  LengthMismatch: 2,
  MissingMatrixHeader: 3,
  NotEmpty: 4,
  FrameLength: 5,
  // BadArgument
  VectorLength: 1,
  FormatMarker: 2,
  FlagValue: 3,
  NumberValue: 4,
  CandleShape: 5,
  CandleValue: 6,
  CloseAction: 7,
  CloseRatio: 8,
  DuplicateId: 9,
  EpisodeType: 10,
  // NotFound
  UnknownId: 1,
  EpisodeIndex: 2,
  // BadState
  EpisodeOver: 1,
  SessionEnded: 2,
  NoEpisodes: 3,
  NotAPosition: 4,
});

// A request the engine refuses: becomes one ErrorResponse and changes nothing in the engine.
export class EngineFault extends Error {
  constructor(err, sub, message) {
    super(message);
    this.name = 'EngineFault';
    this.err = err;
    this.sub = sub;
  }
}

export function fault(err, sub, message) {
  return new EngineFault(err, sub, message);
}
