"""The vector environment stacks its environments' infos key by key when they are alike; the layout must
be exactly what gymnasium's `VectorEnv._add_info` builds one environment at a time (keys, order, masks,
dtypes, shapes, values), and anything else must fall back to it. No engine is needed."""
import numpy as np
import pytest

import rl_support  # noqa: F401  (puts the package on the path)

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.vector_env import stack_alike_infos  # noqa: E402


class Stacker(gym.vector.VectorEnv):
    """Only what `_add_info` needs."""

    def __init__(self, num_envs):
        self.num_envs = num_envs


def reference(infos):
    stacked = {}
    for i, info in enumerate(infos):
        stacked = Stacker(len(infos))._add_info(stacked, info, i)
    return stacked


def step_info(i, **extra):
    return {"snapshot": np.arange(16.0) + i, "window": np.full((32, 5), float(i)), "episode_type": "train",
            "episode_index": i, "step": 3 + i, "equity": 10000.0 + i, **extra}


ALIKE = {
    "an ordinary step": [step_info(i) for i in range(3)],
    "every episode ends": [step_info(i, summary=np.arange(12.0) * i, episode_summary=("train", i, 1.5))
                           for i in range(3)],
    "numpy numbers and bools": [{"count": np.int64(i), "flag": bool(i % 2), "ratio": np.float32(i / 3)}
                                for i in range(4)],
    "one environment": [step_info(0)],
}
UNLIKE = {
    "one episode ends": [step_info(0), step_info(1, summary=np.arange(12.0)), step_info(2)],
    "ints and floats mixed": [{"equity": 1}, {"equity": 2.5}],
    "arrays of two shapes": [{"events": np.zeros((4, 10))}, {"events": np.zeros((3, 10))}],
    "arrays of two dtypes": [{"events": np.zeros(3)}, {"events": np.zeros(3, dtype=np.float32)}],
    "a nested dict": [{"extra": {"a": 1}}, {"extra": {"a": 2}}],
    "keys in another order": [{"a": 1, "b": 2}, {"b": 2, "a": 1}],
    "final_obs": [{"final_obs": np.zeros(2)}, {"final_obs": np.zeros(2)}],
}


def assert_same_layout(got, want):
    assert list(got) == list(want)
    for key in want:
        assert got[key].dtype == want[key].dtype and got[key].shape == want[key].shape, key
        for mine, theirs in zip(got[key], want[key]):
            if isinstance(theirs, np.ndarray):
                assert mine.tobytes() == theirs.tobytes(), key
            else:
                assert type(mine) is type(theirs) and mine == theirs, key


@pytest.mark.parametrize("infos", list(ALIKE.values()), ids=list(ALIKE))
def test_alike_infos_stack_as_gymnasium_stacks_them(infos):
    assert_same_layout(stack_alike_infos(infos), reference(infos))


@pytest.mark.parametrize("infos", list(UNLIKE.values()), ids=list(UNLIKE))
def test_infos_that_differ_are_left_to_gymnasium(infos):
    assert stack_alike_infos(infos) is None
