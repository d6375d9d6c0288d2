"""The candle loader reads every way users write times to the same UTC instants (byte-order marks, other
names for the time column, day-first texts, epoch numbers, offsets, zones, a Parquet index) or refuses
them naming file, row and column; it refuses text in a number, duplicate names and bytes that are not
UTF-8 the same way; it says which columns it used and keeps the trader's feature columns."""
import csv
import datetime as dt

import numpy as np
import pytest

from rl_support import PYTHON_DIR  # noqa: F401  (puts the worktree's python/ first)
from tarnel_rl.data import Candles, load_candles, sample_path

HOURLY_UTC = np.arange(np.datetime64("2024-10-26T20:00"), np.datetime64("2024-10-27T06:00"),
                       np.timedelta64(1, "h")).astype("datetime64[ns]")  # over Berlin's change back to CET


def sample_rows():
    with sample_path().open(newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def sample_utc():
    """The sample's times, read independently of the loader: ISO dates, midnight UTC."""
    return np.array([np.datetime64(row[0], "ns") for row in sample_rows()[1]])


def write(path, time_name, times, rows, *, prefix=""):
    """A CSV of `times` beside the sample's prices (its first len(times) rows)."""
    header, data = sample_rows()
    lines = [",".join([time_name, *header[1:]])]
    lines += [",".join([str(t), *row[1:]]) for t, row in zip(times, data[:len(times)])]
    path.write_text(prefix + "\n".join(lines) + "\n", encoding="utf-8")
    return path


def epoch_seconds(times):
    return (times.astype("datetime64[s]").astype(np.int64)).tolist()


def daily(tmp_path, name, times, **kwargs):
    return write(tmp_path / f"{name}.csv", "Date", times, sample_rows()[1]), kwargs


def daily_frame():
    pd = pytest.importorskip("pandas")
    header, data = sample_rows()
    frame = pd.DataFrame([[float(v) for v in row[1:]] for row in data], columns=header[1:])
    frame.index = pd.DatetimeIndex(sample_utc())
    return frame


def berlin_frame():
    pd = pytest.importorskip("pandas")
    header, data = sample_rows()
    frame = pd.DataFrame([[float(v) for v in row[1:]] for row in data[:len(HOURLY_UTC)]], columns=header[1:])
    frame.index = pd.DatetimeIndex(HOURLY_UTC).tz_localize("UTC").tz_convert("Europe/Berlin")
    return frame


def make_bom(tmp_path):
    dates = [r[0] for r in sample_rows()[1]]
    return write(tmp_path / "bom.csv", "Date", dates, sample_rows()[1], prefix="\ufeff"), {}


def make_gmt_time(tmp_path):
    return write(tmp_path / "gmt.csv", " Gmt time ", [r[0] for r in sample_rows()[1]], sample_rows()[1]), {}


def day_first(kwargs):
    def make(tmp_path):
        texts = [dt.date.fromisoformat(r[0]).strftime("%d.%m.%Y 00:00:00.000") for r in sample_rows()[1]]
        return daily(tmp_path, "dayfirst", texts, **kwargs)
    return make


def epochs(scale, kwargs):
    def make(tmp_path):
        return daily(tmp_path, "epochs", [s * scale for s in epoch_seconds(sample_utc())], **kwargs)
    return make


def make_parquet_index(tmp_path):
    pytest.importorskip("pyarrow")
    daily_frame().to_parquet(tmp_path / "indexed.parquet")
    return tmp_path / "indexed.parquet", {}


def make_csv_index(tmp_path):
    daily_frame().to_csv(tmp_path / "indexed.csv")  # the unnamed index becomes a first column without a name
    return tmp_path / "indexed.csv", {}


def make_berlin_frame(tmp_path):
    return berlin_frame(), {}


def make_berlin_parquet(tmp_path):
    pytest.importorskip("pyarrow")
    berlin_frame().reset_index(names="time").to_parquet(tmp_path / "berlin.parquet")
    return tmp_path / "berlin.parquet", {}


def make_offsets_csv(tmp_path):
    texts = [t.isoformat() for t in berlin_frame().index]  # 2024-10-27T02:00:00+02:00, then +01:00
    assert texts[4].endswith("+02:00") and texts[5].endswith("+01:00") and texts[4][:19] == texts[5][:19]
    return write(tmp_path / "offsets.csv", "time", texts, sample_rows()[1]), {}


def make_naive_berlin_csv(tmp_path):
    walls = [t.strftime("%Y-%m-%d %H:%M") for t in berlin_frame().index]  # 02:00 twice, without offsets
    return write(tmp_path / "walls.csv", "Local time", walls, sample_rows()[1]), {"tz": "Europe/Berlin"}


def make_naive_berlin_frame(tmp_path):
    frame = berlin_frame()
    frame.index = frame.index.tz_localize(None)
    return frame, {"tz": "Europe/Berlin"}


def make_aware_array(tmp_path):
    times = [t.to_pydatetime() for t in berlin_frame().index]
    return berlin_frame().to_numpy(), {"time": times}


@pytest.mark.parametrize("make, expected", [
    (make_bom, sample_utc),
    (make_gmt_time, sample_utc),
    (day_first({"time_format": "%d.%m.%Y %H:%M:%S.%f"}), sample_utc),
    (day_first({"dayfirst": True}), sample_utc),
    (epochs(1, {}), sample_utc),
    (epochs(1000, {}), sample_utc),
    (epochs(1, {"time_unit": "s"}), sample_utc),
    (epochs(1000, {"time_unit": "ms"}), sample_utc),
    (epochs(10**9, {}), sample_utc),
    (make_parquet_index, sample_utc),
    (make_csv_index, sample_utc),
    (make_berlin_frame, lambda: HOURLY_UTC),
    (make_berlin_parquet, lambda: HOURLY_UTC),
    (make_offsets_csv, lambda: HOURLY_UTC),
    (make_naive_berlin_csv, lambda: HOURLY_UTC),
    (make_naive_berlin_frame, lambda: HOURLY_UTC),
    (make_aware_array, lambda: HOURLY_UTC),
], ids=["bom", "gmt-time", "time-format", "dayfirst", "epoch-s", "epoch-ms", "epoch-s-unit", "epoch-ms-unit",
        "epoch-ns", "parquet-index", "csv-index", "berlin-frame", "berlin-parquet", "offsets-csv",
        "naive-berlin-csv", "naive-berlin-frame", "aware-array"])
def test_every_way_of_writing_times_gives_the_same_utc_instants(tmp_path, make, expected):
    source, kwargs = make(tmp_path)
    candles = load_candles(source, **kwargs)
    want = expected()
    assert candles.times is not None and candles.times.dtype == np.dtype("datetime64[ns]")
    np.testing.assert_array_equal(candles.times, want)
    assert len(candles) == len(want)
    if len(want) == len(sample_utc()):
        np.testing.assert_array_equal(candles.values, load_candles(sample_path()).values)


@pytest.mark.parametrize("lines, kwargs, message", [
    (["2024-03-31 01:00", "2024-03-31 02:30", "2024-03-31 03:00"], {"tz": "Europe/Berlin"},
     r"t.csv line 3 \(data row 2\), column 'time': 2024-03-31 02:30:00 never happened in Europe/Berlin"),
    (["20240102", "20240103", "20240104"], {},
     r"t.csv line 2 \(data row 1\), column 'time': the epoch number 20240102 is too small.*time_format='%Y%m%d'"),
    (["1704153600", "1704240000000", "1704326400"], {},
     r"t.csv line 3 \(data row 2\), column 'time': the epoch number 1704240000000 is in ms, the first .* in s"),
    (["1704153600", "1704240000.5", "1704326400"], {}, r"line 3 \(data row 2\), column 'time': .*must be whole"),
    (["02.01.2024", "03.01.2024", "04.01.2024"], {}, r"line 2 \(data row 1\), column 'time': .*dayfirst=True"),
    (["2024-01-02T00:00+01:00", "2024-01-03", "2024-01-04"], {}, r"line 3 \(data row 2\).*with and without a UTC"),
    (["2024-01-02", "2024-01-03", "1704326400"], {}, r"line 4 \(data row 3\).*epoch numbers and dates are mixed"),
    (["1704153600000", "1704240000000", "1704326400000"], {"time_unit": "s"},
     r"line 2 \(data row 1\).*the epoch number 1704153600000 in s lies outside the years 1678-2261"),
])
def test_times_that_cannot_be_read_right_are_refused_with_their_row(tmp_path, lines, kwargs, message):
    path = write(tmp_path / "t.csv", "time", lines, sample_rows()[1])
    with pytest.raises(ValueError, match=message):
        load_candles(path, **kwargs)


def damage(tmp_path, edit, data=None):
    """The sample with its 3rd data row (line 4) edited as `edit(fields)`, or the whole text as `data(text)`."""
    header, rows = sample_rows()
    rows = [list(r) for r in rows]
    edit(header, rows[2])
    text = "\n".join(",".join(r) for r in [header, *rows]) + "\n"
    path = tmp_path / "prices.csv"
    path.write_bytes(data(text) if data else text.encode())
    return path


@pytest.mark.parametrize("edit, data, message", [
    (lambda h, r: r.__setitem__(4, '"1,234.5"'), None,
     r"prices.csv line 4 \(data row 3\), column 'Close': '1,234.5' is not a number \(thousands separators"),
    (lambda h, r: r.__setitem__(1, "$300"), None, r"prices.csv line 4 \(data row 3\), column 'Open': '\$300' is not"),
    (lambda h, r: h.__setitem__(5, "close"), None,
     r"two columns are named 'close' in .*prices.csv \(header line 1, columns 5 \('Close'\) and 6 \('close'\)\)"),
    (lambda h, r: r.__setitem__(0, "2019-01-04 lunch"), None,
     r"prices.csv line 4 \(data row 3\), column 'Date': '2019-01-04 lunch' is not a time"),
    (lambda h, r: r.__setitem__(2, "100.5"), lambda text: text.replace("100.5", "caf\xe9", 1).encode("latin-1"),
     r"prices.csv is not utf-8 text: byte 0xe9 on line 4 \(data row 3, column 'High', .*encoding='latin-1'"),
])
def test_values_that_cannot_be_read_are_refused_naming_file_row_and_column(tmp_path, edit, data, message):
    path = damage(tmp_path, edit, data)
    with pytest.raises(ValueError, match=message):
        load_candles(path)


def test_a_latin1_file_loads_with_its_encoding(tmp_path):
    path = damage(tmp_path, lambda h, r: h.__setitem__(0, "Daté"), lambda text: text.encode("latin-1"))
    with pytest.raises(ValueError, match=r"is not utf-8 text: .*the header, column 'Dat"):
        load_candles(path)
    candles = load_candles(path, encoding="latin-1", time="DATÉ")
    np.testing.assert_array_equal(candles.values, load_candles(sample_path()).values)
    assert candles.columns["time"] == "Daté"
    np.testing.assert_array_equal(candles.times, sample_utc())


def test_the_record_names_the_columns_it_used_and_close_can_be_chosen(tmp_path):
    pd = pytest.importorskip("pandas")
    frame = daily_frame()
    frame["Adj Close"] = frame["Open"]  # any price between low and high
    default = load_candles(frame)
    np.testing.assert_array_equal(default.values[:, 3], frame["Close"].to_numpy())
    assert default.columns == {"open": "Open", "high": "High", "low": "Low", "close": "Close", "volume": "Volume",
                               "time": "the index"}
    assert "close='Adj Close' would take 'Adj Close' instead" in default.describe()
    adjusted = load_candles(frame, close="adj_close")
    assert adjusted.columns["close"] == "Adj Close" and "close 'Adj Close'" in repr(adjusted)
    np.testing.assert_array_equal(adjusted.values[:, 3], frame["Open"].to_numpy())
    line = load_candles(sample_path()).describe()
    assert "\n" not in line and line.startswith("1565 bars, 2019-01-02 to 2024-12-31 UTC, from sample_daily.csv")
    assert "time 'Date'; times naive, taken as UTC" in line
    assert "times aware (Europe/Berlin), converted to UTC" in load_candles(berlin_frame()).describe()
    with pytest.raises(ValueError, match=r"no column named 'Settle' for close="):
        load_candles(frame, close="Settle")
    assert pd is not None


def test_feature_columns_are_kept_and_checked(tmp_path):
    frame = daily_frame()
    frame["feature_rsi"] = np.linspace(0, 1, len(frame))
    frame["Feature_Trend"] = -np.arange(len(frame), dtype=float)
    frame["note"] = 1.0
    candles = load_candles(frame)
    assert candles.feature_names == ("feature_rsi", "Feature_Trend")
    np.testing.assert_array_equal(candles.features, frame[["feature_rsi", "Feature_Trend"]].to_numpy())
    assert "features 'feature_rsi', 'Feature_Trend'" in candles.describe()
    chosen = load_candles(frame, features=["note", "FEATURE_RSI"])
    assert chosen.feature_names == ("note", "feature_rsi") and chosen.features.shape == (len(frame), 2)
    assert load_candles(frame, features=[]).features is None
    frame.iloc[4, frame.columns.get_loc("Feature_Trend")] = np.inf
    with pytest.raises(ValueError, match=r"the DataFrame data row 5 \(2019-01-08.*\), column 'Feature_Trend': .*inf "
                                         r"is not finite"):
        load_candles(frame)
    with pytest.raises(ValueError, match=r"no feature column 'volatility'"):
        load_candles(frame, features=["volatility"])
    frame["feature_x"] = "0.5"
    frame.iloc[2, frame.columns.get_loc("feature_x")] = "n/a"
    frame.to_csv(tmp_path / "features.csv", index_label="Date")
    with pytest.raises(ValueError, match=r"features.csv line 4 \(data row 3\), column 'feature_x': 'n/a' is not a number"):
        load_candles(tmp_path / "features.csv", features=["feature_x"])
    # A record built by hand, as before, has no features and no column names.
    plain = Candles(np.ones((2, 5)))
    assert plain.features is None and plain.feature_names == () and plain.columns == {}


@pytest.mark.parametrize("minutes", [15, 30, 60])
def test_wall_times_repeated_at_the_change_back_are_read_in_their_order(minutes):
    pd = pytest.importorskip("pandas")
    utc = np.arange(np.datetime64("2024-10-26T22:00"), np.datetime64("2024-10-27T04:00"),
                    np.timedelta64(minutes, "m")).astype("datetime64[ns]")
    walls = pd.DatetimeIndex(utc).tz_localize("UTC").tz_convert("Europe/Berlin").tz_localize(None)
    assert walls.has_duplicates
    prices = np.tile([10.0, 11.0, 9.0, 10.5, 1.0], (len(utc), 1))
    candles = load_candles(prices, time=walls.strftime("%Y-%m-%d %H:%M").tolist(), tz="Europe/Berlin")
    np.testing.assert_array_equal(candles.times, utc)
    assert candles.time_handling == "naive in Europe/Berlin, converted to UTC"


@pytest.mark.parametrize("walls, row", [
    (["2024-10-27 00:00", "2024-10-27 01:30", "2024-10-27 02:00", "2024-10-27 03:30"], 2),  # 90-minute bars
    (["2024-10-26 02:30", "2024-10-27 02:30", "2024-10-28 02:30"], 1),  # daily: summer or winter time?
    (["2024-10-27 02:00", "2024-10-27 02:30", "2024-10-27 02:00", "2024-10-27 02:30", "2024-10-27 02:00"], 0),
])
def test_a_repeated_wall_time_the_series_does_not_place_is_refused(walls, row):
    prices = np.tile([10.0, 11.0, 9.0, 10.5, 1.0], (len(walls), 1))
    with pytest.raises(ValueError, match=rf"candles row {row}, time=: {walls[row]}:00 happened twice in Europe/Berlin"):
        load_candles(prices, time=walls, tz="Europe/Berlin")


def test_an_index_is_taken_for_the_times_only_when_it_holds_times(tmp_path):
    pytest.importorskip("pyarrow")
    frame = daily_frame()
    named = frame.rename_axis("Date")
    named.to_parquet(tmp_path / "named.parquet")
    np.testing.assert_array_equal(load_candles(tmp_path / "named.parquet", time="date").times, sample_utc())
    counted = frame.reset_index(drop=True)
    counted.to_csv(tmp_path / "counted.csv")  # a first column without a name: 0, 1, 2, ...
    counted.set_index(counted.index.astype(str)).to_parquet(tmp_path / "counted.parquet")  # an index of texts
    for path in (tmp_path / "counted.csv", tmp_path / "counted.parquet"):
        with pytest.raises(ValueError, match=rf"{path.name} has no time column"):
            load_candles(path)
