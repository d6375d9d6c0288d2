"""Draws an environment's episode as an RGB image, laid out as the page's chart: a line of text (episode,
step and, for a series with times, its bar's date, last action, reward and return), the episode's
progress, the candles with the fills (triangles: up for a buy, down for a sell), the closes (squares:
green for a gain, red for a loss) and the open position's entry level, with a price scale, and the
equity below with the initial balance as a dashed line and a scale in percent.

One time axis: both panes show the same bars, a candle every CANDLE_STEP_PX pixels, the newest at the
right once the bars fill the width. The equity after step k belongs to the bar the cursor reached with
it (`EpisodeTrace.first + k`), so it is drawn straight under that bar's candle (`candle_x`, `equity_x`).

Text uses Pillow's own font (`ImageFont.load_default`, which Pillow ships); without Pillow the frame is
drawn without text. Markers are 11 px wide, so that a 720 px video shows them."""
from __future__ import annotations

from dataclasses import dataclass
from functools import cache
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.trading import ACTION_NAMES
from tarnel_rl.watch.episode_trace import EpisodeTrace, bar_time_text

FRAME_HEIGHT, FRAME_WIDTH = 400, 720  # even sizes, as video encoders want them
CANDLE_STEP_PX = 7
BODY_PX = 5
MARK_HALF = 5  # a marker spans 2 * MARK_HALF + 1 pixels
HIGH, LOW, OPEN, CLOSE = 1, 2, 0, 3
LEFT, RIGHT, BOTTOM, GAP = 8, 64, 6, 14  # RIGHT holds the scales' labels
PROGRESS_ROWS = (2, 5)  # the progress bar's rows: above the text line
ACTION_LABELS = ACTION_NAMES  # the names drawn on the frames, in the order of the actions

Colour = tuple[int, int, int]


def _rgb(text: str) -> Colour:
    return int(text[1:3], 16), int(text[3:5], 16), int(text[5:7], 16)


# The page's colours (ui/src/chart.js).
BACKGROUND, GRID, PROGRESS = _rgb("#10151c"), _rgb("#1f2833"), _rgb("#9fb0c2")
UP, DOWN, BUY, SELL = _rgb("#2fbf71"), _rgb("#e5484d"), _rgb("#3ea6ff"), _rgb("#f5a524")
EQUITY, BASELINE, GAIN, LOSS = _rgb("#3ea6ff"), _rgb("#55606d"), _rgb("#2fbf71"), _rgb("#e5484d")
TEXT = _rgb("#e6edf3")


@dataclass(frozen=True)
class Pane:
    x: int
    y: int
    w: int
    h: int

    def to_y(self, values: NDArray[np.float64] | float, lo: float, hi: float) -> NDArray[np.int64]:
        exact = self.y + (hi - np.asarray(values, dtype=np.float64)) / (hi - lo) * (self.h - 1)
        return np.clip(np.rint(exact), self.y, self.y + self.h - 1).astype(np.int64)


@dataclass(frozen=True)
class Layout:
    """Where a frame puts things: the panes, the text line's height and the first candle shown."""

    text_h: int
    prices: Pane
    equity: Pane
    start: int  # the index (into trace.candles) of the leftmost candle shown

    def candle_x(self, at: int) -> int:
        """The x of candle `at`'s middle (in both panes)."""
        return self.prices.x + (at - self.start) * CANDLE_STEP_PX + CANDLE_STEP_PX // 2


def layout(trace: EpisodeTrace, height: int = FRAME_HEIGHT, width: int = FRAME_WIDTH) -> Layout:
    text_h = max(10, height // 26) + 6
    top = PROGRESS_ROWS[1] + text_h + 4
    plot_w = width - LEFT - RIGHT
    price_h = int((height - top - BOTTOM - GAP) * 0.68)
    prices = Pane(LEFT, top, plot_w, price_h)
    equity = Pane(LEFT, top + price_h + GAP, plot_w, height - BOTTOM - (top + price_h + GAP))
    count = max(2, plot_w // CANDLE_STEP_PX)
    return Layout(text_h, prices, equity, max(0, len(trace.candles) - count))


def equity_x(trace: EpisodeTrace, step: int, height: int = FRAME_HEIGHT, width: int = FRAME_WIDTH) -> int:
    """The x at which the equity after `step` steps is drawn: under the candle of its bar."""
    return layout(trace, height, width).candle_x(trace.first + step)


def draw_frame(trace: EpisodeTrace, height: int = FRAME_HEIGHT, width: int = FRAME_WIDTH) -> NDArray[np.uint8]:
    """The episode so far as a `height` x `width` x 3 array of uint8."""
    if height < 60 or width < 80:
        raise ValueError(f"a frame needs at least 60 x 80 pixels, got {height} x {width}")
    frame = np.empty((height, width, 3), dtype=np.uint8)
    frame[:] = BACKGROUND
    where = layout(trace, height, width)
    plot_w = where.prices.w
    if trace.steps_total > 0:
        done = int(round(plot_w * min(1.0, trace.step_count / trace.steps_total)))
        rows = slice(*PROGRESS_ROWS)
        frame[rows, LEFT:LEFT + done] = PROGRESS
        frame[rows, LEFT + done:LEFT + plot_w] = GRID
    texts: list[tuple[int, int, str]] = []
    if trace.candles:
        texts.append((LEFT, PROGRESS_ROWS[1] + 2, headline(trace)))
    texts += _prices(frame, trace, where)
    texts += _equity(frame, trace, where)
    return _with_text(frame, texts, where.text_h - 6)


def headline(trace: EpisodeTrace) -> str:
    """The frame's line of text: episode, step (and its bar's time when the series has times), last action
    and reward, return (percent of the initial balance)."""
    ended = " (ended)" if trace.ended else ""
    reward = trace.last_reward
    said = f"{reward:+.3f} %" if np.isfinite(reward) else "-"
    moment = trace.bar_time
    when = "" if moment is None or np.isnat(moment) else f"  {bar_time_text(moment)}"
    return (f"{trace.kind} #{trace.index}  step {trace.step_count}/{trace.steps_total}{ended}{when}  action "
            f"{_action_label(trace.last_action)}  reward {said}  return {trace.return_pct:+.3f} %")


def _action_label(action: Any) -> str:
    """A discrete action by its name; target units (or exposures) as numbers; "-" before the first step."""
    if action is None:
        return "-"
    if isinstance(action, (int, np.integer)) and 0 <= action < len(ACTION_LABELS):
        return ACTION_LABELS[int(action)]
    values = np.asarray(action, dtype=np.float64).ravel()
    return " ".join(f"{v:+.3g}" for v in values[:4])


def _prices(frame: NDArray[np.uint8], trace: EpisodeTrace, where: Layout) -> list[tuple[int, int, str]]:
    pane = where.prices
    _box(frame, pane)
    if not trace.candles:
        return []
    start = where.start
    shown = np.array(trace.candles[start:], dtype=np.float64)
    lo, hi = float(shown[:, LOW].min()), float(shown[:, HIGH].max())
    margin = (hi - lo) * 0.05 or abs(hi) * 0.01 or 1.0
    lo, hi = lo - margin, hi + margin
    _grid(frame, pane)
    x_of = where.candle_x
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
    return _scale(pane, lo + margin, hi - margin, lambda v: f"{v:.2f}")


def _scale(pane: Pane, lo: float, hi: float, label: Any) -> list[tuple[int, int, str]]:
    """The labels of a pane's scale: its top, middle and bottom values, right of the pane."""
    x = pane.x + pane.w + 4
    rows = [(pane.y, hi), (pane.y + pane.h // 2 - 6, (hi + lo) / 2), (pane.y + pane.h - 14, lo)]
    return [(x, y, label(v)) for y, v in rows]


def _mark(frame: NDArray[np.uint8], x: int, y: int, side: int, opened: bool, gain: bool) -> None:
    height, width = frame.shape[:2]
    size = MARK_HALF
    if opened:  # a triangle pointing up for a buy, down for a sell
        for row in range(size + 1):
            yy = y - size // 2 + row if side > 0 else y + size // 2 - row
            if 0 <= yy < height:
                frame[yy, max(0, x - row):min(width, x + row + 1)] = BUY if side > 0 else SELL
    else:  # a hollow square, its sides two pixels thick
        colour = GAIN if gain else LOSS
        y0, y1, x0, x1 = max(0, y - size), min(height - 1, y + size), max(0, x - size), min(width - 1, x + size)
        frame[y0:y0 + 2, x0:x1 + 1] = frame[y1 - 1:y1 + 1, x0:x1 + 1] = colour
        frame[y0:y1 + 1, x0:x0 + 2] = frame[y0:y1 + 1, x1 - 1:x1 + 1] = colour


def _equity(frame: NDArray[np.uint8], trace: EpisodeTrace, where: Layout) -> list[tuple[int, int, str]]:
    pane = where.equity
    _box(frame, pane)
    if not trace.equity:
        return []
    curve = np.asarray(trace.equity, dtype=np.float64)
    steps = np.arange(len(curve))
    # Only the steps whose bars are shown: the same bars as the candles above.
    shown = trace.first + steps >= where.start
    curve, steps = curve[shown], steps[shown]
    base = trace.initial_balance
    lo, hi = min(base, float(curve.min())), max(base, float(curve.max()))
    margin = (hi - lo) * 0.1 or abs(base) * 0.001 or 1.0
    lo, hi = lo - margin, hi + margin
    _grid(frame, pane)
    base_y = int(pane.to_y(base, lo, hi))
    dashes = np.arange(pane.x, pane.x + pane.w)
    frame[base_y, dashes[(dashes - pane.x) % 8 < 4]] = BASELINE
    xs = np.array([where.candle_x(trace.first + int(k)) for k in steps], dtype=np.float64)
    _polyline(frame, xs, pane.to_y(curve, lo, hi).astype(np.float64), EQUITY)
    percent = 100.0 / base if base else 0.0
    return _scale(pane, lo + margin, hi - margin, lambda v: f"{(v - base) * percent:+.2f} %")


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


@cache
def _font(size: int) -> Any:
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)  # Pillow's own scalable font (with FreeType)
    except (TypeError, OSError, ImportError):  # an older Pillow, or one built without FreeType
        return ImageFont.load_default()


def _with_text(frame: NDArray[np.uint8], texts: list[tuple[int, int, str]], size: int) -> NDArray[np.uint8]:
    """`frame` with each text drawn at its top-left corner (x, y), in TEXT; unchanged without Pillow."""
    try:
        from PIL import Image, ImageDraw
    except ImportError:
        return frame
    image = Image.fromarray(frame)
    draw = ImageDraw.Draw(image)
    font = _font(max(8, size))
    for x, y, text in texts:
        draw.text((x, y), text, fill=TEXT, font=font)
    return np.asarray(image, dtype=np.uint8).copy()
