"""The vector environment: several engines and Node.js user interfaces stepped at once on one shared
loop, giving exactly what the same environments give one by one, in gymnasium's vector layout; and
gymnasium's own vector environments (`gym.make_vec`, synchronous and in worker processes) over it."""
import asyncio
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import numpy as np
import pytest

import py_engine_tarnel as tarnel

from rl_support import requires_node, ui_processes, wait_until
from support.ports import start_on_held_port

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl import ui_host  # noqa: E402
from tarnel_rl.gym_env import EVENT_ROWS, TradingEnv  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT  # noqa: E402
from tarnel_rl.vector_env import TradingVectorEnv  # noqa: E402

pytestmark = requires_node

NUM_ENVS = 3
SERIES_SEEDS = [5, 9, 5]  # two environments on one series: same data, different episodes
RESET_SEEDS = [0, 1, 2]
OPTIONS = {"ui_options": {"episode_length": 16}, "events": True}
STEPS = 40  # two whole episodes and then some, each followed by an autoreset step
ACTIONS = np.random.default_rng(4).integers(0, 4, size=(STEPS, NUM_ENVS))


class InFlight:
    """Stands in for an engine and counts the wrapped engines that have a call awaited at the same time."""

    calls: dict[int, int] = {}  # id of the wrapped engine -> its calls awaited now
    most = 0

    def __init__(self, engine):
        self._engine = engine

    def __getattr__(self, name):
        method = getattr(self._engine, name)
        key = id(self._engine)

        async def call(*args, **kwargs):
            InFlight.calls[key] = InFlight.calls.get(key, 0) + 1
            InFlight.most = max(InFlight.most, sum(1 for count in InFlight.calls.values() if count))
            try:
                return await method(*args, **kwargs)
            finally:
                InFlight.calls[key] -= 1

        return call


def single_env_run():
    """The reference: the same environments, one at a time, with gymnasium's next-step autoreset by hand."""
    runs = []
    for series_seed, reset_seed, actions in zip(SERIES_SEEDS, RESET_SEEDS, ACTIONS.T):
        env = TradingEnv(ui="node", series_seed=series_seed, **OPTIONS)
        try:
            obs, info = env.reset(seed=reset_seed)
            record = {"obs": [obs], "rewards": [], "terminated": [], "truncated": [], "snapshots": [info["snapshot"]],
                      "episode_index": [info["episode_index"]], "events": [info["events"]]}
            ended = False
            for action in actions:
                if ended:
                    obs, info = env.reset()
                    reward, terminated, truncated = 0.0, False, False
                else:
                    obs, reward, terminated, truncated, info = env.step(action)
                ended = terminated or truncated
                for key, value in (("obs", obs), ("rewards", reward), ("terminated", terminated), ("truncated", truncated),
                                   ("snapshots", info["snapshot"]), ("episode_index", info["episode_index"]),
                                   ("events", info["events"])):
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
                   "episode_index": [infos["episode_index"]], "events": [infos["events"]]}
        summaries = 0
        for actions in ACTIONS:
            obs, rewards, terminated, truncated, infos = envs.step(actions)
            assert obs in envs.observation_space
            assert rewards.dtype == np.float64 and terminated.dtype == bool and rewards.shape == (NUM_ENVS,)
            assert infos["snapshot"].shape == (NUM_ENVS, 16) and infos["_snapshot"].all()
            assert infos["events"].shape == (NUM_ENVS, EVENT_ROWS, 10) and infos["events"].dtype == np.float64
            assert infos["event_count"].shape == (NUM_ENVS,) and infos["_events"].all()
            if terminated.any():
                np.testing.assert_array_equal(infos["_summary"], terminated | truncated)
                assert all(infos["summary"][i][0] == 16 for i in np.flatnonzero(terminated))
                summaries += int(terminated.sum())
            for key, value in (("obs", obs), ("rewards", rewards), ("terminated", terminated), ("truncated", truncated),
                               ("snapshots", infos["snapshot"]), ("episode_index", infos["episode_index"]),
                               ("events", infos["events"])):
                batched[key].append(value)
        assert InFlight.most == NUM_ENVS  # every engine had a call out at the same time
        assert summaries == 2 * NUM_ENVS
    finally:
        envs.close()

    runs = single_env_run()
    for key in batched:
        together = np.array(batched[key])
        alone = np.stack([np.array(run[key]) for run in runs], axis=1)
        np.testing.assert_array_equal(together, alone, err_msg=key)  # NaN rows of the events included
    # The autoreset step: after an episode ends, the next step starts a new one with reward 0.
    ended = np.flatnonzero(np.array(batched["terminated"])[:, 0])
    assert list(ended) == [15, 32]
    assert batched["rewards"][16][0] == 0.0 and batched["snapshots"][17][0][0] == 0


@pytest.mark.parametrize("inside_a_loop", [False, True])
def test_reset_options_per_environment_and_close(inside_a_loop):
    async def make():
        return TradingVectorEnv(2, ui="node", series_seed=3)

    envs = asyncio.run(make()) if inside_a_loop else TradingVectorEnv(2, ui="node", series_seed=3)
    try:
        processes = [env.ui_process for env in envs.envs]
        ports = [env.port for env in envs.envs]
        thread = envs.loop_thread
        # Made inside a running loop, the shared loop runs on a thread of its own; else in the caller's.
        assert (thread is not None) == inside_a_loop
        # Both pages share one Node.js process by default.
        assert len({p.pid for p in processes}) == 1 and ui_processes(ports) == [processes[0].pid]
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
    assert ui_processes(ports) == [] and envs._loop.loop.is_closed()
    assert thread is None or not thread.is_alive()
    envs.close()
    with pytest.raises(RuntimeError, match="^the vector environment is closed$"):
        envs.step([0, 0])


def test_a_failed_start_stops_what_was_started(monkeypatch):
    """User interfaces that never connect (the Node runner refuses the option, which Python let through
    here) fail the vector environment's construction at once with what the runner said, and its loop
    thread is stopped. Python refuses such an option itself, before anything starts."""
    before = {t for t in threading.enumerate() if t.name == "tarnel-vector-loop"}
    with pytest.raises(ValueError, match=r"^ui_options\['window'\] must be an integer >= 1, got 'wide'$"):
        TradingVectorEnv(2, ui="node", ui_options={"window": "wide"})
    monkeypatch.setattr(ui_host, "checked_options", lambda options: dict(options or {}))
    with pytest.raises(RuntimeError, match=r"^the user interface for the engine on 127\.0\.0\.1:\d+ \(the Node\.js "
                       r"runner, pid \d+\) exited with status 2 before it connected; it said:\nrun-ui: --window must "):
        TradingVectorEnv(2, ui="node", ui_options={"window": "wide"}, connect_timeout_secs=None)
    assert {t for t in threading.enumerate() if t.name == "tarnel-vector-loop"} <= before


async def start_and_close_an_engine():
    engine, _ = await start_on_held_port(lambda port: tarnel.TarnelEngineAsync("127.0.0.1", port), 10.0)
    await engine.close()


@pytest.mark.parametrize("mode, vector_kwargs", [("sync", {}), ("async", {"context": "spawn"}), ("async", {"context": "fork"})],
                         ids=["sync", "async-spawn", "async-fork"])
def test_gymnasium_vector_environments_stack_the_infos(mode, vector_kwargs):
    """Every info key has one shape at every step, so gymnasium's own vector environments stack them;
    the summary of a truncated episode is there (with its mask) and the next step starts a new one.
    Forked workers come from a process whose engine runtime is already running, as in a trainer."""
    if vector_kwargs.get("context") == "fork":
        asyncio.run(start_and_close_an_engine())
    envs = gym.make_vec("tarnel_rl/Trading-v0", num_envs=2, vectorization_mode=mode, vector_kwargs=vector_kwargs,
                        ui="node", max_episode_steps=3, events=True, ui_options={"window": 20})
    ports = []
    try:
        ports = list(envs.get_attr("port"))
        assert len(set(ports)) == 2
        obs, infos = envs.reset(seed=[4, 5])
        assert obs.shape == (2, 18) and infos["window"].shape == (2, 20, 5)
        actions = [[LONG, SHORT], [HOLD, FLAT], [SHORT, HOLD], [HOLD, HOLD]]
        for t, action in enumerate(actions):
            obs, rewards, terminated, truncated, infos = envs.step(np.array(action))
            assert obs.shape == (2, 18) and rewards.shape == (2,) and not terminated.any()
            assert infos["snapshot"].shape == (2, 16) and infos["events"].shape == (2, EVENT_ROWS, 10)
            assert infos["event_count"].dtype.kind == "i" and list(infos["episode_type"]) == ["train", "train"]
            if t < 3:
                np.testing.assert_array_equal(infos["snapshot"][:, 0], [t + 1, t + 1])
            assert list(truncated) == [t == 2, t == 2]
            assert ("summary" in infos) == (t == 2)
            if t == 2:
                assert infos["summary"].shape == (2, 12) and infos["_summary"].all()
                np.testing.assert_array_equal(infos["summary"][:, 0], [3, 3])
                # Environment 0 went long then short (two trades), environment 1 short then flat (one).
                np.testing.assert_array_equal(infos["summary"][:, 6], [2, 1])
                np.testing.assert_array_equal(infos["event_count"], [3, 0])  # a close, an open, the last close
        # The step after the truncation reset both (gymnasium's next-step autoreset): step 0, reward 0.
        np.testing.assert_array_equal(infos["snapshot"][:, 0], [0, 0])
        np.testing.assert_array_equal(rewards, [0.0, 0.0])
    finally:
        envs.close()
    assert wait_until(lambda: ui_processes(ports) == [], timeout=20)


def test_target_exposure_actions_step_every_environment_and_wrong_shapes_are_refused():
    envs = TradingVectorEnv(2, ui="node", action="target", ui_options={"episode_length": 16})
    try:
        assert envs.action_space.shape == (2, 1)
        envs.reset(seed=0)
        obs, rewards, _, _, _ = envs.step(np.array([[1.0], [-0.5]]))
        assert rewards.shape == (2,)
        assert obs[0][16] > 0 > obs[1][16]  # the position's sign: one long, one short
        with pytest.raises(ValueError, match="expected 2 actions"):
            envs.step(np.array([1.0, -0.5]))
    finally:
        envs.close()


# --- pages that share a Node.js process ---------------------------------------------------------------

SAMPLE = str(Path(__file__).resolve().parents[2] / "python" / "tarnel_rl" / "market_data" / "samples"
             / "sample_daily.csv")
SHARED_STEPS = 24
SHARED_OPTIONS = {"ui_options": {"episode_length": 10}, "candles": SAMPLE}


def returns_one_by_one(action_kind, actions):
    """Each environment alone (its own page and process), with the vector's next-step autoreset by hand:
    the rewards, terminations and observations, step by step."""
    runs = []
    for i, env_actions in enumerate(np.swapaxes(actions, 0, 1)):
        env = TradingEnv(ui="node", series_seed=11 + i, action=action_kind, **SHARED_OPTIONS)
        try:
            obs, _ = env.reset(seed=20 + i)
            rewards, observations, ended = [], [obs], False
            for action in env_actions:
                if ended:
                    (obs, _), reward, ended = env.reset(), 0.0, False
                else:
                    obs, reward, terminated, truncated, _ = env.step(action)
                    ended = terminated or truncated
                rewards.append(reward)
                observations.append(obs)
            runs.append((rewards, observations))
        finally:
            env.close()
    return np.array([r for r, _ in runs]).T, np.swapaxes(np.array([o for _, o in runs]), 0, 1)


@pytest.mark.parametrize("action_kind, ui_processes_wanted", [("discrete", 1), ("discrete", 2), ("target", 3)],
                         ids=["one-process", "two-processes", "target-one-per-page"])
def test_shared_pages_give_the_returns_of_single_environments(action_kind, ui_processes_wanted):
    """The same seeds and actions give, to the bit, the rewards and observations of the same environments
    run alone, however many processes host the pages (here a real daily stock file, and episodes of 10
    steps, so that every environment ends and restarts episodes while the others go on)."""
    rng = np.random.default_rng(8)
    if action_kind == "discrete":
        actions = rng.integers(0, 4, size=(SHARED_STEPS, NUM_ENVS))
    else:
        actions = rng.choice([-1.0, -0.5, 0.0, 0.3, 1.0], size=(SHARED_STEPS, NUM_ENVS, 1))
    envs = TradingVectorEnv(NUM_ENVS, ui="node", series_seed=[11, 12, 13], ui_processes=ui_processes_wanted,
                            action=action_kind, **SHARED_OPTIONS)
    try:
        assert len(envs.ui_hosts) == ui_processes_wanted
        assert len({env.ui_process.pid for env in envs.envs}) == ui_processes_wanted
        obs, _ = envs.reset(seed=[20, 21, 22])
        rewards, observations = [], [obs]
        for step_actions in actions:
            obs, reward, _, _, _ = envs.step(step_actions)
            rewards.append(reward)
            observations.append(obs)
    finally:
        envs.close()
    alone_rewards, alone_observations = returns_one_by_one(action_kind, actions)
    assert np.array(rewards).tobytes() == alone_rewards.tobytes()
    assert np.array(observations).tobytes() == alone_observations.tobytes()
    assert np.count_nonzero(np.array(rewards)) > SHARED_STEPS  # the actions traded: the returns are not all 0


@pytest.mark.parametrize("kwargs, message", [
    ({"ui_processes": 0}, r"^ui_processes must be an integer from 1 to num_envs \(2\), got 0$"),
    ({"ui_processes": 3}, r"^ui_processes must be an integer from 1 to num_envs \(2\), got 3$"),
    ({"ui_processes": True}, r"^ui_processes must be an integer from 1 to num_envs \(2\), got True$"),
    ({"ui_processes": 1, "render_mode": "human"}, r"^with render_mode='human' every page publishes to the dashboard"),
    ({"ui_processes": 2.0}, r"^ui_processes must be an integer from 1 to num_envs \(2\), got 2\.0$"),
])
def test_process_counts_that_cannot_be_are_refused_before_anything_starts(kwargs, message):
    before = {t for t in threading.enumerate() if t.name == "tarnel-vector-loop"}
    with pytest.raises(ValueError, match=message):
        TradingVectorEnv(2, **kwargs)
    assert {t for t in threading.enumerate() if t.name == "tarnel-vector-loop"} <= before


SHARED_TRAINER = textwrap.dedent('''
    import sys
    from tarnel_rl.vector_env import TradingVectorEnv
    envs = TradingVectorEnv(3, ui="node")
    envs.reset(seed=0)
    envs.step([1, 2, 3])
    print(" ".join(str(env.port) for env in envs.envs), envs.envs[0].ui_process.pid, flush=True)
    sys.stdin.read()  # until the test kills this process
''')


@pytest.mark.parametrize("ending", ["sigkill", "close"])
def test_the_shared_process_ends_with_its_trainer(ending):
    """The one Node.js process of a vector's pages ends when the trainer closes the vector, and when the
    trainer is killed with SIGKILL (its pipe from the trainer ends)."""
    if ending == "close":
        envs = TradingVectorEnv(3, ui="node")
        ports = [env.port for env in envs.envs]
        process = envs.envs[0].ui_process
        assert ui_processes(ports) == [process.pid]
        envs.close()
        assert process.returncode is not None and ui_processes(ports) == []
        return
    env = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parents[2] / "python"))
    trainer = subprocess.Popen([sys.executable, "-c", SHARED_TRAINER], env=env, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = trainer.stdout.readline()  # bounded: the vector's start has its own time-outs
        assert line, trainer.stderr.read()
        *ports, pid = (int(word) for word in line.split())
        assert ui_processes(ports) == [pid]
    finally:
        trainer.kill()
        trainer.wait(10)
    assert wait_until(lambda: ui_processes(ports) == [], timeout=20)


@pytest.mark.skipif(not ui_host.browser_available(), reason="headless Chromium is missing")
def test_pages_share_one_browser_tab_and_give_what_node_gives():
    """ui="browser": one headless Chromium shows every page in one tab (pages.html, a frame per engine),
    and the steps are those of the same pages in one Node.js process, to the bit."""
    actions = np.random.default_rng(2).integers(0, 4, size=(12, 2))
    runs = []
    for ui in ("browser", "node"):
        envs = TradingVectorEnv(2, ui=ui, series_seed=[4, 6], ui_options={"episode_length": 8})
        try:
            if ui == "browser":
                hosts = {id(env.ui.host) for env in envs.envs}
                assert len(hosts) == 1 and len(envs.ui_hosts) == 1 and envs.ui_hosts[0].url.split("?")[0].endswith(
                    "/pages.html")
            obs, _ = envs.reset(seed=[1, 2])
            record = [obs]
            for step_actions in actions:
                obs, rewards, _, _, _ = envs.step(step_actions)
                record += [obs, rewards]
            runs.append(np.concatenate([r.ravel() for r in record]))
        finally:
            envs.close()
    assert runs[0].tobytes() == runs[1].tobytes()
