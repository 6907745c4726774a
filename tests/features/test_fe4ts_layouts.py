"""fe4ts on the columns users' tables really have: text consumer numbers of
every kind pandas holds them in, and narrow integer keys and day numbers
from date accessors.

The kernel must take these calls, reading the text, the narrow keys and
times where they lie, and give the pandas path's table."""
import math
import tracemalloc

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fe4ts_calls import assert_same, fe4ts, pandas_path
from path_spy import pandas_path_spy

pa = pytest.importorskip("pyarrow")

pytestmark = pytest.mark.filterwarnings("error::FutureWarning", "error::DeprecationWarning")

# Consumer numbers: text of one, two and four bytes a character in CPython
# (equal strings share a kind there, unequal ones may share bytes across
# kinds), the empty text, and missing values of each kind factorize drops.
TEXTS = ["5100023", "0310007731", "", "\u0101x", "\U0001f600", "51000230", "x\x00"]
MISSING = [None, math.nan, pd.NA]
KINDS = ["object", "str", "string[pyarrow]", "categorical", "arrow large_string", "arrow string",
         "arrow dictionary"]


def text_column(kind, values):
    """`values` (str or missing) as a column of this kind."""
    if kind == "object":
        return pd.Series(values, dtype=object)
    if kind == "str":  # pandas' own string dtypes, Arrow-backed: missing as NaN (pandas 3's str) or pd.NA
        return pd.Series(values, dtype="str" if pd.__version__ >= "3" else "string[pyarrow_numpy]")
    if kind == "string[pyarrow]":
        return pd.Series(values, dtype=kind)
    if kind == "categorical":
        return pd.Series(values, dtype=object).astype("category")
    chunks = [values[: len(values) // 2], values[len(values) // 2:]]
    arrow_type = {"arrow large_string": pa.large_string(), "arrow string": pa.string(),
                  "arrow dictionary": pa.dictionary(pa.int32(), pa.string())}[kind]
    to_arrow = [[None if v is None or v is pd.NA or (isinstance(v, float) and math.isnan(v)) else v for v in c]
                for c in chunks]
    array = pa.chunked_array([pa.array(c, type=pa.string()).cast(arrow_type) for c in to_arrow], type=arrow_type)
    return pd.Series(pd.arrays.ArrowExtensionArray(array))


@st.composite
def text_tables(draw):
    kind = draw(st.sampled_from(KINDS))
    units = draw(st.lists(st.sampled_from(TEXTS), min_size=1, max_size=4, unique=True))
    rows = []
    for u in units:
        for t in draw(st.lists(st.integers(0, 15), max_size=10, unique=True)):
            rows.append((u, t, draw(st.integers(-8, 8)) / 4, t % 3))
    if draw(st.booleans()):  # readings without a consumer number
        rows += [(draw(st.sampled_from(MISSING)), t, 1.0, 0) for t in range(draw(st.integers(1, 3)))]
    rows = [rows[i] for i in draw(st.permutations(range(len(rows))))]
    df = pd.DataFrame({"T": [r[1] for r in rows], "V": [r[2] for r in rows], "K": [r[3] for r in rows]})
    df["U"] = text_column(kind, [r[0] for r in rows]) if rows else text_column(kind, [])
    # Windows name units by text (some no reading has), by a missing value
    # or by a number, which equals no text.
    names = st.one_of(st.sampled_from(units + ["nobody"]), st.sampled_from(MISSING[:2]), st.just(3))
    interval = pd.DataFrame({"U": pd.Series(draw(st.lists(names, min_size=1, max_size=5)), dtype=object)})
    return kind, df, interval


class TestTextUnits:
    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(table=text_tables())
    def test_kernel_gives_the_pandas_path_table(self, table):
        kind, df, interval = table
        with pandas_path_spy() as spy:
            native = fe4ts(df, interval, tactic=["T", "K"], periodic=["K"], lag=[1])
        assert spy.calls == 0, f"{kind}: the call took the pandas path"
        assert_same(native, fe4ts(df, interval, tactic=["T", "K"], periodic=["K"], lag=[1], aggfunc=pandas_path))

    @pytest.mark.parametrize("kind", KINDS)
    def test_text_is_coded_without_pandas_factorize(self, kind, monkeypatch):
        values = ["b", "a", None, "b", "a", "c"]
        df = pd.DataFrame({"U": text_column(kind, values), "T": [0, 0, 1, 1, 2, 0], "V": [1.0, 2, 3, 4, 5, 6]})
        interval = pd.DataFrame({"U": ["a", "b", "zz"]})
        factorized = []
        original = pd.factorize
        monkeypatch.setattr(pd, "factorize", lambda *a, **k: factorized.append(1) or original(*a, **k))
        native = fe4ts(df, interval)
        assert not factorized
        monkeypatch.undo()
        assert_same(native, fe4ts(df, interval, aggfunc=pandas_path))

    def test_mixed_objects_keep_their_equality(self, spy):
        # Not all text: coded by pandas, compared by Python's ==, as before.
        df = pd.DataFrame({"U": pd.Series(["1", 1, 1.0, "a", None, True], dtype=object),
                           "T": [0, 1, 2, 3, 4, 5], "V": [1.0, 2, 3, 4, 5, 6]})
        interval = pd.DataFrame({"U": pd.Series(["1", 1, "a", None, True], dtype=object)})
        native = fe4ts(df, interval)
        assert spy.calls == 0
        assert_same(native, fe4ts(df, interval, aggfunc=pandas_path))


# ---- narrow keys ------------------------------------------------------------------

def day_table(consumers, days, key_dtype, time_dtype="int64"):
    day = pd.Series(np.tile(np.arange(days), consumers))
    rng = np.random.default_rng(0)
    return pd.DataFrame({
        "U": np.repeat(np.arange(consumers), days), "T": day.astype(time_dtype),
        "WEEK": (day // 7 % 53).astype(key_dtype), "MONTH": (day // 30 % 12).astype(key_dtype),
        "WEEKDAY": (day % 7).astype(key_dtype), "V": rng.integers(0, 40, consumers * days) / 4})


class TestNarrowKeysAndTimes:
    @pytest.mark.parametrize("dtype, time_dtype", [
        ("int8", "int8"), ("int16", "int16"), ("int32", "int32"), ("uint8", "int64"), ("uint16", "int32"),
        ("uint32", "uint16"),
        # Arrow-backed, as dtype_backend="pyarrow" reads them
        ("int8[pyarrow]", "int32[pyarrow]"), ("uint16[pyarrow]", "int64[pyarrow]"), ("int64[pyarrow]", "int16")])
    @pytest.mark.parametrize("shuffled", [False, True])
    def test_kernel_gives_the_pandas_path_table(self, spy, dtype, time_dtype, shuffled):
        df = day_table(4, 60, dtype, time_dtype)
        if dtype.startswith("int"):
            df["WEEK"] -= 3  # negative keys too
        if shuffled:
            df = df.sample(frac=1, random_state=1)
        interval = pd.DataFrame({"U": [0, 2, 3], "START": [0, 10, 20], "END": [59, 40, 50]})
        # Lags on an unsigned time axis wrap around; the kernel declines those.
        kw = dict(tactic=["T", "WEEK", "MONTH"], periodic=["WEEKDAY", "MONTH", "T"],
                  lag=[] if time_dtype.startswith("u") else [1, 7])
        if shuffled:  # several chunks: read as pandas reads them
            df = pd.concat([df.iloc[:100], df.iloc[100:]])
        native = fe4ts(df, interval, **kw)
        assert spy.calls == 0
        assert_same(native, fe4ts(df, interval, aggfunc=pandas_path, **kw))

    @pytest.mark.parametrize("dtype, time_dtype", [("int8", "int32"), ("int32", "int32"), ("uint16", "int32"),
                                                   ("int8[pyarrow]", "int32[pyarrow]")])
    @pytest.mark.parametrize("shuffled", [False, True])
    def test_read_without_a_widening_copy(self, dtype, time_dtype, shuffled):
        # numpy reports its arrays to tracemalloc: a key or the int32 time
        # axis widened to int64, or copied, or coded by pandas, would show
        # as 8 (or 1 to 4) bytes a reading of it.
        df = day_table(400, 3000, dtype, time_dtype)
        if shuffled:
            df = df.sample(frac=1, random_state=1, ignore_index=True)
        interval = pd.DataFrame({"U": np.arange(400)})
        kw = dict(tactic=["T", "WEEK", "MONTH"], periodic=["WEEKDAY"], lag=[1])
        fe4ts(df, interval, **kw)  # imports and caches out of the count
        tracemalloc.start()
        try:
            fe4ts(df, interval, **kw)
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        rows = len(df)
        assert peak < rows * pd.Series([], dtype=dtype).dtype.itemsize, f"{peak / rows:.1f} bytes a reading traced"
