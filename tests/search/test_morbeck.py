"""KovaGridSearchCV / KovaRandomizedSearchCV: set-up, scoring, hold-out split, results, plot."""

import importlib
import inspect
import pickle
import sys

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.colors import same_color
from sklearn.base import BaseEstimator, RegressorMixin, clone
from sklearn.cluster import KMeans
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import roc_auc_score
from sklearn.model_selection import GridSearchCV, RandomizedSearchCV
from sklearn.neighbors import KNeighborsClassifier
from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

from kova.config.other_configs import METRICS
from kova.exceptions import KovaError
from kova.models import morbeck
from kova.models.morbeck import KovaGridSearchCV, KovaRandomizedSearchCV

SEARCHES = [
    pytest.param(KovaGridSearchCV, id="grid"),
    pytest.param(KovaRandomizedSearchCV, id="randomized"),
]


def make_search(cls, estimator=None, grid=None, **kw):
    """A search of either class over `grid` (all candidates also for the randomized one)."""
    estimator = estimator if estimator is not None else DecisionTreeClassifier(random_state=0)
    grid = grid if grid is not None else {"max_depth": [1, 2, 3]}
    if cls is KovaRandomizedSearchCV:
        kw.setdefault("n_iter", int(np.prod([len(v) for v in grid.values()])))
    return cls(estimator, grid, **kw)


@pytest.fixture
def classification():
    rng = np.random.RandomState(0)
    X = rng.normal(size=(60, 3))
    y = (X[:, 0] + 0.5 * rng.normal(size=60) > 0).astype(int)
    return X, y


class RecordingRegressor(RegressorMixin, BaseEstimator):
    """Predicts a constant and records, per fit, the sample_weight it got ("absent" if none)."""

    calls: list = []

    def __init__(self, offset=0.0):
        self.offset = offset

    def fit(self, X, y, **kw):
        RecordingRegressor.calls.append((len(X), kw.get("sample_weight", "absent")))
        self.mean_ = float(np.mean(y)) + self.offset
        return self

    def predict(self, X):
        return np.full(len(X), self.mean_)


# ------------------------------------------------------------------------ module set-up


def test_is_an_extension_module_binding_only_its_names():
    import matplotlib.lines
    import seaborn
    import sklearn.metrics
    import sklearn.model_selection

    from kova import exceptions

    assert not importlib.util.find_spec("kova.models.morbeck").origin.endswith(".py")
    expected = {
        "pd": pd,
        "np": np,
        "sns": seaborn,
        "plt": plt,
        "Line2D": matplotlib.lines.Line2D,
        "is_regressor": morbeck.is_regressor,
        "roc_auc_score": sklearn.metrics.roc_auc_score,
        "r2_score": sklearn.metrics.r2_score,
        "make_scorer": sklearn.metrics.make_scorer,
        "GridSearchCV": GridSearchCV,
        "RandomizedSearchCV": RandomizedSearchCV,
        "train_test_split": sklearn.model_selection.train_test_split,
        "KovaWarning": exceptions.KovaWarning,
        "KovaInfo": exceptions.KovaInfo,
        "KovaError": KovaError,
        "METRICS": METRICS,
        "KovaGridSearchCV": KovaGridSearchCV,
        "KovaRandomizedSearchCV": KovaRandomizedSearchCV,
    }
    public = {n: v for n, v in vars(morbeck).items() if not n.startswith("__")}
    assert public.keys() == expected.keys()
    assert all(public[n] is v for n, v in expected.items())
    assert morbeck.__test__ == {}


@pytest.mark.parametrize(
    "cls, base, signature",
    [
        (
            KovaGridSearchCV,
            GridSearchCV,
            "(self, estimator, param_grid, scoring=None, n_jobs=None, refit=False, cv=None, "
            "test_ratio=0.2, verbose=0, pre_dispatch='2*n_jobs', error_score=nan, "
            "return_train_score=False)",
        ),
        (
            KovaRandomizedSearchCV,
            RandomizedSearchCV,
            "(self, estimator, param_distributions, n_iter=10, scoring=None, n_jobs=None, "
            "refit=False, cv=None, test_ratio=0.2, verbose=0, pre_dispatch='2*n_jobs', "
            "random_state=None, error_score=nan, return_train_score=False)",
        ),
    ],
)
def test_classes_derive_from_the_bases_with_the_documented_members(cls, base, signature):
    assert cls.__bases__ == (base,)
    assert str(inspect.signature(cls.__init__)) == signature
    assert inspect.signature(cls.__init__).parameters["error_score"].default is np.nan
    own = [
        n
        for n in vars(cls)
        if n in {"__init__", "fit", "get_result", "get_params_ranks", "plot", "data"}
    ]
    assert own == ["__init__", "fit", "get_result", "get_params_ranks", "plot", "data"]
    assert isinstance(vars(cls)["data"], property)


def test_positional_arguments_follow_the_table_and_reach_the_base():
    est = DecisionTreeClassifier()
    nan = np.nan
    s = KovaRandomizedSearchCV(
        est, {"max_depth": [1]}, 3, "ACC", 2, True, 4, 0.3, 1, "n_jobs", 7, nan, True
    )
    assert s.get_params(deep=False) == {
        "estimator": est, "param_distributions": {"max_depth": [1]}, "n_iter": 3,
        "scoring": {"ACC": METRICS["ACC"]}, "n_jobs": 2, "refit": True, "cv": 4,
        "test_ratio": 0.3, "verbose": 1, "pre_dispatch": "n_jobs", "random_state": 7,
        "error_score": nan, "return_train_score": True,
    }  # fmt: skip


@pytest.mark.parametrize(
    "cls, names",
    [
        (KovaGridSearchCV, ["estimator", "param_grid"]),
        (KovaRandomizedSearchCV, ["estimator", "param_distributions", "n_iter"]),
    ],
)
def test_base_constructor_gets_keywords_only(cls, names, monkeypatch):
    calls = []
    monkeypatch.setattr(cls.__bases__[0], "__init__", lambda self, *a, **k: calls.append((a, k)))
    make_search(cls)
    names += ["scoring", "n_jobs", "refit", "cv", "verbose", "pre_dispatch"]
    names += ["random_state"] * (cls is KovaRandomizedSearchCV)
    ((args, keywords),) = calls
    assert args == () and list(keywords) == names + ["error_score", "return_train_score"]


# ---------------------------------------------------------------------------- scoring


@pytest.mark.parametrize("cls", SEARCHES)
@pytest.mark.parametrize(
    "scoring, keys",
    [
        ("ACC", ["ACC"]),
        (["F1", "ACC", "F1", "LogLoss"], ["F1", "ACC", "LogLoss"]),
        (type("Names", (list,), {})(["AUC", "ACC"]), ["AUC", "ACC"]),
    ],
)
def test_metric_names_become_a_dictionary_in_order(cls, scoring, keys):
    s = make_search(cls, scoring=scoring)
    assert type(s.scoring) is dict and list(s.scoring) == keys
    assert all(s.scoring[k] is METRICS[k] for k in keys)


@pytest.mark.parametrize("cls", SEARCHES)
@pytest.mark.parametrize("scoring", [("ACC", "AUC"), {"mine": METRICS["ACC"]}, len])
def test_other_scoring_values_pass_unchanged(cls, scoring):
    assert make_search(cls, scoring=scoring).scoring is scoring


@pytest.mark.parametrize("cls", SEARCHES)
@pytest.mark.parametrize("scoring", ["accuracy", ["ACC", "accuracy"], ["nope"]])
def test_unknown_metric_is_refused_before_the_base_runs(cls, scoring, monkeypatch):
    monkeypatch.setattr(cls.__bases__[0], "__init__", pytest.fail)
    with pytest.raises(KovaError) as info:
        make_search(cls, scoring=scoring)
    assert str(info.value) == "Not supported metric"


def test_collaborators_are_module_globals_read_at_call_time(monkeypatch, classification):
    monkeypatch.setattr(morbeck, "is_regressor", lambda estimator: True)
    monkeypatch.setattr(morbeck, "r2_score", "r2")
    monkeypatch.setattr(morbeck, "make_scorer", lambda *a, **k: ("made", a, k))
    tree = DecisionTreeClassifier()
    assert KovaGridSearchCV(tree, {}).scoring == {"R2": ("made", ("r2",), {})}
    monkeypatch.setattr(morbeck, "METRICS", {"Mine": METRICS["ACC"]})
    split = (np.arange(10, 60), np.arange(10))
    monkeypatch.setattr(morbeck, "train_test_split", lambda indices, test_size: split)
    s = KovaGridSearchCV(tree, {"max_depth": [1]}, scoring="Mine").fit(*classification)
    assert s.scoring == {"Mine": METRICS["ACC"]} and s.cv == [split]


def test_default_scoring_is_r2_for_regressors():
    s = KovaGridSearchCV(DecisionTreeRegressor(), {"max_depth": [1]})
    (name, scorer), = s.scoring.items()  # fmt: skip
    assert name == "R2" and scorer._sign == 1
    y = np.array([1.0, 2.0, 4.0])
    assert scorer(RecordingRegressor().fit(y[:, None], y), y[:, None], y) == 0.0


def test_default_auc_ranks_probabilities_not_labels():
    X = np.arange(8.0)[:, None]
    y = np.array([0, 0, 0, 1, 0, 1, 1, 1])
    model = LogisticRegression().fit(X, y)
    X_test, y_test = np.array([[0.0], [1.0], [2.0], [3.0]]), np.array([0, 0, 0, 1])
    assert roc_auc_score(y_test, model.predict(X_test)) == 0.5  # all predicted 0
    ((name, scorer),) = KovaGridSearchCV(model, {"C": [1.0]}).scoring.items()
    assert name == "AUC" and scorer(model, X_test, y_test) == 1.0


# ------------------------------------------------------------------------------ split


@pytest.mark.parametrize("cls", SEARCHES)
def test_default_fit_draws_an_80_20_hold_out_split(cls, classification):
    X, y = classification
    X, y = np.vstack([X, X[:40]]), np.concatenate([y, y[:40]])
    s = make_search(cls)
    assert s.fit(X, y) is s
    ((train, test),) = s.cv
    assert (len(train), len(test)) == (80, 20)
    assert sorted(np.concatenate([train, test])) == list(range(100))
    assert s.n_splits_ == 1 and "split1_test_AUC" not in s.cv_results_


def test_integer_test_ratio_is_a_number_of_samples(classification):
    s = KovaGridSearchCV(DecisionTreeClassifier(), {"max_depth": [1]}, test_ratio=15)
    s.fit(*classification)
    assert s.test_ratio == 15 and [len(p) for p in s.cv[0]] == [45, 15]


def test_given_cv_makes_no_split(classification):
    s = KovaGridSearchCV(DecisionTreeClassifier(), {"max_depth": [1, 2]}, cv=5)
    s.fit(*classification)
    assert s.cv == 5 and s.n_splits_ == 5 and "split4_test_AUC" in s.cv_results_


def test_drawn_split_is_reused_for_the_same_length_and_redrawn_otherwise(classification):
    X, y = classification
    # the split comes from numpy's global state; the 8-row hold-outs must hold both classes
    np.random.seed(0)
    s = KovaGridSearchCV(DecisionTreeClassifier(), {"max_depth": [1]}).fit(X, y)
    first = s.cv
    s.fit(X[::-1], y[::-1])
    assert s.cv is first
    s.fit(X[:40], y[:40])
    ((train, test),) = s.cv
    assert s.cv is not first and sorted(np.concatenate([train, test])) == list(range(40))
    s.set_params(cv=None).fit(X[:40], y[:40])
    assert len(np.concatenate(s.cv[0])) == 40 and s.cv[0][0] is not train


def test_a_given_split_is_never_redrawn(classification):
    X, y = classification
    given = [(np.arange(0, 30), np.arange(30, 40))]
    s = KovaGridSearchCV(DecisionTreeClassifier(), {"max_depth": [1]}, cv=given)
    s.fit(X, y).fit(X[:50], y[:50])
    assert s.cv is given and s.cv[0][0] is given[0][0]


# -------------------------------------------------------------------- fit arguments


def test_estimator_without_sample_weight_fits(classification):
    s = KovaGridSearchCV(KNeighborsClassifier(), {"n_neighbors": [1, 3]}).fit(*classification)
    assert not np.isnan(s.cv_results_["mean_test_AUC"]).any()


def test_weights_reach_the_estimator_only_when_given(monkeypatch):
    monkeypatch.setattr(RecordingRegressor, "calls", [])
    X, y = np.arange(20.0)[:, None], np.arange(20.0)
    s = KovaGridSearchCV(RecordingRegressor(), {"offset": [0.0, 1.0]}, error_score="raise")
    s.fit(X, y)
    assert RecordingRegressor.calls == [(16, "absent")] * 2
    RecordingRegressor.calls.clear()
    s.fit(X, y, sample_weight=np.arange(20.0) * 10)
    train = s.cv[0][0]
    for n, weights in RecordingRegressor.calls:
        assert n == 16 and np.array_equal(weights, train * 10.0)


@pytest.mark.parametrize(
    "make_y",
    [
        lambda y: pd.Series(y, index=np.arange(100, 160)),
        lambda y: pd.DataFrame({"t": y}),
        lambda y: y.reshape(-1, 1),
        lambda y: pd.Series(np.where(y == 1, "yes", "no"), dtype="str"),
    ],
    ids=["series", "one-column-frame", "column-array", "text-series"],
)
def test_targets_are_flattened(make_y, classification):
    X, y = classification
    np.random.seed(0)  # the hold-out split is drawn from numpy's global state
    s = KovaGridSearchCV(DecisionTreeClassifier(random_state=0), {"max_depth": [2]})
    s.fit(pd.DataFrame(X), make_y(y))
    assert s.cv_results_["mean_test_AUC"][0] > 0.5


def test_estimators_without_target_fit_with_y_none(classification):
    inertia = {"Inertia": lambda est, X, y=None: est.score(X)}
    s = KovaGridSearchCV(KMeans(n_init=1, random_state=0), {"n_clusters": [2, 4]}, scoring=inertia)
    s.fit(classification[0])
    assert s.cv_results_["rank_test_Inertia"].tolist() == [2, 1]


# ------------------------------------------------------------- scikit-learn protocol


def test_get_params_set_params_and_repr():
    s = KovaGridSearchCV(DecisionTreeClassifier(), {"max_depth": [1]}, test_ratio=0.5)
    assert s.get_params()["test_ratio"] == 0.5 and "estimator__max_depth" in s.get_params()
    assert s.set_params(test_ratio=0.25, estimator__max_depth=3) is s
    assert s.test_ratio == 0.25 and s.estimator.max_depth == 3
    text = repr(s)
    assert "test_ratio=0.25" in text and "refit" not in text and "n_jobs" not in text


@pytest.mark.parametrize("cls", SEARCHES)
@pytest.mark.parametrize(
    ("scoring", "columns"), [("ACC", ["ACC"]), (["F1", "ACC"], ["F1", "ACC"]), (None, ["AUC"])]
)
def test_scoring_set_after_construction_is_resolved_by_name(cls, scoring, columns, classification):
    s = make_search(cls, scoring=["Recall"]).set_params(scoring=scoring).fit(*classification)
    assert list(s.get_result().columns[1:-1]) == columns
    assert f"mean_test_{columns[0]}" in s.cv_results_


@pytest.mark.parametrize("cls", SEARCHES)
def test_clone_is_an_equal_unfitted_search(cls, classification):
    s = make_search(cls, scoring=["ACC", "AUC"], test_ratio=15)
    twin = clone(s)
    assert type(twin) is cls and twin.test_ratio == 15 and list(twin.scoring) == ["ACC", "AUC"]
    s.fit(*classification)
    twin = clone(s)
    # The drawn split is a constructor parameter by now: the clone keeps it, as a fixed cv.
    assert not hasattr(twin, "cv_results_")
    assert all(np.array_equal(a, b) for a, b in zip(twin.cv[0], s.cv[0], strict=True))
    twin.fit(*classification)
    assert twin.get_result().index.tolist() == s.get_result().index.tolist()


def test_pickle_round_trip_of_a_fitted_search(classification):
    X, y = classification
    s = KovaGridSearchCV(DecisionTreeClassifier(random_state=0), {"max_depth": [1, 2]}).fit(X, y)
    loaded = pickle.loads(pickle.dumps(s))
    assert type(loaded) is KovaGridSearchCV
    pd.testing.assert_frame_equal(loaded.get_result(), s.get_result())
    loaded.fit(X[:30], y[:30])  # still known as a drawn split: redrawn for the new length
    assert len(np.concatenate(loaded.cv[0])) == 30


@pytest.mark.parametrize("cls", SEARCHES)
def test_parallel_workers(cls, classification):
    s = make_search(cls, scoring=["AUC", "ACC"], n_jobs=2).fit(*classification)
    serial = clone(s).set_params(n_jobs=None).fit(*classification)
    np.testing.assert_allclose(s.cv_results_["mean_test_AUC"], serial.cv_results_["mean_test_AUC"])


def test_random_state_reaches_only_the_sampling(classification):
    def sampled(seed):
        grid = {"max_depth": list(range(1, 30))}
        s = KovaRandomizedSearchCV(DecisionTreeClassifier(), grid, n_iter=4, random_state=seed)
        return [p["max_depth"] for p in s.fit(*classification).cv_results_["params"]]

    assert sampled(3) == sampled(3) != sampled(4)


# -------------------------------------------------------------------------- results


@pytest.fixture
def scored():
    """A search carrying hand-made results: MSE ranks first, R2 disagrees."""
    s = KovaGridSearchCV(DecisionTreeRegressor(), {"max_depth": [1, 2, 3]}, scoring=["MSE", "R2"])
    params = [{"max_depth": 1}, {"max_depth": 2}, {"max_depth": 3}]
    s.cv_results_ = {
        "params": params,
        "param_max_depth": np.ma.MaskedArray([1, 2, 3]),
        "rank_test_MSE": np.array([2, 1, 3]),
        "mean_test_MSE": np.array([-4.0, -1.0, -9.0]),
        "rank_test_R2": np.array([1, 3, 2]),
        "mean_test_R2": np.array([0.9, 0.1, 0.5]),
        "mean_fit_time": np.array([0.1, 0.2, 0.3]),
    }
    return s


def test_result_table_is_ranked_by_the_first_metric_with_losses_positive(scored):
    table = scored.get_result()
    assert list(table.columns) == ["Rank(by MSE)", "MSE", "R2", "time"]
    assert table.index.tolist() == [{"max_depth": 2}, {"max_depth": 1}, {"max_depth": 3}]
    assert table.to_numpy().tolist() == [[1, 1.0, 0.1, 0.2], [2, 4.0, 0.9, 0.1], [3, 9.0, 0.5, 0.3]]
    pd.testing.assert_frame_equal(scored.data, table)
    with pytest.raises(AttributeError):
        scored.data = table


def test_losses_are_negated_without_item_assignment_pandas_takes_for_chained(scored, monkeypatch):
    # pandas 2 warns on `frame[column] = ...` when few references to the frame exist, as when the
    # assignment comes from native code: the warning reached standard error in every report.
    assign = pd.DataFrame.__setitem__

    def refcounting_setitem(frame, key, value):
        if sys.getrefcount(frame) <= 3:
            raise AssertionError("item assignment pandas 2 takes for chained assignment")
        assign(frame, key, value)

    monkeypatch.setattr(pd.DataFrame, "__setitem__", refcounting_setitem)
    assert scored.get_result()["MSE"].tolist() == [1.0, 4.0, 9.0]


def test_default_regressor_table_has_three_columns():
    X = np.arange(40.0)[:, None]
    s = KovaGridSearchCV(DecisionTreeRegressor(), {"max_depth": [1, 3]}).fit(X, X.ravel())
    table = s.get_result()
    assert list(table.columns) == ["Rank(by R2)", "R2", "time"] and table.iloc[0, 0] == 1


@pytest.mark.parametrize("rank, expected", [(1, {"max_depth": 2}), (3.0, {"max_depth": 3})])
def test_params_of_a_rank(scored, rank, expected):
    assert scored.get_params_ranks(rank) == expected


def test_ties_keep_the_search_order(scored):
    # Eight candidates, four tied at rank 1 and four at rank 5 (scikit-learn's "min" ranking).
    params = [{"max_depth": d} for d in range(8)]
    scored.scoring = {"R2": METRICS["R2"]}
    scored.cv_results_ = {
        "params": params,
        "rank_test_R2": np.array([5, 1, 5, 1, 5, 1, 5, 1]),
        "mean_test_R2": np.array([0.1, 0.9] * 4),
        "mean_fit_time": np.zeros(8),
    }
    assert scored.get_result().index.tolist() == [params[i] for i in (1, 3, 5, 7, 0, 2, 4, 6)]
    assert scored.get_params_ranks(1) == params[1] and scored.get_params_ranks(5.0) == params[0]
    for rank in (0, 2, 4, 6, 1.5):
        with pytest.raises(KovaError) as info:
            scored.get_params_ranks(rank)
        assert str(info.value) == "Rank is out of range"


def test_results_need_a_fitted_search():
    with pytest.raises(AttributeError, match="cv_results_"):
        KovaGridSearchCV(DecisionTreeClassifier(), {"max_depth": [1]}).get_result()


# ----------------------------------------------------------------------------- plot


@pytest.fixture
def shown(monkeypatch):
    calls = []
    monkeypatch.setattr(plt, "show", lambda: calls.append(plt.gcf()))
    return calls


def test_plot_of_one_metric(scored, shown):
    fig = scored.plot("max_depth", metrics=["R2"], figsize=(5, 4))
    assert shown == [fig] and tuple(fig.get_size_inches()) == (5, 4)
    (ax,) = fig.axes
    assert ax.get_ylabel() == "R2" and ax.get_title() == "MORBECK Result"
    assert same_color(ax.lines[0].get_color(), "g") and ax.get_legend() is None
    assert ax.lines[0].get_xydata().tolist() == [[1, 0.9], [2, 0.1], [3, 0.5]]


def test_default_plot_draws_the_first_two_metrics_on_twin_axes(scored, shown):
    scored.scoring["MAE"] = METRICS["MAE"]
    fig = scored.plot("max_depth")
    first, second = fig.axes
    assert (first.get_ylabel(), second.get_ylabel()) == ("MSE", "R2")
    assert same_color(first.lines[0].get_color(), "g")
    assert same_color(second.lines[0].get_color(), "b")
    assert first.lines[0].get_ydata().tolist() == [-4.0, -1.0, -9.0]  # losses stay negated
    handles = first.get_legend().legend_handles
    assert [h.get_label() for h in handles] == ["MSE", "R2"]
    assert [h.get_marker() for h in handles] == ["_", "_"]
    assert "MORBECK Result" in [ax.get_title() for ax in fig.axes]


def test_three_named_metrics_draw_only_the_first(scored, shown):
    scored.cv_results_["mean_test_MAE"] = np.array([1.0, 2.0, 3.0])
    (ax,) = scored.plot("max_depth", metrics=["R2", "MSE", "MAE"]).axes
    assert ax.get_ylabel() == "R2" and ax.get_legend() is None


@pytest.mark.parametrize(
    "param, metrics, missing",
    [
        ("min_samples_leaf", None, "param_min_samples_leaf"),
        ("max_depth", ["F1"], "mean_test_F1"),
        ("min_samples_leaf", ["F1"], "mean_test_F1"),  # a metric's scores are read first
    ],
)
def test_plot_of_unsearched_names_fails_with_the_key(scored, shown, param, metrics, missing):
    with pytest.raises(KeyError, match=missing):
        scored.plot(param, metrics=metrics)


class Recorder:
    """Stands in for a module or an axes: records every call as (name, args, kwargs)."""

    def __init__(self, log, name, returns=None):
        self._log, self._name, self._returns = log, name, returns or {}

    def __getattr__(self, attr):
        def call(*args, **kwargs):
            self._log.append((f"{self._name}.{attr}", args, kwargs))
            return self._returns.get(attr)

        return call


def test_plot_makes_exactly_the_described_calls(scored, monkeypatch):
    log = []
    second = Recorder(log, "ax2")
    first = Recorder(log, "ax1", {"twinx": second})
    frames = []

    def lineplot(**kwargs):
        frames.append(kwargs.pop("data"))
        log.append(("sns.lineplot", (), kwargs))
        return first

    monkeypatch.setattr(morbeck, "sns", type("Sns", (), {"lineplot": staticmethod(lineplot)}))
    monkeypatch.setattr(morbeck, "plt", Recorder(log, "plt", {"figure": "the figure"}))
    monkeypatch.setattr(morbeck, "Line2D", lambda *a, **k: ("Line2D", a, k))
    scored.cv_results_["param_max_depth"] = np.ma.MaskedArray([1, 2, 3], mask=[0, 1, 0])

    assert scored.plot("max_depth", figsize=(4, 3)) == "the figure"
    handles = [
        ("Line2D", ([], []), {"color": "g", "marker": "_", "label": "MSE"}),
        ("Line2D", ([], []), {"color": "b", "marker": "_", "label": "R2"}),
    ]
    assert log == [
        ("plt.figure", (), {"figsize": (4, 3)}),
        ("sns.lineplot", (), {"x": "max_depth", "y": "Scores", "color": "g"}),
        ("ax1.set_ylabel", ("MSE",), {"fontsize": 12}),
        ("ax1.twinx", (), {}),
        ("sns.lineplot", (), {"x": "max_depth", "y": "Scores", "ax": second, "color": "b"}),
        ("ax2.set_ylabel", ("R2",), {"fontsize": 12}),
        ("ax1.legend", (), {"handles": handles}),
        ("plt.title", ("MORBECK Result",), {"fontsize": 15}),
        ("plt.tight_layout", (), {}),
        ("plt.show", (), {}),
    ]
    # Masked parameter values are drawn with their underlying data; losses stay negated.
    assert [f.to_dict("list") for f in frames] == [
        {"max_depth": [1, 2, 3], "Metrics": ["MSE"] * 3, "Scores": [-4.0, -1.0, -9.0]},
        {"max_depth": [1, 2, 3], "Metrics": ["R2"] * 3, "Scores": [0.9, 0.1, 0.5]},
    ]


def test_a_class_global_replaced_by_a_subclass_still_reaches_the_base(classification):
    original = KovaGridSearchCV
    Instrumented = type("Instrumented", (original,), {})
    try:
        morbeck.KovaGridSearchCV = Instrumented
        for cls in (Instrumented, original):
            s = cls(DecisionTreeClassifier(), {"max_depth": [1]}).fit(*classification)
            assert s.get_result().shape == (1, 3)
    finally:
        morbeck.KovaGridSearchCV = original


def test_results_and_plot_use_pandas_not_numpy(scored, shown, monkeypatch):
    monkeypatch.setattr(morbeck, "np", None)
    assert scored.get_result().shape == (3, 4)
    assert scored.get_params_ranks(2) == {"max_depth": 1}
    assert scored.plot("max_depth", metrics=["R2"]) is shown[0]


def test_results_and_plot_need_a_scoring_mapping(scored, shown):
    scored.scoring = ("MSE", "R2")  # as a tuple reaches the base: names, no scorers
    for read in (scored.get_result, lambda: scored.plot("max_depth")):
        with pytest.raises(AttributeError, match="tuple"):
            read()
    assert shown == []


# --------------------------------------------------------------------------- report


def test_report_section(shown):
    from kova.report.context import ReportContext
    from kova.report.page import Page
    from kova.report.sections import search

    df = pd.DataFrame({"a": np.arange(60.0), "b": np.arange(60) % 7, "t": np.arange(60) % 2})
    df.loc[3, "a"] = np.nan
    report = Page("r")
    search.run(ReportContext(df, "t"), report)
    page = "".join(report._parts)
    assert "Rank(by AUC)" in page and "<img" in page and len(shown) == 1
    skipped = Page("r")
    search.run(ReportContext(df, None), skipped)
    assert "Skipped" in "".join(skipped._parts)
