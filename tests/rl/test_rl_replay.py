"""An episode saved to a file and played back without the engine: the file holds the actions, fills,
equity and summary the episode had, and the replay draws the frames the live environment drew."""
import json

import numpy as np
import pytest

from rl_support import requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.replay import Replay, load_trace, save_trace  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT  # noqa: E402

PATTERN = (LONG, HOLD, SHORT, HOLD, FLAT, LONG, HOLD, HOLD)


@requires_node
def test_a_saved_episode_replays_to_the_frames_render_drew(tmp_path):
    env = TradingEnv(ui="node", render_mode="rgb_array", ui_options={"episode_length": 8, "window": 20})
    try:
        env.reset(options={"episode_type": "test", "episode_index": 0})
        live, rewards = [env.render()], []
        for action in PATTERN:
            *_, reward, terminated, truncated, info = env.step(action)
            rewards.append(reward)
            live.append(env.render())
        assert terminated
        path = save_trace(env.episode_trace, tmp_path / "episode.json")
    finally:
        env.close()
    data = json.loads(path.read_text())
    assert data["actions"] == list(PATTERN) and data["rewards"] == pytest.approx(rewards, abs=0)
    assert data["summary"]["return_pct"] == info["episode_summary"].return_pct
    assert data["equity"][-1] == info["summary"][2]
    # the fills: long on step 0, flipped on step 2, flat on 4, long on 5 and closed by the session
    assert [(f["opened"], f["side"]) for f in data["fills"]] == [
        (True, 1), (False, 1), (True, -1), (False, -1), (True, 1), (False, 1)]
    replay = Replay(path)
    assert replay.steps == len(PATTERN) and replay.summary == info["episode_summary"]
    replayed = list(replay.frames())
    assert len(replayed) == len(live)
    for step, (mine, theirs) in enumerate(zip(replayed, live)):
        np.testing.assert_array_equal(mine, theirs, err_msg=f"frame after step {step}")
    assert len(list(replay.frames(every=3))) == 4  # steps 0, 3, 6 and the last


@requires_node
def test_record_trace_without_rendering(tmp_path):
    env = TradingEnv(ui="node", record_trace=True, action="target", ui_options={"episode_length": 4})
    try:
        env.reset(options={"episode_type": "train", "episode_index": 0})
        for exposure in (0.5, 0.5, -1.0, 0.0):
            env.step(np.array([exposure], dtype=np.float32))
        replay = Replay(save_trace(env.episode_trace, tmp_path / "t.json"))
    finally:
        env.close()
    assert replay.actions == [5.0, 5.0, -10.0, 0.0]  # the target units of units=10
    assert replay.data["net_units"] == [0.0, 5.0, 5.0, -10.0, 0.0]
    assert replay.render(2).shape == (400, 720, 3)


def test_nothing_to_save_and_damaged_files_are_refused(tmp_path):
    with pytest.raises(ValueError, match="record_trace=True"):
        save_trace(None, tmp_path / "x.json")
    with pytest.raises(ValueError, match="not a tarnel_rl episode trace"):
        load_trace({"format": "something else", "version": 1})
    good = {"format": "tarnel_rl episode trace", "version": 1, "equity": [1.0, 2.0], "actions": [1], "rewards": [],
            "candles": [[1, 1, 1, 1, 1]] * 2, "first": 0}
    with pytest.raises(ValueError, match="0 rewards for 1 steps"):
        load_trace(good)
    with pytest.raises(ValueError, match="step must be 0 to"):
        Replay({**good, "rewards": [0.5], "net_units": [0, 0], "closes": [1, 1], "episode_type": "test",
                "episode_index": 0, "steps_total": 1, "initial_balance": 1.0, "summary": None, "ended": False,
                "fills": []}).trace_at(2)
