"""Benchmark of movra_dask.fe4ts as users run it: parquet files in, parquet files out.

Builds bench/fe4ts.py's synthetic table (default: 42,372 consumers x 1,035
days, about 43.9 million readings, one window per consumer) and writes it as
a parquet dataset of --files files of whole consumers, each file's rows in
random order.  The window table comes in two orders, timed in the same run:
the files' consumer order, and shuffled (as a table sorted by area, label or
date is, against the files).  For each order it times

* the one-machine way: pandas.read_parquet of the dataset, one movra.fe4ts
  call on one thread (MOVRA_NUM_THREADS=1), to_parquet of the features;
* the front end: dd.read_parquet -> movra_dask.fe4ts -> to_parquet, on a
  LocalCluster of 1 and then 2 worker processes (--workers; 1 thread and
  --memory-limit each, MOVRA_NUM_THREADS=1, loopback interface), the
  cluster started beforehand;

and prints their times and ratios side by side.  For each cluster it also
prints where the time went: the call (which reads every partition once and
computes its records) and the writing (which assembles the feature table's
parts and writes them), beside a bare read pass over the same files on the
same workers, and the tasks of the returned frame's graph.  The features
written by each cluster are read back and checked against those of the
one-machine way.  On the last cluster it then times movra_dask.usest2uet
over bench/events.py's event log of the same consumers, held on the workers
in --files partitions of whole consumers, with its windows in both orders,
beside one movra.usest2uet call.  Each figure is the best of --repeat runs;
the machine's load average is printed before and after.

    python bench/scale.py
    python bench/scale.py --consumers 48000 --files 48 --workers 2
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
    with one_thread():
        started = time.perf_counter()
        df = pd.read_parquet(data)
        read = time.perf_counter()
        features = movra.fe4ts(df, *ARGS, interval)
        called = time.perf_counter()
        del df
        features.to_parquet(out)
        return read - started, called - read, time.perf_counter() - called


class one_thread:
    """MOVRA_NUM_THREADS=1 for the calls of this process, as on the workers."""

    def __enter__(self):
        self.previous = os.environ.get("MOVRA_NUM_THREADS")
        os.environ["MOVRA_NUM_THREADS"] = "1"

    def __exit__(self, *exc):
        if self.previous is None:
            del os.environ["MOVRA_NUM_THREADS"]
        else:
            os.environ["MOVRA_NUM_THREADS"] = self.previous


def front_end(dd, movra_dask, data, interval, out, tasks):
    """dd.read_parquet -> movra_dask.fe4ts -> to_parquet: the call's and the
    writing's times; the returned frame's tasks are noted in `tasks`."""
    started = time.perf_counter()
    features = movra_dask.fe4ts(dd.read_parquet(data), *ARGS, interval)
    called = time.perf_counter()
    tasks.append(len(features.__dask_graph__()))
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


ORDERS = ("in the files' order", "shuffled")


def window_tables(consumers, days, seed):
    """One window per consumer, in the files' consumer order and shuffled."""
    in_order = pd.DataFrame({"CONS_NO": np.arange(1, consumers + 1), "START": 0, "END": days - 1})
    shuffled = in_order.iloc[np.random.default_rng(seed).permutation(consumers)].reset_index(drop=True)
    return dict(zip(ORDERS, (in_order, shuffled)))


def events(client, dd, movra_dask, consumers, files, seed):
    """usest2uet over an event log held on the workers, in `files` partitions
    of whole consumers, with its windows in both orders, beside one call on
    one thread: {order: (one call, front end)} in seconds, and the front
    end's tasks per order."""
    import dask
    from events import event_log, windows

    log = event_log(consumers, 20, seed)[0]
    cut = np.searchsorted(log["CONS_NO"].to_numpy(), np.linspace(1, consumers + 1, files + 1)[1:-1])
    parts = client.scatter([log.iloc[a:b] for a, b in zip(np.r_[0, cut], np.r_[cut, len(log)])])
    with dask.config.set({"dataframe.convert-string": False}):
        held = dd.from_delayed(parts, meta=log.iloc[:0], verify_meta=False)
    in_order = windows(consumers)
    tables = dict(zip(ORDERS, (in_order, in_order.iloc[np.random.default_rng(seed).permutation(len(in_order))]
                                                 .reset_index(drop=True))))
    times, tasks = {}, {}
    for order, interval in tables.items():
        with one_thread():
            started = time.perf_counter()
            expected = movra.usest2uet(log, "UNIT", "EVENT", "TIMES", interval)
            one = time.perf_counter() - started
        started = time.perf_counter()
        lazy = movra_dask.usest2uet(held, "UNIT", "EVENT", "TIMES", interval)
        # Gathered part by part: `compute` would concatenate the parts on one
        # worker first, which a worker of --memory-limit does not hold.
        got = pd.concat(client.gather(client.compute(lazy.to_delayed())))
        times[order] = one, time.perf_counter() - started
        tasks[order] = len(lazy.__dask_graph__())
        pd.testing.assert_frame_equal(got.drop(columns="TIMES"), expected.drop(columns="TIMES"), check_exact=True)
        assert [list(x) for x in got["TIMES"]] == [list(x) for x in expected["TIMES"]]
    return times, tasks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--consumers", type=int, default=42372)
    parser.add_argument("--days", type=int, default=1035)
    parser.add_argument("--files", type=int, default=8, help="parquet files (Dask partitions) of whole consumers")
    parser.add_argument("--memory-limit", type=int, default=700, help="MiB per worker process")
    parser.add_argument("--workers", default="1,2", help="worker processes of the clusters timed, in turn")
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
        intervals = window_tables(args.consumers, args.days, args.seed)
        total = args.consumers * args.days
        print(f"readings: {total:,} rows ({args.consumers:,} consumers x {args.days:,} days) in {args.files} "
              f"parquet files, {args.consumers:,} windows, in the files' order and shuffled; tactic {TACTIC}, "
              f"periodic {PERIODIC}, lags {LAGS}; workers of 1 thread and {args.memory_limit} MiB")
        print(f"{os.cpu_count()} CPUs; {load()}")

        outputs, single = {}, {}
        for order, interval in intervals.items():
            outputs[0, order] = os.path.join(root, f"one-machine-{len(outputs)}.parquet")
            single[order] = best_of(args.repeat, lambda: one_machine(data, interval, outputs[0, order]))
            print(f"one machine, windows {order}: read {single[order][0]:.2f} s, call {single[order][1]:.2f} s, "
                  f"write {single[order][2]:.2f} s")
        times, tasks = {}, {}
        clusters = [int(w) for w in args.workers.split(",")]
        for workers in clusters:
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                              memory_limit=args.memory_limit * 2**20, dashboard_address=None,
                              env={"MOVRA_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
                read = min(bare_read(dd, data) for _ in range(args.repeat))
                print(f"{workers} worker(s): a bare read pass over the files {read:.2f} s")
                for order, interval in intervals.items():
                    outputs[workers, order] = os.path.join(root, f"dask-{len(outputs)}")
                    noted = tasks[workers, order] = []
                    call, write = times[workers, order] = best_of(
                        args.repeat, lambda: front_end(dd, movra_dask, data, interval, outputs[workers, order], noted))
                    print(f"  windows {order}: call {call:.2f} s, assembling and writing {write:.2f} s; "
                          f"{noted[0]:,} tasks in the returned frame's graph")
                if workers == clusters[-1]:
                    event_times, event_tasks = events(client, dd, movra_dask, args.consumers, args.files, args.seed)

        for (workers, order), path in outputs.items():
            if workers:
                pd.testing.assert_frame_equal(pd.read_parquet(path).reset_index(drop=True),
                                              pd.read_parquet(outputs[0, order]).reset_index(drop=True),
                                              check_exact=True)
        print("check: the features written by each cluster equal the one-machine way's, in both orders, and "
              "the event tables one call's")
        print(load())

        first, second = ORDERS
        print(f"\nfe4ts{'':33}{'time':>9}  ratio")
        for order in ORDERS:
            one = sum(single[order])
            print(f"windows {order}:")
            print(f"  {'one machine, 1 thread':34}{one:8.2f}s  1.00")
            for workers in clusters:
                front = sum(times[workers, order])
                target = f"{one / front:.2f} x faster than the one-machine way"
                if workers == 1:
                    target = f"{front / one:.2f} x the one-machine way (target <= 1.15)"
                elif workers == 2:
                    target += " (target >= 1.7 in the files' order, 1.3 shuffled)"
                print(f"  {f'movra_dask, {workers} worker(s)':34}{front:8.2f}s  {target}")
        for workers in clusters:
            ratio = sum(times[workers, second]) / sum(times[workers, first])
            print(f"shuffled windows on {workers} worker(s) take {ratio:.2f} x the time of the files' order"
                  f"{' (target <= 1.3)' if workers == 2 else ''}")
        print(f"\nusest2uet, {args.consumers:,} consumers' events in {args.files} partitions, {clusters[-1]} "
              f"worker(s):")
        for order in ORDERS:
            one, front = event_times[order]
            print(f"  windows {order}: one call {one:.2f} s, movra_dask {front:.2f} s "
                  f"({event_tasks[order]:,} tasks)")
        print(f"  shuffled windows take {event_times[second][1] / event_times[first][1]:.2f} x the time of the "
              f"files' order (target <= 1.3)")
        print(f"\nthroughput: {total / sum(times[clusters[0], first]) / 1e6:.1f} M readings/s on "
              f"{clusters[0]} worker process(es), "
              f"{total / args.files / 1e6:.2f} M readings per partition")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
