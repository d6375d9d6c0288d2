"""The vector environment: several engines and Node.js user interfaces stepped at once on one shared
loop, giving exactly what the same environments give one by one, in gymnasium's vector layout."""
import threading

import numpy as np
import pytest

from rl_support import requires_node, ui_processes

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.vector_env import TradingVectorEnv  # noqa: E402

pytestmark = requires_node

NUM_ENVS = 3
SERIES_SEEDS = [5, 9, 5]  # two environments on one series: same data, different episodes
RESET_SEEDS = [0, 1, 2]
OPTIONS = {"ui_options": {"episode_length": 16}}
STEPS = 40  # two whole episodes and then some, each followed by an autoreset step
ACTIONS = np.random.default_rng(4).integers(0, 4, size=(STEPS, NUM_ENVS))


class InFlight:
    """Stands in for an engine and counts the calls of all wrapped engines that are awaited at once."""

    current = 0
    most = 0

    def __init__(self, engine):
        self._engine = engine

    def __getattr__(self, name):
        method = getattr(self._engine, name)

        async def call(*args, **kwargs):
            InFlight.current += 1
            InFlight.most = max(InFlight.most, InFlight.current)
            try:
                return await method(*args, **kwargs)
            finally:
                InFlight.current -= 1

        return call


def single_env_run():
    """The reference: the same environments, one at a time, with gymnasium's next-step autoreset by hand."""
    runs = []
    for series_seed, reset_seed, actions in zip(SERIES_SEEDS, RESET_SEEDS, ACTIONS.T):
        env = TradingEnv(ui="node", series_seed=series_seed, **OPTIONS)
        try:
            obs, info = env.reset(seed=reset_seed)
            record = {"obs": [obs], "rewards": [], "terminated": [], "truncated": [], "snapshots": [info["snapshot"]],
                      "episode_index": [info["episode_index"]]}
            ended = False
            for action in actions:
                if ended:
                    obs, info = env.reset()
                    reward, terminated, truncated = 0.0, False, False
                else:
                    obs, reward, terminated, truncated, info = env.step(action)
                ended = terminated or truncated
                for key, value in (("obs", obs), ("rewards", reward), ("terminated", terminated), ("truncated", truncated),
                                   ("snapshots", info["snapshot"]), ("episode_index", info["episode_index"])):
                    record[key].append(value)
            runs.append(record)
        finally:
            env.close()
    return runs


def test_steps_all_environments_at_once_and_matches_them_one_by_one():
    envs = TradingVectorEnv(NUM_ENVS, ui="node", series_seed=SERIES_SEEDS, **OPTIONS)
    try:
        assert envs.num_envs == NUM_ENVS and len({env.port for env in envs.envs}) == NUM_ENVS
        assert envs.observation_space.shape == (NUM_ENVS, 18)
        assert envs.action_space == gym.spaces.MultiDiscrete([4] * NUM_ENVS)
        for env in envs.envs:
            env._session.engine = InFlight(env._session.engine)
        InFlight.most = 0

        obs, infos = envs.reset(seed=RESET_SEEDS)
        batched = {"obs": [obs], "rewards": [], "terminated": [], "truncated": [], "snapshots": [infos["snapshot"]],
                   "episode_index": [infos["episode_index"]]}
        summaries = 0
        for actions in ACTIONS:
            obs, rewards, terminated, truncated, infos = envs.step(actions)
            assert obs in envs.observation_space
            assert rewards.dtype == np.float64 and terminated.dtype == bool and rewards.shape == (NUM_ENVS,)
            assert infos["snapshot"].shape == (NUM_ENVS, 16) and infos["_snapshot"].all()
            assert len(infos["events"]) == NUM_ENVS and all(e.shape[1] == 10 for e in infos["events"])
            if terminated.any():
                np.testing.assert_array_equal(infos["_summary"], terminated | truncated)
                assert all(infos["summary"][i][0] == 16 for i in np.flatnonzero(terminated))
                summaries += int(terminated.sum())
            for key, value in (("obs", obs), ("rewards", rewards), ("terminated", terminated), ("truncated", truncated),
                               ("snapshots", infos["snapshot"]), ("episode_index", infos["episode_index"])):
                batched[key].append(value)
        assert InFlight.most == NUM_ENVS  # every engine had a call out at the same time
        assert summaries == 2 * NUM_ENVS
    finally:
        envs.close()

    runs = single_env_run()
    for key in batched:
        together = np.array(batched[key])
        alone = np.stack([np.array(run[key]) for run in runs], axis=1)
        np.testing.assert_array_equal(together, alone, err_msg=key)
    # The autoreset step: after an episode ends, the next step starts a new one with reward 0.
    ended = np.flatnonzero(np.array(batched["terminated"])[:, 0])
    assert list(ended) == [15, 32]
    assert batched["rewards"][16][0] == 0.0 and batched["snapshots"][17][0][0] == 0


def test_reset_options_per_environment_and_close():
    envs = TradingVectorEnv(2, ui="node", series_seed=3)
    try:
        processes = [env.ui_process for env in envs.envs]
        ports = [env.port for env in envs.envs]
        thread = envs.loop_thread
        assert sorted(ui_processes(ports)) == sorted(p.pid for p in processes)
        obs, infos = envs.reset(options={"episode_type": "test", "episode_index": [2, 0]})
        assert list(infos["episode_index"]) == [2, 0] and list(infos["episode_type"]) == ["test", "test"]
        assert list(infos["snapshot"][:, 13]) == [1, 1]
        with pytest.raises(ValueError, match=r"^3 episode indices for 2 environments$"):
            envs.reset(options={"episode_index": [0, 1, 2]})
        with pytest.raises(ValueError, match=r"^expected 2 actions, got an array of shape \(3,\)$"):
            envs.step([0, 0, 0])
    finally:
        envs.close()
    assert all(p.returncode is not None for p in processes)
    assert ui_processes(ports) == [] and not thread.is_alive()
    envs.close()
    with pytest.raises(RuntimeError, match="^the vector environment is closed$"):
        envs.step([0, 0])


def test_a_failed_start_stops_what_was_started():
    """User interfaces that never connect (the Node runner refuses the option) fail the vector
    environment's construction with the engine's error, and its loop thread is stopped."""
    before = {t for t in threading.enumerate() if t.name == "tarnel-vector-loop"}
    with pytest.raises(RuntimeError, match=r"^RpcTransportError\(seq=None, fnId=None\): wait_connected timed out$"):
        TradingVectorEnv(2, ui="node", ui_options={"window": "wide"}, connect_timeout_secs=1.0)
    assert {t for t in threading.enumerate() if t.name == "tarnel-vector-loop"} <= before
