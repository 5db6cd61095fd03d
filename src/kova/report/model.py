"""The rows and the model behind the report's diagnostics and depth search.

On data with more than `MAX_TRAINING_ROWS` training rows, the model and the search use a
sample: at most `MAX_TRAINING_ROWS` of the training rows and as many test rows as keep the
split's ratio, drawn per class for classification so that every class keeps its share. The
integrity sections always read every row. Missing values are filled for the model (medians
of the training rows for numbers, a "(missing)" level for categories).
"""

from __future__ import annotations

import copy
import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

# The diagnostics model and the depth search train on at most this many rows.
MAX_TRAINING_ROWS = 50_000
MISSING_LEVEL = "(missing)"


@dataclass(frozen=True)
class ModelSample:
    """The model's data set (the sampled rows, missing values filled, split kept) and the
    sizes of the split it was drawn from."""

    dataset: Any  # a `kova.data.Dataset` view of the sampled rows
    train_rows: int  # training rows of the whole split
    test_rows: int  # test rows of the whole split

    @property
    def sampled(self) -> bool:
        return len(self.dataset.train_idx) < self.train_rows

    def describe(self) -> str:
        """One sentence on the rows used, for the overview and the diagnostics sections."""
        used = self.dataset
        train, test = len(used.train_idx), len(used.test_idx)
        if not self.sampled:
            return f"all {train:,} training rows and {test:,} test rows"
        return (
            f"a stratified sample of {train:,} of the {self.train_rows:,} training rows and "
            f"{test:,} of the {self.test_rows:,} test rows (at most {MAX_TRAINING_ROWS:,} "
            f"training rows)"
        )


def _draw(positions: np.ndarray, size: int, labels: np.ndarray | None) -> np.ndarray:
    """`size` of the sorted `positions`, drawn per label in proportion when labels are given."""
    from sklearn.model_selection import train_test_split

    if size >= positions.size:
        return positions
    stratify = None
    if labels is not None:
        counts = pd.Series(labels).value_counts()
        # each class needs a row on both sides of the draw
        if counts.min() >= 2 and min(size, positions.size - size) >= counts.size:
            stratify = labels
    kept, _ = train_test_split(positions, train_size=size, random_state=0, stratify=stratify)
    return np.sort(kept)


def sample_rows(dataset) -> ModelSample:
    """The model's view of `dataset`: sampled rows, missing values filled, its split kept."""
    train, test = dataset.train_idx, dataset.test_idx
    test_size = math.ceil(MAX_TRAINING_ROWS * dataset.test_ratio / (1 - dataset.test_ratio))
    y = dataset.y.to_numpy()
    stratified = dataset.task_type == "classification"
    train_kept = _draw(train, MAX_TRAINING_ROWS, y[train] if stratified else None)
    test_kept = _draw(test, test_size, y[test] if stratified else None)
    rows = np.concatenate([train_kept, test_kept])
    order = np.argsort(rows, kind="stable")
    frame = _filled(dataset, dataset.data_init.iloc[rows[order]], train_kept)
    position = np.empty(rows.size, dtype=np.intp)
    position[order] = np.arange(rows.size, dtype=np.intp)
    view = copy.copy(dataset)  # the same kinds, task and seed; no second split or copy
    view.meta_info = {
        name: kind if name == dataset.target_name or kind == "numerical" else "categorical"
        for name, kind in dataset.meta_info.items()
    }
    view.data_init = frame.reset_index(drop=True)
    view.train_idx = np.sort(position[: train_kept.size])
    view.test_idx = np.sort(position[train_kept.size :])
    view.outlier_idx = np.array([], dtype=np.intp)
    return ModelSample(view, len(train), len(test))


def _filled(dataset, frame: pd.DataFrame, train_rows: np.ndarray) -> pd.DataFrame:
    """`frame` with missing feature values filled: training-row medians for numbers
    (infinite values count as missing; 0 for a column without any finite training value),
    a "(missing)" level for categories."""
    frame = frame.copy()
    for name in dataset.feature_names:
        column = frame[name]
        if dataset.meta_info[name] == "numerical":
            numbers = _finite_or_nan(column)
            if not numbers.isna().any():
                continue
            median = _finite_or_nan(dataset.data_init[name].iloc[train_rows]).median()
            frame[name] = numbers.fillna(0.0 if pd.isna(median) else median)
        elif not column.isna().any():
            continue
        else:
            frame[name] = column.astype(object).where(column.notna(), MISSING_LEVEL)
    return frame


def _finite_or_nan(column: pd.Series) -> pd.Series:
    """A numerical column as floats, with infinite values as NaN."""
    numbers = pd.to_numeric(column).astype(float)
    return numbers.where(np.isfinite(numbers))


def fit_pipeline(dataset):
    """A gradient-boosting model fitted on the training rows, wrapped for the diagnosers."""
    from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor

    from kova.models import ModelPipeline

    if dataset.task_type == "classification":
        model = HistGradientBoostingClassifier(random_state=0)
    else:
        model = HistGradientBoostingRegressor(random_state=0)
    x = ModelPipeline.encode(dataset)
    model.fit(x.iloc[dataset.train_idx], dataset.train_y)
    return ModelPipeline(model, dataset)
