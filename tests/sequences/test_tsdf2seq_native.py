"""tsdf2seq's native kernel against its pandas path.

The pandas path is the oracle: the kernel takes plain DataFrames only, so the
same call on a DataFrame subclass takes it.  Results are compared whole:
type, dtype, shape, writeable flag and every value.
"""
import contextlib
import datetime

import numpy
import pandas
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import movra

BASE = pandas.Timestamp("2021-03-01")
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class PandasPath(pandas.DataFrame):
    """A DataFrame subclass: the kernel leaves it to the pandas path."""


def assert_same_array(native, oracle):
    if isinstance(oracle, type):
        assert native is oracle
        return
    assert type(native) is type(oracle) is numpy.ndarray
    assert native.dtype == oracle.dtype and native.shape == oracle.shape
    assert native.flags.writeable == oracle.flags.writeable
    assert native.tolist() == oracle.tolist()


def outcome(df, **kwargs):
    try:
        return movra.tsdf2seq(df, **kwargs)
    except Exception as e:  # the same error from both paths
        return type(e)


def both_paths(df, **kwargs):
    return outcome(df, **kwargs), outcome(PandasPath(df), **kwargs)


@contextlib.contextmanager
def pandas_path_calls():
    """Counts frames sorted by pandas: none means the kernel took the call."""
    calls = [0]
    original = pandas.DataFrame.sort_values

    def counting(frame, *args, **kwargs):
        calls[0] += 1
        return original(frame, *args, **kwargs)

    pandas.DataFrame.sort_values = counting
    try:
        yield calls
    finally:
        pandas.DataFrame.sort_values = original


@st.composite
def calls(draw):
    """Unique times in random order, numbers or datetime64 of several units;
    dates between, before and after them, also finer than the column's unit."""
    n = draw(st.integers(0, 12) | st.integers(60, 150))  # longer series sort differently
    offsets = draw(st.permutations(range(-160, 160)))[:n]
    kind = draw(st.sampled_from(["int", "float", "s", "ms", "us", "ns"]))
    values = draw(st.sampled_from([numpy.arange(n) * 1.5, numpy.arange(n, dtype="int32"),
                                   numpy.arange(n) % 2 == 0, BASE + pandas.to_timedelta(numpy.arange(n), "D")]))
    at = draw(st.integers(-165, 165))
    kwargs = {"maxlen": draw(st.sampled_from([1, 3, 8, 20, -1, -3, -20, 10**30])),
              "cut": draw(st.sampled_from(["post", "pre"]))}
    if kind in ("int", "float"):
        times = numpy.array(offsets, dtype=draw(st.sampled_from(["int64", "int32", "int16"])) if kind == "int"
                            else "float64")
        kwargs["date"] = draw(st.sampled_from([None, 0, at, at + 0.5]))
    else:
        hours = numpy.array(offsets, dtype="int64") * 12
        times = (numpy.datetime64("2021-03-01T00", "h") + hours).astype(f"M8[{kind}]")
        day = BASE + pandas.Timedelta(hours=12 * at, seconds=draw(st.sampled_from([0, 0.25, -1])))
        kwargs["date"] = draw(st.sampled_from([None, day, day.to_pydatetime(), day.to_datetime64(),
                                               numpy.datetime64(day.date(), "D")]))
        kwargs["maxdays"] = draw(st.sampled_from([None, 0, 1, 3, 10]))
    df = pandas.DataFrame({"DATA_DATE": times, "KWH": values})
    return df, kwargs


@SETTINGS
@given(calls())
def test_kernel_matches_the_pandas_path(call):
    df, kwargs = call
    before = df.copy()
    with pandas_path_calls() as calls:
        native = outcome(df, **kwargs)
    oracle = outcome(PandasPath(df), **kwargs)
    assert_same_array(native, oracle)
    # Every generated call is one the kernel takes, unless the call raises or
    # compares small integers with a float (numpy 1.x rounds the float).
    narrow = df["DATA_DATE"].dtype.itemsize < 4 and isinstance(kwargs.get("date"), float)
    assert calls[0] == (1 if isinstance(oracle, type) or narrow else 0)
    pandas.testing.assert_frame_equal(df, before)


def test_declined_calls_give_the_pandas_paths_result():
    times = pandas.date_range("2021-01-01", periods=6, freq="D")[::-1]
    plain = pandas.DataFrame({"DATA_DATE": times, "KWH": numpy.arange(6.0)})
    text = plain.assign(KWH=list("abcdef"))  # object values
    aware = plain.assign(DATA_DATE=times.tz_localize("UTC"))
    missing = plain.assign(DATA_DATE=[pandas.NaT, *times[1:]])
    date = pandas.Timestamp("2021-01-04")
    for df, kwargs in [(text.astype({"KWH": object}), {"maxlen": 3}), (aware, {"date": date.tz_localize("UTC")}),
                       (missing, {"date": date, "maxdays": 2}), (plain, {"maxlen": None}),
                       (plain, {"date": datetime.date(2021, 1, 4)}), (plain, {"date": "2021-01-04"})]:
        assert_same_array(*both_paths(df, **kwargs))
