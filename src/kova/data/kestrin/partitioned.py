"""Integrity checks of a table held in partitions (a Dask DataFrame, Parquet or CSV files).

``PartitionedIntegrityCheck`` answers ``single_column_check``, ``duplicated_samples`` and
``highly_correlated_features`` with the tables ``DataIntegrityCheck`` gives for the same rows in
memory. Each partition is read by a Dask task into a small summary (see ``partition_summary``
and ``partition_association``); the summaries travel to the calling process and merge there in
partition order. Rows never travel, except the candidate copies of ``duplicated_samples``.

Row labels are the source's own index when it has one (known divisions or a named index), else
the global positions 0, 1, ... of the concatenated partitions. Dask is imported when a check is
constructed, so importing ``kova.data`` does not import it.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ...exceptions import KovaError
from ..associations import style_associations
from . import partition_association as assoc
from . import partition_ranks as ranks
from . import partition_summary as summary
from .kestrin import DataIntegrityCheck
from .partition_rows import duplicated_samples
from .partition_source import read_source
from .partition_tasks import as_argument, computed, fetched, reduced, then

__all__ = ["PartitionedIntegrityCheck"]


class _MergedChecks(DataIntegrityCheck):
    """Answers the five per-column checks from merged frames, so that the inherited
    single_column_check joins and styles them exactly as it does in memory."""

    def __init__(self, data, frames):
        super().__init__(data, None)
        self._frames = frames

    def is_single_value(self):
        return self._frames["is_single_value"]

    def null_ratio(self):
        return self._frames["null_ratio"]

    def long_string(self, quantile_threshold=0.8, length_difference=5):
        return self._frames["long_string"]

    def special_characters(self, n_most_common=2):
        return self._frames["special_characters"]

    def mixed_data_type(self):
        return self._frames["mixed_data_type"]


class PartitionedIntegrityCheck:
    """Integrity checks of partitioned data with the answers of ``DataIntegrityCheck``.

    source: a Dask DataFrame, a Parquet file or folder, or a glob of CSV or Parquet files.
    meta_info: dict mapping each column name to "numerical" or "categorical"; None infers it
        with the rules of ``kova.data.infer_column_kind`` over every row (booleans, categories
        and dates categorical, numbers numerical, an object or text column numerical when all its
        present entries convert with float()).
    on_partition: None, or a function called with a short label as each partition of a
        pass is done (a progress bar follows the partitions with it).
    """

    def __init__(self, source, meta_info: dict | None = None, on_partition=None):
        if meta_info is not None and type(meta_info) is not dict:
            raise KovaError(f"meta_info: expected a dict or None, got {type(meta_info).__name__}")
        self.data, self._own_index = read_source(source)
        self._sizes: list[int] = []
        self._merged: list[summary.ColumnSummary] | None = None
        self.meta_info = meta_info
        self.columns = self.data.columns
        self.on_partition = on_partition

    # -- passes ---------------------------------------------------------------------------------

    def _partitions(self):
        return self.data.to_delayed(optimize_graph=True)

    def _compute(self, label: str, function, *args):
        import dask

        tasks = [dask.delayed(function)(part, *args) for part in self._partitions()]
        return computed(tasks, label, self.on_partition)

    def _column_summaries(self) -> list[summary.ColumnSummary]:
        """The merged column summaries, read once (the kinds and the single-column checks share
        them), with the partitions' sizes for the second pass."""
        if self._merged is None:
            parts = self._compute("column summaries", _sized_summary)
            self._sizes = [size for size, _ in parts]
            self._merged = summary.merge_partitions([p for _, p in parts], len(self.columns))
        return self._merged

    def _association_passes(self, num: list[int], cat: list[int]) -> tuple[dict, dict]:
        """The caller's facts of the first pass (``caller_facts``) and the merged second pass.
        Both passes merge on the workers; the rank tables stay there, fetched once by each
        worker for the second pass, which reads only the numerical columns."""
        import dask

        budget = ranks.TABLE_BUDGET
        first = [dask.delayed(assoc.first_pass)(p, num, cat, budget) for p in self._partitions()]
        counts = reduced(first, assoc.merge_two_passes, "associations", self.on_partition, budget)
        tables = then(counts, assoc.rank_tables, ranks.RANGE_ROWS)
        facts = fetched(then(counts, assoc.caller_facts, tables))
        del counts  # the merged value counts are no longer needed where they are
        if not num:
            return facts, {"ranks": {}, "range_counts": {}}
        numbers = self.data[[self.columns[i] for i in num]]  # Parquet reads only these
        shared = as_argument(tables)
        second = [
            dask.delayed(assoc.second_pass)(p, shared)
            for p in numbers.to_delayed(optimize_graph=True)
        ]
        merged = reduced(second, assoc.merge_second_passes, "ranks", self.on_partition)
        return facts, fetched(merged)

    def _shuffled_rank_sums(self, num: list[int], first: dict, range_counts: dict) -> dict:
        """Rank-product sums of the pairs with a column ranked by value ranges (see
        ``partition_ranks``)."""
        pairs, sources, means, large = ranks.large_columns(
            first["ranks"], first["starts"], range_counts, len(num)
        )
        meta = pd.DataFrame({f"v{k}": pd.Series(dtype=float) for k in range(len(num))})
        numbers = self.data[[self.columns[i] for i in num]]  # Parquet reads only these
        frames = numbers.map_partitions(_numbered, list(range(len(num))), meta=meta)
        return ranks.shuffled_rank_sums(frames, large, pairs, sources, means, first["rows"])

    # -- single-column checks --------------------------------------------------------------------

    def single_column_check(self):
        """The combined per-column report of ``DataIntegrityCheck.single_column_check``."""
        merged = self._column_summaries()
        frames = {
            "is_single_value": self._single_value_frame(merged),
            "null_ratio": self._null_ratio_frame(merged),
            "long_string": self._long_string_frame(merged),
            "special_characters": self._special_frame(merged),
            "mixed_data_type": self._mixed_frame(merged),
        }
        empty = pd.DataFrame(columns=self.columns)
        return _MergedChecks(empty, frames).single_column_check()

    def _single_value_frame(self, merged):
        flags = np.array([len(s.distinct) == 1 for s in merged], dtype=bool)
        return pd.DataFrame(flags, index=self.columns, columns=["Is Single Value"])

    def _null_ratio_frame(self, merged):
        rows = sum(self._sizes)
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = np.array([s.missing for s in merged], dtype=float) / rows
        return pd.DataFrame(ratio, index=self.columns, columns=["Null Ratio"])

    def _long_string_frame(self, merged):
        limits = {}
        for i, s in enumerate(merged):
            if s.text and s.lengths:
                limits[i] = summary.nearest_quantile_length(s.lengths, 0.8) + 5
        flagged = self._long_entries(limits) if limits else {}
        rows = [[len(flagged.get(i, [])), flagged.get(i, [])] for i in range(len(merged))]
        result = pd.DataFrame(rows, columns=["Long String Num", "Long String Index"])
        result.index = self.columns
        return result

    def _long_entries(self, limits: dict) -> dict:
        """Second pass, over the text columns with a limit only: the labels of the entries
        longer than each column's limit."""
        import dask

        own_index = self._own_index
        positions = list(limits)

        def scan(part, offset):
            found = {}
            for k, i in enumerate(positions):
                at = summary.long_entry_positions(part.iloc[:, k], limits[i])
                found[i] = part.index[at].tolist() if own_index else (at + offset).tolist()
            return found

        sizes = self._sizes
        offsets = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
        parts = self.data.iloc[:, positions].to_delayed(optimize_graph=True)
        tasks = [
            dask.delayed(scan)(part, int(offset))
            for part, offset in zip(parts, offsets, strict=True)
        ]
        labels: dict[int, list] = {i: [] for i in limits}
        for found in computed(tasks, "long strings", self.on_partition):
            for i, part_labels in found.items():
                labels[i].extend(part_labels)
        return labels

    def _special_frame(self, merged):
        rows = []
        for name, s in zip(self.columns, merged, strict=True):
            if not s.special:
                rows.append([name, "0.0%", []])
                continue
            share = sum(s.special.values()) / s.rows
            ranked = sorted(s.special.items(), key=lambda item: item[1], reverse=True)
            rows.append([name, str(share * 100) + "%", [text for text, _ in ranked[:2]]])
        result = pd.DataFrame(
            rows,
            columns=["Column Name", "% Special-Only Samples", "Most Common Special-Only Samples"],
        )
        return result.set_index(["Column Name"])

    def _mixed_frame(self, merged):
        if len(merged) == 0:
            return pd.DataFrame(
                index=self.columns, columns=["With mixed", "Categorical : Numerical"], dtype=object
            )
        display = {}
        for i, s in enumerate(merged):
            total = s.rows - s.missing
            if s.text and s.number_error is not None:
                raise s.number_error
            if s.text and 0 < s.numbers < total:
                total = np.int64(total)
                strings = np.round(np.abs(s.numbers - total) / total, 4)
                numbers = np.round(s.numbers / total, 4)
                display[i] = {
                    "With mixed": True,
                    "Categorical : Numerical": f"{strings} : {numbers}",
                }
            else:
                display[i] = {"With mixed": False, "Categorical : Numerical": "-"}
        result = pd.DataFrame.from_dict(display).T
        result.index = self.columns
        return result

    # -- whole-table checks ----------------------------------------------------------------------

    def duplicated_samples(self):
        """The groups of identical rows of ``DataIntegrityCheck.duplicated_samples``."""
        return duplicated_samples(self.data, self._own_index, self.on_partition)

    def column_kinds(self) -> dict:
        """Column name -> "numerical" or "categorical": ``meta_info``, else inferred on every
        row."""
        return self._kinds()

    def _kinds(self) -> dict:
        if self.meta_info is not None:
            return self.meta_info
        merged = self._column_summaries()
        kinds = {}
        for name, s in zip(self.columns, merged, strict=True):
            kinds[name] = _inferred_kind(self.data[name].dtype, s)
        return kinds

    def highly_correlated_features(self):
        """The association matrix Styler of ``DataIntegrityCheck.highly_correlated_features``."""
        kinds = self._kinds()
        names = list(self.columns)
        num_names = [n for n in names if kinds[n] == "numerical"]
        cat_names = [n for n in names if kinds[n] == "categorical"]
        if not self.columns.is_unique:
            repeated = self.columns[self.columns.duplicated()].unique().tolist()
            raise ValueError(
                f"highly_correlated_features needs unique column names; repeated: {repeated!r}"
            )
        num = [names.index(n) for n in num_names]
        cat = [names.index(n) for n in cat_names]
        first, second = self._association_passes(num, cat)
        matrix = np.full((len(names), len(names)), np.nan)
        sums = dict(second["ranks"])
        if first["starts"]:
            sums.update(self._shuffled_rank_sums(num, first, second["range_counts"]))
        _place_spearman(matrix, sums, num)
        _place_theil(matrix, first["joint"], cat, first["sizes"])
        _place_ratios(matrix, first["groups"], num, cat)
        full = pd.DataFrame(matrix, index=self.columns, columns=self.columns)
        return style_associations(full)


def _numbered(part: pd.DataFrame, num: list[int]) -> pd.DataFrame:
    return ranks.numbered(part, assoc.finite_only(assoc.raw_columns(part, num)))


def _sized_summary(part: pd.DataFrame):
    return len(part), summary.summarize_partition(part)


def _inferred_kind(dtype, s: summary.ColumnSummary) -> str:
    """infer_column_kind of a whole column from its dtype and merged summary."""
    from pandas.api import types as ptypes

    if ptypes.is_bool_dtype(dtype) or isinstance(dtype, pd.CategoricalDtype):
        return "categorical"
    if ptypes.is_numeric_dtype(dtype):
        return "numerical"
    if ptypes.is_object_dtype(dtype) or ptypes.is_string_dtype(dtype):
        present = s.rows - s.missing
        parses = (
            present > 0 and not s.boolean_only and s.number_error is None and s.numbers == present
        )
        return "numerical" if parses else "categorical"
    return "categorical"


def _place_spearman(matrix, sums, num):
    for i in range(len(num)):
        for j in range(i, len(num)):
            sxy, sxx, syy = sums.get((i, j), (0.0, 0.0, 0.0))
            divisor = np.sqrt(sxx * syy)
            rho = sxy / divisor if divisor != 0 else np.nan
            matrix[num[i], num[j]] = matrix[num[j], num[i]] = rho


def _place_theil(matrix, joint, cat, sizes):
    for a in range(len(cat)):
        matrix[cat[a], cat[a]] = 1.0 if sizes[a] > 0 else np.nan
        for b in range(a + 1, len(cat)):
            keys, counts = joint[a, b]
            u = assoc.theil_u(keys, counts.astype(float), max(sizes[b], 1))
            matrix[cat[a], cat[b]] = matrix[cat[b], cat[a]] = u


def _place_ratios(matrix, groups, num, cat):
    for v in range(len(num)):
        for c in range(len(cat)):
            ratio = assoc.correlation_ratio(groups[v, c])
            matrix[num[v], cat[c]] = matrix[cat[c], num[v]] = ratio
