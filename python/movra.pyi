"""movra: features from metered readings and event logs, and scores of what models predict.

Every function takes Python objects (pandas DataFrames and Series, numpy
arrays, lists, strings, file paths; where it takes a table, also any table
exporting an Arrow stream, such as polars, pyarrow and DuckDB tables, taken
as the DataFrame pandas.DataFrame.from_arrow makes of it) and returns a new Python object, except
that clean_topk changes its array in place and pad_seq may return its
argument.  Bad input raises an ordinary Python exception whose traceback ends
in an entry naming the movra function.  The full reference is docs/ in the
source distribution.
"""

import os
import re
from collections.abc import Callable, Hashable, Iterable, Sequence
from typing import Any, AnyStr, Literal, Protocol, TypeVar, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

_V = TypeVar("_V")

class _ArrowStream(Protocol):
    """A table exporting the Arrow PyCapsule stream: polars, pyarrow, DuckDB, ibis."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# A table argument: a pandas DataFrame, or an Arrow stream taken as the frame
# that pandas.DataFrame.from_arrow makes of it.
_Table = pd.DataFrame | _ArrowStream

# ---- feature engineering ---------------------------------------------------

def fe4ts(
    df: _Table,
    unit: str,
    tactic: Sequence[str],
    periodic: Iterable[str],
    lag: Iterable[float],
    value: str,
    interval: _Table,
    del_t_maximin: object = False,
    aggfunc: Callable[[pd.Series], Any] = ...,
) -> pd.DataFrame:
    """One row of features per observation window.

    df: the readings, one row per unit and time step (e.g. CONS_NO, DAY, KWH).
    unit: name of the unit column, in df and in interval.
    tactic: period columns of df; tactic[0] is the time axis (numbers) by
        which readings are ordered, windowed and lagged.
    periodic: columns whose distinct values form profile groups (e.g. WEEKDAY).
    lag: distances on the time axis for the lag-difference block.
    value: name of the reading column; the first part of every feature name.
    interval: one row per window: the unit column and any of START, END
        (inclusive), FORWARD_T, BACKWARD_T, FORWARD_R, BACKWARD_R.
    del_t_maximin: when true, the first and last period of each tactic column
        are left out of the period statistics.
    aggfunc: aggregates one period's readings (a Series); numpy.nansum by default.

    Returns a DataFrame with one row per window, in interval's order, under a
    fresh index: value_T_STAT period features, value_P_i_STAT profile features,
    value_DIFF_l_STAT lag features, value_START and value_END, the unit column,
    then the derived ratio, spread and share columns.  Missing columns raise
    KeyError; an empty tactic raises IndexError.
    """

# ---- event logs, calendars and model input ----------------------------------

def usest2uet(usest: _Table, unit: Hashable, e: Hashable, ts: str, interval: _Table) -> pd.DataFrame:
    """Cut each consumer's event-time lists into observation windows.

    usest: the event log, with a CONS_NO column, the event-kind column e and
        the column ts whose every cell is a list of times.
    unit, e, ts: labels of the result's first three columns (unit labels the
        CONS_NO values; the inputs are always matched on CONS_NO).
    interval: the windows, with columns CONS_NO, START and END.

    Returns a DataFrame with columns [unit, e, ts, "START", "END", ts + "_NB"]:
    one row per window and event kind of its consumer, holding the array of
    times strictly between START and END and their count.
    """

def uet2ute(uet: _Table, unit: Hashable, e: Hashable, t: Hashable) -> pd.DataFrame:
    """Turn a unit-event-times table inside out: one row per unit and time.

    uet: a table like usest2uet's result; unit, e and t label its unit,
        event-kind and time-array columns.

    Returns a DataFrame with columns [unit, t, e], one row per distinct
    (unit, time), sorted by unit then time; column e holds the list of event
    kinds recorded at that time.
    """

def datesStr2datesLst(s: str, sep: str = ",") -> list[pd.Timestamp]:
    """Parse a text of dates joined by sep into a list of pandas Timestamps.

    Pieces are not trimmed; a piece that pandas.to_datetime cannot read is
    dropped silently.  A non-text s (e.g. a missing value) raises.
    """

def unit_date(
    df: _Table, unit: Hashable = "CONS_NO", date: Hashable = "OCCUR_TIME", daysdiff: float = -15
) -> pd.Series:
    """A thinned calendar of reference dates per unit.

    Every event time of df[date] is shifted by daysdiff days and kept only if
    it lies more than abs(daysdiff) whole days from every date already kept for
    its unit.  Returns a Series indexed by unit (first-seen order) whose values
    are lists of shifted times.
    """

def tsdf2seq(
    df: _Table,
    t: Hashable = "DATA_DATE",
    s: Hashable = "KWH",
    date: Any = None,
    maxlen: int | None = 256,
    cut: str = "post",
    maxdays: float | None = None,
) -> npt.NDArray[Any]:
    """One series' readings as a numpy array for sequence models.

    Rows are ordered by t; with date, only rows with t <= date are kept (and
    with maxdays also t >= date - maxdays days).  With maxlen set and cut
    "post" (last maxlen values) or "pre" (first maxlen values) the result is
    the 1-D array of column s; otherwise (maxlen None or 0, or any other cut)
    it is the 2-D array of the whole kept frame.
    """

@overload
def pad_seq(
    v: npt.ArrayLike, maxlen: int = 256, padding: Literal["post", "pre"] = "post", value: Any = -1
) -> npt.NDArray[Any]:
    """Pad a sequence with value up to maxlen, after it ("post") or before it ("pre").

    Returns a new flat numpy array; a sequence of maxlen or more values is
    returned whole (never shortened).  Any other padding returns v itself.
    """

@overload
def pad_seq(v: _V, maxlen: int = 256, padding: str = "post", value: Any = -1) -> _V | npt.NDArray[Any]:
    """Pad a sequence with value up to maxlen, after it ("post") or before it ("pre").

    Any padding other than "post" and "pre" returns v itself, unchanged.
    """

# ---- scoring and sequence utilities --------------------------------------------

def evaluate4group(
    data: _Table,
    group: Hashable = "TG_NO",
    predict: Hashable = "predict",
    label: Hashable = "label",
    k: float = 0.05,
) -> tuple[float, float]:
    """Per-group top-k hit rates of predictions.

    In every group the first int(len(group) * k) rows by descending predict
    count as flagged.  Returns (share of groups holding a label-1 row in which a
    flagged row is positive, share of all positives caught).  Raises
    ZeroDivisionError when no row has label 1.
    """

def clean_topk(v: _V, k: int = 2, upper: float = 1000, gap: float = 2.0, replace: Any = ...) -> _V:
    """Overwrite isolated spikes among the largest values of a float array, in place.

    At each level from k down to 2, among the k largest non-NaN values: if all
    are positive and one exceeds upper, and of the two leftmost (by position)
    one is more than gap times the other, the larger becomes replace (NaN by
    default).  Returns v itself.  A level that cannot run (a list, a read-only
    or integer array, too few values) changes nothing, silently.
    """

def exp_w_sum(x: Iterable[Any], base: float = 0.5, reverse: bool = True, tail_same: bool = True) -> np.number[Any]:
    """Weighted sum of the sorted values with weights base, base**2, base**3, ...

    reverse=True sorts from the largest value down; tail_same repeats the
    last-but-one weight as the last (for base 0.5 the weights add up to 1).
    """

def Q3_Q1(v: npt.ArrayLike, /) -> float:
    """Interquartile range (75th minus 25th percentile) ignoring NaN; NaN on any failure."""

def gen_ngrams(s: Any, n: int, pad: Any = -1) -> list[tuple[Any, ...]]:
    """The overlapping n-grams of a sequence, as a list of tuples.

    A str is padded at both ends with str(pad) repeated n - 1 times, a list (or
    numpy array, turned into a list) with n - 1 copies of pad; other types are
    used unpadded.
    """

# ---- files and models ---------------------------------------------------------

def csv2json(file: str, encoding: str = "utf-8", sep: str = ",") -> None:
    """Write a delimited text file as a JSON array of objects to file + ".json".

    The first line names the keys; every further line is stripped and split at
    every sep (quotes are not understood) and paired with the keys up to the
    shorter of the two.  Values stay strings.  The output replaces an earlier
    one only once it is completely written.
    """

def searchfiles(path: AnyStr | os.PathLike[AnyStr], expr: AnyStr | re.Pattern[AnyStr]) -> list[AnyStr]:
    """Paths of the regular files below path whose names match expr (re.search).

    Depth-first in os.listdir order; directories are descended into, also
    through symbolic links.  A missing path raises OSError.
    """

def is_done(filename: str | bytes | os.PathLike[str] | os.PathLike[bytes], /) -> bool:
    """Whether a file exists and did not grow during one second (sleeps 1 s if it exists)."""

def md5(str: bytes | bytearray | memoryview, /) -> str:  # noqa: A002 - the parameter's name at runtime
    """The MD5 digest of a bytes-like object as 32 lowercase hex digits; text raises TypeError."""

def load_model(path: str | bytes | os.PathLike[str] | os.PathLike[bytes] | int, /) -> Any:
    """Read a pickled model record; a record tagged "keras" gets its network rebuilt.

    Unpickling can run arbitrary code: only load files you trust.  A record
    whose "tag" is "keras" has "mapping" replaced by the Keras model rebuilt
    from it (Keras needed); any other record is returned as stored.
    """
