"""Exploratory plots of one feature, a pair of features and many features.

Every plot class takes the data frame to draw and the column type map
(`meta_info`: column name -> "numerical" or "categorical"), and its `plot`
method returns a new matplotlib Figure without showing it. The figures are not
registered with pyplot: a notebook shows a returned figure once (not again when the
cell ends), and drawing many figures in a loop keeps no hidden references to them.
A feature's kind comes from `meta_info` when the map has it, otherwise from the
column's dtype.
"""

import inspect
import math
import numbers
import warnings

import numpy as np
import pandas as pd
import seaborn as sns
from matplotlib.axes import Axes
from matplotlib.cm import ScalarMappable
from matplotlib.collections import LineCollection
from matplotlib.colors import Normalize
from matplotlib.figure import Figure
from pandas.api import types as ptypes

from kova.exceptions import KovaError

__all__ = ["UnivariatePlot", "BivariatePlot", "MultivariatePlot"]

DEFAULT_FIGSIZE = (6, 6)
PALETTE = sns.color_palette("deep")
PRIMARY, ACCENT, SECONDARY, NEUTRAL = PALETTE[0], PALETTE[3], PALETTE[2], PALETTE[7]
TEXT_COLOR = "#333333"
DIVERGING_CMAP = sns.diverging_palette(240, 10, as_cmap=True)
SEQUENTIAL_CMAP = sns.light_palette(PRIMARY, as_cmap=True)

MAX_BAR_LEVELS = 15  # levels drawn as bars before the rest is pooled as "Other"
MAX_GROUP_LEVELS = 12  # levels of box plots and count heatmaps
MAX_LABEL_CHARS = 22
MISSING_LABEL = "Missing"
MIN_GRAPH_CORRELATION = 0.3  # weakest |r| drawn as an edge of the correlation graph
MIN_CELL_FONTSIZE = 6.0  # heatmap cells too small for this font size stay unlabelled
MAX_GRAPH_LIMIT = 3.0  # widest view of the correlation graph, in circle radii
MIN_LABEL_FONTSIZE = 6.5  # smallest node label of the correlation graph
HEADING_GID = "kova-heading"  # marks the title and detail line that must fit the figure
PLOT_TYPES = ("correlation_heatmap", "correlation_graph")

# Box plots take `orientation` since matplotlib 3.10; older versions only know `vert`.
_BOXPLOT_HAS_ORIENTATION = "orientation" in inspect.signature(Axes.boxplot).parameters


# -- inputs ---------------------------------------------------------------------


def _checked_frame(data):
    if not isinstance(data, pd.DataFrame):
        raise KovaError(f"data must be a pandas DataFrame, got {type(data).__name__}.")
    return data


def _checked_meta(meta_info):
    if meta_info is not None and not isinstance(meta_info, dict):
        raise KovaError(f"meta_info must be a dict or None, got {type(meta_info).__name__}.")
    return meta_info or {}


def _checked_figsize(figsize):
    if figsize is None:
        return DEFAULT_FIGSIZE
    valid = (
        isinstance(figsize, tuple | list)
        and len(figsize) == 2
        and all(isinstance(v, numbers.Real) and not isinstance(v, bool) for v in figsize)
        and all(v > 0 for v in figsize)
    )
    if not valid:
        raise KovaError(f"figsize must be a pair of positive numbers, got {figsize!r}.")
    return tuple(float(v) for v in figsize)


def _column(data, name):
    """The column `name` of `data`, or a KovaError naming the problem."""
    matches = int(np.sum(data.columns == name)) if _is_label(name) else 0
    if matches == 0:
        raise KovaError(f"Unknown feature {name!r}; it is not a column of the data.")
    if matches > 1:
        raise KovaError(f"Feature {name!r} names more than one column of the data.")
    return data[name]


def _is_label(name):
    try:
        hash(name)
    except TypeError:
        return False
    return True


def _as_float(column):
    """The column as floats with non-finite entries as NaN, or None when it holds text."""
    try:
        values = column.astype(float).to_numpy(dtype=float, copy=True)
    except (TypeError, ValueError):
        return None
    values[~np.isfinite(values)] = np.nan
    return values


def _feature_kind(column, meta_info):
    """The kind of a column: its entry in the map, else what its dtype says.

    A column the map calls numerical but that does not convert to float is drawn
    as categorical rather than failing.
    """
    kind = meta_info.get(column.name)
    if kind not in ("numerical", "categorical"):
        dtype = column.dtype
        numeric = ptypes.is_numeric_dtype(dtype) and not ptypes.is_bool_dtype(dtype)
        kind = "numerical" if numeric else "categorical"
    if kind == "numerical" and _as_float(column) is None:
        return "categorical"
    return kind


# -- levels of categorical features ------------------------------------------------


def _shorten(text, limit=MAX_LABEL_CHARS):
    text = str(text)
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _level_label(value):
    """Display text of a category value; whole floats print without ".0"."""
    if isinstance(value, float | np.floating) and float(value).is_integer():
        return str(int(value))
    return str(value)


def _level_labels(column, max_levels):
    """Per-row display labels and the ordered list of levels to draw.

    Levels are ordered by count (then by label); past `max_levels` the rarest
    levels are pooled into one "Other (k levels)" level, and missing values form a
    last "Missing" level.
    """
    values = column.astype(object)
    missing = values.isna().to_numpy()
    counts = values[~missing].value_counts()
    label_of = {value: _level_label(value) for value in counts.index}
    label_counts = counts.groupby(counts.index.map(label_of)).sum()
    ordered = sorted(label_counts.items(), key=lambda item: (-item[1], item[0]))
    if len(ordered) > max_levels:
        kept = [label for label, _ in ordered[: max_levels - 1]]
        other = f"Other ({len(ordered) - len(kept)} levels)"
    else:
        kept, other = [label for label, _ in ordered], None
    labels = values.map(label_of).to_numpy(dtype=object)
    if other is not None:
        labels[~(pd.Series(labels).isin(kept).to_numpy() | missing)] = other
    labels[missing] = MISSING_LABEL
    levels = kept + ([other] if other else []) + ([MISSING_LABEL] if missing.any() else [])
    return labels, levels


def _level_colors(levels):
    """The main colour for real levels, grey for the pooled "Other" and "Missing" levels."""
    return [
        NEUTRAL if level == MISSING_LABEL or level.startswith("Other (") else PRIMARY
        for level in levels
    ]


# -- shared drawing helpers --------------------------------------------------------


def _new_figure(figsize):
    """A figure with one axes, outside pyplot's list of open figures."""
    fig = Figure(figsize=_checked_figsize(figsize))
    return fig, fig.subplots()


def _style_axes(ax, grid_axis="y"):
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    for side in ("left", "bottom"):
        ax.spines[side].set_color("#999999")
    ax.tick_params(colors=TEXT_COLOR, labelsize=9)
    if grid_axis:
        ax.grid(axis=grid_axis, color="#e5e5e5", linewidth=0.8)
        ax.set_axisbelow(True)


def _set_title(ax, title, subtitle=None):
    """Bold title on the left with an optional grey detail line beneath it."""
    pad = 18 if subtitle else 8
    ax.set_title(
        _shorten(title, 60), loc="left", fontsize=12, fontweight="bold", color=TEXT_COLOR, pad=pad
    ).set_gid(HEADING_GID)
    if subtitle:
        ax.text(
            0,
            1.015,
            subtitle,
            transform=ax.transAxes,
            ha="left",
            va="bottom",
            fontsize=9,
            color="#666666",
            gid=HEADING_GID,
        )


def _draw_no_data(ax, message):
    ax.text(0.5, 0.5, message, ha="center", va="center", color="#666666", transform=ax.transAxes)
    ax.set_xticks([])
    ax.set_yticks([])


def _provisional_layout(fig):
    """Lay the figure out to measure it; the final layout in `_finish` reports any trouble."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        fig.tight_layout()


def _finish(fig):
    fig.tight_layout()
    for ax in fig.axes:
        ax.apply_aspect()  # headings start at the axes' final left edge
        for text in ax.findobj(lambda artist: artist.get_gid() == HEADING_GID, False):
            _fit_to_figure_width(text)
    return fig


def _fit_to_figure_width(text, min_fontsize=8):
    """Shrink a left-aligned heading, then cut it with "…", until it ends inside the figure.

    Headings start at the left edge of their axes, so a narrow axes (a small or square
    heatmap next to its colour bar) would otherwise push a long title past the edge.
    """
    fig = text.axes.figure
    right = fig.bbox.x1 - 4 * fig.dpi / 72  # keep 4 points clear of the edge
    box = text.get_window_extent()
    if box.x1 <= right:
        return
    room = right - box.x0
    text.set_fontsize(max(min_fontsize, text.get_fontsize() * room / box.width))
    full = text.get_text()
    for keep in range(len(full) - 1, 0, -1):
        if text.get_window_extent().x1 <= right:
            return
        text.set_text(full[:keep] + "…")


def _format_count(n):
    return f"{n:,}"


# -- univariate -----------------------------------------------------------------


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
    half = int(math.ceil(4 * bandwidth / step))
    offsets = np.arange(-half, half + 1) * step
    kernel = np.exp(-0.5 * (offsets / bandwidth) ** 2) / (bandwidth * math.sqrt(2 * math.pi))
    density = np.convolve(counts, kernel, mode="full")[half : half + points] / values.size
    return (edges[:-1] + edges[1:]) / 2, density


def _draw_histogram(ax, values, name):
    edges = _histogram_edges(values)
    ax.hist(values, bins=edges, color=PRIMARY, alpha=0.8, edgecolor="white", linewidth=0.6)
    ax.set_xlabel(_shorten(name, 50))
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


def _has_finite_span(values):
    """True for a non-empty array whose range is a finite number."""
    return values.size > 0 and bool(np.isfinite(values.max() - values.min()))


def _draw_numeric_distribution(ax, column, name):
    """Histogram of the finite values; returns the detail line of the title."""
    values = _as_float(column)
    finite = values[~np.isnan(values)]
    _style_axes(ax, "y")
    if _has_finite_span(finite):
        _draw_histogram(ax, finite, name)
    else:
        _draw_no_data(ax, "No finite values to draw" if finite.size == 0 else "Range too wide")
    detail = (
        f"n = {_format_count(finite.size)}, missing = {_format_count(len(values) - finite.size)}"
    )
    if finite.size and finite.min() == finite.max():
        detail += f", constant {finite[0]:.4g}"
    return detail


def _draw_category_distribution(ax, column, name):
    """Bars of the level counts; returns the detail line of the title."""
    labels, levels = _level_labels(column, MAX_BAR_LEVELS)
    _style_axes(ax, "x")
    if levels:
        _draw_level_bars(ax, labels, levels, name)
    else:
        _draw_no_data(ax, "No values to draw")
    return f"{column.nunique()} levels, n = {_format_count(len(column))}"


def _draw_level_bars(ax, labels, levels, name):
    counts = pd.Series(labels).value_counts().reindex(levels, fill_value=0).to_numpy()
    positions = np.arange(len(levels))[::-1]  # most frequent level on top
    ax.barh(positions, counts, color=_level_colors(levels), height=0.7)
    total = counts.sum()
    for y, count in zip(positions, counts, strict=True):
        text = f" {_format_count(int(count))} ({100 * count / total:.1f}%)"
        ax.text(count, y, text, va="center", fontsize=8, color=TEXT_COLOR)
    ax.set_yticks(positions, [_shorten(level) for level in levels])
    ax.set_xlim(0, counts.max() * 1.3)
    ax.set_xlabel("Count")
    ax.set_ylabel(_shorten(name, 50))


class UnivariatePlot:
    """Distribution of one feature: a histogram with a density curve for a number,
    bars of the level counts (most frequent first) for a category."""

    def __init__(self, data, meta_info=None):
        self.data = _checked_frame(data)
        self.meta_info = _checked_meta(meta_info)

    def plot(self, feature, figsize=DEFAULT_FIGSIZE):
        column = _column(self.data, feature)
        fig, ax = _new_figure(figsize)
        with np.errstate(all="ignore"):
            if _feature_kind(column, self.meta_info) == "numerical":
                detail = _draw_numeric_distribution(ax, column, feature)
            else:
                detail = _draw_category_distribution(ax, column, feature)
        _set_title(ax, f"Distribution of {feature}", detail)
        return _finish(fig)


# -- bivariate ------------------------------------------------------------------


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
    ax.scatter(
        x,
        y,
        s=max(4.0, 30.0 - 6.0 * math.log10(max(n, 1))),
        alpha=max(0.15, min(0.8, 300.0 / max(n, 1))),
        color=PRIMARY,
        edgecolors="none",
        rasterized=n > 5000,
    )
    slope, intercept = _linear_fit(x, y)
    if np.isfinite(slope) and np.isfinite(intercept):
        line_x = np.array([x.min(), x.max()])
        ax.plot(line_x, slope * line_x + intercept, color=ACCENT, linewidth=2, label="Linear fit")
        if np.unique(x).size >= 20:
            mean_x, mean_y = _binned_means(x, y)
            ax.plot(mean_x, mean_y, color=SECONDARY, marker="o", markersize=4, label="Binned mean")
        ax.legend(frameon=False, fontsize=8)
    ax.set_xlabel(_shorten(names[0], 50))
    ax.set_ylabel(_shorten(names[1], 50))


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
            tick_labels.append(f"{_shorten(level, 16)} (n={_format_count(group.size)})")
    if not groups:
        _draw_no_data(ax, "No finite values to draw")
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
    for box, color in zip(parts["boxes"], _level_colors(drawn_levels), strict=True):
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
            _format_count(int(count)),
            ha="center",
            va="center",
            fontsize=fontsize,
            color=color,
        )
    ax.set_xticks(
        range(len(x_levels)), [_shorten(v, 16) for v in x_levels], rotation=30, ha="right"
    )
    ax.set_yticks(range(len(y_levels)), [_shorten(v, 16) for v in y_levels])
    ax.set_xlabel(_shorten(names[0], 50))
    ax.set_ylabel(_shorten(names[1], 50))
    for spine in ax.spines.values():
        spine.set_visible(False)
    fig.colorbar(image, ax=ax, shrink=0.8, label="Count")


class BivariatePlot:
    """Relation of two features: scatter with trend lines for two numbers, box plots
    of the number per level for a number and a category, count heatmap for two
    categories. The first feature goes on the horizontal axis."""

    def __init__(self, data, meta_info=None):
        self.data = _checked_frame(data)
        self.meta_info = _checked_meta(meta_info)

    def plot(self, features, figsize=DEFAULT_FIGSIZE):
        names = _two_features(features)
        columns = [_column(self.data, name) for name in names]
        kinds = [_feature_kind(column, self.meta_info) for column in columns]
        fig, ax = _new_figure(figsize)
        with np.errstate(all="ignore"):
            if kinds == ["numerical", "numerical"]:
                self._numbers(ax, columns, names)
            elif kinds == ["categorical", "categorical"]:
                self._categories(ax, fig, columns, names)
            else:
                self._number_by_category(ax, columns, kinds, names)
        return _finish(fig)

    @staticmethod
    def _numbers(ax, columns, names):
        x, y = (_as_float(column) for column in columns)
        keep = ~(np.isnan(x) | np.isnan(y))
        x, y = x[keep], y[keep]
        _style_axes(ax, "both")
        if _has_finite_span(x) and _has_finite_span(y):
            _draw_scatter(ax, x, y, names)
        else:
            _draw_no_data(
                ax, "No rows with both values finite" if x.size == 0 else "Range too wide"
            )
        detail = f"{_pearson_text(x, y)}, n = {_format_count(x.size)}"
        _set_title(ax, f"{names[1]} vs {names[0]}", detail)

    @staticmethod
    def _number_by_category(ax, columns, kinds, names):
        cat = kinds.index("categorical")
        labels, levels = _level_labels(columns[cat], MAX_GROUP_LEVELS)
        values = _as_float(columns[1 - cat])
        category_axis = "x" if cat == 0 else "y"
        _style_axes(ax, "y" if category_axis == "x" else "x")
        _draw_boxes(ax, labels, levels, values, category_axis)
        ax.set_xlabel(_shorten(names[0], 50))
        ax.set_ylabel(_shorten(names[1], 50))
        _set_title(ax, f"{names[1 - cat]} by {names[cat]}", f"{len(levels)} groups")

    @staticmethod
    def _categories(ax, fig, columns, names):
        x_labels, x_levels = _level_labels(columns[0], MAX_GROUP_LEVELS)
        y_labels, y_levels = _level_labels(columns[1], MAX_GROUP_LEVELS)
        if x_levels and y_levels:
            _draw_count_heatmap(ax, fig, x_labels, x_levels, y_labels, y_levels, names)
        else:
            _draw_no_data(ax, "No values to draw")
        _set_title(ax, f"{names[1]} vs {names[0]}", f"n = {_format_count(len(x_labels))}")


# -- multivariate ---------------------------------------------------------------


def _tick_fontsize(cell_points):
    return float(np.clip(cell_points * 0.5, 6, 9))


def _cell_points(ax, n):
    """Approximate side of one matrix cell in points, before the layout is made."""
    width, height = ax.figure.get_size_inches()
    return min(width, height) * 72 * 0.7 / max(n, 1)


def _laid_out_cell_points(ax, n):
    """Side of one cell of an n x n image in points, once the figure is laid out."""
    _provisional_layout(ax.figure)
    ax.apply_aspect()
    box = ax.get_position()
    width, height = ax.figure.get_size_inches()
    return min(box.width * width, box.height * height) * 72 / max(n, 1)


def _draw_correlation_heatmap(fig, ax, corr):
    """Lower triangle without the diagonal: row i against the columns before it.

    The heading must already be set: the cell values are sized to the cells the
    final layout leaves, so that neighbouring values never overlap.
    """
    names = list(corr.columns)
    values = corr.to_numpy()[1:, :-1]
    n = len(values)
    upper = np.triu(np.ones((n, n), dtype=bool), k=1)
    image = ax.imshow(
        np.ma.masked_where(upper | np.isnan(values), values),
        cmap=DIVERGING_CMAP,
        vmin=-1,
        vmax=1,
    )
    fontsize = _tick_fontsize(_cell_points(ax, n))
    ax.set_xticks(
        range(n), [_shorten(v, 20) for v in names[:-1]], rotation=45, ha="right", fontsize=fontsize
    )
    ax.set_yticks(range(n), [_shorten(v, 20) for v in names[1:]], fontsize=fontsize)
    ax.tick_params(length=0)
    for spine in ax.spines.values():
        spine.set_visible(False)
    fig.colorbar(image, ax=ax, fraction=0.046, pad=0.04, label="Pearson correlation")
    # "-0.31" is about 2.6 font sizes wide; 0.33 of the cell leaves a margin around it.
    fontsize = min(9.0, 0.33 * _laid_out_cell_points(ax, n))
    if fontsize < MIN_CELL_FONTSIZE:
        return
    for (row, col), r in np.ndenumerate(values):
        if col > row:
            continue
        text = "n/a" if np.isnan(r) else f"{r:.2f}"
        color = "white" if abs(r) > 0.6 else TEXT_COLOR
        ax.text(col, row, text, ha="center", va="center", fontsize=fontsize, color=color)


def _strongest_pairs(corr):
    """(i, j, r) for i < j with |r| at least MIN_GRAPH_CORRELATION, strongest first."""
    values = corr.to_numpy()
    rows, cols = np.triu_indices(len(values), k=1)
    r = values[rows, cols]
    keep = np.abs(np.nan_to_num(r)) >= MIN_GRAPH_CORRELATION
    order = np.argsort(-np.abs(r[keep]), kind="stable")
    limit = max(2 * len(values), 10)
    return list(zip(rows[keep][order], cols[keep][order], r[keep][order], strict=True))[:limit]


def _node_positions(n):
    angles = np.pi / 2 - 2 * np.pi * np.arange(n) / n  # clockwise from the top
    return angles, np.column_stack([np.cos(angles), np.sin(angles)])


def _label_fontsize(n):
    return float(np.clip(200 / max(n, 1), 6, 10))


def _draw_node_labels(ax, names, angles, sizes):
    """One label per node, set off from the node's edge by a few points, pointing outwards.

    Up to 12 labels are horizontal; more are written along the radius so that
    neighbours do not run into one another.
    """
    fontsize = _label_fontsize(len(names))
    radial = len(names) > 12
    labels = []
    for name, angle, size in zip(names, angles, sizes, strict=True):
        cos, sin = np.cos(angle), np.sin(angle)
        gap = np.sqrt(size) / 2 + 3  # marker radius (size is its area in points²) plus 3 points
        left = cos < -1e-9
        if radial:
            rotation = np.degrees(angle) + (180 if left else 0)
            ha, va = ("right" if left else "left"), "center"
        else:
            rotation = 0
            ha = "center" if abs(cos) < 0.2 else ("right" if left else "left")
            va = "bottom" if sin > 0.2 else ("top" if sin < -0.2 else "center")
        label = ax.annotate(
            _shorten(name, 20),
            xy=(cos, sin),
            xytext=(gap * cos, gap * sin),
            textcoords="offset points",
            rotation=rotation,
            rotation_mode="anchor",
            ha=ha,
            va=va,
            fontsize=fontsize,
            annotation_clip=False,
        )
        labels.append(label)
    return labels


def _label_reaches(ax, points, labels, sizes):
    """Per node, how many pixels its label (or its marker) reaches past the node's centre
    to the right, left, top and bottom, with a small margin.

    Labels are offset from their nodes in points, so these reaches do not depend on the view.
    """
    pixels_per_point = ax.figure.dpi / 72
    reaches = []
    for (cx, cy), label in zip(ax.transData.transform(points), labels, strict=True):
        box = label.get_window_extent()
        reaches.append([box.x1 - cx, cx - box.x0, box.y1 - cy, cy - box.y0])
    marker_radii = np.sqrt(sizes)[:, None] / 2 * pixels_per_point
    return np.maximum(np.array(reaches), marker_radii) + 3 * pixels_per_point


def _graph_view(points, reaches, side):
    """The smallest square view, as (x limits, y limits), holding every node and its label
    in an axes `side` pixels wide; None when even MAX_GRAPH_LIMIT radii are not enough."""

    def bounds(width):  # lowest and highest coordinates drawn in a view `width` wide
        per_pixel = width / side
        low = (points - reaches[:, [1, 3]] * per_pixel).min(axis=0)
        high = (points + reaches[:, [0, 2]] * per_pixel).max(axis=0)
        return low, high

    def fits(width):
        low, high = bounds(width)
        return bool(np.all(high - low <= width))

    narrow, wide = 2.0, 2 * MAX_GRAPH_LIMIT
    if not fits(wide):
        return None
    for _ in range(30):  # the widths that fit form an interval ending at `wide`
        middle = (narrow + wide) / 2
        narrow, wide = (narrow, middle) if fits(middle) else (middle, wide)
    low, high = bounds(wide)
    centre = (low + high) / 2
    return tuple((c - wide / 2, c + wide / 2) for c in centre)


def _fit_graph_view(ax, points, labels, sizes, names):
    """Set the smallest square view that keeps every node and label inside the axes.

    When even MAX_GRAPH_LIMIT radii are not enough (long names in a small figure), the
    labels are made smaller, down to MIN_LABEL_FONTSIZE, and then shortened with "…".
    """
    ax.set_xlim(-MAX_GRAPH_LIMIT, MAX_GRAPH_LIMIT)  # provisional, everything well inside
    ax.set_ylim(-MAX_GRAPH_LIMIT, MAX_GRAPH_LIMIT)
    _provisional_layout(ax.figure)
    ax.apply_aspect()
    box = ax.get_window_extent()
    side = min(box.width, box.height)
    view = None
    for _ in range(12):
        view = _graph_view(points, _label_reaches(ax, points, labels, sizes), side)
        if view is not None:
            break
        for label, name in zip(labels, names, strict=True):
            fontsize = label.get_fontsize()
            if fontsize > MIN_LABEL_FONTSIZE:
                label.set_fontsize(max(MIN_LABEL_FONTSIZE, 0.85 * fontsize))
            else:
                label.set_text(_shorten(name, max(6, int(0.85 * len(label.get_text())))))
    widest = (-MAX_GRAPH_LIMIT, MAX_GRAPH_LIMIT)
    xlim, ylim = view or (widest, widest)
    ax.set_xlim(*xlim)
    ax.set_ylim(*ylim)


def _draw_correlation_graph(fig, ax, corr):
    """Features on a circle joined by edges for the strongest correlations.

    The heading must already be set: the view is fitted to the space the final layout
    leaves for the axes.
    """
    names = list(corr.columns)
    angles, points = _node_positions(len(names))
    pairs = _strongest_pairs(corr)[::-1]  # weakest first so strong edges sit on top
    norm = Normalize(vmin=-1, vmax=1)
    strength = np.zeros(len(names))
    if pairs:
        segments = [[points[i], points[j]] for i, j, _ in pairs]
        r = np.array([pair[2] for pair in pairs])
        colors = DIVERGING_CMAP(norm(r))
        colors[:, 3] = 0.35 + 0.65 * np.abs(r)
        edges = LineCollection(segments, colors=colors, linewidths=0.8 + 5 * np.abs(r), zorder=1)
        ax.add_collection(edges)
        for i, j, value in pairs:
            strength[[i, j]] += abs(value)
    else:
        ax.text(
            0,
            0,
            f"No pair with |r| ≥ {MIN_GRAPH_CORRELATION}",
            ha="center",
            va="center",
            color="#666666",
            fontsize=9,
        )
    sizes = 60 + 180 * strength / max(strength.max(), 1e-12)
    ax.scatter(
        points[:, 0],
        points[:, 1],
        s=sizes,
        color=PRIMARY,
        edgecolors="white",
        linewidths=1.2,
        zorder=3,
    )
    labels = _draw_node_labels(ax, names, angles, sizes)
    ax.set_aspect("equal")
    ax.axis("off")
    mappable = ScalarMappable(norm=norm, cmap=DIVERGING_CMAP)
    fig.colorbar(mappable, ax=ax, shrink=0.6, label="Pearson correlation")
    _fit_graph_view(ax, points, labels, sizes, names)


def _skipped_detail(n_skipped):
    """Detail line naming how many categorical features a correlation view leaves out."""
    if not n_skipped:
        return None
    noun = "feature" if n_skipped == 1 else "features"
    return f"{n_skipped} categorical {noun} not shown"


class MultivariatePlot:
    """Correlation views over the numerical features of a table.

    `plot_type` "correlation_heatmap" draws the lower triangle of the Pearson
    correlation matrix; "correlation_graph" places the features on a circle and
    joins the most strongly correlated pairs by edges whose width and colour
    follow the correlation. Categorical features are left out; missing values are
    skipped pairwise, and constant features have no correlation ("n/a").
    """

    def __init__(self, data, meta_info=None):
        self.data = _checked_frame(data)
        self.meta_info = _checked_meta(meta_info)

    def plot(self, plot_type="correlation_heatmap", figsize=DEFAULT_FIGSIZE):
        if plot_type not in PLOT_TYPES:
            raise KovaError(f"plot_type must be one of {list(PLOT_TYPES)}, got {plot_type!r}.")
        with np.errstate(all="ignore"):
            corr, n_skipped = self._correlation()
        fig, ax = _new_figure(figsize)
        # The heading goes first: both views size their contents to the laid-out axes.
        if plot_type == "correlation_heatmap":
            _set_title(ax, "Correlation of numerical features", _skipped_detail(n_skipped))
            _draw_correlation_heatmap(fig, ax, corr)
        else:
            title = f"Correlations with |r| ≥ {MIN_GRAPH_CORRELATION}"
            _set_title(ax, title, _skipped_detail(n_skipped))
            _draw_correlation_graph(fig, ax, corr)
        return _finish(fig)

    def _correlation(self):
        """Pearson correlation of the numerical columns, and how many columns were left out."""
        numeric = {}
        for position, name in enumerate(self.data.columns):
            if np.sum(self.data.columns == name) > 1:
                raise KovaError(f"Feature {name!r} names more than one column of the data.")
            column = self.data.iloc[:, position]
            if _feature_kind(column, self.meta_info) == "numerical":
                numeric[name] = _as_float(column)
        if len(numeric) < 2:
            raise KovaError(
                f"A correlation view needs at least two numerical features; got {len(numeric)}."
            )
        corr = pd.DataFrame(numeric, index=self.data.index).corr()
        return corr, self.data.shape[1] - len(numeric)
