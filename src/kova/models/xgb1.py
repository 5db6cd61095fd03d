"""Gradient-boosted depth-1 trees on histogram bins, and their per-feature effect functions.

A boosted model of depth-1 trees is additive: every tree looks at one feature, so the model is an
intercept plus one piecewise-constant function per feature. ``XGB1Regressor`` (squared error) and
``XGB1Classifier`` (binary logistic loss, in log-odds) fit it in the native kernels
(``kova._kernels.fit_stumps``) and keep each feature's function as a table over its histogram
bins; ``parse_model()`` hands out an interpreter that reads these functions as intervals with one
effect value each.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin
from sklearn.utils.multiclass import check_classification_targets, type_of_target
from sklearn.utils.validation import (
    _check_sample_weight,
    check_array,
    check_is_fitted,
    check_random_state,
    check_X_y,
)

from kova import _kernels
from kova.exceptions import KovaError
from kova.validation import Rule, validate

FEATURE_TYPES = ("numerical", "categorical")


# Every setting of the boosters and what it allows.
SETTINGS = (
    Rule("n_estimators", int, low=1),
    Rule("learning_rate", float, low=0.0, high=1.0, low_open=True),
    Rule("max_bins", int, low=2, high=65536),
    Rule("min_samples_leaf", int, low=1),
    Rule("reg_lambda", float, low=0.0),
    Rule("subsample", float, low=0.0, high=1.0, low_open=True),
    Rule("n_jobs", int, low=1, or_values=(-1,), required=False),  # None: one thread
)


class _XGB1Base(BaseEstimator):
    """Settings, binning, training and the effect tables shared by the regressor and classifier."""

    _loss = "squared_error"

    def __init__(
        self,
        n_estimators=100,
        learning_rate=0.3,
        max_bins=256,
        min_samples_leaf=20,
        reg_lambda=1.0,
        subsample=1.0,
        feature_names=None,
        feature_types=None,
        random_state=None,
        n_jobs=None,
    ):
        self.n_estimators = n_estimators
        self.learning_rate = learning_rate
        self.max_bins = max_bins
        self.min_samples_leaf = min_samples_leaf
        self.reg_lambda = reg_lambda
        self.subsample = subsample
        self.feature_names = feature_names
        self.feature_types = feature_types
        self.random_state = random_state
        self.n_jobs = n_jobs

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        return tags

    def parse_model(self):
        """The interpreter of the fitted model's per-feature effect functions."""
        check_is_fitted(self, "tables_")
        return XGB1Interpreter(self)

    def _fit_margins(self, X, y, sample_weight, columns):
        """Bins ``X`` and boosts the trees towards ``y`` (0/1 for the logistic loss)."""
        self.n_features_in_ = X.shape[1]
        self.feature_names_ = self._resolve_names(columns, X.shape[1])
        self.feature_types_ = self._resolve_types(self.feature_names_)
        weight = _checked_weights(sample_weight, X)
        categorical = [kind == "categorical" for kind in self.feature_types_]
        seed = int(check_random_state(self.random_state).randint(np.iinfo(np.int32).max))
        self.thresholds_ = _kernels.stump_thresholds(X, categorical, self.max_bins, seed, weight)
        bins = _kernels.bin_columns(X, self.thresholds_)
        self.intercept_ = self._base_score(y, weight)
        self.tables_ = _kernels.fit_stumps(
            bins,
            y,
            categorical,
            [len(t) + 1 for t in self.thresholds_],
            self.intercept_,
            self.n_estimators,
            self.learning_rate,
            self.reg_lambda,
            self.min_samples_leaf,
            self.subsample,
            seed,
            weight,
            self._loss,
            _threads(self.n_jobs),
        )
        kept = X if weight.all() else X[weight > 0]
        self.feature_range_ = (np.fmin.reduce(kept, axis=0), np.fmax.reduce(kept, axis=0))
        self.missing_seen_ = np.isnan(kept).any(axis=0)
        return self

    def _base_score(self, y, weight):
        return float(np.average(y, weights=weight))

    def _margins(self, X):
        X = self._check_rows(X)
        return _kernels.predict_stumps(X, self.thresholds_, self.tables_, self.intercept_)

    def _check_rows(self, X):
        check_is_fitted(self, "tables_")
        X = check_array(X, dtype=np.float64, ensure_all_finite="allow-nan", estimator=self)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {X.shape[1]} features, but {type(self).__name__} is expecting "
                f"{self.n_features_in_} features as input"
            )
        return X

    def _check_settings(self):
        validate(SETTINGS, self)

    def _resolve_names(self, columns, n_features):
        if self.feature_names is not None:
            names = [str(name) for name in self.feature_names]
        elif columns is not None:
            names = [str(name) for name in columns]
        else:
            names = [f"X{j}" for j in range(n_features)]
        if len(names) != n_features:
            raise KovaError(f"feature_names has {len(names)} names for {n_features} features")
        if len(set(names)) != n_features:
            raise KovaError(f"feature_names must be distinct, got {names}")
        return names

    def _resolve_types(self, names):
        if self.feature_types is None:
            return ["numerical"] * len(names)
        if isinstance(self.feature_types, Mapping):
            missing = [name for name in names if name not in self.feature_types]
            if missing:
                raise KovaError(f"feature_types has no type for the features {missing}")
            kinds = [self.feature_types[name] for name in names]
        else:
            kinds = list(self.feature_types)
        if len(kinds) != len(names):
            raise KovaError(f"feature_types has {len(kinds)} types for {len(names)} features")
        unknown = sorted({str(kind) for kind in kinds if kind not in FEATURE_TYPES})
        if unknown:
            raise KovaError(f"feature_types must be 'numerical' or 'categorical', got {unknown}")
        return kinds


_SHARED_DOC = """
    Each feature is cut into at most ``max_bins`` bins (one of them for missing values when it has
    any): a feature with at most that many distinct values gets one bin per value, bounded halfway
    between neighbouring values; any other feature gets bins at its quantiles, weighted by
    ``sample_weight`` (placed on 65,536 rows drawn with ``random_state`` when there are more
    rows). Every round adds the depth-1 tree of largest gain
    over all features, with leaf values -sum(gradient) / (sum(Hessian) + ``reg_lambda``) scaled by
    ``learning_rate``; fitting stops early once no split improves the loss. A row of integer
    weight k counts as k copies of the row (weight 0 as none).

    Categorical features (``feature_types`` entry "categorical") are given as numeric codes, one
    distinct number per category (for instance ``pandas.factorize`` codes). Each code has its own
    bin, and a tree on such a feature sets one code apart from all the others, so the order of the
    codes does not matter. In the effect functions, the interval of a code reaches halfway to the
    neighbouring codes, so a code not seen in fitting counts as the nearest seen code.

    Missing values (NaN) have a bin of their own in every feature: each tree sends it to the leaf
    that lowers the loss most (a categorical tree may set it apart like a code); a feature with no
    missing value in fitting sends it to the leaf of larger training weight. Infinite inputs raise
    ValueError.

    Parameters
    ----------
    n_estimators : int
        Number of boosting rounds (depth-1 trees).
    learning_rate : float
        Shrinkage of every tree's leaf values, in (0, 1].
    max_bins : int
        Largest number of bins per feature, in [2, 65536], the missing bin included.
    min_samples_leaf : int
        Least training weight (rows, when unweighted) on each side of a split.
    reg_lambda : float
        L2 penalty on the leaf values (added to the leaf's Hessian sum), at least 0.
    subsample : float
        Share of the rows, drawn anew each round with ``random_state``, that chooses the split.
    feature_names : list of str, optional
        Feature names, one per column; by default the columns of a DataFrame or "X0", "X1", ...
    feature_types : list of str or dict, optional
        "numerical" or "categorical" per feature (a list in column order or a dict by name);
        by default every feature is numerical.
    random_state : int, numpy.random.RandomState or None
        Seed of the quantile rows and of the row subsamples.
    n_jobs : int or None
        Threads of the training kernel: None for one, -1 for all cores. The fitted model does not
        depend on it.

    Invalid settings raise ``KovaError`` naming the setting, its value and what is allowed.
"""


class XGB1Regressor(RegressorMixin, _XGB1Base):
    __doc__ = "Gradient boosting of depth-1 trees for the squared error, on histogram bins.\n" + (
        _SHARED_DOC
    )

    def fit(self, X, y, sample_weight=None):
        """Fit the trees to the rows ``X`` (2-D, numeric, NaN for missing) and the targets ``y``."""
        self._check_settings()
        columns = getattr(X, "columns", None)
        X, y = check_X_y(
            X, y, dtype=np.float64, y_numeric=True, ensure_all_finite="allow-nan", estimator=self
        )
        return self._fit_margins(X, y, sample_weight, columns)

    def predict(self, X):
        """Intercept plus every feature's effect, for each row of ``X``."""
        return self._margins(X)


class XGB1Classifier(ClassifierMixin, _XGB1Base):
    __doc__ = (
        "Gradient boosting of depth-1 trees for the binary logistic loss, on histogram bins.\n\n"
        "    The model is additive in log-odds: ``decision_function`` is the intercept plus every\n"
        "    feature's effect, the log-odds of ``classes_[1]``.\n" + _SHARED_DOC
    )

    _loss = "logistic"

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_class = False
        return tags

    def fit(self, X, y, sample_weight=None):
        """Fit the trees to the rows ``X`` (2-D, numeric, NaN for missing) and two-class ``y``."""
        self._check_settings()
        columns = getattr(X, "columns", None)
        X, y = check_X_y(X, y, dtype=np.float64, ensure_all_finite="allow-nan", estimator=self)
        check_classification_targets(y)
        kind = type_of_target(y, input_name="y")
        self.classes_ = np.unique(y)
        if kind != "binary" or len(self.classes_) != 2:
            raise ValueError(
                "Only binary classification is supported. The type of the target is "
                f"{kind} with {len(self.classes_)} class(es); two classes are needed."
            )
        return self._fit_margins(
            X, (y == self.classes_[1]).astype(np.float64), sample_weight, columns
        )

    def _base_score(self, y, weight):
        share = float(np.average(y, weights=weight))
        if not 0.0 < share < 1.0:
            raise ValueError("the rows of positive sample_weight hold only one class")
        return float(np.log(share / (1.0 - share)))

    def decision_function(self, X):
        """Log-odds of ``classes_[1]``: intercept plus every feature's effect, for each row."""
        return self._margins(X)

    def predict_proba(self, X):
        """Probabilities of ``classes_[0]`` and ``classes_[1]``, one row per row of ``X``."""
        positive = 1.0 / (1.0 + np.exp(-self.decision_function(X)))
        return np.column_stack([1.0 - positive, positive])

    def predict(self, X):
        """The class of each row: ``classes_[1]`` where the log-odds are positive."""
        positive = self.decision_function(X) > 0
        return self.classes_[positive.astype(np.intp)]


def _checked_weights(sample_weight, X):
    if sample_weight is None:
        return np.ones(X.shape[0])
    weight = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
    if not (weight > 0).any():
        raise ValueError("sample_weight must not be all zero")
    return weight


def _threads(n_jobs):
    if n_jobs is None:
        return 1
    if n_jobs == -1:
        return os.cpu_count() or 1
    return int(n_jobs)


class XGB1Interpreter:
    """Per-feature effect functions of a fitted ``XGB1Regressor`` or ``XGB1Classifier``.

    After ``global_interpret``, ``effects_["1D"][name]`` holds the effect function of every feature
    the trees split on, as {"values": k effect values, "splits": k + 1 increasing bounds}: value i
    applies on [splits[i], splits[i + 1]), the last interval closed above. Neighbouring bins of
    equal effect form one interval. The bounds increase strictly, except that the last interval
    is the single value [max, max] when the largest value is itself a quantile bound. A feature
    whose interpreted rows include missing values also has "missing": the effect of NaN (and a
    feature with no present value there has no intervals). A feature no tree splits on has no
    entry (its effect is 0). For every row inside the bounds, the model's prediction (the
    classifier's decision function, in log-odds) equals ``intercept_`` plus the effect value of
    the row's interval, or of "missing", of each feature.
    """

    def __init__(self, model):
        self.model = model
        self.intercept_ = model.intercept_

    def global_interpret(self, X=None, y=None):
        """Compute ``effects_`` over the value range of ``X`` (by default the training rows).

        The outer bounds of each feature are the smallest and largest present value of ``X``.
        ``y`` is accepted for the interpreter interface of the toolbox; the effects do not depend
        on it. Returns ``effects_``.
        """
        model = self.model
        if X is None:
            lows, highs = model.feature_range_
            missing = model.missing_seen_
        else:
            X = model._check_rows(X)
            lows, highs = np.fmin.reduce(X, axis=0), np.fmax.reduce(X, axis=0)
            missing = np.isnan(X).any(axis=0)
        effects = {}
        for j, name in enumerate(model.feature_names_):
            table = model.tables_[j]
            if not table.any():
                continue
            effect = _intervals(model.thresholds_[j], table[:-1], lows[j], highs[j])
            if missing[j]:
                effect["missing"] = table[-1]
            effects[name] = effect
        self.effects_ = {"1D": effects}
        return self.effects_


def _intervals(thresholds, table, low, high):
    """The effect function on [low, high]: runs of equal table values over the bins met there."""
    if np.isnan(low):  # no present value
        return {"values": table[:0], "splits": thresholds[:0]}
    first, last = np.searchsorted(thresholds, [low, high], side="right")
    met = table[first : last + 1]
    starts = np.flatnonzero(met[1:] != met[:-1]) + 1  # bins (relative to first) opening a run
    inner = thresholds[first + starts - 1]  # bin b begins at thresholds[b - 1]
    return {
        "values": met[np.r_[0, starts]],
        "splits": np.concatenate(([low], inner, [high])),
    }
