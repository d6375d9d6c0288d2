"""The session keeps the open positions from what its calls answer (receipts, the units a reduction
leaves) instead of asking for the ticket list before every change, and sends a step's trades and the step
itself before it reads any of their answers: the same steps give, to the bit, what a session that asks
every time gives, with fewer calls and one round trip a step."""
import asyncio

import numpy as np
import pytest

from rl_support import requires_node

pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SNAP_STEP, UserInterfaceReplaced  # noqa: E402

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


class TradeAnswersAfterTheStep:
    """Passes the calls on, but keeps each trade's answer (a close, a ticket) from the session until the
    step's `step_and_sync` has been sent behind it: a session that read a trade's answer before sending
    the step would wait for ever (here: fail after 10 s)."""

    def __init__(self, engine):
        self._engine = engine
        self._held: list[asyncio.Future] = []

    def __getattr__(self, name):
        method = getattr(self._engine, name)
        if name not in ("close_positions", "place_ticket", "step_and_sync"):
            return method

        def call(*args, **kwargs):
            answer = asyncio.ensure_future(method(*args, **kwargs))
            if name == "step_and_sync":
                for gate in self._held:
                    gate.set_result(None)
                self._held.clear()
                return answer
            gate = asyncio.get_running_loop().create_future()
            self._held.append(gate)

            async def after_the_step():
                await asyncio.wait_for(gate, 10)
                return await answer
            return asyncio.ensure_future(after_the_step())

        return call


def play(action_kind, actions, forget_positions, answers_after_the_step=False):
    """Rewards, observations and call counts of one environment stepped with `actions`; with
    `forget_positions` the session is made to ask for the ticket list before every change, as it once did;
    with `answers_after_the_step` no trade is answered before its step has been sent."""
    env = TradingEnv(ui="node", action=action_kind, ui_options={"episode_length": 25}, series_seed=3)
    counter = CountingEngine(env._session.engine)
    env._session.engine = TradeAnswersAfterTheStep(counter) if answers_after_the_step else counter
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
def test_kept_positions_and_trades_sent_with_their_step_give_the_same_steps_with_fewer_calls(action_kind):
    rng = np.random.default_rng(5)
    if action_kind == "target":
        actions = [np.array([EXPOSURES[i % len(EXPOSURES)]], dtype=np.float32) for i in range(STEPS)]
    else:
        actions = [int(a) for a in rng.integers(0, 4, size=STEPS)]
    kept_rewards, kept_obs, kept_counts, kept_calls = play(action_kind, actions, forget_positions=False)
    asked_rewards, asked_obs, asked_counts, _ = play(action_kind, actions, forget_positions=True)
    held_rewards, held_obs, held_counts, _ = play(action_kind, actions, forget_positions=False,
                                                  answers_after_the_step=True)
    assert kept_rewards.tobytes() == asked_rewards.tobytes() == held_rewards.tobytes()
    assert kept_obs.tobytes() == asked_obs.tobytes() == held_obs.tobytes()
    assert held_counts == kept_counts
    assert np.count_nonzero(kept_rewards) > STEPS // 2  # the actions traded
    assert kept_counts.get("get_ticket_list", 0) == 0 < asked_counts["get_ticket_list"]
    assert kept_counts["close_positions"] == asked_counts["close_positions"] > 0
    assert kept_counts["place_ticket"] == asked_counts["place_ticket"] > 0
    assert kept_calls == sum(kept_counts.values())  # engine_calls counts every call the session made


def test_a_refused_trade_fails_its_step_and_the_step_sent_behind_it_still_counts():
    env = TradingEnv(ui="node", ui_options={"episode_length": 25}, series_seed=3)
    try:
        env.reset(seed=1)
        env.step(LONG)
        session = env._session
        session._positions = {987654: (1.0, 10.0)}  # a position the page does not have
        with pytest.raises(RuntimeError, match="unknown position id 987654") as refused:
            env.step(FLAT)  # its close is refused; the step went out behind it and was made
        assert not isinstance(refused.value, UserInterfaceReplaced)
        assert session._positions is None  # asked for again before the next trade
        _, _, _, _, info = env.step(HOLD)
        assert info["snapshot"][SNAP_STEP] == 3
        _, _, _, _, info = env.step(FLAT)
        assert info["snapshot"][SNAP_STEP] == 4 and session._positions == {}
    finally:
        env.close()
