"""The association matrix of a frame's columns from the native kernels, for callers that hold
the category codes already (the report) or style the matrix themselves.

It holds the values of `DataIntegrityCheck.highly_correlated_features`, computed the same way:
Spearman's correlation between numerical columns (as floats, over pairwise complete rows, with
average ranks), symmetric Theil's U between categorical columns (codes of `pandas.factorize`)
and the correlation ratio of each numerical column grouped by each categorical one, mirrored.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np
import pandas as pd
from matplotlib.colors import LinearSegmentedColormap

from kova import _kernels

# The check's diverging colour map (blue through light grey to red), as fixed stops; a
# not-a-number cell (a constant column's) is painted white, so that it reads as uncoloured.
_STOPS = ["#4479bb", "#6f97c9", "#9bb6d7", "#c7d4e5", "#f2f1f1",
          "#ecc3cb", "#e595a5", "#de687f", "#d73c5b"]  # fmt: skip
ASSOCIATION_CMAP = LinearSegmentedColormap.from_list("kova_association", _STOPS).with_extremes(
    bad="#ffffff"
)


def association_matrix(
    frame: pd.DataFrame,
    kinds: Mapping[str, str],
    codes: Mapping[str, np.ndarray] | None = None,
) -> pd.DataFrame:
    """The square matrix of associations between the columns of `frame` (unique names), each
    of kind "numerical" or "categorical" in `kinds`. `codes` may give a categorical column's
    factorize codes (-1 for missing) so that they are not computed again."""
    names = list(frame.columns)
    numerical = [i for i, name in enumerate(names) if kinds[name] == "numerical"]
    categorical = [i for i, name in enumerate(names) if kinds[name] == "categorical"]
    given = {} if codes is None else codes
    category_codes = [
        given[names[i]] if names[i] in given else pd.factorize(frame.iloc[:, i])[0]
        for i in categorical
    ]
    values = [frame.iloc[:, i].astype(float).to_numpy() for i in numerical]
    matrix = np.full((len(names), len(names)), np.nan)
    if values:
        matrix[np.ix_(numerical, numerical)] = _kernels.spearman_matrix(values)
    if category_codes:
        matrix[np.ix_(categorical, categorical)] = _kernels.symmetric_theil_u_matrix(category_codes)
    if values and category_codes:
        ratios = _kernels.correlation_ratio_matrix(category_codes, values)
        matrix[np.ix_(numerical, categorical)] = ratios
        matrix[np.ix_(categorical, numerical)] = ratios.T
    return pd.DataFrame(matrix, index=frame.columns, columns=frame.columns)


def style_associations(matrix: pd.DataFrame, cmap=None):
    """The matrix styled as the integrity check styles it: as floats, a colour gradient per
    column, centred cells 15em wide, two decimals. `cmap` defaults to the check's own diverging
    palette (which loads seaborn); `ASSOCIATION_CMAP` has the same look without it."""
    if cmap is None:
        import seaborn as sns

        cmap = sns.diverging_palette(250, 5, as_cmap=True)
    return (
        matrix.astype(float)
        .style.background_gradient(cmap=cmap)
        .set_properties(None, **{"width": "15em", "text-align": "center"})
        .format(precision=2)
    )
