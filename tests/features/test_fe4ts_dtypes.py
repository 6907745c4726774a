"""fe4ts over the column types of real tables: the kernel against the pandas path.

Readings and windows are drawn as plain numbers and then given the column
types a database, a CSV parsed with dates or a parquet file would have
(integer and float widths, pandas' nullable and Arrow-backed types, text,
categoricals, datetimes with and without a zone, periods).  The pandas path,
forced by an aggfunc the kernel does not recognise, is the oracle: both
calls give the same table (labels, column order, dtypes, missing values) or
the same exception, and the kernel takes every call it is meant to take.
When it declines a call of more than 1,000 windows, fe4ts says why.
"""
import itertools
import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import movra
import fe4ts_calls as calls
from fe4ts_calls import assert_same_outcome, fe4ts, outcome

try:
    import pyarrow  # noqa: F401
    ARROW = True
except ImportError:
    ARROW = False

PANDAS3 = int(pd.__version__.split(".")[0]) >= 3
# pandas 2.2 asks pyarrow for the biased skewness: its Arrow-backed readings stay on the pandas path.
ARROW_KERNEL = ARROW and PANDAS3
PANDAS, NUMPY = (tuple(int(p) for p in m.__version__.split(".")[:2]) for m in (pd, np))
# The pairings whose float32 arithmetic the kernel reproduces.
FLOAT32_RULES = (PANDAS >= (3, 1) and NUMPY >= (2, 0)) or (PANDAS[0] == 2 and NUMPY < (2, 0))
DAY0 = pd.Timestamp("2020-01-01")

# pandas 2.2 warns about its observed=False default for categorical groups
pytestmark = pytest.mark.filterwarnings("ignore:The default of observed=False:FutureWarning")

# The aggregations the kernel recognises, and each as a lambda, which it does not.
AGGFUNCS = [np.nansum, np.sum, np.mean, np.max, np.min]


def pandas_path(aggfunc=np.nansum):
    """aggfunc as a function the kernel does not recognise, which forces the pandas path."""
    return lambda s: aggfunc(s)


# ---- the dtype matrix ------------------------------------------------------------

def dates_of(days, dtype):
    """Whole days after 2020-01-01 in a datetime dtype ("datetime64[s]", "...[ms, UTC]", "timestamp[us][pyarrow]")."""
    stamps = DAY0 + pd.to_timedelta(pd.Series(days, dtype="float64"), unit="D")
    if dtype.startswith("timestamp"):
        return stamps.astype(dtype)
    unit, _, zone = dtype[len("datetime64["):-1].partition(", ")
    stamps = stamps.astype(f"datetime64[{unit}]")
    return stamps.dt.tz_localize(zone) if zone else stamps


def as_text(codes, dtype):
    text = pd.Series(codes, dtype="float64").map({0: "mon", 1: "apr", 2: "zed", 3: "Bee"})
    if dtype == "object":
        return text.astype(object).where(text.notna(), None)
    return text.astype(dtype)


# Column types by role; each turns a column of small whole numbers (NaN: missing) into that type.
ARROW_INTEGERS = ["int64[pyarrow]", "int8[pyarrow]", "uint16[pyarrow]"]
VALUE_TYPES = ["float64", "int64", "int8", "uint16", "float32", "Float64", "Int64", "Int8", "UInt16", "Float32"] + (
    ["double[pyarrow]", "float[pyarrow]", *ARROW_INTEGERS] if ARROW else [])
TIME_TYPES = ["int64", "int16", "float64", "Int64", "float32", "datetime64[ns]", "datetime64[s]",
              "datetime64[ms, UTC]"] + (["int64[pyarrow]", "timestamp[us][pyarrow]"] if ARROW else [])
KEY_TYPES = ["int8", "float64", "Int64", "Float64", "boolean", "object", "string[python]", "category",
             "ordered", "datetime64[ns]", "period[M]"] + (["string[pyarrow]", "double[pyarrow]"] if ARROW else [])
UNIT_TYPES = ["int64", "Int64", "float64", "object", "string[python]", "category", "datetime64[s]"] + (
    ["int64[pyarrow]"] if ARROW else [])


# Categories of a categorical key: the four of the readings and two that none holds, as text or as numbers.
CATEGORIES = ["zed", "mon", "apr", "Bee", "unused", "nil"]
CATEGORY_NUMBERS = {"mon": 0, "apr": 1, "zed": 2, "Bee": 3, "unused": 7, "nil": -1}


def key_column(codes, dtype, categories=("zed", "mon", "apr", "Bee", "unused")):
    """`categories`: those of a categorical key, in their order (text) or as numbers (a list of ints); a code
    whose label is not among them is missing."""
    codes = pd.Series(codes, dtype="float64")
    if dtype in ("object", "string[python]", "string[pyarrow]"):
        return as_text(codes, dtype)
    if dtype in ("category", "ordered"):
        values = codes if categories and isinstance(categories[0], int) else as_text(codes, object)
        values = values.where(values.isin(categories), None)
        return pd.Series(pd.Categorical(values, categories=categories, ordered=dtype == "ordered"))
    if dtype == "datetime64[ns]":
        return dates_of(codes * 31, dtype)
    if dtype == "period[M]":
        return dates_of(codes * 31, "datetime64[ns]").dt.to_period("M")
    if dtype == "boolean":
        return (codes > 1).astype("boolean").where(codes.notna())
    if dtype in ("int8",):
        return codes.fillna(1).astype(dtype)
    return codes.astype(dtype)


def arrow_readings(values, dtype="float64", chunks=1, cuts=None):
    """Readings as double[pyarrow], float[pyarrow] or an Arrow integer type ("int8", "uint32"; NaN: null), in
    `chunks` even chunks, or in chunks that begin at `cuts`, as a concatenated or parquet-read table has them."""
    numbers = np.asarray(values, dtype="float32" if dtype == "float32" else "float64")
    array = pyarrow.array(numbers, from_pandas=True)
    if dtype not in ("float32", "float64"):
        array = array.cast(pyarrow.type_for_alias(dtype))
    if cuts is None:
        cuts = [len(array) * i // chunks for i in range(1, chunks)]
    bounds = [0, *cuts, len(array)]
    return pd.arrays.ArrowExtensionArray(
        pyarrow.chunked_array([array[a:b] for a, b in zip(bounds, bounds[1:])], type=array.type))


def rechunked(column, chunks):
    """An Arrow-backed column in `chunks` even chunks (any other column unchanged)."""
    if not isinstance(column.dtype, pd.ArrowDtype) or chunks == 1:
        return column
    array = column.array.__arrow_array__().combine_chunks()
    cuts = [len(array) * i // chunks for i in range(chunks + 1)]
    pieces = pyarrow.chunked_array([array[a:b] for a, b in zip(cuts, cuts[1:])], type=array.type)
    return pd.Series(pd.arrays.ArrowExtensionArray(pieces), index=column.index, name=column.name)


def unit_column(units, dtype):
    units = pd.Series(units, dtype="int64")
    if dtype in ("object", "string[python]"):
        return units.map("c{}".format).astype(dtype)
    if dtype == "category":
        return units.astype("category")
    if dtype.startswith("datetime"):
        return dates_of(units, dtype)
    return units.astype(dtype)


@st.composite
def tables(draw, value_type=None):
    """Readings and windows of plain numbers, then column types for each role (`value_type`: that of the readings)."""
    rows = []
    distinct_times = draw(st.booleans())
    for unit in draw(st.lists(st.sampled_from([1, 2, 5]), min_size=1, max_size=3, unique=True)):
        for t in draw(st.lists(st.integers(0, 20), max_size=14, unique=distinct_times)):  # gaps, duplicates
            value = draw(st.one_of(st.just(math.nan), st.integers(-4, 12).map(float)))
            rows.append((unit, t, value, draw(st.sampled_from([0, 1, 2, 3, math.nan]))))
    order = draw(st.permutations(range(len(rows))))
    raw = pd.DataFrame([rows[i] for i in order], columns=["U", "T", "V", "K"]).astype(
        {"U": "int64", "T": "int64", "V": "float64", "K": "float64"})
    windows = draw(calls.windows(["START", "END", "FORWARD_T", "BACKWARD_T", "FORWARD_R"], max_bounds=3,
                                 max_windows=3, start_end=(-1, 22), cuts=(-1, 8)))
    types = dict(value=value_type or draw(st.sampled_from(VALUE_TYPES)), time=draw(st.sampled_from(TIME_TYPES)),
                 key=draw(st.sampled_from(KEY_TYPES)), unit=draw(st.sampled_from(UNIT_TYPES)),
                 chunks=draw(st.integers(1, 3)))  # of every Arrow-backed column
    # pandas 2 groups a categorical by every category: some absent from a window or from every reading.
    categories = draw(st.lists(st.sampled_from(CATEGORIES), max_size=len(CATEGORIES), unique=True))
    types["categories"] = [CATEGORY_NUMBERS[c] for c in categories] if draw(st.booleans()) else categories
    return raw, windows, types


def typed(raw, windows, types):
    """The readings and windows in the drawn column types."""
    df = raw.copy()
    if types["value"] in ("float32", "float[pyarrow]"):
        # Fractions, some near 100: float32 sums, means and deviations round.
        df["V"] = (raw["V"] * 0.37 + 100 * (raw["V"] > 4)).astype("float32")
        if types["value"] == "float[pyarrow]":
            df["V"] = arrow_readings(df["V"], "float32")
    elif types["value"] == "double[pyarrow]":
        df["V"] = arrow_readings(raw["V"])
    elif types["value"] in ARROW_INTEGERS:
        v = raw["V"].abs() if types["value"].startswith("u") else raw["V"]
        df["V"] = arrow_readings(v, types["value"].split("[")[0])
    elif types["value"] in ("float64", "Float64", "Float32"):
        df["V"] = raw["V"].astype(types["value"])
    elif types["value"] in ("Int64", "Int8"):
        df["V"] = raw["V"].astype(types["value"])  # NaN readings become pd.NA
    elif types["value"] == "UInt16":
        df["V"] = raw["V"].abs().astype(types["value"])
    else:
        df["V"] = raw["V"].fillna(0).abs().astype(types["value"])
    time = types["time"]
    windows = windows.copy()
    if time.startswith(("datetime", "timestamp")):
        df["T"] = dates_of(raw["T"], time)
        stamp = "datetime64[ms, UTC]" if "UTC" in time else "datetime64[ns]"
        for b in ("START", "END"):
            if b in windows:
                windows[b] = dates_of(windows[b], stamp)
        for b in ("FORWARD_T", "BACKWARD_T"):
            if b in windows:
                windows[b] = pd.to_timedelta(windows[b], unit="D")
    else:
        df["T"] = raw["T"].astype(time)
    df["K"] = key_column(raw["K"], types["key"], types["categories"])
    df["U"] = unit_column(raw["U"], types["unit"])
    windows["U"] = unit_column(windows["U"], types["unit"])
    return df.apply(rechunked, chunks=types.get("chunks", 1)), windows


def kernel_expected(raw, windows, types, lag, del_t_maximin, aggfunc=np.nansum):
    """Whether the kernel is meant to take the call."""
    if types["key"] == "object" and del_t_maximin and not PANDAS3 and raw["K"].isna().any():
        return False  # pandas 2 cannot take the smallest and largest of text with missing values
    if types["value"] in ("float32", "float[pyarrow]") and (not FLOAT32_RULES or raw.duplicated(["U", "T"]).any()):
        return False  # float32 sums follow the order of equal times, which pandas' sort does not keep
    if types["value"] == "Float32":
        return False  # pandas computes in float32
    nullable = types["value"] in ("Float64", "Int64", "Int8", "UInt16")
    if nullable and (aggfunc is not np.nansum or types["time"].startswith(("datetime", "timestamp"))):
        return False  # object period series / records of mixed cell types
    arrow = types["value"] in ("double[pyarrow]", "float[pyarrow]", *ARROW_INTEGERS)
    if arrow and not ARROW_KERNEL:
        return False
    if arrow and not (aggfunc is np.nansum or types["value"] != "float[pyarrow]" and (
            aggfunc is np.sum or not raw["V"].isna().any())):
        return False  # pyarrow's period aggregates, or pd.NA periods
    if types["value"] == "uint16[pyarrow]" and lag:
        return False  # pyarrow raises on unsigned differences below 0
    if types["value"] == "UInt16" and lag:
        return False  # differences wrap around in 16 bits
    if types["time"].startswith(("datetime", "timestamp")) and lag:
        return False
    if types["time"] in ("float32", "float64") and lag and types["value"] == "uint16":
        return False  # unsigned differences may wrap where times are missing
    if types["time"] == "float32" and lag:
        return False
    if "FORWARD_R" in windows and raw.duplicated(["U", "T"]).any():
        return False  # a positional cut may split equal times
    return True


class TestDtypeMatrix:
    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(drawn=tables(), lag=st.sampled_from([[], [1], [2, 1]]), del_t_maximin=st.booleans(),
           aggfunc=st.sampled_from(AGGFUNCS))
    def test_kernel_against_pandas_path(self, spy, drawn, lag, del_t_maximin, aggfunc):
        self.check(spy, drawn, lag, del_t_maximin, aggfunc)

    # float32 readings take pandas' float32 arithmetic, step by step: drawn more often.
    @settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(drawn=tables(value_type="float32"), lag=st.sampled_from([[], [1], [2, 1]]), del_t_maximin=st.booleans(),
           aggfunc=st.sampled_from(AGGFUNCS))
    def test_float32_readings(self, spy, drawn, lag, del_t_maximin, aggfunc):
        self.check(spy, drawn, lag, del_t_maximin, aggfunc)

    @staticmethod
    def check(spy, drawn, lag, del_t_maximin, aggfunc):
        raw, windows, types = drawn
        df, interval = typed(raw, windows, types)
        df_before, interval_before = df.copy(), interval.copy()
        kw = dict(tactic=["T", "K"], periodic=["K"], lag=lag, del_t_maximin=del_t_maximin)
        calls = spy.calls
        native = outcome(df, interval, aggfunc=aggfunc, **kw)
        if kernel_expected(raw, windows, types, lag, del_t_maximin, aggfunc) and not isinstance(native, tuple):
            assert spy.calls == calls, "the call took the pandas path"
        assert_same_outcome(native, outcome(df, interval, aggfunc=pandas_path(aggfunc), **kw))
        pd.testing.assert_frame_equal(df, df_before)
        pd.testing.assert_frame_equal(interval, interval_before)


class TestFloat32Arithmetic:
    """float32 readings of many significant bits, where every float32 step of pandas shows."""

    @staticmethod
    def readings(rng, rows, times, keys, scales=(-2, 3)):
        v = (rng.normal(100, 30, rows) * 10.0 ** rng.integers(*scales, rows)).astype("float32")
        v[rng.random(rows) < 0.15] = np.nan
        t = np.concatenate([rng.permutation(times)[:n] for n in (rows // 2, rows - rows // 2)])
        return pd.DataFrame({"U": np.repeat([1, 2], [rows // 2, rows - rows // 2]), "T": t, "V": v,
                             "K": rng.integers(0, keys, rows)}).sample(frac=1, random_state=rng)

    @settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 60), lag=st.sampled_from([[], [1], [3, 1]]),
           del_t_maximin=st.booleans(), aggfunc=st.sampled_from(AGGFUNCS), categorical=st.booleans())
    def test_against_pandas_path(self, spy, seed, rows, lag, del_t_maximin, aggfunc, categorical):
        df = self.readings(np.random.default_rng(seed), rows, times=2 * rows, keys=4)
        if categorical:
            # An ordered categorical key with a category no reading holds: pandas 2 aggregates its empty
            # periods too, and their missing maxima, minima and means make the aggregates float64.
            df["K"] = pd.Categorical(df["K"], categories=[4, 3, 2, 1, 0], ordered=True)
        interval = pd.DataFrame({"U": [1, 2, 1], "START": [0, 0, rows // 2]})
        self.check(spy, df, interval, ["T", "K"], lag, del_t_maximin, aggfunc, expect_kernel=FLOAT32_RULES)

    @pytest.mark.parametrize("aggfunc", [np.nansum, np.mean])
    def test_sums_beyond_numpys_buffer(self, spy, aggfunc):
        # More than 8192 values in one sum (one period of K, the profile, the lag differences,
        # the periods of T): numpy buffers some reductions in blocks of that size.
        # Values of one magnitude: the order of float32 additions shows.
        df = self.readings(np.random.default_rng(9), 2 * 9000, times=9000, keys=1, scales=(0, 1))
        interval = pd.DataFrame({"U": [1]})
        self.check(spy, df, interval, ["T", "K"], [1], False, aggfunc, expect_kernel=FLOAT32_RULES)

    @staticmethod
    def check(spy, df, interval, tactic, lag, del_t_maximin, aggfunc, expect_kernel):
        kw = dict(tactic=tactic, periodic=["K"], lag=lag, del_t_maximin=del_t_maximin)
        calls = spy.calls
        native = fe4ts(df, interval, aggfunc=aggfunc, **kw)
        if expect_kernel:
            assert spy.calls == calls, "the call took the pandas path"
        assert_same_outcome(native, fe4ts(df, interval, aggfunc=pandas_path(aggfunc), **kw))


@pytest.mark.skipif(not ARROW, reason="needs pyarrow")
class TestArrowArithmetic:
    """Arrow-backed readings of many significant bits, some null: pandas hands a profile group's and the
    lag differences' statistics to pyarrow, whose sums and moments are not numpy's.  The kernel's agree to
    the last bit, and every cell has the pandas path's type (Python floats, pd.NA, numpy's ints)."""

    @staticmethod
    def readings(rng, rows, keys, dtype="float64"):
        v = rng.normal(100, 30, rows) * 10.0 ** rng.integers(-2, 3, rows)
        v[rng.random(rows) < 0.15] = np.nan
        df = pd.DataFrame({"U": np.repeat([1, 2], [rows // 2, rows - rows // 2]), "T": rng.permutation(2 * rows)[:rows],
                           "K": rng.integers(0, keys, rows), "V": v}).sample(frac=1, random_state=rng)
        return df.assign(V=arrow_readings(df["V"], dtype))

    @settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 60), lag=st.sampled_from([[], [1], [3, 1]]),
           del_t_maximin=st.booleans(), aggfunc=st.sampled_from(AGGFUNCS), dtype=st.sampled_from(["float64", "float32"]))
    def test_against_pandas_path(self, spy, seed, rows, lag, del_t_maximin, aggfunc, dtype):
        df = self.readings(np.random.default_rng(seed), rows, keys=4, dtype=dtype)
        interval = pd.DataFrame({"U": [1, 2, 1, 7], "START": [0, 0, rows, 0]})
        self.check(spy, df, interval, lag, del_t_maximin, aggfunc)

    @pytest.mark.parametrize("dtype", ["float64", "float32"])
    def test_long_windows(self, spy, dtype):
        # Hundreds of readings a profile group and a thousand lag differences: many blocks of pyarrow's sums.
        df = self.readings(np.random.default_rng(11), 2 * 1500, keys=3, dtype=dtype)
        self.check(spy, df, pd.DataFrame({"U": [1, 2]}), [1], False, np.nansum)

    @pytest.mark.skipif(not ARROW_KERNEL, reason="pandas 2.2 describes Arrow-backed readings otherwise")
    def test_zero_denominators(self, spy):
        # Zero readings and a null: the records hold pd.NA, so their columns hold Python floats, and the
        # ratios divide 0.0 by 0.0 there.  Both paths answer as over float64 columns, quietly.
        df = pd.DataFrame({"U": 1, "T": range(6), "K": [0, 1] * 3, "V": [0.0, 0.0, np.nan, 0.0, 0.0, 0.0]})
        kw = dict(tactic=["T", "K"], periodic=["K"], lag=[1])
        want = fe4ts(df, pd.DataFrame({"U": [1]}), **kw)
        for dtype in ("float64", "float32"):  # double[pyarrow], float[pyarrow]
            arrow = df.assign(V=arrow_readings(df["V"], dtype))
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                calls = spy.calls
                native = fe4ts(arrow, pd.DataFrame({"U": [1]}), **kw)
                assert spy.calls == calls, f"the {dtype} readings took the pandas path"
                oracle = fe4ts(arrow, pd.DataFrame({"U": [1]}), aggfunc=pandas_path(np.nansum), **kw)
            assert_same_outcome(native, oracle)
            ratios = [c for c in want.columns if "/" in c or c.endswith("_CV")]
            assert native[ratios].astype(float).equals(want[ratios].astype(float)), dtype

    @staticmethod
    def check(spy, df, interval, lag, del_t_maximin, aggfunc):
        kw = dict(tactic=["T", "K"], periodic=["K"], lag=lag, del_t_maximin=del_t_maximin, aggfunc=aggfunc)
        calls = spy.calls
        native = outcome(df, interval, **kw)
        double = df["V"].dtype == "double[pyarrow]"
        if ARROW_KERNEL and ((aggfunc is np.nansum and (double or FLOAT32_RULES)) or (
                double and (aggfunc is np.sum or not df["V"].isna().any()))):
            assert spy.calls == calls, "the call took the pandas path"
        assert_identical(native, outcome(df, interval, **dict(kw, aggfunc=pandas_path(aggfunc))), lag)


def assert_identical(native, oracle, lag, tactic=("T", "K"), value="V"):
    """The same table cell by cell, to the last bit and in type (or the same exception)."""
    if isinstance(oracle, tuple) or isinstance(native, tuple):
        assert isinstance(native, tuple) and native == oracle  # a derived ratio over Python floats may divide by 0
        return
    assert native.columns.tolist() == oracle.columns.tolist()
    pd.testing.assert_series_equal(native.dtypes, oracle.dtypes)
    # The period block's skewness and kurtosis and the autocorrelation are numpy's and pandas', which the
    # kernel reproduces to a few units in the last place (of the moments, near 0).
    loose = {f"{value}_{t}_{s}" for t in tactic for s in ("SKEW", "KURT")} | {f"{value}_DIFF_{l}_ACOR" for l in lag}
    for label in native.columns:
        for a, b in zip(native[label].tolist(), oracle[label].tolist()):
            assert type(a) is type(b), (label, a, b)
            if label in loose and isinstance(a, float) and a == a:
                assert a == pytest.approx(b, rel=1e-12, abs=1e-14), label
            else:
                assert a is b or a == b or (a != a and b != b), (label, a, b)


@pytest.mark.skipif(not ARROW, reason="needs pyarrow")
class TestArrowChunks:
    """Arrow readings in several chunks, as a concatenated or parquet-read table holds them, floats and
    integers of every width.  pandas hands pyarrow a window's readings in their chunks where it copies rather
    than takes them out of the table (one unit, readings in order, time bounds that drop none, a positional
    cut), and a group's where it finds the group in place; pyarrow then sums and takes the moments chunk by
    chunk and merges them.  Anywhere else the readings reach it in one chunk."""

    TYPES = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint32"]

    @staticmethod
    def readings(rng, rows, dtype, cuts, ties, layout, keys, dates):
        if dtype.startswith(("int", "uint")):
            top = 60 if dtype.endswith("8") else 3000  # int8 differences stay within int8
            v = rng.integers(0 if dtype.startswith("u") else -top, top, rows).astype("float64")
        else:
            v = rng.normal(100, 30, rows) * 10.0 ** rng.integers(-2, 3, rows)
        v[rng.random(rows) < 0.15] = np.nan
        t = np.cumsum(rng.integers(0 if ties else 1, 3, rows))
        k = rng.integers(0, 3, rows).astype("float64")
        if keys != "shuffled":
            k = np.sort(k)  # groups in place
        if keys == "missing first":
            k[: rows // 3] = np.nan
        df = pd.DataFrame({"U": 1, "T": t, "K": k, "V": v})
        if layout == "two units":
            df = pd.concat([df, df.assign(U=2)], ignore_index=True)
        elif layout == "shuffled":
            df = df.sample(frac=1, random_state=rng).reset_index(drop=True)
        if dates:  # a timestamp[us][pyarrow] axis in chunks of its own
            df["T"] = rechunked(dates_of(df["T"], "timestamp[us][pyarrow]"), 2)
        return df.assign(V=arrow_readings(df["V"], dtype, cuts=cuts))

    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(seed=st.integers(0, 2**32 - 1), rows=st.integers(1, 50), dtype=st.sampled_from(TYPES),
           cuts=st.lists(st.integers(1, 99), max_size=4, unique=True), ties=st.booleans(),
           layout=st.sampled_from(["one unit in order", "two units", "shuffled"]),
           keys=st.sampled_from(["in place", "missing first", "shuffled"]), lag=st.sampled_from([[], [1], [3, 1]]),
           del_t_maximin=st.booleans(), aggfunc=st.sampled_from(AGGFUNCS), dates=st.booleans())
    def test_against_pandas_path(self, spy, seed, rows, dtype, cuts, ties, layout, keys, lag, del_t_maximin, aggfunc,
                                 dates):
        float32 = dtype == "float32"
        # Sums follow the order of equal times, which pandas' sort keeps only where it finds them in order
        # (float32 sums are declined there).
        ties = ties and not float32 and layout != "shuffled"
        lag = [] if dates else lag  # the kernel shifts no datetime axis
        rng = np.random.default_rng(seed)
        total = rows * (2 if layout == "two units" else 1)
        df = self.readings(rng, rows, dtype, sorted(c for c in cuts if c < total), ties, layout, keys, dates)
        t0, day = df["T"].min(), pd.Timedelta(days=1) if dates else 1
        # All readings (copied), some dropped by a time bound (taken), and positional slices (copied); a
        # positional cut among equal times is the pandas path's alone.
        interval = pd.DataFrame({"U": [1, 1, 1, 1, 9], "START": [t0, t0 + 2 * day, t0, t0 - 5 * day, t0]})
        if not ties:
            interval["FORWARD_R"] = [rows, rows, max(1, rows // 2), 3, 1]
        kw = dict(tactic=["T", "K"], periodic=["K"], lag=lag, del_t_maximin=del_t_maximin, aggfunc=aggfunc)
        calls = spy.calls
        native = outcome(df, interval, **kw)
        nulls = df["V"].isna().any()
        if float32:
            expected = aggfunc is np.nansum and FLOAT32_RULES
        else:
            expected = not (dtype.startswith("u") and lag) and (aggfunc in (np.nansum, np.sum) or not nulls)
        if expected and ARROW_KERNEL:
            assert spy.calls == calls, "the call took the pandas path"
        assert_identical(native, outcome(df, interval, **dict(kw, aggfunc=pandas_path(aggfunc))), lag)


@pytest.mark.skipif(not ARROW, reason="needs pyarrow")
class TestParquetTables:
    """Whole tables written to parquet in row groups that cut across consumers, periods and weeks, and read
    back with dtype_backend="pyarrow": every column arrives in Arrow chunks (int64, large_string,
    timestamp[us], double).  The table of one consumer keeps its chunks in every window that takes all of its
    readings."""

    @staticmethod
    def table(path, consumers, value, text_units):
        rng = np.random.default_rng(consumers)
        days = 60
        df = pd.DataFrame({"CONS_NO": np.repeat(np.arange(consumers), days), "DAY": np.tile(np.arange(days), consumers)})
        kwh = rng.normal(10, 3, len(df)) * 10.0 ** rng.integers(-1, 2, len(df))
        kwh[rng.random(len(df)) < 0.1] = np.nan
        if value != "double":  # whole numbers, within an int8's differences
            kwh = np.clip(np.round(kwh), -60, 60) if value == "int8" else np.round(kwh * 100)
        df["KWH"] = arrow_readings(kwh, "float64" if value == "double" else value)
        df["WEEKDAY"] = df["DAY"] % 7
        df["MONTH"] = df["DAY"] // 30
        df["DATA_DATE"] = DAY0 + pd.to_timedelta(df["DAY"], unit="D")
        if text_units:
            df["CONS_NO"] = df["CONS_NO"].map("C{:04d}".format)
        df.to_parquet(path, row_group_size=17)
        return pd.read_parquet(path, dtype_backend="pyarrow")

    @pytest.mark.parametrize("consumers, value, text_units", [
        (3, "double", False), (1, "double", False), (3, "int64", True), (1, "int32", False), (1, "int8", False)])
    @pytest.mark.parametrize("aggfunc", [np.nansum, np.sum])
    def test_round_trip(self, spy, tmp_path, consumers, value, text_units, aggfunc):
        df = self.table(tmp_path / "readings.parquet", consumers, value, text_units)
        assert df["KWH"].array.__arrow_array__().num_chunks > 1
        units = df["CONS_NO"].unique().tolist()
        interval = pd.DataFrame({"CONS_NO": units * 3, "START": [0] * len(units) + [5] * 2 * len(units),
                                 "FORWARD_R": [60] * 2 * len(units) + [40] * len(units)})
        for tactic, lag in ((["DAY", "MONTH"], [1, 7]), (["DATA_DATE", "WEEKDAY"], [])):
            windows = interval if tactic[0] == "DAY" else interval.drop(columns="START")
            kw = dict(unit="CONS_NO", value="KWH", tactic=tactic, periodic=["WEEKDAY"], lag=lag, aggfunc=aggfunc)
            calls = spy.calls
            native = outcome(df, windows, **kw)
            assert spy.calls == calls or not ARROW_KERNEL, "the call took the pandas path"
            oracle = outcome(df, windows, **dict(kw, aggfunc=pandas_path(aggfunc)))
            assert_identical(native, oracle, lag, tactic, value="KWH")


# ---- what fe4ts says when the kernel declines a large call ---------------------------

def small():
    return pd.DataFrame({"U": [1, 1, 1, 2], "T": [0, 1, 2, 0], "V": [1.0, 2.0, 3.0, 4.0], "K": [0, 1, 0, 1]})


def many(n=1001, **columns):
    return pd.DataFrame({"U": np.resize([1, 2], n), **columns})


DECLINES = [
    # (change to the readings or the call, what the warning names)
    (dict(aggfunc=np.nanmean), r"aggfunc <function nanmean.*numpy\.nansum \(the default\)"),
    (dict(df=lambda d: d.assign(T=[0, 1, 1, 0]).astype({"V": "float32"})),
     r"value column 'V' \(float32\) has readings of a window at equal times.*astype\(\"float64\"\)"),
    (dict(df=lambda d: d.astype({"V": "Float64"}), aggfunc=np.mean),
     r"value column 'V' \(Float64\) aggregated by <function mean.*pd\.NA.*numpy\.nansum"),
    (dict(df=lambda d: d.astype({"V": "Float32"})), r"value column 'V' \(Float32\).*float32"),
    (dict(df=lambda d: d.astype({"V": "UInt8"}), lag=[1]), r"value column 'V' \(UInt8\) is unsigned"),
    (dict(df=lambda d: d.assign(V=pd.array([1.0, np.inf, None, 4.0], dtype="Float64"))),
     r"value column 'V' \(Float64\) holds NaN or infinite values besides pd\.NA"),
    (dict(df=lambda d: d.assign(V=d["V"].astype("Int64"), T=DAY0 + pd.to_timedelta(d["T"], unit="D"))),
     r"value column 'V' \(Int64\) on a datetime axis"),
    (dict(df=lambda d: d.astype({"V": "uint8"}), lag=[0]), r"value column 'V' \(uint8\).*lag 0"),
    (dict(df=lambda d: d.assign(T=d["T"].astype("Int64").where(d["T"] > 0))), r"time column 'T' \(Int64\).*missing"),
    (dict(df=lambda d: d.assign(T=DAY0 + pd.to_timedelta(d["T"], unit="D")), lag=[1]),
     r"time column 'T' \(datetime64\[.*lags"),
    (dict(df=lambda d: d.assign(T=d["T"].astype("uint8")), lag=[1]), r"time column 'T' \(uint8\).*wrap"),
    (dict(df=lambda d: d.assign(T=d["T"].astype(str))), r"time column 'T' \(.*not a number or datetime"),
    (dict(df=lambda d: d.assign(K=d["K"].astype(object).where(d["K"] > 0, "x"))),
     r"period column 'K' \(object\) holds mixed"),
    (dict(df=lambda d: d.assign(K=d["K"].astype("category")), del_t_maximin=True),
     r"period column 'K' \(category\) is unordered"),
    (dict(df=lambda d: d.assign(U=d["U"].astype("float32"))), r"unit column 'U' \(float32\)"),
    (dict(interval=lambda i: i.assign(START="soon")), r"window bound 'soon'"),
    (dict(interval=lambda i: i.assign(FORWARD_R=1.0)), r"FORWARD_R 1\.0 is not an int"),
    (dict(df=lambda d: d.assign(T=[0, 1, 1, 0]), interval=lambda i: i.assign(FORWARD_R=1)),
     r"cut falls between readings of equal time"),
    (dict(tqdm=lambda it: it), r"tqdm is rebound"),
    (dict(df=lambda d: pd.concat([d, d[["K"]]], axis=1)), r"repeated column labels"),
    (dict(df=lambda d: d.assign(T=[0, 1, 2**60, 0]), interval=lambda i: i.assign(START=0.5)),
     r"time column 'T' holds times beyond 2\*\*53"),
] + ([
    (dict(df=lambda d: d.astype({"V": "double[pyarrow]"}), patch=(pd.Series, "kurt", lambda s: 0.0)),
     r"value column 'V' \(double\[pyarrow\]\) (is|cannot be) described by pandas"),
    (dict(df=lambda d: d.astype({"V": "bool[pyarrow]"})), r"value column 'V' \(bool\[pyarrow\]\) is an Arrow type"),
    (dict(df=lambda d: d.assign(T=(DAY0 + pd.to_timedelta(d["T"], unit="D")).dt.date.astype("date32[pyarrow]"))),
     r"time column 'T' \(date32\[day\]\[pyarrow\]\) holds dates"),
] if ARROW else []) + ([
    (dict(df=lambda d: d.assign(V=arrow_readings(d["V"], "int16", chunks=2))),
     r"value column 'V' \(int16\[pyarrow\]\) (is|cannot be) described by pandas 2\."),
] if ARROW and not ARROW_KERNEL else []) + ([
    # Where pandas describes Arrow-backed readings as the kernel does.
    (dict(df=lambda d: d.assign(V=pd.array([1.0, None, 3.0, 4.0], dtype="double[pyarrow]")), aggfunc=np.mean),
     r"value column 'V' \(double\[pyarrow\]\) aggregated by <function mean.*all missing pd\.NA"),
    # One unit in order: the chunks reach pyarrow, in a pandas that keeps them where the kernel expects.
    (dict(df=lambda d: d.assign(U=1, T=range(4), V=arrow_readings(d["V"], chunks=2)),
          patch=(pd.DataFrame, "sort_values", lambda frame, *a, **k: frame.take(np.arange(len(frame))[::-1])[::-1])),
     r"value column 'V' \(double\[pyarrow\]\) is held in Arrow chunks, which pandas .* otherwise than the kernel"),
    (dict(df=lambda d: d.astype({"V": "uint8[pyarrow]"}), lag=[1]),
     r"value column 'V' \(uint8\[pyarrow\]\) is unsigned, and pyarrow raises"),
    (dict(df=lambda d: d.assign(V=pd.array([1, 2**60, 3, None], dtype="int64[pyarrow]"))),
     r"value column 'V' \(int64\[pyarrow\]\) holds integers too large"),
    (dict(df=lambda d: d.astype({"V": "float[pyarrow]"}), aggfunc=np.max),
     r"value column 'V' \(float\[pyarrow\]\) aggregated by <function max.*float64 period series"),
    (dict(df=lambda d: d.assign(T=[0, 1, 1, 0]).astype({"V": "float[pyarrow]"})),
     r"value column 'V' \(float\[pyarrow\]\) has readings of a window at equal times"),
    (dict(df=lambda d: d.assign(V=pd.arrays.ArrowExtensionArray(pyarrow.array([1.0, np.nan, None, 4.0])))),
     r"value column 'V' \(double\[pyarrow\]\) holds NaN or infinite values besides nulls"),
    (dict(df=lambda d: d.assign(V=pd.array([1.0, -0.0, 3.0, 4.0], dtype="double[pyarrow]"))),
     r"value column 'V' \(double\[pyarrow\]\) holds negative zeros"),
    (dict(df=lambda d: d.astype({"V": "double[pyarrow]"}).assign(T=DAY0 + pd.to_timedelta(d["T"], unit="D")), lag=[1]),
     r"time column 'T' \(datetime64\[.*\]\) is a datetime axis with lags"),
] if ARROW_KERNEL else [])


class TestDeclineWarning:
    @pytest.mark.parametrize("change, reason", DECLINES)
    def test_each_reason_is_named(self, monkeypatch, change, reason):
        change = dict(change)
        df, interval = small(), many()
        if "df" in change:
            df = change.pop("df")(df)
        if "interval" in change:
            interval = change.pop("interval")(interval)
        if "tqdm" in change:
            monkeypatch.setattr(movra, "tqdm", change.pop("tqdm"))
        if "patch" in change:  # pandas described otherwise
            monkeypatch.setattr(*change.pop("patch"))
        kw = dict(tactic=["T", "K"], periodic=["K"], **change)
        with warnings.catch_warnings():
            # The warning, made an error, ends the call before the pandas path runs.
            warnings.simplefilter("error", UserWarning)
            warnings.filterwarnings("ignore", "The default of observed=False", FutureWarning)
            with pytest.raises(UserWarning, match=reason) as info:
                fe4ts(df, interval, **kw)
        assert "1001 windows on the pandas path" in str(info.value)

    def test_one_warning_and_only_above_1000_windows(self, monkeypatch):
        # A rebound tqdm that yields two windows keeps the pandas path short.
        monkeypatch.setattr(movra, "tqdm", lambda it: itertools.islice(it, 2))
        for n, warned in [(1000, 0), (1001, 1)]:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                ftrs = fe4ts(small(), many(n))
            assert len([w for w in caught if w.category is UserWarning]) == warned
            assert ftrs["U"].tolist() == [1, 2]
