"""Data set container of the kova toolbox.

`Dataset` holds a private copy of a table together with what the analysis modules
need to know about it: which columns are features and which one is the response,
the kind of every column ("numerical" or "categorical"), the task type and a
reproducible train/test split given as row positions.
"""

import math
import numbers

import numpy as np
import pandas as pd
from pandas.api import types as ptypes

from kova.exceptions import KovaError

__all__ = ["Dataset", "PartitionedIntegrityCheck", "infer_column_kind"]

NUMERICAL = "numerical"
CATEGORICAL = "categorical"
TASK_TYPES = ("classification", "regression")

# A numeric target of whole numbers with at most this many distinct values is
# taken as class labels when no task type is given.
MAX_INFERRED_CLASSES = 10

# Bundled scikit-learn data sets (no download) and the task each one poses.
# pandas 3 always copies on write; before it, only when the option is set.
_COPY_ON_WRITE = int(pd.__version__.split(".")[0]) >= 3

SKLEARN_DATASETS = {
    "breast_cancer": "classification",
    "diabetes": "regression",
    "iris": "classification",
    "wine": "classification",
}


def _seeded_generator(random_state):
    """The random generator scikit-learn draws a split from for this `random_state` (None:
    numpy's global one), or None for a kind of seed left to scikit-learn to read."""
    if random_state is None:
        return np.random.mtrand._rand
    if isinstance(random_state, np.random.RandomState):
        return random_state
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        return np.random.RandomState(int(random_state))
    return None


def _shuffled_split(n_rows, test_ratio, rng):
    """Sorted training and test positions of an unstratified shuffled split: the permutation
    and the cut of scikit-learn's `train_test_split` (the first ceil(ratio * rows) positions
    of the permutation are the test rows), without importing the library, which a report
    without a target otherwise needs for nothing else."""
    order = rng.permutation(n_rows)
    n_test = math.ceil(test_ratio * n_rows)
    return np.sort(order[n_test:]).astype(np.intp), np.sort(order[:n_test]).astype(np.intp)


_FIRST_PARSED = 1000  # entries tried before a whole text column is converted


def _parses_as_numbers(column):
    """True when the column has values and every non-missing one converts to float."""
    present = column.dropna()
    if present.empty or ptypes.infer_dtype(present, skipna=True) == "boolean":
        return False
    try:
        # a text column usually fails on its first entries: try those before converting all
        present.iloc[:_FIRST_PARSED].astype(float)
        if len(present) > _FIRST_PARSED:
            present.astype(float)
    except (TypeError, ValueError):
        return False
    return True


def infer_column_kind(column):
    """Return "numerical" or "categorical" for a pandas Series.

    Booleans, categories and dates are categorical and numbers numerical; a text or
    object column is numerical when all its non-missing values parse as numbers
    (the way `float()` reads them), otherwise categorical.
    """
    dtype = column.dtype
    if ptypes.is_bool_dtype(dtype) or isinstance(dtype, pd.CategoricalDtype):
        return CATEGORICAL
    if ptypes.is_numeric_dtype(dtype):
        return NUMERICAL
    if ptypes.is_object_dtype(dtype) or ptypes.is_string_dtype(dtype):
        return NUMERICAL if _parses_as_numbers(column) else CATEGORICAL
    return CATEGORICAL


def _infer_task_type(target, kind):
    """Classification for a categorical target or a numeric one of few whole numbers."""
    if kind == CATEGORICAL:
        return "classification"
    values = target.dropna().astype(float).to_numpy()
    whole = np.all(np.isfinite(values)) and np.all(values == np.round(values))
    if whole and np.unique(values).size <= MAX_INFERRED_CLASSES:
        return "classification"
    return "regression"


def _unknown_names(names, columns):
    return [name for name in names if name not in columns]


class Dataset:
    """A table with its features, response, column kinds and train/test split.

    Parameters
    ----------
    data : pandas.DataFrame
        The table; it is copied and the caller's frame is never changed.
    target : column name or None
        The response column; `None` for unsupervised use (no task type, no `y`).
    task_type : "classification", "regression" or None
        Inferred when `None`: a target that is categorical (text, booleans,
        categories), or numeric with whole-number values only and at most
        `MAX_INFERRED_CLASSES` distinct values, means classification; any other
        numeric target means regression.
    feature_names : list or None
        The features; by default every column except the target, in table order.
    categorical_features : list or None
        Columns to treat as categorical whatever their dtype (for instance integer
        codes). The kind of every other column is inferred by `infer_column_kind`.
        A classification target is always categorical.
    test_ratio : float
        Share of rows in the test split, strictly between 0 and 1.
    random_state : int or None
        Seed of the split, also read by the modules that need one.

    Attributes
    ----------
    data_init : the copied table (all columns of `data`).
    feature_names : list of feature names.
    target_name : the target column name or `None`.
    included_feature : the features followed by the target (when there is one) last.
    meta_info : dict from every column of `data_init` to "numerical" or "categorical".
    task_type, random_state, test_ratio : as given or inferred.
    train_idx, test_idx : sorted int arrays of row positions of a shuffled split,
        stratified by class for classification when every class can appear in both parts.
    outlier_idx : sorted int array of the row positions removed by `remove_outliers`.
    """

    def __init__(
        self,
        data,
        target=None,
        task_type=None,
        feature_names=None,
        categorical_features=None,
        test_ratio=0.2,
        random_state=0,
    ):
        self.data_init = self._checked_copy(data)
        self.target_name = self._checked_target(target)
        self.feature_names = self._checked_features(feature_names)
        self.included_feature = self.feature_names + (
            [] if self.target_name is None else [self.target_name]
        )
        self.meta_info = self._column_kinds(categorical_features)
        self.task_type = self._checked_task_type(task_type)
        if self.task_type == "classification":
            self.meta_info[self.target_name] = CATEGORICAL
        self.test_ratio = self._checked_test_ratio(test_ratio)
        self.random_state = random_state
        self.train_idx, self.test_idx = self._split()
        self.outlier_idx = np.array([], dtype=np.intp)

    @classmethod
    def from_sklearn(cls, name, **settings):
        """Build a data set from a scikit-learn bundled table ("iris" or "load_iris", ...).

        The response column is "target"; its task type is known. Other keyword
        settings are passed to the constructor.
        """
        key = str(name).removeprefix("load_")
        if key not in SKLEARN_DATASETS:
            raise KovaError(
                f"Unknown bundled data set {name!r}; choose one of {sorted(SKLEARN_DATASETS)}."
            )
        from sklearn import datasets  # deferred: scikit-learn is slow to import

        settings.setdefault("task_type", SKLEARN_DATASETS[key])
        frame = getattr(datasets, f"load_{key}")(as_frame=True).frame
        return cls(frame, target="target", **settings)

    # -- validation of the constructor arguments ---------------------------------

    @staticmethod
    def _checked_copy(data):
        if not isinstance(data, pd.DataFrame):
            raise KovaError(f"data must be a pandas DataFrame, got {type(data).__name__}.")
        if data.shape[0] == 0 or data.shape[1] == 0:
            raise KovaError(f"data is empty ({data.shape[0]} rows, {data.shape[1]} columns).")
        duplicated = data.columns[data.columns.duplicated()].unique().tolist()
        if duplicated:
            raise KovaError(f"Column names must be unique; repeated: {duplicated}.")
        # Under copy-on-write a shallow copy is already private: a later write to either
        # frame copies the data it touches, and no cell is copied before.
        return data.copy(deep=not _COPY_ON_WRITE)

    def _checked_target(self, target):
        if target is None:
            return None
        if target not in self.data_init.columns:
            raise KovaError(f"Target {target!r} is not a column of the data.")
        values = self.data_init[target]
        missing = int(values.isna().sum())
        if missing:
            raise KovaError(f"Target {target!r} has {missing} missing values; drop or fill them.")
        if values.nunique() < 2:
            raise KovaError(f"Target {target!r} has a single distinct value; nothing to learn.")
        return target

    def _checked_features(self, feature_names):
        columns = self.data_init.columns
        if feature_names is None:
            return [name for name in columns if name != self.target_name]
        if isinstance(feature_names, str) or not np.iterable(feature_names):
            raise KovaError("feature_names must be a list of column names.")
        feature_names = list(feature_names)
        unknown = _unknown_names(feature_names, columns)
        if unknown:
            raise KovaError(f"Unknown feature names: {unknown}.")
        if self.target_name is not None and self.target_name in feature_names:
            raise KovaError(f"The target {self.target_name!r} cannot also be a feature.")
        features = list(dict.fromkeys(feature_names))
        if not features:
            raise KovaError("feature_names must name at least one column.")
        return features

    def _column_kinds(self, categorical_features):
        forced = [] if categorical_features is None else list(categorical_features)
        unknown = _unknown_names(forced, self.data_init.columns)
        if unknown:
            raise KovaError(f"Unknown categorical_features: {unknown}.")
        return {
            name: CATEGORICAL if name in forced else infer_column_kind(self.data_init[name])
            for name in self.data_init.columns
        }

    def _checked_task_type(self, task_type):
        if self.target_name is None:
            if task_type is not None:
                raise KovaError("task_type needs a target column.")
            return None
        kind = self.meta_info[self.target_name]
        if task_type is None:
            return _infer_task_type(self.data_init[self.target_name], kind)
        if task_type not in TASK_TYPES:
            raise KovaError(f"task_type must be one of {list(TASK_TYPES)}, got {task_type!r}.")
        if task_type == "regression" and kind == CATEGORICAL:
            raise KovaError(f"Regression needs a numerical target; {self.target_name!r} is not.")
        return task_type

    def _checked_test_ratio(self, test_ratio):
        valid = isinstance(test_ratio, numbers.Real) and not isinstance(test_ratio, bool)
        if not valid or not 0 < test_ratio < 1:
            raise KovaError(f"test_ratio must be a number between 0 and 1, got {test_ratio!r}.")
        n_rows = len(self.data_init)
        n_test = math.ceil(test_ratio * n_rows)
        if n_test >= n_rows:
            raise KovaError(
                f"test_ratio {test_ratio} leaves no training rows out of {n_rows} rows."
            )
        return float(test_ratio)

    # -- split ----------------------------------------------------------------

    def _stratify_labels(self):
        """The class labels when a stratified split can hold every class on both sides."""
        if self.task_type != "classification":
            return None
        labels = self.data_init[self.target_name].to_numpy()
        counts = pd.Series(labels).value_counts()
        n_rows = len(labels)
        n_test = math.ceil(self.test_ratio * n_rows)
        n_classes = len(counts)
        if counts.min() < 2 or n_test < n_classes or n_rows - n_test < n_classes:
            return None
        return labels

    def _split(self):
        labels = self._stratify_labels()
        rng = _seeded_generator(self.random_state)
        if labels is None and rng is not None:
            return _shuffled_split(len(self.data_init), self.test_ratio, rng)
        # Deferred so that importing kova.data (and its kestrin package) stays quick.
        from sklearn.model_selection import train_test_split

        positions = np.arange(len(self.data_init), dtype=np.intp)
        train, test = train_test_split(
            positions, test_size=self.test_ratio, random_state=self.random_state, stratify=labels
        )
        return np.sort(train), np.sort(test)

    # -- outliers -------------------------------------------------------------

    def remove_outliers(self, idx):
        """Drop the rows at positions `idx` from the training split.

        The positions are added to `outlier_idx`; the test split is kept as it is so
        that evaluations before and after the removal stay comparable.
        """
        positions = np.unique(np.asarray(idx, dtype=np.intp).ravel())
        out_of_range = positions[(positions < 0) | (positions >= len(self.data_init))]
        if out_of_range.size:
            raise KovaError(f"Outlier positions out of range: {out_of_range[:10].tolist()}.")
        outliers = np.union1d(self.outlier_idx, positions).astype(np.intp)
        train = np.setdiff1d(self.train_idx, outliers).astype(np.intp)
        if train.size == 0:
            raise KovaError("Removing these outliers would leave no training rows.")
        self.outlier_idx, self.train_idx = outliers, train

    # -- accessors ------------------------------------------------------------

    @property
    def feature_types(self):
        """The kind ("numerical" or "categorical") of each feature, in feature order."""
        return [self.meta_info[name] for name in self.feature_names]

    @property
    def x(self):
        """The feature columns of all rows."""
        return self.data_init[self.feature_names]

    @property
    def y(self):
        """The target column of all rows, or `None` without a target."""
        return None if self.target_name is None else self.data_init[self.target_name]

    @property
    def train_x(self):
        return self.x.iloc[self.train_idx]

    @property
    def test_x(self):
        return self.x.iloc[self.test_idx]

    @property
    def train_y(self):
        return None if self.target_name is None else self.y.iloc[self.train_idx]

    @property
    def test_y(self):
        return None if self.target_name is None else self.y.iloc[self.test_idx]

    def __repr__(self):
        return (
            f"Dataset(rows={len(self.data_init)}, features={len(self.feature_names)}, "
            f"target={self.target_name!r}, task_type={self.task_type!r})"
        )


def __getattr__(name):
    """PartitionedIntegrityCheck, imported on first use (it needs the native checks and dask)."""
    if name == "PartitionedIntegrityCheck":
        from kova.data.kestrin.partitioned import PartitionedIntegrityCheck

        return PartitionedIntegrityCheck
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
