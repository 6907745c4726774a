"""A signal handler that rewrites the caller's arrays while fe4ts runs.

fe4ts reads the frame's columns in place: its threads order them, and
readings already in order are read where they lie, window after window.  A
handler that ran while they read, or between two runs of windows, would
leave a table made of both versions.  Whenever the handler runs, the call
must give the table of the arrays before the rewrite or the one of the
arrays after it, or raise RuntimeError (a column seen to change while it
was read); never a mix, never another error.
"""
import signal
import time

import numpy
import pandas
import pytest

import movra

UNITS, DAYS = 600, 400
ARGS = ("CONS_NO", ["T", "W"], ["D"], [2, 14], "KWH")


def versions(shuffled, every_column):
    """The columns before and after the rewrite.  Both versions are in unit
    and time order, or shuffled alike.  After it the week keys lie far
    beyond their old range and the readings are other ones; with
    `every_column`, the units are others too, and the times odd where they
    were even (the first and last of a unit stay, so that the times span the
    same range).  The profile key D stays: the derived columns are named
    after its values."""
    rng = numpy.random.default_rng(5)
    unit = numpy.repeat(numpy.arange(UNITS), DAYS)
    day = numpy.tile(numpy.arange(DAYS), UNITS)
    kwh = rng.gamma(2.0, 2.0, unit.size)
    kwh[rng.random(unit.size) < 0.02] = numpy.nan
    odd = (day > 0) & (day < DAYS - 1)
    before = {"CONS_NO": unit, "T": 2 * day, "W": 2 * day // 14, "D": day % 7, "KWH": kwh}
    time = 2 * day + odd if every_column else 2 * day
    after = {"CONS_NO": (unit * 7 + 3) % UNITS if every_column else unit, "T": time, "W": time // 14 + 1000,
             "D": day % 7, "KWH": 3 * kwh + 1}
    if shuffled:
        order = rng.permutation(unit.size)
        before, after = ({name: v[order] for name, v in cols.items()} for cols in (before, after))
    return before, after


WINDOWS = pandas.DataFrame({"CONS_NO": numpy.repeat(numpy.arange(UNITS), 2),
                            "START": numpy.tile([20, 300], UNITS), "END": numpy.tile([500, 790], UNITS)})
# A few windows: their readings are picked out of the table and copied first.
FEW_WINDOWS = WINDOWS.iloc[::40].reset_index(drop=True)


def frame_over(columns, categories=None):
    """A frame whose columns are these very arrays: writing them changes the
    frame.  A column named in `categories` is categorical, the array its codes."""
    categories = categories or {}
    if categories or any(v.dtype == object for v in columns.values()):
        columns = {n: pandas.Series(pandas.Categorical.from_codes(v, categories[n]) if n in categories else v,
                                    dtype=None if n in categories else v.dtype, copy=False)
                   for n, v in columns.items()}
    df = pandas.DataFrame(columns, copy=False)
    for name, values in columns.items():
        values = values.array.codes if name in categories else numpy.asarray(values)
        read = df[name].array.codes if name in categories else df[name].to_numpy()
        assert numpy.shares_memory(read, values), name
    return df


class Rewriting:
    """While active, SIGALRM fires every few milliseconds and its handler
    writes the other version into the arrays; `call` runs `function` on the
    frame that `frame` builds over them."""

    def __init__(self, arrays, before, after, function, frame=frame_over):
        self.arrays, self.versions = arrays, (before, after)
        self.function, self.frame = function, frame
        self.shown = 0  # the version the arrays hold
        self.within = 0  # rewrites while the call ran Python code of its own (pandas')
        self.busy = False

    def handler(self, signum, frame):
        # A handler runs Python code, during which the next one may start:
        # one rewrite at a time, so that the arrays always hold one version.
        if self.busy:
            return
        self.busy = True
        self.shown = 1 - self.shown
        for name, values in self.arrays.items():
            values[...] = self.versions[self.shown][name]
        self.within += frame is not None and frame.f_code.co_filename != __file__
        self.busy = False

    def call(self, first_delay, interval=0.003):
        frame = self.frame(self.arrays)  # before the timer: pandas code of the test's own
        previous = signal.signal(signal.SIGALRM, self.handler)
        try:
            signal.setitimer(signal.ITIMER_REAL, first_delay, interval)
            try:
                return self.function(frame)
            except RuntimeError as e:
                return e
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
        finally:
            signal.signal(signal.SIGALRM, previous)


def best_of_three(call):
    """The call's shortest time of three: one slow run (a sanitizer's, a busy
    machine's) would put the handler's first rewrites after the call."""
    times = []
    for _ in range(3):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return min(times)


def copies(columns):
    return {name: values.copy() for name, values in columns.items()}


def assert_calls_read_one_version(function, frame, before, after, seed, one_version):
    """Calls `function` on the frame that `frame` builds over arrays the
    handler toggles between the versions; `one_version` asserts what each
    call gave (its result, or the RuntimeError it raised)."""
    # The first rewrite falls within the call, however fast the call is.
    duration = best_of_three(lambda: function(frame(copies(before))))
    rewriting = Rewriting(copies(before), before, after, function, frame)
    first_delays = numpy.random.default_rng(seed).uniform(0.05, 0.9, 12) * duration
    for first_delay in first_delays:
        one_version(rewriting.call(first_delay, interval=min(0.003, duration / 8)))
    # A rewrite after the call returns shows nothing; one while pandas runs
    # inside the call is what the test is about.
    assert rewriting.within > 0, "the handler never ran within a call"


def kernel_tables(spy, before, after, windows, categories=None):
    """fe4ts's table of each version, both taken by the kernel."""
    calls = spy.calls
    tables = [movra.fe4ts(frame_over(copies(cols), categories), *ARGS, windows) for cols in (before, after)]
    assert spy.calls == calls, "the call took the pandas path"
    return tables


def assert_each_call_reads_one_version(tables, before, after, windows, seed, categories=None):
    """Calls fe4ts while the handler toggles the arrays between the versions:
    each call gives one version's table or the clear error."""
    def one_version(got):
        if isinstance(got, RuntimeError):
            assert str(got).endswith("changed while it was read"), repr(got)
        else:
            assert any(got.equals(table) for table in tables), "the table mixes both versions of the arrays"

    assert_calls_read_one_version(lambda frame: movra.fe4ts(frame, *ARGS, windows),
                                  lambda columns: frame_over(columns, categories), before, after, seed, one_version)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("every_column", [True, False], ids=["every column", "readings and keys"])
@pytest.mark.parametrize("shuffled", [False, True], ids=["in order", "shuffled"])
@pytest.mark.parametrize("windows", [WINDOWS, FEW_WINDOWS], ids=["every unit", "a few units"])
def test_a_handler_rewriting_the_arrays_never_mixes_them(spy, shuffled, every_column, windows):
    before, after = versions(shuffled, every_column)
    tables = kernel_tables(spy, before, after, windows)
    assert not tables[0].equals(tables[1])
    assert_each_call_reads_one_version(tables, before, after, windows, 11)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("shuffled", [False, True], ids=["in order", "shuffled"])
def test_the_derived_columns_keys_are_those_of_the_readings_read(spy, shuffled):
    # The profile key changes too: the derived columns are named after its
    # values, which the call must read with the readings, not after them.
    before, after = versions(shuffled, True)
    after = dict(after, D=before["D"] + 7)
    tables = kernel_tables(spy, before, after, WINDOWS)
    assert list(tables[0].columns) != list(tables[1].columns)
    assert_each_call_reads_one_version(tables, before, after, WINDOWS, 12)


def converted(columns, kind):
    """The columns with a key the call converts before the kernel reads it:
    the week key W as text, categorical (the array its codes, over the
    weeks of both versions), int32 or float64, or the unit as text.  Returns
    the columns, the categories and the windows."""
    columns, categories, windows = dict(columns), None, WINDOWS
    if kind == "text":
        columns["W"] = columns["W"].astype(str).astype(object)
    elif kind == "categorical":
        weeks = numpy.arange(DAYS // 7 + 1)
        categories = {"W": numpy.concatenate([weeks, weeks + 1000])}
        columns["W"] = numpy.searchsorted(categories["W"], columns["W"]).astype(numpy.int8)
    elif kind == "text units":
        columns["CONS_NO"] = numpy.char.add("c", columns["CONS_NO"].astype(str)).astype(object)
        windows = WINDOWS.assign(CONS_NO="c" + WINDOWS["CONS_NO"].astype(str))
    else:
        columns["W"] = columns["W"].astype(kind)
    return columns, categories, windows


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("few", [False, True], ids=["every unit", "a few units"])
@pytest.mark.parametrize("kind", ["text", "categorical", "int32", "float64", "text units"])
def test_keys_converted_first_are_of_the_version_read(spy, kind, few):
    # pandas converts such a key while the call examines the frame, before
    # the kernel reads the rest of it: both must be of one version.
    (before, categories, windows), (after, _, _) = (converted(cols, kind) for cols in versions(True, True))
    if few:
        windows = windows.iloc[::40].reset_index(drop=True)
    tables = kernel_tables(spy, before, after, windows, categories)
    assert not tables[0].equals(tables[1])
    assert_each_call_reads_one_version(tables, before, after, windows, 14, categories)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("kind", ["int64", "int32"])
def test_a_few_windows_read_the_derived_columns_keys_with_their_readings(spy, kind):
    # The windows' readings are copied out of the table; the profile key's
    # values over the whole table name the derived columns, and must be
    # read with them, not after the windows.
    before, after = versions(True, True)
    after = dict(after, D=before["D"] + 7)
    before, after = ({n: v.astype(kind) if n == "D" else v for n, v in cols.items()} for cols in (before, after))
    tables = kernel_tables(spy, before, after, FEW_WINDOWS)
    assert list(tables[0].columns) != list(tables[1].columns)
    assert_each_call_reads_one_version(tables, before, after, FEW_WINDOWS, 15)


def scores(seed, rows=400_000, groups=20_000):
    """Groups, predictions (ties among them: some groups go to pandas' sort) and labels."""
    rng = numpy.random.default_rng(seed)
    return {"G": rng.integers(0, groups, rows), "P": numpy.round(rng.random(rows), 3),
            "L": rng.integers(0, 2, rows)}


def text_keys(codes):
    """Group keys as an object column of str."""
    return numpy.array([f"g{code}" for code in codes], dtype=object)


def object_frame_over(columns):
    """frame_over, with object arrays kept as object columns (pandas would
    make a column of str of them, a copy): writing them changes the frame."""
    df = pandas.DataFrame({name: pandas.Series(values, dtype=values.dtype, copy=False)
                           for name, values in columns.items()}, copy=False)
    for name, values in columns.items():
        assert numpy.shares_memory(df[name].to_numpy(), values), name
    return df


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("keys, seed", [("numbers", 13), ("text", 14)])
def test_evaluate4group_gives_one_versions_rates(spy, keys, seed):
    # Keys of text are coded by pandas, Python code during which the handler
    # runs: the predictions, labels and keys coded must still be one version.
    before, after, frame = scores(1), scores(2), frame_over
    if keys == "text":
        before, after = (dict(s, G=text_keys(s["G"])) for s in (before, after))
        frame = object_frame_over

    def rates(df):
        return movra.evaluate4group(df, "G", "P", "L", 0.1)

    calls = spy.calls
    expected = [rates(frame(copies(cols))) for cols in (before, after)]
    assert spy.calls == calls, "the call took the pandas path"
    assert expected[0] != expected[1]

    def one_version(got):
        assert got in expected, "the rates mix both versions of the arrays"

    assert_calls_read_one_version(rates, frame, before, after, seed, one_version)


CONSUMERS, EVENTS_PER_CONSUMER = 150, 12


def event_log(seed):
    """An event log (consumer, kind, list of times) over CONSUMERS consumers."""
    rng = numpy.random.default_rng(seed)
    rows = CONSUMERS * EVENTS_PER_CONSUMER
    start = pandas.Timestamp("2020-01-01")
    times = numpy.empty(rows, dtype=object)
    for i in range(rows):
        times[i] = [start + pandas.Timedelta(days=int(d)) for d in rng.integers(0, 365, rng.integers(0, 6))]
    return {"CONS_NO": rng.permutation(numpy.repeat(numpy.arange(CONSUMERS), EVENTS_PER_CONSUMER)),
            "EVENT": rng.integers(0, 4, rows), "TIMES": times}


def event_windows():
    """Two windows per consumer; every other one's CONS_NO a numpy integer,
    which the kernel hands to the pandas path's step."""
    consumers = numpy.empty(2 * CONSUMERS, dtype=object)
    for i, u in enumerate(numpy.repeat(numpy.arange(CONSUMERS), 2)):
        consumers[i] = numpy.int64(u) if i % 2 else int(u)
    def days_from(day, offsets):
        return pandas.Timestamp(day) + pandas.to_timedelta(numpy.tile(offsets, CONSUMERS), "D")

    return pandas.DataFrame({"CONS_NO": pandas.Series(consumers, dtype=object),
                             "START": days_from("2020-02-01", [0, 90]), "END": days_from("2020-06-01", [0, 150])})


def uet_rows(uet):
    """A usest2uet table as comparable rows (its cells hold arrays)."""
    return [(r[0], r[1], tuple(r[2]), r[3], r[4], r[5]) for r in uet.itertuples(index=False)]


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_usest2uet_windows_through_pandas_give_one_versions_table(spy):
    # Half the windows go through the pandas path's step after the kernel
    # read the log: they must read the log the kernel read.
    before, after = event_log(1), event_log(2)
    windows = event_windows()

    def table(frame):
        return movra.usest2uet(frame, "CONS_NO", "EVENT", "TIMES", windows)

    calls = spy.calls
    expected = [uet_rows(table(object_frame_over(copies(cols)))) for cols in (before, after)]
    assert spy.calls - calls == len(windows), "the kernel did not take the call, or took every window"
    assert expected[0] != expected[1]

    def one_version(got):
        assert uet_rows(got) in expected, "the table mixes both versions of the log"

    assert_calls_read_one_version(table, object_frame_over, before, after, 15, one_version)
