"""Distribution of one feature."""

import math

import numpy as np
import pandas as pd

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
    PRIMARY,
    SECONDARY,
    TEXT_COLOR,
    draw_no_data,
    finish,
    format_count,
    new_figure,
    set_title,
    shorten,
    style_axes,
)

__all__ = ["UnivariatePlot"]

MAX_BAR_LEVELS = 15  # levels drawn as bars before the rest is pooled as "Other"


def _histogram_edges(values):
    """Bin edges: one bin per whole number for small integer ranges, else Freedman-Diaconis."""
    low, high = float(values.min()), float(values.max())
    if low == high:
        return np.array([low - 0.5, high + 0.5])
    if np.all(values == np.round(values)) and high - low <= 60:
        return np.arange(low - 0.5, high + 1.0)
    q25, q75 = np.percentile(values, [25, 75])
    width = 2.0 * (q75 - q25) * values.size ** (-1.0 / 3.0)
    bins = (high - low) / width if width > 0 else math.log2(values.size) + 1
    bins = math.ceil(bins) if np.isfinite(bins) else 60
    return np.linspace(low, high, min(max(bins, 5), 60) + 1)


def _density_curve(values, points=1024):
    """Gaussian kernel density (Silverman bandwidth) evaluated on a binned grid."""
    std = values.std(ddof=1)
    q25, q75 = np.percentile(values, [25, 75])
    spread = min(std, (q75 - q25) / 1.349) if q75 > q25 else std
    bandwidth = 0.9 * spread * values.size ** (-0.2)
    if not np.isfinite(bandwidth) or bandwidth <= 0:
        return None
    low, high = values.min() - 3 * bandwidth, values.max() + 3 * bandwidth
    counts, edges = np.histogram(values, bins=points, range=(low, high))
    step = edges[1] - edges[0]
    half = math.ceil(4 * bandwidth / step)
    offsets = np.arange(-half, half + 1) * step
    kernel = np.exp(-0.5 * (offsets / bandwidth) ** 2) / (bandwidth * math.sqrt(2 * math.pi))
    density = np.convolve(counts, kernel, mode="full")[half : half + points] / values.size
    return (edges[:-1] + edges[1:]) / 2, density


def _draw_histogram(ax, values, name):
    edges = _histogram_edges(values)
    ax.hist(values, bins=edges, color=PRIMARY, alpha=0.8, edgecolor="white", linewidth=0.6)
    ax.set_xlabel(shorten(name, 50))
    ax.set_ylabel("Count")
    if values.min() == values.max():
        return
    curve = _density_curve(values) if np.unique(values).size >= 5 else None
    if curve is not None:
        grid, density = curve
        scale = values.size * (edges[1] - edges[0])
        ax.plot(grid, density * scale, color=ACCENT, linewidth=2, label="Density")
    mean, median = float(values.mean()), float(np.median(values))
    ax.axvline(mean, color=TEXT_COLOR, linestyle="--", linewidth=1.2, label=f"Mean {mean:.3g}")
    ax.axvline(median, color=SECONDARY, linestyle=":", linewidth=1.8, label=f"Median {median:.3g}")
    ax.set_ylim(top=ax.get_ylim()[1] * 1.12)  # headroom for the legend
    ax.legend(frameon=False, fontsize=8, loc="best")


def _draw_numeric_distribution(ax, column, name):
    """Histogram of the finite values; returns the detail line of the title."""
    values = as_float(column)
    finite = values[~np.isnan(values)]
    style_axes(ax, "y")
    if has_finite_span(finite):
        _draw_histogram(ax, finite, name)
    else:
        draw_no_data(ax, "No finite values to draw" if finite.size == 0 else "Range too wide")
    detail = f"n = {format_count(finite.size)}, missing = {format_count(len(values) - finite.size)}"
    if finite.size and finite.min() == finite.max():
        detail += f", constant {finite[0]:.4g}"
    return detail


def _draw_category_distribution(ax, column, name):
    """Bars of the level counts; returns the detail line of the title."""
    labels, levels = level_labels(column, MAX_BAR_LEVELS)
    style_axes(ax, "x")
    if levels:
        _draw_level_bars(ax, labels, levels, name)
    else:
        draw_no_data(ax, "No values to draw")
    return f"{column.nunique()} levels, n = {format_count(len(column))}"


def _draw_level_bars(ax, labels, levels, name):
    counts = pd.Series(labels).value_counts().reindex(levels, fill_value=0).to_numpy()
    positions = np.arange(len(levels))[::-1]  # most frequent level on top
    ax.barh(positions, counts, color=level_colors(levels), height=0.7)
    total = counts.sum()
    for y, count in zip(positions, counts, strict=True):
        text = f" {format_count(int(count))} ({100 * count / total:.1f}%)"
        ax.text(count, y, text, va="center", fontsize=8, color=TEXT_COLOR)
    ax.set_yticks(positions, [shorten(level) for level in levels])
    ax.set_xlim(0, counts.max() * 1.3)
    ax.set_xlabel("Count")
    ax.set_ylabel(shorten(name, 50))


class UnivariatePlot(FeaturePlot):
    """Distribution of one feature: a histogram with a density curve for a number,
    bars of the level counts (most frequent first) for a category."""

    def plot(self, feature, figsize=DEFAULT_FIGSIZE):
        column = column_of(self.data, feature)
        fig, ax = new_figure(figsize)
        with np.errstate(all="ignore"):
            if feature_kind(column, self.meta_info) == "numerical":
                detail = _draw_numeric_distribution(ax, column, feature)
            else:
                detail = _draw_category_distribution(ax, column, feature)
        set_title(ax, f"Distribution of {feature}", detail)
        return finish(fig)
