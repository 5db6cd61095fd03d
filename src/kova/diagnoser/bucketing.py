"""Feature binning of the diagnosers: bin edges and codes, and ``Bucketing``, which groups rows
along one feature for the segmented diagnostics."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from kova import _kernels
from kova.exceptions import KovaError

__all__ = ["Bucketing", "bin_codes", "bin_edges"]

NUMERICAL = "numerical"
CATEGORICAL = "categorical"


def feature_position(feature: Any, feature_names: Any) -> int:
    names = list(feature_names)
    if feature not in names:
        raise KovaError(f"Unknown feature {feature!r}; the features are {names}.")
    return names.index(feature)


def feature_type(position: int, feature_names: Any, feature_types: Any) -> str:
    """The type of the feature at ``position``: types by position, or a name -> type map."""
    if feature_types is None:
        return NUMERICAL
    if isinstance(feature_types, dict):
        kind = feature_types.get(list(feature_names)[position], NUMERICAL)
    else:
        kind = list(feature_types)[position]
    if kind not in (NUMERICAL, CATEGORICAL):
        raise KovaError(f"Feature types are 'numerical' or 'categorical', got {kind!r}.")
    return kind


def float_values(values: Any, feature: Any) -> np.ndarray:
    """The values of a numerical feature as float64; a value that is not a number (text,
    None in an object array) is a `KovaError` naming the feature."""
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise KovaError(
            f"Numerical feature {feature!r} holds values that are not numbers; convert them or "
            "declare the feature categorical."
        ) from None


def finite_column(values: Any, feature: Any) -> np.ndarray:
    """The values of a numerical feature as float64; NaN or infinite values are an error."""
    column = float_values(values, feature)
    if not np.isfinite(column).all():
        raise KovaError(
            f"Feature {feature!r} has NaN or infinite values; impute or drop them first."
        )
    return column


def uniform_edges(low: float, high: float, n_bins: int) -> np.ndarray:
    """``n_bins + 1`` equal-width edges from ``low`` to ``high``. A range wider than the largest
    float (values near both limits) is split as ``low (1 - t) + high t``, which cannot overflow."""
    with np.errstate(over="ignore", invalid="ignore"):
        edges = np.linspace(low, high, n_bins + 1)
    if np.isfinite(edges).all():
        return edges
    t = np.linspace(0.0, 1.0, n_bins + 1)
    edges = low * (1.0 - t) + high * t
    edges[0], edges[-1] = low, high
    return edges


def quantile_ranks(count: int, n_bins: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """For the ``n_bins + 1`` equal-frequency edges of ``count`` sorted values: the ranks of the
    values below and above each edge and the weight of the upper one, as numpy's default
    ("linear") quantile places them."""
    position = (count - 1) * np.linspace(0.0, 1.0, n_bins + 1)
    lower = np.minimum(np.floor(position), count - 1)
    upper = np.minimum(lower + 1, count - 1)
    return lower.astype(np.int64), upper.astype(np.int64), position - lower


def interpolate(lower: np.ndarray, upper: np.ndarray, weight: np.ndarray) -> np.ndarray:
    """numpy's quantile interpolation between neighbouring values; where their difference
    overflows (values near both float limits), ``lower (1 - weight) + upper weight``."""
    with np.errstate(over="ignore", invalid="ignore"):
        gap = upper - lower
        values = np.where(weight >= 0.5, upper - gap * (1.0 - weight), lower + gap * weight)
    wide = ~np.isfinite(values)
    values[wide] = lower[wide] * (1.0 - weight[wide]) + upper[wide] * weight[wide]
    return values


def bin_edges(values: np.ndarray, method: str, n_bins: int) -> np.ndarray:
    """Increasing edges of ``n_bins`` equal-width ("uniform") or equal-frequency ("quantile")
    bins over finite ``values``; edges that coincide (ties, a constant) are merged. Any finite
    values are binned, also those near the float limits."""
    if isinstance(n_bins, bool) or not isinstance(n_bins, (int, np.integer)) or n_bins < 1:
        raise KovaError(f"n_bins must be a positive integer, got {n_bins!r}.")
    if method == "uniform":
        edges = uniform_edges(values.min(), values.max(), int(n_bins))
    elif method == "quantile":
        ordered = np.sort(values)
        lower, upper, weight = quantile_ranks(ordered.size, int(n_bins))
        edges = interpolate(ordered[lower], ordered[upper], weight)
    else:
        raise KovaError(f"Binning method is 'uniform' or 'quantile', got {method!r}.")
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
        position = feature_position(self.feature, self.feature_names)
        column = np.asarray(X)[:, position]
        if feature_type(position, self.feature_names, self.feature_types) == CATEGORICAL:
            group, ranges = self._categories(column)
        else:
            group, ranges = self._bins(finite_column(column, self.feature))
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
            raise KovaError(f"Feature {self.feature!r} has missing categories; fill them first.")
        codes, categories = pd.factorize(column, sort=True)
        return codes.astype(np.int64), [[category] for category in categories]
