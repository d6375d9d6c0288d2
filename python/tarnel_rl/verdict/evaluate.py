"""An out-of-sample verdict: a policy on the test (or validation) range, beside the market (buy-and-hold),
cash and a random policy over many seeds, with the usual risk figures (`tarnel_rl.metrics`) on dated
bars, as JSON, a CSV of the per-bar returns and one figure.

    from tarnel_rl.verdict.evaluate import evaluate, returns_series, write_report
    env = TradingEnv(candles=..., test_from="2024-01-01")
    report = evaluate(model, env, split="test")          # an SB3 model, a callable or the demo's agent
    write_report(report, "out/report.json", "out/report.png")   # and out/returns.csv beside the JSON
    returns_series(report)                               # a pandas Series on a DatetimeIndex

    python -m tarnel_rl.evaluate --data prices.csv --test-from 2024-01-01 --policy mymodule:policy \\
        [--mode walk-forward|episodes] [--random-seeds 20] [--risk-free-rate 0.04] [--action target] \\
        [--fee-rate 0.001] [--slippage-bps 5] [--json out/report.json] [--figure out/report.png]

The policy is one of:
- an object with `predict(observation, deterministic=True)` (a Stable-Baselines3 model);
- an object with `act(observation, greedy=True)` (the demo's agent, `tarnel_rl.agent`);
- a callable `policy(observation) -> action`.

Modes. `mode="walk_forward"` (the default) plays the whole range as one continuous session, from its
first bar to its last: the page's walk-forward pass (`reset(options={"episode_type": split,
"walk_forward": True})`, which a page the environment starts has: `ui_options={"walk_forward": True}` is its
default),
whose first window is history from the bars before the range. `mode="episodes"` plays every episode of
the range once, in index order, each from a fresh account, and chains them. Either way each session
ends with its closing (`end_session`), also when a wrapper (a `TimeLimit`) cuts it short.

Baselines (`tarnel_rl.baselines`): "buy and hold" is the market, an exact book computed from the closes
the policy saw: the whole initial balance in the asset at the first close, out at the last, with the
fee and slippage both ways (in episodes mode, once per episode); "cash" never trades; "random" draws
every action uniformly, over `random_seeds` seeds (20), and reports their mean with the 5th-95th
percentile band.

Dates: `report["bars"]` and `report["times"]` (ISO texts; None when the candles carry no times) give the
bar and time of every equity point, the start first; a policy's `returns[i]` and `equity_pct[i]` belong
to point i + 1. `returns.csv`, `returns_frame` and `returns_series` carry the same times.
"""
from __future__ import annotations

import argparse
import csv
import importlib
import json
import math
import sys
from pathlib import Path
from typing import Any

import numpy as np

from tarnel_rl.env.trading import SNAP_BAR, SNAP_CLOSE, SNAP_NET_UNITS
from tarnel_rl.verdict.baselines import BAND, BASELINES, market_record, random_band, rule
from tarnel_rl.verdict.metrics import EpisodeRecord, drawdown, report_figures
from tarnel_rl.verdict.report_figure import COLOURS, draw_report  # noqa: F401  (COLOURS importable from here, as before)

MODES = ("walk_forward", "episodes")
# Bars a year when the candles carry no times (the synthetic series): one bar a trading day.
DEFAULT_PERIODS_PER_YEAR = 252.0
DEFAULT_RANDOM_SEEDS = 20


def as_policy(policy: Any) -> Any:
    """A function observation -> action for any of the accepted kinds of policy."""
    if hasattr(policy, "predict"):
        return lambda observation: policy.predict(observation, deterministic=True)[0]
    if hasattr(policy, "act"):
        return lambda observation: policy.act(observation, greedy=True)
    if callable(policy):
        return policy
    raise TypeError(f"a policy is an SB3 model (predict), an agent (act) or a callable, got {policy!r}")


def baseline(name: str, env: Any, seed: int = 0) -> Any:
    """The page-played rule of the baseline `name` for `env`'s action space, observation -> action
    (`tarnel_rl.baselines.rule`)."""
    discrete = getattr(env.unwrapped.actions, "name", "discrete") == "discrete"
    return rule(name, discrete, env.action_space, seed)


def play(env: Any, options: dict[str, Any], choose: Any) -> EpisodeRecord:
    """One session started by `env.reset(options=options)`, played with `choose(observation) -> action`
    through whatever wraps the environment, and recorded for the report. When a wrapper truncates it
    before the page's last bar, the session is ended here (its closing pays its fee)."""
    observation, info = env.reset(options=options)
    snapshot = info["snapshot"]
    record = EpisodeRecord(int(info["episode_index"]), [float(info["equity"])], [float(snapshot[SNAP_CLOSE])],
                           [float(snapshot[SNAP_NET_UNITS])], bars=[int(snapshot[SNAP_BAR])])
    while True:
        observation, _, terminated, truncated, info = env.step(choose(observation))
        snapshot = info["snapshot"]
        record.equity.append(float(info["equity"]))
        record.closes.append(float(snapshot[SNAP_CLOSE]))
        record.net_units.append(float(snapshot[SNAP_NET_UNITS]))
        record.bars.append(int(snapshot[SNAP_BAR]))
        if terminated or truncated:
            break
    if "episode_summary" not in info:  # cut short by a wrapper that did not end the session
        env.unwrapped.end_episode(info)
    record.equity[-1] = info["episode_summary"].final_equity  # after the closing
    record.summary = info["episode_summary"]
    return record


def sessions(env: Any, split: str, mode: str) -> list[dict[str, Any]]:
    """The reset options of the sessions a report plays, in order."""
    config = env.unwrapped.config
    if mode == "walk_forward":
        passes = config.get("walk_forward_episodes")
        if passes is None:
            raise ValueError("the walk-forward report needs the page's walk-forward passes: make the environment "
                             "with ui_options={'walk_forward': True}, or evaluate with mode='episodes'")
        if passes.get(split) is None:
            raise ValueError(f"the page has no walk-forward pass over the {split} range (none, a single bar, or "
                             "fewer than window - 1 bars before it)")
        return [{"episode_type": split, "walk_forward": True}]
    count = int(config.get(f"{split}_episodes", 0))
    if count < 1:
        raise ValueError(f"the environment has no {split} episodes")
    return [{"episode_type": split, "episode_index": i} for i in range(count)]


def evaluate(policy: Any, env: Any, split: str = "test", baselines: tuple[str, ...] = BASELINES, seed: int = 0,
             periods_per_year: float | None = None, name: str = "policy", mode: str = "walk_forward",
             random_seeds: int = DEFAULT_RANDOM_SEEDS, risk_free_rate: float = 0.0) -> dict[str, Any]:
    """Plays `policy` and the baselines on the `split` range ("test" or "validation") of `env` (a
    `TradingEnv`, possibly wrapped) and answers the report: the task, the range and its bar times, and per
    policy the figures of `tarnel_rl.metrics.report_figures` (against the market's returns), its per-bar
    returns and the chained equity and drawdown curves (in percent). The random baseline plays seeds
    `seed`, `seed + 1`, ... (`random_seeds` of them). `risk_free_rate` is a year's rate (Sharpe, Sortino,
    alpha). Without times in the candles, and without `periods_per_year`, a year is 252 bars."""
    if split not in ("test", "validation"):
        raise ValueError(f"split must be 'test' or 'validation', got {split!r}")
    if mode not in MODES:
        raise ValueError(f"mode must be 'walk_forward' (one pass over the range) or 'episodes', got {mode!r}")
    if name in baselines:
        raise ValueError(f"the policy's name {name!r} is a baseline's: give it another")
    unknown = sorted(set(baselines) - set(BASELINES))
    if unknown:
        raise ValueError(f"unknown baselines {', '.join(map(repr, unknown))} (known: {', '.join(BASELINES)})")
    if isinstance(random_seeds, bool) or not isinstance(random_seeds, int) or random_seeds < 1:
        raise ValueError(f"random_seeds must be an integer >= 1, got {random_seeds!r}")
    if not (isinstance(risk_free_rate, (int, float)) and math.isfinite(risk_free_rate) and risk_free_rate > -1):
        raise ValueError(f"risk_free_rate must be a finite rate a year above -1 (0.04 for 4 %), got {risk_free_rate!r}")
    base = env.unwrapped
    config = base.config
    plan = sessions(env, split, mode)
    candles = getattr(base, "candles", None)
    measured = candles.bars_per_year() if candles is not None else None
    assumed = periods_per_year is None and measured is None
    periods = float(periods_per_year or measured or DEFAULT_PERIODS_PER_YEAR)

    act = as_policy(policy)
    played = [play(env, options, act) for options in plan]
    bars = [played[0].bars[0]] + [b for record in played for b in record.bars[1:]]
    times = _times_of(candles, bars)
    fee, slippage = float(config.get("fee_rate", 0.0)), float(config.get("slippage_bps", 0) or 0.0)
    market = [market_record(r.closes, r.summary.initial_balance, fee, slippage, r.bars, r.index, split) for r in played]
    market_returns = np.concatenate([r.step_returns() for r in market])

    def figures_of(records: list[EpisodeRecord]) -> dict[str, Any]:
        returns = np.concatenate([r.step_returns() for r in records])
        if len(returns) != len(market_returns):
            raise RuntimeError(f"a baseline played {len(returns)} steps where the policy played {len(market_returns)}")
        figures = report_figures(records, periods, risk_free_rate, market_returns, times)
        figures["returns"] = returns.tolist()
        figures["equity_pct"] = ((np.cumprod(1.0 + returns) - 1.0) * 100.0).tolist()
        figures["drawdown_pct"] = (drawdown(returns) * 100.0).tolist()
        figures["episode_steps"] = [len(r.equity) - 1 for r in records]
        return figures

    policies: dict[str, Any] = {name: figures_of(played)}
    for b in baselines:
        if b == "buy and hold":
            policies[b] = figures_of(market)
        elif b == "cash":
            policies[b] = figures_of([play(env, options, baseline("cash", env)) for options in plan])
        else:
            seeds = [seed + k for k in range(random_seeds)]
            per_seed = []
            for s in seeds:
                choose = baseline("random", env, s)
                per_seed.append(figures_of([play(env, options, choose) for options in plan]))
            policies[b] = random_band(per_seed, seeds)
    first = policies[name]
    describe = getattr(candles, "describe", None)
    report = {
        "split": split,
        "mode": mode,
        "episodes": len(plan),
        "periods_per_year": periods,
        "periods_per_year_assumed": assumed,
        "risk_free_rate": float(risk_free_rate),
        "random_seeds": random_seeds if "random" in baselines else 0,
        "candles": describe() if callable(describe) else None,
        "range": _range(played, times),
        "times": None if times is None else _time_texts(times),
        "bars": bars,
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
        "market": _market_summary(played, market, fee, slippage, times),
        "policy": name,
        "beats": {b: first["total_return_pct"] > policies[b]["total_return_pct"] for b in baselines},
        "policies": policies,
    }
    return report


def _times_of(candles: Any, bars: list[int]) -> Any:
    times = getattr(candles, "times", None)
    if times is None:
        return None
    return np.asarray(times)[np.asarray(bars)]


def _time_texts(times: Any) -> list[str]:
    """ISO texts: dates alone when every time is a midnight (daily bars), else to the second."""
    midnights = bool(np.all(times.astype("datetime64[D]") == times))
    texts = np.datetime_as_string(times, unit="D") if midnights else np.datetime_as_string(times, unit="s")
    return [str(t) for t in texts]


def _range(played: list[EpisodeRecord], times: Any) -> dict[str, Any]:
    texts = None if times is None else _time_texts(times[[0, -1]])
    return {"first_bar": played[0].bars[0], "last_bar": played[-1].bars[-1],
            "first_time": None if texts is None else texts[0], "last_time": None if texts is None else texts[1],
            "steps": sum(len(r.bars) - 1 for r in played)}


def _market_summary(played: list[EpisodeRecord], market: list[EpisodeRecord], fee: float, slippage: float,
                    times: Any) -> dict[str, Any]:
    """What the market did over the bars played: close to close (each session's, chained), and its return
    less the fees."""
    first, last = played[0].closes[0], played[-1].closes[-1]
    moves = np.prod([r.closes[-1] / r.closes[0] for r in played])
    return {"first_close": first, "last_close": last, "close_to_close_pct": (moves - 1.0) * 100.0,
            "return_after_fees_pct": (np.prod([r.summary.final_equity / r.summary.initial_balance for r in market]) - 1.0)
            * 100.0, "fee_rate": fee, "slippage_bps": slippage, "sessions": len(played)}


FIGURE_KEYS = ("total_return_pct", "annual_return_pct", "annual_volatility_pct", "sharpe", "sortino", "calmar",
               "max_drawdown_pct", "longest_drawdown_bars", "longest_drawdown_days", "alpha", "beta", "trades",
               "turnover", "fees_paid", "win_rate")


def format_table(report: dict[str, Any]) -> str:
    """The figures as a text table, one column per policy, under the lines that say what was played."""
    names = list(report["policies"])
    where = report["range"]
    span = (f"{where['first_time']} to {where['last_time']}" if where.get("first_time")
            else f"bars {where['first_bar']} to {where['last_bar']}")
    if report.get("mode") == "episodes":
        played = f"{report['split']} episodes: {report['episodes']}, chained, {span} ({where['steps']} steps)"
    else:
        played = f"{report['split']} range walked forward in one pass: {span} ({where['steps']} steps)"
    lines = [played]
    if report.get("candles"):
        lines.append(f"candles: {report['candles']}")
    if report.get("periods_per_year_assumed"):
        lines.append(f"annualised with an assumed {report['periods_per_year']:.0f} bars a year (the candles carry no times)")
    else:
        lines.append(f"annualised with {report['periods_per_year']:.1f} bars a year")
    market = report.get("market")
    if market and report.get("mode") == "episodes":
        lines.append(f"market: each episode's first close to its last, chained, {market['close_to_close_pct']:+.2f} % "
                     f"({market['return_after_fees_pct']:+.2f} % after fees, buy and hold)")
    elif market:
        lines.append(f"market: close {market['first_close']:g} to {market['last_close']:g}, "
                     f"{market['close_to_close_pct']:+.2f} % ({market['return_after_fees_pct']:+.2f} % after fees, "
                     f"buy and hold)")
    lines.append(f"risk-free rate: {report.get('risk_free_rate', 0.0) * 100:g} % a year")
    random = report["policies"].get("random")
    if random is not None and "band_pct" in random:
        low, high = random["band_pct"]["total_return_pct"]
        lines.append(f"random: the mean of {len(random['seeds'])} seeds; total return {BAND[0]:g}th-{BAND[1]:g}th "
                     f"percentile {low:+.2f} % to {high:+.2f} %")
    lines.append(f"  {'':<22}" + "".join(f"{n:>14}" for n in names))
    for key in FIGURE_KEYS:
        cells = []
        for n in names:
            value = report["policies"][n].get(key)
            if value is None:
                cells.append(f"{'-':>14}")
            elif isinstance(value, int):
                cells.append(f"{value:>14d}")
            else:
                cells.append(f"{value:>14.3f}")
        lines.append(f"  {key:<22}" + "".join(cells))
    return "\n".join(lines)


def _json_safe(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None  # JSON has no NaN or infinity
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    if isinstance(value, (np.floating, np.integer, np.bool_)):
        return _json_safe(value.item())
    return value


def write_report(report: dict[str, Any], json_path: str | Path | None = None,
                 figure_path: str | Path | None = None) -> dict[str, str | None]:
    """Writes the report as JSON (NaN and infinities as null), its per-bar returns as `returns.csv`
    beside the JSON (`returns_csv`), and one figure (PNG; needs matplotlib, else one line says so:
    `tarnel_rl.report_figure`). Answers the paths written."""
    written: dict[str, str | None] = {"json": None, "returns": None, "figure": None}
    if json_path:
        path = Path(json_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps(_json_safe(report), indent=1))
        written["json"] = str(path)
        written["returns"] = returns_csv(report, path.with_name("returns.csv"))
    if figure_path:
        written["figure"] = draw_report(report, Path(figure_path))
    return written


def returns_csv(report: dict[str, Any], path: str | Path) -> str:
    """Writes the per-bar returns (fractions, one column per policy) with their bar and, when the candles
    have times, their time: the returns of the bars after the first."""
    names = list(report["policies"])
    times = report.get("times")
    with open(path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["time", "bar", *names])
        for i, bar in enumerate(report["bars"][1:]):
            writer.writerow([times[i + 1] if times else "", bar,
                             *(repr(float(report["policies"][n]["returns"][i])) for n in names)])
    return str(path)


def returns_frame(report: dict[str, Any]) -> Any:
    """The per-bar returns of every policy as a pandas DataFrame on the bars' times (a DatetimeIndex), or
    on their bar numbers without times; what a tear-sheet library takes. Imports pandas."""
    import pandas as pd

    times = report.get("times")
    index = pd.DatetimeIndex(times[1:], name="time") if times else pd.Index(report["bars"][1:], name="bar")
    return pd.DataFrame({n: f["returns"] for n, f in report["policies"].items()}, index=index)


def returns_series(report: dict[str, Any], policy: str | None = None) -> Any:
    """One policy's per-bar returns (the report's own policy by default) as a pandas Series on the bars'
    times (see `returns_frame`)."""
    name = report["policy"] if policy is None else policy
    if name not in report["policies"]:
        raise KeyError(f"no policy {name!r} in the report (it has {', '.join(report['policies'])})")
    return returns_frame(report)[name]


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
    parser.add_argument("--mode", choices=["walk-forward", "episodes"], default="walk-forward",
                        help="one pass over the whole range (default), or its episodes one after another")
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
    parser.add_argument("--random-seeds", type=int, default=DEFAULT_RANDOM_SEEDS)
    parser.add_argument("--risk-free-rate", type=float, default=0.0, help="a year's rate, 0.04 for 4 %%")
    parser.add_argument("--json", default="out/report.json", help="the report; returns.csv goes beside it")
    parser.add_argument("--figure", default="out/report.png")
    args = parser.parse_args(argv)

    from tarnel_rl.env.gym_env import TradingEnv
    from tarnel_rl.market_data.loader import load_candles, sample_path

    candles = load_candles(args.data or sample_path())
    env = TradingEnv(candles=candles, action=args.action, reward=args.reward, units=args.units,
                     fee_rate=args.fee_rate, slippage_bps=args.slippage_bps, test_from=args.test_from,
                     test_share=args.test_share, validation_from=args.validation_from,
                     ui_options={"window": args.window, "episode_length": args.episode_length, "walk_forward": True})
    try:
        if args.policy.replace("-", " ") in BASELINES:
            chosen: Any = baseline(args.policy.replace("-", " "), env, args.seed)
            name = f"policy: {args.policy}"
        else:
            chosen = _load_policy(args.policy)
            name = args.policy.rsplit(":", 1)[-1]
        report = evaluate(chosen, env, split=args.split, seed=args.seed, name=name, mode=args.mode.replace("-", "_"),
                          random_seeds=args.random_seeds, risk_free_rate=args.risk_free_rate)
    finally:
        env.close()
    print(format_table(report))
    written = write_report(report, args.json, args.figure)
    print(f"report: {written['json']}; returns: {written['returns']}; figure: {written['figure'] or 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
