"""Per-column statistics of a table: the numbers behind a column's card in the report.

`profile_frame` profiles every column of a frame and `profile_column` one column. A column is
"numerical", "categorical" or "text"; text is a categorical column of strings that are mostly
distinct or long (see `is_text`). What each statistic means:

- count: non-missing entries; missing: entries pandas.isna calls missing (None, NaN, NaT,
  pandas.NA), and in a numerical column also entries whose number is NaN (the text "nan");
  missing_share: missing / rows (0.0 for no rows).
- distinct: distinct non-missing values (distinct numbers in a numerical column, so "1" and "1.0"
  read from text are one value); distinct_share: distinct / count (0.0 when count is 0).
- numeric: for numerical columns. Infinite values are counted in `infinite` and left out of
  everything else; min, max, mean, std (ddof=1, as pandas), the quantiles (linear interpolation,
  as pandas), zeros, negatives and the histogram are over the finite values. Statistics of no
  finite values (std of fewer than two) are NaN and the histogram is empty.
- levels: for categorical and text columns, the most frequent values as text with their counts
  (most frequent first, ties in order of first appearance, at most `TOP_LEVELS`) and the count of
  all other non-missing entries.
- lengths: for text columns, the character lengths of the non-missing entries.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from pandas.api import types as ptypes

from kova import _kernels
from kova.data import CATEGORICAL, NUMERICAL, infer_column_kind
from kova.exceptions import KovaError

__all__ = [
    "TEXT",
    "ColumnProfile",
    "LengthStats",
    "LevelStats",
    "NumericStats",
    "is_text",
    "profile_column",
    "profile_frame",
]

TEXT = "text"
QUANTILES = (0.05, 0.25, 0.5, 0.75, 0.95)
HIST_BINS = 20
TOP_LEVELS = 10
# A categorical column of strings is text when at least TEXT_MIN_DISTINCT of its values, and at
# least TEXT_DISTINCT_SHARE of its non-missing entries, are distinct (names, comments, codes of
# single records), or when its entries are TEXT_MEAN_LENGTH characters long on average.
TEXT_DISTINCT_SHARE = 0.5
TEXT_MIN_DISTINCT = 20
TEXT_MEAN_LENGTH = 40.0


@dataclass(frozen=True)
class NumericStats:
    """Statistics of the finite values of a numerical column (see the module docstring)."""

    min: float
    max: float
    mean: float
    std: float
    quantiles: dict[float, float]
    zeros: int
    negatives: int
    infinite: int
    hist_counts: npt.NDArray[np.int64]
    hist_edges: npt.NDArray[np.float64]


@dataclass(frozen=True)
class LevelStats:
    """The most frequent values of a column and the count of all the others."""

    top: list[tuple[str, int]]
    other: int


@dataclass(frozen=True)
class LengthStats:
    """The character lengths of a text column's entries."""

    min: int
    mean: float
    max: int
    hist_counts: npt.NDArray[np.int64]
    hist_edges: npt.NDArray[np.float64]


@dataclass(frozen=True)
class ColumnProfile:
    """Everything the report shows about one column."""

    name: str
    kind: str
    count: int
    missing: int
    missing_share: float
    distinct: int
    distinct_share: float
    numeric: NumericStats | None = None
    levels: LevelStats | None = None
    lengths: LengthStats | None = None


def profile_frame(
    df: pd.DataFrame,
    kinds: dict[str, str],
    factorized: Mapping[str, tuple[npt.NDArray[np.intp], Any]] | None = None,
    threads: int = 1,
) -> dict[str, ColumnProfile]:
    """Profile every column of `df`, in column order, `threads` columns at a time.

    `kinds` maps columns to "numerical" or "categorical" (as `infer_column_kind` gives them);
    a column it leaves out is inferred. `factorized` may hold a categorical column's
    `factorize_column` result, so that it is not computed again.
    """
    given = {} if factorized is None else factorized

    def profile(name):
        kind = kinds.get(name) or infer_column_kind(df[name])
        return profile_column(df[name], kind, given.get(name))

    return dict(zip(df.columns, map_columns(profile, list(df.columns), threads), strict=True))


def map_columns(function: Callable[[Any], Any], names: list, threads: int) -> list:
    """`function` of each name, in order, on up to `threads` threads: the per-column work
    (sorting numbers, hashing text) runs in native code that lets other threads run."""
    if threads <= 1 or len(names) <= 1:
        return [function(name) for name in names]
    with ThreadPoolExecutor(max_workers=min(threads, len(names))) as pool:
        return list(pool.map(function, names))


def profile_column(
    series: pd.Series, kind: str, factorized: tuple[npt.NDArray[np.intp], Any] | None = None
) -> ColumnProfile:
    """Profile one column of kind "numerical" or "categorical" (which may turn out text);
    `factorized` is the column's `factorize_column` result when the caller has it."""
    if kind == NUMERICAL:
        return _numerical_profile(series)
    if kind == CATEGORICAL:
        return _categorical_profile(series, factorized)
    raise KovaError(f"kind must be {NUMERICAL!r} or {CATEGORICAL!r}, got {kind!r}.")


def _share(part: int, whole: int) -> float:
    return part / whole if whole else 0.0


def _as_floats(series: pd.Series) -> npt.NDArray[np.float64]:
    """The column as float64 with NaN for every missing entry; text is read as float() reads it.

    A float64 column is returned as it is, without a copy."""
    dtype = series.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "fiub":
        return series.to_numpy(dtype=np.float64, copy=False)
    if ptypes.is_bool_dtype(dtype) or ptypes.is_numeric_dtype(dtype):  # nullable dtypes
        return series.to_numpy(dtype=np.float64, na_value=np.nan)
    missing = series.isna().to_numpy()
    values = np.full(len(series), np.nan)
    values[~missing] = [float(value) for value in series[~missing]]
    return values


def _numerical_profile(series: pd.Series) -> ColumnProfile:
    values = _as_floats(series)
    summary = _kernels.numeric_summary(values, QUANTILES, HIST_BINS)
    count, missing = summary.present, summary.missing
    distinct = summary.distinct
    return ColumnProfile(
        name=str(series.name),
        kind=NUMERICAL,
        count=count,
        missing=missing,
        missing_share=_share(missing, len(values)),
        distinct=distinct,
        distinct_share=_share(distinct, count),
        numeric=NumericStats(
            min=summary.min,
            max=summary.max,
            mean=summary.mean,
            std=summary.std,
            quantiles=dict(zip(QUANTILES, summary.quantiles.tolist(), strict=True)),
            zeros=summary.zeros,
            negatives=summary.negatives,
            infinite=summary.infinite,
            hist_counts=summary.hist_counts,
            hist_edges=summary.hist_edges,
        ),
    )


def _categorical_profile(
    series: pd.Series, factorized: tuple[npt.NDArray[np.intp], Any] | None
) -> ColumnProfile:
    codes, uniques = factorize_column(series) if factorized is None else factorized
    present = codes[codes >= 0]
    count, distinct = int(present.size), len(uniques)
    missing = len(codes) - count
    frequencies = np.bincount(present, minlength=distinct)
    lengths = _level_lengths(uniques)
    text = lengths is not None and is_text(distinct, count, _mean_length(lengths, frequencies))
    return ColumnProfile(
        name=str(series.name),
        kind=TEXT if text else CATEGORICAL,
        count=count,
        missing=missing,
        missing_share=_share(missing, len(codes)),
        distinct=distinct,
        distinct_share=_share(distinct, count),
        levels=_level_stats(frequencies, uniques, count),
        lengths=_length_stats(lengths[present]) if text and lengths is not None else None,
    )


def is_text(distinct: int, count: int, mean_length: float) -> bool:
    """Whether a column of strings is text rather than categories (see the constants)."""
    mostly_distinct = distinct >= TEXT_MIN_DISTINCT and distinct >= TEXT_DISTINCT_SHARE * count
    return mostly_distinct or mean_length >= TEXT_MEAN_LENGTH


def factorize_column(series: pd.Series) -> tuple[npt.NDArray[np.intp], Any]:
    """Codes numbering the values by first appearance (-1 for missing) and the values."""
    try:
        return pd.factorize(series, use_na_sentinel=True)
    except TypeError:  # unhashable entries (lists, dicts) are told apart by their text
        return pd.factorize(series.astype(str).mask(series.isna()), use_na_sentinel=True)


def _level_stats(frequencies: npt.NDArray[np.int64], uniques: Any, count: int) -> LevelStats:
    """Top levels; a stable sort by descending count keeps ties in order of first appearance."""
    order = np.argsort(-frequencies, kind="stable")[:TOP_LEVELS]
    labels = np.asarray(uniques[order], dtype=object)
    top = [(str(label), int(n)) for label, n in zip(labels, frequencies[order], strict=True)]
    return LevelStats(top=top, other=count - sum(n for _, n in top))


def _level_lengths(uniques: Any) -> npt.NDArray[np.int64] | None:
    """Character lengths of the distinct values when they are all strings, else None."""
    if len(uniques) == 0:
        return None
    if isinstance(uniques.dtype, pd.StringDtype):  # measured by the string array itself
        return pd.Series(uniques).str.len().to_numpy(dtype=np.int64)
    if ptypes.infer_dtype(uniques, skipna=False) != "string":
        return None
    return _kernels.str_lengths(np.asarray(uniques, dtype=object))


def _mean_length(lengths: npt.NDArray[np.int64], frequencies: npt.NDArray[np.int64]) -> float:
    return float(np.dot(lengths, frequencies) / frequencies.sum())


def _length_stats(lengths: npt.NDArray[np.int64]) -> LengthStats:
    summary = _kernels.numeric_summary(lengths.astype(np.float64), (), HIST_BINS)
    return LengthStats(
        min=int(summary.min),
        mean=summary.mean,
        max=int(summary.max),
        hist_counts=summary.hist_counts,
        hist_edges=summary.hist_edges,
    )
