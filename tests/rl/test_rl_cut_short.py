"""An episode ends properly however it is cut short: a `TimeLimit` wrapped by hand (as Stable-Baselines3's
`wrapper_class` and many factories do) truncates without telling the environment, and the next `reset`
ends the session left open: what was open is closed and pays its fee, the summary is `last_summary`."""
import numpy as np
import pytest

from rl_support import requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.trading import HOLD, LONG, SUMMARY_FINAL_EQUITY  # noqa: E402

SUMMARY_STEPS, SUMMARY_CLOSED = 0, 6


def sb3_style(limit: int):
    """What SB3's `make_vec_env(..., wrapper_class=...)` builds: a factory that wraps by hand."""
    def make() -> gym.Env:
        return gym.wrappers.TimeLimit(TradingEnv(ui="node", ui_options={"episode_length": 40}), max_episode_steps=limit)
    return make


@requires_node
@pytest.mark.parametrize("events", [False, True])
def test_a_hand_wrapped_time_limit_has_its_session_ended_at_the_next_reset(events):
    env = gym.wrappers.TimeLimit(TradingEnv(ui="node", ui_options={"episode_length": 40}, events=events), 6)
    base = env.unwrapped
    try:
        env.reset(seed=0, options={"episode_index": 1})
        for t in range(6):
            _, _, terminated, truncated, info = env.step(LONG if t == 0 else HOLD)
        assert truncated and not terminated and "summary" not in info  # the wrapper said nothing to the env
        equity_before = info["equity"]
        assert base.last_summary is None
        calls = base.engine_calls
        env.reset(options={"episode_index": 2})
        summary = base.last_summary
        assert summary is not None and summary[SUMMARY_STEPS] == 6 and summary[SUMMARY_CLOSED] == 1  # the long closed
        assert summary[SUMMARY_FINAL_EQUITY] < equity_before  # and paid its fee
        assert base.engine_calls > calls + 1  # end_session, then the reset's calls
        # An episode that ended by itself is not ended twice.
        for _ in range(6):
            _, _, terminated, truncated, _ = env.step(HOLD)
        env.unwrapped.end_episode()
        calls = base.engine_calls
        env.reset(options={"episode_index": 3})
        assert base.last_summary[SUMMARY_STEPS] == 6 and base.last_summary[SUMMARY_CLOSED] == 0
    finally:
        env.close()


@requires_node
def test_sb3_style_wrapping_in_a_vector_ends_every_session():
    # SB3's DummyVecEnv resets an environment as soon as its episode ends; gymnasium's SyncVectorEnv
    # does it at the next step. Either way the reset ends the session the TimeLimit cut short.
    envs = gym.vector.SyncVectorEnv([sb3_style(4), sb3_style(4)])
    try:
        envs.reset(seed=0)
        for _ in range(5):
            envs.step(np.array([LONG, HOLD]))
        summaries = [env.unwrapped.last_summary for env in envs.envs]
        assert all(s is not None and s[SUMMARY_STEPS] == 4 for s in summaries)
        assert summaries[0][SUMMARY_CLOSED] == 1 and summaries[1][SUMMARY_CLOSED] == 0
    finally:
        envs.close()
