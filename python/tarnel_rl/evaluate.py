"""An out-of-sample verdict: a policy on the test (or validation) episodes, beside buy-and-hold, cash and
a random policy on the same episodes, with the usual risk figures (`tarnel_rl.metrics`), as JSON and one
figure.

    from tarnel_rl.evaluate import evaluate, write_report
    report = evaluate(model, env, split="test")          # an SB3 model, a callable or the demo's agent
    write_report(report, "out/report.json", "out/report.png")

    python -m tarnel_rl.evaluate --data prices.csv --test-from 2024-01-01 --policy mymodule:policy \\
        [--action target] [--fee-rate 0.001] [--slippage-bps 5] [--json out/report.json] [--figure out/report.png]

The policy is one of:
- an object with `predict(observation, deterministic=True)` (a Stable-Baselines3 model);
- an object with `act(observation, greedy=True)` (the demo's agent, `tarnel_rl.agent`);
- a callable `policy(observation) -> action`.

The baselines, in the environment's action space: "cash" never trades (hold / exposure 0); "buy and
hold" is long from the first step to the end (long, then hold / exposure 1); "random" draws every action
uniformly from the action space (seeded). Every policy plays every episode of the split once, in index
order, each from a fresh account; each episode ends with the session's closing (`end_session`).
"""
from __future__ import annotations

import argparse
import importlib
import json
import math
import sys
from pathlib import Path
from typing import Any

import numpy as np

from tarnel_rl.metrics import SNAP_CLOSE, SNAP_NET_UNITS, EpisodeRecord, drawdown, report_figures
from tarnel_rl.trading import HOLD, LONG

BASELINES = ("buy and hold", "cash", "random")
# Bars a year when the candles carry no times (the synthetic series): one bar a trading day.
DEFAULT_PERIODS_PER_YEAR = 252.0
COLOURS = {"policy": "#1f77b4", "buy and hold": "#2ca02c", "cash": "#7f7f7f", "random": "#d62728"}


def as_policy(policy: Any) -> Any:
    """A function observation -> action for any of the accepted kinds of policy."""
    if hasattr(policy, "predict"):
        return lambda observation: policy.predict(observation, deterministic=True)[0]
    if hasattr(policy, "act"):
        return lambda observation: policy.act(observation, greedy=True)
    if callable(policy):
        return policy
    raise TypeError(f"a policy is an SB3 model (predict), an agent (act) or a callable, got {policy!r}")


def baseline(name: str, env: Any, seed: int) -> Any:
    """The baseline `name` for `env`'s action space, as a function (observation, step) -> action."""
    discrete = getattr(env.unwrapped.actions, "name", "discrete") == "discrete"
    if name == "cash":
        return lambda observation, step: HOLD if discrete else np.zeros(1, dtype=np.float32)
    if name == "buy and hold":
        return lambda observation, step: (LONG if step == 0 else HOLD) if discrete else np.ones(1, dtype=np.float32)
    if name == "random":
        rng = np.random.default_rng(seed)
        if discrete:
            return lambda observation, step: int(rng.integers(env.action_space.n))
        return lambda observation, step: rng.uniform(-1.0, 1.0, size=1).astype(np.float32)
    raise ValueError(f"unknown baseline {name!r} (known: {', '.join(BASELINES)})")


def play(env: Any, split: str, index: int, choose: Any) -> EpisodeRecord:
    """One episode with `choose(observation, step) -> action`, recorded for the report."""
    observation, info = env.reset(options={"episode_type": split, "episode_index": index})
    record = EpisodeRecord(index, [float(info["equity"])], [float(info["snapshot"][SNAP_CLOSE])],
                           [float(info["snapshot"][SNAP_NET_UNITS])])
    step = 0
    while True:
        observation, _, terminated, truncated, info = env.step(choose(observation, step))
        step += 1
        record.equity.append(float(info["equity"]))
        record.closes.append(float(info["snapshot"][SNAP_CLOSE]))
        record.net_units.append(float(info["snapshot"][SNAP_NET_UNITS]))
        if terminated or truncated:
            break
    record.equity[-1] = info["episode_summary"].final_equity  # after the closing
    record.summary = info["episode_summary"]
    return record


def evaluate(policy: Any, env: Any, split: str = "test", baselines: tuple[str, ...] = BASELINES, seed: int = 0,
             periods_per_year: float | None = None, name: str = "policy") -> dict[str, Any]:
    """Plays `policy` and the baselines on every `split` episode ("test" or "validation") of `env` (a
    `TradingEnv`, possibly wrapped); answers the report: the task, and per policy the figures of
    `tarnel_rl.metrics.report_figures` and the chained equity and drawdown curves (in percent)."""
    if split not in ("test", "validation"):
        raise ValueError(f"split must be 'test' or 'validation', got {split!r}")
    base = env.unwrapped
    config = base.config
    count = int(config.get(f"{split}_episodes", 0))
    if count < 1:
        raise ValueError(f"the environment has no {split} episodes")
    if periods_per_year is None:
        candles = getattr(base, "candles", None)
        periods_per_year = (candles.bars_per_year() if candles is not None else None) or DEFAULT_PERIODS_PER_YEAR
    if name in baselines:
        raise ValueError(f"the policy's name {name!r} is a baseline's: give it another")
    act = as_policy(policy)
    players = {name: lambda observation, step: act(observation)}
    players.update({b: baseline(b, env, seed) for b in baselines})
    policies: dict[str, Any] = {}
    for player, choose in players.items():
        episodes = [play(env, split, index, choose) for index in range(count)]
        figures = report_figures(episodes, periods_per_year)
        returns = np.concatenate([e.step_returns() for e in episodes])
        figures["equity_pct"] = ((np.cumprod(1.0 + returns) - 1.0) * 100.0).tolist()
        figures["drawdown_pct"] = (drawdown(returns) * 100.0).tolist()
        figures["episode_steps"] = [len(e.equity) - 1 for e in episodes]
        policies[player] = figures
    first = policies[name]
    return {
        "split": split,
        "episodes": count,
        "periods_per_year": periods_per_year,
        "task": {
            "action": getattr(base.actions, "name", "?"),
            "reward": getattr(base.reward_function, "name", "?"),
            "observation": getattr(base.observation_kind, "name", "?"),
            "units": base.units,
            "fee_rate": config.get("fee_rate"),
            "slippage_bps": config.get("slippage_bps", 0),
            "window": config.get("window"),
            "episode_length": config.get("episode_length"),
            "bars": config.get("bars"),
            f"{split}_bars": config.get(f"{split}_bars"),
        },
        "policy": name,
        "beats": {b: first["total_return_pct"] > policies[b]["total_return_pct"] for b in baselines},
        "policies": policies,
    }


FIGURE_KEYS = ("total_return_pct", "annual_return_pct", "annual_volatility_pct", "sharpe", "sortino",
               "max_drawdown_pct", "trades", "turnover", "fees_paid", "win_rate")


def format_table(report: dict[str, Any]) -> str:
    """The figures as a text table, one column per policy."""
    names = list(report["policies"])
    lines = [f"{report['split']} episodes: {report['episodes']}, {report['periods_per_year']:.1f} bars a year",
             f"  {'':<22}" + "".join(f"{n:>14}" for n in names)]
    for key in FIGURE_KEYS:
        cells = []
        for n in names:
            value = report["policies"][n][key]
            cells.append(f"{value:>14d}" if isinstance(value, int) else f"{value:>14.3f}")
        lines.append(f"  {key:<22}" + "".join(cells))
    return "\n".join(lines)


def _json_safe(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None  # JSON has no NaN or infinity
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    if isinstance(value, (np.floating, np.integer)):
        return _json_safe(value.item())
    return value


def write_report(report: dict[str, Any], json_path: str | Path | None = None,
                 figure_path: str | Path | None = None) -> dict[str, str | None]:
    """Writes the report as JSON (NaN and infinities as null) and as one figure (PNG; needs matplotlib):
    the chained equity of the policy against buy-and-hold, cash and random, its drawdown against
    buy-and-hold's, and the return of every episode. Answers the paths written."""
    written: dict[str, str | None] = {"json": None, "figure": None}
    if json_path:
        Path(json_path).parent.mkdir(parents=True, exist_ok=True)
        Path(json_path).write_text(json.dumps(_json_safe(report), indent=1))
        written["json"] = str(json_path)
    if figure_path:
        written["figure"] = _draw(report, Path(figure_path))
    return written


def _draw(report: dict[str, Any], path: Path) -> str | None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    policies = report["policies"]
    name = report["policy"]
    path.parent.mkdir(parents=True, exist_ok=True)
    fig, (equity, falls, bars) = plt.subplots(3, 1, figsize=(11, 9.5), gridspec_kw={"height_ratios": [3, 1.6, 1.8]})

    def colour(policy: str) -> str:
        return COLOURS.get(policy, COLOURS["policy"])

    for n, figures in policies.items():
        curve = [0.0] + figures["equity_pct"]
        main = n in (name, "buy and hold")
        equity.plot(range(len(curve)), curve, color=colour(n if n != name else "policy"),
                    linewidth=2.0 if n == name else 1.3, alpha=1.0 if main else 0.6,
                    label=f"{n}: {figures['total_return_pct']:+.2f} %, Sharpe {figures['sharpe']:.2f}")
    bounds = np.cumsum(policies[name]["episode_steps"])
    for b in bounds[:-1]:
        for axis in (equity, falls):
            axis.axvline(b, color="#dddddd", linewidth=0.8, zorder=0)
    equity.set_ylabel("equity change, %")
    equity.set_title(f"{report['split']} episodes one after another ({report['episodes']}; grey lines: boundaries)")
    equity.grid(alpha=0.3)
    equity.legend(fontsize=8, loc="best")
    for n in (name, "buy and hold"):
        if n in policies:
            curve = [0.0] + policies[n]["drawdown_pct"]
            falls.fill_between(range(len(curve)), curve, 0, color=colour(n if n != name else "policy"), alpha=0.35,
                               label=f"{n}: max {policies[n]['max_drawdown_pct']:.2f} %")
    falls.set_ylabel("drawdown, %")
    falls.set_xlabel("step")
    falls.grid(alpha=0.3)
    falls.legend(fontsize=8, loc="lower left")
    names = list(policies)
    width = 0.8 / len(names)
    for i, n in enumerate(names):
        values = policies[n]["episode_returns_pct"]
        bars.bar(np.arange(len(values)) + i * width - 0.4 + width / 2, values, width,
                 color=colour(n if n != name else "policy"), label=n)
    bars.axhline(0, color="#555555", linewidth=0.8)
    bars.set_xlabel(f"{report['split']} episode")
    bars.set_ylabel("return, %")
    bars.set_xticks(range(report["episodes"]))
    bars.grid(alpha=0.3, axis="y")
    bars.legend(fontsize=8, ncol=len(names))
    task = report["task"]
    fig.suptitle(f"{name} against the baselines: {task['action']} actions, {task['reward']} reward, "
                 f"fee {task['fee_rate']:g}, slippage {task['slippage_bps']:g} bps")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return str(path)


def _load_policy(named: str) -> Any:
    """"module:attribute" (a policy, or a function of no arguments that makes one), or an SB3 model
    "sb3:ALGO:path.zip"."""
    if named.startswith("sb3:"):
        _, algo, path = named.split(":", 2)
        module = importlib.import_module("stable_baselines3")
        return getattr(module, algo.upper()).load(path)
    module_name, _, attribute = named.partition(":")
    if not attribute:
        raise SystemExit(f"--policy must be module:attribute or sb3:ALGO:path.zip, got {named!r}")
    sys.path.insert(0, str(Path.cwd()))
    found = getattr(importlib.import_module(module_name), attribute)
    return found() if isinstance(found, type) else found


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default="", help="CSV or Parquet candles (default: the package's sample)")
    parser.add_argument("--test-from", default=None, help="first time of the test range, e.g. 2024-01-01")
    parser.add_argument("--test-share", type=float, default=None, help="or the share of the bars it holds")
    parser.add_argument("--validation-from", default=None, help="first time of the validation range")
    parser.add_argument("--split", choices=["test", "validation"], default="test")
    parser.add_argument("--policy", default="buy-and-hold",
                        help="module:attribute, sb3:ALGO:path.zip, or a baseline's name (default: buy-and-hold)")
    parser.add_argument("--action", choices=["discrete", "target"], default="discrete")
    parser.add_argument("--reward", choices=["pct", "log", "dsr"], default="pct")
    parser.add_argument("--units", type=int, default=10)
    parser.add_argument("--fee-rate", type=float, default=None)
    parser.add_argument("--slippage-bps", type=float, default=None)
    parser.add_argument("--window", type=int, default=32)
    parser.add_argument("--episode-length", type=int, default=64)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--json", default="out/report.json")
    parser.add_argument("--figure", default="out/report.png")
    args = parser.parse_args(argv)

    from tarnel_rl.data import load_candles, sample_path
    from tarnel_rl.gym_env import TradingEnv

    candles = load_candles(args.data or sample_path())
    env = TradingEnv(candles=candles, action=args.action, reward=args.reward, units=args.units,
                     fee_rate=args.fee_rate, slippage_bps=args.slippage_bps, test_from=args.test_from,
                     test_share=args.test_share, validation_from=args.validation_from,
                     ui_options={"window": args.window, "episode_length": args.episode_length})
    try:
        name = args.policy
        if args.policy.replace("-", " ") in BASELINES:
            rule = baseline(args.policy.replace("-", " "), env, args.seed)
            name = f"policy: {args.policy}"
            steps = {"n": 0}

            def policy(observation: Any) -> Any:  # the baselines count steps; a reset starts again at 0
                action = rule(observation, steps["n"] % int(env.config["episode_length"]))
                steps["n"] += 1
                return action
            chosen: Any = policy
        else:
            chosen = _load_policy(args.policy)
            name = args.policy.rsplit(":", 1)[-1]
        report = evaluate(chosen, env, split=args.split, seed=args.seed, name=name)
    finally:
        env.close()
    print(format_table(report))
    written = write_report(report, args.json, args.figure)
    print(f"report: {written['json']}; figure: {written['figure'] or 'none (matplotlib is missing)'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
