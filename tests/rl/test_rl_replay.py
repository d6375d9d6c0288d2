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


@requires_node
def test_an_episode_on_dated_candles_keeps_each_bar_s_time_through_the_file(tmp_path):
    from tarnel_rl.data import load_candles, sample_path
    from tarnel_rl.frames import headline

    dates = [line.split(",")[0] for line in sample_path().read_text().splitlines()[1:]]  # the CSV's own column
    env = TradingEnv(ui="node", record_trace=True, candles=sample_path(), ui_options={"episode_length": 6, "window": 5})
    try:
        env.reset(options={"episode_type": "test", "episode_index": 1})
        bars = []
        for action in (LONG, HOLD, HOLD, SHORT, FLAT, HOLD):
            *_, info = env.step(action)
            bars.append(int(info["snapshot"][1]))
        live = env.episode_trace
        assert headline(live).split("  ")[2] == dates[bars[-1]]
        path = save_trace(live, tmp_path / "dated.json")
    finally:
        env.close()
    data = json.loads(path.read_text())
    first = data["first"]
    assert data["times"][first + 1:] == [dates[bar] for bar in bars]
    assert data["times"][:first + 1] == dates[bars[0] - first - 1:bars[0]]
    replay = Replay(path)
    np.testing.assert_array_equal(replay.times, load_candles(sample_path()).times[bars[0] - first - 1:bars[-1] + 1])
    for step in (0, 3, 6):
        assert replay.trace_at(step).bar_time == replay.times[first + step]


def test_times_to_the_nanosecond_survive_the_file(tmp_path):
    trace = hand_trace()
    moments = np.array(["2024-01-31T09:30", "2024-01-31T09:30:00.5", "2024-01-31T09:31:00.000000001",
                        "2024-02-01", "2024-02-01T00:00:01"], dtype="datetime64[ns]")
    trace["times"] = [str(np.datetime_as_string(t, unit="auto")) for t in moments]
    path = tmp_path / "t.json"
    path.write_text(json.dumps(trace))
    replay = Replay(path)
    np.testing.assert_array_equal(replay.times, moments)
    assert "2024-02-01 00:00:01" in headline_of(replay, 3) and "2024-01-31 09:31:00.000000001" in headline_of(replay, 1)


def headline_of(replay, step):
    from tarnel_rl.frames import headline

    return headline(replay.trace_at(step))


def test_nothing_to_save_and_damaged_files_are_refused(tmp_path):
    with pytest.raises(ValueError, match="record_trace=True"):
        save_trace(None, tmp_path / "x.json")
    with pytest.raises(ValueError, match="not a tarnel_rl episode trace"):
        load_trace({"format": "something else", "version": 1})
    good = {"format": "tarnel_rl episode trace", "version": 1, "equity": [1.0, 1.0], "actions": [0], "rewards": [],
            "candles": [[1, 1, 1, 1, 1]] * 2, "first": 0, "net_units": [0, 0], "closes": [1, 1],
            "episode_type": "test", "episode_index": 0, "steps_total": 1, "initial_balance": 1.0, "summary": None,
            "ended": False, "fills": []}
    with pytest.raises(ValueError, match="0 rewards for 1 steps"):
        load_trace(good)
    with pytest.raises(ValueError, match="step must be 0 to"):
        Replay({**good, "rewards": [0.5]}).trace_at(2)


def hand_trace():
    """Three steps by hand, fee 0.1 %, no slippage: long 10 at 100 (fee 1), held from 110 to 99, flipped
    short at 99 (20 units, fee 1.98) to 105, closed at the end at 105 (fee 1.05)."""
    summary = {"episode_type": "train", "episode_index": 0, "steps": 3, "initial_balance": 10000.0,
               "final_equity": 9925.97, "return_pct": -0.7403, "realised_pnl": -70.0, "fees": 4.03,
               "fees_pct": 0.0403, "trades": 2, "wins": 0, "win_rate": 0.0, "max_drawdown_pct": 1.71,
               "last_bar": 4, "fee_rate": 0.001, "slippage_bps": 0.0}
    return {
        "format": "tarnel_rl episode trace", "version": 1, "episode_type": "train", "episode_index": 0,
        "initial_balance": 10000.0, "steps_total": 3, "first": 1,
        "candles": [[c, c, c, c, 5.0] for c in (100.0, 100.0, 110.0, 99.0, 105.0)],
        "actions": [LONG, HOLD, SHORT], "rewards": [0.99, -1.1, None],
        "net_units": [0.0, 10.0, 10.0, -10.0], "closes": [100.0, 110.0, 99.0, 105.0],
        "equity": [10000.0, 10000 - 1 + 100.0, 10099 - 110.0, 9925.97],
        "fills": [{"at": 1, "price": 100.0, "side": 1, "opened": True, "gain": False},
                  {"at": 3, "price": 99.0, "side": 1, "opened": False, "gain": False},
                  {"at": 3, "price": 99.0, "side": -1, "opened": True, "gain": False},
                  {"at": 4, "price": 105.0, "side": -1, "opened": False, "gain": False}],
        "ended": True, "summary": summary,
    }


def test_a_trace_made_by_hand_loads_and_replays():
    replay = Replay(hand_trace())
    assert replay.steps == 3 and replay.summary.final_equity == 9925.97
    assert [m.at for m in replay.trace_at(3).marks] == [1, 3, 3, 4]


def test_the_spread_lot_size_financing_and_margin_call_are_the_summary_s():
    # Lots of 0.5, a spread of 20 bps (0.1 % each way), fee 0.1 %: bought 10 lots at 100.1 (fee 0.5005, half
    # spread 0.5), held 5 from 110 to 99, sold 20 lots at 98.901 (fee 0.98901, half spread 0.99), bought
    # back 10 at 105.105 at the end (fee 0.525525, half spread 0.525).
    trace = hand_trace()
    e1 = 10000 - 1.0005 + 5 * 10
    e2 = e1 - 5 * 11
    e3 = e2 - 1.97901 - 5 * 6
    final = e3 - 1.050525
    trace["equity"] = [10000.0, e1, e2, final]
    trace["summary"].update(final_equity=final, lot_size=0.5, spread_bps=20.0)
    Replay(trace)
    with pytest.raises(ValueError, match=r"equity\[1\] is 10048.9995, but the step.s net units, closes and costs make 10049.5"):
        Replay({**trace, "summary": {**trace["summary"], "spread_bps": 0.0}})
    # Financing lowers the equity by what the file cannot recompute: less is accepted, more is not.
    financed = {**trace, "equity": [10000.0, e1 - 0.3, e2 - 0.6, final - 0.9],
                "summary": {**trace["summary"], "borrow_rate": 0.05, "final_equity": final - 0.9}}
    Replay(financed)
    # A margin call closed everything inside the last step, whatever it asked and whatever it cost.
    called = {**trace, "net_units": [0.0, 10.0, 10.0, 0.0], "equity": [10000.0, e1, e2, 9000.0],
              "summary": {**trace["summary"], "margin_call": True, "final_equity": 9000.0},
              "fills": [trace["fills"][0], {"at": 3, "price": 99.0, "side": 1, "opened": False, "gain": False}]}
    Replay(called)
    with pytest.raises(ValueError, match=r"equity\[3\] is 9000.0, but the step's net units, closes and costs"):
        Replay({**called, "summary": {**called["summary"], "margin_call": False}})


@requires_node
@pytest.mark.parametrize("account", [
    {"fee_rate": 0.001, "slippage_bps": 5},
    {"spread_bps": 8, "lot_size": 0.1, "sizing": "equity"},
    {"borrow_rate": 0.2, "spread_bps": 3},
])
def test_episodes_with_every_kind_of_account_pass_the_check(tmp_path, account):
    from tarnel_rl.data import sample_path

    env = TradingEnv(ui="node", record_trace=True, candles=sample_path(), action="target",
                     ui_options={"episode_length": 25, "window": 5}, **account)
    rng = np.random.default_rng(5)
    try:
        env.reset(options={"episode_type": "train", "episode_index": 2})
        for exposure in rng.uniform(-1, 1, 25):
            env.step(np.array([exposure], dtype=np.float32))
        path = save_trace(env.episode_trace, tmp_path / "episode.json")
    finally:
        env.close()
    replay = Replay(path)
    assert replay.steps == 25 and len(replay.data["fills"]) > 4


def _set(path, value):
    def damage(trace):
        *keys, last = path
        for key in keys:
            trace = trace[key]
        trace[last] = value
    return damage


def _drop(key):
    return lambda trace: trace.pop(key)


DAMAGE = {
    "not JSON": ("text", '{"format": "tarnel_rl episode', r"not JSON"),
    "a list": ("text", "[1, 2]", r"not a tarnel_rl episode trace of version 1: a JSON list"),
    "a key missing": (_drop("equity"), None, r"the key 'equity' is missing"),
    "a list of the wrong type": (_set(["equity"], "lots"), None, r"equity must be a list, got 'lots'"),
    "an index as text": (_set(["episode_index"], "0"), None, r"episode_index must be an integer, got '0'"),
    "a balance of 0": (_set(["initial_balance"], 0.0), None, r"initial_balance must be above 0"),
    "a candle of 4": (_set(["candles", 2], [110.0, 110.0, 110.0, 110.0]), None, r"candles row 2 must be 5 numbers"),
    "a candle short": (lambda t: t["candles"].pop(), None, r"4 candles for 3 steps after 2 candles of history"),
    "an action short": (lambda t: t["actions"].pop(), None, r"2 actions for 3 steps"),
    "a net unit more": (lambda t: t["net_units"].append(0.0), None, r"5 net_units for 3 steps"),
    "more steps than the episode": (_set(["steps_total"], 2), None, r"3 steps in an episode of 2"),
    "a candle's high below its close": (_set(["candles", 3, 1], 98.0), None, r"candles row 3"),
    "an equity of null": (_set(["equity", 2], None), None, r"equity\[2\] must be a finite number, got None"),
    "a close not its candle's": (_set(["closes", 2], 98.0), None,
                                 r"closes\[2\] is 98.0, but the close of its candle \(3\) is 99.0"),
    "a reward as text": (_set(["rewards", 0], "1"), None, r"rewards\[0\] must be a number or null"),
    "an action not taken": (_set(["actions", 1], FLAT), None,
                            r"actions\[1\] is 3, but the net units went from 10 to 10"),
    "an action out of range": (_set(["actions", 0], 7), None, r"actions\[0\] is 7, not a discrete action"),
    "an edited equity": (_set(["equity", 2], 9989.5), None,
                         r"equity\[2\] is 9989.5, but the step's net units, closes and costs make 9989.0"),
    "an edited final equity": (_set(["equity", 3], 9930.0), None, r"the summary's final_equity is 9925.97"),
    "an edited fill": (_set(["fills", 1, "price"], 98.0), None, r"fills\[1\] is .*'price': 98.0"),
    "a fill missing": (lambda t: t["fills"].pop(), None, r"fills\[3\] is missing"),
    "a summary of another episode": (_set(["summary", "episode_index"], 4), None,
                                     r"the summary's episode_index is 4, but the trace's is 0"),
    "a summary with an unknown key": (_set(["summary", "bonus"], 1), None, r"the summary is not an episode summary: bonus"),
    "a gain beyond the costs where financing runs": (
        lambda t: (t["summary"].update(borrow_rate=0.05), t["equity"].__setitem__(1, 10099.5)), None,
        r"equity\[1\] is 10099.5, more than the 10099.0 that .* make before any financing"),
    "a summary's fees as text": (_set(["summary", "fees"], "4.03"), None, r"the summary's fees must be a number, got '4.03'"),
    "a summary without its fee rate": (lambda t: t["summary"].pop("fee_rate"), None,
                                       r"the summary is not an episode summary: fee_rate missing"),
    "times of another length": (_set(["times"], ["2024-01-01"] * 4), None,
                                r"times must be null or a list of one time a candle \(5\), got 4"),
    "a time that is no time": (_set(["times"], ["2024-01-01", "2024-01-02", "soon", "2024-01-04", "2024-01-05"]),
                               None, r"times\[2\] must be an ISO 8601 time .*got 'soon'"),
    "times going back": (_set(["times"], ["2024-01-01", "2024-01-03", "2024-01-02", "2024-01-04", "2024-01-05"]),
                         None, r"candles row 2 \(2024-01-02.*\): time is not after the row before's"),
}


@pytest.mark.parametrize("kind", DAMAGE)
def test_a_damaged_or_edited_trace_is_refused_naming_the_file_and_the_fault(tmp_path, kind):
    damage, text, message = DAMAGE[kind]
    path = tmp_path / "episode.json"
    if damage == "text":
        path.write_text(text)
    else:
        trace = hand_trace()
        damage(trace)
        path.write_text(json.dumps(trace))
    with pytest.raises(ValueError, match=message) as refused:
        Replay(path)
    assert str(refused.value).startswith(f"{path}: ")
