"""The risk and return figures of an out-of-sample report, from per-step returns and the episodes' account.

Per-step returns are the equity's simple returns, step by step (the last step of an episode includes
the closing of its session). The episodes of a report are chained one after another, as if each began
with what the one before ended with: that makes one return series, and the figures are those of the usual
tear sheet, defined as empyrical defines them (tests/rl/test_rl_metrics.py checks them against it):

- total return: prod(1 + r) - 1;
- annualised return: (1 + total) ** (periods_per_year / n) - 1;
- annualised volatility: std(r, ddof=1) x sqrt(periods_per_year);
- Sharpe ratio: mean(r) / std(r, ddof=1) x sqrt(periods_per_year), no risk-free rate;
- Sortino ratio: mean(r) / sqrt(mean(min(r, 0)^2)) x sqrt(periods_per_year);
- maximum drawdown: the largest fall of the chained equity from its peak (the start counts as one).

The account figures come from the episodes' summaries and steps: `trades` (positions closed in full)
and `win_rate` (of those, the share that gained after their fees), `fees_paid` (money, all episodes)
and `fees_paid_pct` (per episode, in percent of the initial balance), and `turnover`: the value traded
per episode (quantity times the close it traded at) in multiples of the initial balance.

Returns, volatility and drawdowns are given in percent. A bar is a period: for daily bars
`periods_per_year` is what the candles' times say (`tarnel_rl.data.Candles.bars_per_year`, about 252 on
trading days), else the caller's.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

SNAP_CLOSE, SNAP_NET_UNITS = 2, 10


@dataclass
class EpisodeRecord:
    """What one played episode leaves for the report: equity at the start and after every step (the last
    after the closing), the close and the net units at the start and after every step, and the summary."""

    index: int
    equity: list[float] = field(default_factory=list)
    closes: list[float] = field(default_factory=list)
    net_units: list[float] = field(default_factory=list)
    summary: Any = None  # tarnel_rl.summary.EpisodeSummary

    def step_returns(self) -> NDArray[np.float64]:
        equity = np.asarray(self.equity, dtype=np.float64)
        return equity[1:] / equity[:-1] - 1.0

    def traded_value(self) -> float:
        """Units traded times the close they traded at: each step trades at the close of the bar it starts
        from, and the closing of the session at the last close (slippage left out). Units count lots of
        the summary's `lot_size` (1 unless the account has another)."""
        units = np.asarray(self.net_units, dtype=np.float64) * getattr(self.summary, "lot_size", 1.0)
        closes = np.asarray(self.closes, dtype=np.float64)
        return float(np.sum(np.abs(np.diff(units)) * closes[:-1]) + abs(units[-1]) * closes[-1])


def drawdown(returns: NDArray[np.float64]) -> NDArray[np.float64]:
    """The fall of the chained equity below its running peak after each period, as a fraction (<= 0);
    the start (1) counts as a peak."""
    wealth = np.concatenate([[1.0], np.cumprod(1.0 + np.asarray(returns, dtype=np.float64))])
    peak = np.maximum.accumulate(wealth)
    return (wealth / peak - 1.0)[1:]


def performance(returns: NDArray[np.float64], periods_per_year: float) -> dict[str, float]:
    r = np.asarray(returns, dtype=np.float64)
    n = len(r)
    nan = float("nan")
    if n == 0:
        return {"total_return_pct": 0.0, "annual_return_pct": nan, "annual_volatility_pct": nan, "sharpe": nan,
                "sortino": nan, "max_drawdown_pct": 0.0}
    total = float(np.prod(1.0 + r) - 1.0)
    annual = (1.0 + total) ** (periods_per_year / n) - 1.0 if total > -1 else -1.0
    std = float(np.std(r, ddof=1)) if n > 1 else nan
    root = math.sqrt(periods_per_year)
    mean = float(np.mean(r))
    downside = math.sqrt(float(np.mean(np.minimum(r, 0.0) ** 2)))
    return {
        "total_return_pct": total * 100.0,
        "annual_return_pct": annual * 100.0,
        "annual_volatility_pct": std * root * 100.0,
        "sharpe": mean / std * root if std > 0 else nan,
        "sortino": mean / downside * root if downside > 0 else (math.inf if mean > 0 else nan),
        "max_drawdown_pct": float(np.min(drawdown(r))) * 100.0,
    }


def report_figures(episodes: list[EpisodeRecord], periods_per_year: float) -> dict[str, Any]:
    """Every figure of the report for one policy's episodes (in order)."""
    returns = np.concatenate([e.step_returns() for e in episodes]) if episodes else np.zeros(0)
    figures: dict[str, Any] = performance(returns, periods_per_year)
    summaries = [e.summary for e in episodes]
    initial = summaries[0].initial_balance if summaries else 1.0
    trades = sum(s.trades for s in summaries)
    wins = sum(s.wins for s in summaries)
    fees = sum(s.fees for s in summaries)
    figures.update(
        episodes=len(episodes),
        steps=int(len(returns)),
        mean_episode_return_pct=float(np.mean([s.return_pct for s in summaries])) if summaries else 0.0,
        trades=int(trades),
        win_rate=wins / trades if trades else float("nan"),
        fees_paid=float(fees),
        fees_paid_pct=fees / initial * 100.0 / max(1, len(episodes)),
        turnover=sum(e.traded_value() for e in episodes) / initial / max(1, len(episodes)),
        episode_returns_pct=[s.return_pct for s in summaries],
    )
    return figures
