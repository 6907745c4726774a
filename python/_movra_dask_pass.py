"""movra_dask's pass over a table of whole units, and the Dask plumbing it runs on.

The pass reads each partition once: its task takes the windows of the units
the partition holds, makes its share of the result of them (`make`, the
function's own step) and reports what the plan needs of the partition: its
units, its length, the distinct values of some columns.  Should a unit turn
out to lie in two partitions, that pass is dropped, the table shuffled by
unit, each unit's readings kept in table order, and passed over again.  The
windows whose unit has no readings are made by one more task, over none.
The output parts are then built where the pieces lie when the windows come
in the partitions' order, and through one exchange by Dask's shuffle
otherwise.
"""
from __future__ import annotations

import os
import pickle
import uuid
from dataclasses import dataclass, replace
from functools import partial
from typing import Any, Callable, Hashable, Iterable, Sequence

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.delayed import Delayed
from dask.sizeof import sizeof


# ---- Dask plumbing ------------------------------------------------------------------------


def current_client() -> Any:
    """The active distributed client, or None (then Dask's local scheduler runs the tasks)."""
    try:
        from distributed import get_client
    except ImportError:
        return None
    try:
        return get_client()
    except ValueError:
        return None


def parallelism() -> int:
    client = current_client()
    threads = sum(client.nthreads().values()) if client is not None else 0
    return threads or os.cpu_count() or 1


def literal(value: Any) -> Delayed:
    """A value as a graph literal, under a fresh key: hashing a large frame
    to name it would cost as much as the work."""
    return dask.delayed(value, name=f"movra-dask-{uuid.uuid4().hex}", traverse=False)


def run(tasks: Sequence[Delayed], summarize: Callable[[Any], Any]) -> tuple[list[Any], list[Any]]:
    """Runs the tasks and returns their results, kept on the cluster as
    futures under a distributed client (values otherwise), with what
    `summarize` makes of each, fetched in the same round trip.  When several
    tasks fail, the first in task order is raised, with its own traceback."""
    client = current_client()
    if client is None:
        values = dask.compute(*tasks)
        return [literal(v) for v in values], [summarize(v) for v in values]
    from distributed import wait

    futures = client.compute(list(tasks))
    summaries = [client.submit(summarize, f, pure=False) for f in futures]
    wait(futures + summaries)
    for f in futures:
        if f.status == "error":
            f.result()  # raises the task's exception
    return futures, client.gather(summaries)


def gather(tasks: Sequence[Any]) -> list[Any]:
    client = current_client()
    if client is None:
        return list(dask.compute(*tasks))
    return client.gather(client.compute(list(tasks)))


def apply(fn: Callable[..., Any], *args: Any) -> Delayed:
    return dask.delayed(fn, pure=False)(*args)


def result_frame(parts: list[Delayed] | pd.DataFrame, meta: Any = None, divisions: Any = None) -> dd.DataFrame:
    """The result, from one computed frame or from parts each built by the
    function that built `meta`.  Dask would turn object text columns into
    its string dtype: the result keeps movra's dtypes."""
    with dask.config.set({"dataframe.convert-string": False}):
        if isinstance(parts, pd.DataFrame):
            return dd.from_pandas(parts, npartitions=1, sort=True)
        return dd.from_delayed(parts, meta=meta, divisions=divisions, verify_meta=False)


def has_column(frame: Any, label: Any) -> bool:
    try:
        return label in frame.columns
    except TypeError:  # an unhashable label
        return False


# ---- the pass ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class Windows:
    """The window table, with its windows grouped by unit so that a
    partition finds its own without a look-up per window."""

    table: pd.DataFrame
    unit: Any
    units: pd.Index  # the distinct units of the windows
    order: np.ndarray  # window positions grouped by unit, `runs` apart
    runs: np.ndarray

    @classmethod
    def of(cls, table: pd.DataFrame, unit: Any) -> "Windows":
        codes, units = pd.factorize(table[unit]) if len(table) else (np.zeros(0, dtype=np.intp), [])
        order = np.argsort(codes, kind="stable")
        runs = np.searchsorted(codes[order], np.arange(len(units) + 1))
        return cls(table, unit, pd.Index(units), order, runs)

    def held_by(self, units: pd.Series) -> np.ndarray:
        """The positions, in window order, of the windows of these units."""
        at = self.units.get_indexer(units.to_numpy())
        at = at[at >= 0]
        counts = self.runs[at + 1] - self.runs[at]
        starts = np.repeat(self.runs[at] - np.concatenate([[0], np.cumsum(counts)[:-1]]), counts)
        return np.sort(self.order[starts + np.arange(counts.sum())])


@dataclass
class Piece:
    """One partition's share of the result, and what the plan needs of it."""

    value: Any  # what `make` built of the partition's windows
    positions: np.ndarray  # the global position of each of those windows
    units: pd.Series  # the partition's distinct units (missing ones left out)
    rows: int
    keys: list[pd.Series | None]  # the distinct values of each periodic column
    empty: pd.DataFrame  # the partition's columns, without rows

    def __sizeof__(self) -> int:
        # What Dask counts of a piece when it decides what to spill and where
        # to run; otherwise a piece holding a partition's results counts as
        # an empty object.
        return object.__sizeof__(self) + sum(map(sizeof, (self.value, self.positions, self.units, self.keys,
                                                           self.empty)))


def distinct(part: pd.DataFrame, key: Hashable) -> pd.Series | None:
    try:
        return pd.Series(part[key].unique())
    except Exception:  # movra itself reports what is wrong with the column
        return None


def piece_of_partition(part: pd.DataFrame, windows: Windows, make: Callable[..., Any], keys: Sequence[Hashable],
                       order: Hashable | None = None, positions: np.ndarray | None = None) -> Piece:
    """The pass over one partition: its windows (those of the units it holds,
    unless given) made into its share of the result by `make`."""
    if order is not None:  # put back in table order after a shuffle
        part = part.sort_values(order, kind="stable").drop(columns=order)
    units = pd.Series(part[windows.unit].unique()).dropna()
    if positions is None:
        positions = windows.held_by(units)
    value = make(part, windows.table.iloc[positions], positions)
    # The piece outlives the partition: nothing of it may hold the
    # partition's arrays (an empty slice is a view of them).
    return Piece(value, positions, units, len(part), [distinct(part, k) for k in keys], part.iloc[:0].copy())


def outline(outline_value: Callable[[Any], Any], piece: Piece) -> Piece:
    """What the plan needs of a piece, fetched instead of the piece."""
    return replace(piece, value=outline_value(piece.value))


def key_table(per_part: list[list[pd.Series | None]], keys: Sequence[Hashable]) -> pd.DataFrame | None:
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


def disjoint(units: list[pd.Series]) -> bool:
    every = pd.concat(units, ignore_index=True) if units else pd.Series([], dtype=object)
    try:
        return not every.duplicated().any()
    except TypeError:
        return False


def fresh_label(columns: Iterable[Any], stem: str) -> str:
    taken = {c for c in columns if isinstance(c, str)}
    label = stem
    while label in taken:
        label += "_"
    return label


def with_order(part: pd.DataFrame, start: int, column: str) -> pd.DataFrame:
    return part.assign(**{column: np.arange(start, start + len(part), dtype=np.int64)})


def shuffled(df: dd.DataFrame, unit: Hashable, lengths: list[int]) -> tuple[list[Delayed], str]:
    """The table shuffled by unit, each row numbered first so that each unit's
    readings can be put back in table order, and the numbers' column."""
    order = fresh_label(df.columns, "__movra_dask_row__")
    starts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(int)
    numbered = [apply(with_order, p, int(s), order) for p, s in zip(df.to_delayed(), starts)]
    meta = df._meta.assign(**{order: np.array([], dtype=np.int64)})
    # The cluster's shuffle passes partitions through Arrow, which hands cells
    # back as other objects (an event log's lists of times as numpy arrays,
    # which movra refuses); the task shuffle moves object columns as they are.
    method = "tasks" if (meta.dtypes == object).any() else None
    with dask.config.set({"dataframe.convert-string": False}):
        table = dd.from_delayed(numbered, meta=meta, verify_meta=False)
        by_unit = table.shuffle(on=unit, npartitions=df.npartitions, shuffle_method=method)
    return list(by_unit.to_delayed()), order


def split_pandas(frame: pd.DataFrame, unit: Hashable) -> list[Delayed]:
    """A pandas table in partitions of whole units, one per worker thread."""
    codes, units = pd.factorize(frame[unit])
    n = max(1, min(parallelism(), len(units)))
    piece = np.where(codes < 0, 0, codes * n // max(1, len(units)))
    return [literal(frame[piece == k]) for k in range(n)]


def one_pass(df: Any, windows: Windows, make: Callable[..., Any], outline_value: Callable[[Any], Any],
             periodic: Sequence[Hashable]) -> tuple[list[Any], list[Piece], pd.DataFrame | None]:
    """Every partition read once and made into its piece; units straddling
    partitions shuffled and made again; then a piece for the windows no
    partition holds.  Returns the pieces (futures or Delayed), their
    outlines and the periodic columns' values over the whole table."""
    summarize = partial(outline, outline_value)
    shared = literal(windows)
    if isinstance(df, pd.DataFrame):
        # Its partitions are not in table order: the periodic values are taken
        # from the whole table, in order of first appearance.
        per_part = [[distinct(df, k) for k in periodic]]
        tasks = [apply(piece_of_partition, p, shared, make, []) for p in split_pandas(df, windows.unit)]
        pieces, outlines = run(tasks, summarize)
    else:
        tasks = [apply(piece_of_partition, p, shared, make, periodic) for p in df.to_delayed()]
        pieces, outlines = run(tasks, summarize)
        per_part = [o.keys for o in outlines]
        if not disjoint([o.units for o in outlines]):
            del pieces
            parts, order = shuffled(df, windows.unit, [o.rows for o in outlines])
            pieces, outlines = run([apply(piece_of_partition, p, shared, make, [], order) for p in parts], summarize)
    held = np.zeros(len(windows.table), dtype=bool)
    for o in outlines:
        held[o.positions] = True
    if not held.all():
        rest = apply(piece_of_partition, outlines[0].empty, shared, make, [], None, np.flatnonzero(~held))
        more, more_outlines = run([rest], summarize)
        pieces, outlines = pieces + more, outlines + more_outlines
    return pieces, outlines, key_table(per_part, periodic)


def aligned_chunks(total: int, positions: list[np.ndarray], loose: list[bool],
                   most: int) -> list[tuple[int, int]] | None:
    """The output parts' windows where the windows come in the partitions'
    unit order: no two pieces' windows interleave, leaving out the `loose`
    pieces (the windows whose unit has no readings, which lie anywhere).
    Each part then runs from a piece's first window to the next piece's,
    cut so that none holds more than `most`; it is built where that piece
    lies, with no exchange.  None when some pieces interleave."""
    spans = sorted((int(p[0]), int(p[-1]) + 1) for p, free in zip(positions, loose) if len(p) and not free)
    if any(end > start for (_, end), (start, _) in zip(spans, spans[1:])):
        return None
    starts = [0] + [start for start, _ in spans[1:]]
    chunks = []
    for a, b in zip(starts, starts[1:] + [total]):
        chunks += even_chunks(a, b, -(-(b - a) // most))
    return chunks


def even_chunks(start: int, stop: int, count: int) -> list[tuple[int, int]]:
    """Windows start .. stop-1 in `count` runs of equal length (give or take one)."""
    bounds = np.linspace(start, stop, max(1, min(count, stop - start)) + 1).astype(int)
    return [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:])]


def exchanged_chunks(total: int, most: int) -> list[tuple[int, int]]:
    """The output parts' windows when their rows come through the exchange:
    equal runs, as few as hold `most` windows at most, and at least two per
    worker thread, so that every thread assembles and writes parts and one
    slow part does not hold the others.  The pieces' count plays no part:
    any piece may hold windows of any part."""
    return even_chunks(0, total, max(-(-total // most), 2 * parallelism()))


def involved(positions: list[np.ndarray], bounds: tuple[int, int]) -> list[int]:
    """The pieces holding windows bounds[0] .. bounds[1]-1: an output part
    waits for those alone."""
    start, stop = bounds
    return [k for k, p in enumerate(positions) if ((p >= start) & (p < stop)).any()]


# ---- the exchange ------------------------------------------------------------------------
#
# With the windows in another order than the partitions' units, every piece
# may hold rows of every output part.  Each piece's rows then reach their
# parts through Dask's own shuffle, once: one task per piece splits its rows
# for every part at once, each part's share pickled, as one row of a frame
# (part, share); Dask's shuffle moves those rows to the parts, by the p2p
# method under a distributed client (the shares are bytes, which Arrow
# carries as they are), by tasks otherwise; one task per part unpickles its
# shares and builds its rows.  The graph grows with the pieces plus the
# parts, never with their product, and each row travels once.

PART, SHARE = "part", "share"


def shares(piece: Piece, tag: int, owners: Callable[[Piece], np.ndarray],
           take: Callable[[Piece, np.ndarray], Any], starts: np.ndarray) -> pd.DataFrame:
    """A piece's rows split by output part: one row per part it holds rows
    of, with (tag, what `take` makes of those rows) pickled.  `owners` gives
    the global window of each row, `starts` each part's first window; each
    part's rows keep the piece's order."""
    part = np.searchsorted(starts, owners(piece), side="right") - 1
    order = np.argsort(part, kind="stable")
    reached, first = np.unique(part[order], return_index=True)
    ends = np.append(first[1:], len(order))
    blobs = [pickle.dumps((tag, take(piece, order[a:b])), protocol=pickle.HIGHEST_PROTOCOL)
             for a, b in zip(first, ends)]
    return pd.DataFrame({PART: reached.astype(np.int64), SHARE: pd.Series(blobs, dtype=object)})


def received(part: pd.DataFrame) -> list[tuple[int, Any]]:
    """An output part's shares, as (tag, rows), in no particular order."""
    return [pickle.loads(blob) for blob in part[SHARE]]


def exchange(pieces: Sequence[Any], owners: Callable[[Piece], np.ndarray],
             take: Callable[[Piece, np.ndarray], Any], chunks: list[tuple[int, int]]) -> list[Delayed]:
    """Each piece's rows moved to the output parts (`chunks`) through Dask's
    shuffle: for each part, a frame of its shares (see `received`), tagged
    with their piece's index."""
    starts = np.array([a for a, _ in chunks], dtype=np.int64)
    split = [apply(shares, p, k, owners, take, starts) for k, p in enumerate(pieces)]
    meta = pd.DataFrame({PART: np.array([], dtype=np.int64), SHARE: pd.Series([], dtype=object)})
    # The user's choice of method stands; otherwise p2p on a cluster, whose
    # graph holds a task per piece and per part (the task shuffle's grows
    # faster below its branching factor), and tasks on the local scheduler.
    method = dask.config.get("dataframe.shuffle.method", None) or ("p2p" if current_client() is not None else "tasks")
    with dask.config.set({"dataframe.convert-string": False}):
        table = dd.from_delayed(split, meta=meta, verify_meta=False)
        by_part = table.set_index(PART, divisions=tuple(range(len(chunks) + 1)), shuffle_method=method)
    return list(by_part.to_delayed())
