"""What the training dashboard's page costs a trainer: a 4-env `TradingVectorEnv` with render_mode="human"
and 64-step episodes, stepped with random actions at full speed, with nobody watching (the baseline) and
with the dashboard open in headless Chromium (every chart, card and the candles drawing), alternated round
after round in one process. Prints steps/s per 100 ms window (median, p99 low, max, count) for each case,
the browser's CPU time per second of training (every Chromium process, from /proc), and its page's
main-thread time (Chromium's TaskDuration and ScriptDuration: wall time, which a loaded machine inflates).

    python bench/dashboard_page_cost.py [--rounds 3] [--secs 4] [--fps 10]

On a machine with fewer cores than the trainer, its user interfaces, the hub and the browser need, the
browser's time is taken from the trainer: the page's ms per second says how much.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import numpy as np  # noqa: E402

from tarnel_rl import ui_host  # noqa: E402
from tarnel_rl.vector_env import TradingVectorEnv  # noqa: E402

WINDOW_SECS = 0.1


def train(envs: TradingVectorEnv, rng: np.random.Generator, secs: float) -> list[float]:
    """Steps for `secs` seconds; answers steps/s of each 100 ms window (4 env steps a vector step)."""
    rates = []
    end = time.monotonic() + secs
    window_start, steps = time.monotonic(), 0
    while (now := time.monotonic()) < end:
        envs.step(rng.integers(0, 4, size=4))
        steps += 4
        if now - window_start >= WINDOW_SECS:
            rates.append(steps / (now - window_start))
            window_start, steps = now, 0
    return rates


def browser_cpu_secs() -> float:
    """CPU seconds (user and system) used so far by every Chromium process this one started."""
    parents, names, ticks = {}, {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                head, _, rest = f.read().rpartition(")")
        except OSError:
            continue
        fields = rest.split()
        pid = int(entry)
        names[pid] = head.partition("(")[2]
        parents[pid] = int(fields[1])
        ticks[pid] = int(fields[11]) + int(fields[12])  # utime, stime

    def ours(pid: int) -> bool:
        for _ in range(64):  # a bounded walk up the tree
            pid = parents.get(pid, 0)
            if pid == os.getpid():
                return True
            if pid <= 1:
                return False
        return False

    return sum(t for pid, t in ticks.items() if "chrom" in names[pid] and ours(pid)) / os.sysconf("SC_CLK_TCK")


def page_metrics(session) -> dict[str, float]:
    return {m["name"]: m["value"] for m in session.send("Performance.getMetrics")["metrics"]}


def summary(rates: list[float]) -> dict[str, float]:
    ordered = sorted(rates)
    return {"median": statistics.median(ordered), "p99_low": ordered[max(0, int(0.01 * len(ordered)) - 1)],
            "max": ordered[-1], "windows": len(ordered)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--secs", type=float, default=4.0)
    parser.add_argument("--fps", type=int, default=None, help="the page's draws a second (its &fps=)")
    args = parser.parse_args()
    from playwright.sync_api import sync_playwright

    rates: dict[str, list[float]] = {"nobody watching": [], "dashboard open": []}
    page_ms = {"task": 0.0, "script": 0.0, "cpu": 0.0, "secs": 0.0}
    envs = TradingVectorEnv(4, render_mode="human", ui_options={"episode_length": 64})
    rng = np.random.default_rng(0)
    try:
        envs.reset(seed=0)
        train(envs, rng, 1.0)  # warm-up
        with sync_playwright() as playwright:
            for round_ in range(args.rounds):
                order = ["nobody watching", "dashboard open"][:: 1 if round_ % 2 == 0 else -1]
                for case in order:
                    if case == "nobody watching":
                        got = train(envs, rng, args.secs)
                    else:
                        browser = playwright.chromium.launch(executable_path=ui_host.CHROMIUM,
                                                             args=ui_host.CHROMIUM_ARGS)
                        page = browser.new_page(viewport={"width": 1300, "height": 1000})
                        page.goto(envs.viewer_url + (f"&fps={args.fps}" if args.fps else ""))
                        session = page.context.new_cdp_session(page)
                        session.send("Performance.enable")
                        page.wait_for_function("() => window.liveViewer?.returns.drawn.train > 0")
                        before, cpu, started = page_metrics(session), browser_cpu_secs(), time.monotonic()
                        got = train(envs, rng, args.secs)
                        after, elapsed = page_metrics(session), time.monotonic() - started
                        page_ms["cpu"] += 1000 * (browser_cpu_secs() - cpu)
                        page_ms["task"] += 1000 * (after["TaskDuration"] - before["TaskDuration"])
                        page_ms["script"] += 1000 * (after["ScriptDuration"] - before["ScriptDuration"])
                        page_ms["secs"] += elapsed
                        browser.close()
                    rates[case] += got
                    print(json.dumps({"round": round_, "case": case, **summary(got)}), flush=True)
    finally:
        envs.close()
    base = summary(rates["nobody watching"])["median"]
    for case, got in rates.items():
        s = summary(got)
        print(f"{case:16}  steps/s median {s['median']:8.0f}  p99 low {s['p99_low']:8.0f}  max {s['max']:8.0f}  "
              f"windows {s['windows']:4d}  x{s['median'] / base:.3f} of nobody watching")
    per_sec = {key: value / page_ms["secs"] for key, value in page_ms.items()}
    print(f"the browser: {per_sec['cpu']:.1f} ms of CPU (all its processes) per second of training; its page's "
          f"main thread {per_sec['task']:.1f} ms of tasks ({per_sec['script']:.1f} ms of script) in wall time, "
          f"waits for a core included")
    return 0


if __name__ == "__main__":
    sys.exit(main())
