// Past runs: the list from GET /runs checked, and the selected runs drawn side by side from GET /run,
// one line per run in every chart (returns and each logged name), taken off again when unselected.

import test from 'node:test';
import assert from 'node:assert/strict';
import { RunBrowser, describeRun, readRunList, seriesOfRun, thinnedNumbers } from '../src/run-browser.js';
import { recordingCanvas } from '../test-support/canvas.mjs';

const RUNS = { runs: [
  { name: '2026-12-08T06-01-02-ppo', config: { lr: 3e-4 }, episodes: 3, scalars: ['loss'] },
  { name: 'dqn <b>', config: {}, episodes: 2, scalars: ['loss', 'epsilon'] },
] };

function runAnswer(name) {
  const episodes = [1, 2, 3].map((n) => ({ env: 0, n, type: n === 3 ? 'test' : 'train', return_pct: n, env_steps: 64 * n, wall: n }));
  const scalars = [{ name: 'loss', step: 10, wall: 1, value: 0.5 }, { name: 'loss', step: 20, wall: 2, value: 0.25 }];
  if (name.startsWith('dqn')) scalars.push({ name: 'epsilon', step: 10, wall: 1, value: 0.9 });
  return { name, config: {}, episodes, scalars };
}

function browser(answers = {}) {
  const asked = [];
  const canvases = [];
  const runs = new RunBrowser({
    token: 't&k',
    fetchJson: async (url) => {
      asked.push(url);
      if (url.startsWith('runs?')) return answers.runs ?? RUNS;
      const name = new URLSearchParams(url.split('?')[1]).get('name');
      return answers[name] ?? runAnswer(name);
    },
    makeCanvas: (kind, name) => {
      canvases.push(`${kind}:${name}`);
      return recordingCanvas(500, 140).canvas;
    },
  });
  return { runs, asked, canvases };
}

test('the list is read and described; a malformed list is refused with its reason', () => {
  const list = readRunList(RUNS);
  assert.deepEqual(list.map(describeRun), ['2026-12-08T06-01-02-ppo · 3 episodes · loss', 'dqn <b> · 2 episodes · loss, epsilon']);
  for (const [answer, why] of [[{}, /not \{"runs": \[\.\.\.\]\}/], [null, /not \{"runs"/], [{ runs: [{ name: 'a' }, {}] }, /run 1 of the list has no name/],
    [{ runs: [{ name: '' }] }, /run 0 of the list has no name/]]) {
    assert.throws(() => readRunList(answer), why);
  }
  assert.equal(describeRun(readRunList({ runs: [{ name: 'x' }] })[0]), 'x · episodes unknown');
  assert.throws(() => seriesOfRun({ episodes: [] }, 'x'), /run x: the answer has no episodes and scalars lists/);
});

test('selected runs are overlaid, one line each with the run name as its legend, and unselected again', async () => {
  const { runs, asked, canvases } = browser();
  await runs.list();
  assert.deepEqual(asked, ['runs?token=t%26k']);
  assert.equal(await runs.toggle('2026-12-08T06-01-02-ppo'), true);
  assert.equal(await runs.toggle('dqn <b>'), true);
  assert.equal(asked[2], 'run?token=t%26k&name=dqn%20%3Cb%3E');
  assert.deepEqual(canvases, ['returns:train', 'returns:test', 'returns:sharpe', 'returns:drawdown', 'scalar:loss',
    'scalar:epsilon']);
  const view = { xAxis: 'steps', smoothing: { kind: 'none', width: 1 } };
  assert.equal(runs.draw(view), 6);
  assert.equal(runs.charts.drawdown.drawn.lines, 2);
  assert.deepEqual(runs.charts.train.lines.map((l) => l.label), ['2026-12-08T06-01-02-ppo', 'dqn <b>']);
  assert.equal(runs.charts.train.drawn.points, 4); // 2 train episodes a run
  assert.equal(runs.scalarCharts.loss.drawn.lines, 2);
  assert.equal(runs.scalarCharts.epsilon.drawn.lines, 1);
  assert.notEqual(runs.charts.train.lines[0].color, runs.charts.train.lines[1].color);
  assert.equal(await runs.toggle('2026-12-08T06-01-02-ppo'), false);
  runs.draw(view);
  assert.deepEqual(runs.scalarCharts.loss.lines.map((l) => l.label), ['dqn <b>']);
  assert.equal(runs.charts.train.drawn.points, 2);
  assert.equal(asked.length, 3); // taking a run off asks nothing
});

test('a run whose answer is malformed is not shown', async () => {
  const { runs } = browser({ broken: { name: 'broken', episodes: 'none' } });
  await runs.list();
  await assert.rejects(runs.toggle('broken'), /run broken: the answer has no episodes and scalars lists/);
  assert.equal(runs.loaded.size, 0);
});

test('a thinned run keeps its episodes\' numbers: the hub keeps them evenly, the first and the last', () => {
  // What the hub does: indices round(i (total - 1) / (sent - 1)) of 0..total-1.
  const total = 30_001;
  const sent = 20_000;
  const step = (total - 1) / (sent - 1);
  const kept = Array.from({ length: sent }, (_, i) => Math.round(i * step));
  const numberOf = thinnedNumbers(sent, total);
  assert.ok(kept.every((index, k) => numberOf(k) === index + 1));
  assert.deepEqual([numberOf(0), numberOf(sent - 1)], [1, total]);
  // Python's round takes a half to the even neighbour: [round(i * 4.5) for i in range(3)] == [0, 4, 9].
  assert.deepEqual([0, 1, 2].map(thinnedNumbers(3, 10)), [1, 5, 10]);
  assert.deepEqual([0, 1, 2, 3, 4].map(thinnedNumbers(5, 7)), [1, 3, 4, 5, 7]); // round(i * 1.5): 0 2 3 4 6
  assert.equal(thinnedNumbers(5, 5)(4), 5); // nothing thinned
  assert.equal(thinnedNumbers(5, null)(4), 5);
  const run = seriesOfRun({ episodes: [{ return_pct: 1 }, { return_pct: 2 }, { return_pct: 3 }], scalars: [] }, 'x', 101);
  assert.deepEqual([run.history.train.firstX(0), run.history.train.x(1, 0), run.history.train.lastX(0)], [1, 51, 101]);
});
