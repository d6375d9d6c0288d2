// A reconnected event stream repeats what the hub keeps: the page takes only what follows the last entry
// it took, all of it when the hub forgot that entry, and entries that really happened twice both times.

import test from 'node:test';
import assert from 'node:assert/strict';
import { StreamReplay, episodeKey, scalarKey } from '../src/stream-replay.js';

const episode = (env, n, wall) => ({ env, n, wall, return_pct: n / 10 });

test('after a reconnect only what follows the last entry taken is fresh', () => {
  const replay = new StreamReplay(episodeKey);
  const first = [episode(0, 1, 1), episode(1, 1, 1.5), episode(0, 2, 2)];
  assert.deepEqual(replay.fresh(first), first); // the first stream: everything
  assert.deepEqual(replay.fresh([episode(1, 2, 3)]), [episode(1, 2, 3)]);
  replay.reconnected();
  const again = [...first, episode(1, 2, 3), episode(0, 3, 4)];
  assert.deepEqual(replay.fresh(again), [episode(0, 3, 4)]);
  assert.deepEqual(replay.fresh([episode(0, 3, 4)]), [episode(0, 3, 4)]); // not a replay any more: taken
  replay.reconnected();
  assert.deepEqual(replay.fresh([episode(0, 3, 4)]), []); // nothing new since
});

test('when the hub forgot the last entry taken, everything it sends is new', () => {
  const replay = new StreamReplay(episodeKey);
  replay.fresh([episode(0, 1, 1)]);
  replay.reconnected();
  const later = [episode(0, 5, 9), episode(0, 6, 10)];
  assert.deepEqual(replay.fresh(later), later);
  replay.forget(); // another run: its own entries
  replay.reconnected();
  assert.deepEqual(replay.fresh(later), later);
});

test('equal values logged twice are both taken; the last of them marks the place', () => {
  const replay = new StreamReplay(scalarKey);
  const loss = (step, value) => ({ name: 'loss', step, wall: 1, value });
  const list = [loss(1, 0.5), loss(1, 0.5), loss(2, 0.4)];
  assert.equal(replay.fresh(list).length, 3);
  replay.reconnected();
  assert.deepEqual(replay.fresh([...list, loss(2, 0.4)]), []); // the last occurrence of the marker: nothing after
  replay.reconnected();
  assert.deepEqual(replay.fresh([null, ...list, loss(3, 0.3)]), [loss(3, 0.3)]);
});
