"""Outlier-detection methods of the data-quality service.

Every method turns the chosen features into numbers with ``FeatureEncoder``, fits a
scikit-learn estimator on them and scores samples so that a higher score means more
outlying. The scores of the training rows are kept: a threshold t in [0, 1] flags the
samples scoring above the t-quantile of those training scores.
"""

import copy
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd
from sklearn.decomposition import PCA
from sklearn.ensemble import IsolationForest
from sklearn.mixture import GaussianMixture
from sklearn.neighbors import LocalOutlierFactor

from kova.exceptions import KovaError

__all__ = [
    "MAX_ONE_HOT_LEVELS",
    "BICGaussianMixture",
    "FeatureEncoder",
    "OutlierDetector",
    "PCAReconstruction",
]

# Categorical features with at most this many levels are one-hot encoded; features with more
# (codes, identifiers, free text) are encoded by the share of each level instead, so that
# they add one column rather than hundreds.
MAX_ONE_HOT_LEVELS = 12


class FeatureEncoder:
    """Numbers from a table's features, learnt on the training rows.

    Numerical features: missing and infinite values become the training median, then the
    values are standardised (a constant feature is only centred). Categorical features: one
    0/1 column per level for few levels, else the training share of the row's level (0 for a
    level the training rows lack). Missing categories count as a level of their own.
    """

    def __init__(self, features: Sequence[str], kinds: dict[str, str]) -> None:
        self.features = list(features)
        self.kinds = {name: kinds[name] for name in self.features}

    def fit(self, frame: pd.DataFrame) -> "FeatureEncoder":
        self.numeric_: dict[str, tuple[float, float, float]] = {}
        self.levels_: dict[str, list[str]] = {}
        self.shares_: dict[str, pd.Series] = {}
        for name in self.features:
            if self.kinds[name] == "numerical":
                self.numeric_[name] = self._numeric_moments(_as_numbers(frame[name]))
                continue
            counts = _as_levels(frame[name]).value_counts(normalize=True)
            if len(counts) <= MAX_ONE_HOT_LEVELS:
                self.levels_[name] = list(counts.index)
            else:
                self.shares_[name] = counts
        return self

    @staticmethod
    def _numeric_moments(values: pd.Series) -> tuple[float, float, float]:
        median = values.median()
        median = 0.0 if pd.isna(median) else float(median)
        filled = values.fillna(median)
        # moments in units of the largest magnitude: sums of values near the float limits
        # would overflow to infinity (and the standardised values to NaN)
        unit = float(filled.abs().max()) if len(filled) else 0.0
        unit = unit if unit > 0 else 1.0
        scale = float((filled / unit).std(ddof=0)) * unit
        return median, float((filled / unit).mean()) * unit, scale if scale > 0 else 1.0

    def transform(self, frame: pd.DataFrame) -> np.ndarray:
        columns = []
        for name in self.features:
            if name in self.numeric_:
                median, mean, scale = self.numeric_[name]
                values = _as_numbers(frame[name]).fillna(median).to_numpy(float)
                # halved first: the difference of two values near the float limits overflows
                columns.append(((values / 2 - mean / 2) / (scale / 2))[:, None])
            elif name in self.levels_:
                levels = _as_levels(frame[name]).to_numpy()
                columns.append(np.stack([levels == lv for lv in self.levels_[name]], 1))
            else:
                shares = _as_levels(frame[name]).map(self.shares_[name]).fillna(0.0)
                columns.append(shares.to_numpy(float)[:, None])
        if not columns:
            return np.empty((len(frame), 0))
        return np.concatenate(columns, axis=1).astype(float)


def _as_numbers(column: pd.Series) -> pd.Series:
    # Numerical text columns ("12", "3.5") are numbers stored as text; an infinite value says
    # no more about a sample than a missing one, and the estimators take finite numbers only.
    numbers = pd.to_numeric(column, errors="coerce").astype(float)
    return numbers.mask(np.isinf(numbers))


def _as_levels(column: pd.Series) -> pd.Series:
    return column.astype(object).where(column.notna(), "<missing>").astype(str)


class PCAReconstruction:
    """Outlier scores from the error of reconstructing a sample from its principal components.

    ``n_components`` is passed to ``sklearn.decomposition.PCA``: a count of components, or a
    share of the variance in (0, 1) to keep. ``score_samples`` returns the negated squared
    error, so that, as for scikit-learn's detectors, lower means more outlying.
    """

    def __init__(self, n_components: float | int = 0.9) -> None:
        self.n_components = n_components

    def fit(self, x: np.ndarray) -> "PCAReconstruction":
        self.pca_ = PCA(n_components=self.n_components).fit(x)
        return self

    def score_samples(self, x: np.ndarray) -> np.ndarray:
        rebuilt = self.pca_.inverse_transform(self.pca_.transform(x))
        return -np.square(x - rebuilt).sum(axis=1)


class BICGaussianMixture:
    """Outlier scores from the density of a Gaussian mixture whose size is chosen by BIC.

    Mixtures of 1 to ``max_components`` components (no more than there are training rows)
    are fitted, and the one with the lowest Bayesian information criterion is kept: a fixed
    number of components overfits small data sets, where each outlier group can win a
    component of its own. ``score_samples`` returns the log density (lower is more
    outlying), as scikit-learn's ``GaussianMixture`` does.
    """

    def __init__(
        self, max_components: int = 5, covariance_type: str = "full", random_state: Any = None
    ) -> None:
        self.max_components = max_components
        self.covariance_type = covariance_type
        self.random_state = random_state

    def fit(self, x: np.ndarray) -> "BICGaussianMixture":
        if int(self.max_components) < 1:
            raise KovaError(f"max_components must be at least 1, got {self.max_components!r}.")
        candidates = (
            GaussianMixture(
                n_components=count,
                covariance_type=self.covariance_type,
                random_state=self.random_state,
            ).fit(x)
            for count in range(1, min(int(self.max_components), len(x)) + 1)
        )
        self.mixture_ = min(candidates, key=lambda mixture: mixture.bic(x))
        return self

    def score_samples(self, x: np.ndarray) -> np.ndarray:
        return self.mixture_.score_samples(x)


# Method key -> (display name, estimator class). The order is the dashboard's list order.
METHODS = {
    "isolation_forest": ("Isolation Forest", IsolationForest),
    "pca": ("PCA Reconstruction", PCAReconstruction),
    "gaussian_mixture": ("Gaussian Mixture", BICGaussianMixture),
    "local_outlier_factor": ("Local Outlier Factor", LocalOutlierFactor),
}

COVARIANCE_TYPES = ("full", "tied", "diag", "spherical")  # of the Gaussian mixture
DISTANCES = ("minkowski", "euclidean", "manhattan", "chebyshev")  # of the local outlier factor


def parameter_entries(random_state: Any) -> dict[str, dict[str, list]]:
    """The settings of every method: parameter key -> [label, default, widget key, choices].

    Choices are a list (a drop-down, a fresh one each call) or a (low, high, step) tuple (a
    slider). A widget key of "" marks a fixed setting (shown, not editable). "features" is a
    comma-separated list of feature names; empty means every feature.
    """
    features = ["Features (empty: all)", "", "features"]
    seed = ["Random seed", random_state, ""]
    return {
        "isolation_forest": {
            "n_estimators": ["Number of trees", 100, "n_estimators", (10, 2000, 10)],
            "max_samples": ["Samples per tree", "auto", "max_samples"],
            "max_features": ["Share of features per tree", 1.0, "max_features", (0.05, 1.0, 0.05)],
            "random_state": seed,
            "features": features,
        },
        "pca": {
            "n_components": ["Explained variance kept", 0.9, "n_components", (0.05, 0.99, 0.01)],
            "features": features,
        },
        "gaussian_mixture": {
            "max_components": ["Most clusters (BIC picks)", 5, "max_components", (1, 50, 1)],
            "covariance_type": [
                "Covariance type",
                "full",
                "covariance_type",
                list(COVARIANCE_TYPES),
            ],
            "random_state": seed,
            "features": features,
        },
        "local_outlier_factor": {
            "n_neighbors": ["Number of neighbours", 20, "n_neighbors", (2, 500, 1)],
            "metric": ["Distance", "minkowski", "metric", list(DISTANCES)],
            "novelty": ["Scores new samples", True, ""],
            "features": features,
        },
    }


class OutlierDetector:
    """One outlier-detection method with its settings, ready to be trained on a table.

    Parameters
    ----------
    key : str
        The method key (a key of ``METHODS``).
    params : dict
        The estimator's settings; "features" (a list of names, or ``None`` for all) picks
        the features.
    feature_names, kinds :
        The data set's features and their kinds ("numerical" / "categorical").
    """

    def __init__(
        self, key: str, params: dict, feature_names: Sequence[str], kinds: dict[str, str]
    ) -> None:
        settings = dict(params)
        chosen = settings.pop("features", None)
        self.key = key
        self.features = list(feature_names) if not chosen else list(chosen)
        unknown = [name for name in self.features if name not in feature_names]
        if unknown:
            raise KovaError(f"Unknown features for {METHODS[key][0]}: {unknown}.")
        self.estimator = METHODS[key][1](**settings)
        self.kinds = kinds
        # Set on the trained copy that fit returns.
        self.encoder_: FeatureEncoder
        self.train_scores_: np.ndarray

    def fit(self, frame: pd.DataFrame) -> "OutlierDetector":
        """Train a copy of the method on ``frame``; return the trained copy."""
        if len(frame) < 2:
            raise KovaError(f"{METHODS[self.key][0]} needs at least 2 training rows.")
        trained = copy.deepcopy(self)
        trained.encoder_ = FeatureEncoder(self.features, self.kinds).fit(frame)
        x = trained.encoder_.transform(frame)
        trained.estimator.fit(x)
        factor = getattr(trained.estimator, "negative_outlier_factor_", None)
        # Local outlier factors of the training rows leave each row out of its own
        # neighbourhood; scoring them as new samples would not.
        raw = factor if factor is not None else trained.estimator.score_samples(x)
        trained.train_scores_ = -np.asarray(raw, dtype=float)
        return trained

    def score_samples(self, frame: pd.DataFrame) -> np.ndarray:
        """Outlier scores of the rows of ``frame`` (higher is more outlying)."""
        x = self.encoder_.transform(frame)
        return -np.asarray(self.estimator.score_samples(x), dtype=float)

    def cutoff(self, threshold: float) -> float:
        """The score above which a sample is an outlier: a quantile of the training scores."""
        return float(np.quantile(self.train_scores_, threshold))
