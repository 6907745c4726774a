import math
import sys
import traceback

import numpy as np
import pandas as pd
import pytest

import movra

nan = np.nan


def tb_names(excinfo):
    return [f.name.split(" ")[0] for f in traceback.extract_tb(excinfo.tb)]


class TestEvaluate4group:
    @staticmethod
    def frame(index=None):
        # group 1: 20 rows, the positive ranked first -> flagged (n = 1);
        # group 2: 19 rows, its positive ranked first too -> n = 0, missed.
        df = pd.DataFrame({"TG_NO": [1] * 20 + [2] * 19,
                           "predict": list(range(20)) + list(range(19)),
                           "label": [0] * 19 + [1] + [0] * 18 + [1]})
        if index is not None:
            df.index = index
        return df

    @pytest.mark.parametrize("index", [None, list(range(38, -1, -1)), [f"r{i}" for i in range(39)]])
    def test_top_fraction_by_descending_prediction(self, index):
        df = self.frame(index)
        before = df.copy()
        result = movra.evaluate4group(df)
        assert result == (0.5, 0.5) and all(isinstance(r, float) for r in result)
        pd.testing.assert_frame_equal(df, before)

    @pytest.mark.parametrize("k, expected", [(1, (1.0, 1.0)), (0, (0.0, 0.0)), (0.5, (1.0, 1.0))])
    def test_k(self, k, expected):
        assert movra.evaluate4group(self.frame(), k=k) == expected

    def test_lowest_prediction_is_not_flagged(self):
        df = pd.DataFrame({"g": [1] * 4, "p": [4, 3, 2, 1], "y": [0, 0, 0, 1]})
        assert movra.evaluate4group(df, "g", "p", "y", 0.5) == (0.0, 0.0)

    def test_no_positive_label_divides_by_zero(self):
        with pytest.raises(ZeroDivisionError, match="float division by zero") as ei:
            movra.evaluate4group(self.frame().assign(label=0))
        assert tb_names(ei)[-1] == "movra.evaluate4group"


class TestCleanTopk:
    @pytest.mark.parametrize("values, kwargs, expected", [
        ([1.0, 5000.0, 3.0, nan], {}, [1.0, nan, 3.0, nan]),        # larger of the pair, left
        ([1.0, 1200.0, 2500.0], {}, [1.0, 1200.0, nan]),           # larger of the pair, right
        ([1.0, 2000.0, 1000.0], {}, [1.0, 2000.0, 1000.0]),        # ratio exactly gap
        ([1.0, 999.0, 100.0], {}, [1.0, 999.0, 100.0]),            # nothing above upper
        ([-5.0, -1.0, 5000.0], {"k": 3}, [-5.0, -1.0, 5000.0]),    # non-positive in top set
        ([5000.0, 1.0, 2.0, 1.5], {"k": 3}, [nan, 1.0, 2.0, 1.5]),  # leftmost pair, then k=2
        ([9.0, 50.0, 1.0], {"upper": 10, "gap": 4.0, "replace": -1.0}, [9.0, -1.0, 1.0]),
        ([5000.0, 1.0], {"k": 1}, [5000.0, 1.0]),
        ([nan, nan], {}, [nan, nan]),
        ([], {"k": 3}, []),
    ])
    def test_levels(self, values, kwargs, expected):
        v = np.array(values, dtype=float)
        assert movra.clean_topk(v, **kwargs) is v
        np.testing.assert_array_equal(v, np.array(expected, dtype=float))

    @pytest.mark.parametrize("v", [np.array([1, 5000, 3]), [1.0, 5000.0, 3.0], "abc", None,
                                   np.array([1, 5000, 3], dtype=object)])
    def test_failing_level_is_silent(self, v):
        snapshot = list(v) if hasattr(v, "__len__") else v
        out = movra.clean_topk(v)
        assert out is v and (not hasattr(v, "__len__") or list(out) == snapshot)

    def test_recursion_goes_through_module_name(self, monkeypatch):
        real, calls = movra.clean_topk, []
        monkeypatch.setattr(movra, "clean_topk", lambda *a: calls.append(a) or "next")
        v = np.array([1.0, 2.0])
        assert real(v, 3, 10, 2.0, 0.0) == "next"
        assert calls == [(v, 2, 10, 2.0, 0.0)]
        monkeypatch.delattr(movra, "clean_topk")
        with pytest.raises(NameError, match="'clean_topk'"):
            real(v)

    def test_bad_k_outside_guarded_level(self):
        with pytest.raises(TypeError) as ei:
            movra.clean_topk(np.array([1.0]), "a")
        assert tb_names(ei)[-1] == "movra.clean_topk"


class TestExpWSumQ3Q1:
    @pytest.mark.parametrize("args, expected", [
        (([1, 3, 2],), 2.25),
        (([4.0],), 2.0),
        (([],), 0.0),
        (([1, 3, 2], 0.5, False), 0.5 * 1 + 0.25 * 2 + 0.25 * 3),
        (([1, 3, 2], 0.5, True, False), 0.5 * 3 + 0.25 * 2 + 0.125 * 1),
        ((pd.Series([1, 3, 2]),), 2.25),
    ])
    def test_exp_w_sum(self, args, expected):
        assert movra.exp_w_sum(*args) == pytest.approx(expected)

    def test_exp_w_sum_keeps_input_and_raises_on_unorderable(self):
        x = [1, 3, 2]
        movra.exp_w_sum(x)
        assert x == [1, 3, 2]
        with pytest.raises(TypeError) as ei:
            movra.exp_w_sum([1, "a"])
        assert tb_names(ei)[-1] == "movra.exp_w_sum"

    @pytest.mark.parametrize("v, expected", [
        ([1, 2, 3, 4, nan], 1.5), (np.array([1.0, 2, 3, 4]), 1.5), (pd.Series([5.0, nan]), 0.0),
        ([nan, nan], nan), ([], nan), ("abc", nan), (object(), nan), ([[1], [2, 3]], nan)])
    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    def test_q3_q1(self, v, expected):
        r = movra.Q3_Q1(v)
        assert (math.isnan(expected) and math.isnan(r)) or r == expected


@pytest.mark.parametrize("call", [lambda: movra.Q3_Q1("x"), lambda: movra.clean_topk("x")])
def test_swallowed_failure_leaves_handled_exception(call):
    try:
        raise KeyError("outer")
    except KeyError as e:
        call()
        assert sys.exc_info()[1] is e
    assert sys.exc_info() == (None, None, None)


class TestGenNgrams:
    @pytest.mark.parametrize("s, n, pad, expected", [
        ("ab", 2, -1, [("-", "1"), ("1", "a"), ("a", "b"), ("b", "-"), ("-", "1")]),
        (["x", "y", "z"], 2, "#", [("#", "x"), ("x", "y"), ("y", "z"), ("z", "#")]),
        ([1, 2], 2, -1, [(-1, 1), (1, 2), (2, -1)]),
        ("abc", 1, -1, [("a",), ("b",), ("c",)]),
        ("abc", 0, -1, []),
        ([], 3, 0, [(0, 0, 0), (0, 0, 0)]),
        ((1, 2, 3), 2, -1, [(1, 2), (2, 3)]),
        (np.array([[1, 2], [3, 4]]), 2, 0, [(0, [1, 2]), ([1, 2], [3, 4]), ([3, 4], 0)]),
    ])
    def test_ngrams(self, s, n, pad, expected):
        assert movra.gen_ngrams(s, n, pad) == expected

    def test_exact_types(self):
        class S(str):
            pass

        class A(np.ndarray):
            pass

        assert movra.gen_ngrams(S("ab"), 2) == [("a", "b")]
        s = [1, 2]
        assert len(movra.gen_ngrams(s, 3)) == 4 and s == [1, 2]
        grams = movra.gen_ngrams(np.array([7, 8]), 2)
        assert grams == [(-1, 7), (7, 8), (8, -1)] and type(grams[1][0]) is int
        assert len(movra.gen_ngrams(np.arange(3).view(A), 2)) == 2

    def test_a_huge_n_ends_at_the_first_empty_view(self):
        # Views past the end are empty and zip stops at the shortest: the
        # answer is known long before 2**62 views could be built.
        assert movra.gen_ngrams((1, 2, 3), 2**62) == []
        assert movra.gen_ngrams(range(5), 2**40) == []
        with pytest.raises((MemoryError, OverflowError)):
            movra.gen_ngrams("ab", 2**62)

    @pytest.mark.parametrize("s, n, message", [
        (5, 2, "'int' object is unsliceable"),
        ("ab", 2.0, "can't multiply sequence"),
        ((1, 2), 2.0, "cannot be interpreted as an integer"),
    ])
    def test_errors(self, s, n, message):
        with pytest.raises(TypeError, match=message) as ei:
            movra.gen_ngrams(s, n)
        assert tb_names(ei)[-1] == "movra.gen_ngrams"
