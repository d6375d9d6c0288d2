"""The risk and return figures of an out-of-sample report, from per-step returns and the episodes' account.

Per-step returns are the equity's simple returns, step by step (the last step of an episode includes
the closing of its session). The episodes of a report are chained one after another, as if each began
with what the one before ended with: that makes one return series, and the figures are those of the usual
tear sheet, defined as empyrical defines them (tests/rl/test_rl_metrics.py checks them against it):

- total return: prod(1 + r) - 1;
- annualised return: (1 + total) ** (periods_per_year / n) - 1;
- annualised volatility: std(r, ddof=1) x sqrt(periods_per_year);
- Sharpe ratio: mean(r - rf) / std(r - rf, ddof=1) x sqrt(periods_per_year);
- Sortino ratio: mean(r - rf) / sqrt(mean(min(r - rf, 0)^2)) x sqrt(periods_per_year);
- maximum drawdown: the largest fall of the chained equity from its peak (the start counts as one);
- Calmar ratio: annualised return / |maximum drawdown| (NaN without a drawdown);
- alpha and beta against the market's returns m (buy-and-hold's, bar for bar): beta = cov(r, m) / var(m),
  alpha = (1 + mean((r - rf) - beta (m - rf))) ** periods_per_year - 1 (annualised, as empyrical's).

`rf` is the risk-free rate of one period, from the caller's rate a year (`risk_free_rate`, default 0):
(1 + risk_free_rate) ** (1 / periods_per_year) - 1. Empyrical takes that per-period rate as its
`risk_free` (Sharpe, alpha) and `required_return` (Sortino).

Time figures: the longest drawdown, from the peak it fell from to the bar that regained that peak (or
to the last bar when none did), in bars and, when the bars have times, in days; and the returns of each
calendar month (compounded; labelled "YYYY-MM"), or without times of each block of
`round(periods_per_year / 12)` bars (labelled by the block's first and last step).

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
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray


@dataclass
class EpisodeRecord:
    """What one played episode leaves for the report: equity at the start and after every step (the last
    after the closing), the close and the net units at the start and after every step, and the summary."""

    index: int
    equity: list[float] = field(default_factory=list)
    closes: list[float] = field(default_factory=list)
    net_units: list[float] = field(default_factory=list)
    summary: Any = None  # tarnel_rl.summary.EpisodeSummary
    bars: list[int] = field(default_factory=list)  # the series' bar of every equity point, when known

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


def per_period_rate(rate_a_year: float, periods_per_year: float) -> float:
    """The rate of one period that compounds to `rate_a_year` over `periods_per_year` periods."""
    return (1.0 + rate_a_year) ** (1.0 / periods_per_year) - 1.0


def performance(returns: NDArray[np.float64], periods_per_year: float, risk_free_rate: float = 0.0) -> dict[str, float]:
    """The return and risk figures of one return series (see the module's text); `risk_free_rate` is a
    year's rate."""
    r = np.asarray(returns, dtype=np.float64)
    n = len(r)
    nan = float("nan")
    if n == 0:
        return {"total_return_pct": 0.0, "annual_return_pct": nan, "annual_volatility_pct": nan, "sharpe": nan,
                "sortino": nan, "max_drawdown_pct": 0.0, "calmar": nan}
    total = float(np.prod(1.0 + r) - 1.0)
    annual = (1.0 + total) ** (periods_per_year / n) - 1.0 if total > -1 else -1.0
    std = float(np.std(r, ddof=1)) if n > 1 else nan
    excess = r - per_period_rate(risk_free_rate, periods_per_year)
    excess_std = float(np.std(excess, ddof=1)) if n > 1 else nan
    root = math.sqrt(periods_per_year)
    mean = float(np.mean(excess))
    downside = math.sqrt(float(np.mean(np.minimum(excess, 0.0) ** 2)))
    worst = float(np.min(drawdown(r)))
    calmar = annual / -worst if worst < 0 else nan
    return {
        "total_return_pct": total * 100.0,
        "annual_return_pct": annual * 100.0,
        "annual_volatility_pct": std * root * 100.0,
        "sharpe": mean / excess_std * root if excess_std > 0 else nan,
        "sortino": mean / downside * root if downside > 0 else (math.inf if mean > 0 else nan),
        "max_drawdown_pct": worst * 100.0,
        "calmar": calmar if math.isfinite(calmar) else nan,
    }


def alpha_beta(returns: NDArray[np.float64], market: NDArray[np.float64], periods_per_year: float,
               risk_free_rate: float = 0.0) -> tuple[float, float]:
    """Annualised alpha and beta of `returns` against the market's returns of the same bars."""
    r = np.asarray(returns, dtype=np.float64)
    m = np.asarray(market, dtype=np.float64)
    if len(r) != len(m):
        raise ValueError(f"alpha and beta need returns and market returns of the same bars, got {len(r)} and {len(m)}")
    if len(r) < 2:
        return float("nan"), float("nan")
    variance = float(np.mean((m - m.mean()) ** 2))
    if variance == 0:
        return float("nan"), float("nan")
    beta = float(np.mean((r - r.mean()) * (m - m.mean()))) / variance
    rf = per_period_rate(risk_free_rate, periods_per_year)
    alpha = (1.0 + float(np.mean((r - rf) - beta * (m - rf)))) ** periods_per_year - 1.0
    return alpha, beta


def longest_drawdown(returns: NDArray[np.float64], times: Sequence[Any] | None = None) -> dict[str, Any]:
    """The longest time the equity spent below a peak: `bars` from the peak's point to the point that
    regained it (or to the last point); `days` between their times, with `times` (one datetime64 per
    equity point: the start, then one per return), else None; `peak` and `end` are the points' indices."""
    wealth = np.concatenate([[1.0], np.cumprod(1.0 + np.asarray(returns, dtype=np.float64))])
    best = {"bars": 0, "peak": 0, "end": 0}
    peak, last = 0, len(wealth) - 1
    for i in range(1, last + 1):
        if wealth[i] >= wealth[peak]:
            if i - peak > max(1, best["bars"]):  # i - peak == 1: no point below the peak
                best = {"bars": i - peak, "peak": peak, "end": i}
            peak = i
    if last - peak > best["bars"]:  # still below the peak at the end
        best = {"bars": last - peak, "peak": peak, "end": last}
    days = None
    if times is not None and best["bars"] > 0:
        stretch = np.datetime64(times[best["end"]], "ns") - np.datetime64(times[best["peak"]], "ns")
        days = float(stretch / np.timedelta64(1, "s")) / 86400.0
    return {**best, "days": days}


def period_returns(returns: NDArray[np.float64], times: Sequence[Any] | None = None,
                   periods_per_year: float = 252.0) -> tuple[str, list[str], list[float]]:
    """The compounded return of each calendar month (by the time of the bar each return ends on, one
    time per return), or without times of each block of round(periods_per_year / 12) bars. Answers the
    period's name, the labels and the returns (fractions)."""
    r = np.asarray(returns, dtype=np.float64)
    if times is not None:
        keys = np.datetime_as_string(np.asarray(times, dtype="datetime64[ns]").astype("datetime64[M]"))
        labels = list(dict.fromkeys(keys.tolist()))
        values = [float(np.prod(1.0 + r[keys == label]) - 1.0) for label in labels]
        return "month", labels, values
    size = max(1, round(periods_per_year / 12))
    labels, values = [], []
    for start in range(0, len(r), size):
        block = r[start:start + size]
        labels.append(f"{start + 1}-{start + len(block)}")
        values.append(float(np.prod(1.0 + block) - 1.0))
    return f"{size} bars", labels, values


def report_figures(episodes: list[EpisodeRecord], periods_per_year: float, risk_free_rate: float = 0.0,
                   market: NDArray[np.float64] | None = None, times: Sequence[Any] | None = None) -> dict[str, Any]:
    """Every figure of the report for one policy's episodes (in order). With `market` (the market's
    returns of the same bars) also alpha and beta; with `times` (one per equity point of the chained
    episodes: the start, then one per step) the longest drawdown in days and the months' returns."""
    returns = np.concatenate([e.step_returns() for e in episodes]) if episodes else np.zeros(0)
    figures: dict[str, Any] = performance(returns, periods_per_year, risk_free_rate)
    alpha, beta = alpha_beta(returns, market, periods_per_year, risk_free_rate) if market is not None else (
        float("nan"), float("nan"))
    longest = longest_drawdown(returns, times)
    period, labels, values = period_returns(returns, None if times is None else times[1:], periods_per_year)
    figures.update(alpha=alpha, beta=beta, longest_drawdown_bars=int(longest["bars"]),
                   longest_drawdown_days=longest["days"], period=period, period_labels=labels,
                   period_returns_pct=[v * 100.0 for v in values])
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
