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

Memory: the merged rank tables (16 bytes per distinct finite value of each numerical column, and
again for each pair whose rows differ from a column's own, as where the other column has
missing values) are scattered once to every worker. They grow with the distinct values of
continuous columns, not with the partition: at 50,000,000 rows a continuous column costs up to
800 MB per table on every worker.
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


def levels_of(column: pd.Series) -> np.ndarray:
    """The distinct present values of a column, first seen first."""
    values = np.asarray(pd.unique(column), dtype=object)
    return values[~pd.isna(values)]


def global_codes(column: pd.Series, levels: np.ndarray) -> np.ndarray:
    """The positions of a column's values among the global levels, -1 for missing entries: the
    partition is factorized, and only its distinct values are looked up."""
    local, uniques = pd.factorize(column)
    if len(uniques) == 0:
        return np.full(len(local), -1, dtype=np.int64)
    mapping = pd.Index(levels).get_indexer(np.asarray(uniques, dtype=object))
    return np.where(local >= 0, mapping[np.maximum(local, 0)], -1).astype(np.int64)


def first_pass(part: pd.DataFrame, num: list[int], cat: list[int], cap: int) -> dict:
    """Levels of the categorical columns and value counts of the numerical ones: over each
    column's finite rows, and over the rows where another column is finite too when that differs
    in the partition. A table of more than ``cap`` values is left out (None); every column's own
    table leaves a quantile sketch for ranking it by value ranges."""
    values = finite_only(raw_columns(part, num))
    missing = [np.isnan(v) for v in values]
    counted = [_kernels.finite_value_counts(v) for v in values]
    sketches = [ranks.sketch(*table) for table in counted]
    own = [table if len(table[0]) <= cap else None for table in counted]
    pairs = {}
    for i, v in enumerate(values):
        for j, gone in enumerate(missing):
            if i != j and (gone & ~missing[i]).any():
                pairs[i, j] = _kernels.finite_value_counts(v, values[j]) if own[i] else None
    return {
        "levels": [levels_of(part.iloc[:, c]) for c in cat],
        "own": own,
        "pairs": pairs,
        "sketches": sketches,
    }


def merge_two_passes(a: dict, b: dict, cap: int) -> dict:
    """The first pass of the rows of ``a`` then ``b``: levels in first-seen order, value counts
    merged (None once a table passes ``cap`` values), sketches pooled."""

    def merged(x, y):
        if x is None or y is None:
            return None
        table = _kernels.merge_value_counts([x, y])
        return table if len(table[0]) <= cap else None

    levels = []
    for x, y in zip(a["levels"], b["levels"], strict=True):
        both = np.concatenate([x, y])
        levels.append(pd.unique(both) if len(both) else both)
    pairs = {
        (i, j): merged(a["pairs"].get((i, j), a["own"][i]), b["pairs"].get((i, j), b["own"][i]))
        for i, j in {*a["pairs"], *b["pairs"]}
    }
    sketches = [
        (np.concatenate([x[0], y[0]]), np.concatenate([x[1], y[1]]))
        for x, y in zip(a["sketches"], b["sketches"], strict=True)
    ]
    own = [merged(x, y) for x, y in zip(a["own"], b["own"], strict=True)]
    return {"levels": levels, "own": own, "pairs": pairs, "sketches": sketches}


def rank_tables(merged: dict, range_rows: int) -> dict:
    """Global levels, the rank tables (sorted values, average ranks, rows) of every pair whose
    column's values all fit a table, and the range starts of the other columns."""
    n_num = len(merged["own"])
    tables = {}
    starts = {}
    for i in range(n_num):
        if merged["own"][i] is None:
            points, weights = merged["sketches"][i]
            starts[i] = ranks.boundaries(points, weights, range_rows)
            continue
        tables[i, i] = _average_ranks(merged["own"][i])
        for j in range(n_num):
            if i != j:
                pair = merged["pairs"].get((i, j))
                tables[i, j] = tables[i, i] if pair is None else _average_ranks(pair)
    return {"levels": merged["levels"], "ranks": tables, "starts": starts}


def _average_ranks(table: ValueCounts) -> tuple[np.ndarray, np.ndarray, int]:
    """Values, their average ranks (ties share the mean of their positions, from 1) and the
    number of rows ranked."""
    values, counts = table
    ends = np.cumsum(counts)
    return values, ends - (counts - 1) / 2.0, int(ends[-1]) if len(ends) else 0


def second_pass(part: pd.DataFrame, num: list[int], cat: list[int], merged: dict) -> dict:
    """Joint code counts, per-level value statistics and rank-product sums of a partition."""
    codes = [
        global_codes(part.iloc[:, c], levels)
        for c, levels in zip(cat, merged["levels"], strict=True)
    ]
    sizes = [len(levels) for levels in merged["levels"]]
    raw = raw_columns(part, num)
    values = finite_only(raw)
    pairs = [(a, b) for a in range(len(cat)) for b in range(a + 1, len(cat))]
    joint = dict(zip(pairs, _kernels.joint_code_counts(codes, sizes), strict=True))
    stats = iter(_kernels.grouped_value_stats(codes, sizes, raw))
    groups = {}
    for v in range(len(num)):
        for c in range(len(cat)):
            n, mean, m2, finite, low, high = next(stats)
            groups[v, c] = {
                "n": n,
                "mean": mean,
                "m2": m2,
                "finite": finite,
                "low": low,
                "high": high,
            }
    small = [i for i in range(len(num)) if i not in merged["starts"]]
    ranked = {k: _column_ranks(values[k], k, merged["ranks"], small) for k in small}
    rank_sums = {}
    for i in small:
        for j in (j for j in small if j >= i):
            mean = (merged["ranks"][i, j][2] + 1) / 2.0
            sums = _kernels.rank_deviation_sums(ranked[i][j], ranked[j][i], mean)
            rank_sums[i, j] = np.array(sums)
    counts = {
        (i, j): ranks.range_counts(np.where(np.isnan(values[j]), np.nan, values[i]), starts)
        for i, starts in merged["starts"].items()
        for j in range(len(num))
    }
    return {"joint": joint, "groups": groups, "ranks": rank_sums, "range_counts": counts}


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
    distinct = {id(tables[k, j][0]): tables[k, j] for j in small}
    looked_up = ranks.table_ranks(x, [(t[0], t[1]) for t in distinct.values()])
    by_table = dict(zip(distinct, looked_up, strict=True))
    return {j: by_table[id(tables[k, j][0])] for j in small}
