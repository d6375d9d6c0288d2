"""Standard features of a candle series, as plain functions of its closes: log returns, rolling volatility,
RSI and the gap to a moving average. Each value at bar t reads bars 0..t only (never a bar ahead), so a
feature computed on a series and on any prefix of it agree on that prefix.

    from tarnel_rl.market_data.features import standard_features, with_features
    from tarnel_rl.market_data.loader import load_candles
    candles = with_features(load_candles("prices.csv"), standard_features(candles))
    env = TradingEnv(candles=candles)          # the observation then carries them (tarnel_rl.observations)

Bars before a window is full use the bars there are (an expanding window), so every value is finite and
the loader's finiteness check holds from the first bar on."""
from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.market_data.loader import Candles

FEATURE_PREFIX = "feature_"
CLOSE = 3


def _closes(series: Candles | NDArray[np.float64]) -> NDArray[np.float64]:
    values = series.values if isinstance(series, Candles) else np.asarray(series, dtype=np.float64)
    closes = values[:, CLOSE] if values.ndim == 2 else values
    if closes.ndim != 1 or len(closes) == 0 or not np.all(np.isfinite(closes)) or np.any(closes <= 0):
        raise ValueError("features need a non-empty series of finite closes > 0 (candles, an N x 5 array or "
                         "the closes)")
    return closes


def log_returns(series: Candles | NDArray[np.float64]) -> NDArray[np.float64]:
    """r[t] = ln(close[t] / close[t-1]); r[0] = 0."""
    closes = _closes(series)
    out = np.zeros(len(closes))
    out[1:] = np.diff(np.log(closes))
    return out


def rolling_volatility(series: Candles | NDArray[np.float64], window: int = 20) -> NDArray[np.float64]:
    """The sample standard deviation (ddof 1) of the last `window` log returns up to bar t (of those there
    are, from bar 1 on: return 0 is no return); 0 while fewer than two returns exist. Not annualised."""
    _check_window(window, minimum=2)
    returns = log_returns(series)[1:]
    out = np.zeros(len(returns) + 1)
    # Running sums over a sliding window: O(N) instead of a standard deviation per bar.
    cumulative = np.concatenate([[0.0], np.cumsum(returns)])
    squares = np.concatenate([[0.0], np.cumsum(returns * returns)])
    ends = np.arange(1, len(returns) + 1)
    starts = np.maximum(0, ends - window)
    counts = ends - starts
    sums = cumulative[ends] - cumulative[starts]
    sum_squares = squares[ends] - squares[starts]
    with np.errstate(invalid="ignore", divide="ignore"):
        variance = (sum_squares - sums * sums / counts) / (counts - 1)
    variance = np.where(counts >= 2, np.maximum(variance, 0.0), 0.0)
    out[1:] = np.sqrt(variance)
    return out


def rsi(series: Candles | NDArray[np.float64], period: int = 14) -> NDArray[np.float64]:
    """Wilder's relative strength index, 0 to 100. The first average gain and loss are the means of the
    first `period` changes (known at bar `period`); after that avg = (avg * (period - 1) + change) / period.
    RSI = 100 - 100 / (1 + avg_gain / avg_loss): 100 when there was no loss, 50 when there was no change at
    all, and 50 (no view) before bar `period`."""
    _check_window(period, minimum=1)
    closes = _closes(series)
    changes = np.diff(closes)
    out = np.full(len(closes), 50.0)
    if len(changes) < period:
        return out
    gains, losses = np.maximum(changes, 0.0), np.maximum(-changes, 0.0)
    gain, loss = gains[:period].mean(), losses[:period].mean()
    for t in range(period, len(closes)):
        if t > period:
            gain = (gain * (period - 1) + gains[t - 1]) / period
            loss = (loss * (period - 1) + losses[t - 1]) / period
        out[t] = 50.0 if gain == loss == 0.0 else 100.0 if loss == 0.0 else 100.0 - 100.0 / (1.0 + gain / loss)
    return out


def moving_average_gap(series: Candles | NDArray[np.float64], window: int = 20) -> NDArray[np.float64]:
    """close[t] / mean(last `window` closes up to t) - 1: above 0 when the price is above its average."""
    _check_window(window, minimum=1)
    closes = _closes(series)
    cumulative = np.concatenate([[0.0], np.cumsum(closes)])
    ends = np.arange(1, len(closes) + 1)
    starts = np.maximum(0, ends - window)
    means = (cumulative[ends] - cumulative[starts]) / (ends - starts)
    return closes / means - 1.0


def standard_features(series: Candles | NDArray[np.float64]) -> dict[str, NDArray[np.float64]]:
    """The four standard features with their usual windows, named as `with_features` stores them."""
    return {
        "log_return": log_returns(series),
        "volatility_20": rolling_volatility(series, 20),
        "rsi_14": rsi(series, 14) / 100.0,  # 0 to 1, like the other features' scale
        "ma_gap_20": moving_average_gap(series, 20),
    }


def with_features(candles: Candles, features: Mapping[str, Any]) -> Candles:
    """The same candles with more feature columns (`feature_` + name, unless the name has it already),
    after those they have; each must hold one finite value per bar."""
    names = list(getattr(candles, "feature_names", ()) or ())
    columns = [] if getattr(candles, "features", None) is None else [candles.features]
    for name, values in features.items():
        column = np.asarray(values, dtype=np.float64)
        if column.shape != (len(candles),):
            raise ValueError(f"feature {name!r} has shape {column.shape}, but the candles have {len(candles)} bars")
        bad = np.flatnonzero(~np.isfinite(column))
        if len(bad):
            raise ValueError(f"feature {name!r} row {bad[0]}: a value is not finite ({column[bad[0]]})")
        full = name if name.lower().startswith(FEATURE_PREFIX) else FEATURE_PREFIX + name
        if full in names:
            raise ValueError(f"the candles already have a feature named {full!r}")
        names.append(full)
        columns.append(column[:, None])
    return dataclasses.replace(candles, features=np.hstack(columns) if columns else None,  # type: ignore[call-arg]
                               feature_names=tuple(names))


def _check_window(window: Any, minimum: int) -> None:
    if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < minimum:
        raise ValueError(f"a feature's window must be an integer >= {minimum}, got {window!r}")
