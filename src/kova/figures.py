"""The toolbox's one figure helper and style constants, shared by the exploratory plots, the
diagnosers and the two-sample test: figures outside pyplot's list of open figures (a notebook
shows each once, from its result), with the same axes styling everywhere."""

from __future__ import annotations

import numbers
from typing import Any, Literal

import numpy as np
from matplotlib.axes import Axes
from matplotlib.figure import Figure

from kova.exceptions import KovaError

DEFAULT_FIGSIZE = (8, 6)
TEXT_COLOR = "#333333"
POINT_COLOR = "#4C72B0"  # points, lines and bars of the first series
LINE_COLOR = "#C44E52"  # reference lines and highlights
BAR_COLOR = "#CCCCCC"  # background counts
SPINE_COLOR = "#999999"
GRID_COLOR = "#E5E5E5"


def checked_figsize(figsize: Any, default: tuple = DEFAULT_FIGSIZE) -> tuple:
    """``figsize`` as a pair of floats (``default`` for None); anything else is a KovaError."""
    if figsize is None:
        return default
    valid = (
        isinstance(figsize, tuple | list)
        and len(figsize) == 2
        and all(isinstance(v, numbers.Real) and not isinstance(v, bool) for v in figsize)
        and all(v > 0 for v in figsize)
    )
    if not valid:
        raise KovaError(f"figsize must be a pair of positive numbers, got {figsize!r}.")
    return tuple(float(v) for v in figsize)


def style_axes(ax: Axes, grid_axis: Literal["both", "x", "y"] | None = "y") -> None:
    """Open axes: no top and right spines, grey left and bottom ones, a light grid."""
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)
    for side in ("left", "bottom"):
        ax.spines[side].set_color(SPINE_COLOR)
    ax.tick_params(colors=TEXT_COLOR, labelsize=9)
    if grid_axis:
        ax.grid(axis=grid_axis, color=GRID_COLOR, linewidth=0.8)
        ax.set_axisbelow(True)


def new_figure(
    figsize: Any,
    ncols: int = 1,
    nrows: int = 1,
    default: tuple = DEFAULT_FIGSIZE,
    styled: bool = True,
    **figure_options: Any,
) -> tuple[Figure, np.ndarray]:
    """A figure with ``nrows`` x ``ncols`` axes, returned as a 2-D array; ``styled`` applies
    ``style_axes`` to each. ``figure_options`` go to matplotlib's Figure (``layout=...``)."""
    figure = Figure(figsize=checked_figsize(figsize, default), **figure_options)
    axes = figure.subplots(nrows, ncols, squeeze=False)
    if styled:
        for ax in axes.ravel():
            style_axes(ax)
    return figure, axes
