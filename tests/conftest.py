"""Fixtures shared by every area's tests."""
import pandas
import pytest


class PathSpy:
    """Counts pandas groupby calls: none during a call means a native kernel took it."""

    def __init__(self, monkeypatch):
        self.calls = 0
        original = pandas.DataFrame.groupby

        def counting(frame, *args, **kwargs):
            self.calls += 1
            return original(frame, *args, **kwargs)

        monkeypatch.setattr(pandas.DataFrame, "groupby", counting)


@pytest.fixture
def spy(monkeypatch):
    return PathSpy(monkeypatch)
