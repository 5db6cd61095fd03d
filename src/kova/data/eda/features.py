"""Input checks, column kinds and category levels shared by the exploratory plots."""

import numpy as np
import pandas as pd

from kova.data import infer_column_kind
from kova.exceptions import KovaError

from .style import NEUTRAL, PRIMARY

MISSING_LABEL = "Missing"


def _checked_frame(data):
    if not isinstance(data, pd.DataFrame):
        raise KovaError(f"data must be a pandas DataFrame, got {type(data).__name__}.")
    return data


def _checked_meta(meta_info):
    if meta_info is not None and not isinstance(meta_info, dict):
        raise KovaError(f"meta_info must be a dict or None, got {type(meta_info).__name__}.")
    return meta_info or {}


class FeaturePlot:
    """Holds the frame to draw and its column type map, both checked."""

    def __init__(self, data, meta_info=None):
        self.data = _checked_frame(data)
        self.meta_info = _checked_meta(meta_info)


def column_of(data, name):
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


def as_float(column):
    """The column as floats with non-finite entries as NaN, or None when it holds text."""
    try:
        values = column.astype(float).to_numpy(dtype=float, copy=True)
    except (TypeError, ValueError):
        return None
    values[~np.isfinite(values)] = np.nan
    return values


def feature_kind(column, meta_info):
    """The kind of a column: its entry in the map, else `infer_column_kind`'s answer.

    A column the map calls numerical but that does not convert to float is drawn
    as categorical rather than failing.
    """
    kind = meta_info.get(column.name)
    if kind not in ("numerical", "categorical"):
        kind = infer_column_kind(column)
    if kind == "numerical" and as_float(column) is None:
        return "categorical"
    return kind


def _level_label(value):
    """Display text of a category value; whole floats print without ".0"."""
    if isinstance(value, float | np.floating) and float(value).is_integer():
        return str(int(value))
    return str(value)


def _labels_of(values):
    """Display texts of an object array of distinct values (text is its own label)."""
    if pd.api.types.infer_dtype(values, skipna=False) == "string":
        return values
    return np.array([_level_label(v) for v in values], dtype=object)


def level_labels(column, max_levels):
    """Per-row display labels and the ordered list of levels to draw.

    Levels are ordered by count (then by label); past `max_levels` the rarest
    levels are pooled into one "Other (k levels)" level, and missing values form a
    last "Missing" level. Labels are made once per distinct value, not per row.
    """
    codes, uniques = pd.factorize(column)  # missing entries of any kind get the code -1
    present = codes >= 0
    unique_labels = _labels_of(np.asarray(uniques, dtype=object))
    counts = np.bincount(codes[present], minlength=unique_labels.size)
    label_counts = pd.Series(counts).groupby(unique_labels, sort=True).sum()
    # the labels are sorted: a stable sort by falling count breaks ties by label
    by_count = np.argsort(-label_counts.to_numpy(), kind="stable")
    ordered = [str(label) for label in label_counts.index.to_numpy(dtype=object)[by_count]]
    if len(ordered) > max_levels:
        kept = ordered[: max_levels - 1]
        other = f"Other ({len(ordered) - len(kept)} levels)"
    else:
        kept, other = ordered, None
    if other is not None:  # labels of the rarer levels become the pooled level's
        pooled = ~pd.Index(unique_labels.astype(str)).isin(kept)
        unique_labels = np.where(pooled, other, unique_labels).astype(object)
    labels = np.full(len(codes), MISSING_LABEL, dtype=object)
    labels[present] = unique_labels[codes[present]]
    missing = ~present
    levels = kept + ([other] if other else []) + ([MISSING_LABEL] if missing.any() else [])
    return labels, levels


def level_colors(levels):
    """The main colour for real levels, grey for the pooled "Other" and "Missing" levels."""
    return [
        NEUTRAL if level == MISSING_LABEL or level.startswith("Other (") else PRIMARY
        for level in levels
    ]


def has_finite_span(values):
    """True for a non-empty array whose range is a finite number."""
    return values.size > 0 and bool(np.isfinite(values.max() - values.min()))
