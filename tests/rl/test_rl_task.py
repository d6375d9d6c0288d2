"""The trading task under the trainer's control, on the real module and the Node.js user interface: fee
rate and slippage, the target-exposure action, the log and differential-Sharpe rewards, an observation
function of one's own, the validation range and train episodes from any bar, the named summary, and the
environment's defaults giving the returns they gave before any of this existed. Every scripted episode
is checked against numbers worked out by hand in the test."""
import math

import numpy as np
import pytest

from rl_support import requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
from gymnasium import spaces  # noqa: E402

from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.observations import ObservationFunction  # noqa: E402
from tarnel_rl.rewards import DifferentialSharpe  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT  # noqa: E402

pytestmark = requires_node

# Flat bars (open = high = low = close) so that every fill is at a close worked out below. With a window
# of 2 and a test share of one half, the one train episode covers bars 0-5: its cursor starts on bar 1
# (close 100) and its four steps end on bars 2 (110), 3 (99), 4 (105) and 5 (100).
CLOSES = [100, 100, 110, 99, 105, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100]
CANDLES = np.array([[c, c, c, c, 1000.0] for c in CLOSES])
SMALL = {"window": 2, "episode_length": 4}
FEE, SLIP = 0.001, 0.001  # 10 basis points


def hand_equity_path():
    """Equity after each step of the target script [0.5, 1.0, -0.2, -0.26] x 10 units with a fee of 0.1 %
    and a slippage of 10 bps, and the final equity once the session closed, with its trade count."""
    buy = lambda p: p * (1 + SLIP)  # noqa: E731
    sell = lambda p: p * (1 - SLIP)  # noqa: E731
    fee = lambda p, u: FEE * p * u  # noqa: E731
    balance = 10000.0
    # step 1 on bar 1 (100): buy 5 -> bar 2 (110)
    e1 = buy(100)
    balance -= fee(e1, 5)
    equity1 = balance + 5 * (110 - e1)
    # step 2 on bar 2 (110): buy 5 more -> bar 3 (99)
    e2 = buy(110)
    balance -= fee(e2, 5)
    equity2 = balance + 5 * (99 - e1) + 5 * (99 - e2)
    # step 3 on bar 3 (99): target -2: close both longs, sell 2 -> bar 4 (105)
    x = sell(99)
    balance += 5 * (x - e1) + 5 * (x - e2) - fee(x, 10)
    s1 = sell(99)
    balance -= fee(s1, 2)
    equity3 = balance - 2 * (105 - s1)
    # step 4 on bar 4 (105): target round(-2.6) = -3: sell 1 more -> bar 5 (100), the last
    s2 = sell(105)
    balance -= fee(s2, 1)
    equity4 = balance - 2 * (100 - s1) - 1 * (100 - s2)
    # the session closes both shorts at 100, buying back at 100.1
    y = buy(100)
    final = balance - 2 * (y - s1) - 1 * (y - s2) - fee(y, 3)
    return [10000.0, equity1, equity2, equity3, equity4], final, 4


@pytest.fixture
def make_env():
    made = []

    def make(**kwargs):
        env = TradingEnv(ui="node", candles=CANDLES, ui_options=SMALL, test_share=0.5, **kwargs)
        made.append(env)
        return env

    yield make
    for env in made:
        env.close()


def run_targets(env, exposures):
    env.reset(options={"episode_type": "train", "episode_index": 0})
    rewards, infos, observations = [], [], []
    for exposure in exposures:
        observation, reward, terminated, truncated, info = env.step(np.array([exposure], dtype=np.float32))
        rewards.append(reward)
        infos.append(info)
        observations.append(observation)
    assert terminated and not truncated
    return rewards, infos, observations


def test_target_exposure_with_fee_and_slippage_gives_the_hand_computed_equity(make_env):
    env = make_env(action="target", fee_rate=FEE, slippage_bps=10, units=10)
    assert env.action_space == spaces.Box(-1.0, 1.0, shape=(1,), dtype=np.float32)
    assert (env.config["fee_rate"], env.config["slippage_bps"]) == (FEE, 10)
    rewards, infos, _ = run_targets(env, [0.5, 1.0, -0.2, -0.26])
    path, final, trades = hand_equity_path()
    np.testing.assert_allclose([i["equity"] for i in infos], path[1:], rtol=0, atol=1e-9)
    np.testing.assert_allclose([i["snapshot"][10] for i in infos], [5, 10, -2, -3], atol=1e-9)  # net units
    record = infos[-1]["episode_summary"]
    assert record.final_equity == pytest.approx(final, abs=1e-9)
    assert record.return_pct == pytest.approx((final / 10000 - 1) * 100, abs=1e-12)
    assert (record.trades, record.fee_rate, record.slippage_bps) == (trades, FEE, 10.0)
    assert record.fees == pytest.approx(infos[-1]["summary"][5])
    # pct rewards: each step's equity change, the last with the closing; they add up to the return in percent.
    expected = np.diff(path[:-1] + [final]) / 100.0
    np.testing.assert_allclose(rewards, expected, atol=1e-12)
    assert sum(rewards) == pytest.approx(record.return_pct, abs=1e-12)


def test_a_target_equal_to_the_position_trades_nothing_and_shrinking_reduces_the_newest_first(make_env):
    env = make_env(action="target", fee_rate=0.0, units=10)
    env.reset(options={"episode_type": "train", "episode_index": 0})
    env.step(np.array([0.3], dtype=np.float32))  # buy 3 at 100
    calls = env.engine_calls
    env.step(np.array([0.34], dtype=np.float32))  # round(3.4) = 3: nothing to trade
    assert env.engine_calls == calls + 1  # step_and_sync alone
    env.step(np.array([0.7], dtype=np.float32))  # buy 4 more at 99 (bar 3)
    _, _, _, _, info = env.step(np.array([0.2], dtype=np.float32))  # 7 -> 2 on bar 4 (105): close 4, reduce 3 by 1
    assert info["snapshot"][10] == pytest.approx(2)
    # realised: 4 x (105 - 99) + 1 x (105 - 100) = 29; left open: 2 at 100
    assert info["snapshot"][6] == pytest.approx(29)
    assert info["summary"][2] == pytest.approx(10000 + 29 + 2 * (100 - 100))


@pytest.mark.parametrize("bad", [np.array([np.nan], dtype=np.float32), np.zeros(2, dtype=np.float32), "long"])
def test_bad_target_actions_are_refused(make_env, bad):
    env = make_env(action="target")
    env.reset(options={"episode_type": "train", "episode_index": 0})
    with pytest.raises(ValueError, match="one finite target exposure"):
        env.step(bad)


def test_log_rewards_add_up_to_the_log_return(make_env):
    env = make_env(action="target", fee_rate=FEE, slippage_bps=10, reward="log")
    rewards, infos, _ = run_targets(env, [0.5, 1.0, -0.2, -0.26])
    path, final, _ = hand_equity_path()
    steps = path[:-1] + [final]
    np.testing.assert_allclose(rewards, [100 * math.log(b / a) for a, b in zip(steps, steps[1:])], atol=1e-12)
    assert sum(rewards) == pytest.approx(100 * math.log(final / 10000), abs=1e-12)


def test_differential_sharpe_rewards_follow_the_hand_computed_recursion(make_env):
    eta = 0.1
    # Without warm-up, floor or clip: the plain recursion from A = B = 0 (tests/rl/test_rl_rewards.py has the rest)
    env = make_env(action="target", fee_rate=FEE, slippage_bps=10,
                   reward=DifferentialSharpe(eta, warmup=0, min_std=0, max_z=math.inf))
    rewards, _, _ = run_targets(env, [0.5, 1.0, -0.2, -0.26])
    path, final, _ = hand_equity_path()
    r1, r2, r3 = path[1] / path[0] - 1, path[2] / path[1] - 1, path[3] / path[2] - 1
    r4 = final / path[3] - 1  # the last step and the closing are one period
    a1, b1 = eta * r1, eta * r1 ** 2
    a2, b2 = a1 + eta * (r2 - a1), b1 + eta * (r2 ** 2 - b1)
    a3, b3 = a2 + eta * (r3 - a2), b2 + eta * (r3 ** 2 - b2)
    d = lambda a, b, r: (b * (r - a) - 0.5 * a * (r * r - b)) / (b - a * a) ** 1.5  # noqa: E731
    expected = [0.0, d(a1, b1, r2), d(a2, b2, r3), d(a3, b3, r4)]
    np.testing.assert_allclose(rewards, expected, rtol=1e-9, atol=1e-12)
    assert rewards[1] < 0 < rewards[3]  # a loss after a gain lowers the Sharpe ratio; the last gain raises it


def test_an_observation_function_declares_its_space_and_sees_the_window_and_the_account(make_env):
    def last_close_and_units(window, snapshot):
        return [window[-1, 3], snapshot[10], len(window)]

    space = spaces.Box(-np.inf, np.inf, shape=(3,), dtype=np.float32)
    env = make_env(observation=ObservationFunction(last_close_and_units, space), fee_rate=0.0)
    assert env.observation_space == space
    observation, _ = env.reset(options={"episode_type": "train", "episode_index": 0})
    assert observation.dtype == np.float32 and observation.tolist() == [100, 0, 2]
    seen = [env.step(action)[0].tolist() for action in (LONG, HOLD, SHORT, FLAT)]
    assert seen == [[110, 10, 2], [99, 10, 2], [105, -10, 2], [100, 0, 2]]


def test_the_api_checker_passes_with_target_actions_and_the_differential_sharpe_reward():
    from gymnasium.utils.env_checker import check_env

    env = TradingEnv(ui="node", action="target", reward="dsr", ui_options={"episode_length": 20})
    try:
        check_env(env, skip_render_check=True)
    finally:
        env.close()


def test_discrete_actions_with_slippage(make_env):
    env = make_env(fee_rate=0.0, slippage_bps=100)  # 1 %
    env.reset(options={"episode_type": "train", "episode_index": 0})
    rewards = [env.step(a)[1] for a in (LONG, HOLD, SHORT)]
    _, reward, terminated, _, info = env.step(HOLD)
    # long 10 at 101 (bar 1), flipped on bar 3 (99): sold at 98.01, short 10 at 98.01, bought back on bar 5 at 101
    assert rewards == pytest.approx([10 * (110 - 101) / 100, 10 * (99 - 110) / 100, -10 * (105 - 98.01) / 100 - 10 * (99 - 98.01) / 100])
    final = 10000 + 10 * (98.01 - 101) - 10 * (101 - 98.01)
    assert info["summary"][2] == pytest.approx(final) and terminated
    assert sum(rewards) + reward == pytest.approx((final / 10000 - 1) * 100)


def test_validation_episodes_lie_between_train_and_test_and_train_episodes_start_anywhere():
    env = TradingEnv(ui="node", ui_options={"window": 8, "episode_length": 20, "bars": 400}, test_share=0.25,
                     validation_share=0.15, train_starts="any")
    try:
        c = env.config
        assert (c["train_bars"], c["validation_bars"], c["test_bars"]) == ([0, 240], [240, 60], [300, 100])
        assert (c["train_episodes"], c["validation_episodes"], c["test_episodes"]) == (240 - 28 + 1, 2, 3)
        starts = set()
        for seed in range(40):
            _, info = env.reset(seed=seed)
            starts.add(int(info["snapshot"][1]))
            assert info["episode_type"] == "train" and info["snapshot"][1] + 20 <= 239
        assert len(starts) > 30  # drawn from 213 starts, not from a grid of 8
        _, again = env.reset(seed=7)
        _, first = env.reset(seed=7)
        assert again["episode_index"] == first["episode_index"]  # seeded
        for index, bar in ((0, 240 + 7), (1, 268 + 7)):
            _, info = env.reset(options={"episode_type": "validation", "episode_index": index})
            assert (info["episode_type"], info["episode_index"], info["snapshot"][1]) == ("validation", index, bar)
            *_, info = env.step(HOLD)
        _, info = env.reset(options={"episode_type": "test", "episode_index": 0})
        assert info["snapshot"][1] == 300 + 7
        with pytest.raises(ValueError, match="validation episode index 2 out of range"):
            env.reset(options={"episode_type": "validation", "episode_index": 2})
    finally:
        env.close()


@pytest.mark.parametrize("kwargs, message", [
    ({"fee_rate": -0.1}, "fee_rate must be a finite number >= 0"),
    ({"slippage_bps": float("nan")}, "slippage_bps must be a finite number"),
    ({"slippage_bps": 10000}, "slippage_bps must be below 10000"),
    ({"train_starts": "random"}, "train_starts must be"),
    ({"action": "box"}, "action must be 'discrete' or 'target'"),
    ({"reward": "sharpe"}, "reward must be one of"),
    ({"observation": "pixels"}, "observation must be"),
    ({"fee_rate": 0.001, "ui_options": {"fee_rate": 0.002}}, "given both"),
    ({"test_from": "2024-01-01"}, "test_from needs candles with times"),
    ({"candles": [[100, 99, 100, 100, 0], [100, 100, 100, 100, 0]]}, r"candles row 0: high 99 is below max\(open, close\) 100"),
    ({"candles": [[1, 2, 1, 1, 0], [1, 2, 1, float("nan"), 0]]}, "candles row 1: a value is not finite"),
])
def test_bad_task_arguments_are_refused_before_anything_starts(kwargs, message):
    with pytest.raises(ValueError, match=message):
        TradingEnv(ui=None, port=1, **kwargs)


# Recorded on the code before the task options existed: three episodes drawn by seeded resets, played
# with seeded random discrete actions (numpy default_rng(seed).integers(4)), the summary's return and
# the sum of the rewards; then test episode 1 after the actions 1, 0, 2, 3, 1, its equity.
RECORDED = {
    3: ([(10, -0.004337372645228266, -0.4337372645228242), (9, -0.01289539942088469, -1.2895399420884681),
         (8, 0.00649122407144942, 0.6491224071449507)], 9993.827466889245),
    11: ([(1, -0.012435125845933759, -1.2435125845933723), (7, -0.003932900448347598, -0.3932900448347574),
          (11, -0.009739826923011452, -0.9739826923011423)], 10003.68266548004),
}


@pytest.mark.parametrize("seed", sorted(RECORDED))
def test_the_defaults_give_the_returns_they_gave_before(seed):
    episodes, test_equity = RECORDED[seed]
    env = TradingEnv(ui="node", series_seed=seed)
    try:
        rng = np.random.default_rng(seed)
        for episode, (index, summary_return, reward_sum) in enumerate(episodes):
            env.reset(seed=seed + episode)
            rewards = []
            while True:
                _, reward, terminated, truncated, info = env.step(int(rng.integers(4)))
                rewards.append(reward)
                if terminated or truncated:
                    break
            assert info["episode_index"] == index
            assert info["summary"][3] == summary_return  # bit for bit: the page's own arithmetic
            assert info["episode_summary"].return_pct == summary_return * 100
            assert sum(rewards) == pytest.approx(reward_sum, abs=1e-12)
        env.reset(options={"episode_type": "test", "episode_index": 1})
        for action in (LONG, HOLD, SHORT, FLAT, LONG):
            *_, info = env.step(action)
        assert info["equity"] == test_equity
    finally:
        env.close()


@pytest.mark.skipif(not __import__("tarnel_rl.ui_host").ui_host.browser_available(), reason="headless Chromium is missing")
def test_the_page_in_the_browser_takes_the_task_from_its_query():
    env = TradingEnv(ui="browser", candles=CANDLES, ui_options=SMALL, test_share=0.5, validation_share=0.2,
                     train_starts="any", fee_rate=FEE, slippage_bps=10, action="target")
    try:
        c = env.config
        assert (c["fee_rate"], c["slippage_bps"], c["train_starts"]) == (FEE, 10, "any")
        assert (c["train_bars"], c["validation_bars"], c["test_bars"]) == ([0, 6], [6, 4], [10, 10])
        env.reset(options={"episode_type": "test", "episode_index": 0})
        *_, info = env.step(np.array([1.0], dtype=np.float32))
        # 10 units bought at 100 x 1.001 with a fee of 0.1 %: the equity at the next close (100)
        assert info["equity"] == pytest.approx(10000 - 10 * 0.1 - FEE * 100.1 * 10)
    finally:
        env.close()
