"""What every section of one report reads, computed once per run.

`ReportContext` holds the frame as read and builds, on first use and only once: one
`Dataset` (column kinds by `kova.data.infer_column_kind`, task type, split), the factorize
codes of the categorical columns (read by the profiles, the association matrix and the
train/test distances), the column profiles, the identifier-like columns, the integrity
check's per-column results and duplicated rows, the association matrix, and (only with a
target) the diagnostics model fitted on a sample of the training rows and its weak regions.
Sections take from it and never recompute what it holds.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np
import pandas as pd

from kova.report import alerts as al
from kova.report.model import ModelSample, sample_rows


@dataclass(frozen=True)
class IntegrityResults:
    """The single-column check of every column, read from its one shared scan, and the
    duplicated rows."""

    styled: Any  # the single-column check's table as the check styles it
    table: pd.DataFrame  # its values (two-level header)
    single: pd.Series  # column -> has one distinct value
    text_shares: pd.Series  # column -> share of text entries, for columns mixing types
    number_shares: pd.Series  # column -> share of number entries, for the same columns
    long_strings: pd.Series  # column -> number of over-long entries
    special_shares: pd.Series  # column -> share of special-character-only entries
    special_examples: pd.Series  # column -> the most common such entries
    duplicate_groups: pd.DataFrame | str  # groups of identical rows, or a message
    n_duplicated: int  # rows repeating an earlier row


@dataclass
class ReportContext:
    """One run's shared facts about `frame` (see the module notes)."""

    frame: pd.DataFrame
    target: str | None
    thresholds: al.Thresholds = field(default_factory=al.Thresholds)
    timings: dict[str, float] = field(default_factory=dict)

    @property
    def n_rows(self) -> int:
        return len(self.frame)

    @property
    def threads(self) -> int:
        """The threads per-column work may use: the bound the report runs under."""
        from kova import _kernels

        return _kernels.thread_limit()

    @cached_property
    def dataset(self):
        """The one `Dataset` of the run: kinds, task type and the train/test split."""
        from kova.data import Dataset

        return Dataset(self.frame, target=self.target)

    @property
    def kinds(self) -> dict[str, str]:
        """Column name -> "numerical" or "categorical"."""
        return self.dataset.meta_info

    @cached_property
    def category_codes(self) -> dict[str, tuple[np.ndarray, Any]]:
        """Categorical column -> its factorize codes (-1 for missing) and distinct values."""
        from kova.data.profile import factorize_column, map_columns

        names = [name for name, kind in self.kinds.items() if kind == "categorical"]
        codes = map_columns(lambda name: factorize_column(self.frame[name]), names, self.threads)
        return dict(zip(names, codes, strict=True))

    @cached_property
    def profiles(self) -> dict[str, Any]:
        """Column name -> `kova.data.profile.ColumnProfile`."""
        from kova.data.profile import profile_frame

        return profile_frame(self.frame, self.kinds, self.category_codes, self.threads)

    @cached_property
    def missing(self) -> pd.Series:
        """Missing cells per column."""
        return pd.Series({name: p.missing for name, p in self.profiles.items()}, dtype=np.int64)

    @cached_property
    def identifiers(self) -> list[str]:
        """Categorical columns with a new value in most rows (names, codes, keys)."""
        distinct = {name: p.distinct for name, p in self.profiles.items()}
        return al.identifier_columns(self.kinds, distinct, self.n_rows)

    @cached_property
    def integrity(self) -> IntegrityResults:
        from kova.data.kestrin.duplicates import duplicated_samples
        from kova.data.kestrin.kestrin import DataIntegrityCheck

        check = DataIntegrityCheck(self.frame, self.kinds)
        return integrity_results(check.single_column_check(), duplicated_samples(self.frame))

    @cached_property
    def association_columns(self) -> list[str]:
        """The columns of the association matrix: all but the identifier-like ones."""
        return [c for c in self.frame.columns if c not in set(self.identifiers)]

    @cached_property
    def associations(self) -> pd.DataFrame:
        """The association matrix of the `association_columns`, as the integrity check
        computes it, from the shared category codes."""
        from kova.data.associations import association_matrix

        columns = self.association_columns
        frame = self.frame if len(columns) == self.frame.shape[1] else self.frame[columns]
        codes = {name: self.category_codes[name][0] for name in self.category_codes}
        return association_matrix(frame, {c: self.kinds[c] for c in columns}, codes)

    @property
    def memory_bytes(self) -> int:
        """The table's memory as pandas frames, object entries included."""
        return int(self.frame.memory_usage(deep=True).sum())

    @property
    def source_facts(self) -> dict[str, str]:
        """Overview facts on where the rows come from (none for a frame in memory)."""
        return {}

    @property
    def notes(self) -> dict[str, str]:
        """Section anchor -> a note the section shows under its heading (on the rows it reads)."""
        return {}

    @cached_property
    def model_sample(self) -> ModelSample | None:
        """The rows the diagnostics model and the depth search use, or None without target."""
        if self.target is None:
            return None
        return sample_rows(self.dataset)

    @cached_property
    def model(self):
        """The diagnostics `ModelPipeline` fitted on the sample's training rows (with its
        predictions), or None without a target."""
        from kova.report.model import fit_pipeline

        sample = self.model_sample
        return None if sample is None else fit_pipeline(sample.dataset)

    @cached_property
    def weak_regions(self):
        """`kova.diagnoser.find_weak_regions` on the diagnostics model's test rows, or None
        without a target: every feature but the identifier-like ones (a set of an identifier's
        values can spell out any rows), regions of at least `min_segment_size` test rows and
        1 % of them, tests at `weak_segment_alpha`."""
        pipeline = self.model
        if pipeline is None:
            return None
        from kova.diagnoser.regions import MIN_SHARE, find_weak_regions

        identifiers = set(self.identifiers)
        features = [f for f in pipeline.get_feature_names() if f not in identifiers]
        if not features:
            return None
        tested = len(pipeline.dataset.test_idx)
        min_size = max(self.thresholds.min_segment_size, math.ceil(MIN_SHARE * tested))
        alpha = self.thresholds.weak_segment_alpha
        return find_weak_regions(pipeline, features, min_size=min_size, alpha=alpha)


def integrity_results(styled, groups) -> IntegrityResults:
    """The single-column check's styled table and the duplicate groups, taken apart."""
    table: pd.DataFrame = styled.data
    mixed = table[table[("Mixed Data Types", "Mixed")].astype(bool)]
    shares = mixed[("Mixed Data Types", "Categorical : Numerical")].astype(str)
    parts = shares.str.split(":", expand=True).astype(float) if len(mixed) else None
    return IntegrityResults(
        styled=styled,
        table=table,
        single=table[("Is Single Value", "")].astype(bool),
        text_shares=parts[0] if parts is not None else pd.Series(dtype=float),
        number_shares=parts[1] if parts is not None else pd.Series(dtype=float),
        long_strings=table[("Long String", "Num")].astype(int),
        special_shares=table[("Special Characters", "Ratio")].astype(float),
        special_examples=table[("Special Characters", "Example Samples")],
        duplicate_groups=groups,
        n_duplicated=_repeated_rows(groups),
    )


def _repeated_rows(groups) -> int:
    """Rows repeating an earlier row: each group of identical rows less its first row."""
    if isinstance(groups, str) or len(groups) == 0:
        return 0
    return int(sum(len(labels) - 1 for labels in groups.index))
