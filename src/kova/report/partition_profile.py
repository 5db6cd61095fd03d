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

A numerical column's value counts are kept while they hold at most `VALUE_CAP` distinct values.
Past that (a float column with a new value in most rows) they give way to a weighted quantile
sketch of the finite values (`partition_ranks.sketch`, pooled and thinned as partitions merge):
counts, missing, infinite, zeros, negatives, min, max, mean and standard deviation stay exact,
while the quantiles and the histogram are estimated from the sketch and the distinct count is a
lower bound (`ColumnFacts.exact` is False, and the page says so). Memory on the merging process
is then bounded by the cap, not by the column.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt
import pandas as pd

from kova import _kernels
from kova.data import NUMERICAL
from kova.data import profile as prof
from kova.data.kestrin.partition_ranks import sketch

# Distinct values of a numerical column kept exactly; past it the column is sketched.
VALUE_CAP = 1 << 16
# Sketch points a merged column keeps at most.
SKETCH_LIMIT = 1 << 13


@dataclass
class ColumnFacts:
    """What the profile needs of one column's rows (see the module notes)."""

    rows: int = 0
    missing: int = 0
    # numbers: sorted distinct values (infinite ones included) and their counts
    values: npt.NDArray[np.float64] = field(default_factory=lambda: np.empty(0))
    counts: npt.NDArray[np.int64] = field(default_factory=lambda: np.empty(0, dtype=np.int64))
    moments: tuple[int, float, float] = (0, 0.0, 0.0)  # finite count, mean, squared deviations
    # numbers: present, infinite, zeros, negatives, finite min and max (exact in both modes)
    tally: tuple[int, int, int, int, float, float] = (0, 0, 0, 0, np.inf, -np.inf)
    # False once `values` and `counts` are a sketch of the finite values, not value counts;
    # `floor` is then a lower bound of the distinct values
    exact: bool = True
    floor: int = 0
    # categories: value -> count in order of first appearance
    levels: dict = field(default_factory=dict)

    @property
    def distinct(self) -> int:
        """Distinct present values (a lower bound when not exact)."""
        return self.values.size if self.exact else self.floor

    def merge(self, later: ColumnFacts) -> ColumnFacts:
        """The facts of this summary's rows followed by `later`'s."""
        values, counts, exact, floor = _merged_values(self, later)
        levels = dict(self.levels)
        for level, count in later.levels.items():
            levels[level] = levels.get(level, 0) + count
        a, b = self.tally, later.tally
        return ColumnFacts(
            rows=self.rows + later.rows,
            missing=self.missing + later.missing,
            values=values,
            counts=counts,
            moments=_merged_moments(self.moments, later.moments),
            tally=(
                a[0] + b[0],
                a[1] + b[1],
                a[2] + b[2],
                a[3] + b[3],
                min(a[4], b[4]),
                max(a[5], b[5]),
            ),
            exact=exact,
            floor=floor,
            levels=levels,
        )


def _merged_values(a: ColumnFacts, b: ColumnFacts):
    """Merged value counts while both are exact and within the cap, else a thinned sketch."""
    if a.exact and b.exact:
        values, counts = _merged_counts(a.values, a.counts, b.values, b.counts)
        if values.size <= VALUE_CAP:
            return values, counts, True, 0
        return *_finite_sketch(values, counts), False, int(values.size)
    floor = max(a.distinct, b.distinct)
    points = np.concatenate([_sketch_of(a)[0], _sketch_of(b)[0]])
    weights = np.concatenate([_sketch_of(a)[1], _sketch_of(b)[1]])
    order = np.argsort(points, kind="stable")
    points, weights = points[order], weights[order]
    if points.size > SKETCH_LIMIT:
        points, weights = sketch(points, weights)
    return points, weights, False, floor


def _sketch_of(facts: ColumnFacts):
    return (
        (facts.values, facts.counts)
        if not facts.exact
        else _finite_sketch(facts.values, facts.counts)
    )


def _finite_sketch(values, counts):
    finite = np.isfinite(values)
    return sketch(values[finite], counts[finite])


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
        tally = (present.size, present.size - finite.size, int((finite == 0).sum()),
                 int((finite < 0).sum()), float(finite.min()) if finite.size else np.inf,
                 float(finite.max()) if finite.size else -np.inf)  # fmt: skip
        facts = ColumnFacts(len(floats), len(floats) - present.size, values,
                            counts.astype(np.int64), (finite.size, mean, m2), tally)  # fmt: skip
        if values.size > VALUE_CAP:
            facts.values, facts.counts = _finite_sketch(values, counts)
            facts.exact, facts.floor = False, int(values.size)
        return facts
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


def weighted_histogram(values, counts, bins: int, low=None, high=None):
    """Counts of the weighted values in the kernel's bins [edge i, edge i+1), the top closed,
    between `low` and `high` (by default the first and last value)."""
    if values.size == 0:
        return np.empty(0, dtype=np.int64), np.empty(0)
    low = float(values[0]) if low is None else low
    high = float(values[-1]) if high is None else high
    edges = histogram_edges(low, high, bins)
    which = np.clip(np.searchsorted(edges, values, side="right") - 1, 0, edges.size - 2)
    return np.bincount(which, weights=counts, minlength=edges.size - 1).astype(np.int64), edges


def numerical_profile(name: str, facts: ColumnFacts) -> prof.ColumnProfile:
    finite = np.isfinite(facts.values)
    values, counts = facts.values[finite], facts.counts[finite]
    present, infinite, zeros, negatives, low, high = facts.tally
    n, mean, m2 = facts.moments
    hist_counts, hist_edges = weighted_histogram(values, counts, prof.HIST_BINS, low, high)
    return prof.ColumnProfile(
        name=name, kind=NUMERICAL, count=present, missing=facts.missing,
        missing_share=prof._share(facts.missing, facts.rows),
        distinct=facts.distinct, distinct_share=prof._share(facts.distinct, present),
        numeric=prof.NumericStats(
            min=low if n else float("nan"), max=high if n else float("nan"),
            mean=float(mean) if n else float("nan"),
            std=float(np.sqrt(max(m2, 0.0) / (n - 1))) if n > 1 else float("nan"),
            quantiles=dict(zip(prof.QUANTILES,
                               weighted_quantiles(values, counts, prof.QUANTILES), strict=True)),
            zeros=zeros, negatives=negatives, infinite=infinite,
            hist_counts=hist_counts, hist_edges=hist_edges,
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
