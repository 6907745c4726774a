"""fe4ts's derived columns against the same formulas written in plain pandas,
over records of any values: zeros of both signs, NaN, infinities, labels
missing from every record (a profile key no window has), counts held as
int64.  The records go through the companion's assembly, which builds the
table from given records by fe4ts's own rule."""
import numpy as np
import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st

import _movra_companion as companion
from fe4ts_calls import plain_derived

TACTIC = ["T", "W"]
PERIODIC = ["P"]
LAG = [1, 7.0]
STATS = ["MAX", "MIN", "MEDIAN", "Q3", "Q1", "MEAN", "STD", "SKEW", "KURT"]
COUNTS = ["NB_0", "NB_NA", "NB"]
CELLS = [0.0, -0.0, np.nan, np.inf, -np.inf, 1.5, -2.0, 3.0, 4.0]


def record_labels(keys):
    labels = [f"V_{t}_{s}" for t in TACTIC for s in STATS + COUNTS]
    labels += [f"V_P_{k}_{s}" for k in keys for s in STATS]
    labels += [f"V_DIFF_{l}_{s}" for l in LAG for s in STATS + COUNTS + ["ACOR"]]
    return labels + ["V_START", "V_END"]


@st.composite
def records(draw):
    """Records of some windows: the periodic keys in order of first appearance
    in the readings, some labels in no record, any cells; the unit column
    somewhere among them."""
    keys = draw(st.permutations([3, 1, 2, 6]))
    rows = draw(st.integers(1, 4))
    # A statistic may be absent on its own; an entry's counts come together,
    # as in every record fe4ts makes.
    every = record_labels(keys)
    counted = {label.rsplit("_NB", 1)[0] for label in every if label.endswith("_NB")}
    kept = {base: draw(st.integers(0, 9)) > 0 for base in counted}
    labels = [label for label in every
              if (kept[label.rsplit("_NB", 1)[0]] if "_NB" in label else draw(st.integers(0, 9)) > 0)]
    cells = {label: draw(st.lists(st.sampled_from(CELLS), min_size=rows, max_size=rows)) for label in labels}
    frame = pd.DataFrame(cells, columns=labels, dtype="float64", index=range(rows))
    if draw(st.booleans()):
        # Counts as int64, as records over a datetime axis hold them.
        for label in labels:
            if label.rsplit("_", 1)[-1] in ("0", "NA", "NB") and "_NB" in label:
                frame[label] = [draw(st.integers(0, 3)) for _ in range(rows)]
    at = draw(st.integers(0, len(labels)))
    frame.insert(at, "U", np.arange(100, 100 + rows), allow_duplicates=True)
    df = pd.DataFrame({"P": keys + keys[:2], "T": 0, "V": 0.0})
    return df, frame


def same_cells(got, expected):
    """Equal dtypes and cells: NaN where NaN, zeros of the same sign."""
    assert got.dtype == expected.dtype, (got.name, got.dtype, expected.dtype)
    if expected.dtype == object:
        assert got.tolist() == expected.tolist()
        return
    a, b = got.to_numpy(), expected.to_numpy()
    assert np.array_equal(np.isnan(a), np.isnan(b)), got.name
    assert np.array_equal(np.signbit(a), np.signbit(b)), got.name
    assert np.array_equal(a[~np.isnan(a)], b[~np.isnan(b)]), got.name


@settings(max_examples=150, deadline=None)
@given(case=records())
def test_derived_columns_are_the_plain_formulas(case):
    df, frame = case
    rows = len(frame)
    parts = [(frame, np.arange(rows), list(range(frame.shape[1])))]
    unit_at = [frame.columns.get_loc("U")]
    expected = plain_derived(frame, "V", TACTIC, {"P": list(pd.unique(df["P"]))}, LAG)
    table = companion.fe4ts_table(parts, list(frame.columns), unit_at, frame["U"], 0, rows, df, "U", TACTIC,
                                  PERIODIC, LAG, "V")
    assert table.columns.tolist() == expected.columns.tolist()
    for j in range(expected.shape[1]):
        same_cells(table.iloc[:, j], expected.iloc[:, j])
