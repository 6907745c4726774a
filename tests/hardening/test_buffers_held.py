"""The arrays a native kernel reads stay acquired through the buffer protocol
for as long as it may read them, and are given back however the call ends."""
import array
import sys

import numpy
import pandas
import pytest

import movra


class ExportingNumpy:
    """numpy as the native layers call it, except that its contiguous arrays
    are array.array copies: an exporter that refuses to change its size while
    a view of it is held.  Each conversion first tries that on the ones made
    before it: the last item taken off and put back, which moves no memory
    when nothing holds a view."""

    def __init__(self, interrupt_at=None):
        self.made, self.movable = [], []
        self.interrupt_at = interrupt_at

    def __getattr__(self, name):
        return getattr(numpy, name)

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


def scores(label):
    return pandas.DataFrame({"G": [1, 1, 2, 2, 2, 3], "P": [0.9, 0.1, 0.8, 0.7, 0.2, 0.5],
                             "L": [1, 0, label, 0, 1, 1]})


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
