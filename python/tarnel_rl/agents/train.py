"""Trains the project's agent on your own candles in one command, then judges it out of sample:

    python -m tarnel_rl.train --data prices.csv --test-from 2024-01-01 --out out/run \\
        --episodes 300 --action target --reward dsr --fee-rate 0.0005 --features standard

It trains `tarnel_rl.agent` (the linear softmax policy for `--action discrete`, the linear Gaussian one for
`--action target`) on the train episodes, saves it as DIR/policy.npz (`load_agent` reads it back), and
writes the out-of-sample report of `tarnel_rl.evaluate` on the test range as DIR/report.json (with the
bars' dates when the candles have times), DIR/returns.csv where the report writes one, and its figure
DIR/report.png. Every stage that takes more than a moment prints a line with its elapsed time."""
from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

from tarnel_rl.agents.agent import LinearGaussianPolicy, LinearSoftmaxPolicy

Agent = LinearSoftmaxPolicy | LinearGaussianPolicy


def make_agent(env: Any, seed: int) -> Agent:
    """The agent for `env`'s action space, sized by its observation space."""
    size = int(np.prod(env.observation_space.shape))
    if env.unwrapped.actions.name == "target":
        return LinearGaussianPolicy(size, seed=seed)
    return LinearSoftmaxPolicy(size, int(env.action_space.n), seed=seed)


def train(agent: Agent, env: Any, episodes: int, seed: int, report_every: int = 0) -> list[float]:
    """Plays `episodes` train episodes (the first reset seeded with `seed`), learning after each; answers
    their returns in percent."""
    returns: list[float] = []
    gaussian = isinstance(agent, LinearGaussianPolicy)
    started = time.monotonic()
    for episode in range(episodes):
        observation, _ = env.reset(seed=seed if episode == 0 else None, options={"episode_type": "train"})
        while True:
            action = agent.act(observation)
            next_observation, reward, terminated, truncated, info = env.step(action)
            agent.record(observation, agent.last_draw if gaussian else action, float(reward))
            observation = next_observation
            if terminated or truncated:
                break
        agent.learn()
        returns.append(float(info["episode_summary"].return_pct))
        if report_every and (episode + 1) % report_every == 0:
            recent = returns[-report_every:]
            print(f"[train] episode {episode + 1}/{episodes}: mean return of the last {len(recent)} "
                  f"{np.mean(recent):+.3f} % ({time.monotonic() - started:.0f} s)", flush=True)
    return returns


def save_agent(agent: Agent, path: Path) -> None:
    if isinstance(agent, LinearGaussianPolicy):
        np.savez(path, kind="gaussian", parameters=agent.parameters)
    else:
        np.savez(path, kind="softmax", weights=agent.weights)


def load_agent(path: str | Path) -> Agent:
    """The agent `save_agent` wrote, ready for `act(observation, greedy=True)`."""
    with np.load(path) as saved:
        kind = str(saved["kind"])
        if kind == "gaussian":
            parameters = saved["parameters"]
            agent: Agent = LinearGaussianPolicy(len(parameters) - 2)
            agent.parameters = parameters.copy()
        elif kind == "softmax":
            weights = saved["weights"]
            agent = LinearSoftmaxPolicy(weights.shape[1] - 1, weights.shape[0])
            agent.weights = weights.copy()
        else:
            raise ValueError(f"{path} holds no agent this version knows (kind {kind!r})")
    return agent


def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default="", help="CSV or Parquet candles (default: the package's sample)")
    parser.add_argument("--test-from", default=None, help="first time of the test range, e.g. 2024-01-01")
    parser.add_argument("--test-share", type=float, default=None, help="or the share of the bars it holds")
    parser.add_argument("--validation-from", default=None, help="first time of the validation range")
    parser.add_argument("--out", default="out/train", help="the folder for the policy and the report")
    parser.add_argument("--episodes", type=int, default=300, help="train episodes")
    parser.add_argument("--action", choices=["discrete", "target"], default="discrete")
    parser.add_argument("--reward", choices=["pct", "log", "dsr"], default="pct")
    parser.add_argument("--units", type=int, default=10)
    parser.add_argument("--fee-rate", type=float, default=None)
    parser.add_argument("--slippage-bps", type=float, default=None)
    parser.add_argument("--sizing", choices=["units", "equity"], default="units",
                        help="what an exposure means: --units whole units, or a share of equity x --leverage")
    parser.add_argument("--leverage", type=float, default=None)
    parser.add_argument("--lot-size", type=float, default=None, help="the instrument's lot (1; 0.01 for FX, crypto)")
    parser.add_argument("--initial-balance", type=float, default=None)
    parser.add_argument("--maintenance-margin", type=float, default=None,
                        help="a share of the positions' value below which they are closed and the episode ends")
    parser.add_argument("--spread-bps", type=float, default=None)
    parser.add_argument("--borrow-rate", type=float, default=None, help="a year's rate on short and borrowed notional")
    parser.add_argument("--features", default="",
                        help="'standard' adds the standard features (tarnel_rl.features) to the file's own "
                             "feature_* columns")
    parser.add_argument("--window", type=int, default=32)
    parser.add_argument("--episode-length", type=int, default=64)
    parser.add_argument("--train-starts", choices=["grid", "any"], default="any")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    if args.episodes < 1:
        parser.error(f"--episodes must be at least 1, got {args.episodes}")
    if args.features not in ("", "standard"):
        parser.error(f"--features takes 'standard', got {args.features!r}")
    return args


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    from tarnel_rl.env.gym_env import TradingEnv
    from tarnel_rl.market_data.features import standard_features, with_features
    from tarnel_rl.market_data.loader import load_candles, sample_path
    from tarnel_rl.verdict.evaluate import evaluate, format_table, write_report

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    candles = load_candles(args.data or sample_path())
    if args.features == "standard":
        candles = with_features(candles, standard_features(candles))
    started = time.monotonic()
    print(f"[train] starting the environment on {args.data or 'the sample'} ({len(candles)} bars)", flush=True)
    env = TradingEnv(candles=candles, action=args.action, reward=args.reward, units=args.units,
                     fee_rate=args.fee_rate, slippage_bps=args.slippage_bps, test_from=args.test_from,
                     test_share=args.test_share, validation_from=args.validation_from, train_starts=args.train_starts,
                     sizing=args.sizing, leverage=args.leverage, lot_size=args.lot_size,
                     initial_balance=args.initial_balance, maintenance_margin=args.maintenance_margin,
                     spread_bps=args.spread_bps, borrow_rate=args.borrow_rate,
                     ui_options={"window": args.window, "episode_length": args.episode_length})
    try:
        agent = make_agent(env, args.seed)
        print(f"[train] {args.episodes} train episodes of {env.config['episode_length']} steps "
              f"({time.monotonic() - started:.0f} s)", flush=True)
        returns = train(agent, env, args.episodes, args.seed, report_every=max(1, args.episodes // 10))
        save_agent(agent, out / "policy.npz")
        print(f"[train] the verdict on the test range ({time.monotonic() - started:.0f} s)", flush=True)
        report = evaluate(agent, env, split="test", seed=args.seed, name="agent")
    finally:
        env.close()
    report["training"] = {"episodes": args.episodes, "returns_pct": returns, "arguments": vars(args)}
    print(format_table(report))
    written = write_report(report, out / "report.json", out / "report.png")
    (out / "arguments.json").write_text(json.dumps(vars(args), indent=2) + "\n")
    print(f"[train] policy: {out / 'policy.npz'}; report: {written['json']}; figure: {written['figure'] or 'none'} "
          f"({time.monotonic() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
