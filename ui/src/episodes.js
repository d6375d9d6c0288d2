// How a candle series is cut into train, validation and test episodes, and which bars one session covers.

export const EpisodeType = Object.freeze({ Series: -1, Train: 0, Test: 1 });
export const TRAIN_STARTS = Object.freeze(['grid', 'any']);

// The series is split once, in time order: the train range first, then the validation range (none by
// default), then the test range: the last `testBars` bars (default: the last `testShare` of them). Each
// held-out range (validation, test) holds as many whole episodes as fit, side by side and never
// overlapping. Train episodes are laid out the same way with `trainStarts` 'grid' (the default); with
// 'any' a train episode may start on any bar of the train range (episode i starts on its bar i), so the
// train episodes overlap each other but never reach into a held-out range. An episode spans
// `window + length` bars: the first `window` bars are history (the first observation's window ends on the
// last of them), then `length` steps. When the series is too short for the configured length, the
// length shrinks so that one episode fits in each range; when even one step cannot fit, there are no
// episodes.
//
// The protocol knows two episode types: validation episodes are test episodes (type 1) whose indices
// follow those of the test range, from `test.episodes` on.
//
// With `walkForward`, each held-out range has one more test-type episode that walks the whole range in
// one pass: its cursor starts on the range's first bar and ends on its last, and its first window is
// history taken from the `window - 1` bars before the range (train or validation bars, read as history
// only). They take the indices after the validation episodes: `walkForward.test`, then
// `walkForward.validation` (null when that range is absent, or too short or too early for a pass). The
// other episodes stay exactly where they are; without `walkForward` the layout is as it always was.
export function layoutEpisodes(bars, { window, episodeLength, testShare, testBars = null, validationBars = 0,
  trainStarts = 'grid', walkForward = false }) {
  const test = Math.min(bars, testBars ?? Math.floor(bars * testShare));
  const validation = Math.min(bars - test, validationBars);
  const trainBars = Math.max(0, bars - test - validation);
  const fits = [episodeLength, trainBars - window, test - window];
  if (validation > 0) fits.push(validation - window);
  const length = Math.max(0, Math.min(...fits));
  const span = window + length;
  const count = (rangeBars) => (length >= 1 ? Math.floor(rangeBars / span) : 0);
  const trainCount = trainStarts === 'any' && length >= 1 ? Math.max(0, trainBars - span + 1) : count(trainBars);
  const layout = {
    window,
    length,
    span,
    trainStarts,
    train: { first: 0, bars: trainBars, episodes: trainCount },
    validation: { first: trainBars, bars: validation, episodes: validation > 0 ? count(validation) : 0 },
    test: { first: bars - test, bars: test, episodes: count(test) },
  };
  if (walkForward) layout.walkForward = walkForwardPasses(layout);
  return layout;
}

// The indices of the walk-forward passes: one per held-out range that has a step to take (two bars or
// more) and the `window - 1` bars of history before it.
function walkForwardPasses({ window, test, validation }) {
  const fits = (range) => range.bars >= 2 && range.first >= window - 1;
  let next = test.episodes + validation.episodes;
  const testPass = fits(test) ? next++ : null;
  return { test: testPass, validation: fits(validation) ? next : null };
}

// The range a walk-forward pass of `index` walks, or null when the index names no pass.
function walkForwardRange(layout, index) {
  const passes = layout.walkForward;
  if (passes === undefined) return null;
  if (index === passes.test) return layout.test;
  if (index === passes.validation) return layout.validation;
  return null;
}

// Bars of one session: `firstBar` is the bar the cursor starts on, `lastBar` the one it ends on.
export function episodeBars(layout, type, index) {
  const range = type === EpisodeType.Test ? walkForwardRange(layout, index) : null;
  if (range !== null) {
    return { startBar: range.first - layout.window + 1, firstBar: range.first, lastBar: range.first + range.bars - 1 };
  }
  let start;
  if (type !== EpisodeType.Test) {
    start = layout.train.first + index * (layout.trainStarts === 'any' ? 1 : layout.span);
  } else if (index < layout.test.episodes) {
    start = layout.test.first + index * layout.span;
  } else {
    start = layout.validation.first + (index - layout.test.episodes) * layout.span;
  }
  return { startBar: start, firstBar: start + layout.window - 1, lastBar: start + layout.span - 1 };
}

// The session that runs before any reset_episode: the whole series, starting once a full window exists.
export function seriesBars(bars, window) {
  return { startBar: 0, firstBar: Math.min(window, bars) - 1, lastBar: bars - 1 };
}
