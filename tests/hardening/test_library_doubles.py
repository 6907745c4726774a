"""numpy and pandas as a script may rebind or patch them: the native layers
point into arrays, index lists by row and write object arrays cell by cell,
so what a library hands them is checked and held, never trusted blindly.
Each case ends in the right result or a clear exception, never a crash."""
import array
import sys

import numpy
import pandas
import pytest

import movra

T, D = pandas.Timestamp, pandas.Timedelta


class NumpyDouble:
    """numpy as the native layers call it (the module's `numpy` global)."""

    def __getattr__(self, name):
        return getattr(numpy, name)


class ExportingNumpy(NumpyDouble):
    """Its contiguous arrays are array.array copies: an exporter that refuses
    to change its size while a view of it is held.  Each conversion first
    tries that on the ones made before it: the last item taken off and put
    back, which moves no memory when nothing holds a view."""

    def __init__(self, interrupt_at=None):
        self.made, self.movable = [], []
        self.interrupt_at = interrupt_at

    def ascontiguousarray(self, values, dtype):
        for earlier in self.made:
            try:
                earlier.append(earlier.pop())
                self.movable.append(earlier)
            except BufferError:
                pass
        if len(self.made) == self.interrupt_at:
            raise KeyboardInterrupt
        converted = numpy.ascontiguousarray(values, dtype=dtype)
        self.made.append(array.array("d" if converted.dtype.kind == "f" else "q", converted.tobytes()))
        return self.made[-1]


class SloppyNumpy(NumpyDouble):
    """Its empty arrays are of bytes, whatever dtype was asked for."""

    def empty(self, shape, dtype=None):
        return numpy.empty(shape, dtype="int8")


class PandasPath(pandas.DataFrame):
    """A DataFrame subclass: the kernels leave it to the pandas path."""


def scores(label):
    return pandas.DataFrame({"G": [1, 1, 2, 2, 2, 3], "P": [0.9, 0.1, 0.8, 0.7, 0.2, 0.5],
                             "L": [1, 0, label, 0, 1, 1]})


def event_log():
    log = pandas.DataFrame({"CONS_NO": [1, 1, 2], "EV": ["b", "a", "a"],
                            "TS": [[T("2026-01-01")], [T("2026-01-03"), T("2026-01-02")], [T("2026-01-02")]]})
    interval = pandas.DataFrame({"CONS_NO": [1, 2, 9], "START": T("2025-12-31"), "END": T("2026-01-06")})
    return log, interval


@pytest.mark.parametrize("path, frame, interrupt_at, conversions", [
    ("kernel", scores(1), None, 3),
    ("declined: fractional labels", scores(0.5), None, 2),
    ("interrupted", scores(1), 2, 2),
])
def test_views_are_held_while_read_and_released_on_every_path(monkeypatch, path, frame, interrupt_at, conversions):
    expected = None if interrupt_at else movra.evaluate4group(frame, "G", "P", "L", 0.5)
    fake = ExportingNumpy(interrupt_at)
    monkeypatch.setattr(movra, "numpy", fake)
    if interrupt_at:
        with pytest.raises(KeyboardInterrupt):
            movra.evaluate4group(frame, "G", "P", "L", 0.5)
    else:
        assert movra.evaluate4group(frame, "G", "P", "L", 0.5) == expected
    assert len(fake.made) == conversions
    assert fake.movable == [], f"{path}: an array was resizable while a kernel held a pointer into it"
    for made in fake.made:
        made.append(made.pop())  # every view given back
        assert sys.getrefcount(made) == 3  # fake.made, `made` and the call's argument: no reference kept


def test_arrays_not_of_the_dtype_asked_for(monkeypatch, capsys):
    series = pandas.DataFrame({"D": pandas.date_range("2026-01-01", periods=30), "K": numpy.arange(30.0)})
    expected = movra.tsdf2seq(series, "D", "K", T("2026-01-21"), 10, "post", 5)
    log, interval = event_log()
    uet = movra.usest2uet(log, "U", "EV", "TS", interval)
    monkeypatch.setattr(movra, "numpy", SloppyNumpy())
    # The kept positions are the kernel's own array; the time lists must be
    # an object array, or nothing is written into it.
    numpy.testing.assert_array_equal(movra.tsdf2seq(series, "D", "K", T("2026-01-21"), 10, "post", 5), expected)
    with pytest.raises(TypeError, match="object array"):
        movra.usest2uet(log, "U", "EV", "TS", interval)
    with pytest.raises(TypeError, match="object array"):
        movra.uet2ute(uet, "U", "EV", "TS")


def test_a_series_tolist_that_loses_a_row(monkeypatch, capsys):
    log, interval = event_log()
    calendar = pandas.DataFrame({"CONS_NO": [1, 2, 1], "OCCUR_TIME": [T("2026-01-01")] * 2 + [T("2026-03-01")]})
    tolist = pandas.Series.tolist
    monkeypatch.setattr(pandas.Series, "tolist", lambda self: tolist(self)[:-1])
    # The kernels index the rows' lists by row: they decline, and the result
    # is the pandas path's.
    pandas.testing.assert_frame_equal(movra.usest2uet(log, "U", "EV", "TS", interval),
                                      movra.usest2uet(PandasPath(log), "U", "EV", "TS", PandasPath(interval)))
    uet = movra.usest2uet(PandasPath(log), "U", "EV", "TS", PandasPath(interval))
    pandas.testing.assert_frame_equal(movra.uet2ute(pandas.DataFrame(uet), "U", "EV", "TS"),
                                      movra.uet2ute(PandasPath(uet), "U", "EV", "TS"))
    # unit_date reads the kept times back one per kept row.
    with pytest.raises(RuntimeError, match="another number of times"):
        movra.unit_date(calendar)


class MisshapenNumpy(NumpyDouble):
    """One of its functions gives back what `spoil` makes of numpy's result."""

    def __init__(self, name, spoil):
        self.name, self.spoil = name, spoil

    def __getattr__(self, name):
        real = getattr(numpy, name)
        if name != self.name:
            return real
        return lambda *args, **kw: self.spoil(real(*args, **kw))


class BackwardProbe:
    """Its astype gives a view with negative strides: the values in order,
    the memory backwards from the first."""

    def __init__(self, values):
        self.values = values[::-1]

    def astype(self, dtype):
        return self.values.astype(dtype)[::-1]


def readings_by_date():
    days = pandas.date_range("2026-01-01", periods=12)
    df = pandas.DataFrame({"CONS_NO": [1] * 12 + [2] * 12, "DAY": days.append(days),
                           "WD": [d % 3 for d in range(24)],
                           "KWH": (numpy.arange(24.0) * 0.37 + 1).astype("float32")})
    interval = pandas.DataFrame({"CONS_NO": [1, 2, 1], "START": [T("2026-01-02"), T("2026-01-01"), T("2026-01-05")],
                                 "END": [T("2026-01-10"), T("2026-01-12"), T("2026-01-05")]})
    return df, interval


@pytest.mark.parametrize("name, spoil", [
    ("full", lambda a: a[:1].astype("int8")),
    ("full", lambda a: a.astype("float32")),
    ("ascontiguousarray", lambda a: a[:-1]),
    ("ascontiguousarray", lambda a: a.astype("int8")),
    ("ascontiguousarray", lambda a: a.astype(a.dtype.newbyteorder())),
    ("ascontiguousarray", lambda a: numpy.repeat(a, 2)[::2]),
    ("ascontiguousarray", lambda a: a.reshape(1, -1)),
    ("ascontiguousarray", lambda a: array.array("b", bytes(len(a)))),
    ("unique", lambda a: a[:0].astype("int8")),
    ("add", BackwardProbe),
])
def test_fe4ts_reads_only_arrays_of_the_shape_and_type_it_asked_for(monkeypatch, capsys, spy, name, spoil):
    df, interval = readings_by_date()
    call = lambda: movra.fe4ts(df, "CONS_NO", ["DAY"], ["WD"], [], "KWH", interval)
    expected = call()
    assert spy.calls == 0, "the unspoiled call is the kernel's"
    monkeypatch.setattr(movra, "numpy", MisshapenNumpy(name, spoil))
    # Whatever the double gives back is declined (the kernel reads its own
    # copies, or the pandas path runs): the same table.
    pandas.testing.assert_frame_equal(call(), expected)
