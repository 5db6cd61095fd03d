"""The report on a table held in partitions (a folder of Parquet files, a glob of CSV or Parquet
files, a Dask DataFrame), on a Dask cluster.

`PartitionedReportContext.scan` gives the sections the facts of `ReportContext` without loading
the table: the integrity sections run `PartitionedIntegrityCheck` over every row; the column
profiles merge per-partition summaries (`partition_profile`) over every row; everything else
(the overview's model sample, the exploratory plots, the first and last rows, the pattern of
missing cells and the model sections) reads a uniform random sample of `SAMPLE_ROWS` rows drawn
across the partitions in the same pass. Each partition gives every row a random key from a
generator seeded by the partition's number and keeps the rows of its `SAMPLE_ROWS` smallest keys;
the table's sample is the rows of the smallest keys overall, in table order: every set of that
many rows is equally likely, and the same data gives the same sample.

Dask is imported only here, so the in-memory report never imports it.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager, nullcontext
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np
import pandas as pd

from kova.data import CATEGORICAL, MAX_INFERRED_CLASSES, NUMERICAL
from kova.exceptions import KovaError
from kova.report import partition_profile as pp
from kova.report.context import IntegrityResults, ReportContext, integrity_results
from kova.report.model import MAX_TRAINING_ROWS, ModelSample, sample_rows

# The sample holds as many rows as give the model MAX_TRAINING_ROWS training rows after the
# data set's split of TEST_RATIO test rows.
TEST_RATIO = 0.2
SAMPLE_ROWS = math.ceil(MAX_TRAINING_ROWS / (1 - TEST_RATIO))
SEED = 0
CONNECT_TIMEOUT = "5s"
CLOSE_TIMEOUT = 30  # seconds

EXACT_NOTE = (
    "Every figure of the cards is over all {rows:,} rows, merged from per-partition summaries. "
    "Exact: counts, missing, min, max, zeros, negatives and the most frequent levels; for a "
    "numerical column of at most {cap:,} distinct values also distinct, the quantiles (ranks of "
    "the merged value counts) and the histogram (the merged values counted into the bins of the "
    "global range); mean and standard deviation merge the partitions' moments pairwise, equal to "
    "the in-memory figures up to floating-point rounding."
)
SKETCH_NOTE = (
    "Estimated: {columns} hold more than {cap:,} distinct values, so their quantiles and "
    "histograms come from merged quantile sketches (each partition's values at about 256 evenly "
    "spaced ranks) and their distinct count is a lower bound."
)


def is_partitioned(text: str) -> bool:
    """Whether a command-line source names partitions: a folder or a glob pattern."""
    import glob

    return os.path.isdir(text) or (glob.has_magic(text) and not os.path.isfile(text))


def open_source(source) -> tuple[Any, bool]:
    """The Dask DataFrame of `source` and whether its index labels are the rows' own; a glob
    matching nothing, files with different columns or an unreadable file raise KovaError."""
    try:
        from kova.data.kestrin.partition_source import read_source
    except ImportError:  # dask is an optional dependency
        raise KovaError(
            "source: partitioned data needs dask (pip install 'kova[distributed]')"
        ) from None
    return read_source(source)


@contextmanager
def dask_client(scheduler: str | None) -> Iterator[Any]:
    """A client of the cluster at `scheduler`, or of a new LocalCluster on 127.0.0.1 with one
    single-threaded worker process per core; closed (and the local cluster stopped) on exit."""
    import dask
    from distributed import Client, LocalCluster

    from ..data.kestrin.partition_ranks import LOCAL_CLUSTER_CONFIG

    cluster = None
    if scheduler is not None:
        try:
            client = Client(scheduler, timeout=CONNECT_TIMEOUT)
        except Exception as error:  # refused, timed out, a malformed address: all unreachable
            reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error)
            raise KovaError(
                f"--scheduler: cannot reach the Dask scheduler at {scheduler!r} ({reason})"
            ) from None
    else:
        with dask.config.set(LOCAL_CLUSTER_CONFIG):  # the workers take the settings on
            cluster = LocalCluster(
                host="127.0.0.1",
                n_workers=os.cpu_count() or 1,
                threads_per_worker=1,
                processes=True,
                dashboard_address="127.0.0.1:0",
                worker_dashboard_address=None,
            )
        client = Client(cluster)
    try:
        yield client
    finally:
        client.close(timeout=CLOSE_TIMEOUT)
        if cluster is not None:
            cluster.close(timeout=CLOSE_TIMEOUT)


@dataclass
class PartitionScan:
    """The report's share of consecutive partitions: their rows, column facts and sample
    candidates. One partition's scan, or the merge of neighbouring scans (`merge_scans`)."""

    rows: int
    facts: list[pp.ColumnFacts]
    target_levels: pp.ColumnFacts | None  # the target's levels, when it may be a class label
    keys: np.ndarray  # the random keys of the candidate rows
    candidates: pd.DataFrame  # the candidate rows, in table order
    positions: np.ndarray  # their positions counted from the scan's first row
    memory: int  # bytes of the partitions as frames
    partitions: int = 1


def merge_scans(earlier: PartitionScan, later: PartitionScan, size: int) -> PartitionScan:
    """The scan of `earlier`'s rows then `later`'s: facts merged, and the candidates of the `size`
    smallest keys of both (the table's smallest keys are among each part's smallest)."""
    keys = np.concatenate([earlier.keys, later.keys])
    keep = np.arange(keys.size)
    if keys.size > size:
        keep = np.sort(np.argpartition(keys, size - 1)[:size])
    levels = earlier.target_levels
    if levels is not None or later.target_levels is not None:
        levels = (levels or pp.ColumnFacts()).merge(later.target_levels or pp.ColumnFacts())
    return PartitionScan(
        rows=earlier.rows + later.rows,
        facts=[a.merge(b) for a, b in zip(earlier.facts, later.facts, strict=True)],
        target_levels=levels,
        keys=keys[keep],
        candidates=pd.concat([earlier.candidates, later.candidates]).iloc[keep],
        positions=np.concatenate([earlier.positions, later.positions + earlier.rows])[keep],
        memory=earlier.memory + later.memory,
        partitions=earlier.partitions + later.partitions,
    )


def scan_partition(part: pd.DataFrame, number: int, kinds: dict, target: str | None, size: int):
    """Read one partition: its facts and the rows of its `size` smallest random keys."""
    keys = np.random.default_rng([SEED, number]).random(len(part))
    keep = np.arange(len(part))
    if len(part) > size:
        keep = np.sort(np.argpartition(keys, size - 1)[:size])
    levels = None
    if target is not None and kinds[target] == NUMERICAL:
        levels = pp.column_facts(part[target], CATEGORICAL)
    return PartitionScan(
        rows=len(part),
        facts=pp.partition_facts(part, kinds),
        target_levels=levels,
        keys=keys[keep],
        candidates=part.iloc[keep],
        positions=keep,
        memory=int(part.memory_usage(deep=True).sum()),
    )


# Passes over every partition the partitioned report makes, for its progress bar: the column
# summaries (the kinds and the single-column checks share them), the scan, the long strings and
# the two passes of the duplicated rows of the integrity checks, and the two association passes.
PARTITION_PASSES = 7


def _scan(data, kinds, target, size, on_partition) -> PartitionScan:
    """The scan of every partition, merged pairwise in partition order where the scans are made
    (on the workers of a cluster), reporting each finished partition."""
    import dask

    from kova.data.kestrin.partition_tasks import fetched, reduced

    parts = data.to_delayed(optimize_graph=True)
    tasks = [dask.delayed(scan_partition)(p, i, kinds, target, size) for i, p in enumerate(parts)]
    return fetched(reduced(tasks, merge_scans, "column facts", on_partition, size))


def _sample(scan: PartitionScan, own_index: bool) -> pd.DataFrame:
    """The merged scan's candidate rows, in table order, labelled by their own labels or their
    positions in the table."""
    rows = scan.candidates
    return rows if own_index else rows.set_axis(pd.Index(scan.positions))


def _task_type(kind: str, facts: pp.ColumnFacts) -> str:
    """`kova.data`'s task rule over every row: classification for categories or a few whole
    numbers, else regression."""
    if kind == CATEGORICAL:
        return "classification"
    values = facts.values
    whole = bool(np.all(np.isfinite(values)) and np.all(values == np.round(values)))
    few = facts.exact and values.size <= MAX_INFERRED_CLASSES
    return "classification" if whole and few else "regression"


def _check_target(target: str, facts: pp.ColumnFacts, kind: str) -> None:
    if facts.missing:
        raise KovaError(f"target {target!r} has {facts.missing} missing values")
    distinct = facts.distinct if kind == NUMERICAL else len(facts.levels)
    if distinct < 2:
        raise KovaError(f"target {target!r} has a single value; nothing to learn")


@dataclass(frozen=True)
class PartitionSample(ModelSample):
    """The model's rows: the sample drawn across the partitions, split as in memory."""

    table_rows: int = 0

    @property
    def sampled(self) -> bool:
        return len(self.dataset.data_init) < self.table_rows

    def describe(self) -> str:
        train, test = len(self.dataset.train_idx), len(self.dataset.test_idx)
        if not self.sampled:
            return f"all {train + test:,} rows: {train:,} training and {test:,} test rows"
        return (
            f"a random sample of {train + test:,} of the {self.table_rows:,} rows drawn across "
            f"the partitions: {train:,} training and {test:,} test rows (at most "
            f"{MAX_TRAINING_ROWS:,} training rows)"
        )


@dataclass
class PartitionedReportContext(ReportContext):
    """A `ReportContext` whose `frame` is the sample and whose every-row facts come from the
    partitions (see the module notes); build it with `scan`."""

    source: Any = None  # the Dask DataFrame
    own_index: bool = False
    table_kinds: dict[str, str] = field(default_factory=dict)
    whole: PartitionScan | None = field(default=None, repr=False)  # every partition's, merged
    merged: list[pp.ColumnFacts] = field(default_factory=list, repr=False)
    task_type: str | None = None
    # the checks that inferred the kinds, holding the column summaries the integrity section uses
    check: Any = field(default=None, repr=False, compare=False)
    # told as each partition of an integrity pass is done (the progress bar's step)
    on_partition: Callable[[str], None] | None = field(default=None, repr=False, compare=False)

    @classmethod
    def scan(
        cls,
        data,
        own_index: bool,
        target: str | None,
        thresholds,
        client=None,
        on_partition: Callable[[str], None] | None = None,
        sample_size: int = SAMPLE_ROWS,
    ) -> PartitionedReportContext:
        """Read every partition once for the profiles and a sample of `sample_size` rows, on the
        cluster of `client` (Dask's default scheduler when None), calling `on_partition(label)`
        as each partition is done; bad data raise KovaError."""
        from kova.data import PartitionedIntegrityCheck

        if target is not None and target not in data.columns:
            raise KovaError(f"target column {target!r} is not in the data")
        try:
            with client.as_current() if client is not None else nullcontext():
                check = PartitionedIntegrityCheck(data, None, on_partition)
                kinds = check.column_kinds()
                whole = _scan(data, kinds, target, sample_size, on_partition)
        except (OSError, ValueError) as error:  # a file that cannot be read, or parsed, fully
            if isinstance(error, KovaError):
                raise
            reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error)
            raise KovaError(f"source: cannot read every partition ({reason})") from None
        merged = whole.facts
        if whole.rows == 0 or len(data.columns) == 0:
            raise KovaError("source: the data has no rows")
        task = None
        if target is not None:
            facts = merged[list(data.columns).index(target)]
            _check_target(target, facts, kinds[target])
            task = _task_type(kinds[target], facts)
        sample = _sample(whole, own_index)
        return cls(frame=sample, target=target, thresholds=thresholds, source=data,
                   own_index=own_index, table_kinds=kinds, whole=whole, merged=merged,
                   task_type=task, check=check, on_partition=on_partition)  # fmt: skip

    @property
    def n_rows(self) -> int:
        return self.scanned.rows

    @property
    def scanned(self) -> PartitionScan:
        """Every partition's scan, merged."""
        if self.whole is None:
            raise KovaError(
                "a partitioned report context is built by PartitionedReportContext.scan"
            )
        return self.whole

    @cached_property
    def dataset(self):
        """The sample's `Dataset`, with the kinds and the task type of every row."""
        from kova.data import Dataset

        categorical = [
            c for c, k in self.table_kinds.items() if k == CATEGORICAL and c != self.target
        ]
        return Dataset(self.frame.reset_index(drop=True), target=self.target,
                       task_type=self.task_type, categorical_features=categorical,
                       test_ratio=TEST_RATIO)  # fmt: skip

    @property
    def kinds(self) -> dict[str, str]:
        """The kinds inferred over every row; a class label is categorical, as in memory."""
        if self.target is None:
            return self.table_kinds
        return {**self.table_kinds, self.target: self.dataset.meta_info[self.target]}

    @cached_property
    def profiles(self) -> dict[str, Any]:
        merged = list(self.merged)
        if self.target is not None and self.kinds[self.target] != self.table_kinds[self.target]:
            # a numerical class label is profiled by its levels, as in memory
            at = list(self.frame.columns).index(self.target)
            merged[at] = self.scanned.target_levels or pp.ColumnFacts()
        return pp.profiles(self.frame.columns, self.kinds, merged)

    @cached_property
    def integrity(self) -> IntegrityResults:
        from kova.data import PartitionedIntegrityCheck

        check = self.check  # the single-column checks and duplicates do not depend on the kinds
        if check is None:
            check = PartitionedIntegrityCheck(self.source, self.kinds, self.on_partition)
        return integrity_results(check.single_column_check(), check.duplicated_samples())

    @cached_property
    def associations(self) -> pd.DataFrame:
        from kova.data import PartitionedIntegrityCheck

        columns = self.association_columns
        data = self.source if len(columns) == len(self.source.columns) else self.source[columns]
        kinds = {c: self.kinds[c] for c in columns}
        check = PartitionedIntegrityCheck(data, kinds, self.on_partition)
        return check.highly_correlated_features().data

    @property
    def memory_bytes(self) -> int:
        return self.scanned.memory

    @property
    def source_facts(self) -> dict[str, str]:
        return {
            "Partitions": f"{self.scanned.partitions:,}, read by Dask tasks; the integrity "
            "sections and the column cards cover every row",
            "Rows of the sampled sections": "first and last rows, missing-value pattern, "
            f"exploratory plots, train/test distance and model sections: {self._sample_words}",
        }

    @property
    def _sample_words(self) -> str:
        if len(self.frame) == self.n_rows:
            return f"all {self.n_rows:,} rows (the table is no larger than the sample)"
        return f"a random sample of {len(self.frame):,} rows drawn across the partitions"

    @property
    def notes(self) -> dict[str, str]:
        sample = f"From {self._sample_words}, labelled by their rows' labels in the table."
        columns = EXACT_NOTE.format(rows=self.n_rows, cap=pp.VALUE_CAP)
        sketched = [str(name) for name, f in zip(self.frame.columns, self.merged, strict=True)
                    if not f.exact]  # fmt: skip
        if sketched:
            columns += " " + SKETCH_NOTE.format(columns=", ".join(sketched), cap=pp.VALUE_CAP)
        return {"columns": columns, "rows": sample, "eda": sample}

    @cached_property
    def model_sample(self) -> ModelSample | None:
        if self.target is None:
            return None
        inner = sample_rows(self.dataset)
        return PartitionSample(inner.dataset, inner.train_rows, inner.test_rows, self.n_rows)
