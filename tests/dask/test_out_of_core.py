"""A parquet dataset of whole consumers at least twice the memory limit of
the whole cluster goes through dd.read_parquet -> movra_dask.fe4ts ->
to_parquet on memory-limited workers: no worker is lost or restarted, and
the features read back equal one call of movra.fe4ts over the whole table."""
import os

import numpy as np
import pandas as pd
import pytest

try:
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import movra_dask
except ImportError as e:
    pytest.skip(f"dask.distributed is not usable: {e}", allow_module_level=True)
import movra  # noqa: E402

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="no cluster under ASan")

MiB = 2**20
# A worker running these tasks peaks at about 550 MiB, most of it what any
# worker reading and writing parquet holds (pandas, pyarrow and movra
# loaded, pyarrow's buffers); Dask pauses it at 80% of its limit.
WORKERS, LIMIT = 2, 700 * MiB
# 11.5 M readings of 32 columns, 2.9 GB in memory: 21 MB per file.
FILES, CONSUMERS, DAYS, REGISTERS = 140, 19_200, 600, 27
ARGS = ("CONS_NO", ["DAY", "WEEK"], ["WEEKDAY"], [1, 7], "KWH")


def readings():
    """One row per consumer and day, with the meter's other registers as
    columns fe4ts does not read, which every partition carries (their
    few distinct values keep the files small and quick to write)."""
    rng = np.random.default_rng(0)
    day = np.arange(DAYS, dtype=np.int64)
    rows = CONSUMERS * DAYS
    kwh = rng.gamma(2.0, 3.0, rows).round(2)
    kwh[rng.random(rows) < 0.01] = np.nan
    df = pd.DataFrame({"CONS_NO": np.repeat(np.arange(CONSUMERS, dtype=np.int64), DAYS),
                       "DAY": np.tile(day, CONSUMERS), "WEEK": np.tile(day // 7, CONSUMERS),
                       "WEEKDAY": np.tile(day % 7, CONSUMERS), "KWH": kwh})
    for k in range(REGISTERS):
        df[f"REGISTER_{k}"] = np.tile(day % (k % 9 + 2), CONSUMERS)
    return df


def worker_processes(client):
    return sorted(client.run(os.getpid).values())


def test_dataset_twice_the_cluster_memory_goes_through_without_losing_a_worker(tmp_path):
    df = readings()
    assert df.memory_usage(index=False).sum() >= 2 * WORKERS * LIMIT
    bounds = np.linspace(0, CONSUMERS, FILES + 1).astype(int) * DAYS
    data = tmp_path / "readings"
    data.mkdir()
    for k, (a, b) in enumerate(zip(bounds[:-1], bounds[1:])):
        df.iloc[a:b].to_parquet(data / f"part-{k:03d}.parquet", index=False)
    iv = pd.DataFrame({"CONS_NO": np.arange(CONSUMERS), "START": 30, "END": DAYS - 1})
    expected = movra.fe4ts(df, *ARGS, iv)
    del df

    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True, memory_limit=LIMIT, host="127.0.0.1",
                      dashboard_address=None, worker_dashboard_address=None,
                      env={"MOVRA_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        started = worker_processes(client)
        features = movra_dask.fe4ts(dd.read_parquet(data), *ARGS, iv)
        features.to_parquet(tmp_path / "features", write_index=False, name_function=lambda k: f"part-{k:05d}.parquet")
        assert worker_processes(client) == started  # none lost, none restarted
    got = pd.read_parquet(tmp_path / "features")
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
