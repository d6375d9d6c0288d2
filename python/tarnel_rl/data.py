"""Candles of your own market: OHLCV from a CSV or Parquet file, a pandas DataFrame or a NumPy array,
checked in Python before any user interface starts, and the split of the series into train, validation
and test ranges.

    from tarnel_rl.data import load_candles, sample_path
    candles = load_candles(sample_path())                    # or "prices.csv", "prices.parquet", a DataFrame
    env = TradingEnv(candles=candles, test_from="2024-01-01")

Columns are found by name, whatever their case: open/o, high/h, low/l, close/c (or "adj close",
"price", "last" when there is no close), volume/v/vol (optional: missing, it is 0). The time is the
DataFrame's DatetimeIndex, or a column named time, date, datetime, timestamp or ts (or `time="..."`);
a series without times is allowed, but then a split can only be by share. CSV needs nothing beyond the
standard library; Parquet needs pyarrow, and a DataFrame pandas (`pip install 'py_engine_tarnel[data]'`).

The checks (`check_candles`) are those of the page, made first so that a bad row is a `ValueError`
naming it rather than a refusal from the page later: every value finite, prices > 0, volume >= 0,
high >= max(open, close) >= min(open, close) >= low, and the times strictly increasing (which also
refuses duplicate bars)."""
from __future__ import annotations

import csv
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

CANDLE_COLUMNS = ("open", "high", "low", "close", "volume")
# Names a column may have, in the order they are looked for, compared in lower case.
COLUMN_NAMES = {
    "open": ("open", "o"),
    "high": ("high", "h"),
    "low": ("low", "l"),
    "close": ("close", "c", "adj close", "adj_close", "price", "last"),
    "volume": ("volume", "v", "vol"),
}
TIME_NAMES = ("time", "date", "datetime", "timestamp", "ts")
SECONDS_PER_YEAR = 365.25 * 86400.0
_SAMPLE = Path(__file__).resolve().parent / "samples" / "sample_daily.csv"


def sample_path() -> Path:
    """The sample series shipped with the package: 1,565 daily bars (2019-2024) of a made-up stock,
    generated deterministically by the project (scripts/make_sample_candles.py); no market's real data."""
    return _SAMPLE


@dataclass(frozen=True)
class Candles:
    """A checked series: `values` N x 5 (open, high, low, close, volume; float64, oldest first) and
    `times` (N datetime64[ns], strictly increasing) or None."""

    values: NDArray[np.float64]
    times: NDArray[np.datetime64] | None = None

    def __len__(self) -> int:
        return len(self.values)

    def bar_of(self, when: Any) -> int:
        """The index of the first bar at or after `when` (a date text, a datetime or a datetime64)."""
        if self.times is None:
            raise ValueError("these candles have no times: split them by share (test_share=...), or load them with "
                             "a time column or index")
        moment = np.datetime64(when, "ns")
        return int(np.searchsorted(self.times, moment, side="left"))

    def bars_per_year(self) -> float | None:
        """How many bars make a year in this series, from its times (bars over the years they span), for
        annualised figures; None without times."""
        if self.times is None or len(self.times) < 2:
            return None
        seconds = (self.times[-1] - self.times[0]) / np.timedelta64(1, "s")
        return (len(self.times) - 1) * SECONDS_PER_YEAR / float(seconds)


@dataclass(frozen=True)
class Split:
    """How many of the last bars are held out: `validation_bars` before the last `test_bars`."""

    test_bars: int
    validation_bars: int = 0

    def ui_options(self) -> dict[str, int]:
        return {"test_bars": self.test_bars, "validation_bars": self.validation_bars}


def split_bars(bars: int, candles: Candles | None = None, *, test_from: Any = None, test_share: float | None = None,
               validation_from: Any = None, validation_share: float | None = None) -> Split | None:
    """The held-out ranges of a series of `bars` bars: the test range from `test_from` (a time; needs
    `candles` with times) or its last `test_share`, and the validation range from `validation_from` up to
    the test range, or the `validation_share` of the series just before it. None when nothing is asked
    (the page's default: the last 20 % is the test range, no validation)."""
    if test_from is None and test_share is None and validation_from is None and validation_share is None:
        return None
    if test_from is not None and test_share is not None:
        raise ValueError("give test_from or test_share, not both")
    if validation_from is not None and validation_share is not None:
        raise ValueError("give validation_from or validation_share, not both")
    for name, share in (("test_share", test_share), ("validation_share", validation_share)):
        if share is not None and not (isinstance(share, (int, float)) and 0 < share < 1):
            raise ValueError(f"{name} must be a fraction between 0 and 1, got {share!r}")

    def at(when: Any, name: str) -> int:
        if candles is None:
            raise ValueError(f"{name} needs candles with times (candles=...); the synthetic series has none")
        return candles.bar_of(when)

    test_start = bars - math.floor(bars * (test_share if test_share is not None else 0.2))
    if test_from is not None:
        test_start = at(test_from, "test_from")
    if validation_from is not None:
        validation_start = at(validation_from, "validation_from")
    else:
        validation_start = test_start - math.floor(bars * (validation_share or 0.0))
    if not 0 < test_start < bars:
        raise ValueError(f"the test range would start on bar {test_start} of {bars}: it must leave train bars "
                         f"before it and hold at least one bar")
    if not 0 < validation_start <= test_start:
        raise ValueError(f"the validation range would start on bar {validation_start}, which must lie after the "
                         f"first bar and not after the test range's start (bar {test_start})")
    return Split(test_bars=bars - test_start, validation_bars=test_start - validation_start)


def load_candles(source: Any, *, time: str | None = None) -> Candles:
    """Candles from a CSV or Parquet file (a path; by its suffix), a pandas DataFrame, an N x 5 array
    (open, high, low, close, volume) or `Candles`; checked (`check_candles`). `time` names the time
    column when it is none of the usual names."""
    if isinstance(source, Candles):
        return source
    if isinstance(source, (str, Path)):
        path = Path(source)
        suffix = path.suffix.lower()
        if suffix == ".parquet":
            return _from_table(_read_parquet(path), time, str(path))
        if suffix in (".csv", ".txt"):
            return _from_table(_read_csv(path), time, str(path))
        raise ValueError(f"{path}: only .csv and .parquet files can be loaded")
    if type(source).__name__ == "DataFrame" and hasattr(source, "columns"):
        return _from_dataframe(source, time)
    array = np.asarray(source, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != len(CANDLE_COLUMNS) or len(array) < 2:
        raise ValueError(f"candles must be an N x 5 array (open, high, low, close, volume; N >= 2), got shape "
                         f"{array.shape}")
    values = np.ascontiguousarray(array)
    check_candles(values)
    return Candles(values, None)


def check_candles(values: NDArray[np.float64], times: NDArray[np.datetime64] | None = None) -> None:
    """Raises a ValueError naming the first bad row (its index, and its time when known)."""
    if len(values) < 2:
        raise ValueError(f"candles need at least 2 rows, got {len(values)}")
    open_, high, low, close, volume = values.T
    top = np.maximum(open_, close)
    bottom = np.minimum(open_, close)
    rules: list[tuple[Any, Any]] = [
        (~np.isfinite(values).all(axis=1), lambda r: "a value is not finite: " + _row_text(values[r])),
        ((values[:, :4] <= 0).any(axis=1), lambda r: "prices must be > 0: " + _row_text(values[r])),
        (volume < 0, lambda r: f"volume must be >= 0, got {volume[r]:g}"),
        (high < top, lambda r: f"high {high[r]:g} is below max(open, close) {top[r]:g}"),
        (low > bottom, lambda r: f"low {low[r]:g} is above min(open, close) {bottom[r]:g}"),
    ]
    if times is not None:
        if np.isnat(times).any():
            rules.insert(0, (np.isnat(times), lambda r: "its time is missing"))
        later = np.zeros(len(times), dtype=bool)
        later[1:] = times[1:] <= times[:-1]
        rules.append((later, lambda r: ("a duplicate bar: the same time as the row before"
                                        if times[r] == times[r - 1] else
                                        f"time is not after the row before's ({times[r - 1]})")))
    first_bad = [(int(np.argmax(mask)), describe) for mask, describe in rules if mask.any()]
    if first_bad:
        row, describe = min(first_bad, key=lambda item: item[0])
        where = f"candles row {row}" + ("" if times is None else f" ({times[row]})")
        raise ValueError(f"{where}: {describe(row)}")


def _row_text(row: NDArray[np.float64]) -> str:
    return ", ".join(f"{name} {value:g}" for name, value in zip(CANDLE_COLUMNS, row))


def _find(columns: list[str], wanted: tuple[str, ...]) -> str | None:
    lower = {str(c).strip().lower(): c for c in columns}
    for name in wanted:
        if name in lower:
            return lower[name]
    return None


def _from_table(table: dict[str, list[Any]], time: str | None, where: str) -> Candles:
    """A table as columns of texts or numbers (CSV, Parquet), by name."""
    columns = list(table)
    picked: dict[str, str | None] = {key: _find(columns, names) for key, names in COLUMN_NAMES.items()}
    missing = [key for key in CANDLE_COLUMNS[:4] if picked[key] is None]
    if missing:
        raise ValueError(f"{where}: no {', '.join(missing)} column (found: {', '.join(map(str, columns))})")
    rows = len(table[columns[0]]) if columns else 0
    values = np.zeros((rows, len(CANDLE_COLUMNS)))
    for i, key in enumerate(CANDLE_COLUMNS):
        name = picked[key]
        if name is not None:
            values[:, i] = [_number(v) for v in table[name]]
    time_column = time if time is not None else _find(columns, TIME_NAMES)
    if time is not None and time not in table:
        raise ValueError(f"{where}: no time column {time!r} (found: {', '.join(map(str, columns))})")
    times = None if time_column is None else _times(table[time_column], where)
    check_candles(values, times)
    return Candles(np.ascontiguousarray(values), times)


def _number(value: Any) -> float:
    if value is None or value == "":
        return math.nan
    return float(value)


def _times(column: list[Any], where: str) -> NDArray[np.datetime64]:
    try:
        parsed = [_time(v) for v in column]
    except ValueError as error:
        raise ValueError(f"{where}: a time could not be read ({error}); use ISO 8601 texts such as 2024-01-31 or "
                         "2024-01-31T09:30") from error
    return np.array(parsed, dtype="datetime64[ns]")


def _time(value: Any) -> np.datetime64:
    if value is None or (isinstance(value, str) and not value.strip()):
        return np.datetime64("NaT", "ns")
    if isinstance(value, str):
        text = value.strip().replace(" ", "T", 1)
        return np.datetime64(text[:-1] if text.endswith("Z") else text, "ns")
    return np.datetime64(value, "ns")


def _read_csv(path: Path) -> dict[str, list[Any]]:
    with path.open(newline="") as f:
        reader = csv.reader(f)
        try:
            header = next(reader)
        except StopIteration:
            raise ValueError(f"{path}: the file is empty") from None
        columns: dict[str, list[Any]] = {name: [] for name in header}
        for line, row in enumerate(reader, start=2):
            if not row:
                continue
            if len(row) != len(header):
                raise ValueError(f"{path} line {line}: {len(row)} fields, the header has {len(header)}")
            for name, value in zip(header, row):
                columns[name].append(value)
    return columns


def _read_parquet(path: Path) -> dict[str, list[Any]]:
    try:
        import pyarrow.parquet as pq  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError("reading Parquet needs pyarrow: pip install 'py_engine_tarnel[data]' (or pyarrow)") from None
    table = pq.read_table(path)
    columns: dict[str, list[Any]] = {}
    for name in table.column_names:
        column = table.column(name)
        if str(column.type).startswith(("timestamp", "date")):
            columns[name] = list(column.to_numpy(zero_copy_only=False).astype("datetime64[ns]"))
        else:
            columns[name] = column.to_pylist()
    return columns


def _from_dataframe(frame: Any, time: str | None) -> Candles:
    import pandas as pd  # type: ignore[import-untyped]

    table: dict[str, list[Any]] = {str(name): frame[name].tolist() for name in frame.columns}
    if time is None and isinstance(frame.index, pd.DatetimeIndex) and _find(list(table), TIME_NAMES) is None:
        table["time"] = list(frame.index.tz_localize(None).to_numpy(dtype="datetime64[ns]")
                             if frame.index.tz is not None else frame.index.to_numpy(dtype="datetime64[ns]"))
    for name, column in list(table.items()):
        if column and isinstance(column[0], pd.Timestamp):
            table[name] = [np.datetime64("NaT") if pd.isna(v) else v.tz_localize(None).to_datetime64()
                           if v.tzinfo is not None else v.to_datetime64() for v in column]
    return _from_table(table, time, "the DataFrame")
