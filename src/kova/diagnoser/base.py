"""What the diagnosers share: the fitted data, model outputs, scoring and figure styling."""

import warnings

import numpy as np
from sklearn.base import is_classifier

from kova.diagnoser.utils import get_scoring_metric
from kova.exceptions import KovaError

# the diagnosers' figures: the toolbox's one figure helper and style, imported from here
from kova.figures import BAR_COLOR as BAR_COLOR
from kova.figures import LINE_COLOR as LINE_COLOR
from kova.figures import POINT_COLOR as POINT_COLOR
from kova.figures import TEXT_COLOR as TEXT_COLOR
from kova.figures import new_figure as new_figure
from kova.models.pipeline import model_input

TASK_TYPES = ("classification", "regression")


def task_type_of(estimator, task_type=None):
    """The task type given, or the estimator's when `None`."""
    if task_type is None:
        return "classification" if is_classifier(estimator) else "regression"
    if task_type not in TASK_TYPES:
        raise KovaError(f"task_type must be one of {list(TASK_TYPES)}, got {task_type!r}.")
    return task_type


def larger_is_better(score_sign):
    """`get_scoring_metric` gives +1 to scores where larger is better and -1 to losses."""
    return score_sign == 1


class DataDiagnoser:
    """Holds the data dictionary of a fitted model and gives its rows and outputs.

    `fit` takes the keys of `ModelPipeline.get_data_dict()` and nothing else, so a
    mistyped key fails at once instead of being ignored.
    """

    def __init__(self, estimator, random_state=0, task_type=None):
        self.estimator = estimator
        self.random_state = random_state
        self.task_type = task_type_of(estimator, task_type)

    def fit(
        self,
        x,
        y,
        prediction,
        train_idx,
        test_idx,
        feature_names,
        feature_types,
        prediction_proba=None,
    ):
        x = np.asarray(x, dtype=float)
        n_rows = x.shape[0]
        if x.ndim != 2 or x.shape[1] != len(feature_names) or len(feature_types) != x.shape[1]:
            raise KovaError("x must have one column per feature name and feature type.")
        arrays = {"y": y, "prediction": prediction, "prediction_proba": prediction_proba}
        for name, values in arrays.items():
            if values is not None and len(values) != n_rows:
                raise KovaError(f"{name} has {len(values)} rows; x has {n_rows}.")
        self.x, self.y, self.prediction = x, np.asarray(y), np.asarray(prediction)
        self.prediction_proba = None if prediction_proba is None else np.asarray(prediction_proba)
        self.train_idx = np.asarray(train_idx, dtype=np.intp).ravel()
        self.test_idx = np.asarray(test_idx, dtype=np.intp).ravel()
        self.feature_names = list(feature_names)
        self.feature_types = list(feature_types)
        self._on_fit()
        return self

    def _on_fit(self):
        """What a diagnoser computes once its data is set; nothing by default."""

    def _check_fitted(self):
        if not hasattr(self, "x"):
            raise KovaError(f"{type(self).__name__} is not fitted; call fit first.")

    def _rows(self, use_test):
        return self.test_idx if use_test else self.train_idx

    def _feature_index(self, name):
        if name not in self.feature_names:
            raise KovaError(f"Unknown feature {name!r}; choose one of {self.feature_names}.")
        return self.feature_names.index(name)

    def _probabilities(self, rows):
        """Probabilities of the rows: of class 1 for binary models, else one column per class."""
        if self.prediction_proba is not None:
            return self.prediction_proba[rows]
        if not hasattr(self.estimator, "predict_proba"):
            return None
        proba = self.estimator.predict_proba(model_input(self.estimator, self.x[rows]))
        proba = np.asarray(proba, dtype=float)
        return proba[:, 1] if proba.shape[1] == 2 else proba

    def _model_output(self, rows, needs_proba):
        """What a metric scores: probabilities when it needs them, else the predictions."""
        return self._probabilities(rows) if needs_proba else self.prediction[rows]

    def _residual(self, rows):
        """Response minus prediction; for classifiers the error of the predicted probability.

        Binary classifiers with probabilities: y - P(class 1). Other classifiers:
        1 - P(true class) when the model gives probabilities, else 1 for a wrong label and
        0 for a right one.
        """
        if self.task_type == "regression":
            return self.y[rows].astype(float) - self.prediction[rows].astype(float)
        proba = self._probabilities(rows)
        if proba is None:
            return (self.y[rows] != self.prediction[rows]).astype(float)
        if proba.ndim == 1:
            return self.y[rows].astype(float) - proba
        return 1.0 - proba[np.arange(len(rows)), self.y[rows].astype(np.intp)]


def metric_score(metric, y_true, output):
    """The mean score of `metric` on the rows, NaN when it is undefined there.

    A metric may be undefined on a small part of the data (AUC of a single class, R2 of a
    constant response); such parts get NaN instead of failing the whole report.
    """
    if output is None or len(y_true) == 0:
        return np.nan
    _, _, scoring, _, _ = get_scoring_metric(metric, average=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return float(np.mean(scoring(y_true, output)))
        except ValueError:
            return np.nan


def original_column(scaler, values, column, n_features):
    """One feature's values mapped to the original scale by a column-wise `scaler`."""
    values = np.asarray(values, dtype=float)
    if scaler is None:
        return values
    matrix = np.zeros((values.shape[0], n_features))
    matrix[:, column] = values
    return np.asarray(scaler(matrix), dtype=float)[:, column]


def format_bound(value):
    return str(np.round(value, 4))
