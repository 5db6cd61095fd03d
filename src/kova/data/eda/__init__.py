"""Exploratory plots of one feature, a pair of features and many features.

Every plot class takes the data frame to draw and the column type map
(`meta_info`: column name -> "numerical" or "categorical"), and its `plot`
method returns a new matplotlib Figure without showing it. The figures are not
registered with pyplot: a notebook shows a returned figure once (not again when the
cell ends), and drawing many figures in a loop keeps no hidden references to them.
A feature's kind comes from `meta_info` when the map has it, otherwise from
`kova.data.infer_column_kind`.
"""

from .bivariate import MAX_GROUP_LEVELS, BivariatePlot
from .features import MISSING_LABEL
from .multivariate import (
    MAX_GRAPH_LIMIT,
    MIN_CELL_FONTSIZE,
    MIN_GRAPH_CORRELATION,
    MIN_LABEL_FONTSIZE,
    PLOT_TYPES,
    MultivariatePlot,
)
from .style import (
    ACCENT,
    DEFAULT_FIGSIZE,
    DIVERGING_CMAP,
    HEADING_GID,
    MAX_LABEL_CHARS,
    NEUTRAL,
    PALETTE,
    PRIMARY,
    SECONDARY,
    SEQUENTIAL_CMAP,
    TEXT_COLOR,
)
from .univariate import MAX_BAR_LEVELS, UnivariatePlot

__all__ = ["BivariatePlot", "MultivariatePlot", "UnivariatePlot"]
