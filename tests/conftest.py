"""Fixtures shared by every area's tests."""
import threading

import pandas
import pytest
from tqdm.std import TqdmDefaultWriteLock

from path_spy import PathSpy


@pytest.fixture
def spy(monkeypatch):
    return PathSpy(monkeypatch)


# ---- tqdm's write lock --------------------------------------------------------
#
# Every tqdm bar of the process takes one write lock, a multiprocessing RLock
# and a threading RLock.  tqdm draws a bar between acquire and release without
# a `finally` (tqdm.refresh, tqdm.clear), and takes and releases the two locks
# one after the other, so an exception raised in between (a signal handler's
# KeyboardInterrupt) leaves them held by the thread it interrupted.  Being
# re-entrant, they keep working for that thread; any other thread that makes
# a bar then waits forever.

def _write_locks():
    return [lock for lock in (getattr(TqdmDefaultWriteLock, "mp_lock", None),
                              getattr(TqdmDefaultWriteLock, "th_lock", None)) if lock is not None]


def _held_by_this_thread(lock):
    semlock = getattr(lock, "_semlock", None)  # a multiprocessing lock
    return semlock._is_mine() if semlock is not None else lock._is_owned()


def _locks_another_thread_cannot_take():
    taken = []

    def probe():
        for lock in _write_locks():
            # A thread that ended holding the lock may have had this
            # thread's identity; tqdm's monitor thread holds it for moments.
            if _held_by_this_thread(lock) or not lock.acquire(True, 1.0):
                taken.append(lock)
            else:
                lock.release()

    prober = threading.Thread(target=probe, daemon=True)
    prober.start()
    prober.join()
    return taken


@pytest.fixture(autouse=True)
def tqdm_write_lock_left_free():
    """Fails the test after which tqdm's write lock is still held.  What this
    thread holds is given back, so that the tests after it can run; held by
    another thread, it would hang them, and the run stops."""
    yield
    taken = _locks_another_thread_cannot_take()
    if not taken:
        return
    names = ", ".join(f"{type(lock).__module__}.{type(lock).__qualname__}" for lock in taken)
    elsewhere = [lock for lock in taken if not _held_by_this_thread(lock)]
    for lock in taken:
        while _held_by_this_thread(lock):
            lock.release()
    if elsewhere:
        pytest.exit(f"tqdm's write lock ({names}) was left acquired by another thread", returncode=1)
    pytest.fail(f"tqdm's write lock ({names}) was left acquired by the test's thread "
                "(given back for the tests after it)", pytrace=False)
