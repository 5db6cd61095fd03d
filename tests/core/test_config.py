"""Tests of kova.config: metric scorers, metric tables, report names, param_render."""

import pickle

import numpy as np
import pytest
from sklearn import metrics as skm
from sklearn.datasets import make_classification, make_regression
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.model_selection import GridSearchCV
from sklearn.svm import LinearSVC

import kova.config
import kova.config.other_configs as other_configs
from kova.config import CLS_METRICS, METRICS, REG_METRICS, SEGMENTED_DIAGNOSE_LIST, param_render
from kova.exceptions import KovaError


@pytest.fixture(scope="module")
def binary():
    X, y = make_classification(n_samples=200, n_features=5, flip_y=0.2, random_state=0)
    return LogisticRegression().fit(X, y), X, y


@pytest.fixture(scope="module")
def multiclass():
    X, y = make_classification(
        n_samples=300, n_features=6, n_informative=4, n_classes=3, random_state=0
    )
    return LogisticRegression(max_iter=500).fit(X, y), X, y


@pytest.fixture(scope="module")
def regression():
    X, y = make_regression(n_samples=150, n_features=4, noise=20.0, random_state=0)
    y = y - y.min() + 10.0  # positive targets keep MAPE meaningful
    return LinearRegression().fit(X, y), X, y


def _proba(model, X):
    return model.predict_proba(X)[:, 1]


def _names(cases):
    return [case[0] for case in cases]


CLASSIFICATION_CASES = [
    # name, sign, the sklearn metric computed directly from the model
    ("ACC", 1, lambda m, X, y: skm.accuracy_score(y, m.predict(X))),
    ("AUC", 1, lambda m, X, y: skm.roc_auc_score(y, _proba(m, X))),
    ("F1", 1, lambda m, X, y: skm.f1_score(y, m.predict(X))),
    ("Precision", 1, lambda m, X, y: skm.precision_score(y, m.predict(X))),
    ("Recall", 1, lambda m, X, y: skm.recall_score(y, m.predict(X))),
    ("LogLoss", -1, lambda m, X, y: skm.log_loss(y, m.predict_proba(X))),
    ("Brier", -1, lambda m, X, y: skm.brier_score_loss(y, _proba(m, X))),
]

REGRESSION_CASES = [
    ("MSE", -1, lambda m, X, y: skm.mean_squared_error(y, m.predict(X))),
    ("RMSE", -1, lambda m, X, y: np.sqrt(skm.mean_squared_error(y, m.predict(X)))),
    ("MAE", -1, lambda m, X, y: skm.mean_absolute_error(y, m.predict(X))),
    ("R2", 1, lambda m, X, y: skm.r2_score(y, m.predict(X))),
    ("MAPE", -1, lambda m, X, y: skm.mean_absolute_percentage_error(y, m.predict(X))),
]


@pytest.mark.parametrize(
    "name, sign, direct", CLASSIFICATION_CASES, ids=_names(CLASSIFICATION_CASES)
)
def test_classification_scorers_match_sklearn(binary, name, sign, direct):
    scorer = METRICS[name]
    assert scorer._sign == sign
    assert scorer(*binary) == pytest.approx(sign * direct(*binary))


@pytest.mark.parametrize("name, sign, direct", REGRESSION_CASES, ids=_names(REGRESSION_CASES))
def test_regression_scorers_match_sklearn(regression, name, sign, direct):
    scorer = METRICS[name]
    assert scorer._sign == sign
    assert scorer(*regression) == pytest.approx(sign * direct(*regression))


def test_auc_scores_probabilities_not_labels(binary):
    model, X, y = binary
    on_labels = skm.roc_auc_score(y, model.predict(X))
    assert METRICS["AUC"](model, X, y) != pytest.approx(on_labels)


def test_auc_falls_back_to_the_decision_function(binary):
    _, X, y = binary
    model = LinearSVC().fit(X, y)
    expected = skm.roc_auc_score(y, model.decision_function(X))
    assert METRICS["AUC"](model, X, y) == pytest.approx(expected)


@pytest.mark.parametrize(
    "name, direct",
    [
        ("AUC", lambda m, X, y: skm.roc_auc_score(y, m.predict_proba(X), multi_class="ovr")),
        ("F1", lambda m, X, y: skm.f1_score(y, m.predict(X), average="macro")),
        ("Recall", lambda m, X, y: skm.recall_score(y, m.predict(X), average="macro")),
        ("LogLoss", lambda m, X, y: -skm.log_loss(y, m.predict_proba(X))),
    ],
    ids=["AUC", "F1", "Recall", "LogLoss"],
)
def test_scorers_handle_multiclass(multiclass, name, direct):
    if name == "AUC" and not other_configs._HAS_RESPONSE_METHOD:
        pytest.skip("scikit-learn < 1.4 scores AUC on binary targets only")
    assert METRICS[name](*multiclass) == pytest.approx(direct(*multiclass))


def test_metric_tables_agree():
    assert list(CLS_METRICS)[0] == "ACC" and list(REG_METRICS)[0] == "MSE"
    assert METRICS == {**CLS_METRICS, **REG_METRICS}
    assert not set(CLS_METRICS) & set(REG_METRICS)
    assert {"AUC", "R2"} <= set(METRICS)


def test_config_package_reexports_the_same_objects():
    for name in kova.config.__all__:
        assert getattr(kova.config, name) is getattr(other_configs, name)
    assert SEGMENTED_DIAGNOSE_LIST == [
        "segment_table",
        "weakspot",
        "accuracy_residual",
        "accuracy_table",
        "distribution_shift",
    ]


def test_scorers_drive_a_search_and_survive_pickling(binary):
    model, X, y = binary
    scoring = pickle.loads(pickle.dumps({k: METRICS[k] for k in ("AUC", "LogLoss", "F1")}))
    search = GridSearchCV(model, {"C": [0.1, 1.0]}, scoring=scoring, refit=False, cv=3).fit(X, y)
    assert np.all(search.cv_results_["mean_test_LogLoss"] < 0)
    assert np.all(search.cv_results_["mean_test_AUC"] > 0.5)


# -------------------------------------------------------------------- param_render

FLIS = ["age", "income", "city"]


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (7, 7),
        (0.25, 0.25),
        ((1, 5), (1, 5)),
        ("", None),
        ("  ", None),
        ("None", None),
        ("False", False),
        ("auto", "auto"),
        (" 12 ", 12),
        ("0.05", 0.05),
        ("1e-3", 0.001),
        ("inf", "inf"),
        ("3, 4.5", [3, 4.5]),
        ("income", ["income"]),
        ("city, age", ["city", "age"]),
        (("age", "city"), ["age", "city"]),
        ("__import__('os').getcwd()", "__import__('os').getcwd()"),
    ],
)
def test_param_render_converts_widget_values(value, expected):
    result = param_render("iforest", "param", value, flis=FLIS)
    assert result == expected and type(result) is type(expected)


def test_param_render_without_feature_names_keeps_text():
    assert param_render("lof", "features", "income", flis=None) == "income"
    assert param_render("lof", "features", "a,b") == ["a", "b"]


@pytest.mark.parametrize("value", ["age, zip", ("age", "zip")])
def test_param_render_rejects_unknown_features(value):
    with pytest.raises(KovaError, match=r"'features' of method 'lof'.*'zip'"):
        param_render("lof", "features", value, flis=FLIS)
