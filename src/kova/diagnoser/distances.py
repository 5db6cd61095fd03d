"""Two-sample distances of the diagnosers: ``twosample_test`` (PSI, first Wasserstein distance
and Kolmogorov-Smirnov statistic of every feature, several in one call); its figures are drawn
by kova.diagnoser.distance_figures when first read."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from kova import _kernels
from kova.diagnoser.bucketing import (
    CATEGORICAL,
    NUMERICAL,
    bin_edges,
    feature_position,
    feature_type,
    float_values,
    interpolate,
    quantile_ranks,
    uniform_edges,
)
from kova.diagnoser.distance_figures import plot_distances, plot_feature
from kova.diagnoser.result import DiagnoseResult
from kova.exceptions import KovaError
from kova.figures import checked_figsize

__all__ = ["DISTANCE_METRICS", "DistanceResult", "psi", "twosample_test"]

DISTANCE_METRICS = ("PSI", "WD1", "KS")
# Floor of an empty bin's share in PSI, which would otherwise be infinite.
PSI_FLOOR = 1e-4
# Points at which the distribution functions of a shown feature are drawn and reported.
CURVE_POINTS = 1000
SAMPLE_LABELS = ("Sample 1", "Sample 2")


def psi(expected: Any, actual: Any) -> float:
    """Population stability index of two vectors of bin shares, each floored at PSI_FLOOR."""
    p = np.maximum(np.asarray(expected, dtype=float), PSI_FLOOR)
    q = np.maximum(np.asarray(actual, dtype=float), PSI_FLOOR)
    return float(np.sum((p - q) * np.log(p / q)))


def _shares(counts: np.ndarray, total: int) -> np.ndarray:
    return counts / total if total else np.full(counts.shape, np.nan)


def _sorted_counts(sorted_values: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """Values in every bin [edges[i], edges[i + 1]) of a sorted array, the top bin closed."""
    positions = np.searchsorted(sorted_values, edges, side="left")
    positions[-1] = np.searchsorted(sorted_values, edges[-1], side="right")
    return np.diff(positions)


def _closed(edges: np.ndarray) -> np.ndarray:
    """Edges with at least one bin: a column of one value has one bin holding everything."""
    return edges if edges.size > 1 else np.append(edges, np.nextafter(edges[0], np.inf))


class _Numerical:
    """The numerical features of both samples, as float64 matrices of the same columns.

    KS alone comes from bucket counts of the columns, sorting only the buckets that may hold
    the largest difference (``ks_columns``). KS with WD1 come from the columns sorted once (in
    the kernel, spread over ``threads``), and the PSI bin counts from the same sorted columns by
    binary search of the edges. PSI alone needs no sort: the ranges and the bin counts each
    take one pass over the rows.
    """

    def __init__(
        self, a: np.ndarray, b: np.ndarray, names: list, buckets: str, n_bins: int, threads: int
    ):
        self.a, self.b, self.names = a, b, names
        self.buckets, self.n_bins, self.threads = buckets, n_bins, threads
        self._sorted: tuple[np.ndarray, np.ndarray] | None = None

    @property
    def empty(self) -> bool:
        return self.a.shape[0] == 0 or self.b.shape[0] == 0

    def _check_finite(self, bad: np.ndarray) -> None:
        if bad.any():
            raise KovaError(
                f"Feature {self.names[int(np.argmax(bad))]!r} has NaN or infinite values; "
                "impute or drop them first."
            )

    def sorted(self) -> tuple[np.ndarray, np.ndarray]:
        """Every column of each sample, sorted, as the rows of a matrix."""
        if self._sorted is None:
            rows = [_kernels.sorted_columns(s, self.threads) for s in (self.a, self.b)]
            # non-finite values sort to the ends of a row
            ends = np.concatenate([r[:, [0, -1]] if r.shape[1] else r for r in rows], axis=1)
            self._check_finite(np.asarray(~np.isfinite(ends).all(axis=1)))
            self._sorted = rows[0], rows[1]
        return self._sorted

    def _edges_from_sorted(self, j: int) -> np.ndarray:
        sorted_a, sorted_b = (rows[j] for rows in self.sorted())
        if self.buckets == "uniform":
            low, high = min(sorted_a[0], sorted_b[0]), max(sorted_a[-1], sorted_b[-1])
            return np.unique(uniform_edges(low, high, self.n_bins))
        lower, upper, weight = quantile_ranks(sorted_a.size + sorted_b.size, self.n_bins)
        stats = [_kernels.pooled_order_statistics(sorted_a, sorted_b, r) for r in (lower, upper)]
        return np.unique(interpolate(stats[0], stats[1], weight))

    def _bins_from_sorted(self) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        bins = []
        for j in range(len(self.names)):
            edges = self._edges_from_sorted(j)
            shares = [_sorted_counts(r[j], _closed(edges)) / r.shape[1] for r in self.sorted()]
            bins.append((edges, shares[0], shares[1]))
        return bins

    def _ranges(self) -> tuple[np.ndarray, np.ndarray]:
        """Pooled smallest and largest value of every column; non-finite values are an error."""
        ranges = [_kernels.column_ranges(sample) for sample in (self.a, self.b)]
        self._check_finite(np.isnan(ranges[0][0]) | np.isnan(ranges[1][0]))
        return np.minimum(ranges[0][0], ranges[1][0]), np.maximum(ranges[0][1], ranges[1][1])

    def bins(self) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        """For every column: the PSI edges over the pooled values and both samples' shares."""
        if self._sorted is not None or self.buckets != "uniform":
            return self._bins_from_sorted()
        low, high = self._ranges()  # the pooled range is all that uniform bins need
        edges = [
            bin_edges(np.array(pair), "uniform", self.n_bins)
            for pair in zip(low, high, strict=True)
        ]
        counts = [
            _kernels.column_bin_counts(sample, [_closed(e) for e in edges])
            for sample in (self.a, self.b)
        ]
        return [
            (e, _shares(ca, self.a.shape[0]), _shares(cb, self.b.shape[0]))
            for e, ca, cb in zip(edges, *counts, strict=True)
        ]

    def distances(self, metrics: list[str]) -> dict[str, np.ndarray]:
        if self.empty:
            for sample in (self.a, self.b):
                self._check_finite(np.isnan(_kernels.column_ranges(sample)[0]))
            return {metric: np.full(len(self.names), np.nan) for metric in metrics}
        found = {}
        if metrics == ["KS"] and self._sorted is None:  # bucket counts spare the whole sort
            found["KS"] = _kernels.ks_columns(self.a, self.b, self.threads)
            self._check_finite(np.isnan(found["KS"]))
        elif "KS" in metrics or "WD1" in metrics:
            found["KS"], found["WD1"] = _kernels.sorted_distances(*self.sorted(), self.threads)
        if "PSI" in metrics:
            found["PSI"] = np.array([psi(p, q) for _, p, q in self.bins()])
        return {metric: found[metric] for metric in metrics}

    def curves(self, metric: str) -> tuple[list, list, str]:
        """Of the first column: PSI bins and shares, or the two distribution functions."""
        if metric == "PSI":
            edges, p, q = (np.zeros(1), [np.nan], [np.nan]) if self.empty else self.bins()[0]
            labels = _bin_labels(edges)
            return [labels, labels], [np.asarray(p), np.asarray(q)], "Proportion"
        columns = [rows[0] for rows in self.sorted()]
        grid = _grid(columns)
        return [grid, grid], [_ecdf(column, grid) for column in columns], "Cumulative probability"


def _grid(sorted_columns: list[np.ndarray]) -> np.ndarray:
    """The pooled distinct values, or CURVE_POINTS quantiles of them when there are more."""
    pooled = np.concatenate(sorted_columns)
    values = np.unique(pooled)
    if values.size <= CURVE_POINTS:
        return values
    return np.unique(np.quantile(pooled, np.linspace(0.0, 1.0, CURVE_POINTS)))


def _ecdf(sorted_sample: np.ndarray, grid: np.ndarray) -> np.ndarray:
    if sorted_sample.size == 0:
        return np.full(grid.shape, np.nan)
    return np.searchsorted(sorted_sample, grid, side="right") / sorted_sample.size


def _bin_labels(edges: np.ndarray) -> np.ndarray:
    if edges.size == 1:
        return np.array([f"[{np.round(edges[0], 4)}]"])
    closing = [")"] * (edges.size - 2) + ["]"]
    return np.array(
        [
            f"[{np.round(lo, 4)}, {np.round(hi, 4)}{end}"
            for lo, hi, end in zip(edges[:-1], edges[1:], closing, strict=True)
        ]
    )


class _Categorical:
    """One categorical feature in both samples; a missing value counts as a category."""

    def __init__(self, a: np.ndarray, b: np.ndarray) -> None:
        pooled = pd.Series(np.concatenate([a, b]), dtype=object)
        try:
            codes, self.categories = pd.factorize(pooled, sort=True, use_na_sentinel=False)
        except TypeError:  # categories of mixed types do not sort: first-seen order
            codes, self.categories = pd.factorize(pooled, use_na_sentinel=False)
        size = len(self.categories)
        self.empty = a.size == 0 or b.size == 0
        self.p = _shares(np.bincount(codes[: a.size], minlength=size), a.size)
        self.q = _shares(np.bincount(codes[a.size :], minlength=size), b.size)

    def distance(self, metric: str) -> float:
        """PSI over the categories; KS and WD1 as total variation (half the L1 distance of the
        shares): the largest gap in probability over any set of categories, which is also the
        first Wasserstein distance when unlike categories are one apart. NaN with an empty
        sample."""
        if self.empty:
            return np.nan
        if metric == "PSI":
            return psi(self.p, self.q)
        return float(0.5 * np.sum(np.abs(self.p - self.q)))

    def curves(self, metric: str) -> tuple[list, list, str]:
        labels = np.asarray(self.categories, dtype=object)
        return [labels, labels], [self.p, self.q], "Proportion"


def _samples(sample1: Any, sample2: Any, feature_names: Any) -> tuple[np.ndarray, np.ndarray, list]:
    a, b = (np.asarray(s) for s in (sample1, sample2))
    a, b = (s.reshape(-1, 1) if s.ndim == 1 else s for s in (a, b))
    if a.ndim != 2 or b.ndim != 2 or a.shape[1] != b.shape[1]:
        raise KovaError(
            f"The samples must be 2-D with the same columns, got shapes {a.shape} and {b.shape}."
        )
    if feature_names is None:
        feature_names = getattr(sample1, "columns", [f"X{j}" for j in range(a.shape[1])])
    names = list(feature_names)
    if len(names) != a.shape[1]:
        raise KovaError(f"{len(names)} feature names for {a.shape[1]} columns.")
    return a, b, names


def _float_columns(sample: np.ndarray, columns: list[int], names: list) -> np.ndarray:
    """The given columns as a float64 matrix, without a copy when they are all of them."""
    if len(columns) == sample.shape[1] and sample.dtype == np.float64:
        return sample
    return np.column_stack([float_values(sample[:, j], names[j]) for j in columns]).reshape(
        sample.shape[0], len(columns)
    )


def _metric_names(distance_metric: Any) -> list[str]:
    """The metrics asked for, in order: one name, a sequence of names, or "all"."""
    if isinstance(distance_metric, str):
        names = list(DISTANCE_METRICS) if distance_metric == "all" else [distance_metric]
    else:
        try:
            names = list(distance_metric)
        except TypeError:
            names = [distance_metric]
    unknown = [name for name in names if name not in DISTANCE_METRICS]
    if unknown or not names:
        raise KovaError(
            f"Unsupported distance_metric {distance_metric!r}; choose one of "
            f"{', '.join(DISTANCE_METRICS)}, a list of them, or 'all'."
        )
    return list(dict.fromkeys(names))


def _threads(n_jobs: Any) -> int:
    valid = isinstance(n_jobs, (int, np.integer)) and not isinstance(n_jobs, bool)
    if not valid or not (n_jobs == -1 or n_jobs >= 1):
        raise KovaError(f"n_jobs must be a positive integer or -1 (all cores), got {n_jobs!r}.")
    if n_jobs == -1:
        return (
            len(os.sched_getaffinity(0))
            if hasattr(os, "sched_getaffinity")
            else os.cpu_count() or 1
        )
    return int(n_jobs)


class DistanceResult(DiagnoseResult):
    """The result of ``twosample_test``: ``value`` at once, the figure drawn when first read."""

    def __init__(self, value: dict[str, Any], draw: Callable[[], Figure]) -> None:
        super().__init__(value)
        self._draw: Callable[[], Figure] | None = draw

    @property
    def figure(self) -> Any:
        if self._draw is not None:
            self._figure, self._draw = self._draw(), None
        return self._figure

    @figure.setter
    def figure(self, figure: Any) -> None:
        self._figure, self._draw = figure, None

    def __repr__(self) -> str:
        keys = ", ".join(map(str, self.value))
        drawn = "figure" if self._draw is None and self._figure is not None else "figure on demand"
        return f"DiagnoseResult(value keys: {keys}, {drawn})"


def twosample_test(
    sample1: Any,
    sample2: Any,
    distance_metric: Any = "PSI",
    feature_names: Any = None,
    feature_types: Any = None,
    show_feature: Any = None,
    figsize: tuple = (8, 6),
    plot_title: str | None = None,
    psi_buckets: str = "uniform",
    psi_bins: int = 10,
    n_jobs: int = -1,
) -> DistanceResult:
    """Distance between two samples of the same features, feature by feature.

    ``distance_metric`` is "PSI" (population stability index over ``psi_bins`` "uniform" or
    "quantile" bins of the pooled values), "WD1" (first Wasserstein distance), "KS"
    (Kolmogorov-Smirnov statistic), a list of them, or "all" for the three; asking for several
    at once shares the work (one sort per column gives KS, WD1 and the PSI counts). Numerical
    features must be finite; columns are sorted on ``n_jobs`` threads (-1: all cores).
    Categorical features are compared by their category shares (see
    ``_Categorical.distance``). A distance with an empty sample is NaN.

    With ``show_feature`` None the result's ``value`` holds "features" (the names) and, under
    each metric's name, the distances; the figure shows them as bars. With a feature name,
    ``value`` holds that feature's distance under each metric's name, and "x", "y" and
    "y_label": for each sample, the points and heights of the curve of the first metric named
    (bin shares for PSI and categories, distribution functions for KS and WD1). The figure is
    drawn only when the result's ``figure`` is first read.
    """
    metrics = _metric_names(distance_metric)
    threads = _threads(n_jobs)
    figsize = checked_figsize(figsize)
    a, b, names = _samples(sample1, sample2, feature_names)
    title = "Data distance" if plot_title is None else plot_title
    kinds = [feature_type(j, names, feature_types) for j in range(len(names))]

    def numerical(columns: list[int]) -> _Numerical:
        a_, b_ = _float_columns(a, columns, names), _float_columns(b, columns, names)
        return _Numerical(a_, b_, [names[j] for j in columns], psi_buckets, psi_bins, threads)

    if show_feature is None:
        distances = {metric: np.full(len(names), np.nan) for metric in metrics}
        numeric = [j for j, kind in enumerate(kinds) if kind == NUMERICAL]
        if numeric:
            for metric, values in numerical(numeric).distances(metrics).items():
                distances[metric][numeric] = values
        for j in (j for j, kind in enumerate(kinds) if kind == CATEGORICAL):
            column = _Categorical(a[:, j], b[:, j])
            for metric in metrics:
                distances[metric][j] = column.distance(metric)
        return DistanceResult(
            {"features": names, **distances},
            lambda: plot_distances(names, distances, title, figsize),
        )
    j = feature_position(show_feature, names)
    categorical = kinds[j] == CATEGORICAL
    shown: _Categorical | _Numerical
    if categorical:
        shown = _Categorical(a[:, j], b[:, j])
        found = {metric: shown.distance(metric) for metric in metrics}
    else:
        shown = numerical([j])
        found = {metric: float(d[0]) for metric, d in shown.distances(metrics).items()}
    xs, ys, y_label = shown.curves(metrics[0])
    value = {"feature": show_feature, **found, "x": xs, "y": ys, "y_label": y_label}
    value["samples"] = list(SAMPLE_LABELS)
    listed = ", ".join(f"{metric} = {d:.4f}" for metric, d in found.items())
    heading = f"{title}\n{show_feature}: {listed}"
    return DistanceResult(
        value, lambda: plot_feature(value, categorical, metrics[0], heading, figsize)
    )
