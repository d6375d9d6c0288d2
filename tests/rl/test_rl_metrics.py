"""The report's figures against an independent, well-kept implementation (empyrical) on the same
returns, and the account figures (trades, turnover, fees, win rate) worked out by hand. No user
interface is needed."""
import math

import numpy as np
import pytest

import rl_support  # noqa: F401  (the package's path)
from tarnel_rl.metrics import EpisodeRecord, drawdown, performance, report_figures
from tarnel_rl.summary import EpisodeSummary

empyrical = pytest.importorskip("empyrical", reason="empyrical-reloaded is part of the test extra")


def returns_of(seed, n=300):
    rng = np.random.default_rng(seed)
    r = rng.normal(0.0004, 0.012, n)
    r[0] = -0.03  # a fall at the start: the start must count as a peak
    return r


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("periods", [252.0, 261.0, 365.25 * 24])
def test_figures_agree_with_empyrical(seed, periods):
    r = returns_of(seed)
    mine = performance(r, periods)
    assert mine["total_return_pct"] == pytest.approx(empyrical.cum_returns_final(r) * 100, rel=1e-10)
    assert mine["annual_return_pct"] == pytest.approx(empyrical.annual_return(r, annualization=periods) * 100, rel=1e-9)
    assert mine["annual_volatility_pct"] == pytest.approx(empyrical.annual_volatility(r, annualization=periods) * 100, rel=1e-10)
    assert mine["sharpe"] == pytest.approx(empyrical.sharpe_ratio(r, annualization=periods), rel=1e-10)
    assert mine["sortino"] == pytest.approx(empyrical.sortino_ratio(r, annualization=periods), rel=1e-10)
    assert mine["max_drawdown_pct"] == pytest.approx(empyrical.max_drawdown(r) * 100, rel=1e-10)


def test_drawdown_by_hand():
    # wealth 1 -> 1.1 -> 0.99 -> 1.089 -> 1.2: from the peak 1.1, -10 %, then -1 %, then a new peak
    np.testing.assert_allclose(drawdown(np.array([0.1, -0.1, 0.1, 1.2 / 1.089 - 1])),
                               [0.0, -0.1, -0.01, 0.0], atol=1e-12)


def test_no_losses_and_no_steps():
    up = performance(np.array([0.01, 0.02, 0.005]), 252)
    assert math.isinf(up["sortino"]) and up["max_drawdown_pct"] == 0
    assert math.isnan(performance(np.zeros(5), 252)["sharpe"])  # no variation
    empty = performance(np.zeros(0), 252)
    assert empty["total_return_pct"] == 0 and math.isnan(empty["sharpe"])


def summary(return_pct, trades, wins, fees, final):
    return EpisodeSummary("test", 0, 3, 10000.0, final, return_pct, 0.0, fees, fees / 100, trades, wins,
                          wins / trades if trades else math.nan, 0.0, 0, 0.001, 5.0)


def test_account_figures_by_hand():
    # Episode 0: long 10 at 100 on step 0, flat at 110 on step 1 (20 units traded: 10 x 100 + 10 x 110),
    # nothing open at the end. Episode 1: short 5 at 50, closed by the session at 40 (5 x 50 + 5 x 40).
    first = EpisodeRecord(0, [10000, 10000, 10100, 10100], [100, 110, 111, 112], [0, 10, 0, 0],
                          summary(1.0, 1, 1, 2.1, 10100))
    second = EpisodeRecord(1, [10000, 10000, 10050], [50, 45, 40], [0, -5, -5],
                           summary(0.5, 1, 0, 0.45, 10050))
    figures = report_figures([first, second], 252)
    assert first.traded_value() == 10 * 100 + 10 * 110
    assert second.traded_value() == 5 * 50 + 5 * 40
    assert figures["turnover"] == pytest.approx((2100 + 450) / 10000 / 2)
    assert (figures["trades"], figures["win_rate"], figures["episodes"], figures["steps"]) == (2, 0.5, 2, 5)
    assert figures["fees_paid"] == pytest.approx(2.55)
    assert figures["fees_paid_pct"] == pytest.approx(2.55 / 10000 * 100 / 2)
    assert figures["episode_returns_pct"] == [1.0, 0.5]
    # chained: 1.01 x 1.005
    assert figures["total_return_pct"] == pytest.approx((1.01 * 1.005 - 1) * 100)
