"""fe4ts on the tables users really have: bench/fe4ts.py --layouts.

Users rarely call fe4ts on the favourable table (integer consumer numbers,
int64 keys, rows in consumer and day order, a warm process).  They read a
parquet file with pandas, polars or DuckDB, where consumer numbers are text
and the period and periodic keys come from each library's date accessors at
its own width, and a script calls fe4ts once.  This mode writes one such
file and times each layout below on it:

  * favourable: int64 CONS_NO and int64 keys, sorted by consumer and day;
  * int64-shuffled: the same in the file's row order: the reference, the
    same readings with int64 numbers and keys, so that the ratios tell what
    the columns' types and the first call cost apart from ordering the
    readings (which the favourable row's ratio shows);
  * pandas-str: pandas.read_parquet, CONS_NO as the Arrow-backed `str`
    dtype, keys from pandas' date accessors (int32), DAY an int64 day number;
  * pandas-object: the same with CONS_NO as object text (as read_sql gives
    it) and int64 keys;
  * polars: pl.read_parquet, String CONS_NO, keys from polars' date
    accessors (Int8), DAY from dt.epoch("d") (Int32), the polars frame itself
    passed to fe4ts;
  * duckdb: a DuckDB query over the file, VARCHAR CONS_NO, BIGINT keys from
    isodow, month and week, its result as a pyarrow table.

Each layout runs in --processes fresh processes (a child Python that reads
the file, derives the keys and the windows, then times exactly one fe4ts
call: what a script pays) and, in each, --repeat more calls (the warm call,
best of them).  The table gives the best first call and the best warm call,
each as a ratio to the reference's warm call (the int64 table in the file's
order), and the peak memory of the first call beyond the input, per reading.

The parquet file: --consumers x --days readings (20,000 x 1,035 by default),
rows shuffled, CONS_NO as 7-character text, DATA_DATE as a date, 2% of KWH
missing; one window per consumer over every day, the window table's CONS_NO
of the readings' type, built by the same library.  Every layout holds just
the six columns the call reads: a column the call does not read is still
converted when an Arrow table becomes a pandas frame (a date32 column into
Python dates), which is not the kernel's cost.
"""
import argparse
import contextlib
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

import fe4ts as bench

# name, what the table's first column says of it
LAYOUTS = [
    ("favourable", "int64 consumer numbers and keys, sorted (the favourable table)"),
    ("int64-shuffled", "int64 consumer numbers and keys, rows in the file's (shuffled) order (the reference)"),
    ("pandas-str", "pandas `read_parquet`: `str` consumer numbers, `int32` keys"),
    ("pandas-object", "pandas: object text (as `read_sql` gives), int64 keys"),
    ("polars", "polars: `String` consumer numbers, `Int8` keys, `Int32` days"),
    ("duckdb", "DuckDB query over the file: text, `BIGINT` keys"),
]

FIRST_DAY = np.datetime64("2014-01-01")
RESULT = "fe4ts-layouts-result "  # the child's line of results on its stdout
KEYS = ["DAY", "WEEK", "MONTH", "WEEKDAY"]


# ---- the file ---------------------------------------------------------------------

def write_readings(path, consumers, days, seed):
    """The readings of bench.readings() as a user's parquet file; returns its row count.

    Consumer numbers become 7-character text, days dates from 2014-01-01,
    rows are shuffled, and about 2% of KWH is missing (readings() leaves 1%
    missing; another 1% is taken out here).
    """
    import pyarrow as pa
    import pyarrow.parquet as pq
    df = bench.readings(consumers, days, seed)
    rng = np.random.default_rng(seed + 1)
    rows = len(df)
    kwh = df["KWH"].to_numpy(copy=True)
    kwh[rng.random(rows) < 0.0101] = np.nan
    order = rng.permutation(rows)
    codes = df["CONS_NO"].to_numpy()[order] - 1
    day = df["DAY"].to_numpy()[order]
    del df
    names = pa.array([str(5100000 + 37 * i) for i in range(consumers)], pa.string())
    table = pa.table({
        "CONS_NO": names.take(pa.array(codes)),
        "DATA_DATE": pa.array(FIRST_DAY + day, pa.date32()),
        "KWH": pa.array(kwh[order], from_pandas=True),
    })
    pq.write_table(table, path)
    return rows


# ---- each layout as its library reads the file (in the child) -----------------------

def pandas_keys(path):
    """pandas.read_parquet of the file, the keys from pandas' date accessors."""
    import pandas as pd
    df = pd.read_parquet(path)
    dates = pd.to_datetime(df.pop("DATA_DATE"))  # read_parquet gives datetime.date objects
    df["DAY"] = (dates - pd.Timestamp("1970-01-01")).dt.days
    df["WEEK"] = dates.dt.isocalendar().week.astype("int32")  # UInt32, never missing here
    df["MONTH"] = dates.dt.month
    df["WEEKDAY"] = dates.dt.day_of_week
    return df[["CONS_NO"] + KEYS + ["KWH"]]


def pandas_windows(df):
    import pandas as pd
    return pd.DataFrame({"CONS_NO": df["CONS_NO"].unique(), "START": df["DAY"].min(), "END": df["DAY"].max()})


def int64_keys(path):
    """The file's readings with int64 consumer numbers and keys, in the file's order."""
    import pyarrow as pa
    import pyarrow.compute as pc
    df = pandas_keys(path)
    # pyarrow parses the text in a fraction of the time pandas' astype takes
    return df.astype({k: "int64" for k in KEYS}).assign(
        CONS_NO=pc.cast(pa.array(df["CONS_NO"].array), pa.int64()).to_numpy())


def load_int64_shuffled(path):
    df = int64_keys(path)
    return df, pandas_windows(df)


def load_favourable(path):
    df = int64_keys(path)
    # One sort of one key, (consumer, day), instead of sort_values' two keys, which take many times as long.
    day = df["DAY"].to_numpy()
    order = np.argsort(df["CONS_NO"].to_numpy() * (int(day.max() - day.min()) + 1) + (day - day.min()))
    df = df.take(order).reset_index(drop=True)
    return df, pandas_windows(df)


def load_pandas_str(path):
    df = pandas_keys(path)
    return df, pandas_windows(df)


def load_pandas_object(path):
    df = pandas_keys(path)
    df = df.astype({"CONS_NO": object, **{k: "int64" for k in KEYS}})
    return df, pandas_windows(df)


def load_polars(path):
    import polars as pl
    date = pl.col("DATA_DATE")
    df = pl.read_parquet(path).select(
        "CONS_NO", date.dt.epoch("d").alias("DAY"), date.dt.week().alias("WEEK"),
        date.dt.month().alias("MONTH"), date.dt.weekday().alias("WEEKDAY"), "KWH")
    interval = df.select(pl.col("CONS_NO").unique(maintain_order=True)).with_columns(
        START=pl.lit(df["DAY"].min()), END=pl.lit(df["DAY"].max()))
    return df, interval


def load_duckdb(path):
    """The query's result as a pyarrow table.

    The DuckDB relation also exports an Arrow stream, but fe4ts would then
    run the query (the parquet read included) inside the timed call.
    """
    import duckdb
    con = duckdb.connect()
    file = path.replace("'", "''")
    df = con.sql(f"""
        SELECT CONS_NO, DATA_DATE - DATE '1970-01-01' AS DAY, week(DATA_DATE) AS WEEK,
               month(DATA_DATE) AS MONTH, isodow(DATA_DATE) AS WEEKDAY, KWH
        FROM read_parquet('{file}')""").to_arrow_table()
    interval = con.sql("""
        SELECT DISTINCT CONS_NO, (SELECT min(DAY) FROM df) AS "START", (SELECT max(DAY) FROM df) AS "END"
        FROM df""").to_arrow_table()
    con.close()
    return df, interval


LOADERS = {"favourable": load_favourable, "int64-shuffled": load_int64_shuffled, "pandas-str": load_pandas_str,
           "pandas-object": load_pandas_object, "polars": load_polars, "duckdb": load_duckdb}


def checksum(features):
    """The sum of the result's finite numeric cells and the count of the others (NaN, ±inf).

    Equal for every layout of the same readings, whatever the order of the
    windows or the labels of the keys (pandas' weekdays from 0, polars' and
    DuckDB's from 1).  Some derived ratios are infinite, so a plain sum would
    be inf for every layout and tell nothing.
    """
    cells = features.drop(columns=["CONS_NO"]).select_dtypes("number").to_numpy(dtype=np.float64)
    finite = np.isfinite(cells)
    return [float(cells[finite].sum()), int((~finite).sum())]


def child(layout, path, repeat, profile):
    """Reads the file as `layout` does, then one fe4ts call, then `repeat` more; one line of JSON."""
    started = time.perf_counter()
    df, interval = LOADERS[layout](path)
    loaded = time.perf_counter() - started
    log = bench.StageLog(profile)
    result = {"layout": layout, "rows": len(df), "windows": len(interval), "load": loaded, "warnings": []}
    out = []
    with log, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        # More than 1,000 windows on the pandas path would take many minutes; its warning stops the call.
        warnings.filterwarnings("error", message=".*on the pandas path", category=UserWarning)
        # fe4ts' progress bar, on every call
        with contextlib.redirect_stderr(open(os.devnull, "w")):
            try:
                result["first"] = bench.measured(lambda: out.append(bench.fe4ts(df, interval)))
                result["warm"] = [bench.measured(lambda: bench.fe4ts(df, interval)) for _ in range(repeat)]
            except UserWarning as declined:
                result["declined"] = str(declined)
    result["warnings"] = sorted({f"{w.category.__name__}: {w.message}" for w in caught})
    calls = log.calls()
    log.remove()
    if calls:
        result["stages"] = calls[0]
    if out:
        result["checksum"] = checksum(out[0])
    print(RESULT + json.dumps(result), flush=True)


# ---- the parent ---------------------------------------------------------------------------

def fresh_process(layout, path, args):
    """One child process of `layout`: its results, or None when it failed (its stderr printed)."""
    command = [sys.executable, os.path.abspath(__file__), "--child", layout, path, "--repeat", str(args.repeat)]
    if args.profile:
        command.append("--profile")
    done = subprocess.run(command, capture_output=True, text=True)
    for line in done.stdout.splitlines():
        if line.startswith(RESULT):
            return json.loads(line[len(RESULT):])
    print(f"{layout}: the child process failed ({done.returncode}):\n{done.stderr[-3000:]}", file=sys.stderr)
    return None


def run(args):
    """The table of layouts, from one run."""
    if args.processes < 2:
        sys.exit("--processes: at least 2 fresh processes per layout")
    runs = {layout: [] for layout, _ in LAYOUTS}
    with tempfile.TemporaryDirectory(prefix="fe4ts-layouts-") as tmp:
        path = os.path.join(tmp, "readings.parquet")
        started = time.perf_counter()
        rows = write_readings(path, args.consumers, args.days, args.seed)
        print(f"readings: {rows:,} ({args.consumers:,} consumers x {args.days:,} days), one parquet file of "
              f"{bench.gib(os.path.getsize(path))} written in {time.perf_counter() - started:.1f} s: rows "
              "shuffled, CONS_NO 7-character text, DATA_DATE dates, 2% of KWH missing")
        print(f"windows:  one per consumer over every day; tactic {bench.TACTIC}, periodic {bench.PERIODIC}, "
              f"lags {bench.LAGS}")
        print(f"each layout in {args.processes} fresh processes (one after the other, layouts alternating): "
              f"the first call, then the best of {args.repeat} warm calls")
        bench.fresh_memory()
        load = os.getloadavg()[0]
        for _ in range(args.processes):  # rounds, so that whatever else runs spreads over every layout
            for layout, _ in LAYOUTS:
                result = fresh_process(layout, path, args)
                if result is not None:
                    runs[layout].append(result)
        # On a shared machine what else runs shows in the figures; the load tells how much.
        print(f"load average (1 min): {load:.2f} before the layouts, {os.getloadavg()[0]:.2f} after, on "
              f"{os.cpu_count()} processors")
    print_table(runs, rows)


def best_first(results):
    return min((r for r in results if "first" in r), key=lambda r: r["first"][0], default=None)


REFERENCE = "int64-shuffled"


def print_table(runs, rows):
    reference = best_first(runs[REFERENCE])
    if reference is None:
        sys.exit("the reference table gave no timing")
    base = min(seconds for r in runs[REFERENCE] for seconds, _ in r["warm"])
    print(f"\nratios to the warm call on the same readings with int64 consumer numbers and keys ({base:.2f} s); "
          "memory: the first call's peak RSS beyond the RSS before it, per reading\n")
    print("| layout | first call | warm call | beyond the input | path |")
    print("|---|---|---|---|---|")
    for layout, label in LAYOUTS:
        results = runs[layout]
        best = best_first(results)
        declined = next((r["declined"] for r in results if "declined" in r), None)
        if best is None:
            print(f"| {label} | - | - | - | {'pandas' if declined else 'failed'} |")
            continue
        warm = min(seconds for r in results if "warm" in r for seconds, _ in r["warm"])
        first, peak = best["first"]
        path = "pandas" if declined else "kernel"
        print(f"| {label} | {first / base:.2f}× ({first:.2f} s) | {warm / base:.2f}× ({warm:.2f} s) | "
              f"{peak / rows:.0f} B/reading | {path} |")

    print("\nper process (first call s / its peak beyond the input; warm calls s; reading the file and the keys):")
    sums = {}
    for layout, _ in LAYOUTS:
        for r in runs[layout]:
            if "declined" in r:
                print(f"  {layout:14s} pandas path: {r['declined']}")
                continue
            warm = ", ".join(f"{s:.2f}" for s, _ in r["warm"])
            print(f"  {layout:14s} first {r['first'][0]:.2f} s / {bench.gib(r['first'][1])}; warm {warm} s; "
                  f"read and keys {r['load']:.1f} s; {r['rows']:,} readings, {r['windows']:,} windows")
            if "checksum" in r:
                sums.setdefault(layout, r["checksum"])
        warned = sorted({w for r in runs[layout] for w in r["warnings"]})
        for w in warned:
            print(f"  {layout:14s} warned: {w}")
    if sums:
        first = sums.get("favourable", next(iter(sums.values())))
        differ = [k for k, v in sums.items() if v[1] != first[1] or not np.isclose(v[0], first[0], rtol=1e-9, atol=0)]
        print("check: every layout's features sum alike" if not differ else
              f"check: the features' sums differ from the favourable table's: {', '.join(differ)}")

    if any("stages" in r for rs in runs.values() for r in rs):
        for layout, label in LAYOUTS:
            best = best_first(runs[layout])
            if best is not None and "stages" in best:
                bench.print_stages(f"stages of the best first call, {layout}", best["stages"], best["first"][0])


def main():
    parser = argparse.ArgumentParser(description="one child process of bench/fe4ts.py --layouts")
    parser.add_argument("--child", nargs=2, metavar=("LAYOUT", "FILE"), required=True)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args()
    child(args.child[0], args.child[1], args.repeat, args.profile)


if __name__ == "__main__":
    main()
