"""Metrics by name: the lookup over ``kova.config.METRICS``, per-row errors, and what a metric
scores for a fitted model (labels, probabilities or decision scores) with its class options."""

from __future__ import annotations

import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from kova.config import CLS_METRICS, METRICS
from kova.exceptions import KovaError
from kova.models.pipeline import model_input

__all__ = ["get_scoring_metric", "metric_output", "scoring_options", "segment_scorer"]

_PROBA_RESPONSES = {"predict_proba", "decision_function"}
# Metrics scored on labels whose averaging depends on the number of classes.
_LABEL_AVERAGED = {"F1", "Precision", "Recall"}


def _rows(y_true: Any, y_pred: Any) -> tuple[np.ndarray, np.ndarray]:
    """Both arrays as (n, outputs) floats, so a column vector meets a flat one row by row."""
    y_true = np.asarray(y_true, dtype=float)
    y_pred = np.asarray(y_pred, dtype=float)
    n = y_true.shape[0]
    return y_true.reshape(n, -1), y_pred.reshape(n, -1)


def _squared_errors(y_true: Any, y_pred: Any) -> np.ndarray:
    t, p = _rows(y_true, y_pred)
    return ((t - p) ** 2).mean(axis=1)


def _absolute_errors(y_true: Any, y_pred: Any) -> np.ndarray:
    t, p = _rows(y_true, y_pred)
    return np.abs(t - p).mean(axis=1)


def _absolute_percentage_errors(y_true: Any, y_pred: Any) -> np.ndarray:
    # The same guard against zero targets as scikit-learn's mean absolute percentage error.
    t, p = _rows(y_true, y_pred)
    return (np.abs(t - p) / np.maximum(np.abs(t), np.finfo(np.float64).eps)).mean(axis=1)


def _hits(y_true: Any, y_pred: Any) -> np.ndarray:
    return (np.ravel(y_true) == np.ravel(y_pred)).astype(float)


# Metrics whose score is the mean of one value per sample: these values, sample by sample.
_PER_SAMPLE: dict[str, Callable[[Any, Any], np.ndarray]] = {
    "ACC": _hits,
    "MSE": _squared_errors,
    "MAE": _absolute_errors,
    "MAPE": _absolute_percentage_errors,
}


def get_scoring_metric(metric: str, average: bool = True) -> tuple:
    """Look a metric of ``kova.config.METRICS`` up by name.

    Returns ``(score_name, score_sign, scoring_function, needs_proba, is_additive)``:

    - ``score_sign`` is +1 when a larger score is better and -1 for losses (the scorer's own
      sign); a segment table sorts -1 descending, so either way the weakest segments come first;
    - ``scoring_function(y_true, y_pred, **options)`` computes the score; ``y_pred`` holds
      probabilities (or decision scores) when ``needs_proba`` is true, labels or values
      otherwise; ``options`` (see ``scoring_options``) override the scorer's keywords;
    - ``is_additive`` tells that the score is the mean of one value per sample. With
      ``average=False`` the scoring function of an additive metric returns these per-sample
      values (their mean is the score); any other function returns the score itself.
    """
    try:
        scorer = METRICS[metric]
    except (KeyError, TypeError):
        raise KovaError(
            f"Unsupported metric {metric!r}; choose one of {', '.join(METRICS)}."
        ) from None
    needs_proba = bool(_responses(scorer) & _PROBA_RESPONSES)
    is_additive = metric in _PER_SAMPLE
    scoring_function: Callable[..., Any]
    if is_additive and not average:
        scoring_function = _PER_SAMPLE[metric]
    else:
        scoring_function = _table_score(scorer)
    return metric, scorer._sign, scoring_function, needs_proba, is_additive


def _responses(scorer: Any) -> set[str]:
    """The model responses the scorer asks for ("predict", "predict_proba", ...)."""
    responses = getattr(scorer, "_response_method", None)
    if responses is None:  # scikit-learn before 1.4: one scorer class per response
        kind = type(scorer).__name__
        return {"_ProbaScorer": {"predict_proba"}, "_ThresholdScorer": _PROBA_RESPONSES}.get(
            kind, {"predict"}
        )
    return {responses} if isinstance(responses, str) else set(responses)


def _table_score(scorer: Any) -> Callable[..., float]:
    """The scorer's metric on (y_true, y_pred), with the scorer's own keyword arguments."""
    score_func, fixed = scorer._score_func, dict(scorer._kwargs)

    def score(y_true: Any, y_pred: Any, **kwargs: Any) -> float:
        return score_func(y_true, y_pred, **{**fixed, **kwargs})

    score.__name__ = score.__qualname__ = getattr(score_func, "__name__", "score")
    return score


# -------------------------------------------------------------- a fitted model's output


def n_classes(estimator: Any) -> int | None:
    """The number of classes of a fitted classifier, None when it has no ``classes_``."""
    classes = getattr(estimator, "classes_", None)
    return None if classes is None else len(classes)


def scoring_options(metric: str, classes: int | None) -> dict[str, Any]:
    """Keywords that make a classification metric follow the model's classes, not the rows'.

    The responses are class positions 0 .. classes - 1 (``ModelPipeline``): label metrics are
    binary for the positive class 1 of a two-class model and macro-averaged otherwise, even
    on rows that hold two classes or one; LogLoss, Brier and multi-class AUC know every class,
    so a part of the data without some class still gets its score.
    """
    if classes is None or metric not in METRICS:
        return {}
    if metric in _LABEL_AVERAGED:
        return {"average": "binary", "pos_label": 1} if classes == 2 else {"average": "macro"}
    labels = list(range(classes))
    if metric in ("LogLoss", "Brier") or (metric == "AUC" and classes > 2):
        return {"labels": labels}
    return {}


def metric_output(metric: str, estimator: Any, data: dict, rows: Any) -> np.ndarray:
    """What ``metric`` scores on the rows of a pipeline's data dictionary.

    Labels (``data["prediction"]``) for label metrics. For probability metrics: the class-1
    probability of a binary model (``data["prediction_proba"]``, else ``predict_proba``), the
    probability matrix of a multi-class model, or for a metric that takes scores (AUC) the
    decision scores of a model without probabilities. KovaError names the metric when the
    model gives neither.
    """
    if not get_scoring_metric(metric)[3]:
        return np.asarray(data["prediction"])[rows]
    return _scores(metric, estimator, data, rows)


def _scores(metric: str, estimator: Any, data: dict, rows: Any) -> np.ndarray:
    """Probabilities (or decision scores, where the metric takes them) of the rows."""
    proba = data.get("prediction_proba")
    if proba is not None:
        return np.asarray(proba)[rows]
    inputs = model_input(estimator, np.asarray(data["x"])[rows])
    if hasattr(estimator, "predict_proba"):
        output = np.asarray(estimator.predict_proba(inputs), dtype=float)
        return output[:, 1] if output.ndim == 2 and output.shape[1] == 2 else output
    if "decision_function" in _responses(METRICS[metric]) and hasattr(
        estimator, "decision_function"
    ):
        return np.asarray(estimator.decision_function(inputs), dtype=float)
    label_metrics = [name for name in CLS_METRICS if not get_scoring_metric(name)[3]]
    raise KovaError(
        f"metric {metric!r} needs predicted probabilities, which "
        f"{type(estimator).__name__} does not give; choose one of {', '.join(label_metrics)}."
    )


def score_or_nan(scoring: Callable[..., Any], y_true: Any, output: Any, **options: Any) -> float:
    """The mean of ``scoring(y_true, output)``, NaN where the metric is undefined on the rows
    (no rows, a single class for AUC, a constant response for R2)."""
    if len(y_true) == 0:
        return float("nan")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return float(np.mean(scoring(y_true, output, **options)))
        except ValueError:
            return float("nan")


def segment_scorer(
    metric: str, scoring: Callable[..., Any], needs_proba: bool, estimator: Any, data: dict
) -> Callable[[Any], float]:
    """``score(idx)``: ``scoring`` on the test rows at positions ``idx`` of ``data["test_idx"]``.

    The model's output of the test rows is taken once (``metric_output``, which raises
    KovaError up front when the model cannot give what the metric needs); a segment where
    the metric is undefined scores NaN instead of failing the whole table.
    """
    test = np.asarray(data["test_idx"])
    y_test = np.asarray(data["y"])[test]
    if needs_proba:
        output = _scores(metric, estimator, data, test)
    else:
        output = np.asarray(data["prediction"])[test]
    options = scoring_options(metric, n_classes(estimator))
    per_row = _per_row_values(metric, scoring, y_test, output, options)
    if per_row is not None:
        # a segment's score is the mean of its rows' values: computed once for all rows
        # the sum over the count is how np.mean computes it, without its per-call checks
        return lambda idx: float(per_row[idx].sum() / len(idx)) if len(idx) else float("nan")
    return lambda idx: score_or_nan(scoring, y_test[idx], output[idx], **options)


def _per_row_values(
    metric: str, scoring: Callable[..., Any], y_true: Any, output: Any, options: dict
) -> np.ndarray | None:
    """The per-sample values of every row when ``scoring`` is the metric's per-sample
    function (their mean over any rows is the score of those rows), else None."""
    if _PER_SAMPLE.get(metric) is not scoring or options:
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return np.asarray(scoring(y_true, output), dtype=float)
        except ValueError:
            return None
