"""Writes the package's sample series, python/tarnel_rl/market_data/samples/sample_daily.csv: daily bars of a
made-up stock on the weekdays of 2019-2024, as a market data download would have them (Date, Open, High, Low,
Close, Volume; prices in cents, whole shares).

It is deterministic: its own small random generator (xorshift64*, with Box-Muller normals) and nothing
but exactly rounded arithmetic and the standard library's exp, log, sqrt and cos, so the same file comes
out wherever it runs. The price follows a geometric random walk with a drift of about 8 % a year and a
volatility that clusters (GARCH(1,1)-like, about 20 % a year on average), with a sharp fall in March 2020
and a slower one through 2022, so that a split by date gives ranges that differ as real ones do.

    python scripts/make_sample_candles.py            # rewrites the file
    python scripts/make_sample_candles.py --check    # exits 1 when the file differs from what it makes
"""
from __future__ import annotations

import datetime as dt
import math
import sys
from pathlib import Path

OUT = (Path(__file__).resolve().parent.parent / "python" / "tarnel_rl" / "market_data"
       / "samples" / "sample_daily.csv")
SEED = 20190102
MASK = (1 << 64) - 1


class XorShift:
    def __init__(self, seed: int) -> None:
        self.state = seed & MASK or 1

    def uniform(self) -> float:
        """In (0, 1)."""
        x = self.state
        x ^= x >> 12
        x ^= (x << 25) & MASK
        x ^= x >> 27
        self.state = x
        return (((x * 0x2545F4914F6CDD1D) & MASK) >> 11) / float(1 << 53) + 0.5 / float(1 << 53)

    def normal(self) -> float:
        return math.sqrt(-2.0 * math.log(self.uniform())) * math.cos(2.0 * math.pi * self.uniform())


def drift_of(day: dt.date) -> float:
    """Daily drift: about 8 % a year, with two falls."""
    if dt.date(2020, 2, 20) <= day <= dt.date(2020, 3, 20):
        return -0.012
    if dt.date(2022, 1, 3) <= day <= dt.date(2022, 10, 14):
        return -0.0012
    return 0.0003


def rows() -> list[str]:
    rng = XorShift(SEED)
    lines = ["Date,Open,High,Low,Close,Volume"]
    day = dt.date(2019, 1, 2)
    close = 48.37
    variance = 0.0125 ** 2
    long_run = 0.0125 ** 2
    while day <= dt.date(2024, 12, 31):
        if day.weekday() < 5:
            shock = rng.normal()
            stress = 2.5 if dt.date(2020, 2, 20) <= day <= dt.date(2020, 4, 30) else 1.0
            vol = math.sqrt(variance) * stress
            gap = 0.25 * vol * rng.normal()
            open_ = round(close * math.exp(gap), 2)
            move = drift_of(day) - 0.5 * vol * vol + vol * shock
            new_close = round(open_ * math.exp(move), 2)
            high = round(max(open_, new_close) * (1.0 + 0.6 * vol * rng.uniform()), 2)
            low = round(min(open_, new_close) * (1.0 - 0.6 * vol * rng.uniform()), 2)
            high, low = max(high, open_, new_close), min(low, open_, new_close)
            volume = int(2_000_000 * (0.6 + 0.8 * rng.uniform()) * (1.0 + 40.0 * abs(move)))
            lines.append(f"{day.isoformat()},{open_:.2f},{high:.2f},{low:.2f},{new_close:.2f},{volume}")
            variance = 0.05 * long_run + 0.85 * variance + 0.10 * variance * shock * shock
            close = new_close
        day += dt.timedelta(days=1)
    return lines


def main(argv: list[str]) -> int:
    text = "\n".join(rows()) + "\n"
    if "--check" in argv:
        same = OUT.is_file() and OUT.read_text() == text
        print(f"{OUT}: {'as made' if same else 'differs from what this script makes'}")
        return 0 if same else 1
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(text)
    print(f"wrote {OUT} ({len(text.splitlines()) - 1} bars)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
