"""Environment workers as Ray actors on a local runtime: each with its own process, engine, port and
Node.js user interface, their episodes collected in parallel into one trainer, and nothing left
running once they end."""
import importlib.util
import os
from pathlib import Path

import numpy as np
import pytest

from rl_support import requires_node, ui_processes, wait_until
from support.ports import can_listen

pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
ray = pytest.importorskip("ray", reason="ray is not installed (pip install '.[ray]')")

from tarnel_rl.agent import LinearSoftmaxPolicy  # noqa: E402
from tarnel_rl.rollouts import RolloutWorker  # noqa: E402
from tarnel_rl.trading import ACTION_NAMES, observation_size  # noqa: E402

pytestmark = requires_node

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "ray_rollouts.py"


def load_example():
    module_spec = importlib.util.spec_from_file_location("ray_rollouts_example", EXAMPLE)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example():
    module = load_example()
    module.start_ray(num_cpus=2)
    try:
        yield module
    finally:
        ray.shutdown()


@pytest.mark.timeout(150)
def test_two_actors_feed_one_trainer_and_leave_nothing_running(example):
    workers, places = example.start_workers(2, ui="node", series_seed=7)
    ports = [p["port"] for p in places]
    try:
        # Separate processes (not this one), each with its own engine port and Node.js user interface.
        assert len({p["pid"] for p in places}) == 2 and os.getpid() not in {p["pid"] for p in places}
        assert len(set(ports)) == 2
        assert sorted(ui_processes(ports)) == sorted(p["ui_pid"] for p in places)
        assert [p["series_seed"] for p in places] == [7, 8]
        length = places[0]["config"]["episode_length"]

        policy = LinearSoftmaxPolicy(observation_size(), len(ACTION_NAMES), seed=0)
        start_weights = policy.weights.copy()
        lines = []
        history = example.train(workers, policy, iterations=2, episodes_per_worker=2, log=lines.append)
        assert len(lines) == 2 and "4 episodes from 2 workers" in lines[0]
        assert len(history) == 8
        assert sorted({(e["pid"], e["series_seed"]) for e in history}) == sorted((p["pid"], p["series_seed"]) for p in places)
        for episode in history:
            assert episode["steps"] == length and episode["summary"][0] == length
            assert episode["observations"].shape == (length, observation_size())
            assert episode["actions"].shape == episode["rewards"].shape == (length,)
            assert set(np.unique(episode["actions"])) <= set(range(len(ACTION_NAMES)))
        assert not np.array_equal(policy.weights, start_weights)  # the trainer learned from what came back

        # An actor's episode is the environment's own: the same weights, series and episode played here,
        # greedily, give the same actions and rewards.
        remote = ray.get(workers[1].rollout.remote(policy.weights, episode_indices=[3], greedy=True), timeout=60)[0]
        local_worker = RolloutWorker(ui="node", series_seed=8)
        try:
            local = local_worker.rollout(policy.weights, episode_indices=[3], greedy=True)[0]
        finally:
            local_worker.close()
        np.testing.assert_array_equal(remote["actions"], local["actions"])
        np.testing.assert_array_equal(remote["rewards"], local["rewards"])
        np.testing.assert_array_equal(remote["summary"], local["summary"])

        # close() in each actor stops its user interface and closes its engine: the port is free at once,
        # while the actor's process still runs.
        ray.get([w.close.remote() for w in workers], timeout=60)
        assert ui_processes(ports) == []
        assert wait_until(lambda: all(can_listen(p) for p in ports), timeout=10)
    finally:
        example.stop_workers(workers)  # close (again: it is idempotent), then ray.kill
    assert ui_processes(ports) == []
