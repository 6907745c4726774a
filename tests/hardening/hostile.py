"""Hostile values shared by the hardening tests: everything a careless or
malicious caller could hand to a movra function."""
import datetime
import math

import numpy
import pandas


class Boom(Exception):
    """Raised by the hostile objects below."""


class RaisingLen:
    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, item):
        return 1


class RaisingEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    def __ne__(self, other):
        raise Boom("__ne__")

    __hash__ = object.__hash__


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")

    def __int__(self):
        raise Boom("__int__")


class RaisingIter:
    def __iter__(self):
        raise Boom("__iter__")

    def __len__(self):
        return 3


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class HugeLen:
    def __len__(self):
        return 2**62


def frames():
    days = pandas.date_range("2026-01-01", periods=4)
    ok = pandas.DataFrame({
        "CONS_NO": [1, 1, 2, 2], "DATA_DATE": days, "KWH": [1.0, numpy.nan, 0.0, 3.0],
        "T": [0, 1, 2, 3], "W": [0, 0, 1, 1], "OCCUR_TIME": days, "START": days, "END": days,
        "TG_NO": [1, 1, 2, 2], "predict": [0.1, 0.9, 0.5, 0.2], "label": [0, 1, 1, 0],
    })
    dup = pandas.DataFrame([[1, 2, 3]], columns=["CONS_NO", "CONS_NO", "KWH"])
    mixed = pandas.DataFrame({"CONS_NO": [1, "a", None], "KWH": ["x", 2, None], "T": [None, 1.5, "z"]})
    return [
        pandas.DataFrame(),
        ok,
        ok.iloc[:1],
        ok.iloc[:0],
        dup,
        mixed,
        ok.astype(object),
    ]


def arrays():
    out = [numpy.array(x, dtype=d) for d in
           ["bool", "int8", "uint8", "int64", "uint64", "float16", "float32", "float64", "complex128",
            "datetime64[ns]", "timedelta64[s]", "object", "U3", "S3"]
           for x in ([], [1, 0, 3])]
    out += [numpy.array([numpy.nan] * 4), numpy.array([numpy.inf, -numpy.inf, 1e308, -1e308]),
            numpy.zeros((2, 3)), numpy.array(5.0), numpy.arange(10.0)[::-2]]
    return out


def pool():
    """A list of hostile values; rebuilt for every worker process."""
    return [
        None, True, 0, 1, -1, 7, 2**63, -(2**70), 0.5, math.nan, math.inf, -math.inf,
        "", "x", "KWH", "CONS_NO", "post", "pre", "keras", "\u00fcn\u00ef\u00e7\u00f6d\u00e9", "a,b", "(", b"", b"bytes",
        bytearray(b"ab"), [], [1], [1, 2, 3], ["KWH"], ["T"], ["W"], (), (1, 2), {}, {"tag": "x"}, set(),
        object(), datetime.datetime(2026, 1, 1), pandas.Timestamp("2026-01-02"), pandas.NaT,
        datetime.timedelta(days=1), pandas.Series(dtype=float), pandas.Series([1.0, numpy.nan, 3.0]),
        pandas.Series(["a", None]), RaisingLen(), RaisingEq(), RaisingIndex(), RaisingIter(), RaisingBool(),
        HugeLen(), numpy.nansum, len, lambda x: 1 / 0,
    ] + frames() + arrays()
