"""The event functions' native kernels against their pandas paths.

The pandas path is the oracle: the kernels take plain DataFrames only, so the
same call on a DataFrame subclass takes it.  Results are compared whole:
column labels and order, index, dtypes, and every cell, the time arrays by
dtype and by the identity of the Timestamps they hold.
"""
import contextlib
import datetime
import warnings

import numpy
import pandas
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import movra
from path_spy import pandas_path_spy

T, D = pandas.Timestamp, pandas.Timedelta
BASE = T("2021-03-01")
ZONES = [None, "UTC", "Asia/Kolkata"]
SETTINGS = settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow])

pytestmark = pytest.mark.filterwarnings("ignore:.* on the pandas path:UserWarning")


class PandasPath(pandas.DataFrame):
    """A DataFrame subclass: the kernels leave it to the pandas path."""


def stamp(day, hour, zone, unit):
    t = (BASE + D(days=day, hours=hour)).as_unit(unit)
    return t.tz_localize("UTC").tz_convert(zone) if zone else t


def assert_same_frame(native, oracle):
    assert type(native) is type(oracle) is pandas.DataFrame
    assert native.columns.tolist() == oracle.columns.tolist()
    pandas.testing.assert_index_equal(native.columns, oracle.columns, exact=True)
    pandas.testing.assert_index_equal(native.index, oracle.index, exact=True)
    assert native.dtypes.tolist() == oracle.dtypes.tolist()
    for label in native.columns:
        for a, b in zip(native[label].tolist(), oracle[label].tolist()):
            if isinstance(b, numpy.ndarray):
                assert isinstance(a, numpy.ndarray) and a.dtype == b.dtype and a.shape == b.shape
                assert all(x is y for x, y in zip(a, b)), (a, b)
            elif isinstance(b, list):
                assert a == b and [type(x) for x in a] == [type(x) for x in b]
            else:
                assert type(a) is type(b) and (a == b or (a != a and b != b)), (a, b)


# ---- usest2uet and uet2ute -----------------------------------------------------

@st.composite
def event_logs(draw):
    """An event log and its windows: empty lists, duplicate and unsorted times,
    NaT, several kinds, windows with no events and units absent from the log."""
    zone = draw(st.sampled_from(ZONES))
    text_units = draw(st.booleans())
    unit = (lambda i: "c%d" % i) if text_units else (lambda i: i)
    kinds = draw(st.sampled_from([["a", "b", "c"], [3, 1, 2]]))
    day = st.integers(0, 12)

    def time():
        return st.one_of(st.builds(stamp, day, st.sampled_from([0, 12]), st.just(zone),
                                   st.sampled_from(["s", "us", "ns"])), st.just(pandas.NaT))

    rows = draw(st.lists(st.tuples(st.integers(0, 3), st.sampled_from(kinds), st.lists(time(), max_size=4)),
                         min_size=1, max_size=12))
    log = pandas.DataFrame({"CONS_NO": [unit(r[0]) for r in rows], "EV": [r[1] for r in rows],
                            "TS": [r[2] for r in rows]}, index=draw(st.permutations(range(len(rows)))))
    if not rows:
        log = log.astype({"CONS_NO": object if text_units else "int64", "EV": object})
    start = st.tuples(st.integers(-1, 8), st.sampled_from([0, 12]))
    windows = [(u, stamp(d, h, zone, "ns"), stamp(d + length, h, zone, "ns"))
               for u, (d, h), length in draw(st.lists(st.tuples(st.integers(0, 4), start, st.integers(-1, 10)),
                                                      max_size=6))]
    interval = pandas.DataFrame({"CONS_NO": [unit(w[0]) for w in windows],
                                 "START": pandas.Series([w[1] for w in windows], dtype=object),
                                 "END": pandas.Series([w[2] for w in windows], dtype=object)})
    if windows:
        interval = interval.astype({"START": interval.START.iloc[0].tz and f"datetime64[ns, {zone}]" or "M8[ns]",
                                    "END": interval.END.iloc[0].tz and f"datetime64[ns, {zone}]" or "M8[ns]"})
    return log, interval


def copies(*frames):
    return [f.copy(deep=True) for f in frames]


@SETTINGS
@given(event_logs(), st.booleans())
def test_usest2uet_and_uet2ute_match_the_pandas_path(case, rebound):
    log, interval = case
    log_before, interval_before = copies(log, interval)
    saved = movra.tqdm
    if rebound:
        # tqdm rebound to something else decides the windows by what it yields.
        movra.tqdm = lambda rows: list(rows)[::2]
    try:
        with pandas_path_spy() as spy:
            native = movra.usest2uet(log, "UNIT", "EV", "TS", interval)
        assert spy.calls == 0, "usest2uet's kernel declined"
        oracle = movra.usest2uet(PandasPath(log), "UNIT", "EV", "TS", PandasPath(interval))
    finally:
        movra.tqdm = saved
    assert_same_frame(native, oracle)
    pandas.testing.assert_frame_equal(log, log_before)
    pandas.testing.assert_frame_equal(interval, interval_before)
    assert [list(x) for x in log.TS] == [list(x) for x in log_before.TS]

    # The result is uet2ute's input: both paths again, on the same table.
    uet = native.copy()
    with pandas_path_spy() as spy:
        ute = movra.uet2ute(native, "UNIT", "EV", "TS")
    assert spy.calls == 0, "uet2ute's kernel declined"
    assert_same_frame(ute, movra.uet2ute(PandasPath(native), "UNIT", "EV", "TS"))
    assert_same_frame(native, uet)


def test_kernels_take_plain_frames(spy):
    log = pandas.DataFrame({"CONS_NO": [1, 1, 2], "EV": ["b", "a", "a"],
                            "TS": [[BASE], [BASE + D(days=2), BASE + D(days=1)], []]})
    interval = pandas.DataFrame({"CONS_NO": [1, 2, 9], "START": BASE - D(days=1), "END": BASE + D(days=5)})
    uet = movra.usest2uet(log, "U", "EV", "TS", interval)
    ute = movra.uet2ute(uet, "U", "EV", "TS")
    movra.unit_date(pandas.DataFrame({"CONS_NO": [1, 2], "OCCUR_TIME": [BASE, BASE]}))
    assert spy.calls == 0
    assert uet.TS_NB.tolist() == [2, 1, 0] and uet.TS[2].dtype == numpy.float64
    assert ute.EV.tolist() == [["b"], ["a"], ["a"]]


@pytest.mark.parametrize("zone", [None, "UTC"])
def test_uet2ute_reads_times_up_to_the_edges_of_nanoseconds(spy, zone):
    # Times without a zone and coarser than nanoseconds are read from their
    # calendar fields, others through `value`; near the ends of the range
    # that int64 nanoseconds hold the two must still agree.
    first, last = T("1677-09-21 00:12:44"), T("2262-04-11 23:47:16")
    edges = [first + D(days=d, seconds=s) for d in (0, 1, 2, 3) for s in (0, 1, 59)]
    edges += [last - D(days=d, seconds=s) for d in (0, 1, 2, 3) for s in (0, 1, 59)]
    edges += [T("1970-01-01") - D(microseconds=1), T("2000-02-29 12:34:56.789012345")]
    if zone:
        edges = [t.tz_localize(zone) for t in edges]
    cells = [[t.as_unit(unit) for t in edges[i::3]] for i in range(3) for unit in ["s", "ms", "us", "ns"]]
    uet = pandas.DataFrame({"U": [i % 2 for i in range(len(cells))], "EV": [i % 3 for i in range(len(cells))],
                            "TS": cells})
    native = movra.uet2ute(uet, "U", "EV", "TS")
    assert spy.calls == 0
    assert_same_frame(native, movra.uet2ute(PandasPath(uet), "U", "EV", "TS"))
    if not zone:
        # Just outside, in seconds: on the pandas path, which takes them.
        hour = D(hours=1).as_unit("s")
        beyond = [first.as_unit("s") - hour, last.as_unit("s") + hour]
        outside = uet.assign(TS=[ts + beyond for ts in cells])
        assert_same_frame(movra.uet2ute(outside, "U", "EV", "TS"),
                          movra.uet2ute(PandasPath(outside), "U", "EV", "TS"))


def test_windows_the_kernel_cannot_compare_take_the_pandas_step():
    log = pandas.DataFrame({"CONS_NO": [1, 2], "EV": ["a", "a"], "TS": [[BASE], []]})
    interval = pandas.DataFrame({"CONS_NO": [2, 1], "START": ["x", BASE - D(days=1)],
                                 "END": [BASE.tz_localize("UTC"), BASE + D(days=1)]})
    # Window 1 compares nothing (its consumer's list is empty), window 2 is the kernel's.
    uet = movra.usest2uet(log, "U", "EV", "TS", interval)
    assert uet.START.tolist() == ["x", BASE - D(days=1)] and uet.TS_NB.tolist() == [0, 1]
    # A zone on one side only fails as the comparison fails on the pandas path.
    with pytest.raises(TypeError):
        movra.usest2uet(log, "U", "EV", "TS", interval.iloc[[0, 1, 0]].assign(CONS_NO=[2, 1, 1]))


def test_progress_bar_has_a_total_and_a_label_unless_tqdm_is_rebound(capsys, monkeypatch):
    log = pandas.DataFrame({"CONS_NO": [1], "EV": ["a"], "TS": [[BASE]]})
    interval = pandas.DataFrame({"CONS_NO": [1, 1, 1], "START": BASE - D(days=1), "END": BASE + D(days=1)})
    for frames in [(log, interval), (PandasPath(log), PandasPath(interval))]:
        movra.usest2uet(*frames[:1], "U", "EV", "TS", frames[1])
        err = capsys.readouterr().err
        assert "usest2uet" in err and "3/3" in err
    calls = []

    def rebound(*args, **kwargs):
        calls.append((len(args), kwargs))
        return args[0]

    monkeypatch.setattr(movra, "tqdm", rebound)
    for frames in [(log, interval), (PandasPath(log), PandasPath(interval))]:
        assert movra.usest2uet(frames[0], "U", "EV", "TS", frames[1]).TS_NB.tolist() == [1, 1, 1]
    assert calls == [(1, {}), (1, {})]


# ---- unit_date -----------------------------------------------------------------

@st.composite
def calendars(draw):
    zone = draw(st.sampled_from(ZONES))
    unit = draw(st.sampled_from(["s", "ms", "us", "ns"]))
    labels = draw(st.sampled_from(["int", "counting", "text"]))
    n = draw(st.integers(1, 25))
    units = draw(st.lists(st.integers(0, 3), min_size=n, max_size=n))
    if labels == "counting":
        units = [7 + u for u in units]
        # first-seen order 7, 8, ...: a range where pandas keeps one
        seen = []
        for u in units:
            if u not in seen:
                seen.append(u)
        units = [7 + seen.index(u) for u in units]
    elif labels == "text":
        units = ["u%d" % u for u in units]
    # Days and half days around the spacing edges.
    offsets = draw(st.lists(st.integers(0, 80), min_size=n, max_size=n))
    hours = draw(st.lists(st.sampled_from([0, 12]), min_size=n, max_size=n))
    times = pandas.Series([stamp(o, h, None, "ns") for o, h in zip(offsets, hours)]).dt.as_unit(unit)
    if zone:
        times = times.dt.tz_localize("UTC").dt.tz_convert(zone)
    df = pandas.DataFrame({"CONS_NO": units, "OCCUR_TIME": times, "OTHER": 1.5})
    return df, draw(st.sampled_from([-15, 15, -1, 0, 3]))


@SETTINGS
@given(calendars())
def test_unit_date_matches_the_pandas_path(case):
    df, daysdiff = case
    before = df.copy()
    with pandas_path_spy("iterrows") as spy:
        native = movra.unit_date(df, daysdiff=daysdiff)
    assert spy.calls == 0, "unit_date's kernel declined"
    oracle = movra.unit_date(PandasPath(df), daysdiff=daysdiff)
    pandas.testing.assert_frame_equal(df, before)
    pandas.testing.assert_index_equal(native.index, oracle.index, exact=True)
    assert native.dtype == oracle.dtype and native.name == oracle.name
    for a, b in zip(native.tolist(), oracle.tolist()):
        assert a == b and [(type(x), x.unit, str(x.tz)) for x in a] == [(type(x), x.unit, str(x.tz)) for x in b]


def test_unit_date_kernel_refuses_what_it_cannot_reproduce():
    # A float daysdiff, NaT times, text times: all the pandas path's.
    df = pandas.DataFrame({"CONS_NO": [1, 1], "OCCUR_TIME": [BASE, BASE + D(days=20)]})
    assert movra.unit_date(df, daysdiff=-1.5)[1] == [BASE - D(days=1.5), BASE + D(days=18.5)]
    with pytest.raises(TypeError):
        movra.unit_date(df.assign(OCCUR_TIME=["2021-01-01", "2021-02-01"]))
    assert movra.unit_date(df.assign(OCCUR_TIME=[BASE, pandas.NaT]))[1] == [BASE - D(days=15)]


# ---- declined calls --------------------------------------------------------------

def usest2uet_call(windows):
    log = pandas.DataFrame({"CONS_NO": [1], "EV": ["a"], "TS": [1]})  # a time cell that is no list
    interval = pandas.DataFrame({"CONS_NO": [1] * windows, "START": BASE, "END": BASE})
    return movra.usest2uet(log, "U", "EV", "TS", interval)


def uet2ute_call(rows):
    uet = pandas.DataFrame({"U": [1] * rows, "EV": "a", "TS": pandas.Series([1] * rows, dtype=object)})
    return movra.uet2ute(uet, "U", "EV", "TS")


def unit_date_call(rows):
    return movra.unit_date(pandas.DataFrame({"CONS_NO": [1] * rows, "OCCUR_TIME": "2021-03-01"}))


def evaluate4group_call(rows):
    data = pandas.DataFrame({"TG_NO": 1, "predict": numpy.arange(rows) / rows, "label": numpy.arange(rows) % 2 / 2 + 0.5})
    return movra.evaluate4group(data)


def tsdf2seq_call(rows):
    return movra.tsdf2seq(pandas.DataFrame({"DATA_DATE": numpy.arange(rows), "KWH": 1.0}), maxlen=None)


# Each function's declined call (its pandas path fails or finishes at once,
# so large sizes cost little), the size from which it warns, and the reason
# the warning gives.  tsdf2seq's pandas path costs the same per call at any
# size: it never warns.
@pytest.mark.parametrize("call, warns_from, reason", [
    pytest.param(usest2uet_call, 1000, "a cell of the time column 'TS' is of type int, not a list", id="usest2uet"),
    pytest.param(uet2ute_call, 10000, "a cell of the time column 'TS' is of type int, not a list or", id="uet2ute"),
    pytest.param(unit_date_call, 10000, "the time column 'OCCUR_TIME' (", id="unit_date"),
    pytest.param(evaluate4group_call, 100000, "the label column 'label' (float64) holds fractions",
                 id="evaluate4group"),
    pytest.param(tsdf2seq_call, None, None, id="tsdf2seq"),
])
def test_a_large_declined_call_warns_naming_its_reason(call, warns_from, reason):
    function = call.__name__.removesuffix("_call")
    for size in [warns_from - 1, warns_from] if warns_from else [200000]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with contextlib.suppress(TypeError):  # what the pandas path raises on these inputs
                call(size)
        said = [w for w in caught if "on the pandas path" in str(w.message)]
        if warns_from is None or size < warns_from:
            assert said == []
            continue
        assert [w.category for w in said] == [UserWarning] and said[0].filename == __file__
        message = str(said[0].message)
        assert message.startswith(f"{function} computes these {size} ") and reason in message, message


def test_a_window_table_whose_len_fails(capsys):
    """Without a length the bar has no total; Ctrl-C while any len() runs passes."""
    log = pandas.DataFrame({"CONS_NO": [1], "EV": ["a"], "TS": [[BASE]]})
    calls, failure = [], {}

    class Unsized(PandasPath):
        def __len__(self):
            calls.append(len(calls) + 1)
            if calls[-1] in failure or "every" in failure:
                raise failure.get(calls[-1]) or failure["every"]
            return super().__len__()

    interval = Unsized({"CONS_NO": [1, 1], "START": BASE - D(days=1), "END": BASE + D(days=1)})
    assert movra.usest2uet(log, "U", "EV", "TS", interval).TS_NB.tolist() == [1, 1]
    asked = list(calls)
    for k in asked:
        calls.clear()
        failure.clear()
        failure[k] = KeyboardInterrupt
        with pytest.raises(KeyboardInterrupt):
            movra.usest2uet(log, "U", "EV", "TS", interval)
    failure.clear()
    failure["every"] = TypeError("no length")
    capsys.readouterr()
    assert movra.usest2uet(log, "U", "EV", "TS", interval).TS_NB.tolist() == [1, 1]
    err = capsys.readouterr().err
    assert "2it" in err and "/2" not in err
