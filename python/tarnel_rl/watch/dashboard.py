"""The dashboard's side in the trainer: one hub per trainer, one seat per environment, and the
figures each environment sends it (`TrainingFeed`).

One address for the whole trainer. The first environment with `render_mode="human"` in a process starts
the hub (`tarnel_rl.viewer`) and prints its address; every later one in that process joins it, and so do
the environments of the processes the trainer starts (gymnasium's `AsyncVectorEnv` workers, forked or
spawned), which find it through the environment variable `TARNEL_VIEWER`. So `TradingVectorEnv(4, ...)`
and `gym.make_vec(..., vectorization_mode="sync" | "async")` show all their environments on one page.

The hub is the trainer's, not one environment's: closing an environment marks its seat closed, and the
hub (with the returns curve) stays until the trainer's process ends or `close_viewers()` is called.

The trainer's run is kept on disk while the dashboard is on (tarnel_rl.training_log: `runs/` under the
current directory unless TARNEL_RUNS_DIR or `tarnel_rl.log.configure` says otherwise): the hub appends
the finished episodes to its episodes.jsonl.

`python -m tarnel_rl.dashboard RUNS_DIR` serves past runs side by side, read-only (its address carries
a view token, as the live one's does).

Cost: a step adds to a few short lists; the figures go out at most `FEED_RATE` times a second per
environment, from the trainer's process as one non-blocking pipe write (an HTTP POST from a worker
process), and are dropped rather than waited for when the hub is behind.
"""
from __future__ import annotations

import json
import os
import sys
import threading
import time
import urllib.error
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from tarnel_rl.watch import training_log
from tarnel_rl.watch.viewer import ViewerHub, post_json

ENV_VARIABLE = "TARNEL_VIEWER"
FEED_RATE = 10  # the trainer's figures, per environment and second
LAST_KEPT = 12  # actions and rewards shown
CURVE_POINTS = 240  # points of the running episode's return kept for a cell's small curve
RATE_WINDOW_SECS = 2.0

_lock = threading.Lock()
_hubs: dict[int | None, ViewerHub] = {}
_reserved: list[tuple[Seat, bool]] = []


@dataclass
class Seat:
    """One environment's place on the dashboard."""

    env: int
    url: str  # the dashboard's address
    publish_url: str  # where this environment's page publishes
    send: Callable[[dict[str, Any]], Any]
    allow_origin: Callable[[str], None]

    def leave(self) -> None:
        try:
            self.send({"op": "leave", "env": self.env})
        except (OSError, urllib.error.URLError):
            pass


def take_seat(viewer_port: int | None, label: str | None = None) -> tuple[Seat, bool]:
    """A seat on this trainer's dashboard: on the hub of this process (started now when there is none;
    on `viewer_port` when given), or on the hub of the process that started this one. Answers the seat
    and whether the hub was started now (its address is then worth printing)."""
    inherited = os.environ.get(ENV_VARIABLE)
    with _lock:
        if _reserved:
            return _reserved.pop(0)
        hub = _hubs.get(viewer_port) if viewer_port is not None else next(iter(_owned_hubs()), None)
        if hub is not None and (hub.owner != os.getpid() or hub.process.poll() is not None):
            hub = None
        if hub is None and inherited and viewer_port is None:
            try:
                return _remote_seat(json.loads(inherited), label), False
            except (OSError, ValueError, KeyError, urllib.error.URLError):
                pass  # the hub of the parent is gone: start one of our own
        started = hub is None
        if hub is None:
            hub = ViewerHub(viewer_port or 0)
            run = training_log.current_run(for_dashboard=True)  # once the hub stands: a taken port makes none
            if run is not None:
                hub.send({"op": "run", "name": run.name, "config": run.config, "folder": str(run.folder),
                          "started": run.started})
            _hubs[viewer_port] = hub
            if None not in _hubs:
                _hubs[None] = hub
            os.environ[ENV_VARIABLE] = json.dumps({"origin": hub.origin, "view_token": hub.view_token,
                                                   "publish_token": hub.publish_token})
    env = hub.join(label)
    return Seat(env, hub.url, hub.publish_url_of(env), hub.send, hub.allow_origin), started


def reserve_seat(viewer_port: int | None = None) -> Seat:
    """Takes a seat now for the next environment of this process that asks for one: for a page of your
    own (ui=None), whose address must carry the seat's `publish_url` before the environment is made."""
    seat = take_seat(viewer_port)
    with _lock:
        _reserved.append(seat)
    return seat[0]


def current_hub() -> ViewerHub | None:
    """The hub this process started (None when it started none)."""
    with _lock:
        return next(iter(_owned_hubs()), None)


def _owned_hubs() -> list[ViewerHub]:
    return [hub for hub in _hubs.values() if hub.owner == os.getpid()]


def _remote_seat(where: dict[str, str], label: str | None) -> Seat:
    """A seat on the hub of another process of this trainer, reached over HTTP with its publish token."""
    origin, token = where["origin"], where["publish_token"]
    env = int(post_json(f"{origin}/join?token={token}", {"label": label}, timeout=5)["env"])

    def send(message: dict[str, Any]) -> None:
        try:
            post_json(f"{origin}/train?token={token}", message, timeout=2)
        except (OSError, urllib.error.URLError, ValueError):
            pass  # the dashboard is for looking: a lost message never stops training

    def allow_origin(page_origin: str) -> None:
        raise RuntimeError("a worker's browser page cannot publish to its trainer's dashboard: use ui='node'")

    return Seat(env, f"{origin}/?token={where['view_token']}", f"{origin}/publish?token={token}&env={env}", send,
                allow_origin)


def close_viewers() -> None:
    """Stops the hubs this process started (their dashboards' streams end)."""
    with _lock:
        hubs = _owned_hubs()
        _hubs.clear()
        if hubs:
            os.environ.pop(ENV_VARIABLE, None)
    for hub in hubs:
        hub.close()


class TrainingFeed:
    """What one environment tells the dashboard: its episode and step, the last actions and rewards,
    the observation, its steps per second, its last finished episode, and every finished episode's
    return (for the curve).

    The figures go out at most FEED_RATE times a second, however often episodes start and end: a
    reset or an episode's end never restarts that pace (at thousands of steps a second with short
    episodes it would send a reset's zeros all the time), and the figures carry the last finished
    episode, which a card shows beside the running one. Every finished episode goes out as it ends."""

    def __init__(self, seat: Seat, action_names: tuple[str, ...], clock: Callable[[], float] = time.monotonic) -> None:
        self.seat = seat
        self._names = action_names
        self._clock = clock
        self._gap = 1.0 / FEED_RATE
        self._last_sent = -float("inf")
        self._actions: deque[Any] = deque(maxlen=LAST_KEPT)
        self._rewards: deque[float] = deque(maxlen=LAST_KEPT)
        self._curve: list[float] = [0.0]
        self._observation: Any = None
        self._bar: int | None = None
        self._bar_time: str | None = None
        self._kind, self._index, self._step = "train", -1, 0
        self._return = 0.0
        self._episodes = 0
        self._last_episode: dict[str, Any] | None = None
        self._steps_total = 0
        self._rate_mark = (clock(), 0)
        self._rate = 0.0
        self._started = training_log.run_started()

    def describe(self, config: dict[str, Any]) -> None:
        """The environment's configuration, for the run's config.json (once per process)."""
        training_log.describe("environment", config)

    def reset(self, kind: str, index: int, observation: Any, bar: int | None = None,
              bar_time: str | None = None) -> None:
        """`bar`: the cursor's bar in the series; `bar_time` its time as text, for a series with times (the
        page has no times: the dashboard's candle chart shows this one beside the page's bar)."""
        self._kind, self._index, self._step, self._return = kind, index, 0, 0.0
        self._curve = [0.0]
        self._observation = observation
        self._bar, self._bar_time = bar, bar_time
        self._send()

    def step(self, action: Any, reward: float, observation: Any, bar: int | None = None,
             bar_time: str | None = None) -> None:
        """`action`: an index into the action names, or what the environment's actions took (target units)."""
        self._bar, self._bar_time = bar, bar_time
        self._step += 1
        self._steps_total += 1
        self._return += reward
        self._actions.append(action)
        self._rewards.append(reward)
        self._curve.append(self._return)
        self._observation = observation
        self._send()

    def episode_end(self, closing_reward: float, market_pct: float | None = None) -> None:
        """The episode's session ended, which closed what was open (`closing_reward`, part of the
        episode's return): one point of the returns curve. `market_pct`: the buy-and-hold return of the
        same bars, when the caller knows it."""
        self._return += closing_reward
        self._curve[-1] = self._return
        self._episodes += 1
        self._last_episode = {"n": self._episodes, "return_pct": _finite(self._return), "steps": self._step}
        self.seat.send({"op": "episode", "env": self.seat.env, "episode": {
            "n": self._episodes, "type": self._kind, "index": self._index, "steps": self._step,
            "return_pct": _finite(self._return), "at_step": self._steps_total,
            "market_pct": None if market_pct is None else _finite(market_pct)}})
        self._send()

    def _send(self) -> None:
        now = self._clock()
        if now - self._last_sent < self._gap:
            return
        self._last_sent = now
        mark_time, mark_steps = self._rate_mark
        if now - mark_time >= RATE_WINDOW_SECS:
            self._rate = (self._steps_total - mark_steps) / (now - mark_time)
            self._rate_mark = (now, self._steps_total)
        curve = self._curve
        if len(curve) > CURVE_POINTS:  # thinned evenly, the last point kept
            picks = np.linspace(0, len(curve) - 1, CURVE_POINTS).round().astype(int)
            curve = [curve[i] for i in picks]
        observation = None if self._observation is None else np.asarray(self._observation, dtype=np.float64).ravel()
        self.seat.send({"op": "train", "env": self.seat.env, "train": {
            "type": self._kind, "index": self._index, "step": self._step, "episodes": self._episodes,
            "return_pct": _finite(self._return), "steps_per_second": round(self._rate, 1),
            "env_steps": self._steps_total, "last_episode": self._last_episode,
            "wall": round(time.time() - self._started, 3),
            "actions": [self._label(a) for a in self._actions],
            "rewards": [_finite(r) for r in self._rewards],
            "curve": [_finite(c) for c in curve],
            "observation": None if observation is None else [_finite(v) for v in observation[:64]],
            "bar": self._bar, "bar_time": self._bar_time,
        }})

    def _label(self, action: Any) -> str:
        if isinstance(action, (int, np.integer)) and 0 <= action < len(self._names):
            return self._names[int(action)]
        values = np.asarray(action, dtype=np.float64).ravel()
        return " ".join(f"{v:g}" for v in values[:4])


def _finite(value: float) -> float | None:
    """JSON has no NaN or infinity: they go as null."""
    value = float(value)
    return round(value, 6) if np.isfinite(value) else None


def print_address(url: str) -> None:
    print(f"tarnel_rl: watch training live at {url}", file=sys.stderr, flush=True)


def main(argv: list[str] | None = None) -> int:
    """`python -m tarnel_rl.dashboard RUNS_DIR [--port N]`: the past runs under RUNS_DIR, side by side,
    read-only, until interrupted (it prints its address, with its view token)."""
    import argparse
    from pathlib import Path

    from tarnel_rl.hosting.ui_host import ui_directory
    from tarnel_rl.watch.viewer_server import main as serve

    parser = argparse.ArgumentParser(prog="python -m tarnel_rl.dashboard",
                                     description="serves past training runs, read-only")
    parser.add_argument("runs_dir", type=Path, help="the folder holding the run folders (e.g. runs)")
    parser.add_argument("--port", type=int, default=0, help="the port on 127.0.0.1 (default: a free one)")
    args = parser.parse_args(argv)
    if not args.runs_dir.is_dir():
        parser.error(f"{args.runs_dir} is not a folder")
    return serve(["--runs", str(args.runs_dir), "--port", str(args.port), "--ui", str(ui_directory())])


if __name__ == "__main__":
    sys.exit(main())
