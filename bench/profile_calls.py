"""Counts what one call costs the module: thread wake-ups (context switches per thread), system calls
and CPU time per call, for a chosen method against the benchmark's peer. Used to find and check the
levers of the Performance section; run it under perf or callgrind to see where the instructions go.

    python bench/profile_calls.py [--method get_snapshot] [--calls 20000] [--engines 1] [--impl module] [--pin]
                                  [--build-dir build/bench] [--wait-for-profiler] [--stalls]

--wait-for-profiler prints the process id and waits for Enter after the warm-up, so that
`perf record -p PID` or `strace -c -f -p PID` can be attached around the measured calls only.
"""

import argparse
import asyncio
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run as bench  # noqa: E402


TICK = os.sysconf("SC_CLK_TCK")


def thread_switches():
    """{thread id: (voluntary switches, involuntary switches, CPU seconds)} for every thread of this process."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        fields = {}
        try:
            with open(f"/proc/self/task/{tid}/status") as status:
                for line in status:
                    key, _, value = line.partition(":")
                    fields[key] = value.strip()
            with open(f"/proc/self/task/{tid}/stat") as stat:
                times = stat.read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue
        cpu = (int(times[11]) + int(times[12])) / TICK  # utime and stime
        out[int(tid)] = (int(fields["voluntary_ctxt_switches"]), int(fields["nonvoluntary_ctxt_switches"]), cpu)
    return out


async def measure(args, ports):
    import numpy as np

    if args.impl == "module":
        import py_engine_tarnel as tarnel
        engines = [tarnel.TarnelEngineAsync("127.0.0.1", port) for port in ports]
    else:
        from baseline_pure_python import PurePythonEngine
        engines = [PurePythonEngine("127.0.0.1", port) for port in ports]
    for engine in engines:
        await engine.start()
    await asyncio.gather(*(engine.wait_connected(timeout_secs=30) for engine in engines))
    if args.method == "init_candles":
        candles = 0.5 * np.arange(bench.CANDLES[0] * bench.CANDLES[1], dtype=np.float64).reshape(bench.CANDLES)
        calls = [lambda e=engine: e.init_candles(candles) for engine in engines]
    else:
        calls = [getattr(engine, args.method) for engine in engines]

    async def loop(call, count):
        for _ in range(count):
            await call()

    await asyncio.gather(*(loop(call, min(200, args.calls)) for call in calls))
    if args.wait_for_profiler:
        print(f"pid {os.getpid()}: attach now, then press Enter", flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
    stalls = []

    async def watch_stalls():
        # How late a 1 ms sleep wakes: the longest time the loop could not run anything else.
        while True:
            start = time.perf_counter()
            await asyncio.sleep(0.001)
            stalls.append(time.perf_counter() - start - 0.001)

    watcher = asyncio.create_task(watch_stalls()) if args.stalls else None
    before, cpu0, wall0 = thread_switches(), time.process_time(), time.perf_counter()
    await asyncio.gather(*(loop(call, args.calls) for call in calls))
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    if watcher:
        watcher.cancel()
        stalls.sort()
        print(f"loop stalls: longest {stalls[-1] * 1e3:.2f} ms, 99th percentile "
              f"{stalls[int(0.99 * (len(stalls) - 1))] * 1e3:.2f} ms over {len(stalls)} ticks")
    after = thread_switches()
    total = args.calls * len(calls)
    print(f"{args.method}: {total} calls, {wall / total * 1e6:.1f} us wall and {cpu / total * 1e6:.1f} us CPU per call")
    main_tid = os.getpid()
    for tid, (vol, invol, used) in sorted(after.items()):
        vol0, invol0, used0 = before.get(tid, (0, 0, 0.0))
        role = "event loop" if tid == main_tid else "other"
        print(f"  thread {tid} ({role}): {(vol - vol0) / total:.2f} voluntary, "
              f"{(invol - invol0) / total:.2f} involuntary switches, {(used - used0) / total * 1e6:.1f} us CPU per call")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--method", default="get_snapshot",
                        choices=["get_snapshot", "step_and_sync", "get_ohlc", "init_candles"])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--engines", type=int, default=1)
    parser.add_argument("--impl", choices=["module", "pure"], default="module",
                        help="the module, or the pure-Python baseline for comparison")
    parser.add_argument("--pin", action="store_true", help="this process and the peers on CPU 0")
    parser.add_argument("--build-dir", default=str(bench.ROOT / "build" / "bench"))
    parser.add_argument("--wait-for-profiler", action="store_true")
    parser.add_argument("--stalls", action="store_true",
                        help="also report how long the event loop was kept from running other tasks")
    args = parser.parse_args()
    binaries = bench.find_binaries(Path(args.build_dir).resolve())
    if args.pin:
        os.sched_setaffinity(0, {0})
    ports = bench.free_ports(args.engines)
    peers = [subprocess.Popen([str(binaries["peer"]), "--port", str(port), "--seconds", "3600",
                               *bench.shape_arguments()]) for port in ports]
    try:
        asyncio.run(measure(args, ports))
    finally:
        for peer in peers:
            peer.terminate()
            peer.wait()
    os._exit(0)


if __name__ == "__main__":
    main()
