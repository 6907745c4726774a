"""The function type every movra function shares: binding, attributes,
text form, pickling, method binding and traceback entries."""
import gc
import inspect
import pickle
import re
import sys
import weakref
from pathlib import Path

import numpy
import pytest

import movra
from movra_tracebacks import traceback_names

ROOT = Path(__file__).resolve().parents[2]


def movra_functions():
    functions = [f for f in vars(movra).values() if type(f).__name__ == "movra_function"]
    assert len(functions) == 17
    return functions


class TestBindingMessages:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: movra.csv2json(), "csv2json() takes at least 1 positional argument (0 given)"),
            (lambda: movra.csv2json("a", "utf-8", ",", 1), "csv2json() takes at most 3 positional arguments (4 given)"),
            (lambda: movra.searchfiles("d"), "searchfiles() takes exactly 2 positional arguments (1 given)"),
            (lambda: movra.uet2ute(1, 2), "uet2ute() takes exactly 4 positional arguments (2 given)"),
            (lambda: movra.fe4ts(1, unit="CONS_NO"), "fe4ts() takes at least 7 positional arguments (2 given)"),
            (lambda: movra.fe4ts(1), "fe4ts() takes at least 7 positional arguments (1 given)"),
            (lambda: movra.pad_seq([1], 10, maxlen=5), "pad_seq() got multiple values for keyword argument 'maxlen'"),
            (lambda: movra.exp_w_sum([1], bse=0.5), "exp_w_sum() got an unexpected keyword argument 'bse'"),
            (lambda: movra.pad_seq(**{1: 2}), "pad_seq() takes at least 1 positional argument (0 given)"),
            (lambda: movra.pad_seq([1], 2, "post", 0, 9, k=1), "pad_seq() takes at most 4 positional arguments (5 given)"),
        ],
    )
    def test_count_and_keyword_messages(self, call, message):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == message
        # Binding errors are raised before the body runs: no traceback entry.
        assert traceback_names(excinfo) == []

    def test_non_text_keyword_is_reported_after_the_parameters_bind(self):
        with pytest.raises(TypeError, match=r"^pad_seq\(\) keywords must be strings$"):
            movra.pad_seq([1], **{"maxlen": 3, 5: 1})

    def test_first_bad_keyword_in_dict_order_wins(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
            movra.pad_seq([1], zz=1, v=2)
        with pytest.raises(TypeError, match="multiple values for keyword argument 'v'"):
            movra.pad_seq([1], v=2, zz=1)

    def test_keywords_fill_parameters_and_defaults_the_rest(self):
        out = movra.pad_seq(v=[1, 2], padding="pre", maxlen=4)
        assert out.tolist() == [-1, -1, 1, 2]
        assert movra.pad_seq([1], value=0, maxlen=3).tolist() == [1, 0, 0]

    @pytest.mark.parametrize("fn", [movra.md5, movra.Q3_Q1, movra.is_done, movra.load_model])
    def test_single_argument_functions_refuse_other_calls(self, fn):
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            fn(str="x")
        with pytest.raises(TypeError, match=r"takes exactly one argument \(2 given\)"):
            fn("a", "b")
        with pytest.raises(TypeError, match=r"takes exactly one argument \(0 given\)"):
            fn()


class TestAttributes:
    def test_names_and_text_form(self):
        f = movra.gen_ngrams
        assert f.__name__ == f.func_name == "gen_ngrams"
        assert f.__qualname__ == "gen_ngrams"
        assert f.__module__ == "movra"
        assert f.__doc__ is None and f.func_doc is None
        text = repr(f)
        assert "gen_ngrams" in text and hex(id(f))[2:] in text.lower()
        assert type(f).__name__ == "movra_function"

    @pytest.mark.parametrize(
        "attr, bad, message",
        [
            ("__name__", 1, "__name__ must be set to a string object"),
            ("__qualname__", None, "__qualname__ must be set to a string object"),
            ("__dict__", [], "setting function's dictionary to a non-dict"),
            ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
            ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
            ("__annotations__", 3, "__annotations__ must be set to a dict object"),
        ],
    )
    def test_writes_of_the_wrong_type_are_refused(self, attr, bad, message):
        with pytest.raises(TypeError, match=re.escape(message)):
            setattr(movra.exp_w_sum, attr, bad)

    def test_dict_attribute(self):
        f = movra.is_done
        with pytest.raises(TypeError, match="function's dictionary may not be deleted"):
            del f.__dict__
        f.__dict__ = {"tag": 1}
        assert f.tag == 1 and f.func_dict == {"tag": 1}
        f.other = 2
        assert f.__dict__ == {"tag": 1, "other": 2}
        f.__dict__ = {}

    @pytest.mark.parametrize("attr", ["__globals__", "func_globals", "__closure__", "__code__", "__self__"])
    def test_read_only_attributes(self, attr):
        with pytest.raises(AttributeError):
            setattr(movra.tsdf2seq, attr, None)

    def test_read_only_values(self):
        f = movra.fe4ts
        assert f.__globals__ is vars(movra)
        assert f.__closure__ is None and f.func_closure is None
        assert f.__self__ is None
        assert f.__kwdefaults__ is None
        assert f.__annotations__ == {}

    def test_doc_and_module_accept_anything(self):
        f = movra.unit_date
        f.__doc__ = 5
        assert f.__doc__ == 5
        del f.__doc__
        assert f.__doc__ is None
        f.__module__ = "elsewhere"
        assert f.__module__ == "elsewhere"
        f.__module__ = "movra"

    def test_code_objects_carry_parameters_then_locals(self):
        code = movra.fe4ts.__code__
        assert code.co_argcount == 9
        assert code.co_varnames[:9] == (
            "df", "unit", "tactic", "periodic", "lag", "value", "interval", "del_t_maximin", "aggfunc")
        assert code.co_varnames[9:] == ("fe", "fe", "ftrs", "index", "row", "df_", "ftr", "t", "p", "i", "l")
        assert movra.md5.__code__.co_varnames == ("str", "hashlib", "m")
        assert movra.searchfiles.__code__.co_varnames == ("path", "expr", "search", "search", "files")

    def test_signatures_state_the_calling_convention(self):
        # The single-argument functions refuse keywords: their one parameter
        # is positional-only wherever a signature is read.
        for name in ("md5", "Q3_Q1", "is_done", "load_model"):
            f = getattr(movra, name)
            assert f.__code__.co_posonlyargcount == 1
            with pytest.raises(TypeError):
                f(**{f.__code__.co_varnames[0]: "x"})
        assert str(inspect.signature(movra.md5)) == "(str, /)"
        assert str(inspect.signature(movra.pad_seq)) == "(v, maxlen=256, padding='post', value=-1)"


class TestDefaults:
    @pytest.mark.parametrize(
        "name, expected",
        [
            ("gen_ngrams", (-1,)),
            ("evaluate4group", ("TG_NO", "predict", "label", 0.05)),
            ("unit_date", ("CONS_NO", "OCCUR_TIME", -15)),
            ("tsdf2seq", ("DATA_DATE", "KWH", None, 256, "post", None)),
            ("pad_seq", (256, "post", -1)),
            ("exp_w_sum", (0.5, True, True)),
            ("datesStr2datesLst", (",",)),
            ("csv2json", ("utf-8", ",")),
            ("md5", None),
            ("searchfiles", None),
            ("usest2uet", None),
            ("uet2ute", None),
        ],
    )
    def test_reported_defaults(self, name, expected):
        assert getattr(movra, name).__defaults__ == expected

    def test_load_time_defaults_come_from_numpy_at_load(self):
        d = movra.clean_topk.__defaults__
        assert d[:3] == (2, 1000, 2.0) and numpy.isnan(d[3])
        assert movra.fe4ts.__defaults__ == (False, numpy.nansum)
        assert movra.fe4ts.__defaults__ is movra.fe4ts.__defaults__  # built once, then kept

    def test_load_time_defaults_ignore_a_later_numpy(self, monkeypatch):
        monkeypatch.setattr(movra, "numpy", None)
        assert movra.fe4ts.func_defaults[1] is numpy.nansum

    def test_assigning_defaults_changes_only_the_report(self):
        f = movra.pad_seq
        saved = f.__defaults__
        try:
            f.__defaults__ = (10, "pre", 0)
            assert f.__defaults__ == (10, "pre", 0)
            out = f([1.0])
            assert len(out) == 256 and out[0] == 1.0 and out[-1] == -1
            f.__defaults__ = None
            assert f.__defaults__ is None
            assert len(f([1.0])) == 256
        finally:
            f.__defaults__ = saved


class TestObjectBehaviour:
    def test_pickled_by_reference(self):
        for f in (movra.pad_seq, movra.fe4ts, movra.md5):
            assert pickle.loads(pickle.dumps(f)) is f
            assert f.__reduce__() == f.__name__

    def test_method_binding(self):
        class Holder:
            pad = movra.pad_seq

        h = Holder()
        # Through an instance the instance becomes the first argument ...
        assert h.pad.__self__ is h and h.pad.__func__ is movra.pad_seq
        with pytest.raises(TypeError):
            h.pad()  # len() of a Holder
        # ... through the class the arguments pass on unchanged.
        assert Holder.pad([1], 2).tolist() == [1, -1]

    def test_weak_references_and_gc(self):
        ref = weakref.ref(movra.md5)
        assert ref() is movra.md5
        assert gc.is_tracked(movra.md5)

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (type(movra.md5),), {})


class TestNamesAndTracebacks:
    def test_namespace_order(self):
        names = [n for n in vars(movra) if not (n.startswith("__") and n.endswith("__")) or n == "__test__"]
        assert names == [
            "numpy", "pandas", "datetime", "os", "re", "pickle", "time", "tqdm",
            "gen_ngrams", "md5", "clean_topk", "evaluate4group", "unit_date", "tsdf2seq", "pad_seq",
            "Q3_Q1", "exp_w_sum", "searchfiles", "load_model", "is_done", "fe4ts", "datesStr2datesLst",
            "usest2uet", "uet2ute", "json", "csv2json", "__test__"]
        assert movra.__test__ == {}
        import tqdm as tqdm_module
        assert movra.tqdm is tqdm_module.tqdm
        assert movra.numpy is numpy
        assert movra.__builtins__ is sys.modules["builtins"]

    def test_traceback_entry_names_the_function_and_its_source(self):
        with pytest.raises(TypeError) as excinfo:
            movra.pad_seq(3)
        assert traceback_names(excinfo) == ["movra.pad_seq"]
        code = excinfo.traceback[-1].frame.code.raw
        assert re.fullmatch(r"movra\.pad_seq \(src/sequences/pad_seq\.cpp:\d+\)", code.co_name)
        assert code.co_filename == "src/sequences/pad_seq.cpp"

    @pytest.mark.skipif(not (ROOT / "src").is_dir(),
                        reason="an installed wheel carries no C++ sources; the paths its code objects "
                               "record are checked by test_code_objects_record_the_body_file_and_entries_follow")
    def test_code_objects_point_at_the_function_entry_in_the_sources(self):
        for f in movra_functions():
            code = f.__code__
            lines = (ROOT / code.co_filename).read_text().splitlines()
            # The first line is that of the function's entry, below its body.
            assert f"_FUNCTION({f.__name__})" in lines[code.co_firstlineno - 1], (f.__name__, code.co_firstlineno)

    def test_code_objects_record_the_body_file_and_entries_follow(self):
        # Without the sources (an installed wheel) the code objects still name
        # the body's file relative to the project root, so that a traceback
        # reads the same wherever movra was built, and a line within it.
        for f in movra_functions():
            code = f.__code__
            assert re.fullmatch(r"src/(module|features|sequences|scoring|files)/\w+\.cpp", code.co_filename), \
                (f.__name__, code.co_filename)
            assert code.co_firstlineno > 1, f.__name__

        # A traceback entry names the code object's file, at a line of the
        # body, also when the call fails before its first statement.
        class Deep:
            def __len__(self):
                return len(movra.pad_seq(self, 1))

        code = movra.pad_seq.__code__
        for call in (lambda: movra.pad_seq(3), lambda: movra.pad_seq(Deep(), 1)):
            with pytest.raises((TypeError, RecursionError)) as excinfo:
                call()
            entries = [e.frame.code.raw for e in excinfo.traceback if e.frame.code.raw.co_name.startswith("movra.")]
            assert entries
            for entry in entries:
                name, file, line = re.fullmatch(r"(\S+) \((\S+):(\d+)\)", entry.co_name).groups()
                assert (name, file, entry.co_filename) == ("movra.pad_seq", code.co_filename, code.co_filename)
                assert 0 < int(line) <= code.co_firstlineno

    def test_fe_looks_pandas_up_at_each_use(self, monkeypatch):
        import pandas

        read = []

        class Recording:  # pandas, from the first aggregation of a period on
            def __getattr__(self, name):
                read.append(name)
                return getattr(pandas, name)

        def aggfunc(x):
            monkeypatch.setattr(movra, "pandas", Recording())
            return x.sum()

        readings = pandas.DataFrame({"CONS_NO": [1] * 4, "T": [0, 1, 2, 3], "KWH": [1.0, 2.0, 3.0, 4.0]})
        windows = pandas.DataFrame({"CONS_NO": [1], "START": [0], "END": [3]})
        movra.fe4ts(readings, "CONS_NO", ["T"], [], [], "KWH", windows, aggfunc=aggfunc)
        assert "Series" in read  # fe's statistics after the aggregation

    def test_globals_are_looked_up_at_every_use(self, monkeypatch):
        class FakeNumpy:
            @staticmethod
            def append(a, b):
                return ("fake", list(a), list(b))

        monkeypatch.setattr(movra, "numpy", FakeNumpy)
        assert movra.pad_seq([1], 2) == ("fake", [1], [-1])
        monkeypatch.delattr(movra, "numpy")
        with pytest.raises(NameError, match="^name 'numpy' is not defined$") as excinfo:
            movra.pad_seq([1], 2)
        assert traceback_names(excinfo) == ["movra.pad_seq"]
        # The builtins module is the fallback.
        import builtins
        monkeypatch.setattr(builtins, "numpy", FakeNumpy, raising=False)
        assert movra.pad_seq([1], 2)[0] == "fake"

    def test_runaway_recursion_is_a_recursion_error(self):
        class Deep:
            def __len__(self):
                return len(movra.pad_seq(self, 1))

        with pytest.raises(RecursionError):
            movra.pad_seq(Deep(), 1)
