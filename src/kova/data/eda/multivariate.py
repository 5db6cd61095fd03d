"""Correlation views over the numerical features of a table."""

import numpy as np
import pandas as pd
from matplotlib.cm import ScalarMappable
from matplotlib.collections import LineCollection
from matplotlib.colors import Normalize

from kova.exceptions import KovaError

from .features import FeaturePlot, as_float, feature_kind
from .style import (
    DEFAULT_FIGSIZE,
    DIVERGING_CMAP,
    PRIMARY,
    TEXT_COLOR,
    finish,
    new_figure,
    provisional_layout,
    set_title,
    shorten,
)

__all__ = ["MultivariatePlot"]

MIN_GRAPH_CORRELATION = 0.3  # weakest |r| drawn as an edge of the correlation graph
MIN_CELL_FONTSIZE = 6.0  # heatmap cells too small for this font size stay unlabelled
MAX_GRAPH_LIMIT = 3.0  # widest view of the correlation graph, in circle radii
MIN_LABEL_FONTSIZE = 6.5  # smallest node label of the correlation graph
PLOT_TYPES = ("correlation_heatmap", "correlation_graph")


def _tick_fontsize(cell_points):
    return float(np.clip(cell_points * 0.5, 6, 9))


def _cell_points(ax, n):
    """Approximate side of one matrix cell in points, before the layout is made."""
    width, height = ax.figure.get_size_inches()
    return min(width, height) * 72 * 0.7 / max(n, 1)


def _laid_out_cell_points(ax, n):
    """Side of one cell of an n x n image in points, once the figure is laid out."""
    provisional_layout(ax.figure)
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
        range(n), [shorten(v, 20) for v in names[:-1]], rotation=45, ha="right", fontsize=fontsize
    )
    ax.set_yticks(range(n), [shorten(v, 20) for v in names[1:]], fontsize=fontsize)
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
            shorten(name, 20),
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
    provisional_layout(ax.figure)
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
                label.set_text(shorten(name, max(6, int(0.85 * len(label.get_text())))))
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


class MultivariatePlot(FeaturePlot):
    """Correlation views over the numerical features of a table.

    `plot_type` "correlation_heatmap" draws the lower triangle of the Pearson
    correlation matrix; "correlation_graph" places the features on a circle and
    joins the most strongly correlated pairs by edges whose width and colour
    follow the correlation. Categorical features are left out; missing values are
    skipped pairwise, and constant features have no correlation ("n/a").
    """

    def plot(self, plot_type="correlation_heatmap", figsize=DEFAULT_FIGSIZE):
        if plot_type not in PLOT_TYPES:
            raise KovaError(f"plot_type must be one of {list(PLOT_TYPES)}, got {plot_type!r}.")
        with np.errstate(all="ignore"):
            corr, n_skipped = self._correlation()
        fig, ax = new_figure(figsize)
        # The heading goes first: both views size their contents to the laid-out axes.
        if plot_type == "correlation_heatmap":
            set_title(ax, "Correlation of numerical features", _skipped_detail(n_skipped))
            _draw_correlation_heatmap(fig, ax, corr)
        else:
            title = f"Correlations with |r| ≥ {MIN_GRAPH_CORRELATION}"
            set_title(ax, title, _skipped_detail(n_skipped))
            _draw_correlation_graph(fig, ax, corr)
        return finish(fig)

    def _correlation(self):
        """Pearson correlation of the numerical columns, and how many columns were left out."""
        numeric = {}
        for position, name in enumerate(self.data.columns):
            if np.sum(self.data.columns == name) > 1:
                raise KovaError(f"Feature {name!r} names more than one column of the data.")
            column = self.data.iloc[:, position]
            if feature_kind(column, self.meta_info) == "numerical":
                numeric[name] = as_float(column)
        if len(numeric) < 2:
            raise KovaError(
                f"A correlation view needs at least two numerical features; got {len(numeric)}."
            )
        return pearson_matrix(numeric), self.data.shape[1] - len(numeric)


_CHUNK_ROWS = 32_768  # rows of the reused buffers the sums are accumulated from


def pearson_matrix(columns: dict) -> pd.DataFrame:
    """Pearson's correlation of every pair of float columns (NaN for missing) over the rows
    where both are present, as `DataFrame.corr` gives it (up to rounding).

    Each column is shifted by its mean (which changes no deviation) with missing entries set
    to 0 (z) and marked (m). Over the rows where columns i and j are both present, the count,
    sums and sums of squares of column i and the cross products are then matrix products
    (m mT, z mT, z^2 mT, z zT), taken against the marks of the columns with missing entries
    only and accumulated over row chunks in reused buffers, instead of a pass per pair."""
    names, values = list(columns), list(columns.values())
    p = len(values)
    n = len(values[0]) if p else 0
    gaps = np.flatnonzero([np.isnan(v).any() for v in values])  # columns with missing entries
    shifts = np.array([np.nanmean(v) if not np.isnan(v).all() else 0.0 for v in values])
    totals, total_squares = np.zeros(p), np.zeros(p)
    products, gap_counts = np.zeros((p, p)), np.zeros((len(gaps), p))
    gap_sums, gap_squares = np.zeros((p, len(gaps))), np.zeros((p, len(gaps)))
    z, z2 = np.empty((p, min(n, _CHUNK_ROWS))), np.empty((p, min(n, _CHUNK_ROWS)))
    for start in range(0, n, _CHUNK_ROWS):
        k = min(_CHUNK_ROWS, n - start)
        zk, z2k = z[:, :k], z2[:, :k]
        for j, v in enumerate(values):
            np.subtract(v[start : start + k], shifts[j], out=zk[j])
        marks = ~np.isnan(zk)
        zk[~marks] = 0.0
        np.multiply(zk, zk, out=z2k)
        totals += zk.sum(axis=1)
        total_squares += z2k.sum(axis=1)
        products += zk @ zk.T
        if len(gaps):
            gap_marks = marks[gaps].astype(float)
            gap_counts += gap_marks @ marks.T
            gap_sums += zk @ gap_marks.T
            gap_squares += z2k @ gap_marks.T
    count = np.full((p, p), float(n))
    count[gaps, :], count[:, gaps] = gap_counts, gap_counts.T
    sums, squares = np.repeat(totals[:, None], p, axis=1), np.repeat(total_squares[:, None], p, 1)
    sums[:, gaps], squares[:, gaps] = gap_sums, gap_squares  # (i, j): over the rows j has
    with np.errstate(divide="ignore", invalid="ignore"):
        centred = products - sums * sums.T / count
        spread = np.maximum((squares - sums**2 / count) * (squares.T - sums.T**2 / count), 0.0)
        divisor = np.sqrt(spread)
        corr = np.where((count > 0) & (divisor > 0), centred / divisor, np.nan)
    return pd.DataFrame(corr, index=names, columns=names)
