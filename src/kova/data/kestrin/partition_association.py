"""Per-partition summaries of the association matrix and their exact merge.

Two passes over the partitions. The first collects, per categorical column, its distinct values
(the global level list, so every partition codes a value alike) and, per numerical column, the
counts of its distinct finite values: over its own finite rows, and over the rows where another
numerical column is finite too when that differs in the partition. Merged, these give every
value its global average rank, over the rows each Spearman pair is measured on. The second pass
codes the categorical columns against the levels and returns, per partition, the joint counts of
every pair of codes (Theil's U), per-level count, mean and sum of squared deviations of every
numerical column (the correlation ratio, merged with the pairwise update of means and squares),
and the sums of rank products of every numerical pair (Spearman). The per-partition work runs in
native kernels (``kova._kernels``: value counts, joint counts, level statistics, rank lookups).

Theil's U is exact: merged counts are the whole table's. Spearman uses every value's exact
global average rank; its sums of rank products are sums of multiples of 1/4, exact while they
stay below 2**51 (a few hundred thousand rows) and otherwise rounded as the in-memory sum is,
in another order. The correlation ratio merges floating sums, equal to the in-memory value up to
rounding.

Memory: both passes merge on the workers, pairwise as partitions finish, so the caller receives
one merged result, whose size grows with the levels of the categorical columns, not with the rows.
The merged rank tables (16 bytes per distinct finite value of each numerical column, and again for
each pair whose rows differ from a column's own, as where the other column has missing values)
stay on the cluster and are fetched once by each worker; together they hold at most
``partition_ranks.TABLE_BUDGET`` values, and the columns left out are ranked by value ranges.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ... import _kernels
from . import partition_ranks as ranks

ValueCounts = tuple[np.ndarray, np.ndarray]


def merge_joint_counts(tables: list[ValueCounts]) -> ValueCounts:
    """The joint counts of the union of the rows several (sorted keys, counts) tables count. Keys
    are below the product of two level counts, so they pass exactly through float64."""
    keys, counts = _kernels.merge_value_counts([(k.astype(float), c) for k, c in tables])
    return keys.astype(np.int64), counts


def raw_columns(part: pd.DataFrame, positions: list[int]) -> list[np.ndarray]:
    """The numerical columns as float arrays, missing entries NaN, infinities kept."""
    return [_as_floats(part.iloc[:, i]) for i in positions]


def _as_floats(column: pd.Series) -> np.ndarray:
    """``column.astype(float)`` as an array; a text column converts each distinct entry once,
    as number texts repeat."""
    if pd.api.types.is_numeric_dtype(column.dtype) or pd.api.types.is_bool_dtype(column.dtype):
        return column.astype(float).to_numpy(dtype=float, na_value=np.nan)
    codes, uniques = pd.factorize(column)
    floats = pd.Series(uniques).astype(float).to_numpy(dtype=float, na_value=np.nan)
    return np.where(codes >= 0, floats[np.maximum(codes, 0)] if len(floats) else np.nan, np.nan)


def finite_only(raw: list[np.ndarray]) -> list[np.ndarray]:
    """The float columns with non-finite values read as NaN (pandas' Spearman leaves them out)."""
    columns = []
    for values in raw:
        finite = values.copy()
        finite[np.isinf(finite)] = np.nan
        columns.append(finite)
    return columns


def local_codes(column: pd.Series) -> tuple[np.ndarray, np.ndarray]:
    """A partition's codes of a column (-1 for missing entries) and its levels, first seen
    first, as objects."""
    codes, uniques = pd.factorize(column)
    return codes.astype(np.int64, copy=False), np.asarray(uniques, dtype=object)


def _category_counts(part: pd.DataFrame, cat: list[int], raw: list[np.ndarray]) -> dict:
    """Levels, joint code counts of every pair and per-level statistics of every numerical
    column, in the partition's own codes."""
    coded = [local_codes(part.iloc[:, c]) for c in cat]
    codes = [c for c, _ in coded]
    sizes = [len(levels) for _, levels in coded]
    pairs = [(a, b) for a in range(len(cat)) for b in range(a + 1, len(cat))]
    joint = dict(zip(pairs, _kernels.joint_code_counts(codes, sizes), strict=True))
    stats = iter(_kernels.grouped_value_stats(codes, sizes, raw))
    fields = ("n", "mean", "m2", "finite", "low", "high")
    groups = {(v, c): dict(zip(fields, next(stats), strict=True))
              for v in range(len(raw)) for c in range(len(cat))}  # fmt: skip
    return {"levels": [levels for _, levels in coded], "joint": joint, "groups": groups}


def first_pass(part: pd.DataFrame, num: list[int], cat: list[int], budget: int) -> dict:
    """The categorical columns' counts (``_category_counts``) and value counts of the numerical
    ones: over each column's finite rows, and over the rows where another column is finite too
    when that differs in the partition. Columns whose tables do not fit ``budget`` values in all
    are left out (None, see ``_within_budget``); every column's own table leaves a quantile
    sketch for ranking it by value ranges."""
    raw = raw_columns(part, num)
    values = finite_only(raw)
    missing = [np.isnan(v) for v in values]
    own: list = [_kernels.finite_value_counts(v) for v in values]
    sketches = [ranks.sketch(*table) for table in own]
    pairs: dict = {
        (i, j): None
        for i in range(len(num))
        for j, gone in enumerate(missing)
        if i != j and (gone & ~missing[i]).any()
    }
    used = 0
    for i in sorted(range(len(num)), key=lambda k: len(own[k][0])):
        if used + len(own[i][0]) > budget:
            own[i] = None
            continue
        for key in (key for key in pairs if key[0] == i):
            pairs[key] = _kernels.finite_value_counts(values[i], values[key[1]])
        used += _entries(own, pairs, i)
        if used > budget:
            used -= _entries(own, pairs, i)
            _leave_out(own, pairs, i)
    categories = _category_counts(part, cat, raw)
    return {"rows": len(part), "own": own, "pairs": pairs, "sketches": sketches, **categories}


def _entries(own: list, pairs: dict, i: int) -> int:
    """Values in the tables of column ``i``: its own and those of its pairs."""
    if own[i] is None:
        return 0
    tables = [own[i], *(t for (k, _), t in pairs.items() if k == i and t is not None)]
    return sum(len(table[0]) for table in tables)


def _leave_out(own: list, pairs: dict, i: int) -> None:
    own[i] = None
    for key in pairs:
        if key[0] == i:
            pairs[key] = None


def _within_budget(own: list, pairs: dict, budget: int) -> None:
    """Leaves out the tables of the columns with the most values until all fit ``budget``
    values: such columns are ranked by value ranges instead, with the same exact ranks."""
    used = 0
    for i in sorted(range(len(own)), key=lambda k: (_entries(own, pairs, k), k)):
        used += _entries(own, pairs, i)
        if used > budget:
            _leave_out(own, pairs, i)


def merge_two_passes(a: dict, b: dict, budget: int) -> dict:
    """The first pass of the rows of ``a`` then ``b``: levels in first-seen order (``b``'s codes
    renumbered), category counts merged, value counts merged (columns left out once their
    tables pass ``budget`` values in all), sketches pooled."""

    def merged(x, y):
        if x is None or y is None:
            return None
        return _kernels.merge_value_counts([x, y], budget)

    own = [merged(x, y) for x, y in zip(a["own"], b["own"], strict=True)]
    pairs = {
        (i, j): None
        if own[i] is None
        else merged(a["pairs"].get((i, j), a["own"][i]), b["pairs"].get((i, j), b["own"][i]))
        for i, j in {*a["pairs"], *b["pairs"]}
    }
    for i in range(len(own)):
        if any(table is None for (k, _), table in pairs.items() if k == i):
            _leave_out(own, pairs, i)
    _within_budget(own, pairs, budget)
    sketches = [
        (np.concatenate([x[0], y[0]]), np.concatenate([x[1], y[1]]))
        for x, y in zip(a["sketches"], b["sketches"], strict=True)
    ]
    categories = _merge_categories(a, b)
    rows = a["rows"] + b["rows"]
    return {"rows": rows, "own": own, "pairs": pairs, "sketches": sketches, **categories}


def _merge_categories(a: dict, b: dict) -> dict:
    """Levels, joint counts and per-level statistics of the rows of ``a`` then ``b``. The merged
    levels start with ``a``'s, so only ``b``'s codes are renumbered."""
    levels, renumbered = [], []
    for x, y in zip(a["levels"], b["levels"], strict=True):
        both = np.concatenate([x, y])
        levels.append(pd.unique(both) if len(both) else both)
        renumbered.append(pd.Index(levels[-1]).get_indexer(y) if len(y) else y.astype(np.int64))
    sizes = [len(x) for x in levels]
    joint = {}
    for (p, q), (keys, counts) in a["joint"].items():
        width = max(len(a["levels"][q]), 1)
        ours = ((keys // width) * sizes[q] + keys % width, counts)
        keys, counts = b["joint"][p, q]
        width = max(len(b["levels"][q]), 1)
        theirs = renumbered[p][keys // width] * sizes[q] + renumbered[q][keys % width]
        order = np.argsort(theirs, kind="stable")
        joint[p, q] = merge_joint_counts([ours, (theirs[order], counts[order])])
    groups = {
        (v, c): merge_group_stats(
            _spread(stats, np.arange(len(a["levels"][c])), sizes[c]),
            _spread(b["groups"][v, c], renumbered[c], sizes[c]),
        )
        for (v, c), stats in a["groups"].items()
    }
    return {"levels": levels, "joint": joint, "groups": groups}


def _spread(stats: dict, positions: np.ndarray, size: int) -> dict:
    """Per-level statistics moved to ``positions`` among ``size`` levels (no rows elsewhere)."""
    spread = dict(stats)
    for key in ("n", "mean", "m2"):
        spread[key] = np.zeros(size, dtype=np.asarray(stats[key]).dtype)
        spread[key][positions] = stats[key]
    return spread


def rank_tables(merged: dict, range_rows: int) -> dict:
    """The rank tables (sorted values, average ranks, rows) of the columns whose values all fit a
    table: (i, i) for column i's own rows, (i, j) where the rows with column j present too differ
    (``table_of`` finds a pair's table), and the range starts of the other columns. Each table is
    held once, since the tables travel to every worker."""
    tables = {}
    starts = {}
    for i, own in enumerate(merged["own"]):
        if own is None:
            points, weights = merged["sketches"][i]
            starts[i] = ranks.boundaries(points, weights, range_rows)
            continue
        tables[i, i] = _average_ranks(own)
        for (k, j), pair in merged["pairs"].items():
            if k == i and pair is not None:
                tables[i, j] = _average_ranks(pair)
    return {"ranks": tables, "starts": starts}


def table_key(tables: dict, i: int, j: int) -> tuple[int, int]:
    """The key of the rank table of column ``i`` over the rows of the pair (i, j)."""
    return (i, j) if (i, j) in tables else (i, i)


def table_of(tables: dict, i: int, j: int) -> tuple[np.ndarray, np.ndarray, int]:
    """The rank table of column ``i`` over the rows of the pair (i, j)."""
    return tables[table_key(tables, i, j)]


def caller_facts(merged: dict, tables: dict) -> dict:
    """What the caller needs of the first pass: the rows, level counts, joint counts and per-level
    statistics of the categorical columns, the range starts, and the rank tables of the columns
    paired with a column ranked by value ranges."""
    starts = tables["starts"]
    return {
        "rows": merged["rows"],
        "sizes": [len(levels) for levels in merged["levels"]],
        "joint": merged["joint"],
        "groups": merged["groups"],
        "starts": starts,
        "ranks": {
            (a, b): table_of(tables["ranks"], a, b)
            for a in range(len(merged["own"]))
            for b in starts
            if a not in starts
        },
    }


def _average_ranks(table: ValueCounts) -> tuple[np.ndarray, np.ndarray, int]:
    """Values, their average ranks (ties share the mean of their positions, from 1) and the
    number of rows ranked."""
    values, counts = table
    ends = np.cumsum(counts)
    return values, ends - (counts - 1) / 2.0, int(ends[-1]) if len(ends) else 0


def second_pass(part: pd.DataFrame, tables: dict) -> dict:
    """Rank-product sums of the pairs of numerical columns ranked through tables, and the rows
    per value range of the others, over a partition of the numerical columns."""
    values = finite_only(raw_columns(part, list(range(part.shape[1]))))
    starts = tables["starts"]
    small = [i for i in range(len(values)) if i not in starts]
    ranked = {k: _column_ranks(values[k], k, tables["ranks"], small) for k in small}
    rank_sums = {}
    for i in small:
        for j in (j for j in small if j >= i):
            mean = (table_of(tables["ranks"], i, j)[2] + 1) / 2.0
            sums = _kernels.rank_deviation_sums(ranked[i][j], ranked[j][i], mean)
            rank_sums[i, j] = np.array(sums)
    counts = {
        (i, j): ranks.range_counts(np.where(np.isnan(values[j]), np.nan, values[i]), at)
        for i, at in starts.items()
        for j in range(len(values))
    }
    return {"ranks": rank_sums, "range_counts": counts}


def merge_second_passes(a: dict, b: dict) -> dict:
    """The second pass of the rows of ``a`` then ``b``."""
    return {part: {key: a[part][key] + b[part][key] for key in a[part]} for part in a}


def merge_group_stats(a: dict, b: dict) -> dict:
    """Per-level statistics of the rows of ``a`` and ``b`` together (pairwise update)."""
    n = a["n"] + b["n"]
    # infinite values make NaN here; such statistics are replaced below and never read
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        delta = b["mean"] - a["mean"]
        share = np.where(n > 0, b["n"] / n, 0.0)
        mean = a["mean"] + delta * share
        m2 = a["m2"] + b["m2"] + delta**2 * a["n"] * share
    if not (a["finite"] and b["finite"]):
        mean, m2 = np.nan_to_num(mean), np.nan_to_num(m2)
    return {
        "n": n,
        "mean": mean,
        "m2": m2,
        "finite": a["finite"] and b["finite"],
        "low": min(a["low"], b["low"]),
        "high": max(a["high"], b["high"]),
    }


def correlation_ratio(stats: dict) -> float:
    """eta = sqrt(between-level / total sum of squares), with the kernel's degenerate cases."""
    m = stats["n"].sum()
    if m == 0 or not stats["finite"]:
        return float("nan")
    if stats["low"] == stats["high"]:
        return 0.0
    mean = (stats["n"] * stats["mean"]).sum() / m
    between = (stats["n"] * (stats["mean"] - mean) ** 2).sum()
    total = stats["m2"].sum() + between
    if not total > 0:
        return 0.0
    return float(np.sqrt(np.clip(between / total, 0.0, 1.0)))


def theil_u(keys: np.ndarray, counts: np.ndarray, width: int) -> float:
    """Symmetric Theil's U from the joint counts of code pairs (key = a * width + b)."""
    m = counts.sum()
    if m == 0:
        return float("nan")
    count_x = np.bincount(keys // width, weights=counts)
    count_y = np.bincount(keys % width, weights=counts)
    levels_x, levels_y = (count_x > 0).sum(), (count_y > 0).sum()
    if levels_x == 1 and levels_y == 1:
        return 1.0
    if levels_x == 1 or levels_y == 1:
        return 0.0

    def c_log_c(c):
        c = c[c > 1]
        return float((c * np.log(c)).sum())

    log_n = np.log(m)
    h_x = log_n - c_log_c(count_x) / m
    h_y = log_n - c_log_c(count_y) / m
    h_xy = log_n - c_log_c(counts.astype(float)) / m
    return float(np.clip(2.0 * (h_x + h_y - h_xy) / (h_x + h_y), 0.0, 1.0))


def _column_ranks(x: np.ndarray, k: int, tables: dict, small: list[int]) -> dict:
    """The average ranks of the finite values of column ``k`` in the table of each pair (k, j)
    of a column j in ``small``, NaN elsewhere (values outside the rows a table counts get a rank
    the caller leaves out). Pairs sharing a table share its rank vector."""
    keys = {j: table_key(tables, k, j) for j in small}
    distinct = list(dict.fromkeys(keys.values()))
    looked_up = _kernels.table_ranks(x, [tables[key][:2] for key in distinct])
    by_table = dict(zip(distinct, looked_up, strict=True))
    return {j: by_table[keys[j]] for j in small}
