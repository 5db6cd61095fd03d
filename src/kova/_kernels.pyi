"""Native kernels of kova's services."""

from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple, overload

import numpy as np
import numpy.typing as npt

def string_baseform(text: str, remove_special: bool = False) -> str: ...
def special_only_counts(values: Iterable[Any]) -> dict[str, int]: ...

class EntryScan(NamedTuple):
    missing: npt.NDArray[np.int8]
    lengths: npt.NDArray[np.int64]
    numbers: npt.NDArray[np.int8]
    special: npt.NDArray[np.bool_]

def isna_object(values: npt.NDArray[np.object_]) -> npt.NDArray[np.bool_]: ...
def float_convertible(values: npt.NDArray[np.object_]) -> npt.NDArray[np.bool_]: ...
def str_lengths(values: npt.NDArray[np.object_]) -> npt.NDArray[np.int64]: ...
def special_only_mask(values: npt.NDArray[np.object_]) -> npt.NDArray[np.bool_]: ...
def has_str(values: npt.NDArray[np.object_]) -> bool: ...
def scan_entries(values: npt.NDArray[np.object_]) -> EntryScan: ...
def symmetric_theil_u_correlation(a: npt.ArrayLike, b: npt.ArrayLike) -> float: ...
def correlation_ratio(categories: npt.ArrayLike, values: npt.ArrayLike) -> float: ...
def symmetric_theil_u_matrix(
    codes: Sequence[npt.ArrayLike], threads: int = 0
) -> npt.NDArray[np.float64]: ...
def correlation_ratio_matrix(
    codes: Sequence[npt.ArrayLike], values: Sequence[npt.ArrayLike], threads: int = 0
) -> npt.NDArray[np.float64]: ...
def spearman_matrix(
    values: Sequence[npt.ArrayLike], threads: int = 0
) -> npt.NDArray[np.float64]: ...
def thread_limit() -> int: ...
def set_thread_limit(threads: int) -> None: ...
def bin_codes(values: npt.ArrayLike, edges: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
def bin_counts(values: npt.ArrayLike, edges: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
def ks_sorted(sample1: npt.ArrayLike, sample2: npt.ArrayLike) -> float: ...
def wasserstein1_sorted(sample1: npt.ArrayLike, sample2: npt.ArrayLike) -> float: ...
def column_ranges(matrix: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
def column_bin_counts(
    matrix: npt.ArrayLike, edges: Sequence[npt.ArrayLike]
) -> list[npt.NDArray[np.int64]]: ...
def transposed(matrix: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
def sorted_columns(matrix: npt.ArrayLike, threads: int = 1) -> npt.NDArray[np.float64]: ...
def sorted_distances(
    sorted1: npt.ArrayLike, sorted2: npt.ArrayLike, threads: int = 1
) -> npt.NDArray[np.float64]: ...
def ks_columns(
    sample1: npt.ArrayLike, sample2: npt.ArrayLike, threads: int = 1
) -> npt.NDArray[np.float64]: ...
def pooled_order_statistics(
    sorted1: npt.ArrayLike, sorted2: npt.ArrayLike, ranks: npt.ArrayLike
) -> npt.NDArray[np.float64]: ...
def stump_thresholds(
    X: npt.ArrayLike,
    categorical: Sequence[bool],
    max_bins: int,
    seed: int = 0,
    sample_weight: npt.ArrayLike | None = None,
) -> list[npt.NDArray[np.float64]]: ...
def bin_columns(
    X: npt.ArrayLike, thresholds: Sequence[npt.ArrayLike]
) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]: ...
def fit_stumps(
    bins: npt.NDArray[np.uint8] | npt.NDArray[np.uint16],
    y: npt.ArrayLike,
    categorical: Sequence[bool],
    n_bins: Sequence[int],
    base_score: float,
    n_estimators: int,
    learning_rate: float,
    reg_lambda: float,
    min_samples_leaf: float,
    subsample: float = 1.0,
    seed: int = 0,
    sample_weight: npt.ArrayLike | None = None,
    loss: str = "squared_error",
    n_jobs: int = 1,
) -> list[npt.NDArray[np.float64]]: ...
def predict_stumps(
    X: npt.ArrayLike,
    thresholds: Sequence[npt.ArrayLike],
    tables: Sequence[npt.ArrayLike],
    intercept: float,
) -> npt.NDArray[np.float64]: ...

class NumericSummary(NamedTuple):
    present: int
    missing: int
    distinct: int
    infinite: int
    zeros: int
    negatives: int
    min: float
    max: float
    mean: float
    std: float
    quantiles: npt.NDArray[np.float64]
    hist_counts: npt.NDArray[np.int64]
    hist_edges: npt.NDArray[np.float64]

def numeric_summary(
    values: npt.ArrayLike, probabilities: npt.ArrayLike, bins: int = 20
) -> NumericSummary: ...
def region_conditions(
    codes: npt.ArrayLike,
    n_bins: npt.ArrayLike,
    ordered: npt.ArrayLike,
    loss: npt.ArrayLike,
    rows: npt.ArrayLike,
    skip: npt.ArrayLike,
    min_size: int,
    mean: float,
    z: float,
    floor: float,
) -> tuple[float, int, list[tuple[npt.NDArray[np.bool_], int, float, float] | None]]: ...
def region_moments(
    codes: npt.ArrayLike, loss: npt.ArrayLike, features: npt.ArrayLike, allowed: list
) -> tuple[int, float, float]: ...
def region_codes(
    matrix: npt.ArrayLike,
    rows: npt.ArrayLike,
    columns: npt.ArrayLike,
    edges: list,
    n_levels: npt.ArrayLike,
) -> npt.NDArray[np.uint16]: ...
def row_hashes(columns: Sequence[npt.ArrayLike], n_rows: int) -> npt.NDArray[np.uint64]: ...
def finite_value_counts(
    x: npt.ArrayLike, other: npt.ArrayLike | None = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
@overload
def merge_value_counts(
    tables: Sequence[tuple[npt.ArrayLike, npt.ArrayLike]], limit: None = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
@overload
def merge_value_counts(
    tables: Sequence[tuple[npt.ArrayLike, npt.ArrayLike]], limit: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]] | None: ...
def joint_code_counts(
    codes: Sequence[npt.ArrayLike], levels: Sequence[int]
) -> list[tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]]: ...
def grouped_value_stats(
    codes: Sequence[npt.ArrayLike], levels: Sequence[int], values: Sequence[npt.ArrayLike]
) -> list[
    tuple[
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
        bool,
        float,
        float,
    ]
]: ...
def table_ranks(
    x: npt.ArrayLike, tables: Sequence[tuple[npt.ArrayLike, npt.ArrayLike]]
) -> list[npt.NDArray[np.float64]]: ...
def rank_deviation_sums(
    rx: npt.ArrayLike, ry: npt.ArrayLike, mean: float
) -> tuple[float, float, float]: ...
