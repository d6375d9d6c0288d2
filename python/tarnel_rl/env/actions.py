"""What a step of `TradingEnv` takes, and the position it asks for.

    TradingEnv(action="discrete")    # the default: Discrete(4), 0 hold, 1 long, 2 short, 3 flat, `units` each
    TradingEnv(action="target")      # Box(-1, 1, (1,)): the target exposure, -1 all short ... 1 all long

Target exposure: an action e (clipped to [-1, 1]) asks for a net position of round(e x units) whole
units (long above 0, short below; halves round to even), where `units` is the environment's `units`
argument (the full position). Choose `units` for what full exposure should mean: for example
`units = initial balance / price` puts the whole balance into the market at exposure 1. With
`sizing="equity"` (`tarnel_rl.account`) e asks instead for trunc(e x equity x leverage / (price x lot_size))
lots, from the equity and the close before the step, so that the same action is the same risk at any
price and balance; the discrete action's long and short are e = +1 and -1, sized when the position is
opened (a long kept long is not resized). The environment
trades toward the target at the bar's close with the page's own calls, and only when the target differs
from the net position: it closes every position when the target is flat or on the other side, reduces
the newest positions first when the target is smaller (whole closes, then one partial reduction), and
opens one market ticket for what is missing. Every trade pays the fee and the slippage.
"""
from __future__ import annotations

from typing import Any

import numpy as np
from gymnasium import spaces

from tarnel_rl.env.account import Sizing
from tarnel_rl.env.trading import ACTION_NAMES


class DiscreteActions:
    """Discrete(4): hold, long, short, flat (tarnel_rl.trading); a new position is `units` lots, or with
    equity sizing exposure 1 (`position_units`)."""

    name = "discrete"

    def __init__(self, units: int, sizing: Sizing | None = None) -> None:
        self.units = units
        self.sizing = sizing if sizing is not None else Sizing()
        self.space = spaces.Discrete(len(ACTION_NAMES))

    def position_units(self, equity: float, price: float) -> int:
        """The lots of a position the next step opens, at this equity and close."""
        if self.sizing.mode == "units":
            return self.units
        return self.sizing.lots(1.0, equity, price)

    def check(self, action: Any, equity: float = 0.0, price: float = 0.0) -> int:
        """The action as an int (`equity` and `price` are for the target action's sizing)."""
        if not (type(action) is int and 0 <= action < len(ACTION_NAMES)) and not self.space.contains(action):
            raise ValueError(f"action must be one of 0..{len(ACTION_NAMES) - 1}, got {action!r}")
        return int(action)


class TargetExposure:
    """Box(-1, 1, (1,), float32): the target exposure; see the module's text for how it maps to units."""

    name = "target"

    def __init__(self, units: int, sizing: Sizing | None = None) -> None:
        self.units = units
        self.sizing = sizing if sizing is not None else Sizing()
        self.space = spaces.Box(-1.0, 1.0, shape=(1,), dtype=np.float32)

    def check(self, action: Any, equity: float = 0.0, price: float = 0.0) -> float:
        """The target net units for `action`, a number or a one-element array; with equity sizing, at
        this equity and close."""
        try:
            array = np.asarray(action, dtype=np.float64).reshape(-1)
        except (TypeError, ValueError):
            array = np.array([np.nan, np.nan])
        if array.size != 1 or not np.isfinite(array[0]):
            raise ValueError(f"action must be one finite target exposure in [-1, 1], got {action!r}")
        return self.target_units(float(array[0]), equity, price)

    def target_units(self, exposure: float, equity: float = 0.0, price: float = 0.0) -> float:
        clipped = min(1.0, max(-1.0, exposure))
        if self.sizing.mode == "units":
            return float(round(clipped * self.units))
        return float(self.sizing.lots(clipped, equity, price))


def make_actions(choice: Any, units: int, sizing: Sizing | None = None) -> DiscreteActions | TargetExposure:
    if isinstance(choice, (DiscreteActions, TargetExposure)):
        return choice
    if choice == "discrete":
        return DiscreteActions(units, sizing)
    if choice == "target":
        return TargetExposure(units, sizing)
    raise ValueError(f"action must be 'discrete' or 'target', got {choice!r}")
