"""Positions sized by equity with leverage and lots, the bid/ask spread, the financing and the margin call,
on the shipped sample, the real module and the Node.js user interface. Every step's equity is checked
against a book kept here by hand from the candles, the actions and the documented rules, in cash terms
(cash + net quantity x close), independently of the page's per-position accounting."""
import math

import numpy as np
import pytest

from rl_support import requires_node

pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl.account import Costs, Sizing, make_costs, make_sizing  # noqa: E402
from tarnel_rl.data import load_candles, sample_path  # noqa: E402
from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT  # noqa: E402

SECONDS_PER_YEAR = 365.25 * 86400
BALANCE, LEVERAGE, LOT = 50_000.0, 2.0, 0.1
FEE, SLIP_BPS, SPREAD_BPS, BORROW = 0.0005, 2.0, 10.0, 0.06
SMALL = {"window": 20, "episode_length": 60}
SNAP_BAR, SNAP_NET_UNITS = 1, 10


class HandBook:
    """The account by the documented rules: a buy pays mid x (1 + slippage + spread / 2), a sell gets
    mid x (1 - slippage - spread / 2), each pays the fee on its price; between two bars the position held
    pays borrow_rate x years on a short's value, or on a long's value beyond the equity."""

    def __init__(self, *, fee=FEE, slip_bps=SLIP_BPS, spread_bps=SPREAD_BPS, borrow=BORROW, lot=LOT):
        self.cash, self.net = BALANCE, 0
        self.fee, self.slip, self.half, self.borrow_rate, self.lot = fee, slip_bps / 1e4, spread_bps / 2e4, borrow, lot
        self.fees = self.spread = self.borrow = 0.0

    def equity(self, mid):
        return self.cash + self.net * self.lot * mid

    def trade(self, lots, mid):
        if lots == 0:
            return
        side = 1 if lots > 0 else -1
        quantity = abs(lots) * self.lot
        price = mid * (1 + side * (self.slip + self.half))
        fee = self.fee * price * quantity
        self.cash -= side * price * quantity + fee
        self.fees += fee
        self.spread += self.half * mid * quantity
        self.net += lots

    def move_to(self, target, mid):
        if self.net != 0 and (target == 0 or (target > 0) != (self.net > 0)):
            self.trade(-self.net, mid)  # the env closes everything before it turns or goes flat
        self.trade(target - self.net, mid)

    def finance(self, mid, years):
        value = abs(self.net) * self.lot * mid
        borrowed = value if self.net < 0 else max(0.0, value - self.equity(mid))
        charge = self.borrow_rate * years * borrowed
        self.cash -= charge
        self.borrow += charge


def lots(exposure, equity, price, leverage=LEVERAGE):
    return math.trunc(exposure * equity * leverage / (price * LOT))


@pytest.fixture(scope="module")
def candles():
    return load_candles(sample_path())


@pytest.fixture
def make_env(candles):
    made = []

    def make(**kwargs):
        options = dict(candles=candles, ui_options=SMALL, sizing="equity", lot_size=LOT, initial_balance=BALANCE,
                       fee_rate=FEE, slippage_bps=SLIP_BPS)
        options.update(kwargs)
        env = TradingEnv(ui="node", **options)
        made.append(env)
        return env

    yield make
    for env in made:
        env.close()


def years_between(candles, a, b):
    return float((candles.times[b] - candles.times[a]) / np.timedelta64(1, "s")) / SECONDS_PER_YEAR


def script(kind, steps):
    rng = np.random.default_rng(11)
    if kind == "target":
        return list(rng.integers(-8, 9, steps) / 8.0)  # exact in float32
    return list(rng.choice([HOLD, HOLD, LONG, SHORT, FLAT], steps))


def hand_target(kind, action, book, equity, price):
    """The net lots the env trades to for `action`, from the equity and close it saw before the step."""
    if kind == "target":
        return lots(float(action), equity, price)
    if action == FLAT:
        return 0
    if action == HOLD or (action == LONG and book.net > 0) or (action == SHORT and book.net < 0):
        return book.net  # a position on the asked side is kept as it is, not resized
    return (1 if action == LONG else -1) * lots(1.0, equity, price)


@pytest.mark.parametrize("kind", ["target", "discrete"])
def test_every_step_equity_matches_a_book_kept_by_hand(make_env, candles, kind):
    env = make_env(action=kind, leverage=LEVERAGE, spread_bps=SPREAD_BPS, borrow_rate=BORROW)
    account = env.config["account"]
    assert (account["lot_size"], account["spread_bps"], account["borrow_rate"], account["bar_times"]) == (
        LOT, SPREAD_BPS, BORROW, True)
    assert env.config["initial_balance"] == BALANCE
    _, info = env.reset(options={"episode_type": "train", "episode_index": 2})
    closes = candles.values[:, 3]
    book = HandBook()
    bar, equity = int(info["snapshot"][SNAP_BAR]), info["equity"]
    assert equity == BALANCE
    for step, action in enumerate(script(kind, SMALL["episode_length"])):
        target = hand_target(kind, action, book, equity, closes[bar])
        book.move_to(target, closes[bar])
        book.finance(closes[bar], years_between(candles, bar, bar + 1))
        step_action = np.array([action], dtype=np.float32) if kind == "target" else int(action)
        _, _, terminated, truncated, info = env.step(step_action)
        bar += 1
        assert int(info["snapshot"][SNAP_BAR]) == bar
        assert info["snapshot"][SNAP_NET_UNITS] == book.net, f"step {step}"
        assert info["equity"] == pytest.approx(book.equity(closes[bar]), rel=1e-11), f"step {step}"
        equity = info["equity"]
    assert terminated and not truncated and info["terminated_by"] == "episode end"
    book.move_to(0, closes[bar])  # the session's end closes what is open at the last close
    record = info["episode_summary"]
    assert record.final_equity == pytest.approx(book.cash, rel=1e-11)
    assert record.fees == pytest.approx(book.fees, rel=1e-9)
    assert record.spread_cost == pytest.approx(book.spread, rel=1e-9)
    assert record.borrow_cost == pytest.approx(book.borrow, rel=1e-9) and book.borrow > 0
    assert (record.spread_bps, record.borrow_rate, record.lot_size, record.margin_call) == (SPREAD_BPS, BORROW, LOT, False)
    assert record.initial_balance == BALANCE and len(info["summary"]) == 17


def test_a_leveraged_short_into_the_rise_is_closed_by_a_margin_call(make_env, candles):
    leverage, margin = 5.0, 0.15
    env = make_env(leverage=leverage, maintenance_margin=margin, spread_bps=SPREAD_BPS,
                   ui_options={"window": 20, "episode_length": 200})
    _, info = env.reset(options={"episode_type": "train", "episode_index": 0})
    closes = candles.values[:, 3]
    book = HandBook(borrow=0.0)
    bar = int(info["snapshot"][SNAP_BAR])
    book.move_to(-abs(lots(1.0, BALANCE, closes[bar], leverage)), closes[bar])
    _, _, terminated, _, info = env.step(SHORT)
    steps = 1
    while True:
        bar += 1
        equity, required = book.equity(closes[bar]), margin * abs(book.net) * LOT * closes[bar]
        if equity < required:
            break
        assert not terminated and info["equity"] == pytest.approx(equity, rel=1e-11)
        _, _, terminated, _, info = env.step(HOLD)
        steps += 1
    book.move_to(0, closes[bar])
    assert terminated and info["step"] == steps < 200
    assert info["terminated_by"] == "margin call"
    call = info["margin_call"]
    assert call["bar"] == bar and call["maintenance_margin"] == margin
    assert call["equity"] == pytest.approx(equity, rel=1e-11) and call["required"] == pytest.approx(required, rel=1e-11)
    assert info["equity"] == pytest.approx(book.cash, rel=1e-11)
    assert info["episode_summary"].final_equity == pytest.approx(book.cash, rel=1e-11)
    assert info["snapshot"][SNAP_NET_UNITS] == 0
    with pytest.raises(RuntimeError, match="call reset"):
        env.step(HOLD)


def test_units_sizing_stays_the_default_and_passes_nothing_new_to_the_page(make_env):
    env = make_env(sizing="units", lot_size=None, initial_balance=None)
    assert "account" not in env.config and env.config["initial_balance"] == 10000
    env.reset(options={"episode_type": "train", "episode_index": 0})
    _, _, _, _, info = env.step(LONG)
    assert info["snapshot"][SNAP_NET_UNITS] == 10


@pytest.mark.parametrize("exposure, expected", [(0.5, 49), (-0.5, -49), (1.0, 99), (0.004, 0), (-0.004, 0)])
def test_equity_sizing_rounds_toward_zero_to_whole_lots(exposure, expected):
    sizing = Sizing("equity", leverage=2, lot_size=0.01)
    assert sizing.lots(exposure, 1000.0, 2020.0) == expected  # 1000 x 2 / 2020 = 0.990 coins = 99 lots at 1.0
    assert sizing.lots(1.0, -5.0, 100.0) == 0  # no equity, no position


@pytest.mark.parametrize("make, message", [
    (lambda: make_sizing("units", leverage=2), "leverage sizes positions by the equity"),
    (lambda: make_sizing("equity", leverage=4, maintenance_margin=0.25), "a full position would be below the margin"),
    (lambda: make_sizing("shares"), "sizing must be 'units'"),
    (lambda: make_sizing(Sizing("equity"), leverage=2), "leverage given both in sizing="),
    (lambda: make_sizing("equity", lot_size=0), "lot_size must be a finite number above 0"),
    (lambda: make_sizing("equity", initial_balance=float("nan")), "initial_balance must be a finite number"),
    (lambda: make_costs(None, spread_bps=10000), "spread_bps must be a finite number >= 0 and below 10000"),
    (lambda: make_costs(Costs(borrow_rate=0.1), borrow_rate=0.2), "borrow_rate given both"),
    (lambda: make_costs(None, bars_per_year=0), "bars_per_year must be a finite number above 0"),
])
def test_bad_account_choices_are_refused_naming_them(make, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        make()


def test_only_the_choices_that_differ_from_the_page_s_defaults_are_passed_on():
    assert Sizing().ui_options() == {} and Costs().ui_options() == {}
    assert make_sizing("equity", leverage=3, lot_size=0.01, initial_balance=1e5).ui_options() == {
        "initial_balance": 1e5, "lot_size": 0.01}
    assert Costs(spread_bps=1.5, bars_per_year=365).ui_options() == {"spread_bps": 1.5, "bars_per_year": 365.0}


@pytest.mark.parametrize("make", [lambda: make_sizing(2), lambda: make_costs({"spread_bps": 1})])
def test_account_choices_of_another_type_are_a_type_error(make):
    with pytest.raises(TypeError, match="tarnel_rl.account"):
        make()


def test_the_report_s_turnover_counts_the_quantity_of_the_lots():
    from types import SimpleNamespace

    from tarnel_rl.metrics import EpisodeRecord
    record = EpisodeRecord(0, [1000.0, 1010.0], [100.0, 110.0], [0.0, 5.0], SimpleNamespace(lot_size=0.1))
    assert record.traded_value() == pytest.approx((5 * 100 + 5 * 110) * 0.1)  # bought at 100, closed at 110
