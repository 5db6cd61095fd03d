"""The search behind `find_weak_regions`: bins, conjunctions of conditions, tests, redundancy.

Binning: a numerical feature is cut at up to B - 1 quantiles of its values on the searched
rows (of every k-th of them when there are more than `QUANTILE_ROWS`), B = rows /
`ROWS_PER_BIN` within [`MIN_BINS`, `MAX_BINS`]: fine enough that a bin straddling a region's
boundary adds few outside rows to it, coarse enough to keep the number of tests (and so the
correction) small on small data. Bin k holds inner_edges[k - 1] < x <= inner_edges[k]. A
categorical feature has one bin per level. Missing values get a bin of their own, the last code.

Search: a beam search over conjunctions, one condition per feature. For the parent region
(all rows first) the native kernel `region_conditions` scores, on every other feature, each
interval of adjacent bins (numerical), each set of the k levels of highest mean loss
(categorical; it holds the set of largest impact) and the missing bin, and returns the best
condition per feature by score. The score is a significance-aware impact: the impact, sum over
the region's rows of (loss - mean loss), that is size x excess loss, less `Z` times the spread
of that sum (the square root of the sum of squared deviations of the region's losses); it
keeps rows whose loss is barely above the mean out of a region. The `BEAM` children of
largest score become the parents of the next depth. A parent whose rows' positive excesses
sum to no more than the score of the current `BEAM`-th child (an upper bound of the score of
any of its sub-regions) is pruned without counting its bins.

Test: one-sided Welch t-test of the per-row losses inside against outside a region, with
Bonferroni's correction over every candidate condition the kernel evaluated (the p-value
times their number, at most 1).

Ranking and redundancy, in decreasing order of score (at most `MAX_REVIEWED` significant
candidates, `MAX_REGIONS` kept): a conjunction is kept only if it is significantly worse than
each sub-conjunction with one condition fewer (its rows against the rest of that
sub-conjunction); a region inside a kept one only if significantly worse than the rest of the
kept one; a region holding a kept one only if its other rows are significantly worse than the
rows outside it; a region overlapping a kept one on the same features (other bounds), or
sharing more than `OVERLAP` of the smaller one's rows with a kept region, is a neighbour and
suppressed. Last, a kept region holding another kept one is
dropped when its other rows are not significantly worse than the rows outside it.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy import stats

from kova import _kernels
from kova.exceptions import KovaError

# On a few hundred test rows, more bins would only hold fewer rows than a region's minimum
# size and multiply the intervals the Bonferroni correction counts.
MIN_BINS, MAX_BINS, ROWS_PER_BIN = 8, 128, 200
QUANTILE_ROWS = 100_000
MAX_LEVELS = 65_534  # the codes are 16-bit, the last one for a missing value
BEAM = 10
# A region scores above 0 when its excess is about Z standard errors of its sum; the Bonferroni
# test over a few hundred to a few thousand conditions asks for 3.5 to 4.2, so a larger Z would
# hide, on small data, regions the test would find significant.
Z = 3.0
OVERLAP = 0.5
MAX_REVIEWED = 40
MAX_REGIONS = 20

# One condition: a feature position and the bool mask of the bin codes it allows.
Condition = tuple[int, np.ndarray]


@dataclass(frozen=True)
class FeatureBins:
    """How one feature was binned: inner edges (numerical) or level names (categorical)."""

    name: str
    numerical: bool
    edges: np.ndarray  # inner edges of a numerical feature, empty otherwise
    levels: list  # level names of a categorical feature, empty otherwise

    @property
    def n_bins(self) -> int:
        return self.edges.size + 1 if self.numerical else len(self.levels)


def bin_feature(name: str, values: np.ndarray, numerical: bool, levels: list | None):
    """Bin codes (missing = the last code) of one feature and how it was binned."""
    present = np.isfinite(values)
    codes = np.empty(values.shape[0], dtype=np.uint16)
    if numerical:
        kept = values[present]
        edges = np.empty(0)
        if kept.size:
            sample = kept[:: max(kept.size // QUANTILE_ROWS, 1)]
            n_bins = min(max(kept.size // ROWS_PER_BIN, MIN_BINS), MAX_BINS)
            edges = np.unique(np.quantile(sample, np.linspace(0, 1, n_bins + 1)))
        bins = FeatureBins(name, True, edges[1:-1], [])
        codes[present] = np.searchsorted(bins.edges, kept, side="left")
    else:
        level_codes = np.rint(values[present]).astype(np.int64)
        if levels is None:  # codes without names: the codes stand for themselves
            levels = list(range(int(level_codes.max()) + 1 if level_codes.size else 0))
        if len(levels) > MAX_LEVELS:
            raise KovaError(
                f"Feature {name!r} has {len(levels)} levels; at most {MAX_LEVELS} can be searched."
            )
        bins = FeatureBins(name, False, np.empty(0), list(levels))
        codes[present] = level_codes
    codes[~present] = bins.n_bins
    return codes, bins


@dataclass
class Candidate:
    """A conjunction found by the search, with the moments of its per-row losses."""

    conditions: tuple[Condition, ...]
    count: int
    total: float
    squares: float

    def score(self, mean: float) -> float:
        """Impact less `Z` times its spread (module notes)."""
        deviations = max(self.squares - self.total**2 / max(self.count, 1), 0.0)
        return self.total - self.count * mean - Z * np.sqrt(deviations)

    @property
    def features(self) -> frozenset:
        return frozenset(f for f, _ in self.conditions)

    @property
    def moments(self) -> tuple[int, float, float]:
        return self.count, self.total, self.squares

    @property
    def key(self) -> tuple:
        return tuple(sorted((f, allowed.tobytes()) for f, allowed in self.conditions))


class RegionSearch:
    """Beam search of weak conjunctions over bin codes and their per-row losses."""

    def __init__(self, codes: np.ndarray, bins: list[FeatureBins], loss: np.ndarray, min_size):
        self.codes = np.ascontiguousarray(codes, dtype=np.uint16)
        self.bins = bins
        self.loss = np.ascontiguousarray(loss, dtype=float)
        self.min_size = int(min_size)
        self.mean = float(self.loss.mean())
        self.n_bins = np.array([b.n_bins for b in bins], dtype=np.int64)
        self.ordered = np.array([b.numerical for b in bins], dtype=bool)
        self.evaluated = 0
        self._masks: dict[tuple, np.ndarray] = {}
        self._sums: dict[tuple, tuple[int, float, float]] = {}

    # -- rows of conditions ---------------------------------------------------------

    def condition_mask(self, condition: Condition) -> np.ndarray:
        f, allowed = condition
        key = (f, allowed.tobytes())
        if key not in self._masks:
            self._masks[key] = allowed[self.codes[f]]
        return self._masks[key]

    def mask(self, conditions) -> np.ndarray:
        mask = np.ones(self.loss.shape[0], dtype=bool)
        for condition in conditions:
            mask &= self.condition_mask(condition)
        return mask

    # -- search -----------------------------------------------------------------------

    def candidates(self, max_conditions: int) -> list[Candidate]:
        """Every conjunction the beam kept at some depth, without repeats."""
        found: dict[tuple, Candidate] = {}
        parents = [Candidate((), self.loss.shape[0], 0.0, 0.0)]
        for _ in range(max_conditions):
            children = self._children(parents)
            new = {c.key: c for c in children if c.key not in found}
            found.update(new)
            parents = sorted(new.values(), key=lambda c: -c.score(self.mean))[:BEAM]
        return list(found.values())

    def _children(self, parents: list[Candidate]) -> list[Candidate]:
        children: dict[tuple, Candidate] = {}
        floor = -np.inf
        for parent in parents:
            rows = np.flatnonzero(self.mask(parent.conditions)).astype(np.int64)
            skip = np.zeros(len(self.bins), dtype=bool)
            skip[[f for f, _ in parent.conditions]] = True
            _, evaluated, best = _kernels.region_conditions(
                self.codes, self.n_bins, self.ordered, self.loss, rows, skip,
                self.min_size, self.mean, Z, floor,
            )  # fmt: skip
            self.evaluated += evaluated
            for f, result in enumerate(best):
                if result is not None:
                    allowed, count, total, squares = result
                    child = Candidate((*parent.conditions, (f, allowed)), count, total, squares)
                    children.setdefault(child.key, child)
            scores = sorted((c.score(self.mean) for c in children.values()), reverse=True)
            if len(scores) >= BEAM:
                floor = scores[BEAM - 1]
        return list(children.values())

    # -- tests ------------------------------------------------------------------------
    # Every test compares moments (count, sum, sum of squares) of row sets; those of a part
    # of a region are the region's less the rest's, so only whole regions are summed.

    def adjusted_p(self, inside: tuple, outside: tuple) -> float:
        """Bonferroni-adjusted one-sided Welch p-value of mean loss inside > outside."""
        return min(1.0, welch_greater(inside, outside) * max(self.evaluated, 1))

    def _worse(self, inside: tuple, rest: tuple, alpha: float) -> bool:
        """Whether the rows of moments `inside` are significantly worse than those of `rest`."""
        return self.adjusted_p(inside, rest) <= alpha

    def _moments(self, conditions) -> tuple[int, float, float]:
        key = Candidate(conditions, 0, 0.0, 0.0).key
        if key not in self._sums:
            values = self.loss[self.mask(conditions)]
            self._sums[key] = (values.size, float(values.sum()), float((values * values).sum()))
        return self._sums[key]

    def weak_regions(self, max_conditions: int, alpha: float):
        """The kept regions, best first: (candidate, its row mask, adjusted p-value)."""
        totals = self._moments(())
        scored = [(c, self.adjusted_p(c.moments, _minus(totals, c.moments))) for c in
                  self.candidates(max_conditions)]  # fmt: skip
        significant = [(c, p) for c, p in scored if p <= alpha]
        significant.sort(key=lambda cp: -cp[0].score(self.mean))
        kept: list[tuple[Candidate, np.ndarray, float]] = []
        for candidate, p in significant[:MAX_REVIEWED]:
            mask = self.mask(candidate.conditions)
            if self._adds_to_parents(candidate, alpha) and self._adds_to_kept(
                candidate, mask, kept, totals, alpha
            ):
                kept.append((candidate, mask, p))
            if len(kept) == MAX_REGIONS:
                break
        return self._without_hollow(kept, totals, alpha)

    def _without_hollow(self, kept: list, totals: tuple, alpha: float) -> list:
        """Drops every kept region holding a kept one whose other rows are not significantly
        worse than the rows outside it: its weakness is that of the region it holds."""
        hollow = set()
        for i, (outer, outer_mask, _) in enumerate(kept):
            for j, (inner, inner_mask, _) in enumerate(kept):
                nested = i != j and j not in hollow and not np.any(inner_mask & ~outer_mask)
                rest = _minus(outer.moments, inner.moments)
                if nested and not self._worse(rest, _minus(totals, outer.moments), alpha):
                    hollow.add(i)
                    break
        return [region for i, region in enumerate(kept) if i not in hollow]

    def _adds_to_parents(self, candidate: Candidate, alpha: float) -> bool:
        conditions = candidate.conditions
        for k in range(len(conditions) if len(conditions) > 1 else 0):
            parent = self._moments(conditions[:k] + conditions[k + 1 :])
            if not self._worse(candidate.moments, _minus(parent, candidate.moments), alpha):
                return False
        return True

    def _adds_to_kept(self, candidate, mask, kept: list, totals: tuple, alpha: float) -> bool:
        moments = candidate.moments
        for other, other_mask, _ in kept:
            shared = int(np.count_nonzero(mask & other_mask))
            if candidate.features == other.features and shared:  # other bounds, same features
                return False
            if shared == candidate.count:  # inside a kept region
                if not self._worse(moments, _minus(other.moments, moments), alpha):
                    return False
            elif shared == other.count:  # holds a kept region
                rest = _minus(moments, other.moments)
                if not self._worse(rest, _minus(totals, moments), alpha):
                    return False
            elif shared > OVERLAP * min(candidate.count, other.count):
                return False
        return True


def _minus(a: tuple, b: tuple) -> tuple:
    return tuple(x - y for x, y in zip(a, b, strict=True))


def welch_greater(inside: tuple, outside: tuple) -> float:
    """One-sided Welch t-test p-value that the mean inside exceeds the mean outside.

    Each sample is given by (count, sum, sum of squares). Samples of fewer than two values
    give 1; two constant samples give 0 when the inside mean is larger, else 1.
    """
    (n1, s1, q1), (n2, s2, q2) = inside, outside
    if n1 < 2 or n2 < 2:
        return 1.0
    m1, m2 = s1 / n1, s2 / n2
    v1 = max(q1 - s1 * m1, 0.0) / (n1 - 1) / n1
    v2 = max(q2 - s2 * m2, 0.0) / (n2 - 1) / n2
    spread = v1 + v2
    if spread <= 0:
        return 0.0 if m1 > m2 else 1.0
    t = (m1 - m2) / np.sqrt(spread)
    df = spread**2 / (v1**2 / (n1 - 1) + v2**2 / (n2 - 1))
    return float(stats.t.sf(t, df))
