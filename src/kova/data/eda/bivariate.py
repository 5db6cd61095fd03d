"""Relation of two features."""

import inspect
import math

import numpy as np
import pandas as pd
from matplotlib.axes import Axes

from kova.exceptions import KovaError

from .features import (
    FeaturePlot,
    as_float,
    column_of,
    feature_kind,
    has_finite_span,
    level_colors,
    level_labels,
)
from .style import (
    ACCENT,
    DEFAULT_FIGSIZE,
    NEUTRAL,
    PRIMARY,
    SECONDARY,
    SEQUENTIAL_CMAP,
    TEXT_COLOR,
    draw_no_data,
    finish,
    format_count,
    new_figure,
    set_title,
    shorten,
    style_axes,
)

__all__ = ["BivariatePlot"]

MAX_GROUP_LEVELS = 12  # levels of box plots and count heatmaps
MAX_SCATTER_POINTS = 20_000  # points a scatter draws

# Box plots take `orientation` since matplotlib 3.10; older versions only know `vert`.
_BOXPLOT_HAS_ORIENTATION = "orientation" in inspect.signature(Axes.boxplot).parameters


def _two_features(features):
    if isinstance(features, str) or not isinstance(features, list | tuple) or len(features) != 2:
        raise KovaError(f"features must be a list of two feature names, got {features!r}.")
    if features[0] == features[1]:
        raise KovaError("features must name two different features.")
    return list(features)


def _binned_means(x, y, bins=10):
    """Mean of y within equal-count bins of x, at the mean x of each bin."""
    order = np.argsort(x, kind="stable")
    chunks = np.array_split(order, bins)
    return (
        np.array([x[c].mean() for c in chunks if c.size]),
        np.array([y[c].mean() for c in chunks if c.size]),
    )


def _draw_scatter(ax, x, y, names):
    n = x.size
    # past MAX_SCATTER_POINTS a repeatable random sample is drawn: more markers only overlap
    # (and take seconds to draw), while the fit and binned means below use every point
    drawn = np.arange(n)
    if n > MAX_SCATTER_POINTS:
        drawn = np.sort(np.random.default_rng(0).choice(n, MAX_SCATTER_POINTS, replace=False))
    shown = drawn.size
    ax.scatter(
        x[drawn],
        y[drawn],
        s=max(4.0, 30.0 - 6.0 * math.log10(max(shown, 1))),
        alpha=max(0.15, min(0.8, 300.0 / max(shown, 1))),
        color=PRIMARY,
        edgecolors="none",
        rasterized=shown > 5000,
        label=f"{shown:,} of {n:,} points" if shown < n else None,
    )
    slope, intercept = _linear_fit(x, y)
    if np.isfinite(slope) and np.isfinite(intercept):
        line_x = np.array([x.min(), x.max()])
        ax.plot(line_x, slope * line_x + intercept, color=ACCENT, linewidth=2, label="Linear fit")
        if np.unique(x).size >= 20:
            mean_x, mean_y = _binned_means(x, y)
            ax.plot(mean_x, mean_y, color=SECONDARY, marker="o", markersize=4, label="Binned mean")
    if ax.get_legend_handles_labels()[1]:
        ax.legend(frameon=False, fontsize=8)
    ax.set_xlabel(shorten(names[0], 50))
    ax.set_ylabel(shorten(names[1], 50))


def _linear_fit(x, y):
    """Least-squares slope and intercept, NaN when x has fewer than 3 rows or no spread."""
    if x.size < 3 or np.ptp(x) == 0:
        return np.nan, np.nan
    x_mean, y_mean = x.mean(), y.mean()
    slope = np.sum((x - x_mean) * (y - y_mean)) / np.sum((x - x_mean) ** 2)
    return slope, y_mean - slope * x_mean


def _pearson_text(x, y):
    if x.size < 2 or np.ptp(x) == 0 or np.ptp(y) == 0:
        return "r = n/a"
    return f"r = {np.corrcoef(x, y)[0, 1]:.2f}"


def _draw_boxes(ax, labels, levels, values, category_axis):
    """One box of `values` per level; `category_axis` is "x" (vertical boxes) or "y"."""
    groups, drawn_levels, tick_labels = [], [], []
    for level in levels:
        group = values[(labels == level) & ~np.isnan(values)]
        if group.size:
            groups.append(group)
            drawn_levels.append(level)
            tick_labels.append(f"{shorten(level, 16)} (n={format_count(group.size)})")
    if not groups:
        draw_no_data(ax, "No finite values to draw")
        return
    vertical = category_axis == "x"
    if _BOXPLOT_HAS_ORIENTATION:
        layout = {"orientation": "vertical" if vertical else "horizontal"}
    else:
        layout = {"vert": vertical}
    positions = np.arange(1, len(groups) + 1)
    if not vertical:
        positions = positions[::-1]  # first (most frequent) level on top
    parts = ax.boxplot(
        groups,
        positions=positions,
        patch_artist=True,
        widths=0.6,
        medianprops={"color": TEXT_COLOR, "linewidth": 1.5},
        flierprops={"marker": "o", "markersize": 3, "alpha": 0.4, "markeredgecolor": NEUTRAL},
        **layout,
    )
    for box, color in zip(parts["boxes"], level_colors(drawn_levels), strict=True):
        box.set_facecolor(color)
        box.set_alpha(0.75)
    if not vertical:
        ax.set_yticks(positions, tick_labels)
    elif len(groups) > 4:
        ax.set_xticks(positions, tick_labels, rotation=30, ha="right")
    else:
        ax.set_xticks(positions, tick_labels)


def _draw_count_heatmap(ax, fig, x_labels, x_levels, y_labels, y_levels, names):
    table = (
        pd.crosstab(pd.Series(y_labels, name="y"), pd.Series(x_labels, name="x"))
        .reindex(index=y_levels, columns=x_levels, fill_value=0)
        .to_numpy()
    )
    image = ax.imshow(table, cmap=SEQUENTIAL_CMAP, aspect="auto", vmin=0)
    peak = table.max()
    fontsize = 8 if table.size <= 64 else 6
    for (row, col), count in np.ndenumerate(table):
        color = "white" if count > 0.6 * peak else TEXT_COLOR
        ax.text(
            col,
            row,
            format_count(int(count)),
            ha="center",
            va="center",
            fontsize=fontsize,
            color=color,
        )
    ax.set_xticks(range(len(x_levels)), [shorten(v, 16) for v in x_levels], rotation=30, ha="right")
    ax.set_yticks(range(len(y_levels)), [shorten(v, 16) for v in y_levels])
    ax.set_xlabel(shorten(names[0], 50))
    ax.set_ylabel(shorten(names[1], 50))
    for spine in ax.spines.values():
        spine.set_visible(False)
    fig.colorbar(image, ax=ax, shrink=0.8, label="Count")


class BivariatePlot(FeaturePlot):
    """Relation of two features: scatter with trend lines for two numbers, box plots
    of the number per level for a number and a category, count heatmap for two
    categories. The first feature goes on the horizontal axis."""

    def plot(self, features, figsize=DEFAULT_FIGSIZE):
        names = _two_features(features)
        columns = [column_of(self.data, name) for name in names]
        kinds = [feature_kind(column, self.meta_info) for column in columns]
        fig, ax = new_figure(figsize)
        with np.errstate(all="ignore"):
            if kinds == ["numerical", "numerical"]:
                self._numbers(ax, columns, names)
            elif kinds == ["categorical", "categorical"]:
                self._categories(ax, fig, columns, names)
            else:
                self._number_by_category(ax, columns, kinds, names)
        return finish(fig)

    @staticmethod
    def _numbers(ax, columns, names):
        x, y = (as_float(column) for column in columns)
        keep = ~(np.isnan(x) | np.isnan(y))
        x, y = x[keep], y[keep]
        style_axes(ax, "both")
        if has_finite_span(x) and has_finite_span(y):
            _draw_scatter(ax, x, y, names)
        else:
            draw_no_data(ax, "No rows with both values finite" if x.size == 0 else "Range too wide")
        detail = f"{_pearson_text(x, y)}, n = {format_count(x.size)}"
        set_title(ax, f"{names[1]} vs {names[0]}", detail)

    @staticmethod
    def _number_by_category(ax, columns, kinds, names):
        cat = kinds.index("categorical")
        labels, levels = level_labels(columns[cat], MAX_GROUP_LEVELS)
        values = as_float(columns[1 - cat])
        category_axis = "x" if cat == 0 else "y"
        style_axes(ax, "y" if category_axis == "x" else "x")
        _draw_boxes(ax, labels, levels, values, category_axis)
        ax.set_xlabel(shorten(names[0], 50))
        ax.set_ylabel(shorten(names[1], 50))
        set_title(ax, f"{names[1 - cat]} by {names[cat]}", f"{len(levels)} groups")

    @staticmethod
    def _categories(ax, fig, columns, names):
        x_labels, x_levels = level_labels(columns[0], MAX_GROUP_LEVELS)
        y_labels, y_levels = level_labels(columns[1], MAX_GROUP_LEVELS)
        if x_levels and y_levels:
            _draw_count_heatmap(ax, fig, x_labels, x_levels, y_labels, y_levels, names)
        else:
            draw_no_data(ax, "No values to draw")
        set_title(ax, f"{names[1]} vs {names[0]}", f"n = {format_count(len(x_labels))}")
