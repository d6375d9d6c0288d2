"""An asyncio trading session over one engine and the reference user interface: discrete actions in,
observations and rewards out. The Gymnasium environment and the demo trainer build on it.

A step costs as few calls as the action allows: `step_and_sync` always, plus the close and ticket calls
that change the position, and all of them go out at once: the page answers them in order, the engine
reads the answers in order, so a step is one round trip whatever it trades. The session knows its
positions from what those calls answer (the ticket's receipt, the units each close leaves, the snapshot's
open positions and net units), so it never asks for the ticket list unless something else changed the
account, for discrete and target actions alike. `TradingSession.calls` counts every engine call it made.

Every snapshot and summary carries the episode's type, index and step; the session compares them with
what `reset` started and raises `UserInterfaceReplaced` when another user interface has taken over the
engine's port (a page reload, a second browser tab, a second Node.js runner), at no extra call."""
from __future__ import annotations

import json
import math
import asyncio
from collections.abc import Callable
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
SNAP_STEP, SNAP_BAR, SNAP_CLOSE, SNAP_EQUITY = 0, 1, 2, 4
SNAP_OPEN_POSITIONS, SNAP_NET_UNITS, SNAP_DONE = 8, 10, 12
SNAP_EPISODE_TYPE, SNAP_EPISODE_INDEX = 13, 14
# Columns of the ticket list, of a receipt, of the summary, and of a candle.
TICKET_ID, TICKET_STATE, TICKET_SIDE, TICKET_UNITS = 0, 1, 2, 3
RECEIPT_ID, RECEIPT_SIDE, RECEIPT_UNITS = 0, 2, 3
CLOSE_UNITS_LEFT = 7
SUMMARY_STEPS, SUMMARY_FINAL_EQUITY, SUMMARY_EPISODE_TYPE, SUMMARY_EPISODE_INDEX = 0, 2, 10, 11
CANDLE_CLOSE = 3
EVENT_COLUMNS = 10
RETURNS_IN_OBSERVATION = 16
# The longest time-out accepted: the module refuses a duration it cannot hold with an exception that no
# `except Exception` catches, so values are checked here first.
MAX_TIMEOUT_SECS = 1e9
# The most units a ticket carries: the module takes a ticket's units as a 32-bit signed integer.
MAX_UNITS = 2 ** 31 - 1
# The longest series init_candles carries to the page: its message (a 16-byte header, the matrix's 8, then
# 8 bytes a value, 5 a bar, 6 with the times the financing needs) must fit the 4 GiB - 1 the page's
# WebSocket takes (ui/src/client.js, MAX_MESSAGE_BYTES).
MAX_MESSAGE_BYTES = 2 ** 32 - 1
MAX_BARS = (MAX_MESSAGE_BYTES - 16 - 8) // (5 * 8)
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


# An engine call on its way (its future: the module's calls are sent when they are made) and what its
# answer changes in the session's positions.
Trade = tuple["asyncio.Future[Any]", Callable[[Any], None]]


async def _settle(trades: list[Trade], stepped: "asyncio.Future[Any]", session: "TradingSession") -> None:
    """Reads the answers of a step's trades in the order they were sent and keeps what they say. The step
    is already on its way behind them: when one fails, the rest still run on the page, so they are waited
    for (their outcomes dropped), the positions become unknown, and the first failure is raised."""
    if not trades:
        return
    for answer, keep in trades:
        try:
            keep(await answer)
        except BaseException as failure:
            session._positions = None
            await _wait_out([later for later, _ in trades] + [stepped], failure)
            raise
    session._net_of_positions()


async def _wait_out(calls: list["asyncio.Future[Any]"], failure: BaseException) -> None:
    """After `failure`, the calls sent with the one that failed: they still run on the page, so they are
    waited for and their outcomes dropped; when the failure is a cancellation, they are abandoned too."""
    pending = [call for call in calls if not call.done()]
    if isinstance(failure, asyncio.CancelledError):
        for call in pending:
            call.cancel()
    await asyncio.gather(*calls, return_exceptions=True)


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
    """The size of the positions a session opens: an integer from 1 to MAX_UNITS."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"units must be an integer, got {value!r}")
    if value < 1:
        raise ValueError(f"units must be at least 1, got {value!r}")
    if value > MAX_UNITS:
        raise ValueError(f"units must be at most {MAX_UNITS} (2^31 - 1, what a ticket of the module carries), "
                         f"got {value!r}")
    return int(value)


def check_series_length(bars: int, market: str | None = None, columns: int = 5) -> None:
    """Refuses a series longer than init_candles carries (MAX_BARS with 5 columns): it would not reach the
    page, which would close the link."""
    most = MAX_BARS if columns == 5 else (MAX_MESSAGE_BYTES - 16 - 8) // (columns * 8)
    if bars > most:
        which = "the series" if market is None else f"the series of market {market!r}"
        raise ValueError(f"{which} has {bars} bars, more than the user interface takes: init_candles carries at "
                         f"most {most} bars of {columns} values (a message of {MAX_MESSAGE_BYTES} bytes); shorten "
                         f"it or split it")


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
    logs = np.log(window[-(RETURNS_IN_OBSERVATION + 1):, CANDLE_CLOSE])
    observation = np.zeros(RETURNS_IN_OBSERVATION + 2)
    count = len(logs) - 1
    if count > 0:  # what np.diff computes, without its checks: a[1:] - a[:-1]
        returns = observation[RETURNS_IN_OBSERVATION - count:RETURNS_IN_OBSERVATION]
        np.subtract(logs[1:], logs[:-1], out=returns)
        returns *= 100.0
    net = float(snapshot[SNAP_NET_UNITS])
    # The sign as np.sign gives it, at less cost: 1, -1, 0 for either zero, NaN for NaN.
    observation[RETURNS_IN_OBSERVATION] = 1.0 if net > 0 else -1.0 if net < 0 else net + 0.0
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
        # The open positions, id -> (side, units), kept from what the calls answer (receipts, the close rows'
        # units left); None: unknown, ask the engine.
        self._positions: dict[int, tuple[float, float]] | None = {}
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
        # The new episode's snapshot and window are asked for with the reset, and read after it.
        self.calls += 3
        reset = asyncio.ensure_future(self.engine.reset_episode(episode_index, episode_type, timeout_secs=self.timeout))
        asked = asyncio.ensure_future(self.engine.get_snapshot(timeout_secs=self.timeout))
        shown = asyncio.ensure_future(self.engine.get_ohlc(timeout_secs=self.timeout))
        try:
            await reset
            self._episode, self._steps = (EPISODE_CODES[episode_type], int(episode_index)), 0
            snapshot = await asked
            self._check(snapshot)
            window = await shown
        except BaseException as failure:
            await _wait_out([reset, asked, shown], failure)
            raise
        self._equity = float(snapshot[SNAP_EQUITY])
        self._positions = {} if snapshot[SNAP_OPEN_POSITIONS] == 0 else None
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
            # The trade's calls are out, their answers not read yet: the step goes out behind them.
            trades = await trade
            stepping = True
            self.calls += 1
            stepped = asyncio.ensure_future(self.engine.step_and_sync(timeout_secs=self.timeout))
            await _settle(trades, stepped, self)
            snapshot, window = await stepped
        except UserInterfaceReplaced:
            raise
        except RuntimeError as error:
            # A refusal (an unknown position id, an ended session) or a dropped link may come from another
            # user interface taking over: only then is one more call spent, to tell.
            await self._check_after_failure(error, stepping)
            raise
        self._steps += 1
        self._check(snapshot)
        if self._positions is not None and (len(self._positions) != snapshot[SNAP_OPEN_POSITIONS]
                                            or self._net != snapshot[SNAP_NET_UNITS]):
            self._positions = None  # something else opened or closed a position: ask before the next order
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
        self._positions, self._net = {}, 0.0
        final_equity = float(summary[SUMMARY_FINAL_EQUITY])
        self.closing_reward = (final_equity - self._equity) / self.initial_balance * 100.0
        self._equity = final_equity
        if self.events:
            self.calls += 1
            self.closing_events = (await self.engine.fetch_events(timeout_secs=self.timeout)).reshape(-1, EVENT_COLUMNS)
        return summary

    # --- the position and the episode's identity ------------------------------------------------------

    async def _read_positions(self) -> None:
        """Asks the engine for the open positions (one call), when something made them unknown."""
        self.calls += 1
        tickets = await self.engine.get_ticket_list(timeout_secs=self.timeout)
        rows = [row for row in tickets if row[TICKET_STATE] == 1]
        self._positions = {int(row[TICKET_ID]): (float(row[TICKET_SIDE]), float(row[TICKET_UNITS])) for row in rows}
        self._net = float(sum(np.sign(row[TICKET_SIDE]) * row[TICKET_UNITS] for row in rows))

    def _close(self, ids: list[int], actions: list[int], ratios: list[float]) -> Trade:
        """Closes (action 1) or reduces (action 2) positions; what a reduction leaves is the units left of
        its row in the answer (one row per entry, in the request's order)."""
        self.calls += 1
        answer = asyncio.ensure_future(self.engine.close_positions(ids, actions, ratios, timeout_secs=self.timeout))

        def closed(rows: NDArray[np.float64]) -> None:
            assert self._positions is not None
            for position_id, action, row in zip(ids, actions, rows):
                side = self._positions.pop(position_id)[0]
                left = float(row[CLOSE_UNITS_LEFT]) if action == 2 else 0.0
                if left != 0:
                    self._positions[position_id] = (side, left)
        return answer, closed

    def _open_ticket(self, side: str, units: int) -> Trade:
        """Opens one market ticket; its receipt adds the position it opened."""
        self.calls += 1
        answer = asyncio.ensure_future(self.engine.place_ticket(side, units, timeout_secs=self.timeout))

        def opened(receipt: NDArray[np.float64]) -> None:
            assert self._positions is not None
            self._positions[int(receipt[RECEIPT_ID])] = (float(receipt[RECEIPT_SIDE]), float(receipt[RECEIPT_UNITS]))
        return answer, opened

    def _net_of_positions(self) -> None:
        """What the engine's snapshot will say, summed as the ticket list orders the positions."""
        assert self._positions is not None
        self._net = float(sum(np.sign(side) * units for _, (side, units) in sorted(self._positions.items())))

    async def _act(self, action: int, units: int) -> list[Trade]:
        wanted = _WANTED[action]
        if wanted is None:
            return []
        try:
            if self._positions is None:
                await self._read_positions()
            assert self._positions is not None
            sign = (self._net > 0) - (self._net < 0)
            if sign == wanted and (wanted != 0 or not self._positions):
                return []
            trades = []
            if self._positions:
                ids = sorted(self._positions)  # the ticket list's order
                trades.append(self._close(ids, [1] * len(ids), [0.0] * len(ids)))
            if wanted and units > 0:
                trades.append(self._open_ticket("buy" if wanted > 0 else "sell", units))
            return trades
        except BaseException:
            self._positions = None  # a call that failed or was cancelled leaves the position unknown
            raise

    async def _act_to(self, target: float) -> list[Trade]:
        if abs(target - self._net) < UNITS_TOLERANCE:
            return []
        try:
            if self._positions is None:
                await self._read_positions()
            assert self._positions is not None
            rows = sorted(((position_id, side, units) for position_id, (side, units) in self._positions.items()),
                          key=lambda row: -row[0])
            net = float(sum(np.sign(side) * units for _, side, units in rows))
            ids, actions, ratios = [], [], []
            if rows and (abs(target) < UNITS_TOLERANCE or np.sign(target) != np.sign(net)):
                ids, actions, ratios = [row[0] for row in rows], [1] * len(rows), [0.0] * len(rows)
                net = 0.0
            elif rows and abs(target) < abs(net) - UNITS_TOLERANCE:
                left = abs(net) - abs(target)  # newest first: whole closes, then one partial reduction
                for position_id, _, units in rows:
                    if left < UNITS_TOLERANCE:
                        break
                    whole = units <= left + UNITS_TOLERANCE
                    ids.append(position_id)
                    actions.append(1 if whole else 2)
                    ratios.append(0.0 if whole else left / units)
                    left -= min(units, left)
                net = target
            trades = []
            if ids:
                trades.append(self._close(ids, actions, ratios))
            missing = round(abs(target) - abs(net)) if abs(target) > abs(net) + UNITS_TOLERANCE else 0
            if missing:
                trades.append(self._open_ticket("buy" if target > 0 else "sell", missing))
            return trades
        except BaseException:
            self._positions = None  # a call that failed or was cancelled leaves the positions unknown
            raise

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
        self._positions = None
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
