"""An asyncio trading session over one engine and the reference user interface: discrete actions in,
observations and rewards out. The Gymnasium environment and the demo trainer build on it.

A step costs as few round trips as the action allows: `step_and_sync` always, plus the close and ticket
calls that change the position. The session knows its position from what those calls answer (the
ticket's receipt, the snapshot's open positions and net units), so it never asks for the ticket list
unless something else changed the account. `TradingSession.calls` counts every engine call it made.

Every snapshot and summary carries the episode's type, index and step; the session compares them with
what `reset` started and raises `UserInterfaceReplaced` when another user interface has taken over the
engine's port (a page reload, a second browser tab, a second Node.js runner), at no extra call."""
from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

import py_engine_tarnel as tarnel

# Discrete actions: keep the position, be long one lot, be short one lot, be flat.
HOLD, LONG, SHORT, FLAT = range(4)
ACTION_NAMES = ("hold", "long", "short", "flat")
_WANTED = (None, 1, -1, 0)  # the sign of the position each action asks for (None: any)

EPISODE_TYPES = ("train", "test")
EPISODE_CODES = {"train": 0, "test": 1}  # the snapshot's and summary's episode_type column

# Columns of the snapshot vector (see docs/protocol.md).
SNAP_STEP, SNAP_CLOSE, SNAP_EQUITY = 0, 2, 4
SNAP_OPEN_POSITIONS, SNAP_NET_UNITS, SNAP_DONE = 8, 10, 12
SNAP_EPISODE_TYPE, SNAP_EPISODE_INDEX = 13, 14
# Columns of the ticket list, of a receipt, of the summary, and of a candle.
TICKET_ID, TICKET_STATE, TICKET_SIDE, TICKET_UNITS = 0, 1, 2, 3
RECEIPT_ID, RECEIPT_UNITS = 0, 3
SUMMARY_STEPS, SUMMARY_FINAL_EQUITY, SUMMARY_EPISODE_TYPE, SUMMARY_EPISODE_INDEX = 0, 2, 10, 11
CANDLE_CLOSE = 3
EVENT_COLUMNS = 10
RETURNS_IN_OBSERVATION = 16
# The longest time-out accepted: the module refuses a duration it cannot hold with an exception that no
# `except Exception` catches, so values are checked here first.
MAX_TIMEOUT_SECS = 1e9
# Net units closer than this count as equal: partial reductions leave rounding dust in the units.
UNITS_TOLERANCE = 1e-6


class UserInterfaceReplaced(RuntimeError):
    """The engine answers for another session than the one `reset` started: another user interface
    connected to the engine's port and the module, which always serves the newest connection, dropped
    the one this session was using. The episode is lost; start a new one with `reset`."""


@dataclass
class Step:
    observation: NDArray[np.float64]
    reward: float
    done: bool
    snapshot: NDArray[np.float64]
    window: NDArray[np.float64]
    events: NDArray[np.float64] | None = None  # k x 10 when the session fetches events, else None


def check_timeout(name: str, value: Any) -> float:
    """A time-out argument in seconds: a finite number above 0 and at most MAX_TIMEOUT_SECS. Raises a
    ValueError (a TypeError for what is no number) that names the argument."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number of seconds, got {value!r}")
    seconds = float(value)
    if not (math.isfinite(seconds) and 0 < seconds <= MAX_TIMEOUT_SECS):
        raise ValueError(f"{name} must be a finite number of seconds above 0 and at most {MAX_TIMEOUT_SECS:g}, "
                         f"got {value!r}")
    return seconds


def check_units(value: Any) -> int:
    """The size of the positions a session opens: an integer of at least 1."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"units must be an integer, got {value!r}")
    if value < 1:
        raise ValueError(f"units must be at least 1, got {value!r}")
    return int(value)


def observation_size() -> int:
    return RETURNS_IN_OBSERVATION + 2


def check_episode_type(episode_type: Any) -> str:
    """Only "train" and "test" name an episode type here. (The module's `reset_episode` itself sends
    "test" for any text that lower-cases to "test" and "train" for anything else.)"""
    if not isinstance(episode_type, str) or episode_type not in EPISODE_TYPES:
        raise ValueError(f"episode_type must be 'train' or 'test', got {episode_type!r}")
    return episode_type


def make_observation(snapshot: NDArray[np.float64], window: NDArray[np.float64],
                     initial_balance: float) -> NDArray[np.float64]:
    """Scaled log returns of the last closes, the position's sign, and equity relative to the start."""
    closes = window[-(RETURNS_IN_OBSERVATION + 1):, CANDLE_CLOSE]
    observation = np.zeros(RETURNS_IN_OBSERVATION + 2)
    returns = np.diff(np.log(closes))
    returns *= 100.0
    observation[RETURNS_IN_OBSERVATION - len(returns):RETURNS_IN_OBSERVATION] = returns
    observation[RETURNS_IN_OBSERVATION] = np.sign(snapshot[SNAP_NET_UNITS])
    observation[RETURNS_IN_OBSERVATION + 1] = (snapshot[SNAP_EQUITY] / initial_balance - 1.0) * 10.0
    return observation


def _describe(kind_code: float, index: float, step: float) -> str:
    if kind_code == -1:
        return f"the whole series at step {step:g}"
    kind = {0.0: "train", 1.0: "test"}.get(float(kind_code), f"type {kind_code:g}")
    return f"{kind} episode {index:g} at step {step:g}"


class TradingSession:
    """One engine's episodes. `units` is the size of every position the session opens.

    `events=True` fetches the step's events after every step (one more call, `Step.events`, k x 10)
    and the closing events after `finish` (`closing_events`); by default no events are fetched.
    `calls` counts the engine calls the session has made.

    `finish` ends the session, which closes what is still open and pays its fee: `closing_reward` is
    that last change of equity, in the unit of the rewards, so that the rewards of an episode plus it
    add up to the episode's return (x100)."""

    def __init__(self, engine: tarnel.TarnelEngineAsync, units: int = 10, timeout_secs: float = 10.0,
                 events: bool = False) -> None:
        self.engine = engine
        self.units = check_units(units)
        self.timeout = check_timeout("timeout_secs", timeout_secs)
        self.events = bool(events)
        self.config: dict[str, Any] = {}
        self.calls = 0
        self.closing_events: NDArray[np.float64] | None = None
        self.closing_reward = 0.0
        self._equity = 0.0
        self._episode: tuple[int, int] | None = None  # (type code, index) that reset started
        self._steps = 0
        self._open_ids: list[int] | None = []  # the open positions' ids; None: unknown, ask the engine
        self._net = 0.0  # net units of the open positions

    async def load_config(self) -> dict[str, Any]:
        self.calls += 1
        self.config = json.loads(await self.engine.get_rl_config(timeout_secs=self.timeout))
        return self.config

    @property
    def initial_balance(self) -> float:
        return float(self.config.get("initial_balance", 10000.0))

    @property
    def episode_running(self) -> bool:
        return self._episode is not None

    async def reset(self, episode_index: int, episode_type: str = "train") -> Step:
        check_episode_type(episode_type)
        self._episode = None
        if not self.config:
            await self.load_config()
        self.calls += 1
        await self.engine.reset_episode(episode_index, episode_type, timeout_secs=self.timeout)
        self._episode, self._steps = (EPISODE_CODES[episode_type], int(episode_index)), 0
        self.calls += 1
        snapshot = await self.engine.get_snapshot(timeout_secs=self.timeout)
        self._check(snapshot)
        self.calls += 1
        window = await self.engine.get_ohlc(timeout_secs=self.timeout)
        self._equity = float(snapshot[SNAP_EQUITY])
        self._open_ids = [] if snapshot[SNAP_OPEN_POSITIONS] == 0 else None
        self._net = float(snapshot[SNAP_NET_UNITS])
        self.closing_events = None
        observation = make_observation(snapshot, window, self.initial_balance)
        return Step(observation, 0.0, bool(snapshot[SNAP_DONE]),
                    snapshot, window, np.zeros((0, EVENT_COLUMNS)) if self.events else None)

    async def step(self, action: int, units: int | None = None) -> Step:
        """One step after the discrete `action` (HOLD, LONG, SHORT, FLAT); a position it opens is `units`
        (the session's when None; 0 opens none)."""
        return await self._step(self._act(action, self.units if units is None else units))

    async def step_to(self, target_units: float) -> Step:
        """One step after trading toward a net position of `target_units` (long > 0; see tarnel_rl.actions)."""
        return await self._step(self._act_to(float(target_units)))

    async def _step(self, trade: Any) -> Step:
        if self._episode is None:
            trade.close()
            raise RuntimeError("no episode is running: call reset() first")
        stepping = False
        try:
            await trade
            stepping = True
            self.calls += 1
            snapshot, window = await self.engine.step_and_sync(timeout_secs=self.timeout)
        except UserInterfaceReplaced:
            raise
        except RuntimeError as error:
            # A refusal (an unknown position id, an ended session) or a dropped link may come from another
            # user interface taking over: only then is one more call spent, to tell.
            await self._check_after_failure(error, stepping)
            raise
        self._steps += 1
        self._check(snapshot)
        if self._open_ids is not None and (len(self._open_ids) != snapshot[SNAP_OPEN_POSITIONS]
                                           or self._net != snapshot[SNAP_NET_UNITS]):
            self._open_ids = None  # something else opened or closed a position: ask before the next order
        self._net = float(snapshot[SNAP_NET_UNITS])
        events = None
        if self.events:
            self.calls += 1
            events = await self.engine.fetch_events(timeout_secs=self.timeout)
            events = events.reshape(-1, EVENT_COLUMNS)
        equity = float(snapshot[SNAP_EQUITY])
        reward = (equity - self._equity) / self.initial_balance * 100.0
        self._equity = equity
        observation = make_observation(snapshot, window, self.initial_balance)
        return Step(observation, reward, bool(snapshot[SNAP_DONE]), snapshot, window, events)

    async def finish(self) -> NDArray[np.float64]:
        """Ends the session; answers its summary row (see docs/protocol.md). With `events`, the events
        of the closing (the positions it closed) are then in `closing_events`."""
        if self._episode is None:
            raise RuntimeError("no episode is running: call reset() first")
        self.calls += 1
        summary: NDArray[np.float64] = (await self.engine.end_session(timeout_secs=self.timeout))[0]
        kind, index = self._running_episode()
        if (summary[SUMMARY_EPISODE_TYPE], summary[SUMMARY_EPISODE_INDEX], summary[SUMMARY_STEPS]) != (kind, index, self._steps):
            self._replaced(summary[SUMMARY_EPISODE_TYPE], summary[SUMMARY_EPISODE_INDEX], summary[SUMMARY_STEPS])
        self._episode = None
        self._open_ids, self._net = [], 0.0
        final_equity = float(summary[SUMMARY_FINAL_EQUITY])
        self.closing_reward = (final_equity - self._equity) / self.initial_balance * 100.0
        self._equity = final_equity
        if self.events:
            self.calls += 1
            self.closing_events = (await self.engine.fetch_events(timeout_secs=self.timeout)).reshape(-1, EVENT_COLUMNS)
        return summary

    # --- the position and the episode's identity ------------------------------------------------------

    async def _act(self, action: int, units: int) -> None:
        wanted = _WANTED[action]
        if wanted is None:
            return
        try:
            if self._open_ids is None:
                self.calls += 1
                tickets = await self.engine.get_ticket_list(timeout_secs=self.timeout)
                rows = [row for row in tickets if row[TICKET_STATE] == 1]
                self._open_ids = [int(row[TICKET_ID]) for row in rows]
                self._net = float(sum(np.sign(row[TICKET_SIDE]) * row[TICKET_UNITS] for row in rows))
            sign = (self._net > 0) - (self._net < 0)
            if sign == wanted and (wanted != 0 or not self._open_ids):
                return
            if self._open_ids:
                ids = self._open_ids
                self.calls += 1
                await self.engine.close_positions(ids, [1] * len(ids), [0.0] * len(ids), timeout_secs=self.timeout)
                self._open_ids, self._net = [], 0.0
            if wanted and units > 0:
                self.calls += 1
                receipt = await self.engine.place_ticket("buy" if wanted > 0 else "sell", units,
                                                         timeout_secs=self.timeout)
                self._open_ids, self._net = [int(receipt[RECEIPT_ID])], wanted * float(receipt[RECEIPT_UNITS])
        except BaseException:
            self._open_ids = None  # a call that failed or was cancelled leaves the position unknown
            raise

    async def _act_to(self, target: float) -> None:
        if abs(target - self._net) < UNITS_TOLERANCE:
            return
        try:
            self.calls += 1
            tickets = await self.engine.get_ticket_list(timeout_secs=self.timeout)
            rows = sorted((row for row in tickets if row[TICKET_STATE] == 1), key=lambda row: -row[TICKET_ID])
            net = float(sum(np.sign(row[TICKET_SIDE]) * row[TICKET_UNITS] for row in rows))
            ids, actions, ratios = [], [], []
            if rows and (abs(target) < UNITS_TOLERANCE or np.sign(target) != np.sign(net)):
                ids, actions, ratios = [int(row[TICKET_ID]) for row in rows], [1] * len(rows), [0.0] * len(rows)
                net = 0.0
            elif rows and abs(target) < abs(net) - UNITS_TOLERANCE:
                left = abs(net) - abs(target)  # newest first: whole closes, then one partial reduction
                for row in rows:
                    if left < UNITS_TOLERANCE:
                        break
                    units = float(row[TICKET_UNITS])
                    whole = units <= left + UNITS_TOLERANCE
                    ids.append(int(row[TICKET_ID]))
                    actions.append(1 if whole else 2)
                    ratios.append(0.0 if whole else left / units)
                    left -= min(units, left)
                net = target
            if ids:
                self.calls += 1
                await self.engine.close_positions(ids, actions, ratios, timeout_secs=self.timeout)
            missing = round(abs(target) - abs(net)) if abs(target) > abs(net) + UNITS_TOLERANCE else 0
            if missing:
                self.calls += 1
                await self.engine.place_ticket("buy" if target > 0 else "sell", missing, timeout_secs=self.timeout)
            self._net = target
        finally:
            self._open_ids = None  # positions may have been split or reduced: ask before a discrete action

    def _running_episode(self) -> tuple[int, int]:
        if self._episode is None:
            raise RuntimeError("no episode is running: call reset() first")
        return self._episode

    def _check(self, snapshot: NDArray[np.float64]) -> None:
        kind, index = self._running_episode()
        if (snapshot[SNAP_EPISODE_TYPE] != kind or snapshot[SNAP_EPISODE_INDEX] != index
                or snapshot[SNAP_STEP] != self._steps):
            self._replaced(snapshot[SNAP_EPISODE_TYPE], snapshot[SNAP_EPISODE_INDEX], snapshot[SNAP_STEP])

    def _replaced(self, kind: float, index: float, step: float) -> None:
        expected = _describe(*self._running_episode(), self._steps)
        self._episode = None
        self._open_ids = None
        self.config = {}  # the new user interface may have another series: read its configuration again
        raise UserInterfaceReplaced(
            f"the user interface was replaced: the engine now answers for {_describe(kind, index, step)}, not "
            f"for {expected} (another page, browser tab or Node.js user interface connected to the engine's "
            "port, or the page was reloaded); this episode is lost: call reset() to start a new one")

    async def _check_after_failure(self, error: RuntimeError, stepping: bool) -> None:
        """After a failed call: one snapshot tells whether another user interface answers now (then
        `UserInterfaceReplaced`, caused by `error`). If that fails too, `error` stands. A failed
        `step_and_sync` may have been made with only its answer lost: then the step is counted."""
        try:
            self.calls += 1
            snapshot = await self.engine.get_snapshot(timeout_secs=min(self.timeout, 1.0))
        except RuntimeError:
            return
        kind, index = self._running_episode()
        if (stepping and snapshot[SNAP_STEP] == self._steps + 1 and snapshot[SNAP_EPISODE_TYPE] == kind
                and snapshot[SNAP_EPISODE_INDEX] == index):
            self._steps += 1
            return
        try:
            self._check(snapshot)
        except UserInterfaceReplaced as replaced:
            raise replaced from error
