"""What an environment remembers of its running episode for `render()`: the candles up to the cursor, the
equity after every step, the open position and the fills and closes, all from the snapshots and windows
the steps already answer (no extra engine call).

A step's trade happens at the close of the bar the step starts from (a market ticket fills at the
current close), so a change of the net units between two snapshots is a close and/or a fill at the
earlier snapshot's close.

When the series has times (`tarnel_rl.data.Candles.times`), the trace keeps each candle's time beside it
(`times`), from the snapshots' bar index: the frames and a saved trace show a step's bar by its date."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.trading import SNAP_BAR, SNAP_CLOSE, SNAP_EQUITY, SNAP_NET_UNITS, SNAP_STEP

SNAP_STEPS_LEFT = 11


def bar_time_text(moment: np.datetime64) -> str:
    """A bar's time as a reader wants it: the date alone at midnight (daily bars), else the date and the
    time to its last nonzero unit, e.g. 2024-01-31, 2024-01-31 09:30, 2024-01-31 09:30:05.250."""
    return str(np.datetime_as_string(np.asarray(moment, dtype="datetime64[ns]"), unit="auto")).replace("T", " ")


@dataclass
class Mark:
    """A fill (`opened`) or a close at candle `at` (an index into `EpisodeTrace.candles`)."""

    at: int
    price: float
    side: int  # +1 long, -1 short
    opened: bool
    gain: bool = False  # for a close: whether the position gained


@dataclass
class Position:
    side: int
    units: float
    at: int
    price: float


@dataclass
class EpisodeTrace:
    kind: str = "train"
    index: int = -1
    initial_balance: float = 10000.0
    candles: list[NDArray[np.float64]] = field(default_factory=list)  # rows of 5, oldest first
    first: int = 0  # the candle at which the episode's first step starts
    steps_total: int = 0  # the episode's length in steps
    equity: list[float] = field(default_factory=list)  # at the start, then after every step
    marks: list[Mark] = field(default_factory=list)
    position: Position | None = None
    ended: bool = False
    actions: list[Any] = field(default_factory=list)  # what each step was asked: an action or target units
    rewards: list[float] = field(default_factory=list)  # each step's reward (the last one with the closing)
    net_units: list[float] = field(default_factory=list)  # at the start, then after every step
    closes: list[float] = field(default_factory=list)  # the cursor's close at the start, then after every step
    summary: Any = None  # the EpisodeSummary once the episode ended
    times: list[np.datetime64] | None = None  # each candle's time (datetime64[ns]); None for a series without
    _series_times: NDArray[np.datetime64] | None = None
    _close: float = 0.0
    _net: float = 0.0

    def start(self, kind: str, index: int, snapshot: NDArray[np.float64], window: NDArray[np.float64],
              initial_balance: float, series_times: NDArray[np.datetime64] | None = None) -> None:
        """A new episode: `window` is what `get_ohlc` answered at its reset (its candles up to the cursor);
        `series_times` the times of the whole series the page holds, if it has them."""
        self._series_times = series_times
        history_times = None
        if series_times is not None:
            bar = int(snapshot[SNAP_BAR])
            history_times = series_times[bar - len(window) + 1:bar + 1]
        self.begin(kind, index, window, int(snapshot[SNAP_STEP] + snapshot[SNAP_STEPS_LEFT]),
                   float(snapshot[SNAP_EQUITY]), float(snapshot[SNAP_CLOSE]), float(snapshot[SNAP_NET_UNITS]),
                   initial_balance, history_times)

    def begin(self, kind: str, index: int, history: Any, steps_total: int, equity: float, close: float,
              net_units: float, initial_balance: float, times: Any = None) -> None:
        """A new episode from its values: `history` the candles up to the cursor, then the length in steps,
        the equity, close and net units at the start, and the history's times (None: no times)."""
        self.kind, self.index, self.initial_balance = kind, index, initial_balance
        self.candles = list(np.array(history, dtype=np.float64, copy=True))
        self.times = None if times is None else list(np.asarray(times, dtype="datetime64[ns]"))
        if self.times is not None and len(self.times) != len(self.candles):
            raise ValueError(f"{len(self.times)} times for {len(self.candles)} candles of history")
        self.first = len(self.candles) - 1
        self.steps_total = steps_total
        self.equity = [equity]
        self.marks = []
        self.position = None
        self.ended = False
        self.actions, self.rewards = [], []
        self.net_units = [net_units]
        self.closes = [close]
        self.summary = None
        self._close = close
        self._net = net_units

    def step(self, snapshot: NDArray[np.float64], window: NDArray[np.float64], action: Any = None,
             reward: float = float("nan")) -> None:
        time = None if self._series_times is None else self._series_times[int(snapshot[SNAP_BAR])]
        self.advance(float(snapshot[SNAP_NET_UNITS]), window[-1], float(snapshot[SNAP_EQUITY]),
                     float(snapshot[SNAP_CLOSE]), action, reward, time)

    def advance(self, net_units: float, candle: NDArray[np.float64], equity: float, close: float,
                action: Any = None, reward: float = float("nan"), time: Any = None) -> None:
        """One step from the values it answered: the net units and equity after it, its new candle and
        close (and its bar's time, for a trace with times). `step` takes them from a snapshot; a replay
        (tarnel_rl.replay) from a saved trace."""
        self._trade(net_units)
        self.candles.append(np.array(candle, dtype=np.float64, copy=True))
        if self.times is not None:
            self.times.append(np.datetime64("NaT", "ns") if time is None else np.datetime64(time, "ns"))
        self.equity.append(equity)
        self.actions.append(action)
        self.rewards.append(float(reward))
        self.net_units.append(net_units)
        self.closes.append(close)
        self._close = close

    def finish(self, final_equity: float, summary: Any = None) -> None:
        """The session ended: what was open is closed at the last close, with its fee."""
        self._trade(0.0)
        if self.equity:
            self.equity[-1] = final_equity
        self.summary = summary
        self.ended = True

    @property
    def last_action(self) -> Any:
        """The last step's action (None before the first step)."""
        return self.actions[-1] if self.actions else None

    @property
    def last_reward(self) -> float:
        """The last step's reward (0 before the first step)."""
        return self.rewards[-1] if self.rewards else 0.0

    @property
    def bar_time(self) -> np.datetime64 | None:
        """The time of the cursor's bar (the last step's), or None without times."""
        return None if not self.times else self.times[-1]

    @property
    def return_pct(self) -> float:
        """The return so far, in percent of the initial balance."""
        if not self.equity or not self.initial_balance:
            return 0.0
        return (self.equity[-1] / self.initial_balance - 1.0) * 100.0

    @property
    def step_count(self) -> int:
        return len(self.equity) - 1

    def _trade(self, net: float) -> None:
        before, after = np.sign(self._net), np.sign(net)
        at = len(self.candles) - 1
        if before == after:
            self._net = net
            return
        if self.position is not None:
            gain = self.position.side * (self._close - self.position.price) > 0
            self.marks.append(Mark(at, self._close, self.position.side, opened=False, gain=bool(gain)))
            self.position = None
        if after != 0:
            self.position = Position(int(after), abs(net), at, self._close)
            self.marks.append(Mark(at, self._close, int(after), opened=True))
        self._net = net
