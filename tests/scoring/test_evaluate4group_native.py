"""evaluate4group's kernel against its pandas path (a DataFrame subclass
takes it): the same two rates, of the same types, or the same exception."""
import warnings

import numpy
import pandas
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import movra


class PandasPath(pandas.DataFrame):
    """The kernels take plain DataFrames only: a subclass takes the pandas path."""


def outcome(data, **kw):
    try:
        rates = movra.evaluate4group(data, **kw)
    except Exception as e:  # noqa: BLE001 - the exception is the outcome compared
        return type(e), str(e)
    return rates, [type(r) for r in rates]


@st.composite
def scores(draw):
    n = draw(st.integers(0, 60))
    # Missing keys: None and NaN are apart to unique() in an object column.
    group = draw(st.lists(st.sampled_from([0, 1, 2, 3, None] if draw(st.booleans())
                                          else ["a", "b", "c", None, numpy.nan]), min_size=n, max_size=n))
    if n and draw(st.booleans()):
        group = pandas.Series(group, dtype=object)
    # Few distinct predictions: ties at the cut, with equal and with different labels.
    predict = draw(st.lists(st.sampled_from([0.1, 0.5, 0.5, 0.9, numpy.nan]), min_size=n, max_size=n))
    label = draw(st.lists(st.sampled_from([0, 0, 1, 2]), min_size=n, max_size=n))
    frame = pandas.DataFrame({"TG_NO": group, "predict": predict, "label": label})
    frame.index = draw(st.permutations(range(n)))
    label_type = draw(st.sampled_from(["int64", "float64", "int32", "bool"]))
    return frame.astype({"label": label_type}), draw(st.sampled_from([0.05, 0.2, 0.5, 1, 0, -0.3, 3]))


@settings(max_examples=60, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(scores())
def test_kernel_matches_the_pandas_path(spy, case):
    data, k = case
    before = data.copy()
    calls = spy.calls
    native = outcome(data, k=k)
    # A group column of None alone is of no key type the kernel codes.
    no_keys = data["TG_NO"].dtype == object and len(data) > 0 and data["TG_NO"].isna().all()
    assert (spy.calls == calls) != no_keys, "the call took the pandas path" if not no_keys else "the kernel took it"
    assert native == outcome(PandasPath(data), k=k)
    pandas.testing.assert_frame_equal(data, before)


def test_kernel_takes_the_call_and_sorts_only_ambiguous_groups(monkeypatch):
    sorted_groups = []
    original = pandas.DataFrame.sort_values

    def counting(frame, *args, **kwargs):
        sorted_groups.append(len(frame))
        return original(frame, *args, **kwargs)

    monkeypatch.setattr(pandas.DataFrame, "sort_values", counting)
    data = pandas.DataFrame({"TG_NO": [1] * 4 + [2] * 4, "predict": [0.9, 0.1, 0.2, 0.3, 0.5, 0.5, 0.1, 0.2],
                             "label": [1, 0, 0, 1, 1, 0, 1, 0]})
    # Group 2's top row is one of two tied at 0.5 with different labels.
    assert movra.evaluate4group(data, k=0.25) == movra.evaluate4group(PandasPath(data), k=0.25)
    assert sorted_groups[:1] == [4] and len(sorted_groups) == 3


@pytest.mark.parametrize("rows", [99999, 100000])
def test_a_large_ambiguous_group_warns_as_it_falls_back(rows):
    # One group, every prediction tied across its cut, labels that differ:
    # the kernel hands it to pandas' sort, and says so once it is large.
    data = pandas.DataFrame({"TG_NO": 1, "predict": 0.5, "label": numpy.arange(rows) % 2})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = movra.evaluate4group(data, k=0.5)
        said = [str(w.message) for w in caught if "on the pandas path" in str(w.message)]
        assert got == movra.evaluate4group(PandasPath(data), k=0.5)
    expected = (f"evaluate4group computes these {rows} rows on the pandas path, much slower than its native kernel: "
                "a group's predictions tie across its cut with different labels, which only the pandas path's sort "
                "orders")
    assert said == ([expected] if rows >= 100000 else [])
