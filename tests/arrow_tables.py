"""Arrow tables for the tests of table arguments: readings, windows and event
logs of the column types that polars, pyarrow and DuckDB hand over, and the
frames that pandas makes of them (the oracle of every comparison)."""
import pandas as pd
import pytest
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

INTEGERS = [pa.int8(), pa.int16(), pa.int32(), pa.int64(), pa.uint8(), pa.uint16(), pa.uint32(), pa.uint64()]
TEXTS = [pa.string(), pa.large_string(), pa.dictionary(pa.int32(), pa.string())]
TIMES = [pa.timestamp(unit) for unit in ("s", "ms", "us", "ns")] + [
    pa.timestamp("us", tz="UTC"), pa.timestamp("ns", tz="Europe/Paris"), pa.timestamp("s", tz="+05:30")]
PER_SECOND = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
EPOCH = 1577836800  # 2020-01-01, in seconds


def frame_of(table):
    """The frame pandas makes of an Arrow table: from_arrow, or on pandas 2.2 pyarrow's to_pandas."""
    from_arrow = getattr(pd.DataFrame, "from_arrow", None)
    return from_arrow(table) if from_arrow is not None else table.to_pandas()


def column(values, type):
    """An Arrow array of `type` from unit codes, day numbers or plain values (None is null)."""
    if pa.types.is_timestamp(type):
        scale = PER_SECOND[type.unit]
        return pa.array([None if v is None else (EPOCH + v * 3600) * scale for v in values], pa.int64()).cast(type)
    if pa.types.is_dictionary(type):
        return pa.array([None if v is None else f"C{v:03d}" for v in values], pa.string()).dictionary_encode()
    if pa.types.is_string(type) or pa.types.is_large_string(type):
        return pa.array([None if v is None else f"C{v:03d}" for v in values], type)
    return pa.array(values, type)


def lists(cells, type):
    """An Arrow list column of times (`type`), from lists of hour numbers (None is a null list)."""
    flat = [v for cell in cells if cell is not None for v in cell]
    offsets, at = [], 0
    for cell in cells:
        offsets.append(at)
        at += len(cell) if cell is not None else 0
    offsets.append(at)
    mask = pa.array([cell is None for cell in cells], pa.bool_())
    return pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), column(flat, type), mask=mask)


def table(columns):
    return pa.table(dict(columns))


def in_chunks(t, cuts):
    """The table in pieces cut at the given row fractions: each column in several chunks, sliced."""
    n = t.num_rows
    at = sorted({0, n} | {int(n * c) for c in cuts})
    pieces = [t.slice(a, b - a) for a, b in zip(at, at[1:])]
    return pa.concat_tables(pieces) if pieces else t


chunk_cuts = st.lists(st.floats(0.05, 0.95), max_size=3)


@st.composite
def readings(draw, max_rows=14, units=3):
    """CONS_NO, T, P, KWH, label: integers of a width, text or dictionary units;
    integer or timestamp times; float32 or float64 readings with nulls."""
    n = draw(st.integers(0, max_rows))
    unit_type = draw(st.sampled_from(INTEGERS + TEXTS))
    time_type = draw(st.sampled_from([pa.int64(), pa.int32()] + TIMES))
    value_type = draw(st.sampled_from([pa.float64(), pa.float32()]))
    codes = draw(st.lists(st.integers(1, units), min_size=n, max_size=n))
    hours = draw(st.lists(st.integers(0, 24 * 40), min_size=n, max_size=n, unique=True))
    kwh = draw(st.lists(st.one_of(st.none(), st.sampled_from([0.0, 0.5, 1.25, 3.0, 7.5])), min_size=n, max_size=n))
    t = table([
        ("CONS_NO", column(codes, unit_type)),
        ("T", column(hours, time_type)),
        ("P", pa.array([h % 3 for h in hours], pa.int8())),
        ("KWH", pa.array(kwh, value_type)),
        ("label", pa.array([int(k is not None and k > 1) for k in kwh], pa.int16())),
    ])
    return in_chunks(t, draw(chunk_cuts)), unit_type, time_type, units


@st.composite
def windows(draw, unit_type, time_type, units):
    """CONS_NO, START, END of the readings' types."""
    n = draw(st.integers(0, 4))
    codes = draw(st.lists(st.integers(1, units + 1), min_size=n, max_size=n))
    starts = draw(st.lists(st.integers(0, 24 * 20), min_size=n, max_size=n))
    spans = draw(st.lists(st.integers(0, 24 * 30), min_size=n, max_size=n))
    t = table([("CONS_NO", column(codes, unit_type)), ("START", column(starts, time_type)),
               ("END", column([s + d for s, d in zip(starts, spans)], time_type))])
    return in_chunks(t, draw(chunk_cuts))


def time_cells(arrow_lists):
    """The lists a user builds of an Arrow list column of times: pandas Timestamps of the column's
    resolution, in the zone that pandas gives such a column (pytz's or the standard library's), None
    for a null list."""
    type = arrow_lists.type.value_type
    zone = getattr(frame_of(pa.table({"t": pa.array([], type)}))["t"].dtype, "tz", None)

    def stamp(v):
        v = pd.Timestamp(v).as_unit(type.unit)
        return v.tz_convert(zone) if zone is not None else v

    return [None if cell is None else [stamp(v) for v in cell] for cell in arrow_lists.to_pylist()]
