"""The environment as a trainer sees it: `TradingEnv(ui="node")` stepped with random actions, the current
trainer layer side by side with an earlier one, in one run.

    python bench/env_layers.py [--steps 3000] [--rounds 3] [--baseline REF] [--same-module] [--quick] [--json-only]

The earlier implementation is the tree at git revision REF (by default the last one before the
environment ran its engine calls on the calling thread and cut its round trips): its trainer layer
(`python/tarnel_rl`) and its module, built once into `build/env-baseline/REF` (about two minutes the first
time) and put first on the worker's path. With --same-module the earlier trainer layer runs on the
installed module instead, which isolates what the trainer layer changed. All use the same Node.js user
interface (`ui/`). A third column runs the current layer with its event loop on a background thread
(as an environment made inside a running loop has it), which shows what the thread hand-over costs.

Every measurement runs in a fresh process: one environment, a warm-up, then the timed steps with
actions drawn from a seeded generator (the same for all), resetting whenever an episode ends; resets
count in the time, as they do for a trainer. The three alternate round after round, in an order that
turns, so that the drift of the machine falls on all of them.

Every engine call is counted by a thin proxy in front of the engine (the same for both); for the
current layer the count must equal its own `engine_calls`. Every step's observation is checked for
shape and finiteness, and the snapshot's step counter must advance by one.

Prints one JSON line per round and implementation, then a table: steps/s (pooled over the rounds),
microseconds per step, engine calls per step, and the ratio of the two.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# The trainer layer before its calls ran on the calling thread and before its round trips were cut.
DEFAULT_BASELINE = "12b9fdb1d6176c5d9708031035ca4b784e34edae"
IMPLS = ("before", "thread", "now")
NAMES = {"before": "before", "thread": "now, loop thread", "now": "now"}


class CountingEngine:
    """Stands in front of an engine and counts the calls made through it (one attribute look-up and
    an increment per call: the futures are the engine's own)."""

    def __init__(self, engine) -> None:
        self._engine = engine
        self.calls = 0

    def __getattr__(self, name):
        method = getattr(self._engine, name)

        def call(*args, **kwargs):
            self.calls += 1
            return method(*args, **kwargs)

        return call


def worker(args) -> dict:
    sys.path.insert(0, args.package)
    if args.module_dir:
        sys.path.insert(0, args.module_dir)
    import numpy as np
    from tarnel_rl.gym_env import TradingEnv

    options = {}
    if args.thread_loop:
        from tarnel_rl.loops import EventLoopThread
        options["loop"] = EventLoopThread()
    env = TradingEnv(ui="node", series_seed=7, **options)
    try:
        counter = CountingEngine(env._session.engine)
        env._session.engine = counter
        own = hasattr(env, "engine_calls")
        rng = np.random.default_rng(args.seed)
        env.reset(seed=args.seed)
        expected_step = 0

        def run(steps: int) -> int:
            nonlocal expected_step
            resets = 0
            for _ in range(steps):
                obs, _, terminated, truncated, info = env.step(int(rng.integers(4)))
                expected_step += 1
                if obs.shape != (18,) or not np.isfinite(obs).all() or info["snapshot"][0] != expected_step:
                    raise AssertionError(f"a wrong step: observation {obs}, snapshot step {info['snapshot'][0]}, "
                                         f"expected {expected_step}")
                if terminated or truncated:
                    env.reset()
                    expected_step, resets = 0, resets + 1
            return resets

        run(args.warmup)
        calls0, own0 = counter.calls, env.engine_calls if own else 0
        cpu0, wall0 = time.process_time(), time.perf_counter()
        resets = run(args.steps)
        wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
        calls = counter.calls - calls0
        if own and env.engine_calls - own0 != calls:
            raise AssertionError(f"engine_calls counted {env.engine_calls - own0} calls, the proxy {calls}")
        return {"ok": True, "steps": args.steps, "resets": resets, "wall_s": wall, "cpu_s": cpu, "calls": calls}
    finally:
        env.close()


def extract(revision: str, into: Path) -> Path:
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision, "python/tarnel_rl"],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(into)], input=archive, check=True)
    (into / "ui").symlink_to(ROOT / "ui")  # where a checkout's package looks for the user interface
    return into / "python"


def build_module(revision: str) -> Path:
    """The module as built at `revision`, installed into a directory of its own (kept between runs)."""
    home = ROOT / "build" / "env-baseline" / revision
    target = home / "module"
    if (target / ".complete").exists():
        return target
    source = home / "source"
    source.mkdir(parents=True, exist_ok=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision], check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    print(f"building the module at {revision[:7]} (once) ...", file=sys.stderr, flush=True)
    wheels = home / "wheel"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(wheels),
                    "-C", f"build-dir={home / 'tree'}", str(source)], check=True)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--upgrade", "--target", str(target),
                    *map(str, wheels.glob("py_engine_tarnel-*.whl"))], check=True)
    (target / ".complete").touch()
    return target


def run_one(package: Path, steps: int, warmup: int, seed: int, thread_loop: bool, module: Path | None) -> dict:
    command = [sys.executable, str(Path(__file__).resolve()), "--worker", str(package), "--steps", str(steps),
               "--warmup", str(warmup), "--seed", str(seed)] + (["--thread-loop"] if thread_loop else [])
    if module is not None:
        command += ["--module-dir", str(module)]
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env.pop("PYTHONPATH", None)  # the worker puts its own package first
    done = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=120 + steps * 0.02)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        raise SystemExit(f"the worker for {package} failed (exit {done.returncode}):\n{done.stderr[-3000:]}")
    result = json.loads(lines[-1])
    if not result["ok"]:
        raise SystemExit(f"the worker for {package} failed: {result['failure']}")
    return result


def summarise(runs: list[dict]) -> dict:
    steps = sum(r["steps"] for r in runs)
    wall = sum(r["wall_s"] for r in runs)
    rates = [r["steps"] / r["wall_s"] for r in runs]
    return {"steps": steps, "steps_per_s": steps / wall, "us_per_step": wall / steps * 1e6,
            "calls_per_step": sum(r["calls"] for r in runs) / steps,
            "cpu_us_per_step": sum(r["cpu_s"] for r in runs) / steps * 1e6,
            "round_steps_per_s": [round(x, 1) for x in rates], "median_round_steps_per_s": statistics.median(rates)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--steps", type=int, default=3000, help="timed steps per round and implementation")
    parser.add_argument("--warmup", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--baseline", default=DEFAULT_BASELINE, help="git revision of the earlier trainer layer")
    parser.add_argument("--same-module", action="store_true",
                        help="run the earlier trainer layer on the installed module, not on its own")
    parser.add_argument("--quick", action="store_true", help="one round of 800 steps")
    parser.add_argument("--json-only", action="store_true")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--thread-loop", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--module-dir", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        args.package = args.worker
        try:
            result = worker(args)
        except Exception as failure:  # reported to the driver
            result = {"ok": False, "failure": f"{type(failure).__name__}: {failure}"}
        print(json.dumps(result), flush=True)
        os._exit(0)  # the engine's listening socket and worker threads end with the process
    if args.quick:
        args.rounds, args.steps, args.warmup = 1, 800, 100

    started = time.monotonic()
    baseline_module = None if args.same_module else build_module(args.baseline)
    with tempfile.TemporaryDirectory(prefix="tarnel-env-bench-") as scratch:
        before = extract(args.baseline, Path(scratch))
        packages = {"before": before, "thread": ROOT / "python", "now": ROOT / "python"}
        runs: dict[str, list[dict]] = {impl: [] for impl in IMPLS}
        for round_index in range(args.rounds):
            # The order turns every round, so that no implementation always runs right after the same one.
            order = IMPLS[round_index % 3:] + IMPLS[:round_index % 3]
            for impl in order:
                result = run_one(packages[impl], args.steps, args.warmup, args.seed, impl == "thread",
                                 baseline_module if impl == "before" else None)
                runs[impl].append(result)
                print(json.dumps({"round": round_index, "impl": impl, **result}), flush=True)
    summary = {impl: summarise(runs[impl]) for impl in IMPLS}
    ratio = summary["now"]["steps_per_s"] / summary["before"]["steps_per_s"]
    print(json.dumps({"case": "env_layers", "baseline": args.baseline, "baseline_module": not args.same_module,
                      "rounds": args.rounds, **summary,
                      "now_over_before": ratio}), flush=True)
    if args.json_only:
        return
    before_name = f"before ({args.baseline[:7]}{', same module' if args.same_module else ''})"
    rows = [("", before_name, NAMES["thread"], "now"),
            ("steps/s", *(f"{summary[i]['steps_per_s']:,.0f}" for i in IMPLS)),
            ("us per step", *(f"{summary[i]['us_per_step']:,.0f}" for i in IMPLS)),
            ("engine calls per step", *(f"{summary[i]['calls_per_step']:.2f}" for i in IMPLS)),
            ("CPU us per step (trainer process)", *(f"{summary[i]['cpu_us_per_step']:,.0f}" for i in IMPLS))]
    widths = [max(len(row[c]) for row in rows) for c in range(len(IMPLS) + 1)]
    print()
    for n, row in enumerate(rows):
        print("| " + " | ".join(cell.ljust(widths[c]) for c, cell in enumerate(row)) + " |")
        if n == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    print(f"\nnow / before: {ratio:.2f}x steps/s (loop thread / before: "
          f"{summary['thread']['steps_per_s'] / summary['before']['steps_per_s']:.2f}x); {args.rounds} round(s) of {args.steps} random-action steps each, "
          f"{time.monotonic() - started:.0f} s in all; {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
