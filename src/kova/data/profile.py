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

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import pandas as pd
from pandas.api import types as ptypes

from kova.data import CATEGORICAL, NUMERICAL, infer_column_kind
from kova.exceptions import KovaError

__all__ = [
    "ColumnProfile",
    "LengthStats",
    "LevelStats",
    "NumericStats",
    "TEXT",
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


def profile_frame(df: pd.DataFrame, kinds: dict[str, str]) -> dict[str, ColumnProfile]:
    """Profile every column of `df`, in column order.

    `kinds` maps columns to "numerical" or "categorical" (as `infer_column_kind` gives them);
    a column it leaves out is inferred.
    """
    return {
        name: profile_column(df[name], kinds.get(name) or infer_column_kind(df[name]))
        for name in df.columns
    }


def profile_column(series: pd.Series, kind: str) -> ColumnProfile:
    """Profile one column of kind "numerical" or "categorical" (which may turn out text)."""
    if kind == NUMERICAL:
        return _numerical_profile(series)
    if kind == CATEGORICAL:
        return _categorical_profile(series)
    raise KovaError(f"kind must be {NUMERICAL!r} or {CATEGORICAL!r}, got {kind!r}.")


def _share(part: int, whole: int) -> float:
    return part / whole if whole else 0.0


def _as_floats(series: pd.Series) -> npt.NDArray[np.float64]:
    """The column as float64 with NaN for every missing entry; text is read as float() reads it."""
    missing = series.isna().to_numpy()
    values = np.full(len(series), np.nan)
    present = series[~missing]
    if ptypes.is_bool_dtype(present.dtype) or ptypes.is_numeric_dtype(present.dtype):
        values[~missing] = present.to_numpy(dtype=np.float64)
    else:
        values[~missing] = [float(value) for value in present]
    return values


def _numerical_profile(series: pd.Series) -> ColumnProfile:
    values = _as_floats(series)
    present = values[~np.isnan(values)]
    finite = present[np.isfinite(present)]
    count = int(present.size)
    distinct = int(pd.unique(present).size)
    return ColumnProfile(
        name=str(series.name),
        kind=NUMERICAL,
        count=count,
        missing=len(values) - count,
        missing_share=_share(len(values) - count, len(values)),
        distinct=distinct,
        distinct_share=_share(distinct, count),
        numeric=_numeric_stats(finite, infinite=count - int(finite.size)),
    )


def _numeric_stats(finite: npt.NDArray[np.float64], infinite: int) -> NumericStats:
    empty = finite.size == 0
    counts, edges = _histogram(finite)
    return NumericStats(
        min=np.nan if empty else float(finite.min()),
        max=np.nan if empty else float(finite.max()),
        mean=np.nan if empty else float(finite.mean()),
        std=float(finite.std(ddof=1)) if finite.size > 1 else np.nan,
        quantiles={
            q: np.nan if empty else float(np.quantile(finite, q, method="linear"))
            for q in QUANTILES
        },
        zeros=int(np.count_nonzero(finite == 0)),
        negatives=int(np.count_nonzero(finite < 0)),
        infinite=infinite,
        hist_counts=counts,
        hist_edges=edges,
    )


def _histogram(
    finite: npt.NDArray[np.float64],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Equal-width bins over [min, max] (the top bin closed); one unit-wide bin for a constant."""
    if finite.size == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0)
    low, high = float(finite.min()), float(finite.max())
    if low == high:
        return np.array([finite.size], dtype=np.int64), np.array([low - 0.5, high + 0.5])
    counts, edges = np.histogram(finite, bins=HIST_BINS, range=(low, high))
    return counts.astype(np.int64), edges


def _categorical_profile(series: pd.Series) -> ColumnProfile:
    codes, uniques = pd.factorize(series, use_na_sentinel=True)
    present = codes >= 0
    count = int(np.count_nonzero(present))
    missing = len(codes) - count
    distinct = len(uniques)
    levels = _level_stats(codes[present], uniques, count)
    lengths = _string_lengths(series) if count else None
    text = lengths is not None and is_text(distinct, count, float(lengths.mean()))
    return ColumnProfile(
        name=str(series.name),
        kind=TEXT if text else CATEGORICAL,
        count=count,
        missing=missing,
        missing_share=_share(missing, len(codes)),
        distinct=distinct,
        distinct_share=_share(distinct, count),
        levels=levels,
        lengths=_length_stats(lengths) if text and lengths is not None else None,
    )


def is_text(distinct: int, count: int, mean_length: float) -> bool:
    """Whether a column of strings is text rather than categories (see the constants)."""
    mostly_distinct = distinct >= TEXT_MIN_DISTINCT and distinct >= TEXT_DISTINCT_SHARE * count
    return mostly_distinct or mean_length >= TEXT_MEAN_LENGTH


def _level_stats(codes: npt.NDArray[np.intp], uniques: object, count: int) -> LevelStats:
    """Top levels from factorize codes; codes number values by first appearance, so a stable
    sort by descending count keeps ties in that order."""
    frequencies = np.bincount(codes, minlength=len(uniques))  # type: ignore[arg-type]
    order = np.argsort(-frequencies, kind="stable")[:TOP_LEVELS]
    labels = np.asarray(uniques, dtype=object)
    top = [(str(labels[i]), int(frequencies[i])) for i in order]
    return LevelStats(top=top, other=count - sum(n for _, n in top))


def _string_lengths(series: pd.Series) -> npt.NDArray[np.int64] | None:
    """Lengths of the non-missing entries when they are all strings, else None."""
    present = series.dropna()
    if ptypes.infer_dtype(present, skipna=False) != "string":
        return None
    return present.str.len().to_numpy(dtype=np.int64)


def _length_stats(lengths: npt.NDArray[np.int64]) -> LengthStats:
    counts, edges = _histogram(lengths.astype(np.float64))
    return LengthStats(
        min=int(lengths.min()),
        mean=float(lengths.mean()),
        max=int(lengths.max()),
        hist_counts=counts,
        hist_edges=edges,
    )
