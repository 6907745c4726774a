import inspect
import os
import re
import sys

import pytest

import movra


def tree(root, *paths):
    """Creates files (or directories, for names ending in '/') under root."""
    for p in paths:
        full = root / p
        full.parent.mkdir(parents=True, exist_ok=True)
        if p.endswith("/"):
            full.mkdir(exist_ok=True)
        else:
            full.write_text("")
    return str(root)


class TestOrderAndMatching:
    def test_depth_first_in_listdir_order(self, tmp_path):
        d = tree(tmp_path / "d", "a.csv", "s/b.csv", "s/t/c.csv", "z.csv", "y.txt")
        expected = []

        def walk(path):
            for name in os.listdir(path):
                fp = os.path.join(path, name)
                if os.path.isfile(fp) and name.endswith(".csv"):
                    expected.append(fp)
                elif os.path.isdir(fp):
                    walk(fp)

        walk(d)
        assert movra.searchfiles(d, r"csv$") == expected
        assert len(expected) == 4

    def test_pattern_sees_bare_names_only(self, tmp_path):
        d = tree(tmp_path, "csvdir/x.txt", "csvdir/in.csv", "Up.CSV", "mid.csv.bak")
        # Case-sensitive, anywhere in the name, never in the directory part.
        assert sorted(movra.searchfiles(d, "csv")) == [os.path.join(d, "csvdir", "in.csv"),
                                                       os.path.join(d, "mid.csv.bak")]
        assert movra.searchfiles(d, "^csvdir") == []

    def test_compiled_pattern_and_keywords(self, tmp_path):
        d = tree(tmp_path, "a.csv", "b.CSV")
        assert sorted(movra.searchfiles(expr=re.compile("csv", re.I), path=d)) == \
            sorted(os.path.join(d, n) for n in ("a.csv", "b.CSV"))

    @pytest.mark.parametrize("paths", [(), ("x.txt", "s/", "s/t/")])
    def test_nothing_found(self, tmp_path, paths):
        assert movra.searchfiles(tree(tmp_path, *paths), "csv$") == []

    def test_invalid_pattern_unused_without_files(self, tmp_path):
        assert movra.searchfiles(tree(tmp_path, "s/t/"), "(") == []

    def test_links_are_followed(self, tmp_path):
        d = tree(tmp_path / "d", "real/a.csv")
        os.symlink(os.path.join(d, "real", "a.csv"), os.path.join(d, "link.csv"))
        os.symlink(os.path.join(d, "real"), os.path.join(d, "dirlink"))
        os.symlink(os.path.join(d, "gone"), os.path.join(d, "dangling.csv"))
        found = movra.searchfiles(d, "csv$")
        assert sorted(found) == sorted(os.path.join(d, *p) for p in
                                       [("real", "a.csv"), ("link.csv",), ("dirlink", "a.csv")])


class TestFailures:
    def test_invalid_pattern_reports_every_level(self, tmp_path, entries):
        d = tree(tmp_path, "s/t/x.txt")
        with pytest.raises(re.error) as info:
            movra.searchfiles(d, "(")
        assert entries(info.value) == ["movra.searchfiles"] + ["movra.searchfiles.search"] * 3

    @pytest.mark.parametrize("make, error", [
        (lambda p: str(p / "missing"), FileNotFoundError),
        (lambda p: tree(p, "f.csv") + "/f.csv", NotADirectoryError),
    ])
    def test_bad_start(self, tmp_path, entries, make, error):
        with pytest.raises(error) as info:
            movra.searchfiles(make(tmp_path), "csv")
        assert entries(info.value) == ["movra.searchfiles", "movra.searchfiles.search"]

    def test_bytes_path_with_text_pattern(self, tmp_path):
        d = tree(tmp_path, "a.csv")
        with pytest.raises(TypeError):
            movra.searchfiles(os.fsencode(d), "csv")
        assert movra.searchfiles(os.fsencode(d), b"csv") == [os.path.join(os.fsencode(d), b"a.csv")]

    def test_binding(self):
        with pytest.raises(TypeError, match=r"searchfiles\(\) takes exactly 2 positional arguments \(1 given\)"):
            movra.searchfiles("d")

    def test_deep_tree_ends_in_recursion_error(self, tmp_path):
        d = tree(tmp_path, "/".join("d" * 150) + "/x.csv")
        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(len(inspect.stack()) + 100)
        try:
            with pytest.raises(RecursionError):
                movra.searchfiles(d, "csv")
        finally:
            sys.setrecursionlimit(limit)
        assert movra.searchfiles(d, "csv") == [os.path.join(d, *"d" * 150, "x.csv")]

    def test_link_back_to_ancestor_terminates(self, tmp_path):
        d = tree(tmp_path / "d", "a.csv")
        os.symlink(d, os.path.join(d, "loop"))
        try:
            found = movra.searchfiles(d, "csv")
        except RecursionError:
            return
        # The system stops resolving after a fixed number of links.
        assert found[0] == os.path.join(d, "a.csv") and len(found) > 1
