import gc
import json
import os
import shutil
import stat
import tempfile
import warnings

import pytest

import movra


def convert(tmp_path, content, *args, name="data.csv", encoding="utf-8", **kwargs):
    src = tmp_path / name
    src.write_bytes(content.encode(encoding))
    if encoding != "utf-8":
        kwargs["encoding"] = encoding
    assert movra.csv2json(str(src), *args, **kwargs) is None
    return (tmp_path / (name + ".json")).read_bytes().decode(encoding)


def leftovers(path):
    return sorted(p for p in os.listdir(path) if p.endswith(".tmp"))


class TestConversion:
    @pytest.mark.parametrize("content, records", [
        ("a,b\n1,2\n3\n", [{"a": "1", "b": "2"}, {"a": "3"}]),                 # short line
        ("a,b\n1,2,3\n", [{"a": "1", "b": "2"}]),                               # long line
        ("a,b\n1,2\n\n3,4", [{"a": "1", "b": "2"}, {"a": ""}, {"a": "3", "b": "4"}]),  # blank line
        ('a,b\n"x,y",z\n', [{"a": '"x', "b": 'y"'}]),                           # no quoting rules
        ("  a , b  \r\n  1 , 2 \t\n", [{"a ": "1 ", " b": " 2"}]),             # only lines are stripped
        ("k,v,k\n1,2,3\n", [{"k": "3", "v": "2"}]),                              # repeated key
        ("a,b\n", []),
    ])
    def test_records(self, tmp_path, content, records):
        text = convert(tmp_path, content)
        assert text == json.dumps(records, ensure_ascii=False, indent=4)

    def test_layout(self, tmp_path):
        assert convert(tmp_path, "a,b\n1,2\n") == '[\n    {\n        "a": "1",\n        "b": "2"\n    }\n]'

    def test_empty_input_gives_empty_array(self, tmp_path):
        assert convert(tmp_path, "") == "[]"

    @pytest.mark.parametrize("sep", ["\t", "::"])
    def test_separators(self, tmp_path, sep):
        text = convert(tmp_path, f"a{sep}b\n1{sep}2,3\n", sep=sep)
        assert json.loads(text) == [{"a": "1", "b": "2,3"}]

    @pytest.mark.parametrize("encoding", ["utf-8", "cp1251", "utf-16"])
    def test_encoding_used_both_ways_and_text_kept_unescaped(self, tmp_path, encoding):
        text = convert(tmp_path, "имя,город\nЁж,Тула\n", encoding=encoding)
        assert "Тула" in text and "\\u" not in text
        assert json.loads(text) == [{"имя": "Ёж", "город": "Тула"}]

    def test_overwrites_keeping_permission_bits(self, tmp_path):
        out = tmp_path / "data.csv.json"
        out.write_text("old")
        out.chmod(0o640)
        assert json.loads(convert(tmp_path, "a\n1\n")) == [{"a": "1"}]
        assert stat.S_IMODE(out.stat().st_mode) == 0o640
        assert leftovers(tmp_path) == []

    def test_new_file_gets_ordinary_mode(self, tmp_path):
        convert(tmp_path, "a\n1\n")
        mask = os.umask(0)
        os.umask(mask)
        assert stat.S_IMODE((tmp_path / "data.csv.json").stat().st_mode) == 0o666 & ~mask

    def test_through_symlink_the_linked_file_is_replaced(self, tmp_path):
        (tmp_path / "real").mkdir()
        real = tmp_path / "real" / "out.json"
        real.write_text("old")
        (tmp_path / "data.csv.json").symlink_to(real)
        convert(tmp_path, "a\n1\n")
        assert (tmp_path / "data.csv.json").is_symlink()
        assert json.loads(real.read_text()) == [{"a": "1"}]


class TestFailures:
    @pytest.fixture
    def old(self, tmp_path):
        out = tmp_path / "data.csv.json"
        out.write_text("old")
        return out

    @pytest.mark.parametrize("content, kwargs, error", [
        (b"a\n\xff\n", {}, UnicodeDecodeError),
        (b"a\n1\n", {"sep": ""}, ValueError),
        (b"a\n1\n", {"encoding": "no-such-codec"}, LookupError),
    ])
    def test_bad_input_leaves_output_untouched(self, tmp_path, old, entries, content, kwargs, error):
        (tmp_path / "data.csv").write_bytes(content)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(error) as info:
                movra.csv2json(str(tmp_path / "data.csv"), **kwargs)
            gc.collect()
        assert entries(info.value) == ["movra.csv2json"]
        assert not [w for w in caught if issubclass(w.category, ResourceWarning)]  # input closed
        assert old.read_text() == "old" and leftovers(tmp_path) == []

    def test_missing_input(self, tmp_path, entries):
        with pytest.raises(FileNotFoundError) as info:
            movra.csv2json(str(tmp_path / "none.csv"))
        assert entries(info.value) == ["movra.csv2json"]
        assert os.listdir(tmp_path) == []

    def test_path_not_text(self, tmp_path):
        (tmp_path / "data.csv").write_text("a\n1\n")
        with pytest.raises(TypeError):
            movra.csv2json(bytes(tmp_path / "data.csv"))
        assert os.listdir(tmp_path) == ["data.csv"]

    def test_failed_write_keeps_old_output(self, tmp_path, old, monkeypatch, entries):
        # The JSON text reaches write() only once the new file exists.
        class Json:
            @staticmethod
            def dumps(*args, **kwargs):
                return "[\n" + "\ud800" * 100000

        monkeypatch.setattr(movra, "json", Json)
        (tmp_path / "data.csv").write_text("a\n1\n")
        with pytest.raises(UnicodeEncodeError) as info:
            movra.csv2json(str(tmp_path / "data.csv"))
        assert entries(info.value) == ["movra.csv2json"]
        assert old.read_text() == "old" and leftovers(tmp_path) == []

    def test_file_size_limit_mid_write_keeps_old_output(self, tmp_path, old, run_python):
        pytest.importorskip("resource")
        (tmp_path / "data.csv").write_text("a,b\n" + "x,y\n" * 20000)
        code = """if 1:
            import resource, signal, sys, movra
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (30000, 30000))
            try:
                movra.csv2json(sys.argv[1])
            except OSError as e:
                print("failed", e.errno)
        """
        result = run_python(code, tmp_path / "data.csv")
        assert result.stdout.startswith("failed"), result.stderr
        assert old.read_text() == "old" and leftovers(tmp_path) == []

    def test_read_only_target_is_refused(self, tmp_path, old, run_python):
        prefix = ()
        if os.geteuid() == 0:
            if shutil.which("setpriv") is None:
                pytest.skip("root without setpriv: write permissions are not enforced")
            prefix = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search")
        (tmp_path / "data.csv").write_text("a\n1\n")
        old.chmod(0o444)
        code = "import sys, movra\ntry: movra.csv2json(sys.argv[1])\nexcept PermissionError: print('refused')"
        result = run_python(code, tmp_path / "data.csv", prefix=prefix)
        assert result.stdout.strip() == "refused", result.stderr
        assert old.read_text() == "old" and leftovers(tmp_path) == []

    def test_unwritable_directory_target_written_in_place(self, run_python):
        # As an unprivileged user: a directory it may not write, holding a
        # target it may.  No temporary file can go there, so the target is
        # written where it stands; a target that does not exist is refused.
        if os.geteuid() != 0:
            pytest.skip("needs root to run the conversion as another user")
        import pwd

        nobody = pwd.getpwnam("nobody")
        where = tempfile.mkdtemp()  # pytest's own directories are private to root
        try:
            os.chmod(where, 0o755)
            for name in ("a.csv", "b.csv"):
                with open(os.path.join(where, name), "w") as f:
                    f.write("a,b\n1,2\n")
            out = os.path.join(where, "a.csv.json")
            with open(out, "w") as f:
                f.write("old")
            os.chown(out, nobody.pw_uid, nobody.pw_gid)
            inode = os.stat(out).st_ino
            code = f"""if 1:
                import os, sys, movra
                os.setgroups([]); os.setgid({nobody.pw_gid}); os.setuid({nobody.pw_uid})
                movra.csv2json(sys.argv[1] + "/a.csv")
                try:
                    movra.csv2json(sys.argv[1] + "/b.csv")
                except PermissionError:
                    print("refused")
            """
            result = run_python(code, where)
            assert result.stdout.strip() == "refused", result.stderr
            with open(out) as f:
                assert json.load(f) == [{"a": "1", "b": "2"}]
            assert os.stat(out).st_ino == inode
            assert sorted(os.listdir(where)) == ["a.csv", "a.csv.json", "b.csv"]
        finally:
            shutil.rmtree(where)

    def test_target_is_a_directory(self, tmp_path):
        (tmp_path / "data.csv").write_text("a\n1\n")
        (tmp_path / "data.csv.json").mkdir()
        with pytest.raises(OSError):
            movra.csv2json(str(tmp_path / "data.csv"))
        assert (tmp_path / "data.csv.json").is_dir() and leftovers(tmp_path) == []
