// What a new event stream sends again: on connecting (the page reconnects whenever another environment's
// candles are chosen) the hub sends every episode and logged value it keeps, which ends with those the
// page already took. The page remembers the last entry it took and, in the first list after a reconnect,
// takes only what follows it; when that entry is no longer among them (the hub forgot it), all are new.
// Equal entries that really happened twice (two environments, two processes) are both kept.

export class StreamReplay {
  // keyOf(entry): a text that tells one entry from another (its fields).
  constructor(keyOf) {
    this.keyOf = keyOf;
    this.lastKey = null;
    this.replaying = false;
  }

  // A new stream starts: its first list repeats what was taken.
  reconnected() {
    this.replaying = this.lastKey !== null;
  }

  forget() {
    this.lastKey = null;
    this.replaying = false;
  }

  // The entries of `list` (an array, in the order they happened) that were not taken before.
  fresh(list) {
    let from = 0;
    if (this.replaying) {
      this.replaying = false;
      for (let i = list.length - 1; i >= 0; i--) {
        if (this.keyOf(list[i]) === this.lastKey) {
          from = i + 1;
          break;
        }
      }
    }
    if (list.length > from) this.lastKey = this.keyOf(list[list.length - 1]);
    return from === 0 ? list : list.slice(from);
  }
}

const field = (entry, name) => (entry !== null && typeof entry === 'object' ? entry[name] : undefined);
export const episodeKey = (e) => JSON.stringify([field(e, 'env'), field(e, 'n'), field(e, 'wall'), field(e, 'return_pct')]);
export const scalarKey = (s) => JSON.stringify([field(s, 'name'), field(s, 'step'), field(s, 'wall'), field(s, 'value')]);
