"""Benchmark of movra.fe4ts: the native kernel against the pandas path.

Builds a synthetic table of daily readings (default: 42,372 consumers x 1,035
days, about 43.9 million rows, with weekday, week and month columns), one
window per consumer, and runs

  * the kernel on every window,
  * the pandas path (forced by an aggfunc the kernel does not recognise) on a
    sample of the same windows over the same table,

then prints the kernel's total and per-window time, the pandas path's
per-window time, their ratio and the peak memory of the kernel run beyond
the input.  It also times a small call, one consumer's 365 daily readings
and one window (best of 30), against pandas' groupby of six statistics of
that same one-consumer table (best of 30).  Beside the kernel, in the same run, it times two yardsticks on
the same readings: numpy.sort of the value column, and pandas' groupby of
six statistics of it per consumer (mean, std, min, max, median, skew); the
kernel's time is printed as a multiple of each.  It then runs the kernel
on the same readings in the other arrangement (in random order, or in order
with --shuffle) and prints the shuffled-vs-sorted ratio, and the time of 10
windows over the whole table in both arrangements against every window in
order (only the windows' readings are looked at), each the median of
--repeat alternating rounds.  With --tsfresh it
also times tsfresh's extract_features with its minimal settings on the same
readings (tsfresh must be installed; it is not a dependency of movra).  With
--dtypes it instead times both paths on the column types of real tables
(narrow, nullable and Arrow-backed numbers, Arrow columns in several chunks,
text, categoricals, datetimes, parquet round trips, also with
dtype_backend="pyarrow" and one consumer's file of many row groups), one row
per type.  With --arrow it instead times the kernel on the same readings as a
pyarrow table and as a polars frame (integer or text consumer numbers, with
and without missing readings) against the pandas frame that
pandas.DataFrame.from_arrow makes of them: alternating runs, the median of
--repeat, each with its peak memory beyond the input.  Beside them, the
pyarrow table converted by the caller with from_arrow inside the timed call,
which consolidates the columns into blocks (a copy of every column).  With
--layouts it instead times the tables users really have (bench/fe4ts_layouts.py):
one parquet file read by pandas, polars and DuckDB, text consumer numbers and
the keys each library's date accessors give, the first call in a fresh process
and the warm call, against the favourable table's warm call.

With --profile it prints where each call's time goes, stage by stage: the
call's own stages (examining the arguments, ordering the readings, locating
the windows, running them, building the frame, the derived columns), the
ordering's stages, and the windows' stages summed over the kernel's threads
(grouping, period aggregates, lag pairs, correlations, masking, sums and
moments, median and quartiles, records).  movra writes them through the
MOVRA_FE4TS_PROFILE file.  With --scaling it also times the kernel on one
thread (MOVRA_NUM_THREADS=1) against the default number of threads, again
the median of --repeat alternating pairs.

Run it with movra installed, for example in the environment that
`bash tools/demo.sh` leaves behind:

    .venv-demo/bin/python bench/fe4ts.py
    .venv-demo/bin/python bench/fe4ts.py --consumers 2000 --days 365 --tsfresh
    .venv-demo/bin/python bench/fe4ts.py --dtypes --consumers 300 --days 365
    .venv-demo/bin/python bench/fe4ts.py --arrow --consumers 5000
    .venv-demo/bin/python bench/fe4ts.py --layouts --consumers 2000
"""
import argparse
import contextlib
import ctypes
import json
import os
import resource
import sys
import tempfile
import time
import warnings

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


class StageLog:
    """The stages of the native calls made while it is open (MOVRA_FE4TS_PROFILE)."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.path = None

    def __enter__(self):
        if self.enabled:
            handle, self.path = tempfile.mkstemp(suffix=".jsonl", prefix="fe4ts-stages-")
            os.close(handle)
            os.environ["MOVRA_FE4TS_PROFILE"] = self.path
        return self

    def __exit__(self, *exc):
        if self.enabled:
            del os.environ["MOVRA_FE4TS_PROFILE"]

    def calls(self):
        """One dict of stage -> seconds per call so far; the log starts over."""
        if not self.enabled:
            return []
        with open(self.path) as f:
            lines = [json.loads(line) for line in f if line.strip()]
        open(self.path, "w").close()
        return lines

    def remove(self):
        if self.path:
            os.unlink(self.path)


CALL_STAGES = ["examining", "ordering", "locating", "windows", "frame", "derived columns"]


def print_stages(title, stages, total):
    """A call's stages: its own (wall time), then the kernel's (thread time)."""
    print(f"\n{title}: {total:.2f} s")
    for name in CALL_STAGES:
        seconds = stages.get(name, 0.0)
        print(f"  {name:28s} {seconds:8.3f} s  {100 * seconds / total:5.1f} %")
        if name == "ordering":
            for sub, value in stages.items():
                if sub.startswith("ordering: ") and value > 0:
                    print(f"    {sub[10:]:26s} {value:8.3f} s")
    kernel = {k: v for k, v in stages.items() if k not in CALL_STAGES and not k.startswith("ordering: ")}
    busy = sum(kernel.values())
    print(f"  windows' stages, summed over threads: {busy:.3f} thread-s")
    for name, seconds in sorted(kernel.items(), key=lambda kv: -kv[1]):
        print(f"    {name:26s} {seconds:8.3f} s  {100 * seconds / busy if busy else 0:5.1f} %")


def timed(f):
    started = time.perf_counter()
    out = f()
    return time.perf_counter() - started, out


def yardsticks(df, kernel_total):
    """numpy.sort of the value column (the better of two) and pandas' groupby of six statistics."""
    values = df["KWH"].to_numpy()
    sort = min(timed(lambda: np.sort(values))[0] for _ in range(2))
    groupby = timed(lambda: df.groupby("CONS_NO")["KWH"].agg(["mean", "std", "min", "max", "median", "skew"]))[0]
    print(f"yardsticks:   numpy.sort of KWH {sort:6.2f} s: kernel {kernel_total / sort:5.2f} x its time")
    print(f"              pandas groupby agg of 6 statistics {groupby:6.2f} s: kernel {kernel_total / groupby:5.2f} x "
          f"its time")


def best_of(count, f):
    return min(timed(f)[0] for _ in range(count))


def small_call(seed):
    """One consumer's 365 daily readings and one window, best of 30, against
    pandas' groupby of six statistics of the same table, best of 30: the
    fixed cost of a call, as a service computing one consumer's features on
    demand, or a Dask partition, pays it."""
    df = readings(1, 365, seed)
    interval = pd.DataFrame({"CONS_NO": [1], "START": [0], "END": [364]})
    with contextlib.redirect_stderr(open(os.devnull, "w")):  # the progress bar, 30 times
        call = best_of(30, lambda: fe4ts(df, interval))
    groupby = best_of(30, lambda: df.groupby("CONS_NO")["KWH"].agg(["mean", "std", "min", "max", "median", "skew"]))
    print(f"small call:   {1e3 * call:8.2f} ms (one consumer, 365 readings, one window; best of 30); pandas groupby "
          f"agg of 6 statistics {1e3 * groupby:.2f} ms: {call / groupby:.2f} x its time")


def pandas_path(s):
    return np.nansum(s)


def gib(n):
    """A byte count in the largest unit that keeps it at 1 or more."""
    for unit, size in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if abs(n) >= size:
            return f"{n / size:.2f} {unit}"
    return f"{n} B"


# ---- --dtypes: both paths on the column types of real tables ----------------------

def dtype_rows(df):
    """(name, readings, tactic, periodic, lags) for each column type tried."""
    day_names = np.array(["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"], dtype=object)
    dates = pd.Timestamp("2016-01-01") + pd.to_timedelta(df["DAY"], unit="D")
    with_dates = df.assign(DATA_DATE=dates)
    rows = [
        ("int64 keys, float64 KWH", df, TACTIC, PERIODIC, LAGS),
        ("KWH int64", df.assign(KWH=(df.KWH.fillna(0) * 100).astype("int64")), TACTIC, PERIODIC, LAGS),
        ("KWH int32", df.assign(KWH=(df.KWH.fillna(0) * 100).astype("int32")), TACTIC, PERIODIC, LAGS),
        ("KWH float32", df.assign(KWH=df.KWH.astype("float32")), TACTIC, PERIODIC, LAGS),
        ("KWH Float64 (nullable)", df.assign(KWH=df.KWH.astype("Float64")), TACTIC, PERIODIC, LAGS),
        ("KWH Int64 (nullable)", df.assign(KWH=(df.KWH * 100).round().astype("Int64")), TACTIC, PERIODIC, LAGS),
        ("CONS_NO categorical", df.assign(CONS_NO=df.CONS_NO.astype("category")), TACTIC, PERIODIC, LAGS),
        ("CONS_NO text", df.assign(CONS_NO=df.CONS_NO.map("C{:06d}".format)), TACTIC, PERIODIC, LAGS),
        ("WEEKDAY Int64 (nullable)", df.assign(WEEKDAY=df.WEEKDAY.astype("Int64")), TACTIC, PERIODIC, LAGS),
        ("WEEKDAY day names (object)", df.assign(WEEKDAY=day_names[df.WEEKDAY.to_numpy()]), TACTIC, PERIODIC, LAGS),
        ("WEEKDAY day names (string)", df.assign(WEEKDAY=pd.Series(day_names[df.WEEKDAY.to_numpy()], dtype="string")),
         TACTIC, PERIODIC, LAGS),
        ("WEEKDAY categorical", df.assign(WEEKDAY=df.WEEKDAY.astype("category")), TACTIC, PERIODIC, LAGS),
        # A year of months beyond the readings: pandas 2 makes each a period of every window.
        ("MONTH ordered categorical, 12 unused", df.assign(MONTH=pd.Categorical(
            df.MONTH, categories=range(df.MONTH.max() + 13), ordered=True)), TACTIC, PERIODIC, LAGS),
        ("DATA_DATE datetime64[ns] (no lags)", with_dates, ["DATA_DATE", "WEEK", "MONTH"], PERIODIC, []),
        ("DATA_DATE datetime64[s, UTC] (no lags)", with_dates.assign(DATA_DATE=dates.astype("datetime64[s]")
                                                                     .dt.tz_localize("UTC")),
         ["DATA_DATE", "WEEK", "MONTH"], PERIODIC, []),
        ("MONTH as a Period", with_dates.assign(MONTH=dates.dt.to_period("M")), TACTIC, PERIODIC, LAGS),
    ]
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return rows
    centi = (df.KWH * 100).round().astype("Int64")  # whole centi-kWh, nulls kept
    rows += [
        ("KWH double[pyarrow]", df.assign(KWH=df.KWH.astype("double[pyarrow]")), TACTIC, PERIODIC, LAGS),
        ("KWH double[pyarrow], 16 chunks", df.assign(KWH=in_chunks(df.KWH.astype("double[pyarrow]"), 16)),
         TACTIC, PERIODIC, LAGS),
        ("KWH int64[pyarrow]", df.assign(KWH=centi.astype("int64[pyarrow]")), TACTIC, PERIODIC, LAGS),
        ("KWH int32[pyarrow], 16 chunks", df.assign(KWH=in_chunks(centi.astype("int32[pyarrow]"), 16)),
         TACTIC, PERIODIC, LAGS),
        ("DAY int64[pyarrow]", df.assign(DAY=df.DAY.astype("int64[pyarrow]")), TACTIC, PERIODIC, LAGS),
    ]
    # Written to parquet and read back: text consumer numbers, datetime dates; with
    # dtype_backend="pyarrow" every column in one chunk per row group.
    texts = df.assign(CONS_NO=df.CONS_NO.map("C{:06d}".format), DATA_DATE=dates)
    rows.append(("parquet round trip (text units, dates)", parquet(texts), ["DATA_DATE", "WEEK", "MONTH"],
                 PERIODIC, []))
    arrow = parquet(texts, row_group_size=len(df) // 16 + 1, dtype_backend="pyarrow")
    rows += [
        ("parquet, dtype_backend=pyarrow, 16 groups", arrow, TACTIC, PERIODIC, LAGS),
        ("... DATA_DATE timestamp[pyarrow] (no lags)", arrow, ["DATA_DATE", "WEEK", "MONTH"], PERIODIC, []),
    ]
    # One consumer's file of many row groups: its windows (the last n days, n = 8 .. all) take its readings
    # in their chunks, whose sums and moments pyarrow merges.
    one = parquet(df[df.CONS_NO == df.CONS_NO.iloc[0]], row_group_size=30, dtype_backend="pyarrow")
    windows = pd.DataFrame({"CONS_NO": one.CONS_NO.iloc[0], "FORWARD_R": np.resize(np.arange(8, len(one) + 1), 1000)})
    rows.append(("one consumer, parquet of 30-day groups", one, TACTIC, PERIODIC, LAGS, windows))
    return rows


def in_chunks(column, chunks):
    """An Arrow-backed column in `chunks` even chunks, as a concatenated table holds it."""
    import pyarrow
    array = column.array.__arrow_array__().combine_chunks()
    cuts = [len(array) * i // chunks for i in range(chunks + 1)]
    pieces = pyarrow.chunked_array([array[a:b] for a, b in zip(cuts, cuts[1:])], type=array.type)
    return pd.Series(pd.arrays.ArrowExtensionArray(pieces), index=column.index)


def parquet(df, **options):
    """The table written to parquet and read back (to_parquet's row_group_size, read_parquet's dtype_backend)."""
    import io
    buffer = io.BytesIO()
    df.to_parquet(buffer, **{k: v for k, v in options.items() if k == "row_group_size"})
    return pd.read_parquet(io.BytesIO(buffer.getvalue()), **{k: v for k, v in options.items() if k != "row_group_size"})


def run_dtypes(args):
    df = readings(args.consumers, args.days, args.seed)
    units = df.CONS_NO.drop_duplicates()
    print(f"readings: {len(df):,} rows ({args.consumers:,} consumers x {args.days:,} days); "
          f"one whole-span window per consumer (unless a row says otherwise), pandas path on {args.sample} of "
          f"them\n")
    print(f"{'column types':42s} {'kernel':>12s} {'pandas path':>12s} {'ratio':>8s}  path")
    for name, table, tactic, periodic, lags, *windows in dtype_rows(df):
        unit_values = table.CONS_NO.drop_duplicates().reset_index(drop=True)
        interval = windows[0] if windows else pd.DataFrame({"CONS_NO": unit_values})

        def call(windows, **kw):
            return movra.fe4ts(table, "CONS_NO", tactic, periodic, lags, "KWH", windows, **kw)

        # Which path runs: a call of more than 1,000 windows says why it declines.
        big = pd.DataFrame({"CONS_NO": np.resize(unit_values.to_numpy(), 1001)}).astype(
            {"CONS_NO": unit_values.dtype})
        reason = ""
        with warnings.catch_warnings():
            warnings.simplefilter("error", UserWarning)
            try:
                call(big.head(1001))
            except UserWarning as w:
                reason = str(w).split(": ", 1)[-1]
        sample = interval.sample(n=min(args.sample, len(interval)), random_state=args.seed)
        started = time.perf_counter()
        call(sample, aggfunc=pandas_path)
        pandas_per_window = (time.perf_counter() - started) / len(sample)
        if reason:
            print(f"{name:42s} {'-':>12s} {1e3 * pandas_per_window:9.1f} ms {'-':>8s}  pandas: {reason}")
            continue
        started = time.perf_counter()
        call(interval)
        kernel_per_window = (time.perf_counter() - started) / len(interval)
        print(f"{name:42s} {1e6 * kernel_per_window:9.1f} us {1e3 * pandas_per_window:9.1f} ms "
              f"{pandas_per_window / kernel_per_window:7.0f}x  kernel")


# ---- --arrow: Arrow tables against the frames pandas makes of them --------------------

def arrow_tables(df):
    """(name, pandas frame, pyarrow table, polars frame) for each shape of readings tried."""
    import pyarrow
    try:
        import polars
    except ImportError:
        polars = None
    texts = df.assign(CONS_NO=df.CONS_NO.map("C{:06d}".format))
    shapes = [("int CONS_NO, KWH with nulls", df), ("int CONS_NO, KWH without nulls", df.fillna({"KWH": 0.0})),
              ("text CONS_NO, KWH with nulls", texts)]
    for name, frame in shapes:
        table = pyarrow.Table.from_pandas(frame, preserve_index=False)
        oracle = frame_of(table)
        yield name, oracle, table, None if polars is None else polars.from_arrow(table)


def frame_of(table):
    from_arrow = getattr(pd.DataFrame, "from_arrow", None)
    return from_arrow(table) if from_arrow is not None else table.to_pandas()


def measured(call):
    """Seconds and peak memory beyond what was in use before it (bytes).

    Memory that earlier calls freed is given back to the system first
    (glibc's malloc_trim, and pyarrow's memory pool, which keeps what it
    freed): otherwise a call that reuses it would seem to take nothing.
    """
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    if "pyarrow" in sys.modules:
        sys.modules["pyarrow"].default_memory_pool().release_unused()
    baseline = rss_bytes()
    reset_peak()
    seconds = timed(call)[0]
    return seconds, peak_bytes() - baseline


def run_arrow(args):
    df = readings(args.consumers, args.days, args.seed)
    if args.shuffle:
        df = df.take(np.random.default_rng(args.seed).permutation(len(df))).reset_index(drop=True)
    print(f"readings: {len(df):,} rows ({args.consumers:,} consumers x {args.days:,} days"
          f"{', shuffled' if args.shuffle else ''}), one window per consumer; median of {args.repeat} "
          "alternating runs, the largest peak memory beyond the input")
    print(f"{'readings':34s} {'kind':10s} {'time':>8s} {'ratio':>7s} {'peak memory':>12s}  path")
    for name, frame, table, polars_frame in arrow_tables(df):
        unit_values = frame.CONS_NO.drop_duplicates().reset_index(drop=True)
        interval = pd.DataFrame({"CONS_NO": unit_values, "START": 0, "END": args.days - 1})
        kinds = [("pandas", frame), ("pyarrow", table)] + ([("polars", polars_frame)] if polars_frame is not None
                                                           else []) + [("from_arrow", table)]
        runs = {kind: [] for kind, _ in kinds}
        paths = {}
        for _ in range(args.repeat):
            for kind, readings_table in kinds:
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    if kind == "from_arrow":  # the caller's own conversion, columns consolidated
                        runs[kind].append(measured(lambda: fe4ts(frame_of(readings_table), interval)))
                    else:
                        runs[kind].append(measured(lambda: fe4ts(readings_table, interval)))
                declined = [str(w.message) for w in caught if "pandas path" in str(w.message)]
                paths[kind] = "pandas: " + declined[0] if declined else "kernel"
        base = sorted(t for t, _ in runs["pandas"])[args.repeat // 2]
        for kind, _ in kinds:
            seconds = sorted(t for t, _ in runs[kind])[args.repeat // 2]
            peak = max(m for _, m in runs[kind])
            print(f"{name:34s} {kind:10s} {seconds:7.2f}s {seconds / base:6.2f}x {gib(peak):>12s}  {paths[kind]}")


def arrangements(df, interval, args, log):
    """The same readings in the other order, and 10 windows over the whole table.

    Each of --repeat rounds times, one after the other, every window over the
    readings in random order and in order; then as many rounds time 10 of
    the windows over each, and once more right after a call over every
    window.  Every ratio is the median of the rounds' own ratios.
    """
    started = time.perf_counter()
    if args.shuffle:
        other = df.sort_values(["CONS_NO", "DAY"], kind="stable", ignore_index=True)
    else:
        other = df.take(np.random.default_rng(args.seed).permutation(len(df))).reset_index(drop=True)
    built = time.perf_counter() - started
    sorted_df, shuffled_df = (other, df) if args.shuffle else (df, other)
    few = interval.sample(n=min(10, len(interval)), random_state=args.seed).reset_index(drop=True)
    calls = {"shuffled": lambda: fe4ts(shuffled_df, interval), "sorted": lambda: fe4ts(sorted_df, interval)}
    few_calls = {"few shuffled": lambda: fe4ts(shuffled_df, few), "few sorted": lambda: fe4ts(sorted_df, few)}
    rounds = [{name: timed(call)[0] for name, call in calls.items()} for _ in range(args.repeat)]
    # The few windows' calls in rounds of their own: right after a call over
    # every window, the system is still taking back the gigabytes that call
    # let go, and even numpy's max of a column then takes 1.5-2x its time.
    after_whole = timed(few_calls["few shuffled"])[0]
    few_rounds = [{name: timed(call)[0] for name, call in few_calls.items()} for _ in range(args.repeat)]
    for r, f in zip(rounds, few_rounds):
        r.update(f)
    stages = log.calls()
    first = rounds[0]
    if stages:  # the first round's
        print_stages("stages, readings in random order", stages[0], first["shuffled"])
        print_stages("stages, readings in order", stages[1], first["sorted"])
        # after the whole rounds' calls and the one right after them
        print_stages(f"stages, {len(few)} windows, readings in random order", stages[2 * args.repeat + 1],
                     first["few shuffled"])
    if args.repeat > 1:
        print("\narrangements: pairs: " + ", ".join(f"{r['shuffled']:.2f}/{r['sorted']:.2f} s" for r in rounds))
    print(f"\nin order:     {first['sorted']:8.2f} s total; in random order {first['shuffled']:.2f} s "
          f"(other arrangement built in {built:.1f} s)")
    print(f"shuffled/sorted: {median(r['shuffled'] / r['sorted'] for r in rounds):5.2f} x "
          f"(median of {args.repeat} pairs)")
    fresh_memory()
    for name, key in (("in order", "few sorted"), ("in random order", "few shuffled")):
        seconds = median(r[key] for r in rounds)
        ratio = median(r[key] / r["sorted"] for r in rounds)
        print(f"{len(few)} windows, readings {name + ':':17s} {seconds:6.3f} s for the whole call, "
              f"{ratio:6.3f} x every window in order (medians of {args.repeat} rounds)")
    print(f"{len(few)} windows, readings in random order, right after a call over every window: "
          f"{after_whole:6.3f} s, {after_whole / first['sorted']:6.3f} x")
    del other


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def fresh_memory():
    """What memory never touched costs here: the ordering writes its copies into such memory.

    On a virtual machine the first write to each page can cost ten times the
    write itself; np.ones of 1 GiB, once into new memory (the better of two)
    and once into the same memory again, on one thread.  numpy asks for huge
    pages, which the kernel's buffers do not (the system may compact memory
    to find them): that is turned off meanwhile.
    """
    size = 2**30
    try:
        from numpy._core.multiarray import _set_madvise_hugepage
    except ImportError:  # numpy 1
        from numpy.core.multiarray import _set_madvise_hugepage
    before = _set_madvise_hugepage(False)
    try:
        first = min(timed(lambda: np.ones(size, np.uint8))[0] for _ in range(2))
        block = np.empty(size, np.uint8)
        block.fill(0)
        again = timed(lambda: block.fill(1))[0]
        del block
    finally:
        _set_madvise_hugepage(before)
    print(f"fresh memory: 1 GiB written {first:.2f} s into new pages, {again:.2f} s into present ones "
          "(one thread; new pages the better of two)")


@contextlib.contextmanager
def one_thread():
    """MOVRA_NUM_THREADS=1 while open."""
    before = os.environ.get("MOVRA_NUM_THREADS")
    os.environ["MOVRA_NUM_THREADS"] = "1"
    try:
        yield
    finally:
        if before is None:
            del os.environ["MOVRA_NUM_THREADS"]
        else:
            os.environ["MOVRA_NUM_THREADS"] = before


def ratios(label, first, second, repeat):
    """first() and second() timed in `repeat` alternating pairs: the pairs, the median ratio.

    On a machine of two cores anything else running slows one call of a pair
    and not the other; the median of alternating pairs is steadier than one pair.
    """
    pairs = []
    for _ in range(repeat):
        pairs.append((timed(first)[0], timed(second)[0]))
    if repeat > 1:
        print(f"{label} pairs: " + ", ".join(f"{a:.2f}/{b:.2f} s" for a, b in pairs))
    return median(a / b for a, b in pairs), pairs


def scaling(df, interval, threads, repeat):
    """The kernel on one thread, against its time on `threads` threads."""
    def single():
        with one_thread():
            return fe4ts(df, interval)
    ratio, pairs = ratios("scaling:     ", single, lambda: fe4ts(df, interval), repeat)
    one, many = pairs[0]
    print(f"scaling:      one thread {one:.2f} s, {threads} threads {many:.2f} s; "
          f"median of {repeat} pairs: {ratio:.2f} x")
    return pairs[0]


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
    parser.add_argument("--profile", action="store_true",
                        help="print each native call's stages (through MOVRA_FE4TS_PROFILE)")
    parser.add_argument("--scaling", action="store_true",
                        help="also time the kernel on one thread against the default number of threads")
    parser.add_argument("--repeat", type=int, default=3,
                        help="alternating pairs behind each ratio of --scaling and of the arrangements (default 3)")
    parser.add_argument("--dtypes", action="store_true",
                        help="time both paths on each column type of real tables instead (sizes default to "
                             "300 consumers x 365 days)")
    parser.add_argument("--arrow", action="store_true",
                        help="time the kernel on pyarrow and polars tables against pandas frames instead (sizes "
                             "default to 5,000 consumers x 1,035 days)")
    parser.add_argument("--layouts", action="store_true",
                        help="time the tables users really have instead: a parquet file read by pandas, polars and "
                             "DuckDB, first call in a fresh process and warm call (sizes default to 20,000 "
                             "consumers x 1,035 days; warm calls: best of --repeat)")
    parser.add_argument("--processes", type=int, default=2,
                        help="fresh processes per layout of --layouts (default 2)")
    args = parser.parse_args()
    if args.layouts:
        import fe4ts_layouts  # beside this file
        if "--consumers" not in sys.argv:
            args.consumers = 20000
        fe4ts_layouts.run(args)
        return
    if args.arrow:
        if "--consumers" not in sys.argv:
            args.consumers = 5000
        run_arrow(args)
        return
    if args.dtypes:
        if "--consumers" not in sys.argv:
            args.consumers = 300
        if "--days" not in sys.argv:
            args.days = 365
        args.sample = min(args.sample, 5) if "--sample" not in sys.argv else args.sample
        run_dtypes(args)
        return

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

    with StageLog(args.profile) as log:
        try:
            run_kernel(df, interval, input_bytes, args, log)
        finally:
            log.remove()


def run_kernel(df, interval, input_bytes, args, log):
    """The kernel on every window, beside its yardsticks, in both arrangements, then the pandas path."""
    baseline = rss_bytes()
    exact_peak = reset_peak()
    started = time.perf_counter()
    ftrs = fe4ts(df, interval)
    kernel_total = time.perf_counter() - started
    peak = peak_bytes() - baseline
    kernel_per_window = kernel_total / len(interval)
    threads = os.environ.get("MOVRA_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    print(f"\nkernel:       {kernel_total:8.2f} s total, {1e6 * kernel_per_window:9.1f} us per window "
          f"({ftrs.shape[0]:,} x {ftrs.shape[1]} feature table, {threads} threads)")
    print(f"peak memory:  {gib(peak)} beyond the input ({peak / input_bytes:.2f} x the input frame)"
          + ("" if exact_peak else " [process peak: includes building the input]"))
    yardsticks(df, kernel_total)
    kernel_stages = log.calls()
    small_call(args.seed)
    log.calls()  # the small calls' stages are not printed
    for stages in kernel_stages:
        print_stages("stages, readings " + ("in random order" if args.shuffle else "in order"), stages, kernel_total)
    if args.scaling:
        one, many = scaling(df, interval, threads, args.repeat)
        calls = log.calls()
        if calls:  # the first pair's
            print_stages("stages, one thread", calls[0], one)
            print_stages(f"stages, {threads} threads", calls[1], many)

    arrangements(df, interval, args, log)

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
