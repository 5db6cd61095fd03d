"""Exact global ranks of numerical columns with many distinct values, bounded per worker.

The rank tables sent to every worker hold at most ``TABLE_BUDGET`` values in all; the columns
whose tables do not fit, the largest first, are not ranked through a table. Instead each one's
values are cut into ranges of about ``RANGE_ROWS`` rows each (boundaries from weighted quantile
sketches of every partition), the exact number of rows per range is counted in one pass, and
the rows (all numerical columns) are shuffled so that each output partition holds exactly one
range: there a value's global average rank is the rows of the lower ranges plus its average
rank among the range's rows, the same number the whole sorted column gives it. Equal values
never straddle two ranges, so ties are exact; a value repeated on a range's worth of rows or
more gets a range of its own, whose rows all share one rank known from its count, so they are
dealt round the tasks instead of meeting in one. Each large column is ranked in turn (one
shuffle each), the rank columns travel with the rows, and a last blockwise pass sums the rank
products of every pair with a large side.

Memory: a task holds one input partition or one output partition (a range of about
``RANGE_ROWS`` rows of the numerical columns and their ranks, and its share of the dealt rows),
never a table of the whole column; the shuffle itself buffers to disk on a distributed cluster.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ... import _kernels

# Values the rank tables of all columns may hold in all (16 bytes each as value counts, again as
# ranks): larger tables cost each worker more memory than ranking by value ranges costs time.
TABLE_BUDGET = 1 << 24
# Rows a value range of a shuffled column holds, about.
RANGE_ROWS = 1 << 19
# Dask settings of the clusters kova starts. The shuffle sends the rows of an input partition
# bound for one worker as one message; Dask's default of 10 messages in flight per worker holds
# several partitions' worth of rows at once (about 0.5 GiB more per worker at 500,000-row
# partitions), 2 keep the transfers busy on one machine.
LOCAL_CLUSTER_CONFIG = {"distributed.p2p.comm.concurrency": 2}
# Points of each partition's quantile sketch of a column.
SKETCH_POINTS = 256


def sketch(values: np.ndarray, counts: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """About SKETCH_POINTS sorted values of a value-count table and the rows each one closes
    (the rows above the previous point, up to and including it)."""
    ends = np.cumsum(counts)
    if len(ends) == 0:
        return values[:0], ends[:0]
    step = max(1, int(ends[-1]) // SKETCH_POINTS)
    picked = np.unique(np.searchsorted(ends, np.arange(step, int(ends[-1]) + step, step)))
    picked = np.minimum(picked, len(ends) - 1)
    closed = ends[picked]
    return values[picked], np.diff(closed, prepend=0)


def boundaries(points: np.ndarray, weights: np.ndarray, range_rows: int) -> np.ndarray:
    """Ascending range starts (the first -inf) cutting the sketched rows into ranges of about
    ``range_rows`` rows; a range ends just above a sketch point, so equal values share one. A
    value sketched with at least ``range_rows`` rows gets a range of its own (see
    ``single_value_ranges``)."""
    values, at = np.unique(points, return_inverse=True)
    totals = np.bincount(at, weights=weights, minlength=len(values))
    starts = [-np.inf]

    def start(value):
        if value > starts[-1] and np.isfinite(value):
            starts.append(value)

    held = 0
    for value, weight in zip(values, totals, strict=True):
        if weight >= range_rows:
            start(value)
        held += weight
        if held >= range_rows:
            start(np.nextafter(value, np.inf))
            held = 0
    return np.array(starts)


def single_value_ranges(starts: np.ndarray) -> np.ndarray:
    """Per range, and for the missing values' index after the last, whether the range holds a
    single value: its start and the next one are adjacent floats. All its rows share one rank,
    known from its count, so its rows need not meet in one task (a value repeated on many rows
    would make the range as large)."""
    single = np.zeros(len(starts) + 1, dtype=bool)
    single[:-2] = starts[1:] == np.nextafter(starts[:-1], np.inf)
    return single


def range_of(values: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """The range index of each value (NaN gives the last range plus one, never used)."""
    found = np.searchsorted(starts, values, side="right") - 1
    return np.where(np.isnan(values), len(starts), found)


def range_counts(values: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Rows of each range among the values other than NaN."""
    return np.bincount(range_of(values, starts), minlength=len(starts) + 1)[: len(starts)]


def numbered(part: pd.DataFrame, columns: list[np.ndarray]) -> pd.DataFrame:
    """The finite-only numerical columns of a partition as a frame v0, v1, ..."""
    return pd.DataFrame({f"v{k}": v for k, v in enumerate(columns)}, index=pd.RangeIndex(len(part)))


def with_targets(
    frame: pd.DataFrame, column: int, starts: np.ndarray, outputs: int, partition_info=None
) -> pd.DataFrame:
    """``frame`` with the output partition of every row: its range of column ``column``; rows
    where it is missing or in a single-value range are dealt round all ``outputs`` partitions
    (at least one per range, and enough that the dealt rows alone fill none beyond a range)."""
    values = frame[f"v{column}"].to_numpy()
    target = range_of(values, starts)
    first = (partition_info["number"] * len(frame)) if partition_info else 0
    spread = (np.arange(len(frame)) + first) % outputs
    dealt = np.isnan(values) | single_value_ranges(starts)[target]
    return frame.assign(value_range=np.where(dealt, spread, target))


def ranked_range(
    frame: pd.DataFrame, column: int, starts: np.ndarray, tables: dict, partition_info=None
) -> pd.DataFrame:
    """One output partition's rows with a rank column r{i}_{j} for every large table (i, j) of
    column i: for the rows of its range (partitions past the last range have none), the rows of
    the lower ranges plus the average rank among the range's rows (over the rows where column j
    is present too, ``tables[j]`` their count per range); rows of single-value ranges, dealt
    to any partition, get their range's one rank."""
    index = partition_info["number"] if partition_info else 0
    values = frame[f"v{column}"].to_numpy()
    ranges = range_of(values, starts)
    tied = single_value_ranges(starts)[ranges]
    inside = (ranges == index) & ~tied & (index < len(starts))
    added = {}
    for other, counts in tables.items():
        below = np.cumsum(counts) - counts
        present = ~np.isnan(frame[f"v{other}"].to_numpy())
        local = np.where(inside & present, values, np.nan)
        counted = _kernels.finite_value_counts(local)
        ends = np.cumsum(counted[1])
        ranks = ends - (counted[1] - 1) / 2.0 + (below[index] if index < len(starts) else 0)
        (looked_up,) = _kernels.table_ranks(local, [(counted[0], ranks)])
        shared = tied & present
        looked_up[shared] = below[ranges[shared]] + (counts[ranges[shared]] + 1) / 2.0
        added[f"r{column}_{other}"] = looked_up
    return frame.assign(**added)


def rank_sums(frame: pd.DataFrame, pairs: list, sources: dict, means: dict) -> pd.DataFrame:
    """Per pair (i, j) the sums of rank-deviation products of this block of rows. ``sources``
    gives the ranks of table (i, j): the name of its rank column, a merged (values, ranks, rows)
    table to look the values of column i up in, or None for a table of no rows."""

    looked_up: dict = {}  # pairs sharing a merged table share its lookup

    def ranks_of(i, j):
        source = sources[i, j]
        if source is None:
            return np.full(len(frame), np.nan)
        if isinstance(source, str):
            return frame[source].to_numpy()
        key = (i, id(source[0]))
        if key not in looked_up:
            values = frame[f"v{i}"].to_numpy()
            (looked_up[key],) = _kernels.table_ranks(values, [(source[0], source[1])])
        return looked_up[key]

    sums = [
        _kernels.rank_deviation_sums(ranks_of(i, j), ranks_of(j, i), means[i, j]) for i, j in pairs
    ]
    return pd.DataFrame([np.ravel(sums)])


def large_columns(tables: dict, starts: dict, range_counts: dict, n_num: int):
    """For the pairs with a column ranked by value ranges: the rank source of every table of
    the pairs, the mean rank of every pair, and per large column its range starts and the rows
    per range of each table that needs its own rank column."""
    sources: dict[tuple[int, int], str | tuple | None] = {}
    rows: dict[tuple[int, int], int] = {}
    large = {}
    for i, begins in starts.items():
        counts = {j: range_counts[i, j] for j in range(n_num)}
        own = int(counts[i].sum())
        needed = {}
        for j in range(n_num):
            rows[i, j] = int(counts[j].sum())
            if rows[i, j] == 0:
                sources[i, j] = None
            elif j == i or rows[i, j] != own:  # a subset of the own rows, equal when as many
                needed[j] = counts[j]
                sources[i, j] = f"r{i}_{j}"
            else:
                sources[i, j] = f"r{i}_{i}"
        large[i] = (begins, needed)
    pairs = [(i, j) for i in range(n_num) for j in range(i, n_num) if i in starts or j in starts]
    for i, j in pairs:
        for a, b in ((i, j), (j, i)):
            if a not in starts:
                sources[a, b] = tables[a, b]
                rows[a, b] = tables[a, b][2]
    means = {(i, j): (rows[i, j] + 1) / 2.0 for i, j in pairs}
    return pairs, sources, means, large


def shuffled_rank_sums(
    frames, large: dict, pairs: list, sources: dict, means: dict, rows: int
) -> dict:
    """The rank-product sums of ``pairs`` over every row of ``frames`` (a Dask DataFrame of the
    numbered finite-only columns, ``rows`` rows), each large column ranked by value ranges in
    turn."""
    for column, (starts, tables) in large.items():
        outputs = max(len(starts), -(-rows // RANGE_ROWS))
        targeted = frames.map_partitions(with_targets, column, starts, outputs)
        # known divisions 0, 1, ..., send the rows of range k to output partition k
        divisions = [*range(outputs), outputs - 1]
        moved = targeted.set_index("value_range", divisions=divisions).reset_index(drop=True)
        meta = moved._meta.assign(**{f"r{column}_{j}": np.float64(0) for j in tables})
        frames = moved.map_partitions(ranked_range, column, starts, tables, meta=meta)
    meta = pd.DataFrame({k: pd.Series(dtype=float) for k in range(3 * len(pairs))})
    blocks = frames.map_partitions(rank_sums, pairs, sources, means, meta=meta)
    totals = blocks.sum().compute().to_numpy()
    return {pair: totals[3 * k : 3 * k + 3] for k, pair in enumerate(pairs)}
