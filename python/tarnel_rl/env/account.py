"""The trading account of an environment: how big a position an action asks for (`Sizing`) and what
trading costs (`Costs`). The page keeps the account (ui/src/book.js and
session.js say its rules); these objects check the choices and pass them on as the page's options.

    TradingEnv(sizing="equity", leverage=2, lot_size=0.01, maintenance_margin=0.25,
               spread_bps=2, borrow_rate=0.05, initial_balance=100_000)
    TradingEnv(sizing=Sizing("equity", leverage=2, lot_size=0.01, maintenance_margin=0.25,
                             initial_balance=100_000),
               costs=Costs(spread_bps=2, borrow_rate=0.05))                      # the same, as objects

Sizing "units" (the default, what the demo and its recorded returns use): a position is `units` lots
whatever the balance, as it always was. Sizing "equity": an exposure e (the target action, or +-1 for the
discrete action's long and short) asks for

    lots = trunc(e x equity x leverage / (price x lot_size))

rounded toward zero, so that a position is never bigger than asked; `equity` and `price` are the
snapshot's equity and close before the step, the bar at whose close the trade is made. A position of
`lots` holds lots x lot_size of the instrument (0.01 for a hundredth of a coin or an FX micro lot);
every `units` the page answers (receipts, tickets, events, the snapshot's net units) counts lots.

Costs: `fee_rate`, paid on the value of every fill; `slippage_bps`, moving the price of every fill and
close against the trader; `spread_bps`, the whole bid/ask spread (a buy pays half above the price, a sell half below);
`borrow_rate`, a year's rate charged at every bar on the short positions' whole value and on the long
positions' value beyond the equity (the borrowed money), by the time between the bars when the candles
have times, else by `bars_per_year`. The maintenance margin (`maintenance_margin`, a fraction of the
open positions' value) closes everything when the equity falls below it, and ends the episode
(`info["terminated_by"] == "margin call"`).
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, TypeVar

from tarnel_rl.env.trading import check_units

SIZING_MODES = ("units", "equity")
DEFAULT_BARS_PER_YEAR = 252.0
# The page's own defaults (ui/src/engine.js): an option at its default is not passed on, so that the page
# answers as it always did.
ACCOUNT_PAGE_DEFAULTS = {"lot_size": 1.0, "maintenance_margin": 0.0, "spread_bps": 0.0, "borrow_rate": 0.0,
                         "bars_per_year": DEFAULT_BARS_PER_YEAR}
_PAGE_DEFAULTS = {"initial_balance": 10000.0, **ACCOUNT_PAGE_DEFAULTS}


def _number(name: str, value: Any, low: float, high: float | None = None, *, low_open: bool = False,
            high_open: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
        raise TypeError(f"{name} must be a number, got {value!r}")
    number = float(value)
    above = number > low if low_open else number >= low
    below = high is None or (number < high if high_open else number <= high)
    if not (math.isfinite(number) and above and below):
        lower = f"above {low:g}" if low_open else f">= {low:g}"
        upper = "" if high is None else f" and {'below' if high_open else 'at most'} {high:g}"
        raise ValueError(f"{name} must be a finite number {lower}{upper}, got {value!r}")
    return number


@dataclass(frozen=True)
class Sizing:
    """How big the positions are, and how far they may fall (see the module's text).

    mode: "units" (`units` lots a position) or "equity" (a share of equity x leverage).
    leverage: the position's value per unit of equity at exposure 1; only with mode "equity".
    lot_size: the instrument's quantity in one lot; the page's units count lots.
    maintenance_margin: the equity, as a fraction of the open positions' value, below which everything
        is closed and the episode ends; 0 never.
    initial_balance: the account's balance at every episode's start; None: the page's (10000).
    units: the lots of a position with mode "units" (and of full exposure with the "target" action), 1 to
        2^31 - 1, what a ticket carries."""

    mode: str = "units"
    leverage: float = 1.0
    lot_size: float = 1.0
    maintenance_margin: float = 0.0
    initial_balance: float | None = None
    units: int = 10

    def __post_init__(self) -> None:
        object.__setattr__(self, "units", check_units(self.units))
        if self.mode not in SIZING_MODES:
            raise ValueError(f"sizing must be 'units' (a fixed number of lots) or 'equity' (a share of the equity), "
                             f"got {self.mode!r}")
        object.__setattr__(self, "leverage", _number("leverage", self.leverage, 0.0, low_open=True))
        object.__setattr__(self, "lot_size", _number("lot_size", self.lot_size, 0.0, low_open=True))
        object.__setattr__(self, "maintenance_margin", _number("maintenance_margin", self.maintenance_margin, 0.0, 1.0))
        if self.initial_balance is not None:
            object.__setattr__(self, "initial_balance",
                               _number("initial_balance", self.initial_balance, 0.0, low_open=True))
        if self.mode == "units" and self.leverage != 1.0:
            raise ValueError("leverage sizes positions by the equity: it needs sizing='equity' (with sizing='units' a "
                             "position is `units` lots whatever the equity)")
        if self.mode == "equity" and self.maintenance_margin * self.leverage >= 1.0:
            raise ValueError(f"maintenance_margin {self.maintenance_margin:g} x leverage {self.leverage:g} is 1 or more: "
                             "a full position would be below the margin as soon as it is opened")

    def lots(self, exposure: float, equity: float, price: float) -> int:
        """The lots (long > 0, short < 0) of `exposure` in [-1, 1] at this equity and price, rounded toward
        zero; 0 when the equity is not above 0."""
        if equity <= 0.0 or price <= 0.0:
            return 0
        return int(math.trunc(exposure * equity * self.leverage / (price * self.lot_size)))

    def ui_options(self) -> dict[str, float]:
        return _changed(self, ("initial_balance", "lot_size", "maintenance_margin"))


@dataclass(frozen=True)
class Costs:
    """Trading costs (see the module's text). None, and a value at the page's default, leave the page's
    own (each is passed on only when it differs, so that the defaults answer as they always did).

    spread_bps: the whole bid/ask spread in basis points of the price (half on each trade).
    borrow_rate: a year's rate on short value and on long value beyond the equity.
    bars_per_year: the year of `borrow_rate` for candles without times (252: trading days).
    fee_rate: paid on the value of every fill; None: the page's (0.0002). Passed on whenever given.
    slippage_bps: moves every fill and close against the trader, below 10000; None: the page's (0)."""

    spread_bps: float = 0.0
    borrow_rate: float = 0.0
    bars_per_year: float = DEFAULT_BARS_PER_YEAR
    fee_rate: float | None = None
    slippage_bps: float | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "spread_bps", _number("spread_bps", self.spread_bps, 0.0, 10000.0))
        object.__setattr__(self, "borrow_rate", _number("borrow_rate", self.borrow_rate, 0.0))
        object.__setattr__(self, "bars_per_year", _number("bars_per_year", self.bars_per_year, 0.0, low_open=True))
        for name in ("fee_rate", "slippage_bps"):
            if getattr(self, name) is not None:
                object.__setattr__(self, name, _number(name, getattr(self, name), 0.0))
        if self.slippage_bps is not None and self.slippage_bps >= 10000:
            raise ValueError(f"slippage_bps must be below 10000, got {self.slippage_bps!r}")

    def ui_options(self) -> dict[str, float]:
        """The page's options: the account's costs that differ from its defaults, then the fee and the
        slippage whenever they are given (the order the page's options always had)."""
        options = _changed(self, ("spread_bps", "borrow_rate", "bars_per_year"))
        for name in ("fee_rate", "slippage_bps"):
            value = getattr(self, name)
            if value is not None:
                options[name] = value
        return options


def _changed(choice: Sizing | Costs, names: tuple[str, ...]) -> dict[str, float]:
    options = {}
    for name in names:
        value = getattr(choice, name)
        if value is not None and value != _PAGE_DEFAULTS[name]:
            options[name] = value
    return options


def make_sizing(sizing: str | Sizing, **shortcuts: Any) -> Sizing:
    """A `Sizing` from the environment's `sizing` argument (a mode name or a `Sizing`) and its keyword
    shortcuts (`leverage=`, ...; None: not given). A shortcut beside a `Sizing` is refused: give each
    choice once."""
    if isinstance(sizing, Sizing):
        return _alone(sizing, "sizing", shortcuts)
    if not isinstance(sizing, str):
        raise TypeError(f"sizing must be 'units', 'equity' or a tarnel_rl.account.Sizing, got {sizing!r}")
    return Sizing(mode=sizing, **_given(shortcuts))


def make_costs(costs: Costs | None, **shortcuts: Any) -> Costs:
    """A `Costs` from the environment's `costs` argument and its keyword shortcuts (`spread_bps=`, ...)."""
    if isinstance(costs, Costs):
        return _alone(costs, "costs", shortcuts)
    if costs is not None:
        raise TypeError(f"costs must be a tarnel_rl.account.Costs or None, got {costs!r}")
    return Costs(**_given(shortcuts))


def _given(shortcuts: dict[str, Any]) -> dict[str, Any]:
    return {key: value for key, value in shortcuts.items() if value is not None}


_Choice = TypeVar("_Choice", Sizing, Costs)


def _alone(choice: _Choice, name: str, shortcuts: dict[str, Any]) -> _Choice:
    given = _given(shortcuts)
    if given:
        raise ValueError(f"{', '.join(sorted(given))} given both in {name}={choice!r} and as arguments: give each once")
    return choice
