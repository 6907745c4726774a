"""Unit calendars (unit_date) and readings to model input (tsdf2seq)."""
import datetime

import numpy
import pandas
import pytest

import movra
from movra_tracebacks import traceback_names

T, D = pandas.Timestamp, pandas.Timedelta


def events(units, times):
    return pandas.DataFrame({"CONS_NO": units, "OCCUR_TIME": [T(t) for t in times]})


class TestUnitDate:
    @pytest.mark.parametrize("offset, kept", [
        (D(0), False), (D(days=15), False), (D(days=-15), False), (D(days=16), True), (D(days=-16), True),
        # whole days of kept minus new, rounded towards negative infinity
        (D(days=15, hours=12), True), (D(days=-15, hours=-12), False),
    ])
    def test_spacing_against_kept_dates(self, offset, kept):
        first = T("2020-06-01")
        u_d = movra.unit_date(events([1, 1], [first, first + offset]))
        expected = [first - D(days=15)] + ([first + offset - D(days=15)] if kept else [])
        assert u_d[1] == expected

    @pytest.mark.filterwarnings("error::FutureWarning", "error::DeprecationWarning")
    def test_units_in_first_seen_order_never_influence_each_other(self):
        u_d = movra.unit_date(events(["b", "a", "b", "a"], ["2020-01-01", "2020-01-01", "2020-03-01", "2020-01-02"]))
        assert list(u_d.index) == ["b", "a"]
        assert u_d["b"] == [T("2019-12-17"), T("2020-02-15")] and u_d["a"] == [T("2019-12-17")]

    def test_positive_shift_and_custom_columns(self):
        df = pandas.DataFrame({"TG": [5, 5, 5], "WHEN": [T("2020-01-01"), T("2020-01-04"), T("2020-01-20")]})
        u_d = movra.unit_date(df, "TG", "WHEN", 5)
        assert u_d[5] == [T("2020-01-06"), T("2020-01-25")]
        assert df.WHEN.tolist() == [T("2020-01-01"), T("2020-01-04"), T("2020-01-20")]

    def test_empty_events_give_an_empty_series(self):
        u_d = movra.unit_date(events([], []))
        assert isinstance(u_d, pandas.Series) and len(u_d) == 0

    @pytest.mark.parametrize("kwargs, exc", [({"date": "NOPE"}, KeyError), ({"daysdiff": "x"}, TypeError)])
    def test_bad_input_raises_with_the_entry(self, kwargs, exc):
        with pytest.raises(exc) as excinfo:
            movra.unit_date(events([1], ["2020-01-01"]), **kwargs)
        assert traceback_names(excinfo) == ["movra.unit_date"]


def readings(n=300, index=None):
    days = pandas.date_range("2021-01-01", periods=n)
    order = numpy.random.default_rng(0).permutation(n)
    return pandas.DataFrame({"DATA_DATE": days[order], "KWH": order.astype(float)}, index=index)


class TestTsdf2seq:
    def test_defaults_keep_the_last_256_values_in_time_order(self):
        df = readings()
        first_row = df.iloc[0].tolist()
        assert movra.tsdf2seq(df).tolist() == list(range(44, 300))
        assert df.iloc[0].tolist() == first_row
        assert movra.tsdf2seq(readings(5)).tolist() == [0, 1, 2, 3, 4]

    @pytest.mark.parametrize("maxlen, cut, expected", [
        (3, "post", [7, 8, 9]), (3, "pre", [0, 1, 2]), (-7, "post", [7, 8, 9]), (-7, "pre", [0, 1, 2]),
    ])
    def test_length_cut_counts_positions(self, maxlen, cut, expected):
        assert movra.tsdf2seq(readings(10), maxlen=maxlen, cut=cut).tolist() == expected
        # positions even where the labels are floats
        shuffled = readings(10, index=numpy.arange(10.0) * 2)
        assert movra.tsdf2seq(shuffled, maxlen=maxlen, cut=cut).tolist() == expected

    @pytest.mark.parametrize("maxlen, cut", [(3, "middle"), (None, "post"), (0, "pre")])
    def test_without_length_cut_the_whole_frame_comes_back(self, maxlen, cut):
        out = movra.tsdf2seq(readings(4), maxlen=maxlen, cut=cut)
        assert out.shape == (4, 2) and out[:, 1].tolist() == [0, 1, 2, 3]

    def test_date_and_look_back_bounds_are_inclusive(self):
        cut_off = T("2021-01-11")
        assert movra.tsdf2seq(readings(20), date=cut_off, maxdays=3).tolist() == [7, 8, 9, 10]
        assert movra.tsdf2seq(readings(20), date=cut_off.to_pydatetime(), maxdays=datetime.timedelta(days=3).days,
                              cut="pre", maxlen=2).tolist() == [7, 8]
        assert movra.tsdf2seq(readings(20), maxdays=3, maxlen=100).tolist() == list(range(20))

    def test_nothing_left_gives_an_empty_array(self):
        before = T("2020-01-01")
        assert movra.tsdf2seq(readings(5), date=before).shape == (0,)
        assert movra.tsdf2seq(readings(5), date=before, maxlen=None).shape == (0, 2)

    @pytest.mark.parametrize("kwargs, exc", [
        ({"s": "NOPE"}, KeyError), ({"date": 5}, TypeError), ({"date": "2021-01-03", "maxdays": 1}, TypeError),
    ])
    def test_bad_input_raises_with_the_entry(self, kwargs, exc):
        with pytest.raises(exc) as excinfo:
            movra.tsdf2seq(readings(5), **kwargs)
        assert traceback_names(excinfo) == ["movra.tsdf2seq"]


def test_readings_to_padded_model_input():
    df = readings(40)
    seq = movra.tsdf2seq(df, date=T("2021-01-30"), maxdays=9, maxlen=8)
    assert seq.tolist() == [22, 23, 24, 25, 26, 27, 28, 29]
    assert movra.pad_seq(seq, 12, "pre", 0).tolist() == [0] * 4 + list(range(22, 30))
    assert movra.pad_seq(movra.tsdf2seq(df, date=T("2021-01-03")), 5).tolist() == [0, 1, 2, -1, -1]
