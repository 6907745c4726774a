"""Which path a call took: the native kernels never group with pandas."""
import contextlib

import pandas
import pytest


class PathSpy:
    """Counts calls of pandas.DataFrame methods that only the pandas paths use
    (groupby by default; unit_date's pandas path reads rows with iterrows):
    none during a call means a native kernel took it."""

    def __init__(self, monkeypatch, methods=("groupby",)):
        self.calls = 0
        for name in methods:
            monkeypatch.setattr(pandas.DataFrame, name, self._counting(getattr(pandas.DataFrame, name)))

    def _counting(self, original):
        def counting(frame, *args, **kwargs):
            self.calls += 1
            return original(frame, *args, **kwargs)

        return counting


@contextlib.contextmanager
def pandas_path_spy(*methods):
    """A PathSpy for the calls inside the block, where a fixture cannot be
    used (inside a hypothesis test, whose examples share one fixture)."""
    with pytest.MonkeyPatch.context() as monkeypatch:
        yield PathSpy(monkeypatch, methods or ("groupby",))
