"""An asyncio trading session over one engine and the reference user interface: discrete actions in,
observations and rewards out. The Gymnasium environment and the demo trainer build on it."""
from __future__ import annotations

import json
from dataclasses import dataclass, field

import numpy as np

import py_engine_tarnel as tarnel

# Discrete actions: keep the position, be long one lot, be short one lot, be flat.
HOLD, LONG, SHORT, FLAT = range(4)
ACTION_NAMES = ("hold", "long", "short", "flat")

# Columns of the snapshot vector (see docs/protocol.md).
SNAP_CLOSE, SNAP_EQUITY, SNAP_NET_UNITS, SNAP_DONE = 2, 4, 10, 12
# Columns of the ticket list and of a candle.
TICKET_ID, TICKET_STATE = 0, 1
CANDLE_CLOSE = 3
RETURNS_IN_OBSERVATION = 16


@dataclass
class Step:
    observation: np.ndarray
    reward: float
    done: bool
    snapshot: np.ndarray
    window: np.ndarray
    events: list = field(default_factory=list)


def observation_size() -> int:
    return RETURNS_IN_OBSERVATION + 2


def make_observation(snapshot: np.ndarray, window: np.ndarray, initial_balance: float) -> np.ndarray:
    """Scaled log returns of the last closes, the position's sign, and equity relative to the start."""
    closes = window[-(RETURNS_IN_OBSERVATION + 1):, CANDLE_CLOSE]
    returns = np.diff(np.log(closes)) * 100.0
    padded = np.zeros(RETURNS_IN_OBSERVATION)
    padded[RETURNS_IN_OBSERVATION - len(returns):] = returns
    position = np.sign(snapshot[SNAP_NET_UNITS])
    equity = snapshot[SNAP_EQUITY] / initial_balance - 1.0
    return np.concatenate([padded, [position, equity * 10.0]]).astype(np.float64)


class TradingSession:
    """One engine's episodes. `units` is the size of every position the session opens."""

    def __init__(self, engine: tarnel.TarnelEngineAsync, units: int = 10, timeout_secs: float = 10.0) -> None:
        self.engine = engine
        self.units = units
        self.timeout = timeout_secs
        self.config: dict = {}
        self._equity = 0.0

    async def load_config(self) -> dict:
        self.config = json.loads(await self.engine.get_rl_config(timeout_secs=self.timeout))
        return self.config

    @property
    def initial_balance(self) -> float:
        return float(self.config.get("initial_balance", 10000.0))

    async def reset(self, episode_index: int, episode_type: str = "train") -> Step:
        if not self.config:
            await self.load_config()
        await self.engine.reset_episode(episode_index, episode_type, timeout_secs=self.timeout)
        snapshot = await self.engine.get_snapshot(timeout_secs=self.timeout)
        window = await self.engine.get_ohlc(timeout_secs=self.timeout)
        self._equity = float(snapshot[SNAP_EQUITY])
        observation = make_observation(snapshot, window, self.initial_balance)
        return Step(observation, 0.0, bool(snapshot[SNAP_DONE]), snapshot, window)

    async def step(self, action: int) -> Step:
        await self._act(action)
        snapshot, window = await self.engine.step_and_sync(timeout_secs=self.timeout)
        events = await self.engine.fetch_events(timeout_secs=self.timeout)
        equity = float(snapshot[SNAP_EQUITY])
        reward = (equity - self._equity) / self.initial_balance * 100.0
        self._equity = equity
        observation = make_observation(snapshot, window, self.initial_balance)
        return Step(observation, reward, bool(snapshot[SNAP_DONE]), snapshot, window, list(events))

    async def finish(self) -> np.ndarray:
        """Ends the session; answers its summary row (see docs/protocol.md)."""
        summary = await self.engine.end_session(timeout_secs=self.timeout)
        await self.engine.fetch_events(timeout_secs=self.timeout)
        return summary[0]

    async def _act(self, action: int) -> None:
        if action == HOLD:
            return
        tickets = await self.engine.get_ticket_list(timeout_secs=self.timeout)
        open_rows = [row for row in tickets if row[TICKET_STATE] == 1]
        net = sum(np.sign(row[2]) * row[3] for row in open_rows)
        wanted = {LONG: 1, SHORT: -1, FLAT: 0}[action]
        if np.sign(net) == wanted and (wanted != 0 or not open_rows):
            return
        if open_rows:
            ids = [int(row[TICKET_ID]) for row in open_rows]
            await self.engine.close_positions(ids, [1] * len(ids), [0.0] * len(ids), timeout_secs=self.timeout)
        if wanted:
            await self.engine.place_ticket("buy" if wanted > 0 else "sell", self.units, timeout_secs=self.timeout)
