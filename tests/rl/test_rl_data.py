"""Candles of one's own: loading CSV, Parquet, DataFrames and arrays by the column names users have,
the checks that name the bad row, the shipped sample, and the split into train, validation and test
bars by share or by date. No user interface is needed."""
import subprocess
import sys

import numpy as np
import pytest

from rl_support import PYTHON_DIR
from tarnel_rl.data import Candles, check_candles, load_candles, sample_path, split_bars

GOOD = np.array([[10, 11, 9, 10.5, 100], [10.5, 12, 10, 11, 0], [11, 11.5, 10.5, 11.2, 50]], dtype=np.float64)
DATES = ["2024-01-02", "2024-01-03", "2024-01-04"]


def write_csv(path, header, rows):
    path.write_text(",".join(header) + "\n" + "".join(",".join(map(str, r)) + "\n" for r in rows))
    return path


@pytest.mark.parametrize("header", [
    ["Date", "Open", "High", "Low", "Close", "Volume"],
    ["timestamp", "o", "h", "l", "c", "v"],
    ["time", "OPEN", "HIGH", "LOW", "Adj Close", "Vol"],
])
def test_csv_columns_are_found_by_the_names_users_have(tmp_path, header):
    path = write_csv(tmp_path / "bars.csv", header, [[d, *row] for d, row in zip(DATES, GOOD)])
    candles = load_candles(path)
    np.testing.assert_array_equal(candles.values, GOOD)
    assert candles.times is not None and str(candles.times[2]) .startswith("2024-01-04")


def test_a_missing_volume_is_zero_and_only_a_plain_array_goes_without_times(tmp_path):
    path = write_csv(tmp_path / "bars.csv", ["date", "open", "high", "low", "close"],
                     [[d, *row] for d, row in zip(DATES, GOOD[:, :4].tolist())])
    candles = load_candles(path)
    np.testing.assert_array_equal(candles.values[:, 4], [0, 0, 0])
    assert "volume" not in candles.columns
    no_time = write_csv(tmp_path / "no_time.csv", ["open", "high", "low", "close"], GOOD[:, :4].tolist())
    with pytest.raises(ValueError, match=r"no_time.csv has no time column: none is named time, date, .*time='\.\.\.'"):
        load_candles(no_time)
    plain = load_candles(GOOD)
    assert plain.times is None
    with pytest.raises(ValueError, match="no times"):
        split_bars(len(plain), plain, test_from="2024-01-03")


def test_a_missing_price_column_is_named(tmp_path):
    path = write_csv(tmp_path / "bars.csv", ["date", "open", "high", "close"], [[DATES[0], 1, 2, 1]] * 2)
    with pytest.raises(ValueError, match="no low column"):
        load_candles(path)


BAD_ROWS = [
    (1, [10.5, 12, 10, np.nan, 0], "candles row 1: .*not finite"),
    (2, [11, 11.5, 10.5, 11.2, np.inf], "candles row 2: .*not finite"),
    (1, [10.5, 10.9, 10, 11, 0], r"candles row 1: .*high 10.9 is below max\(open, close\) 11"),
    (2, [11, 11.5, 11.1, 11.2, 0], r"candles row 2: .*low 11.1 is above min\(open, close\) 11"),
    (1, [0, 12, 0, 11, 0], "candles row 1: .*prices must be > 0"),
    (0, [10, 11, 9, 10.5, -1], "candles row 0: .*volume must be >= 0"),
]


@pytest.mark.parametrize("row, values, message", BAD_ROWS)
def test_a_bad_candle_is_a_value_error_naming_its_row(row, values, message):
    bad = GOOD.copy()
    bad[row] = values
    with pytest.raises(ValueError, match=message):
        load_candles(bad)  # the plain array gets the same checks


@pytest.mark.parametrize("dates, message", [
    (["2024-01-02", "2024-01-02", "2024-01-04"], r"bars.csv line 3 \(data row 2, 2024-01-02.*\), column 'date': .*duplicate bar"),
    (["2024-01-02", "2024-01-04", "2024-01-03"], r"bars.csv line 4 \(data row 3, 2024-01-03.*\), column 'date': .*not after"),
    (["2024-01-02", "", "2024-01-04"], r"bars.csv line 3 \(data row 2, NaT\), column 'date': its time is missing"),
])
def test_times_must_increase_strictly(tmp_path, dates, message):
    path = write_csv(tmp_path / "bars.csv", ["date", "open", "high", "low", "close", "volume"],
                     [[d, *row] for d, row in zip(dates, GOOD)])
    with pytest.raises(ValueError, match=message):
        load_candles(path)


def test_the_first_bad_row_is_named_whichever_rule_it_breaks():
    bad = GOOD.copy()
    bad[0, 1] = 1.0  # row 0: high below max(open, close), a rule checked after finiteness
    bad[1, 3] = np.nan  # row 1: not finite
    with pytest.raises(ValueError, match="candles row 0: .*high 1 is below"):
        check_candles(bad)


def test_arrays_of_the_wrong_shape_are_refused():
    for shape in [(3, 4), (1, 5), (5,)]:
        with pytest.raises(ValueError, match="N x 5"):
            load_candles(np.ones(shape))


def test_dataframes_with_a_time_index_or_column():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(GOOD, columns=["Open", "High", "Low", "Close", "Volume"], index=pd.to_datetime(DATES))
    candles = load_candles(frame)
    np.testing.assert_array_equal(candles.values, GOOD)
    assert candles.bar_of("2024-01-03") == 1
    with_column = frame.reset_index(names="Date").drop(columns="Volume")
    again = load_candles(with_column)
    np.testing.assert_array_equal(again.times, candles.times)
    np.testing.assert_array_equal(again.values[:, 4], 0)
    bad = frame.copy()
    bad.iloc[1, 1] = 1.0
    with pytest.raises(ValueError, match=r"the DataFrame data row 2 \(2024-01-03.*\), column 'High': high 1 is below"):
        load_candles(bad)


def test_parquet_round_trip(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    frame = pd.DataFrame(GOOD, columns=["open", "high", "low", "close", "volume"])
    frame.insert(0, "timestamp", pd.to_datetime(DATES))
    frame.to_parquet(tmp_path / "bars.parquet")
    candles = load_candles(tmp_path / "bars.parquet")
    np.testing.assert_array_equal(candles.values, GOOD)
    assert candles.bar_of("2024-01-04") == 2


def test_the_sample_is_what_its_script_makes_and_passes_the_checks():
    result = subprocess.run([sys.executable, str(PYTHON_DIR.parent / "scripts" / "make_sample_candles.py"), "--check"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    candles = load_candles(sample_path())
    assert len(candles) == 1565
    assert str(candles.times[0]).startswith("2019-01-02") and str(candles.times[-1]).startswith("2024-12-31")
    # 1564 intervals over 6 years less two days: about 261 weekdays a year.
    assert candles.bars_per_year() == pytest.approx(1564 / ((np.datetime64("2024-12-31") - np.datetime64("2019-01-02"))
                                                           / np.timedelta64(1, "D") / 365.25))


def test_split_by_date_and_by_share():
    candles = load_candles(sample_path())
    bars = len(candles)
    first_2024 = candles.bar_of("2024-01-01")
    assert str(candles.times[first_2024]).startswith("2024-01-01") or str(candles.times[first_2024]).startswith("2024-01-02")
    assert str(candles.times[first_2024 - 1]).startswith("2023-12-29")
    split = split_bars(bars, candles, test_from="2024-01-01", validation_from="2023-07-01")
    assert split.test_bars == bars - first_2024 == 262
    assert split.validation_bars == first_2024 - candles.bar_of("2023-07-01")
    assert split_bars(1000, test_share=0.25, validation_share=0.1).ui_options() == {"test_bars": 250, "validation_bars": 100}
    assert split_bars(1000) is None  # the page's own default
    assert split_bars(1000, validation_share=0.1) == split_bars(1000, test_share=0.2, validation_share=0.1)


@pytest.mark.parametrize("kwargs, message", [
    ({"test_from": "2030-01-01"}, "test range would start on bar 1565"),
    ({"test_from": "2000-01-01"}, "test range would start on bar 0"),
    ({"test_from": "2024-01-01", "validation_from": "2024-06-01"}, "validation range would start"),
    ({"test_share": 1.5}, "test_share must be a fraction"),
    ({"test_share": 0.2, "test_from": "2024-01-01"}, "not both"),
])
def test_impossible_splits_are_refused(kwargs, message):
    candles = load_candles(sample_path())
    with pytest.raises(ValueError, match=message):
        split_bars(len(candles), candles, **kwargs)


def test_candles_pass_through():
    candles = Candles(GOOD.copy())
    assert load_candles(candles) is candles
