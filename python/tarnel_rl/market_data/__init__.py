"""Market data: loading and checking candles (loader), reading their times, their table and feature
columns, and the sample series (samples/)."""
