"""Native kernels of kova's services."""

from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

def string_baseform(text: str, remove_special: bool = False) -> str: ...
def special_only_counts(values: Iterable[Any]) -> dict[str, int]: ...
def symmetric_theil_u_correlation(a: npt.ArrayLike, b: npt.ArrayLike) -> float: ...
def correlation_ratio(categories: npt.ArrayLike, values: npt.ArrayLike) -> float: ...
def bin_codes(values: npt.ArrayLike, edges: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
def bin_counts(values: npt.ArrayLike, edges: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
def ks_sorted(sample1: npt.ArrayLike, sample2: npt.ArrayLike) -> float: ...
def wasserstein1_sorted(sample1: npt.ArrayLike, sample2: npt.ArrayLike) -> float: ...
def stump_thresholds(
    X: npt.ArrayLike, categorical: Sequence[bool], max_bins: int, seed: int = 0
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
) -> list[npt.NDArray[np.float64]]: ...
def predict_stumps(
    X: npt.ArrayLike,
    thresholds: Sequence[npt.ArrayLike],
    tables: Sequence[npt.ArrayLike],
    intercept: float,
) -> npt.NDArray[np.float64]: ...
