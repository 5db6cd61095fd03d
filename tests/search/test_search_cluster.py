"""Searches run on a two-worker Dask cluster give the results of the same search run locally."""

import numpy as np
import pandas as pd
import pytest
from joblib import parallel_backend
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.exceptions import FitFailedWarning
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from kova.models.morbeck import KovaGridSearchCV, KovaRandomizedSearchCV

distributed = pytest.importorskip("distributed", reason="the distributed extra is not installed")


@pytest.fixture(scope="module")
def regression():
    X, y = load_diabetes(return_X_y=True, as_frame=True)
    return X, y


@pytest.fixture(scope="module")
def classification():
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    return X.iloc[:, :8], y


def fit_on_cluster(client, search, X, y, scatter=None):
    """Fit inside the dask backend and check that the workers ran the candidates."""
    backend = parallel_backend("dask", scatter=scatter)
    with distributed.get_task_stream(client) as stream, backend:
        search.fit(X, y)
    workers = {task["worker"] for task in stream.data}
    assert workers
    assert workers <= set(client.scheduler_info()["workers"])
    return search


def fit_locally_and_on_cluster(client, make_search, X, y):
    """The same search fitted sequentially and on the cluster; the cluster reuses the split."""
    local = make_search(n_jobs=None).fit(X, y)
    return local, fit_on_cluster(client, make_search(n_jobs=-1, cv=local.cv), X, y)


def assert_same_results(local, remote):
    """Scores, ranks and parameters of every candidate agree; fit times may differ."""
    assert local.cv_results_.keys() == remote.cv_results_.keys()
    for key, values in local.cv_results_.items():
        if key.endswith("_time"):
            continue
        if key == "params":
            assert values == remote.cv_results_[key]
        else:
            np.testing.assert_array_equal(np.asarray(values), np.asarray(remote.cv_results_[key]))
    timeless = ["time"]
    pd.testing.assert_frame_equal(
        local.get_result().drop(columns=timeless), remote.get_result().drop(columns=timeless)
    )
    for rank in local.get_result().iloc[:, 0].unique():
        assert local.get_params_ranks(rank) == remote.get_params_ranks(rank)


SEARCHES = {
    "grid": lambda **kw: KovaGridSearchCV(
        DecisionTreeRegressor(random_state=0),
        {"max_depth": [2, 4, 8], "min_samples_leaf": [1, 10]},
        scoring=["R2", "MAE"],
        **kw,
    ),
    "randomized": lambda **kw: KovaRandomizedSearchCV(
        DecisionTreeRegressor(random_state=0),
        {"max_depth": list(range(1, 12)), "min_samples_leaf": [1, 5, 20, 50]},
        n_iter=6,
        random_state=3,
        scoring="MSE",
        **kw,
    ),
}


@pytest.mark.parametrize("kind", list(SEARCHES))
def test_cluster_search_equals_the_sequential_search(client, regression, kind):
    local, remote = fit_locally_and_on_cluster(client, SEARCHES[kind], *regression)
    assert len(local.cv) == 1  # the hold-out split drawn by the local fit
    assert_same_results(local, remote)


def test_caller_cv_and_default_auc_of_a_classifier(client, classification):
    def make_search(**kw):
        grid = {"max_depth": [1, 3, 5], "criterion": ["gini", "entropy"]}
        return KovaGridSearchCV(DecisionTreeClassifier(random_state=0), grid, **kw)

    X, y = classification
    local = make_search(cv=3).fit(X, y)
    remote = fit_on_cluster(client, make_search(cv=3, n_jobs=-1), X, y, scatter=[X])
    assert list(local.scoring) == ["AUC"]
    assert "split2_test_AUC" in remote.cv_results_
    assert_same_results(local, remote)


class FailingClassifier(ClassifierMixin, BaseEstimator):
    """Fails to fit when `depth` is 0; otherwise predicts the training majority class."""

    def __init__(self, depth=1):
        self.depth = depth

    def fit(self, X, y):
        if self.depth == 0:
            raise ValueError("depth 0 cannot be fitted")
        self.classes_, counts = np.unique(y, return_counts=True)
        self.majority_ = self.classes_[np.argmax(counts)]
        return self

    def predict(self, X):
        return np.full(len(X), self.majority_)


def fail_search(**kw):
    return KovaGridSearchCV(FailingClassifier(), {"depth": [0, 1]}, scoring="ACC", **kw)


def test_failing_fit_on_a_worker_scores_the_error_score(client, classification):
    X, y = classification
    with pytest.warns(FitFailedWarning, match="depth 0 cannot be fitted"):
        local = fail_search(error_score=-1.0).fit(X, y)
    with pytest.warns(FitFailedWarning, match="depth 0 cannot be fitted"):
        remote = fit_on_cluster(client, fail_search(error_score=-1.0, cv=local.cv, n_jobs=-1), X, y)
    assert next(iter(remote.cv_results_["mean_test_ACC"])) == -1.0
    assert_same_results(local, remote)


def test_failing_fit_on_a_worker_raises_with_error_score_raise(client, classification):
    X, y = classification
    search = fail_search(error_score="raise", n_jobs=-1)
    with parallel_backend("dask"), pytest.raises(ValueError, match="depth 0 cannot be fitted"):
        search.fit(X, y)
