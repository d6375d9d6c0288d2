"""Env-steps per second as a trainer sees them, beside the trading environments trainers pick instead, in
one run on the same candles (python/tarnel_rl/market_data/samples/sample_daily.csv), with random actions:

    python bench/trainer_table.py [--quick] [--seconds 3] [--rounds 3] [--no-load] [--baseline REV] [--json-only]

Cases: gym-trading-env and gym-anytrading (one environment each, in-process, from the `bench` extra);
`TradingEnv(ui="node")` (one environment, and with --baseline the same at git revision REV: its trainer
layer, page and module); `TradingVectorEnv(n)` for n = 1, 2, 4, 8 (one event loop, the pages in one Node.js
process) and vector-8x2 (8, the pages in two Node.js processes); `gym.make_vec(...,
vectorization_mode="async")` for n = 1, 2, 4, 8 (a worker process per environment, each with its page).

Every case runs in a fresh process: it opens its environments, steps for `--warmup` seconds (3: until the
pages' hot path is compiled, see WARMUP_SECS), then steps for `--seconds`,
resetting whenever an episode ends (resets count in the time, as they do for a trainer). Cases alternate
round after round, in an order that turns, so that the drift of a shared machine falls on all of them.
A last round (unless --no-load) runs every case once more beside two CPU-bound processes and counts the
steps over 100 ms. A step of a vector is one `step` of the vector (n env-steps); env-steps/s is env-steps
over wall time, pooled over the rounds.

Prints one JSON line per measurement, then the table: env-steps/s, median, p99 and max step time, steps
over 100 ms without and with the load, engine calls per env-step, the CPU time per env-step of the
trainer's process (all its threads) and of the pages' Node.js processes, and the ratios the targets are
set on, round by round.
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
CANDLES = ROOT / "python" / "tarnel_rl" / "market_data" / "samples" / "sample_daily.csv"
STALL_MS = 100.0
SIZES = (1, 2, 4, 8)
# A page's hot path runs slower until V8 has compiled it: one environment's page takes about 10,000
# steps (2 s) to reach its steady rate, 1.4x its rate over the first 500. A trainer runs millions of steps,
# so every case is measured after that warm-up (the peers, plain Python, need none but get it too).
WARMUP_SECS = 3.0


def cases(quick: bool, baseline: bool) -> list[str]:
    sizes = (1, 8) if quick else SIZES
    names = ["gym-trading-env", "gym-anytrading", "env"]
    if baseline:
        names.append("env-before")
    names += [f"vector-{n}" for n in sizes] + ["vector-8x2"] + [f"async-{n}" for n in sizes]
    return names


# --- the worker: one case in a fresh process ------------------------------------------------------------

def _frame():
    import pandas as pd
    frame = pd.read_csv(CANDLES, parse_dates=["Date"], index_col="Date")
    return frame


TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """User and system CPU time of a process so far (Linux /proc)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def page_pids(name: str, envs) -> list[int]:
    """The Node.js processes of a case's pages (none for the peers and for gymnasium's worker processes)."""
    if name in ("env", "env-before"):
        return [envs.ui_process.pid]
    if name.startswith("vector"):
        return [host.process.pid for host in envs.ui_hosts]
    return []


def make_case(name: str):
    """((step(rng) -> env-steps, close()), calls() -> engine calls so far or None, page pids) for `name`."""
    import numpy as np
    if name == "gym-trading-env":
        import gym_trading_env  # noqa: F401  (registers TradingEnv)
        import gymnasium as gym
        frame = _frame()
        frame.columns = [c.lower() for c in frame.columns]
        frame["feature_close"] = frame["close"].pct_change()
        frame["feature_volume"] = frame["volume"] / frame["volume"].rolling(20).max()
        frame = frame.dropna()
        env = gym.make("TradingEnv", df=frame, positions=[-1, 0, 1], trading_fees=0.0002, verbose=0,
                       disable_env_checker=True)
        return _single(env, lambda rng: int(rng.integers(3))), None, []
    if name == "gym-anytrading":
        import gym_anytrading  # noqa: F401  (registers stocks-v0)
        import gymnasium as gym
        frame = _frame()
        env = gym.make("stocks-v0", df=frame, window_size=16, frame_bound=(16, len(frame)), disable_env_checker=True)
        return _single(env, lambda rng: int(rng.integers(2))), None, []
    from tarnel_rl.gym_env import TradingEnv
    if name in ("env", "env-before"):
        env = TradingEnv(ui="node", candles=str(CANDLES))
        return _single(env, lambda rng: int(rng.integers(4))), lambda: env.engine_calls, page_pids(name, env)
    kind, size = name.split("-")
    n, _, processes = size.partition("x")  # vector-8x2: 8 environments, their pages in 2 Node.js processes
    n = int(n)
    if kind == "vector":
        from tarnel_rl.vector_env import TradingVectorEnv
        envs = TradingVectorEnv(n, candles=str(CANDLES), ui_processes=int(processes) if processes else None)
        calls = lambda: envs.engine_calls  # noqa: E731
    else:
        import gymnasium as gym
        envs = gym.make_vec("tarnel_rl.gym_env:tarnel_rl/Trading-v0", num_envs=n, vectorization_mode="async",
                            candles=str(CANDLES))
        calls = None
    envs.reset(seed=0)

    def step(rng: np.random.Generator) -> int:
        envs.step(rng.integers(4, size=n))  # the vector resets an ended environment at its next step
        return n

    return (step, envs.close), calls, page_pids(name, envs) if kind == "vector" else []


def _single(env, action):
    env.reset(seed=0)

    def step(rng) -> int:
        _, _, terminated, truncated, _ = env.step(action(rng))
        if terminated or truncated:
            env.reset()
        return 1

    return step, env.close


def worker(name: str, seconds: float, warmup: float) -> dict:
    import numpy as np
    (step, close), calls, pages = make_case(name)
    try:
        rng = np.random.default_rng(1)
        end = time.perf_counter() + warmup
        while time.perf_counter() < end:
            step(rng)
        calls0 = calls() if calls else 0
        trainer_cpu0, page_cpu0 = time.process_time(), sum(cpu_seconds(pid) for pid in pages)
        times: list[float] = []
        env_steps = 0
        start = time.perf_counter()
        end = start + seconds
        now = start
        while now < end:
            before = now
            env_steps += step(rng)
            now = time.perf_counter()
            times.append(now - before)
        wall = now - start
        result = {"case": name, "env_steps": env_steps, "steps": len(times), "wall_s": wall,
                  "trainer_cpu_s": time.process_time() - trainer_cpu0, "times_ms": summary([t * 1000 for t in times])}
        if pages:
            result["page_cpu_s"] = sum(cpu_seconds(pid) for pid in pages) - page_cpu0
        if calls:
            result["calls"] = calls() - calls0
        return result
    finally:
        close()


def summary(times_ms: list[float]) -> dict:
    ordered = sorted(times_ms)
    return {"median": statistics.median(ordered), "p99": ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))],
            "max": ordered[-1], "over_100ms": sum(t > STALL_MS for t in ordered), "all": ordered}


# --- the driver -----------------------------------------------------------------------------------------

def extract(revision: str, into: Path) -> dict[str, str]:
    """The trainer layer, page and module at `revision`, for the "env-before" case: its environment
    variables. The module is built once into build/env-baseline/REV (bench/env_layers.py)."""
    from env_layers import build_module
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision, "python/tarnel_rl", "ui"],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(into)], input=archive, check=True)
    modules = ROOT / "ui" / "node_modules"
    if modules.exists():
        (into / "ui" / "node_modules").symlink_to(modules.resolve())
    module = build_module(revision)
    return {"PYTHONPATH": f"{module}{os.pathsep}{into / 'python'}", "TARNEL_UI_DIR": str(into / "ui")}


def run_case(name: str, seconds: float, warmup: float, env: dict[str, str]) -> dict:
    command = [sys.executable, str(Path(__file__).resolve()), "--worker", name, "--seconds", str(seconds),
               "--warmup", str(warmup)]
    done = subprocess.run(command, capture_output=True, text=True, env=env, timeout=(seconds + warmup) * 10 + 120)
    if done.returncode != 0:
        return {"case": name, "error": done.stderr.strip()[-1500:]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def cpu_hogs(count: int) -> list[subprocess.Popen]:
    return [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]


def loadavg() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, default=None, help="timed seconds per case and round (3; --quick 1)")
    parser.add_argument("--warmup", type=float, default=None,
                        help=f"seconds of steps before the timed ones, in each case's process ({WARMUP_SECS:g}; --quick 1)")
    parser.add_argument("--rounds", type=int, default=None, help="rounds without load (3; --quick 1)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: one short round, vectors of 1 and 8 only")
    parser.add_argument("--no-load", action="store_true", help="skip the round beside two CPU-bound processes")
    parser.add_argument("--baseline", default=None, help="also run one environment as it was at this git revision")
    parser.add_argument("--cases", default=None, help="only these cases, comma-separated (e.g. env,vector-8)")
    parser.add_argument("--json-only", action="store_true")
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.seconds or 1.0, WARMUP_SECS if args.warmup is None else args.warmup)))
        return 0
    seconds = args.seconds or (1.0 if args.quick else 3.0)
    rounds = args.rounds or (1 if args.quick else 3)
    warmup = args.warmup if args.warmup is not None else (1.0 if args.quick else WARMUP_SECS)
    names = cases(args.quick, args.baseline is not None)
    if args.cases:
        wanted = args.cases.split(",")
        unknown = sorted(set(wanted) - set(cases(False, True)))
        if unknown:
            parser.error(f"unknown cases: {', '.join(unknown)} (known: {', '.join(cases(False, True))})")
        names = [name for name in names if name in wanted] or wanted
    base_env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    scratch = tempfile.TemporaryDirectory(prefix="trainer-table-")
    before_env = dict(os.environ, **extract(args.baseline, Path(scratch.name))) if args.baseline else None
    say = (lambda *a: None) if args.json_only else (lambda *a: print(*a, file=sys.stderr, flush=True))
    say(f"trainer table: {len(names)} cases x {rounds} rounds of {seconds:g} s after {warmup:g} s of warm-up"
        + ("" if args.no_load else " + 1 round beside two CPU-bound processes") + f"; loadavg {loadavg()}")
    results: dict[str, list[dict]] = {name: [] for name in names}
    loaded: dict[str, dict] = {}
    plan = [(r, False) for r in range(rounds)] + ([] if args.no_load else [(rounds, True)])
    loads = []
    for round_index, under_load in plan:
        order = names[round_index % len(names):] + names[:round_index % len(names)]
        hogs = cpu_hogs(2) if under_load else []
        try:
            for name in order:
                env = before_env if name == "env-before" else base_env
                outcome = run_case(name, seconds, warmup, env)
                outcome.update(round=round_index, load=under_load)
                line = {k: v for k, v in outcome.items() if k != "times_ms"}
                if "times_ms" in outcome:
                    line["times_ms"] = {k: v for k, v in outcome["times_ms"].items() if k != "all"}
                print(json.dumps(line), flush=True)
                if "error" in outcome:
                    say(f"  {name}: failed: {outcome['error']}")
                    continue
                (loaded.__setitem__(name, outcome) if under_load else results[name].append(outcome))
        finally:
            for hog in hogs:
                hog.kill()
                hog.wait()
        loads.append(loadavg())
    say(f"loadavg after each round: {' | '.join(loads)}")
    if not args.json_only:
        print_table(names, results, loaded)
    scratch.cleanup()
    return 0


def rate(run: dict) -> float:
    return run["env_steps"] / run["wall_s"]


def pooled(runs: list[dict]) -> dict | None:
    """A case over its rounds: env-steps/s as the median of the rounds' (a shared machine's bursts fall on
    a round or two), with their range; the step times of all rounds together."""
    if not runs:
        return None
    times = sorted(t for run in runs for t in run["times_ms"]["all"])
    env_steps = sum(run["env_steps"] for run in runs)
    calls = sum(run.get("calls", 0) for run in runs)
    rates = [rate(run) for run in runs]
    trainer_cpu = sum(run.get("trainer_cpu_s", 0.0) for run in runs) / env_steps * 1e6
    page_cpu = sum(run.get("page_cpu_s", 0.0) for run in runs) / env_steps * 1e6
    return {"rate": statistics.median(rates), "low": min(rates), "high": max(rates), **summary(times),
            "calls": calls / env_steps if any("calls" in run for run in runs) else None,
            "trainer_cpu_us": trainer_cpu, "page_cpu_us": page_cpu if any("page_cpu_s" in run for run in runs) else None}


def round_ratio(results: dict[str, list[dict]], top: str, bottom: str) -> str:
    """The median over the rounds of top's env-steps/s over bottom's in the same round, with the range."""
    tops = {run["round"]: rate(run) for run in results.get(top, [])}
    bottoms = {run["round"]: rate(run) for run in results.get(bottom, [])}
    ratios = sorted(tops[r] / bottoms[r] for r in tops if r in bottoms)
    if not ratios:
        return "-"
    return f"{statistics.median(ratios):.2f}x (rounds {ratios[0]:.2f} to {ratios[-1]:.2f})"


def print_table(names: list[str], results: dict[str, list[dict]], loaded: dict[str, dict]) -> None:
    rows = {name: pooled(results[name]) for name in names}
    print()
    print("| case | env-steps/s (median of rounds; range) | median ms | p99 ms | p99/median | max ms | > 100 ms "
          "| > 100 ms, 2 CPU hogs | calls/env-step | trainer CPU µs/env-step | page CPU µs/env-step |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name in names:
        row = rows[name]
        if row is None:
            print(f"| {name} | failed | | | | | | | | | |")
            continue
        hog = loaded.get(name)
        stalls = "-" if hog is None else f"{hog['times_ms']['over_100ms']} of {hog['steps']} (max {hog['times_ms']['max']:.1f} ms)"
        calls = "" if row["calls"] is None else f"{row['calls']:.2f}"
        page = "" if row["page_cpu_us"] is None else f"{row['page_cpu_us']:.0f}"
        print(f"| {name} | {row['rate']:,.0f} ({row['low']:,.0f}-{row['high']:,.0f}) | {row['median']:.3f} | "
              f"{row['p99']:.3f} | {row['p99'] / row['median']:.1f} | {row['max']:.1f} | {row['over_100ms']} | {stalls} "
              f"| {calls} | {row['trainer_cpu_us']:.0f} | {page} |")
    print()
    print("Ratios of env-steps/s, round by round (each round runs every case once, one after the other):")
    for top, bottom, target in (("vector-8", "env", "4x"), ("vector-8", "gym-trading-env", "0.25x"),
                                ("vector-8", "vector-8x2", "above 1 for one process"), ("vector-4", "env", ""),
                                ("async-8", "env", ""), ("env", "env-before", "1.5x")):
        if top in results and bottom in results:
            print(f"  {top} / {bottom}: {round_ratio(results, top, bottom)}" + (f" (target {target})" if target else ""))


if __name__ == "__main__":
    sys.exit(main())
