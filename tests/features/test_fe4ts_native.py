"""fe4ts on the native kernel against the pandas path.

The pandas path is the oracle: the same call with an aggfunc the kernel does
not recognise (a lambda around numpy.nansum) takes it.  Every comparison is
of whole feature tables: labels, column order, row order, dtypes and the
missing-value pattern exactly, values to a relative 1e-9 (and an absolute
1e-12 for results that cancel to zero).
"""
import math
import os
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import movra
import fe4ts_calls as calls
from fe4ts_calls import assert_same, assert_same_outcome, fe4ts, outcome, pandas_path

pytestmark = pytest.mark.filterwarnings("error::FutureWarning", "error::DeprecationWarning")


def both(df, interval, spy=None, expect_kernel=True, **kw):
    """Runs the kernel and the pandas path on copies; checks the inputs stay untouched."""
    df_before, interval_before = df.copy(), interval.copy()
    calls = spy.calls if spy else 0
    native = fe4ts(df, interval, **kw)
    if spy is not None and expect_kernel:
        assert spy.calls == calls, "the call took the pandas path"
    oracle = fe4ts(df, interval, aggfunc=pandas_path, **kw)
    pd.testing.assert_frame_equal(df, df_before)
    pd.testing.assert_frame_equal(interval, interval_before)
    return native, oracle


# ---- random readings and windows ------------------------------------------------

# Readings are multiples of 1/8: their sums and differences are exact, so
# results do not depend on the order in which pandas' (unstable) sort leaves
# readings of equal time, an order neither path can be asked to reproduce.
VALUES = st.one_of(st.just(0.0), st.just(math.nan), st.integers(-4, 6).map(float),
                   st.integers(-400, 400).map(lambda i: i / 8))


@st.composite
def readings(draw):
    float_time = draw(st.booleans())
    rows = []
    for unit in draw(st.lists(st.sampled_from([1, 2, 5]), min_size=1, max_size=3, unique=True)):
        n = draw(st.integers(0, 18))
        times = draw(st.lists(st.integers(0, 20), min_size=n, max_size=n))  # gaps and duplicates
        for t in times:
            time = math.nan if float_time and draw(st.integers(0, 12)) == 0 else t
            rows.append((unit, time, draw(VALUES), draw(st.integers(0, 3)),
                         draw(st.sampled_from([0.5, 1.0, 2.0, math.nan])), draw(st.booleans())))
    order = draw(st.permutations(range(len(rows))))
    df = pd.DataFrame([rows[i] for i in order], columns=["U", "T", "V", "WD", "F", "B"])
    df = df.astype({"U": "int64", "V": "float64", "WD": "int64", "F": "float64", "B": "bool"})
    df["T"] = df["T"].astype("float64" if float_time else "int64")
    df["W"] = df["T"] // 7
    return df


def windows():
    return calls.windows(["START", "END", "FORWARD_T", "BACKWARD_T", "FORWARD_R", "BACKWARD_R"], max_bounds=4,
                         max_windows=5, start_end=(-2, 22), cuts=(-3, 12))


@st.composite
def settings_(draw):
    keys = ["T", "W", "WD", "F", "B"]
    tactic = ["T"] + draw(st.lists(st.sampled_from(keys), max_size=2))     # repeats allowed
    periodic = draw(st.lists(st.sampled_from(keys[1:]), max_size=2))
    lag = draw(st.lists(st.sampled_from([1, 2, 7, 0, 1.0]), max_size=3))
    return dict(tactic=tactic, periodic=periodic, lag=lag, del_t_maximin=draw(st.booleans()))


def ties_under_cut(df, interval):
    """Whether a positional cut could meet equal times (the kernel may decline)."""
    if not {"FORWARD_R", "BACKWARD_R"} & set(interval.columns):
        return False
    return df.dropna(subset=["T"]).duplicated(["U", "T"]).any()


class TestAgainstPandasPath:
    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(df=readings(), interval=windows(), kw=settings_())
    def test_random_readings_and_windows(self, spy, df, interval, kw):
        calls = spy.calls
        native = outcome(df, interval, **kw)
        took_kernel = spy.calls == calls
        assert took_kernel or ties_under_cut(df, interval)
        assert_same_outcome(native, outcome(df, interval, aggfunc=pandas_path, **kw))

    @settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(df=readings(), kw=settings_())
    def test_whole_units_as_windows(self, spy, df, kw):
        interval = pd.DataFrame({"U": [1, 2, 5, 9]})
        calls = spy.calls
        native = outcome(df, interval, **kw)
        # Windows without bounds cut nothing: no tie can make the kernel decline.
        assert spy.calls == calls, "the call took the pandas path"
        assert_same_outcome(native, outcome(df, interval, aggfunc=pandas_path, **kw))

    def test_longer_series(self, spy):
        # Windows of hundreds of readings exercise the pairwise sums and
        # selections beyond their small-size paths.
        rng = np.random.default_rng(4)
        n = 700
        df = pd.DataFrame({"U": np.repeat([1, 2], n), "T": np.tile(np.arange(n), 2),
                           "V": np.round(rng.gamma(2.0, 3.0, 2 * n), 2)})
        df.loc[rng.random(2 * n) < 0.05, "V"] = np.nan
        df.loc[rng.random(2 * n) < 0.05, "V"] = 0.0
        df["W"], df["WD"] = df["T"] // 7, (df["T"] + 3) % 7
        df = df.sample(frac=1.0, random_state=1)
        interval = pd.DataFrame({"U": [1, 2, 1], "START": [0, 10, 300], "END": [n, 650, 520]})
        assert_same(*both(df, interval, spy, tactic=["T", "W"], periodic=["WD"], lag=[1, 7, 30]))

    @pytest.mark.parametrize("values", [[5.0] * 8, [0.0] * 8, [1e-8, 2e-8, 4e-8, 3e-8, 1e-8, 5e-8, 2e-8, 9e-8]])
    def test_constant_and_tiny_series(self, spy, values):
        # Zero and near-zero spread: pandas' own small-moment rules decide.
        df = pd.DataFrame({"U": 1, "T": range(8), "V": values, "WD": [0, 1] * 4})
        interval = pd.DataFrame({"U": [1]})
        assert_same(*both(df, interval, spy, periodic=["WD"], lag=[1, 2]))


class TestThreads:
    """The kernel shares the windows out among MOVRA_NUM_THREADS threads (read at every call)."""

    @settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(df=readings(), interval=windows(), kw=settings_(), copies=st.integers(1, 40))
    def test_same_bits_on_any_number_of_threads(self, monkeypatch, df, interval, kw, copies):
        interval = pd.concat([interval] * copies, ignore_index=True)
        results = []
        for threads in ("1", "2", "3"):
            monkeypatch.setenv("MOVRA_NUM_THREADS", threads)
            results.append(outcome(df, interval, **kw))
        for other in results[1:]:
            if isinstance(results[0], tuple):
                assert other == results[0]
            else:
                pd.testing.assert_frame_equal(other, results[0], check_exact=True)

    @pytest.mark.parametrize("setting", ["0", "-2", "two", "1.5", "100000"])
    def test_a_bad_thread_count_is_refused(self, monkeypatch, setting):
        monkeypatch.setenv("MOVRA_NUM_THREADS", setting)
        df = pd.DataFrame({"U": [1, 1], "T": [0, 1], "V": [1.0, 2.0]})
        with pytest.raises(ValueError, match="MOVRA_NUM_THREADS"):
            fe4ts(df, pd.DataFrame({"U": [1]}))


class TestInputTypes:
    def base(self):
        return pd.DataFrame({"U": [3, 3, 3, 3, 4, 4], "T": [0, 1, 2, 4, 0, 1],
                             "V": [1.0, 2.0, np.nan, 8.0, 3.0, 0.0], "K": [0, 1, 0, 1, 0, 0]})

    @pytest.mark.parametrize("change", [
        dict(V="int64"), dict(V="int32"), dict(T="int32"), dict(T="float64"),
        dict(K="float32"), dict(K="bool"), dict(K="uint16"), dict(U="int16"), dict(U="bool"),
    ])
    def test_numeric_column_types(self, spy, change):
        df = self.base().fillna(0.0).astype(change)
        interval = pd.DataFrame({"U": [3, 4] if change.get("U") != "bool" else [True, False]})
        native, oracle = both(df, interval, spy, tactic=["T", "K"], periodic=["K"], lag=[1, 2.0])
        assert_same(native, oracle)

    @pytest.mark.parametrize("interval", [
        pd.DataFrame({"U": [3.0, np.nan, 3.5]}),                     # float units: NaN and fractions match nothing
        pd.DataFrame({"U": [3, 3], "START": [0.5, np.nan], "END": [3.5, 2]}),  # float bounds on integer times
        pd.DataFrame({"U": [3, 3], "START": [-np.inf, 1], "END": [np.inf, 1]}),
        pd.DataFrame({"U": [3, 4], "END": [4, 1], "FORWARD_T": [1.5, 0]}),
        pd.DataFrame({"U": [3, 3], "START": [0, 1], "BACKWARD_T": [2, -1]}),
        pd.DataFrame({"U": [3, 3, 3], "FORWARD_R": [2, 0, -1], "BACKWARD_R": [1, 5, -2]}),
    ])
    def test_window_values(self, spy, interval):
        assert_same(*both(self.base(), interval, spy, periodic=["K"], lag=[1]))

    @pytest.mark.parametrize("units, windows", [
        (["a", "a", "b", "b", "c", "c"], ["b", "a", "z", 3, None]),             # text
        ([1.0, 1.0, 2.5, 2.5, np.nan, np.nan], [1, 2.5, np.nan, True, "1"]),  # float64
        ([1, "a", 1.0, "a", None, None], ["a", 1, True, None]),                # mixed objects
    ])
    def test_units_by_value(self, spy, units, windows):
        df = self.base().assign(U=pd.Series(units, dtype=object if None in units else None))
        interval = pd.DataFrame({"U": pd.Series(windows, dtype=object)})
        assert_same(*both(df, interval, spy, tactic=["T", "K"], periodic=["K"], lag=[1]))

    def test_string_dtype_units(self, spy):
        df = self.base().assign(U=pd.Series(list("aabbcc"), dtype="string"))
        interval = pd.DataFrame({"U": pd.Series(["c", "a", "q"], dtype="string")})
        assert_same(*both(df, interval, spy, tactic=["T"], lag=[2]))

    @pytest.mark.parametrize("aggfunc", [np.sum, np.mean, np.max, np.min])
    @pytest.mark.parametrize("values", [[1.0, 2.0, np.nan, 8.0, 3.0, 0.0], [np.nan, np.nan, 1.0, -2.0, 0.0, -0.0]])
    def test_numpy_reductions_are_recognised(self, spy, aggfunc, values):
        df = self.base().assign(V=values)
        interval = pd.DataFrame({"U": [3, 4]})
        calls = spy.calls
        native = fe4ts(df, interval, tactic=["T", "K"], aggfunc=aggfunc)
        assert spy.calls == calls
        assert_same(native, fe4ts(df, interval, tactic=["T", "K"], aggfunc=lambda s: aggfunc(s)))


class TestFallback:
    """Calls the kernel does not reproduce go to the pandas path unchanged."""

    @pytest.mark.parametrize("kw, frames", [
        (dict(aggfunc=np.nanmean), None),                              # not a recognised aggregation
        (dict(lag=[0.5]), None),                                       # fractional lag on integer times
        (dict(), lambda df, iv: (df.assign(T=0).astype({"V": "float32"}), iv)),  # float32 at equal times
        (dict(aggfunc=np.median), None),                               # not the Series method: NaN propagates
        (dict(tactic=("T",)), lambda df, iv: (df, iv.assign(START=pd.Timestamp("2020-01-01")))),
        (dict(), lambda df, iv: (df, iv.assign(FORWARD_R=[1, 2]).astype({"FORWARD_R": float}))),
    ])
    def test_declined_calls(self, spy, kw, frames):
        df = pd.DataFrame({"U": [3, 3, 4], "T": [0, 1, 0], "V": [1.0, 2.0, 3.0], "K": [1, 2, 1]})
        interval = pd.DataFrame({"U": [3, 4]})
        if frames is not None:
            df, interval = frames(df, interval)
        kw = {"tactic": ["T", "K"], "periodic": ["K"], **kw}
        calls = spy.calls
        try:
            got = fe4ts(df, interval, **kw)
        except Exception as e:  # the pandas path's own error
            with pytest.raises(type(e)):
                fe4ts(df, interval, **{**kw, "aggfunc": lambda s: kw.get("aggfunc", np.nansum)(s)})
            return
        assert spy.calls > calls
        want = fe4ts(df, interval, **{**kw, "aggfunc": lambda s: kw.get("aggfunc", np.nansum)(s)})
        pd.testing.assert_frame_equal(got, want)

    def test_positional_cut_inside_equal_times(self, spy):
        df = pd.DataFrame({"U": 1, "T": [0, 1, 1, 2], "V": [1.0, 2.0, 3.0, 4.0]})
        calls = spy.calls
        fe4ts(df, pd.DataFrame({"U": [1], "FORWARD_R": [2]}))  # keeps one of the two readings at time 1
        assert spy.calls > calls
        calls = spy.calls
        fe4ts(df, pd.DataFrame({"U": [1], "FORWARD_R": [3]}))  # the tie stays whole
        assert spy.calls == calls

    def test_errors_are_the_pandas_paths(self):
        df = pd.DataFrame({"U": [1, 1], "T": [0, 1], "V": [1.0, 2.0]})
        for kw, error in [(dict(tactic=["T", "NOPE"]), KeyError), (dict(value="NOPE"), KeyError),
                          (dict(tactic=[]), IndexError)]:
            with pytest.raises(error):
                fe4ts(df, pd.DataFrame({"U": [1]}), **kw)


def long_table(units=300, days=400):
    rng = np.random.default_rng(0)
    df = pd.DataFrame({"U": np.repeat(np.arange(units), days), "T": np.tile(np.arange(days), units),
                       "V": rng.gamma(2.0, 3.0, units * days)})
    df["W"] = df["T"] // 7
    return df, pd.DataFrame({"U": np.arange(units)})


def interrupted_runs():
    """Calls fe4ts under an alarm that raises KeyboardInterrupt wherever the
    main thread is.  Run in a process of its own (see test_interrupt)."""
    df, interval = long_table()
    df_before = df.copy()
    refs = sys.getrefcount(df), sys.getrefcount(interval)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)  # again should one land where it is swallowed
        with pytest.raises(KeyboardInterrupt):
            for _ in range(50):  # until the alarm lands inside a run
                fe4ts(df, interval, tactic=["T", "W"], lag=[1, 7])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    pd.testing.assert_frame_equal(df, df_before)
    assert (sys.getrefcount(df), sys.getrefcount(interval)) == refs  # nothing kept hold of
    assert len(fe4ts(df, interval.head(3), tactic=["T"])) == 3


class TestLongRun:
    def test_progress_counts_windows(self, capsys):
        df, interval = long_table(units=1200, days=20)
        fe4ts(df, interval, tactic=["T", "W"])
        assert "1200/1200" in capsys.readouterr().err

    def test_interrupt(self):
        # The alarm may land while tqdm draws the bar, which leaves tqdm's
        # write lock held (see tests/conftest.py): any thread of the process
        # that makes a bar after that waits forever.
        here = os.path.dirname(os.path.abspath(__file__))
        path = [here, os.path.dirname(here), os.environ.get("PYTHONPATH")]
        proc = subprocess.run([sys.executable, "-c", "import test_fe4ts_native; test_fe4ts_native.interrupted_runs()"],
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, path))),
                              capture_output=True, text=True, timeout=240)
        assert proc.returncode == 0, proc.stderr[-4000:]


SPECIAL = st.sampled_from([0.0, -0.0, math.nan, 1.5, -2.0, 3.0])


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(dtype=st.sampled_from(["int8", "int64", "uint16", "uint64", "float32", "float64"]),
       values=st.lists(st.integers(-3, 3) | SPECIAL, min_size=1, max_size=10), long=st.booleans())
@example(dtype="float32", values=[1.5, 0.0, math.nan, -0.0, math.nan], long=True)
def test_profile_columns_follow_first_appearance(dtype, values, long, monkeypatch):
    """The derived profile columns come in the order of df[p].unique(), NaN once and 0.0 == -0.0,
    also when the threads search parts of a long column and a value first appears in a later part."""
    if dtype[0] in "iu":
        values = [abs(int(v)) if dtype[0] == "u" else int(v) for v in values if not math.isnan(v)] or [1]
    column = np.array(values, dtype=dtype)
    if long:
        # The first value fills the first part; the others first appear near the end.
        column = np.concatenate([np.full(150_000, column[0], dtype=dtype), column[::-1]])
    df = pd.DataFrame({"U": 1, "T": np.arange(len(column)), "P": column, "V": 1.0})
    monkeypatch.setenv("MOVRA_NUM_THREADS", "2")
    out = fe4ts(df, pd.DataFrame({"U": [1]}), periodic=["P"])
    got = [c for c in out.columns if c.startswith("V_P_") and c.endswith("_MIN/MAX")]
    assert got == [f"V_P_{v}_MIN/MAX" for v in df["P"].unique()]


@pytest.mark.parametrize("windows", ["every unit", "a few units"])
def test_each_column_is_looked_up_once_per_call(spy, monkeypatch, windows):
    """A frame's column lookup is pandas code of a few microseconds, a fixed
    cost of every call: the kernel looks each column of df and interval up
    once, also where it picks a few windows' readings out of a big table."""
    df, interval = long_table(units=300, days=400)
    df["D"] = df["T"] % 7
    interval = interval.assign(START=0, END=399)
    if windows == "a few units":
        interval = interval.iloc[:3].reset_index(drop=True)
    lookups = []
    original = pd.DataFrame.__getitem__

    def counting(frame, key):
        if frame is df or frame is interval:
            lookups.append(("df" if frame is df else "interval", key))
        return original(frame, key)

    monkeypatch.setattr(pd.DataFrame, "__getitem__", counting)
    calls = spy.calls
    movra.fe4ts(df, "U", ["T", "W"], ["D"], [2], "V", interval)
    assert spy.calls == calls, "the call took the pandas path"
    assert sorted(lookups) == sorted(set(lookups)), lookups
