"""Feature engineering on a synthetic year of daily meter readings.

Builds a readings table (one KWH reading per consumer and day, with missing
readings, zero days and occasional spikes), a table of two observation
windows per consumer (the whole year, and its last 90 days), runs
movra.fe4ts over it and prints the feature table.  By default that is 10,000
consumers over one year, which fe4ts computes on its native kernel; a few of
the windows also go through the pandas path (the same features, one library
call at a time) for comparison.  At the end one consumer's readings go
through movra.tsdf2seq and movra.pad_seq.

    bash tools/demo.sh --consumers 10000 --days 365

(tools/demo.sh installs movra into .venv-demo and runs this script; after
that, `.venv-demo/bin/python examples/demo.py ...` runs it again directly.)
"""
import argparse
import time

import numpy as np
import pandas as pd

import movra


def readings(consumers, days, seed):
    """One row per consumer and day: CONS_NO, DATA_DATE, DAY, WEEK, MONTH, WEEKDAY, KWH."""
    rng = np.random.default_rng(seed)
    dates = pd.date_range("2016-01-01", periods=days, freq="D")
    day = np.arange(days)
    season = 1.0 + 0.35 * np.cos(2 * np.pi * (day - 15) / 365.25)  # winter peak
    weekend = np.where(dates.day_of_week >= 5, 1.15, 1.0)

    base = rng.lognormal(mean=2.0, sigma=0.6, size=consumers)  # typical daily kWh
    kwh = base[:, None] * season[None, :] * weekend[None, :]
    kwh *= rng.gamma(shape=8.0, scale=1 / 8.0, size=kwh.shape)  # day-to-day noise

    # Vacancies: a run of zero days for about one consumer in ten.
    for c in np.flatnonzero(rng.random(consumers) < 0.1):
        start = rng.integers(0, days)
        kwh[c, start:start + rng.integers(3, 30)] = 0.0
    # Meter faults: scattered zero days, spikes and missing readings.
    kwh[rng.random(kwh.shape) < 0.005] = 0.0
    spikes = rng.random(kwh.shape) < 0.002
    kwh[spikes] *= rng.uniform(5, 20, size=spikes.sum())
    kwh[rng.random(kwh.shape) < 0.02] = np.nan
    kwh = np.round(kwh, 2)

    return pd.DataFrame({
        "CONS_NO": np.repeat(np.arange(100001, 100001 + consumers), days),
        "DATA_DATE": np.tile(dates, consumers),
        "DAY": np.tile(day, consumers),
        "WEEK": np.tile(day // 7, consumers),
        "MONTH": np.tile(dates.month.to_numpy(), consumers),
        "WEEKDAY": np.tile(dates.day_of_week.to_numpy(), consumers),
        "KWH": kwh.ravel(),
    })


def windows(consumers, days):
    """Two windows per consumer: the whole span, and its last 90 days."""
    units = np.arange(100001, 100001 + consumers)
    return pd.DataFrame({
        "CONS_NO": np.concatenate([units, units]),
        "START": 0,
        "END": days - 1,
        "FORWARD_T": np.concatenate([np.full(consumers, days), np.full(consumers, 90)]),
    })


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=10000, help="number of consumers (default 10000)")
    parser.add_argument("--days", type=int, default=365, help="days of readings per consumer (default 365)")
    parser.add_argument("--compare", type=int, default=5,
                        help="windows also run on the pandas path, for comparison (default 5; 0: none)")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    df = readings(args.consumers, args.days, args.seed)
    interval = windows(args.consumers, args.days)
    print(f"readings: {df.shape[0]} rows ({args.consumers} consumers x {args.days} days), "
          f"{df.KWH.isna().sum()} missing, {(df.KWH == 0).sum()} zero")
    print(f"windows:  {len(interval)}")

    started = time.perf_counter()
    ftrs = movra.fe4ts(df, "CONS_NO", ["DAY", "WEEK", "MONTH"], ["WEEKDAY"], [1, 7], "KWH", interval)
    elapsed = time.perf_counter() - started

    print(f"\nfeature table: {ftrs.shape[0]} rows x {ftrs.shape[1]} columns")
    shown = ["CONS_NO", "KWH_DAY_MEAN", "KWH_DAY_CV", "KWH_DAY_NB_0", "KWH_DAY_NB_NA",
             "KWH_WEEKDAY_6_MEAN", "KWH_DIFF_7_ACOR", "KWH_START", "KWH_END"]
    with pd.option_context("display.width", 160, "display.max_columns", 20):
        print(ftrs[shown].head(8))
    print(f"\nfe4ts: {elapsed:.2f} s for {len(interval)} windows "
          f"({1000 * elapsed / max(len(interval), 1):.2f} ms per window)")

    if args.compare > 0 and len(interval) > 0:
        # The same windows on the pandas path: an aggfunc the kernel does not
        # recognise sends fe4ts there.
        sample = interval.sample(n=min(args.compare, len(interval)), random_state=args.seed).reset_index(drop=True)
        started = time.perf_counter()
        slow = movra.fe4ts(df, "CONS_NO", ["DAY", "WEEK", "MONTH"], ["WEEKDAY"], [1, 7], "KWH", sample,
                           aggfunc=lambda s: np.nansum(s))
        per_window = (time.perf_counter() - started) / len(sample)
        fast = movra.fe4ts(df, "CONS_NO", ["DAY", "WEEK", "MONTH"], ["WEEKDAY"], [1, 7], "KWH", sample)
        pd.testing.assert_frame_equal(fast, slow, check_exact=False, rtol=1e-9)
        print(f"pandas path: {1000 * per_window:.1f} ms per window on {len(sample)} of the windows, same features "
              f"({per_window / (elapsed / len(interval)):.0f} x the kernel's time per window)")

    # One consumer's readings as a padded model input.
    one = df[df.CONS_NO == df.CONS_NO.iloc[0]][["DATA_DATE", "KWH"]]
    try:
        seq = movra.tsdf2seq(one, "DATA_DATE", "KWH", maxlen=400)
        padded = movra.pad_seq(seq, 400, "pre", 0)
        print(f"\nsequence of consumer {df.CONS_NO.iloc[0]}: {len(seq)} readings, padded to {len(padded)}")
    except NotImplementedError as e:
        print(f"\n(sequence demo skipped: {e})")


if __name__ == "__main__":
    main()
