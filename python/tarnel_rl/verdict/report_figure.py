"""The report's one figure (PNG, with matplotlib): the policy's equity against the market, cash and the
random seeds' mean with its 5th-95th percentile band, on dates when the candles have times; the
drawdowns of the policy and the market; and the returns of every month (or block of bars, or episode)."""
from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

COLOURS = {"policy": "#1f77b4", "buy and hold": "#2ca02c", "cash": "#7f7f7f", "random": "#d62728"}
MISSING = "tarnel_rl: no figure: matplotlib is missing (pip install matplotlib)"


def draw_report(report: dict[str, Any], path: Path) -> str | None:
    """Draws the figure into `path` and answers it; None, saying so in one line, without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(MISSING, flush=True)
        return None
    policies = report["policies"]
    name = report["policy"]
    path.parent.mkdir(parents=True, exist_ok=True)
    fig, (equity, falls, bars) = plt.subplots(3, 1, figsize=(11, 9.5), gridspec_kw={"height_ratios": [3, 1.6, 1.8]})
    x = _axis(report)

    def colour(policy: str) -> str:
        return COLOURS.get(policy if policy != name else "policy", COLOURS["policy"])

    for n, figures in policies.items():
        curve = [0.0] + figures["equity_pct"]
        shown = f"{n} (the market)" if n == "buy and hold" else n
        label = f"{shown}: {figures['total_return_pct']:+.2f} %, Sharpe {figures['sharpe']:.2f}"
        if "band_pct" in figures:
            low, high = figures["band_pct"]["total_return_pct"]
            label = f"{n} (mean of {len(figures['seeds'])} seeds): {figures['total_return_pct']:+.2f} % [{low:+.1f}, {high:+.1f}]"
            band = figures["equity_band_pct"]
            equity.fill_between(x, [0.0] + band["p5"], [0.0] + band["p95"], color=colour(n), alpha=0.12, linewidth=0,
                                label=f"{n}: 5th-95th percentile of the seeds")
        main = n in (name, "buy and hold")
        equity.plot(x, curve, color=colour(n), linewidth=2.0 if n == name else 1.3, alpha=1.0 if main else 0.7,
                    label=label)
    if report.get("mode") == "episodes":
        for b in np.cumsum(policies[name]["episode_steps"])[:-1]:
            for axis in (equity, falls):
                axis.axvline(x[b], color="#dddddd", linewidth=0.8, zorder=0)
    equity.set_ylabel("equity change, %")
    equity.set_title(_title(report))
    equity.grid(alpha=0.3)
    equity.legend(fontsize=8, loc="best")
    for n in (name, "buy and hold"):
        if n in policies:
            curve = [0.0] + policies[n]["drawdown_pct"]
            falls.fill_between(x, curve, 0, color=colour(n), alpha=0.35,
                               label=f"{n}: max {policies[n]['max_drawdown_pct']:.2f} %, longest "
                                     f"{_duration(policies[n])}")
    falls.set_ylabel("drawdown, %")
    falls.set_xlabel("date" if report.get("times") else "bar")
    falls.grid(alpha=0.3)
    falls.legend(fontsize=8, loc="lower left")
    _draw_periods(bars, report, colour)
    task = report["task"]
    fig.suptitle(f"{name} against the market: {task['action']} actions, {task['reward']} reward, "
                 f"fee {task['fee_rate']:g}, slippage {task['slippage_bps']:g} bps")
    if report.get("times"):
        from matplotlib import dates

        for axis in (equity, falls):
            locator = dates.AutoDateLocator()
            axis.xaxis.set_major_locator(locator)
            axis.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return str(path)


def _axis(report: dict[str, Any]) -> Any:
    """The x of every equity point: its bar's time when the candles have times, else its bar."""
    if report.get("times"):
        return np.asarray(report["times"], dtype="datetime64[ns]")
    return np.asarray(report["bars"])


def _title(report: dict[str, Any]) -> str:
    where = report["range"]
    if where.get("first_time"):
        span = f"{where['first_time']} to {where['last_time']}"
    else:
        span = f"bars {where['first_bar']} to {where['last_bar']}"
    if report.get("mode") == "episodes":
        return f"{report['split']} episodes one after another ({report['episodes']}; grey lines: boundaries), {span}"
    return f"{report['split']} range walked forward in one pass, {span} ({where['steps']} steps)"


def _duration(figures: dict[str, Any]) -> str:
    days = figures.get("longest_drawdown_days")
    bars = figures["longest_drawdown_bars"]
    return f"{bars} bars ({days:.0f} days)" if days is not None else f"{bars} bars"


def _draw_periods(axis: Any, report: dict[str, Any], colour: Any) -> None:
    """Per-period returns side by side: the months (or blocks of bars) of a walk-forward pass, or the
    episodes of the per-episode mode."""
    policies = report["policies"]
    episodes = report.get("mode") == "episodes"
    first = policies[report["policy"]]
    key = "episode_returns_pct" if episodes else "period_returns_pct"
    labels = [str(i) for i in range(report["episodes"])] if episodes else first["period_labels"]
    names = [n for n in policies if n != "cash"]
    width = 0.8 / len(names)
    for i, n in enumerate(names):
        values = policies[n][key]
        axis.bar(np.arange(len(values)) + i * width - 0.4 + width / 2, values, width, color=colour(n), label=n)
    axis.axhline(0, color="#555555", linewidth=0.8)
    axis.set_xlabel(f"{report['split']} episode" if episodes else f"{first['period']}")
    axis.set_ylabel("return, %")
    step = max(1, len(labels) // 16)
    axis.set_xticks(range(0, len(labels), step))
    axis.set_xticklabels(labels[::step], fontsize=7)
    axis.grid(alpha=0.3, axis="y")
    axis.legend(fontsize=8, ncol=len(names))
