"""SegmentedDiagnoseAPI with recording fakes of every collaborator.

The pipeline is a plain namespace over 20 rows (age 0..19, test rows at the even positions);
binning, boosted regressor, diagnosers, scoring lookup, two-sample test, display and TestResult
are fakes that log their calls. The last test drives the real services end to end.
"""

import importlib.util
import inspect
import re
import types
import warnings
from copy import deepcopy

import IPython
import numpy as np
import pandas as pd
import pytest
from IPython.display import display
from pandas.io.formats.style import Styler
from sklearn import metrics as skm
from sklearn.ensemble import GradientBoostingClassifier, RandomForestRegressor
from sklearn.linear_model import LogisticRegression
from sklearn.svm import LinearSVC

import kova.config
import kova.diagnoser
import kova.diagnoser.metrics
import kova.diagnoser.utils
import kova.models
import kova.utils
from kova.data import Dataset
from kova.diagnoser import WeakSpot
from kova.exceptions import KovaError
from kova.workflow import trelliso

BOUND = {
    "XGB1Regressor": kova.models.XGB1Regressor, "Accuracy": kova.diagnoser.Accuracy,
    "WeakSpot": kova.diagnoser.WeakSpot, "Bucketing": kova.diagnoser.utils.Bucketing,
    "twosample_test": kova.diagnoser.utils.twosample_test,
    "get_scoring_metric": kova.diagnoser.utils.get_scoring_metric,
    "segment_scorer": kova.diagnoser.metrics.segment_scorer,
}  # fmt: skip
API = trelliso.SegmentedDiagnoseAPI
FEATURES, TYPES = ["age", "income", "city"], ["numerical", "numerical", "categorical"]
NO_SEGMENTS = "Please run get_all_segment and get_segment_table first to decide segment id"
NOT_DIAGNOSABLE = "^This segment is not supported to diagnose.$"
REPORTS = ["segment_table", "weakspot", "accuracy_residual", "accuracy_table", "distribution_shift"]


def make_pipeline(task_type="classification", proba=False):
    age = np.arange(20.0)
    y = age % 2
    data = {
        "x": np.column_stack([age, (age * 7) % 20, age % 3]),
        "y": y,
        "prediction": np.where(age < 10, y, 1 - y),
        "train_idx": np.arange(1, 20, 2),
        "test_idx": np.arange(0, 20, 2),
        "feature_names": FEATURES,
        "feature_types": TYPES,
    }
    if proba:
        data["prediction_proba"] = np.linspace(0.0, 0.95, 20)
    dataset = types.SimpleNamespace(
        task_type=task_type, random_state=7, feature_names=list(FEATURES), target_name="price"
    )
    return types.SimpleNamespace(
        estimator=object(), get_data_dict=lambda: data, get_feature_names=lambda: FEATURES,
        get_feature_types=lambda: TYPES, dataset=dataset, transform_original=object(),
    )  # fmt: skip


class Fakes:
    """Recording fakes; `calls` logs (name, args, kwargs) in call order."""

    def __init__(self):
        self.calls, self.effects, self.bucketing_error = [], {}, None
        self.shift_value = None
        points = {"data": {"x": np.arange(4.0), "residual": np.array([0.5, -1, 2, 0])}}
        self.answers = {
            "get_residual": types.SimpleNamespace(value=points),
            "get_result": types.SimpleNamespace(value={"data": "weak spot table"}),
        }
        self.scores = {
            "ACC": ("ACC", 1, lambda y, p: (y == p).astype(float), False, True),
            "MSE": ("MSE", -1, lambda y, p: (y - p) ** 2, False, True),
            "AUC": ("AUC", 1, lambda y, p: float(np.mean(p)), True, False),
        }
        fakes = self

        class Recording:
            def __init__(self, *args, **kwargs):
                fakes.log(type(self).__name__, *args, **kwargs)
                self.kwargs = kwargs

            def __getattr__(self, name):
                def method(*args, **kwargs):
                    fakes.log(f"{type(self).__name__}.{name}", *args, **kwargs)
                    return fakes.answers.get(name, name)

                return method

        class Bucketing(Recording):
            def get_group_idx(self, X):  # equal-width bins; categories by equality
                if fakes.bucketing_error:
                    raise fakes.bucketing_error
                fakes.log("Bucketing.get_group_idx", X)
                j, n = FEATURES.index(self.kwargs["feature"]), self.kwargs["n_bins"]
                if TYPES[j] == "categorical":
                    values, group = np.unique(X[:, j], return_inverse=True)
                    return group, [[v] for v in values[group]]
                edges = np.linspace(X[:, j].min(), X[:, j].max(), n + 1)
                group = np.clip(np.searchsorted(edges, X[:, j], side="right") - 1, 0, n - 1)
                return group, [[edges[g], edges[g + 1]] for g in group]

        class Interpreter(Recording):
            effects_ = property(lambda self: {"1D": fakes.effects})
            intercept_ = 0.25

        class XGB1Regressor(Recording):
            def parse_model(self):
                return Interpreter()

        class TestResult:
            def __init__(self, **kwargs):
                self.kwargs = kwargs

        def get_scoring_metric(metric, average=True):
            fakes.log("get_scoring_metric", metric, average=average)
            return fakes.scores[metric]

        def twosample_test(**kwargs):
            fakes.log("twosample_test", **kwargs)
            return types.SimpleNamespace(value=fakes.shift_value)

        self.names = dict(
            Bucketing=Bucketing, XGB1Regressor=XGB1Regressor, TestResult=TestResult,
            Accuracy=type("Accuracy", (Recording,), {}),
            WeakSpot=type("WeakSpot", (Recording,), {}),
            get_scoring_metric=get_scoring_metric, twosample_test=twosample_test,
            display=lambda obj: fakes.log("display", obj),
        )  # fmt: skip

    def log(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))

    def named(self, name):
        return [(args, kwargs) for called, args, kwargs in self.calls if called == name]


@pytest.fixture
def fakes(monkeypatch):
    fakes = Fakes()
    for name, fake in fakes.names.items():
        monkeypatch.setattr(trelliso, name, fake)
    return fakes


@pytest.fixture
def api(fakes):
    return API(make_pipeline())


def table_ids(api, **kwargs):
    """Builds the segment table through the entry method; returns segment key -> Segment ID."""
    api.segmented_diagnose(show="segment_table", **kwargs)
    return {key: i for i, key in enumerate(api.match_id)}


# ------------------------------------------------------------------- module and frame

SIGNATURES = {
    "__init__": "pipeline=None",
    "segmented_diagnose": "show=None, segment_id=None, segment_feature=None, "
    "segment_method='uniform', segment_bins=5, slice_features=None, slice_method='histogram', "
    "slice_bins=10, metric=None, threshold=1.1, min_samples=20, use_test=True, "
    "distance_metric='PSI', psi_buckets='uniform', show_feature=None, original_scale=False, "
    "figsize=(8, 6)",
    "_calculate_all_segments": "segment_method, segment_bins",
    "_get_all_segments": "segment_method, segment_bins",
    "_get_all_segments_metric": "metric=None",
    "_get_segment_table": "segment_feature, metric",
    "segment_table": "",
    "_get_segment_data_idx": "segment_id",
    "_accuracy": "segment_id",
    "accuracy_table": "segment_id",
    "accuracy_residual": "segment_id, show_feature, use_test, original_scale, figsize",
    "weakspot": "segment_id, slice_features, method, threshold, min_samples, bins, use_test, "
    "metric, original_scale, figsize",
    "distribution_shift": "segment_id, show_feature, distance_metric, figsize",
}


def test_module_set_up_and_methods():
    assert not importlib.util.find_spec("kova.workflow.trelliso").origin.endswith(".py")
    set_up = {"np": np, "deepcopy": deepcopy, "display": display, "KovaError": KovaError, **BOUND}
    set_up.update({n: getattr(kova.config, n) for n in ("SEGMENTED_DIAGNOSE_LIST", "REG_METRICS")})
    set_up.update({n: getattr(kova.utils, n) for n in ("TestResult", "safe_execute")})
    assert all(getattr(trelliso, n) is obj for n, obj in set_up.items())
    assert trelliso.__test__ == {}
    names = {"pd", "CLS_METRICS", "parameter_check", "render_validation", "SegmentedDiagnoseAPI"}
    assert {n for n in vars(trelliso) if not n.startswith("__")} == names | set(set_up)
    assert API.__bases__ == (object,)
    assert [n for n in vars(API) if n in SIGNATURES] == list(SIGNATURES)
    for name, text in SIGNATURES.items():
        assert str(inspect.signature(getattr(API, name))) == f"(self{', ' * bool(text)}{text})"
    assert (
        API.segmented_diagnose.__wrapped__.__qualname__ == "SegmentedDiagnoseAPI.segmented_diagnose"
    )


@pytest.mark.parametrize("task_type", ["regression", "classification"])
def test_constructor_reads_the_pipeline(fakes, task_type):
    pipeline = make_pipeline(task_type)
    api = API(pipeline)
    metrics = kova.config.REG_METRICS if task_type == "regression" else kova.config.CLS_METRICS
    expected = dict(
        pipeline=pipeline, estimator=pipeline.estimator, task_type=task_type, random_state=7,
        feature_names=FEATURES, feature_types=TYPES, segment_params=None, result_table=None,
        match_id=None, metric_list=list(metrics), result_dict={}, segment_accuracy_obj=None,
    )  # fmt: skip
    assert {name: getattr(api, name) for name in expected} == expected
    assert api.data_dict is pipeline.get_data_dict()
    with pytest.raises(KovaError, match=r"^Non-supported task type\.$"):
        API(make_pipeline("ranking"))
    with pytest.raises(AttributeError, match="estimator"):
        API()


# --------------------------------------------------------------------- validation and dispatch


def test_validation_table(api, fakes, monkeypatch):
    checked = []
    monkeypatch.setattr(trelliso, "parameter_check", lambda *row: checked.append(row))
    monkeypatch.setattr(trelliso, "render_validation", lambda rows: checked.append(rows))
    api.segmented_diagnose(show="accuracy_residual", segment_id=0, show_feature="age")
    show, general, view = checked
    assert show == ("accuracy_residual", "show", kova.config.SEGMENTED_DIAGNOSE_LIST, True)
    assert [r[1:] for r in general] == [
        ["segment_method", ["uniform", "quantile", "auto"], False],
        ["segment_feature", FEATURES, False], ["segment_bins", int, False],
        ["slice_bins", int, False], ["threshold", float, False], ["min_samples", int, False],
        ["use_test", bool, False], ["slice_method", ["histogram", "tree"], False],
        ["metric", api.metric_list, False], ["distance_metric", ["PSI", "WD1", "KS"], False],
        ["psi_buckets", ["uniform", "quantile"], False], ["original_scale", bool, False],
        ["figsize", tuple, False],
    ]  # fmt: skip
    shown = ["price_predict", "price", *FEATURES]
    assert view == [[0, "segment_id", int, True], ["age", "show_feature", shown, True]]


@pytest.mark.parametrize("kwargs", [
    {"show": "table"}, {"psi_buckets": "tree"}, {"metric": "R2"}, {"segment_bins": 2.0},
    *({"show": show, "slice_features": ["age"], "show_feature": "age"} for show in REPORTS[1:]),
])  # fmt: skip
def test_rejected_calls_store_nothing(api, fakes, kwargs):
    with pytest.raises(KovaError):
        api.segmented_diagnose(**{"show": "segment_table", **kwargs})
    assert api.segment_params is None and api.result_dict == {} and fakes.calls == []


@pytest.mark.parametrize("show, expected", [
    ("weakspot", dict(segment_id=1, slice_features=["age"], method="histogram", threshold=1.1,
                      min_samples=20, bins=10, use_test=True, metric="ACC", original_scale=False,
                      figsize=(8, 6))),
    ("accuracy_residual", dict(segment_id=1, show_feature="age", use_test=True,
                               original_scale=False, figsize=(8, 6))),
    ("accuracy_table", dict(segment_id=1)),
    ("distribution_shift", dict(segment_id=1, show_feature="age", distance_metric="PSI",
                                figsize=(8, 6))),
    ("segment_table", {}),
])  # fmt: skip
def test_dispatch(api, fakes, monkeypatch, show, expected):
    seen = []
    monkeypatch.setattr(API, show, lambda self, **kw: seen.append(kw) or "report")
    kwargs = dict(show=show, segment_id=1, slice_features=["age"], show_feature="age")
    assert api.segmented_diagnose(**kwargs) == "report" and seen == [expected]
    monkeypatch.setattr(trelliso, "SEGMENTED_DIAGNOSE_LIST", [*REPORTS, "extra"])
    assert api.segmented_diagnose(show="extra") is None and len(seen) == 1


@pytest.mark.parametrize("task_type, metric", [("classification", "ACC"), ("regression", "MSE")])
def test_default_metric(fakes, task_type, metric):
    api = API(make_pipeline(task_type))
    assert api.segmented_diagnose(show="segment_table").kwargs["data"].columns[-1] == metric
    api.task_type = "ranking"
    with pytest.raises(KovaError, match="^task_type should be either classification or regr"):
        api.segmented_diagnose(show="segment_table")


# ------------------------------------------------------------------------------- segments


def test_segments_are_kept_while_the_record_stays_and_a_failure_records_nothing(api, fakes):
    api.data_dict["prediction_proba"] = np.linspace(0.0, 0.95, 20)  # AUC scores these
    table_ids(api)
    table_ids(api, metric="AUC", segment_feature="age")
    assert len(fakes.named("Bucketing")) == 3
    assert api.segment_params == {"segment_method": "uniform", "segment_bins": 5, "random_state": 7}
    before, fakes.bucketing_error = api.result_dict, ValueError("binning failed")
    with pytest.raises(ValueError, match="binning failed"):
        table_ids(api, segment_bins=3)
    assert api.segment_params["segment_bins"] == 5 and api.result_dict is before
    fakes.bucketing_error = None
    table_ids(api, segment_bins=3)  # the same parameters again: computed this time
    assert len(fakes.named("Bucketing")) == 7 and "age-2" in api.result_dict
    assert "age-3" not in api.result_dict and api.segment_params["segment_bins"] == 3


def test_new_segments_drop_the_table_that_described_the_old_ones(api, fakes):
    table_ids(api)
    api._get_all_segments(segment_method="uniform", segment_bins=2)
    assert api.result_table is None and api.match_id is None
    with pytest.raises(KovaError, match=NO_SEGMENTS):
        api.accuracy_table(0)
    api.pipeline.dataset.feature_names.append("price")  # a known feature without segments
    with pytest.raises(KovaError, match="^No binning for this feature"):
        table_ids(api, segment_bins=4, segment_feature="price")
    with pytest.raises(KovaError, match=NO_SEGMENTS):
        api.distribution_shift(0, None, "PSI", (8, 6))


def test_binned_segments(api, fakes):
    segments = api._calculate_all_segments(segment_method="quantile", segment_bins=5)
    data = api.data_dict
    assert all((args[0] == data["x"][data["test_idx"]]).all()
               for args, _ in fakes.named("Bucketing.get_group_idx"))  # fmt: skip
    assert fakes.named("Bucketing")[0][1] == dict(
        feature="age", method="quantile", n_bins=5, feature_names=FEATURES, feature_types=TYPES
    )
    assert list(segments)[4:7] == ["age-4", "income-0", "income-1"]
    assert [s["upper_bound"] for k, s in segments.items() if k[:3] == "age"] == [")"] * 4 + ["]"]
    age4 = segments["age-4"]
    assert list(age4) == ["feature", "group_id", "group_range", "upper_bound", "idx", "size"]
    assert age4["idx"].tolist() == [8, 9] and {k: v for k, v in age4.items() if k != "idx"} == dict(
        feature="age", group_id=4, group_range=[14.4, 18.0], upper_bound="]", size=2)  # fmt: skip
    assert segments["city-1"]["group_range"] == [1.0] and segments["city-2"]["upper_bound"] == "]"
    assert api._calculate_all_segments(segment_method="Auto", segment_bins=5) == {}


@pytest.mark.parametrize("proba", [False, True])
def test_auto_segments(fakes, proba):
    api = API(make_pipeline(proba=proba))
    fakes.effects = {"income": {"values": [0.1, 0.2, 0.3], "splits": [2.0, 6.0, 10.0, 14.0]}}
    segments = api._calculate_all_segments(segment_method="auto", segment_bins=5)
    data, test = api.data_dict, api.data_dict["test_idx"]
    residual = np.abs(data["y"][test] - data["prediction_proba" if proba else "prediction"][test])
    assert fakes.named("XGB1Regressor")[0][1] == dict(
        feature_names=FEATURES, feature_types=TYPES, random_state=7
    )
    np.testing.assert_array_equal(fakes.named("XGB1Regressor.fit")[0][0][1], residual)
    ((_, interpret),) = fakes.named("Interpreter.global_interpret")
    assert list(interpret) == ["X", "y"] and interpret["y"].shape == (10, 1)
    # test-row incomes: 0, 14, 8, 2, 16, 10, 4, 18, 12, 6; 0, 16 and 18 lie outside the splits
    income = [segments[f"income-{i}"] for i in range(3)]
    assert [s["idx"].tolist() for s in income] == [[3, 6], [2, 9], [1, 5, 8]]
    assert [(s["upper_bound"], s["effect"]) for s in income] == [(")", 0.1), (")", 0.2), ("]", 0.3)]
    assert income[1]["group_range"] == [6.0, 10.0] and "age-1" not in segments
    age = segments["age-0"]
    assert (age["group_range"], age["upper_bound"], age["effect"], age["size"]) == (
        [-np.inf, np.inf],
        "]",
        0.25,
        10,
    )
    assert age["idx"].tolist() == list(range(10))


# -------------------------------------------------------------------------- segment table


@pytest.mark.parametrize("sign, text", [(-1, "[14.4, 18.0]"), (1, "[0.0, 3.6)")])
def test_table_is_ranked_by_the_score_sign_and_filtered(api, fakes, sign, text):
    api.data_dict["prediction"] = np.arange(20.0) ** 2  # mean age scores 2, 26, 82, 170, 290
    fakes.scores["ACC"] = ("ACC", sign, lambda y, p: p, False, True)
    table_ids(api, segment_feature="age")
    table, order = api.result_table, [f"age-{i}" for i in range(5)][::sign]
    assert list(table.columns) == ["Segment ID", "Feature", "Segment", "Size", "ACC"]
    assert table["Segment ID"].tolist() == list(range(5)) == list(table.index)
    assert api.match_id.tolist() == order and table.loc[0, "Segment"] == text
    assert table["ACC"].tolist() == [2.0, 26.0, 82.0, 170.0, 290.0][::sign]
    assert fakes.named("get_scoring_metric")[-1] == (("ACC",), {"average": False})


def test_segment_texts_and_unknown_feature(api, fakes):
    ranges = {"f-0": ([0.123456, 2.0], ")"), "f-1": ([-np.inf, np.inf], "]"),
              "g-0": (["red"], ")"), "g-1": ([np.float32(0.5)], "]")}  # fmt: skip
    api.result_dict = {
        key: {"feature": key[0], "group_range": r, "upper_bound": b, "idx": [0], "size": 1}
        for key, (r, b) in ranges.items()
    }
    api._get_segment_table(None, "ACC")
    texts = dict(zip(api.match_id, api.result_table["Segment"], strict=True))
    assert texts == {"f-0": "[0.1235, 2.0)", "f-1": "[-inf, inf]", "g-0": "red", "g-1": 0.5}
    table, match_id = api.result_table, api.match_id
    with pytest.raises(KovaError, match="^No binning for this feature$"):
        api._get_segment_table("h", "ACC")
    assert api.result_table is table and api.match_id is match_id


@pytest.mark.parametrize("proba, metric, scored_on", [
    (True, "AUC", "prediction_proba"), (True, "ACC", "prediction"), (False, "ACC", "prediction")
])  # fmt: skip
def test_probability_metrics_are_scored_on_probabilities(fakes, proba, metric, scored_on):
    api = API(make_pipeline(proba=proba))
    api._get_all_segments(segment_method="uniform", segment_bins=5)
    api._get_all_segments_metric(metric=metric)
    data, idx = api.data_dict, api.result_dict["age-1"]["idx"]
    y, predicted = data["y"][data["test_idx"]][idx], data[scored_on][data["test_idx"]][idx]
    assert api.metric_dict["age-1"] == np.mean(fakes.scores[metric][2](y, predicted))
    assert list(api.metric_dict) == list(api.result_dict)


@pytest.mark.parametrize("notebook", [True, False])
def test_segment_table_shows_ten_rows_and_returns_all(api, fakes, monkeypatch, notebook):
    shell = types.SimpleNamespace(kernel=object()) if notebook else None
    monkeypatch.setattr(IPython, "get_ipython", lambda: shell)
    api.result_dict = {f"s-{i}": {"feature": "s", "group_range": [i, i + 1], "upper_bound": ")",
                                  "idx": [i % 10], "size": 1} for i in range(25)}  # fmt: skip
    api._get_segment_table(None, "MSE")
    result = api.segment_table()
    (shown,), _ = fakes.named("display")[0]
    if notebook:  # a styled table with 9em cells
        assert isinstance(shown, Styler) and list(shown.data.index) == list(range(10))
        assert ("width", "9em") in shown._compute().ctx[(9, 4)]
    else:  # the frame itself, which a script prints as text
        assert isinstance(shown, pd.DataFrame) and list(shown.index) == list(range(10))
        assert shown.equals(api.result_table.iloc[:10])
    assert result.kwargs == {"data": api.result_table} and len(api.result_table) == 25


# ------------------------------------------------------------------ membership and reports


@pytest.mark.parametrize("method, key, rows", [
    ("uniform", "age-0", [0, 1, 2, 3]), ("uniform", "age-4", [15, 16, 17, 18]),
    ("uniform", "city-1", [1, 4, 7, 10, 13, 16, 19]),
    ("auto", "age-0", [i for i in range(20) if i != 5]),  # [-inf, inf]: inf is in, NaN out
])  # fmt: skip
def test_membership_covers_training_and_test_rows(api, fakes, method, key, rows):
    api.data_dict["x"][[3, 5], 0] = [np.inf, np.nan] if method == "auto" else [3, 5]
    assert api._get_segment_data_idx(table_ids(api, segment_method=method)[key]).tolist() == rows


def test_reports_need_segments_and_rows_on_both_sides(api, fakes):
    for call in (api.accuracy_table, api._accuracy, api._get_segment_data_idx):
        with pytest.raises(KovaError, match=NO_SEGMENTS):
            call(0)
    api.data_dict["train_idx"] = np.array([5, 7])  # no training row in age-0
    ids = table_ids(api)
    api.accuracy_table(ids["age-1"])
    kept = api.segment_accuracy_obj
    with pytest.raises(KovaError, match=NOT_DIAGNOSABLE):
        api.accuracy_table(ids["age-0"])
    with pytest.raises(KovaError, match=NOT_DIAGNOSABLE):
        api.weakspot(ids["age-0"], ["age"], "tree", 1, 2, 3, True, "ACC", False, (1, 1))
    assert api.segment_accuracy_obj is kept and fakes.named("WeakSpot") == []


def test_accuracy_table_fits_on_a_copy_cut_to_the_segment(api, fakes):
    before = deepcopy(api.data_dict)
    result = api.accuracy_table(segment_id=table_ids(api)["age-0"])
    assert [n for n, _, _ in fakes.calls if n.startswith("Accuracy")] == [
        "Accuracy", "Accuracy.fit", "Accuracy.get_scoring", "Accuracy.get_metric",
        "Accuracy.get_result", "Accuracy.display_table"]  # fmt: skip
    assert fakes.named("Accuracy")[0] == ((api.estimator,), {"random_state": 7})
    fit = fakes.named("Accuracy.fit")[0][1]
    assert (fit["train_idx"].tolist(), fit["test_idx"].tolist()) == ([1, 3], [0, 2])
    assert fit.keys() == before.keys() and fit["x"] is not api.data_dict["x"]
    assert fakes.named("Accuracy.display_table")[0][0] == (fakes.answers["get_result"],)
    assert result.kwargs == {"data": "display_table"}
    assert all(np.array_equal(api.data_dict[k], v) for k, v in before.items())


@pytest.mark.parametrize("original_scale", [False, True])
def test_accuracy_residual_and_weakspot(api, fakes, original_scale):
    ids, scaler = table_ids(api), api.pipeline.transform_original if original_scale else None
    result = api.accuracy_residual(ids["age-1"], "income", False, original_scale, (3, 2))
    assert fakes.named("Accuracy.get_residual")[0][1] == {
        "feature_name": "income",
        "use_test": False,
    }
    plot = fakes.named("Accuracy.plot_residual")[0]
    assert plot == ((fakes.answers["get_residual"],), {"scaler": scaler, "figsize": (3, 2)})
    assert list(result.kwargs) == ["figure", "data"] and result.kwargs["figure"] == "plot_residual"
    table = result.kwargs["data"]
    assert list(table.columns) == ["x", "Residual"] and table["Residual"].tolist() == [
        0.5,
        -1,
        2,
        0,
    ]
    kept = api.segment_accuracy_obj
    result = api.weakspot(
        ids["age-2"], ["city"], "tree", 1.5, 3, 4, False, "MSE", original_scale, (5, 5)
    )
    assert list(fakes.named("WeakSpot")[0][1].items()) == [
        ("estimator", api.estimator), ("bins", 4), ("threshold", 1.5), ("method", "tree"),
        ("min_samples", 3), ("metric", "MSE"), ("slice_features", ["city"]),
        ("task_type", "classification"), ("use_test", False), ("random_state", 7)]  # fmt: skip
    fit = fakes.named("WeakSpot.fit")[0][1]
    assert (fit["train_idx"].tolist(), fit["test_idx"].tolist()) == ([9], [8, 10])
    assert fakes.named("WeakSpot.plot_marginal")[0] == (
        ("get_marginal",),
        {"scaler": scaler, "figsize": (5, 5)},
    )
    assert result.kwargs == {"figure": "plot_marginal", "data": "weak spot table"}
    assert api.segment_accuracy_obj is kept


@pytest.mark.parametrize("value, columns, rows", [
    ({"features": FEATURES, "KS": [0.123456, 1, "2.5"]}, ["Features", "KS"],
     [["age", 0.1235], ["income", 1.0], ["city", 2.5]]),
    ({"x": [np.array([1, 2])], "y": [[[0.5], [0.25]]], "y_label": "Density"},
     ["age", "Density"], [[1, 0.5], [2, 0.25]]),
    ({"x": [np.array(["a", "b"]), ["c"]], "y": [[0.1, 0.2], [0.3]], "y_label": "d"},
     ["age", "d", "Group"], [["a", 0.1, 0], ["b", 0.2, 0], ["c", 0.3, 1]]),
])  # fmt: skip
def test_distribution_shift_tables(api, fakes, value, columns, rows):
    fakes.shift_value = value
    result = api.distribution_shift(table_ids(api)["age-0"], "age", "KS", (4, 4))
    ((_, call),) = fakes.named("twosample_test")
    assert list(call) == ["sample1", "sample2", "distance_metric", "feature_names",
                          "feature_types", "show_feature", "figsize", "plot_title"]  # fmt: skip
    x = api.data_dict["x"]
    assert np.array_equal(call["sample1"], x[:4]) and np.array_equal(call["sample2"], x[4:])
    assert call["plot_title"] == "Data distance(In segment vs. out of segment)"
    assert (call["distance_metric"], call["figsize"], call["show_feature"]) == ("KS", (4, 4), "age")
    table = result.kwargs["data"]
    assert list(result.kwargs) == ["data"] and list(table.columns) == columns
    assert table.values.tolist() == rows and list(table.index) == list(range(len(rows)))


# ----------------------------------------------------------------------------- integration


@pytest.mark.parametrize("name, model", [
    ("breast_cancer", GradientBoostingClassifier(n_estimators=30, random_state=0)),
    ("diabetes", RandomForestRegressor(n_estimators=30, random_state=0)),
])  # fmt: skip
def test_reports_with_real_services(name, model, monkeypatch, tmp_path):
    monkeypatch.setattr(trelliso, "display", lambda obj: None)
    dataset = Dataset.from_sklearn(name, random_state=0)
    train = dataset.train_idx
    model.fit(kova.models.ModelPipeline.encode(dataset).iloc[train], dataset.y.iloc[train])
    api = API(kova.models.ModelPipeline(model, dataset))
    feature = dataset.feature_names[0]
    for method in ("uniform", "quantile", "auto"):
        table = api.segmented_diagnose(show="segment_table", segment_method=method).data
        assert table["Size"].sum() >= len(dataset.test_idx) and table.notna().all().all()
        table = api.segmented_diagnose(segment_method=method, segment_feature=feature,
                                       show="segment_table").data  # fmt: skip
        largest = int(table["Size"].idxmax())  # the same Segment ID in the calls below
        settings = dict(segment_method=method, segment_feature=feature, segment_id=largest)
        accuracy = api.segmented_diagnose(show="accuracy_table", **settings).data
        assert list(accuracy.index) == ["Train", "Test", "Gap"]
        residual = api.segmented_diagnose(
            show="accuracy_residual", show_feature=feature, **settings
        )
        assert len(residual.data) == table.loc[largest, "Size"]  # the segment's test rows
        weak = api.segmented_diagnose(show="weakspot", slice_features=[feature], **settings)
        shift = api.segmented_diagnose(show="distribution_shift", **settings).data
        assert list(shift["Features"]) == dataset.feature_names
        curves = api.segmented_diagnose(show="distribution_shift", show_feature=feature, **settings)
        assert set(curves.data["Group"]) == {0, 1} and curves.data.iloc[:, 1].dtype == float
        for kind, result in [("residual", residual), ("weakspot", weak)]:
            result.figure.savefig(tmp_path / f"{name}-{method}-{kind}.png")
    assert len(list(tmp_path.glob("*.png"))) == 6


# ---------------------------------------------------------------- odd requests and real data


@pytest.mark.parametrize("segment_id", [-1, 5, 2**100, True, None, 1.0, "0"])
def test_a_segment_id_outside_the_table_names_the_range(api, fakes, segment_id):
    table_ids(api, segment_feature="age")  # Segment IDs 0 to 4
    message = rf"^segment_id must be a Segment ID .*from 0 to 4, got {re.escape(repr(segment_id))}"
    for call in (api.accuracy_table, api.segment_rows, api._get_segment_data_idx):
        with pytest.raises(KovaError, match=message):
            call(segment_id)
    with pytest.raises(KovaError, match=message):
        api.distribution_shift(segment_id, None, "PSI", (8, 6))
    assert fakes.named("Accuracy") == [] and fakes.named("twosample_test") == []


@pytest.mark.parametrize("kwargs, message", [
    ({"segment_bins": 2**100}, "^segment_bins must be an integer from 1 to 1000, got 12676"),
    ({"segment_bins": 0}, r"^segment_bins must be an integer from 1 to 1000, got 0\.(\n|$)"),
    ({"threshold": None}, r"^threshold must be a finite number, got None\.(\n|$)"),
    ({"threshold": float("nan")}, r"^threshold must be a finite number, got nan\.(\n|$)"),
    ({"figsize": (0, 0)}, r"^figsize must be a tuple \(width, height\) of positive numbers"),
    ({"figsize": (8,)}, r"^figsize must be .*, got \(8,\)\.(\n|$)"),
])  # fmt: skip
def test_odd_settings_are_kova_errors_naming_them(api, fakes, kwargs, message):
    with pytest.raises(KovaError, match=message):
        api.segmented_diagnose(show="segment_table", **kwargs)
    assert api.segment_params is None and fakes.calls == []  # rejected before any work
    if "segment_bins" not in kwargs:  # the reports that take them check them too
        table_ids(api)
        settings = {"threshold": 1.1, "figsize": (8, 6), **kwargs}
        with pytest.raises(KovaError, match=message):
            api.weakspot(0, ["age"], "tree", settings["threshold"], 2, 3, True, "ACC", False,
                         settings["figsize"])  # fmt: skip
        assert fakes.named("WeakSpot") == []
        api.weakspot(0, ["age"], "tree", 1.1, 2, 3, True, "ACC", False, [5, 5])  # a list is fine


def test_reports_before_a_table_name_the_missing_step(fakes):
    api = API(make_pipeline())
    for call in (api.segment_table, lambda: api.segment_rows(0)):
        with pytest.raises(KovaError, match=NO_SEGMENTS):
            call()


def colour_pipeline(model, levels=3, n=400):
    """A real pipeline over a numerical feature "a" and a categorical "colour" of text levels
    ("c000", "c001", ...), whose binary target depends on both."""
    rng = np.random.default_rng(0)
    names = np.array([f"c{k:03d}" for k in range(levels)])
    frame = pd.DataFrame({"a": rng.normal(size=n), "colour": names[np.arange(n) % levels]})
    frame["target"] = ((frame["a"] + (frame["colour"] == "c001")) > 0.5).astype(int)
    dataset = Dataset(frame, target="target", random_state=0)
    train = dataset.train_idx
    model.fit(kova.models.ModelPipeline.encode(dataset).iloc[train], dataset.y.iloc[train])
    return kova.models.ModelPipeline(model, dataset)


def test_categories_read_as_level_names_and_segments_give_their_rows(monkeypatch):
    monkeypatch.setattr(trelliso, "display", lambda obj: None)
    api = API(colour_pipeline(GradientBoostingClassifier(n_estimators=20, random_state=0)))
    table = api.segmented_diagnose(show="segment_table", segment_feature="colour").data
    assert sorted(table["Segment"]) == ["c000", "c001", "c002"]
    red = int(table.loc[table["Segment"] == "c001", "Segment ID"].iloc[0])
    rows = api.segment_rows(red)
    frame = api.pipeline.dataset.data_init
    assert rows.equals(frame[frame["colour"] == "c001"])  # training and test rows, own labels
    for method in ("histogram", "tree"):
        weak = WeakSpot(
            api.estimator,
            method=method,
            min_samples=5,
            threshold=0.5,
            slice_features=["colour"],
            category_levels=api.pipeline.category_levels,
        )
        slices = weak.fit(**api.data_dict).slices_["colour"]  # fmt: skip
        assert set(", ".join(slices).split(", ")) <= {"c000", "c001", "c002", "All"}


def test_auto_segments_of_a_feature_with_many_levels(monkeypatch, fakes):
    monkeypatch.setattr(trelliso, "XGB1Regressor", kova.models.XGB1Regressor)
    model = GradientBoostingClassifier(n_estimators=5, random_state=0)
    api = API(colour_pipeline(model, levels=300, n=6000))
    test_levels = np.unique(api.data_dict["x"][api.data_dict["test_idx"], 1]).size
    assert test_levels > 256  # more than the regressor's default number of bins
    segments = api._calculate_all_segments(segment_method="auto", segment_bins=5)
    covered = sum(s["size"] for k, s in segments.items() if k.startswith("colour-"))
    assert covered == len(api.data_dict["test_idx"])
    monkeypatch.setattr(trelliso, "XGB1Regressor", fakes.names["XGB1Regressor"])
    api = API(make_pipeline())  # beyond what the regressor takes: an error naming the feature
    n = 70_000
    api.data_dict.update(x=np.column_stack([np.zeros(n), np.zeros(n), np.arange(n)]),
                         y=np.zeros(n), prediction=np.zeros(n), test_idx=np.arange(n))  # fmt: skip
    with pytest.raises(KovaError, match="at most 65536 levels; feature 'city' has 70000 among"):
        api._calculate_all_segments(segment_method="auto", segment_bins=5)
    assert fakes.named("XGB1Regressor") == []


@pytest.mark.parametrize("name, model, metric", [
    ("iris", LogisticRegression(max_iter=500), "AUC"),
    ("iris", LogisticRegression(max_iter=500), "LogLoss"),
    ("iris", LogisticRegression(max_iter=500), "Brier"),
    ("iris", LogisticRegression(max_iter=500), "F1"),
    ("breast_cancer", LinearSVC(), "AUC"),
    ("breast_cancer", LinearSVC(), "LogLoss"),
])  # fmt: skip
def test_probability_metrics_in_the_segment_table(monkeypatch, name, model, metric):
    monkeypatch.setattr(trelliso, "display", lambda obj: None)
    dataset = Dataset.from_sklearn(name, random_state=0)
    encoded = kova.models.ModelPipeline.encode(dataset)
    model.fit(encoded.iloc[dataset.train_idx], dataset.y.iloc[dataset.train_idx])
    api = API(kova.models.ModelPipeline(model, dataset))
    if not hasattr(model, "predict_proba") and metric != "AUC":
        with pytest.raises(KovaError, match=f"^metric '{metric}' needs predicted probabilities"):
            api.segmented_diagnose(show="segment_table", metric=metric)
        return
    table = api.segmented_diagnose(show="segment_table", metric=metric).data
    big = table.loc[table["Size"].idxmax()]
    rows = np.asarray(api.result_dict[api.match_id[int(big["Segment ID"])]]["idx"])
    test = encoded.iloc[dataset.test_idx].iloc[rows]
    y = np.searchsorted(model.classes_, dataset.y.iloc[dataset.test_idx].iloc[rows])
    scores = model.predict_proba(test) if hasattr(model, "predict_proba") else None
    expected = {
        "AUC": lambda: skm.roc_auc_score(y, model.decision_function(test))
        if scores is None else skm.roc_auc_score(y, scores, multi_class="ovr", labels=[0, 1, 2]),
        "LogLoss": lambda: skm.log_loss(y, scores, labels=[0, 1, 2]),
        "Brier": lambda: skm.brier_score_loss(y, scores, labels=[0, 1, 2]),
        "F1": lambda: skm.f1_score(y, np.searchsorted(model.classes_, model.predict(test)),
                                   average="macro", zero_division=0),
    }[metric]  # fmt: skip
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            value = expected()
        except ValueError:  # undefined on these rows: NaN in the table
            value = np.nan
    np.testing.assert_allclose(big[metric], value)
