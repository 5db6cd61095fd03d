"""ModelPipeline: the data dictionary the diagnosers fit on, built from a model and a Dataset."""

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.preprocessing import StandardScaler
from sklearn.tree import DecisionTreeClassifier

from kova.data import Dataset
from kova.exceptions import KovaError
from kova.models import ModelPipeline

DATA_KEYS = {"x", "y", "prediction", "train_idx", "test_idx", "feature_names", "feature_types"}


def _fitted(dataset, model, scaled):
    encoded = ModelPipeline.encode(dataset)
    scaler = StandardScaler().fit(encoded.iloc[dataset.train_idx]) if scaled else None
    inputs = encoded if scaler is None else scaler.transform(encoded)
    inputs = inputs.iloc[dataset.train_idx] if scaler is None else inputs[dataset.train_idx]
    model.fit(inputs, dataset.train_y)
    return ModelPipeline(model, dataset, scaler=scaler), encoded.to_numpy()


@pytest.mark.parametrize("scaled", [False, True], ids=["frame-fitted", "scaled"])
@pytest.mark.parametrize(
    "name, model",
    [("breast_cancer", LogisticRegression(max_iter=5000)), ("diabetes", LinearRegression())],
)
def test_data_dict_holds_the_models_outputs_on_all_rows(name, model, scaled):
    dataset = Dataset.from_sklearn(name, random_state=3)
    pipeline, encoded = _fitted(dataset, model, scaled)
    data = pipeline.get_data_dict()
    binary = dataset.task_type == "classification"
    assert set(data) == DATA_KEYS | ({"prediction_proba"} if binary else set())
    inputs = data["x"] if scaled else pd.DataFrame(data["x"], columns=dataset.feature_names)
    np.testing.assert_allclose(data["prediction"], model.predict(inputs))
    if binary:
        np.testing.assert_allclose(data["prediction_proba"], model.predict_proba(inputs)[:, 1])
    np.testing.assert_array_equal(data["y"], dataset.y.to_numpy())
    np.testing.assert_array_equal(data["test_idx"], dataset.test_idx)
    assert data["feature_names"] == dataset.feature_names == pipeline.get_feature_names()
    assert data["feature_types"] == dataset.feature_types == pipeline.get_feature_types()
    # The original scale undoes the scaling, and is the identity without a scaler.
    np.testing.assert_allclose(pipeline.transform_original(data["x"]), encoded, atol=1e-9)
    assert pipeline.transform_original.is_identity is not scaled
    # Each call hands out fresh arrays: changing one dictionary leaves the next intact.
    data["x"][:] = 0.0
    data["train_idx"][:] = 0
    fresh = pipeline.get_data_dict()
    assert fresh["x"].any() and np.array_equal(fresh["train_idx"], dataset.train_idx)


def test_categories_become_sorted_codes_and_labels_class_positions():
    rng = np.random.default_rng(0)
    n = 120
    frame = pd.DataFrame(
        {
            "size": rng.normal(size=n),
            "colour": rng.choice(["red", "blue", "green", None], size=n),
            "label": rng.choice(["yes", "no", "maybe"], size=n),
        }
    )
    dataset = Dataset(frame, target="label", random_state=0)
    pipeline, encoded = _fitted(dataset, DecisionTreeClassifier(max_depth=3, random_state=0), False)
    data = pipeline.get_data_dict()
    assert pipeline.category_levels == {"colour": ["blue", "green", "red"]}
    colour = data["x"][:, 1]
    assert np.isnan(colour[frame["colour"].isna().to_numpy()]).all()
    known = frame["colour"].notna().to_numpy()
    levels = np.array(pipeline.category_levels["colour"])
    np.testing.assert_array_equal(levels[colour[known].astype(int)], frame["colour"][known])
    # Responses are positions in classes_; a three-class model gives no class-1 probability.
    classes = pipeline.estimator.classes_
    np.testing.assert_array_equal(classes[data["y"]], frame["label"])
    predicted = pipeline.estimator.predict(ModelPipeline.encode(dataset))
    np.testing.assert_array_equal(classes[data["prediction"]], predicted)
    assert "prediction_proba" not in data


@pytest.mark.parametrize(
    "name, model, message",
    [
        ("diabetes", LogisticRegression(), "must be a regressor"),
        ("breast_cancer", LinearRegression(), "must be a classifier"),
    ],
)
def test_estimator_must_match_the_task(name, model, message):
    dataset = Dataset.from_sklearn(name)
    with pytest.raises(KovaError, match=message):
        ModelPipeline(model, dataset)
