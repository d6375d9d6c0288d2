"""The session keeps the open positions from what its calls answer (receipts, the units a reduction
leaves) instead of asking for the ticket list before every change: the same steps give, to the bit, what
a session that asks every time gives, with fewer calls."""
import numpy as np
import pytest

from rl_support import requires_node

pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.gym_env import TradingEnv  # noqa: E402

pytestmark = requires_node

STEPS = 60
# Exposures that open, add to, reduce in part (ratios of 0.3 and 0.57 of a position), flip and flatten.
EXPOSURES = [1.0, 0.3, 0.7, -0.5, -1.0, 0.0, 0.4, 1.0, 0.43, 0.43, -0.2]


class CountingEngine:
    """Stands in for the engine and counts the calls by name."""

    def __init__(self, engine):
        self._engine = engine
        self.counts: dict[str, int] = {}

    def __getattr__(self, name):
        method = getattr(self._engine, name)

        async def call(*args, **kwargs):
            self.counts[name] = self.counts.get(name, 0) + 1
            return await method(*args, **kwargs)

        return call


def play(action_kind, actions, forget_positions):
    """Rewards, observations and call counts of one environment stepped with `actions`; with
    `forget_positions` the session is made to ask for the ticket list before every change, as it once did."""
    env = TradingEnv(ui="node", action=action_kind, ui_options={"episode_length": 25}, series_seed=3)
    counter = CountingEngine(env._session.engine)
    env._session.engine = counter
    calls_before = env.engine_calls  # the configuration, read at the start
    rewards, observations = [], []
    try:
        obs, _ = env.reset(seed=1)
        observations.append(obs)
        for action in actions:
            if forget_positions:
                env._session._positions = None
            obs, reward, terminated, truncated, _ = env.step(action)
            rewards.append(reward)
            observations.append(obs)
            if terminated or truncated:
                obs, _ = env.reset()
                observations.append(obs)
        return np.array(rewards), np.array(observations), counter.counts, env.engine_calls - calls_before
    finally:
        env.close()


@pytest.mark.parametrize("action_kind", ["target", "discrete"])
def test_kept_positions_give_the_same_steps_with_fewer_calls(action_kind):
    rng = np.random.default_rng(5)
    if action_kind == "target":
        actions = [np.array([EXPOSURES[i % len(EXPOSURES)]], dtype=np.float32) for i in range(STEPS)]
    else:
        actions = [int(a) for a in rng.integers(0, 4, size=STEPS)]
    kept_rewards, kept_obs, kept_counts, kept_calls = play(action_kind, actions, forget_positions=False)
    asked_rewards, asked_obs, asked_counts, _ = play(action_kind, actions, forget_positions=True)
    assert kept_rewards.tobytes() == asked_rewards.tobytes()
    assert kept_obs.tobytes() == asked_obs.tobytes()
    assert np.count_nonzero(kept_rewards) > STEPS // 2  # the actions traded
    assert kept_counts.get("get_ticket_list", 0) == 0 < asked_counts["get_ticket_list"]
    assert kept_counts["close_positions"] == asked_counts["close_positions"] > 0
    assert kept_counts["place_ticket"] == asked_counts["place_ticket"] > 0
    assert kept_calls == sum(kept_counts.values())  # engine_calls counts every call the session made
