"""The example scripts: the whole job from readings to ranked suspects, and
the feature-engineering demo.

The detection example needs scikit-learn; both draw their pictures only
where matplotlib is installed, so here a missing matplotlib is no failure.
"""
import importlib.util
import re
import runpy
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def load(name):
    found = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run(name, monkeypatch, *args):
    """Runs examples/NAME.py as a script with ARGS."""
    monkeypatch.setattr(sys, "argv", [f"{name}.py", *args])
    runpy.run_path(str(EXAMPLES / f"{name}.py"), run_name="__main__")


@pytest.mark.parametrize("seed", [3, 4])
def test_features_carry_the_tampering_signal(seed):
    # A model trained on half of the areas must rank the thieves of the other
    # half far above a random ranking: otherwise the features (or the way
    # the example puts the windows side by side) lost what tells them apart.
    pytest.importorskip("sklearn")
    threadpoolctl = pytest.importorskip("threadpoolctl")      # comes with scikit-learn
    detect = load("detect")
    readings, people = detect.synthesize(1500, seed=seed)
    assert set(people.KIND[people.label == 1]) == set(detect.KINDS)
    table = detect.features(readings, people)
    assert len(table) == len(people) and table.shape[1] > 300

    fit = detect.split_areas(people, seed)
    # One thread: OpenMP's threads wait for each other at every step, which
    # takes many times longer when the suite shares the machine.
    with threadpoolctl.threadpool_limits(1, "openmp"):
        model = detect.train(table[fit], people.label[fit], seed)
    scored = detect.score(model, table[~fit], people[~fit])
    rates = detect.evaluate(scored, [0.05, 0.1]).set_index("k")
    for k, row in rates.iterrows():
        assert row["individuals"] > max(0.3, 4 * row["random individuals"]), (k, row.to_dict())
        assert row["groups"] > row["random groups"] + 0.3, (k, row.to_dict())

    # Each kind's share among the flagged, from evaluate4group with a label
    # per kind, adds up to the individual rate over all thieves.
    kinds = detect.caught_by_kind(scored, 0.05)
    counts = scored.KIND[scored.label == 1].value_counts()
    assert (kinds * counts[kinds.index]).sum() / counts.sum() == pytest.approx(rates.loc[0.05, "individuals"])


def test_detect_script_ends_with_its_hits_line(tmp_path, monkeypatch, capsys):
    threadpoolctl = pytest.importorskip("threadpoolctl")      # comes with scikit-learn
    with threadpoolctl.threadpool_limits(1, "openmp"):
        run("detect", monkeypatch, "--consumers", "600", "--out", str(tmp_path))
    last = capsys.readouterr().out.strip().splitlines()[-1]
    number = r"(\d\.\d+)"
    found = re.fullmatch(rf"hits at k=0\.05: groups {number}, individuals {number}; "
                         rf"random ranking: groups {number}, individuals {number}", last)
    assert found, last
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "detect.png").stat().st_size > 10_000


def test_demo_script_writes_its_table_and_picture(tmp_path, monkeypatch, capsys):
    run("demo", monkeypatch, "--consumers", "200", "--days", "120", "--compare", "2", "--out", str(tmp_path))
    out = capsys.readouterr().out
    assert "feature table: 400 rows" in out
    assert (tmp_path / "features.csv").stat().st_size > 0
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "demo.png").stat().st_size > 10_000
