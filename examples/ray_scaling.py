"""Env-steps per second for 1 and 2 Ray actors on this machine, each actor a vector environment.

    PYTHONPATH=python .venv/bin/python examples/ray_scaling.py [--workers 1 2] [--envs 4] [--steps 1500]
                                                               [--episodes-mode] [--ui node]

By default every actor holds a `TradingVectorEnv(--envs)` (its engines on one event loop, their pages in
one Node.js process) and steps it with random actions: after a warm-up, `--steps` vector steps per actor,
all actors at the same time, `--repeat` times. It prints the median env-steps per second (and the range
over the repeats), the memory of one actor's process tree (its Python process and its Node.js process;
proportional set size, so shared pages count once), and the machine's load average, since other work on
the machine changes every figure. With --episodes-mode each actor is instead a `RolloutWorker` with one
`TradingEnv` that plays `--episodes` whole episodes with a policy's weights, as examples/ray_rollouts.py
trains (episodes per second).
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from ray_rollouts import start_ray, start_workers, stop_workers  # noqa: E402

import ray  # noqa: E402

from tarnel_rl.trading import ACTION_NAMES, observation_size  # noqa: E402


def tree_pss_mib(pid: int) -> float:
    """Proportional memory (PSS) of a process and all its descendants, in MiB (Linux /proc)."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    total_kib, todo = 0, [pid]
    while todo:
        p = todo.pop()
        todo.extend(children.get(p, []))
        try:
            with open(f"/proc/{p}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total_kib += int(line.split()[1])
        except OSError:
            pass
    return total_kib / 1024


class VectorWorker:
    """A Ray actor with one vector environment, stepped with random actions."""

    def __init__(self, num_envs: int, series_seed: int) -> None:
        from tarnel_rl.vector_env import TradingVectorEnv
        self.envs = TradingVectorEnv(num_envs, ui="node", series_seed=series_seed)
        self.envs.reset(seed=series_seed)
        self.rng = np.random.default_rng(series_seed)

    def describe(self) -> dict:
        return {"pid": os.getpid(), "ui_pids": sorted({env.ui_process.pid for env in self.envs.envs})}

    def run(self, steps: int) -> tuple[int, float]:
        """Env-steps made and the seconds they took."""
        started = time.perf_counter()
        for _ in range(steps):
            self.envs.step(self.rng.integers(4, size=self.envs.num_envs))
        return steps * self.envs.num_envs, time.perf_counter() - started

    def close(self) -> None:
        self.envs.close()


def measure_vectors(count: int, num_envs: int, steps: int, repeat: int, num_cpus: int) -> dict:
    actor = ray.remote(num_cpus=min(1.0, num_cpus / count))(VectorWorker)
    workers = [actor.remote(num_envs, 7 + 100 * i) for i in range(count)]
    try:
        places = ray.get([w.describe.remote() for w in workers], timeout=120)
        ray.get([w.run.remote(max(1, steps // 5)) for w in workers], timeout=300)  # warm-up
        rates = []
        for _ in range(repeat):
            started = time.perf_counter()
            results = ray.get([w.run.remote(steps) for w in workers], timeout=600)
            rates.append(sum(r[0] for r in results) / (time.perf_counter() - started))
        memory = [tree_pss_mib(p["pid"]) for p in places]
    finally:
        stop_workers(workers)
    rates.sort()
    return {"workers": count, "envs": num_envs, "steps_per_s": float(np.median(rates)), "low": rates[0],
            "high": rates[-1], "worker_mib": float(np.mean(memory))}


def measure(count: int, episodes: int, repeat: int, ui: str, num_cpus: int) -> dict:
    workers, places = start_workers(count, ui=ui, cpus_per_worker=min(1.0, num_cpus / count))
    try:
        weights = ray.put(np.random.default_rng(0).normal(0, 0.5, size=(len(ACTION_NAMES), observation_size() + 1)))
        ray.get([w.rollout.remote(weights, 1) for w in workers], timeout=300)  # warm-up
        runs = []
        for _ in range(repeat):
            started = time.perf_counter()
            results = ray.get([w.rollout.remote(weights, episodes) for w in workers], timeout=600)
            elapsed = time.perf_counter() - started
            played = sum(len(r) for r in results)
            steps = sum(e["steps"] for r in results for e in r)
            runs.append((played / elapsed, steps / elapsed, played, steps // played))
        memory = [tree_pss_mib(p["pid"]) for p in places]
    finally:
        stop_workers(workers)
    rates = sorted(r[0] for r in runs)
    return {"workers": count, "episodes": runs[0][2], "episode_steps": runs[0][3],
            "episodes_per_s": float(np.median(rates)), "low": rates[0], "high": rates[-1],
            "steps_per_s": float(np.median([r[1] for r in runs])), "worker_mib": float(np.mean(memory))}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--envs", type=int, default=4, help="environments in each actor's vector")
    parser.add_argument("--steps", type=int, default=1500, help="timed vector steps per actor and run")
    parser.add_argument("--episodes-mode", action="store_true", help="one TradingEnv per actor, whole episodes")
    parser.add_argument("--episodes", type=int, default=8, help="timed episodes per worker and run (--episodes-mode)")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per worker count")
    parser.add_argument("--ui", choices=["node", "browser"], default="node")
    parser.add_argument("--num-cpus", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args(argv)

    start_ray(args.num_cpus)
    try:
        load_before = os.getloadavg()[0]
        if args.episodes_mode:
            rows = [measure(n, args.episodes, args.repeat, args.ui, args.num_cpus) for n in args.workers]
        else:
            rows = [measure_vectors(n, args.envs, args.steps, args.repeat, args.num_cpus) for n in args.workers]
        load_after = os.getloadavg()[0]
    finally:
        ray.shutdown()
    if not args.episodes_mode:
        print(f"\nRay actors with a vector of {args.envs} environments each (Node.js pages, one process per actor), Ray "
              f"with {args.num_cpus} CPUs on {os.cpu_count()} cores, random actions, load average {load_before:.1f} "
              f"before and {load_after:.1f} after")
        print("| actors | env-steps/s (median, range) | per actor | memory per actor (MiB) |")
        print("|---|---|---|---|")
        for r in rows:
            print(f"| {r['workers']} | {r['steps_per_s']:.0f} ({r['low']:.0f}-{r['high']:.0f}) | "
                  f"{r['steps_per_s'] / r['workers']:.0f} | {r['worker_mib']:.0f} |")
        return 0
    print(f"\n{args.ui} user interfaces, Ray with {args.num_cpus} CPUs on {os.cpu_count()} cores, episodes of "
          f"{rows[0]['episode_steps']} steps, load average {load_before:.1f} before and {load_after:.1f} after")
    print("| workers | episodes per run | episodes/s (median, range) | steps/s | memory per worker (MiB) |")
    print("|---|---|---|---|---|")
    for r in rows:
        print(f"| {r['workers']} | {r['episodes']} | {r['episodes_per_s']:.2f} ({r['low']:.2f}-{r['high']:.2f}) | "
              f"{r['steps_per_s']:.0f} | {r['worker_mib']:.0f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
