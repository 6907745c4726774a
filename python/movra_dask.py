"""movra's ``fe4ts`` and ``usest2uet`` over a Dask DataFrame.

Both functions take the arguments of movra's own, with the readings (or the
event log) as a Dask DataFrame or a pandas one, and return a Dask DataFrame
whose computed result equals one call of movra's function over the whole
table: the window table's row order, the same columns in the same order,
the same dtypes and index.

How the work is split.  Every window depends only on its unit's readings, so
the readings are split so that each unit lies in exactly one partition (a
table already partitioned that way, for example a parquet dataset written
per consumer, is used as it is; any other is shuffled by unit, keeping every
unit's readings in table order), each window goes to the partition holding
its unit, and movra's function (for fe4ts, its record stage) runs once per
partition on the workers.

What a partition cannot know.  One call over the whole table orders its
feature columns by the first window, in window order, whose record holds
each label, places the unit column after the first window's labels, and
derives ratio and spread columns from the columns that exist at the end and
from the distinct periodic keys of the whole table.  So each partition runs
only fe4ts's record stage, which also reports the windows that brought its
columns; the partitions' columns are merged in global window order, and the
derived columns are added once to the assembled records.  movra's own code
does all three, through the private companion module ``_movra_companion``
built from movra's sources and installed beside it.  That needs the
partition results before the output's columns are known: ``fe4ts`` and
``usest2uet`` compute the partitions when called (on the cluster, where a
``distributed.Client`` is active) and return a Dask DataFrame over the
results that assembles window-ordered output partitions when computed.
"""
from __future__ import annotations

import os
import uuid
import warnings
from functools import partial
from dataclasses import dataclass
from typing import Any, Callable, Hashable, Iterable, Sequence

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.delayed import Delayed

import _movra_companion as _companion
import movra

__all__ = ["fe4ts", "usest2uet"]

# Defaults exactly as movra's function objects hold them.
_DEL_T_MAXIMIN, _AGGFUNC = movra.fe4ts.__defaults__

_EVENT_UNIT = "CONS_NO"  # usest2uet always matches consumers through this column

# Windows per partition of the returned frame.  Each output partition is a
# task and a transfer of its own; 100,000 feature rows are about 160 MB.
WINDOWS_PER_PART = 100_000


# ---- Dask plumbing -----------------------------------------------------------------


def _client() -> Any:
    """The active distributed client, or None (then Dask's local scheduler runs the tasks)."""
    try:
        from distributed import get_client
    except ImportError:
        return None
    try:
        return get_client()
    except ValueError:
        return None


def _parallelism() -> int:
    client = _client()
    if client is not None:
        threads = sum(client.nthreads().values())
        if threads:
            return threads
    return os.cpu_count() or 1


def _literal(value: Any) -> Delayed:
    """A value as a graph literal, under a fresh key: hashing a large frame
    to name it would cost as much as the work."""
    return dask.delayed(value, name=f"movra-dask-{uuid.uuid4().hex}", traverse=False)


def _run(tasks: Sequence[Delayed], summarize: Callable[[Any], Any]) -> tuple[list[Any], list[Any]]:
    """Runs the tasks and returns their results, kept on the cluster as
    futures under a distributed client (values otherwise), with what
    `summarize` makes of each, fetched in the same round trip.  When several
    tasks fail, the first in task order is raised, with its own traceback."""
    client = _client()
    if client is None:
        values = dask.compute(*tasks)
        return [_literal(v) for v in values], [summarize(v) for v in values]
    from distributed import wait

    futures = client.compute(list(tasks))
    summaries = [client.submit(summarize, f, pure=False) for f in futures]
    wait(futures + summaries)
    for f in futures:
        if f.status == "error":
            f.result()  # raises the task's exception
    return futures, client.gather(summaries)


def _gather(tasks: Sequence[Any]) -> list[Any]:
    client = _client()
    if client is None:
        return list(dask.compute(*tasks))
    return client.gather(client.compute(list(tasks)))


def _apply(fn: Callable[..., Any], *args: Any) -> Delayed:
    return dask.delayed(fn, pure=False)(*args)


def _frame_without_conversion(frame: pd.DataFrame, npartitions: int = 1) -> dd.DataFrame:
    # Dask would turn object text columns into its string dtype: the result
    # must keep the caller's dtypes.
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(frame, npartitions=npartitions, sort=True)


def _has_column(frame: Any, label: Any) -> bool:
    try:
        return isinstance(frame, pd.DataFrame) and label in frame.columns
    except TypeError:  # an unhashable label
        return False


# ---- splitting the readings by unit --------------------------------------------------


@dataclass
class _Split:
    """The readings as partitions of whole units, in table order."""

    parts: list[Any]  # Delayed pandas frames or futures
    units: list[pd.Series]  # each partition's distinct units (missing ones left out)
    order_column: Hashable | None = None  # set after a shuffle: restores table order
    keys: pd.DataFrame | None = None  # the periodic columns' values (_key_table)


_Survey = tuple[int, "pd.Series | None", list["pd.Series | None"]]


def _survey(part: pd.DataFrame, unit: Hashable, keys: Sequence[Hashable]) -> _Survey:
    """Length, distinct units and distinct values of the key columns of one partition."""
    units = pd.Series(part[unit].unique()).dropna() if _has_column(part, unit) else None
    uniques: list[pd.Series | None] = []
    for key in keys:
        try:
            uniques.append(pd.Series(part[key].unique()))
        except Exception:  # movra itself reports what is wrong with the column
            uniques.append(None)
    return len(part), units, uniques


def _key_table(per_part: list[list[pd.Series | None]], keys: Sequence[Hashable]) -> pd.DataFrame | None:
    """The distinct values of each key column over the whole table, in order
    of first appearance, as the columns of one frame (padded by repeating
    the last); None when a column cannot be read."""
    columns: dict[Any, pd.Series] = {}
    for k, key in enumerate(keys):
        pieces = [u[k] for u in per_part]
        if any(p is None for p in pieces):
            return None
        columns[key] = pd.Series(pd.concat(pieces, ignore_index=True).unique())
    longest = max((len(u) for u in columns.values()), default=0)
    return pd.DataFrame({key: pd.concat([u, u.iloc[-1:].repeat(longest - len(u))], ignore_index=True)
                         for key, u in columns.items()})


def _disjoint(units: list[pd.Series]) -> bool:
    every = pd.concat(units, ignore_index=True) if units else pd.Series([], dtype=object)
    try:
        return not every.duplicated().any()
    except TypeError:
        return False


def _with_order(part: pd.DataFrame, start: int, column: str) -> pd.DataFrame:
    return part.assign(**{column: np.arange(start, start + len(part), dtype=np.int64)})


def _in_table_order(part: pd.DataFrame, column: Hashable | None) -> pd.DataFrame:
    if column is None:
        return part
    return part.sort_values(column, kind="stable").drop(columns=column)


def _fresh_label(columns: Iterable[Any], stem: str) -> str:
    taken = {c for c in columns if isinstance(c, str)}
    label = stem
    while label in taken:
        label += "_"
    return label


def _split_pandas(frame: pd.DataFrame, unit: Hashable, keys: Sequence[Hashable]) -> _Split | None:
    if not _has_column(frame, unit):
        return None
    codes, distinct = pd.factorize(frame[unit])
    n = max(1, min(_parallelism(), len(distinct)))
    piece = np.where(codes < 0, 0, codes * n // max(1, len(distinct)))
    parts, units = [], []
    for k in range(n):
        sub = frame[piece == k]
        parts.append(_literal(sub))
        units.append(pd.Series(sub[unit].unique()).dropna())
    return _Split(parts, units, None, _key_table([_survey(frame, unit, keys)[2]], keys))


def _split(df: Any, unit: Hashable, keys: Sequence[Hashable]) -> _Split | None:
    """The readings split by unit, or None when they cannot be (movra then
    gets the whole table in one call and reports what is wrong)."""
    if isinstance(df, pd.DataFrame):
        return _split_pandas(df, unit, keys)
    try:
        has_unit = unit in df.columns
    except TypeError:
        return None
    if not has_unit:
        return None
    parts = list(df.to_delayed())
    surveys = _gather([_apply(_survey, p, unit, list(keys)) for p in parts])
    lengths = [s[0] for s in surveys]
    units = [s[1] for s in surveys]
    key_table = _key_table([s[2] for s in surveys], keys)
    if _disjoint(units):
        return _Split(parts, units, None, key_table)

    # Units straddle partitions: shuffle by unit, numbering the rows first so
    # that each unit's readings can be put back in table order.
    order = _fresh_label(df.columns, "__movra_dask_row__")
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(int)
    numbered = [_apply(_with_order, p, int(s), order) for p, s in zip(parts, starts)]
    meta = df._meta.assign(**{order: np.array([], dtype=np.int64)})
    with dask.config.set({"dataframe.convert-string": False}):
        table = dd.from_delayed(numbered, meta=meta, verify_meta=False)
        shuffled = table.shuffle(on=unit, npartitions=len(parts), shuffle_method=_shuffle_method(meta))
    parts, surveys = _run(list(shuffled.to_delayed()), partial(_survey, unit=unit, keys=[]))
    return _Split(parts, [s[1] for s in surveys], order, key_table)


def _shuffle_method(meta: pd.DataFrame) -> str | None:
    """Dask's own choice, except for a table with object columns: the
    cluster's shuffle passes partitions through Arrow, which hands cells
    back as other objects (an event log's lists of times as numpy arrays,
    which movra refuses); the task shuffle moves them as they are."""
    return "tasks" if (meta.dtypes == object).any() else None


def _route(split: _Split, window_units: pd.Series) -> list[np.ndarray]:
    """Window positions per partition, in window order.  A window whose unit
    has no readings goes to the first partition, where movra gives it the
    empty record one call would."""
    lookup = pd.concat([pd.Series(k, index=pd.Index(u, dtype=u.dtype)) for k, u in enumerate(split.units)])
    owner = np.asarray(lookup.index.get_indexer(window_units.to_numpy()))
    partition = np.where(owner < 0, 0, lookup.to_numpy()[np.maximum(owner, 0)] if len(lookup) else 0)
    return [np.flatnonzero(partition == k) for k in range(len(split.parts))]


def _involved(positions: list[np.ndarray], bounds: tuple[int, int]) -> list[int]:
    """The partitions holding windows bounds[0] .. bounds[1]-1: an output part
    waits for those alone (one or two when the window table follows the
    partitions' unit order)."""
    start, stop = bounds
    return [k for k, p in enumerate(positions) if ((p >= start) & (p < stop)).any()]


def _chunks(total: int, count: int) -> list[tuple[int, int]]:
    count = max(1, min(count, total))
    bounds = np.linspace(0, total, count + 1).astype(int)
    return [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:])]


def _single_call(fn: Callable[..., pd.DataFrame], df: Any, args: tuple[Any, ...], reason: str) -> dd.DataFrame:
    """One call of movra's function over the whole table, in one task.  Most
    inputs that come here are ones movra rejects: a call over the first
    partition raises the same error without moving the whole table."""
    if isinstance(df, dd.DataFrame) and df.npartitions > 1:
        _gather([_apply(_call_movra, fn.__name__, df.to_delayed()[0], *args)])
    warnings.warn(f"movra_dask: {reason}; computing {fn.__name__} in one task", RuntimeWarning, stacklevel=3)
    table = _literal(df) if isinstance(df, pd.DataFrame) else _apply(_concat_parts, *df.to_delayed())
    (result,) = _gather([_apply(_call_movra, fn.__name__, table, *args)])
    return _frame_without_conversion(result)


def _call_movra(name: str, *args: Any) -> pd.DataFrame:
    return getattr(movra, name)(*args)


def _concat_parts(*parts: pd.DataFrame) -> pd.DataFrame:
    return pd.concat(parts) if len(parts) > 1 else parts[0]


def _window_table(interval: Any) -> Any:
    return interval.compute() if isinstance(interval, dd.DataFrame) else interval


# ---- fe4ts ----------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Fe4tsArgs:
    unit: Any
    tactic: Any
    periodic: Any
    lag: Any
    value: Any
    del_t_maximin: Any
    aggfunc: Any

    def table(self, parts: list[tuple[pd.DataFrame, np.ndarray, list[int]]], plan: "_Fe4tsPlan", units: pd.Series,
              bounds: tuple[int, int]) -> pd.DataFrame:
        """Windows bounds[0] .. bounds[1]-1 of fe4ts's table, from the records of
        the pieces holding them (each with its rows' windows and the columns of
        its own), derived columns included."""
        return _companion.fe4ts_table(parts, plan.columns, plan.unit_slots, units, bounds[0], bounds[1], plan.keys,
                                      self.unit, self.tactic, self.periodic, self.lag, self.value)


@dataclass
class _Piece:
    """One partition's window records and the windows that brought its columns."""

    records: pd.DataFrame  # without derived columns
    positions: np.ndarray  # global window position of each row
    introduced: list[int]  # global window of each row that brought new columns
    columns: list[list[int]]  # ... and the columns of that row's labels
    numeric: bool


def _fe4ts_piece(part: pd.DataFrame, windows: pd.DataFrame, positions: np.ndarray, order: Hashable | None,
                 a: _Fe4tsArgs) -> _Piece:
    part = _in_table_order(part, order)
    # fe4ts's window records, and each row that brought new columns with the columns of its labels.
    records, rows, columns = _companion.fe4ts_records(part, a.unit, a.tactic, a.periodic, a.lag, a.value, windows,
                                                      a.del_t_maximin, a.aggfunc)
    positions = np.asarray(positions, dtype=np.int64)
    numeric = _companion.float_records(records, a.unit)
    return _Piece(records, positions, [int(positions[r]) for r in rows], columns, numeric)


def _same_label(label: Any, unit: Any) -> bool:
    try:
        return bool(label == unit)
    except Exception:
        return False


def _piece_outline(piece: _Piece) -> _Piece:
    """What the plan needs of a piece: everything but its rows."""
    return _Piece(piece.records.iloc[:0], piece.positions, piece.introduced, piece.columns, piece.numeric)


@dataclass
class _Fe4tsPlan:
    columns: list[Any]  # labels in order
    slots: list[list[int]]  # per piece: global column of each of its columns
    unit_slots: list[int]
    numeric: bool
    keys: pd.DataFrame  # the whole table's periodic values, for the derived columns


def _fe4ts_plan(outlines: list[_Piece], a: _Fe4tsArgs, keys: pd.DataFrame) -> _Fe4tsPlan:
    """The columns of one call's records: the pieces' columns merged by the
    windows that brought them."""
    tables = [(list(o.records.columns), o.introduced, o.columns) for o in outlines]
    columns, slots, unit_slots = _companion.merged_columns(a.unit, tables)
    return _Fe4tsPlan(columns, slots, unit_slots, all(o.numeric for o in outlines), keys)


def _fe4ts_assemble(context: tuple[_Fe4tsPlan, _Fe4tsArgs, pd.Series], bounds: tuple[int, int],
                    ids: Sequence[int], *pieces: _Piece) -> pd.DataFrame:
    """The rows of windows bounds[0] .. bounds[1]-1, built by movra's rule for
    one call's table from the pieces' records."""
    plan, a, units = context
    parts = [(piece.records, piece.positions, plan.slots[k]) for k, piece in zip(ids, pieces)]
    return a.table(parts, plan, units, bounds)


def fe4ts(df: dd.DataFrame | pd.DataFrame, unit: Hashable, tactic: Sequence[str], periodic: Sequence[str],
          lag: Sequence[Any], value: str, interval: pd.DataFrame, del_t_maximin: Any = _DEL_T_MAXIMIN,
          aggfunc: Callable[..., Any] = _AGGFUNC) -> dd.DataFrame:
    """movra.fe4ts over a Dask (or pandas) readings table: one feature row
    per window of ``interval``, computed partition by partition on the
    workers.  The partitions are computed now; the returned frame
    assembles them in window order."""
    a = _Fe4tsArgs(unit, _reusable(tactic), _reusable(periodic), _reusable(lag), value, del_t_maximin, aggfunc)
    interval = _window_table(interval)
    args = (a.unit, a.tactic, a.periodic, a.lag, a.value, interval, a.del_t_maximin, a.aggfunc)

    # Inputs that cannot be split by unit go to movra whole.
    periodic_list = list(a.periodic) if _iterable(a.periodic) else None
    if periodic_list is None or not _iterable(a.tactic) or not _iterable(a.lag):
        return _single_call(movra.fe4ts, df, args, "the label lists are not sequences")
    split = _split(df, a.unit, periodic_list)
    if split is None or not isinstance(interval, pd.DataFrame):
        return _single_call(movra.fe4ts, df, args, f"{unit!r} is not a column of the readings")
    if split.keys is None:
        return _single_call(movra.fe4ts, df, args, "a periodic column cannot be read")
    keys = split.keys

    total = len(interval)
    if total == 0:
        # No window, no record: the table is the derived columns alone.
        plan = _Fe4tsPlan([], [], [], True, keys)
        return _frame_without_conversion(a.table([], plan, pd.Series([], dtype=object), (0, 0)))
    if not _has_column(interval, a.unit):
        return _single_call(movra.fe4ts, df, args, f"{unit!r} is not a column of the window table")

    routes = _route(split, interval[a.unit])
    tasks = [_apply(_fe4ts_piece, part, interval.iloc[r], r, split.order_column, a)
             for part, r in zip(split.parts, routes)]
    pieces, outlines = _run(tasks, _piece_outline)
    plan = _fe4ts_plan(outlines, a, keys)

    # One graph literal for what every output part shares (not walked per task).
    context = (plan, a, interval[a.unit].reset_index(drop=True))
    shared = _literal(context)
    if not plan.numeric:
        # Cells of several types: their dtypes are inferred over every row
        # at once, as one call infers them, so the rows stay together.
        (result,) = _gather([_apply(_fe4ts_assemble, shared, (0, total), range(len(pieces)), *pieces)])
        return _frame_without_conversion(result)
    meta = _fe4ts_assemble(context, (0, 0), range(len(outlines)), *outlines)
    chunks = _chunks(total, -(-total // WINDOWS_PER_PART))
    parts = []
    for c in chunks:
        ids = _involved([o.positions for o in outlines], c)
        parts.append(_apply(_fe4ts_assemble, shared, c, ids, *[pieces[k] for k in ids]))
    divisions = tuple([c[0] for c in chunks] + [total - 1])
    return _frame_from_parts(parts, meta, divisions)


def _frame_from_parts(parts: list[Delayed], meta: pd.DataFrame, divisions: tuple[int, ...] | None) -> dd.DataFrame:
    with dask.config.set({"dataframe.convert-string": False}):  # keep object columns object
        # Every part is built by the function that built `meta`.
        return dd.from_delayed(parts, meta=meta, divisions=divisions, verify_meta=False)


def _reusable(x: Any) -> Any:
    """Argument lists go to every partition: one-shot iterators become lists."""
    if isinstance(x, (list, tuple, str, bytes)) or not _iterable(x) or hasattr(x, "__len__"):
        return x
    return list(x)


def _iterable(x: Any) -> bool:
    try:
        iter(x)
    except TypeError:
        return False
    return True


# ---- usest2uet -------------------------------------------------------------------------------


@dataclass
class _EventPiece:
    result: pd.DataFrame
    window_of_row: np.ndarray  # global window position of each result row


def _usest2uet_piece(part: pd.DataFrame, windows: pd.DataFrame, positions: np.ndarray, order: Hashable | None,
                     unit: Any, e: Any, ts: Any) -> _EventPiece:
    part = _in_table_order(part, order)
    result = movra.usest2uet(part, unit, e, ts, windows)
    # A window gets one row per event kind of its consumer, whatever its bounds.
    kinds = part.groupby(_EVENT_UNIT)[e].nunique()
    at = kinds.index.get_indexer(windows[_EVENT_UNIT].to_numpy())
    per_window = np.where(at < 0, 0, kinds.to_numpy()[np.maximum(at, 0)] if len(kinds) else 0).astype(np.int64)
    if per_window.sum() != len(result):
        raise _Unattributable()
    return _EventPiece(result, np.repeat(np.asarray(positions, dtype=np.int64), per_window))


class _Unattributable(Exception):
    """A partition's rows could not be matched to its windows."""


def _usest2uet_rows(piece: _EventPiece) -> tuple[int, np.ndarray, pd.DataFrame]:
    """What the plan needs of a piece: its rows' windows, and its columns and dtypes."""
    return len(piece.result), piece.window_of_row, piece.result.iloc[:0]


def _usest2uet_assemble(bounds: tuple[int, int], first_row: int, meta: pd.DataFrame, *pieces: _EventPiece) -> pd.DataFrame:
    """The rows of windows bounds[0] .. bounds[1]-1, in window order, kinds in
    each window's own order."""
    start, stop = bounds
    frames, owners = [], []
    for piece in pieces:
        take = np.flatnonzero((piece.window_of_row >= start) & (piece.window_of_row < stop))
        if len(take):
            frames.append(piece.result.iloc[take])
            owners.append(piece.window_of_row[take])
    if not frames:
        out = meta.iloc[:0].copy()
    else:
        order = np.argsort(np.concatenate(owners), kind="stable")
        out = pd.concat(frames).iloc[order] if len(frames) > 1 else frames[0].iloc[order]
    out.index = pd.RangeIndex(first_row, first_row + len(out))
    return out


def _require_time_lists(usest: Any, ts: Hashable) -> None:
    """Refuses, before any task runs, a Dask event log whose times column
    holds text.  Dask's default string conversion ("dataframe.convert-string")
    turns a column of lists into text when a Dask DataFrame is built from
    pandas objects; movra would then fail inside a task, about concatenating
    a list and a str.  A pandas log is partitioned here, without the
    conversion, and keeps its lists."""
    if not isinstance(usest, dd.DataFrame):
        return
    for label, dtype in zip(usest.columns, usest.dtypes):
        if _same_label(label, ts) and dtype != object and pd.api.types.is_string_dtype(dtype):
            raise TypeError(
                f"movra_dask.usest2uet: column {ts!r} of the event log should hold lists of times but holds "
                f"text ({dtype}): Dask's string conversion turned its lists into text when the Dask DataFrame "
                f"was built.  Build it with the conversion off, inside "
                f"`with dask.config.set({{\"dataframe.convert-string\": False}}):`, or pass the pandas "
                f"DataFrame, which movra_dask partitions without converting.  (Cells that really hold texts "
                f"of dates become lists with movra.datesStr2datesLst.)")


def usest2uet(usest: dd.DataFrame | pd.DataFrame, unit: Hashable, e: Hashable, ts: Hashable,
              interval: pd.DataFrame) -> dd.DataFrame:
    """movra.usest2uet over a Dask (or pandas) event log: one row per window
    and event kind of its consumer, computed partition by partition on the
    workers.  The partitions are computed now; the returned frame assembles
    them in window order."""
    _require_time_lists(usest, ts)
    interval = _window_table(interval)
    args = (unit, e, ts, interval)
    split = _split(usest, _EVENT_UNIT, [])
    if (split is None or not isinstance(interval, pd.DataFrame) or len(interval) == 0
            or not _has_column(interval, _EVENT_UNIT)):
        if split is not None and isinstance(interval, pd.DataFrame) and len(interval) == 0:
            # No window: movra's empty table, built from any part of the log.
            (result,) = _gather([_apply(_call_movra, "usest2uet", split.parts[0], unit, e, ts, interval)])
            return _frame_without_conversion(result)
        return _single_call(movra.usest2uet, usest, args, "CONS_NO is not a column of both tables")

    routes = _route(split, interval[_EVENT_UNIT])
    tasks = [_apply(_usest2uet_piece, part, interval.iloc[r], r, split.order_column, unit, e, ts)
             for part, r in zip(split.parts, routes)]
    try:
        pieces, outlines = _run(tasks, _usest2uet_rows)
    except _Unattributable:
        return _single_call(movra.usest2uet, usest, args, "event rows cannot be matched to windows")

    total = len(interval)
    filled = [o for o in outlines if o[0] > 0]
    if not filled:
        # No row at all: movra's own empty table.
        return _frame_without_conversion(_gather([_apply(_event_result, pieces[0])])[0])
    meta = filled[0][2]
    if any(not o[2].dtypes.equals(meta.dtypes) for o in filled):
        # Partitions that disagree on a dtype: one frame, its dtypes inferred
        # over all rows together as one call infers them.
        (result,) = _gather([_apply(_usest2uet_assemble, (0, total), 0, meta, *pieces)])
        return _frame_without_conversion(_reinfer(result))

    owners = [o[1] for o in outlines]
    counts = np.bincount(np.concatenate(owners), minlength=total)
    before = np.concatenate([[0], np.cumsum(counts)]).astype(int)
    chunks = _chunks(total, -(-total // WINDOWS_PER_PART))
    parts = [_apply(_usest2uet_assemble, c, int(before[c[0]]), meta, *[pieces[k] for k in _involved(owners, c)])
             for c in chunks]
    rows = int(before[-1])
    starts = [int(before[c[0]]) for c in chunks]
    divisions = None
    if all(b > a for a, b in zip(starts, starts[1:] + [rows])):
        divisions = tuple(starts + [rows - 1])
    return _frame_from_parts(parts, meta, divisions)


def _event_result(piece: _EventPiece) -> pd.DataFrame:
    return piece.result


def _reinfer(frame: pd.DataFrame) -> pd.DataFrame:
    """Column dtypes as building the frame from its rows infers them."""
    return pd.DataFrame(frame.astype(object).to_numpy().tolist(), columns=frame.columns, index=frame.index)
