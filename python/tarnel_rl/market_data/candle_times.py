"""Reading one column of times into UTC datetime64[ns]: texts (ISO 8601, day-first, a strptime format), epoch
numbers in s, ms, us or ns, datetimes and datetime64 values, all under one rule for time zones.

The rule, the same for CSV, Parquet, DataFrames and arrays of times:
- aware times (a UTC offset such as +01:00, Z or GMT+0100 in the text, a tz-aware datetime, a Parquet
  timestamp or a pandas column with a zone) are converted to UTC, whatever `tz` says;
- naive times are UTC, unless `tz` names the zone they were written in (an IANA name such as
  "Europe/Berlin"): then they are localised in it and converted to UTC. A wall time the clocks skipped
  (spring forward) is refused with its row. Wall times that happened twice (autumn) are read from the series:
  in a run of rows within the repeated hour, those before the one place where the clock goes back (a row not
  after the row before) are the first occurrence (summer time), those from there on the second; a run that
  does not go back exactly once (a single bar at 02:30 on that day, 90-minute bars) could be either and is
  refused with its row;
- epoch numbers count from 1970-01-01 UTC whatever `tz` says.
The result is UTC without a zone (datetime64[ns]), as the candles keep it."""
from __future__ import annotations

import datetime as dt
import math
import re
import warnings
from dataclasses import dataclass
from decimal import Decimal
from typing import Any

import numpy as np
from numpy.typing import NDArray

# Nanoseconds per unit of an epoch number.
TIME_UNITS = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
# An epoch's unit is read from its magnitude. Each band spans 1973-03-03 to 5138-11-16 UTC in its unit, so
# the bands never overlap; a value below 1e8 (before 1973-03-03 counted in seconds) or negative could be of
# any unit and needs `time_unit`. datetime64[ns] itself ends in 2262.
EPOCH_BANDS = (("s", 10**8, 10**11), ("ms", 10**11, 10**14), ("us", 10**14, 10**17), ("ns", 10**17, 10**20))
NAT = np.iinfo(np.int64).min
_NS_LIMIT = np.iinfo(np.int64).max
_EPOCH_ORDINAL = dt.date(1970, 1, 1).toordinal()
_EPOCH_NAIVE = dt.datetime(1970, 1, 1)
_EPOCH_UTC = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
_CLOCK = r"(?:[T ]+(\d{1,2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)?"
_OFFSET = r"\s*(Z|(?:GMT|UTC)?\s*[+-]\d{2}(?::?\d{2})?|GMT|UTC)?"
_YEAR_FIRST = re.compile(r"(\d{4})[-/.](\d{1,2})[-/.](\d{1,2})" + _CLOCK + _OFFSET, re.IGNORECASE)
_DAY_FIRST = re.compile(r"(\d{1,2})[-/.](\d{1,2})[-/.](\d{4})" + _CLOCK + _OFFSET, re.IGNORECASE)
_ISO_CHARACTERS = re.compile(r"[0-9\-:. T]*")
_WHOLE = re.compile(r"[+-]?\d+(?:\.0*)?")
_DECIMAL = re.compile(r"[+-]?\d+\.\d*")


class CellError(ValueError):
    """A value that cannot be read, at `row` (0-based) of its column; the caller names the file and column."""

    def __init__(self, row: int, reason: str) -> None:
        super().__init__(reason)
        self.row = row
        self.reason = reason


@dataclass(frozen=True)
class TimeRule:
    """How times are read: `unit` of epoch numbers (None: from their magnitude), `format` of texts (a strptime
    format; None: ISO 8601, or day-first with `dayfirst`), and `tz`, the zone of naive times (None: UTC)."""

    unit: str | None = None
    format: str | None = None
    dayfirst: bool = False
    tz: str | None = None

    def __post_init__(self) -> None:
        if self.unit is not None and self.unit not in TIME_UNITS:
            raise ValueError(f"time_unit must be one of {', '.join(map(repr, TIME_UNITS))}, got {self.unit!r}")
        if self.format is not None and self.dayfirst:
            raise ValueError("give time_format or dayfirst=True, not both (a format already says where the day is)")
        if self.tz is not None:
            zone_of(self.tz)


def zone_of(name: str) -> dt.tzinfo:
    from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

    try:
        return ZoneInfo(name)
    except (ZoneInfoNotFoundError, ValueError, TypeError):
        raise ValueError(f"tz={name!r} is not a time zone this machine knows: give an IANA name such as "
                         "'Europe/Berlin', 'America/New_York' or 'UTC' (pip install tzdata where the system has "
                         "no zone database)") from None


def read_times(values: Any, rule: TimeRule, *, aware_zone: str | None = None) -> tuple[NDArray[np.datetime64], str]:
    """The times of `values` as UTC datetime64[ns] (missing ones NaT, left for the candle checks to name), and
    a short note of how they were read. `aware_zone` says the values are datetime64 already converted to UTC
    from that zone (a Parquet timestamp or a pandas column with a zone)."""
    if isinstance(values, np.ndarray) and values.dtype.kind == "M":
        ns = values.astype("datetime64[ns]").view(np.int64).copy()
        if aware_zone is not None:
            return _as_times(ns), f"aware ({aware_zone}), converted to UTC"
        return _naive(ns, rule)
    if isinstance(values, np.ndarray) and values.dtype.kind in "iuf":
        return _epochs(values, np.arange(len(values)), rule, len(values))
    return _elements(list(values), rule)


def _as_times(ns: NDArray[np.int64]) -> NDArray[np.datetime64]:
    return ns.view("datetime64[ns]")


def _naive(ns: NDArray[np.int64], rule: TimeRule) -> tuple[NDArray[np.datetime64], str]:
    if rule.tz is None:
        return _as_times(ns), "naive, taken as UTC"
    return _as_times(_localise(ns, rule.tz)), f"naive in {rule.tz}, converted to UTC"


def _elements(values: list[Any], rule: TimeRule) -> tuple[NDArray[np.datetime64], str]:
    """Times one value at a time: each is missing, an epoch number, or a wall time with or without an offset."""
    if rule.format is None and values and all(type(v) is str for v in values):
        fast = _plain_iso(values)
        if fast is not None:
            return _naive(fast, rule)
    ns = np.full(len(values), NAT, dtype=np.int64)
    epoch_rows: list[int] = []
    epoch_values: list[int] = []
    naive_rows: list[int] = []
    aware_row: int | None = None
    for row, value in enumerate(values):
        try:
            kind, number = _one(value, rule)
        except (ValueError, OverflowError) as error:
            raise CellError(row, _unreadable(value, rule, error)) from None
        if kind == "missing":
            continue
        if kind == "epoch":
            epoch_rows.append(row)
            epoch_values.append(number)
            continue
        if not -_NS_LIMIT < number < _NS_LIMIT:
            raise CellError(row, f"{value!r} lies outside the years 1678-2261 that datetime64[ns] holds")
        ns[row] = number
        if kind == "aware":
            aware_row = row if aware_row is None else aware_row
        else:
            naive_rows.append(row)
        if aware_row is not None and naive_rows:
            early, late = sorted((aware_row, naive_rows[0]))
            raise CellError(late, f"times with and without a UTC offset are mixed: {values[late]!r} "
                                  f"{'has one' if late == aware_row else 'has none'}, an earlier one ({values[early]!r}) "
                                  f"{'has one' if early == aware_row else 'has none'}")
    if epoch_rows:
        if aware_row is not None or naive_rows:
            other = aware_row if aware_row is not None else naive_rows[0]
            early, late = sorted((epoch_rows[0], other))
            raise CellError(late, f"epoch numbers and dates are mixed: {values[late]!r} and an earlier "
                                  f"{values[early]!r}")
        epochs, note = _epochs(np.array(epoch_values, dtype=object), np.array(epoch_rows), rule, len(values))
        return epochs, note
    if naive_rows:
        return _naive(ns, rule)
    return _as_times(ns), "aware, converted to UTC" if aware_row is not None else "none given"


def _plain_iso(texts: list[str]) -> NDArray[np.int64] | None:
    """The common case read at once: every text an ISO 8601 date or naive date and time, which NumPy parses
    exactly; None when any is not, or names no real day, and the texts are read one by one instead. Digits,
    '-', ':', '.', 'T' and spaces only, two dashes a text (none in an offset) and 10 characters or more leave
    NumPy nothing else it would take (no offsets, no 'now', no year alone)."""
    joined = "".join(texts)
    if not _ISO_CHARACTERS.fullmatch(joined) or joined.count("-") != 2 * len(texts) or min(map(len, texts)) < 10:
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # NumPy warns of what it reads as a zone: read those one by one
        try:
            return np.array(texts, dtype="datetime64[ns]").view(np.int64)
        except (ValueError, UserWarning, DeprecationWarning):
            return None


def _one(value: Any, rule: TimeRule) -> tuple[str, int]:
    """("missing" | "epoch" | "naive" | "aware", nanoseconds or the epoch number) of one value."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "missing", 0
    if isinstance(value, (bool, np.bool_)):
        raise ValueError("a true/false value is no time")
    if isinstance(value, str):
        text = value.strip()
        if not text:
            return "missing", 0
        if rule.format is not None:
            return _from_datetime(dt.datetime.strptime(text, rule.format))
        if _WHOLE.fullmatch(text):
            return "epoch", int(text.split(".")[0])
        if _DECIMAL.fullmatch(text):
            raise ValueError("an epoch number must be whole")
        return _from_text(text, rule.dayfirst)
    if isinstance(value, (int, np.integer)):
        return "epoch", int(value)
    if isinstance(value, (float, np.floating, Decimal)):
        if not math.isfinite(value):
            return "missing", 0
        if value != int(value):
            raise ValueError("an epoch number must be whole")
        return "epoch", int(value)
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            return "missing", 0
        return "naive", int(value.astype("datetime64[ns]").view(np.int64))
    if isinstance(value, dt.datetime):
        nanoseconds = getattr(value, "value", None)
        if nanoseconds is not None and type(value).__name__ == "Timestamp":  # pandas keeps ns, in UTC when aware
            return ("naive" if value.tzinfo is None else "aware"), int(nanoseconds)
        return _from_datetime(value)
    if isinstance(value, dt.date):
        return "naive", (value.toordinal() - _EPOCH_ORDINAL) * 86400 * 10**9
    raise ValueError(f"a {type(value).__name__} is no time")


def _from_datetime(value: dt.datetime) -> tuple[str, int]:
    if value.utcoffset() is None:
        delta, kind = value - _EPOCH_NAIVE, "naive"
    else:
        delta, kind = value - _EPOCH_UTC, "aware"
    return kind, (delta.days * 86400 + delta.seconds) * 10**9 + delta.microseconds * 1000


def _from_text(text: str, dayfirst: bool) -> tuple[str, int]:
    match = _YEAR_FIRST.fullmatch(text)
    if match:
        year, month, day = match.group(1, 2, 3)
    else:
        match = _DAY_FIRST.fullmatch(text)
        if match is None:
            raise ValueError("not a date")
        if not dayfirst:
            raise ValueError("day or month first?")
        day, month, year = match.group(1, 2, 3)
    hour, minute, second, fraction, offset = match.group(4, 5, 6, 7, 8)
    if int(hour or 0) > 23 or int(minute or 0) > 59 or int(second or 0) > 59:
        raise ValueError("no such time of day")
    date = dt.date(int(year), int(month), int(day))
    seconds = (date.toordinal() - _EPOCH_ORDINAL) * 86400 + int(hour or 0) * 3600 + int(minute or 0) * 60 + int(second or 0)
    ns = seconds * 10**9 + int((fraction or "").ljust(9, "0"))
    if offset is None:
        return "naive", ns
    return "aware", ns - _offset_seconds(offset) * 10**9


def _offset_seconds(text: str) -> int:
    digits = text.upper().replace("GMT", "").replace("UTC", "").replace(":", "").strip()
    if digits in ("", "Z"):
        return 0
    sign = -1 if digits[0] == "-" else 1
    hours, minutes = int(digits[1:3]), int(digits[3:5] or 0)
    if hours > 23 or minutes > 59:
        raise ValueError("no such UTC offset")
    return sign * (hours * 3600 + minutes * 60)


def _unreadable(value: Any, rule: TimeRule, error: Exception) -> str:
    shown = repr(value)
    if rule.format is not None:
        return f"{shown} is not a time in the format {rule.format!r} ({error})"
    if str(error) == "day or month first?":
        return (f"{shown} could have the day or the month first: say which with dayfirst=True or a format such as "
                f"time_format='%m/%d/%Y %H:%M'")
    if str(error) in ("not a date", "no such time of day", "no such UTC offset") or "out of range" in str(error):
        return (f"{shown} is not a time that can be read ({error}): use ISO 8601 texts such as 2024-01-31, "
                f"2024-01-31 09:30 or 2024-01-31T09:30:00+01:00, dayfirst=True for 31.01.2024 13:00, or a "
                f"strptime format as time_format='...'")
    return f"{shown} is not a time that can be read ({error})"


def _epochs(numbers: NDArray[Any], rows: NDArray[np.int64], rule: TimeRule, size: int) -> tuple[NDArray[np.datetime64], str]:
    """Epoch numbers at `rows` (of a column of `size`) as UTC nanoseconds, in `rule.unit` or the unit their
    magnitude says (the first number's band, which every other must share)."""
    out = np.full(size, NAT, dtype=np.int64)
    if numbers.dtype.kind == "f":
        known = np.isfinite(numbers)
        fractional = known & (numbers != np.floor(np.where(known, numbers, 0)))
        if fractional.any():
            row = int(rows[np.argmax(fractional)])
            raise CellError(row, f"the epoch number {numbers[np.argmax(fractional)]!r} is not whole")
        numbers, rows = numbers[known], rows[known]
    whole = [int(n) for n in numbers] if numbers.dtype == object else numbers.astype(np.int64).tolist()
    if not whole:
        return _as_times(out), "none given"
    unit = rule.unit
    if unit is None:
        unit = _band_of(whole[0], int(rows[0]))
        for number, row in zip(whole, rows):
            if _band_of(number, int(row)) != unit:
                raise CellError(int(row), f"the epoch number {number} is in {_band_of(number, int(row))}, the first "
                                          f"one ({whole[0]}) in {unit}: give time_unit='s', 'ms', 'us' or 'ns'")
        how = f"epoch {unit} (from the magnitude), UTC"
    else:
        how = f"epoch {unit} (time_unit), UTC"
    factor = TIME_UNITS[unit]
    for number, row in zip(whole, rows):
        if not -_NS_LIMIT < number * factor < _NS_LIMIT:
            raise CellError(int(row), f"the epoch number {number} in {unit} lies outside the years 1678-2261 "
                                      f"that datetime64[ns] holds")
        out[row] = number * factor
    return _as_times(out), how


def _band_of(number: int, row: int) -> str:
    for unit, low, high in EPOCH_BANDS:
        if low <= number < high:
            return unit
    hint = (" (a date written as yyyymmdd? give time_format='%Y%m%d')" if 19000101 <= number <= 21001231 else "")
    raise CellError(row, f"the epoch number {number} is too {'small' if number < EPOCH_BANDS[0][1] else 'large'} "
                         f"to tell its unit{hint}: an epoch after 1973-03-03 has at least 9 digits in seconds, 12 in "
                         f"milliseconds, 15 in microseconds, 18 in nanoseconds; give time_unit='s', 'ms', 'us' or 'ns'")


def _localise(naive: NDArray[np.int64], tz: str) -> NDArray[np.int64]:
    """Wall times in `tz` as UTC nanoseconds (the rule in this module's docstring)."""
    zone = zone_of(tz)
    out = naive.copy()
    offsets: dict[int, int] = {}  # day -> its one UTC offset, for days without a change of the clocks
    repeated: list[tuple[int, int, int, int]] = []  # consecutive rows of a repeated hour: row, wall, both offsets
    for row, wall_ns in enumerate(naive.tolist()):
        if wall_ns == NAT:
            continue
        day = wall_ns // (86400 * 10**9)
        if day not in offsets:
            offsets[day] = _day_offset(day, zone)
        if offsets[day] != NAT:
            _settle(repeated, out, tz)
            out[row] = wall_ns - offsets[day]
            continue
        wall = _EPOCH_NAIVE + dt.timedelta(microseconds=wall_ns // 1000)
        first, second = (_ns(wall.replace(tzinfo=zone, fold=fold).utcoffset()) for fold in (0, 1))
        if first < second:
            raise CellError(row, f"{wall} never happened in {tz}: the clocks went forward over it")
        if first == second:
            _settle(repeated, out, tz)
            out[row] = wall_ns - first
        else:
            repeated.append((row, wall_ns, first, second))
    _settle(repeated, out, tz)
    return out


def _settle(repeated: list[tuple[int, int, int, int]], out: NDArray[np.int64], tz: str) -> None:
    """Consecutive rows whose wall times happened twice: those before the one place the clock goes back are
    the first occurrence, the rest the second; without exactly one such place, which is which is unknown."""
    if not repeated:
        return
    back = [k for k in range(1, len(repeated)) if repeated[k][1] <= repeated[k - 1][1]]
    if len(back) != 1:
        row, wall_ns = repeated[0][:2]
        wall = _EPOCH_NAIVE + dt.timedelta(microseconds=wall_ns // 1000)
        raise CellError(row, f"{wall} happened twice in {tz} (the clocks went back), and the rows around it do not "
                             f"show which time it is: give the times with their UTC offsets, or in UTC")
    for k, (row, wall_ns, first, second) in enumerate(repeated):
        out[row] = wall_ns - (first if k < back[0] else second)
    repeated.clear()


def _ns(offset: dt.timedelta | None) -> int:
    assert offset is not None
    return (offset.days * 86400 + offset.seconds) * 10**9 + offset.microseconds * 1000


def _day_offset(day: int, zone: dt.tzinfo) -> int:
    """The UTC offset (ns) of every wall time of `day` (days since 1970-01-01) in `zone`, or NAT when the clocks
    change that day (or its ends are ambiguous), whose times are then localised one by one."""
    start = _EPOCH_NAIVE + dt.timedelta(days=day)
    ends = [start, start + dt.timedelta(days=1)]
    offsets = {moment.replace(tzinfo=zone, fold=fold).utcoffset() for moment in ends for fold in (0, 1)}
    if len(offsets) != 1:
        return NAT
    (offset,) = offsets
    assert offset is not None
    return int(offset.total_seconds()) * 10**9
