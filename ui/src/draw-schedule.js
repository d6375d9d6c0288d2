// When the page draws: at an animation frame, at most once per frame, only after something changed, and
// no more often than `maxPerSecond` while requests stream in. Every frame the page changes costs the
// browser its whole pipeline (style, layout, paint, raster, compositing, across its processes: about
// 1 to 2 ms of CPU a frame in headless Chromium without a GPU), and a trainer makes a thousand requests
// a second; a person reads a chart no faster than a few times a second. After the last change a draw
// always follows, so what is shown is never older than one interval.

export const DEFAULT_DRAWS_PER_SECOND = 10;

export class DrawSchedule {
  // draw(): the drawing; maxPerSecond: the ceiling while changes stream in (Infinity: every frame).
  // requestFrame, setTimer and now are the browser's (requestAnimationFrame, setTimeout,
  // performance.now) unless given, as tests do.
  constructor(draw, { maxPerSecond = DEFAULT_DRAWS_PER_SECOND, requestFrame = (f) => requestAnimationFrame(f),
    setTimer = (f, ms) => setTimeout(f, ms), now = () => performance.now() } = {}) {
    this.draw = draw;
    this.intervalMs = maxPerSecond > 0 ? 1000 / maxPerSecond : 0;
    this.requestFrame = requestFrame;
    this.setTimer = setTimer;
    this.now = now;
    this.lastDrawMs = -Infinity;
    this.framePending = false;
    this.timerPending = false;
    this.draws = 0;
  }

  // Something the page shows has changed: a draw will follow.
  changed() {
    if (this.framePending || this.timerPending) return;
    const wait = this.lastDrawMs + this.intervalMs - this.now();
    if (wait > 0) {
      this.timerPending = true;
      this.setTimer(() => {
        this.timerPending = false;
        this.#frame();
      }, wait);
    } else {
      this.#frame();
    }
  }

  #frame() {
    this.framePending = true;
    this.requestFrame(() => {
      this.framePending = false;
      this.lastDrawMs = this.now();
      this.draws += 1;
      this.draw();
    });
  }
}
