"""movra_dask's native companion, without Dask: it ships beside movra, and
the window records of parts of a window table, each part's computed on its
own, merge into the columns and cells of one call, whose table is those
records with fe4ts's derived columns."""
import math
import os

import numpy as np
import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st

import _movra_companion as companion
import fe4ts_calls as calls
import movra

ARGS = ("U", ["T", "W"], ["WD"], [1], "V")


def test_ships_beside_movra():
    assert os.path.dirname(companion.__file__) == os.path.dirname(movra.__file__)


@st.composite
def readings(draw):
    """Units 1, 2 and 5 with weekday keys of their own, some readings missing,
    now and then every reading of a key."""
    rows = []
    for unit in (1, 2, 5):
        times = draw(st.lists(st.integers(0, 20), max_size=12, unique=True))
        silent = draw(st.integers(0, 4))  # a key whose readings are all missing
        for t in times:
            key = t % 3 + unit
            missing = key == silent or draw(st.integers(0, 5)) == 0
            rows.append((unit, t, math.nan if missing else float(draw(st.integers(-8, 8))), key))
    df = pd.DataFrame(rows, columns=["U", "T", "V", "WD"]).astype({"U": "int64", "T": "int64", "WD": "int64"})
    df["W"] = df["T"] // 7
    return df


WINDOWS = calls.windows(["START", "END", "FORWARD_R"], max_bounds=3, max_windows=8, start_end=(-2, 22), cuts=(0, 6))


@settings(max_examples=60, deadline=None)
@given(df=readings(), interval=WINDOWS, owners=st.lists(st.integers(0, 2), min_size=8, max_size=8),
       aggfunc=st.sampled_from([np.nansum, calls.pandas_path]))
def test_records_of_parts_merge_into_one_call(df, interval, owners, aggfunc):
    whole, _, _ = companion.fe4ts_records(df, *ARGS, interval, False, aggfunc)
    # The one call's table: its records with the derived columns' plain formulas.
    expected = calls.plain_derived(whole, "V", ["T", "W"], {"WD": list(pd.unique(df["WD"]))}, [1])
    pd.testing.assert_frame_equal(movra.fe4ts(df, *ARGS, interval, False, aggfunc), expected)

    owner = np.array(owners[: len(interval)])
    parts, tables = [], []
    for k in range(3):
        windows = np.flatnonzero(owner == k)
        records, rows, columns = companion.fe4ts_records(df, *ARGS, interval.iloc[windows], False, aggfunc)
        parts.append((records, windows))
        tables.append((list(records.columns), [int(windows[r]) for r in rows], columns))
    names, slots, units = companion.merged_columns("U", tables)
    assert names == list(whole.columns)
    assert units == [whole.columns.get_loc("U")]
    # Each part's cells are the one call's cells of its windows, in the
    # columns the merge gives, and its unit column is the one call's.
    for (records, windows), slot in zip(parts, slots):
        for j, column in enumerate(slot):
            pd.testing.assert_series_equal(records.iloc[:, j], whole.iloc[windows, column].reset_index(drop=True),
                                           check_dtype=False, rtol=1e-12)
    # The parts' records assemble into the one call's table, derived columns
    # included, a run of windows at a time.
    pieces = [(records, windows, slot) for (records, windows), slot in zip(parts, slots)]
    unit_values = interval["U"].reset_index(drop=True)
    table = companion.fe4ts_table(pieces, names, units, unit_values, 0, len(interval), df, *ARGS)
    pd.testing.assert_frame_equal(table, expected)
    half = len(interval) // 2
    rows = companion.fe4ts_table(pieces, names, units, unit_values, half, len(interval), df, *ARGS)
    assert list(rows.index) == list(range(half, len(interval)))
    pd.testing.assert_frame_equal(rows, expected.iloc[half:], check_dtype=len(interval) - half == len(interval))


@st.composite
def event_log_and_windows(draw):
    """Consumers 1 to 3 with kinds of their own, some missing; kinds as text
    or integers (the kernel's) or floats (the pandas path's); windows over
    consumers 1 to 4, with some whose bound is not a Timestamp, which the
    kernel hands to the pandas path one at a time."""
    day = pd.Timestamp("2020-01-01")
    kind_of = draw(st.sampled_from([lambda k: "ab"[k], int, lambda k: float(k) if k else math.nan]))
    rows = [(unit, kind_of(draw(st.integers(0, 1))), [day + pd.Timedelta(days=d) for d in days])
            for unit in draw(st.lists(st.integers(1, 3), max_size=8))
            for days in [draw(st.lists(st.integers(0, 9), max_size=3))]]
    log = pd.DataFrame(rows, columns=["CONS_NO", "EV", "TS"])
    bounds = st.one_of(st.integers(0, 9).map(lambda d: day + pd.Timedelta(days=d)), st.just(pd.NaT))
    windows = pd.DataFrame(draw(st.lists(st.tuples(st.integers(1, 4), bounds, bounds), max_size=6)),
                           columns=["CONS_NO", "START", "END"])
    if len(windows) and draw(st.booleans()):
        windows["START"] = windows["START"].astype(object)
        windows.loc[0, "START"] = day.to_pydatetime()
    return log, windows


@settings(max_examples=60, deadline=None)
@given(event_log_and_windows())
def test_usest2uet_rows_say_how_many_rows_each_window_brought(drawn):
    log, windows = drawn
    expected = movra.usest2uet(log, "U", "EV", "TS", windows)
    uet, per_window = companion.usest2uet_rows(log, "U", "EV", "TS", windows)
    pd.testing.assert_frame_equal(uet, expected)
    assert per_window == [len(movra.usest2uet(log, "U", "EV", "TS", windows.iloc[[i]])) for i in range(len(windows))]
