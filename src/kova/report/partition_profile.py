"""Column profiles of a table held in partitions, from per-partition summaries merged exactly.

Each partition is read once into a `ColumnFacts` per column: the value counts of the column
(numbers as sorted distinct floats with their counts, categories in order of first appearance)
and, for numbers, the count, mean and sum of squared deviations of the finite values. Facts of
consecutive partitions merge into the facts of their rows, so every figure of the profile is
the one `kova.data.profile.profile_column` gives on the whole column in memory:

- counts, missing, infinite, zeros, negatives, min, max and distinct are sums and unions;
- the quantiles interpolate linearly between ranks of the merged sorted value counts, and the
  histogram counts the merged value counts into the bins of the global min and max, the same
  edges the in-memory kernel draws; both are exact, not estimated;
- mean and standard deviation merge the partitions' moments pairwise (equal to the in-memory
  figures up to floating-point rounding, about 1e-15 relative);
- top levels merge value counts in partition order, so ties keep their first appearance.

The value counts are as large as the column's distinct values: memory on the merging process
grows with distinct values, not with rows.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt
import pandas as pd

from kova import _kernels
from kova.data import NUMERICAL
from kova.data import profile as prof


@dataclass
class ColumnFacts:
    """What the profile needs of one column's rows (see the module notes)."""

    rows: int = 0
    missing: int = 0
    # numbers: sorted distinct values (infinite ones included) and their counts
    values: npt.NDArray[np.float64] = field(default_factory=lambda: np.empty(0))
    counts: npt.NDArray[np.int64] = field(default_factory=lambda: np.empty(0, dtype=np.int64))
    moments: tuple[int, float, float] = (0, 0.0, 0.0)  # finite count, mean, squared deviations
    # categories: value -> count in order of first appearance
    levels: dict = field(default_factory=dict)

    def merge(self, later: ColumnFacts) -> ColumnFacts:
        """The facts of this summary's rows followed by `later`'s."""
        values, counts = _merged_counts(self.values, self.counts, later.values, later.counts)
        levels = dict(self.levels)
        for level, count in later.levels.items():
            levels[level] = levels.get(level, 0) + count
        return ColumnFacts(
            rows=self.rows + later.rows,
            missing=self.missing + later.missing,
            values=values,
            counts=counts,
            moments=_merged_moments(self.moments, later.moments),
            levels=levels,
        )


def _merged_counts(values_a, counts_a, values_b, counts_b):
    if values_b.size == 0:
        return values_a, counts_a
    if values_a.size == 0:
        return values_b, counts_b
    values, inverse = np.unique(np.concatenate([values_a, values_b]), return_inverse=True)
    counts = np.bincount(inverse, weights=np.concatenate([counts_a, counts_b]))
    return values, counts.astype(np.int64)


def _merged_moments(a: tuple[int, float, float], b: tuple[int, float, float]):
    """Count, mean and squared deviations of two groups from theirs (pairwise update)."""
    n_a, mean_a, m2_a = a
    n_b, mean_b, m2_b = b
    if n_b == 0:
        return a
    if n_a == 0:
        return b
    n = n_a + n_b
    delta = mean_b - mean_a
    return n, mean_a + delta * n_b / n, m2_a + m2_b + delta * delta * n_a * n_b / n


def column_facts(series: pd.Series, kind: str) -> ColumnFacts:
    """The facts of one partition's column of kind "numerical" or "categorical"."""
    if kind == NUMERICAL:
        floats = prof._as_floats(series)
        present = np.where(floats == 0, 0.0, floats)[~np.isnan(floats)]  # -0.0 is 0.0
        values, counts = np.unique(present, return_counts=True)
        finite = present[np.isfinite(present)]
        summary = _kernels.numeric_summary(finite, (), 1)
        m2 = summary.std**2 * (finite.size - 1) if finite.size > 1 else 0.0
        mean = summary.mean if finite.size else 0.0
        return ColumnFacts(len(floats), len(floats) - present.size, values,
                           counts.astype(np.int64), (finite.size, mean, m2))  # fmt: skip
    codes, uniques = prof.factorize_column(series)
    present = codes[codes >= 0]
    frequencies = np.bincount(present, minlength=len(uniques))
    levels = dict(
        zip(np.asarray(uniques, dtype=object).tolist(), frequencies.tolist(), strict=True)
    )
    return ColumnFacts(rows=len(codes), missing=len(codes) - present.size, levels=levels)


def partition_facts(part: pd.DataFrame, kinds: dict[str, str]) -> list[ColumnFacts]:
    """The facts of every column of one partition, by position."""
    return [column_facts(part.iloc[:, i], kinds[name]) for i, name in enumerate(part.columns)]


def merge_facts(parts: list[list[ColumnFacts]], n_columns: int) -> list[ColumnFacts]:
    """The facts of the whole table from those of its partitions, in partition order."""
    merged = [ColumnFacts() for _ in range(n_columns)]
    for part in parts:
        merged = [whole.merge(p) for whole, p in zip(merged, part, strict=True)]
    return merged


def weighted_quantiles(values: np.ndarray, counts: np.ndarray, probs) -> list[float]:
    """Quantiles with numpy's linear interpolation of the sorted values each repeated its
    count of times, without repeating them."""
    n = int(counts.sum())
    if n == 0:
        return [float("nan")] * len(probs)
    ends = np.cumsum(counts)  # the value at sorted rank r is values[searchsorted(ends, r, right)]
    result = []
    for p in probs:
        index = (n - 1) * p
        lower = min(int(np.floor(index)), n - 1)
        t = index - lower
        a = values[np.searchsorted(ends, lower, side="right")]
        b = values[np.searchsorted(ends, min(lower + 1, n - 1), side="right")]
        diff = b - a
        result.append(float(a if t <= 0 else (b - diff * (1 - t) if t >= 0.5 else a + diff * t)))
    return result


def histogram_edges(low: float, high: float, bins: int) -> npt.NDArray[np.float64]:
    """The in-memory kernel's equal-width edges (a constant column gets one unit-wide bin)."""
    if low == high:
        return np.array([low - 0.5, high + 0.5])
    step = (high - low) / bins if np.isfinite(high - low) else high / bins - low / bins
    return np.array([low + i * step for i in range(bins)] + [high])


def weighted_histogram(values, counts, bins: int):
    """Counts of the weighted values in the kernel's bins [edge i, edge i+1), the top closed."""
    if values.size == 0:
        return np.empty(0, dtype=np.int64), np.empty(0)
    edges = histogram_edges(float(values[0]), float(values[-1]), bins)
    which = np.clip(np.searchsorted(edges, values, side="right") - 1, 0, edges.size - 2)
    return np.bincount(which, weights=counts, minlength=edges.size - 1).astype(np.int64), edges


def numerical_profile(name: str, facts: ColumnFacts) -> prof.ColumnProfile:
    finite = np.isfinite(facts.values)
    values, counts = facts.values[finite], facts.counts[finite]
    count = int(facts.counts.sum())
    n, mean, m2 = facts.moments
    hist_counts, hist_edges = weighted_histogram(values, counts, prof.HIST_BINS)
    return prof.ColumnProfile(
        name=name, kind=NUMERICAL, count=count, missing=facts.missing,
        missing_share=prof._share(facts.missing, facts.rows),
        distinct=int(facts.values.size), distinct_share=prof._share(facts.values.size, count),
        numeric=prof.NumericStats(
            min=float(values[0]) if values.size else float("nan"),
            max=float(values[-1]) if values.size else float("nan"),
            mean=float(mean) if n else float("nan"),
            std=float(np.sqrt(max(m2, 0.0) / (n - 1))) if n > 1 else float("nan"),
            quantiles=dict(zip(prof.QUANTILES,
                               weighted_quantiles(values, counts, prof.QUANTILES), strict=True)),
            zeros=int(counts[values == 0].sum()), negatives=int(counts[values < 0].sum()),
            infinite=count - int(counts.sum()), hist_counts=hist_counts, hist_edges=hist_edges,
        ),
    )  # fmt: skip


def categorical_profile(name: str, facts: ColumnFacts) -> prof.ColumnProfile:
    uniques = pd.Index(list(facts.levels), dtype=object)
    frequencies = np.fromiter(facts.levels.values(), dtype=np.int64, count=len(facts.levels))
    count, distinct = int(frequencies.sum()), len(uniques)
    lengths = prof._level_lengths(uniques)
    mean_length = prof._mean_length(lengths, frequencies) if lengths is not None else 0.0
    text = lengths is not None and prof.is_text(distinct, count, mean_length)
    length_stats = None
    if text and lengths is not None:
        sizes, inverse = np.unique(lengths, return_inverse=True)
        weights = np.bincount(inverse, weights=frequencies).astype(np.int64)
        hist_counts, hist_edges = weighted_histogram(sizes.astype(float), weights, prof.HIST_BINS)
        length_stats = prof.LengthStats(
            min=int(sizes[0]), mean=mean_length, max=int(sizes[-1]),
            hist_counts=hist_counts, hist_edges=hist_edges,
        )  # fmt: skip
    return prof.ColumnProfile(
        name=name, kind=prof.TEXT if text else prof.CATEGORICAL, count=count,
        missing=facts.missing, missing_share=prof._share(facts.missing, facts.rows),
        distinct=distinct, distinct_share=prof._share(distinct, count),
        levels=prof._level_stats(frequencies, uniques, count), lengths=length_stats,
    )  # fmt: skip


def profiles(names, kinds: dict[str, str], merged: list[ColumnFacts]) -> dict:
    """Column name -> `ColumnProfile` from the merged facts."""
    return {
        name: (numerical_profile if kinds[name] == NUMERICAL else categorical_profile)(
            str(name), facts
        )
        for name, facts in zip(names, merged, strict=True)
    }
