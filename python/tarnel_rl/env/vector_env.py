"""Several trading environments on several ports, driven concurrently: a `gymnasium.vector.VectorEnv`.

    from tarnel_rl.env.vector_env import TradingVectorEnv

    envs = TradingVectorEnv(4, ui="node")            # 4 engines, 4 ports, 4 pages in one Node.js process
    obs, infos = envs.reset(seed=0)                   # obs: (4, 18)
    obs, rewards, terminations, truncations, infos = envs.step(envs.action_space.sample())
    envs.close()

All engines live on one shared event loop (driven by the calling thread, or on a background thread when
the vector environment is made inside a running event loop: see `tarnel_rl.loops`); `step` sends every
environment's first request before it waits for any answer (`asyncio.gather` starts them all in one turn
of the loop) and takes the answers as they come, so the engines and their pages work in parallel while
the calls of each one stay in order.

The pages share a host: by default one Node.js process answers every environment's page from its one
event loop (`ui/node/pages.mjs`: each page its own engine, link and state), which on a small machine
costs far fewer wake-ups than a process per page; `ui_processes=k` spreads them over k processes.
With `ui="browser"` one headless Chromium shows them all in one tab (`ui/pages.html`, a frame per page).
With `render_mode="human"` every page publishes to the dashboard from a process of its own.

What it implements of the vector API: `num_envs`, `single_observation_space`, `single_action_space`,
the batched `observation_space` and `action_space` (`MultiDiscrete`), `reset(seed=int | list,
options=dict)`, `step(actions)` with batched arrays, infos in the vector layout (each key with a
boolean `_key` mask; every key has the same shape in every environment, so each stacks into one
array), `close()`, and the next-step autoreset mode (gymnasium's default): the step after
an environment's episode ended resets that environment (its action is ignored) and returns the first
observation of the new episode with reward 0; `get_attr`, `set_attr` and `call` on every environment
(as gymnasium's `SyncVectorEnv` has them); and `render`. Not implemented: the `reset_mask` option.

Rendering: `render_mode="rgb_array"`: `render()` answers one frame with every environment's frame in a
grid (environment i at row i // columns, column i % columns, `columns` = ceil(sqrt(num_envs))), black
where the grid has no environment. `render_mode="human"`: every environment publishes to one training
dashboard, whose one address is printed once (`viewer_url`); `render()` answers None.
`tarnel_rl.sb3_vec_env.TradingVecEnv` adapts this class to Stable-Baselines3's `VecEnv`.
"""
from __future__ import annotations

import asyncio
import math
import threading
from collections.abc import Sequence
from typing import Any

import gymnasium as gym
import numpy as np
from gymnasium.vector.utils import batch_space
from numpy.typing import NDArray

from tarnel_rl.env.gym_env import Action, TradingEnv
from tarnel_rl.env.loops import make_loop
from tarnel_rl.env.page_link import end_process
from tarnel_rl.hosting import ui_host

try:  # gymnasium >= 1.1 names the autoreset modes
    from gymnasium.vector import AutoresetMode

    _AUTORESET: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP}
except ImportError:  # pragma: no cover - gymnasium 1.0
    _AUTORESET = {"autoreset_mode": "NextStep"}


class TradingVectorEnv(gym.vector.VectorEnv[NDArray[np.float64], NDArray[np.int64], NDArray[Any]]):
    """`num_envs` `TradingEnv`s, each with its own engine, port and user interface, on one shared loop.

    `series_seed` is the candle series of environment 0; environment i uses `series_seed + i` (or give
    a sequence of seeds, one per environment). `ui_processes`: how many Node.js processes (or browsers)
    host the pages, consecutive environments together (default: one). The other keyword arguments are
    `TradingEnv`'s and apply to every environment. `close()` stops every user interface and engine (their ports are free again)
    and the shared event loop."""

    metadata: dict[str, Any] = {"render_modes": ["human", "rgb_array"], **_AUTORESET}

    def __init__(self, num_envs: int, *, series_seed: int | Sequence[int] = 7, ui: str = "node",
                 timeout_secs: float = 10.0, ui_processes: int | None = None, **env_kwargs: Any) -> None:
        if num_envs < 1:
            raise ValueError(f"num_envs must be at least 1, got {num_envs}")
        if isinstance(series_seed, int):
            seeds = [series_seed + i for i in range(num_envs)]
        else:
            seeds = [int(s) for s in series_seed]
            if len(seeds) != num_envs:
                raise ValueError(f"{len(seeds)} series seeds for {num_envs} environments")
        if ui is None or "port" in env_kwargs or "loop" in env_kwargs:
            raise ValueError("the vector environment starts its own user interfaces on ports of its own")
        shared = ui in ("node", "auto", "browser") and env_kwargs.get("render_mode") != "human"
        if ui_processes is None:
            ui_processes = default_ui_processes(num_envs) if shared else num_envs
        if isinstance(ui_processes, bool) or not isinstance(ui_processes, int) or not 1 <= ui_processes <= num_envs:
            raise ValueError(f"ui_processes must be an integer from 1 to num_envs ({num_envs}), got {ui_processes!r}")
        if not shared and ui_processes != num_envs:
            raise ValueError("with render_mode='human' every page publishes to the dashboard from a process of its "
                             "own: leave ui_processes out")
        self.num_envs = num_envs
        self.render_mode = env_kwargs.get("render_mode")
        self._timeout = timeout_secs
        self._loop = make_loop(name="tarnel-vector-loop")
        self.envs: list[TradingEnv] = []
        # The Node.js processes (or browsers, one tab each) whose pages the environments share.
        self.ui_hosts: list[ui_host.NodeUI | ui_host.BrowserUI] = []

        async def open_all() -> None:
            # Every opening runs to its end, so that close() finds every user interface that was started.
            if not shared:
                _raise_first(await asyncio.gather(*(env._open() for env in self.envs), return_exceptions=True))
                return
            _raise_first(await asyncio.gather(*(env._start_engine() for env in self.envs), return_exceptions=True))
            pages: list[ui_host.HostedPage] = []
            for group in split_evenly(self.envs, ui_processes):
                first = group[0]
                ports, seeds = [env.port for env in group], [env.series_seed for env in group]
                host: ui_host.NodeUI | ui_host.BrowserUI
                if ui == "browser":
                    host = await ui_host.BrowserUI.open(ports, seeds, first.host, first.ui_options)
                else:
                    host = ui_host.NodeUI(ports, seeds, first.host, first.ui_options)
                self.ui_hosts.append(host)
                pages += host.pages()
            _raise_first(await asyncio.gather(*(env._connect_page(page) for env, page in zip(self.envs, pages)),
                                              return_exceptions=True))

        try:
            for seed in seeds:
                self.envs.append(TradingEnv(ui=ui, series_seed=seed, timeout_secs=timeout_secs, loop=self._loop,
                                            _defer_open=True, **env_kwargs))
            self._loop.run(open_all(), self.envs[0]._open_timeout())
        except BaseException:
            self.close()
            raise
        self.single_observation_space = self.envs[0].observation_space
        self.single_action_space = self.envs[0].action_space
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._autoreset = np.zeros(num_envs, dtype=bool)
        self._discrete = isinstance(self.single_action_space, gym.spaces.Discrete)
        # Every engine call has its own time-out: run in the calling thread, a step needs no guard of its
        # own (nor the task it would take); a caller waiting on a loop thread keeps one over the whole step.
        self._step_guard = None if self._loop.thread is None else self._step_timeout()

    @property
    def loop_thread(self) -> threading.Thread | None:
        """The shared loop's background thread; None when it runs in the calling thread."""
        return self._loop.thread

    @property
    def engine_calls(self) -> int:
        """The engine calls of all environments so far."""
        return sum(env.engine_calls for env in self.envs)

    def reset(self, *, seed: int | Sequence[int | None] | None = None,
              options: dict[str, Any] | None = None) -> tuple[NDArray[np.float64], dict[str, Any]]:
        """Resets every environment. An int `seed` seeds environment i with `seed + i`; a list gives one
        seed per environment. `options` go to every environment; its `episode_index` may be a sequence
        with one index per environment."""
        self._check_open()
        if seed is None or isinstance(seed, int):
            seeds = [None if seed is None else seed + i for i in range(self.num_envs)]
        else:
            seeds = list(seed)
            if len(seeds) != self.num_envs:
                raise ValueError(f"{len(seeds)} seeds for {self.num_envs} environments")
        per_env: list[dict[str, Any]] = [dict(options or {}) for _ in range(self.num_envs)]
        index = (options or {}).get("episode_index")
        if index is not None and not np.isscalar(index):
            if len(index) != self.num_envs:
                raise ValueError(f"{len(index)} episode indices for {self.num_envs} environments")
            for opts, i in zip(per_env, index):
                opts["episode_index"] = i
        for env, s in zip(self.envs, seeds):
            gym.Env.reset(env, seed=s)  # seeds the environment's random generator, as TradingEnv.reset does

        results = self._loop.run_all([env._async_reset(opts) for env, opts in zip(self.envs, per_env)],
                                     self._step_guard)
        self._autoreset[:] = False
        return np.stack([obs for obs, _ in results]), self._stack_infos([info for _, info in results])

    def step(self, actions: NDArray[np.integer[Any]] | Sequence[Action]) -> tuple[
            NDArray[np.float64], NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], dict[str, Any]]:
        self._check_open()
        actions = np.asarray(actions)
        # One action per environment, each of the single action space's shape: (n,) for Discrete, (n, 1)
        # for the target exposure's Box.
        expected = (self.num_envs, *self.single_action_space.shape)
        if actions.shape != expected:
            raise ValueError(f"expected {self.num_envs} actions, got an array of shape {actions.shape}")
        autoreset = self._autoreset.copy()
        # Plain ints for Discrete(4): the environment's check takes them without asking the space.
        per_env = actions.tolist() if self._discrete else list(actions)

        async def reset_step(env: TradingEnv) -> tuple[NDArray[np.float64], float, bool, bool, dict[str, Any]]:
            obs, info = await env._async_reset(None)
            return obs, 0.0, False, False, info

        # Every environment's first request goes out before any answer is awaited (each is a task, all
        # started in one turn of the loop); the answers are taken as they come.
        results = self._loop.run_all([reset_step(env) if reset else env._async_step(action)
                                      for env, action, reset in zip(self.envs, per_env, autoreset)], self._step_guard)
        observations = np.stack([r[0] for r in results])
        rewards = np.array([r[1] for r in results], dtype=np.float64)
        terminations = np.array([r[2] for r in results], dtype=bool)
        truncations = np.array([r[3] for r in results], dtype=bool)
        infos = self._stack_infos([r[4] for r in results])
        self._autoreset = terminations | truncations
        return observations, rewards, terminations, truncations, infos

    def _stack_infos(self, infos: list[dict[str, Any]]) -> dict[str, Any]:
        """The infos in gymnasium's vector layout, as `_add_info` builds them one environment at a time;
        the usual step, where every info has the same keys of plain kinds, is stacked key by key at once."""
        stacked = stack_alike_infos(infos)
        if stacked is None:
            stacked = {}
            for i, info in enumerate(infos):
                stacked = self._add_info(stacked, info, i)
        return stacked

    def render(self) -> NDArray[np.uint8] | None:  # type: ignore[override]  # one grid, not a tuple of frames
        """With render_mode="rgb_array", every environment's frame in one grid (see the module's text);
        with "human" None (the dashboard at `viewer_url` follows by itself)."""
        self._check_open()
        if self.render_mode != "rgb_array":
            return self.envs[0].render()  # warns without a render mode, None for "human"
        frames = [env.render() for env in self.envs]
        return tile_frames([f for f in frames if f is not None])

    @property
    def viewer_url(self) -> str | None:
        """The training dashboard's address with render_mode="human" (one for every environment)."""
        return self.envs[0].viewer_url

    def get_attr(self, name: str) -> tuple[Any, ...]:
        """The attribute `name` of every environment."""
        return tuple(getattr(env, name) for env in self.envs)

    def set_attr(self, name: str, values: list[Any] | tuple[Any, ...] | Any) -> None:
        """Sets the attribute `name` of every environment: to `values[i]` for environment i when
        `values` is a list or tuple (one per environment), else to `values` itself."""
        if not isinstance(values, (list, tuple)):
            values = [values] * self.num_envs
        if len(values) != self.num_envs:
            raise ValueError(f"{len(values)} values for {self.num_envs} environments")
        for env, value in zip(self.envs, values):
            setattr(env, name, value)

    def call(self, name: str, *args: Any, **kwargs: Any) -> tuple[Any, ...]:
        """Calls the method `name` of every environment with these arguments and answers the results; an
        attribute that is not callable is answered as it is (as `SyncVectorEnv.call` does). Calls run
        one environment after the other."""
        self._check_open()
        results = []
        for env in self.envs:
            attribute = getattr(env, name)
            results.append(attribute(*args, **kwargs) if callable(attribute) else attribute)
        return tuple(results)

    def close_extras(self, **kwargs: Any) -> None:
        """Stops every user interface and engine, then the shared event loop (`close()` calls it once)."""
        try:
            if self._loop.is_running():
                async def close_all() -> None:
                    # The shared processes first, so that no page retries a closed port.
                    await asyncio.gather(*(host.close() for host in self.ui_hosts), return_exceptions=True)
                    await asyncio.gather(*(env._shut_down() for env in self.envs), return_exceptions=True)

                try:
                    self._loop.run(close_all(), 30.0)
                except TimeoutError:
                    pass
        finally:
            for env in self.envs:
                env._mark_closed()
            for host in self.ui_hosts:  # one that no environment took a page of yet
                if isinstance(host, ui_host.NodeUI):
                    end_process(host.process)
            self._loop.stop()

    def _check_open(self) -> None:
        if self.closed:
            raise RuntimeError("the vector environment is closed")

    def _step_timeout(self) -> float:
        return self._timeout * 8 + 5.0


def stack_alike_infos(infos: Sequence[dict[str, Any]]) -> dict[str, Any] | None:
    """The infos stacked as gymnasium's `VectorEnv._add_info` stacks them (each key, then its `_key` mask),
    when every info has the same keys in the same order, each of a plain kind (a number, a text, or
    arrays of one shape and dtype); else None."""
    first = infos[0]
    keys = list(first)
    if any(list(info) != keys for info in infos):
        return None
    count = len(infos)
    mask = np.ones(count, dtype=np.bool_)
    stacked: dict[str, Any] = {}
    for key in keys:
        values = [info[key] for info in infos]
        value = values[0]
        kind = type(value)
        if key == "final_obs" or isinstance(value, dict):
            return None
        if kind in (int, float, bool) or issubclass(kind, np.number):
            if any(type(v) is not kind for v in values):
                return None
            array = np.array(values, dtype=kind)
        elif kind is np.ndarray:
            if any(type(v) is not np.ndarray or v.shape != value.shape or v.dtype != value.dtype for v in values):
                return None
            array = np.array(values)  # what np.stack gives for arrays of one shape and dtype, at less cost
        elif all(type(v) is str for v in values):
            array = np.array(values, dtype=object)
        else:
            array = np.empty(count, dtype=object)
            for i, v in enumerate(values):  # one by one: a tuple must stay one element
                array[i] = v
        stacked[key] = array
        stacked[f"_{key}"] = mask.copy()
    return stacked


def default_ui_processes(num_envs: int) -> int:
    """How many Node.js processes host the pages of `num_envs` environments by default: one (measured
    in bench/trainer_table.py: one process answers several pages in fewer wake-ups than several do)."""
    return 1


def split_evenly(items: Sequence[Any], parts: int) -> list[list[Any]]:
    """`items` in `parts` runs of consecutive items whose lengths differ by one at most."""
    size, extra = divmod(len(items), parts)
    runs, start = [], 0
    for i in range(parts):
        end = start + size + (1 if i < extra else 0)
        runs.append(list(items[start:end]))
        start = end
    return runs


def _raise_first(outcomes: Sequence[Any]) -> None:
    for outcome in outcomes:
        if isinstance(outcome, BaseException):
            raise outcome


def tile_frames(frames: Sequence[NDArray[np.uint8]]) -> NDArray[np.uint8]:
    """The frames (all of one size) in a grid of ceil(sqrt(n)) columns, row by row."""
    if not frames:
        raise ValueError("no frames to tile")
    height, width, depth = frames[0].shape
    columns = math.ceil(math.sqrt(len(frames)))
    rows = math.ceil(len(frames) / columns)
    grid = np.zeros((rows * height, columns * width, depth), dtype=np.uint8)
    for i, frame in enumerate(frames):
        row, column = divmod(i, columns)
        grid[row * height:(row + 1) * height, column * width:(column + 1) * width] = frame
    return grid
