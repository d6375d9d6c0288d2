"""Stalls: calls that take far longer than their page needs to answer them, counted over millions of calls.

A median does not move when one call in a hundred thousand waits seconds for a wake-up that was lost, so
this benchmark reports the tail: p99, p99.9, the maximum and the number of calls over 100 ms, for two
patterns, against two pages, with CPU-bound processes running beside it (a busy machine is where lost
wake-ups show):

- `sequential`: one loop, one engine, small calls (get_snapshot) one after the other, as fast as they go;
- `trainer`: the loop driven with run_until_complete once per step, as the Gymnasium environment does,
  two calls per step and about 2 ms of the trainer's own work (a policy's forward pass) between steps.

Pages: `peer`, the benchmark's C++ peer, which answers at once (build/bench, made by make bench); `node`,
the reference page in Node.js (ui/node/run-ui.mjs).

    python bench/stalls.py [--pages peer,node] [--patterns sequential,trainer] [--seconds 60]
                           [--load 2] [--timeout 3] [--build-dir build/bench] [--json-only]

Prints one JSON line per page and pattern, then one table.
"""

import argparse
import asyncio
import json
import multiprocessing
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
STALL_S = 0.100
SNAPSHOT_FN = 12


def busy(stop_at: float) -> None:
    """One CPU-bound process: the load beside the benchmark."""
    x = 0
    while time.monotonic() < stop_at:
        for _ in range(10_000):
            x = (x * 1103515245 + 12345) & 0xFFFFFFFF


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_page(page: str, port: int, seconds: float, build_dir: Path) -> subprocess.Popen:
    if page == "peer":
        binary = build_dir / "bench" / "tarnel_bench_peer"
        if not binary.exists():
            raise SystemExit(f"{binary} is missing: build it with make bench")
        return subprocess.Popen([str(binary), "--port", str(port), "--seconds", str(seconds + 60)])
    sys.path.insert(0, str(ROOT / "python"))
    from tarnel_rl import ui_host

    ui = ui_host.ui_directory()
    env = dict(os.environ, TARNEL_UI_NODE_MODULES=str(ui_host.node_modules_for_runner(ui)))
    return subprocess.Popen(["node", str(ui / "node" / "run-ui.mjs"), "--port", str(port), "--quiet", "--watch-parent"],
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, env=env)


def summarise(durations: list[float], seconds: float) -> dict:
    ordered = sorted(durations)
    n = len(ordered)

    def at(q: float) -> float:
        return ordered[min(n - 1, int(q * n))] * 1e6

    return {"calls": n, "calls_per_s": n / seconds, "median_us": at(0.5), "p99_us": at(0.99),
            "p999_us": at(0.999), "max_us": ordered[-1] * 1e6,
            "over_100ms": sum(1 for d in ordered if d > STALL_S)}


def run_pattern(pattern: str, port: int, seconds: float, timeout: float) -> dict:
    import py_engine_tarnel as tarnel

    engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    async def connect() -> None:
        await engine.start()
        await engine.wait_connected(timeout_secs=30)

    loop.run_until_complete(connect())
    durations: list[float] = []
    clock = time.perf_counter

    async def sequential(stop_at: float) -> None:
        while clock() < stop_at:
            for _ in range(256):
                begun = clock()
                await engine.get_snapshot(timeout_secs=timeout)
                durations.append(clock() - begun)

    async def one_step() -> None:
        await engine.get_snapshot(timeout_secs=timeout)
        await engine.get_snapshot(timeout_secs=timeout)

    def policy_work(until: float) -> None:
        while clock() < until:
            pass

    begun_all = clock()
    stop_at = begun_all + seconds
    if pattern == "sequential":
        loop.run_until_complete(sequential(stop_at))
    else:
        while clock() < stop_at:
            begun = clock()
            loop.run_until_complete(one_step())
            durations.append(clock() - begun)
            policy_work(clock() + 0.002)
    elapsed = clock() - begun_all
    loop.close()
    return summarise(durations, elapsed)


def measure(page: str, pattern: str, args) -> dict:
    port = free_port()
    process = start_page(page, port, args.seconds, Path(args.build_dir))
    stop_load = time.monotonic() + args.seconds + 30
    load = [multiprocessing.Process(target=busy, args=(stop_load,), daemon=True) for _ in range(args.load)]
    for p in load:
        p.start()
    try:
        row = run_pattern(pattern, port, args.seconds, args.timeout)
    finally:
        for p in load:
            p.terminate()
        process.terminate()
        process.wait(10)
    unit = "steps" if pattern == "trainer" else "calls"
    return {"page": page, "pattern": pattern, "unit": unit, "load": args.load, "timeout_s": args.timeout, **row}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pages", default="peer,node")
    parser.add_argument("--patterns", default="sequential,trainer")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--load", type=int, default=2, help="CPU-bound processes beside the benchmark")
    parser.add_argument("--timeout", type=float, default=3.0, help="each call's timeout_secs")
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "bench"))
    parser.add_argument("--json-only", action="store_true")
    args = parser.parse_args()
    rows = []
    for page in args.pages.split(","):
        for pattern in args.patterns.split(","):
            row = measure(page, pattern, args)
            rows.append(row)
            print(json.dumps(row), flush=True)
    if args.json_only:
        return
    print(f"\n{'page':6} {'pattern':11} {'count':>10} {'per s':>8} {'median':>9} {'p99':>9} {'p99.9':>9} "
          f"{'max':>11} {'>100 ms':>8}")
    for r in rows:
        print(f"{r['page']:6} {r['pattern']:11} {r['calls']:>10} {r['calls_per_s']:>8.0f} {r['median_us']:>7.0f}us "
              f"{r['p99_us']:>7.0f}us {r['p999_us']:>7.0f}us {r['max_us'] / 1000:>9.1f}ms {r['over_100ms']:>8}")
    print(f"({'steps of two calls' if 'trainer' in args.patterns else 'calls'}; load: {args.load} CPU-bound "
          f"processes; a stall is a call or step over 100 ms: the target is 0)")


if __name__ == "__main__":
    main()
