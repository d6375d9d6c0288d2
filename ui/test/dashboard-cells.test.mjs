// What an environment's card says: the running episode's step while it runs, the last finished episode
// (its number and return) between a reset and the first step, never a reset's zeros; and the cards, made
// once and updated in place.

import test from 'node:test';
import assert from 'node:assert/strict';
import { CardGrid, cardText } from '../src/dashboard-cells.js';

const reset = { type: 'train', index: 4, step: 0, return_pct: 0, episodes: 12, steps_per_second: 900,
  actions: [], rewards: [], curve: [0] };
const lastEpisode = { n: 12, return_pct: 1.23, steps: 64 };

for (const [what, train, step, figuresStart] of [
  ['just reset, with a last episode', { ...reset, last_episode: lastEpisode }, 'episode 12 · return 1.230 %', 'train #4'],
  ['running', { ...reset, step: 37, return_pct: -0.5, last_episode: lastEpisode }, 'step 37', 'return -0.500 % · train #4'],
  ['before any episode ended', { ...reset }, 'step 0', 'train #4'],
  ['no figures yet', null, 'step 0', '- #-'],
  ['a last episode without a return', { ...reset, last_episode: { n: 3, return_pct: null } }, 'episode 3 · return - %', 'train'],
]) {
  test(`a card ${what}`, () => {
    const text = cardText({ env: 2, label: 'env 2', closed: false, train });
    assert.equal(text.step, step);
    assert.ok(text.figures.startsWith(figuresStart), text.figures);
    if (train?.last_episode) assert.doesNotMatch(`${text.step} ${text.figures}`, /return 0\.000 %/);
    assert.equal(text.lastEpisode, train?.last_episode?.n === 12 ? 'last finished: episode 12 · return 1.230 % · 64 steps'
      : train?.last_episode ? 'last finished: episode 3 · return - %' : 'no episode finished yet');
  });
}

test('labels and action names stay text, and the last six actions go with their rewards', () => {
  const actions = ['a', 'b', 'c', 'd', 'e', 'f', 'g', '<img src=x onerror=alert(1)>'];
  const text = cardText({ env: 1, label: '<script>alert(1)</script>', closed: true,
    train: { step: 8, actions, rewards: [1, 2, 3, 4, 5, 6, 7, 8] } });
  assert.equal(text.title, '<script>alert(1)</script> (closed)');
  assert.equal(text.last, 'c 3.000 · d 4.000 · e 5.000 · f 6.000 · g 7.000 · <img src=x onerror=alert(1)> 8.000');
  assert.equal(cardText({ env: 0, train: { step: 0 } }).last, 'no step yet');
});

// A document just large enough for the cards: elements with text, classes, data and listeners.
function fakeDocument() {
  const make = (tag) => {
    const node = {
      tag, children: [], dataset: {}, className: '', textContent: '', title: '', listeners: {}, parent: null,
      classList: { set: new Set(), toggle(name, on) { if (on) this.set.add(name); else this.set.delete(name); },
        contains(name) { return this.set.has(name); } },
      ownerDocument: null,
      append(...nodes) { for (const n of nodes) { n.parent = node; node.children.push(n); } },
      remove() { node.parent.children = node.parent.children.filter((n) => n !== node); },
      addEventListener(type, fn) { node.listeners[type] = fn; },
      getContext: () => new Proxy({}, { get: () => () => {} }),
    };
    return node;
  };
  const doc = { createElement: make };
  const grid = make('div');
  grid.ownerDocument = doc;
  return grid;
}

test('cards are made once and updated in place; a click selects the environment by its number', () => {
  const grid = fakeDocument();
  const chosen = [];
  const cards = new CardGrid(grid, (env) => chosen.push(env));
  const envs = (step) => [0, 1, 2].map((env) => ({ env, label: `<b>env ${env}</b>`, closed: env === 2,
    train: { ...reset, step, last_episode: lastEpisode } }));
  cards.update(envs(0), 1);
  const first = grid.children.slice();
  assert.deepEqual(first.map((cell) => cell.dataset.env), ['0', '1', '2']);
  const stepOf = (cell) => cell.children.find((c) => c.className === 'card-step').textContent;
  assert.equal(stepOf(first[0]), 'episode 12 · return 1.230 %');
  cards.update(envs(5), 1);
  assert.ok(grid.children.every((cell, i) => cell === first[i]), 'the same elements');
  assert.equal(stepOf(first[0]), 'step 5');
  assert.equal(first[1].children[0].textContent, '<b>env 1</b>'); // as text
  assert.ok(first[1].classList.contains('chosen') && first[2].classList.contains('closed'));
  first[2].listeners.click();
  assert.deepEqual(chosen, [2]);
  cards.update(envs(6).slice(0, 2), 0);
  assert.equal(grid.children.length, 2);
});
