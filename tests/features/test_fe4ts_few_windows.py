"""A few windows over a big table: fe4ts looks at their readings alone.

The pandas path selects each window's readings by its unit and never looks
at the others, so what the other readings hold changes neither its table nor
the error it raises.  When the windows read a small share of the table, the
kernel checks and converts their readings only.  Each poison below puts into
some units' readings something that makes the kernel decline the call when
it looks at the whole table (a test checks that it does); windows of other
units must still run on the kernel, and every call, over poisoned units or
not, must give the pandas path's table or its error.
"""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fe4ts_calls import assert_same_outcome, fe4ts, outcome, pandas_path

try:
    import pyarrow
    ARROW = True
except ImportError:
    ARROW = False
PANDAS3 = int(pd.__version__.split(".")[0]) >= 3

# 60 units of 12 readings: windows of up to 5 units read at most 60 of the
# 720 readings, under an eighth.
UNITS, DAYS = 60, 12


def table(shuffled):
    rng = np.random.default_rng(3)
    n = UNITS * DAYS
    df = pd.DataFrame({"U": np.repeat(np.arange(UNITS), DAYS), "T": np.tile(np.arange(DAYS), UNITS),
                       "V": rng.integers(-40, 80, n) / 8})
    df.loc[rng.random(n) < 0.08, "V"] = np.nan
    df["K"], df["P"] = df["T"] // 4, df["T"] % 3
    if shuffled:
        df = df.take(rng.permutation(n)).reset_index(drop=True)
    return df


def text_keys(df, poisoned, bad):
    keys = df["K"].map("k{}".format).astype(object)
    keys[poisoned] = bad(int(poisoned.sum()))
    return df.assign(K=keys)


def dates(df, poisoned):
    times = pd.Timestamp("2021-03-01") + pd.to_timedelta(df["T"], unit="D")
    times[poisoned] = pd.NaT
    return df.assign(T=times)


# name: (the readings poisoned where `poisoned` is true, the call's arguments)
POISONS = {
    "integer readings too large for exact sums": (
        lambda df, poisoned: df.assign(V=np.where(poisoned, 2**60, df["V"].fillna(0) * 8).astype("int64")), {}),
    "nullable readings holding infinity": (
        lambda df, poisoned: df.assign(V=df["V"].where(~poisoned, np.inf).astype("Float64")), {}),
    "nullable times holding pd.NA": (
        lambda df, poisoned: df.assign(T=df["T"].astype("Int64").mask(poisoned)), dict(lag=[1])),
    "datetimes holding NaT": (dates, dict(lag=[])),
    "times beyond 2**53 under a float lag": (
        lambda df, poisoned: df.assign(T=np.where(poisoned, 2**60 + df["T"], df["T"])), dict(lag=[2.0])),
    "text keys holding a number": (
        lambda df, poisoned: text_keys(df, poisoned, lambda k: [7] * k), {}),
    "text keys missing as None and as NaN": (
        lambda df, poisoned: text_keys(df, poisoned, lambda k: [None, np.nan] * (k // 2) + [None] * (k % 2)), {}),
    "a periodic value of these units only": (
        lambda df, poisoned: df.assign(P=np.where(poisoned, 99, df["P"])), {}),
}
if ARROW and PANDAS3:
    POISONS["Arrow readings holding NaN"] = (
        lambda df, poisoned: df.assign(V=pd.arrays.ArrowExtensionArray(
            pyarrow.array(np.where(poisoned, np.nan, df["V"].fillna(1.0))))), {})

# Poisons that the kernel takes on the whole table: they test the derived
# columns, which read the whole table's periodic columns.
TAKEN_WHOLE = {"a periodic value of these units only"}


def call_arguments(poison):
    kw = dict(tactic=["T", "K"], periodic=["P", "K"], lag=[1, 3])
    kw.update(POISONS[poison][1])
    return kw


def poisoned_table(poison, shuffled, units):
    df = table(shuffled)
    return POISONS[poison][0](df, df["U"].isin(units).to_numpy())


@pytest.mark.parametrize("poison", POISONS)
def test_the_poison_makes_the_whole_table_decline(spy, poison):
    df = poisoned_table(poison, False, [4])
    calls = spy.calls
    fe4ts(df, pd.DataFrame({"U": range(UNITS)}), **call_arguments(poison))
    assert (spy.calls == calls) == (poison in TAKEN_WHOLE)


@pytest.mark.parametrize("poison", POISONS)
@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_a_few_windows_read_their_units_alone(spy, poison, data):
    shuffled = data.draw(st.booleans(), label="shuffled")
    poisoned = data.draw(st.sets(st.integers(0, UNITS - 1), min_size=1, max_size=8), label="poisoned")
    units = data.draw(st.lists(st.integers(0, UNITS - 1) | st.just(UNITS + 5), min_size=1, max_size=5),
                      label="units")
    df = poisoned_table(poison, shuffled, sorted(poisoned))
    interval = pd.DataFrame({"U": units})
    if data.draw(st.booleans(), label="bounded"):
        interval["START"] = data.draw(st.lists(st.integers(-1, DAYS), min_size=len(units), max_size=len(units)))
        interval["END"] = interval["START"] + data.draw(st.integers(0, DAYS))
        if poison == "datetimes holding NaT":
            interval[["START", "END"]] = pd.Timestamp("2021-03-01") + pd.to_timedelta(
                interval[["START", "END"]].stack(), unit="D").unstack()
    kw = call_arguments(poison)
    calls = spy.calls
    native = outcome(df, interval, **kw)
    if not poisoned & set(units):
        assert spy.calls == calls, "the call took the pandas path"
    assert_same_outcome(native, outcome(df, interval, aggfunc=pandas_path, **kw))


@pytest.mark.parametrize("shuffled", [False, True], ids=["in order", "shuffled"])
def test_a_window_of_no_unit_among_many(spy, shuffled):
    # The windows read no reading at all: every record is empty, and the
    # derived columns still name every periodic value of the table.
    df = table(shuffled)
    interval = pd.DataFrame({"U": [UNITS + 1, -3, math.nan]})
    kw = dict(tactic=["T", "K"], periodic=["P"], lag=[1])
    calls = spy.calls
    native = fe4ts(df, interval, **kw)
    assert spy.calls == calls
    assert_same_outcome(native, fe4ts(df, interval, aggfunc=pandas_path, **kw))
