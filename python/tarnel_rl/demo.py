"""The demo: a NumPy policy-gradient trainer driving a back-test in the reference user interface.

    python -m tarnel_rl.demo [--ui auto|browser|node|manual] [--port N] [--episodes N] [--steps N]

It drives the back-test through the Gymnasium environment (`tarnel_rl.gym_env.TradingEnv`): the
environment starts an engine on 127.0.0.1 and opens the user interface (headless Chromium when it can
run, else Node.js; `manual` prints the page's address for your own browser). The trainer then uses only
`reset` and `step`: it trains on train episodes, evaluates on test episodes, prints a summary and writes
a PNG of the equity curves.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from tarnel_rl import ui_host
from tarnel_rl.agent import LinearSoftmaxPolicy
from tarnel_rl.gym_env import TradingEnv
from tarnel_rl.trading import ACTION_NAMES, observation_size


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ui", choices=["auto", "browser", "node", "manual"], default="auto")
    parser.add_argument("--port", type=int, default=0, help="engine port (default: a free one)")
    parser.add_argument("--http-port", type=int, default=0, help="port of the page's server with --ui manual")
    parser.add_argument("--episodes", type=int, default=12, help="train episodes")
    parser.add_argument("--steps", type=int, default=0, help="steps per episode (default: the whole episode)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--plot", default="out/demo_equity.png")
    parser.add_argument("--screenshot", default="", help="with the browser: save the page as a PNG here")
    return parser.parse_args(argv)


def run_episode(env: TradingEnv, policy: LinearSoftmaxPolicy, index: int, kind: str, learn: bool) -> dict:
    observation, info = env.reset(options={"episode_type": kind, "episode_index": index})
    equity = [info["equity"]]
    actions = np.zeros(len(ACTION_NAMES), dtype=int)
    started = time.perf_counter()
    steps = 0
    done = False
    while not done:
        action = policy.act(observation, greedy=not learn)
        next_observation, reward, terminated, truncated, info = env.step(action)
        if learn:
            policy.record(observation, action, reward)
        observation = next_observation
        equity.append(info["equity"])
        actions[action] += 1
        steps += 1
        done = terminated or truncated
    elapsed = time.perf_counter() - started
    summary = info["summary"]  # the environment ends the session when the episode ends
    total_reward = policy.learn() if learn else float(np.sum(np.diff(equity)) / env.initial_balance * 100)
    return {"kind": kind, "index": index, "steps": steps, "steps_per_s": steps / max(elapsed, 1e-9),
            "return": float(summary[3]), "trades": int(summary[6]), "reward": total_reward, "equity": equity,
            "actions": actions}


def write_plot(results: list[dict], path: str) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig, ax = plt.subplots(figsize=(10, 5))
    for r in results:
        style = "-" if r["kind"] == "train" else "--"
        ax.plot(r["equity"], style, linewidth=1.2, label=f"{r['kind']} {r['index']}")
    ax.set_xlabel("step")
    ax.set_ylabel("equity")
    ax.set_title("Equity per episode (dashed: test episodes, greedy policy)")
    ax.legend(fontsize=7, ncol=4)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    port = args.port or ui_host.free_port()
    server = None
    env = None
    try:
        if args.ui == "manual":
            server = ui_host.StaticServer(ui_host.ui_directory(), args.http_port)
            print(f"open {server.url(f'index.html?host=127.0.0.1&port={port}&seed={args.seed}')} in your browser")
            env = TradingEnv(ui=None, port=port, connect_timeout_secs=None, max_episode_steps=args.steps or None)
        else:
            env = TradingEnv(ui=args.ui, port=port, series_seed=args.seed, max_episode_steps=args.steps or None)
            print(f"user interface: {getattr(env.ui, 'kind', args.ui)}; engine on 127.0.0.1:{port}")
        config = env.config
        print(f"series: {config['bars']} bars, {config['train_episodes']} train and {config['test_episodes']} test "
              f"episodes of {config['episode_length']} steps")
        policy = LinearSoftmaxPolicy(observation_size(), len(ACTION_NAMES), seed=args.seed)
        results = []
        for episode in range(args.episodes):
            r = run_episode(env, policy, episode % config["train_episodes"], "train", True)
            results.append(r)
            print(f"train episode {episode:>3} (#{r['index']:>2}): {r['steps']:>4} steps, {r['steps_per_s']:>7.0f} steps/s,"
                  f" return {r['return']:+.4f}, trades {r['trades']:>3}")
        for index in range(config["test_episodes"]):
            r = run_episode(env, policy, index, "test", False)
            results.append(r)
            print(f"test  episode     (#{index:>2}): {r['steps']:>4} steps, {r['steps_per_s']:>7.0f} steps/s,"
                  f" return {r['return']:+.4f}, trades {r['trades']:>3}")
        if args.screenshot and isinstance(env.ui, ui_host.BrowserUI):
            Path(args.screenshot).parent.mkdir(parents=True, exist_ok=True)
            env.screenshot(args.screenshot)
        train = [r for r in results if r["kind"] == "train"]
        test = [r for r in results if r["kind"] == "test"]
        total_steps = sum(r["steps"] for r in results)
        print("\nsummary")
        print(f"  steps driven:          {total_steps}")
        half = max(1, len(train) // 2)
        print(f"  mean train return:     first half {np.mean([r['return'] for r in train[:half]]):+.4f}, "
              f"second half {np.mean([r['return'] for r in train[half:]] or [0.0]):+.4f}")
        if test:
            print(f"  mean test return:      {np.mean([r['return'] for r in test]):+.4f} (greedy policy)")
        plot = write_plot(results, args.plot)
        if plot:
            print(f"  equity curves:         {plot}")
        return 0
    finally:
        if env is not None:
            env.close()
        if server is not None:
            server.close()


if __name__ == "__main__":
    sys.exit(main())
