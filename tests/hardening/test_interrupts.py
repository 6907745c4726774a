"""Ctrl-C during the long loops raises KeyboardInterrupt promptly."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD_PRELUDE = """
import sys, numpy, pandas, movra
def readings(units, days):
    day = numpy.tile(numpy.arange(days), units)
    return pandas.DataFrame({"CONS_NO": numpy.repeat(numpy.arange(units), days), "T": day, "W": day // 7,
                             "D": day % 7, "KWH": numpy.random.default_rng(0).gamma(2.0, 2.0, units * days)})
"""


def interrupt(body, setup_seconds_max=120, grace=10.0):
    """Runs body in a child, sends SIGINT once it prints "go", and returns
    (seconds from signal to exit, stderr)."""
    code = textwrap.dedent(CHILD_PRELUDE) + textwrap.dedent(body)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line.strip() == "go", proc.stderr.read()
        time.sleep(0.5)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        # numpy drops a Ctrl-C now and then.  pandas compares dtypes all the
        # time, and numpy's `dtype == other` first turns `other` into a dtype
        # (for a pandas dtype, calling back into Python); when that fails it
        # clears whatever was raised and answers False (numpy issue 20596).
        # A SIGINT handler that runs during that conversion has its
        # KeyboardInterrupt cleared there, silently (nothing is reported as
        # unraisable), and the signal is spent (about half of the interrupts
        # handled during `numpy.dtype("int64") == "string"` are lost this
        # way).  A first Ctrl-C on a pandas path therefore goes unheard now
        # and then; press again, as a person would.
        while True:
            try:
                _, err = proc.communicate(timeout=3.0)
                break
            except subprocess.TimeoutExpired:
                if time.monotonic() - sent > grace + 30:
                    raise
                proc.send_signal(signal.SIGINT)
        return time.monotonic() - sent, err, proc.returncode
    finally:
        if proc.poll() is None:
            proc.kill()


LONG_LOOPS = {
    "fe4ts-pandas-path": """
        df = readings(400, 200)
        w = pandas.DataFrame({"CONS_NO": numpy.arange(400), "START": 0, "END": 199})
        print("go", flush=True)
        movra.fe4ts(df, "CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", w, False, lambda s: numpy.nansum(s))
        print("finished", flush=True)
        """,
    "fe4ts-native": """
        df = readings(30000, 400)
        w = pandas.DataFrame({"CONS_NO": numpy.repeat(numpy.arange(30000), 20), "START": 0, "END": 399})
        print("go", flush=True)
        for _ in range(50):
            movra.fe4ts(df, "CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", w)
        print("finished", flush=True)
        """,
    "fe4ts-native-ordering": """
        df = readings(8000, 400)
        df = df.take(numpy.random.default_rng(1).permutation(len(df))).reset_index(drop=True)
        w = pandas.DataFrame({"CONS_NO": numpy.arange(8000), "START": 0, "END": 399})
        print("go", flush=True)
        for _ in range(50):
            movra.fe4ts(df, "CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", w)
        print("finished", flush=True)
        """,
    "usest2uet-pandas-path": """
        class PandasPath(pandas.DataFrame):
            pass
        t = pandas.Timestamp("2026-01-01")
        n = 20000
        usest = PandasPath({"CONS_NO": numpy.arange(n) % 2000, "E": numpy.arange(n) % 3,
                            "TS": [[t + pandas.Timedelta(days=i % 50)] for i in range(n)]})
        w = PandasPath({"CONS_NO": numpy.arange(2000), "START": t, "END": t + pandas.Timedelta(days=30)})
        print("go", flush=True)
        for _ in range(50):
            movra.usest2uet(usest, "U", "E", "TS", w)
        print("finished", flush=True)
        """,
    "usest2uet-native": """
        t = pandas.Timestamp("2026-01-01")
        n = 20000
        usest = pandas.DataFrame({"CONS_NO": numpy.arange(n) % 2000, "E": numpy.arange(n) % 3,
                                  "TS": [[t + pandas.Timedelta(days=i % 50)] * 20 for i in range(n)]})
        w = pandas.DataFrame({"CONS_NO": numpy.arange(2000), "START": t, "END": t + pandas.Timedelta(days=30)})
        print("go", flush=True)
        for _ in range(1000):
            movra.usest2uet(usest, "U", "E", "TS", w)
        print("finished", flush=True)
        """,
    "searchfiles": """
        import os, tempfile
        root = tempfile.mkdtemp()
        path = root
        for depth in range(60):   # a deep tree with many entries per level
            for k in range(300):
                open(os.path.join(path, "f%d.txt" % k), "w").close()
            path = os.path.join(path, "d")
            os.mkdir(path)
        print("go", flush=True)
        for _ in range(1000):
            movra.searchfiles(root, "csv$")
        print("finished", flush=True)
        """,
}


@pytest.mark.parametrize("name", sorted(LONG_LOOPS))
def test_ctrl_c_interrupts_promptly(name):
    seconds, err, code = interrupt(LONG_LOOPS[name])
    assert "KeyboardInterrupt" in err, err[-3000:]
    assert code != 0
    assert seconds < 10.0, f"{name}: took {seconds:.1f} s to stop"


class Interrupting:
    """Raises KeyboardInterrupt as soon as numpy or pandas looks at it."""

    def __float__(self):
        raise KeyboardInterrupt

    def __array__(self, *args, **kwargs):
        raise KeyboardInterrupt

    def __str__(self):
        raise KeyboardInterrupt

    def __lt__(self, other):
        raise KeyboardInterrupt

    __gt__ = __le__ = __ge__ = __lt__


class InterruptingPieces:
    """A date-list text whose pieces interrupt pandas.to_datetime."""

    def split(self, sep):
        return ["2026-01-01", Interrupting()]


@pytest.mark.parametrize(
    "call",
    [
        lambda movra: movra.Q3_Q1(Interrupting()),
        lambda movra: movra.clean_topk(Interrupting()),
        lambda movra: movra.datesStr2datesLst(InterruptingPieces()),
    ],
    ids=["Q3_Q1", "clean_topk", "datesStr2datesLst"],
)
def test_functions_that_drop_failures_let_interrupts_through(call):
    import movra

    with pytest.raises(KeyboardInterrupt):
        call(movra)


def test_ctrl_c_while_fe4ts_looks_at_a_column_type_is_heard(monkeypatch):
    # Telling a column's type apart reads pandas dtype properties, Python
    # code in which a Ctrl-C can be heard; once raised, it must not be taken
    # for a missing attribute (the signal is spent: nothing raises it again).
    import pandas as pd

    import movra

    df = pd.DataFrame({"U": [1, 1, 2], "T": [0, 1, 0], "V": pd.array([1, None, 3], dtype="Int64")})
    interval = pd.DataFrame({"U": [1, 2]})
    heard = []

    def na_value(self):  # Ctrl-C pressed once, while the first look runs
        if not heard:
            heard.append(True)
            raise KeyboardInterrupt
        return pd.NA

    monkeypatch.setattr(type(df["V"].dtype), "na_value", property(na_value))
    with pytest.raises(KeyboardInterrupt):
        movra.fe4ts(df, "U", ["T"], [], [], "V", interval)
    assert heard


def test_ctrl_c_while_a_native_layer_looks_for_arrow_dtypes_is_heard(monkeypatch):
    # Whether pandas has ArrowDtype is asked of the `pandas` global, which a
    # script may bind to a module of its own; only AttributeError means that
    # it has none, and a Ctrl-C heard meanwhile must not be taken for it.
    import types

    import pandas as pd

    import movra

    heard = []

    class LookedAt(types.ModuleType):
        @property
        def ArrowDtype(self):  # Ctrl-C pressed once, while the first look runs
            if not heard:
                heard.append(True)
                raise KeyboardInterrupt
            return pd.ArrowDtype

        def __getattr__(self, name):
            return getattr(pd, name)

    df = pd.DataFrame({"U": [1, 1, 2], "T": [0, 1, 0], "V": [1.0, 2.0, 3.0]})
    interval = pd.DataFrame({"U": [1, 2]})
    monkeypatch.setattr(movra, "pandas", LookedAt("pandas"))
    with pytest.raises(KeyboardInterrupt):
        movra.fe4ts(df, "U", ["T"], [], [], "V", interval)
    assert heard


# ---- Ctrl-C heard by each long loop's own check ---------------------------------
#
# Python code hears Ctrl-C by itself; a loop of movra's that runs many steps
# without Python code in between hears it only through its own check.  The
# child below presses Ctrl-C during a call and looks at where the
# KeyboardInterrupt was raised: the innermost traceback entry is movra's own
# when one of the call's checks heard it (no Python code ran in between),
# and Python code's (a library the call used, or the caller once the call
# had returned) when nothing of the call's did.  A press lands at a random
# moment, so a call is pressed again and again until one is heard by the
# call itself; a loop that stops checking is never heard so, as its presses
# go on to the next Python code.

HEARD_CHILD = """
import ctypes, functools, operator, os, random, signal, subprocess, sys, time, types
import numpy, pandas, movra

ATTEMPTS = 25
T0 = pandas.Timestamp("2026-01-01")
random.seed(0)


def readings(units, days, shuffled=False):
    day = numpy.tile(numpy.arange(days), units)
    df = pandas.DataFrame({"CONS_NO": numpy.repeat(numpy.arange(units), days), "T": day, "W": day // 7,
                           "D": day % 7, "KWH": numpy.random.default_rng(0).gamma(2.0, 2.0, units * days)})
    return df.take(numpy.random.default_rng(1).permutation(len(df))).reset_index(drop=True) if shuffled else df


def windows(units, per_unit, days):
    return pandas.DataFrame({"CONS_NO": numpy.repeat(numpy.arange(units), per_unit),
                             "START": numpy.tile(numpy.arange(per_unit), units), "END": days - 1})


def pressed_per_step(items):
    # The items, with Ctrl-C pressed as each is handed out, by C code alone
    # (zip, map, and C's raise() through ctypes, which unlike
    # signal.raise_signal does not run the handler itself): the press is
    # heard by the next check, the loop's own or Python code's.
    press = iter(functools.partial(getattr(ctypes.CDLL(None), "raise"), signal.SIGINT), object())
    return map(operator.itemgetter(0), zip(items, press))


def press_after(seconds):
    # From outside the process, as a terminal does: a native step that holds
    # the interpreter lock does not hold the press back.
    return subprocess.Popen(["sh", "-c", "sleep %.4f; kill -INT %d" % (seconds, os.getpid())])


def hearer(exc):
    tb, last = exc.__traceback__, None
    while tb is not None:
        last, tb = tb.tb_frame.f_code.co_name, tb.tb_next
    return last


def attempt(call, delay):
    try:
        presser = None if delay is None else press_after(delay)
        try:
            call()
            if presser is not None:
                presser.wait()  # pressed once the call had returned:
                time.sleep(5)   # heard here
        finally:
            if presser is not None:
                presser.wait()
        return "unheard"
    except KeyboardInterrupt as e:
        return type(e).__name__ + " heard by " + hearer(e)


def run(call, presses_itself):
    took = None
    if not presses_itself:
        started = time.monotonic()
        call()
        took = time.monotonic() - started  # to press while a call runs
    outcomes = []
    for _ in range(ATTEMPTS):
        outcome = attempt(call, None if presses_itself else random.uniform(0, took))
        if outcome.startswith("KeyboardInterrupt heard by movra."):
            print(outcome)
            return
        outcomes.append(outcome)
    print("never heard by the call itself:", outcomes)
"""

# Each family's call, set up so that its long loop is most of the call, and
# run(call, presses_itself).  A call that presses itself hands its loop an
# iterator that presses Ctrl-C at each step (pressed_per_step): the steps of
# such loops run Python code, which would nearly always hear a press from
# outside first.
HEARD_BY_OWN_CHECK = {
    "fe4ts-native": """
        df, w = readings(500, 2000), windows(500, 20, 2000)
        run(lambda: movra.fe4ts(df, "CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", w), False)
        """,
    "fe4ts-native-ordering": """
        df, w = readings(500, 2000, shuffled=True), windows(500, 20, 2000)
        run(lambda: movra.fe4ts(df, "CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", w), False)
        """,
    "fe4ts-pandas-path": """
        df, w = readings(3, 30), windows(3, 1, 30)
        movra.tqdm = pressed_per_step  # a rebound tqdm: the pandas path's loop
        run(lambda: movra.fe4ts(df, "CONS_NO", ["T", "W"], ["D"], [1, 7], "KWH", w), True)
        """,
    "usest2uet": """
        n = 2000
        usest = pandas.DataFrame({"CONS_NO": numpy.arange(n) % 200, "E": numpy.arange(n) % 3,
                                  "TS": [[T0 + pandas.Timedelta(days=i % 50)] * 3000 for i in range(n)]})
        w = pandas.DataFrame({"CONS_NO": numpy.arange(200), "START": T0, "END": T0 + pandas.Timedelta(days=30)})
        run(lambda: movra.usest2uet(usest, "U", "E", "TS", w), False)
        """,
    "uet2ute": """
        n = 200
        times = [T0 + pandas.Timedelta(hours=k) for k in range(20000)]
        uet = pandas.DataFrame({"U": numpy.arange(n) % 20, "E": numpy.arange(n) % 3, "T": [times] * n})
        run(lambda: movra.uet2ute(uet, "U", "E", "T"), False)
        """,
    "unit_date": """
        n = 1000000
        df = pandas.DataFrame({"CONS_NO": numpy.arange(n) % 1000,
                               "OCCUR_TIME": T0 + pandas.to_timedelta(numpy.arange(n) % 100000, "h")})
        run(lambda: movra.unit_date(df), False)
        """,
    "evaluate4group": """
        rng, rows = numpy.random.default_rng(0), 2000000
        data = pandas.DataFrame({"G": rng.integers(0, 20000, rows), "P": numpy.round(rng.random(rows), 3),
                                 "L": rng.integers(0, 2, rows)})
        run(lambda: movra.evaluate4group(data, "G", "P", "L", 0.5), False)
        """,
    "exp_w_sum": """
        x = list(range(2000000))
        movra.numpy = types.SimpleNamespace(inner=lambda w, x: 0.0)  # the weights' loop is the call
        run(lambda: movra.exp_w_sum(x, 0.999999), False)
        """,
    "gen_ngrams": """
        n = 1000000  # a view per offset, the last one empty: the loop is the call
        run(lambda: movra.gen_ngrams(range(n), n + 1), False)
        """,
    "csv2json": """
        import tempfile
        path = os.path.join(tempfile.mkdtemp(), "lines.csv")
        with open(path, "w") as f:
            f.write("a\\n" + "1\\n" * 3000000)
        movra.json = types.SimpleNamespace(dumps=lambda records, **kwargs: "")  # reading is the call
        run(lambda: movra.csv2json(path), False)
        """,
    "searchfiles": """
        import tempfile
        root = tempfile.mkdtemp()
        for k in range(5):
            open(os.path.join(root, "f%d.txt" % k), "w").close()
        movra.os = types.SimpleNamespace(listdir=lambda path: pressed_per_step(os.listdir(path)), path=os.path)
        run(lambda: movra.searchfiles(root, "csv$"), True)
        """,
    "datesStr2datesLst": """
        class Pieces:
            def split(self, sep):
                return pressed_per_step(["2026-01-01", "2026-01-02"])
        run(lambda: movra.datesStr2datesLst(Pieces()), True)
        """,
}


@pytest.mark.parametrize("family", sorted(HEARD_BY_OWN_CHECK))
def test_ctrl_c_is_heard_by_the_long_loop_itself(family):
    code = textwrap.dedent(HEARD_CHILD) + textwrap.dedent(HEARD_BY_OWN_CHECK[family])
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcome = proc.stdout.strip().splitlines()[-1]
    assert outcome.startswith(f"KeyboardInterrupt heard by movra.{family.split('-')[0]}"), outcome
