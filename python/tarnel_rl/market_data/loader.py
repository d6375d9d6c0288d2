"""Candles of your own market: OHLCV from a CSV or Parquet file, a pandas DataFrame or a NumPy array,
checked in Python before any user interface starts, and the split of the series into train, validation
and test ranges.

    from tarnel_rl.market_data.loader import load_candles, sample_path
    candles = load_candles(sample_path())                    # or "prices.csv", "prices.parquet", a DataFrame
    print(candles.describe())                                # the columns used and how the times were read
    env = TradingEnv(candles=candles, test_from="2024-01-01")

Columns are found by name, whatever their case, spaces around it or a byte-order mark ("Adj_Close" is "adj
close"): open/o, high/h, low/l, close/c (or "adj close", "price", "last" when there is no close; `close="Adj
Close"` picks one), volume/v/vol (optional: missing, it is 0). Columns named feature_... (or those named in
`features=[...]`) are kept as the trader's own features. Two columns with one name are refused.

The time is a column named as in TIME_NAMES (time, date, datetime, timestamp, ts, gmt time, local time, open
time, ...), else the DataFrame's DatetimeIndex or the index a DataFrame wrote into its Parquet or CSV file;
`time="When"` names another column, and `time=[...]` gives the times themselves. A file or DataFrame without
times is refused: only a plain N x 5 array may go without them (a split is then only by share). Times are
ISO 8601 texts (2024-01-31, 2024-01-31 09:30:00.250, with or without an offset such as +01:00 or Z),
day-first texts with `dayfirst=True` (31.01.2024 13:00:00.000), any strptime format as `time_format=`,
datetimes, or epoch numbers whose unit (s, ms, us, ns) their magnitude says (`time_unit=` overrides it;
the bands are in `candle_times.EPOCH_BANDS`). Aware times are converted to UTC; naive ones are UTC unless
`tz="Europe/Berlin"` names their zone (the rule at a change of the clocks is in `tarnel_rl.candle_times`).
Times are kept as UTC datetime64[ns] without a zone.

CSV needs nothing beyond the standard library (UTF-8 unless `encoding=` says otherwise); Parquet needs
pyarrow, and a DataFrame pandas (`pip install 'py_engine_tarnel[data]'`).

The checks (`check_candles`) are those of the page, made first so that a bad row is a `ValueError`
naming it rather than a refusal from the page later: every value finite, prices > 0, volume >= 0,
high >= max(open, close) >= min(open, close) >= low, and the times strictly increasing (which also
refuses duplicate bars); features finite. A refusal names the file, the row and the column: a CSV's line
and its 1-based data row (the header is not counted: data row 1 is line 2), a Parquet file's or DataFrame's
1-based data row (and a DataFrame's index label), a plain array's 0-based row index ("candles row 0").
A value that is not a plain number (1,234.5, $300) is refused, never guessed."""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal, Mapping, Sequence

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.market_data.candle_table import Column, Table, from_dataframe, name_key, numbers_of, read_csv, read_parquet
from tarnel_rl.market_data.candle_times import CellError, TimeRule, read_times

CANDLE_COLUMNS = ("open", "high", "low", "close", "volume")
# Names a column may have, in the order they are looked for, compared as `candle_table.name_key` makes them.
COLUMN_NAMES = {
    "open": ("open", "o"),
    "high": ("high", "h"),
    "low": ("low", "l"),
    "close": ("close", "c", "adj close", "price", "last"),
    "volume": ("volume", "v", "vol"),
}
TIME_NAMES = ("time", "date", "datetime", "timestamp", "ts", "date time", "gmt time", "utc time", "time utc",
              "time (utc)", "timestamp (utc)", "open time", "local time", "bar time", "candle time")
FEATURE_PREFIX = "feature "  # a name_key: feature_rsi, Feature_RSI and "feature rsi" all start with it
SECONDS_PER_YEAR = 365.25 * 86400.0
_SAMPLE = Path(__file__).resolve().parent / "samples" / "sample_daily.csv"


def sample_path() -> Path:
    """The sample series shipped with the package: 1,565 daily bars (2019-2024) of a made-up stock,
    generated deterministically by the project (scripts/make_sample_candles.py); no market's real data."""
    return _SAMPLE


@dataclass(frozen=True, repr=False)
class Candles:
    """A checked series: `values` N x 5 (open, high, low, close, volume; float64, oldest first), `times`
    (N datetime64[ns] UTC, strictly increasing) or None, and what it was read from: `columns` maps each role
    (open, high, low, close, volume, time) to the source column used, `time_handling` says how the times were
    read, `source` names the file; `features` (N x F float64, finite) holds the columns `feature_names`."""

    values: NDArray[np.float64]
    times: NDArray[np.datetime64] | None = None
    columns: Mapping[str, str] = field(default_factory=dict)
    time_handling: str = ""
    source: str = ""
    features: NDArray[np.float64] | None = None
    feature_names: tuple[str, ...] = ()
    notes: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        width = 0 if self.features is None else self.features.shape[1]
        if self.features is not None and (self.features.ndim != 2 or len(self.features) != len(self.values)):
            raise ValueError(f"features must be N x F with N = {len(self.values)} rows, got {self.features.shape}")
        if width != len(self.feature_names):
            raise ValueError(f"{width} feature columns but {len(self.feature_names)} feature names")

    def __len__(self) -> int:
        return len(self.values)

    def __repr__(self) -> str:
        return f"Candles({self.describe()})"

    def describe(self) -> str:
        """One line: the bars, their span, the source, the columns used, how the times were read, the features."""
        parts = [f"{len(self)} bars"]
        if self.times is not None and len(self.times):
            midnight = not (self.times.view(np.int64) % (86400 * 10**9)).any()
            unit: Literal["D", "m"] = "D" if midnight else "m"
            span = f"{np.datetime_as_string(self.times[0], unit)} to {np.datetime_as_string(self.times[-1], unit)}"
            parts[0] += f", {span.replace('T', ' ')} UTC"
        if self.source:
            parts[0] += f", from {self.source}"
        if self.columns:
            parts.append("columns " + ", ".join(f"{role} {name!r}" for role, name in self.columns.items()))
        parts.append(f"times {self.time_handling}" if self.times is not None else "no times")
        if self.feature_names:
            parts.append("features " + ", ".join(map(repr, self.feature_names)))
        return "; ".join(parts + list(self.notes))

    def bar_of(self, when: Any) -> int:
        """The index of the first bar at or after `when` (a date text, a datetime or a datetime64; UTC)."""
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



def load_candles(source: Any, *, time: str | Sequence[Any] | None = None, time_unit: str | None = None,
                 time_format: str | None = None, dayfirst: bool = False, tz: str | None = None,
                 close: str | None = None, features: Sequence[str] | None = None, encoding: str = "utf-8") -> Candles:
    """Candles from a CSV or Parquet file (a path; by its suffix), a pandas DataFrame, an N x 5 array
    (open, high, low, close, volume) or `Candles` (returned as they are); checked (`check_candles`).

    `time` names the time column when it has none of the usual names, or gives the times themselves (a
    sequence of N texts, datetimes, datetime64 or epoch numbers; the only way a plain array gets times).
    `time_unit` ("s", "ms", "us", "ns") is the unit of epoch numbers, `time_format` a strptime format of the
    time texts, `dayfirst=True` reads 01.02.2024 as 1 February, `tz` the zone of naive times. `close` names
    the close column (e.g. "Adj Close" where "Close" is there too: the default takes "Close"). `features`
    names extra columns to keep (default: those named feature_...). `encoding` is the CSV's text encoding."""
    if isinstance(source, Candles):
        return source
    rule = TimeRule(time_unit, time_format, dayfirst, tz)
    if isinstance(source, (str, Path)):
        path = Path(source)
        suffix = path.suffix.lower()
        if suffix == ".parquet":
            return _from_table(read_parquet(path), path.name, time, rule, close, features)
        if suffix in (".csv", ".txt"):
            return _from_table(read_csv(path, encoding), path.name, time, rule, close, features)
        raise ValueError(f"{path}: only .csv and .parquet files can be loaded")
    if type(source).__name__ == "DataFrame" and hasattr(source, "columns"):
        return _from_table(from_dataframe(source), "a DataFrame", time, rule, close, features)
    return _from_array(source, time, rule, features)


def check_candles(values: NDArray[np.float64], times: NDArray[np.datetime64] | None = None) -> None:
    """Raises a ValueError naming the first bad row (its index, and its time when known)."""
    _check(values, times, None, {})


def _check(values: NDArray[np.float64], times: NDArray[np.datetime64] | None, table: Table | None,
           used: Mapping[str, Column]) -> None:
    """The candle checks; with a `table`, the refusal names its row and the column (of `used`, by role) the way
    the user finds them, else the row's 0-based index."""
    if len(values) < 2:
        raise ValueError(("" if table is None else f"{table.where}: ") + f"candles need at least 2 rows, got {len(values)}")
    open_, high, low, close, volume = values.T
    top = np.maximum(open_, close)
    bottom = np.minimum(open_, close)

    def first_of(mask_row: NDArray[np.bool_]) -> str:
        return CANDLE_COLUMNS[int(np.argmax(mask_row))]

    # (bad rows, the role of the column to name at a row, the reason at a row)
    rules: list[tuple[Any, Any, Any]] = [
        (~np.isfinite(values).all(axis=1), lambda r: first_of(~np.isfinite(values[r])),
         lambda r: "a value is not finite: " + _row_text(values[r])),
        ((values[:, :4] <= 0).any(axis=1), lambda r: first_of(values[r, :4] <= 0),
         lambda r: "prices must be > 0: " + _row_text(values[r])),
        (volume < 0, lambda r: "volume", lambda r: f"volume must be >= 0, got {volume[r]:g}"),
        (high < top, lambda r: "high", lambda r: f"high {high[r]:g} is below max(open, close) {top[r]:g}"),
        (low > bottom, lambda r: "low", lambda r: f"low {low[r]:g} is above min(open, close) {bottom[r]:g}"),
    ]
    if times is not None:
        if np.isnat(times).any():
            rules.insert(0, (np.isnat(times), lambda r: "time", lambda r: "its time is missing"))
        later = np.zeros(len(times), dtype=bool)
        later[1:] = times[1:] <= times[:-1]
        rules.append((later, lambda r: "time", lambda r: ("a duplicate bar: the same time as the row before"
                                                          if times[r] == times[r - 1] else
                                                          f"time is not after the row before's ({times[r - 1]})")))
    first_bad = [(int(np.argmax(mask)), role, describe) for mask, role, describe in rules if mask.any()]
    if first_bad:
        row, role, describe = min(first_bad, key=lambda item: item[0])
        time = None if times is None else times[row]
        if table is None:
            raise ValueError(f"candles row {row}" + ("" if time is None else f" ({time})") + f": {describe(row)}")
        raise table.error(row, used.get(role(row)), describe(row), time)


def _row_text(row: NDArray[np.float64]) -> str:
    return ", ".join(f"{name} {value:g}" for name, value in zip(CANDLE_COLUMNS, row))


def _from_array(source: Any, time: Any, rule: TimeRule, features: Sequence[str] | None) -> Candles:
    array = np.asarray(source, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != len(CANDLE_COLUMNS) or len(array) < 2:
        raise ValueError(f"candles must be an N x 5 array (open, high, low, close, volume; N >= 2), got shape "
                         f"{array.shape}")
    if features:
        raise ValueError("features= picks columns by name, and a plain array has none: load a DataFrame or a file")
    if isinstance(time, str):
        raise ValueError(f"time={time!r} names a column, and a plain array has none: pass the times themselves as "
                         f"time=[...] (N texts, datetimes or epoch numbers)")
    values = np.ascontiguousarray(array)
    times, how = None, ""
    if time is not None:
        try:
            times, how = _given_times(time, rule, len(values))
        except CellError as error:
            raise ValueError(f"candles row {error.row}, time=: {error.reason}") from None
    check_candles(values, times)
    return Candles(values, times, {"time": "time="} if times is not None else {}, how, "an array")


def _given_times(time: Any, rule: TimeRule, rows: int) -> tuple[NDArray[np.datetime64], str]:
    """Times passed as `time=[...]`: a list, an array, or a pandas Index or Series (with a zone or without)."""
    zone = getattr(getattr(time, "dtype", None), "tz", None)
    if zone is not None:
        import pandas as pd  # type: ignore[import-untyped]

        utc = pd.DatetimeIndex(time).tz_convert("UTC").tz_localize(None)
        values: Any = utc.to_numpy(dtype="datetime64[ns]")
    elif isinstance(time, np.ndarray):
        values = time
    elif hasattr(time, "to_numpy"):
        values = time.to_numpy()
    else:
        values = list(time)
    if len(values) != rows:
        raise ValueError(f"time= holds {len(values)} times for {rows} rows")
    return read_times(values, rule, aware_zone=None if zone is None else str(zone))


def _from_table(table: Table, source: str, time: Any, rule: TimeRule, close: str | None,
                features: Sequence[str] | None) -> Candles:
    """Candles from named columns (a CSV, a Parquet file, a DataFrame), by role."""
    used: dict[str, Column] = {}
    notes: list[str] = []
    for role, names in COLUMN_NAMES.items():
        wanted = (name_key(close),) if role == "close" and close is not None else tuple(map(name_key, names))
        found = [column for key in wanted if (column := table.find(key)) is not None]
        if found:
            used[role] = found[0]
        if role == "close" and close is not None and not found:
            raise ValueError(f"{table.where}: no column named {close!r} for close= (found: {table.names()})")
        if role == "close" and close is None and len(found) > 1:
            notes.append(f"close={found[1].name!r} would take {found[1].name!r} instead")
    missing = [role for role in CANDLE_COLUMNS[:4] if role not in used]
    if missing:
        raise ValueError(f"{table.where}: no {', '.join(missing)} column (found: {table.names()})")
    values = np.zeros((table.rows, len(CANDLE_COLUMNS)))
    for i, role in enumerate(CANDLE_COLUMNS):
        if role in used:
            values[:, i] = numbers_of(table, used[role])
    times, how = _table_times(table, time, rule, used)
    feature_columns = _feature_columns(table, features)
    columns = {role: column.name or "the index" for role, column in used.items()}
    if "time" not in used:
        columns["time"] = "time="
    _check(values, times, table, used)
    kept = None
    if feature_columns:
        kept = np.column_stack([numbers_of(table, column) for column in feature_columns])
        bad = ~np.isfinite(kept)
        if bad.any():
            row, at = (int(i) for i in np.argwhere(bad)[0])
            raise table.error(row, feature_columns[at], f"the feature value {kept[row, at]:g} is not finite", times[row])
    return Candles(np.ascontiguousarray(values), times, columns, how, source, kept,
                   tuple(column.name for column in feature_columns), tuple(notes))


def _table_times(table: Table, time: Any, rule: TimeRule, used: dict[str, Column]) -> tuple[NDArray[np.datetime64], str]:
    if time is not None and not isinstance(time, str):
        try:
            return _given_times(time, rule, table.rows)
        except CellError as error:
            raise table.error(error.row, None, f"time=: {error.reason}") from None
    column = _time_column(table, time)
    used["time"] = column
    try:
        return read_times(column.values, rule, aware_zone=column.aware_zone)
    except CellError as error:
        raise table.error(error.row, column, error.reason) from None


def _time_column(table: Table, time: str | None) -> Column:
    if time is not None:
        column = table.find(name_key(time))
        if column is None:
            raise ValueError(f"{table.where}: no time column {time!r} (found: {table.names()})")
        return column
    for name in TIME_NAMES:
        column = table.find(name_key(name))
        if column is not None:
            return column
    for column in table.columns:
        if column.is_index and _holds_times(column):
            return column
    raise ValueError(f"{table.where} has no time column: none is named {', '.join(TIME_NAMES)} (in any case), "
                     f"nor is there a DatetimeIndex (found: {table.names()}). Name the column with time='...', or "
                     f"give the times as time=[...]; only a plain N x 5 array may go without times")


def _holds_times(column: Column) -> bool:
    """Whether an index holds times: datetime64 values (a DataFrame's or Parquet file's), or texts that are no
    plain row counter (0, 1, 2, ... as a DataFrame writes its default index to a CSV)."""
    if isinstance(column.values, np.ndarray):
        return column.values.dtype.kind == "M"
    first = next((v for v in column.values if v not in ("", None)), "")
    return isinstance(first, str) and not first.strip().lstrip("-").isdigit()


def _feature_columns(table: Table, features: Sequence[str] | None) -> list[Column]:
    if features is None:
        return [c for c in table.columns if not c.is_index and name_key(c.name).startswith(FEATURE_PREFIX)]
    if isinstance(features, str):
        raise ValueError(f"features= takes a list of column names, e.g. features=[{features!r}]")
    picked = []
    for name in features:
        column = table.find(name_key(name))
        if column is None:
            raise ValueError(f"{table.where}: no feature column {name!r} (found: {table.names()})")
        picked.append(column)
    return picked
