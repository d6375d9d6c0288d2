"""The environment as a trainer sees it, against its floor: `TradingEnv` stepped with random actions on
the reference page and on the trivial page, each hosted by Node.js and by headless Chromium, in one run.

    python bench/env_steps.py [--steps 3000] [--rounds 3] [--quick] [--json-only] [--hosts node,chromium]
                              [--earlier REV] [--pin]

The trivial page (ui/trivial) answers every request with a ready-made frame of the right size, made at
its start from the reference engine's own answers; per request it writes only its seq and the values a
trainer checks (episode, step, done, position). Nothing a page can do costs less, so the trivial page's
figures are the floor of each host: the link, the host's WebSocket and event loop, and the trainer.
The reference page in Chromium draws live, as it always does. With --earlier REV a third page joins:
the reference page as it was at git revision REV (its ui/ taken out with `git archive`), hosted as it
was then: by the same Node.js runner, and in Chromium driven by Playwright (`automation=True`), whose
driver then counts as part of the page.

Every measurement runs in a fresh process: one environment and its page, a warm-up, then the timed
steps with actions drawn from a seeded generator (the same for all), resetting whenever an episode
ends; resets count in the time, as they do for a trainer. The four alternate round after round, in an
order that turns, so that the drift of the machine falls on all of them.

With --pin every measurement runs on one CPU (`taskset -c 0`: the trainer, the page and all their
threads), so that no call waits for another CPU to wake: steps/s then follow the CPU time per step, and
swing less with what else runs on the machine.

Reported per host and page: steps/s (pooled over the rounds), the page's CPU time per engine call (the
host's whole process tree: Node.js, or the browser with all its processes), engine calls per step, the
trainer's CPU per step, and the ratios the targets are set on. Each row is also one JSON line with the
keys `host`, `page`, `steps_per_s` and `page_cpu_us_per_call` (and more).

The check: a digest of every observation and reward of every run. The reference page must give the same
digest under Node.js and under Chromium, round after round (the same seeds, the same results to the bit),
and so must the earlier page when it runs;
the trivial page, whose answers are not a back-test's, must agree with itself across hosts the same way.
That the hot path of the page changed none of its answers is checked without a module by
`node bench/page_engine.mjs`, whose digest of every answer's bytes is the same before and after.
"""
from __future__ import annotations

import argparse
import asyncio
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
HOSTS = ("node", "chromium")
PAGES = ("reference", "trivial", "earlier")
SERIES_SEED = 7
TICK = os.sysconf("SC_CLK_TCK")
TARGETS = {"node": 0.85, "chromium": 0.6}  # reference / trivial steps/s, per host
CHROMIUM_OVER_NODE_TARGET = 0.5  # the reference page: Chromium / Node.js steps/s


def tree_cpu_seconds(root: int) -> float:
    """CPU time (user + system) of `root` and every live process under it."""
    parents: dict[int, int] = {}
    times: dict[int, float] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        times[int(entry)] = (int(fields[11]) + int(fields[12])) / TICK
    found, frontier = {root}, {root}
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier} - found
        found |= frontier
    return sum(times.get(pid, 0.0) for pid in found)


def own_cpu_seconds() -> float:
    with open("/proc/self/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def start_driven_page(port: int):
    """The page in Chromium driven by Playwright, whose driver needs a running event loop: one of its own."""
    from tarnel_rl import ui_host

    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    ui = asyncio.run_coroutine_threadsafe(ui_host.BrowserUI.open(port, SERIES_SEED, automation=True), loop).result(60)
    return lambda: asyncio.run_coroutine_threadsafe(ui.close(), loop).result(60)


def start_trivial_page(host: str, port: int):
    """The trivial page for an engine on `port`: returns (the process tree's root pid, a closer)."""
    from tarnel_rl import ui_host

    ui = ui_host.ui_directory()
    if host == "node":
        modules = ui_host.node_modules_for_runner(ui)
        env = dict(os.environ, TARNEL_UI_NODE_MODULES=str(modules))
        process = subprocess.Popen(
            ["node", str(ui / "node" / "run-ui.mjs"), "--port", str(port), "--seed", str(SERIES_SEED), "--page",
             "trivial", "--quiet", "--watch-parent"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)

        def close() -> None:
            process.terminate()
            process.wait(10)

        return process.pid, close
    browser = asyncio.run(ui_host.BrowserUI.open(port, SERIES_SEED, page="trivial/index.html"))
    return browser.browser_process, lambda: asyncio.run(browser.close())


def worker(args) -> dict:
    import numpy as np
    from tarnel_rl import ui_host
    from tarnel_rl.gym_env import TradingEnv

    close_page = None
    root = None  # None: the page is every process this one started (Playwright's driver and its browser)
    if args.page == "earlier" and args.host == "chromium":
        port = ui_host.free_port()
        close_page = start_driven_page(port)
        env = TradingEnv(ui=None, port=port)
    elif args.page in ("reference", "earlier"):
        env = TradingEnv(ui="node" if args.host == "node" else "browser", series_seed=SERIES_SEED)
        root = env.ui.process.pid if args.host == "node" else env.ui.browser_process
    else:
        port = ui_host.free_port()
        root, close_page = start_trivial_page(args.host, port)
        env = TradingEnv(ui=None, port=port)
    def page_cpu() -> float:
        return tree_cpu_seconds(os.getpid()) - own_cpu_seconds() if root is None else tree_cpu_seconds(root)

    try:
        rng = np.random.default_rng(args.seed)
        digest = hashlib.sha256()
        observation, _ = env.reset(seed=args.seed)
        digest.update(observation.tobytes())
        expected_step = 0
        returns: list[float] = []

        def run(steps: int) -> None:
            nonlocal expected_step
            for _ in range(steps):
                observation, reward, terminated, truncated, info = env.step(int(rng.integers(4)))
                expected_step += 1
                if info["snapshot"][0] != expected_step or observation.shape != (18,):
                    raise AssertionError(f"a wrong step: snapshot step {info['snapshot'][0]}, expected {expected_step}")
                digest.update(observation.tobytes())
                digest.update(np.float64(reward).tobytes())
                if terminated or truncated:
                    returns.append(float(info["summary"][3]))
                    observation, _ = env.reset()
                    digest.update(observation.tobytes())
                    expected_step = 0

        run(args.warmup)
        calls0 = env.engine_calls
        page0, cpu0, wall0 = page_cpu(), time.process_time(), time.perf_counter()
        run(args.steps)
        wall, cpu, page = time.perf_counter() - wall0, time.process_time() - cpu0, page_cpu() - page0
        return {"ok": True, "steps": args.steps, "wall_s": wall, "trainer_cpu_s": cpu, "page_cpu_s": page,
                "calls": env.engine_calls - calls0, "episodes": len(returns), "digest": digest.hexdigest()}
    finally:
        env.close()
        if close_page is not None:
            close_page()


def run_one(host: str, page: str, steps: int, warmup: int, seed: int, earlier_ui: Path | None, pin: bool) -> dict:
    command = (["taskset", "-c", "0"] if pin else []) + [sys.executable, str(Path(__file__).resolve()), "--worker", host, "--page", page, "--steps", str(steps),
               "--warmup", str(warmup), "--seed", str(seed)]
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1",
               PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT / "python"), os.environ.get("PYTHONPATH")])))
    if page == "earlier":
        env["TARNEL_UI_DIR"] = str(earlier_ui)
    done = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=120 + steps * 0.05)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        raise SystemExit(f"the worker for {host}/{page} failed (exit {done.returncode}):\n{done.stderr[-3000:]}")
    result = json.loads(lines[-1])
    if not result["ok"]:
        raise SystemExit(f"the worker for {host}/{page} failed: {result['failure']}")
    return result


def extract_ui(revision: str, into: Path) -> Path:
    """ui/ as it was at `revision`, with this tree's node_modules."""
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", revision, "ui"], check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(into)], input=archive, check=True)
    if (ROOT / "ui" / "node_modules").is_dir():
        (into / "ui" / "node_modules").symlink_to(ROOT / "ui" / "node_modules")
    return into / "ui"


def summarise(host: str, page: str, runs: list[dict]) -> dict:
    steps = sum(r["steps"] for r in runs)
    wall = sum(r["wall_s"] for r in runs)
    calls = sum(r["calls"] for r in runs)
    return {"host": host, "page": page, "steps_per_s": steps / wall,
            "page_cpu_us_per_call": sum(r["page_cpu_s"] for r in runs) / calls * 1e6,
            "calls_per_step": calls / steps, "trainer_cpu_us_per_step": sum(r["trainer_cpu_s"] for r in runs) / steps * 1e6,
            "round_steps_per_s": [round(r["steps"] / r["wall_s"], 1) for r in runs], "steps": steps}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--steps", type=int, default=3000, help="timed steps per round, host and page")
    parser.add_argument("--warmup", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--hosts", type=lambda s: tuple(s.split(",")), default=HOSTS)
    parser.add_argument("--earlier", metavar="REV", help="also run the reference page as it was at git revision REV")
    parser.add_argument("--pin", action="store_true", help="run every measurement on one CPU")
    parser.add_argument("--quick", action="store_true", help="one round of 800 steps")
    parser.add_argument("--json-only", action="store_true")
    parser.add_argument("--worker", choices=HOSTS, help=argparse.SUPPRESS)
    parser.add_argument("--page", choices=PAGES, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        args.host = args.worker
        try:
            result = worker(args)
        except Exception as failure:  # reported to the driver
            result = {"ok": False, "failure": f"{type(failure).__name__}: {failure}"}
        print(json.dumps(result), flush=True)
        os._exit(0)  # the engine's listening socket and worker threads end with the process
    if args.quick:
        args.rounds, args.steps, args.warmup = 1, 800, 100
    for host in args.hosts:
        if host not in HOSTS:
            raise SystemExit(f"unknown host {host}; hosts: {', '.join(HOSTS)}")

    started = time.monotonic()
    pages = PAGES if args.earlier else PAGES[:2]
    configs = [(host, page) for host in args.hosts for page in pages]
    runs: dict[tuple[str, str], list[dict]] = {config: [] for config in configs}
    with tempfile.TemporaryDirectory(prefix="tarnel-env-bench-") as scratch:
        earlier_ui = extract_ui(args.earlier, Path(scratch)) if args.earlier else None
        for round_index in range(args.rounds):
            # The order turns every round, so that no configuration always runs right after the same one.
            shift = round_index % len(configs)
            for host, page in configs[shift:] + configs[:shift]:
                result = run_one(host, page, args.steps, args.warmup, args.seed, earlier_ui, args.pin)
                runs[(host, page)].append(result)
                print(f"round {round_index + 1}: {host:8} {page:9} {result['steps'] / result['wall_s']:8,.0f} steps/s, "
                      f"page {result['page_cpu_s'] / result['calls'] * 1e6:6,.0f} us CPU per call", file=sys.stderr,
                      flush=True)

    rows = {config: summarise(*config, runs[config]) for config in configs}
    for row in rows.values():
        print(json.dumps(row), flush=True)
    # The same seeds give the same results to the bit: every run of the reference page (and of the earlier
    # one) has one digest, every run of the trivial page one of its own.
    groups = {"reference": [p for p in pages if p != "trivial"], "trivial": ["trivial"]}
    digests = {group: {r["digest"] for host in args.hosts for page in members for r in runs[(host, page)]}
               for group, members in groups.items()}
    identical = {group: len(found) == 1 for group, found in digests.items()}
    ratios: dict[str, dict] = {}
    for host in args.hosts:
        trivial = rows[(host, "trivial")]
        for page in pages:
            ratios.setdefault(host if page == "reference" else f"{host}/{page}", {
                "steps_per_s": rows[(host, page)]["steps_per_s"] / trivial["steps_per_s"],
                "page_cpu_per_call": rows[(host, page)]["page_cpu_us_per_call"] / trivial["page_cpu_us_per_call"]})
    both = all(h in args.hosts for h in HOSTS)
    chromium_over_node = (rows[("chromium", "reference")]["steps_per_s"] / rows[("node", "reference")]["steps_per_s"]
                          if both else None)
    earlier_over_node = (rows[("chromium", "earlier")]["steps_per_s"] / rows[("node", "earlier")]["steps_per_s"]
                         if both and args.earlier else None)
    print(json.dumps({"case": "env_steps", "rounds": args.rounds, "steps": args.steps, "earlier": args.earlier, "pinned": args.pin,
                      "identical_results": identical, "over_trivial": ratios, "chromium_over_node": chromium_over_node,
                      "earlier_chromium_over_node": earlier_over_node}), flush=True)
    if not all(identical.values()):
        raise SystemExit(f"the same seeds gave different results: {digests}")
    if args.json_only:
        return

    header = ("host", "page", "steps/s", "page CPU us/call", "calls/step", "trainer CPU us/step", "steps/s: page / trivial",
              "page CPU: page / trivial")
    table = [header]
    for (host, page), row in rows.items():
        ratio = ratios[host if page == "reference" else f"{host}/{page}"]
        table.append((host, page, f"{row['steps_per_s']:,.0f}", f"{row['page_cpu_us_per_call']:,.0f}",
                      f"{row['calls_per_step']:.2f}", f"{row['trainer_cpu_us_per_step']:,.0f}",
                      f"{ratio['steps_per_s']:.2f}", f"{ratio['page_cpu_per_call']:.2f}"))
    widths = [max(len(row[c]) for row in table) for c in range(len(header))]
    print()
    for n, row in enumerate(table):
        print("| " + " | ".join(cell.ljust(widths[c]) for c, cell in enumerate(row)) + " |")
        if n == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    print()
    for host in args.hosts:
        got, aim = ratios[host]["steps_per_s"], TARGETS[host]
        print(f"{host}: the reference page at {got:.2f}x the trivial page's steps/s (target >= {aim}): "
              f"{'met' if got >= aim else 'missed'}")
    if chromium_over_node is not None:
        print(f"chromium: the reference page at {chromium_over_node:.2f}x its steps/s under Node.js "
              f"(target >= {CHROMIUM_OVER_NODE_TARGET}): {'met' if chromium_over_node >= CHROMIUM_OVER_NODE_TARGET else 'missed'}")
    if earlier_over_node is not None:
        print(f"the earlier page ({args.earlier[:9]}): Chromium at {earlier_over_node:.2f}x its steps/s under Node.js")
    print(f"identical results for the same seeds: reference page {'yes' if identical['reference'] else 'NO'} "
          f"(node and chromium{', and the earlier page' if args.earlier else ''}), trivial page {'yes' if identical['trivial'] else 'NO'}; {args.rounds} round(s) of "
          f"{args.steps} random-action steps each{', pinned to one CPU' if args.pin else ''}, "
          f"{time.monotonic() - started:.0f} s in all; {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
