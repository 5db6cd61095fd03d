"""Metric tables, report names and dashboard parameter conversion of the kova toolbox.

``METRICS`` maps a metric name to a scikit-learn scorer. Every scorer carries ``_sign``:
-1 when smaller is better (scikit-learn then stores the score negated) and 1 otherwise.
``CLS_METRICS`` and ``REG_METRICS`` are the classification and regression parts of it.
"""

from __future__ import annotations

import inspect
import math
from collections.abc import Sequence
from typing import Any

import numpy as np
from sklearn import metrics as skm

from kova.exceptions import KovaError

__all__ = [
    "CLS_METRICS",
    "METRICS",
    "REG_METRICS",
    "SEGMENTED_DIAGNOSE_LIST",
    "param_render",
]

SEGMENTED_DIAGNOSE_LIST = [
    "segment_table",
    "weakspot",
    "accuracy_residual",
    "accuracy_table",
    "distribution_shift",
]

# ------------------------------------------------------------------------- scorers

# scikit-learn 1.4 replaced needs_proba/needs_threshold by response_method; support both.
_HAS_RESPONSE_METHOD = "response_method" in inspect.signature(skm.make_scorer).parameters

_PROBA = "predict_proba"
# Probabilities first: they make AUC work for multiclass (one-vs-rest) too. Estimators
# without them are scored on their decision function, which gives the same binary AUC.
# Before scikit-learn 1.4 this maps to needs_threshold, which scores binary targets only.
_SCORES = ("predict_proba", "decision_function")


def _scorer(metric: Any, *, greater_is_better: bool = True, response: Any = "predict", **kw):
    """``make_scorer`` asking the estimator for labels, probabilities or scores."""
    if _HAS_RESPONSE_METHOD:
        return skm.make_scorer(
            metric, greater_is_better=greater_is_better, response_method=response, **kw
        )
    if response == _PROBA:
        kw["needs_proba"] = True
    elif response == _SCORES:
        kw["needs_threshold"] = True
    return skm.make_scorer(metric, greater_is_better=greater_is_better, **kw)


def _label_options(y_true: Any, y_pred: Any, kwargs: dict[str, Any]) -> dict[str, Any]:
    """Averaging, positive class and zero-division value of the label metrics.

    Two classes (or fewer) are scored as a binary problem: the positive class is ``pos_label``
    when given, 1 for numeric or boolean labels (as scikit-learn), else the greater label, so
    text labels such as "no"/"yes" work. More classes are macro-averaged. An undefined ratio
    (no predicted or no true positive, as in a small segment) counts as 0 instead of warning.
    """
    labels = np.union1d(np.asarray(y_true), np.asarray(y_pred))
    options = {"zero_division": 0, **kwargs}
    if labels.size > 2:
        options.setdefault("average", "macro")
    elif options.setdefault("average", "binary") == "binary" and "pos_label" not in options:
        numeric = labels.dtype.kind in "biuf" or labels.size == 0
        options["pos_label"] = 1 if numeric else labels[-1]
    return options


def f1(y_true: Any, y_pred: Any, **kwargs: Any) -> float:
    """F1 score: of the positive class for binary targets, macro-averaged otherwise."""
    return skm.f1_score(y_true, y_pred, **_label_options(y_true, y_pred, kwargs))


def precision(y_true: Any, y_pred: Any, **kwargs: Any) -> float:
    """Precision: of the positive class for binary targets, macro-averaged otherwise."""
    return skm.precision_score(y_true, y_pred, **_label_options(y_true, y_pred, kwargs))


def recall(y_true: Any, y_pred: Any, **kwargs: Any) -> float:
    """Recall: of the positive class for binary targets, macro-averaged otherwise."""
    return skm.recall_score(y_true, y_pred, **_label_options(y_true, y_pred, kwargs))


def auc(y_true: Any, y_score: Any, **kwargs: Any) -> float:
    """ROC AUC; NaN when ``y_true`` holds a single class (a segment of one class, say)."""
    if np.unique(np.asarray(y_true)).size < 2:
        return float("nan")
    return skm.roc_auc_score(y_true, y_score, **kwargs)


def _root_mean_squared_error(y_true: Any, y_pred: Any, **kwargs: Any) -> float:
    """Square root of the mean squared error (for scikit-learn releases before 1.4)."""
    return float(np.sqrt(skm.mean_squared_error(y_true, y_pred, **kwargs)))


_rmse = getattr(skm, "root_mean_squared_error", _root_mean_squared_error)

CLS_METRICS = {
    "ACC": _scorer(skm.accuracy_score),
    "AUC": _scorer(auc, response=_SCORES, multi_class="ovr"),
    "F1": _scorer(f1),
    "Precision": _scorer(precision),
    "Recall": _scorer(recall),
    "LogLoss": _scorer(skm.log_loss, greater_is_better=False, response=_PROBA),
    "Brier": _scorer(skm.brier_score_loss, greater_is_better=False, response=_PROBA),
}

REG_METRICS = {
    "MSE": _scorer(skm.mean_squared_error, greater_is_better=False),
    "RMSE": _scorer(_rmse, greater_is_better=False),
    "MAE": _scorer(skm.mean_absolute_error, greater_is_better=False),
    "R2": _scorer(skm.r2_score),
    "MAPE": _scorer(skm.mean_absolute_percentage_error, greater_is_better=False),
}

METRICS = {**CLS_METRICS, **REG_METRICS}

# ------------------------------------------------------------------ parameter values

_KEYWORDS = {"None": None, "none": None, "True": True, "true": True, "False": False, "false": False}


def param_render(
    method_key: str, config_key: str, value: Any, flis: Sequence[str] | None = None
) -> Any:
    """Convert a dashboard widget's value into the value an outlier-detection parameter takes.

    - booleans, numbers and ``None`` are returned unchanged;
    - a list or tuple of numbers (a range) is returned unchanged; any other list or tuple
      is a multiple selection of feature names of ``flis``, returned as a list in order;
    - text is stripped and split at commas; each item is parsed: "None" gives ``None``,
      "True"/"False" booleans, integer and decimal literals ``int``/``float``, anything
      else (such as "auto") stays text. Then:
        * "" gives ``None``;
        * items that are all feature names of ``flis`` give the list of those names
          (a single name too), so a feature selection is always a list;
        * a single item gives its parsed value;
        * several numbers give a list of numbers;
        * any other several items are a feature selection and must all be in ``flis``.

    Text is parsed, never evaluated. A selection naming features that ``flis`` lacks
    raises ``KovaError`` naming the method and the parameter.
    """
    if value is None or isinstance(value, (bool, np.bool_, int, float, np.number)):
        return value
    if isinstance(value, (list, tuple)):
        if all(_is_number(item) for item in value):
            return value  # a range or a list of numbers, e.g. from a range slider
        return _feature_selection(method_key, config_key, list(value), flis)
    if not isinstance(value, str):
        return value
    text = value.strip()
    if text == "":
        return None
    items = [item.strip() for item in text.split(",")]
    parsed = [_scalar(item) for item in items]
    if flis is not None and all(isinstance(item, str) and item in flis for item in parsed):
        return items
    if len(parsed) == 1:
        return parsed[0]
    if all(_is_number(item) for item in parsed):
        return parsed
    return _feature_selection(method_key, config_key, parsed, flis)


def _is_number(item: Any) -> bool:
    return isinstance(item, (int, float, np.number)) and not isinstance(item, (bool, np.bool_))


def _scalar(text: str) -> Any:
    """Parse one text item: keyword, int, float, or the text itself."""
    if text in _KEYWORDS:
        return _KEYWORDS[text]
    try:
        return int(text)
    except ValueError:
        pass
    try:
        number = float(text)
    except ValueError:
        return text
    return number if math.isfinite(number) else text


def _feature_selection(method_key: str, config_key: str, names: list, flis: Any) -> list:
    """Check that every selected name is a feature of ``flis``; return the names."""
    if flis is None:
        return names
    unknown = [name for name in names if name not in flis]
    if unknown:
        raise KovaError(
            f"Invalid value for '{config_key}' of method '{method_key}': unknown features "
            f"{unknown!r}. Allowed features: {list(flis)!r}"
        )
    return names
