"""Per-partition summaries of the association matrix and their exact merge.

Two passes over the partitions. The first collects, per categorical column, its distinct values
(the global level list, so every partition codes a value alike) and, per numerical column, the
counts of its distinct finite values: over its own finite rows, and over the rows where another
numerical column is finite too when that differs in the partition. Merged, these give every
value its global average rank, over the rows each Spearman pair is measured on. The second pass
codes the categorical columns against the levels and returns, per partition, the joint counts of
every pair of codes (Theil's U), per-level count, mean and sum of squared deviations of every
numerical column (the correlation ratio, merged with the pairwise update of means and squares),
and the sums of rank products of every numerical pair (Spearman). Theil's U and Spearman are
exact: merged counts and integer-valued rank sums are the whole table's. The correlation ratio
merges floating sums, equal to the in-memory value up to rounding.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

ValueCounts = tuple[np.ndarray, np.ndarray]


def value_counts(values: np.ndarray) -> ValueCounts:
    """Sorted distinct values and their counts."""
    return np.unique(values, return_counts=True)


def merge_counts(tables: list[ValueCounts]) -> ValueCounts:
    """The value counts of the union of the rows several tables count."""
    tables = [t for t in tables if len(t[0])]
    if not tables:
        return np.empty(0), np.empty(0, dtype=np.int64)
    values, inverse = np.unique(np.concatenate([t[0] for t in tables]), return_inverse=True)
    counts = np.bincount(inverse, weights=np.concatenate([t[1] for t in tables]))
    return values, counts.astype(np.int64)


def float_columns(part: pd.DataFrame, positions: list[int]) -> list[np.ndarray]:
    """The numerical columns as float arrays, non-finite values read as NaN (pandas' Spearman
    leaves them out)."""
    columns = []
    for i in positions:
        values = part.iloc[:, i].astype(float).to_numpy(dtype=float, na_value=np.nan).copy()
        values[~np.isfinite(values)] = np.nan
        columns.append(values)
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


def first_pass(part: pd.DataFrame, num: list[int], cat: list[int]) -> dict:
    """Levels of the categorical columns and value counts of the numerical ones."""
    values = float_columns(part, num)
    finite = [~np.isnan(v) for v in values]
    own = [value_counts(v[f]) for v, f in zip(values, finite, strict=True)]
    pairs = {}
    for i, (v, f) in enumerate(zip(values, finite, strict=True)):
        for j, g in enumerate(finite):
            if i != j and not np.array_equal(f, f & g):
                pairs[i, j] = value_counts(v[f & g])
    return {"levels": [levels_of(part.iloc[:, c]) for c in cat], "own": own, "pairs": pairs}


def merge_first_passes(results: list[dict], n_num: int, n_cat: int) -> dict:
    """Global levels and the rank tables (sorted values, average ranks) of every pair."""
    levels = []
    for c in range(n_cat):
        merged = np.concatenate([r["levels"][c] for r in results] or [np.empty(0, dtype=object)])
        levels.append(pd.unique(merged) if len(merged) else merged)
    ranks = {}
    for i in range(n_num):
        own = merge_counts([r["own"][i] for r in results])
        ranks[i, i] = _average_ranks(own)
        for j in range(n_num):
            if i != j and any((i, j) in r["pairs"] for r in results):
                tables = [r["pairs"].get((i, j), r["own"][i]) for r in results]
                ranks[i, j] = _average_ranks(merge_counts(tables))
            elif i != j:
                ranks[i, j] = ranks[i, i]
    return {"levels": levels, "ranks": ranks}


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
    values = float_columns(part, num)
    sizes = [len(levels) for levels in merged["levels"]]
    joint = {}
    for a in range(len(cat)):
        for b in range(a + 1, len(cat)):
            both = (codes[a] >= 0) & (codes[b] >= 0)
            joint[a, b] = _joint_counts(
                codes[a][both] * sizes[b] + codes[b][both], sizes[a] * sizes[b]
            )
    groups = {}
    for v, position in enumerate(num):
        raw = part.iloc[:, position].astype(float).to_numpy(dtype=float, na_value=np.nan)
        for c, code in enumerate(codes):
            keep = (code >= 0) & ~np.isnan(raw)
            groups[v, c] = _group_stats(code[keep], raw[keep], sizes[c])
    ranks = {}
    ranked: dict = {}  # rank vectors by (column, id of its rank table): each looked up once
    for i in range(len(num)):
        for j in range(i, len(num)):
            tables = merged["ranks"][i, j], merged["ranks"][j, i]
            rx, ry = (
                _ranks_of(values[k], t, ranked, k) for k, t in zip((i, j), tables, strict=True)
            )
            both = ~np.isnan(values[i]) & ~np.isnan(values[j])
            mean = (tables[0][2] + 1) / 2.0
            dx, dy = rx[both] - mean, ry[both] - mean
            ranks[i, j] = np.array([dx @ dy, dx @ dx, dy @ dy])
    return {"joint": joint, "groups": groups, "ranks": ranks}


def _joint_counts(keys: np.ndarray, cells: int) -> ValueCounts:
    """Distinct keys and their counts: by a dense count when the table is small, else sorted."""
    if cells <= 4 * len(keys) + 65536:
        counts = np.bincount(keys, minlength=cells)
        present = np.flatnonzero(counts)
        return present, counts[present]
    return value_counts(keys)


def _group_stats(groups: np.ndarray, x: np.ndarray, levels: int) -> dict:
    """Count, mean and sum of squared deviations of ``x`` per level, with the range of ``x``."""
    n = np.bincount(groups, minlength=levels).astype(float)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(n > 0, np.bincount(groups, weights=x, minlength=levels) / n, 0.0)
        m2 = np.bincount(groups, weights=(x - mean[groups]) ** 2, minlength=levels)
    finite = bool(np.isfinite(x).all())
    low, high = (float(x.min()), float(x.max())) if len(x) else (np.inf, -np.inf)
    return {"n": n, "mean": mean, "m2": m2, "finite": finite, "low": low, "high": high}


def merge_group_stats(a: dict, b: dict) -> dict:
    """Per-level statistics of the rows of ``a`` and ``b`` together (pairwise update)."""
    n = a["n"] + b["n"]
    delta = b["mean"] - a["mean"]
    with np.errstate(invalid="ignore", divide="ignore"):
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


def _ranks_of(x: np.ndarray, table, cache: dict, column: int) -> np.ndarray:
    """The average ranks the table gives the finite values of ``x`` (NaN elsewhere; values the
    table does not rank, outside the rows it counts, get a rank the caller leaves out)."""
    key = column, id(table[0])
    if key not in cache:
        finite = ~np.isnan(x)
        ranks = np.full(len(x), np.nan)
        if len(table[0]):
            at = np.searchsorted(table[0], x[finite])
            ranks[finite] = table[1][np.minimum(at, len(table[0]) - 1)]
        cache[key] = ranks
    return cache[key]
