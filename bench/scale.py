"""Benchmark of movra.fe4ts past one core: the same readings on 1 and 2 threads.

Builds bench/fe4ts.py's synthetic table (default: 42,372 consumers x 1,035
days, about 43.9 million readings, one window per consumer) and runs the
kernel with MOVRA_NUM_THREADS=1 and =2 in this one process (the variable is
read at every call), printing both times and their ratio side by side, and
checking that the two results are identical.

    PYTHONPATH=build/dev python bench/scale.py
    PYTHONPATH=build/dev python bench/scale.py --consumers 4000 --days 365
"""
import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fe4ts import fe4ts, readings  # noqa: E402 - the shared table and call

import movra  # noqa: E402,F401 - fails early when the module is not on the path


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=42372)
    parser.add_argument("--days", type=int, default=1035)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=1, help="runs per thread count; the best is shown")
    args = parser.parse_args()
    threads_section(args.consumers, args.days, args.seed, args.repeat)


if __name__ == "__main__":
    main()
