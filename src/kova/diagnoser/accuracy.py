"""Accuracy of a fitted model: scores on the training and test rows, and its residuals."""

import numpy as np
import pandas as pd

from kova.config import CLS_METRICS, REG_METRICS
from kova.diagnoser.base import (
    LINE_COLOR,
    POINT_COLOR,
    TEXT_COLOR,
    DataDiagnoser,
    new_figure,
    original_column,
)
from kova.diagnoser.metrics import n_classes, score_or_nan, scoring_options
from kova.diagnoser.result import DiagnoseResult
from kova.diagnoser.utils import get_scoring_metric
from kova.exceptions import KovaError

__all__ = ["Accuracy"]

MAX_SCATTER_POINTS = 5000  # denser residual plots show a reproducible random sample
TREND_BINS = 10
MIN_TREND_ROWS = 3 * TREND_BINS  # fewer rows show no binned mean trend
MAX_BOX_LEVELS = 20
PREDICT_SUFFIX = "_predict"
BOX_COLOR = "#DCE3EE"


class Accuracy(DataDiagnoser):
    """Scores a fitted model on its training and test rows and shows its residuals.

    Parameters
    ----------
    estimator : the fitted model; its kind gives the task type.
    random_state : seed of the sample drawn for dense residual plots.
    metrics : metric names to score; by default every classification or every regression
        metric of `kova.config`.

    Usage: `fit(**pipeline.get_data_dict())`, then `get_scoring()`, `get_metric()` and
    `display_table(get_result())` for the metric table, or `get_residual(...)` and
    `plot_residual(...)` for the residuals.
    """

    def __init__(self, estimator, random_state=0, metrics=None):
        super().__init__(estimator, random_state=random_state)
        default = CLS_METRICS if self.task_type == "classification" else REG_METRICS
        self.metrics = list(default) if metrics is None else list(metrics)

    def _on_fit(self):
        # Scores of an earlier fit must not outlive it.
        self.__dict__.pop("scores_", None)
        self.__dict__.pop("metric_table_", None)

    def get_scoring(self):
        """Every metric on the training and on the test rows; kept in `scores_`."""
        self._check_fitted()
        scores = {}
        for part, rows in (("Train", self.train_idx), ("Test", self.test_idx)):
            scores[part] = {name: self._score(name, rows) for name in self.metrics}
        self.scores_ = scores
        return DiagnoseResult({"data": scores})

    def _score(self, name, rows):
        """The metric on the rows, averaged over the model's classes; NaN where undefined."""
        _, _, scoring, needs_proba, _ = get_scoring_metric(name, average=False)
        output = self._model_output(rows, needs_proba)
        if output is None:  # no probabilities to score
            return np.nan
        options = scoring_options(name, n_classes(self.estimator))
        return score_or_nan(scoring, self.y[rows], output, **options)

    def get_metric(self):
        """The metric table (rows "Train", "Test", "Gap"); kept in `metric_table_`."""
        if not hasattr(self, "scores_"):
            self.get_scoring()
        table = pd.DataFrame(self.scores_).T.loc[["Train", "Test"], self.metrics]
        table.loc["Gap"] = table.loc["Test"] - table.loc["Train"]
        self.metric_table_ = table.astype(float)
        return DiagnoseResult({"data": self.metric_table_})

    def get_result(self):
        """The diagnose result of the metric table."""
        if not hasattr(self, "metric_table_"):
            self.get_metric()
        return DiagnoseResult({"data": self.metric_table_, "scores": self.scores_})

    @staticmethod
    def display_table(result):
        """The metric table of a result, rounded to 4 decimals, for display."""
        return result.value["data"].round(4)

    # -- residuals --------------------------------------------------------------

    def get_residual(self, feature_name=None, use_test=True):
        """Residuals of the test (or training) rows against one variable.

        `feature_name` is a feature name, a name ending in "_predict" for the model's
        output (class-1 probability for binary classifiers), any other name (the
        response's) for the response itself, or `None` for the model's output.
        """
        self._check_fitted()
        rows = self._rows(use_test)
        kind, column, values = self._residual_axis(feature_name, rows)
        data = {"x": np.asarray(values, dtype=float), "residual": self._residual(rows)}
        return DiagnoseResult(
            {
                "data": data,
                "feature_name": feature_name,
                "kind": kind,
                "column": column,
                "use_test": use_test,
            }
        )

    def _residual_axis(self, feature_name, rows):
        """(kind, feature column or None, values) of the variable shown on the x axis."""
        if feature_name in self.feature_names:
            column = self.feature_names.index(feature_name)
            return self.feature_types[column], column, self.x[rows, column]
        if feature_name is None or str(feature_name).endswith(PREDICT_SUFFIX):
            proba = self.prediction_proba
            output = self.prediction if proba is None else proba
            return "numerical", None, output[rows]
        return "numerical", None, self.y[rows]

    def plot_residual(self, result, scaler=None, figsize=None):
        """Residual scatter (box plots for a categorical feature) with a binned mean trend.

        `scaler` maps feature values to the original scale (see `ModelPipeline`); it
        applies to features only, not to the response or the prediction.
        """
        value = result.value
        x, residual = value["data"]["x"], value["data"]["residual"]
        if value["column"] is not None:
            x = original_column(scaler, x, value["column"], len(self.feature_names))
        name = "prediction" if value["feature_name"] is None else str(value["feature_name"])
        fig, axes = new_figure(figsize)
        ax = axes[0, 0]
        if value["kind"] == "categorical":
            self._draw_residual_boxes(ax, x, residual)
        else:
            self._draw_residual_scatter(ax, x, residual)
        ax.axhline(0.0, color=TEXT_COLOR, linewidth=0.8, linestyle="--")
        part = "test" if value["use_test"] else "training"
        ax.set_title(f"Residuals against {name} ({part} data, {len(x)} rows)", color=TEXT_COLOR)
        ax.set_xlabel(name)
        ax.set_ylabel("Residual")
        fig.tight_layout()
        return fig

    def _draw_residual_scatter(self, ax, x, residual):
        finite = np.isfinite(x) & np.isfinite(residual)
        x, residual = x[finite], residual[finite]
        shown = np.arange(x.size)
        if x.size > MAX_SCATTER_POINTS:
            rng = np.random.default_rng(self.random_state)
            shown = rng.choice(x.size, MAX_SCATTER_POINTS, replace=False)
        ax.scatter(x[shown], residual[shown], s=12, alpha=0.5, color=POINT_COLOR, label="Residual")
        centers, means = _binned_means(x, residual)
        if x.size >= MIN_TREND_ROWS and centers.size > 1:
            ax.plot(
                centers, means, color=LINE_COLOR, marker="o", linewidth=2, label="Mean residual"
            )
        ax.legend(loc="best", frameon=False, fontsize=9)

    @staticmethod
    def _draw_residual_boxes(ax, x, residual):
        levels = np.unique(x[np.isfinite(x)])
        if levels.size > MAX_BOX_LEVELS:
            raise KovaError(f"Too many levels ({levels.size}) to draw residual boxes.")
        groups = [residual[x == level] for level in levels]
        ax.boxplot(
            groups,
            showmeans=True,
            patch_artist=True,
            boxprops={"facecolor": BOX_COLOR},
            medianprops={"color": LINE_COLOR},
            meanprops={"markerfacecolor": POINT_COLOR, "markeredgecolor": POINT_COLOR},
        )
        ax.set_xticks(np.arange(1, levels.size + 1), [f"{level:g}" for level in levels])


def _binned_means(x, residual):
    """Mean residual in quantile bins of x, at the bins' mean x."""
    if x.size == 0:
        return np.array([]), np.array([])
    edges = np.unique(np.quantile(x, np.linspace(0, 1, TREND_BINS + 1)))
    labels = np.clip(np.searchsorted(edges, x, side="right") - 1, 0, max(edges.size - 2, 0))
    present = np.unique(labels)
    centers = np.array([x[labels == b].mean() for b in present])
    means = np.array([residual[labels == b].mean() for b in present])
    return centers, means
