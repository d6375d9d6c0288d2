"""An environment worker for distributed rollouts: one `TradingEnv` (its own engine, port and user
interface) that plays whole episodes with the weights of a `LinearSoftmaxPolicy` and hands back the
trajectories. It is a plain class, so that Ray (or anything else) can run it in a process of its own:

    import ray
    Worker = ray.remote(RolloutWorker)
    worker = Worker.remote(ui="node", series_seed=8)
    episodes = ray.get(worker.rollout.remote(policy.weights, episodes=2))
    ray.get(worker.close.remote()); ray.kill(worker)

It lives in the package (not in an example script) because every Ray worker process must be able to
import it.
"""
from __future__ import annotations

import os
import time

import numpy as np

from tarnel_rl.agents.agent import LinearSoftmaxPolicy
from tarnel_rl.env.gym_env import TradingEnv
from tarnel_rl.env.trading import ACTION_NAMES, observation_size


class RolloutWorker:
    """Owns one environment; `close()` (also called by Ray's graceful actor shutdown) stops its user
    interface, its engine (freeing its port) and its event loop."""

    def __init__(self, ui: str = "node", series_seed: int = 7, seed: int = 0, **env_kwargs) -> None:
        self.env = TradingEnv(ui=ui, series_seed=series_seed, **env_kwargs)
        self.policy = LinearSoftmaxPolicy(observation_size(), len(ACTION_NAMES), seed=seed)
        self.seed = seed
        self._seeded = False

    def describe(self) -> dict:
        """Where this worker runs: its process, the engine's port, the user interface's process."""
        process = self.env.ui_process
        return {"pid": os.getpid(), "port": self.env.port, "ui_pid": None if process is None else process.pid,
                "ui": self.env.ui.kind if self.env.ui is not None else None, "series_seed": self.env.series_seed,
                "config": dict(self.env.config)}

    def rollout(self, weights: np.ndarray, episodes: int = 1, episode_type: str = "train",
                episode_indices: list[int] | None = None, greedy: bool = False) -> list[dict]:
        """Plays `episodes` whole episodes (of the given indices, else drawn by the environment) with the
        policy `weights`; answers one record per episode: observations (T x d), actions (T), rewards
        (T), the session's summary row, and the steps per second."""
        self.policy.weights = np.array(weights, dtype=np.float64)
        indices = list(episode_indices) if episode_indices is not None else [None] * episodes
        results = []
        for index in indices:
            options: dict = {"episode_type": episode_type}
            if index is not None:
                options["episode_index"] = index
            seed = None if self._seeded else self.seed
            self._seeded = True
            observation, info = self.env.reset(seed=seed, options=options)
            observations, actions, rewards = [], [], []
            started = time.perf_counter()
            done = False
            while not done:
                action = self.policy.act(observation, greedy=greedy)
                observations.append(observation)
                actions.append(action)
                observation, reward, terminated, truncated, info = self.env.step(action)
                rewards.append(reward)
                done = terminated or truncated
            elapsed = time.perf_counter() - started
            results.append({
                "episode_type": info["episode_type"], "episode_index": info["episode_index"],
                "series_seed": self.env.series_seed, "pid": os.getpid(),
                "observations": np.array(observations), "actions": np.array(actions, dtype=np.int64),
                "rewards": np.array(rewards), "summary": info["summary"], "steps": len(actions),
                "steps_per_s": len(actions) / max(elapsed, 1e-9),
            })
        return results

    def close(self) -> None:
        self.env.close()

    def __ray_shutdown__(self) -> None:  # Ray calls it when the actor ends gracefully
        self.close()
