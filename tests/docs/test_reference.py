"""The examples of the pages in docs/ and of the README run as doctests, so
the pages cannot drift from what the functions do.

Each page is one doctest session, run in a scratch working directory (the
file examples create and read files there).  Outputs are compared with
whitespace normalised and "..." matching anything.  pandas' and numpy's
deprecation warnings are errors here: an example a user copies must not
warn on any supported version.
"""
import doctest
import io
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
# Pages whose examples use libraries that movra does not depend on: they run
# where those are installed.
NEEDS = {"arrow.md": ("pyarrow", "polars", "duckdb")}


def test_every_function_has_an_example():
    import movra

    text = "".join(page.read_text(encoding="utf-8") for page in PAGES)
    functions = [name for name, f in vars(movra).items() if type(f) is type(movra.md5)]
    assert len(functions) == 17
    assert [f for f in functions if f"movra.{f}(" not in text] == []


@pytest.mark.parametrize("page", PAGES, ids=[p.name for p in PAGES])
def test_page_examples(page, tmp_path, monkeypatch):
    for module in NEEDS.get(page.name, ()):
        pytest.importorskip(module)
    monkeypatch.chdir(tmp_path)
    text = page.read_text(encoding="utf-8")
    test = doctest.DocTestParser().get_doctest(text, {"__name__": page.stem}, page.name, str(page), 0)
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    with warnings.catch_warnings():
        warnings.simplefilter("error", FutureWarning)
        warnings.simplefilter("error", DeprecationWarning)
        runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()
