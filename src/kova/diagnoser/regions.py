"""Weak regions of a fitted model: conjunctions of conditions where its loss is clearly higher.

`find_weak_regions` searches the test rows of a `ModelPipeline` for regions such as
"x3 > 1.02 and x7 <= -0.01" or "colour in {red, blue}" where the model's per-row loss is
significantly above its mean; `kova.diagnoser.region_search` describes the binning, the
search, the test and the redundancy rule.

Per-row loss, chosen by the metric:
- regression: squared error for "MSE", "RMSE" and "R2", absolute error for "MAE", absolute
  error relative to the target for "MAPE";
- classification: 0/1 error for the label metrics ("ACC", "F1", "Precision", "Recall");
  log-loss of the true class's probability for "LogLoss" and "AUC"; squared error of the
  class probabilities for "Brier".
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

from kova.config import CLS_METRICS, REG_METRICS
from kova.diagnoser.base import DataDiagnoser, format_bound, metric_score
from kova.diagnoser.region_search import FeatureBins, RegionSearch, bin_features
from kova.diagnoser.utils import get_scoring_metric
from kova.exceptions import KovaError
from kova.models.pipeline import ModelPipeline
from kova.validation import Rule, validate

__all__ = [
    "Condition", "Region", "WeakRegions", "find_weak_regions", "original_values", "regions_of",
]  # fmt: skip

DEFAULT_METRIC = {"classification": "ACC", "regression": "MSE"}
LOSSES = {
    "MSE": "squared",
    "RMSE": "squared",
    "R2": "squared",
    "MAE": "absolute",
    "MAPE": "relative",
    "ACC": "error",
    "F1": "error",
    "Precision": "error",
    "Recall": "error",
    "LogLoss": "log",
    "AUC": "log",
    "Brier": "brier",
}
MIN_ROWS = 20
MIN_SHARE = 0.01
MAX_CONDITIONS = 3
# Categorical features with more levels among the searched rows are not searched.
MAX_SEARCHED_LEVELS = 32
PROBABILITY_FLOOR = 1e-15


@dataclass(frozen=True)
class Condition:
    """One condition of a region on one feature.

    kind "interval": lower < value <= upper (a bound of None is open; both None means the
    value is present); kind "levels": the value is one of `levels`; kind "missing": the
    value is missing.
    """

    feature: str
    kind: str
    lower: float | None = None
    upper: float | None = None
    levels: tuple = ()

    def __str__(self) -> str:
        if self.kind == "missing":
            return f"{self.feature} is missing"
        if self.kind == "levels":
            return f"{self.feature} in {{{', '.join(map(str, self.levels))}}}"
        if self.lower is None and self.upper is None:
            return f"{self.feature} is not missing"
        if self.lower is None:
            return f"{self.feature} <= {format_bound(self.upper)}"
        if self.upper is None:
            return f"{self.feature} > {format_bound(self.lower)}"
        return f"{format_bound(self.lower)} < {self.feature} <= {format_bound(self.upper)}"


@dataclass(frozen=True)
class Region:
    """A weak region: its conditions, size, metric value, overall value, gap and p-value."""

    conditions: tuple[Condition, ...]
    size: int
    metric: float
    overall: float
    gap: float
    p_value: float

    @property
    def text(self) -> str:
        return " and ".join(map(str, self.conditions))


class WeakRegions:
    """What `find_weak_regions` found.

    Attributes: `table` (a DataFrame ranked best first with the columns "Region", "Size",
    the metric's name, "Overall", "Gap" = metric - "Overall", and "p-value", the one-sided
    Welch p-value after Bonferroni's correction), `regions` (the same as `Region` objects),
    `metric`, `overall` and `n_tested` (the number of candidate conditions the Bonferroni
    correction counts). `rows(i)` gives region i's row labels.
    """

    def __init__(self, regions, row_sets, labels, metric, overall, n_tested):
        self.regions: list[Region] = list(regions)
        self.metric = metric
        self.overall = overall
        self.n_tested = n_tested
        self._row_sets = row_sets
        self._labels = labels
        records = [[r.text, r.size, r.metric, r.overall, r.gap, r.p_value] for r in self.regions]
        columns = ["Region", "Size", metric, "Overall", "Gap", "p-value"]
        self.table = pd.DataFrame(records, columns=columns).astype(
            {"Region": object, "Size": int, metric: float, "Overall": float, "Gap": float,
             "p-value": float}
        )  # fmt: skip

    def rows(self, i: int) -> pd.Index:
        """The row labels of region `i` (a position in `table`) in the pipeline's data."""
        valid = isinstance(i, (int, np.integer)) and not isinstance(i, bool)
        if not valid or not 0 <= i < len(self.regions):
            allowed = f"0 to {len(self.regions) - 1}" if self.regions else "none (no weak region)"
            raise KovaError(f"Region {i!r} does not exist; valid regions: {allowed}.")
        return self._labels[self._row_sets[int(i)]]

    def __len__(self) -> int:
        return len(self.regions)

    def __repr__(self) -> str:
        return (
            f"WeakRegions({len(self.regions)} regions by {self.metric}, overall {self.overall:.4g})"
        )


# ---------------------------------------------------------------------- validation


def _checked_metric(metric, task_type):
    allowed = CLS_METRICS if task_type == "classification" else REG_METRICS
    if metric is None:
        return DEFAULT_METRIC[task_type]
    if not isinstance(metric, str) or metric not in allowed:
        raise KovaError(
            f"metric {metric!r} is not a {task_type} metric; choose one of {', '.join(allowed)}."
        )
    return metric


# The search settings of find_weak_regions and what each allows.
SETTINGS = (
    Rule("max_conditions", int, low=1, high=MAX_CONDITIONS),
    Rule("min_size", int, low=1, required=False),
    Rule("alpha", float, low=0.0, high=1.0, low_open=True, high_open=True),
)


def _checked_settings(max_conditions, min_size, alpha, n_rows):
    validate(SETTINGS, {"max_conditions": max_conditions, "min_size": min_size, "alpha": alpha})
    if min_size is None:
        min_size = max(MIN_ROWS, math.ceil(MIN_SHARE * n_rows))
    return int(min_size), float(alpha)


def _checked_features(features, names):
    if features is None:
        return list(names)
    if isinstance(features, str) or not np.iterable(features):
        raise KovaError(f"features must be a list of feature names or None, got {features!r}.")
    chosen = list(dict.fromkeys(features))
    unknown = [f for f in chosen if f not in names]
    if unknown or not chosen:
        raise KovaError(f"features {unknown or chosen!r} are not features; choose from {names}.")
    return chosen


# ---------------------------------------------------------------------- per-row loss


def row_losses(metric, y, prediction, proba):
    """The loss of every row for `metric` (see the module notes); `proba` as the metric needs."""
    kind = LOSSES[metric]
    if kind in ("squared", "absolute", "relative"):
        error = np.asarray(y, dtype=float) - np.asarray(prediction, dtype=float)
        if kind == "squared":
            return error**2
        if kind == "absolute":
            return np.abs(error)
        return np.abs(error) / np.maximum(np.abs(np.asarray(y, dtype=float)), np.finfo(float).eps)
    if kind == "error":
        return (np.asarray(y) != np.asarray(prediction)).astype(float)
    y = np.asarray(y, dtype=np.intp)
    proba = np.asarray(proba, dtype=float)
    if proba.ndim == 1:  # the probability of class 1 of a binary classifier
        proba = np.column_stack([1.0 - proba, proba])
    if kind == "log":
        return -np.log(np.clip(proba[np.arange(y.size), y], PROBABILITY_FLOOR, 1.0))
    truth = np.zeros_like(proba)
    truth[np.arange(y.size), y] = 1.0
    return ((truth - proba) ** 2).sum(axis=1)


# ---------------------------------------------------------------------- entry points


def find_weak_regions(
    pipeline, features=None, metric=None, max_conditions=3, min_size=None, alpha=0.05
) -> WeakRegions:
    """Regions of the test rows of a `ModelPipeline` where the model is significantly worse.

    Parameters
    ----------
    pipeline : `kova.models.ModelPipeline`.
    features : the features to search (all when None).
    metric : metric name of `kova.config` for the task ("ACC" or "MSE" when None); it picks
        the per-row loss (module notes) and is the value shown per region.
    max_conditions : most conditions of a region, 1 to 3.
    min_size : fewest rows of a region; 1 % of the test rows (at least 20) when None.
    alpha : level of the one-sided Welch tests after Bonferroni's correction.

    Returns a `WeakRegions`; its table is empty when no region is significant at `alpha`.
    """
    if not isinstance(pipeline, ModelPipeline):
        raise KovaError(f"pipeline must be a ModelPipeline, got {type(pipeline).__name__}.")
    names = pipeline.get_feature_names()
    chosen = _checked_features(features, names)
    diagnoser = DataDiagnoser(pipeline.estimator, task_type=pipeline.dataset.task_type)
    diagnoser.fit(**pipeline.get_data_dict(copy=False))
    rows = diagnoser.test_idx
    columns = [names.index(name) for name in chosen]
    matrix, positions = original_values(diagnoser.x, rows, pipeline.transform_original)
    return regions_of(
        diagnoser, rows, columns, matrix, positions, pipeline.category_levels,
        pipeline.dataset.data_init.index[rows], metric, max_conditions, min_size, alpha,
    )  # fmt: skip


def original_values(x, rows, scaler):
    """The rows `rows` of `x` on the original scale, as a matrix and the rows' positions in it.

    Without a scaler (or with the identity) that is `x` itself at `rows`, not copied.
    """
    if scaler is None or getattr(scaler, "is_identity", False):
        return x, rows
    return np.asarray(scaler(x[rows]), dtype=float), np.arange(len(rows))


def regions_of(
    diagnoser, rows, columns, matrix, positions, levels, labels, metric, max_conditions,
    min_size, alpha,
) -> WeakRegions:  # fmt: skip
    """The weak regions of a fitted `DataDiagnoser` on its rows `rows`.

    `columns` are the searched features' positions; row `positions[i]` of `matrix` (one
    column per feature) holds the values of row `rows[i]` on the original scale (categorical
    ones as level codes), as `original_values` gives them; `levels` maps categorical feature
    names to their level names, `labels` are the rows' labels that `WeakRegions.rows` returns.
    """
    metric = _checked_metric(metric, diagnoser.task_type)
    min_size, alpha = _checked_settings(max_conditions, min_size, alpha, len(rows))
    if len(rows) == 0:
        raise KovaError("There are no test rows to search for weak regions.")
    _, _, _, needs_proba, _ = get_scoring_metric(metric, average=False)
    y = diagnoser.y[rows]
    output = diagnoser._model_output(rows, needs_proba)
    proba = diagnoser._probabilities(rows) if LOSSES[metric] in ("log", "brier") else None
    if output is None or (proba is None and LOSSES[metric] in ("log", "brier")):
        raise KovaError(f"The metric {metric} needs a model with probabilities.")
    loss = row_losses(metric, y, diagnoser.prediction[rows], proba)
    if not np.isfinite(loss).all():
        raise KovaError(f"The model's {metric} losses are not finite on every test row.")
    columns = _searchable(columns, diagnoser.feature_types, matrix, positions)
    overall = metric_score(metric, y, output)
    if not columns:
        return WeakRegions([], [], labels, metric, overall, 0)
    names = [diagnoser.feature_names[j] for j in columns]
    numerical = [diagnoser.feature_types[j] == "numerical" for j in columns]
    codes, bins = bin_features(matrix, positions, columns, names, numerical, levels)
    search = RegionSearch(codes, bins, loss, min_size)
    regions, row_sets = [], []
    for candidate, mask, p in search.weak_regions(max_conditions, alpha):
        value = metric_score(metric, y[mask], output[mask])
        conditions = tuple(_condition(bins[f], allowed) for f, allowed in candidate.conditions)
        regions.append(Region(conditions, int(mask.sum()), value, overall, value - overall, p))
        row_sets.append(np.flatnonzero(mask))
    return WeakRegions(regions, row_sets, labels, metric, overall, search.evaluated)


def _searchable(columns, feature_types, matrix, positions) -> list:
    """The features of `columns` the search may use: every numerical one, and the categorical
    ones with at most `MAX_SEARCHED_LEVELS` levels among the searched rows. A set of levels of
    a many-level feature (an identifier, a free-text column) can list exactly the rows the
    model gets wrong, which singles out rows instead of describing a region."""
    kept = []
    for j in columns:
        if feature_types[j] != "numerical":
            values = matrix[positions, j]
            if np.unique(values[np.isfinite(values)]).size > MAX_SEARCHED_LEVELS:
                continue
        kept.append(j)
    return kept


def _condition(bins: FeatureBins, allowed: np.ndarray) -> Condition:
    """The readable condition of the bins `allowed` (a mask over the codes, missing last)."""
    present = np.flatnonzero(allowed[:-1])
    if present.size == 0:
        return Condition(bins.name, "missing")
    if not bins.numerical:
        return Condition(bins.name, "levels", levels=tuple(bins.levels[c] for c in present))
    low, high = int(present[0]), int(present[-1])
    lower = float(bins.edges[low - 1]) if low > 0 else None
    upper = float(bins.edges[high]) if high < bins.edges.size else None
    return Condition(bins.name, "interval", lower, upper)
