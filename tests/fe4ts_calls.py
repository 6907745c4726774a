"""Calling fe4ts on the test tables ("U" units, "T" times, "V" readings) and
comparing what the kernel and the pandas path give."""
import numpy as np
import pandas as pd
from hypothesis import strategies as st

import movra


def pandas_path(s):
    """An aggfunc the kernel does not recognise: the call takes the pandas path."""
    return np.nansum(s)


def fe4ts(df, interval, tactic=("T",), periodic=(), lag=(), value="V", unit="U", **kw):
    return movra.fe4ts(df, unit, list(tactic), list(periodic), list(lag), value, interval, **kw)


def outcome(*args, **kw):
    """The feature table, or the exception type and message the call raised."""
    try:
        return fe4ts(*args, **kw)
    except Exception as e:
        return type(e), str(e)


def assert_same(native, oracle):
    assert native.columns.tolist() == oracle.columns.tolist()
    pd.testing.assert_frame_equal(native, oracle, check_exact=False, rtol=1e-9, atol=1e-12)


def assert_same_outcome(native, oracle):
    if isinstance(oracle, tuple) or isinstance(native, tuple):
        assert native == oracle
    else:
        assert_same(native, oracle)


@st.composite
def windows(draw, bounds, max_bounds, max_windows, start_end, cuts):
    """A window table of units 1, 2, 5 and 9 with up to `max_bounds` of the `bounds` columns: START and
    END drawn from the range `start_end`, the others from `cuts`.  FORWARD_T comes with an END and
    BACKWARD_T with a START, which they count from."""
    columns = draw(st.lists(st.sampled_from(bounds), unique=True, max_size=max_bounds))
    if "FORWARD_T" in columns and "END" not in columns:
        columns.append("END")
    if "BACKWARD_T" in columns and "START" not in columns:
        columns.append("START")
    n = draw(st.integers(1, max_windows))
    data = {"U": draw(st.lists(st.sampled_from([1, 2, 5, 9]), min_size=n, max_size=n))}
    for c in columns:
        low, high = start_end if c in ("START", "END") else cuts
        data[c] = draw(st.lists(st.integers(low, high), min_size=n, max_size=n))
    return pd.DataFrame(data)


def ratio(a, b):
    """a / b; over object cells, where Python's float division by 0.0 raises,
    the quotient numpy's float64 division gives."""
    try:
        return a / b
    except ZeroDivisionError:
        with np.errstate(divide="ignore", invalid="ignore"):
            return a / b.map(lambda y: np.float64(y) if isinstance(y, float) else y)


def plain_derived(records, value, tactic, periodic, lag):
    """fe4ts's derived columns added to `records` as a script would add them,
    one assignment at a time; `periodic` maps each periodic column to its keys."""
    out = records.copy()

    def derive(name, a, b, op):
        out[name] = op(out[a], out[b]) if a in out.columns and b in out.columns else None

    def spreads(x):
        derive(f"{x}_MIN/MAX", f"{x}_MIN", f"{x}_MAX", ratio)
        derive(f"{x}_Q3-Q1", f"{x}_Q3", f"{x}_Q1", lambda a, b: a - b)
        derive(f"{x}_CV", f"{x}_STD", f"{x}_MEAN", ratio)

    for t in tactic:
        x = f"{value}_{t}"
        spreads(x)
        derive(f"{x}_NB_NA0", f"{x}_NB_NA", f"{x}_NB_0", lambda a, b: a + b)
        derive(f"{x}_NB_0/{t}_NB", f"{x}_NB_0", f"{x}_NB", ratio)
        derive(f"{x}_NB_NA/{t}_NB", f"{x}_NB_NA", f"{x}_NB", ratio)
        derive(f"{x}_NB_NA0/{t}_NB", f"{x}_NB_NA0", f"{x}_NB", ratio)
    for p, keys in periodic.items():
        for k in keys:
            spreads(f"{value}_{p}_{k}")
    for l in lag:
        spreads(f"{value}_DIFF_{l}")
    return out
