"""What an environment remembers of its running episode for `render()`: the candles up to the cursor, the
equity after every step, the open position and the fills and closes, all from the snapshots and windows
the steps already answer (no extra engine call).

A step's trade happens at the close of the bar the step starts from (a market ticket fills at the
current close), so a change of the net units between two snapshots is a close and/or a fill at the
earlier snapshot's close."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.trading import SNAP_CLOSE, SNAP_EQUITY, SNAP_NET_UNITS, SNAP_STEP

SNAP_STEPS_LEFT = 11


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
    last_action: int | None = None  # the last step's action and reward (the environment's `note`)
    last_reward: float = 0.0
    _close: float = 0.0
    _net: float = 0.0

    def start(self, kind: str, index: int, snapshot: NDArray[np.float64], window: NDArray[np.float64],
              initial_balance: float) -> None:
        """A new episode: `window` is what `get_ohlc` answered at its reset (its candles up to the cursor)."""
        self.kind, self.index, self.initial_balance = kind, index, initial_balance
        self.candles = list(np.array(window, dtype=np.float64, copy=True))
        self.first = len(self.candles) - 1
        self.steps_total = int(snapshot[SNAP_STEP] + snapshot[SNAP_STEPS_LEFT])
        self.equity = [float(snapshot[SNAP_EQUITY])]
        self.marks = []
        self.position = None
        self.ended = False
        self.last_action, self.last_reward = None, 0.0
        self._close = float(snapshot[SNAP_CLOSE])
        self._net = float(snapshot[SNAP_NET_UNITS])

    def step(self, snapshot: NDArray[np.float64], window: NDArray[np.float64]) -> None:
        self._trade(float(snapshot[SNAP_NET_UNITS]))
        self.candles.append(np.array(window[-1], dtype=np.float64, copy=True))
        self.equity.append(float(snapshot[SNAP_EQUITY]))
        self._close = float(snapshot[SNAP_CLOSE])

    def finish(self, final_equity: float) -> None:
        """The session ended: what was open is closed at the last close, with its fee."""
        self._trade(0.0)
        if self.equity:
            self.equity[-1] = final_equity
        self.ended = True

    def note(self, action: int, reward: float) -> None:
        """The step's action and reward, for the frame's text."""
        self.last_action, self.last_reward = action, reward

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
