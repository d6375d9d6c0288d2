// The trivial page in a browser: ?host=127.0.0.1&port=8765, plus the reference page's engine options
// (bars, window, episode_length, series, ...) so that its ready-made answers have the same sizes.

import { answerForever } from './link.js';
import { TrivialAnswers } from './answers.js';

const params = new URLSearchParams(location.search);
const options = {};
for (const [param, key] of [['seed', 'seed'], ['bars', 'bars'], ['window', 'window'], ['episode_length', 'episodeLength']]) {
  if (params.has(param)) options[key] = Number(params.get(param));
}
for (const [param, key] of [['regime_drift', 'regimeDrift'], ['regime_bars', 'regimeBars'], ['half_life', 'halfLife']]) {
  if (params.has(param)) options[key] = Number(params.get(param));
}
if (params.has('series')) options.series = params.get('series');
const host = params.get('host') || '127.0.0.1';
answerForever({ url: `ws://${host}:${params.get('port') || 8765}`, WebSocket: window.WebSocket, answers: new TrivialAnswers(options) });
document.getElementById('state').textContent = 'answering';
