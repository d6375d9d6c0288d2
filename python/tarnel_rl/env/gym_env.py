"""A Gymnasium environment whose episodes run on a reference user interface (or any user interface that
follows the protocol table in docs/protocol.md), through one `TarnelEngineAsync`.

    import gymnasium as gym
    from tarnel_rl.env.gym_env import TradingEnv

    env = TradingEnv(ui="node")                  # starts an engine on a free port and a Node.js UI for it
    obs, info = env.reset(seed=0, options={"episode_type": "train", "episode_index": 3})
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
    env.close()

The engine's methods are asyncio awaitables: the environment keeps one event loop of its own for its
whole life (`tarnel_rl.loops`). Made in a thread that runs no event loop (plain Python code), it drives
that loop itself in the calling thread for the length of each call; made inside a running event loop
(a notebook cell), it runs the loop on a background thread and waits for each call's result. Several
environments may share one loop; that is how `tarnel_rl.vector_env` drives many of them at once.
"""
from __future__ import annotations

import asyncio
import subprocess
import sys
import threading
import weakref
from collections.abc import Coroutine
from typing import Any, SupportsFloat, TypeAlias, cast

import gymnasium as gym
import numpy as np
from numpy.typing import NDArray

import py_engine_tarnel as tarnel
from tarnel_rl.env.account import ACCOUNT_PAGE_DEFAULTS, Costs, Sizing, make_costs, make_sizing
from tarnel_rl.env.actions import DiscreteActions, make_actions
from tarnel_rl.env.loops import CallerLoop, EventLoopThread, make_loop
from tarnel_rl.env.markets import Markets
from tarnel_rl.env.observations import SNAPSHOT_HIGH, SNAPSHOT_LOW, Features, make_observation_kind  # noqa: F401
from tarnel_rl.env.rewards import make_reward
from tarnel_rl.env.summary import EpisodeSummary, ending_info
from tarnel_rl.env.trading import (
    ACTION_NAMES,
    EPISODE_TYPES,  # noqa: F401  (importable from here, as before)
    EVENT_COLUMNS,
    SNAP_BAR,
    SNAP_CLOSE,
    SNAP_EQUITY,
    SUMMARY_FINAL_EQUITY,
    Step,
    TradingSession,
    UserInterfaceReplaced,
    check_series_length,
    check_timeout,
    check_units,
)
from tarnel_rl.hosting import ui_host
from tarnel_rl.market_data.loader import Candles, split_bars
from tarnel_rl.watch.dashboard import Seat, TrainingFeed, print_address, take_seat
from tarnel_rl.watch.episode_trace import EpisodeTrace, bar_time_text
from tarnel_rl.watch.frames import draw_frame

__all__ = ["TradingEnv", "EndSessionOnTruncation", "UserInterfaceReplaced", "EventLoopThread", "CallerLoop",
           "EVENT_ROWS", "ENV_ID", "Observation", "Action"]

# The registered id. `gym.make` finds it once this module is imported; the module-qualified form
# "tarnel_rl.gym_env:tarnel_rl/Trading-v0" imports it by itself.
ENV_ID = "tarnel_rl/Trading-v0"
Observation: TypeAlias = NDArray[np.float64]
# What `step` takes: an int, or what `action_space.sample()` answers (a NumPy integer).
Action: TypeAlias = int | np.integer[Any] | NDArray[np.floating[Any]]
RENDER_MODES = ("human", "rgb_array")
# How the module's failures of the link and of the page begin (see docs/module.md, "When something fails").
_LINK_ERRORS = ("RpcTransportError", "RpcError")

SNAPSHOT_SIZE = 16
CANDLE_COLUMNS = 5
# What reset's episode_type may name: validation episodes are the page's test episodes after its test
# range's (docs/protocol.md, "Episodes").
ENV_EPISODE_TYPES = ("train", "validation", "test")
# Rows of info["events"] with events=True. A step of this environment makes at most three events (a
# close, an open, and on the last step the closing of the session), so four always hold them.
EVENT_ROWS = 4



def _end_process(process: subprocess.Popen[bytes]) -> None:
    """At interpreter exit, for an environment that was never closed: end its Node.js user interface,
    which would otherwise go on trying to reconnect forever."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except Exception:
            process.kill()


class TradingEnv(gym.Env[Observation, Action]):
    """Episodes of the reference back-test as a Gymnasium environment.

    Actions (`Discrete(4)`, the default `action="discrete"`): 0 hold, 1 be long `units`, 2 be short
    `units`, 3 be flat (see `tarnel_rl.trading`). A step sends the close and ticket calls the action
    needs (none when the position is already the one asked for), then `step_and_sync`: 1.7 engine
    calls a step on average under random actions. `engine_calls` counts them.

    Observations (a float64 `Box`):
      - `observation="features"` (default): 18 values, the last 16 log returns of the close (x100, the
        oldest first), the sign of the position (-1, 0, 1) and equity relative to the initial balance
        (x10). Returns and equity have no finite bound.
      - `observation="raw"`: the 16 snapshot values followed by the candle window (window x 5, row by
        row, oldest first), with the bounds the protocol gives them (prices and volumes >= 0, ...).

    Reward (the default `reward="pct"`): the change of equity during the step, in percent of the
    initial balance. The last step's reward includes the closing of the session (what was still open
    is closed and pays its fee), so the rewards of an episode add up to its return in percent.
    `terminated`: the episode's last bar was reached (the snapshot's `done`). `truncated`: the step
    count reached `max_episode_steps` first (the constructor's; with `gym.make(..., max_episode_steps=N)`
    gymnasium's `TimeLimit` truncates, and `EndSessionOnTruncation` above it ends the session). When
    either is set, the session is ended (`end_session`) and its 12-value summary is in `info["summary"]`.

    `info` has the same keys and shapes at every step, so that vector environments can stack it:
    `snapshot` (16), `window` (window x 5), `episode_type`, `episode_index`, `step`, `equity`; with
    `events=True` also `events` (EVENT_ROWS x 10: the step's events, oldest first, then rows of NaN)
    and `event_count` (the number of events; above EVENT_ROWS only the first rows are kept). Events cost
    one more call a step and are off by default. Only at the episode's end: `summary` (12).

    `reset(seed=..., options={"episode_type": "train" | "test", "episode_index": i})` starts episode i
    of that type with `reset_episode`; without an index, one is drawn from the environment's random
    generator (so a seeded reset is deterministic); without a type, the constructor's `episode_type`.
    Any other episode type is a `ValueError`. `options={"episode_type": "test" | "validation",
    "walk_forward": True}` starts the walk-forward pass over that whole held-out range instead (from its
    first bar to its last, the first window's history from the bars before it; a page the
    environment starts has it, `ui_options={"walk_forward": True}` by default, docs/protocol.md "Episodes"; its `info["episode_index"]` is the
    index after the range's episodes); `tarnel_rl.evaluate` plays it.

    Every step compares the episode type, index and step count in the snapshot with the episode that
    `reset` started. When another user interface has taken over the engine's port (a second Node.js
    runner or browser tab, a page reload), they differ, and the step raises `UserInterfaceReplaced`
    (a `RuntimeError`): the episode is lost and `reset` starts a new one on the user interface now
    connected.

    User interface: `ui="node"` (the default and the fastest; `"auto"` is the same) or `"browser"`
    (headless Chromium, only when asked for) starts one for this environment, on the engine's port, with
    the candle series of `series_seed` and the engine options `ui_options` (`bars`, `window`,
    `episode_length`, `sync`, ...). `ui=None` starts none: a user interface of your own must connect to
    `host:port` within `connect_timeout_secs` (None waits for ever), with the same seed and options,
    else the environment refuses it and says how to start it. `candles` replaces the series with
    `init_candles`: an N x 5 array, a CSV or Parquet path, a DataFrame or `tarnel_rl.data.Candles`,
    checked in Python first (`tarnel_rl.data.load_candles`: a bad row is a ValueError naming it).

    The task (each argument goes to the page only when given, so the defaults are the page's own):
    `fee_rate` and `slippage_bps` (against the trader, on every fill and close); the split,
    `test_from` (a time; needs candles with times) or `test_share`, and `validation_from` or
    `validation_share` (reset with `episode_type="validation"`); `train_starts="any"` lets a train
    episode start on any bar of the train range; `action="target"` (`tarnel_rl.actions`), `reward="log"`
    or `"dsr"` (`tarnel_rl.rewards`), an observation function (`tarnel_rl.observations`). At the
    episode's end `info["episode_summary"]` is the summary as a named record (`tarnel_rl.summary`).
    `record_trace=True` keeps the episode for `tarnel_rl.replay.save_trace(env.episode_trace, path)`.

    The account (`tarnel_rl.account`; the page keeps it): `initial_balance`; `sizing="units"` (the
    default: `units` lots a position, as the demo's recorded returns have it) or `"equity"` (an exposure
    e is trunc(e x equity x `leverage` / (price x `lot_size`)) lots); `lot_size` (the instrument's
    quantity in a lot, 0.01 for fractions); `maintenance_margin` (below it the page closes everything,
    the episode is `terminated` and `info["terminated_by"] == "margin call"`, with `info["margin_call"]`);
    `spread_bps` and `borrow_rate` (on shorts and on leverage, by the candles' times or `bars_per_year`).
    `sizing=Sizing(...)` and `costs=Costs(...)` give them as objects. When an episode is terminated,
    `info["terminated_by"]` says why: "episode end" or "margin call".

    Rendering: `render_mode="rgb_array"`: `render()` answers the episode so far as a 400 x 720 x 3
    uint8 frame (candles, fills and closes, the open position, the equity), drawn from what the steps
    answer, so it works whatever runs the page (gymnasium's `RecordVideo` takes it).
    `render_mode="human"`: the training dashboard in your own browser (`tarnel_rl.dashboard`): the
    returns curve, every environment's episode, step, last actions and rewards, observation and steps
    per second, and the candles of the one you choose. The page publishes its state at most 30 times a
    second to a small server on 127.0.0.1 (`tarnel_rl.viewer`, on `viewer_port` or a free one), which
    passes it on to any number of dashboards. One server serves the whole trainer: its address (with
    its secret token) is printed once, when the first environment starts it, and is `viewer_url`;
    later environments of the trainer, its vectors and worker processes included, join it. Dashboards
    never connect to the engine.

    Ports: `port=None` picks a free one, so each environment gets its own. `close()` stops everything
    the environment started: the user interface and its processes, the engine (its listening socket
    and connection, so the port is free again at once) and the event loop when the environment owns it.
    The dashboard's server is the trainer's: it marks the environment closed and stays, with the
    returns curve, until the process ends (or `tarnel_rl.dashboard.close_viewers()`).

    Cut short by a wrapper: a `TimeLimit` wrapped by hand (SB3's `wrapper_class`) truncates without
    telling the environment; the next `reset` then ends the session left open (what was open is closed
    and pays its fee) and keeps its summary in `last_summary`. `gym.make(..., max_episode_steps=N)`
    and the constructor's `max_episode_steps` end it at the truncated step itself.

    Threads: made where no event loop runs, the environment drives its own loop in the calling thread
    (no thread hand-over per call); made inside a running event loop, it runs its loop on a background
    thread (`loop_thread`). See `tarnel_rl.loops`.
    """

    metadata: dict[str, Any] = {"render_modes": list(RENDER_MODES), "render_fps": 30}

    def __init__(
        self,
        ui: str | None = "node",
        port: int | None = None,
        host: str = "127.0.0.1",
        series_seed: int = 7,
        episode_type: str = "train",
        max_episode_steps: int | None = None,
        units: int = 10,
        observation: Any = "features",
        ui_options: dict[str, Any] | None = None,
        candles: Any = None,
        timeout_secs: float = 10.0,
        connect_timeout_secs: float | None = 30.0,
        events: bool = False,
        render_mode: str | None = None,
        viewer_port: int | None = None,
        loop: CallerLoop | EventLoopThread | None = None,
        action: Any = "discrete",
        reward: Any = "pct",
        fee_rate: float | None = None,
        slippage_bps: float | None = None,
        test_from: Any = None,
        test_share: float | None = None,
        validation_from: Any = None,
        validation_share: float | None = None,
        train_starts: str = "grid",
        record_trace: bool = False,
        sizing: str | Sizing = "units",
        costs: Costs | None = None,
        initial_balance: float | None = None,
        leverage: float | None = None,
        lot_size: float | None = None,
        maintenance_margin: float | None = None,
        spread_bps: float | None = None,
        borrow_rate: float | None = None,
        bars_per_year: float | None = None,
        _defer_open: bool = False,
    ) -> None:
        if ui is None and port is None:
            raise ValueError("with ui=None the port of the external user interface must be given")
        if ui is not None and ui not in ("auto", "node", "browser"):
            raise ValueError(f"ui must be 'node', 'browser', 'auto' (Node.js) or None, got {ui!r}")
        _check_port("port", port)
        _check_env_episode_type(episode_type)
        if max_episode_steps is not None and max_episode_steps < 1:
            raise ValueError(f"max_episode_steps must be at least 1, got {max_episode_steps}")
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(f"render_mode must be 'human', 'rgb_array' or None, got {render_mode!r}")
        _check_port("viewer_port", viewer_port)
        if viewer_port is not None and render_mode != "human":
            raise ValueError(f"viewer_port is the live viewer's, which only render_mode='human' starts (render_mode "
                             f"is {render_mode!r})")
        self.ui_kind = ui
        self.host = host
        self.port: int | None = port
        self.series_seed = series_seed
        self.episode_type = episode_type
        self.max_episode_steps = max_episode_steps
        self.units = check_units(units)
        self.sizing = make_sizing(sizing, initial_balance=initial_balance, leverage=leverage, lot_size=lot_size,
                                  maintenance_margin=maintenance_margin)
        self.costs = make_costs(costs, spread_bps=spread_bps, borrow_rate=borrow_rate, bars_per_year=bars_per_year)
        self.actions = make_actions(action, self.units, self.sizing)
        self.reward_function = make_reward(reward)
        self.ui_options = ui_host.checked_options(ui_options)
        if ui is not None:  # a page of its own has the walk-forward passes that evaluate() plays by default
            self.ui_options.setdefault("walk_forward", 1)
        # One market or several (tarnel_rl.markets); `candles` is the one the page holds.
        self.markets: Markets | None = None if candles is None else Markets.load(candles)
        self.candles: Candles | None = None if self.markets is None else self.markets.candles
        for name, series in ({} if self.markets is None else self.markets.named).items():
            timed = self.costs.borrow_rate != 0.0 and series.times is not None  # _candle_matrix's sixth column
            check_series_length(len(series), name if len(self.markets.named) > 1 else None, 6 if timed else 5)
        self.observation_kind = make_observation_kind(observation, self.candles)

        def task_options(candles: Candles | None) -> dict[str, Any]:
            return _task_options(candles, self.ui_options, fee_rate, slippage_bps, test_from, test_share,
                                 validation_from, validation_share, train_starts,
                                 {**self.sizing.ui_options(), **self.costs.ui_options()})
        self.ui_options.update(task_options(self.candles) if self.markets is None
                               else self.markets.same_for_each("their split", task_options))
        self.timeout = check_timeout("timeout_secs", timeout_secs)
        self.connect_timeout = (None if connect_timeout_secs is None
                                else check_timeout("connect_timeout_secs", connect_timeout_secs))
        self.events = bool(events)
        self.render_mode = render_mode
        self.viewer_port = viewer_port
        self.config: dict[str, Any] = {}
        self.action_space = self.actions.space
        self.engine: tarnel.TarnelEngineAsync | None = None
        self.ui: ui_host.NodeUI | ui_host.HostedPage | ui_host.BrowserUI | None = None
        self._process: subprocess.Popen[bytes] | None = None
        self._session: TradingSession | None = None
        self._seat: Seat | None = None  # on the trainer's dashboard, with render_mode="human"
        self._feed: TrainingFeed | None = None
        self.last_summary: NDArray[np.float64] | None = None
        self._trace = EpisodeTrace() if render_mode == "rgb_array" or record_trace else None
        self._closing_reward = 0.0
        self._equity = 0.0
        self._price = 0.0  # the last snapshot's close: the price the next step trades at
        self._first_price = 0.0
        self._owns_loop = loop is None
        self._loop = loop if loop is not None else make_loop()
        # Every engine call of a step has its own time-out. Run in the calling thread, a step needs no
        # guard of its own; a caller waiting on a loop thread keeps one over the whole step.
        self._step_guard = None if isinstance(self._loop, CallerLoop) else self._call_timeout()
        self._finalizer: weakref.finalize[Any, Any] | None = None
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

    def reset(self, *, seed: int | None = None,
              options: dict[str, Any] | None = None) -> tuple[Observation, dict[str, Any]]:
        super().reset(seed=seed)
        result: tuple[Observation, dict[str, Any]] = self._run(self._async_reset(options), self._call_timeout())
        return result

    def step(self, action: Action) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        result: tuple[Observation, float, bool, bool, dict[str, Any]] = self._run(self._async_step(action),
                                                                                  self._step_guard)
        return result

    def render(self) -> NDArray[np.uint8] | None:
        """With `render_mode="rgb_array"`, the episode so far as a 400 x 720 x 3 uint8 frame. With
        "human" None: the dashboard (`viewer_url`) follows the page by itself."""
        if self.render_mode == "rgb_array":
            assert self._trace is not None
            return draw_frame(self._trace)
        if self.render_mode is None:
            gym.logger.warn("render() was called without a render_mode: make the environment with "
                            "render_mode='rgb_array' (frames) or 'human' (a live view in your browser)")
        return None

    @property
    def episode_trace(self) -> EpisodeTrace | None:
        """With `record_trace=True` (or render_mode="rgb_array"): the running or last episode's candles,
        actions, rewards, fills and equity, which `tarnel_rl.replay.save_trace` writes to a file; else None."""
        return self._trace

    @property
    def viewer_url(self) -> str | None:
        """The dashboard's address with `render_mode="human"` (open it in a browser), else None."""
        return None if self._seat is None else self._seat.url

    @property
    def closing_reward(self) -> float:
        """The change of equity (in the rewards' unit) that the last ending of a session brought: the
        closing of what was open and its fee. The episode's last step already includes it in its reward;
        after `end_episode` it is what the rewards are short of the return."""
        return self._closing_reward

    def end_episode(self, info: dict[str, Any] | None = None) -> NDArray[np.float64]:
        """Ends the running episode's session now (`end_session`) and answers its 12-value summary; with
        `info` (a step's), puts the summary into it (and with `events=True` the closing's events) as the
        episode's last step does. `EndSessionOnTruncation` calls it when a wrapper truncates the episode
        and adds `closing_reward` to that step's reward."""
        if self._episode_over:
            raise RuntimeError("no episode is running: call reset() first")
        if info is not None and self.events and "event_count" not in info:
            raise ValueError("info must be one of this environment's step infos")
        target = self._closing_info() if info is None else info
        self._run(self._finish(target), self._call_timeout())
        summary: NDArray[np.float64] = target["summary"]
        return summary

    def __reduce__(self) -> Any:
        raise TypeError("a TradingEnv cannot be pickled: it holds an engine with a listening socket, a user "
                        "interface process and an event loop. Pass a factory instead, a function that makes the "
                        "environment in the process that uses it (for example `lambda: TradingEnv(ui='node')`, "
                        "or gymnasium's `gym.make_vec(..., vectorization_mode='async')`)")

    def close(self) -> None:
        """Stops the user interface this environment started, closes the engine (its port is free again)
        and, when it owns it, stops its event loop thread. Idempotent."""
        if self._closed:
            return
        self._closed = True
        self._episode_over = True
        try:
            if (self.ui is not None or self.engine is not None) and self._loop.is_running():
                try:
                    self._loop.run(self._shut_down(), 30.0)
                except TimeoutError:
                    pass
        finally:
            if self._finalizer is not None:
                self._finalizer()  # ends the Node.js process if it is still there; a no-op otherwise
            if self._seat is not None:
                self._seat.leave()
                self._seat = None
            if self._owns_loop:
                self._loop.stop()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def loop_thread(self) -> threading.Thread | None:
        """The thread the environment's event loop runs on; None when it runs in the calling thread."""
        return self._loop.thread

    @property
    def engine_calls(self) -> int:
        """The engine calls this environment has made since it connected (configuration, resets, steps,
        ends of sessions)."""
        return 0 if self._session is None else self._session.calls

    @property
    def ui_process(self) -> subprocess.Popen[bytes] | None:
        """The Node.js process of the user interface this environment started (None for a browser or
        an external one); still there after `close()`, to check that it has ended."""
        return self._process

    @property
    def initial_balance(self) -> float:
        return float(self.config.get("initial_balance", 10000.0))

    def screenshot(self, path: str) -> None:
        """Saves the page as a PNG; only with the browser user interface."""
        # A browser, or a page of a tab that several pages share.
        if not isinstance(self.ui, (ui_host.BrowserUI, ui_host.HostedPage)) or self.ui.kind != "browser":
            raise RuntimeError("screenshots need the browser user interface (ui='browser')")
        self._run(self.ui.screenshot(path), self._call_timeout())

    # --- the coroutines, run on the environment's loop (shared by tarnel_rl.vector_env) ----------------

    async def _open(self) -> None:
        await self._start_engine()
        await self._connect_page()

    async def _start_engine(self) -> None:
        if self.render_mode == "human":  # a taken port is one clear line, before anything starts
            self._seat, started = take_seat(self.viewer_port)
            self._feed = TrainingFeed(self._seat, ACTION_NAMES)
            if started:
                print_address(self._seat.url)
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
                if "bind failed" in str(error) and not auto_port:
                    raise RuntimeError(f"the engine cannot listen on {self.host}:{port}, which another program "
                                       f"uses: give another port, or port=None for a free one ({error})") from error
                if not auto_port or attempt == 4 or "bind failed" not in str(error):
                    raise
        self.engine, self.port = engine, port

    async def _connect_page(self, page: ui_host.HostedPage | None = None) -> None:
        """Starts the user interface (or takes `page`, one of a Node.js process that several environments
        share: tarnel_rl.vector_env) and waits for it to connect."""
        engine, port = self.engine, self.port
        assert engine is not None and port is not None
        publish = None if self._seat is None else self._seat.publish_url
        if page is not None:
            self.ui = page
        elif self.ui_kind is not None:
            self.ui = await ui_host.open_ui(self.ui_kind, port, self.series_seed, self.host, self.ui_options,
                                            viewer=publish,
                                            allow_origin=None if self._seat is None else self._seat.allow_origin)
        if self.ui is not None:
            self._process = getattr(self.ui, "process", None)
            if self._process is not None:
                self._finalizer = weakref.finalize(self, _end_process, self._process)
        if self._seat is not None and self.ui_kind is None:
            print(f"tarnel_rl: the page of your own for the engine on {self.host}:{port} publishes to the dashboard "
                  f"with viewer={publish} in its query", file=sys.stderr, flush=True)
        try:
            await ui_host.wait_connected(engine, self.ui, self.connect_timeout)
        except ui_host.UserInterfaceExited as error:
            raise RuntimeError(f"the user interface for the engine on {self.host}:{port} {error}") from None
        except RuntimeError as error:
            raise RuntimeError(self._not_connected(error)) from error
        self._session = TradingSession(engine, units=self.units, timeout_secs=self.timeout, events=self.events)
        if self.candles is not None:
            await engine.init_candles(self._candle_matrix(), timeout_secs=self.timeout)
        self.config = await self._session.load_config()
        if self._feed is not None:  # the run folder's config.json
            self._feed.describe(self.config)
        if self.ui_kind is None:
            self._check_external_page(self.config)
        self._set_spaces()

    async def _shut_down(self) -> None:
        """Stops the user interface first (so that it does not retry a closed port), then the engine and
        the hub."""
        ui, self.ui = self.ui, None
        try:
            if ui is not None:
                await ui.close()
        finally:
            engine, self.engine = self.engine, None
            try:
                if engine is not None:
                    await engine.close()
            finally:
                if self._seat is not None:
                    self._seat.leave()
                    self._seat = None

    async def _async_reset(self, options: dict[str, Any] | None) -> tuple[Observation, dict[str, Any]]:
        self._check_open()
        options = dict(options or {})
        unknown = set(options) - {"episode_type", "episode_index", "walk_forward", "market"}
        if unknown:
            raise ValueError(f"unknown reset options: {', '.join(sorted(unknown))}")
        kind = _check_env_episode_type(options.get("episode_type", self.episode_type))
        assert self._session is not None
        if self.markets is not None:
            await self._load_market(self.markets.choose(options.get("market"), self.np_random))
        elif options.get("market") is not None:
            raise ValueError("the market option needs candles=... (several markets, or one)")
        if not self._session.config:  # read again after the user interface was replaced
            await self._reload_config()
        if options.get("walk_forward"):
            index = self._walk_forward_index(kind, options.get("episode_index"))
        else:
            count = int(self.config.get(f"{kind}_episodes", 0))
            if count < 1:
                raise ValueError(f"the series has no {kind} episodes")
            asked = options.get("episode_index")
            index = int(self.np_random.integers(count)) if asked is None else int(asked)
            if not 0 <= index < count:
                raise ValueError(f"{kind} episode index {index} out of range ({count} {kind} episodes)")
        if not self._episode_over:
            # A session left open: a wrapper of the caller's (a TimeLimit wrapped by hand, as SB3's
            # `wrapper_class` does) cut the episode short without telling it. End it as the episode's
            # end would, so that what was open is closed and pays its fee (`last_summary`).
            await self._finish(self._closing_info())
        self._episode_over = True
        if kind == "validation":  # the page's test episodes after its test range's
            step = await self._session.reset(int(self.config["test_episodes"]) + index, "test")
        else:
            step = await self._session.reset(index, kind)
        self._episode = (kind, index)
        self._steps = 0
        self._episode_over = bool(step.done)
        self._equity = float(step.snapshot[SNAP_EQUITY])
        self._price = float(step.snapshot[SNAP_CLOSE])
        self._first_price = self._price  # the market's move over the episode, for the dashboard's curve
        self._closing_reward = 0.0
        self.reward_function.reset(self._session.initial_balance)
        if self._trace is not None:
            self._trace.start(kind, index, step.snapshot, step.window, self._session.initial_balance,
                              None if self.candles is None else self.candles.times)
        observation = self._observation(step)
        if self._feed is not None:
            self._feed.reset(kind, index, observation, *self._bar_of(step))
        return observation, self._info(step)

    async def _load_market(self, name: str) -> None:
        """Puts market `name`'s candles in the page, unless it holds them already."""
        assert self.markets is not None and self.engine is not None and self._session is not None
        if name == self.markets.current:
            return
        if not self._episode_over:  # the open session belongs to the other market's series
            await self._finish(self._closing_info())
            self._episode_over = True
        self.markets.current = name
        self.candles = self.markets.candles
        await self.engine.init_candles(self._candle_matrix(), timeout_secs=self.timeout)
        await self._reload_config()
        self.observation_kind.attach_candles(self.candles)

    async def _async_step(self, action: Action) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        self._check_open()
        if self._episode_over:
            raise RuntimeError("the episode is over: call reset() before step()")
        wanted = self.actions.check(action, self._equity, self._price)
        assert self._session is not None
        try:
            if isinstance(self.actions, DiscreteActions):
                step = await self._session.step(int(wanted), self.actions.position_units(self._equity, self._price))
            else:
                step = await self._session.step_to(wanted)
        except UserInterfaceReplaced:
            self._episode_over = True
            raise
        self._steps += 1
        equity = float(step.snapshot[SNAP_EQUITY])
        reward = self.reward_function.step(self._equity, equity)
        self._equity = equity
        self._price = float(step.snapshot[SNAP_CLOSE])
        if self._trace is not None:
            self._trace.step(step.snapshot, step.window, action=wanted, reward=reward)
        terminated = bool(step.done)
        limit = self.max_episode_steps
        truncated = not terminated and limit is not None and self._steps >= limit
        info = self._info(step)
        observation = self._observation(step)
        if self._feed is not None:
            self._feed.step(wanted, reward, observation, *self._bar_of(step))
        if terminated or truncated:
            await self._finish(info)
            if terminated:
                info.update(ending_info(info["episode_summary"], self.sizing.maintenance_margin))
            reward += self._closing_reward
            if self._trace is not None:
                self._trace.rewards[-1] = reward
        return observation, reward, terminated, truncated, info

    async def _finish(self, info: dict[str, Any]) -> None:
        """Ends the session: its summary goes into the last step's `info`, with the closing's events."""
        assert self._session is not None
        self._episode_over = True
        info["summary"] = self.last_summary = await self._session.finish()
        final_equity = float(info["summary"][SUMMARY_FINAL_EQUITY])
        self._closing_reward = self.reward_function.closing(self._equity, final_equity)
        self._equity = final_equity
        record = EpisodeSummary.from_row(info["summary"], self.config, *self._episode)
        info["episode_summary"] = record
        if self._feed is not None:
            self._feed.episode_end(self._closing_reward, market_pct=(self._price / self._first_price - 1.0) * 100.0)
        if self._trace is not None:
            self._trace.finish(final_equity, record)
        closing = self._session.closing_events
        if self.events and closing is not None and len(closing):
            count = info["event_count"]
            kept = max(0, min(len(closing), EVENT_ROWS - count))
            info["events"][count:count + kept] = closing[:kept]
            info["event_count"] = count + len(closing)

    # --- helpers ----------------------------------------------------------------------------------------

    def _walk_forward_index(self, kind: str, asked: Any) -> int:
        """The index, within `kind`, of the page's walk-forward pass over that held-out range: the test
        episodes' indices go on after the validation episodes', where the passes follow them."""
        if asked is not None:
            raise ValueError("a walk-forward pass has no episode_index: it is the whole range")
        if kind == "train":
            raise ValueError("walk-forward passes are over the held-out ranges: episode_type 'test' or 'validation'")
        passes = self.config.get("walk_forward_episodes")
        if passes is None:
            raise ValueError("the page has no walk-forward passes: make the environment with "
                             "ui_options={'walk_forward': True}")
        page_index = passes.get(kind)
        if page_index is None:
            raise ValueError(f"the page has no walk-forward pass over the {kind} range (none, or fewer than window - 1 "
                             "bars before it, or a single bar)")
        return int(page_index) - (int(self.config["test_episodes"]) if kind == "validation" else 0)

    def _closing_info(self) -> dict[str, Any]:
        """An info for an ending of a session that no step carries."""
        if not self.events:
            return {}
        return {"events": np.full((EVENT_ROWS, EVENT_COLUMNS), np.nan), "event_count": 0}

    def _candle_matrix(self) -> NDArray[np.float64]:
        """What init_candles sends: the candles, and their times in seconds as a sixth column when the
        financing runs by them (the page then charges by the time between bars)."""
        assert self.candles is not None
        if self.costs.borrow_rate == 0.0 or self.candles.times is None:
            return self.candles.values
        seconds = self.candles.times.astype("datetime64[ns]").astype(np.int64) / 1e9
        return np.ascontiguousarray(np.column_stack([self.candles.values, seconds]))

    def _set_spaces(self) -> None:
        self.window_size = int(self.config["window"])
        self.observation_kind.attach_candles(self.candles)
        self.observation_space = self.observation_kind.bind(self.config)

    async def _reload_config(self) -> None:
        assert self._session is not None
        config = await self._session.load_config()
        if int(config["window"]) != self.window_size:
            self._session.config = {}
            raise RuntimeError(f"the user interface now connected has a window of {config['window']} candles; this "
                               f"environment's observations are made for {self.window_size}: make a new environment")
        self.config = config

    def _observation(self, step: Step) -> Observation:
        if type(self.observation_kind) is Features:
            return step.observation  # a fresh array of the session's, made the same way
        observation: Observation = self.observation_kind.observe(step.window[-self.window_size:], step.snapshot)
        return observation

    def _info(self, step: Step) -> dict[str, Any]:
        # The arrays are the module's fresh results, owned by no one else: no copies.
        info: dict[str, Any] = {
            "snapshot": step.snapshot,
            "window": step.window[-self.window_size:],
            "episode_type": self._episode[0],
            "episode_index": self._episode[1],
            "step": self._steps,
            "equity": float(step.snapshot[SNAP_EQUITY]),
        }
        if self.markets is not None and len(self.markets) > 1:
            info["market"] = self.markets.current
        if self.events:
            events = step.events if step.events is not None else np.zeros((0, EVENT_COLUMNS))
            fixed = np.full((EVENT_ROWS, EVENT_COLUMNS), np.nan)
            kept = min(len(events), EVENT_ROWS)
            fixed[:kept] = events[:kept]
            info["events"] = fixed
            info["event_count"] = len(events)
        return info

    def _bar_of(self, step: Step) -> tuple[int, str | None]:
        """The cursor's bar, and its time as text when the candles have times (the dashboard's figures)."""
        bar = int(step.snapshot[SNAP_BAR])
        times = None if self.candles is None else self.candles.times
        return bar, None if times is None else bar_time_text(times[bar])

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the environment is closed")

    def _run(self, coroutine: Coroutine[Any, Any, Any], timeout: float | None) -> Any:
        if self._closed:
            coroutine.close()
            raise RuntimeError("the environment is closed")
        try:
            return self._loop.run(coroutine, timeout)
        except (RuntimeError, TimeoutError) as error:
            # The module's texts say what failed, not where: say which engine and which page.
            if self.engine is not None and (isinstance(error, TimeoutError) or str(error).startswith(_LINK_ERRORS)):
                error.add_note(f"tarnel_rl: the engine on {self.host}:{self.port}, {self._describe_ui()}")
            raise

    def _describe_ui(self) -> str:
        """Which page serves the engine, for the notes added to errors."""
        if self.ui_kind is None:
            return f"served by a user interface of your own (ui=None) that connects to ws://{self.host}:{self.port}"
        if self._process is not None:
            status = self._process.poll()
            ended = "" if status is None else f", which has exited with status {status}"
            return f"served by the Node.js user interface (pid {self._process.pid}{ended})"
        if isinstance(self.ui, ui_host.BrowserUI) and self.ui.url is not None:
            return f"served by the page {self.ui.url} in headless Chromium"
        return f"served by the {self.ui_kind} user interface"

    def _not_connected(self, error: RuntimeError) -> str:
        within = "" if self.connect_timeout is None else f" within {self.connect_timeout:g} s"
        head = f"no user interface connected to the engine on {self.host}:{self.port}{within} ({error})"
        if self.ui_kind is None:
            query = ui_host.page_query(self.port or 0, self.series_seed, self.host, self.ui_options,
                                       None if self._seat is None else self._seat.publish_url)
            return (f"{head}: start yours for this port, for example serve {ui_host.ui_directory()} from 127.0.0.1 "
                    f"and open index.html?{query}, or run {self._runner_command()}")
        return f"{head}; {self._describe_ui()}: run {self._runner_command()} by hand to see what it says"

    def _runner_command(self) -> str:
        return ui_host.runner_command(self.port or 0, self.series_seed, self.ui_options)

    def _check_external_page(self, config: dict[str, Any]) -> None:
        """With ui=None: the page of your own must run this environment's series and options, which the
        environment cannot pass on to it. A page that differs is refused, saying how to start the right one."""
        found, wanted = [], []
        if self.candles is None and config.get("candle_source") == "synthetic" and config.get("seed") != self.series_seed:
            found.append(f"seed {config.get('seed')}")
            wanted.append(f"series_seed={self.series_seed}")
        for key, value in self.ui_options.items():
            have = _page_option(config, key)
            if have is not None and not _same_option(have, value):
                found.append(f"{key} {have}")
                wanted.append(f"{key}={value!r}")
        if not found:
            return
        query = ui_host.page_query(self.port or 0, self.series_seed, self.host, self.ui_options,
                                   None if self._seat is None else self._seat.publish_url)
        raise RuntimeError(
            f"the user interface connected to {self.host}:{self.port} runs {', '.join(found)}, but this environment "
            f"asks for {', '.join(wanted)}, and with ui=None it cannot pass them on: open the page as "
            f"index.html?{query}, or run {self._runner_command()}, "
            "or give the environment the page's settings")

    def _call_timeout(self) -> float:
        # A step makes at most seven engine calls, each limited to `timeout`; this only guards the total.
        return self.timeout * 8 + 5.0

    def _open_timeout(self) -> float | None:
        if self.connect_timeout is None:
            return None
        return self.connect_timeout + self.timeout * 4 + 30.0


def _check_port(name: str, port: Any) -> None:
    if port is None:
        return
    if isinstance(port, bool) or not isinstance(port, (int, np.integer)) or not 1 <= port <= 65535:
        raise ValueError(f"{name} must be 1 to 65535, or None for a free one; got {port!r}")


def _check_env_episode_type(episode_type: Any) -> str:
    if not isinstance(episode_type, str) or episode_type not in ENV_EPISODE_TYPES:
        raise ValueError(f"episode_type must be 'train', 'validation' or 'test', got {episode_type!r}")
    return episode_type


def _task_options(candles: Candles | None, ui_options: dict[str, Any], fee_rate: Any, slippage_bps: Any,
                  test_from: Any, test_share: Any, validation_from: Any, validation_share: Any,
                  train_starts: Any, account: dict[str, Any]) -> dict[str, Any]:
    """The page's options for the environment's task arguments: only those asked for, so that the
    defaults leave the page as it always was. `account`: the sizing's and the costs' (tarnel_rl.account)."""
    options: dict[str, Any] = dict(account)
    for name, value in (("fee_rate", fee_rate), ("slippage_bps", slippage_bps)):
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not np.isfinite(value) or value < 0:
            raise ValueError(f"{name} must be a finite number >= 0, got {value!r}")
        options[name] = float(value)
    if "slippage_bps" in options and options["slippage_bps"] >= 10000:
        raise ValueError(f"slippage_bps must be below 10000, got {slippage_bps!r}")
    if train_starts not in ("grid", "any"):
        raise ValueError(f"train_starts must be 'grid' (episodes side by side) or 'any' (from any bar), got {train_starts!r}")
    if train_starts != "grid":
        options["train_starts"] = train_starts
    bars = len(candles) if candles is not None else int(ui_options.get("bars", 5000))
    split = split_bars(bars, candles, test_from=test_from, test_share=test_share, validation_from=validation_from,
                       validation_share=validation_share)
    if split is not None:
        options.update(split.ui_options())
    clash = sorted(set(options) & set(ui_options))
    if clash:
        raise ValueError(f"{', '.join(clash)} given both as arguments and in ui_options: give each once")
    return options


# Where the page's configuration (get_rl_config) says what each user interface option set.
def _page_option(config: dict[str, Any], key: str) -> Any:
    series = config.get("series") or {}
    synthetic = config.get("candle_source") == "synthetic"
    return {
        "bars": config.get("bars") if synthetic else None,
        "window": config.get("window"),
        "episode_length": config.get("episode_length"),
        "sync": config.get("sync_policy"),
        "series": series.get("kind") if synthetic else None,
        "regime_drift": series.get("regime_drift"),
        "regime_bars": series.get("regime_bars"),
        "half_life": series.get("half_life"),
        "fee_rate": config.get("fee_rate"),
        "slippage_bps": config.get("slippage_bps"),
        "test_bars": (config.get("test_bars") or [None, None])[1],
        "validation_bars": (config.get("validation_bars") or [None, None])[1],
        "train_starts": config.get("train_starts"),
        "walk_forward": int("walk_forward_episodes" in config),
        "test_share": None,
        "initial_balance": config.get("initial_balance"),
        # A page without the account's options in its configuration runs them at their defaults.
        **{key: (config.get("account") or ACCOUNT_PAGE_DEFAULTS).get(key) for key in ACCOUNT_PAGE_DEFAULTS},
    }.get(key)


def _same_option(have: Any, wanted: Any) -> bool:
    if isinstance(have, str) or isinstance(wanted, str):
        return str(have) == str(wanted)
    return float(have) == float(wanted)


class EndSessionOnTruncation(gym.Wrapper[Observation, Action, Observation, Action], gym.utils.RecordConstructorArgs):
    """Ends the engine's session when a wrapper below truncates the episode, so that the truncated
    step's `info` carries the summary (`info["summary"]`) and its reward the closing of the session
    (`TradingEnv.closing_reward`), as an ending of the environment's own does.
    `gym.make("tarnel_rl/Trading-v0", max_episode_steps=N)` puts it above its `TimeLimit`."""

    def __init__(self, env: gym.Env[Observation, Action]) -> None:
        gym.utils.RecordConstructorArgs.__init__(self)
        gym.Wrapper.__init__(self, env)

    def step(self, action: Action) -> tuple[Observation, SupportsFloat, bool, bool, dict[str, Any]]:
        observation, reward, terminated, truncated, info = self.env.step(action)
        if truncated and "summary" not in info:
            base = cast(TradingEnv, self.env.unwrapped)
            base.end_episode(info)
            reward = float(reward) + base.closing_reward
        return observation, reward, terminated, truncated, info


gym.register(
    id=ENV_ID,
    entry_point="tarnel_rl.env.gym_env:TradingEnv",
    additional_wrappers=(gym.envs.registration.WrapperSpec(
        "EndSessionOnTruncation", "tarnel_rl.env.gym_env:EndSessionOnTruncation", {}),),
)
