"""Tests of get_scoring_metric, the label and AUC metrics it serves, and of what a fitted
model's metric scores on a part of the test rows."""

import warnings

import numpy as np
import pytest
from sklearn import metrics as skm
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.svm import LinearSVC

from kova.config import CLS_METRICS, METRICS, REG_METRICS
from kova.config.other_configs import auc, f1, precision, recall
from kova.diagnoser.metrics import segment_scorer
from kova.diagnoser.utils import get_scoring_metric
from kova.exceptions import KovaError

RNG = np.random.default_rng(0)
Y_CLS = RNG.integers(0, 2, 200)
P_CLS = np.clip(Y_CLS * 0.6 + RNG.random(200) * 0.5, 0.01, 0.99)
Y_REG = RNG.normal(5.0, 2.0, 200)
P_REG = Y_REG + RNG.normal(0.0, 1.0, 200)

# name -> (score sign, needs probabilities, additive)
EXPECTED = {
    "ACC": (1, False, True),
    "AUC": (1, True, False),
    "F1": (1, False, False),
    "Precision": (1, False, False),
    "Recall": (1, False, False),
    "LogLoss": (-1, True, False),
    "Brier": (-1, True, False),
    "MSE": (-1, False, True),
    "RMSE": (-1, False, False),
    "MAE": (-1, False, True),
    "R2": (1, False, False),
    "MAPE": (-1, False, True),
}


def _inputs(name):
    if name in REG_METRICS:
        return Y_REG, P_REG
    needs_proba = EXPECTED[name][1]
    return Y_CLS, P_CLS if needs_proba else (P_CLS > 0.5).astype(int)


def test_every_table_metric_is_known():
    assert set(EXPECTED) == set(CLS_METRICS) | set(REG_METRICS) == set(METRICS)


@pytest.mark.parametrize("name", list(EXPECTED))
def test_scoring_metric_matches_the_table_scorer(name):
    sign, needs_proba, additive = EXPECTED[name]
    y, p = _inputs(name)
    scorer = METRICS[name]
    table_score = scorer._score_func(y, p, **scorer._kwargs)
    for average in (True, False):
        items = get_scoring_metric(name, average=average)
        assert len(items) == 5
        score_name, score_sign, func, proba, is_additive = items
        assert (score_name, score_sign, proba, is_additive) == (name, sign, needs_proba, additive)
        values = np.asarray(func(y, p))
        # per-sample values only for additive metrics without averaging; mean is the score
        assert values.shape == ((len(y),) if additive and not average else ())
        assert np.mean(values) == pytest.approx(table_score, rel=1e-12)


def test_per_sample_values_pair_a_column_with_a_flat_vector():
    _, _, func, _, _ = get_scoring_metric("MSE", average=False)
    np.testing.assert_allclose(func(np.array([1.0, 2.0, 3.0]), [[1.0], [2.5], [5.0]]), [0, 0.25, 4])


@pytest.mark.parametrize("metric", ["acc", "AUROC", None])
def test_unknown_metric_is_a_kova_error(metric):
    with pytest.raises(KovaError, match="Unsupported metric"):
        get_scoring_metric(metric)


@pytest.mark.parametrize(
    "func, direct",
    [(f1, skm.f1_score), (precision, skm.precision_score), (recall, skm.recall_score)],
    ids=["F1", "Precision", "Recall"],
)
def test_label_metrics_take_text_labels_and_zero_division(func, direct):
    truth = np.where(Y_CLS == 1, "yes", "no")
    pred = np.where(P_CLS > 0.5, "yes", "no")
    # the greater label is the positive class, like the 1 of numeric labels
    assert func(truth, pred) == pytest.approx(direct(Y_CLS, (P_CLS > 0.5).astype(int)))
    assert func(truth, pred, pos_label="no") == pytest.approx(direct(truth, pred, pos_label="no"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an undefined ratio is 0, without a warning
        assert func(np.zeros(5, int), np.zeros(5, int)) == 0.0


def test_auc_of_a_single_class_is_nan_and_otherwise_sklearn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isnan(auc(np.ones(4), [0.1, 0.2, 0.3, 0.4]))
    assert auc(Y_CLS, P_CLS) == pytest.approx(skm.roc_auc_score(Y_CLS, P_CLS))


# ------------------------------------------------------- what a fitted model's metric scores

X_FIT = RNG.normal(size=(300, 3))
Y_FIT = 3 * X_FIT[:, 0] + RNG.normal(size=300) + 10
LABELS = {2: (X_FIT[:, 0] > 0).astype(int), 3: np.digitize(X_FIT[:, 0], [-0.5, 0.5])}


def _model_data(model, classes):
    """A fitted model and its data dictionary (responses as class positions, as the pipeline)."""
    y = LABELS[classes]
    model.fit(X_FIT[:200], y[:200])
    data = {"x": X_FIT, "y": y, "prediction": model.predict(X_FIT), "test_idx": np.arange(200, 300)}
    return model, data


def _segment_score(metric, model, data, idx):
    _, _, scoring, needs_proba, _ = get_scoring_metric(metric, average=False)
    return segment_scorer(metric, scoring, needs_proba, model, data)(idx)


@pytest.mark.parametrize("classes", [2, 3])
@pytest.mark.parametrize("metric", ["AUC", "LogLoss", "Brier"])
def test_probability_metrics_score_the_probability_matrix(metric, classes):
    model, data = _model_data(LogisticRegression(), classes)
    y, proba = data["y"][200:], model.predict_proba(X_FIT[200:])
    if classes == 2:
        proba = proba[:, 1]
    direct = {"AUC": lambda: skm.roc_auc_score(y, proba, multi_class="ovr"),
              "LogLoss": lambda: skm.log_loss(y, proba), "Brier": lambda: skm.brier_score_loss(
                  y, proba, **({"labels": [0, 1, 2]} if classes == 3 else {}))}  # fmt: skip
    assert _segment_score(metric, model, data, np.arange(100)) == pytest.approx(direct[metric]())


@pytest.mark.parametrize("metric", ["AUC", "LogLoss", "Brier"])
def test_a_model_without_probabilities(metric):
    model, data = _model_data(LinearSVC(), 2)
    if metric == "AUC":  # the decision scores rank the rows as well as probabilities would
        expected = skm.roc_auc_score(data["y"][200:], model.decision_function(X_FIT[200:]))
        assert _segment_score(metric, model, data, np.arange(100)) == pytest.approx(expected)
    else:
        with pytest.raises(KovaError, match=f"^metric '{metric}' needs predicted probabilities"):
            _segment_score(metric, model, data, np.arange(100))


@pytest.mark.parametrize("metric", ["F1", "Precision", "Recall", "LogLoss", "AUC"])
def test_segment_scores_follow_the_model_classes(metric):
    """Rows holding fewer classes than the model: label metrics are averaged as for the whole
    model, LogLoss knows every class, and only a metric truly undefined there gives NaN."""
    classes = 3 if metric in ("F1", "Precision", "Recall") else 2
    model, data = _model_data(LogisticRegression(), classes)
    y_test = data["y"][200:]
    idx = np.flatnonzero(y_test != 1) if classes == 3 else np.flatnonzero(y_test == 0)
    score = _segment_score(metric, model, data, idx)
    y, prediction = y_test[idx], data["prediction"][200:][idx]
    expected = {
        "F1": lambda: skm.f1_score(y, prediction, average="macro", zero_division=0),
        "Precision": lambda: skm.precision_score(y, prediction, average="macro", zero_division=0),
        "Recall": lambda: skm.recall_score(y, prediction, average="macro", zero_division=0),
        "LogLoss": lambda: skm.log_loss(
            y, model.predict_proba(X_FIT[200:][idx])[:, 1], labels=[0, 1]
        ),
        "AUC": lambda: np.nan,  # a single class has no ranking to score
    }[metric]()
    np.testing.assert_allclose(score, expected)


@pytest.mark.parametrize("metric", ["ACC", "MSE", "MAE", "MAPE"])
def test_per_sample_segment_scores_are_the_metric_on_the_rows(metric):
    """Additive metrics score a segment from per-row values taken once: the same value as the
    metric computed on the segment's rows alone, bit for bit, and NaN on no rows."""
    if metric == "ACC":
        model, data = _model_data(LogisticRegression(), 3)
    else:
        model = LinearRegression().fit(X_FIT[:200], Y_FIT[:200])
        data = {"x": X_FIT, "y": Y_FIT, "prediction": model.predict(X_FIT),
                "test_idx": np.arange(200, 300)}  # fmt: skip
    _, _, scoring, needs_proba, _ = get_scoring_metric(metric, average=False)
    score = segment_scorer(metric, scoring, needs_proba, model, data)
    y, prediction = data["y"][200:], data["prediction"][200:]
    for idx in (np.arange(100), np.flatnonzero(X_FIT[200:, 1] > 0.3), [4, 2, 9]):
        expected = float(np.mean(scoring(y[idx], prediction[idx])))
        assert score(idx) == expected
    assert np.isnan(score(np.array([], dtype=np.intp)))
