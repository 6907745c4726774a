"""Calls one movra function with hostile arguments drawn by hypothesis.

Run as a separate process by test_fuzz.py, so that a crash (a signal, an
abort) is seen as the death of this process rather than of the test run.
Every call must end in a result or in a Python exception."""
import os
import sys
import warnings

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(__file__))
import hostile  # noqa: E402

import numpy  # noqa: E402
import pandas  # noqa: E402

import movra  # noqa: E402

ARITY = {
    "gen_ngrams": (2, 3), "md5": (1, 1), "clean_topk": (1, 5), "evaluate4group": (1, 5),
    "unit_date": (1, 4), "tsdf2seq": (1, 7), "pad_seq": (1, 4), "Q3_Q1": (1, 1), "exp_w_sum": (1, 4),
    "searchfiles": (2, 2), "load_model": (1, 1), "is_done": (1, 1), "fe4ts": (7, 9),
    "datesStr2datesLst": (1, 2), "usest2uet": (5, 5), "uet2ute": (4, 4), "csv2json": (1, 3),
}


def structured():
    """Per-parameter candidates that are mostly well formed, so that the
    table functions get past their first lookups and meet hostile values
    deep inside their loops."""
    ok = hostile.frames()[1]
    windows = [
        pandas.DataFrame({"CONS_NO": [1, 2, 3], "START": [0, 1, 0], "END": [3, 3, 0]}),
        pandas.DataFrame({"CONS_NO": [1, 1], "FORWARD_R": [2, -1], "BACKWARD_R": [1, 2**40]}),
        pandas.DataFrame({"CONS_NO": [1.0, numpy.nan], "START": [numpy.nan, 0], "END": [3, None],
                          "FORWARD_T": [1, 2], "BACKWARD_T": [0, 1]}),
        pandas.DataFrame({"CONS_NO": [1, 2], "START": ok.DATA_DATE.iloc[:2].tolist(),
                          "END": ok.DATA_DATE.iloc[2:].tolist()}),
        pandas.DataFrame({"CONS_NO": ["x"], "START": ["a"], "END": [object()]}),
        pandas.DataFrame(),
    ]
    events = pandas.DataFrame({"CONS_NO": [1, 1, 2], "E": ["a", "b", "a"],
                               "TS": [[ok.DATA_DATE[0]], [], [ok.DATA_DATE[1], ok.DATA_DATE[3]]]})
    uet = pandas.DataFrame({"U": [1, 2], "E": ["a", "b"], "T": [numpy.array([1, 2]), [3]]})
    names = ["CONS_NO", "KWH", "T", "W", "DATA_DATE", "E", "TS", "U", "label", "predict", "TG_NO"]
    lists = [["T"], ["T", "W"], ["W", "T", "T"], ["DATA_DATE"], ["KWH"], [], ["missing"], "T", [1, 7], [0], [-1, 2.5]]
    return {
        "fe4ts": [[ok], names, lists, lists, lists, names, windows, [False, True], [numpy.nansum, numpy.nanmean, len]],
        "usest2uet": [[events], names, names, names, windows],
        "uet2ute": [[uet], names, names, names],
        "unit_date": [[ok, events], names, names, [-15, 15, 0, 10**9]],
        "tsdf2seq": [[ok], names, names, [None, ok.DATA_DATE[2], 2, "x"], [256, 2, -2, 0, None], ["post", "pre", 1],
                     [None, 1, -1, 10**9]],
        "evaluate4group": [[ok], names, names, names, [0.05, 0, 1, -1, 2.5, numpy.nan]],
    }


def call(fn, args):
    """One call: a result or an exception are both fine; only a crash is not."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            fn(*args)
        except Exception:
            pass


def limit_memory():
    """A runaway allocation becomes a MemoryError here instead of a visit
    from the kernel's out-of-memory killer (not under AddressSanitizer,
    which reserves a huge address space for its shadow memory)."""
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (6 << 30, 6 << 30))


def main(name, examples):
    limit_memory()
    values = hostile.pool()
    if name.endswith("+"):
        return main_structured(name[:-1], examples, values)
    fn = getattr(movra, name)
    low, high = ARITY[name]
    # Keep is_done from sleeping on every existing path: the cwd is empty.
    settings_ = settings(max_examples=examples, database=None, deadline=None, derandomize=True,
                         suppress_health_check=list(HealthCheck))

    @settings_
    @given(st.integers(low, high).flatmap(lambda n: st.lists(st.sampled_from(range(len(values))), min_size=n, max_size=n)))
    def run(picks):
        call(fn, [values[i] for i in picks])

    run()
    print("ok", name)


def main_structured(name, examples, values):
    fn = getattr(movra, name)
    candidates = [c + values for c in structured()[name]]

    @settings(max_examples=examples, database=None, deadline=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(st.tuples(*[st.one_of(st.integers(0, len(c) - len(values) - 1), st.integers(0, len(c) - 1))
                       for c in candidates]))
    def run(picks):
        call(fn, [c[i] for c, i in zip(candidates, picks)])

    run()
    print("ok", name + "+")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
