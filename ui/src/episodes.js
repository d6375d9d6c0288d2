// How a candle series is cut into train and test episodes, and which bars one session covers.

export const EpisodeType = Object.freeze({ Series: -1, Train: 0, Test: 1 });

// The series is split once: the first bars are the train range, the last `testShare` of them the test
// range. Each range holds as many whole episodes as fit, side by side and never overlapping, so train
// and test episodes never share a bar. An episode spans `window + length` bars: the first `window`
// bars are history (the first observation's window ends on the last of them), then `length` steps.
// When the series is too short for the configured length, the length shrinks so that one episode
// fits in each range; when even one step cannot fit, there are no episodes.
export function layoutEpisodes(bars, { window, episodeLength, testShare }) {
  const testBars = Math.floor(bars * testShare);
  const trainBars = bars - testBars;
  const length = Math.max(0, Math.min(episodeLength, trainBars - window, testBars - window));
  const span = window + length;
  const count = (rangeBars) => (length >= 1 ? Math.floor(rangeBars / span) : 0);
  return {
    window,
    length,
    span,
    train: { first: 0, bars: trainBars, episodes: count(trainBars) },
    test: { first: trainBars, bars: testBars, episodes: count(testBars) },
  };
}

// Bars of one session: `firstBar` is the bar the cursor starts on, `lastBar` the one it ends on.
export function episodeBars(layout, type, index) {
  const range = type === EpisodeType.Test ? layout.test : layout.train;
  const start = range.first + index * layout.span;
  return { startBar: start, firstBar: start + layout.window - 1, lastBar: start + layout.span - 1 };
}

// The session that runs before any reset_episode: the whole series, starting once a full window exists.
export function seriesBars(bars, window) {
  return { startBar: 0, firstBar: Math.min(window, bars) - 1, lastBar: bars - 1 };
}
