"""The whole path on the shipped sample, training nothing: load it, split it by date, trade a target
exposure with a fee and slippage under the differential-Sharpe reward, evaluate a scripted policy beside
the baselines, episode by episode and walked forward over the whole test range, and write the report;
its numbers checked by hand (the market, cash, the fees against the traded value, the random seeds) and
against empyrical (the risk figures); a wrapped environment without times; the command line."""
import json
import math
import subprocess
import sys
import types

import numpy as np
import pytest

from rl_support import PYTHON_DIR, requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.agent import LinearSoftmaxPolicy  # noqa: E402
from tarnel_rl.data import load_candles, sample_path  # noqa: E402
from tarnel_rl.evaluate import (  # noqa: E402
    as_policy,
    baseline,
    evaluate,
    format_table,
    play,
    returns_series,
    write_report,
)
from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.rewards import DifferentialSharpe  # noqa: E402
from tarnel_rl.ui_options import checked_options  # noqa: E402

WINDOW, LENGTH, UNITS, FEE, SLIP_BPS = 16, 50, 100, 0.0005, 5.0


def momentum(observation):
    """Long after a rising bar, half short after a falling one (the features' last log return)."""
    return np.array([1.0 if observation[15] > 0 else -0.5], dtype=np.float32)


@requires_node
def test_the_sample_split_by_date_traded_and_reported(tmp_path):
    candles = load_candles(sample_path())
    env = TradingEnv(candles=candles, test_from="2024-01-01", validation_from="2023-07-01", action="target",
                     reward="dsr", units=UNITS, fee_rate=FEE, slippage_bps=SLIP_BPS,
                     ui_options={"window": WINDOW, "episode_length": LENGTH, "walk_forward": True})
    try:
        config = env.config
        test_first = candles.bar_of("2024-01-01")
        assert config["test_bars"] == [test_first, len(candles) - test_first]
        assert config["validation_bars"] == [candles.bar_of("2023-07-01"), test_first - candles.bar_of("2023-07-01")]
        assert (config["test_episodes"], config["validation_episodes"]) == (3, 1)

        # The reward during play: the differential Sharpe ratio of the step returns (eta 0.01).
        observation, info = env.reset(options={"episode_type": "test", "episode_index": 0})
        equity, rewards = [info["equity"]], []
        while True:
            observation, reward, terminated, truncated, info = env.step(momentum(observation))
            equity.append(info["equity"])
            rewards.append(reward)
            if terminated or truncated:
                break
        equity[-1] = info["episode_summary"].final_equity
        expected, a, b, eta = [], 0.0, 0.0, 0.01
        for before, after in zip(equity, equity[1:]):
            r = after / before - 1
            expected.append((b * (r - a) - 0.5 * a * (r * r - b)) / (b - a * a) ** 1.5 if b - a * a > 0 else 0.0)
            a, b = a + eta * (r - a), b + eta * (r * r - b)
        np.testing.assert_allclose(rewards, expected, rtol=1e-9, atol=1e-12)

        report = evaluate(momentum, env, split="test", name="momentum", mode="episodes", random_seeds=3)
        # The page's whole-units buy-and-hold (exposure 1: UNITS bought at the first step's close, sold by
        # the session at the last), played as a policy.
        whole = [play(env, {"episode_type": "test", "episode_index": i}, baseline("buy and hold", env)) for i in range(3)]
    finally:
        env.close()

    closes = candles.values[:, 3]
    span = WINDOW + LENGTH
    slip = SLIP_BPS / 10000
    units_hand, hand = [], []
    for i in range(3):
        first = test_first + i * span + WINDOW - 1
        buy, sell = closes[first] * (1 + slip), closes[first + LENGTH] * (1 - slip)
        units_hand.append((UNITS * (sell - buy) - FEE * UNITS * (buy + sell)) / 10000 * 100)
        # The market: the whole balance in at the first close and out at the last, fees both ways.
        hand.append((closes[first + LENGTH] / closes[first] * (1 - slip) * (1 - FEE) / ((1 + slip) * (1 + FEE)) - 1) * 100)
    np.testing.assert_allclose([r.summary.return_pct for r in whole], units_hand, atol=1e-9)
    hold = report["policies"]["buy and hold"]
    np.testing.assert_allclose(hold["episode_returns_pct"], hand, atol=1e-9)
    firsts = [test_first + i * span + WINDOW - 1 for i in range(3)]
    assert report["market"]["close_to_close_pct"] == pytest.approx(
        (np.prod([closes[f + LENGTH] / closes[f] for f in firsts]) - 1) * 100, abs=1e-9)
    assert (hold["trades"], hold["win_rate"]) == (3, sum(h > 0 for h in hand) / 3)
    cash = report["policies"]["cash"]
    assert (cash["total_return_pct"], cash["trades"], cash["fees_paid"], cash["turnover"]) == (0.0, 0, 0.0, 0.0)

    empyrical = pytest.importorskip("empyrical", reason="empyrical-reloaded is part of the test extra")
    periods = candles.bars_per_year()
    assert report["periods_per_year"] == pytest.approx(periods)
    for name in ("momentum", "buy and hold"):
        figures = report["policies"][name]
        wealth = np.concatenate([[1.0], 1 + np.asarray(figures["equity_pct"]) / 100])
        r = wealth[1:] / wealth[:-1] - 1
        assert len(r) == 3 * LENGTH
        assert figures["sharpe"] == pytest.approx(empyrical.sharpe_ratio(r, annualization=periods), rel=1e-6)
        assert figures["sortino"] == pytest.approx(empyrical.sortino_ratio(r, annualization=periods), rel=1e-6)
        assert figures["annual_volatility_pct"] == pytest.approx(
            empyrical.annual_volatility(r, annualization=periods) * 100, rel=1e-6)
        assert figures["annual_return_pct"] == pytest.approx(empyrical.annual_return(r, annualization=periods) * 100, rel=1e-6)
        assert figures["max_drawdown_pct"] == pytest.approx(empyrical.max_drawdown(r) * 100, rel=1e-6)
        # Chaining the episodes compounds their returns.
        assert figures["total_return_pct"] == pytest.approx(
            (np.prod([1 + x / 100 for x in figures["episode_returns_pct"]]) - 1) * 100, rel=1e-9)
        # The page's fees are the fee rate on every traded value, which slippage moves by at most 5 bps.
        traded = figures["turnover"] * 10000 * 3
        assert figures["fees_paid"] == pytest.approx(FEE * traded, rel=slip)
        # Against the market's returns of the same bars.
        market = np.asarray(report["policies"]["buy and hold"]["returns"])
        assert (figures["alpha"], figures["beta"]) == pytest.approx(
            empyrical.alpha_beta(np.asarray(figures["returns"]), market, annualization=periods), rel=1e-9)
    assert report["policies"]["momentum"]["trades"] > 10  # it did trade

    written = write_report(report, tmp_path / "report.json", tmp_path / "report.png")
    loaded = json.loads((tmp_path / "report.json").read_text())
    assert loaded["task"] == {"action": "target", "reward": "dsr", "observation": "features", "units": UNITS,
                              "fee_rate": FEE, "slippage_bps": SLIP_BPS, "window": WINDOW, "episode_length": LENGTH,
                              "bars": len(candles), "test_bars": config["test_bars"]}
    assert loaded["policies"]["buy and hold"]["episode_returns_pct"] == pytest.approx(hand, abs=1e-9)
    # The episodes' bars carry their dates: the first step of episode 0 ends one bar after its first close.
    assert loaded["times"][1] == str(candles.times[test_first + WINDOW].astype("datetime64[D]"))
    assert loaded["mode"] == "episodes" and len(loaded["times"]) == 3 * LENGTH + 1
    assert set(loaded["beats"]) == {"buy and hold", "cash", "random"}
    if written["figure"] is not None:
        assert (tmp_path / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "momentum" in format_table(report)


@requires_node
def test_the_test_range_walked_forward_in_one_pass_against_the_market(tmp_path):
    candles = load_candles(sample_path())
    env = TradingEnv(candles=candles, test_from="2024-01-01", action="target", units=UNITS, fee_rate=FEE,
                     slippage_bps=SLIP_BPS, ui_options={"window": WINDOW, "episode_length": LENGTH, "walk_forward": True})
    try:
        report = evaluate(momentum, env, split="test", name="momentum", risk_free_rate=0.03)
        # Two of the twenty random seeds again, alone: the band is made of these very runs.
        again = {k: play(env, {"episode_type": "test", "walk_forward": True}, baseline("random", env, k))
                 for k in (0, 19)}
    finally:
        env.close()
    test_first, last = candles.bar_of("2024-01-01"), len(candles) - 1
    assert report["mode"] == "walk_forward" and report["episodes"] == 1
    # Every bar of the test range is traded: from its first close to its last, history before it.
    assert report["range"] == {"first_bar": test_first, "last_bar": last, "first_time": "2024-01-01",
                               "last_time": "2024-12-31", "steps": last - test_first}
    assert report["bars"] == list(range(test_first, last + 1))
    assert report["times"] == [str(t) for t in candles.times[test_first:].astype("datetime64[D]")]

    # The market: the close-to-close return of the test range less the fee and slippage both ways.
    closes = candles.values[:, 3]
    slip = SLIP_BPS / 10000
    hand = closes[last] / closes[test_first] * (1 - slip) * (1 - FEE) / ((1 + slip) * (1 + FEE)) - 1
    hold = report["policies"]["buy and hold"]
    assert abs(hold["total_return_pct"] / 100 - hand) < 1e-9
    assert abs(report["market"]["return_after_fees_pct"] / 100 - hand) < 1e-9
    assert report["market"]["close_to_close_pct"] == pytest.approx((closes[last] / closes[test_first] - 1) * 100, abs=1e-9)
    # Bar for bar, the market moves with the closes after its first step.
    np.testing.assert_allclose(hold["returns"][1:-1], closes[test_first + 2:last] / closes[test_first + 1:last - 1] - 1,
                               rtol=1e-12)
    assert (hold["beta"], hold["alpha"]) == pytest.approx((1.0, 0.0), abs=1e-12)

    # The random baseline: the mean of 20 seeds, with their 5th-95th percentile band.
    random = report["policies"]["random"]
    seeds = random["seed_total_returns_pct"]
    assert random["seeds"] == list(range(20)) and len(set(seeds)) == 20
    assert random["total_return_pct"] == pytest.approx(np.mean(seeds), rel=1e-12)
    assert random["band_pct"]["total_return_pct"] == pytest.approx(np.percentile(seeds, [5, 95]).tolist(), rel=1e-12)
    assert seeds[0] == pytest.approx(again[0].summary.return_pct, rel=1e-12)
    assert seeds[19] == pytest.approx(again[19].summary.return_pct, rel=1e-12)
    low, high = random["band_pct"]["total_return_pct"]
    assert low < random["total_return_pct"] < high
    assert report["random_seeds"] == 20 and report["risk_free_rate"] == 0.03

    # The policy's figures on the dated returns, against empyrical with the risk-free rate.
    empyrical = pytest.importorskip("empyrical", reason="empyrical-reloaded is part of the test extra")
    pd = pytest.importorskip("pandas")
    series = returns_series(report)
    assert isinstance(series.index, pd.DatetimeIndex) and len(series) == last - test_first
    assert series.index[0] == pd.Timestamp(candles.times[test_first + 1]) and series.name == "momentum"
    periods = candles.bars_per_year()
    rf = 1.03 ** (1 / periods) - 1
    mine = report["policies"]["momentum"]
    assert mine["sharpe"] == pytest.approx(empyrical.sharpe_ratio(series, risk_free=rf, annualization=periods), rel=1e-9)
    assert mine["calmar"] == pytest.approx(empyrical.calmar_ratio(series, annualization=periods), rel=1e-9)
    market = returns_series(report, "buy and hold")
    assert (mine["alpha"], mine["beta"]) == pytest.approx(
        empyrical.alpha_beta(series, market, risk_free=rf, annualization=periods), rel=1e-9)
    monthly = empyrical.aggregate_returns(series, "monthly")
    assert mine["period_labels"][0] == "2024-01" and len(mine["period_labels"]) == 12
    np.testing.assert_allclose(np.asarray(mine["period_returns_pct"]) / 100, monthly.values, rtol=1e-9)
    assert mine["longest_drawdown_days"] is not None and mine["longest_drawdown_bars"] > 0

    written = write_report(report, tmp_path / "report.json", tmp_path / "report.png")
    rows = (tmp_path / "returns.csv").read_text().splitlines()
    assert written["returns"] == str(tmp_path / "returns.csv")
    assert rows[0] == "time,bar,momentum,buy and hold,cash,random"
    assert len(rows) == last - test_first + 1 and rows[1].startswith(f"2024-01-02,{test_first + 1},")
    assert float(rows[-1].split(",")[3]) == hold["returns"][-1]
    loaded = json.loads((tmp_path / "report.json").read_text())
    assert loaded["policies"]["momentum"]["total_return_pct"] == pytest.approx(mine["total_return_pct"])
    assert loaded["periods_per_year_assumed"] is False
    table = format_table(report)
    assert "walked forward in one pass: 2024-01-01 to 2024-12-31" in table and "percentile" in table


@requires_node
def test_a_wrapped_environment_without_times_under_a_time_limit():
    limit = 40
    env = gym.wrappers.TimeLimit(TradingEnv(ui="node", ui_options={"bars": 600, "window": 8, "episode_length": 50,
                                                                  "walk_forward": True}), max_episode_steps=limit)
    try:
        # Candles that describe themselves (tarnel_rl.data.Candles.describe, where it exists) are named.
        env.unwrapped.candles = types.SimpleNamespace(times=None, bars_per_year=lambda: None,
                                                      describe=lambda: "600 bars, columns close 'c'")
        report = evaluate(lambda observation: 1, env, random_seeds=2)
        env.unwrapped.candles = None
        chained = evaluate(lambda observation: 1, env, mode="episodes", random_seeds=2, baselines=("buy and hold",))
        # The session was ended at the truncated step: nothing is left open for the next reset.
        assert env.unwrapped.last_summary is not None
        for options, message in (({"episode_type": "train"}, "over the held-out ranges"),
                                 ({"episode_type": "test", "episode_index": 0}, "has no episode_index"),
                                 ({"episode_type": "validation"}, "no walk-forward pass over the validation range")):
            with pytest.raises(ValueError, match=message):
                env.reset(options={**options, "walk_forward": True})
        with pytest.raises(ValueError, match="no walk-forward pass over the validation range"):
            evaluate(lambda observation: 1, env, split="validation")
    finally:
        env.close()
    first = report["range"]["first_bar"]
    assert first == 480 and report["range"]["steps"] == limit  # the test range starts at bar 480 (the last 20 %)
    assert report["times"] is None and report["range"]["first_time"] is None
    for figures in report["policies"].values():
        assert figures["episode_steps"] == [limit] and figures["longest_drawdown_days"] is None
    assert report["policies"]["policy"]["period"] == "21 bars"
    assert report["periods_per_year"] == 252.0 and report["periods_per_year_assumed"] is True
    assert "annualised with an assumed 252 bars a year (the candles carry no times)" in format_table(report)
    assert "candles: 600 bars, columns close 'c'" in format_table(report) and chained["candles"] is None
    assert chained["episodes"] == 2 and chained["policies"]["policy"]["episode_steps"] == [limit, limit]
    # The market over the bars played: close to close of the 41 closes, less the page's default fee.
    market = report["market"]
    fee = market["fee_rate"]
    assert market["return_after_fees_pct"] / 100 == pytest.approx(
        market["last_close"] / market["first_close"] * (1 - fee) / (1 + fee) - 1, abs=1e-12)
    pd = pytest.importorskip("pandas")
    series = returns_series(report, "buy and hold")
    assert series.index.name == "bar" and list(series.index[:2]) == [first + 1, first + 2]
    assert isinstance(returns_series(report).index, pd.Index)


def test_without_matplotlib_one_line_says_how_to_get_the_figure(tmp_path, monkeypatch, capsys):
    import builtins

    real_import = builtins.__import__

    def no_matplotlib(name, *args, **kwargs):
        if name.startswith("matplotlib"):
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_matplotlib)
    report = {"policies": {}, "policy": "p", "bars": [0, 1], "times": None}
    written = write_report(report, None, tmp_path / "report.png")
    assert written["figure"] is None and not (tmp_path / "report.png").exists()
    assert capsys.readouterr().out.strip() == "tarnel_rl: no figure: matplotlib is missing (pip install matplotlib)"


@requires_node
def test_the_command_line_writes_the_report(tmp_path):
    out = tmp_path / "r.json"
    result = subprocess.run(
        [sys.executable, "-m", "tarnel_rl.evaluate", "--test-from", "2024-01-01", "--policy", "buy-and-hold",
         "--window", "16", "--episode-length", "100", "--fee-rate", "0.001", "--random-seeds", "3",
         "--json", str(out), "--figure", ""],
        capture_output=True, text=True, timeout=120, cwd=tmp_path, env={"PYTHONPATH": str(PYTHON_DIR), "PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr
    report = json.loads(out.read_text())
    mine, hold = report["policies"]["policy: buy-and-hold"], report["policies"]["buy and hold"]
    assert report["mode"] == "walk_forward" and report["episodes"] == 1
    assert report["policies"]["random"]["seeds"] == [0, 1, 2]
    # Ten whole units at about 60 hold a sliver of the balance (about 6 %); the market holds all of it.
    assert 0.04 < mine["beta"] < 0.08 and hold["beta"] == pytest.approx(1.0)
    assert report["range"]["first_time"] == "2024-01-01" and (tmp_path / "returns.csv").exists()
    assert "total_return_pct" in result.stdout and "market: close" in result.stdout


class Model:
    """What evaluate asks of a Stable-Baselines3 model."""

    def predict(self, observation, deterministic=False):
        assert deterministic
        return np.array(2), None


def test_every_kind_of_policy_becomes_a_function():
    observation = np.zeros(18)
    assert as_policy(Model())(observation) == 2
    agent = LinearSoftmaxPolicy(18, 4, seed=0)
    agent.weights[:] = 0
    agent.weights[3, -1] = 5.0  # the bias favours action 3: the greedy choice
    assert as_policy(agent)(observation) == 3
    assert as_policy(lambda o: 1)(observation) == 1
    with pytest.raises(TypeError, match="a policy is"):
        as_policy(42)


def test_a_policy_named_as_a_baseline_is_refused():
    class Env:
        unwrapped = None

    env = Env()
    env.unwrapped = type("Base", (), {"config": {"test_episodes": 1}, "candles": None})()
    with pytest.raises(ValueError, match="is a baseline's"):
        evaluate(lambda o: 0, env, name="cash")
    with pytest.raises(ValueError, match="split must be"):
        evaluate(lambda o: 0, env, split="train")
    for kwargs, message in (({"mode": "chained"}, "mode must be"), ({"random_seeds": 0}, "random_seeds must be"),
                            ({"risk_free_rate": float("nan")}, "risk_free_rate must be"),
                            ({"baselines": ("market",)}, "unknown baselines 'market'")):
        with pytest.raises(ValueError, match=message):
            evaluate(lambda o: 0, env, **kwargs)
    # A page made without the walk-forward passes: the report says how to make one.
    with pytest.raises(ValueError, match=r"ui_options=\{'walk_forward': True\}, or evaluate with mode='episodes'"):
        evaluate(lambda o: 0, env)
    assert checked_options({"walk_forward": True, "window": 8}) == {"walk_forward": 1, "window": 8}
    assert checked_options({"walk_forward": np.int64(0)}) == {"walk_forward": 0}
    with pytest.raises(ValueError, match=r"ui_options\['walk_forward'\] must be 0, 1, True or False, got 'yes'"):
        checked_options({"walk_forward": "yes"})
    assert not math.isnan(DifferentialSharpe().eta)


def test_the_report_imports_neither_pandas_nor_matplotlib_until_asked():
    code = ("import sys, tarnel_rl.evaluate, tarnel_rl.baselines, tarnel_rl.report_figure; "
            "print(sorted(m for m in ('pandas', 'matplotlib') if m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                            env={"PYTHONPATH": str(PYTHON_DIR), "PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
