// Several pages in one Node.js process: one engine, one link and one state per engine address, all
// answered from this process's one event loop.
//
// A vector of environments on a small machine spends less time waking processes when its pages share
// one: each page is exactly what a page of its own would be (its own Engine, LinkClient and socket),
// nothing in the protocol changes, and a page that loses its link reconnects on its own.

import { Engine } from '../src/engine.js';
import { LinkClient } from '../src/client.js';

// pages: [{ url, engine }] (engine: the Engine's options, its seed among them); trivial: the trivial
// page's modules ({ TrivialAnswers, answerForever }) to run it instead of the reference page.
// Answers { engines, clients, stop, requests }: `requests()` says how many requests all pages answered.
export function hostPages({ WebSocket, pages, socketOptions, trivial = null, log = () => {} }) {
  if (!Array.isArray(pages) || pages.length === 0) throw new Error('no page to host');
  const engines = pages.map((page) => (trivial !== null ? new trivial.TrivialAnswers(page.engine) : new Engine(page.engine)));
  const several = pages.length > 1;
  const name = (i) => (several ? `page ${i} ` : '');
  if (trivial !== null) {
    const stops = pages.map((page, i) => trivial.answerForever({ url: page.url, WebSocket, answers: engines[i], socketOptions }));
    return { engines, clients: [], stop: () => stops.forEach((stop) => stop()), requests: () => '' };
  }
  const clients = pages.map((page, i) => {
    const client = new LinkClient({
      url: page.url,
      WebSocket,
      engine: engines[i],
      socketOptions,
      onState: (state) => log(`${name(i)}link ${state} (${page.url})`),
      onHandshake: (hello) => log(`${name(i)}handshake: library version ${hello.python_library_version}`),
      onNotice: (text) => log(`${name(i)}${text}`),
    });
    client.start();
    return client;
  });
  const requests = () => {
    const total = clients.reduce((sum, c) => sum + c.stats.requests, 0);
    const refused = clients.reduce((sum, c) => sum + c.stats.errors, 0);
    return ` after ${total} requests (${refused} refused)`;
  };
  return { engines, clients, stop: () => clients.forEach((client) => client.stop()), requests };
}
