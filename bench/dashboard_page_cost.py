"""What the training dashboard's page costs a trainer: a 4-env `TradingVectorEnv` with render_mode="human"
and 64-step episodes, stepped with random actions at full speed, with nobody watching (the baseline) and
with the dashboard open in headless Chromium (every chart, card and the candles drawing), alternated round
after round in one process. Prints steps/s per 100 ms window (median, p99 low, max, count) for each case,
and the page's own main-thread time per second of training (Chromium's TaskDuration and ScriptDuration).

    python bench/dashboard_page_cost.py [--rounds 3] [--secs 4] [--fps 10]

On a machine with fewer cores than the trainer, its user interfaces, the hub and the browser need, the
browser's time is taken from the trainer: the page's ms per second says how much.
"""
from __future__ import annotations

import argparse
import json
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
    page_ms = {"task": 0.0, "script": 0.0, "secs": 0.0}
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
                        before, started = page_metrics(session), time.monotonic()
                        got = train(envs, rng, args.secs)
                        after, elapsed = page_metrics(session), time.monotonic() - started
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
    print(f"the page's main thread: {page_ms['task'] / page_ms['secs']:.1f} ms of tasks and "
          f"{page_ms['script'] / page_ms['secs']:.1f} ms of script per second of training")
    return 0


if __name__ == "__main__":
    sys.exit(main())
