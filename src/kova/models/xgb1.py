"""Gradient-boosted depth-1 trees on histogram bins, and their per-feature effect functions.

A boosted model of depth-1 trees is additive: every tree looks at one feature, so the model is an
intercept plus one piecewise-constant function per feature. ``XGB1Regressor`` fits it in the
native kernels (``kova._kernels.fit_stumps``) and keeps each feature's function as a table over
its histogram bins; ``parse_model()`` hands out an interpreter that reads these functions as
intervals with one effect value each.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils.validation import check_array, check_is_fitted, check_random_state, check_X_y

from kova import _kernels

FEATURE_TYPES = ("numerical", "categorical")


class XGB1Regressor(RegressorMixin, BaseEstimator):
    """Gradient boosting of depth-1 trees for the squared error, on histogram bins.

    Each feature is cut into at most ``max_bins`` bins: a feature with at most that many distinct
    values gets one bin per value, bounded halfway between neighbouring values; any other feature
    gets bins at its quantiles (placed on 65,536 rows drawn with ``random_state`` when there are
    more rows). Every round adds the depth-1 tree of
    largest gain over all features, with leaf values -sum(gradient) / (rows + ``reg_lambda``)
    scaled by ``learning_rate``; fitting stops early once no split improves the loss.

    Categorical features (``feature_types`` entry "categorical") are given as numeric codes, one
    distinct number per category (for instance ``pandas.factorize`` codes). Each code has its own
    bin, and a tree on such a feature sets one code apart from all the others, so the order of the
    codes does not matter. In the effect functions, the interval of a code reaches halfway to the
    neighbouring codes, so a code not seen in fitting counts as the nearest seen code.

    Missing values are not supported: NaN or infinite inputs raise ValueError.

    Parameters
    ----------
    n_estimators : int
        Number of boosting rounds (depth-1 trees).
    learning_rate : float
        Shrinkage of every tree's leaf values, in (0, 1].
    max_bins : int
        Largest number of bins per feature, in [2, 65536].
    min_samples_leaf : int
        Fewest training rows on each side of a split.
    reg_lambda : float
        L2 penalty on the leaf values (added to the leaf's row count), at least 0.
    subsample : float
        Share of the rows, drawn anew each round with ``random_state``, that chooses the split.
    feature_names : list of str, optional
        Feature names, one per column; by default the columns of a DataFrame or "X0", "X1", ...
    feature_types : list of str or dict, optional
        "numerical" or "categorical" per feature (a list in column order or a dict by name);
        by default every feature is numerical.
    random_state : int, numpy.random.RandomState or None
        Seed of the quantile rows and of the row subsamples.
    """

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

    def fit(self, X, y):
        """Fit the trees to the rows ``X`` (2-D, numeric, finite) and the targets ``y``."""
        self._check_settings()
        columns = getattr(X, "columns", None)
        X, y = check_X_y(X, y, dtype=np.float64, y_numeric=True, estimator=self)
        self.n_features_in_ = X.shape[1]
        self.feature_names_ = self._resolve_names(columns, X.shape[1])
        self.feature_types_ = self._resolve_types(self.feature_names_)
        categorical = [kind == "categorical" for kind in self.feature_types_]
        seed = int(check_random_state(self.random_state).randint(np.iinfo(np.int32).max))
        self.thresholds_ = _kernels.stump_thresholds(X, categorical, self.max_bins, seed)
        bins = _kernels.bin_columns(X, self.thresholds_)
        self.intercept_ = float(np.mean(y))
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
        )
        self.feature_range_ = (X.min(axis=0), X.max(axis=0))
        return self

    def predict(self, X):
        """Intercept plus every feature's effect, for each row of ``X``."""
        X = self._check_rows(X)
        return _kernels.predict_stumps(X, self.thresholds_, self.tables_, self.intercept_)

    def parse_model(self):
        """The interpreter of the fitted model's per-feature effect functions."""
        check_is_fitted(self, "tables_")
        return XGB1Interpreter(self)

    def _check_rows(self, X):
        check_is_fitted(self, "tables_")
        X = check_array(X, dtype=np.float64, estimator=self)
        if X.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {X.shape[1]} features, but {type(self).__name__} is expecting "
                f"{self.n_features_in_} features as input"
            )
        return X

    def _check_settings(self):
        integer = "an integer"
        checks = [
            ("n_estimators", _is_int(self.n_estimators, 1), f"{integer} >= 1"),
            ("learning_rate", 0 < self.learning_rate <= 1, "in (0, 1]"),
            ("max_bins", _is_int(self.max_bins, 2, 65536), f"{integer} in [2, 65536]"),
            ("min_samples_leaf", _is_int(self.min_samples_leaf, 1), f"{integer} >= 1"),
            ("reg_lambda", self.reg_lambda >= 0, ">= 0"),
            ("subsample", 0 < self.subsample <= 1, "in (0, 1]"),
        ]
        for name, valid, expected in checks:
            if not valid:
                raise ValueError(f"{name} must be {expected}, got {getattr(self, name)!r}")

    def _resolve_names(self, columns, n_features):
        if self.feature_names is not None:
            names = [str(name) for name in self.feature_names]
        elif columns is not None:
            names = [str(name) for name in columns]
        else:
            names = [f"X{j}" for j in range(n_features)]
        if len(names) != n_features:
            raise ValueError(f"feature_names has {len(names)} names for {n_features} features")
        if len(set(names)) != n_features:
            raise ValueError("feature_names must be distinct")
        return names

    def _resolve_types(self, names):
        if self.feature_types is None:
            return ["numerical"] * len(names)
        if isinstance(self.feature_types, Mapping):
            missing = [name for name in names if name not in self.feature_types]
            if missing:
                raise ValueError(f"feature_types has no type for the features {missing}")
            kinds = [self.feature_types[name] for name in names]
        else:
            kinds = list(self.feature_types)
        if len(kinds) != len(names):
            raise ValueError(f"feature_types has {len(kinds)} types for {len(names)} features")
        unknown = sorted({str(kind) for kind in kinds if kind not in FEATURE_TYPES})
        if unknown:
            raise ValueError(f"feature_types must be 'numerical' or 'categorical', got {unknown}")
        return kinds


class XGB1Interpreter:
    """Per-feature effect functions of a fitted ``XGB1Regressor``.

    After ``global_interpret``, ``effects_["1D"][name]`` holds the effect function of every feature
    the trees split on, as {"values": k effect values, "splits": k + 1 increasing bounds}: value i
    applies on [splits[i], splits[i + 1]), the last interval closed above. Neighbouring bins of
    equal effect form one interval. The bounds increase strictly, except that the last interval
    is the single value [max, max] when the largest value is itself a quantile bound. A feature
    no tree splits on has no entry (its effect is 0). For every row inside the bounds, the
    model's prediction equals ``intercept_`` plus the effect value of the row's interval of each
    feature.
    """

    def __init__(self, model):
        self.model = model
        self.intercept_ = model.intercept_

    def global_interpret(self, X=None, y=None):
        """Compute ``effects_`` over the value range of ``X`` (by default the training rows).

        The outer bounds of each feature are the smallest and largest value of ``X``. ``y`` is
        accepted for the interpreter interface of the toolbox; the effects do not depend on it.
        Returns ``effects_``.
        """
        if X is None:
            lows, highs = self.model.feature_range_
        else:
            X = self.model._check_rows(X)
            lows, highs = X.min(axis=0), X.max(axis=0)
        model = self.model
        effects = {}
        for j, name in enumerate(model.feature_names_):
            table = model.tables_[j]
            if table.any():
                effects[name] = _intervals(model.thresholds_[j], table, lows[j], highs[j])
        self.effects_ = {"1D": effects}
        return self.effects_


def _intervals(thresholds, table, low, high):
    """The effect function on [low, high]: runs of equal table values over the bins met there."""
    first, last = np.searchsorted(thresholds, [low, high], side="right")
    met = table[first : last + 1]
    starts = np.flatnonzero(met[1:] != met[:-1]) + 1  # bins (relative to first) opening a run
    inner = thresholds[first + starts - 1]  # bin b begins at thresholds[b - 1]
    return {
        "values": met[np.r_[0, starts]],
        "splits": np.concatenate(([low], inner, [high])),
    }


def _is_int(value, low, high=None):
    return (
        isinstance(value, (int, np.integer))
        and not isinstance(value, bool)
        and value >= low
        and (high is None or value <= high)
    )
