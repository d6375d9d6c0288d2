"""What reading one's own candles costs: `load_candles` on a CSV of minute bars (ISO times, and with
`tz=`), on epoch-millisecond times and on a pandas DataFrame, beside two baselines read in the same run: the
least a CSV costs in Python (csv.reader, float() and one NumPy datetime64 conversion, no checks) and
pandas.read_csv.

    python bench/load_candles.py [--rows 100000] [--rounds 7]

The cases alternate round after round so the machine's drift falls on all of them. Prints, per case, the
median, p99 and max CPU seconds of a load, rows read per CPU second at the median, the number of loads and
how many took over 100 ms.
"""
from __future__ import annotations

import argparse
import csv
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
from tarnel_rl.data import load_candles  # noqa: E402


def write_files(folder: Path, rows: int) -> tuple[Path, Path]:
    times = np.datetime64("2024-04-01T00:00") + np.arange(rows).astype("timedelta64[m]")
    close = 100 + np.cumsum(np.random.default_rng(7).normal(0, 0.05, rows))
    prices = np.column_stack([close, close + 0.1, close - 0.1, close, np.full(rows, 1000.0)])
    iso, epoch = folder / "iso.csv", folder / "epoch.csv"
    for path, stamps in ((iso, np.datetime_as_string(times, "s")), (epoch, times.astype("datetime64[ms]").astype(np.int64))):
        with path.open("w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(["time", "open", "high", "low", "close", "volume"])
            writer.writerows([str(t), *map(repr, row)] for t, row in zip(stamps, prices.tolist()))
    return iso, epoch


def stdlib_floor(path: Path) -> None:
    with path.open(newline="") as f:
        reader = csv.reader(f)
        next(reader)
        rows = list(reader)
    np.array([[float(v) for v in row[1:]] for row in rows])
    np.array([row[0] for row in rows], dtype="datetime64[ns]")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    import pandas as pd

    with tempfile.TemporaryDirectory() as folder:
        iso, epoch = write_files(Path(folder), args.rows)
        frame = pd.read_csv(iso, index_col="time", parse_dates=True)
        cases = {
            "baseline: csv.reader + float() (no checks)": lambda: stdlib_floor(iso),
            "baseline: pandas.read_csv": lambda: pd.read_csv(iso, parse_dates=["time"]),
            "load_candles, CSV, ISO times": lambda: load_candles(iso),
            "load_candles, CSV, ISO times, tz='Europe/Berlin'": lambda: load_candles(iso, tz="Europe/Berlin"),
            "load_candles, CSV, epoch ms": lambda: load_candles(epoch),
            "load_candles, DataFrame": lambda: load_candles(frame),
        }
        seconds: dict[str, list[float]] = {name: [] for name in cases}
        names = list(cases)
        for round_ in range(args.rounds):
            for name in names[round_ % len(names):] + names[:round_ % len(names)]:
                start = time.process_time()
                cases[name]()
                seconds[name].append(time.process_time() - start)
    print(f"{args.rows:,} minute bars, {args.rounds} loads a case, CPU seconds a load")
    print(f"{'case':52} {'median':>8} {'p99':>8} {'max':>8} {'rows/s':>12} {'loads':>6} {'>100ms':>7}")
    for name, values in seconds.items():
        ordered = sorted(values)
        median = statistics.median(ordered)
        p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
        over = sum(v > 0.1 for v in ordered)
        print(f"{name:52} {median:8.3f} {p99:8.3f} {ordered[-1]:8.3f} {args.rows / median:12,.0f} {len(ordered):6} {over:7}")


if __name__ == "__main__":
    main()
