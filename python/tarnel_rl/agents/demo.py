"""The demo: a NumPy policy-gradient trainer driving a back-test in the reference user interface.

    python -m tarnel_rl.demo [--ui node|browser|manual] [--port N] [--episodes N] [--steps N]
                             [--series regime|walk] [--seed N] [--plot PATH] [--screenshot PATH]
                             [--watch] [--viewer-port N]

It drives the back-test through the Gymnasium environment (`tarnel_rl.gym_env.TradingEnv`): the
environment starts an engine on 127.0.0.1 and opens the user interface (Node.js by default; `browser`
for headless Chromium; `manual` prints the page's address for your own browser). `--watch` prints the
address of a live, read-only view of the page for your own browser (`render_mode="human"`); the training
goes on at full speed whether anyone watches or not. The trainer uses only
`reset` and `step`. It trains the agent (`tarnel_rl.agent`) on train episodes of the regime-switching
series (docs/protocol.md, "Candles"; `--series walk` for the plain random walk, where nothing can be
learned), then plays every test episode with the greedy policy and with three baselines: holding cash,
a random policy (the mean of three runs) and buy-and-hold. It prints the learning curve as it goes, a
table of the test returns, whether the agent beat each baseline, and draws one figure: the learning
curve against the baselines, and the test equity of the agent and the baselines. It ends with the
out-of-sample report of `tarnel_rl.evaluate` on the test episodes (risk figures against buy-and-hold,
cash and random), written beside the figure as demo-report.json and demo-report.png. Every return is in
percent of the initial balance.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

from tarnel_rl.agents.agent import LinearSoftmaxPolicy
from tarnel_rl.env.gym_env import TradingEnv
from tarnel_rl.env.trading import ACTION_NAMES, HOLD, LONG, observation_size
from tarnel_rl.hosting import ui_host
from tarnel_rl.verdict.evaluate import evaluate as evaluate_policy
from tarnel_rl.verdict.evaluate import format_table, write_report
from tarnel_rl.watch import dashboard
from tarnel_rl.watch.viewer import ViewerPortTaken

RANDOM_RUNS = 3
# The series the demo trains on: 8000 bars in episodes of 128 steps give 40 train and 10 test episodes.
BARS, EPISODE_LENGTH = 8000, 128
BASELINES = ("hold cash", "random", "buy and hold")
COLOURS = {"agent": "#1f77b4", "hold cash": "#7f7f7f", "random": "#d62728", "buy and hold": "#2ca02c"}


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ui", choices=["node", "browser", "manual", "auto"], default="node",
                        help="who runs the page: Node.js (the default; 'auto' is the same), headless Chromium, or you")
    parser.add_argument("--port", type=int, default=0, help="engine port (default: a free one)")
    parser.add_argument("--http-port", type=int, default=0, help="port of the page's server with --ui manual")
    parser.add_argument("--episodes", type=int, default=200, help="train episodes (0: only evaluate)")
    parser.add_argument("--steps", type=int, default=0, help="steps per episode (default: the whole episode)")
    parser.add_argument("--series", choices=["regime", "walk"], default="regime", help="the synthetic series")
    parser.add_argument("--seed", type=int, default=7, help="seed of the series and of the agent")
    parser.add_argument("--plot", default="out/demo.png", help="where to draw the figure ('' for none)")
    parser.add_argument("--screenshot", default="", help="with the browser: save the page as a PNG here")
    parser.add_argument("--watch", action="store_true", help="print the address of a live view of the page")
    parser.add_argument("--viewer-port", type=int, default=0, help="port of the live view (default: a free one)")
    args = parser.parse_args(argv)
    if args.episodes < 0:
        parser.error(f"--episodes must be 0 or more, got {args.episodes}")
    if args.steps < 0:
        parser.error(f"--steps must be 0 or more, got {args.steps}")
    if args.screenshot and args.ui != "browser":
        parser.error(f"--screenshot needs the browser user interface (--ui browser), not --ui {args.ui}")
    if args.viewer_port and not args.watch:
        parser.error("--viewer-port is the live view's: give --watch too")
    return args


def moving_average(values: list[float], window: int) -> np.ndarray:
    """The mean of the last `window` values at each point (fewer at the start)."""
    values_array = np.asarray(values, dtype=np.float64)
    if len(values_array) == 0:
        return values_array
    sums = np.cumsum(np.insert(values_array, 0, 0.0))
    ends = np.arange(1, len(values_array) + 1)
    starts = np.maximum(0, ends - window)
    return (sums[ends] - sums[starts]) / (ends - starts)


def play(env: TradingEnv, kind: str, index: int, choose, learn: LinearSoftmaxPolicy | None = None) -> dict:
    """Plays one episode with `choose(observation, step) -> action`; returns its return and the equity
    change per step (both in percent of the initial balance: the latter is the running sum of the rewards)."""
    observation, _ = env.reset(options={"episode_type": kind, "episode_index": index})
    rewards = []
    step = 0
    while True:
        action = choose(observation, step)
        next_observation, reward, terminated, truncated, info = env.step(action)
        if learn is not None:
            learn.record(observation, action, reward)
        rewards.append(reward)
        observation = next_observation
        step += 1
        if terminated or truncated:
            break
    if learn is not None:
        learn.learn()
    summary = info["episode_summary"]  # the environment ends the session when the episode ends
    return {"return": summary.return_pct, "trades": summary.trades, "steps": step,
            "equity": np.concatenate([[0.0], np.cumsum(rewards)])}


def evaluate(env: TradingEnv, policy: LinearSoftmaxPolicy, test_episodes: int, seed: int) -> dict[str, list[dict]]:
    """The greedy agent and the baselines on the same test episodes."""
    rng = np.random.default_rng(seed + 1000)
    results: dict[str, list[dict]] = {name: [] for name in ("agent", *BASELINES)}
    for index in range(test_episodes):
        results["agent"].append(play(env, "test", index, lambda o, t: policy.act(o, greedy=True)))
        results["hold cash"].append(play(env, "test", index, lambda o, t: HOLD))
        results["buy and hold"].append(play(env, "test", index, lambda o, t: LONG if t == 0 else HOLD))
        runs = [play(env, "test", index, lambda o, t: int(rng.integers(len(ACTION_NAMES)))) for _ in range(RANDOM_RUNS)]
        results["random"].append({"return": float(np.mean([r["return"] for r in runs])),
                                  "trades": int(np.mean([r["trades"] for r in runs])), "steps": runs[0]["steps"],
                                  "equity": np.mean([r["equity"] for r in runs], axis=0)})
    return results


def means(results: dict[str, list[dict]]) -> dict[str, float]:
    return {name: float(np.mean([r["return"] for r in rows])) for name, rows in results.items()}


def print_table(results: dict[str, list[dict]]) -> None:
    names = list(results)
    print("\ntest episodes: return of each policy in percent of the initial balance (the random policy: the mean "
          f"of {RANDOM_RUNS} runs)")
    print("  episode  " + "".join(f"{name:>14}" for name in names))
    for i in range(len(results["agent"])):
        print(f"  {i:>7}  " + "".join(f"{results[name][i]['return']:>+12.2f} %" for name in names))
    print("  mean     " + "".join(f"{value:>+12.2f} %" for value in means(results).values()))
    print("  trades   " + "".join(f"{np.mean([r['trades'] for r in results[name]]):>14.1f}" for name in names))


def write_plot(train_returns: list[float], window: int, results: dict[str, list[dict]], path: str,
               title: str) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig, (curve, equity) = plt.subplots(1, 2, figsize=(13, 5.2))
    test_means = means(results)

    episodes = np.arange(1, len(train_returns) + 1)
    if len(train_returns):
        curve.plot(episodes, np.asarray(train_returns), ".", color="#9ecae1", markersize=4,
                   label="agent, each train episode")
        curve.plot(episodes, moving_average(train_returns, window), "-", color=COLOURS["agent"], linewidth=2,
                   label=f"agent, moving average of {window}")
    else:
        curve.text(0.5, 0.5, "no train episodes (--episodes 0)", transform=curve.transAxes, ha="center",
                   color="#555555")
    for name, value in test_means.items():
        curve.axhline(value, color=COLOURS[name], linestyle="--", linewidth=1.2,
                      label=f"{'greedy agent' if name == 'agent' else name}, test mean {value:+.2f} %")
    curve.set_xlabel("train episode")
    curve.set_ylabel("return of the episode, %")
    curve.set_title("Learning curve")
    curve.grid(alpha=0.3)
    curve.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=2, fontsize=8, frameon=False)

    for name, rows in results.items():
        # The test episodes one after another: each starts where the previous one ended.
        joined, offset = [], 0.0
        for r in rows:
            joined.extend(offset + r["equity"][(1 if joined else 0):])
            offset = joined[-1]
        label = "greedy agent" if name == "agent" else name
        equity.plot(np.arange(len(joined)), joined, color=COLOURS[name], linewidth=2 if name == "agent" else 1.3,
                    label=f"{label}: {offset:+.2f} %")
    bounds = np.cumsum([0] + [r["steps"] for r in results["agent"]])
    for b in bounds[1:-1]:
        equity.axvline(b, color="#dddddd", linewidth=0.8, zorder=0)
    equity.set_xlabel("step, test episodes one after another (grey lines: episode boundaries)")
    equity.set_ylabel("equity change, % of the initial balance")
    equity.set_title("Test episodes")
    equity.grid(alpha=0.3)
    equity.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=2, fontsize=8, frameon=False)

    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    return path


def port_in_use(error: BaseException) -> bool:
    text = str(error)
    return "Address already in use" in text or "bind failed" in text


def main(argv: list[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else argv
    if any(a == "--data" or a.startswith("--data=") for a in arguments):
        # Your own candles: the trader's path (`make demo DEMO_ARGS="--data FILE ..."`), with its arguments.
        from tarnel_rl.agents.train import main as train
        return train(arguments)
    args = parse_args(argv)
    port = args.port
    server = None
    env = None
    ui_options = {"series": args.series, "bars": BARS, "episode_length": EPISODE_LENGTH}
    watch: dict[str, Any] = {"render_mode": "human", "viewer_port": args.viewer_port or None} if args.watch else {}
    try:
        try:
            if args.ui == "manual":
                port = port or ui_host.free_port()  # the page's address needs it before the engine starts
                server = ui_host.StaticServer(ui_host.ui_directory(), args.http_port)
                viewer = None
                if args.watch:  # the page must know where to publish: its seat on the dashboard is taken first
                    viewer = dashboard.reserve_seat(args.viewer_port or None).publish_url
                query = ui_host.page_query(port, args.seed, options=ui_options, viewer=viewer)
                print(f"open {server.url('index.html?' + query)} in your browser", flush=True)
                env = TradingEnv(ui=None, port=port, series_seed=args.seed, ui_options=ui_options,
                                 connect_timeout_secs=None, max_episode_steps=args.steps or None, **watch)
            else:
                # Without --port the environment takes a free one, and another if a program took it first.
                env = TradingEnv(ui=args.ui, port=port or None, series_seed=args.seed,
                                 max_episode_steps=args.steps or None, ui_options=ui_options, **watch)
        except ViewerPortTaken:
            print(f"demo: --viewer-port {args.viewer_port} is in use by another program: choose another port, or "
                  "leave it out to take a free one", file=sys.stderr)
            return 2
        except (RuntimeError, OSError) as error:
            chosen = args.http_port if isinstance(error, OSError) else args.port
            if not port_in_use(error) or not chosen:  # only a port given on the command line is the user's to change
                if isinstance(error, RuntimeError) and not port_in_use(error):
                    # What is missing (Node.js, npm, Chromium) or what the user interface said: one line.
                    print(f"demo: {error}", file=sys.stderr)
                    return 2
                raise
            which = f"--http-port {args.http_port}" if isinstance(error, OSError) else f"--port {port}"
            print(f"demo: {which} is in use by another program: choose another port, or leave it out to take a "
                  "free one", file=sys.stderr)
            return 2
        kind = getattr(env.ui, "kind", args.ui)
        print(f"user interface: {kind}; engine on 127.0.0.1:{env.port}")
        config = env.config
        series = config.get("series", {}).get("kind", "?") if config.get("candle_source") == "synthetic" else "given"
        print(f"series: {series}, {config['bars']} bars, {config['train_episodes']} train and "
              f"{config['test_episodes']} test episodes of {config['episode_length']} steps")
        if config["test_episodes"] < 1 or (args.episodes and config["train_episodes"] < 1):
            print("demo: the series has no episodes to play", file=sys.stderr)
            return 2

        policy = LinearSoftmaxPolicy(observation_size(), len(ACTION_NAMES), seed=args.seed)
        window = max(1, min(20, args.episodes // 5))
        train_returns: list[float] = []
        started = time.perf_counter()
        steps = 0
        for episode in range(args.episodes):
            r = play(env, "train", episode % config["train_episodes"], lambda o, t: policy.act(o), learn=policy)
            train_returns.append(r["return"])
            steps += r["steps"]
            if episode % 10 == 9 or episode == args.episodes - 1:
                elapsed = time.perf_counter() - started
                print(f"train episode {episode + 1:>4}/{args.episodes}: return {r['return']:+.2f} %, moving average "
                      f"({window}) {moving_average(train_returns, window)[-1]:+.2f} %, {steps / elapsed:6.0f} steps/s")

        results = evaluate(env, policy, config["test_episodes"], args.seed)
        steps += sum(r["steps"] for rows in results.values() for r in rows) + \
            (RANDOM_RUNS - 1) * sum(r["steps"] for r in results["random"])
        print_table(results)

        shot = None
        if args.screenshot:
            if isinstance(env.ui, ui_host.BrowserUI):
                Path(args.screenshot).parent.mkdir(parents=True, exist_ok=True)
                env.screenshot(args.screenshot)
                shot = args.screenshot
            else:
                print(f"demo: no screenshot: it needs the browser user interface, and this run used {kind}")

        test_means = means(results)
        elapsed = time.perf_counter() - started
        print("\nsummary")
        print(f"  steps driven:          {steps} in {elapsed:.0f} s ({steps / max(elapsed, 1e-9):.0f} steps/s)")
        if train_returns:
            quarter = max(1, len(train_returns) // 4)
            print(f"  mean train return:     first {quarter} episodes {np.mean(train_returns[:quarter]):+.2f} %, "
                  f"last {quarter} {np.mean(train_returns[-quarter:]):+.2f} %")
        print(f"  mean test return:      {test_means['agent']:+.2f} % (greedy agent, {len(results['agent'])} episodes)")
        for name in BASELINES:
            beat = test_means["agent"] > test_means[name]
            print(f"  against {name + ':':<14} {test_means[name]:+.2f} %: the agent "
                  f"{'beat it' if beat else 'did not beat it'} ({test_means['agent'] - test_means[name]:+.2f} points)")
        if args.plot:
            title = (f"{args.episodes} train episodes on the {series} series (seed {args.seed}), "
                     f"{len(results['agent'])} test episodes")
            plot = write_plot(train_returns, window, results, args.plot, title)
            print(f"  figure:                {plot}" if plot else "  figure:                none (matplotlib is missing)")
        if shot:
            print(f"  screenshot:            {shot}")

        # The verdict a quant reads: the risk figures on the same test episodes, beside the baselines.
        report = evaluate_policy(lambda o: policy.act(o, greedy=True), env, split="test", seed=args.seed,
                                 name="greedy agent", mode="episodes")
        print("\nreport (tarnel_rl.evaluate): " + format_table(report))
        if args.plot:
            stem = Path(args.plot).with_suffix("")
            written = write_report(report, f"{stem}-report.json", f"{stem}-report.png")
            print(f"  report:                {written['json']}; figure: {written['figure'] or 'none (matplotlib is missing)'}")
        return 0
    finally:
        if env is not None:
            env.close()
        if server is not None:
            server.close()
        if args.watch:
            dashboard.close_viewers()  # the demo is the whole trainer: its dashboard ends with it


if __name__ == "__main__":
    sys.exit(main())
