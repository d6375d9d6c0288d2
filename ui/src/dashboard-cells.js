// One cell of the training dashboard's grid per environment: its episode and step, the running return
// with a small curve, the last actions and rewards, and its steps per second. Built from the figures the
// trainer sends (`train` events); `select(i)` is called when a cell is clicked.

function sparkline(values, width = 220, height = 36) {
  const canvas = document.createElement('canvas');
  canvas.width = width;
  canvas.height = height;
  const ctx = canvas.getContext('2d');
  const finite = values.filter(Number.isFinite);
  if (finite.length < 2) return canvas;
  const lo = Math.min(0, ...finite);
  const hi = Math.max(0, ...finite);
  const span = hi - lo || 1;
  const y = (v) => height - 2 - ((v - lo) / span) * (height - 4);
  ctx.strokeStyle = '#55606d';
  ctx.beginPath();
  ctx.moveTo(0, Math.round(y(0)) + 0.5);
  ctx.lineTo(width, Math.round(y(0)) + 0.5);
  ctx.stroke();
  ctx.strokeStyle = finite[finite.length - 1] >= 0 ? '#2fbf71' : '#e5484d';
  ctx.beginPath();
  finite.forEach((v, i) => {
    const x = (i / (finite.length - 1)) * width;
    if (i === 0) ctx.moveTo(x, y(v)); else ctx.lineTo(x, y(v));
  });
  ctx.stroke();
  return canvas;
}

const fixed = (value, digits) => (Number.isFinite(value) ? value.toFixed(digits) : '-');

export function renderCells(grid, envs, chosen, select) {
  grid.replaceChildren(...envs.map((env, i) => {
    const t = env.train ?? {};
    const cell = document.createElement('section');
    cell.className = 'cell';
    cell.dataset.env = String(i);
    if (i === chosen) cell.classList.add('chosen');
    if (env.closed) cell.classList.add('closed');
    const head = document.createElement('h3');
    head.textContent = `${env.label}${env.closed ? ' (closed)' : ''}`;
    const line = document.createElement('div');
    line.className = 'figures';
    line.textContent = `${t.type ?? '-'} #${t.index ?? '-'} · step ${t.step ?? 0} · return ${fixed(t.return_pct, 3)} % · `
      + `${t.episodes ?? 0} episodes · ${fixed(t.steps_per_second, 0)} steps/s`;
    const last = document.createElement('div');
    last.className = 'last';
    const actions = t.actions ?? [];
    const rewards = t.rewards ?? [];
    last.textContent = actions.length
      ? actions.map((a, k) => `${a} ${fixed(rewards[k], 3)}`).slice(-6).join(' · ')
      : 'no step yet';
    last.title = 'the last actions and their rewards (% of the initial balance), the newest last';
    cell.append(head, line, sparkline(t.curve ?? []), last);
    cell.addEventListener('click', () => select(i));
    return cell;
  }));
}
