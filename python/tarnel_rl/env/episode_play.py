"""The bookkeeping of one environment's episodes: starting one on the session, its steps (action,
reward, observation, `info`), its end (the session's summary and the closing's reward), and what the
trace and the dashboard are told along the way."""
from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.account import Sizing
from tarnel_rl.env.actions import DiscreteActions, TargetExposure
from tarnel_rl.env.observations import Features, Observation as ObservationKind
from tarnel_rl.env.reset_options import episode_index
from tarnel_rl.env.rewards import Reward
from tarnel_rl.env.summary import EpisodeSummary, ending_info
from tarnel_rl.env.trading import (
    EVENT_COLUMNS,
    SNAP_BAR,
    SNAP_CLOSE,
    SNAP_EQUITY,
    SUMMARY_FINAL_EQUITY,
    Step,
    TradingSession,
    UserInterfaceReplaced,
)
from tarnel_rl.watch.dashboard import TrainingFeed
from tarnel_rl.watch.episode_trace import EpisodeTrace, bar_time_text

# Rows of info["events"] with events=True. A step of this environment makes at most three events (a
# close, an open, and on the last step the closing of the session), so four always hold them.
EVENT_ROWS = 4

def check_max_episode_steps(limit: int | None) -> int | None:
    if limit is not None and limit < 1:
        raise ValueError(f"max_episode_steps must be at least 1, got {limit}")
    return limit


StepResult = tuple[NDArray[np.float64], float, bool, bool, dict[str, Any]]


class EpisodePlay:
    """The running (or last) episode of one environment.

    Invariants: `over` is True from the session's end (or a failed step) until the next `start`; while it
    is False, `equity` and `price` are the last snapshot's equity and close, which the next step's
    reward and sizing start from. `session` and `config` are set once the page is connected."""

    def __init__(self, actions: DiscreteActions | TargetExposure, reward: Reward, observation: ObservationKind,
                 sizing: Sizing, events: bool, trace: EpisodeTrace | None, max_episode_steps: int | None) -> None:
        self.actions = actions
        self.reward = reward
        self.observation_kind = observation
        self.sizing = sizing
        self.events = events
        self.trace = trace
        self.max_episode_steps = max_episode_steps
        self.session: TradingSession | None = None
        self.config: dict[str, Any] = {}  # the page's configuration (get_rl_config)
        self.feed: TrainingFeed | None = None  # the dashboard's, with render_mode="human"
        self.window_size = 0
        self.market: str | None = None  # info["market"], with several markets
        self.times: NDArray[np.datetime64] | None = None  # the candles' times, when they have them
        self.last_summary: NDArray[np.float64] | None = None
        self.closing_reward = 0.0
        self.over = True
        self.steps = 0
        self.episode = ("train", -1)
        self.equity = 0.0
        self.price = 0.0  # the last snapshot's close: the price the next step trades at
        self.first_price = 0.0

    async def reset(self, kind: str, options: dict[str, Any], rng: np.random.Generator,
                    times: NDArray[np.datetime64] | None,
                    market: str | None) -> tuple[NDArray[np.float64], dict[str, Any]]:
        """Starts the episode of `kind` that the reset's `options` ask for (tarnel_rl.reset_options), on the
        candles of `market` with those `times`."""
        assert self.session is not None
        if not self.session.config:  # read again after the user interface was replaced
            await self.reload_config()
        index = episode_index(kind, options, self.config, rng)
        # A session left open: a wrapper of the caller's (a TimeLimit wrapped by hand, as SB3's
        # `wrapper_class` does) cut the episode short without telling it.
        await self.finish_left_open()
        self.times, self.market = times, market
        return await self.start(kind, index)

    async def start(self, kind: str, index: int) -> tuple[NDArray[np.float64], dict[str, Any]]:
        """Starts episode `index` of `kind` ("validation": the page's test episodes after its test range's)."""
        assert self.session is not None
        if kind == "validation":
            step = await self.session.reset(int(self.config["test_episodes"]) + index, "test")
        else:
            step = await self.session.reset(index, kind)
        self.episode = (kind, index)
        self.steps = 0
        self.over = bool(step.done)
        self.equity = float(step.snapshot[SNAP_EQUITY])
        self.price = float(step.snapshot[SNAP_CLOSE])
        self.first_price = self.price  # the market's move over the episode, for the dashboard's curve
        self.closing_reward = 0.0
        self.reward.reset(self.session.initial_balance)
        if self.trace is not None:
            self.trace.start(kind, index, step.snapshot, step.window, self.session.initial_balance, self.times)
        observation = self.observation(step)
        if self.feed is not None:
            self.feed.reset(kind, index, observation, *self._bar_of(step))
        return observation, self.info(step)

    async def step(self, action: Any) -> StepResult:
        if self.over:
            raise RuntimeError("the episode is over: call reset() before step()")
        wanted = self.actions.check(action, self.equity, self.price)
        assert self.session is not None
        try:
            if isinstance(self.actions, DiscreteActions):
                step = await self.session.step(int(wanted), self.actions.position_units(self.equity, self.price))
            else:
                step = await self.session.step_to(wanted)
        except UserInterfaceReplaced:
            self.over = True
            raise
        self.steps += 1
        equity = float(step.snapshot[SNAP_EQUITY])
        reward = self.reward.step(self.equity, equity)
        self.equity = equity
        self.price = float(step.snapshot[SNAP_CLOSE])
        if self.trace is not None:
            self.trace.step(step.snapshot, step.window, action=wanted, reward=reward)
        terminated = bool(step.done)
        limit = self.max_episode_steps
        truncated = not terminated and limit is not None and self.steps >= limit
        info = self.info(step)
        observation = self.observation(step)
        if self.feed is not None:
            self.feed.step(wanted, reward, observation, *self._bar_of(step))
        if terminated or truncated:
            await self.finish(info)
            if terminated:
                info.update(ending_info(info["episode_summary"], self.sizing.maintenance_margin))
            reward += self.closing_reward
            if self.trace is not None:
                self.trace.rewards[-1] = reward
        return observation, reward, terminated, truncated, info

    async def finish(self, info: dict[str, Any]) -> None:
        """Ends the session: its summary goes into the last step's `info`, with the closing's events."""
        assert self.session is not None
        self.over = True
        info["summary"] = self.last_summary = await self.session.finish()
        final_equity = float(info["summary"][SUMMARY_FINAL_EQUITY])
        self.closing_reward = self.reward.closing(self.equity, final_equity)
        self.equity = final_equity
        record = EpisodeSummary.from_row(info["summary"], self.config, *self.episode)
        info["episode_summary"] = record
        if self.feed is not None:
            self.feed.episode_end(self.closing_reward, market_pct=(self.price / self.first_price - 1.0) * 100.0)
        if self.trace is not None:
            self.trace.finish(final_equity, record)
        closing = self.session.closing_events
        if self.events and closing is not None and len(closing):
            count = info["event_count"]
            kept = max(0, min(len(closing), EVENT_ROWS - count))
            info["events"][count:count + kept] = closing[:kept]
            info["event_count"] = count + len(closing)

    async def finish_left_open(self) -> None:
        """Ends a session that no step ended (a wrapper cut the episode short, or another market's
        candles are about to replace its series), as the episode's end would: what was open is closed
        and pays its fee (`last_summary`)."""
        if not self.over:
            await self.finish(self.closing_info())
        self.over = True

    async def reload_config(self) -> None:
        """Reads the page's configuration again (after the user interface was replaced, or new candles):
        a page with another window is refused, since the observations are made for this one."""
        assert self.session is not None
        config = await self.session.load_config()
        if int(config["window"]) != self.window_size:
            self.session.config = {}
            raise RuntimeError(f"the user interface now connected has a window of {config['window']} candles; this "
                               f"environment's observations are made for {self.window_size}: make a new environment")
        self.config = config

    def ending_info(self, info: dict[str, Any] | None) -> dict[str, Any]:
        """Where an early end of the running episode puts its summary: `info` (a step's), or a new one."""
        if self.over:
            raise RuntimeError("no episode is running: call reset() first")
        if info is not None and self.events and "event_count" not in info:
            raise ValueError("info must be one of this environment's step infos")
        return self.closing_info() if info is None else info

    def closing_info(self) -> dict[str, Any]:
        """An info for an ending of a session that no step carries."""
        if not self.events:
            return {}
        return {"events": np.full((EVENT_ROWS, EVENT_COLUMNS), np.nan), "event_count": 0}

    def observation(self, step: Step) -> NDArray[np.float64]:
        if type(self.observation_kind) is Features:
            return step.observation  # a fresh array of the session's, made the same way
        observation: NDArray[np.float64] = self.observation_kind.observe(step.window[-self.window_size:],
                                                                         step.snapshot)
        return observation

    def info(self, step: Step) -> dict[str, Any]:
        # The arrays are the module's fresh results, owned by no one else: no copies.
        info: dict[str, Any] = {
            "snapshot": step.snapshot,
            "window": step.window[-self.window_size:],
            "episode_type": self.episode[0],
            "episode_index": self.episode[1],
            "step": self.steps,
            "equity": float(step.snapshot[SNAP_EQUITY]),
        }
        if self.market is not None:
            info["market"] = self.market
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
        return bar, None if self.times is None else bar_time_text(self.times[bar])
