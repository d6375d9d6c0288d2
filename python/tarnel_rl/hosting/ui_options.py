"""The reference user interface's engine options that an environment may pass on (`ui_options`), checked
in Python with the rules the engine itself applies (ui/src/engine.js), so that a bad value is a
`ValueError` at once instead of a user interface that exits before it connects.

The page reads them from its query, the Node.js runner from its command line (`episode_length` is
`--episode-length` there). The synthetic series: `series` "walk" (the default) or "regime", with
`regime_drift`, `regime_bars` and `half_life` for the latter (docs/protocol.md, "Candles")."""
from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

Check = Callable[[Any], bool]


def _integer(low: int) -> tuple[Check, str]:
    def check(value: Any) -> bool:
        return isinstance(value, int) and not isinstance(value, bool) and value >= low
    return check, f"an integer >= {low}"


def _number(low: float, high: float | None = None) -> tuple[Check, str]:
    def check(value: Any) -> bool:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            return False
        return value >= low and (high is None or value < high)
    return check, f"a number from {low:g} to {high:g} (excluded)" if high is not None else f"a number >= {low:g}"


def _positive() -> tuple[Check, str]:
    def check(value: Any) -> bool:
        return (not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)
                and value > 0)
    return check, "a finite number above 0"


def _share() -> tuple[Check, str]:
    def check(value: Any) -> bool:
        return not isinstance(value, bool) and isinstance(value, (int, float)) and 0 < value < 1
    return check, "a number between 0 and 1 (both excluded)"


def _switch() -> tuple[Check, str]:
    def check(value: Any) -> bool:
        return value in (0, 1)  # True and False among them
    return check, "0, 1, True or False"


def _one_of(*choices: str) -> tuple[Check, str]:
    return (lambda value: value in choices), " or ".join(repr(c) for c in choices)


RULES: dict[str, tuple[Check, str]] = {
    "bars": _integer(2),
    "window": _integer(1),
    "episode_length": _integer(1),
    "sync": _one_of("deferred", "eager"),
    "series": _one_of("walk", "regime"),
    "regime_drift": _number(0.0, 0.1),
    "regime_bars": _number(1.0),
    "half_life": _number(0.0),
    # The trading task (tarnel_rl.gym_env's arguments of the same names set them).
    "fee_rate": _number(0.0),
    "slippage_bps": _number(0.0, 10000.0),
    # The account (tarnel_rl.account's Sizing and Costs set them).
    "initial_balance": _positive(),
    "lot_size": _positive(),
    "spread_bps": _number(0.0, 10000.0),
    "borrow_rate": _number(0.0),
    "bars_per_year": _positive(),
    "maintenance_margin": _number(0.0, 1.0),
    "test_share": _share(),
    "test_bars": _integer(1),
    "validation_bars": _integer(0),
    "train_starts": _one_of("grid", "any"),
    # A walk-forward pass over each held-out range (tarnel_rl.evaluate's default report needs it).
    "walk_forward": _switch(),
}
# Options the page reads as 0 or 1, whatever form of it they were given in.
SWITCHES = ("walk_forward",)
UI_OPTIONS = tuple(RULES)


def checked_options(options: dict[str, Any] | None) -> dict[str, Any]:
    """A copy of `options` once every key is known and every value follows its rule; else ValueError.
    NumPy scalars count as the Python numbers they hold."""
    checked: dict[str, Any] = {}
    for key, value in dict(options or {}).items():
        if key not in RULES:
            raise ValueError(f"unknown ui_options key {key!r} (known: {', '.join(UI_OPTIONS)})")
        if hasattr(value, "item") and not isinstance(value, (str, bytes)):
            value = value.item()  # a NumPy scalar
        check, rule = RULES[key]
        if not check(value):
            raise ValueError(f"ui_options[{key!r}] must be {rule}, got {value!r}")
        checked[key] = int(value) if key in SWITCHES else value
    return checked
