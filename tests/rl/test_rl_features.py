"""The trader's own features: the standard ones against hand computations, none reading a bar ahead, the
observation carrying the candles' feature columns of the current bar (never a later one), the Gaussian
agent for target exposures, and `python -m tarnel_rl.train` end to end on the sample."""
import json
import math
import subprocess
import sys

import numpy as np
import pytest

from rl_support import PYTHON_DIR, requires_node
from tarnel_rl import features as F
from tarnel_rl.agent import LinearGaussianPolicy
from tarnel_rl.data import Candles, load_candles, sample_path

CLOSES = np.array([100.0, 102.0, 101.0, 105.0, 104.0, 104.0, 108.0, 103.0, 107.0, 110.0])


def hand_volatility(closes, window):
    out = []
    for t in range(len(closes)):
        returns = [math.log(closes[i] / closes[i - 1]) for i in range(max(1, t - window + 1), t + 1)]
        if len(returns) < 2:
            out.append(0.0)
            continue
        mean = sum(returns) / len(returns)
        out.append(math.sqrt(sum((r - mean) ** 2 for r in returns) / (len(returns) - 1)))
    return out


def hand_rsi(closes, period):
    changes = [closes[i] - closes[i - 1] for i in range(1, len(closes))]
    out = [50.0] * len(closes)
    gain = loss = None
    for t in range(period, len(closes)):
        if gain is None:
            gain = sum(max(c, 0) for c in changes[:period]) / period
            loss = sum(max(-c, 0) for c in changes[:period]) / period
        else:
            gain = (gain * (period - 1) + max(changes[t - 1], 0)) / period
            loss = (loss * (period - 1) + max(-changes[t - 1], 0)) / period
        out[t] = 100.0 if loss == 0 else 100 - 100 / (1 + gain / loss)
    return out


def hand_gap(closes, window):
    return [closes[t] / np.mean(closes[max(0, t - window + 1):t + 1]) - 1 for t in range(len(closes))]


@pytest.mark.parametrize("compute, hand", [
    (lambda c: F.log_returns(c), lambda c: [0.0] + [math.log(c[i] / c[i - 1]) for i in range(1, len(c))]),
    (lambda c: F.rolling_volatility(c, 4), lambda c: hand_volatility(c, 4)),
    (lambda c: F.rsi(c, 3), lambda c: hand_rsi(c, 3)),
    (lambda c: F.moving_average_gap(c, 3), lambda c: hand_gap(c, 3)),
], ids=["log_returns", "volatility", "rsi", "ma_gap"])
def test_standard_features_match_the_hand_computation_and_never_read_ahead(compute, hand):
    np.testing.assert_allclose(compute(CLOSES), hand(list(CLOSES)), rtol=1e-12, atol=1e-12)
    sample = load_candles(sample_path()).values
    whole = compute(sample[:, 3])
    for cut in (1, 2, 5, 40, 300):  # a prefix of the series gives the same values on its bars
        np.testing.assert_array_equal(compute(sample[:cut, 3]), whole[:cut])


def test_rsi_of_a_known_series_and_the_bad_inputs():
    # Two rises of 1 and one fall of 1 over period 3: avg gain 2/3, avg loss 1/3, RS 2, RSI 66.67.
    assert F.rsi(np.array([10.0, 11.0, 12.0, 11.0]), 3)[3] == pytest.approx(100 - 100 / 3)
    assert F.rsi(np.full(6, 5.0), 3)[-1] == 50.0  # no change at all: no view
    with pytest.raises(ValueError, match="window must be an integer >= 2"):
        F.rolling_volatility(CLOSES, 1)
    with pytest.raises(ValueError, match="finite closes > 0"):
        F.log_returns(np.array([1.0, -2.0]))


def test_with_features_names_checks_and_appends_columns():
    candles = Candles(np.column_stack([CLOSES] * 4 + [np.ones(len(CLOSES))]))
    more = F.with_features(candles, {"a": np.arange(10.0)})
    more = F.with_features(more, {"feature_b": np.ones(10)})
    assert more.feature_names == ("feature_a", "feature_b")
    np.testing.assert_array_equal(more.features[:, 0], np.arange(10.0))
    with pytest.raises(ValueError, match="feature 'c' row 2: a value is not finite"):
        F.with_features(candles, {"c": [0, 1, np.nan] + [0] * 7})
    with pytest.raises(ValueError, match="has shape"):
        F.with_features(candles, {"c": np.ones(3)})


@requires_node
def test_the_observation_carries_the_current_bars_feature_columns_and_never_a_later_one():
    pytest.importorskip("gymnasium")
    from tarnel_rl.gym_env import TradingEnv
    from tarnel_rl.observations import WithFeatureColumns

    candles = load_candles(sample_path())
    # The feature of each bar is its own index: an observation that read ahead would show a larger one.
    candles = F.with_features(candles, {"bar": np.arange(len(candles), dtype=np.float64),
                                        "twice": 2.0 * np.arange(len(candles))})
    env = TradingEnv(candles=candles, observation=WithFeatureColumns(window=3),
                     ui_options={"window": 8, "episode_length": 12})
    try:
        assert env.observation_space.shape == (18 + 3 * 2,)
        observation, info = env.reset(seed=1)
        for _ in range(12):
            bar = int(info["snapshot"][1])
            expected = np.array([[b, 2 * b] for b in range(bar - 2, bar + 1)], dtype=np.float64).ravel()
            np.testing.assert_array_equal(observation[18:], expected)
            assert env.observation_space.contains(observation)
            observation, _, terminated, _, info = env.step(env.action_space.sample())
            if terminated:
                break
    finally:
        env.close()


def test_the_gaussian_agent_moves_its_mean_toward_the_rewarded_exposure():
    agent = LinearGaussianPolicy(observation_size=2, seed=3, learning_rate=0.05)
    observation = np.array([1.0, -1.0])
    for _ in range(150):  # a one-step bandit: the reward is highest at an exposure of 0.6
        for _ in range(8):
            action = agent.act(observation)
            assert action.dtype == np.float32 and action.shape == (1,) and -1 <= action[0] <= 1
            agent.record(observation, agent.last_draw, -(agent.last_draw - 0.6) ** 2)
        agent.learn()
    assert agent.mean(observation) == pytest.approx(0.6, abs=0.15)
    assert agent.act(observation, greedy=True)[0] == pytest.approx(agent.mean(observation), abs=1e-6)


@requires_node
@pytest.mark.slow
def test_train_on_the_sample_with_target_actions_and_features_writes_the_policy_and_a_dated_report(tmp_path):
    out = tmp_path / "run"
    done = subprocess.run(
        [sys.executable, "-m", "tarnel_rl.train", "--test-from", "2024-01-01", "--out", str(out), "--episodes", "4",
         "--action", "target", "--reward", "dsr", "--features", "standard", "--window", "8", "--episode-length", "16",
         "--sizing", "equity", "--leverage", "2", "--spread-bps", "4", "--borrow-rate", "0.03"],
        capture_output=True, text=True, timeout=300, env={"PYTHONPATH": str(PYTHON_DIR), "PATH": "/usr/bin:/bin"})
    assert done.returncode == 0, done.stderr
    assert "[train] episode 4/4" in done.stdout
    report = json.loads((out / "report.json").read_text())
    assert "agent" in report["policies"] and "total_return_pct" in report["policies"]["agent"]
    times = report["times"]  # the walk-forward pass over the test range, bar by bar with its date
    assert times[0].startswith("2024-01-0") and times[-1].startswith("2024-12-")
    assert (out / "returns.csv").read_text().splitlines()[1].startswith("2024-01-0")
    from tarnel_rl.train import load_agent
    agent = load_agent(out / "policy.npz")
    assert isinstance(agent, LinearGaussianPolicy) and len(agent.weights) == 18 + 4 + 1


@requires_node
def test_several_markets_each_reset_plays_the_one_drawn_or_asked_on_its_own_candles():
    pytest.importorskip("gymnasium")
    from tarnel_rl.gym_env import TradingEnv

    sample = load_candles(sample_path())
    doubled = Candles(sample.values * np.array([2, 2, 2, 2, 1]), sample.times)  # the same days, other prices
    env = TradingEnv(candles={"one": sample, "two": doubled}, test_from="2024-01-01",
                     ui_options={"window": 8, "episode_length": 10})
    try:
        seen = set()
        for seed in range(12):
            _, info = env.reset(seed=seed)
            market = info["market"]
            seen.add(market)
            closes = (sample if market == "one" else doubled).values[:, 3]
            assert info["snapshot"][2] == closes[int(info["snapshot"][1])]  # the page holds that market's bars
            *_, info = env.step(0)
            assert info["market"] == market
        assert seen == {"one", "two"}
        _, info = env.reset(options={"market": "two", "episode_type": "test", "episode_index": 0})
        assert info["market"] == "two" and info["snapshot"][2] == doubled.values[int(info["snapshot"][1]), 3]
        with pytest.raises(ValueError, match="unknown market 'three'"):
            env.reset(options={"market": "three"})
    finally:
        env.close()


@pytest.mark.parametrize("markets, message", [
    (lambda s: [s, Candles(s.values[:-30], s.times[:-30])], "the markets differ in their split"),
    (lambda s: {"a": s, "b": F.with_features(s, {"x": np.zeros(len(s))})}, "the same feature columns"),
])
def test_markets_that_cannot_share_one_layout_are_refused(markets, message):
    pytest.importorskip("gymnasium")
    from tarnel_rl.gym_env import TradingEnv

    with pytest.raises(ValueError, match=message):
        TradingEnv(candles=markets(load_candles(sample_path())), test_from="2024-01-01", _defer_open=True)
