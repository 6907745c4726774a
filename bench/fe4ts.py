"""Benchmark of movra.fe4ts: the native kernel against the pandas path.

Builds a synthetic table of daily readings (default: 42,372 consumers x 1,035
days, about 43.9 million rows, with weekday, week and month columns), one
window per consumer, and runs

  * the kernel on every window,
  * the pandas path (forced by an aggfunc the kernel does not recognise) on a
    sample of the same windows over the same table,

then prints the kernel's total and per-window time, the pandas path's
per-window time, their ratio and the peak memory of the kernel run beyond
the input.  It then runs the kernel on the same readings in the other
arrangement (in random order, or in order with --shuffle) and prints the
shuffled-vs-sorted ratio, and times 10 windows over the whole table in both
arrangements (only the windows' units are ordered).  With --tsfresh it also times tsfresh's extract_features with its
minimal settings on the same readings (tsfresh must be installed; it is not a
dependency of movra).

    PYTHONPATH=build/dev python bench/fe4ts.py
    PYTHONPATH=build/dev python bench/fe4ts.py --consumers 2000 --days 365 --tsfresh
"""
import argparse
import os
import resource
import sys
import time

import numpy as np
import pandas as pd

import movra

TACTIC = ["DAY", "WEEK", "MONTH"]
PERIODIC = ["WEEKDAY"]
LAGS = [1, 7]


def readings(consumers, days, seed):
    """CONS_NO, DAY, WEEKDAY, WEEK, MONTH, KWH: one row per consumer and day."""
    rng = np.random.default_rng(seed)
    day = np.arange(days, dtype=np.int64)
    rows = consumers * days
    kwh = rng.gamma(2.0, 3.0, rows)
    kwh[rng.random(rows) < 0.01] = np.nan
    kwh[rng.random(rows) < 0.005] = 0.0
    return pd.DataFrame({
        "CONS_NO": np.repeat(np.arange(1, consumers + 1, dtype=np.int64), days),
        "DAY": np.tile(day, consumers),
        "WEEKDAY": np.tile((day + 4) % 7, consumers),
        "WEEK": np.tile(day // 7, consumers),
        "MONTH": np.tile(day // 30, consumers),
        "KWH": np.round(kwh, 2),
    })


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak():
    """Starts a new peak-RSS measurement where Linux allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def fe4ts(df, interval, **kw):
    return movra.fe4ts(df, "CONS_NO", TACTIC, PERIODIC, LAGS, "KWH", interval, **kw)


def pandas_path(s):
    return np.nansum(s)


def gib(n):
    return f"{n / 2**30:.2f} GiB"


def arrangements(df, interval, kernel_total, args):
    """The same readings in the other order, and 10 windows over the whole table."""
    started = time.perf_counter()
    if args.shuffle:
        other = df.sort_values(["CONS_NO", "DAY"], kind="stable", ignore_index=True)
    else:
        other = df.take(np.random.default_rng(args.seed).permutation(len(df))).reset_index(drop=True)
    built = time.perf_counter() - started
    started = time.perf_counter()
    fe4ts(other, interval)
    other_total = time.perf_counter() - started
    shuffled, ordered = (kernel_total, other_total) if args.shuffle else (other_total, kernel_total)
    print(f"\nin order:     {ordered:8.2f} s total; in random order {shuffled:.2f} s "
          f"(other arrangement built in {built:.1f} s)")
    print(f"shuffled/sorted: {shuffled / ordered:5.2f} x")

    few = interval.sample(n=min(10, len(interval)), random_state=args.seed).reset_index(drop=True)
    for name, frame in (("in order", other if args.shuffle else df), ("random order", df if args.shuffle else other)):
        started = time.perf_counter()
        fe4ts(frame, few)
        print(f"{len(few)} windows, readings {name}: {time.perf_counter() - started:6.3f} s for the whole call")
    del other


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=42372)
    parser.add_argument("--days", type=int, default=1035)
    parser.add_argument("--sample", type=int, default=20, help="windows run on the pandas path (default 20)")
    parser.add_argument("--tsfresh", action="store_true", help="also time tsfresh's minimal extraction")
    parser.add_argument("--tsfresh-sample", type=int, default=500,
                        help="consumers given to tsfresh (default 500; 0: all)")
    parser.add_argument("--shuffle", action="store_true",
                        help="readings in random order (the kernel then orders them itself)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    started = time.perf_counter()
    df = readings(args.consumers, args.days, args.seed)
    if args.shuffle:
        df = df.take(np.random.default_rng(args.seed).permutation(len(df))).reset_index(drop=True)
    interval = pd.DataFrame({"CONS_NO": np.arange(1, args.consumers + 1), "START": 0, "END": args.days - 1})
    input_bytes = int(df.memory_usage(deep=True).sum())
    print(f"readings: {len(df):,} rows ({args.consumers:,} consumers x {args.days:,} days"
          f"{', shuffled' if args.shuffle else ''}), {gib(input_bytes)} in memory; "
          f"built in {time.perf_counter() - started:.1f} s")
    print(f"windows:  {len(interval):,}; tactic {TACTIC}, periodic {PERIODIC}, lags {LAGS}")

    # The kernel on every window.
    baseline = rss_bytes()
    exact_peak = reset_peak()
    started = time.perf_counter()
    ftrs = fe4ts(df, interval)
    kernel_total = time.perf_counter() - started
    peak = peak_bytes() - baseline
    kernel_per_window = kernel_total / len(interval)
    print(f"\nkernel:       {kernel_total:8.2f} s total, {1e6 * kernel_per_window:9.1f} us per window "
          f"({ftrs.shape[0]:,} x {ftrs.shape[1]} feature table)")
    print(f"peak memory:  {gib(peak)} beyond the input ({peak / input_bytes:.2f} x the input frame)"
          + ("" if exact_peak else " [process peak: includes building the input]"))

    arrangements(df, interval, kernel_total, args)

    # The pandas path on a sample of the same windows, over the same table.
    sample = interval.sample(n=min(args.sample, len(interval)), random_state=args.seed).reset_index(drop=True)
    started = time.perf_counter()
    slow = fe4ts(df, sample, aggfunc=pandas_path)
    pandas_per_window = (time.perf_counter() - started) / len(sample)
    print(f"pandas path:  {1e3 * pandas_per_window:8.1f} ms per window ({len(sample)} windows sampled)")
    print(f"ratio:        {pandas_per_window / kernel_per_window:8.0f} x faster per window")

    # The sampled windows agree between the two paths.
    fast = fe4ts(df, sample)
    pd.testing.assert_frame_equal(fast, slow, check_exact=False, rtol=1e-9)
    print("check:        sampled windows agree with the pandas path")

    if args.tsfresh:
        try:
            from tsfresh import extract_features
            from tsfresh.feature_extraction import MinimalFCParameters
        except ImportError:
            sys.exit("tsfresh is not installed (pip install tsfresh)")
        units = interval.CONS_NO
        if args.tsfresh_sample:
            units = units.sample(n=min(args.tsfresh_sample, len(units)), random_state=args.seed)
        # tsfresh refuses missing values: it gets the readings that have one.
        data = df[df.CONS_NO.isin(units)][["CONS_NO", "DAY", "KWH"]].dropna()
        started = time.perf_counter()
        peer = extract_features(data, column_id="CONS_NO", column_sort="DAY",
                                default_fc_parameters=MinimalFCParameters(), n_jobs=0,
                                disable_progressbar=True)
        peer_per_window = (time.perf_counter() - started) / len(units)
        print(f"tsfresh:      {1e3 * peer_per_window:8.2f} ms per consumer, {peer.shape[1]} features "
              f"({len(units)} consumers, minimal settings, one process)")
        print(f"ratio:        {peer_per_window / kernel_per_window:8.1f} x faster than tsfresh per window, "
              f"with {ftrs.shape[1]} features against its {peer.shape[1]}")


if __name__ == "__main__":
    main()
