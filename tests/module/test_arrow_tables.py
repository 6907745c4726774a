"""Table arguments that are Arrow streams (pyarrow, polars, DuckDB): every
function gives on such a table exactly what it gives on the frame that
pandas makes of it: the same result, warnings and error.  Event-time lists
arrive as the Python lists a user would have built."""
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import movra
from arrow_tables import TIMES, column, frame_of, in_chunks, lists, pa, readings, table, time_cells, windows
from movra_tracebacks import traceback_names

SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def outcome(f, *args, **kw):
    """What a call gives: its result or its exception's type and text, and its warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = f(*args, **kw)
        except Exception as e:
            result = (type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same(got, expected):
    (result, warned), (oracle, oracle_warned) = got, expected
    assert warned == oracle_warned
    assert type(result) is type(oracle)
    if isinstance(oracle, pd.DataFrame):
        pd.testing.assert_frame_equal(result, oracle, check_exact=True)
    elif isinstance(oracle, pd.Series):
        pd.testing.assert_series_equal(result, oracle, check_exact=True)
    elif isinstance(oracle, np.ndarray):
        assert result.dtype == oracle.dtype and result.shape == oracle.shape
        np.testing.assert_equal(result.tolist(), oracle.tolist())  # object cells may hold NaN
    else:
        np.testing.assert_equal(result, oracle)


def lists_as_lists(frame, label):
    """A frame whose cells in `label` are arrays, with lists there instead (arrays do not compare as cells)."""
    if isinstance(frame, pd.DataFrame) and label in frame:
        frame = frame.assign(**{label: [list(cell) for cell in frame[label]]})
    return frame


class TestEveryTableArgument:
    @SETTINGS
    @given(st.data())
    def test_fe4ts(self, data):
        df, unit_type, time_type, units = data.draw(readings())
        interval = data.draw(windows(unit_type, time_type, units))
        lag = [1] if not pa.types.is_timestamp(time_type) else []

        def call(d, i):
            return movra.fe4ts(d, "CONS_NO", ["T"], ["P"], lag, "KWH", i)

        assert_same(outcome(call, df, interval), outcome(call, frame_of(df), frame_of(interval)))
        # Either table alone may be Arrow.
        assert_same(outcome(call, frame_of(df), interval), outcome(call, frame_of(df), frame_of(interval)))

    @SETTINGS
    @given(readings(), st.sampled_from([-15, 2]))
    def test_unit_date(self, drawn, daysdiff):
        df = drawn[0]
        assert_same(outcome(movra.unit_date, df, "CONS_NO", "T", daysdiff),
                    outcome(movra.unit_date, frame_of(df), "CONS_NO", "T", daysdiff))

    @SETTINGS
    @given(readings(), st.sampled_from([None, 0, 3]), st.sampled_from(["post", "pre", "x"]))
    def test_tsdf2seq(self, drawn, maxlen, cut):
        df = drawn[0]
        assert_same(outcome(movra.tsdf2seq, df, "T", "KWH", maxlen=maxlen, cut=cut),
                    outcome(movra.tsdf2seq, frame_of(df), "T", "KWH", maxlen=maxlen, cut=cut))

    @SETTINGS
    @given(readings(), st.sampled_from([0.3, 0.5, 1]))
    def test_evaluate4group(self, drawn, k):
        df = drawn[0]
        assert_same(outcome(movra.evaluate4group, df, "CONS_NO", "KWH", "label", k),
                    outcome(movra.evaluate4group, frame_of(df), "CONS_NO", "KWH", "label", k))

    @SETTINGS
    @given(st.data())
    def test_usest2uet_and_uet2ute(self, data):
        """The event log's time lists, and the uet table made of them, as Arrow list columns."""
        time_type = data.draw(st.sampled_from(TIMES))
        unit_type = data.draw(st.sampled_from([pa.int64(), pa.int32(), pa.string()]))
        n = data.draw(st.integers(0, 8))
        cells = data.draw(st.lists(st.one_of(st.none(), st.lists(st.integers(0, 24 * 30), max_size=4)),
                                   min_size=n, max_size=n))
        codes = data.draw(st.lists(st.integers(1, 3), min_size=n, max_size=n))
        kinds = data.draw(st.lists(st.sampled_from(["a", "b"]), min_size=n, max_size=n))
        usest = in_chunks(table([("CONS_NO", column(codes, unit_type)), ("EV", pa.array(kinds)),
                                 ("TS", lists(cells, time_type))]), data.draw(st.lists(st.floats(0.1, 0.9), max_size=2)))
        interval = data.draw(windows(unit_type, time_type, 3))
        user_log = frame_of(usest).assign(TS=time_cells(usest.column("TS")))

        got = outcome(movra.usest2uet, usest, "UNIT", "EV", "TS", interval)
        expected = outcome(movra.usest2uet, user_log, "UNIT", "EV", "TS", frame_of(interval))
        assert_same((lists_as_lists(got[0], "TS"), got[1]), (lists_as_lists(expected[0], "TS"), expected[1]))

        # The same table handed on as Arrow: its time arrays become a list column.
        uet = expected[0]
        if isinstance(uet, pd.DataFrame):
            arrow_uet = pa.table({"UNIT": pa.array(uet.UNIT.tolist()), "EV": pa.array(uet.EV.tolist(), pa.string()),
                                  "TS": pa.array([list(cell) for cell in uet.TS], pa.list_(time_type))})
            user_uet = frame_of(arrow_uet).assign(TS=time_cells(arrow_uet.column("TS")))
            assert_same(outcome(movra.uet2ute, arrow_uet, "UNIT", "EV", "TS"),
                        outcome(movra.uet2ute, user_uet, "UNIT", "EV", "TS"))


class TestListCells:
    @pytest.mark.parametrize("time_type", [pa.timestamp("ns", tz="Europe/Paris"), pa.timestamp("s")])
    def test_time_lists_arrive_as_lists_of_timestamps(self, time_type):
        """Summed as lists, in log order, each time a Timestamp in the column's zone."""
        log = in_chunks(table([("CONS_NO", pa.array([1, 1, 2])), ("EV", pa.array(["a", "a", "a"])),
                               ("TS", lists([[5, 1], [], [3]], time_type))]), [0.5])
        interval = table([("CONS_NO", pa.array([1, 2])), ("START", column([0, 0], time_type)),
                          ("END", column([40, 40], time_type))])
        uet = movra.usest2uet(log, "U", "EV", "TS", interval)
        assert [list(cell) for cell in uet.TS] == [time_cells(log.column("TS"))[0], time_cells(log.column("TS"))[2]]
        stamps = [v for cell in uet.TS for v in cell]
        assert all(type(v) is pd.Timestamp and str(v.tz) == str(time_type.tz) for v in stamps)


class TestOtherObjects:
    def test_a_mapping_is_not_a_table(self):
        """pyarrow would make a table of a dict; the functions take it as they always did."""
        with pytest.raises(AttributeError):
            movra.evaluate4group({"TG_NO": [1], "predict": [0.5], "label": [1]})

    def test_a_series_is_not_a_table(self):
        """pandas 3 exports a Series as an Arrow stream too; it stays a Series, as it always was."""
        with pytest.raises(TypeError, match="sort_values"):
            movra.tsdf2seq(pd.Series([2, 1]))

    def test_a_pandas_frame_is_used_as_it_is(self):
        df = pd.DataFrame({"TG_NO": [1, 1], "predict": [0.5, 0.1], "label": [1, 0]})
        assert movra.evaluate4group(df, k=1) == (1.0, 1.0)

    def test_without_pyarrow_the_error_names_the_extra(self, monkeypatch):
        class Stream:
            def __arrow_c_stream__(self, requested_schema=None):
                raise AssertionError("not read without pyarrow")

        monkeypatch.setitem(sys.modules, "pyarrow", None)
        with pytest.raises(ImportError, match=r"movra\[arrow\]") as excinfo:
            movra.tsdf2seq(Stream())
        assert "Stream" in str(excinfo.value)
        assert traceback_names(excinfo) == ["movra.tsdf2seq"]


class TestLibraries:
    def readings(self):
        days = np.arange(60)
        return {"CONS_NO": np.repeat([101, 102], 60), "DAY": np.tile(days, 2), "WEEKDAY": np.tile(days % 7, 2),
                "KWH": np.r_[np.where(days % 11 == 0, np.nan, 5.0 + days % 7), np.full(60, 6.5)]}

    def windows(self):
        return {"CONS_NO": [101, 102], "START": [0, 30], "END": [59, 59]}

    def fe4ts(self, df, interval):
        return movra.fe4ts(df, "CONS_NO", ["DAY"], ["WEEKDAY"], [1, 7], "KWH", interval)

    def test_polars(self):
        pl = pytest.importorskip("polars")
        df, interval = pl.DataFrame(self.readings()), pl.DataFrame(self.windows())
        expected = self.fe4ts(pd.DataFrame(self.readings()), pd.DataFrame(self.windows()))
        pd.testing.assert_frame_equal(self.fe4ts(df, interval), expected)
        text = df.with_columns(pl.col("CONS_NO").cast(pl.String))  # exported as string_view
        got = self.fe4ts(text, interval.with_columns(pl.col("CONS_NO").cast(pl.String)))
        assert got.CONS_NO.tolist() == ["101", "102"]
        pd.testing.assert_frame_equal(got.drop(columns="CONS_NO"), expected.drop(columns="CONS_NO"))

    def test_polars_event_log(self):
        """A polars List(Datetime) column: its cells arrive as lists of Timestamps."""
        pl = pytest.importorskip("polars")
        day = [pd.Timestamp(f"2020-01-{d:02d}") for d in range(1, 10)]
        times = [[day[4], day[1]], [], [day[2], day[8]]]
        log = pl.DataFrame({"CONS_NO": [1, 1, 2], "EV": ["a", "b", "a"], "TS": [[t.to_pydatetime() for t in c]
                                                                             for c in times]})
        windows = pl.DataFrame({"CONS_NO": [1, 2], "START": [day[0].to_pydatetime()] * 2,
                                "END": [day[8].to_pydatetime()] * 2})
        user_log = pd.DataFrame({"CONS_NO": [1, 1, 2], "EV": ["a", "b", "a"], "TS": times})
        got = movra.usest2uet(log, "U", "EV", "TS", windows)
        expected = movra.usest2uet(user_log, "U", "EV", "TS", frame_of(pa.table(windows)))
        pd.testing.assert_frame_equal(lists_as_lists(got, "TS"), lists_as_lists(expected, "TS"))
        assert got.TS.map(list).tolist() == [[day[4], day[1]], [], [day[2]]]

    def test_duckdb(self, tmp_path):
        duckdb = pytest.importorskip("duckdb")
        pd.DataFrame(self.readings()).to_parquet(tmp_path / "readings.parquet")
        con = duckdb.connect()
        query = con.sql(f"SELECT * FROM '{tmp_path / 'readings.parquet'}' ORDER BY DAY DESC")
        windows = con.sql("SELECT * FROM (VALUES (101, 0, 59), (102, 30, 59)) w(CONS_NO, \"START\", \"END\")")
        expected = self.fe4ts(pd.DataFrame(self.readings()), pd.DataFrame(self.windows()))
        # Rows in another order: the periodic values' derived columns come in another order.
        got = self.fe4ts(query, windows)
        assert got.CONS_NO.dtype == "int32"  # DuckDB's INTEGER, as from_arrow gives it
        pd.testing.assert_frame_equal(got.sort_index(axis=1), expected.sort_index(axis=1), check_dtype=False)
