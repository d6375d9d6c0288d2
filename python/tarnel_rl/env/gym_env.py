"""A Gymnasium environment whose episodes run on a reference user interface (or any user interface that
follows the protocol table in docs/protocol.md), through one `TarnelEngineAsync`.

    import gymnasium as gym
    from tarnel_rl.env.gym_env import TradingEnv

    env = TradingEnv(ui="node")                  # starts an engine on a free port and a Node.js UI for it
    obs, info = env.reset(seed=0, options={"episode_type": "train", "episode_index": 3})
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
    env.close()

`TradingEnv` is the Gymnasium adapter: spaces plus `reset`/`step`/`render`/`close` over helpers of their
own, each in its file: the task's objects (`market.MarketData`, `account.Costs` and `Sizing`, actions,
rewards, observations) and the keyword shortcuts that fill them in (`shortcuts`), the page's options
(`page_options`), the engine and its page (`page_link`), the episode's bookkeeping (`episode_play`), the
reset's options (`reset_options`). docs/environment.md describes the whole.

The engine's methods are asyncio awaitables: the environment keeps one event loop of its own for its
whole life (`tarnel_rl.loops`). Made in a thread that runs no event loop (plain Python code), it drives
that loop itself in the calling thread for the length of each call; made inside a running event loop
(a notebook cell), it runs the loop on a background thread and waits for each call's result. Several
environments may share one loop; that is how `tarnel_rl.vector_env` drives many of them at once.
"""
from __future__ import annotations

import subprocess
import threading
from collections.abc import Coroutine
from typing import Any, SupportsFloat, TypeAlias, cast

import gymnasium as gym
import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.account import Costs, Sizing, make_costs, make_sizing
from tarnel_rl.env.actions import make_actions
from tarnel_rl.env.episode_play import EVENT_ROWS, EpisodePlay, check_max_episode_steps
from tarnel_rl.env.loops import CallerLoop, EventLoopThread, make_loop
from tarnel_rl.env.market import MarketData, Split  # noqa: F401  (the task's objects, importable from here)
from tarnel_rl.env.observations import SNAPSHOT_HIGH, SNAPSHOT_LOW, make_observation_kind  # noqa: F401
from tarnel_rl.env.page_link import RENDER_MODES, PageLink, check_page_choices
from tarnel_rl.env.page_link import end_process as _end_process  # noqa: F401  (importable from here, as before)
from tarnel_rl.env.page_options import candles_for_page, check_candles_fit, task_options
from tarnel_rl.env.reset_options import ENV_EPISODE_TYPES, check_env_episode_type, episode_kind
from tarnel_rl.env.rewards import make_reward
from tarnel_rl.env.shortcuts import market_from, refuse_other_keywords
from tarnel_rl.env.trading import (
    ACTION_NAMES,
    EPISODE_TYPES,  # noqa: F401  (importable from here, as before)
    TradingSession,
    UserInterfaceReplaced,
    check_timeout,
)
from tarnel_rl.hosting import ui_host
from tarnel_rl.market_data.loader import Candles
from tarnel_rl.watch.dashboard import TrainingFeed
from tarnel_rl.watch.episode_trace import EpisodeTrace
from tarnel_rl.watch.frames import draw_frame

__all__ = ["TradingEnv", "EndSessionOnTruncation", "UserInterfaceReplaced", "EventLoopThread", "CallerLoop",
           "EVENT_ROWS", "ENV_ID", "Observation", "Action", "ENV_EPISODE_TYPES",
           "MarketData", "Split", "Costs", "Sizing"]

# The registered id. `gym.make` finds it once this module is imported; the module-qualified form
# "tarnel_rl.gym_env:tarnel_rl/Trading-v0" imports it by itself.
ENV_ID = "tarnel_rl/Trading-v0"
Observation: TypeAlias = NDArray[np.float64]
# What `step` takes: an int, or what `action_space.sample()` answers (a NumPy integer).
Action: TypeAlias = int | np.integer[Any] | NDArray[np.floating[Any]]

SNAPSHOT_SIZE = 16
CANDLE_COLUMNS = 5


class TradingEnv(gym.Env[Observation, Action]):
    """Episodes of the reference back-test as a Gymnasium environment (docs/environment.md).

    The task is a few objects that check their values when made: `market=MarketData(...)` (candles and
    their `Split`), `costs=Costs(...)`, `sizing=Sizing(...)`, and `action=`, `reward=`, `observation=` (a
    name or an object). The README's keywords (`candles=`, `test_share=`, `fee_rate=`, `units=`, ...) are
    shortcuts that fill them in. The page: `ui` ("node", "browser" or None: yours, on `port`), `host`,
    `series_seed`, `ui_options`. `close()` stops everything the environment started."""

    metadata: dict[str, Any] = {"render_modes": list(RENDER_MODES), "render_fps": 30}

    def __init__(
        self, ui: str | None = "node", port: int | None = None, host: str = "127.0.0.1", series_seed: int = 7,
        episode_type: str = "train", max_episode_steps: int | None = None, units: int | None = None,
        observation: Any = "features", ui_options: dict[str, Any] | None = None, candles: Any = None,
        timeout_secs: float = 10.0, connect_timeout_secs: float | None = 30.0, events: bool = False,
        render_mode: str | None = None, viewer_port: int | None = None,
        loop: CallerLoop | EventLoopThread | None = None, action: Any = "discrete", reward: Any = "pct",
        fee_rate: float | None = None, slippage_bps: float | None = None, test_from: Any = None,
        test_share: float | None = None, validation_from: Any = None, validation_share: float | None = None,
        train_starts: str | None = None, record_trace: bool = False, sizing: str | Sizing = "units",
        costs: Costs | None = None, initial_balance: float | None = None, leverage: float | None = None,
        lot_size: float | None = None, maintenance_margin: float | None = None, spread_bps: float | None = None,
        borrow_rate: float | None = None, market: MarketData | None = None, _defer_open: bool = False,
        **moved: Any,
    ) -> None:
        refuse_other_keywords(moved)
        check_page_choices(ui, port, render_mode, viewer_port)
        self.episode_type = check_env_episode_type(episode_type)
        self.max_episode_steps = check_max_episode_steps(max_episode_steps)
        self.sizing = make_sizing(sizing, units=units, initial_balance=initial_balance, leverage=leverage,
                                  lot_size=lot_size, maintenance_margin=maintenance_margin)
        self.units = self.sizing.units
        self.costs = make_costs(costs, fee_rate=fee_rate, slippage_bps=slippage_bps, spread_bps=spread_bps,
                                borrow_rate=borrow_rate)
        self.actions = make_actions(action, self.units, self.sizing)
        self.reward_function = make_reward(reward)
        options = ui_host.checked_options(ui_options)
        if ui is not None:  # a page of its own has the walk-forward passes that evaluate() plays by default
            options.setdefault("walk_forward", 1)
        self.market = market_from(market, candles, test_from=test_from, test_share=test_share,
                                  validation_from=validation_from, validation_share=validation_share,
                                  train_starts=train_starts)
        # One market or several (tarnel_rl.markets); `candles` is the one the page holds.
        self.markets = self.market.markets()
        self.candles: Candles | None = None if self.markets is None else self.markets.candles
        check_candles_fit(self.markets, self.costs)
        self.observation_kind = make_observation_kind(observation, self.candles)
        options.update(task_options(self.market, self.markets, self.costs, self.sizing, options))
        self.timeout = check_timeout("timeout_secs", timeout_secs)
        self.connect_timeout = (None if connect_timeout_secs is None
                                else check_timeout("connect_timeout_secs", connect_timeout_secs))
        self.ui_kind, self.host, self.series_seed, self.ui_options = ui, host, series_seed, options  # the page's
        self._link = PageLink(ui, host, port, series_seed, options, self.timeout, self.connect_timeout)
        self.events = bool(events)
        self.render_mode = render_mode
        self.viewer_port = viewer_port
        self.action_space = self.actions.space
        trace = EpisodeTrace() if render_mode == "rgb_array" or record_trace else None
        self._play = EpisodePlay(self.actions, self.reward_function, self.observation_kind, self.sizing,
                                 self.events, trace, max_episode_steps)
        self._owns_loop = loop is None
        self._loop = loop if loop is not None else make_loop()
        # Every engine call of a step has its own time-out. Run in the calling thread, a step needs no
        # guard of its own; a caller waiting on a loop thread keeps one over the whole step.
        self._step_guard = None if isinstance(self._loop, CallerLoop) else self._call_timeout()
        self._closed = False
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
        """The episode so far as a 400 x 720 x 3 uint8 frame with render_mode="rgb_array"; else None."""
        if self.render_mode == "rgb_array":
            assert self._play.trace is not None
            return draw_frame(self._play.trace)
        if self.render_mode is None:
            gym.logger.warn("render() was called without a render_mode: make the environment with "
                            "render_mode='rgb_array' (frames) or 'human' (a live view in your browser)")
        return None

    def end_episode(self, info: dict[str, Any] | None = None) -> NDArray[np.float64]:
        """Ends the running episode's session now (`end_session`) and answers its 12-value summary; with
        `info` (a step's), puts the summary into it (and with `events=True` the closing's events) as the
        episode's last step does. `EndSessionOnTruncation` calls it when a wrapper truncates the episode
        and adds `closing_reward` to that step's reward."""
        target = self._play.ending_info(info)
        self._run(self._play.finish(target), self._call_timeout())
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
        self._play.over = True
        try:
            if (self.ui is not None or self.engine is not None) and self._loop.is_running():
                try:
                    self._loop.run(self._shut_down(), 30.0)
                except TimeoutError:
                    pass
        finally:
            self._link.end_process()
            self._link.leave_dashboard()
            if self._owns_loop:
                self._loop.stop()

    def screenshot(self, path: str) -> None:
        """Saves the page as a PNG; only with the browser user interface."""
        self._run(self._link.screenshot(path), self._call_timeout())

    # --- what the environment holds, for callers and wrappers ----------------------------------------

    @property
    def episode_trace(self) -> EpisodeTrace | None:
        """With `record_trace=True` (or render_mode="rgb_array"): the running or last episode's candles,
        actions, rewards, fills and equity, which `tarnel_rl.replay.save_trace` writes to a file; else None."""
        return self._play.trace

    @property
    def viewer_url(self) -> str | None:
        """The dashboard's address with `render_mode="human"` (open it in a browser), else None."""
        return None if self._link.seat is None else self._link.seat.url

    @property
    def closing_reward(self) -> float:
        """The change of equity (in the rewards' unit) that the last ending of a session brought (the closing
        of what was open, and its fee), which the last step's reward includes and `end_episode` does not."""
        return self._play.closing_reward

    @property
    def last_summary(self) -> NDArray[np.float64] | None:
        """The summary row of the last session that ended."""
        return self._play.last_summary

    @property
    def config(self) -> dict[str, Any]:
        """The page's configuration (`get_rl_config`), read when it connected."""
        return self._play.config

    @property
    def window_size(self) -> int:
        return self._play.window_size

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def loop_thread(self) -> threading.Thread | None:
        """The thread the environment's event loop runs on; None when it runs in the calling thread."""
        return self._loop.thread

    @property
    def engine_calls(self) -> int:
        """The engine calls made since the page connected (configuration, resets, steps, session ends)."""
        return 0 if self._session is None else self._session.calls

    @property
    def initial_balance(self) -> float:
        return float(self.config.get("initial_balance", 10000.0))

    @property
    def engine(self) -> Any:
        """The `TarnelEngineAsync` while it runs, else None."""
        return self._link.engine

    @property
    def ui(self) -> ui_host.NodeUI | ui_host.HostedPage | ui_host.BrowserUI | None:
        return self._link.ui

    @property
    def ui_process(self) -> subprocess.Popen[bytes] | None:
        """The Node.js process of the page this environment started (None for a browser or a page of your
        own); still there after `close()`, to check that it has ended."""
        return self._link.process

    @property
    def port(self) -> int | None:
        """The engine's port (the free one it took, with port=None, once it listens)."""
        return self._link.port

    @property
    def _session(self) -> TradingSession | None:
        return self._play.session

    # --- the coroutines, run on the environment's loop (shared by tarnel_rl.vector_env) ----------------

    async def _open(self) -> None:
        await self._start_engine()
        await self._connect_page()

    async def _start_engine(self) -> None:
        if self.render_mode == "human":
            self._play.feed = TrainingFeed(self._link.take_seat(self.viewer_port), ACTION_NAMES)
        await self._link.start_engine()

    async def _connect_page(self, page: ui_host.HostedPage | None = None) -> None:
        """Connects the page (or `page`, one that tarnel_rl.vector_env hosts) and reads its configuration."""
        engine = await self._link.connect_page(page)
        self._play.session = TradingSession(engine, units=self.units, timeout_secs=self.timeout, events=self.events)
        if self.candles is not None:
            await engine.init_candles(candles_for_page(self.candles, self.costs), timeout_secs=self.timeout)
        self._play.config = await self._play.session.load_config()
        if self._play.feed is not None:  # the run folder's config.json
            self._play.feed.describe(self.config)
        if self.ui_kind is None:
            self._link.check_external_page(self.config, own_candles=self.candles is not None)
        self._play.window_size = int(self.config["window"])
        self.observation_kind.attach_candles(self.candles)
        self.observation_space = self.observation_kind.bind(self.config)

    async def _shut_down(self) -> None:
        await self._link.shut_down()

    def _mark_closed(self) -> None:
        """Closed by its vector environment, which stopped its engine and page: ends its process if left."""
        self._closed = True
        self._link.end_process()

    async def _async_reset(self, options: dict[str, Any] | None) -> tuple[Observation, dict[str, Any]]:
        self._check_open()
        options = dict(options or {})
        kind = episode_kind(options, self.episode_type)
        await self._load_market(options.get("market"))
        times = None if self.candles is None else self.candles.times
        market = self.markets.current if self.markets is not None and len(self.markets) > 1 else None
        return await self._play.reset(kind, options, self.np_random, times, market)

    async def _load_market(self, asked: Any) -> None:
        """Puts market `asked`'s candles (a name, an index; None: drawn) in the page, unless it has them."""
        if self.markets is None:
            if asked is not None:
                raise ValueError("the market option needs candles=... (several markets, or one)")
            return
        name = self.markets.choose(asked, self.np_random)
        if name == self.markets.current:
            return
        assert self.engine is not None
        await self._play.finish_left_open()  # the open session belongs to the other market's series
        self.markets.current = name
        self.candles = self.markets.candles
        await self.engine.init_candles(candles_for_page(self.candles, self.costs), timeout_secs=self.timeout)
        await self._play.reload_config()
        self.observation_kind.attach_candles(self.candles)

    async def _async_step(self, action: Action) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        self._check_open()
        return await self._play.step(action)

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
            self._link.note_where(error)
            raise

    def _call_timeout(self) -> float:
        # A step makes at most seven engine calls, each limited to `timeout`; this only guards the total.
        return self.timeout * 8 + 5.0

    def _open_timeout(self) -> float | None:
        if self.connect_timeout is None:
            return None
        return self.connect_timeout + self.timeout * 4 + 30.0



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
