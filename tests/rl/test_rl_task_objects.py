"""The task as objects: `MarketData` with its `Split`, `Costs` and `Sizing` each refuse a bad value when made,
naming it; the object form and the keyword form give the page the same options and the same returns; a
keyword that moved into an object says where it went; an object and a shortcut for the same choice are
refused; and no class of tarnel_rl grows past 300 lines."""
import ast

import numpy as np
import pytest

from rl_support import PYTHON_DIR, requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.data import load_candles, sample_path  # noqa: E402
from tarnel_rl.env import Costs, MarketData, Sizing, Split, TradingEnv, TradingVectorEnv  # noqa: E402
from tarnel_rl.gym_env import ENV_ID  # noqa: E402

CLOSES = [100, 100, 110, 99, 105, 100, 104, 98, 100, 101, 100, 103, 100, 97, 100, 102, 100, 100, 99, 100]
CANDLES = np.array([[c, c, c, c, 1000.0] for c in CLOSES])
SMALL = {"window": 2, "episode_length": 4}
MAX_CLASS_LINES = 300


def unopened(**kwargs):
    """An environment made but never opened: its choices are checked and its page options built, no engine
    or page starts (as a vector environment makes its environments before it opens them together)."""
    return TradingEnv(ui=None, port=1, _defer_open=True, **kwargs)


@pytest.mark.parametrize("make, error, message", [
    (lambda: Split(test_share=1.5), ValueError, "test_share must be a fraction between 0 and 1, got 1.5"),
    (lambda: Split(validation_share=0), ValueError, "validation_share must be a fraction between 0 and 1"),
    (lambda: Split(test_share=True), ValueError, "test_share must be a fraction"),
    (lambda: Split(test_from="2024-01-01", test_share=0.2), ValueError, "give test_from or test_share, not both"),
    (lambda: Split(validation_from="2024-01-01", validation_share=0.1), ValueError,
     "give validation_from or validation_share, not both"),
    (lambda: Split(train_starts="random"), ValueError, "train_starts must be 'grid'"),
    (lambda: MarketData(CANDLES, split={"test_share": 0.5}), TypeError, "split must be a tarnel_rl.env.Split"),
    (lambda: MarketData([[100, 99, 100, 100, 0], [100, 100, 100, 100, 0]]), ValueError,
     r"candles row 0: high 99 is below max\(open, close\) 100"),
    (lambda: Costs(fee_rate=-0.1), ValueError, "fee_rate must be a finite number >= 0, got -0.1"),
    (lambda: Costs(fee_rate="0.1"), TypeError, "fee_rate must be a number"),
    (lambda: Costs(slippage_bps=float("nan")), ValueError, "slippage_bps must be a finite number"),
    (lambda: Costs(slippage_bps=10000), ValueError, "slippage_bps must be below 10000"),
    (lambda: Costs(spread_bps=-1), ValueError, "spread_bps must be a finite number >= 0"),
    (lambda: Costs(bars_per_year=0), ValueError, "bars_per_year must be a finite number above 0"),
    (lambda: Sizing(units=0), ValueError, "units must be at least 1, got 0"),
    (lambda: Sizing(units=2.5), TypeError, "units must be an integer"),
    (lambda: Sizing(units=2 ** 31), ValueError, "units must be at most"),
    (lambda: Sizing("units", leverage=2), ValueError, "leverage sizes positions by the equity"),
])
def test_each_object_refuses_a_bad_value_when_made(make, error, message):
    with pytest.raises(error, match=message):
        make()


def test_the_objects_keep_what_they_were_given_as_numbers():
    assert Costs(fee_rate=1, slippage_bps=5).ui_options() == {"fee_rate": 1.0, "slippage_bps": 5.0}
    assert Costs().ui_options() == {} and Sizing().units == 10
    assert Split(test_share=0.25).ui_options(1000, None) == {"test_bars": 250, "validation_bars": 0}
    assert Split().ui_options(1000, None) == {}  # the page's own split
    assert MarketData().series is None and MarketData(CANDLES).series["market 0"].values.shape == (20, 5)


# Each pair: the keyword form and the object form of one task.
SAME_TASKS = [
    ({"candles": CANDLES, "test_share": 0.5, "train_starts": "any"},
     {"market": MarketData(CANDLES, Split(test_share=0.5, train_starts="any"))}),
    ({"test_share": 0.3, "validation_share": 0.1},
     {"market": MarketData(split=Split(test_share=0.3, validation_share=0.1))}),
    ({"fee_rate": 0.001, "slippage_bps": 10, "spread_bps": 4, "borrow_rate": 0.05},
     {"costs": Costs(fee_rate=0.001, slippage_bps=10, spread_bps=4, borrow_rate=0.05)}),
    ({"sizing": "equity", "leverage": 2, "lot_size": 0.1, "maintenance_margin": 0.25, "initial_balance": 5e4,
      "units": 150},
     {"sizing": Sizing("equity", leverage=2, lot_size=0.1, maintenance_margin=0.25, initial_balance=5e4, units=150)}),
]


@pytest.mark.parametrize("keywords, objects", SAME_TASKS)
def test_the_object_form_and_the_keyword_form_give_the_page_the_same_options(keywords, objects):
    by_keywords, by_objects = unopened(**keywords), unopened(**objects)
    try:
        assert by_keywords.ui_options == by_objects.ui_options
        assert list(by_keywords.ui_options) == list(by_objects.ui_options)  # the page's query in one order
        assert (by_keywords.sizing, by_keywords.costs, by_keywords.units) == (by_objects.sizing, by_objects.costs,
                                                                             by_objects.units)
    finally:
        by_keywords.close()
        by_objects.close()


def test_the_default_objects_change_nothing_the_page_is_told():
    default, explicit = unopened(), unopened(market=MarketData(), costs=Costs(), sizing=Sizing())
    try:
        assert default.ui_options == explicit.ui_options == {}
    finally:
        default.close()
        explicit.close()


@pytest.mark.parametrize("make", [
    lambda: TradingEnv(ui=None, port=1, bars_per_year=365),
    lambda: gym.make(ENV_ID, ui=None, port=1, bars_per_year=365),
    lambda: TradingVectorEnv(2, bars_per_year=365),
])
def test_a_keyword_that_moved_into_an_object_says_which_takes_it(make):
    # gym.make adds which kwargs the environment's creator was given.
    with pytest.raises(TypeError, match=r"^bars_per_year= moved: pass costs=Costs\(bars_per_year=\.\.\.\)"):
        make()


def test_an_unknown_keyword_is_named():
    with pytest.raises(TypeError, match="unexpected keyword argument 'fee'"):
        TradingEnv(ui=None, port=1, fee=0.1)


@pytest.mark.parametrize("kwargs, named", [
    ({"market": MarketData(CANDLES), "test_share": 0.5}, "test_share given both in market=MarketData"),
    ({"market": MarketData(), "candles": CANDLES, "train_starts": "any"},
     "candles, train_starts given both in market=MarketData"),
    ({"costs": Costs(fee_rate=0.001), "fee_rate": 0.001}, "fee_rate given both in costs=Costs"),
    ({"costs": Costs(), "spread_bps": 2}, "spread_bps given both in costs=Costs"),
    ({"sizing": Sizing(units=5), "units": 5}, "units given both in sizing=Sizing"),
    ({"sizing": Sizing("equity"), "leverage": 2}, "leverage given both in sizing=Sizing"),
])
def test_an_object_and_a_shortcut_for_the_same_choice_are_refused(kwargs, named):
    with pytest.raises(ValueError, match=named.replace("(", r"\(") + ".*give each once"):
        unopened(**kwargs)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"market": {"candles": CANDLES}}, TypeError, "market must be a tarnel_rl.env.MarketData"),
    ({"costs": {"fee_rate": 0.1}}, TypeError, "costs must be a tarnel_rl.account.Costs"),
    ({"market": MarketData(split=Split(test_from="2024-01-01"))}, ValueError, "test_from needs candles with times"),
    ({"market": MarketData(CANDLES, Split(test_share=0.5)), "ui_options": {"test_bars": 3}}, ValueError,
     "test_bars given both as arguments and in ui_options"),
])
def test_objects_of_another_type_or_that_do_not_fit_the_page_are_refused(kwargs, error, message):
    with pytest.raises(error, match=message):
        unopened(**kwargs)


def play(env, exposures):
    """Rewards and the summary of one seeded train episode under scripted target exposures."""
    env.reset(seed=3, options={"episode_type": "train"})
    rewards = []
    for exposure in exposures:
        _, reward, terminated, truncated, info = env.step(np.array([exposure], dtype=np.float32))
        rewards.append(reward)
        if terminated or truncated:
            return rewards, info["summary"].tolist()
    raise AssertionError("the episode did not end")


@requires_node
def test_the_object_form_and_the_keyword_form_give_the_same_returns():
    sample = load_candles(sample_path())
    exposures = [0.5, 1.0, -0.2, -0.7, 0.0, 0.3] * 10
    by_keywords = TradingEnv(ui="node", ui_options={"window": 8, "episode_length": 40}, action="target",
                             candles=sample, test_from="2024-01-01", validation_share=0.1, fee_rate=0.0005,
                             slippage_bps=5, spread_bps=3, borrow_rate=0.05, sizing="equity", leverage=2,
                             lot_size=0.1, initial_balance=50_000)
    try:
        expected = play(by_keywords, exposures)
    finally:
        by_keywords.close()
    by_objects = TradingEnv(
        ui="node", ui_options={"window": 8, "episode_length": 40}, action="target",
        market=MarketData(sample, Split(test_from="2024-01-01", validation_share=0.1)),
        costs=Costs(fee_rate=0.0005, slippage_bps=5, spread_bps=3, borrow_rate=0.05),
        sizing=Sizing("equity", leverage=2, lot_size=0.1, initial_balance=50_000))
    try:
        assert play(by_objects, exposures) == expected  # bit for bit
        assert expected[0] != [0.0] * len(expected[0])
    finally:
        by_objects.close()


@requires_node
def test_the_vector_environment_and_gym_make_pass_the_objects_on():
    market = MarketData(CANDLES, Split(test_share=0.5))
    envs = TradingVectorEnv(2, ui_options=SMALL, market=market, costs=Costs(fee_rate=0.001))
    try:
        assert [env.ui_options["fee_rate"] for env in envs.envs] == [0.001, 0.001]
        assert all(env.candles is market.series["market 0"] for env in envs.envs)  # loaded once, shared
        observations, _ = envs.reset(seed=0)
        assert observations.shape[0] == 2
    finally:
        envs.close()
    env = gym.make(ENV_ID, ui="node", ui_options=SMALL, market=market, max_episode_steps=2)
    try:
        env.reset(seed=0)
        assert env.unwrapped.config["test_bars"][1] == 10
    finally:
        env.close()


def test_no_class_of_the_package_is_over_300_lines():
    long = []
    for path in sorted((PYTHON_DIR / "tarnel_rl").rglob("*.py")):
        for node in ast.walk(ast.parse(path.read_text(), str(path))):
            if isinstance(node, ast.ClassDef) and node.end_lineno - node.lineno + 1 > MAX_CLASS_LINES:
                long.append(f"{path.relative_to(PYTHON_DIR)}: {node.name}, {node.end_lineno - node.lineno + 1} lines")
    assert not long, long
