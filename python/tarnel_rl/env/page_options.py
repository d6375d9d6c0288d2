"""What an environment's task sends the page: its options (the split, costs and account) and its candles
(`init_candles`); and where the page's configuration (`get_rl_config`) says what each option set, to
check a page of the user's own against them."""
from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.account import ACCOUNT_PAGE_DEFAULTS, Costs, Sizing
from tarnel_rl.env.market import PAGE_DEFAULT_BARS, MarketData
from tarnel_rl.env.markets import Markets
from tarnel_rl.env.trading import check_series_length
from tarnel_rl.market_data.loader import Candles


def task_options(market: MarketData, markets: Markets | None, costs: Costs, sizing: Sizing,
                 ui_options: dict[str, Any]) -> dict[str, Any]:
    """The page's options for the task: only those asked for, so that the defaults leave the page as it
    always was. With several markets their split must come out the same (the page holds one layout)."""

    def for_candles(candles: Candles | None) -> dict[str, Any]:
        options: dict[str, Any] = {**sizing.ui_options(), **costs.ui_options()}
        bars = len(candles) if candles is not None else int(ui_options.get("bars", PAGE_DEFAULT_BARS))
        options.update(market.split.ui_options(bars, candles))
        return options

    options = for_candles(None) if markets is None else markets.same_for_each("their split", for_candles)
    clash = sorted(set(options) & set(ui_options))
    if clash:
        raise ValueError(f"{', '.join(clash)} given both as arguments and in ui_options: give each once")
    return options


def candles_for_page(candles: Candles, costs: Costs) -> NDArray[np.float64]:
    """What init_candles sends: the candles, and their times in seconds as a sixth column when the
    financing runs by them (the page then charges by the time between bars)."""
    if costs.borrow_rate == 0.0 or candles.times is None:
        return candles.values
    seconds = candles.times.astype("datetime64[ns]").astype(np.int64) / 1e9
    return np.ascontiguousarray(np.column_stack([candles.values, seconds]))


def check_candles_fit(markets: Markets | None, costs: Costs) -> None:
    """Every market's candles fit in one init_candles message, with the sixth column they go with."""
    named = {} if markets is None else markets.named
    for name, series in named.items():
        timed = costs.borrow_rate != 0.0 and series.times is not None  # candles_for_page's sixth column
        check_series_length(len(series), name if len(named) > 1 else None, 6 if timed else 5)


def page_option(config: dict[str, Any], key: str) -> Any:
    """What the page's configuration says user interface option `key` set (None: it does not say)."""
    series = config.get("series") or {}
    synthetic = config.get("candle_source") == "synthetic"
    return {
        "bars": config.get("bars") if synthetic else None,
        "window": config.get("window"),
        "episode_length": config.get("episode_length"),
        "sync": config.get("sync_policy"),
        "series": series.get("kind") if synthetic else None,
        "regime_drift": series.get("regime_drift"),
        "regime_bars": series.get("regime_bars"),
        "half_life": series.get("half_life"),
        "fee_rate": config.get("fee_rate"),
        "slippage_bps": config.get("slippage_bps"),
        "test_bars": (config.get("test_bars") or [None, None])[1],
        "validation_bars": (config.get("validation_bars") or [None, None])[1],
        "train_starts": config.get("train_starts"),
        "walk_forward": int("walk_forward_episodes" in config),
        "test_share": None,
        "initial_balance": config.get("initial_balance"),
        # A page without the account's options in its configuration runs them at their defaults.
        **{key: (config.get("account") or ACCOUNT_PAGE_DEFAULTS).get(key) for key in ACCOUNT_PAGE_DEFAULTS},
    }.get(key)


def same_option(have: Any, wanted: Any) -> bool:
    if isinstance(have, str) or isinstance(wanted, str):
        return str(have) == str(wanted)
    return float(have) == float(wanted)
