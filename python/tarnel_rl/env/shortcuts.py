"""TradingEnv's keyword shortcuts: the market they fill in (`MarketData`; the account's are
`tarnel_rl.account.make_costs` and `make_sizing`), and the refusal of a keyword that has moved into an object.

A shortcut is a keyword of the constructor that sets one field of an object (`fee_rate=` sets
`Costs.fee_rate`); None means "not given". An object and a shortcut for the same choice are a ValueError
(which one wins would be a guess); a keyword that is no longer a shortcut is a TypeError saying which
object takes it now.
"""
from __future__ import annotations

from typing import Any

from tarnel_rl.env.market import MarketData, Split

# Keywords that the constructor took once and an object takes now: what to pass instead.
MOVED_KEYWORDS = {
    "bars_per_year": "costs=Costs(bars_per_year=...)",
}


def refuse_other_keywords(keywords: dict[str, Any]) -> None:
    """The constructor's other keywords: a moved one says where it went; any other is unknown."""
    for name in keywords:
        if name in MOVED_KEYWORDS:
            raise TypeError(f"{name}= moved: pass {MOVED_KEYWORDS[name]}")
    if keywords:
        raise TypeError(f"TradingEnv() got an unexpected keyword argument {next(iter(keywords))!r}")


def _given(shortcuts: dict[str, Any]) -> dict[str, Any]:
    return {name: value for name, value in shortcuts.items() if value is not None}


def market_from(market: MarketData | None, candles: Any, **split: Any) -> MarketData:
    """The environment's `MarketData`: `market` as given, or one made of the `candles` and split shortcuts
    (`test_from=`, `test_share=`, `validation_from=`, `validation_share=`, `train_starts=`)."""
    given = _given({"candles": candles, **split})
    if market is None:
        candles = given.pop("candles", None)
        return MarketData(candles, Split(**given))
    if not isinstance(market, MarketData):
        raise TypeError(f"market must be a tarnel_rl.env.MarketData or None, got {type(market).__name__}")
    if given:
        raise ValueError(f"{', '.join(sorted(given))} given both in market=MarketData(...) and as arguments: "
                         "give each once")
    return market

