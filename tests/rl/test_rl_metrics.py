"""The report's figures against an independent, well-kept implementation (empyrical) on the same
returns (with a risk-free rate, Calmar, alpha and beta, the months' returns), and by hand: the account
figures (trades, turnover, fees, win rate), the longest drawdown, the market's book and the random
band. No user interface is needed."""
import math

import numpy as np
import pytest

import rl_support  # noqa: F401  (the package's path)
from tarnel_rl.baselines import market_record, market_return, random_band
from tarnel_rl.metrics import (EpisodeRecord, alpha_beta, drawdown, longest_drawdown, per_period_rate, performance,
                               period_returns, report_figures)
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


@pytest.mark.parametrize("seed", [0, 3])
@pytest.mark.parametrize("rate", [0.0, 0.04, 0.1])
def test_a_risk_free_rate_and_the_market_figures_agree_with_empyrical(seed, rate):
    r, m = returns_of(seed), returns_of(seed + 100)
    periods = 252.0
    rf = per_period_rate(rate, periods)
    assert (1 + rf) ** periods == pytest.approx(1 + rate, rel=1e-12)
    mine = performance(r, periods, risk_free_rate=rate)
    assert mine["sharpe"] == pytest.approx(empyrical.sharpe_ratio(r, risk_free=rf, annualization=periods), rel=1e-10)
    assert mine["sortino"] == pytest.approx(empyrical.sortino_ratio(r, required_return=rf, annualization=periods), rel=1e-10)
    assert mine["calmar"] == pytest.approx(empyrical.calmar_ratio(r, annualization=periods), rel=1e-10)
    # The market's returns: a policy that is half the market and half noise.
    mixed = 0.5 * m + 0.5 * r
    alpha, beta = alpha_beta(mixed, m, periods, rate)
    expected_alpha, expected_beta = empyrical.alpha_beta(mixed, m, risk_free=rf, annualization=periods)
    assert (alpha, beta) == pytest.approx((expected_alpha, expected_beta), rel=1e-9)
    assert alpha_beta(m, m, periods, rate) == pytest.approx((0.0, 1.0), abs=1e-12)


def test_calmar_and_alpha_beta_without_a_fall_or_a_moving_market():
    assert math.isnan(performance(np.array([0.01, 0.02]), 252)["calmar"])
    assert all(math.isnan(v) for v in alpha_beta(np.array([0.01, 0.02, 0.0]), np.zeros(3), 252))
    with pytest.raises(ValueError, match="same bars"):
        alpha_beta(np.zeros(3), np.zeros(4), 252)


def test_the_months_returns_agree_with_empyrical():
    pd = pytest.importorskip("pandas")
    r = returns_of(5, n=400)
    times = pd.bdate_range("2023-01-03", periods=400)
    period, labels, values = period_returns(r, times.values, 252)
    expected = empyrical.aggregate_returns(pd.Series(r, index=times), "monthly")
    assert period == "month" and len(labels) == len(expected) == 19
    assert labels[0] == "2023-01" and labels[-1] == "2024-07"
    np.testing.assert_allclose(values, expected.values, rtol=1e-12)
    # Without times: blocks of 21 bars (252 / 12), the last one shorter.
    period, labels, values = period_returns(r, None, 252)
    assert (period, labels[0], labels[-1], len(values)) == ("21 bars", "1-21", "400-400", 20)
    assert values[1] == pytest.approx(np.prod(1 + r[21:42]) - 1, rel=1e-12)


def test_the_longest_drawdown_by_hand():
    # wealth 1, 1.1, 0.99, 1.0, 1.2 (regains 1.1 at point 4), 1.08, 1.2 (regains at 6), 1.0, 0.9 (to the end)
    wealth = np.array([1, 1.1, 0.99, 1.0, 1.2, 1.08, 1.2, 1.0, 0.9])
    r = wealth[1:] / wealth[:-1] - 1
    times = np.array(["2024-01-01", "2024-01-02", "2024-01-03", "2024-01-08", "2024-01-20", "2024-01-21",
                      "2024-01-22", "2024-01-23", "2024-01-24"], dtype="datetime64[ns]")
    longest = longest_drawdown(r, times)
    # From the peak at point 1 to point 4 (3 bars, 18 days); at the end from point 6 to point 8 (2 bars).
    assert (longest["bars"], longest["peak"], longest["end"], longest["days"]) == (3, 1, 4, 18.0)
    still = longest_drawdown(np.array([0.1, -0.1, -0.01, 0.001, -0.02]))
    assert (still["bars"], still["peak"], still["end"], still["days"]) == (4, 1, 5, None)
    assert longest_drawdown(np.array([0.01, 0.02]))["bars"] == 0  # never below a peak


def test_the_market_book_is_the_close_to_close_return_less_the_fees():
    closes = [50.0, 55.0, 45.0, 60.0]
    fee, bps = 0.001, 5.0
    record = market_record(closes, 10000.0, fee, bps, bars=[10, 11, 12, 13])
    s = bps / 10000
    # By hand: units = 10000 / (50 x 1.0005 x 1.001), sold at 60 x 0.9995 less the fee.
    units = 10000 / (50 * (1 + s) * (1 + fee))
    final = units * 60 * (1 - s) * (1 - fee)
    assert record.summary.final_equity == pytest.approx(final, rel=1e-14)
    assert record.equity == pytest.approx([10000, units * 55, units * 45, final], rel=1e-14)
    total = np.prod(1 + record.step_returns()) - 1
    assert total == pytest.approx(60 / 50 * (1 - s) * (1 - fee) / ((1 + s) * (1 + fee)) - 1, abs=1e-12)
    assert market_return(50, 60, fee, bps) == pytest.approx(total, abs=1e-12)
    assert record.summary.realised_pnl - record.summary.fees == pytest.approx(final - 10000, abs=1e-9)
    assert record.traded_value() == pytest.approx(units * 50 + units * 60)
    assert (record.summary.trades, record.summary.wins, record.summary.last_bar) == (1, 1, 13)
    with pytest.raises(ValueError, match="at least two closes"):
        market_record([50.0], 10000.0, fee, bps)


def test_the_random_band_is_the_seeds_mean_and_percentiles():
    rng = np.random.default_rng(0)
    per_seed = []
    for k in range(20):
        r = rng.normal(0, 0.01, 30)
        figures = performance(r, 252)
        figures.update(trades=k, win_rate=math.nan if k == 0 else 0.5, episode_returns_pct=[figures["total_return_pct"]],
                       period_returns_pct=[k, 2 * k], period_labels=["1-21", "22-30"],
                       equity_pct=((np.cumprod(1 + r) - 1) * 100).tolist())
        per_seed.append(figures)
    band = random_band(per_seed, list(range(7, 27)))
    totals = [f["total_return_pct"] for f in per_seed]
    assert band["total_return_pct"] == pytest.approx(np.mean(totals))
    assert band["band_pct"]["total_return_pct"] == pytest.approx(np.percentile(totals, [5, 95]).tolist())
    assert band["band_pct"]["sharpe"] == pytest.approx(np.percentile([f["sharpe"] for f in per_seed], [5, 95]).tolist())
    assert band["trades"] == pytest.approx(9.5) and band["win_rate"] == pytest.approx(0.5)  # NaN left out
    assert band["period_returns_pct"] == pytest.approx([9.5, 19.0]) and band["period_labels"] == ["1-21", "22-30"]
    # The curve is the mean equity: it ends on the mean total return, inside its own band.
    assert band["equity_pct"][-1] == pytest.approx(np.mean(totals))
    assert np.prod(1 + np.asarray(band["returns"])) - 1 == pytest.approx(np.mean(totals) / 100)
    low, high = np.asarray(band["equity_band_pct"]["p5"]), np.asarray(band["equity_band_pct"]["p95"])
    assert np.all(low <= high) and low[-1] == pytest.approx(band["band_pct"]["total_return_pct"][0])
    assert band["seeds"] == list(range(7, 27)) and band["seed_total_returns_pct"] == totals
