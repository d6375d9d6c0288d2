"""The baselines of an out-of-sample report: the market (buy-and-hold as an exact book over the bars a
policy traded), cash, a random policy over many seeds summed up by its mean and percentile band, and the
action rules that the page plays for cash, random and a whole-units buy-and-hold."""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.summary import EpisodeSummary
from tarnel_rl.env.trading import HOLD, LONG
from tarnel_rl.verdict.metrics import EpisodeRecord, drawdown

BASELINES = ("buy and hold", "cash", "random")
# The random baseline's percentile band, in percent.
BAND = (5.0, 95.0)
# The figures of the random seeds that get a band of their own in the report.
BANDED = ("total_return_pct", "annual_return_pct", "sharpe", "max_drawdown_pct")


def market_record(closes: list[float] | NDArray[np.float64], initial_balance: float, fee_rate: float,
                  slippage_bps: float, bars: list[int] | None = None, index: int = 0,
                  episode_type: str = "test") -> EpisodeRecord:
    """Buy-and-hold as the market: the whole initial balance B goes into the asset at the first close c_0
    and comes out at the last c_n, with the page's fee f (fee_rate, on the traded value) and slippage s
    (slippage_bps / 10000, against the trader) on the way in and out, in fractional units:

        units q = B / (c_0 (1 + s) (1 + f))          (the fee is paid from the balance)
        equity  = B at c_0, then q c_t after each bar t, and q c_n (1 - s) (1 - f) after the sale
        return  = (c_n / c_0) (1 - s) (1 - f) / ((1 + s) (1 + f)) - 1

    which is the close-to-close return of those bars less the fees. The equity points are those the page
    records for a played policy (the start, then one per step, the last after the session's closing), so
    the market's per-bar returns line up with a policy's bar for bar."""
    c = np.asarray(closes, dtype=np.float64)
    if len(c) < 2:
        raise ValueError(f"the market needs at least two closes (one step), got {len(c)}")
    s, f, balance = slippage_bps / 10000.0, fee_rate, float(initial_balance)
    buy, sell = c[0] * (1.0 + s), c[-1] * (1.0 - s)
    units = balance / (buy * (1.0 + f))
    final = units * sell * (1.0 - f)
    equity = [balance, *(units * c[1:-1]).tolist(), final]
    fees = f * units * (buy + sell)
    steps = len(c) - 1
    falls = drawdown(np.asarray(equity[1:]) / np.asarray(equity[:-1]) - 1.0)
    summary = EpisodeSummary(
        episode_type=episode_type, episode_index=index, steps=steps, initial_balance=balance, final_equity=final,
        return_pct=(final / balance - 1.0) * 100.0, realised_pnl=units * (sell - buy), fees=fees,
        fees_pct=fees / balance * 100.0, trades=1, wins=int(final > balance), win_rate=float(final > balance),
        max_drawdown_pct=float(-np.min(falls, initial=0.0)) * 100.0,
        last_bar=int(bars[-1]) if bars else -1, fee_rate=f, slippage_bps=float(slippage_bps))
    return EpisodeRecord(index, equity, c.tolist(), [0.0] + [units] * steps, summary, list(bars or []))


def market_return(first_close: float, last_close: float, fee_rate: float, slippage_bps: float) -> float:
    """The market's return over two closes less the fees (a fraction): the formula of `market_record`."""
    s = slippage_bps / 10000.0
    return last_close / first_close * (1.0 - s) * (1.0 - fee_rate) / ((1.0 + s) * (1.0 + fee_rate)) - 1.0


def rule(name: str, discrete: bool, action_space: Any, seed: int = 0) -> Callable[[Any], Any]:
    """The page-played action rule of a baseline, observation -> action, in the environment's action space:
    "cash" never trades (hold / exposure 0); "buy and hold" asks for the long position every step (long
    `units`, which trades once / exposure 1: whole units, unlike `market_record`); "random" draws every
    action uniformly from the action space with its own generator (seeded)."""
    if name == "cash":
        return lambda observation: HOLD if discrete else np.zeros(1, dtype=np.float32)
    if name == "buy and hold":
        return lambda observation: LONG if discrete else np.ones(1, dtype=np.float32)
    if name == "random":
        rng = np.random.default_rng(seed)
        if discrete:
            return lambda observation: int(rng.integers(action_space.n))
        return lambda observation: rng.uniform(-1.0, 1.0, size=1).astype(np.float32)
    raise ValueError(f"unknown baseline {name!r} (known: {', '.join(BASELINES)})")


def random_band(per_seed: list[dict[str, Any]], seeds: list[int]) -> dict[str, Any]:
    """One set of figures for the random policy over its seeds: every figure is the mean of the seeds'
    (NaN left out), the curves are those of the mean equity (what the seeds hold on average, so its last
    point is the mean total return), and the report adds the 5th and 95th percentiles of the seeds'
    total return, annual return, Sharpe and maximum drawdown, and of the equity at every point."""
    if not per_seed:
        raise ValueError("the random baseline needs at least one seed")
    figures: dict[str, Any] = {}
    for key, first in per_seed[0].items():
        values = [seed_figures[key] for seed_figures in per_seed]
        if isinstance(first, (int, float)) and not isinstance(first, bool):
            column = np.asarray(values, dtype=np.float64)
            figures[key] = float(np.nanmean(column)) if np.isfinite(column).any() else float("nan")
        elif key in ("episode_returns_pct", "period_returns_pct"):
            figures[key] = np.mean(np.asarray(values, dtype=np.float64), axis=0).tolist()
        else:
            figures[key] = first  # labels, steps: the same for every seed
    wealth = np.asarray([[1.0] + [1.0 + e / 100.0 for e in f["equity_pct"]] for f in per_seed])
    mean = wealth.mean(axis=0)
    returns = mean[1:] / mean[:-1] - 1.0
    figures["returns"] = returns.tolist()
    figures["equity_pct"] = ((mean[1:] - 1.0) * 100.0).tolist()
    figures["drawdown_pct"] = (drawdown(returns) * 100.0).tolist()
    low, high = np.percentile((wealth[:, 1:] - 1.0) * 100.0, BAND, axis=0)
    figures["equity_band_pct"] = {"p5": low.tolist(), "p95": high.tolist()}
    figures["band_pct"] = {key: [float(v) for v in np.nanpercentile([f[key] for f in per_seed], BAND)]
                           for key in BANDED}
    figures["seeds"] = list(seeds)
    figures["seed_total_returns_pct"] = [f["total_return_pct"] for f in per_seed]
    return figures
