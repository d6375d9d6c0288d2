"""The differential Sharpe reward's warm-up and bound: a jump early in an episode, and every step of the
shipped sample and of the synthetic series under several position patterns, against the moments computed
here on their own."""
import math

import numpy as np
import pytest

from rl_support import requires_node

from tarnel_rl.data import load_candles, sample_path
from tarnel_rl.rewards import DifferentialSharpe

MAX_Z, MIN_STD = 10.0, 1e-4
SHARPE_AT_MOST = 1.5


def paid(reward, equity):
    reward.reset(equity[0])
    return np.array([reward.step(a, b) for a, b in zip(equity, equity[1:])])


def moments_before_each_step(returns, eta, warmup):
    """A and B before each step: plain means over the warm-up, then the moving averages."""
    a = b = 0.0
    out = []
    for n, r in enumerate(returns):
        out.append((a, b))
        rate = 1.0 / (n + 1) if n < warmup else eta
        a, b = a + rate * (r - a), b + rate * (r * r - b)
    return np.array(out)


def check_bounded(equity, eta=0.01, warmup=10):
    rewards = paid(DifferentialSharpe(eta, warmup=warmup), equity)
    returns = np.diff(equity) / equity[:-1]
    ab = moments_before_each_step(returns, eta, warmup)
    a, b = ab[:, 0], ab[:, 1]
    sigma = np.sqrt(np.maximum(b - a * a, MIN_STD ** 2))
    sharpe = a / sigma
    assert np.all(rewards[:warmup] == 0)
    # the bound of the docstring: the distance from the running mean in standard deviations, times a
    # factor of the running Sharpe ratio of one step, which stays near 1 or under on these series (10
    # rising days in a row make it 1.07 at the end of the warm-up)
    assert np.abs(sharpe[warmup:]).max() < SHARPE_AT_MOST
    bound = np.abs(returns - a) / sigma * (1 + np.abs(sharpe) * MAX_Z / 2) + np.abs(sharpe) / 2
    assert np.all(np.abs(rewards) <= bound * (1 + 1e-12) + 1e-12)
    multiple = (1 + SHARPE_AT_MOST * MAX_Z / 2) / MIN_STD
    assert np.all(np.abs(rewards) <= multiple * np.abs(returns - a) + SHARPE_AT_MOST / 2)
    # and where no clip acts, it is Moody and Saffell's formula
    z = (returns - a) / sigma
    free = (np.arange(len(returns)) >= warmup) & (np.abs(z) <= MAX_Z) & (b - a * a > MIN_STD ** 2)
    with np.errstate(divide="ignore", invalid="ignore"):
        formula = (b * (returns - a) - 0.5 * a * (returns ** 2 - b)) / (b - a * a) ** 1.5
    np.testing.assert_allclose(rewards[free], formula[free], rtol=1e-9, atol=1e-12)
    return rewards


@pytest.mark.parametrize("warmup", [0, 1, 2])
def test_a_jump_after_a_tiny_first_step_pays_a_bounded_reward(warmup):
    equity = [10000.0, 10001.0, 10001.0 * 1.0849, 10001.0 * 1.0849 * 0.99]  # +0.01 %, then +8.49 %
    rewards = paid(DifferentialSharpe(warmup=warmup), equity)
    # the recursion from 0 paid -3,649,399 for the second step; now |D| <= max_z + |S| (1 + max_z^2) / 2,
    # with |S| <= 1 here (A is at most one of the returns seen, sigma at least the floor or their spread)
    assert np.all(np.abs(rewards) <= MAX_Z + (1 + MAX_Z ** 2) / 2), rewards
    assert rewards[:warmup].tolist() == [0.0] * warmup
    old = paid(DifferentialSharpe(warmup=0, min_std=0, max_z=math.inf), equity)
    assert old[1] < -3e6  # the fault the warm-up, floor and clip mend


def positions(kind, count, rng):
    return {"long": np.ones(count), "random": rng.choice([-1.0, 0.0, 1.0], count),
            "rare": (rng.random(count) < 0.05).astype(float),  # flat most of the time: sigma at its floor
            "flips": np.where(np.arange(count) % 7 < 3, 1.0, -1.0)}[kind]


@pytest.mark.parametrize("kind", ["long", "random", "rare", "flips"])
def test_every_step_of_the_sample_pays_a_bounded_multiple_of_its_return(kind):
    closes = load_candles(sample_path()).values[:, 3]
    held = positions(kind, len(closes) - 1, np.random.default_rng(7))
    equity = 10000.0 + np.concatenate([[0.0], np.cumsum(held * 10 * np.diff(closes))])
    for start in range(0, len(equity) - 256, 256):  # one episode of 256 steps after another
        check_bounded(equity[start:start + 257])


@requires_node
def test_every_step_of_the_synthetic_series_pays_a_bounded_multiple_of_its_return():
    gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
    del gym
    from tarnel_rl.gym_env import TradingEnv

    env = TradingEnv(ui="node", reward="pct", ui_options={"episode_length": 200, "series": "regime"})
    rng = np.random.default_rng(3)
    try:
        for index in range(2):
            env.reset(options={"episode_type": "train", "episode_index": index})
            equity = [10000.0]
            for action in rng.choice(4, 200):
                *_, info = env.step(int(action))
                equity.append(info["equity"])
            check_bounded(np.array(equity))
    finally:
        env.close()


@pytest.mark.parametrize("argument, value", [("eta", 0), ("eta", 1.5), ("warmup", -1), ("warmup", 2.5),
                                             ("min_std", -1e-4), ("min_std", math.nan), ("max_z", 0)])
def test_bad_arguments_are_refused_by_name(argument, value):
    with pytest.raises(ValueError, match=argument):
        DifferentialSharpe(**{argument: value})
