// One card of the training dashboard's grid per environment: its label, the running episode's step and
// return (or, between a reset and the first step, the last finished episode's number and return, never a
// reset's zeros), the last finished episode, a small curve of the running return, the last actions and
// rewards, and its steps per second. The cards are made once and their texts updated, so a click between two updates is never lost.
// Every text from the trainer (labels, action names) goes in as text, never as markup.

const fixed = (value, digits) => (Number.isFinite(value) ? value.toFixed(digits) : '-');

// What a card says, from one environment's entry ({ env, label, closed, train }).
export function cardText(env) {
  const t = env.train ?? {};
  const last = t.last_episode;
  let step;
  let running = '';
  if (Number.isFinite(t.step) && t.step > 0) {
    step = `step ${t.step}`;
    running = `return ${fixed(t.return_pct, 3)} % · `;
  } else if (last && Number.isFinite(last.n)) {
    step = `episode ${last.n} · return ${fixed(last.return_pct, 3)} %`;
  } else {
    step = `step ${Number.isFinite(t.step) ? t.step : 0}`;
  }
  const actions = Array.isArray(t.actions) ? t.actions : [];
  const rewards = Array.isArray(t.rewards) ? t.rewards : [];
  return {
    title: `${env.label ?? `env ${env.env ?? ''}`}${env.closed ? ' (closed)' : ''}`,
    step,
    lastEpisode: last && Number.isFinite(last.n)
      ? `last finished: episode ${last.n} · return ${fixed(last.return_pct, 3)} %${Number.isFinite(last.steps) ? ` · ${last.steps} steps` : ''}`
      : 'no episode finished yet',
    figures: `${running}${t.type ?? '-'} #${t.index ?? '-'} · ${t.episodes ?? 0} episodes · ${fixed(t.steps_per_second, 0)} steps/s`
      + (Number.isFinite(t.env_steps) ? ` · ${t.env_steps} steps in all` : ''),
    last: actions.length
      ? actions.slice(-6).map((a, k, shown) => `${a} ${fixed(rewards[rewards.length - shown.length + k], 3)}`).join(' · ')
      : 'no step yet',
  };
}

// The running return's small curve on a canvas of its own, redrawn in place.
function drawSparkline(canvas, values) {
  const ctx = canvas.getContext('2d');
  const { width, height } = canvas;
  ctx.clearRect(0, 0, width, height);
  let lo = 0;
  let hi = 0;
  let count = 0;
  let lastValue = 0;
  for (const v of values) {
    if (!Number.isFinite(v)) continue;
    if (v < lo) lo = v;
    if (v > hi) hi = v;
    count += 1;
    lastValue = v;
  }
  if (count < 2) return;
  const span = hi - lo || 1;
  const y = (v) => height - 2 - ((v - lo) / span) * (height - 4);
  ctx.strokeStyle = '#55606d';
  ctx.beginPath();
  ctx.moveTo(0, Math.round(y(0)) + 0.5);
  ctx.lineTo(width, Math.round(y(0)) + 0.5);
  ctx.stroke();
  ctx.strokeStyle = lastValue >= 0 ? '#2fbf71' : '#e5484d';
  ctx.beginPath();
  let i = 0;
  for (const v of values) {
    if (!Number.isFinite(v)) continue;
    const x = (i / (count - 1)) * width;
    if (i === 0) ctx.moveTo(x, y(v)); else ctx.lineTo(x, y(v));
    i += 1;
  }
  ctx.stroke();
}

export class CardGrid {
  constructor(grid, select) {
    this.grid = grid;
    this.select = select;
    this.cards = [];
  }

  // A new card at the end of the grid; its environment's number is set by `update`.
  #make() {
    const doc = this.grid.ownerDocument;
    const el = (tag, className) => {
      const node = doc.createElement(tag);
      if (className) node.className = className;
      return node;
    };
    const card = { cell: el('section', 'cell'), head: el('h3'), step: el('div', 'card-step'), figures: el('div', 'figures'),
      lastEpisode: el('div', 'figures card-last-episode'), curve: el('canvas'), last: el('div', 'last'), curveKey: '' };
    card.curve.width = 220;
    card.curve.height = 36;
    card.last.title = 'the last actions and their rewards (% of the initial balance), the newest last';
    card.cell.append(card.head, card.step, card.figures, card.lastEpisode, card.curve, card.last);
    card.cell.addEventListener('click', () => this.select(Number(card.cell.dataset.env)));
    this.grid.append(card.cell);
    return card;
  }

  update(envs, chosen) {
    while (this.cards.length < envs.length) this.cards.push(this.#make());
    while (this.cards.length > envs.length) this.cards.pop().cell.remove();
    envs.forEach((env, i) => {
      const card = this.cards[i];
      const text = cardText(env);
      const number = String(env.env ?? i);
      if (card.cell.dataset.env !== number) card.cell.dataset.env = number;
      for (const part of ['head', 'step', 'figures', 'lastEpisode', 'last']) {
        const value = part === 'head' ? text.title : text[part];
        if (card[part].textContent !== value) card[part].textContent = value;
      }
      card.cell.classList.toggle('chosen', (env.env ?? i) === chosen);
      card.cell.classList.toggle('closed', Boolean(env.closed));
      const curve = Array.isArray(env.train?.curve) ? env.train.curve : [];
      const key = `${curve.length}:${curve[curve.length - 1]}:${env.train?.index}:${env.train?.step}`;
      if (key !== card.curveKey) {
        card.curveKey = key;
        drawSparkline(card.curve, curve);
      }
    });
  }
}
