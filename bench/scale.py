"""Benchmark of fe4ts past one core and one process: threads, then Dask workers.

Builds bench/fe4ts.py's synthetic table (default: 42,372 consumers x 1,035
days, about 43.9 million readings, one window per consumer), then

1. runs the kernel with MOVRA_NUM_THREADS=1 and =2 in this one process (the
   variable is read at every call), printing both times and their ratio side
   by side, and checking that the two results are identical;
2. times one direct call of movra.fe4ts (on one thread, as each worker
   runs, and on every core), writes the table as a parquet
   dataset of files of whole consumers, and times movra_dask.fe4ts on a
   LocalCluster of 1 and then 2 worker processes (one thread each, loopback
   interface) with the dataset already loaded into the workers' memory,
   printing the times side by side with the 2-worker speedup, the front end's
   overhead against the direct call on one thread, and the throughput per
   worker process.

Each figure is the best of --repeat runs.  The Dask half needs movra's dask
extra (pip install ".[dask]") and pyarrow; --threads-only skips it.

    python bench/scale.py
    python bench/scale.py --consumers 4000 --days 365
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fe4ts import LAGS, PERIODIC, TACTIC, fe4ts, readings  # noqa: E402

import movra  # noqa: E402

ARGS = ("CONS_NO", TACTIC, PERIODIC, LAGS, "KWH")


def movra_threads():
    """The threads movra uses by default: the CPUs in this process' affinity."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def timed_call(df, interval, threads):
    previous = os.environ.get("MOVRA_NUM_THREADS")
    os.environ["MOVRA_NUM_THREADS"] = str(threads)
    try:
        started = time.perf_counter()
        result = fe4ts(df, interval)
        return time.perf_counter() - started, result
    finally:
        if previous is None:
            del os.environ["MOVRA_NUM_THREADS"]
        else:
            os.environ["MOVRA_NUM_THREADS"] = previous


def threads_section(consumers=42372, days=1035, seed=1, repeat=1):
    """fe4ts on the whole table with 1 and with 2 threads, in one process."""
    started = time.perf_counter()
    df = readings(consumers, days, seed)
    interval = pd.DataFrame({"CONS_NO": np.arange(1, consumers + 1), "START": 0, "END": days - 1})
    print(f"readings: {len(df):,} rows ({consumers:,} consumers x {days:,} days), {len(interval):,} windows; "
          f"built in {time.perf_counter() - started:.1f} s; {os.cpu_count()} CPUs, "
          f"{len(os.sched_getaffinity(0))} in this process' affinity")
    times = {1: [], 2: []}
    results = {}
    for _ in range(repeat):
        for threads in (1, 2):
            seconds, results[threads] = timed_call(df, interval, threads)
            times[threads].append(seconds)
    one, two = min(times[1]), min(times[2])
    print(f"1 thread:   {one:8.2f} s")
    print(f"2 threads:  {two:8.2f} s")
    print(f"speed-up:   {one / two:8.2f} x")
    pd.testing.assert_frame_equal(results[1], results[2], check_exact=True)
    print("check:      identical results on 1 and 2 threads")
    return one, two


def best_of(repeat, run):
    """The shortest of `repeat` runs, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        started = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - started)
    return best, result


def write_dataset(df, consumers, days, files, path):
    """The readings as `files` parquet files of whole consumers, in consumer order."""
    bounds = np.linspace(0, consumers, files + 1).astype(int)
    for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        df.iloc[a * days:b * days].to_parquet(os.path.join(path, f"part-{k:04d}.parquet"), index=False)


def dask_section(args):
    """The front end with 1 and 2 worker processes against one direct call."""
    try:
        import dask.dataframe as dd
        from distributed import Client, LocalCluster, wait

        import movra_dask
    except ImportError as e:
        print(f"dask section skipped: {e} (pip install '.[dask]')")
        return

    df = readings(args.consumers, args.days, args.seed)
    interval = pd.DataFrame({"CONS_NO": np.arange(1, args.consumers + 1), "START": 0, "END": args.days - 1})
    print(f"readings: {len(df):,} rows ({args.consumers:,} consumers x {args.days:,} days), "
          f"{len(interval):,} windows; tactic {TACTIC}, periodic {PERIODIC}, lags {LAGS}")

    # One direct call on one thread has what one single-threaded worker has;
    # the call on every core is shown beside it.
    direct_all, expected = best_of(args.repeat, lambda: movra.fe4ts(df, *ARGS, interval))
    direct, _ = best_of(args.repeat, lambda: timed_call(df, interval, 1)[1])
    path = tempfile.mkdtemp(prefix="movra-scale-")
    try:
        write_dataset(df, args.consumers, args.days, args.files, path)
        del df  # the workers read their own copies

        times = {}
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                              dashboard_address=None, env={"MOVRA_NUM_THREADS": "1"}) as cluster, \
                    Client(cluster) as client:
                started = time.perf_counter()
                table = dd.read_parquet(path).persist()
                wait(table)
                loaded = time.perf_counter() - started
                phases = []

                def run():
                    started = time.perf_counter()
                    lazy = movra_dask.fe4ts(table, *ARGS, interval)  # the partitions, on the workers
                    called = time.perf_counter()
                    result = lazy.compute()  # the window-ordered output, fetched here
                    phases.append((called - started, time.perf_counter() - called))
                    return result

                took, got = best_of(args.repeat, run)
                pd.testing.assert_frame_equal(got, expected, check_exact=True)
                times[workers] = took
                call, fetch = min(phases, key=sum)
                print(f"  {workers} worker(s): dataset loaded in {loaded:.1f} s, {table.npartitions} partitions; "
                      f"best run {call:.2f} s in the call + {fetch:.2f} s computing the output; "
                      f"result equals the direct call")
                del table, got
    finally:
        shutil.rmtree(path, ignore_errors=True)

    readings_total = args.consumers * args.days
    print(f"\n{'':22}{'time':>9}  ratio")
    print(f"{'direct call, 1 thread':22}{direct:8.2f}s  1.00")
    print(f"{'direct call, ' + str(movra_threads()) + ' threads':22}{direct_all:8.2f}s  "
          f"{direct / direct_all:.2f} x faster than 1 thread")
    print(f"{'movra_dask, 1 worker':22}{times[1]:8.2f}s  {times[1] / direct:.2f} x the direct call on 1 thread")
    print(f"{'movra_dask, 2 workers':22}{times[2]:8.2f}s  {times[1] / times[2]:.2f} x faster than 1 worker")
    per_partition = readings_total / args.files
    print(f"\nthroughput: {readings_total / times[1] / 1e6:.1f} M readings/s per worker process "
          f"({per_partition / 1e6:.2f} M readings per partition, "
          f"{times[1] / args.files:.3f} s each on 1 worker)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=42372)
    parser.add_argument("--days", type=int, default=1035)
    parser.add_argument("--files", type=int, default=8, help="parquet files (Dask partitions) of whole consumers")
    parser.add_argument("--repeat", type=int, default=2, help="runs per configuration; the best counts")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--threads-only", action="store_true", help="only the threads half")
    args = parser.parse_args()
    threads_section(args.consumers, args.days, args.seed, args.repeat)
    if not args.threads_only:
        print()
        dask_section(args)


if __name__ == "__main__":
    main()
