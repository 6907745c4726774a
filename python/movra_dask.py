"""movra's ``fe4ts`` and ``usest2uet`` over a Dask DataFrame.

Both take the arguments of movra's own, with the readings (or the event log)
as a Dask or a pandas DataFrame, and return a Dask DataFrame whose computed
result equals one call of movra's function over the whole table: the window
table's row order, the same columns in the same order, dtypes and index.

Every window depends only on its unit's readings, so one pass over the
partitions (_movra_dask_pass) runs movra on each partition's own windows (for
fe4ts, its record stage) and reports what the plan needs: for fe4ts, which
of its windows brought which columns and its periodic columns' values.  One
call orders its feature columns by the windows that first hold them and
derives columns from those that exist at the end and from the periodic
values of the whole table: movra's own code merges the pieces' columns and
builds each output part, derived columns included, through the private
companion module ``_movra_companion``.  So the pass runs when ``fe4ts`` or
``usest2uet`` is called (on the cluster, where a ``distributed.Client`` is
active); the returned frame assembles window-ordered output parts from its
results when computed.  With the windows in the partitions' unit order each
part is built where its partition's results lie; in any other order the
results reach their parts through one exchange, Dask's shuffle
(_movra_dask_pass.exchange).
"""
from __future__ import annotations

import warnings
from dataclasses import dataclass, replace
from functools import partial
from typing import Any, Callable, Hashable, Sequence

import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.sizeof import sizeof

import _movra_companion as _companion
import _movra_dask_pass as _pass
import movra

__all__ = ["fe4ts", "usest2uet"]

# Defaults exactly as movra's function objects hold them.
_DEL_T_MAXIMIN, _AGGFUNC = movra.fe4ts.__defaults__

_EVENT_UNIT = "CONS_NO"  # usest2uet always matches consumers through this column

# Windows per partition of the returned frame at most.  Each output part is a
# task and a transfer of its own; 100,000 feature rows are about 160 MB.
WINDOWS_PER_PART = 100_000


# ---- when the table cannot be split -------------------------------------------------------


def _single_call(fn: Callable[..., pd.DataFrame], df: Any, args: tuple[Any, ...], reason: str) -> dd.DataFrame:
    """One call of movra's function over the whole table, in one task.  Most
    inputs that come here are ones movra rejects: a call over the first
    partition raises the same error without moving the whole table."""
    if isinstance(df, dd.DataFrame) and df.npartitions > 1:
        _pass.gather([_pass.apply(_call_movra, fn.__name__, df.to_delayed()[0], *args)])
    warnings.warn(f"movra_dask: {reason}; computing {fn.__name__} in one task", RuntimeWarning, stacklevel=3)
    table = _pass.literal(df) if isinstance(df, pd.DataFrame) else _pass.apply(_concat_parts, *df.to_delayed())
    (result,) = _pass.gather([_pass.apply(_call_movra, fn.__name__, table, *args)])
    return _pass.result_frame(result)


def _call_movra(name: str, *args: Any) -> pd.DataFrame:
    return getattr(movra, name)(*args)


def _concat_parts(*parts: pd.DataFrame) -> pd.DataFrame:
    return pd.concat(parts) if len(parts) > 1 else parts[0]


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


# ---- fe4ts ----------------------------------------------------------------------------------


@dataclass
class _Records:
    """fe4ts's records of some windows, and the rows that brought new columns."""

    frame: pd.DataFrame  # without derived columns
    introduced: list[int]  # global window of each row that brought new columns
    columns: list[list[int]]  # ... and the columns of that row's labels
    numeric: bool

    def __sizeof__(self) -> int:  # as Dask counts it (see _pass.Piece)
        return object.__sizeof__(self) + sum(map(sizeof, (self.frame, self.introduced, self.columns)))


def _fe4ts_records(args: tuple[Any, ...], part: pd.DataFrame, windows: pd.DataFrame,
                   positions: np.ndarray) -> _Records:
    """The pass's work on a partition: fe4ts's record stage (`args` are
    fe4ts's, the window table left out)."""
    frame, rows, columns = _companion.fe4ts_records(part, *args[:5], windows, *args[5:])
    return _Records(frame, [int(positions[r]) for r in rows], columns, _companion.float_records(frame, args[0]))


def _records_outline(records: _Records) -> _Records:
    return replace(records, frame=records.frame.iloc[:0])


def _fe4ts_assemble(context: tuple[Any, ...], bounds: tuple[int, int], slots: list[list[int]],
                    *pieces: _pass.Piece) -> pd.DataFrame:
    """The rows of windows bounds[0] .. bounds[1]-1 of one call's table, built
    by movra's rule from the records of the pieces holding them, each with
    the global column of each of its columns."""
    return _fe4ts_table(context, bounds, [(p.value.frame, p.positions, s) for p, s in zip(pieces, slots)])


def _fe4ts_assemble_shares(context: tuple[Any, ...], slots: list[list[int]], bounds: tuple[int, int],
                           shares: pd.DataFrame) -> pd.DataFrame:
    """The same rows from the shares the exchange brought, each of the piece
    whose index it is tagged with."""
    return _fe4ts_table(context, bounds, [(frame, positions, slots[k])
                                          for k, (frame, positions) in _pass.received(shares)])


def _fe4ts_table(context: tuple[Any, ...], bounds: tuple[int, int], parts: list[Any]) -> pd.DataFrame:
    columns, unit_slots, units, keys, labels = context
    return _companion.fe4ts_table(parts, columns, unit_slots, units, bounds[0], bounds[1], keys, *labels)


def _rows_of(piece: _pass.Piece, bounds: tuple[int, int]) -> _pass.Piece:
    """A piece's windows bounds[0] .. bounds[1]-1 alone: what moves to the
    worker assembling them."""
    take = np.flatnonzero((piece.positions >= bounds[0]) & (piece.positions < bounds[1]))
    return replace(piece, value=replace(piece.value, frame=piece.value.frame.iloc[take]),
                   positions=piece.positions[take])


def _record_windows(piece: _pass.Piece) -> np.ndarray:
    return piece.positions


def _record_share(piece: _pass.Piece, rows: np.ndarray) -> tuple[pd.DataFrame, np.ndarray]:
    return piece.value.frame.iloc[rows], piece.positions[rows]


def fe4ts(df: dd.DataFrame | pd.DataFrame, unit: Hashable, tactic: Sequence[str], periodic: Sequence[str],
          lag: Sequence[Any], value: str, interval: pd.DataFrame, del_t_maximin: Any = _DEL_T_MAXIMIN,
          aggfunc: Callable[..., Any] = _AGGFUNC) -> dd.DataFrame:
    """movra.fe4ts over a Dask (or pandas) readings table: one feature row
    per window of ``interval``, computed partition by partition on the
    workers.  The partitions are computed now; the returned frame
    assembles them in window order."""
    tactic, periodic, lag = _reusable(tactic), _reusable(periodic), _reusable(lag)
    labels = (unit, tactic, periodic, lag, value)
    interval = interval.compute() if isinstance(interval, dd.DataFrame) else interval
    args = (*labels, interval, del_t_maximin, aggfunc)

    # Inputs that cannot be split by unit go to movra whole.
    if not all(_iterable(x) for x in (tactic, periodic, lag)):
        return _single_call(movra.fe4ts, df, args, "the label lists are not sequences")
    if not _pass.has_column(df, unit) or not isinstance(interval, pd.DataFrame):
        return _single_call(movra.fe4ts, df, args, f"{unit!r} is not a column of the readings")
    if len(interval) and not _pass.has_column(interval, unit):
        return _single_call(movra.fe4ts, df, args, f"{unit!r} is not a column of the window table")

    total = len(interval)
    make = partial(_fe4ts_records, (*labels, del_t_maximin, aggfunc))
    windows = _pass.Windows.of(interval, unit)
    pieces, outlines, keys = _pass.one_pass(df, windows, make, _records_outline, list(periodic))
    if keys is None:
        return _single_call(movra.fe4ts, df, args, "a periodic column cannot be read")

    # The columns of one call's records, merged by the windows that brought them.
    tables = [(list(o.value.frame.columns), o.value.introduced, o.value.columns) for o in outlines]
    columns, slots, unit_slots = _companion.merged_columns(unit, tables)
    units = interval[unit].reset_index(drop=True) if total else pd.Series([], dtype=object)
    context = (columns, unit_slots, units, keys, labels)
    shared = _pass.literal(context)  # one graph literal for what every output part shares
    if not all(o.value.numeric for o in outlines) or total == 0:
        # Cells of several types: their dtypes are inferred over every row
        # at once, as one call infers them, so the rows stay together.
        (result,) = _pass.gather([_pass.apply(_fe4ts_assemble, shared, (0, total), slots, *pieces)])
        return _pass.result_frame(result)
    meta = _fe4ts_assemble(context, (0, 0), slots, *outlines)
    positions = [o.positions for o in outlines]
    loose = [o.rows == 0 for o in outlines]  # made over no readings
    chunks = _pass.aligned_chunks(total, positions, loose, WINDOWS_PER_PART)
    if chunks is not None:
        # Windows in the partitions' order: each part is built where its
        # partition's piece lies, from that piece and the part's rows of
        # the windows without readings.
        parts = []
        for c in chunks:
            ids = _pass.involved(positions, c)
            held = [_pass.apply(_rows_of, pieces[k], c) if loose[k] else pieces[k] for k in ids]
            parts.append(_pass.apply(_fe4ts_assemble, shared, c, [slots[k] for k in ids], *held))
    else:
        chunks = _pass.exchanged_chunks(total, WINDOWS_PER_PART)
        received = _pass.exchange(pieces, _record_windows, _record_share, chunks)
        shared_slots = _pass.literal(slots)
        parts = [_pass.apply(_fe4ts_assemble_shares, shared, shared_slots, c, r) for c, r in zip(chunks, received)]
    return _pass.result_frame(parts, meta, tuple([c[0] for c in chunks] + [total - 1]))


# ---- usest2uet -------------------------------------------------------------------------------


@dataclass
class _EventRows:
    result: pd.DataFrame
    window_of_row: np.ndarray  # global window position of each result row

    def __sizeof__(self) -> int:  # as Dask counts it (see _pass.Piece)
        return object.__sizeof__(self) + sizeof(self.result) + sizeof(self.window_of_row)


class _Unattributable(Exception):
    """A partition's rows could not be matched to its windows."""


def _usest2uet_rows(unit: Any, e: Any, ts: Any, part: pd.DataFrame, windows: pd.DataFrame,
                    positions: np.ndarray) -> _EventRows:
    # The extension says how many rows each window brought, by the rule it
    # applied; a tqdm that yields other windows than those given leaves the
    # rows without owners.
    result, per_window = _companion.usest2uet_rows(part, unit, e, ts, windows)
    if len(per_window) != len(positions):
        raise _Unattributable()
    return _EventRows(result, np.repeat(np.asarray(positions, dtype=np.int64), np.asarray(per_window, np.int64)))


def _event_rows_outline(rows: _EventRows) -> _EventRows:
    return replace(rows, result=rows.result.iloc[:0])


def _usest2uet_assemble(bounds: tuple[int, int], first_row: int, meta: pd.DataFrame,
                        *pieces: _pass.Piece) -> pd.DataFrame:
    """The rows of windows bounds[0] .. bounds[1]-1, in window order, kinds in
    each window's own order."""
    start, stop = bounds
    rows = []
    for piece in pieces:
        take = np.flatnonzero((piece.value.window_of_row >= start) & (piece.value.window_of_row < stop))
        rows.append(_event_share(piece, take))
    return _event_table(rows, first_row, meta)


def _usest2uet_assemble_shares(first_row: int, meta: pd.DataFrame, shares: pd.DataFrame) -> pd.DataFrame:
    """The same rows from the shares the exchange brought."""
    return _event_table([rows for _, rows in _pass.received(shares)], first_row, meta)


def _event_table(rows: list[tuple[pd.DataFrame, np.ndarray]], first_row: int, meta: pd.DataFrame) -> pd.DataFrame:
    """Rows of several pieces, each with its rows' windows, in window order.
    A window's rows all come from one piece, in the order that piece's call
    made them: a stable sort by window keeps it."""
    rows = [(frame, owners) for frame, owners in rows if len(owners)]
    if not rows:
        out = meta.iloc[:0].copy()
    else:
        order = np.argsort(np.concatenate([owners for _, owners in rows]), kind="stable")
        frames = [frame for frame, _ in rows]
        out = (pd.concat(frames) if len(frames) > 1 else frames[0]).iloc[order]
    out.index = pd.RangeIndex(first_row, first_row + len(out))
    return out


def _event_windows(piece: _pass.Piece) -> np.ndarray:
    return piece.value.window_of_row


def _event_share(piece: _pass.Piece, rows: np.ndarray) -> tuple[pd.DataFrame, np.ndarray]:
    return piece.value.result.iloc[rows], piece.value.window_of_row[rows]


def _usest2uet_one_table(unit: Any, e: Any, ts: Any, *pieces: _pass.Piece) -> pd.DataFrame:
    """Every window's rows, in window order, made into the table one call
    makes of them, each column's dtype inferred over all the rows together:
    for partitions whose tables disagree on a dtype, which concatenating
    would settle otherwise (int64 and uint64 kinds into float64)."""
    rows: list[tuple[Any, ...]] = []
    owners = []
    for piece in pieces:
        rows.extend(piece.value.result.iloc[:, :5].itertuples(index=False, name=None))
        owners.append(piece.value.window_of_row)
    order = np.argsort(np.concatenate(owners), kind="stable")
    return _companion.usest2uet_table([rows[i] for i in order], unit, e, ts)


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
        try:
            same = bool(label == ts)
        except Exception:
            same = False
        if same and dtype != object and pd.api.types.is_string_dtype(dtype):
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
    interval = interval.compute() if isinstance(interval, dd.DataFrame) else interval
    args = (unit, e, ts, interval)
    if not _pass.has_column(usest, _EVENT_UNIT) or not isinstance(interval, pd.DataFrame):
        return _single_call(movra.usest2uet, usest, args, "CONS_NO is not a column of both tables")
    if len(interval) == 0:
        # No window: movra's empty table, built from any part of the log.
        part = usest if isinstance(usest, pd.DataFrame) else usest.to_delayed()[0]
        (result,) = _pass.gather([_pass.apply(_call_movra, "usest2uet", part, unit, e, ts, interval)])
        return _pass.result_frame(result)
    if not _pass.has_column(interval, _EVENT_UNIT):
        return _single_call(movra.usest2uet, usest, args, "CONS_NO is not a column of both tables")

    try:
        windows = _pass.Windows.of(interval, _EVENT_UNIT)
        make = partial(_usest2uet_rows, unit, e, ts)
        pieces, outlines, _ = _pass.one_pass(usest, windows, make, _event_rows_outline, [])
    except _Unattributable:
        return _single_call(movra.usest2uet, usest, args, "event rows cannot be matched to windows")

    total = len(interval)
    filled = [o.value.result for o in outlines if len(o.value.window_of_row)]
    if not filled:
        return _pass.result_frame(outlines[0].value.result)  # no row at all: movra's own empty table
    meta = filled[0]
    if any(not f.dtypes.equals(meta.dtypes) for f in filled):
        (result,) = _pass.gather([_pass.apply(_usest2uet_one_table, unit, e, ts, *pieces)])
        return _pass.result_frame(result)

    owners = [o.value.window_of_row for o in outlines]
    counts = np.bincount(np.concatenate(owners), minlength=total)
    before = np.concatenate([[0], np.cumsum(counts)]).astype(int)
    chunks = _pass.aligned_chunks(total, [o.positions for o in outlines], [o.rows == 0 for o in outlines],
                                  WINDOWS_PER_PART)
    if chunks is not None:
        # Windows over no events bring no rows: each part takes its
        # partition's piece alone.
        parts = [_pass.apply(_usest2uet_assemble, c, int(before[c[0]]), meta,
                             *[pieces[k] for k in _pass.involved(owners, c)]) for c in chunks]
    else:
        chunks = _pass.exchanged_chunks(total, WINDOWS_PER_PART)
        received = _pass.exchange(pieces, _event_windows, _event_share, chunks)
        parts = [_pass.apply(_usest2uet_assemble_shares, int(before[c[0]]), meta, r)
                 for c, r in zip(chunks, received)]
    rows = int(before[-1])
    starts = [int(before[c[0]]) for c in chunks]
    divisions = None
    if all(b > a for a, b in zip(starts, starts[1:] + [rows])):
        divisions = tuple(starts + [rows - 1])
    return _pass.result_frame(parts, meta, divisions)
