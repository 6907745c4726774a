"""Reference and memory leaks: every function called many times, on success
and on failure paths, leaves its arguments' reference counts unchanged and
the process's memory flat."""
import gc
import os
import sys
import tempfile

import numpy
import pandas
import pytest

import movra
from fuzz_worker import call as call_quietly

CHEAP = int(os.environ.get("MOVRA_LEAK_CALLS", "2000"))
EXPENSIVE = max(CHEAP // 10, 20)


def readings():
    days = numpy.arange(40)
    return pandas.DataFrame({
        "CONS_NO": numpy.repeat([1, 2], 20), "T": days, "W": days // 7, "D": days % 7,
        "KWH": numpy.where(days % 9 == 0, numpy.nan, days % 5 * 1.5),
    })


def windows():
    return pandas.DataFrame({"CONS_NO": [1, 2, 3], "START": [0, 20, 0], "END": [19, 35, 5]})


def event_log():
    t = pandas.Timestamp("2026-01-01")
    day = pandas.Timedelta(days=1)
    return pandas.DataFrame({"CONS_NO": [1, 1, 2], "E": ["a", "b", "a"],
                             "TS": [[t, t + day], [t + 2 * day], [t + 3 * day]]})


def event_windows():
    return pandas.DataFrame({"CONS_NO": [1, 2], "START": [pandas.Timestamp("2025-12-01")] * 2,
                             "END": [pandas.Timestamp("2026-02-01")] * 2})


TMP = tempfile.mkdtemp(prefix="movra-leaks-")
CSV = os.path.join(TMP, "a.csv")
with open(CSV, "w", encoding="utf-8") as fh:
    fh.write("a,b\n1,2\n3\n")
MODEL = os.path.join(TMP, "m.pkl")
pandas.to_pickle({"tag": "other", "mapping": [1, 2]}, MODEL)
UET = movra_uet = None


def cases():
    """(id, function, args factory, calls) for a success and a failure of each function."""
    scores = pandas.DataFrame({"TG_NO": [1] * 10 + [2] * 10, "predict": numpy.linspace(0, 1, 20),
                               "label": [0, 1] * 10})
    uet = pandas.DataFrame({"U": [1, 1], "E": ["a", "b"], "T": [numpy.array([1, 2]), numpy.array([2])]})
    calendar = pandas.DataFrame({"CONS_NO": [1, 1, 2], "OCCUR_TIME": pandas.to_datetime(
        ["2026-01-01", "2026-03-01", "2026-01-05"])})
    seq = pandas.DataFrame({"DATA_DATE": pandas.date_range("2026-01-01", periods=30), "KWH": numpy.arange(30.0)})
    return [
        ("gen_ngrams", movra.gen_ngrams, lambda: ("abcdef", 3), CHEAP),
        ("gen_ngrams-fail", movra.gen_ngrams, lambda: (object(), 2), CHEAP),
        ("md5", movra.md5, lambda: (b"abc",), CHEAP),
        ("md5-fail", movra.md5, lambda: ("text",), CHEAP),
        ("clean_topk", movra.clean_topk, lambda: (numpy.array([1.0, 5000.0, 2.0, numpy.nan]),), CHEAP),
        ("clean_topk-fail", movra.clean_topk, lambda: (numpy.ones(3), object()), CHEAP),
        ("evaluate4group", movra.evaluate4group, lambda: (scores, "TG_NO", "predict", "label", 0.5), EXPENSIVE),
        ("evaluate4group-fail", movra.evaluate4group, lambda: (scores, "missing"), EXPENSIVE),
        ("unit_date", movra.unit_date, lambda: (calendar,), EXPENSIVE),
        ("unit_date-fail", movra.unit_date, lambda: (calendar, "CONS_NO", "nope"), EXPENSIVE),
        ("tsdf2seq", movra.tsdf2seq, lambda: (seq, "DATA_DATE", "KWH", pandas.Timestamp("2026-01-20"), 10, "post", 5),
         EXPENSIVE),
        ("tsdf2seq-fail", movra.tsdf2seq, lambda: (seq, "nope"), EXPENSIVE),
        ("pad_seq", movra.pad_seq, lambda: (numpy.arange(5.0), 9), CHEAP),
        ("pad_seq-fail", movra.pad_seq, lambda: (5,), CHEAP),
        ("Q3_Q1", movra.Q3_Q1, lambda: ([1.0, 2.0, numpy.nan, 4.0],), CHEAP),
        ("Q3_Q1-nan", movra.Q3_Q1, lambda: ([object()],), CHEAP),
        ("exp_w_sum", movra.exp_w_sum, lambda: ([1, 3, 2],), CHEAP),
        ("exp_w_sum-fail", movra.exp_w_sum, lambda: ([1, "a"],), CHEAP),
        ("searchfiles", movra.searchfiles, lambda: (TMP, r"csv$"), CHEAP),
        ("searchfiles-fail", movra.searchfiles, lambda: (os.path.join(TMP, "missing"), "x"), CHEAP),
        ("load_model", movra.load_model, lambda: (MODEL,), CHEAP),
        ("load_model-fail", movra.load_model, lambda: (CSV,), CHEAP),
        ("is_done-missing", movra.is_done, lambda: (os.path.join(TMP, "missing"),), CHEAP),
        ("is_done-fail", movra.is_done, lambda: (object(),), CHEAP),
        ("fe4ts", movra.fe4ts, lambda: (readings(), "CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", windows()), 100),
        ("fe4ts-fail", movra.fe4ts, lambda: (readings(), "CONS_NO", ["T"], ["nope"], [1], "KWH", windows()), 100),
        ("datesStr2datesLst", movra.datesStr2datesLst, lambda: ("2026-01-01,bad,2026-02-01",), EXPENSIVE),
        ("datesStr2datesLst-fail", movra.datesStr2datesLst, lambda: (None,), CHEAP),
        ("usest2uet", movra.usest2uet, lambda: (event_log(), "U", "E", "TS", event_windows()), EXPENSIVE),
        ("usest2uet-fail", movra.usest2uet, lambda: (event_log(), "U", "E", "nope", event_windows()), EXPENSIVE),
        ("uet2ute", movra.uet2ute, lambda: (uet, "U", "E", "T"), EXPENSIVE),
        ("uet2ute-fail", movra.uet2ute, lambda: (uet, "U", "E", "nope"), EXPENSIVE),
        ("csv2json", movra.csv2json, lambda: (CSV,), CHEAP),
        ("csv2json-fail", movra.csv2json, lambda: (CSV, "no-such-codec"), CHEAP),
    ]


# AddressSanitizer holds freed memory in quarantine, so resident memory says
# nothing there; reference counts still do.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_kib():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.parametrize("name, fn, make_args, calls", cases(), ids=[c[0] for c in cases()])
def test_no_reference_or_memory_leak(name, fn, make_args, calls, capsys):
    args = make_args()

    def call():
        call_quietly(fn, args)

    for _ in range(max(calls // 10, 5)):  # warm caches, interned names, pandas' lazy imports
        call()
    gc.collect()
    # Shared singletons (None, small ints, interned text) are referenced from
    # everywhere; only the caller's own objects tell anything.
    args_owned = [a for a in args if sys.getrefcount(a) < 100]
    before = [sys.getrefcount(a) for a in args_owned]
    rss_before = rss_kib()
    for _ in range(calls):
        call()
    gc.collect()
    after = [sys.getrefcount(a) for a in args_owned]
    growth = rss_kib() - rss_before
    capsys.readouterr()  # progress bars
    assert after == before
    # A leak of even one small object per call shows up over this many calls.
    assert SANITIZED or growth < 4096, f"{name}: resident memory grew by {growth} KiB over {calls} calls"
