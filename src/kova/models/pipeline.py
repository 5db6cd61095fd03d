"""A fitted model together with its data set, in the form the diagnosers read.

`ModelPipeline` turns a `Dataset` into the numeric arrays every diagnoser works on and
records the model's predictions once, so segment tables, accuracy and weak-spot reports
all score the same outputs.

Encoding of the feature matrix "x" (`ModelPipeline.encode`):
- numerical features become floats (missing values NaN);
- categorical features become integer codes 0, 1, ... in the sorted order of their
  distinct values (missing values NaN); `category_levels[name][code]` is the level.

The estimator must take that matrix: fit it on `ModelPipeline.encode(dataset)` rows (a
frame is fine; it is then called with a frame of the same columns), or, when its inputs
were scaled, on `scaler.transform` of them and hand the same fitted `scaler` here.

Responses of classifiers are class positions: "y" and "prediction" hold the index of the
class in `estimator.classes_`, so that `|y - prediction_proba|` is the error of the
predicted probability of class 1 for binary classifiers.
"""

import numpy as np
import pandas as pd
from sklearn.base import is_classifier

from kova.exceptions import KovaError

__all__ = ["ModelPipeline", "model_input"]


def model_input(estimator, x):
    """`x` as a fitted estimator or transformer wants it: a frame when fitted on named columns."""
    names = getattr(estimator, "feature_names_in_", None)
    if names is None:
        return x
    return pd.DataFrame(x, columns=list(names))


def _encode_column(column, kind):
    """Floats for a numerical column; sorted-level integer codes for a categorical one."""
    if kind == "numerical":
        return pd.to_numeric(column, errors="raise").astype(float).to_numpy(), None
    uniques = column.dropna().unique()
    if pd.api.types.infer_dtype(uniques, skipna=False) == "string":
        levels = sorted(uniques)  # one type: the same order without the per-value key
    else:
        levels = sorted(uniques, key=lambda v: (str(type(v)), v))
    codes = pd.Categorical(column, categories=levels).codes.astype(float)
    codes[codes < 0] = np.nan
    return codes, levels


class OriginalScale:
    """Maps feature matrices from the model's scale back to the original one.

    Called with a 2-D array (one column per feature, in feature order) it returns the
    values on the original scale: `scaler.inverse_transform` when the pipeline was given
    a scaler, a float copy otherwise. The plots apply it column by column, so the
    scaler must act on each column separately (as standard and min-max scalers do).
    """

    def __init__(self, scaler=None):
        self.scaler = scaler

    def __call__(self, x):
        x = np.asarray(x, dtype=float)
        if self.scaler is None:
            return x.copy()
        return np.asarray(self.scaler.inverse_transform(model_input(self.scaler, x)), dtype=float)

    @property
    def is_identity(self):
        return self.scaler is None

    def __repr__(self):
        return f"OriginalScale({'identity' if self.scaler is None else self.scaler!r})"


class ModelPipeline:
    """A fitted scikit-learn estimator and the `Dataset` it was trained on.

    Parameters
    ----------
    estimator : a fitted scikit-learn regressor or classifier taking the encoded matrix
        (see the module notes), scaled by `scaler` when one is given.
    dataset : `kova.data.Dataset` with a target; its task type must match the estimator.
    scaler : optional fitted transformer with `transform` and `inverse_transform` that
        maps the encoded matrix to the estimator's inputs.

    Attributes
    ----------
    estimator, dataset, scaler : as given.
    category_levels : dict from categorical feature name to its levels (code order).
    transform_original : `OriginalScale` that maps "x" back to the encoded, unscaled
        values; the identity (a copy) without a scaler.
    """

    def __init__(self, estimator, dataset, scaler=None):
        if dataset.target_name is None:
            raise KovaError("The data set needs a target to diagnose a model.")
        self._check_task(estimator, dataset.task_type)
        self.estimator = estimator
        self.dataset = dataset
        self.scaler = scaler
        encoded, self.category_levels = self._encoded(dataset)
        self._x = encoded if scaler is None else self._scaled(scaler, encoded)
        self.transform_original = OriginalScale(scaler)
        self._y, self._prediction, self._proba = self._responses()

    @staticmethod
    def encode(dataset):
        """The encoded feature matrix of all rows as a frame with the feature names."""
        encoded, _ = ModelPipeline._encoded(dataset)
        return pd.DataFrame(encoded, columns=dataset.feature_names, index=dataset.x.index)

    @staticmethod
    def _encoded(dataset):
        columns, levels, x = [], {}, dataset.x
        for name, kind in zip(dataset.feature_names, dataset.feature_types, strict=True):
            values, column_levels = _encode_column(x[name], kind)
            columns.append(values)
            if column_levels is not None:
                levels[name] = column_levels
        return np.column_stack(columns), levels

    @staticmethod
    def _scaled(scaler, encoded):
        return np.asarray(scaler.transform(model_input(scaler, encoded)), dtype=float)

    @staticmethod
    def _check_task(estimator, task_type):
        if is_classifier(estimator) != (task_type == "classification"):
            kind = "a classifier" if task_type == "classification" else "a regressor"
            raise KovaError(f"The data set poses a {task_type} task; the estimator must be {kind}.")

    def _responses(self):
        """Target, prediction and (binary classifiers only) class-1 probability of all rows."""
        inputs = model_input(self.estimator, self._x)
        prediction = np.asarray(self.estimator.predict(inputs))
        target = self.dataset.y.to_numpy()
        if self.dataset.task_type == "regression":
            return target.astype(float), prediction.astype(float), None
        classes = np.asarray(self.estimator.classes_)
        proba = None
        if classes.size == 2 and hasattr(self.estimator, "predict_proba"):
            proba = np.asarray(self.estimator.predict_proba(inputs), dtype=float)[:, 1]
        return (
            self._class_positions(classes, target),
            self._class_positions(classes, prediction),
            proba,
        )

    @staticmethod
    def _class_positions(classes, labels):
        positions = np.searchsorted(classes, labels)
        positions = np.clip(positions, 0, classes.size - 1)
        unknown = classes[positions] != labels
        if np.any(unknown):
            raise KovaError(
                f"Labels unknown to the estimator: {pd.unique(labels[unknown])[:10].tolist()}."
            )
        return positions.astype(np.intp)

    def get_feature_names(self):
        return list(self.dataset.feature_names)

    def get_feature_types(self):
        return list(self.dataset.feature_types)

    def get_data_dict(self):
        """A new dictionary of the arrays the diagnosers fit on (copies; safe to change).

        Keys: "x", "y", "prediction", "prediction_proba" (binary classifiers with
        probabilities only), "train_idx", "test_idx", "feature_names", "feature_types".
        """
        data = {"x": self._x.copy(), "y": self._y.copy(), "prediction": self._prediction.copy()}
        if self._proba is not None:
            data["prediction_proba"] = self._proba.copy()
        data["train_idx"] = np.asarray(self.dataset.train_idx, dtype=np.intp).copy()
        data["test_idx"] = np.asarray(self.dataset.test_idx, dtype=np.intp).copy()
        data["feature_names"] = self.get_feature_names()
        data["feature_types"] = self.get_feature_types()
        return data

    def __repr__(self):
        return f"ModelPipeline({type(self.estimator).__name__}, {self.dataset!r})"
