"""Text helpers of the data-integrity checks, and the look of their association matrix.

``string_baseform`` is the native kernel itself (the same function object as
``kova._kernels.string_baseform``), so native callers can recognise it and skip the Python call.
"""

import numpy as np
from pandas import CategoricalDtype
from pandas.api.types import infer_dtype

from ..._kernels import has_str, string_baseform

__all__ = ["is_string_column", "string_baseform", "styled_association_matrix"]

# Inferred types that may hold text next to other objects; such a column is text when at least
# one of its entries is a str ("mixed-integer" is how pandas names str mixed with ints).
_MIXED_TYPES = frozenset({"mixed", "mixed-integer"})


def is_string_column(column) -> bool:
    """Tell whether ``column`` (a pandas Series or any 1-D array-like) holds text.

    The decision follows ``pandas.api.types.infer_dtype(skipna=True)``, so missing entries
    (None, NaN, NA) are ignored:

    - "string" is text: object columns of str, and the string dtypes (``"string"`` and the
      pandas 3 default ``str``), even when all their entries are missing;
    - "mixed" and "mixed-integer" are text when at least one entry is a str, such as a column
      of words and numbers, the case the mixed-type check looks for;
    - a categorical column is judged by its categories, so categories of str are text;
    - everything else is not text: numbers, booleans, dates and times, "empty" (no value left
      once missing entries are skipped) and "bytes" (binary payloads, not decoded text).
    """
    values = column
    if isinstance(getattr(column, "dtype", None), CategoricalDtype):
        values = column.dtype.categories
    inferred = infer_dtype(values, skipna=True)
    if inferred == "string":
        return True
    if inferred in _MIXED_TYPES:
        return has_str(_object_entries(values))
    return False


def _object_entries(values) -> np.ndarray:
    """The entries of ``values`` as a 1-D object array (a list of lists stays one entry each)."""
    if hasattr(values, "dtype"):  # Series, Index, arrays: numpy converts them as they are
        return np.asarray(values, dtype=object).reshape(-1)
    return np.fromiter(values, dtype=object)


def styled_association_matrix(matrix):
    """The Styler ``highly_correlated_features`` returns: the matrix as floats, shaded on a
    diverging palette, centred cells 15em wide, two decimals."""
    import seaborn as sns

    cmap = sns.diverging_palette(250, 5, as_cmap=True)
    return (
        matrix.astype(float)
        .style.background_gradient(cmap=cmap)
        .set_properties(**{"width": "15em", "text-align": "center"})
        .format(precision=2)
    )
