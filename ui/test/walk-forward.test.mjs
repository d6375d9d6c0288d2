// The walk-forward passes: one test-type episode per held-out range that walks all of it, its first
// window taken from the bars before the range; without the option the layout is as it always was.

import test from 'node:test';
import assert from 'node:assert/strict';
import { Engine } from '../src/engine.js';
import { SNAPSHOT } from '../src/columns.js';
import { episodeBars, EpisodeType, layoutEpisodes } from '../src/episodes.js';
import { call, mat, ok, refused, vec } from '../test-support/requests.mjs';

function config(engine) {
  return JSON.parse(new TextDecoder().decode(ok(call(engine, 'get_rl_config'))));
}

const TASK = { bars: 1000, window: 10, episodeLength: 40, testBars: 200, validationBars: 100 };

test('without the option the layout, the episodes and the configuration are those of before', () => {
  const before = layoutEpisodes(1000, { window: 10, episodeLength: 40, testShare: 0.2, testBars: 200, validationBars: 100 });
  assert.equal('walkForward' in before, false);
  const plain = new Engine(TASK);
  const off = new Engine({ ...TASK, walkForward: false });
  assert.deepEqual(ok(call(off, 'get_rl_config')), ok(call(plain, 'get_rl_config')));
  assert.equal('walk_forward_episodes' in config(plain), false);
  refused(call(plain, 'reset_episode', 6, 'test'), 4, 2, 'test episode index 6 out of range (4 test and 2 validation episodes)');
});

test('a pass walks the whole held-out range: its cursor from the first bar to the last, history from before', () => {
  const engine = new Engine({ ...TASK, walkForward: true });
  const c = config(engine);
  // The other episodes stay where they were.
  assert.deepEqual([c.train_episodes, c.validation_episodes, c.test_episodes, c.episode_length], [14, 2, 4, 40]);
  assert.deepEqual(c.walk_forward_episodes, { test: 6, validation: 7 });
  for (const [index, first, last] of [[6, 800, 999], [7, 700, 799]]) {
    ok(call(engine, 'reset_episode', index, 'test'));
    let snapshot = vec(call(engine, 'get_snapshot'));
    assert.deepEqual([snapshot[SNAPSHOT.bar], snapshot[SNAPSHOT.steps_left], snapshot[SNAPSHOT.episode_index]],
      [first, last - first, index]);
    // The first window ends on the range's first bar: its 9 bars of history lie before the range.
    assert.equal(mat(call(engine, 'get_ohlc')).length, 10);
    for (let s = 0; s < last - first; s++) ok(call(engine, 'step_next'));
    snapshot = vec(call(engine, 'get_snapshot'));
    assert.deepEqual([snapshot[SNAPSHOT.bar], snapshot[SNAPSHOT.done]], [last, 1]);
    refused(call(engine, 'step_next'), 5, 1, `the episode is over after ${last - first} steps: call end_session or reset_episode`);
  }
  refused(call(engine, 'reset_episode', 8, 'test'), 4, 2,
    'test episode index 8 out of range (4 test and 2 validation episodes and 2 walk-forward passes)');
  // The episodes of before are untouched.
  ok(call(engine, 'reset_episode', 4, 'test'));
  assert.equal(vec(call(engine, 'get_snapshot'))[SNAPSHOT.bar], 709);
});

test('a pass needs a step and window - 1 bars of history before its range; no train episode reaches a held-out bar', () => {
  // No validation range: one pass, index after the test episodes.
  let layout = layoutEpisodes(300, { window: 8, episodeLength: 20, testShare: 0.2, walkForward: true });
  assert.deepEqual(layout.walkForward, { test: layout.test.episodes, validation: null });
  assert.deepEqual(episodeBars(layout, EpisodeType.Test, layout.test.episodes), { startBar: 233, firstBar: 240, lastBar: 299 });
  // A validation range that starts before a full window of history has no pass; the test range has one.
  layout = layoutEpisodes(100, { window: 8, episodeLength: 20, testShare: 0.2, testBars: 50, validationBars: 45,
    walkForward: true });
  assert.deepEqual([layout.validation.first, layout.walkForward], [5, { test: layout.test.episodes + layout.validation.episodes, validation: null }]);
  // Train episodes, on a grid or from any bar, end before the first held-out bar either way.
  for (const trainStarts of ['grid', 'any']) {
    layout = layoutEpisodes(500, { window: 8, episodeLength: 20, testShare: 0.2, validationBars: 60, trainStarts,
      walkForward: true });
    for (let i = 0; i < layout.train.episodes; i++) {
      assert.ok(episodeBars(layout, EpisodeType.Train, i).lastBar < layout.validation.first, `${trainStarts} ${i}`);
    }
  }
  assert.throws(() => new Engine({ walkForward: 1 }), /walkForward must be true or false/);
});
