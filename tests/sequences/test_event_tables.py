"""Event logs to windowed tables: datesStr2datesLst, usest2uet, uet2ute."""
import sys
import time

import numpy
import pandas
import pytest

import movra
from movra_tracebacks import traceback_names

T = pandas.Timestamp
# pandas may warn while guessing the format of a piece; that is its business.
# Its deprecation warnings about how the module itself uses pandas are not.
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


class TestDatesText:
    def test_unreadable_pieces_are_dropped_in_order(self):
        assert movra.datesStr2datesLst("2020-01-02,nope,2020-03-04") == [T("2020-01-02"), T("2020-03-04")]
        assert movra.datesStr2datesLst("2020-01-02,x;2020-03-04", sep=";") == [T("2020-03-04")]

    def test_caller_handled_exception_survives_dropped_pieces(self):
        try:
            raise KeyError("caller's own")
        except KeyError as mine:
            assert movra.datesStr2datesLst("x,y,2020-01-01") == [T("2020-01-01")]
            assert sys.exc_info()[1] is mine
        assert sys.exc_info() == (None, None, None)

    @pytest.mark.parametrize("s, sep, exc", [(float("nan"), ",", AttributeError), ("a,b", "", ValueError)])
    def test_split_failures_raise(self, s, sep, exc):
        with pytest.raises(exc) as excinfo:
            movra.datesStr2datesLst(s, sep)
        assert traceback_names(excinfo) == ["movra.datesStr2datesLst"]


def event_log():
    return pandas.DataFrame({
        "CONS_NO": [1, 1, 1, 2],
        "EV": ["b", "a", "a", "a"],
        "TS": [[T("2020-01-05")], [T("2020-01-04"), T("2020-01-01"), T("2020-01-02")],
               [T("2020-01-02"), T("2020-01-09")], [T("2020-01-03")]],
    })


def windows(*rows):
    return pandas.DataFrame(rows, columns=["CONS_NO", "START", "END"])


class TestUsest2uet:
    @pytest.mark.filterwarnings("error::FutureWarning", "error::DeprecationWarning")
    def test_rows_per_window_and_kind_with_exclusive_bounds(self):
        iv = windows((1, T("2020-01-01"), T("2020-01-05")), (3, T("2020-01-01"), T("2020-01-09")),
                     (1, T("2020-01-03"), T("2020-01-10")))
        log = event_log()
        uet = movra.usest2uet(log, "UNIT", "EV", "TS", iv)
        assert [list(x) for x in log.TS] == [list(x) for x in event_log().TS]
        assert list(uet.columns) == ["UNIT", "EV", "TS", "START", "END", "TS_NB"]
        assert list(uet.index) == [0, 1, 2, 3]
        assert uet[["UNIT", "EV"]].values.tolist() == [[1, "a"], [1, "b"], [1, "a"], [1, "b"]]
        # Row order then list order; duplicates kept; times on a bound dropped.
        assert [list(a) for a in uet.TS] == [[T("2020-01-04"), T("2020-01-02"), T("2020-01-02")], [],
                                             [T("2020-01-04"), T("2020-01-09")], [T("2020-01-05")]]
        assert uet.TS_NB.tolist() == [3, 0, 2, 1]

    def test_kind_without_any_time_still_gets_an_empty_row(self):
        log = pandas.DataFrame({"CONS_NO": [7, 7, 7], "EV": ["a", "a", "b"], "TS": [[], [], [T("2020-01-02")]]})
        uet = movra.usest2uet(log, "CONS_NO", "EV", "TS", windows((7, T("2020-01-01"), T("2020-01-03"))))
        assert len(uet.TS[0]) == 0 and uet.TS_NB.tolist() == [0, 1]

    def test_long_groups_are_joined_in_linear_time(self):
        n = 60000
        log = pandas.DataFrame({"CONS_NO": [1] * n, "EV": ["a"] * n,
                                "TS": [[T("2020-01-01") + pandas.Timedelta(minutes=i)] for i in range(n)]})
        started = time.perf_counter()
        uet = movra.usest2uet(log, "U", "EV", "TS", windows((1, T("2019-01-01"), T("2021-01-01"))))
        # Re-copying the growing list at every row takes several seconds here.
        assert time.perf_counter() - started < 2.0
        assert uet.TS_NB.tolist() == [n] and uet.TS[0][-1] == T("2020-01-01") + pandas.Timedelta(minutes=n - 1)

    def test_no_window_gives_the_empty_six_column_frame(self):
        uet = movra.usest2uet(event_log(), "U", "EV", "TS", windows())
        assert list(uet.columns) == ["U", "EV", "TS", "START", "END", "TS_NB"] and len(uet) == 0

    @pytest.mark.parametrize("change, exc, text", [
        (lambda log, iv: (log.assign(TS=[(T("2020-01-05"),)] + list(log.TS[1:])), iv), TypeError,
         r'can only concatenate list \(not "tuple"\) to list'),
        (lambda log, iv: (log, iv.rename(columns={"START": "BEGIN"})), AttributeError, "START"),
        (lambda log, iv: (log.rename(columns={"CONS_NO": "ID"}), iv), AttributeError, "CONS_NO"),
        (lambda log, iv: (log, iv.assign(END="soon")), TypeError, ""),
    ])
    def test_bad_input_raises_with_the_entry(self, change, exc, text):
        log, iv = change(event_log(), windows((1, T("2020-01-01"), T("2020-01-05"))))
        with pytest.raises(exc, match=text) as excinfo:
            movra.usest2uet(log, "U", "EV", "TS", iv)
        assert traceback_names(excinfo) == ["movra.usest2uet"]


class PandasPath(pandas.DataFrame):
    """The native kernels take plain DataFrames only: a subclass takes the pandas path."""


class TestUet2ute:
    def uet(self):
        return pandas.DataFrame({"U": [2, 1, 1, 1], "E": ["x", "y", "x", "y"],
                                 "T": [[T("2020-01-01")], numpy.array([T("2020-01-03"), T("2020-01-02")]),
                                       [T("2020-01-03")], [T("2020-01-03")]]})

    @pytest.mark.filterwarnings("error::FutureWarning", "error::DeprecationWarning")
    def test_one_row_per_unit_and_time_with_kinds_in_collection_order(self):
        uet = self.uet()
        ute = movra.uet2ute(uet, "U", "E", "T")
        assert list(uet.columns) == ["U", "E", "T"] and list(uet["T"][1]) == [T("2020-01-03"), T("2020-01-02")]
        assert list(ute.columns) == ["U", "T", "E"] and list(ute.index) == [0, 1, 2]
        assert ute.values.tolist() == [[1, T("2020-01-02"), ["y"]], [1, T("2020-01-03"), ["y", "x", "y"]],
                                       [2, T("2020-01-01"), ["x"]]]

    @pytest.mark.parametrize("times", [[], [[], numpy.array([])]])
    def test_nothing_collected_gives_the_new_empty_frame(self, times):
        uet = pandas.DataFrame({"U": [1] * len(times), "E": ["x"] * len(times), "T": times})
        ute = movra.uet2ute(uet, "U", "E", "T")
        assert list(ute.columns) == ["U", "T", "E"] and len(ute) == 0

    def test_reducer_is_a_fresh_nested_function_with_its_own_entry(self, monkeypatch):
        seen = []

        def apply(self, func, *args, **kwargs):
            seen.append(func)
            return func(pandas.DataFrame({"other": [1]}))

        monkeypatch.setattr(pandas.core.groupby.DataFrameGroupBy, "apply", apply)
        for _ in range(2):
            with pytest.raises(KeyError) as excinfo:
                movra.uet2ute(PandasPath(self.uet()), "U", "E", "T")
            assert traceback_names(excinfo) == ["movra.uet2ute", "movra.uet2ute.lambda2"]
        assert seen[0] is not seen[1]
        assert (seen[0].__name__, seen[0].__qualname__) == ("lambda2", "uet2ute.<locals>.<lambda>")


def test_date_texts_to_unit_time_events():
    log = pandas.DataFrame({"CONS_NO": ["c1", "c1", "c2"], "KIND": ["cut", "low", "cut"],
                            "TEXT": ["2021-05-01,2021-05-09,?", "2021-05-09", "n/a"]})
    log["TIMES"] = [movra.datesStr2datesLst(s) for s in log.TEXT]
    iv = windows(("c1", T("2021-04-30"), T("2021-05-10")), ("c2", T("2021-05-01"), T("2021-07-01")))
    uet = movra.usest2uet(log, "CONS_NO", "KIND", "TIMES", iv)
    assert uet.TIMES_NB.tolist() == [2, 1, 0]
    ute = movra.uet2ute(uet, "CONS_NO", "KIND", "TIMES")
    assert ute.values.tolist() == [["c1", T("2021-05-01"), ["cut"]], ["c1", T("2021-05-09"), ["cut", "low"]]]
