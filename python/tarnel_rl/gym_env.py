"""A Gymnasium environment whose episodes run on a reference user interface (or any user interface that
follows the protocol table in docs/protocol.md), through one `TarnelEngineAsync`.

    import gymnasium as gym
    from tarnel_rl.gym_env import TradingEnv

    env = TradingEnv(ui="node")                  # starts an engine on a free port and a Node.js UI for it
    obs, info = env.reset(seed=0, options={"episode_type": "train", "episode_index": 3})
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
    env.close()

The engine's methods are asyncio awaitables: the environment runs them on an event loop of its own, on
a background thread, so its synchronous API works from plain Python code and from inside a running
event loop (a notebook cell) alike. Several environments may share one such loop (`EventLoopThread`);
that is how `tarnel_rl.vector_env` drives many of them at once.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import threading
import weakref
from collections.abc import Coroutine
from typing import Any

import gymnasium as gym
import numpy as np
from gymnasium import spaces

import py_engine_tarnel as tarnel
from tarnel_rl import ui_host
from tarnel_rl.trading import (
    ACTION_NAMES,
    RETURNS_IN_OBSERVATION,
    SNAP_EQUITY,
    Step,
    TradingSession,
    observation_size,
)

SNAPSHOT_SIZE = 16
CANDLE_COLUMNS = 5
EVENT_COLUMNS = 10
EPISODE_TYPES = ("train", "test")
OBSERVATION_KINDS = ("features", "raw")

# Bounds of the 16 snapshot values (docs/protocol.md, "Snapshot"): counts, prices, fees and the
# drawdown are never negative, `done` is 0 or 1, the episode type is -1, 0 or 1, the index is >= -1.
# Money amounts have no bound: there is no margin limit, so even equity may fall below zero.
_INF = np.inf
SNAPSHOT_LOW = np.array([0, 0, 0, -_INF, -_INF, -_INF, -_INF, 0, 0, 0, -_INF, 0, 0, -1, -1, 0], dtype=np.float64)
SNAPSHOT_HIGH = np.array([_INF] * 12 + [1, 1, _INF, _INF], dtype=np.float64)


class EventLoopThread:
    """An asyncio event loop running on a daemon thread of its own.

    `run(coroutine, timeout)` runs a coroutine on that loop from any other thread and waits for its
    result; when the time runs out the coroutine is cancelled (an engine call in flight is abandoned,
    and the engine skips its late answer) and `TimeoutError` is raised. `stop()` cancels what is still
    running, stops the loop and joins the thread."""

    def __init__(self, name: str = "tarnel-env-loop") -> None:
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._main, name=name, daemon=True)
        self._thread.start()
        self._ready.wait()

    @property
    def thread(self) -> threading.Thread:
        return self._thread

    def is_running(self) -> bool:
        return self._thread.is_alive() and not self.loop.is_closed()

    def _main(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.call_soon(self._ready.set)
        try:
            self.loop.run_forever()
        finally:
            try:
                self.loop.run_until_complete(self._cancel_all())
                self.loop.run_until_complete(self.loop.shutdown_asyncgens())
                self.loop.run_until_complete(self.loop.shutdown_default_executor())
            finally:
                self.loop.close()

    @staticmethod
    async def _cancel_all() -> None:
        tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    def run(self, coroutine: Coroutine[Any, Any, Any], timeout: float | None) -> Any:
        if threading.current_thread() is self._thread:
            coroutine.close()
            raise RuntimeError("a synchronous environment method was called on the environment's own event "
                               "loop thread; await the coroutine instead")
        if not self.is_running():
            coroutine.close()
            raise RuntimeError("the environment's event loop has been stopped")
        future = asyncio.run_coroutine_threadsafe(coroutine, self.loop)
        try:
            return future.result(timeout)
        except concurrent.futures.TimeoutError:
            future.cancel()
            raise TimeoutError(f"no answer within {timeout} s") from None

    def stop(self, timeout: float = 10.0) -> None:
        """Cancels every task still on the loop, stops it and joins the thread. Idempotent."""
        if self._thread.is_alive() and not self.loop.is_closed():
            try:
                self.loop.call_soon_threadsafe(self.loop.stop)
            except RuntimeError:  # closed in between
                pass
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)


def _end_process(process) -> None:
    """At interpreter exit, for an environment that was never closed: end its Node.js user interface,
    which would otherwise go on trying to reconnect forever."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except Exception:
            process.kill()


class TradingEnv(gym.Env):
    """Episodes of the reference back-test as a Gymnasium environment.

    Actions (`Discrete(4)`): 0 hold, 1 be long `units`, 2 be short `units`, 3 be flat (see
    `tarnel_rl.trading`). A step sends the order or close calls the action needs, then `step_and_sync`.

    Observations (a float64 `Box`):
      - `observation="features"` (default): 18 values, the last 16 log returns of the close (x100, the
        oldest first), the sign of the position (-1, 0, 1) and equity relative to the initial balance
        (x10). Returns and equity have no finite bound.
      - `observation="raw"`: the 16 snapshot values followed by the candle window (window x 5, row by
        row, oldest first), with the bounds the protocol gives them (prices and volumes >= 0, ...).

    Reward: the change of equity during the step, in percent of the initial balance.
    `terminated`: the episode's last bar was reached (the snapshot's `done`). `truncated`: the step
    count reached `max_episode_steps` first. When either is set, the session is ended (`end_session`)
    and its 12-value summary is in `info["summary"]`.

    `info` holds the raw arrays of the step: `snapshot` (16), `window` (window x 5), `events` (k x 10,
    k may be 0), and `episode_type`, `episode_index`, `step`, `equity`.

    `reset(seed=..., options={"episode_type": "train" | "test", "episode_index": i})` starts episode i
    of that type with `reset_episode`; without an index, one is drawn from the environment's random
    generator (so a seeded reset is deterministic); without a type, the constructor's `episode_type`.

    User interface: `ui="node"`, `"browser"` or `"auto"` (the browser when headless Chromium and
    Playwright are there, else Node) starts one for this environment, on the engine's port, with the
    candle series of `series_seed` and the engine options `ui_options` (`bars`, `window`,
    `episode_length`, `sync`). `ui=None` starts none: a user interface of your own must connect to
    `host:port` within `connect_timeout_secs` (None waits for ever). `candles` (N x 5) replaces the
    series with `init_candles`.

    Ports: `port=None` picks a free one, so each environment gets its own. The module's server cannot
    be stopped: once started, its listening socket stays open until the process ends. `close()`
    therefore stops everything the environment started that can be stopped (the user interface and
    its processes, the event loop thread when the environment owns it), and the port stays taken
    until the process exits; a new environment simply takes a fresh port.
    """

    metadata = {"render_modes": []}

    def __init__(
        self,
        ui: str | None = "auto",
        port: int | None = None,
        host: str = "127.0.0.1",
        series_seed: int = 7,
        episode_type: str = "train",
        max_episode_steps: int | None = None,
        units: int = 10,
        observation: str = "features",
        ui_options: dict | None = None,
        candles: np.ndarray | None = None,
        timeout_secs: float = 10.0,
        connect_timeout_secs: float | None = 30.0,
        loop: EventLoopThread | None = None,
        _defer_open: bool = False,
    ) -> None:
        if ui is None and port is None:
            raise ValueError("with ui=None the port of the external user interface must be given")
        if ui is not None and ui not in ("auto", "node", "browser"):
            raise ValueError(f"ui must be 'auto', 'node', 'browser' or None, got {ui!r}")
        if episode_type not in EPISODE_TYPES:
            raise ValueError(f"episode_type must be 'train' or 'test', got {episode_type!r}")
        if observation not in OBSERVATION_KINDS:
            raise ValueError(f"observation must be 'features' or 'raw', got {observation!r}")
        if max_episode_steps is not None and max_episode_steps < 1:
            raise ValueError(f"max_episode_steps must be at least 1, got {max_episode_steps}")
        self.ui_kind = ui
        self.host = host
        self.port: int | None = port
        self.series_seed = series_seed
        self.episode_type = episode_type
        self.max_episode_steps = max_episode_steps
        self.units = units
        self.observation_kind = observation
        self.ui_options = dict(ui_options or {})
        self.candles = None if candles is None else np.ascontiguousarray(candles, dtype=np.float64)
        self.timeout = timeout_secs
        self.connect_timeout = connect_timeout_secs
        self.config: dict = {}
        self.action_space = spaces.Discrete(len(ACTION_NAMES))
        self.engine: tarnel.TarnelEngineAsync | None = None
        self.ui = None
        self._process = None
        self._session: TradingSession | None = None
        self._owns_loop = loop is None
        self._loop = loop if loop is not None else EventLoopThread()
        self._finalizer: weakref.finalize | None = None
        self._closed = False
        self._episode_over = True
        self._steps = 0
        self._episode = ("train", -1)
        if not _defer_open:
            try:
                self._run(self._open(), self._open_timeout())
            except BaseException:
                self.close()
                raise

    # --- the synchronous Gymnasium API ----------------------------------------------------------------

    def reset(self, *, seed: int | None = None, options: dict | None = None):
        super().reset(seed=seed)
        return self._run(self._async_reset(options), self._call_timeout())

    def step(self, action):
        return self._run(self._async_step(action), self._call_timeout())

    def close(self) -> None:
        """Stops the user interface this environment started and, when it owns it, its event loop
        thread. The engine's listening socket cannot be closed (see the class's notes). Idempotent."""
        if self._closed:
            return
        self._closed = True
        self._episode_over = True
        try:
            if self.ui is not None and self._loop.is_running():
                try:
                    self._loop.run(self._close_ui(), 30.0)
                except TimeoutError:
                    pass
        finally:
            if self._finalizer is not None:
                self._finalizer()  # ends the Node.js process if it is still there; a no-op otherwise
            if self._owns_loop:
                self._loop.stop()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def loop_thread(self) -> threading.Thread:
        return self._loop.thread

    @property
    def ui_process(self):
        """The Node.js process of the user interface this environment started (None for a browser or
        an external one); still there after `close()`, to check that it has ended."""
        return self._process

    @property
    def initial_balance(self) -> float:
        return float(self.config.get("initial_balance", 10000.0))

    def screenshot(self, path: str) -> None:
        """Saves the page as a PNG; only with the browser user interface."""
        if not isinstance(self.ui, ui_host.BrowserUI):
            raise RuntimeError("screenshots need the browser user interface (ui='browser')")
        self._run(self.ui.screenshot(path), self._call_timeout())

    # --- the coroutines, run on the environment's loop (shared by tarnel_rl.vector_env) ----------------

    async def _open(self) -> None:
        auto_port = self.port is None
        port = self.port or 0
        for attempt in range(5):
            if auto_port:
                port = ui_host.free_port()
            engine = tarnel.TarnelEngineAsync(self.host, port)
            try:
                await engine.start()
                break
            except RuntimeError as error:
                # Another process may take a free port between the look-up and the bind.
                if not auto_port or attempt == 4 or "bind failed" not in str(error):
                    raise
        self.engine, self.port = engine, port
        if self.ui_kind is not None:
            self.ui = await ui_host.open_ui(self.ui_kind, port, self.series_seed, self.host, self.ui_options)
            self._process = getattr(self.ui, "process", None)
            if self._process is not None:
                self._finalizer = weakref.finalize(self, _end_process, self._process)
        await engine.wait_connected(timeout_secs=self.connect_timeout)
        self._session = TradingSession(engine, units=self.units, timeout_secs=self.timeout)
        if self.candles is not None:
            await engine.init_candles(self.candles, timeout_secs=self.timeout)
        self.config = await self._session.load_config()
        self._set_spaces()

    async def _close_ui(self) -> None:
        ui, self.ui = self.ui, None
        if ui is not None:
            await ui.close()

    async def _async_reset(self, options: dict | None) -> tuple[np.ndarray, dict]:
        self._check_open()
        options = dict(options or {})
        unknown = set(options) - {"episode_type", "episode_index"}
        if unknown:
            raise ValueError(f"unknown reset options: {', '.join(sorted(unknown))}")
        kind = options.get("episode_type", self.episode_type)
        if kind not in EPISODE_TYPES:
            raise ValueError(f"episode_type must be 'train' or 'test', got {kind!r}")
        count = int(self.config[f"{kind}_episodes"])
        if count < 1:
            raise ValueError(f"the series has no {kind} episodes")
        index = options.get("episode_index")
        if index is None:
            index = int(self.np_random.integers(count))
        index = int(index)
        if not 0 <= index < count:
            raise ValueError(f"{kind} episode index {index} out of range ({count} {kind} episodes)")
        self._episode_over = True
        assert self._session is not None
        step = await self._session.reset(index, kind)
        self._episode = (kind, index)
        self._steps = 0
        self._episode_over = bool(step.done)
        return self._observation(step), self._info(step)

    async def _async_step(self, action) -> tuple[np.ndarray, float, bool, bool, dict]:
        self._check_open()
        if self._episode_over:
            raise RuntimeError("the episode is over: call reset() before step()")
        if not self.action_space.contains(action):
            raise ValueError(f"action must be one of 0..{len(ACTION_NAMES) - 1}, got {action!r}")
        assert self._session is not None
        step = await self._session.step(int(action))
        self._steps += 1
        terminated = bool(step.done)
        truncated = not terminated and self.max_episode_steps is not None and self._steps >= self.max_episode_steps
        info = self._info(step)
        if terminated or truncated:
            self._episode_over = True
            info["summary"] = np.array(await self._session.finish())
        return self._observation(step), float(step.reward), terminated, truncated, info

    # --- helpers ----------------------------------------------------------------------------------------

    def _set_spaces(self) -> None:
        window = int(self.config["window"])
        self.window_size = window
        if self.observation_kind == "features":
            low = np.full(observation_size(), -np.inf)
            high = np.full(observation_size(), np.inf)
            low[RETURNS_IN_OBSERVATION], high[RETURNS_IN_OBSERVATION] = -1.0, 1.0  # the position's sign
        else:
            low = np.concatenate([SNAPSHOT_LOW, np.zeros(window * CANDLE_COLUMNS)])
            high = np.concatenate([SNAPSHOT_HIGH, np.full(window * CANDLE_COLUMNS, np.inf)])
        self.observation_space = spaces.Box(low=low, high=high, dtype=np.float64)

    def _observation(self, step: Step) -> np.ndarray:
        if self.observation_kind == "features":
            return np.array(step.observation, dtype=np.float64)
        window = step.window[-self.window_size:]
        return np.concatenate([step.snapshot, window.ravel()]).astype(np.float64)

    def _info(self, step: Step) -> dict:
        events = np.array(step.events, dtype=np.float64).reshape(-1, EVENT_COLUMNS)
        return {
            "snapshot": np.array(step.snapshot),
            "window": np.array(step.window[-self.window_size:]),
            "events": events,
            "episode_type": self._episode[0],
            "episode_index": self._episode[1],
            "step": self._steps,
            "equity": float(step.snapshot[SNAP_EQUITY]),
        }

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the environment is closed")

    def _run(self, coroutine, timeout: float | None):
        if self._closed:
            coroutine.close()
            raise RuntimeError("the environment is closed")
        return self._loop.run(coroutine, timeout)

    def _call_timeout(self) -> float:
        # A step makes at most six engine calls, each limited to `timeout`; this only guards the total.
        return self.timeout * 8 + 5.0

    def _open_timeout(self) -> float | None:
        if self.connect_timeout is None:
            return None
        return self.connect_timeout + self.timeout * 4 + 30.0


gym.register(id="tarnel_rl/Trading-v0", entry_point="tarnel_rl.gym_env:TradingEnv")
