"""The benchmark driver: the module against a pure-Python server, a hand-written bare-asyncio server and
the C++-only floor, on the same native peer, in one run, each case unpinned and pinned to one CPU.

    python bench/run.py [--quick] [--rounds N] [--cases small,medium,...] [--placements unpinned,pinned]
                        [--build-dir build/bench] [--json-only]
    python bench/run.py --env-steps [--quick] [--rounds N] [--json-only] [--earlier REV] [--pin] [--steps N]

`--env-steps` runs the environment case instead (bench/env_steps.py: `TradingEnv` under random actions on
the reference page and on the trivial page, each in Node.js and in headless Chromium); it needs neither
the peer nor the floor.

Every measurement runs in fresh processes: a server (a Python worker for the module, the pure-Python
baseline or the bare-asyncio baseline, or the floor program) and one peer per engine. The four servers
are measured in alternation, round after round, so that drift of the machine falls on all of them alike.
Every result is checked: the warm-up calls and the last timed call element by element (element
i = 0.5 * i), every timed call by its shape and its last element; a wrong value stops the benchmark.

Prints one JSON line per case and placement as each is done, then one table of ratios (module / pure
Python, module / bare asyncio, module / floor) against the targets. The peer and the floor are built by
CMake with -DTARNEL_BUILD_BENCH=ON (make bench).
"""

import argparse
import asyncio
import dataclasses
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
IMPLS = ("module", "pure", "asyncio", "floor")
IMPL_NAMES = {"module": "module", "pure": "pure Python", "asyncio": "best hand-written asyncio", "floor": "floor"}


@dataclasses.dataclass(frozen=True)
class Case:
    name: str
    method: str
    fn_id: int
    engines: int = 1
    warmup: int = 100
    seconds: float = 1.5
    min_calls: int = 1
    max_calls: int = 1 << 40
    large: bool = False


SNAPSHOT_N = 16
SYNC = (16, 256, 5)
OHLC = (1_000_000, 5)
CANDLES = (1_000_000, 5)
CONCURRENCY = 8

CASES = {
    "small": Case("small", "get_snapshot", 12, warmup=300),
    "medium": Case("medium", "step_and_sync", 130, warmup=200),
    "large_response": Case("large_response", "get_ohlc", 15, warmup=2, seconds=2.0, min_calls=3, max_calls=40,
                           large=True),
    "large_request": Case("large_request", "init_candles", 100, warmup=2, seconds=2.0, min_calls=3, max_calls=40,
                          large=True),
    "concurrency": Case("concurrency", "get_snapshot", 12, engines=CONCURRENCY, warmup=50, seconds=2.0),
}
QUICK = {"small": dict(seconds=0.5, warmup=100), "medium": dict(seconds=0.5, warmup=100),
         "large_response": dict(seconds=0.6, min_calls=2, max_calls=10),
         "large_request": dict(seconds=0.6, min_calls=2, max_calls=10),
         "concurrency": dict(seconds=0.6, warmup=20)}


def payload_bytes(case):
    """Bytes of RPC payload moved per call: the response's, or the request's for init_candles."""
    if case.fn_id == 12:
        return 4 + 8 * SNAPSHOT_N
    if case.fn_id == 130:
        n, rows, cols = SYNC
        return 4 + 8 * n + 8 + 8 * rows * cols
    if case.fn_id == 15:
        return 8 + 8 * OHLC[0] * OHLC[1]
    return 8 + 8 * CANDLES[0] * CANDLES[1]


def shape_arguments():
    return ["--snapshot", str(SNAPSHOT_N), "--sync", *map(str, SYNC), "--ohlc", *map(str, OHLC),
            "--candles", *map(str, CANDLES)]


# ---- the Python worker: one server process running the module or one of the Python baselines ----------

def expected_result(case):
    """The exact result of one call, and a cheap test of the same result for use inside the timed loop."""
    import numpy as np

    def values(count):
        return 0.5 * np.arange(count, dtype=np.float64)

    if case.fn_id == 12:
        want = values(SNAPSHOT_N)
        last = want[-1]
        return want, lambda r: r.shape == want.shape and r[-1] == last
    if case.fn_id == 130:
        n, rows, cols = SYNC
        want = (values(n), values(rows * cols).reshape(rows, cols))
        last_v, last_m = want[0][-1], want[1][-1, -1]
        return want, lambda r: (r[0].shape == (n,) and r[1].shape == (rows, cols) and r[0][-1] == last_v
                                and r[1][-1, -1] == last_m)
    if case.fn_id == 15:
        want = values(OHLC[0] * OHLC[1]).reshape(OHLC)
        last = want[-1, -1]
        return want, lambda r: r.shape == OHLC and r[-1, -1] == last
    return None, lambda r: r is None


def exact(result, want):
    import numpy as np

    if want is None:
        return result is None
    if isinstance(want, tuple):
        return all(exact(r, w) for r, w in zip(result, want, strict=True))
    if result.dtype != np.float64 or result.shape != want.shape:
        return False
    # In slices, so that checking a 40 MB result does not itself raise the peak memory being measured.
    got, wanted, step = result.reshape(-1), want.reshape(-1), 1 << 16
    return all(np.array_equal(got[i:i + step], wanted[i:i + step]) for i in range(0, wanted.size, step))


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return -1


def reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


async def worker(impl, case, ports):
    import numpy as np

    if impl == "module":
        import py_engine_tarnel as tarnel
        engines = [tarnel.TarnelEngineAsync("127.0.0.1", port) for port in ports]
    elif impl == "asyncio":
        sys.path.insert(0, str(HERE))
        from baseline_asyncio_protocol import AsyncioProtocolEngine
        engines = [AsyncioProtocolEngine("127.0.0.1", port) for port in ports]
    else:
        sys.path.insert(0, str(HERE))
        from baseline_pure_python import PurePythonEngine
        engines = [PurePythonEngine("127.0.0.1", port) for port in ports]
    for engine in engines:
        await engine.start()
    await asyncio.gather(*(engine.wait_connected(timeout_secs=30) for engine in engines))

    want, looks_right = expected_result(case)
    if case.fn_id == 100:
        candles = 0.5 * np.arange(CANDLES[0] * CANDLES[1], dtype=np.float64).reshape(CANDLES)
        calls = [lambda e=engine: e.init_candles(candles) for engine in engines]
    else:
        calls = [getattr(engine, case.method) for engine in engines]

    reset_peak_rss()
    rss_before = status_bytes("VmRSS")

    async def warm(call):
        for _ in range(case.warmup):
            result = await call()
            if not exact(result, want):
                raise AssertionError(f"{case.method}: wrong result in the warm-up")
            del result  # not kept while the next call runs: the peak memory is that of one call

    await asyncio.gather(*(warm(call) for call in calls))

    async def timed(call):
        latencies = []
        clock = time.perf_counter_ns
        stop = clock() + int(case.seconds * 1e9)
        count, result = 0, None
        while count < case.max_calls and (count < case.min_calls or clock() < stop):
            t0 = clock()
            result = await call()
            latencies.append(clock() - t0)
            if not looks_right(result):
                raise AssertionError(f"{case.method}: wrong result in call {count}")
            result = None if case.large else result  # a large result is not kept beyond its check
            count += 1
        return latencies

    cpu0, wall0 = time.process_time(), time.perf_counter()
    per_engine = await asyncio.gather(*(timed(call) for call in calls))
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    rss_peak = status_bytes("VmHWM")
    last = await calls[0]()
    if not exact(last, want):
        raise AssertionError(f"{case.method}: wrong result after the timed calls")
    latencies = [ns for one in per_engine for ns in one]
    syscalls = None
    if case.name in COUNTED_CASES:  # the system calls of the loop's thread per call, on a stretch of its own
        from syscall_count import MainThreadSyscalls
        with MainThreadSyscalls() as counted:
            for _ in range(SYSCALL_CALLS):
                await calls[0]()
        syscalls = None if counted.total is None else counted.total / SYSCALL_CALLS
    return {"ok": True, "failure": "", "calls": len(latencies), "wall_s": wall, "cpu_s": cpu,
            "rss_before": rss_before, "rss_peak": rss_peak, "latencies_ns": latencies, "syscalls": syscalls}


def worker_main(args):
    case = CASES[args.case]
    if args.overrides:
        case = dataclasses.replace(case, **json.loads(args.overrides))
    ports = [int(p) for p in args.ports.split(",")]
    try:
        result = asyncio.run(worker(args.worker, case, ports))
    except Exception as failure:  # reported to the driver, which stops the benchmark
        result = {"ok": False, "failure": f"{type(failure).__name__}: {failure}"}
    print(json.dumps(result), flush=True)
    # Leave at once: the module's worker threads are never joined, and the peers are the driver's to end.
    os._exit(0)


# ---- the driver ----------------------------------------------------------------------------------------

def free_ports(count):
    probes, ports = [], []
    for _ in range(count):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        probes.append(probe)
        ports.append(probe.getsockname()[1])
    for probe in probes:
        probe.close()
    return ports


def run_once(impl, case, placement, binaries, overrides):
    ports = free_ports(case.engines)
    prefix = ["taskset", "-c", "0"] if placement == "pinned" else []
    if impl == "floor":
        server_cmd = [str(binaries["floor"]), "--ports", ",".join(map(str, ports)), "--fn", str(case.fn_id),
                      *shape_arguments(), "--warmup", str(case.warmup), "--seconds", str(case.seconds),
                      "--min-calls", str(case.min_calls), "--max-calls", str(case.max_calls)]
    else:
        server_cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", impl, "--case", case.name,
                      "--ports", ",".join(map(str, ports)), "--overrides", json.dumps(overrides)]
    limit = 60 + 4 * case.seconds
    # Nothing measured here uses BLAS: its thread pool would only add threads to the two CPUs.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    server = subprocess.Popen(prefix + server_cmd, stdout=subprocess.PIPE, text=True, env=env)
    peers = [subprocess.Popen(prefix + [str(binaries["peer"]), "--port", str(port), "--seconds", str(limit),
                                        *shape_arguments()])
             for port in ports]
    try:
        out, _ = server.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        server.kill()
        server.communicate()
        raise SystemExit(f"{IMPL_NAMES[impl]} did not finish case {case.name} within {limit:.0f} s")
    finally:
        for peer in peers:
            peer.terminate()
        for peer in peers:
            peer.wait()
    lines = [line for line in out.splitlines() if line.startswith("{")]
    if not lines:
        raise SystemExit(f"{IMPL_NAMES[impl]} printed no result for case {case.name} (exit {server.returncode})")
    result = json.loads(lines[-1])
    if not result["ok"]:
        raise SystemExit(f"{IMPL_NAMES[impl]} failed case {case.name} ({placement}): {result['failure']}")
    return result


def summarise(case, runs):
    """Pools the rounds of one server: latencies together, calls over wall time, CPU per call."""
    latencies = sorted(ns for run in runs for ns in run["latencies_ns"])
    calls = sum(run["calls"] for run in runs)
    wall = sum(run["wall_s"] for run in runs)
    cpu = sum(run["cpu_s"] for run in runs)
    per_second = calls / wall
    summary = {
        "calls": calls,
        "calls_per_s": per_second,
        "median_us": statistics.median(latencies) / 1e3,
        "p99_us": latencies[min(len(latencies) - 1, int(0.99 * len(latencies)))] / 1e3,
        "max_us": latencies[-1] / 1e3,
        "over_100ms": sum(1 for ns in latencies if ns > 100_000_000),
        "mb_per_s": per_second * payload_bytes(case) / 1e6,
        "cpu_us_per_call": cpu / calls * 1e6,
    }
    counted = [run["syscalls"] for run in runs if run.get("syscalls") is not None]
    if counted:
        summary["syscalls_per_call"] = statistics.median(counted)
    if case.large:
        raised = max(run["rss_peak"] - run["rss_before"] for run in runs)
        summary["peak_rss_raise_mb"] = raised / 1e6
        summary["peak_rss_raise_x_payload"] = raised / payload_bytes(case)
    return summary


# What each case is judged on, and its targets as (ratio name, comparison, bound, placement): a target
# without a placement holds for both. Unpinned, the floor itself pays two cross-CPU wake-ups a call (about
# half of pure Python's time), so pure Python's bound is looser there; pinned, eight peers share the
# module's CPU, so eight engines have no target there.
HEADLINE = {
    "small": ("median_us", "median latency, us",
              [("module/pure", "<=", 0.6, "unpinned"), ("module/pure", "<=", 0.4, "pinned"),
               ("module/asyncio", "<=", 0.8, None), ("module/floor", "<=", 3.0, None)]),
    "medium": ("median_us", "median latency, us",
               [("module/pure", "<=", 0.6, "unpinned"), ("module/pure", "<=", 0.4, "pinned"),
                ("module/asyncio", "<=", 0.8, None)]),
    "large_response": ("mb_per_s", "payload MB/s", [("module/floor", ">=", 0.8, None)]),
    "large_request": ("mb_per_s", "payload MB/s", [("module/floor", ">=", 0.8, None)]),
    "concurrency": ("calls_per_s", f"calls/s, {CONCURRENCY} engines", [("module/pure", ">=", 3.0, "unpinned")]),
}

# The cases whose system calls on the loop's thread are counted (not the floor's: it has no loop), over
# this many calls, and the module's target for a small call.
COUNTED_CASES = ("small", "medium")
SYSCALL_CALLS = 5000
SYSCALLS_PER_SMALL_CALL = 5

# The module's rise of peak resident memory in a large case, at most this many times the payload.
PEAK_RSS_X_PAYLOAD = 1.1
RATIOS = ("module/pure", "module/asyncio", "module/floor")


def ratios_of(values):
    """The module's headline value over each other server's."""
    return {name: values["module"] / values[name.split("/")[1]] for name in RATIOS}


def judge(value, comparison, bound):
    return value <= bound if comparison == "<=" else value >= bound


def markdown(lines):
    """Rows (the first one the head) as a Markdown table."""
    widths = [max(len(line[i]) for line in lines) for i in range(len(lines[0]))]
    out = []
    for n, line in enumerate(lines):
        out.append("| " + " | ".join(cell.ljust(widths[i]) for i, cell in enumerate(line)) + " |")
        if n == 0:
            out.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(out)


def tails_table(rows):
    """Every server's tail beside its median: a stall moves the maximum, never the median."""
    head = ["case", "placement", *(f"{IMPL_NAMES[impl]}: median / p99 / max us, calls/s" for impl in IMPLS),
            "module: calls over 100 ms"]
    lines = [head]
    for case_name, placement, summaries in rows:
        cells = [f"{s['median_us']:,.1f} / {s['p99_us']:,.1f} / {s['max_us']:,.0f}, {s['calls_per_s']:,.0f}"
                 for s in (summaries[impl] for impl in IMPLS)]
        lines.append([case_name, placement, *cells, str(summaries["module"]["over_100ms"])])
    return markdown(lines)


def table(rows):
    head = ["case", "placement", "metric", *(IMPL_NAMES[impl] for impl in IMPLS), *RATIOS, "targets"]
    lines = [head]
    for case_name, placement, summaries in rows:
        key, label, targets = HEADLINE[case_name]
        values = {impl: summaries[impl][key] for impl in IMPLS}
        ratios = ratios_of(values)
        verdicts = [f"{name} {cmp} {bound:g}: {'met' if judge(ratios[name], cmp, bound) else 'MISSED'}"
                    for name, cmp, bound, where in targets if where in (None, placement)]
        if "syscalls_per_call" in summaries["module"]:
            counts = " / ".join(f"{summaries[impl]['syscalls_per_call']:.1f}" for impl in ("module", "pure", "asyncio")
                                if "syscalls_per_call" in summaries[impl])
            verdict = f"system calls per call on the loop's thread (module / pure / asyncio): {counts}"
            if case_name == "small":
                n = summaries["module"]["syscalls_per_call"]
                verdict += f", <= {SYSCALLS_PER_SMALL_CALL}: {'met' if n <= SYSCALLS_PER_SMALL_CALL else 'MISSED'}"
            verdicts.append(verdict)
        if "peak_rss_raise_x_payload" in summaries["module"]:
            x = summaries["module"]["peak_rss_raise_x_payload"]
            verdicts.append(f"RSS {x:.2f}x payload <= {PEAK_RSS_X_PAYLOAD:g}: "
                            f"{'met' if x <= PEAK_RSS_X_PAYLOAD else 'MISSED'}")
        lines.append([case_name, placement, label, *(f"{values[impl]:,.1f}" for impl in IMPLS),
                      *(f"{ratios[name]:.2f}" for name in RATIOS), "; ".join(verdicts)])
    return markdown(lines)


def find_binaries(build_dir):
    binaries = {"peer": build_dir / "bench" / "tarnel_bench_peer", "floor": build_dir / "bench" / "tarnel_bench_floor"}
    missing = [str(path) for path in binaries.values() if not path.exists()]
    if missing:
        raise SystemExit("missing " + ", ".join(missing) + ": configure with -DTARNEL_BUILD_BENCH=ON and build "
                         "the targets tarnel_bench_peer and tarnel_bench_floor (make bench does)")
    return binaries


def driver_main(args):
    binaries = find_binaries(Path(args.build_dir).resolve())
    if shutil.which("taskset") is None and "pinned" in args.placements:
        raise SystemExit("taskset is needed for the pinned placement (util-linux)")
    cases = [CASES[name] for name in args.cases]
    rounds = args.rounds or (1 if args.quick else 3)
    started = time.monotonic()
    rows = []
    for case in cases:
        overrides = QUICK[case.name] if args.quick else {}
        case = dataclasses.replace(case, **overrides)
        for placement in args.placements:
            runs = {impl: [] for impl in IMPLS}
            for round_index in range(rounds):
                # The order turns every round, so no server always runs right after the same one.
                turn = round_index % len(IMPLS)
                order = IMPLS[turn:] + IMPLS[:turn]
                for impl in order:
                    runs[impl].append(run_once(impl, case, placement, binaries, overrides))
            summaries = {impl: summarise(case, runs[impl]) for impl in IMPLS}
            rows.append((case.name, placement, summaries))
            ratios = ratios_of({impl: summaries[impl][HEADLINE[case.name][0]] for impl in IMPLS})
            line = {"case": case.name, "method": case.method, "placement": placement, "engines": case.engines,
                    "payload_bytes": payload_bytes(case), "rounds": rounds, **summaries,
                    **{name.replace("/", "_over_"): ratio for name, ratio in ratios.items()}}
            print(json.dumps(line), flush=True)
    if not args.json_only:
        print()
        print(table(rows))
        print("\nTails:\n" + tails_table(rows))
        print(f"\n{rounds} round(s) per case and placement, {time.monotonic() - started:.0f} s in all; "
              f"{os.cpu_count()} CPUs; pinned = server and peers on CPU 0 (taskset -c 0)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a short smoke run (about half a minute)")
    parser.add_argument("--rounds", type=int, help="alternations of the four servers per case (default 3)")
    parser.add_argument("--cases", type=lambda s: s.split(","), default=list(CASES))
    parser.add_argument("--placements", type=lambda s: s.split(","), default=["unpinned", "pinned"])
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "bench"))
    parser.add_argument("--json-only", action="store_true")
    parser.add_argument("--worker", choices=["module", "pure", "asyncio"], help=argparse.SUPPRESS)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    parser.add_argument("--ports", help=argparse.SUPPRESS)
    parser.add_argument("--overrides", help=argparse.SUPPRESS)
    parser.add_argument("--env-steps", action="store_true", help="run the environment case (bench/env_steps.py)")
    args, rest = parser.parse_known_args()
    if args.env_steps:  # the environment case's own options (--earlier REV, --pin, --steps N) pass through
        command = [sys.executable, str(HERE / "env_steps.py")] + (["--quick"] if args.quick else [])
        command += (["--rounds", str(args.rounds)] if args.rounds else []) + (["--json-only"] if args.json_only else [])
        raise SystemExit(subprocess.call(command + rest))
    if rest:
        parser.error(f"unrecognized arguments: {' '.join(rest)}")
    if args.worker:
        worker_main(args)
    else:
        for name in args.cases:
            if name not in CASES:
                raise SystemExit(f"unknown case {name}; cases: {', '.join(CASES)}")
        driver_main(args)


if __name__ == "__main__":
    main()
