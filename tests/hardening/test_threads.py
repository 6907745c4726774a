"""Threads and reentrancy: concurrent callers get what one caller gets, and
callbacks or rebound globals end in correct results or clean exceptions."""
import gc
import os
import sys
import threading
import time
import traceback

import numpy
import pandas
import pytest

import movra


def readings(n_units=4, days=60, seed=0):
    rng = numpy.random.default_rng(seed)
    day = numpy.tile(numpy.arange(days), n_units)
    kwh = rng.gamma(2.0, 2.0, n_units * days)
    kwh[rng.random(kwh.size) < 0.05] = numpy.nan
    return pandas.DataFrame({"CONS_NO": numpy.repeat(numpy.arange(n_units), days), "T": day, "W": day // 7,
                             "D": day % 7, "KWH": kwh})


def windows(n_units=4):
    return pandas.DataFrame({"CONS_NO": numpy.arange(n_units), "START": 3, "END": 50})


ARGS = ("CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH")


# Each test's threads are done in about a second, three times that under the
# sanitizers: threads still running after this long wait for each other.
JOIN_SECONDS = 30


def stacks(threads):
    frames = sys._current_frames()
    return "\n".join(f"{t.name}:\n" + "".join(traceback.format_stack(frames[t.ident]))
                     for t in threads if t.ident in frames)


def run_threads(work, n=4):
    results, errors = [None] * n, []

    def target(i):
        try:
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=target, args=(i,), daemon=True) for i in range(n)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + JOIN_SECONDS
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    alive = [t for t in threads if t.is_alive()]
    assert not alive, f"threads still running after {JOIN_SECONDS} s:\n" + stacks(alive)
    assert not errors, errors
    return results


class TestThreads:
    def test_fe4ts_from_several_threads(self, capsys):
        df, w = readings(), windows()
        expected = movra.fe4ts(df, *ARGS, w)
        for got in run_threads(lambda i: movra.fe4ts(df, *ARGS, w)):
            pandas.testing.assert_frame_equal(got, expected)

    def test_pandas_path_from_several_threads(self, capsys):
        df, w = readings(), windows()
        slow_sum = lambda s: numpy.nansum(s)  # noqa: E731 - an aggfunc only the pandas path takes
        expected = movra.fe4ts(df, *ARGS, w, False, slow_sum)
        for got in run_threads(lambda i: movra.fe4ts(df, *ARGS, w, False, slow_sum), n=3):
            pandas.testing.assert_frame_equal(got, expected)

    def test_small_functions_from_several_threads(self, tmp_path):
        (tmp_path / "sub").mkdir()
        for name in ("a.csv", "b.txt", "sub/c.csv"):
            (tmp_path / name).write_text("k,v\n1,2\n")

        def work(i):
            out = []
            for _ in range(200):
                out.append((movra.gen_ngrams("abcd", 2), movra.exp_w_sum([1, 3, 2]), movra.md5(b"x"),
                            movra.Q3_Q1([1, 2, 3, 4, numpy.nan]), sorted(movra.searchfiles(str(tmp_path), "csv$")),
                            movra.pad_seq([1.0], 3).tolist(), movra.datesStr2datesLst("2026-01-01,x")))
            return out

        results = run_threads(work)
        assert all(r == results[0] for r in results)
        assert results[0][0][1] == 2.25

    def test_csv2json_to_separate_files_from_several_threads(self, tmp_path):
        def work(i):
            path = tmp_path / f"f{i}.csv"
            path.write_text(f"a,b\n{i},x\n")
            for _ in range(50):
                movra.csv2json(str(path))
            return (tmp_path / f"f{i}.csv.json").read_text()

        for i, text in enumerate(run_threads(work)):
            assert f'"a": "{i}"' in text


def event_calls():
    """One call of each event function the collector is paused for."""
    t = pandas.Timestamp("2026-01-01")
    log = pandas.DataFrame({"CONS_NO": numpy.arange(60) % 6, "E": numpy.arange(60) % 3,
                            "TS": [[t + pandas.Timedelta(days=i % 9)] * 3 for i in range(60)]})
    interval = pandas.DataFrame({"CONS_NO": numpy.arange(6), "START": t, "END": t + pandas.Timedelta(days=6)})
    uet = movra.usest2uet(log, "U", "E", "TS", interval)
    movra.uet2ute(uet, "U", "E", "TS")
    movra.unit_date(pandas.DataFrame({"CONS_NO": log.CONS_NO, "OCCUR_TIME": [ts[0] for ts in log.TS]}))


@pytest.fixture
def collector():
    """The collector's switch and thresholds as the test found them, given back after it."""
    state = gc.isenabled(), gc.get_threshold()
    yield state
    gc.set_threshold(*state[1])
    (gc.enable if state[0] else gc.disable)()


class TestCollector:
    """The event functions pause the cyclic collector while they build their
    results; whatever the caller sets meanwhile, from any thread, is kept."""

    @pytest.mark.parametrize("last", [False, True], ids=["disabled-last", "enabled-last"])
    def test_settings_made_while_several_threads_call_are_kept(self, collector, last, capsys):
        toggled = threading.Event()

        def work(i):
            if i == 0:  # the caller, switching the collector as the others call
                for k in range(200):
                    (gc.enable if k % 2 else gc.disable)()
                    time.sleep(0.0005)
                (gc.enable if last else gc.disable)()
                toggled.set()
                return
            while not toggled.is_set():
                event_calls()
            event_calls()

        run_threads(work)
        assert gc.isenabled() is last
        assert gc.get_threshold() == collector[1]

    @pytest.mark.parametrize("change", ["disable", "enable", "threshold"])
    def test_a_change_made_during_a_call_is_kept_and_the_pause_holds(self, collector, monkeypatch, change):
        (gc.disable if change == "enable" else gc.enable)()
        collections = []
        gc.callbacks.append(lambda phase, info: collections.append(info))

        def progress(rows):  # runs inside the call, while the kernel cuts windows
            kept = [[] for _ in range(5 * max(gc.get_threshold()[0], 700))]
            assert collections == [], "the collector ran during an event call"
            del kept
            if change == "threshold":
                gc.set_threshold(555)
            else:
                getattr(gc, change)()
            yield from rows

        monkeypatch.setattr(movra, "tqdm", progress)
        try:
            event_calls()
        finally:
            gc.callbacks.pop()
        assert gc.isenabled() is (change != "disable")
        assert gc.get_threshold()[0] == (555 if change == "threshold" else collector[1][0])


class TestReentrancy:
    def test_an_aggfunc_that_itself_calls_fe4ts(self, capsys):
        df, w = readings(), windows()
        inner = []

        def aggfunc(s):
            inner.append(movra.fe4ts(df, *ARGS, w.iloc[:1]).shape)
            return numpy.nansum(s)

        got = movra.fe4ts(df.iloc[:120], *ARGS, w.iloc[:2], False, aggfunc)
        expected = movra.fe4ts(df.iloc[:120], *ARGS, w.iloc[:2])
        pandas.testing.assert_frame_equal(got, expected)
        assert inner and len(set(inner)) == 1

    @pytest.mark.parametrize("name", ["numpy", "pandas", "tqdm"])
    def test_rebinding_a_library_between_calls(self, name, monkeypatch, capsys):
        df, w = readings(), windows()
        expected = movra.fe4ts(df, *ARGS, w)
        monkeypatch.setattr(movra, name, None)
        with pytest.raises(Exception) as excinfo:
            movra.fe4ts(df, *ARGS, w)
        assert isinstance(excinfo.value, (TypeError, AttributeError))
        monkeypatch.undo()
        pandas.testing.assert_frame_equal(movra.fe4ts(df, *ARGS, w), expected)

    def test_a_quiet_tqdm_is_used_when_rebound(self, monkeypatch, capsys):
        seen = []
        monkeypatch.setattr(movra, "tqdm", lambda it: seen.append(1) or it)
        movra.fe4ts(readings(), *ARGS, windows())
        assert seen == [1]
        assert capsys.readouterr().err == ""

    def test_clean_topk_recurses_through_the_rebound_name(self, monkeypatch):
        calls = []
        original = movra.clean_topk

        def spy(v, k, *rest):
            calls.append(k)
            return original(v, k, *rest)

        monkeypatch.setattr(movra, "clean_topk", spy)
        v = numpy.array([1.0, 5000.0, 2.0, 1.0])
        assert original(v, 3) is v
        assert calls == [2, 1]
        monkeypatch.setattr(movra, "clean_topk", None)
        with pytest.raises(TypeError):
            original(numpy.ones(3), 2)
