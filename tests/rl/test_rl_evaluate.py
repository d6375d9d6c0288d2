"""The whole path on the shipped sample, training nothing: load it, split it by date, trade a target
exposure with a fee and slippage under the differential-Sharpe reward, evaluate a scripted policy beside
the baselines, and write the report; its numbers checked by hand (buy-and-hold, cash, the fees against
the traded value) and against empyrical (the risk figures), and the command line."""
import json
import math
import subprocess
import sys

import numpy as np
import pytest

from rl_support import PYTHON_DIR, requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.agent import LinearSoftmaxPolicy  # noqa: E402
from tarnel_rl.data import load_candles, sample_path  # noqa: E402
from tarnel_rl.evaluate import as_policy, evaluate, format_table, write_report  # noqa: E402
from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.rewards import DifferentialSharpe  # noqa: E402

WINDOW, LENGTH, UNITS, FEE, SLIP_BPS = 16, 50, 100, 0.0005, 5.0


def momentum(observation):
    """Long after a rising bar, half short after a falling one (the features' last log return)."""
    return np.array([1.0 if observation[15] > 0 else -0.5], dtype=np.float32)


@requires_node
def test_the_sample_split_by_date_traded_and_reported(tmp_path):
    candles = load_candles(sample_path())
    env = TradingEnv(candles=candles, test_from="2024-01-01", validation_from="2023-07-01", action="target",
                     reward="dsr", units=UNITS, fee_rate=FEE, slippage_bps=SLIP_BPS,
                     ui_options={"window": WINDOW, "episode_length": LENGTH})
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

        report = evaluate(momentum, env, split="test", name="momentum")
    finally:
        env.close()

    closes = candles.values[:, 3]
    span = WINDOW + LENGTH
    slip = SLIP_BPS / 10000
    # Buy and hold at exposure 1: UNITS bought at the first step's close, sold by the session at the last.
    hand = []
    for i in range(3):
        first = test_first + i * span + WINDOW - 1
        buy, sell = closes[first] * (1 + slip), closes[first + LENGTH] * (1 - slip)
        hand.append((UNITS * (sell - buy) - FEE * UNITS * (buy + sell)) / 10000 * 100)
    hold = report["policies"]["buy and hold"]
    np.testing.assert_allclose(hold["episode_returns_pct"], hand, atol=1e-9)
    assert (hold["trades"], hold["win_rate"]) == (3, sum(h > 0 for h in hand) / 3)
    cash = report["policies"]["cash"]
    assert (cash["total_return_pct"], cash["trades"], cash["fees_paid"], cash["turnover"]) == (0.0, 0, 0.0, 0.0)

    empyrical = pytest.importorskip("empyrical", reason="empyrical-reloaded is part of the test extra")
    periods = candles.bars_per_year()
    assert report["periods_per_year"] == pytest.approx(periods)
    for name in ("momentum", "buy and hold", "random"):
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
    assert report["policies"]["momentum"]["trades"] > 10  # it did trade

    written = write_report(report, tmp_path / "report.json", tmp_path / "report.png")
    loaded = json.loads((tmp_path / "report.json").read_text())
    assert loaded["task"] == {"action": "target", "reward": "dsr", "observation": "features", "units": UNITS,
                              "fee_rate": FEE, "slippage_bps": SLIP_BPS, "window": WINDOW, "episode_length": LENGTH,
                              "bars": len(candles), "test_bars": config["test_bars"]}
    assert loaded["policies"]["buy and hold"]["episode_returns_pct"] == pytest.approx(hand, abs=1e-9)
    assert set(loaded["beats"]) == {"buy and hold", "cash", "random"}
    if written["figure"] is not None:
        assert (tmp_path / "report.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "momentum" in format_table(report)


@requires_node
def test_the_command_line_writes_the_report(tmp_path):
    out = tmp_path / "r.json"
    result = subprocess.run(
        [sys.executable, "-m", "tarnel_rl.evaluate", "--test-from", "2024-01-01", "--policy", "buy-and-hold",
         "--window", "16", "--episode-length", "100", "--fee-rate", "0.001", "--json", str(out), "--figure", ""],
        capture_output=True, text=True, timeout=120, cwd=tmp_path, env={"PYTHONPATH": str(PYTHON_DIR), "PATH": "/usr/bin:/bin"})
    assert result.returncode == 0, result.stderr
    report = json.loads(out.read_text())
    mine, hold = report["policies"]["policy: buy-and-hold"], report["policies"]["buy and hold"]
    assert report["episodes"] == 2 and mine["episode_returns_pct"] == hold["episode_returns_pct"]
    assert "total_return_pct" in result.stdout


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
    assert not math.isnan(DifferentialSharpe().eta)
