"""Tools shared by the diagnosers: metrics by name; feature binning (``Bucketing``, from
kova.diagnoser.bucketing) and two-sample distances (``twosample_test``, from
kova.diagnoser.distances) are re-exported here, where the compiled modules bind them."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from kova.config import METRICS
from kova.diagnoser.bucketing import Bucketing
from kova.diagnoser.distances import twosample_test
from kova.exceptions import KovaError

__all__ = ["Bucketing", "get_scoring_metric", "twosample_test"]

# ----------------------------------------------------------------------- metrics

_PROBA_RESPONSES = {"predict_proba", "decision_function"}


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
    - ``scoring_function(y_true, y_pred)`` computes the score; ``y_pred`` holds probabilities
      (or decision scores) when ``needs_proba`` is true, labels or values otherwise;
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
    needs_proba = _needs_proba(scorer)
    is_additive = metric in _PER_SAMPLE
    scoring_function: Callable[..., Any]
    if is_additive and not average:
        scoring_function = _PER_SAMPLE[metric]
    else:
        scoring_function = _table_score(scorer)
    return metric, scorer._sign, scoring_function, needs_proba, is_additive


def _needs_proba(scorer: Any) -> bool:
    """Whether the scorer asks the estimator for probabilities or decision scores."""
    responses = getattr(scorer, "_response_method", None)
    if responses is None:  # scikit-learn before 1.4: one scorer class per response
        return type(scorer).__name__ in {"_ProbaScorer", "_ThresholdScorer"}
    responses = {responses} if isinstance(responses, str) else set(responses)
    return bool(responses & _PROBA_RESPONSES)


def _table_score(scorer: Any) -> Callable[..., float]:
    """The scorer's metric on (y_true, y_pred), with the scorer's own keyword arguments."""
    score_func, fixed = scorer._score_func, dict(scorer._kwargs)

    def score(y_true: Any, y_pred: Any, **kwargs: Any) -> float:
        return score_func(y_true, y_pred, **{**fixed, **kwargs})

    score.__name__ = score.__qualname__ = getattr(score_func, "__name__", "score")
    return score
