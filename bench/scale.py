"""Benchmark of movra_dask.fe4ts as users run it: parquet files in, parquet files out.

Builds bench/fe4ts.py's synthetic table (default: 42,372 consumers x 1,035
days, about 43.9 million readings, one window per consumer) and writes it as
a parquet dataset of --files files of whole consumers, each file's rows in
random order.  Then, in one run, it times

* the one-machine way: pandas.read_parquet of the dataset, one movra.fe4ts
  call on one thread (MOVRA_NUM_THREADS=1), to_parquet of the features;
* the front end: dd.read_parquet -> movra_dask.fe4ts -> to_parquet, on a
  LocalCluster of 1 and then 2 worker processes (1 thread each,
  MOVRA_NUM_THREADS=1, loopback interface), the cluster started beforehand;

and prints their times and ratios side by side.  For each cluster it also
prints where the time went: the call (which reads every partition once and
computes its records) and the writing (which assembles the feature table's
parts and writes them), beside a bare read pass over the same files on the
same workers.  The features written by each cluster are read back and
checked against those of the one-machine way.  Each figure is the best of
--repeat runs; the machine's load average is printed before and after.

    python bench/scale.py
    python bench/scale.py --consumers 4000 --days 365 --files 8
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
from fe4ts import LAGS, PERIODIC, TACTIC, readings  # noqa: E402

import movra  # noqa: E402

ARGS = ("CONS_NO", TACTIC, PERIODIC, LAGS, "KWH")


def write_dataset(df, consumers, days, files, path, seed):
    """The readings as `files` parquet files of whole consumers, in consumer
    order, each file's rows shuffled."""
    rng = np.random.default_rng(seed)
    bounds = np.linspace(0, consumers, files + 1).astype(int)
    for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        part = df.iloc[a * days:b * days]
        part.iloc[rng.permutation(len(part))].to_parquet(os.path.join(path, f"part-{k:04d}.parquet"), index=False)


def best_of(repeat, run):
    """The shortest of `repeat` runs of `run`, which returns its stages' times."""
    return min((run() for _ in range(repeat)), key=lambda stages: sum(stages))


def one_machine(data, interval, out):
    """Read, one call on one thread, write: the stages' times."""
    previous = os.environ.get("MOVRA_NUM_THREADS")
    os.environ["MOVRA_NUM_THREADS"] = "1"
    try:
        started = time.perf_counter()
        df = pd.read_parquet(data)
        read = time.perf_counter()
        features = movra.fe4ts(df, *ARGS, interval)
        called = time.perf_counter()
        del df
        features.to_parquet(out)
        return read - started, called - read, time.perf_counter() - called
    finally:
        if previous is None:
            del os.environ["MOVRA_NUM_THREADS"]
        else:
            os.environ["MOVRA_NUM_THREADS"] = previous


def front_end(dd, movra_dask, data, interval, out):
    """dd.read_parquet -> movra_dask.fe4ts -> to_parquet: the call's and the
    writing's times."""
    started = time.perf_counter()
    features = movra_dask.fe4ts(dd.read_parquet(data), *ARGS, interval)
    called = time.perf_counter()
    features.to_parquet(out, write_index=False, name_function=lambda k: f"part-{k:05d}.parquet")  # read in order
    return called - started, time.perf_counter() - called


def first_row(part):
    return part.iloc[:1]


def bare_read(dd, data):
    """Every partition read on the workers, every column (a partition's
    length alone would come from the files' metadata)."""
    started = time.perf_counter()
    dd.read_parquet(data).map_partitions(first_row).compute()
    return time.perf_counter() - started


def load():
    return "load average " + ", ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=42372)
    parser.add_argument("--days", type=int, default=1035)
    parser.add_argument("--files", type=int, default=8, help="parquet files (Dask partitions) of whole consumers")
    parser.add_argument("--repeat", type=int, default=1, help="runs per configuration; the best counts")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import movra_dask

    root = tempfile.mkdtemp(prefix="movra-scale-")
    try:
        data = os.path.join(root, "readings")
        os.mkdir(data)
        write_dataset(readings(args.consumers, args.days, args.seed), args.consumers, args.days, args.files, data,
                      args.seed)
        interval = pd.DataFrame({"CONS_NO": np.arange(1, args.consumers + 1), "START": 0, "END": args.days - 1})
        total = args.consumers * args.days
        print(f"readings: {total:,} rows ({args.consumers:,} consumers x {args.days:,} days) in {args.files} "
              f"parquet files, {len(interval):,} windows; tactic {TACTIC}, periodic {PERIODIC}, lags {LAGS}")
        print(f"{os.cpu_count()} CPUs; {load()}")

        outputs = {}
        outputs[0] = os.path.join(root, "one-machine.parquet")
        single = best_of(args.repeat, lambda: one_machine(data, interval, outputs[0]))
        print(f"one machine: read {single[0]:.2f} s, call {single[1]:.2f} s, write {single[2]:.2f} s")
        times = {}
        for workers in (1, 2):
            outputs[workers] = os.path.join(root, f"dask-{workers}")
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                              dashboard_address=None, env={"MOVRA_NUM_THREADS": "1"}) as cluster, \
                    Client(cluster):
                read = min(bare_read(dd, data) for _ in range(args.repeat))
                call, write = times[workers] = best_of(
                    args.repeat, lambda: front_end(dd, movra_dask, data, interval, outputs[workers]))
            print(f"{workers} worker(s): call {call:.2f} s, assembling and writing {write:.2f} s; "
                  f"a bare read pass over the files {read:.2f} s")

        expected = pd.read_parquet(outputs[0])
        for workers in (1, 2):
            got = pd.read_parquet(outputs[workers])
            pd.testing.assert_frame_equal(got.reset_index(drop=True), expected.reset_index(drop=True),
                                          check_exact=True)
        print("check: the features written by each cluster equal the one-machine way's")
        print(load())

        one, dask1, dask2 = sum(single), sum(times[1]), sum(times[2])
        print(f"\n{'':30}{'time':>9}  ratio")
        print(f"{'one machine, 1 thread':30}{one:8.2f}s  1.00")
        print(f"{'movra_dask, 1 worker':30}{dask1:8.2f}s  {dask1 / one:.2f} x the one-machine way (target <= 1.15)")
        print(f"{'movra_dask, 2 workers':30}{dask2:8.2f}s  {one / dask2:.2f} x faster than the one-machine way "
              f"(target >= 1.7); {dask1 / dask2:.2f} x faster than 1 worker")
        print(f"\nthroughput: {total / dask1 / 1e6:.1f} M readings/s on 1 worker process, "
              f"{total / args.files / 1e6:.2f} M readings per partition")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
