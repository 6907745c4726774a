"""Calling fe4ts on the test tables ("U" units, "T" times, "V" readings) and
comparing what the kernel and the pandas path give."""
import numpy as np
import pandas as pd

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
