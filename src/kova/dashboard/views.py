"""Results and charts of the data-quality service.

Figures are made outside pyplot (nothing is shown twice, nothing leaks in loops) and shown
as embedded PNG images that fit the width of the output they are drawn into. Histograms bin
the finite values only, so an infinite cell or a one-value column still gives a chart.
"""

import base64
import contextlib
import html
import io
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np
import pandas as pd
from IPython import get_ipython
from IPython.display import HTML, display
from matplotlib.figure import Figure
from matplotlib.patches import Patch

from kova.result import Result

__all__ = [
    "QualityResult",
    "bin_edges",
    "distance_figure",
    "marginal_figure",
    "name_samples",
    "score_figure",
    "tsne_figure",
    "working",
]

INLIER_COLOR = "#7f93a8"
OUTLIER_COLOR = "#d1495b"
# Most features drawn in the marginal outlier chart (the most telling ones first).
MAX_MARGINAL_FEATURES = 9
# Fewest outliers whose histogram outline is drawn on top of their ticks.
MIN_OUTLIER_OUTLINE = 10
# Most levels of a categorical feature drawn in the marginal outlier chart.
MAX_MARGINAL_LEVELS = 8


class QualityResult(Result):
    """What a data-quality request produced: a message, a figure and a table (``data``), each
    optional; the toolbox's one result type under the service's name.

    ``message`` is HTML text or any displayable object (a styled report); ``data`` is the
    table behind the result.
    """

    def __init__(self, message: Any = None, figure: Figure | None = None, data: Any = None):
        super().__init__(message=message, figure=figure, table=data)

    def show_message(self) -> None:
        """Render the message, then the figure, into the current output."""
        if isinstance(self.message, str):
            display(HTML(f"<div class='kova-message'>{self.message}</div>"))
        elif self.message is not None:
            display(self.message)
        if self.figure is not None:
            display(HTML(figure_html(self.figure)))

    def show_data(self) -> None:
        """Render the table, if there is one, into the current output."""
        if self.data is not None:
            display(self.data)

    def __repr__(self) -> str:
        parts = [name for name in ("message", "figure", "data") if getattr(self, name) is not None]
        return f"QualityResult({', '.join(parts) or 'empty'})"


def figure_html(figure: Figure) -> str:
    """An ``img`` element holding the figure as PNG, scaled down to the output's width."""
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=100, bbox_inches="tight")
    png = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f"<img src='data:image/png;base64,{png}' style='max-width: 100%; height: auto;'/>"


def _count(number: Any, noun: str) -> str:
    return f"{int(number)} {noun}{'' if int(number) == 1 else 's'}"


def _in_kernel() -> bool:
    shell = get_ipython()
    return shell is not None and getattr(shell, "kernel", None) is not None


@contextlib.contextmanager
def working(text: str) -> Iterator[None]:
    """Show ``text`` with a spinner in the current notebook output while the block runs.

    The note is hidden, not closed, at the end: an output area keeps a reference to every
    widget shown in it, and a page rendered later (a Voila page, a reopened notebook) would
    show "model not found" where a closed widget was.
    """
    if not _in_kernel():
        yield
        return
    import ipywidgets as widgets  # deferred: the service itself works without widgets

    note = widgets.HTML(
        f"<span style='color: #5b6b7d;'><i class='fa fa-spinner fa-spin'></i> "
        f"{html.escape(text)}</span>"
    )
    display(note)
    try:
        yield
    finally:
        note.layout.display = "none"
        note.value = ""


def bin_edges(values: np.ndarray, bins: int) -> np.ndarray | None:
    """Edges of at most ``bins`` equal-width bins over the finite ``values`` (``None``: none).

    A range too narrow for ``bins`` distinct edges (values one float step apart, or large
    integers such as 2**62 + k that floats cannot tell apart) gets the distinct edges it can
    hold, and a single value one bin around it; a range wider than the largest float is
    split without overflow.
    """
    finite = np.asarray(values, dtype=float)
    finite = finite[np.isfinite(finite)]
    if not finite.size:
        return None
    low, high = float(finite.min()), float(finite.max())
    if np.isfinite(high - low):
        edges = np.linspace(low, high, bins + 1)
    else:
        edges = 2.0 * np.linspace(low / 2.0, high / 2.0, bins + 1)
    edges = np.unique(edges)
    if edges.size >= 2:
        return edges
    pad = max(0.5, float(np.spacing(abs(low))))
    return np.array([low - pad, low + pad])


def finite_numbers(values: pd.Series) -> np.ndarray:
    """A column as floats, with missing (also ``pd.NA``) and infinite entries as NaN."""
    numbers = pd.to_numeric(values, errors="coerce").astype(float).to_numpy(copy=True)
    numbers[~np.isfinite(numbers)] = np.nan
    return numbers


def _new_axes(width: float, height: float, columns: int = 1, rows: int = 1) -> tuple:
    figure = Figure(figsize=(width, height), layout="constrained")
    axes = figure.subplots(rows, columns, squeeze=False).ravel()
    return figure, axes


def score_figure(
    name: str, scores: np.ndarray, cutoff: float, threshold: float, figsize: Any = None
) -> Figure:
    """Histogram of outlier scores, outliers (above the cut-off) in red."""
    figure, (ax,) = _new_axes(*(figsize or (6.4, 4.4)))
    outlying = scores > cutoff
    shown = np.isfinite(scores)
    bins = bin_edges(scores, 40)
    if bins is not None:
        ax.hist(scores[shown & ~outlying], bins=bins, color=INLIER_COLOR, label="inliers")
        ax.hist(scores[shown & outlying], bins=bins, color=OUTLIER_COLOR, label="outliers")
    if np.isfinite(cutoff):
        ax.axvline(cutoff, color="#1f2d3d", linestyle="--", linewidth=1.2, label="cut-off")
    ax.set_xlabel("Outlier score (higher is more outlying)")
    ax.set_ylabel("Samples")
    ax.set_title(
        f"{name}: {int(outlying.sum())} of {len(scores)} samples above the {threshold:g} quantile",
        fontsize=10,
    )
    ax.legend(frameon=False, fontsize=8)
    return figure


def _separation(values: pd.Series, kind: str, outlying: np.ndarray) -> float:
    """How differently outliers and inliers are spread over one feature (for ordering)."""
    if outlying.all() or not outlying.any():
        return 0.0
    if kind == "numerical":
        numbers = pd.Series(finite_numbers(values))
        scale = numbers.std()  # NaN for fewer than two present values
        if pd.isna(scale) or scale == 0:
            return 0.0
        gap = numbers[outlying].mean() - numbers[~outlying].mean()
        return 0.0 if pd.isna(gap) else abs(gap) / scale
    levels = values.astype(str)
    inside = levels[outlying].value_counts(normalize=True)
    outside = levels[~outlying].value_counts(normalize=True)
    return 0.5 * inside.sub(outside, fill_value=0).abs().sum()


def _draw_numerical(ax: Any, values: pd.Series, outlying: np.ndarray) -> None:
    """Inlier histogram; outliers as red ticks, plus their outline when there are many."""
    numbers = finite_numbers(values)
    present = ~np.isnan(numbers)
    bins = bin_edges(numbers, 25)
    if bins is None:
        ax.text(0.5, 0.5, "no values", ha="center", va="center", transform=ax.transAxes)
        return
    heights = ax.hist(numbers[present & ~outlying], bins=bins, color=INLIER_COLOR, density=True)[0]
    flagged = numbers[present & outlying]
    if len(flagged) >= MIN_OUTLIER_OUTLINE:
        ax.hist(flagged, bins=bins, color=OUTLIER_COLOR, density=True, histtype="step", lw=1.5)
    ax.plot(flagged, np.zeros_like(flagged), "|", color=OUTLIER_COLOR, ms=12, mew=1.5)
    peak = heights.max() if heights.size else 0.0
    if 0 < peak < np.inf:
        ax.set_ylim(0, peak * 1.15)  # the inliers stay readable; a tick marks every outlier


def _draw_categorical(ax: Any, values: pd.Series, outlying: np.ndarray) -> None:
    levels = values.astype(object).where(values.notna(), "<missing>").astype(str)
    top = levels.value_counts().index[:MAX_MARGINAL_LEVELS]
    inside = levels[outlying].value_counts(normalize=True).reindex(top, fill_value=0)
    outside = levels[~outlying].value_counts(normalize=True).reindex(top, fill_value=0)
    place = np.arange(len(top))
    ax.bar(place - 0.2, outside.to_numpy(), width=0.4, color=INLIER_COLOR)
    ax.bar(place + 0.2, inside.to_numpy(), width=0.4, color=OUTLIER_COLOR)
    ax.set_xticks(place, [label[:10] for label in top], rotation=45, ha="right", fontsize=7)


def marginal_figure(
    name: str,
    frame: pd.DataFrame,
    kinds: dict[str, str],
    outlying: np.ndarray,
    figsize: Any = None,
) -> Figure:
    """Per-feature distribution of inliers and outliers, the most telling features first."""
    ranked = sorted(frame.columns, key=lambda col: -_separation(frame[col], kinds[col], outlying))[
        :MAX_MARGINAL_FEATURES
    ]
    columns = min(3, len(ranked))
    rows = -(-len(ranked) // columns)
    width, height = figsize or (6.4, 1.9 * rows + 0.8)
    figure, axes = _new_axes(width, height, columns=columns, rows=rows)
    for ax, feature in zip(axes, ranked, strict=False):
        draw = _draw_numerical if kinds[feature] == "numerical" else _draw_categorical
        draw(ax, frame[feature], outlying)
        ax.set_title(feature, fontsize=8)
        ax.tick_params(labelsize=7)
    for ax in axes[len(ranked) :]:
        ax.set_visible(False)
    figure.suptitle(f"{name}: where the {_count(outlying.sum(), 'outlier')} lie", fontsize=10)
    figure.legend(
        handles=[
            Patch(color=INLIER_COLOR, label="inliers"),
            Patch(color=OUTLIER_COLOR, label="outliers"),
        ],
        loc="outside lower center",
        ncols=2,
        frameon=False,
        fontsize=8,
    )
    return figure


def distance_figure(table: pd.DataFrame, metric: str, figsize: Any = None) -> Figure:
    """Horizontal bars of the train/test distance of every feature, largest on top."""
    ranked = table.sort_values(metric, na_position="first")
    figure, (ax,) = _new_axes(*(figsize or (6.4, 0.32 * len(ranked) + 1.2)))
    ax.barh(ranked["Feature"].astype(str), ranked[metric].fillna(0.0), color="#2f5d8a")
    ax.set_xlabel(f"{metric} distance between training and test data")
    ax.tick_params(labelsize=8)
    ax.set_title("Data distance(Train vs. Test)", fontsize=10)
    return figure


def name_samples(figure: Figure | None, names: Sequence[str]) -> None:
    """Label the two samples of a two-sample figure's legends by what they are."""
    for ax in [] if figure is None else figure.axes:
        legend = ax.get_legend()
        if legend is not None:
            for text, name in zip(legend.get_texts(), names, strict=False):
                text.set_text(name)


def tsne_figure(
    embedding: np.ndarray, panels: Sequence[tuple[str, float, np.ndarray]], total: int
) -> Figure:
    """One t-SNE scatter per compared method: inliers grey, that method's outliers red."""
    figure, axes = _new_axes(4.6 * len(panels), 4.4, columns=len(panels))
    for ax, (name, threshold, outlying) in zip(axes, panels, strict=True):
        ax.scatter(*embedding[~outlying].T, s=8, color=INLIER_COLOR, alpha=0.6, linewidths=0)
        ax.scatter(*embedding[outlying].T, s=14, color=OUTLIER_COLOR, linewidths=0)
        ax.set_title(
            f"{name} (threshold {threshold:g}): {_count(outlying.sum(), 'outlier')}", fontsize=9
        )
        ax.set_xticks([])
        ax.set_yticks([])
    shown = "" if len(embedding) == total else f" ({len(embedding)} of {total} samples)"
    figure.suptitle(f"t-SNE view of the data{shown}", fontsize=10)
    return figure
