"""What watching costs a trainer: `TradingEnv(ui="node")` stepped with random actions without a live
viewer, with `render_mode="human"` and nobody watching, and with one viewer (a separate process reading
the hub's event stream, as a browser tab does), side by side in one run.

    python bench/viewer_cost.py [--steps 3000] [--rounds 3] [--viewers 1]

Every measurement runs in a fresh process: one environment, a warm-up of 1.5 s (the page learns that
someone watches from the hub's answer to a publication, which comes once a second while nobody does),
then the timed steps
with actions from a seeded generator, resetting whenever an episode ends. The three cases alternate round
after round in an order that turns, so the machine's drift falls on all of them. Prints one JSON line per
round and case, then steps/s pooled over the rounds and the ratio to the case without a viewer, with the
states the page published and the viewers received.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CASES = ("off", "human", "watched")
NAMES = {"off": "no viewer", "human": "human, nobody watching", "watched": "human, watched"}
WARM_UP_SECS = 1.5

VIEWER = """
import sys, urllib.parse, urllib.request
count = 0
parts = urllib.parse.urlsplit(sys.argv[1])
with urllib.request.urlopen(f"http://{parts.netloc}/events?{parts.query}", timeout=600) as stream:
    for line in stream:
        if line.startswith(b"event: page"):
            count += 1
            print(count, flush=True)
"""


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a live process, from /proc."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def worker(case: str, steps: int, viewers: int) -> dict:
    import numpy as np

    from tarnel_rl import dashboard
    from tarnel_rl.gym_env import TradingEnv

    env = TradingEnv(ui="node", series_seed=7, render_mode=None if case == "off" else "human")
    hub = dashboard.current_hub()
    watching = []
    try:
        if case == "watched":
            watching = [subprocess.Popen([sys.executable, "-c", VIEWER, env.viewer_url], stdout=subprocess.PIPE,
                                         text=True) for _ in range(viewers)]
            deadline = time.monotonic() + 30
            while hub.viewers < viewers and time.monotonic() < deadline:
                time.sleep(0.05)
        rng = np.random.default_rng(1)
        env.reset(seed=0)
        warm_until = time.monotonic() + WARM_UP_SECS
        while time.monotonic() < warm_until:
            _, _, terminated, truncated, _ = env.step(int(rng.integers(4)))
            if terminated or truncated:
                env.reset()
        started, published = time.perf_counter(), hub.publications if hub else 0
        pids = {"page": env.ui_process.pid, "hub": hub.process.pid if hub else None}
        cpu_before = {name: cpu_seconds(pid) for name, pid in pids.items() if pid}
        trainer_before = time.process_time()
        for _ in range(steps):
            _, _, terminated, truncated, _ = env.step(int(rng.integers(4)))
            if terminated or truncated:
                env.reset()
        elapsed = time.perf_counter() - started
        cpu = {name: cpu_seconds(pids[name]) - before for name, before in cpu_before.items()}
        cpu["trainer"] = time.process_time() - trainer_before
        publications = (hub.publications if hub else 0) - published
    finally:
        env.close()
    received = []
    for process in watching:
        process.terminate()
        lines = process.communicate(timeout=10)[0].split()
        received.append(int(lines[-1]) if lines else 0)
    return {"case": case, "steps": steps, "seconds": elapsed, "steps_per_s": steps / elapsed,
            "published_per_s": publications / elapsed, "received": received,
            "cpu_us_per_step": {name: value / steps * 1e6 for name, value in cpu.items()}}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--viewers", type=int, default=1)
    parser.add_argument("--worker", choices=CASES, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.steps, args.viewers)))
        return 0
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT / "python"), os.environ.get("PYTHONPATH")])))
    results: dict[str, list[dict]] = {case: [] for case in CASES}
    for round_ in range(args.rounds):
        order = CASES[round_ % 3:] + CASES[:round_ % 3]
        for case in order:
            out = subprocess.run([sys.executable, __file__, "--worker", case, "--steps", str(args.steps),
                                  "--viewers", str(args.viewers)], env=env, capture_output=True, text=True, check=True)
            line = json.loads(out.stdout.strip().splitlines()[-1])
            line["round"] = round_
            print(json.dumps(line), flush=True)
            results[case].append(line)
    base = sum(r["steps"] for r in results["off"]) / sum(r["seconds"] for r in results["off"])
    print(f"\n{'case':<26}{'steps/s':>10}{'vs no viewer':>14}{'published/s':>13}   CPU µs per step: trainer, page, hub")
    for case in CASES:
        rate = sum(r["steps"] for r in results[case]) / sum(r["seconds"] for r in results[case])
        published = sum(r["published_per_s"] for r in results[case]) / len(results[case])
        cpu = {name: sum(r["cpu_us_per_step"].get(name, 0.0) for r in results[case]) / len(results[case])
               for name in ("trainer", "page", "hub")}
        print(f"{NAMES[case]:<26}{rate:>10.0f}{rate / base:>14.2f}{published:>13.1f}   "
              f"{cpu['trainer']:.0f}, {cpu['page']:.0f}, {cpu['hub']:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
