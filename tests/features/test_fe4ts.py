import gc

import numpy as np
import pandas as pd
import pytest

import movra
from movra_tracebacks import traceback_names

# Our own calls must not trip pandas' deprecation or chained-assignment
# warnings on either supported pandas generation.
pytestmark = pytest.mark.filterwarnings("error::FutureWarning", "error::DeprecationWarning")

STATS = ["MAX", "MIN", "MEDIAN", "Q3", "Q1", "MEAN", "STD", "SKEW", "KURT"]
NB = ["NB_0", "NB_NA", "NB"]


def features(df, interval, tactic=("DAY",), periodic=(), lag=(), value="KWH", **kw):
    return movra.fe4ts(df, "CONS_NO", list(tactic), list(periodic), list(lag), value, interval, **kw)


def readings(kwh, unit=1, days=None, **extra):
    """One unit's readings, on days 0..n-1 unless given."""
    days = list(range(len(kwh))) if days is None else days
    return pd.DataFrame({"CONS_NO": unit, "DAY": days, "KWH": np.asarray(kwh, dtype=float), **extra})


def ten_days(unit=1):
    return readings(np.arange(1.0, 11.0), unit=unit)


def span(ftrs, row=0):
    return ftrs.loc[row, "KWH_START"], ftrs.loc[row, "KWH_END"]


class TestLayout:
    def test_blocks_labels_and_derived_columns_in_order(self):
        df = readings(np.arange(1.0, 15.0), WEEK=[d // 7 for d in range(14)], WD=[d % 3 for d in range(14)])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1]}), ["DAY", "WEEK"], ["WD"], [1, 3])
        expected = [f"KWH_{t}_{s}" for t in ("DAY", "WEEK") for s in STATS + NB]
        expected += [f"KWH_WD_{i}_{s}" for i in range(3) for s in STATS]
        expected += [f"KWH_DIFF_{l}_{s}" for l in (1, 3) for s in STATS + NB + ["ACOR"]]
        expected += ["KWH_START", "KWH_END", "CONS_NO"]
        for t in ("DAY", "WEEK"):
            x = f"KWH_{t}"
            expected += [x + "_MIN/MAX", x + "_Q3-Q1", x + "_CV", x + "_NB_NA0",
                         f"{x}_NB_0/{t}_NB", f"{x}_NB_NA/{t}_NB", f"{x}_NB_NA0/{t}_NB"]
        for base in [f"KWH_WD_{i}" for i in range(3)] + ["KWH_DIFF_1", "KWH_DIFF_3"]:
            expected += [base + "_MIN/MAX", base + "_Q3-Q1", base + "_CV"]
        assert ftrs.columns.tolist() == expected
        assert (ftrs.drop(columns="CONS_NO").dtypes == "float64").all()
        assert ftrs.CONS_NO.dtype == "int64"

    def test_numbers_enter_labels_through_str(self):
        df = readings([1.0, 2.0, 3.0], P=[1.0, 1.0, 2.0])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1]}), periodic=["P"], lag=[1.0])
        assert {"KWH_P_1.0_MAX", "KWH_P_2.0_KURT", "KWH_DIFF_1.0_ACOR", "KWH_DIFF_1.0_CV"} <= set(ftrs.columns)

    def test_rows_follow_windows_under_fresh_index(self):
        df = pd.concat([ten_days(1), ten_days(2)])
        interval = pd.DataFrame({"CONS_NO": [2, 1, 2], "END": [3, 5, 9], "NOTE": ["x", "y", "z"]}, index=[10, 5, 7])
        ftrs = features(df, interval)
        assert ftrs.index.tolist() == [0, 1, 2]
        assert ftrs.CONS_NO.tolist() == [2, 1, 2]
        assert ftrs.KWH_END.tolist() == [3.0, 5.0, 9.0]
        assert "END" not in ftrs and "NOTE" not in ftrs

    def test_records_with_different_keys_share_one_frame(self):
        df = pd.concat([readings([1.0, 2.0], unit=1, WD=[0, 1]), readings([3.0, 4.0], unit=2, WD=[1, 2])])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1, 2]}), tactic=["DAY"], periodic=["WD"])
        cols = ftrs.columns.tolist()
        assert cols.index("KWH_WD_1_MAX") < cols.index("CONS_NO") < cols.index("KWH_WD_2_MAX")
        assert np.isnan(ftrs.loc[0, "KWH_WD_2_MAX"]) and np.isnan(ftrs.loc[1, "KWH_WD_0_MAX"])
        assert ftrs.loc[1, "KWH_WD_2_MAX"] == 4.0 and ftrs["KWH_WD_2_MAX"].dtype == "float64"

    def test_value_column_as_its_own_key(self):
        # The profile of KWH by its own values, and its periods, on both paths.
        df = readings([2.0, 2.0, 5.0, 0.0, 5.0, 5.0])
        for aggfunc in (np.nansum, lambda s: np.nansum(s)):
            ftrs = features(df, pd.DataFrame({"CONS_NO": [1]}), ["DAY", "KWH"], ["KWH"], aggfunc=aggfunc)
            assert ftrs.loc[0, "KWH_KWH_5.0_MEAN"] == 5.0 and ftrs.loc[0, "KWH_KWH_5.0_STD"] == 0.0
            assert ftrs.loc[0, "KWH_KWH_NB"] == 3 and ftrs.loc[0, "KWH_KWH_MAX"] == 15.0
            assert "KWH_KWH_0.0_CV" in ftrs and "KWH_KWH_2.0_KURT" in ftrs


class TestProgress:
    """What the loop receives from tqdm decides the windows and their labels."""

    @pytest.mark.parametrize("aggfunc", [np.nansum, lambda s: np.nansum(s)])  # kernel, pandas path
    def test_bar_with_total_and_label(self, capsys, aggfunc):
        features(ten_days(), pd.DataFrame({"CONS_NO": [1, 1, 1]}), aggfunc=aggfunc)
        err = capsys.readouterr().err
        assert "fe4ts" in err and "3/3" in err

    @pytest.mark.parametrize("aggfunc", [np.nansum, lambda s: np.nansum(s)])
    def test_rebound_tqdm_drops_a_window(self, monkeypatch, aggfunc):
        df = pd.concat([ten_days(1), ten_days(2)])
        iv = pd.DataFrame({"CONS_NO": [1, 2, 1], "END": [5, 5, 2]})
        calls = []

        def drop_second(*args, **kwargs):
            calls.append((args, kwargs))
            return (x for i, x in enumerate(args[0]) if i != 1)

        monkeypatch.setattr(movra, "tqdm", drop_second)
        ftrs = features(df, iv, aggfunc=aggfunc)
        assert len(calls) == 1 and len(calls[0][0]) == 1 and calls[0][1] == {}  # the plain call
        assert ftrs.CONS_NO.tolist() == [1, 1]
        assert ftrs.KWH_END.tolist() == [5.0, 2.0]
        monkeypatch.undo()
        expected = features(df, iv.iloc[[0, 2]], aggfunc=aggfunc)
        pd.testing.assert_frame_equal(ftrs, expected)

    def test_rebound_tqdm_yields_iterrows_items(self, monkeypatch):
        seen = []

        def reverse(items):
            items = list(items)
            seen.extend(items)
            return reversed(items)

        monkeypatch.setattr(movra, "tqdm", reverse)
        df = pd.concat([ten_days(1), ten_days(2)])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1, 2], "END": [3, 4]}, index=[7, 8]))
        assert [index for index, row in seen] == [7, 8] and isinstance(seen[0][1], pd.Series)
        assert ftrs.CONS_NO.tolist() == [2, 1] and ftrs.KWH_END.tolist() == [4.0, 3.0]


class TestValues:
    def test_period_profile_lag_and_span(self):
        kwh = [1.0, 2.0, 4.0, 7.0, 11.0, np.nan, 3.0]
        df = readings(kwh, days=[0, 0, 1, 2, 3, 4, 4], WD=[0, 1, 0, 1, 0, 1, 0])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1]}), periodic=["WD"], lag=[1])
        per_day = pd.Series([3.0, 4.0, 7.0, 11.0, 3.0])
        assert ftrs.loc[0, "KWH_DAY_MEAN"] == pytest.approx(per_day.mean())
        assert ftrs.loc[0, "KWH_DAY_Q3"] == pytest.approx(per_day.quantile(0.75))
        assert ftrs.loc[0, "KWH_DAY_KURT"] == pytest.approx(per_day.kurt())
        wd1 = pd.Series([2.0, 7.0, np.nan])
        assert ftrs.loc[0, "KWH_WD_1_STD"] == pytest.approx(wd1.std())
        assert ftrs.loc[0, "KWH_WD_1_MEDIAN"] == pytest.approx(wd1.median())
        # left rows in time order; day 1 meets both readings of day 0
        diff = pd.Series([np.nan, np.nan, 3.0, 2.0, 3.0, 4.0, np.nan, -8.0])
        assert ftrs.loc[0, "KWH_DIFF_1_MEAN"] == pytest.approx(diff.mean())
        assert ftrs.loc[0, ["KWH_DIFF_1_NB_0", "KWH_DIFF_1_NB_NA", "KWH_DIFF_1_NB"]].tolist() == [0, 3, 8]
        assert span(ftrs) == (0, 4)

    def test_autocorrelation(self):
        kwh = [1.0, 2.0, 4.0, 7.0, 11.0]
        ftrs = features(readings(kwh), pd.DataFrame({"CONS_NO": [1]}), lag=[1])
        assert ftrs.loc[0, "KWH_DIFF_1_ACOR"] == pytest.approx(np.corrcoef(kwh[1:], kwh[:-1])[0, 1])

    @pytest.mark.parametrize("lags", [[1], [7, 1], [1, 7]])
    def test_lag_of_one_beside_other_lags(self, lags):
        df = readings(np.arange(10.0) ** 2)
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1]}), lag=lags)
        assert ftrs.loc[0, "KWH_DIFF_1_MIN"] == 1.0 and ftrs.loc[0, "KWH_DIFF_1_MAX"] == 17.0
        assert ftrs.loc[0, "KWH_DIFF_1_NB_NA"] == 1

    def test_lag_without_counterparts(self):
        ftrs = features(ten_days(), pd.DataFrame({"CONS_NO": [1]}), lag=[100])
        assert ftrs.loc[0, ["KWH_DIFF_100_NB_0", "KWH_DIFF_100_NB_NA", "KWH_DIFF_100_NB"]].tolist() == [0, 10, 10]
        assert ftrs.loc[0, ["KWH_DIFF_100_MEAN", "KWH_DIFF_100_ACOR"]].isna().all()

    def test_all_missing_period_counts_as_zero_under_nansum(self):
        df = readings([1.0, np.nan, np.nan, 0.0, 2.0], days=[0, 1, 1, 2, 3])
        nb = ["KWH_DAY_NB_0", "KWH_DAY_NB_NA", "KWH_DAY_NB"]
        assert features(df, pd.DataFrame({"CONS_NO": [1]}))[nb].iloc[0].tolist() == [2, 0, 4]
        plain = features(df, pd.DataFrame({"CONS_NO": [1]}), aggfunc=lambda s: s.to_numpy().sum())
        assert plain[nb].iloc[0].tolist() == [1, 1, 4]

    def test_del_t_maximin(self):
        df = readings([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], WEEK=[0, 0, 1, 1, 2, np.nan], HALF=[0, 0, 0, 1, 1, 1])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1]}), ["DAY", "WEEK", "HALF"], del_t_maximin=True)
        assert ftrs.loc[0, "KWH_DAY_NB"] == 6 and ftrs.loc[0, "KWH_DAY_MIN"] == 2.0
        assert ftrs.loc[0, "KWH_WEEK_MAX"] == 7.0  # week 1 alone; the missing week forms no group
        assert ftrs.loc[0, "KWH_WEEK_NB"] == 4     # 0, 1, 2 and missing, before the cut
        assert not any(c.startswith("KWH_HALF_") and c[9:] in STATS + NB for c in ftrs)
        assert ftrs["KWH_HALF_CV"].tolist() == [None]
        assert span(ftrs) == (0, 5)


class TestWindows:
    @pytest.mark.parametrize("bounds, kept", [
        ({"START": 3}, (3, 9)),
        ({"END": 6}, (0, 6)),
        ({"START": 2, "END": 8}, (2, 8)),
        ({"END": 8, "FORWARD_T": 3}, (5, 8)),
        ({"START": 2, "BACKWARD_T": 3}, (5, 9)),
        ({"FORWARD_R": 4}, (6, 9)),
        ({"BACKWARD_R": 4}, (0, 3)),
        ({"FORWARD_R": 6, "BACKWARD_R": 2}, (4, 5)),
        ({"FORWARD_R": 0}, (0, 9)),
        ({"START": 4, "END": 7, "FORWARD_R": 3, "BACKWARD_R": 2}, (5, 6)),
    ])
    def test_filters_on_shuffled_readings(self, bounds, kept):
        df = ten_days().sample(frac=1.0, random_state=3)
        interval = pd.DataFrame({"CONS_NO": [1], **{k: [v] for k, v in bounds.items()}})
        assert span(features(df, interval)) == kept

    @pytest.mark.parametrize("bounds", [{"BACKWARD_R": 0}, {"START": 5, "END": 4}, {"START": np.nan}])
    def test_empty_window_keeps_its_row(self, bounds):
        interval = pd.DataFrame({"CONS_NO": [1, 1], **{k: [v, 0] for k, v in bounds.items()}})
        ftrs = features(ten_days(), interval)
        assert ftrs.CONS_NO.tolist() == [1, 1]
        assert ftrs.drop(columns="CONS_NO").iloc[0].isna().all()

    def test_window_values_keep_their_column_types(self):
        # A missing START makes a row of floats: counts and units must not follow.
        df = pd.concat([ten_days(1), ten_days(2)])
        interval = pd.DataFrame({"CONS_NO": [1, 2], "FORWARD_R": [3, 4], "START": [0.0, np.nan]})
        ftrs = features(df, interval)
        assert ftrs.CONS_NO.dtype == "int64" and ftrs.CONS_NO.tolist() == [1, 2]
        assert span(ftrs) == (7, 9) and np.isnan(ftrs.loc[1, "KWH_START"])

    @pytest.mark.parametrize("units", [["a", "b"], pd.Categorical(["a", "b"])])
    def test_unit_values_and_type(self, units):
        df = pd.concat([ten_days("a"), ten_days("b")])
        interval = pd.DataFrame({"CONS_NO": units, "END": [2, 9]})
        ftrs = features(df, interval)
        assert ftrs.CONS_NO.tolist() == ["a", "b"] and ftrs.CONS_NO.dtype == interval.CONS_NO.dtype
        assert span(ftrs, 1) == (0, 9)

    def test_no_windows(self):
        df = readings([1.0, 2.0], WD=[0, np.nan])
        ftrs = features(df, pd.DataFrame({"CONS_NO": []}), ["DAY"], ["WD"], [1])
        assert len(ftrs) == 0 and len(ftrs.columns) == 7 + 2 * 3 + 3
        assert ftrs.columns[0] == "KWH_DAY_MIN/MAX" and ftrs.columns[-1] == "KWH_DIFF_1_CV"

    def test_unknown_unit_and_periodic_value_of_other_units(self):
        df = pd.concat([ten_days(1).assign(WD=0), ten_days(2).assign(WD=1)])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1, 3]}), periodic=["WD"])
        assert ftrs.CONS_NO.tolist() == [1, 3] and ftrs.loc[1, "KWH_DAY_MEAN":"KWH_END"].isna().all()
        assert ftrs["KWH_WD_1_CV"].tolist() == [None, None]
        assert ftrs["KWH_WD_0_CV"].dtype == "float64"

    def test_periodic_column_missing_in_a_whole_window(self):
        df = pd.concat([ten_days(1).assign(WD=np.nan), ten_days(2).assign(WD=3.0)])
        ftrs = features(df, pd.DataFrame({"CONS_NO": [1, 2]}), periodic=["WD"])
        assert np.isnan(ftrs.loc[0, "KWH_WD_3.0_MAX"]) and ftrs.loc[1, "KWH_WD_3.0_MAX"] == 10.0
        assert ftrs.loc[0, "KWH_DAY_NB"] == 10

    def test_zero_counts_give_missing_shares(self):
        ftrs = features(readings([0.0, 0.0, 0.0]), pd.DataFrame({"CONS_NO": [1]}))
        assert ftrs.loc[0, "KWH_DAY_NB_0/DAY_NB"] == 1.0 and ftrs.loc[0, "KWH_DAY_NB_NA0"] == 3
        assert np.isnan(ftrs.loc[0, "KWH_DAY_MIN/MAX"]) and np.isnan(ftrs.loc[0, "KWH_DAY_CV"])


class TestNestedFunctions:
    def test_fe_and_lambda_are_new_per_call(self):
        seen = []

        def spy(s):
            seen.extend(o for o in gc.get_objects()
                        if type(o) is type(movra.fe4ts) and o.__name__ in ("fe", "lambda") and o not in seen)
            return s.sum()

        for _ in range(2):
            features(ten_days(), pd.DataFrame({"CONS_NO": [1]}), aggfunc=spy)
        fes = [o for o in seen if o.__name__ == "fe"]
        assert len(fes) == 2 and fes[0].__self__ is not fes[1].__self__
        assert {o.__qualname__ for o in seen} == {"fe4ts.<locals>.fe", "fe4ts.<locals>.fe.<locals>.<lambda>"}

    @pytest.mark.parametrize("kw, error, chain", [
        (dict(periodic=["WD"], value="TEXT", aggfunc=len), TypeError, ["fe4ts", "fe4ts.fe", "fe4ts.fe.lambda1"]),
        (dict(aggfunc=lambda s: 1 / 0), ZeroDivisionError, ["fe4ts", "fe4ts.fe", "fe4ts.fe.lambda"]),
        (dict(periodic=["NOPE"]), KeyError, ["fe4ts", "fe4ts.fe"]),
        (dict(tactic=[]), IndexError, ["fe4ts"]),
    ])
    def test_traceback_chain(self, kw, error, chain):
        df = ten_days().assign(WD=1, TEXT="x")
        with pytest.raises(error) as info:
            features(df, pd.DataFrame({"CONS_NO": [1]}), **kw)
        assert traceback_names(info) == [f"movra.{c}" for c in chain]


class TestBadInput:
    @pytest.mark.parametrize("kw, bounds, error", [
        (dict(tactic=["DAY", "NOPE"]), {}, KeyError),
        (dict(value="NOPE"), {}, KeyError),
        (dict(periodic=[3]), {}, TypeError),    # a column labelled 3: its names cannot be built
        (dict(value=5), {}, TypeError),
        (dict(tactic=[]), {}, IndexError),
        (dict(), {"FORWARD_T": 2}, AttributeError),
        (dict(), {"BACKWARD_T": 2}, AttributeError),
        (dict(), {"FORWARD_R": 1.5}, TypeError),
        (dict(), {"START": "soon"}, TypeError),
        (dict(lag=[1]), {"END": 9}, None),
    ])
    def test_fails_cleanly_and_leaves_inputs_alone(self, kw, bounds, error):
        df = ten_days().assign(**{"WD": 1})
        df[3], df[5] = 1, df.KWH
        interval = pd.DataFrame({"CONS_NO": [1], **{k: [v] for k, v in bounds.items()}})
        df_before, interval_before = df.copy(), interval.copy()
        if error is None:
            features(df, interval, **kw)
        else:
            with pytest.raises(error):
                features(df, interval, **kw)
        pd.testing.assert_frame_equal(df, df_before)
        pd.testing.assert_frame_equal(interval, interval_before)

    def test_missing_unit_column(self):
        with pytest.raises(KeyError):
            features(ten_days().drop(columns="CONS_NO"), pd.DataFrame({"CONS_NO": [1]}))
        with pytest.raises(KeyError):
            features(ten_days(), pd.DataFrame({"UNIT": [1]}))
