"""Tools shared by the diagnosers: metrics by name, feature binning, two-sample distances."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from kova import _kernels
from kova.diagnoser.metrics import get_scoring_metric
from kova.diagnoser.result import DiagnoseResult
from kova.exceptions import KovaError

__all__ = ["Bucketing", "get_scoring_metric", "twosample_test"]

NUMERICAL = "numerical"
CATEGORICAL = "categorical"

# ----------------------------------------------------------------------- binning


def _feature_position(feature: Any, feature_names: Any) -> int:
    names = list(feature_names)
    if feature not in names:
        raise KovaError(f"Unknown feature {feature!r}; the features are {names}.")
    return names.index(feature)


def _feature_type(position: int, feature_names: Any, feature_types: Any) -> str:
    """The type of the feature at ``position``: types by position, or a name -> type map."""
    if feature_types is None:
        return NUMERICAL
    if isinstance(feature_types, dict):
        kind = feature_types.get(list(feature_names)[position], NUMERICAL)
    else:
        kind = list(feature_types)[position]
    if kind not in (NUMERICAL, CATEGORICAL):
        raise ValueError(f"Feature types are 'numerical' or 'categorical', got {kind!r}.")
    return kind


def _finite_column(values: Any, feature: Any) -> np.ndarray:
    """The values of a numerical feature as float64; NaN or infinite values are an error."""
    column = np.asarray(values, dtype=np.float64)
    if not np.isfinite(column).all():
        raise ValueError(
            f"Feature {feature!r} has NaN or infinite values; impute or drop them first."
        )
    return column


def bin_edges(values: np.ndarray, method: str, n_bins: int) -> np.ndarray:
    """Increasing edges of ``n_bins`` equal-width ("uniform") or equal-frequency ("quantile")
    bins over finite ``values``; edges that coincide (ties, a constant) are merged."""
    if isinstance(n_bins, bool) or not isinstance(n_bins, (int, np.integer)) or n_bins < 1:
        raise ValueError(f"n_bins must be a positive integer, got {n_bins!r}.")
    if method == "uniform":
        edges = np.linspace(values.min(), values.max(), int(n_bins) + 1)
    elif method == "quantile":
        edges = np.quantile(values, np.linspace(0.0, 1.0, int(n_bins) + 1))
    else:
        raise ValueError(f"Binning method is 'uniform' or 'quantile', got {method!r}.")
    return np.unique(edges)


def bin_codes(values: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """Bin of every value: bin i is [edges[i], edges[i + 1]), the top bin is closed above."""
    return _kernels.bin_codes(values, edges)


class Bucketing:
    """Groups the rows of a data set along one feature.

    A numerical feature is cut into ``n_bins`` equal-width ("uniform") or equal-frequency
    ("quantile") bins over the rows given to ``get_group_idx``; a categorical feature has one
    group per category. Every bin is [lower, upper) except the top one, which is closed above.
    Bins without rows are dropped and the rest numbered 0, 1, ... in increasing order, so the
    last label is the top bin.
    """

    def __init__(
        self,
        feature: Any = None,
        method: str = "uniform",
        n_bins: int = 5,
        feature_names: Any = None,
        feature_types: Any = None,
    ) -> None:
        self.feature = feature
        self.method = method
        self.n_bins = n_bins
        self.feature_names = feature_names
        self.feature_types = feature_types

    def get_group_idx(self, X: Any) -> tuple[np.ndarray, list]:
        """Group the rows of the 2-D array ``X`` (columns in the order of ``feature_names``).

        Returns ``(group, group_range)``: the label of every row, and for every row the range
        of its group: [lower, upper] for a bin, [category] for a category. A row of group g
        lies in its range: lower <= value < upper, or value <= upper in the last group, or
        value == category.
        """
        position = _feature_position(self.feature, self.feature_names)
        column = np.asarray(X)[:, position]
        if _feature_type(position, self.feature_names, self.feature_types) == CATEGORICAL:
            group, ranges = self._categories(column)
        else:
            group, ranges = self._bins(_finite_column(column, self.feature))
        return group, [ranges[label] for label in group]

    def _bins(self, column: np.ndarray) -> tuple[np.ndarray, list]:
        if column.size == 0:
            return np.zeros(0, dtype=np.int64), []
        edges = bin_edges(column, self.method, self.n_bins)
        if edges.size == 1:  # a constant: one closed bin [value, value]
            return np.zeros(column.size, dtype=np.int64), [[float(edges[0])] * 2]
        occupied, group = np.unique(bin_codes(column, edges), return_inverse=True)
        ranges = [[float(edges[code]), float(edges[code + 1])] for code in occupied]
        return group.astype(np.int64), ranges

    def _categories(self, column: np.ndarray) -> tuple[np.ndarray, list]:
        if pd.isna(column).any():
            raise ValueError(f"Feature {self.feature!r} has missing categories; fill them first.")
        codes, categories = pd.factorize(column, sort=True)
        return codes.astype(np.int64), [[category] for category in categories]


# ------------------------------------------------------------ two-sample distances

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


class _Numerical:
    """The numerical features of both samples, as float64 matrices of the same columns.

    Every pass runs over all the columns at once: the ranges and the PSI bin counts in one
    pass over the rows each, KS and WD1 from the columns sorted once.
    """

    def __init__(self, a: np.ndarray, b: np.ndarray, names: list, buckets: str, n_bins: int):
        self.a, self.b, self.names = a, b, names
        self.buckets, self.n_bins = buckets, n_bins
        self._sorted: tuple[np.ndarray, np.ndarray] | None = None

    @property
    def empty(self) -> bool:
        return self.a.shape[0] == 0 or self.b.shape[0] == 0

    def _check_finite(self, bad: np.ndarray) -> None:
        if bad.any():
            raise ValueError(
                f"Feature {self.names[int(np.argmax(bad))]!r} has NaN or infinite values; "
                "impute or drop them first."
            )

    def _ranges(self) -> tuple[np.ndarray, np.ndarray]:
        """Pooled smallest and largest value of every column; non-finite values are an error."""
        ranges = [_kernels.column_ranges(sample) for sample in (self.a, self.b)]
        self._check_finite(np.isnan(ranges[0][0]) | np.isnan(ranges[1][0]))
        return np.minimum(ranges[0][0], ranges[1][0]), np.maximum(ranges[0][1], ranges[1][1])

    def sorted(self) -> tuple[np.ndarray, np.ndarray]:
        """Every column of each sample, sorted, as the rows of a matrix (NaN sorts last)."""
        if self._sorted is None:
            rows = []
            for sample in (self.a, self.b):
                columns = _kernels.transposed(sample)
                columns.sort(axis=1)
                rows.append(columns)
            ends = [np.concatenate([rows_[:, :1], rows_[:, -1:]], axis=1) for rows_ in rows]
            self._check_finite(~np.isfinite(np.concatenate(ends, axis=1)).all(axis=1))
            self._sorted = rows[0], rows[1]
        return self._sorted

    def bins(self) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        """For every column: the PSI edges over the pooled values and both samples' shares."""
        low, high = self._ranges()
        if self.buckets == "uniform":  # the pooled range is all that is needed
            pairs = np.stack([low, high], axis=1)
            edges = [bin_edges(pair, "uniform", self.n_bins) for pair in pairs]
        else:
            edges = [
                bin_edges(np.concatenate([self.a[:, j], self.b[:, j]]), "quantile", self.n_bins)
                for j in range(len(self.names))
            ]
        # a column of one value in both samples has a single edge: one bin holding everything
        binned = [e if e.size > 1 else np.append(e, np.nextafter(e[0], np.inf)) for e in edges]
        counts = [_kernels.column_bin_counts(sample, binned) for sample in (self.a, self.b)]
        return [
            (e, _shares(ca, self.a.shape[0]), _shares(cb, self.b.shape[0]))
            for e, ca, cb in zip(edges, *counts, strict=True)
        ]

    def distances(self, metric: str) -> np.ndarray:
        if self.empty:
            for sample in (self.a, self.b):
                self._check_finite(np.isnan(_kernels.column_ranges(sample)[0]))
            return np.full(len(self.names), np.nan)
        if metric == "PSI":
            return np.array([psi(p, q) for _, p, q in self.bins()])
        kernel = _kernels.ks_sorted if metric == "KS" else _kernels.wasserstein1_sorted
        sorted_a, sorted_b = self.sorted()
        return np.array([kernel(sorted_a[j], sorted_b[j]) for j in range(len(self.names))])

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
        self.p = _shares(np.bincount(codes[: a.size], minlength=size), a.size)
        self.q = _shares(np.bincount(codes[a.size :], minlength=size), b.size)

    def distance(self, metric: str) -> float:
        """PSI over the categories; KS and WD1 as total variation (half the L1 distance of the
        shares): the largest gap in probability over any set of categories, which is also the
        first Wasserstein distance when unlike categories are one apart."""
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
        raise ValueError(
            f"The samples must be 2-D with the same columns, got shapes {a.shape} and {b.shape}."
        )
    if feature_names is None:
        feature_names = getattr(sample1, "columns", [f"X{j}" for j in range(a.shape[1])])
    names = list(feature_names)
    if len(names) != a.shape[1]:
        raise ValueError(f"{len(names)} feature names for {a.shape[1]} columns.")
    return a, b, names


def _float_columns(sample: np.ndarray, columns: list[int]) -> np.ndarray:
    """The given columns as a float64 matrix, without a copy when they are all of them."""
    if len(columns) == sample.shape[1] and sample.dtype == np.float64:
        return sample
    return np.asarray(sample[:, columns], dtype=np.float64)


def twosample_test(
    sample1: Any,
    sample2: Any,
    distance_metric: str = "PSI",
    feature_names: Any = None,
    feature_types: Any = None,
    show_feature: Any = None,
    figsize: tuple = (8, 6),
    plot_title: str | None = None,
    psi_buckets: str = "uniform",
    psi_bins: int = 10,
    *,
    plot: bool = True,
) -> DiagnoseResult:
    """Distance between two samples of the same features, feature by feature.

    ``distance_metric`` is "PSI" (population stability index over ``psi_bins`` "uniform" or
    "quantile" bins of the pooled values), "WD1" (first Wasserstein distance) or "KS"
    (Kolmogorov-Smirnov statistic). Numerical features must be finite. Categorical features
    are compared by their category shares (see ``_Categorical.distance``). A distance with an
    empty sample is NaN.

    With ``show_feature`` None the result's ``value`` holds "features" (the names) and, under
    the metric's name, the distances, and the figure is a bar chart of them (None with
    ``plot=False``, for callers that only read the distances). With a feature
    name, ``value`` holds that feature's distance under the metric's name, and "x", "y" and
    "y_label": for each sample, the points and heights of the curve drawn in the figure (bin
    shares for PSI and categories, distribution functions for KS and WD1).
    """
    if distance_metric not in DISTANCE_METRICS:
        raise KovaError(
            f"Unsupported distance {distance_metric!r}; choose one of "
            f"{', '.join(DISTANCE_METRICS)}."
        )
    a, b, names = _samples(sample1, sample2, feature_names)
    title = "Data distance" if plot_title is None else plot_title
    kinds = [_feature_type(j, names, feature_types) for j in range(len(names))]

    def numerical(columns: list[int]) -> _Numerical:
        return _Numerical(
            _float_columns(a, columns),
            _float_columns(b, columns),
            [names[j] for j in columns],
            psi_buckets,
            psi_bins,
        )

    if show_feature is None:
        distances = np.full(len(names), np.nan)
        numeric = [j for j, kind in enumerate(kinds) if kind == NUMERICAL]
        if numeric:
            distances[numeric] = numerical(numeric).distances(distance_metric)
        for j in (j for j, kind in enumerate(kinds) if kind == CATEGORICAL):
            distances[j] = _Categorical(a[:, j], b[:, j]).distance(distance_metric)
        figure = None
        if plot:
            figure = _plot_distances(names, distances, distance_metric, title, figsize)
        return DiagnoseResult({"features": names, distance_metric: distances}, figure)
    j = _feature_position(show_feature, names)
    categorical = kinds[j] == CATEGORICAL
    column: _Categorical | _Numerical
    if categorical:
        column = _Categorical(a[:, j], b[:, j])
        distance = column.distance(distance_metric)
    else:
        column = numerical([j])
        distance = float(column.distances(distance_metric)[0])
    xs, ys, y_label = column.curves(distance_metric)
    value = {
        "feature": show_feature,
        distance_metric: distance,
        "x": xs,
        "y": ys,
        "y_label": y_label,
        "samples": list(SAMPLE_LABELS),
    }
    heading = f"{title}\n{show_feature}: {distance_metric} = {distance:.4f}"
    return DiagnoseResult(
        value, _plot_feature(value, categorical, distance_metric, heading, figsize)
    )


# ------------------------------------------------------------------------ figures


def _plot_distances(names: list, distances: np.ndarray, metric: str, title: str, figsize: tuple):
    """Horizontal bars of the distances, the largest on top."""
    figure = Figure(figsize=figsize, layout="constrained")  # laid out when drawn
    ax = figure.subplots()
    order = np.argsort(np.nan_to_num(distances, nan=-np.inf), kind="stable")
    ax.barh(np.arange(len(names)), distances[order], color="tab:blue")
    ax.set_yticks(np.arange(len(names)), [str(names[i]) for i in order])
    ax.set_xlabel(metric)
    ax.set_title(title)
    return figure


def _plot_feature(value: dict, categorical: bool, metric: str, title: str, figsize: tuple):
    """Side-by-side bars of the shares (PSI, categories) or the two distribution functions."""
    figure = Figure(figsize=figsize, layout="constrained")  # laid out when drawn
    ax = figure.subplots()
    xs, ys, labels = value["x"], value["y"], value["samples"]
    if categorical or metric == "PSI":
        positions = np.arange(len(xs[0]))
        for k, (heights, label) in enumerate(zip(ys, labels, strict=True)):
            ax.bar(positions + (k - 0.5) * 0.4, heights, width=0.4, label=label)
        ax.set_xticks(positions, [_tick(x) for x in xs[0]], rotation=45, ha="right")
    else:
        for x, cdf, label in zip(xs, ys, labels, strict=True):
            ax.step(x, cdf, where="post", label=label)
        if metric == "WD1":
            ax.fill_between(xs[0], ys[0], ys[1], step="post", alpha=0.25, color="grey")
        else:
            gaps = np.abs(ys[0] - ys[1])
            if np.isfinite(gaps).any():  # mark the largest gap, the KS statistic
                k = int(np.nanargmax(gaps))
                ax.vlines(xs[0][k], ys[0][k], ys[1][k], colors="black", linestyles="--")
    ax.set_xlabel(str(value["feature"]))
    ax.set_ylabel(value["y_label"])
    ax.set_title(title)
    ax.legend()
    return figure


def _tick(value: Any) -> str:
    """A category or bin as a short tick label: floats to 4 decimals."""
    return str(np.round(value, 4)) if isinstance(value, (float, np.floating)) else str(value)
