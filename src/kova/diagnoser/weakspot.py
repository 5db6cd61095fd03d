"""Weak spots of a fitted model: slices of the data where its metric is clearly worse.

The rows (test or training) are cut into slices along the chosen features, by equal-width
bins ("histogram") or by the leaves of a regression tree fitted to the per-row loss
("tree"); categorical features are sliced level by level in both methods. A slice is weak
when it holds at least `min_samples` rows, its metric is a number (never NaN), and the
metric lies beyond the threshold line on the bad side.

Threshold line: the overall metric moved by (threshold - 1) x |overall| towards worse
scores, i.e. threshold x overall for a positive loss (MSE 2.0 and threshold 1.1 give
2.2) and (2 - threshold) x overall for a positive score (ACC 0.9 gives 0.81). Using the
magnitude keeps the line on the bad side when the overall metric is negative (R2 -0.5
gives -0.55, not the better -0.45 that threshold x overall would give), and at zero
the line is the overall metric itself.
"""

import numpy as np
import pandas as pd
from sklearn.tree import DecisionTreeRegressor

from kova.diagnoser.base import (
    BAR_COLOR,
    LINE_COLOR,
    POINT_COLOR,
    TEXT_COLOR,
    DataDiagnoser,
    format_bound,
    larger_is_better,
    metric_score,
    new_figure,
    original_column,
)
from kova.diagnoser.regions import WeakRegions, regions_of
from kova.diagnoser.result import DiagnoseResult
from kova.diagnoser.utils import get_scoring_metric
from kova.exceptions import KovaError
from kova.validation import Rule, validate

__all__ = ["WeakSpot", "threshold_line"]

METHODS = ("histogram", "tree")
DEFAULT_METRIC = {"classification": "ACC", "regression": "MSE"}
MAX_PLOT_COLUMNS = 2


def threshold_line(overall, threshold, better_when_larger):
    """The metric value beyond which a slice is weak (see the module notes)."""
    margin = (threshold - 1.0) * abs(overall)
    return overall - margin if better_when_larger else overall + margin


# The slicing settings of WeakSpot and what each allows.
SETTINGS = (
    Rule("method", str, values=METHODS),
    Rule("slice_features", (list, tuple)),
    Rule("bins", int, low=1),
    Rule("min_samples", int, low=1),
    Rule("threshold", float),
)


class WeakSpot(DataDiagnoser):
    """Finds the slices of the data where a fitted model does clearly worse than overall.

    Parameters
    ----------
    estimator : the fitted model.
    bins : number of equal-width bins per numerical feature ("histogram"), or the most
        leaves of the tree ("tree").
    threshold : factor of the threshold line (module notes).
    method : "histogram" or "tree".
    min_samples : fewest rows of a reported slice (and of a tree leaf).
    metric : metric name of `kova.config`; "ACC" or "MSE" by task type when `None`.
    slice_features : list of the features to slice along (jointly for the result table,
        one at a time for the marginal plot).
    task_type : "classification" or "regression"; the estimator's when `None`.
    use_test : slice the test rows (else the training rows).
    random_state : seed of the slicing tree.
    category_levels : optional dict from categorical feature name to its levels in code order
        (`ModelPipeline.category_levels`); slices of those features then read as level names.

    Usage: `fit(**pipeline.get_data_dict())`, then `get_result()` for the weak slices and
    `plot_marginal(get_marginal())` for the per-feature view.
    """

    def __init__(
        self,
        estimator,
        bins=10,
        threshold=1.1,
        method="histogram",
        min_samples=20,
        metric=None,
        slice_features=None,
        task_type=None,
        use_test=True,
        random_state=0,
        category_levels=None,
    ):
        super().__init__(estimator, random_state=random_state, task_type=task_type)
        settings = {"method": method, "slice_features": slice_features, "bins": bins}
        validate(SETTINGS, {**settings, "min_samples": min_samples, "threshold": threshold})
        if not slice_features:
            raise KovaError("Invalid value for 'slice_features': []. Allowed: feature names.")
        self.bins = int(bins)
        self.min_samples = int(min_samples)
        self.threshold = float(threshold)
        self.method = method
        self.metric = DEFAULT_METRIC[self.task_type] if metric is None else metric
        self.slice_features = list(dict.fromkeys(slice_features))
        self.use_test = bool(use_test)
        self.category_levels = dict(category_levels or {})
        _, sign, _, self.needs_proba, self.is_additive = get_scoring_metric(
            self.metric, average=False
        )
        self.better_when_larger = larger_is_better(sign)

    # -- fitting ------------------------------------------------------------------

    def _on_fit(self):
        self._columns = [self._feature_index(name) for name in self.slice_features]
        rows = self._rows(self.use_test)
        if rows.size == 0:
            raise KovaError("There are no rows to slice.")
        self._y = self.y[rows]
        self._output = self._model_output(rows, self.needs_proba)
        if self._output is None:
            raise KovaError(f"The metric {self.metric} needs a model with probabilities.")
        self._values = self.x[rows][:, self._columns]
        self._loss = self._row_loss(rows)
        self.overall_ = metric_score(self.metric, self._y, self._output)
        self.threshold_line_ = threshold_line(
            self.overall_, self.threshold, self.better_when_larger
        )
        self.slices_ = self._joint_slices()

    def _row_loss(self, rows):
        """What the slicing tree fits: per-row metric values, else the absolute residual."""
        if self.is_additive:
            _, _, scoring, _, _ = get_scoring_metric(self.metric, average=False)
            return np.asarray(scoring(self._y, self._output), dtype=float)
        return np.abs(self._residual(rows))

    def _is_weak(self, metric, size):
        beyond = (
            metric < self.threshold_line_
            if self.better_when_larger
            else metric > self.threshold_line_
        )
        return bool(np.isfinite(metric) and size >= self.min_samples and beyond)

    def _slice_row(self, mask):
        """Size, metric, gap to the overall metric and weakness of the rows in `mask`."""
        size = int(mask.sum())
        metric = metric_score(self.metric, self._y[mask], self._output[mask])
        return size, metric, metric - self.overall_, self._is_weak(metric, size)

    # -- one feature ----------------------------------------------------------------

    def _level_names(self, column, low, high):
        """Names of the levels of the feature at `column` whose codes lie in (low, high]."""
        levels = self.category_levels.get(self.feature_names[column])
        if levels is None:
            return None
        return [str(name) for code, name in enumerate(levels) if low < code <= high]

    def _level_text(self, column, code):
        names = self._level_names(column, code - 1, code) if code == int(code) else None
        return names[0] if names else f"{code:g}"

    def _cut_feature(self, values, kind, column):
        """Slice labels of the rows (-1: in no slice) and the slices' bounds and texts."""
        finite = np.isfinite(values)
        labels = np.full(values.shape[0], -1, dtype=np.intp)
        if not finite.any():
            return labels, []
        if kind == "categorical":
            levels = np.unique(values[finite])
            labels[finite] = np.searchsorted(levels, values[finite])
            return labels, [(level, level, self._level_text(column, level)) for level in levels]
        if self.method == "tree":
            cuts = self._tree_cuts(values[finite].reshape(-1, 1), self._loss[finite])[0]
            edges = np.concatenate([[values[finite].min()], cuts, [values[finite].max()]])
            labels[finite] = np.searchsorted(cuts, values[finite], side="left")
            return labels, _tree_intervals(edges)
        edges = _equal_width_edges(values[finite], self.bins)
        last = edges.size - 2
        labels[finite] = np.clip(np.searchsorted(edges, values[finite], side="right") - 1, 0, last)
        return labels, _histogram_intervals(edges)

    def _tree(self, features, loss):
        tree = DecisionTreeRegressor(
            max_leaf_nodes=max(self.bins, 2),
            min_samples_leaf=self.min_samples,
            random_state=self.random_state,
        )
        return tree.fit(features, loss)

    def _tree_cuts(self, features, loss):
        """Sorted split points of a slicing tree, per feature column."""
        tree = self._tree(features, loss).tree_
        return [np.unique(tree.threshold[tree.feature == j]) for j in range(features.shape[1])]

    # -- all slice features together -------------------------------------------------

    def _joint_slices(self):
        kinds = [self.feature_types[j] for j in self._columns]
        if self.method == "tree":
            return self._tree_slices(kinds)
        cuts = [
            self._cut_feature(self._values[:, k], kind, self._columns[k])
            for k, kind in enumerate(kinds)
        ]
        labels = np.column_stack([labels for labels, _ in cuts])
        inside = np.all(labels >= 0, axis=1)
        records = []
        for combo in np.unique(labels[inside], axis=0):
            mask = inside & np.all(labels == combo, axis=1)
            texts = [cuts[k][1][label][2] for k, label in enumerate(combo)]
            records.append(texts + list(self._slice_row(mask)))
        return self._slice_table(records)

    def _tree_slices(self, kinds):
        """Leaves of one tree over all slice features; categorical ones enter as codes."""
        features = self._values
        tree = self._tree(features, self._loss)
        leaves = tree.apply(features)
        bounds = _leaf_bounds(tree.tree_, features.shape[1])
        records = []
        for leaf in np.unique(leaves):
            texts = [self._slice_text(k, lo, hi) for k, (lo, hi) in enumerate(bounds[leaf])]
            records.append(texts + list(self._slice_row(leaves == leaf)))
        return self._slice_table(records)

    def _slice_text(self, k, lower, upper):
        """A tree slice's bound on slice feature k: the level names of a named categorical."""
        names = self._level_names(self._columns[k], lower, upper)
        if names is None or (np.isinf(lower) and np.isinf(upper)):
            return _bound_text(lower, upper)
        return ", ".join(names)

    def _slice_table(self, records):
        columns = [*self.slice_features, "Size", self.metric, "Gap", "Weak"]
        table = pd.DataFrame(records, columns=columns)
        return table.astype({"Size": int, self.metric: float, "Gap": float, "Weak": bool})

    # -- results ---------------------------------------------------------------------

    def get_result(self):
        """The weak slices, worst first: one column per slice feature, "Size", metric, "Gap"."""
        self._check_fitted()
        weak = self.slices_.loc[self.slices_["Weak"]].drop(columns="Weak")
        weak = weak.sort_values(self.metric, ascending=self.better_when_larger, kind="stable")
        return DiagnoseResult(
            {
                "data": weak.reset_index(drop=True),
                "slices": self.slices_,
                "metric": self.metric,
                "overall": self.overall_,
                "threshold": self.threshold_line_,
            }
        )

    def get_marginal(self):
        """Each slice feature sliced on its own: bounds, size, metric and weakness per slice."""
        self._check_fitted()
        marginals = []
        for k, name in enumerate(self.slice_features):
            kind = self.feature_types[self._columns[k]]
            labels, intervals = self._cut_feature(self._values[:, k], kind, self._columns[k])
            rows = [
                [lo, hi, text, *self._slice_row(labels == i)]
                for i, (lo, hi, text) in enumerate(intervals)
            ]
            table = pd.DataFrame(
                rows, columns=["lower", "upper", "text", "size", "metric", "gap", "weak"]
            )
            marginals.append(
                {"feature": name, "kind": kind, "column": self._columns[k], "slices": table}
            )
        return DiagnoseResult(
            {
                "data": marginals,
                "metric": self.metric,
                "overall": self.overall_,
                "threshold": self.threshold_line_,
            }
        )

    def regions(
        self, alpha=0.05, max_conditions=3, min_size=None, scaler=None, category_levels=None
    ) -> WeakRegions:
        """Weak regions (conjunctions of conditions) of the slice features on the sliced rows.

        The search and tests are those of `kova.diagnoser.find_weak_regions`, with this
        diagnoser's metric. Conditions are on the fitted values, mapped to the original scale
        by `scaler` (a `ModelPipeline.transform_original`) when given; categorical features
        show the names of `category_levels` (a `ModelPipeline.category_levels`) when given,
        else their codes. `rows(i)` of the result gives row positions in the data.
        """
        self._check_fitted()
        rows = self._rows(self.use_test)
        values = self.x[rows] if scaler is None else np.asarray(scaler(self.x[rows]), dtype=float)
        return regions_of(
            self, rows, self._columns, values[:, self._columns], category_levels,
            pd.Index(rows), self.metric, max_conditions, min_size, alpha,
        )  # fmt: skip

    def plot_marginal(self, result, scaler=None, figsize=None):
        """The metric of every slice of each feature against the overall and threshold lines.

        Bars (right axis) count the rows of each slice; the shaded slices are weak, where
        the metric crosses the threshold line. `scaler` maps the bounds of numerical
        features to the original scale (see `ModelPipeline`).
        """
        value = result.value
        marginals = value["data"]
        ncols = min(len(marginals), MAX_PLOT_COLUMNS)
        nrows = -(-len(marginals) // ncols)
        fig, axes = new_figure(figsize, ncols=ncols, nrows=nrows)
        for ax, marginal in zip(axes.ravel(), marginals, strict=False):
            self._draw_marginal(ax, marginal, value, scaler)
        for ax in axes.ravel()[len(marginals) :]:
            ax.set_visible(False)
        handles, labels = axes[0, 0].get_legend_handles_labels()
        fig.legend(handles, labels, loc="lower center", ncol=4, frameon=False, fontsize=9)
        part = "test" if self.use_test else "training"
        fig.suptitle(
            f"Weak spots by {value['metric']} ({part} data): overall {value['overall']:.4g}, "
            f"threshold {value['threshold']:.4g}",
            color=TEXT_COLOR,
        )
        fig.tight_layout(rect=(0, 0.06, 1, 1))
        return fig

    def _draw_marginal(self, ax, marginal, value, scaler):
        slices = marginal["slices"]
        if marginal["kind"] == "categorical":
            left = np.arange(len(slices)) - 0.4
            right = left + 0.8
            ax.set_xticks(left + 0.4, slices["text"])
        else:
            n_features = len(self.feature_names)
            left = original_column(scaler, slices["lower"], marginal["column"], n_features)
            right = original_column(scaler, slices["upper"], marginal["column"], n_features)
        counts = ax.twinx()
        counts.bar(
            left, slices["size"], width=right - left, align="edge", color=BAR_COLOR, alpha=0.6
        )
        counts.set_ylabel("Rows", color=TEXT_COLOR)
        counts.spines["top"].set_visible(False)
        ax.set_zorder(counts.get_zorder() + 1)
        ax.patch.set_visible(False)
        for lo, hi in zip(left[slices["weak"]], right[slices["weak"]], strict=True):
            ax.axvspan(lo, hi, color=LINE_COLOR, alpha=0.15, linewidth=0)
        ax.hlines(
            slices["metric"], left, right, color=POINT_COLOR, linewidth=2.5, label=value["metric"]
        )
        ax.plot((left + right) / 2, slices["metric"], "o", color=POINT_COLOR, markersize=4)
        ax.axhline(value["overall"], color=TEXT_COLOR, linestyle="--", linewidth=1, label="Overall")
        ax.axhline(
            value["threshold"], color=LINE_COLOR, linestyle=":", linewidth=1.5, label="Threshold"
        )
        ax.fill_between([], [], color=LINE_COLOR, alpha=0.15, label="Weak slice")
        ax.set_title(marginal["feature"], color=TEXT_COLOR)
        ax.set_ylabel(value["metric"], color=TEXT_COLOR)


def _equal_width_edges(values, bins):
    low, high = values.min(), values.max()
    if low == high:
        return np.array([low, high])
    return np.linspace(low, high, bins + 1)


def _histogram_intervals(edges):
    """(lower, upper, text) of equal-width bins: [a, b), the last one closed."""
    last = edges.size - 2
    return [
        (lo, hi, f"[{format_bound(lo)}, {format_bound(hi)}{']' if i == last else ')'}")
        for i, (lo, hi) in enumerate(zip(edges[:-1], edges[1:], strict=True))
    ]


def _tree_intervals(edges):
    """(lower, upper, text) of tree slices: (a, b], the first one closed below."""
    return [
        (lo, hi, f"{'[' if i == 0 else '('}{format_bound(lo)}, {format_bound(hi)}]")
        for i, (lo, hi) in enumerate(zip(edges[:-1], edges[1:], strict=True))
    ]


def _leaf_bounds(tree, n_features):
    """Per leaf node, the (lower, upper] bound of every feature on its path from the root."""
    bounds = {}
    stack = [(0, [(-np.inf, np.inf)] * n_features)]
    while stack:
        node, box = stack.pop()
        left, right = tree.children_left[node], tree.children_right[node]
        if left == right:  # a leaf
            bounds[node] = box
            continue
        j, cut = tree.feature[node], tree.threshold[node]
        lo, hi = box[j]
        stack.append((left, box[:j] + [(lo, min(hi, cut))] + box[j + 1 :]))
        stack.append((right, box[:j] + [(max(lo, cut), hi)] + box[j + 1 :]))
    return bounds


def _bound_text(lower, upper):
    if np.isinf(lower) and np.isinf(upper):
        return "All"
    if np.isinf(lower):
        return f"<= {format_bound(upper)}"
    if np.isinf(upper):
        return f"> {format_bound(lower)}"
    return f"({format_bound(lower)}, {format_bound(upper)}]"
