"""The market an environment trades, as objects: its candles (`MarketData`) and how their bars are split
into train, validation and test ranges (`Split`).

    market = MarketData(load_candles("prices.csv"), Split(test_from="2024-01-01", validation_share=0.1))
    env = TradingEnv(market=market)
    env = TradingEnv(candles=load_candles("prices.csv"), test_from="2024-01-01", validation_share=0.1)  # the same

The page's series runs train, validation, test in time order. The test range is the bars from
`test_from` (a time: it needs candles with times) or the last `test_share` of them (the page's default:
0.2); the validation range (none by default) the bars from `validation_from` up to the test range, or
the `validation_share` of the series just before it. Held-out episodes lie side by side and never touch
the train range; `train_starts="any"` lets a train episode start on any bar of the train range.
Without candles the split is of the page's synthetic series (`ui_options["bars"]`, 5000 by default).
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from tarnel_rl.env.markets import Markets
from tarnel_rl.market_data.loader import Candles, split_bars

TRAIN_STARTS = ("grid", "any")
# The synthetic series' length when ui_options does not say it (the page's own default).
PAGE_DEFAULT_BARS = 5000


def _share(name: str, value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.floating)) or not 0 < value < 1:
        raise ValueError(f"{name} must be a fraction between 0 and 1, got {value!r}")
    return float(value)


@dataclass(frozen=True)
class Split:
    """How the series is held out (see the module's text); None everywhere: the page's own split.

    test_from: the test range's first time (a text, datetime or datetime64); or
    test_share: the test range as the last fraction of the bars, between 0 and 1.
    validation_from: the validation range's first time; or
    validation_share: the validation range as a fraction of the bars, just before the test range.
    train_starts: "grid" (train episodes side by side, the default) or "any" (from any bar of the train
        range, drawn by the seeded reset)."""

    test_from: Any = None
    test_share: float | None = None
    validation_from: Any = None
    validation_share: float | None = None
    train_starts: str = "grid"

    def __post_init__(self) -> None:
        if self.test_from is not None and self.test_share is not None:
            raise ValueError("give test_from or test_share, not both")
        if self.validation_from is not None and self.validation_share is not None:
            raise ValueError("give validation_from or validation_share, not both")
        object.__setattr__(self, "test_share", _share("test_share", self.test_share))
        object.__setattr__(self, "validation_share", _share("validation_share", self.validation_share))
        if self.train_starts not in TRAIN_STARTS:
            raise ValueError(f"train_starts must be 'grid' (episodes side by side) or 'any' (from any bar), "
                             f"got {self.train_starts!r}")

    def ui_options(self, bars: int, candles: Candles | None) -> dict[str, Any]:
        """The page's options for a series of `bars` bars (`candles`, when they are the user's): only what
        differs from the page's own split, so that the default leaves the page as it always was."""
        options: dict[str, Any] = {}
        if self.train_starts != "grid":
            options["train_starts"] = self.train_starts
        held_out = split_bars(bars, candles, test_from=self.test_from, test_share=self.test_share,
                              validation_from=self.validation_from, validation_share=self.validation_share)
        if held_out is not None:
            options.update(held_out.ui_options())
        return options


# Not compared by value: the candles may be an array, which has no single truth value.
@dataclass(frozen=True, eq=False)
class MarketData:
    """The candles an environment trades, and their split.

    candles: None (the page's synthetic series of `series_seed`), one series (an N x 5 array, a CSV or
        Parquet path, a DataFrame or `tarnel_rl.data.Candles`), or several markets (a dict name -> series,
        or a list of series: `tarnel_rl.markets`). Loaded and checked here, when the object is made: a
        bad row is a ValueError naming it (`tarnel_rl.data.load_candles`).
    split: the train, validation and test ranges (`Split`)."""

    candles: Any = None
    split: Split = field(default_factory=Split)
    # The loaded series by market name; None without candles.
    series: dict[str, Candles] | None = field(init=False, repr=False, compare=False, default=None)

    def __post_init__(self) -> None:
        if not isinstance(self.split, Split):
            raise TypeError(f"split must be a tarnel_rl.env.Split, got {self.split!r}")
        if self.candles is not None:
            object.__setattr__(self, "series", Markets.load(self.candles).named)

    def markets(self) -> Markets | None:
        """A fresh `Markets` over the loaded series (each environment keeps its own current market)."""
        return None if self.series is None else Markets(self.series)
