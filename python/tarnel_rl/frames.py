"""Draws an environment's episode as an RGB image with NumPy alone, laid out as the page's chart: the
candles up to the cursor with the fills (triangles: up for a buy, down for a sell), the closes (squares:
green for a gain, red for a loss) and the open position's entry level, the equity curve below with the
initial balance as a dashed line, and a bar along the top for the episode's progress. No text: a video
frame needs none, and no font comes without a new dependency."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.episode_trace import EpisodeTrace

FRAME_HEIGHT, FRAME_WIDTH = 400, 720  # even sizes, as video encoders want them
CANDLE_STEP_PX = 7
BODY_PX = 5
HIGH, LOW, OPEN, CLOSE = 1, 2, 0, 3

Colour = tuple[int, int, int]


def _rgb(text: str) -> Colour:
    return int(text[1:3], 16), int(text[3:5], 16), int(text[5:7], 16)


# The page's colours (ui/src/chart.js).
BACKGROUND, GRID, PROGRESS = _rgb("#10151c"), _rgb("#1f2833"), _rgb("#9fb0c2")
UP, DOWN, BUY, SELL = _rgb("#2fbf71"), _rgb("#e5484d"), _rgb("#3ea6ff"), _rgb("#f5a524")
EQUITY, BASELINE, GAIN, LOSS = _rgb("#3ea6ff"), _rgb("#55606d"), _rgb("#2fbf71"), _rgb("#e5484d")


@dataclass(frozen=True)
class Pane:
    x: int
    y: int
    w: int
    h: int

    def to_y(self, values: NDArray[np.float64] | float, lo: float, hi: float) -> NDArray[np.int64]:
        exact = self.y + (hi - np.asarray(values, dtype=np.float64)) / (hi - lo) * (self.h - 1)
        return np.clip(np.rint(exact), self.y, self.y + self.h - 1).astype(np.int64)


def draw_frame(trace: EpisodeTrace, height: int = FRAME_HEIGHT, width: int = FRAME_WIDTH) -> NDArray[np.uint8]:
    """The episode so far as a `height` x `width` x 3 array of uint8."""
    if height < 60 or width < 80:
        raise ValueError(f"a frame needs at least 60 x 80 pixels, got {height} x {width}")
    frame = np.empty((height, width, 3), dtype=np.uint8)
    frame[:] = BACKGROUND
    top, bottom, left, right, gap = 12, 6, 8, 12, 12
    plot_w = width - left - right
    price_h = int((height - top - bottom - gap) * 0.7)
    prices = Pane(left, top, plot_w, price_h)
    equity = Pane(left, top + price_h + gap, plot_w, height - bottom - (top + price_h + gap))
    if trace.steps_total > 0:
        done = int(round(plot_w * min(1.0, trace.step_count / trace.steps_total)))
        frame[4:7, left:left + done] = PROGRESS
        frame[4:7, left + done:left + plot_w] = GRID
    _prices(frame, trace, prices)
    _equity(frame, trace, equity)
    return frame


def _prices(frame: NDArray[np.uint8], trace: EpisodeTrace, pane: Pane) -> None:
    _box(frame, pane)
    if not trace.candles:
        return
    count = max(2, pane.w // CANDLE_STEP_PX)
    start = max(0, len(trace.candles) - count)
    shown = np.array(trace.candles[start:], dtype=np.float64)
    lo, hi = float(shown[:, LOW].min()), float(shown[:, HIGH].max())
    margin = (hi - lo) * 0.05 or abs(hi) * 0.01 or 1.0
    lo, hi = lo - margin, hi + margin
    _grid(frame, pane)

    def x_of(at: int) -> int:
        return pane.x + (at - start) * CANDLE_STEP_PX + CANDLE_STEP_PX // 2

    high_y, low_y = pane.to_y(shown[:, HIGH], lo, hi), pane.to_y(shown[:, LOW], lo, hi)
    top_y = pane.to_y(np.maximum(shown[:, OPEN], shown[:, CLOSE]), lo, hi)
    bottom_y = pane.to_y(np.minimum(shown[:, OPEN], shown[:, CLOSE]), lo, hi)
    for i, candle in enumerate(shown):
        x = x_of(start + i)
        colour = UP if candle[CLOSE] >= candle[OPEN] else DOWN
        frame[high_y[i]:low_y[i] + 1, x] = colour
        frame[top_y[i]:bottom_y[i] + 1, x - BODY_PX // 2:x + BODY_PX // 2 + 1] = colour
    position = trace.position
    if position is not None:
        y = int(pane.to_y(position.price, lo, hi))
        frame[y, max(pane.x, x_of(position.at)):pane.x + pane.w] = BUY if position.side > 0 else SELL
    for mark in trace.marks:
        if mark.at >= start:
            _mark(frame, x_of(mark.at), int(pane.to_y(mark.price, lo, hi)), mark.side, mark.opened, mark.gain)


def _mark(frame: NDArray[np.uint8], x: int, y: int, side: int, opened: bool, gain: bool) -> None:
    height, width = frame.shape[:2]
    if opened:  # a triangle pointing up for a buy, down for a sell
        for row in range(5):
            yy = y - 2 + row if side > 0 else y + 2 - row
            if 0 <= yy < height:
                frame[yy, max(0, x - row):min(width, x + row + 1)] = BUY if side > 0 else SELL
    else:  # a hollow square
        colour = GAIN if gain else LOSS
        y0, y1, x0, x1 = max(0, y - 3), min(height - 1, y + 3), max(0, x - 3), min(width - 1, x + 3)
        frame[y0, x0:x1 + 1] = frame[y1, x0:x1 + 1] = colour
        frame[y0:y1 + 1, x0] = frame[y0:y1 + 1, x1] = colour


def _equity(frame: NDArray[np.uint8], trace: EpisodeTrace, pane: Pane) -> None:
    _box(frame, pane)
    if not trace.equity:
        return
    curve = np.asarray(trace.equity, dtype=np.float64)
    base = trace.initial_balance
    lo, hi = min(base, float(curve.min())), max(base, float(curve.max()))
    margin = (hi - lo) * 0.1 or abs(base) * 0.001 or 1.0
    lo, hi = lo - margin, hi + margin
    _grid(frame, pane)
    base_y = int(pane.to_y(base, lo, hi))
    dashes = np.arange(pane.x, pane.x + pane.w)
    frame[base_y, dashes[(dashes - pane.x) % 8 < 4]] = BASELINE
    span = max(1, trace.steps_total, len(curve) - 1)
    xs = pane.x + np.arange(len(curve)) / span * (pane.w - 1)
    _polyline(frame, xs, pane.to_y(curve, lo, hi).astype(np.float64), EQUITY)


def _polyline(frame: NDArray[np.uint8], xs: NDArray[np.float64], ys: NDArray[np.float64], colour: Colour) -> None:
    """Joins the points with lines two pixels thick, every segment sampled at least once per pixel."""
    if len(xs) == 1:
        frame[int(ys[0]), int(xs[0])] = colour
        return
    dx, dy = np.diff(xs), np.diff(ys)
    samples = np.ceil(np.maximum(np.abs(dx), np.abs(dy))).astype(np.int64) + 1
    segment = np.repeat(np.arange(len(dx)), samples)
    offsets = np.arange(len(segment)) - np.repeat(np.cumsum(samples) - samples, samples)
    t = offsets / np.maximum(samples - 1, 1)[segment]
    x = np.rint(xs[:-1][segment] + t * dx[segment]).astype(np.int64)
    y = np.rint(ys[:-1][segment] + t * dy[segment]).astype(np.int64)
    height = frame.shape[0]
    frame[y, x] = colour
    frame[np.minimum(y + 1, height - 1), x] = colour


def _box(frame: NDArray[np.uint8], pane: Pane) -> None:
    right, bottom = pane.x + pane.w - 1, pane.y + pane.h - 1
    frame[pane.y, pane.x:right + 1] = frame[bottom, pane.x:right + 1] = GRID
    frame[pane.y:bottom + 1, pane.x] = frame[pane.y:bottom + 1, right] = GRID


def _grid(frame: NDArray[np.uint8], pane: Pane) -> None:
    for i in range(1, 4):
        frame[pane.y + pane.h * i // 4, pane.x + 1:pane.x + pane.w - 1] = GRID
