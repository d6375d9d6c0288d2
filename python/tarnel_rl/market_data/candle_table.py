"""A CSV file, a Parquet file or a pandas DataFrame as named columns, with the words that name a row and a
column of it in an error (file, line or data row, column) and the reading of numbers that refuses text."""
from __future__ import annotations

import csv
import io
import math
import re
from dataclasses import dataclass
from decimal import Decimal
from pathlib import Path
from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|[+-]?(?:nan|inf|infinity)", re.IGNORECASE)


def name_key(name: Any) -> str:
    """A column name as it is matched: without a byte-order mark or surrounding spaces, in lower case, with
    underscores as spaces ("Adj_Close" and "adj close" are one name)."""
    return " ".join(str(name).replace("\ufeff", "").strip().lower().replace("_", " ").split())


def clean_name(name: Any) -> str:
    return str(name).replace("\ufeff", "").strip()


@dataclass
class Column:
    """One column: its name as written (byte-order mark and spaces stripped), its values (a list or a NumPy
    array), the zone its datetime64 values were converted to UTC from (None: naive or not times), whether it
    is the table's index rather than a column, and whether all its values are texts."""

    name: str
    values: Any
    aware_zone: str | None = None
    is_index: bool = False
    texts: bool = False  # every value a str (a CSV's)

    @property
    def label(self) -> str:
        return "the index" if self.is_index and not self.name else f"column {self.name!r}"


@dataclass
class Table:
    """Named columns of one source; `where` names it ("prices.csv", "the DataFrame"), `lines` holds the file
    line each data row starts on (CSV), `index` the DataFrame's index labels."""

    where: str
    columns: list[Column]
    rows: int
    lines: Sequence[int] | None = None
    index: Any = None

    def row_text(self, row: int, time: Any = None) -> str:
        """Row `row` (0-based) as a user finds it: the CSV line and the 1-based data row (the header is not
        counted), or the 1-based data row of a Parquet file or DataFrame (with its index label)."""
        parts = [f"data row {row + 1}"]
        if self.index is not None and not (time is not None and _is_time_index(self.index)):
            parts.append(f"index {self.index[row]}")
        if time is not None:
            parts.append(str(time))
        if self.lines is not None:
            return f"{self.where} line {self.lines[row]} ({', '.join(parts)})"
        return f"{self.where} {parts[0]}" + (f" ({', '.join(parts[1:])})" if parts[1:] else "")

    def error(self, row: int, column: Column | None, reason: str, time: Any = None) -> ValueError:
        where = self.row_text(row, time) + ("" if column is None else f", {column.label}")
        return ValueError(f"{where}: {reason}")

    def find(self, key: str) -> Column | None:
        """The first column (or named index: columns come first) whose `name_key` is `key`."""
        for column in self.columns:
            if column.name and name_key(column.name) == key:
                return column
        return None

    def names(self) -> str:
        return ", ".join(repr(c.name) for c in self.columns if not c.is_index) or "none"


def _is_time_index(index: Any) -> bool:
    return type(index).__name__ == "DatetimeIndex"


def numbers_of(table: Table, column: Column) -> NDArray[np.float64]:
    """A column as float64; missing values are NaN (left for the finiteness check); text is refused with
    its row and column, never guessed."""
    values = column.values
    if isinstance(values, np.ndarray) and values.dtype.kind in "iuf":
        return values.astype(np.float64)
    if values and (column.texts or all(type(v) is str for v in values)):
        joined = "".join(values)
        # float() alone would also take 1_000 and digits of other scripts: those go the slow way, and are refused.
        if joined.isascii() and "_" not in joined:
            try:
                return np.array(list(map(float, values)))
            except ValueError:
                pass  # a blank or a text: read one by one below, which names it
    out = np.empty(len(values))
    for row, value in enumerate(values):
        try:
            out[row] = _number(value)
        except ValueError as error:
            raise table.error(row, column, str(error)) from None
    return out


def _number(value: Any) -> float:
    if value is None:
        return math.nan
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{value!r} is not a number")
    if isinstance(value, (int, float, np.integer, np.floating, Decimal)):
        return float(value)
    if isinstance(value, str):
        text = value.strip()
        if not text:
            return math.nan
        if _NUMBER.fullmatch(text):
            return float(text)
        hint = ""
        if re.search(r"\d[,'_ ]\d", text) or re.search(r"[$€£¥%]", text):
            hint = " (thousands separators, currency signs and units are not read: write plain numbers such as 1234.5)"
        elif re.fullmatch(r"[+-]?\d+,\d+", text):
            hint = " (a decimal comma is not read: write 1234.5)"
        raise ValueError(f"{value!r} is not a number{hint}")
    raise ValueError(f"a {type(value).__name__} ({value!r}) is not a number")


def refuse_duplicates(names: list[str], where: str, header: str) -> None:
    seen: dict[str, int] = {}
    for position, name in enumerate(names):
        key = name_key(name)
        if key in seen:
            first = seen[key]
            raise ValueError(f"two columns are named {name_key(name)!r} in {where} ({header}, columns {first + 1} "
                             f"({names[first]!r}) and {position + 1} ({name!r})): rename or drop one")
        seen[key] = position


def read_csv(path: Path, encoding: str) -> Table:
    raw = path.read_bytes()
    try:
        text = raw.decode(encoding)
    except UnicodeDecodeError as error:
        raise ValueError(_not_text(path, raw, encoding, error)) from None
    except LookupError:
        raise ValueError(f"encoding={encoding!r} is no text encoding Python knows") from None
    body = text.removeprefix("\ufeff")
    reader = csv.reader(io.StringIO(body, newline=""))
    try:
        header = [clean_name(name) for name in next(reader)]
    except StopIteration:
        raise ValueError(f"{path}: the file is empty") from None
    refuse_duplicates(header, str(path), "header line 1")
    rows = list(reader)
    lines: Sequence[int] = range(2, len(rows) + 2)
    # Every record one line, none blank, all as wide as the header (the usual file): data row r is line r + 1.
    # Otherwise read again, keeping the line each record starts on.
    if reader.line_num != len(rows) + 1 or set(map(len, rows)) - {len(header)}:
        rows, lines = _records_with_lines(path, body, len(header))
    cells = list(zip(*rows)) if rows else [() for _ in header]
    columns = [Column(name, values, texts=True) for name, values in zip(header, cells)]
    # An unnamed first column is an index a DataFrame wrote (to_csv): a candidate for the times.
    if columns and name_key(header[0]) in ("", "unnamed: 0"):
        columns[0].is_index = True
    return Table(str(path), columns, len(rows), lines=lines)


def _records_with_lines(path: Path, body: str, width: int) -> tuple[list[list[str]], list[int]]:
    """The records after the header, without blank lines, and the line each starts on; a record of another
    width than the header's is refused with its line."""
    reader = csv.reader(io.StringIO(body, newline=""))
    next(reader)
    rows: list[list[str]] = []
    lines: list[int] = []
    start = reader.line_num + 1
    for row in reader:
        if row:
            if len(row) != width:
                raise ValueError(f"{path} line {start}: {len(row)} fields, the header has {width}")
            lines.append(start)
            rows.append(row)
        start = reader.line_num + 1
    return rows, lines


def _not_text(path: Path, raw: bytes, encoding: str, error: UnicodeDecodeError) -> str:
    line = raw.count(b"\n", 0, error.start) + 1
    line_start = raw.rfind(b"\n", 0, error.start) + 1
    header = next(csv.reader([raw.split(b"\n", 1)[0].decode(encoding, "replace").removeprefix("\ufeff")]), [])
    before = raw[line_start:error.start].decode(encoding, "replace")
    field_index = len(next(csv.reader([before]), [""])) - 1 if before else 0
    column = f"column {clean_name(header[field_index])!r}" if field_index < len(header) else f"field {field_index + 1}"
    where = "the header" if line == 1 else f"data row {line - 1}"
    return (f"{path} is not {encoding} text: byte 0x{raw[error.start]:02x} on line {line} ({where}, {column}, byte "
            f"{error.start - line_start + 1} of the line): pass the file's encoding, e.g. encoding='latin-1' or "
            f"encoding='cp1252'")


def read_parquet(path: Path) -> Table:
    try:
        import pyarrow as pa  # type: ignore[import-untyped]
        import pyarrow.parquet as pq  # type: ignore[import-untyped]
    except ImportError:
        raise ImportError("reading Parquet needs pyarrow: pip install 'py_engine_tarnel[data]' (or pyarrow)") from None
    table = pq.read_table(path)
    metadata = table.schema.pandas_metadata or {}
    index_names = {name for name in metadata.get("index_columns", []) if isinstance(name, str)}
    names = [clean_name(name) for name in table.column_names]
    refuse_duplicates([n for n in names if not n.startswith("__index_level_")], str(path), "its schema")
    columns = []
    for raw_name, name in zip(table.column_names, names):
        data = table.column(raw_name)
        is_index = raw_name in index_names
        shown = "" if raw_name.startswith("__index_level_") else name
        if pa.types.is_timestamp(data.type) or pa.types.is_date(data.type):
            times = data.to_numpy(zero_copy_only=False).astype("datetime64[ns]")
            zone = getattr(data.type, "tz", None)
            columns.append(Column(shown, times, aware_zone=zone, is_index=is_index))
        elif pa.types.is_integer(data.type) or pa.types.is_floating(data.type):
            columns.append(Column(shown, data.to_numpy(zero_copy_only=False), is_index=is_index))
        else:
            columns.append(Column(shown, data.to_pylist(), is_index=is_index))
    return Table(str(path), columns, table.num_rows)


def from_dataframe(frame: Any) -> Table:
    import pandas as pd  # type: ignore[import-untyped]

    names = [clean_name(name) for name in frame.columns]
    refuse_duplicates(names, "the DataFrame", "its columns")
    columns = [_series_column(name, frame.iloc[:, position], pd) for position, name in enumerate(names)]
    index = frame.index
    if isinstance(index, pd.DatetimeIndex):
        columns.append(_series_column(clean_name(index.name or ""), pd.Series(index), pd, is_index=True))
    return Table("the DataFrame", columns, len(frame), index=None if isinstance(index, pd.RangeIndex) else index)


def _series_column(name: str, series: Any, pd: Any, *, is_index: bool = False) -> Column:
    dtype = series.dtype
    if isinstance(dtype, pd.DatetimeTZDtype):
        utc = series.dt.tz_convert("UTC").dt.tz_localize(None)
        return Column(name, utc.to_numpy(dtype="datetime64[ns]"), aware_zone=str(dtype.tz), is_index=is_index)
    if pd.api.types.is_datetime64_dtype(dtype):
        return Column(name, series.to_numpy(dtype="datetime64[ns]"), is_index=is_index)
    if isinstance(dtype, np.dtype) and dtype.kind in "iuf":
        return Column(name, series.to_numpy(), is_index=is_index)
    return Column(name, [None if _is_missing(v, pd) else v for v in series.tolist()], is_index=is_index)


def _is_missing(value: Any, pd: Any) -> bool:
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False
