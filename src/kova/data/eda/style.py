"""Colours, figure helpers and heading layout shared by the exploratory plots."""

import warnings

from matplotlib.colors import LinearSegmentedColormap

from kova import figures
from kova.figures import TEXT_COLOR
from kova.figures import style_axes as style_axes  # the plots import it from here

DEFAULT_FIGSIZE = (6, 6)
# Muted categorical colours, and colour maps interpolated through fixed stops: written out so
# that drawing needs only matplotlib (a plotting library import costs a report half a second).
PALETTE = ["#4c72b0", "#dd8452", "#55a868", "#c44e52", "#8172b3",
           "#937860", "#da8bc3", "#8c8c8c", "#ccb974", "#64b5cd"]  # fmt: skip
PRIMARY, ACCENT, SECONDARY, NEUTRAL = PALETTE[0], PALETTE[3], PALETTE[2], PALETTE[7]
_DIVERGING_STOPS = ["#417ca8", "#6d9aba", "#9ab7cd", "#c6d5e0", "#f2f1f1",
                    "#ecc3c6", "#e6959b", "#e06770", "#da3b46"]  # fmt: skip
DIVERGING_CMAP = LinearSegmentedColormap.from_list("kova_diverging", _DIVERGING_STOPS)
SEQUENTIAL_CMAP = LinearSegmentedColormap.from_list(
    "kova_sequential", ["#f0f1f2", "#9eb1d1", PRIMARY]
)
MAX_LABEL_CHARS = 22
HEADING_GID = "kova-heading"  # marks the title and detail line that must fit the figure


def shorten(text, limit=MAX_LABEL_CHARS):
    text = str(text)
    return text if len(text) <= limit else text[: limit - 1] + "…"


def new_figure(figsize):
    """A figure with one axes, outside pyplot's list of open figures (styled by the caller)."""
    fig, axes = figures.new_figure(figsize, default=DEFAULT_FIGSIZE, styled=False)
    return fig, axes[0, 0]


def set_title(ax, title, subtitle=None):
    """Bold title on the left with an optional grey detail line beneath it."""
    pad = 18 if subtitle else 8
    ax.set_title(
        shorten(title, 60), loc="left", fontsize=12, fontweight="bold", color=TEXT_COLOR, pad=pad
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


def draw_no_data(ax, message):
    ax.text(0.5, 0.5, message, ha="center", va="center", color="#666666", transform=ax.transAxes)
    ax.set_xticks([])
    ax.set_yticks([])


def provisional_layout(fig):
    """Lay the figure out to measure it; the final layout in `finish` reports any trouble."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        fig.tight_layout()


def finish(fig):
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


def format_count(n):
    return f"{n:,}"
