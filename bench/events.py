"""Benchmark of the event functions: native kernels against the pandas paths.

Builds a utility-sized synthetic event log (default: 42,372 consumers, about
20 event times each over four event kinds, two observation windows per
consumer) and a table of predictions for the same consumers in about 4,000
groups, then times, side by side in one run:

  * usest2uet on the log and its windows,
  * uet2ute on the table usest2uet returns, and against the same steps as a
    pandas user writes them (explode the time lists, group on unit and time,
    list the kinds), checked to give the same table,
  * unit_date on the log's events, one row per event time,
  * evaluate4group on the predictions,
  * tsdf2seq on one consumer's daily readings, called once per consumer,

each on its kernel and on its pandas path (taken by handing the function a
DataFrame subclass, which the kernels leave alone).  The pandas paths of
usest2uet, uet2ute and unit_date take minutes at full size: they are timed on
a sample (windows, table rows or event rows, see --sample) and scaled by the
sample's share, which the output says.  unit_date's pandas path grows its
calendar Series one unit at a time, so its scaled figure is a lower bound.

Every timing ends with a collection of the young generation: the kernels
pause the collector while they build, which leaves the walk over what they
made to whatever runs next; here it is charged to the call that made it.

    PYTHONPATH=build/dev python bench/events.py
    PYTHONPATH=build/dev python bench/events.py --consumers 5000 --sample 500
"""
import argparse
import contextlib
import gc
import io
import time
import warnings

import numpy as np
import pandas as pd

import movra

KINDS = ["cut", "low_voltage", "meter_fault", "reverse_flow"]
START = pd.Timestamp("2023-01-01")


class PandasPath(pd.DataFrame):
    """The kernels take plain DataFrames only: a subclass takes the pandas path."""


def event_log(consumers, times_per_consumer, seed):
    """CONS_NO, EVENT, TIMES: one row per consumer and kind it has, each row a
    list of Timestamps (unsorted, duplicates possible) over two years."""
    rng = np.random.default_rng(seed)
    counts = rng.poisson(times_per_consumer, consumers)
    total = int(counts.sum())
    owner = np.repeat(np.arange(consumers), counts)
    kind = rng.integers(0, len(KINDS), total)
    seconds = rng.integers(0, 730 * 86400, total) // 3600 * 3600
    stamps = (START + pd.to_timedelta(seconds, unit="s")).tolist()
    order = np.lexsort((kind, owner))  # rows by consumer and kind; times stay unsorted within a row
    rows_cons, rows_kind, rows_times = [], [], []
    last = None
    for i in order:
        key = (owner[i], kind[i])
        if key != last:
            rows_cons.append(int(owner[i]) + 1)
            rows_kind.append(KINDS[kind[i]])
            rows_times.append([])
            last = key
        rows_times[-1].append(stamps[i])
    log = pd.DataFrame({"CONS_NO": rows_cons, "EVENT": rows_kind, "TIMES": rows_times})
    events = pd.DataFrame({"CONS_NO": owner[np.argsort(owner, kind="stable")] + 1,
                           "OCCUR_TIME": pd.Series(stamps).iloc[np.argsort(owner, kind="stable")].values})
    return log, events, total


def windows(consumers):
    """Two windows per consumer: the first year and the second."""
    cons = np.repeat(np.arange(1, consumers + 1), 2)
    year = np.tile([0, 1], consumers)
    start = START + pd.to_timedelta(year * 365, unit="D")
    return pd.DataFrame({"CONS_NO": cons, "START": start, "END": start + pd.Timedelta(days=365)})


def predictions(consumers, groups, seed):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"TG_NO": rng.integers(0, groups, consumers), "predict": rng.random(consumers).round(4),
                         "label": (rng.random(consumers) < 0.05).astype(np.int64)})


def readings(days, seed):
    rng = np.random.default_rng(seed)
    order = rng.permutation(days)
    return pd.DataFrame({"DATA_DATE": pd.date_range("2022-01-01", periods=days)[order],
                         "KWH": rng.gamma(2.0, 3.0, days).round(2)})


def timed(call):
    started = time.perf_counter()
    result = call()
    gc.collect(0)
    return time.perf_counter() - started, result


def plain_uet2ute(uet, unit, e, t):
    """uet2ute's steps in plain pandas: one row per time, grouped on (unit, time), the kinds listed."""
    times = uet[[unit, e, t]].explode(t).dropna(subset=[t])
    times[t] = pd.to_datetime(times[t])
    return times.groupby([unit, t])[e].agg(list).reset_index()


def row(name, kernel, pandas_path, note=""):
    print(f"{name:<15}{kernel:>12.3f} s{pandas_path:>14.2f} s{pandas_path / kernel:>10.0f}x   {note}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--consumers", type=int, default=42372)
    parser.add_argument("--times", type=float, default=20.0, help="event times per consumer (mean)")
    parser.add_argument("--groups", type=int, default=4000)
    parser.add_argument("--sample", type=int, default=400, help="windows / rows timed on the pandas paths")
    parser.add_argument("--series", type=int, default=300, help="tsdf2seq calls (one consumer's readings each)")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    warnings.filterwarnings("ignore", ".* on the pandas path", UserWarning)  # taken on purpose here

    built, (log, events, total) = timed(lambda: event_log(args.consumers, args.times, args.seed))
    iv = windows(args.consumers)
    scores = predictions(args.consumers, args.groups, args.seed)
    print(f"event log: {args.consumers:,} consumers, {len(log):,} rows, {total:,} event times, "
          f"{len(iv):,} windows (built in {built:.1f} s)")
    print(f"predictions: {len(scores):,} rows in {scores.TG_NO.nunique():,} groups")
    print(f"pandas {pd.__version__}, numpy {np.__version__}\n")
    print(f"{'function':<15}{'kernel':>14}{'pandas path':>16}{'ratio':>11}")

    # Both paths show the same progress bar; it is written to a buffer here.
    with contextlib.redirect_stderr(io.StringIO()):
        k, uet = timed(lambda: movra.usest2uet(log, "CONS_NO", "EVENT", "TIMES", iv))
        n = min(args.sample, len(iv))
        p, _ = timed(lambda: movra.usest2uet(PandasPath(log), "CONS_NO", "EVENT", "TIMES", PandasPath(iv.iloc[:n])))
    row("usest2uet", k, p * len(iv) / n, f"pandas path: {n:,} of {len(iv):,} windows, scaled")

    k, ute = timed(lambda: movra.uet2ute(uet, "CONS_NO", "EVENT", "TIMES"))
    n = min(args.sample * 4, len(uet))
    p, _ = timed(lambda: movra.uet2ute(PandasPath(uet.iloc[:n]), "CONS_NO", "EVENT", "TIMES"))
    row("uet2ute", k, p * len(uet) / n, f"pandas path: {n:,} of {len(uet):,} rows, scaled; {len(ute):,} result rows")
    y, plain = timed(lambda: plain_uet2ute(uet, "CONS_NO", "EVENT", "TIMES"))
    pd.testing.assert_frame_equal(plain, ute)
    row("  plain pandas", k, y, "explode, groupby, agg(list) at full size: the same table")

    k, calendar = timed(lambda: movra.unit_date(events))
    n = min(args.sample * 20, len(events))
    p, _ = timed(lambda: movra.unit_date(PandasPath(events.iloc[:n])))
    row("unit_date", k, p * len(events) / n,
        f"pandas path: {n:,} of {len(events):,} events, scaled (a lower bound); {len(calendar):,} units")

    k, got = timed(lambda: movra.evaluate4group(scores, k=0.05))
    p, want = timed(lambda: movra.evaluate4group(PandasPath(scores), k=0.05))
    assert got == want, (got, want)
    row("evaluate4group", k, p, "full size on both paths")

    series = [readings(1035, args.seed + i) for i in range(args.series)]
    cut = pd.Timestamp("2024-06-30")
    forced = [PandasPath(s) for s in series]
    k, got = timed(lambda: [movra.tsdf2seq(s, date=cut, maxdays=365) for s in series])
    p, want = timed(lambda: [movra.tsdf2seq(s, date=cut, maxdays=365) for s in forced])
    assert all(np.array_equal(a, b) for a, b in zip(got, want))
    row("tsdf2seq", k, p, f"{args.series} consumers x 1,035 days, cut at a date and a year back; per call "
                          f"{k / args.series * 1e6:.0f} us vs {p / args.series * 1e6:.0f} us")


if __name__ == "__main__":
    main()
