"""Environment workers on Ray, collecting episodes in parallel into one trainer.

    PYTHONPATH=python .venv/bin/python examples/ray_rollouts.py [--workers 2] [--iterations 3] [--episodes 2]

Starts a local Ray runtime, then N actors; each owns one `TradingEnv`, that is one engine listening on
127.0.0.1 on a port of its own and one user interface (Node.js by default) for it. Each iteration the
trainer sends its policy's weights to every actor, the actors play their episodes at the same time,
and the trainer learns from all of them (REINFORCE, `tarnel_rl.agent`). At the end every actor stops
its user interface before it is killed.

On a Ray cluster, call `ray.init(address="auto")` (or set RAY_ADDRESS) instead of starting a local
runtime: the same actors are then spread over the machines; each binds loopback on its own machine for
its own user interface, so nothing crosses machines but Ray's own traffic (weights out, episodes back).
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")  # no usage report leaves the machine
import ray  # noqa: E402

PYTHON_DIR = Path(__file__).resolve().parents[1] / "python"
sys.path.insert(0, str(PYTHON_DIR))
from tarnel_rl.agent import LinearSoftmaxPolicy  # noqa: E402
from tarnel_rl.rollouts import RolloutWorker  # noqa: E402
from tarnel_rl.trading import ACTION_NAMES, observation_size  # noqa: E402


def start_ray(num_cpus: int = 2, address: str | None = None) -> None:
    """A local runtime of `num_cpus` (or, with an address, joins that cluster). Worker processes get the
    checkout's `python/` on their path, so they import the same `tarnel_rl` as this script; on a
    cluster, install the project (`pip install .[gym,ray]`) on every machine instead."""
    runtime_env = {"env_vars": {"PYTHONPATH": str(PYTHON_DIR)}} if (PYTHON_DIR / "tarnel_rl").is_dir() else None
    if address:
        ray.init(address=address, runtime_env=runtime_env)
    else:
        ray.init(num_cpus=num_cpus, include_dashboard=False, runtime_env=runtime_env, log_to_driver=False)


def start_workers(count: int, ui: str = "node", series_seed: int = 7, cpus_per_worker: float = 0.5,
                  **env_kwargs) -> tuple[list, list[dict]]:
    """`count` actors, worker i on the series `series_seed + i`; answers their handles and where each runs
    (process id, port, user interface process). A worker uses about one core (Python and the user
    interface together): on a cluster, give `cpus_per_worker=1` so that Ray spreads them."""
    actor = ray.remote(num_cpus=cpus_per_worker)(RolloutWorker)
    workers = [actor.remote(ui=ui, series_seed=series_seed + i, seed=i, **env_kwargs) for i in range(count)]
    try:
        places = ray.get([w.describe.remote() for w in workers], timeout=120)
    except BaseException:
        stop_workers(workers)
        raise
    return workers, places


def stop_workers(workers: list, timeout: float = 60.0) -> None:
    """Each actor stops its user interface, its engine (freeing its port) and its event loop thread, then
    is killed."""
    try:
        ray.get([w.close.remote() for w in workers], timeout=timeout)
    except Exception as error:  # an actor that already died has nothing left to close
        print(f"closing the workers: {error}", file=sys.stderr)
    finally:
        for w in workers:
            ray.kill(w)


def train(workers: list, policy: LinearSoftmaxPolicy, iterations: int, episodes_per_worker: int,
          log=print) -> list[dict]:
    """Synchronous parallel rollouts: every iteration, all workers play `episodes_per_worker` episodes
    with the current weights; the trainer learns from each episode as it arrives."""
    history = []
    for iteration in range(iterations):
        started = time.perf_counter()
        weights = ray.put(policy.weights)
        pending = [w.rollout.remote(weights, episodes_per_worker) for w in workers]
        episodes = []
        while pending:
            ready, pending = ray.wait(pending, num_returns=1, timeout=300)
            if not ready:
                raise TimeoutError("no worker answered within 300 s")
            for episode in ray.get(ready[0]):
                for observation, action, reward in zip(episode["observations"], episode["actions"], episode["rewards"]):
                    policy.record(observation, int(action), float(reward))
                episode["reward"] = policy.learn()
                episodes.append(episode)
        elapsed = time.perf_counter() - started
        steps = sum(e["steps"] for e in episodes)
        history.extend(episodes)
        log(f"iteration {iteration}: {len(episodes)} episodes from {len(workers)} workers, {steps} steps in "
            f"{elapsed:.2f} s ({len(episodes) / elapsed:.1f} episodes/s), mean return "
            f"{np.mean([e['summary'][3] for e in episodes]):+.4f}")
    return history


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--iterations", type=int, default=3)
    parser.add_argument("--episodes", type=int, default=2, help="episodes per worker and iteration")
    parser.add_argument("--ui", choices=["node", "browser", "auto"], default="node")
    parser.add_argument("--num-cpus", type=int, default=2, help="CPUs of the local Ray runtime")
    parser.add_argument("--address", default=None, help="join this Ray cluster (or 'auto') instead of starting one")
    parser.add_argument("--cpus-per-worker", type=float, default=0.5,
                        help="CPUs Ray reserves per worker (1 on a cluster, so that workers spread over machines)")
    args = parser.parse_args(argv)

    start_ray(args.num_cpus, args.address)
    workers = []
    try:
        workers, places = start_workers(args.workers, ui=args.ui, cpus_per_worker=args.cpus_per_worker)
        for i, p in enumerate(places):
            print(f"worker {i}: process {p['pid']}, engine on 127.0.0.1:{p['port']}, {p['ui']} user interface "
                  f"(process {p['ui_pid']}), series seed {p['series_seed']}")
        policy = LinearSoftmaxPolicy(observation_size(), len(ACTION_NAMES), seed=0)
        history = train(workers, policy, args.iterations, args.episodes)
        print(f"{len(history)} episodes, {sum(e['steps'] for e in history)} steps collected into one trainer")
    finally:
        stop_workers(workers)
        ray.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
