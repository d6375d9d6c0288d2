"""Episodes per second for 1, 2 and 4 Ray environment workers on this machine.

    PYTHONPATH=python .venv/bin/python examples/ray_scaling.py [--workers 1 2 4] [--episodes 6] [--ui node]

For each worker count it starts that many actors (each with its own engine, port and user interface),
lets every worker play one episode to warm up (Node's compiler, the page's first frames), then times
`--episodes` whole episodes per worker played at the same time with random-ish policy weights,
`--repeat` times. It prints the median episodes and steps per second (and the range over the repeats),
the memory of one worker's process tree (the actor's Python process plus its user interface: Node.js,
or Playwright's driver and headless Chromium; proportional set size, so shared pages count once), and
the machine's load average, since other work on the machine changes every figure.
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
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--episodes", type=int, default=8, help="timed episodes per worker and run")
    parser.add_argument("--repeat", type=int, default=3, help="timed runs per worker count")
    parser.add_argument("--ui", choices=["node", "browser"], default="node")
    parser.add_argument("--num-cpus", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args(argv)

    start_ray(args.num_cpus)
    try:
        load_before = os.getloadavg()[0]
        rows = [measure(n, args.episodes, args.repeat, args.ui, args.num_cpus) for n in args.workers]
        load_after = os.getloadavg()[0]
    finally:
        ray.shutdown()
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
