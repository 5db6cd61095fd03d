"""Per-partition summaries of the single-column checks and their exact merge.

Each partition is read once into a ``ColumnSummary`` per column: row and missing counts, up to two
distinct values, whether the column is text there, the histogram of text lengths, the number of
entries that convert to a number and the special-only texts with their counts in first-seen
order. Summaries of consecutive partitions merge into the summary of their rows, so the merged
figures are those of the whole column: every count is a sum, the length histogram gives the exact
nearest-rank quantile, and dicts merged in partition order keep the first-seen order of the rows.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ... import _kernels
from .utils import is_string_column


@dataclass
class ColumnSummary:
    """What the single-column checks need of one column's rows (see the module docstring)."""

    rows: int = 0
    missing: int = 0
    distinct: list = field(default_factory=list)
    text: bool = False
    lengths: dict = field(default_factory=dict)
    numbers: int = 0
    number_error: BaseException | None = None
    special: dict = field(default_factory=dict)
    boolean_only: bool = True

    def merge(self, later: ColumnSummary) -> ColumnSummary:
        """The summary of this summary's rows followed by ``later``'s."""
        special = dict(self.special)
        for text, count in later.special.items():
            special[text] = special.get(text, 0) + count
        lengths = dict(self.lengths)
        for length, count in later.lengths.items():
            lengths[length] = lengths.get(length, 0) + count
        return ColumnSummary(
            rows=self.rows + later.rows,
            missing=self.missing + later.missing,
            distinct=_first_distinct(self.distinct + later.distinct),
            text=self.text or later.text,
            lengths=lengths,
            numbers=self.numbers + later.numbers,
            number_error=self.number_error or later.number_error,
            special=special,
            boolean_only=self.boolean_only and later.boolean_only,
        )


def _first_distinct(values, limit: int = 2) -> list:
    """Up to ``limit`` distinct values of ``values``, first seen first (pandas' equality)."""
    if len(values) == 0:
        return []
    return list(pd.unique(np.asarray(values, dtype=object))[:limit])


def _first_two(values: np.ndarray) -> list:
    """Up to two distinct values of a column without missing entries, first seen first: numbers
    and booleans are compared at once rather than hashed."""
    if values.dtype.kind not in "fiub" or len(values) == 0:
        return _first_distinct(values)
    other = np.flatnonzero(values != values[0])
    return values[[0, *other[:1]]].tolist()


def _holds_text(column: pd.Series) -> bool:
    """Object, string and categorical columns may hold text; numpy numbers and times cannot."""
    return not (isinstance(column.dtype, np.dtype) and column.dtype.kind != "O")


def _summarize_coded(column: pd.Series) -> ColumnSummary:
    """The summary of a string or categorical column: each per-entry fact is taken once per
    distinct value (factorized, first seen first) and weighted by its rows."""
    codes, levels = pd.factorize(column)
    uniques: np.ndarray = np.asarray(levels, dtype=object)
    counts = np.bincount(codes[codes >= 0], minlength=len(uniques))
    present = int(counts.sum())
    summary = ColumnSummary(rows=len(column), missing=len(column) - present)
    summary.distinct = list(uniques[:2])
    summary.text = bool(is_string_column(column.iloc[:0]))  # decided by the dtype alone
    lengths, at = np.unique(_kernels.str_lengths(uniques), return_inverse=True)
    totals = np.bincount(at, weights=counts, minlength=len(lengths)).astype(np.int64)
    summary.lengths = dict(zip(lengths.tolist(), totals.tolist(), strict=True))
    try:
        summary.numbers = int(counts[_kernels.float_convertible(uniques)].sum())
    except TypeError as error:
        summary.number_error = error
    special = _kernels.special_only_mask(uniques)
    summary.special = dict(zip(uniques[special].tolist(), counts[special].tolist(), strict=True))
    summary.boolean_only = (
        present == 0 or pd.api.types.infer_dtype(uniques, skipna=True) == "boolean"
    )
    return summary


def _coded_text(dtype) -> bool:
    """String dtypes and categories of str: text whose distinct values print as themselves."""
    if isinstance(dtype, pd.CategoricalDtype):
        return pd.api.types.infer_dtype(dtype.categories, skipna=True) == "string"
    return isinstance(dtype, pd.StringDtype)


def summarize_column(column: pd.Series) -> ColumnSummary:
    """The summary of one partition's column."""
    n_rows = len(column)
    if _coded_text(column.dtype):
        return _summarize_coded(column)
    if not _holds_text(column):
        present = column.dropna()
        return ColumnSummary(
            rows=n_rows,
            missing=n_rows - len(present),
            distinct=_first_two(present.to_numpy()),
            boolean_only=column.dtype.kind == "b" or len(present) == 0,
        )
    entries = np.asarray(column, dtype=object)
    missing = _kernels.isna_object(entries)
    present_entries = entries[~missing]
    summary = ColumnSummary(rows=n_rows, missing=int(missing.sum()))
    summary.distinct = _first_distinct(present_entries)
    summary.text = bool(is_string_column(column[~missing]))
    lengths, counts = np.unique(_kernels.str_lengths(present_entries), return_counts=True)
    summary.lengths = dict(zip(lengths.tolist(), counts.tolist(), strict=True))
    try:
        summary.numbers = int(_kernels.float_convertible(present_entries).sum())
    except TypeError as error:  # raised by the mixed-type check only if the column is text
        summary.number_error = error
    summary.special = _kernels.special_only_counts(entries)
    summary.boolean_only = (
        len(present_entries) == 0
        or pd.api.types.infer_dtype(present_entries, skipna=True) == "boolean"
    )
    return summary


def summarize_partition(part: pd.DataFrame) -> list[ColumnSummary]:
    """One summary per column of a partition, by position."""
    return [summarize_column(part.iloc[:, i]) for i in range(part.shape[1])]


def merge_partitions(summaries: list[list[ColumnSummary]], n_columns: int) -> list[ColumnSummary]:
    """The column summaries of the whole table from those of its partitions, in order."""
    merged = [ColumnSummary() for _ in range(n_columns)]
    for partition in summaries:
        merged = [whole.merge(part) for whole, part in zip(merged, partition, strict=True)]
    return merged


def nearest_quantile_length(lengths: dict, quantile: float) -> float:
    """The ``quantile`` of the lengths a histogram counts, as Series.quantile(quantile,
    interpolation="nearest") gives it (numpy's nearest rank, halves to the even position)."""
    values = np.array(sorted(lengths), dtype=np.int64)
    counts = np.array([lengths[v] for v in values.tolist()], dtype=np.int64)
    n = int(counts.sum())
    if n == 0:
        return float("nan")
    q = (quantile * 100) / 100  # pandas passes percents to numpy, which divides again
    virtual = q * (n - 1)
    below = int(np.floor(virtual))
    gamma = virtual - below
    position = below + 1 if gamma > 0.5 or (gamma == 0.5 and below % 2 == 1) else below
    position = min(max(position, 0), n - 1)
    return float(values[np.searchsorted(np.cumsum(counts), position, side="right")])


def long_entry_positions(column: pd.Series, limit: float) -> np.ndarray:
    """Positions, in row order, of the present entries whose text is longer than ``limit``
    (lengths in characters; Arrow text is measured in place)."""
    if isinstance(column.dtype, pd.StringDtype) and column.dtype.storage == "pyarrow":
        import pyarrow as pa
        import pyarrow.compute as pc

        lengths = pc.utf8_length(pa.array(column.array)).to_numpy(zero_copy_only=False)
        with np.errstate(invalid="ignore"):  # missing entries are NaN, never longer
            return np.flatnonzero(lengths > limit)
    entries = np.asarray(column, dtype=object)
    present = ~_kernels.isna_object(entries)
    lengths = np.full(len(entries), -1, dtype=np.int64)
    lengths[present] = _kernels.str_lengths(entries[present])
    return np.flatnonzero(present & (lengths > limit))
