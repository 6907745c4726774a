"""A worker process killed while it runs a movra task: the cluster runs the
task again and movra_dask's result still equals one call of movra's own."""
import os
import signal
import threading
import time
from concurrent.futures import Future

import numpy as np
import pandas as pd
import pytest

try:
    from distributed import Client, LocalCluster
    import movra_dask
except ImportError as e:
    pytest.skip(f"dask.distributed is not usable: {e}", allow_module_level=True)
import movra  # noqa: E402

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")  # worker processes would start slowly

PIECE = "piece_of_partition"  # the key prefix of movra_dask's pass over one partition
SECONDS = 120  # generous: a loaded machine is slow, but nothing here may hang


def executing(dask_worker):
    return os.getpid(), [str(ts.key) for ts in dask_worker.state.executing]


def in_thread(fn):
    """fn() run on a thread of its own: a Future the test waits for with a
    timeout, so that a call that never returns fails the test."""
    future = Future()

    def run():
        try:
            future.set_result(fn())
        except BaseException as e:  # noqa: B902 - handed to the waiting test
            future.set_exception(e)

    threading.Thread(target=run, daemon=True).start()
    return future


def kill_a_worker_running(client, prefix, call):
    """Polls the workers until one is executing a task whose key starts with
    `prefix` and kills that worker's process; returns the key, or None when
    the call ends or the time is up first."""
    deadline = time.monotonic() + SECONDS
    while not call.done() and time.monotonic() < deadline:
        for pid, keys in client.run(executing, on_error="ignore").values():
            running = [k for k in keys if k.startswith(prefix)]
            if running:
                os.kill(pid, signal.SIGKILL)
                return running[0]
        time.sleep(0.05)
    return None


# The aggregate below keeps fe4ts on its pandas path, which warns.
@pytest.mark.filterwarnings("ignore::UserWarning", "ignore:Mean of empty slice:RuntimeWarning")
@pytest.mark.skipif(UNDER_ASAN, reason="no cluster under ASan")
def test_worker_killed_during_a_task_gives_the_one_call_result():
    # On the pandas path (numpy.nanmean) each window takes a good part of a
    # tenth of a second: the two partitions' tasks last long enough to be
    # seen running, and the poller's calls are answered between windows.
    units, days = 24, 100
    day = np.tile(np.arange(days), units)
    df = pd.DataFrame({"CONS_NO": np.repeat(np.arange(units), days), "T": day, "W": day // 7, "D": day % 7,
                       "KWH": np.random.default_rng(0).gamma(2.0, 2.0, units * days)})
    iv = pd.DataFrame({"CONS_NO": np.arange(units)[::-1], "START": 3, "END": days - 5})
    args = ("CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", iv, False, np.nanmean)
    expected = movra.fe4ts(df, *args)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
                      worker_dashboard_address=None) as cluster, Client(cluster, timeout=SECONDS) as client:
        client.wait_for_workers(2, timeout=SECONDS)
        call = in_thread(lambda: movra_dask.fe4ts(df, *args).compute())
        killed = kill_a_worker_running(client, PIECE, call)
        got = call.result(timeout=SECONDS)
    assert killed is not None, "no worker was seen running a movra task"
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
