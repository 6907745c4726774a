"""movra_dask on a real cluster: two worker processes on the loopback
interface.  Every result is compared, exactly, with one call of movra's own
function over the whole table."""
import doctest
import gc
import os
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

try:
    import dask
    import dask.dataframe as dd
    import distributed

    import movra_dask
except ImportError as e:  # not installed, or a dependency that does not load here
    pytest.skip(f"dask is not usable: {e}", allow_module_level=True)

import movra  # noqa: E402
from movra_tracebacks import traceback_names  # noqa: E402

# Worker processes under the sanitizer runtime start slowly and the
# front end's Python adds nothing for it to check beyond the rest of the suite.
pytestmark = [
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="cluster tests skipped under ASan"),
    pytest.mark.filterwarnings("ignore::UserWarning"),
]

T = pd.Timestamp


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, worker_dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def readings(seed):
    """Units whose readings see different weekday keys in different
    partitions, some readings missing (a key's only readings too), and ties
    in time within a unit."""
    rng = np.random.default_rng(seed)
    frames = []
    for unit in range(1, 9):
        days = np.arange(int(rng.integers(3, 30)))
        if unit == 5:
            days = np.concatenate([days, days[:4]])  # repeated times
        kwh = rng.gamma(2.0, 3.0, len(days)).round(1)
        kwh[rng.random(len(days)) < 0.15] = np.nan
        kwh[rng.random(len(days)) < 0.05] = 0.0
        keys = (days % 3 + (3 if unit > 4 else 0)).astype(np.int64)  # {0,1,2} then {3,4,5}
        frames.append(pd.DataFrame({"CONS_NO": unit, "DAY": days, "WEEK": days // 7, "WD": keys, "KWH": kwh}))
    df = pd.concat(frames, ignore_index=True)
    df.loc[(df.CONS_NO == 6) & (df.WD == 3), "KWH"] = np.nan  # a key whose readings are all missing
    return df


def windows(seed):
    """Windows in random unit order, some empty.  Unit 5 keeps all its
    readings: a count cut through its repeated times would send the whole
    call, but not every partition, to the pandas path."""
    rng = np.random.default_rng(seed + 100)
    units = rng.permutation([1, 2, 3, 4, 5, 6, 7, 8, 9, 6, 2, 5])  # 9 has no readings
    start = rng.integers(0, 6, len(units))
    return pd.DataFrame({"CONS_NO": units, "START": start, "END": start + rng.integers(-1, 20, len(units)),
                         "FORWARD_R": np.where(units == 5, 0, rng.integers(0, 12, len(units)))})


def by_unit(df, groups):
    """A Dask frame whose partitions hold whole units, in the given groups."""
    parts = [df[df.CONS_NO.isin(g)] for g in groups]
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_delayed([dask.delayed(p) for p in parts], meta=df.iloc[:0])


ARGS = ("CONS_NO", ["DAY", "WEEK"], ["WD"], [1, 3], "KWH")


def same(got, expected):
    pd.testing.assert_frame_equal(got, expected, check_exact=True)


class TestFe4ts:
    # Seed 23 with del_t_maximin has a weekday key whose first window's
    # readings are all missing: its columns' place needs the presence probe.
    @pytest.mark.parametrize("seed, del_t_maximin", [(1, False), (23, True)])
    def test_partitions_by_unit_give_one_call_result(self, client, seed, del_t_maximin, monkeypatch):
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", 5)
        df = by_unit(readings(seed), [[5, 6, 7, 8], [3], [1, 2, 4]])
        iv = windows(seed)
        got = movra_dask.fe4ts(df, *ARGS, iv, del_t_maximin)
        assert got.npartitions > 1
        same(got.compute(), movra.fe4ts(df.compute(), *ARGS, iv, del_t_maximin))

    def test_units_straddling_partitions_are_shuffled_in_table_order(self, client):
        df = readings(3).sort_values("DAY", kind="stable").reset_index(drop=True)
        iv = windows(3)
        with dask.config.set({"dataframe.convert-string": False}):
            ddf = dd.from_pandas(df, npartitions=3, sort=False)
        same(movra_dask.fe4ts(ddf, *ARGS, iv, True).compute(), movra.fe4ts(df, *ARGS, iv, True))

    @pytest.mark.filterwarnings("ignore:Mean of empty slice:RuntimeWarning")
    def test_pandas_readings_and_the_pandas_path(self, client):
        df, iv = readings(4), windows(4).assign(FORWARD_R=lambda w: w.FORWARD_R + 2)
        same(movra_dask.fe4ts(df, *ARGS, iv, aggfunc=np.nanmean).compute(),
             movra.fe4ts(df, *ARGS, iv, aggfunc=np.nanmean))

    def test_first_window_empty_and_no_windows(self, client):
        df = by_unit(readings(5), [[1, 2], [3, 4, 5, 6, 7, 8]])
        iv = pd.DataFrame({"CONS_NO": [9, 7, 1], "START": [0, 0, 0], "END": [5, 5, 5]})
        same(movra_dask.fe4ts(df, *ARGS, iv).compute(), movra.fe4ts(df.compute(), *ARGS, iv))
        same(movra_dask.fe4ts(df, *ARGS, iv.iloc[:0]).compute(), movra.fe4ts(df.compute(), *ARGS, iv.iloc[:0]))

    def test_unit_label_that_is_also_a_record_label(self, client):
        # That label's column holds the windows' units, where records first hold it.
        label = "KWH_DAY_NB"
        df = by_unit(readings(7), [[4, 5, 6, 7, 8], [1, 2, 3]]).rename(columns={"CONS_NO": label})
        iv = windows(7).rename(columns={"CONS_NO": label})
        args = (label, *ARGS[1:])
        same(movra_dask.fe4ts(df, *args, iv).compute(), movra.fe4ts(df.compute(), *args, iv))

    def test_partition_error_reaches_caller_with_movra_traceback(self, client):
        df = by_unit(readings(6), [[1, 2, 3, 4], [5, 6, 7, 8]])
        with pytest.raises(KeyError) as excinfo:
            movra_dask.fe4ts(df, "CONS_NO", ["DAY", "NOPE"], [], [], "KWH", windows(6))
        assert "movra.fe4ts.fe" in traceback_names(excinfo)

    def test_same_parameters_and_defaults_as_movra(self):
        assert movra_dask.fe4ts.__defaults__ == movra.fe4ts.__defaults__
        assert movra_dask.fe4ts.__code__.co_varnames[:9] == (
            "df", "unit", "tactic", "periodic", "lag", "value", "interval", "del_t_maximin", "aggfunc")
        assert movra_dask.usest2uet.__code__.co_varnames[:5] == ("usest", "unit", "e", "ts", "interval")


def logged_reads(frames, tmp_path):
    """A Dask frame of these partitions, each loaded from its own file by a
    task that notes every load in `tmp_path`/reads (the workers are other
    processes), and a function giving how many times each was loaded."""
    paths = []
    for k, part in enumerate(frames):
        paths.append(str(tmp_path / f"part-{k}.pickle"))
        part.to_pickle(paths[-1])
    log = str(tmp_path / "reads")
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_delayed([dask.delayed(load_noted)(p, log) for p in paths], meta=frames[0].iloc[:0])

    def loads():
        noted = Path(log).read_text().split() if os.path.exists(log) else []
        return [noted.count(p) for p in paths]
    return ddf, loads


def load_noted(path, log):
    with open(log, "a") as f:
        f.write(path + "\n")
    return pd.read_pickle(path)


def test_a_piece_keeps_nothing_of_its_partition():
    """The records stay on the workers until the output is written; the
    partitions they came from must not stay with them."""
    import weakref
    from functools import partial

    import _movra_dask_pass

    part = readings(11)
    arrays = [weakref.ref(a if a.base is None else a.base) for a in part._mgr.arrays]
    make = partial(movra_dask._fe4ts_records, (*ARGS, *movra.fe4ts.__defaults__))
    piece = _movra_dask_pass.piece_of_partition(part, _movra_dask_pass.Windows.of(windows(11), "CONS_NO"), make,
                                                ["WD"])
    del part
    gc.collect()
    assert len(piece.positions) and [a() is None for a in arrays] == [True] * len(arrays)
    # What it does hold, Dask counts when it decides what to spill.
    from dask.sizeof import sizeof
    assert sizeof(piece) > piece.value.frame.memory_usage(deep=True).sum() + piece.positions.nbytes


def test_event_pieces_count_what_they_hold():
    from functools import partial

    import _movra_dask_pass
    from dask.sizeof import sizeof

    log, iv = event_log(4), event_windows(4)
    piece = _movra_dask_pass.piece_of_partition(log, _movra_dask_pass.Windows.of(iv, "CONS_NO"),
                                                partial(movra_dask._usest2uet_rows, "UNIT", "EV", "TS"), [])
    rows = piece.value
    assert sizeof(piece) > rows.result.memory_usage(deep=True).sum() + rows.window_of_row.nbytes


class TestOnePass:
    """Each partition is read once; a table whose units straddle partitions
    once more, for the shuffle."""

    @pytest.mark.parametrize("seed", [8, 9])
    def test_partitions_of_whole_units_are_read_once(self, client, tmp_path, seed):
        df = readings(seed)
        ddf, loads = logged_reads([df[df.CONS_NO.isin(g)] for g in ([2, 7], [1, 3, 4], [5, 6, 8])], tmp_path)
        iv = windows(seed)
        got = movra_dask.fe4ts(ddf, *ARGS, iv).compute()
        assert loads() == [1, 1, 1]
        same(got, movra.fe4ts(df, *ARGS, iv))

    def test_units_straddling_partitions_cost_one_more_pass(self, client, tmp_path):
        df = readings(10).sort_values("DAY", kind="stable").reset_index(drop=True)
        ddf, loads = logged_reads([df.iloc[a:a + 40] for a in range(0, len(df), 40)], tmp_path)
        iv = windows(10)
        got = movra_dask.fe4ts(ddf, *ARGS, iv).compute()
        assert len(loads()) > 1 and set(loads()) == {2}
        same(got, movra.fe4ts(df, *ARGS, iv))

    def test_event_log_partitions_are_read_once(self, client, tmp_path):
        log, iv = event_log(5), event_windows(5)
        ddf, loads = logged_reads([log[log.CONS_NO.isin(g)] for g in ([1, 4], [2, 3, 5, 6])], tmp_path)
        got = movra_dask.usest2uet(ddf, "UNIT", "EV", "TS", iv).compute()
        assert loads() == [1, 1]
        same_events(got, movra.usest2uet(log, "UNIT", "EV", "TS", iv), "TS")


def event_log(seed):
    rng = np.random.default_rng(seed)
    rows = []
    for unit in range(1, 7):
        for _ in range(int(rng.integers(0, 4))):
            times = [T("2020-01-01") + pd.Timedelta(days=int(d)) for d in rng.integers(0, 20, rng.integers(0, 5))]
            rows.append((unit, str(rng.choice(["a", "b", "c"])), times))
    return pd.DataFrame(rows, columns=["CONS_NO", "EV", "TS"])


def event_windows(seed):
    rng = np.random.default_rng(seed + 7)
    units = rng.permutation([1, 2, 3, 4, 5, 6, 7, 3, 1])
    start = [T("2020-01-01") + pd.Timedelta(days=int(d)) for d in rng.integers(0, 10, len(units))]
    return pd.DataFrame({"CONS_NO": units, "START": start, "END": [s + pd.Timedelta(days=8) for s in start]})


def same_events(got, expected, times):
    """Equal tables whose `times` column holds arrays, compared cell by cell."""
    same(got.drop(columns=times), expected.drop(columns=times))
    assert [list(x) for x in got[times]] == [list(x) for x in expected[times]]


def unreadable():
    raise AssertionError("a partition was computed")


class TestUsest2uet:
    @pytest.mark.parametrize("aligned", [True, False])
    def test_partitions_give_one_call_result(self, client, aligned, monkeypatch):
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", 4)
        log, iv = event_log(1), event_windows(1)
        with dask.config.set({"dataframe.convert-string": False}):
            if aligned:
                ddf = by_unit(log, [[4, 5, 6], [1, 2, 3]])
            else:
                # Rows interleaved, so that consumers straddle partitions and
                # the log is shuffled, its lists of times with it.
                log = log.iloc[np.random.default_rng(1).permutation(len(log))]
                ddf = dd.from_pandas(log, npartitions=3, sort=False)
                parts = [set(p.CONS_NO) for p in dask.compute(*ddf.to_delayed())]
                assert sum(map(len, parts)) > len(set().union(*parts))
        got = movra_dask.usest2uet(ddf, "UNIT", "EV", "TS", iv).compute()
        same_events(got, movra.usest2uet(ddf.compute(), "UNIT", "EV", "TS", iv), "TS")

    @pytest.mark.parametrize("beyond", [False, True], ids=["numbers and text", "int64 and uint64"])
    def test_partitions_that_disagree_on_a_dtype_give_one_call_result(self, client, monkeypatch, beyond):
        """Kinds that are small integers in one partition and text, or integers
        beyond int64, in the other: each partition's table has its own dtype,
        the one call's table another (uint64 for the integers, where
        concatenating the two partitions' tables gives float64)."""
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", 4)
        log, iv = event_log(3), event_windows(3)
        number = " abc".index
        log["EV"] = pd.Series([number(kind) if unit <= 3 else 2**63 + number(kind) if beyond else kind
                               for unit, kind in zip(log.CONS_NO, log.EV)], dtype=object)
        with dask.config.set({"dataframe.convert-string": False}):
            ddf = by_unit(log, [[4, 5, 6], [1, 2, 3]])
        kinds = [movra.usest2uet(part, "UNIT", "EV", "TS", iv).EV.dtype for part in dask.compute(*ddf.to_delayed())]
        assert kinds[0] != kinds[1]
        lazy, expected = movra_dask.usest2uet(ddf, "UNIT", "EV", "TS", iv), movra.usest2uet(log, "UNIT", "EV", "TS", iv)
        assert lazy.dtypes.equals(expected.dtypes)  # what the frame says before it is computed
        same_events(lazy.compute(), expected, "TS")

    def test_no_windows_and_errors(self, client):
        log = by_unit(event_log(2), [[1, 2, 3], [4, 5, 6]])
        iv = event_windows(2)
        same(movra_dask.usest2uet(log, "UNIT", "EV", "TS", iv.iloc[:0]).compute(),
             movra.usest2uet(log.compute(), "UNIT", "EV", "TS", iv.iloc[:0]))
        with pytest.raises(KeyError) as excinfo:
            movra_dask.usest2uet(log, "UNIT", "EV", "NOPE", iv)
        assert traceback_names(excinfo) == ["movra.usest2uet"]

    def test_times_turned_into_text_are_refused_before_any_task(self, client):
        # The log as a user builds it, under Dask's default string conversion.
        with dask.config.set({"dataframe.convert-string": True}):
            as_built = dd.from_pandas(event_log(3), npartitions=2)
        assert as_built.TS.dtype != object
        # The same dtypes over partitions that fail if computed: the refusal
        # comes from the dtypes alone.
        unread = dd.from_delayed([dask.delayed(unreadable)() for _ in range(2)], meta=as_built._meta,
                                 verify_meta=False)
        for log in (as_built, unread):
            with pytest.raises(TypeError, match=r"column 'TS' .* string conversion .*"
                                                r"dask\.config\.set\(\{\"dataframe\.convert-string\": False\}\)"):
                movra_dask.usest2uet(log, "UNIT", "EV", "TS", event_windows(3))

    def test_pandas_log_keeps_its_lists_under_the_string_conversion(self, client, monkeypatch):
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", 4)
        log, iv = event_log(4), event_windows(4)
        with dask.config.set({"dataframe.convert-string": True}):
            got = movra_dask.usest2uet(log, "UNIT", "EV", "TS", iv)
            assert got.npartitions > 1
            got = got.compute()
        same_events(got, movra.usest2uet(log, "UNIT", "EV", "TS", iv), "TS")


# ---- windows in any order --------------------------------------------------------------
#
# A window table rarely comes in the order of the partitions' units: users
# sort it by area, label or date.  Each partition's results then reach the
# output parts through one exchange, whose graph grows with the partitions,
# not with their square.

UNITS = 64


def many_readings(seed):
    """UNITS units of a few days each, weekday keys of their own, some readings missing."""
    rng = np.random.default_rng(seed)
    frames = []
    for unit in range(UNITS):
        days = np.arange(int(rng.integers(2, 9)))
        kwh = rng.gamma(2.0, 3.0, len(days)).round(1)
        kwh[rng.random(len(days)) < 0.1] = np.nan
        frames.append(pd.DataFrame({"CONS_NO": unit, "DAY": days, "WEEK": days // 7,
                                    "WD": (days + unit) % 4, "KWH": kwh}))
    return pd.concat(frames, ignore_index=True)


def many_events(seed):
    rng = np.random.default_rng(seed)
    rows = [(unit, kind, [T("2020-01-01") + pd.Timedelta(days=int(d)) for d in rng.integers(0, 20, rng.integers(0, 4))])
            for unit in range(UNITS) for kind in rng.choice(["a", "b", "c"], int(rng.integers(0, 4)), replace=False)]
    return pd.DataFrame(rows, columns=["CONS_NO", "EV", "TS"])


def ordered(table, order, seed):
    """A window table, sorted by unit, in another order: shuffled, by its
    START (windows sorted by date), with one window moved to the front, or
    with the units in reverse order."""
    rng = np.random.default_rng(seed)
    table = table.sort_values("CONS_NO", kind="stable").reset_index(drop=True)
    if order == "shuffled":
        rows = rng.permutation(len(table))
    elif order == "by START":
        rows = np.argsort(table["START"].to_numpy(), kind="stable")
    elif order == "one moved":
        moved = int(rng.integers(len(table) // 2, len(table)))
        rows = np.r_[moved, np.delete(np.arange(len(table)), moved)]
    else:
        rows = np.argsort(-table["CONS_NO"].to_numpy(), kind="stable")
    return table.iloc[rows].reset_index(drop=True)


def many_windows(per_unit, seed):
    rng = np.random.default_rng(seed)
    units = np.repeat(np.arange(UNITS + 2), per_unit)  # the last two units have no readings
    start = rng.integers(0, 6, len(units))
    return pd.DataFrame({"CONS_NO": units, "START": start, "END": start + rng.integers(-1, 8, len(units))})


def many_event_windows(per_unit, seed):
    table = many_windows(per_unit, seed)
    start = T("2020-01-01") + pd.to_timedelta(table.START * 2, unit="D")
    return table.assign(START=start, END=start + pd.to_timedelta(table.END.clip(0) * 2, unit="D"))


def in_partitions(table, n):
    """The table in n partitions of whole units, in unit order."""
    return by_unit(table, np.array_split(np.arange(UNITS), n))


def graph_size(frame):
    """The tasks of a frame's graph, and how many results its tasks take in
    all: a piece that every output part takes counts once per part (pieces
    kept on the cluster are results no task of the graph makes)."""
    from dask._task_spec import convert_legacy_graph

    graph = convert_legacy_graph(dict(frame.__dask_graph__()))
    return len(graph), sum(len(task.dependencies) for task in graph.values())


def fe4ts_case(order, per_unit=3, seed=1):
    """What a test needs of each function: its call on some partitions of
    the table, one call's result, and their comparison."""
    df, iv = many_readings(seed), ordered(many_windows(per_unit, seed), order, seed)
    return (lambda n: movra_dask.fe4ts(in_partitions(df, n), *ARGS, iv)), movra.fe4ts(df, *ARGS, iv), same


def usest2uet_case(order, per_unit=3, seed=1):
    log, iv = many_events(seed), ordered(many_event_windows(per_unit, seed), order, seed)
    return (lambda n: movra_dask.usest2uet(in_partitions(log, n), "UNIT", "EV", "TS", iv),
            movra.usest2uet(log, "UNIT", "EV", "TS", iv), lambda got, expected: same_events(got, expected, "TS"))


CASES = {"fe4ts": fe4ts_case, "usest2uet": usest2uet_case}


@pytest.mark.parametrize("function", list(CASES))
class TestWindowsInAnyOrder:
    @pytest.mark.parametrize("order", ["shuffled", "by START", "one moved", "units reversed"])
    @pytest.mark.parametrize("most", [7, 10**5])
    def test_one_call_result(self, client, monkeypatch, function, order, most):
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", most)
        call, expected, compare = CASES[function](order)
        got = call(3)
        compare(got.compute(), expected)
        if function == "fe4ts":
            assert max(got.map_partitions(len).compute()) <= most

    def test_graph_grows_linearly_with_the_partitions(self, client, monkeypatch, function):
        """Shuffled windows, 16 for each unit, so that every partition holds
        windows of every output part.  The output parts' count is set by the
        windows, the same for 8 and 32 partitions; the graph's tasks, and
        the results they take, grow at most as the partitions do."""
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", 256)
        call, expected, compare = CASES[function]("shuffled", per_unit=16)
        sizes, npartitions = {}, {}
        for n in (8, 32):
            got = call(n)
            sizes[n], npartitions[n] = graph_size(got), got.npartitions
            compare(got.compute(), expected)
        tasks, taken = zip(sizes[8], sizes[32])
        assert tasks[1] <= 4 * tasks[0] and taken[1] <= 4 * taken[0], sizes
        assert npartitions[8] == npartitions[32]

    def test_on_the_local_scheduler(self, monkeypatch, function):
        """Without a distributed client (hidden here, should the module's
        cluster be running) the exchange is Dask's task shuffle, on the
        threads of this process."""
        import _movra_dask_pass

        monkeypatch.setattr(_movra_dask_pass, "current_client", lambda: None)
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", 20)
        call, expected, compare = CASES[function]("shuffled")
        with dask.config.set(scheduler="threads"):
            got = call(5)
            assert got.npartitions > 1
            compare(got.compute(), expected)

    def test_windows_in_the_partitions_order_stay_where_they_are(self, client, monkeypatch, function):
        """One output part per partition, each built from its own partition's
        results (and those of windows without readings or events, which lie
        among them): no shuffle in the graph."""
        monkeypatch.setattr(movra_dask, "WINDOWS_PER_PART", 10**5)
        call, expected, compare = CASES[function]("units reversed")
        got = call(4)
        assert got.npartitions == 4
        assert not [k for k in dict(got.__dask_graph__()) if "shuffle" in str(k)]
        compare(got.compute(), expected)


def test_documented_event_log_example(client):
    """The Dask example of docs/events.md, run on the log the page builds
    before it, gives the page's own one-call result."""
    page = Path(__file__).resolve().parents[2] / "docs" / "events.md"
    text = page.read_text(encoding="utf-8")
    (block,) = [m for m in re.finditer(r"```python\n(.*?)```", text, re.S) if "movra_dask" in m.group(1)]
    session = doctest.DocTestParser().get_doctest(text, {"__name__": "events"}, page.name, str(page), 0)
    before = text.count("\n", 0, block.start())
    session.examples = [x for x in session.examples if x.lineno < before]
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    runner.run(session, out=lambda _: None, clear_globs=False)
    assert runner.failures == 0
    names = dict(session.globs)
    expected = names["uet"]
    exec(block.group(1), names)
    same_events(names["uet"], expected, "TIMES")
