"""The trading session's decisions without a user interface: which engine calls each action makes from
each position, how the position is known without asking for the ticket list, how another user
interface taking over the port is told apart from a refusal or a broken link, and the episode types it
accepts. A small stand-in engine keeps the account the way docs/protocol.md describes it."""
import json

import numpy as np
import pytest

import rl_support  # noqa: F401  (puts the package on the path)
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT, TradingSession, UserInterfaceReplaced

UNITS = 10


class StandInEngine:
    """Positions with ids, the snapshot's step, type, index, open positions and net units, the summary's
    identity columns; `replace()` swaps in the state of a freshly started user interface."""

    def __init__(self):
        self.log: list[str] = []
        self.fail: dict[str, RuntimeError] = {}
        self._fresh()

    def _fresh(self):
        self.kind, self.index, self.step, self.ended = -1, -1, 0, False
        self.positions: dict[int, float] = {}  # id -> signed units
        self.next_id = 1
        self.events: list[list[float]] = []

    def replace(self):
        self._fresh()

    def open_behind_the_sessions_back(self, signed_units):
        self.positions[self.next_id] = signed_units
        self.next_id += 1

    def close_behind_the_sessions_back(self):
        self.positions.clear()

    async def _enter(self, name):
        self.log.append(name)
        if name in self.fail:
            raise self.fail.pop(name)

    def _snapshot(self):
        snap = np.zeros(16)
        snap[0], snap[2], snap[4] = self.step, 100.0 + self.step, 10000.0 + self.step
        snap[8], snap[10] = len(self.positions), sum(self.positions.values())
        snap[12] = float(self.step >= 50)
        snap[13], snap[14] = self.kind, self.index
        return snap

    async def get_rl_config(self, timeout_secs=None):
        await self._enter("get_rl_config")
        return json.dumps({"window": 32, "initial_balance": 10000.0, "train_episodes": 13, "test_episodes": 3})

    async def reset_episode(self, index, kind, timeout_secs=None):
        await self._enter("reset_episode")
        self._fresh()
        self.kind, self.index = (1 if kind == "test" else 0), index
        return 50

    async def get_snapshot(self, timeout_secs=None):
        await self._enter("get_snapshot")
        return self._snapshot()

    async def get_ohlc(self, timeout_secs=None):
        await self._enter("get_ohlc")
        return np.full((32, 5), 100.0)

    async def get_ticket_list(self, timeout_secs=None):
        await self._enter("get_ticket_list")
        rows = [[pid, 1, np.sign(u), abs(u), 100, 0, 0, 0, 0, 0, -1, 0] for pid, u in self.positions.items()]
        return np.array(rows, dtype=float).reshape(-1, 12) if rows else np.zeros((0, 0))

    async def close_positions(self, ids, actions, ratios, timeout_secs=None):
        await self._enter("close_positions")
        unknown = [i for i in ids if i not in self.positions]
        if unknown:
            raise RuntimeError(f"RpcError(seq=9, fnId=31, err=4, sub=1): close_positions entry 0: unknown position id {unknown[0]}")
        for i in ids:
            self.events.append([2, i] + [0] * 8)
            del self.positions[i]
        return np.zeros((len(ids), 8))

    async def place_ticket(self, side, units, timeout_secs=None):
        await self._enter("place_ticket")
        pid = self.next_id
        self.next_id += 1
        self.positions[pid] = units if side == "buy" else -units
        self.events.append([1, pid] + [0] * 8)
        return np.array([pid, 1, 1 if side == "buy" else -1, units, 100.0, 0, 0, 0.2])

    async def step_and_sync(self, timeout_secs=None):
        await self._enter("step_and_sync")
        self.step += 1
        return self._snapshot(), np.full((32, 5), 100.0)

    async def fetch_events(self, timeout_secs=None):
        await self._enter("fetch_events")
        events, self.events = self.events, []
        return np.array(events, dtype=float).reshape(-1, 10) if events else np.zeros((0, 0))

    async def end_session(self, timeout_secs=None):
        await self._enter("end_session")
        for i in list(self.positions):
            self.events.append([2, i] + [0] * 6 + [5, 0])
        self.positions.clear()
        summary = np.zeros((1, 12))
        summary[0, 0], summary[0, 10], summary[0, 11] = self.step, self.kind, self.index
        return summary


async def session_in(position, events=False):
    engine = StandInEngine()
    session = TradingSession(engine, units=UNITS, events=events)
    await session.reset(2, "train")
    if position:
        await session.step(LONG if position > 0 else SHORT)
    engine.log.clear()
    return engine, session


@pytest.mark.parametrize("position, action, calls, after", [
    (0, HOLD, [], 0), (1, HOLD, [], 1), (-1, HOLD, [], -1),
    (0, LONG, ["place_ticket"], 1), (1, LONG, [], 1), (-1, LONG, ["close_positions", "place_ticket"], 1),
    (0, SHORT, ["place_ticket"], -1), (-1, SHORT, [], -1), (1, SHORT, ["close_positions", "place_ticket"], -1),
    (0, FLAT, [], 0), (1, FLAT, ["close_positions"], 0), (-1, FLAT, ["close_positions"], 0),
])
async def test_each_action_makes_only_the_calls_it_needs(position, action, calls, after):
    engine, session = await session_in(position)
    before = session.calls
    step = await session.step(action)
    assert engine.log == calls + ["step_and_sync"]  # never the ticket list, never events
    assert session.calls - before == len(engine.log)
    assert step.snapshot[10] == after * UNITS and step.events is None
    assert step.observation[16] == after


async def test_a_position_changed_by_something_else_is_asked_for_once():
    engine, session = await session_in(1)
    engine.close_behind_the_sessions_back()
    engine.open_behind_the_sessions_back(-3.0)
    engine.open_behind_the_sessions_back(-4.0)
    await session.step(HOLD)  # the snapshot shows two positions where the session knew one
    engine.log.clear()
    await session.step(LONG)
    assert engine.log == ["get_ticket_list", "close_positions", "place_ticket", "step_and_sync"]
    assert list(engine.positions.values()) == [UNITS]
    engine.log.clear()
    await session.step(FLAT)  # known again from the receipt
    assert engine.log == ["close_positions", "step_and_sync"] and engine.positions == {}


async def test_events_are_fetched_only_when_asked_for():
    engine, session = await session_in(0, events=True)
    step = await session.step(LONG)
    assert engine.log == ["place_ticket", "step_and_sync", "fetch_events"]
    assert step.events.shape == (1, 10) and step.events[0, 0] == 1
    step = await session.step(HOLD)
    assert step.events.shape == (0, 10)
    summary = await session.finish()
    assert summary[0] == 2 and session.closing_events.shape == (1, 10) and session.closing_events[0, 8] == 5
    with pytest.raises(RuntimeError, match=r"^no episode is running: call reset\(\) first$"):
        await session.step(HOLD)


@pytest.mark.parametrize("kind", ["eval", "tset", "", "TEST", "Train", " train", None, 0, b"test"])
async def test_only_train_and_test_are_episode_types(kind):
    engine = StandInEngine()
    session = TradingSession(engine)
    with pytest.raises(ValueError, match=r"^episode_type must be 'train' or 'test', got "):
        await session.reset(0, kind)
    assert engine.log == [] and session.calls == 0  # refused before any call
    step = await session.reset(1, "test")
    assert (step.snapshot[13], step.snapshot[14]) == (1, 1)


async def test_another_user_interface_is_noticed_in_the_step_snapshot():
    engine, session = await session_in(1)
    await session.step(HOLD)
    engine.replace()
    engine.log.clear()
    with pytest.raises(UserInterfaceReplaced) as info:
        await session.step(HOLD)
    assert str(info.value) == (
        "the user interface was replaced: the engine now answers for the whole series at step 1, not for train "
        "episode 2 at step 3 (another page, browser tab or Node.js user interface connected to the engine's port, "
        "or the page was reloaded); this episode is lost: call reset() to start a new one")
    assert isinstance(info.value, RuntimeError) and engine.log == ["step_and_sync"]  # no extra call
    with pytest.raises(RuntimeError, match=r"^no episode is running"):
        await session.step(HOLD)
    engine.log.clear()
    await session.reset(0, "test")  # the new user interface's configuration is read again
    assert engine.log == ["get_rl_config", "reset_episode", "get_snapshot", "get_ohlc"]


async def test_a_user_interface_at_the_same_episode_but_another_step_is_noticed():
    engine, session = await session_in(0)
    await session.step(HOLD)
    engine.step += 3  # the same episode, but steps were taken elsewhere
    with pytest.raises(UserInterfaceReplaced, match=r"answers for train episode 2 at step 5, not for train episode 2 at step 2"):
        await session.step(HOLD)


async def test_a_refusal_from_another_user_interface_becomes_the_replaced_error():
    engine, session = await session_in(1)
    engine.replace()  # the new one has no position 1: closing it is refused
    with pytest.raises(UserInterfaceReplaced) as info:
        await session.step(SHORT)
    assert str(info.value.__cause__).startswith("RpcError(seq=9, fnId=31, err=4, sub=1)")
    # The step's calls went out together: the ticket and the step behind the refused close were made.
    assert engine.log[-4:] == ["close_positions", "place_ticket", "step_and_sync", "get_snapshot"]
    assert engine.step == 1


@pytest.mark.parametrize("failing, error, made, next_calls", [
    # A failed close leaves the position unknown: it is asked for before the next order. The step sent
    # behind the close was made all the same, and counted.
    ("close_positions", "RpcError(seq=4, fnId=31, err=6, sub=0): internal error: boom", True,
     ["get_ticket_list", "close_positions", "step_and_sync"]),
    ("step_and_sync", "RpcTransportError(seq=7, fnId=130): websocket closed", False, ["step_and_sync"]),
    # The step was made and only its answer was lost: the next snapshot is one step further, and counted.
    ("step_and_sync", "RpcTransportError(seq=7, fnId=130): timed out", True, ["step_and_sync"]),
])
async def test_other_failures_keep_their_own_error(failing, error, made, next_calls):
    engine, session = await session_in(-1)
    engine.fail[failing] = RuntimeError(error)
    if made and failing == "step_and_sync":
        engine.step += 1
    with pytest.raises(RuntimeError) as info:
        await session.step(FLAT)
    assert type(info.value) is RuntimeError and str(info.value) == error
    assert engine.log[-1] == "get_snapshot"  # the one look that tells it apart from a replacement
    engine.log.clear()
    step = await session.step(FLAT)  # the episode goes on
    assert engine.log == next_calls and engine.positions == {}
    assert step.snapshot[0] == engine.step == 2 + made


async def test_the_summary_of_another_session_is_noticed():
    engine, session = await session_in(0)
    await session.step(HOLD)
    engine.replace()
    with pytest.raises(UserInterfaceReplaced, match="the whole series at step 0, not for train episode 2 at step 1"):
        await session.finish()
