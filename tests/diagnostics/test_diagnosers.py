"""Accuracy and WeakSpot on real models, driven as the segmented diagnostics drive them."""

import functools
from copy import deepcopy

import numpy as np
import pytest
from matplotlib.figure import Figure
from sklearn import metrics
from sklearn.ensemble import RandomForestRegressor
from sklearn.linear_model import LogisticRegression
from sklearn.preprocessing import StandardScaler

from kova.data import Dataset
from kova.diagnoser import Accuracy, WeakSpot
from kova.diagnoser.weakspot import threshold_line
from kova.exceptions import KovaError
from kova.models import ModelPipeline

CASES = {
    "classification": ("breast_cancer", "ACC", metrics.accuracy_score, "mean radius"),
    "regression": ("diabetes", "MSE", metrics.mean_squared_error, "bmi"),
}


@functools.cache
def _case(task):
    """A pipeline (classifier on scaled inputs, or forest regressor) and its task settings."""
    name, metric, score, feature = CASES[task]
    dataset = Dataset.from_sklearn(name, random_state=1)
    encoded = ModelPipeline.encode(dataset).to_numpy()
    if task == "classification":
        scaler = StandardScaler().fit(encoded[dataset.train_idx])
        model = LogisticRegression(max_iter=2000)
        model.fit(scaler.transform(encoded[dataset.train_idx]), dataset.train_y)
    else:
        scaler = None
        model = RandomForestRegressor(n_estimators=30, min_samples_leaf=5, random_state=0)
        model.fit(encoded[dataset.train_idx], dataset.train_y)
    return ModelPipeline(model, dataset, scaler=scaler), metric, score, feature, encoded


@pytest.fixture(params=list(CASES))
def case(request):
    return _case(request.param)


def _weakspot(pipeline, **settings):
    # The settings, by keyword and in this order, are those segmented diagnostics hands over.
    params = {
        "estimator": pipeline.estimator,
        "bins": 10,
        "threshold": 1.1,
        "method": "histogram",
        "min_samples": 20,
        "metric": None,
        "slice_features": ["bmi"],
        "task_type": pipeline.dataset.task_type,
        "use_test": True,
        "random_state": pipeline.dataset.random_state,
    }
    params.update(settings)
    return WeakSpot(**params)


def test_accuracy_table_scores_train_and_test(case):
    pipeline, metric, score, _, _ = case
    data = pipeline.get_data_dict()
    accuracy = Accuracy(pipeline.estimator, random_state=0)
    accuracy.fit(**deepcopy(data))
    accuracy.get_scoring()
    accuracy.get_metric()
    table = accuracy.display_table(accuracy.get_result())
    assert list(table.index) == ["Train", "Test", "Gap"]
    for part, rows in (("Train", data["train_idx"]), ("Test", data["test_idx"])):
        expected = score(data["y"][rows], data["prediction"][rows])
        assert table.loc[part, metric] == pytest.approx(expected, abs=5e-5)
    np.testing.assert_allclose(table.loc["Gap"], table.loc["Test"] - table.loc["Train"], atol=2e-4)
    assert np.isfinite(table.to_numpy()).all()
    # A refit on other rows (a segment) reports those rows, not the earlier scores.
    segment = dict(data, train_idx=data["train_idx"][:50], test_idx=data["test_idx"][:30])
    accuracy.fit(**segment)
    rows = segment["test_idx"]
    refit = accuracy.display_table(accuracy.get_result())
    expected = score(data["y"][rows], data["prediction"][rows])
    assert refit.loc["Test", metric] == pytest.approx(expected, abs=5e-5)


def test_residuals_against_feature_prediction_and_response(case):
    pipeline, _, _, feature, encoded = case
    data = pipeline.get_data_dict()
    target = pipeline.dataset.target_name
    accuracy = Accuracy(pipeline.estimator).fit(**data)
    rows = data["test_idx"]
    output = data.get("prediction_proba", data["prediction"])
    expected_residual = data["y"][rows] - output[rows]
    column = data["feature_names"].index(feature)
    for shown, expected_x in [
        (feature, data["x"][rows, column]),
        (target + "_predict", output[rows]),
        (target, data["y"][rows]),
    ]:
        result = accuracy.get_residual(feature_name=shown, use_test=True)
        np.testing.assert_allclose(result.value["data"]["x"], expected_x)
        np.testing.assert_allclose(result.value["data"]["residual"], expected_residual)
    # On the original scale the plotted feature values are the unscaled ones.
    result = accuracy.get_residual(feature_name=feature, use_test=True)
    fig = accuracy.plot_residual(result, scaler=pipeline.transform_original, figsize=(8, 6))
    plotted = fig.axes[0].collections[0].get_offsets()[:, 0]
    np.testing.assert_allclose(np.sort(plotted), np.sort(encoded[rows, column]), atol=1e-9)


@pytest.mark.parametrize("method", ["histogram", "tree"])
def test_weak_slices_are_exactly_those_beyond_the_threshold(case, method):
    pipeline, metric, _, _, _ = case
    features = ["mean radius", "worst texture"] if metric == "ACC" else ["bmi", "s5"]
    weakspot = _weakspot(
        pipeline,
        method=method,
        slice_features=features,
        use_test=False,
        threshold=1.02,
        min_samples=10,
    )
    weakspot.fit(**pipeline.get_data_dict())
    result = weakspot.get_result().value
    slices, line = result["slices"], result["threshold"]
    assert result["metric"] == metric and list(result["data"].columns)[:2] == features
    beyond = slices[metric] < line if metric == "ACC" else slices[metric] > line
    np.testing.assert_array_equal(slices["Weak"], beyond & (slices["Size"] >= 10))
    assert len(result["data"]) == slices["Weak"].sum() > 0
    # Every training row is in exactly one slice; tree leaves hold min_samples rows at least.
    assert slices["Size"].sum() == len(pipeline.dataset.train_idx)
    if method == "tree":
        assert slices["Size"].min() >= 10
    worst_first = result["data"][metric].to_numpy()
    assert (
        np.all(np.diff(worst_first) >= 0) if metric == "ACC" else np.all(np.diff(worst_first) <= 0)
    )


def test_marginal_plot_shades_the_weak_slices(case):
    pipeline, _, _, feature, encoded = case
    weakspot = _weakspot(
        pipeline, slice_features=[feature], use_test=False, min_samples=5, threshold=1.02
    )
    weakspot.fit(**pipeline.get_data_dict())
    marginal = weakspot.get_marginal()
    slices = marginal.value["data"][0]["slices"]
    fig = weakspot.plot_marginal(marginal, scaler=pipeline.transform_original, figsize=(8, 6))
    assert isinstance(fig, Figure)
    ax = fig.axes[0]
    shaded = [patch for patch in ax.patches if patch.get_alpha() == 0.15]
    assert len(shaded) == slices["weak"].sum() > 0
    # The bins span the feature's unscaled range of the training rows.
    column = encoded[pipeline.dataset.train_idx, pipeline.dataset.feature_names.index(feature)]
    bars = fig.axes[1].patches
    assert bars[0].get_x() == pytest.approx(column.min())
    assert bars[-1].get_x() + bars[-1].get_width() == pytest.approx(column.max())


def test_undefined_slice_metric_is_never_weak():
    # AUC is undefined (NaN) on the single-class slices of a classifier.
    pipeline, _, _, feature, _ = _case("classification")
    weakspot = _weakspot(pipeline, metric="AUC", slice_features=[feature], bins=20, min_samples=1)
    weakspot.fit(**pipeline.get_data_dict())
    slices = weakspot.get_result().value["slices"]
    undefined = slices["AUC"].isna()
    assert undefined.any() and not slices.loc[undefined, "Weak"].any()


@pytest.mark.parametrize(
    "overall, larger_better, expected",
    [
        (2.0, False, 2.2),
        (0.9, True, 0.81),
        (-0.5, True, -0.55),
        (-1.0, False, -0.9),
        (0.0, True, 0.0),
    ],
)
def test_threshold_line_lies_on_the_bad_side(overall, larger_better, expected):
    assert threshold_line(overall, 1.1, larger_better) == pytest.approx(expected)


def test_bad_settings_and_data_keys_fail_clearly(case):
    pipeline = case[0]
    with pytest.raises(KovaError, match="Invalid value for .method.: .forest."):
        _weakspot(pipeline, method="forest")
    with pytest.raises(KovaError, match="Unknown feature"):
        _weakspot(pipeline, slice_features=["no such feature"]).fit(**pipeline.get_data_dict())
    with pytest.raises(TypeError):
        Accuracy(pipeline.estimator).fit(**pipeline.get_data_dict(), extra=1)
