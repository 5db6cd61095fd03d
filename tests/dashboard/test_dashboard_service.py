"""The data-quality service: methods and their settings, training, outlier views, drift."""

import numpy as np
import pandas as pd
import pytest

from kova.dashboard import DataQualityAPI, component, drift, embedding, quality
from kova.data import Dataset
from kova.data.kestrin.kestrin import DataIntegrityCheck
from kova.demo import demo_frame
from kova.exceptions import KovaError

METHOD_KEYS = ["isolation_forest", "pca", "gaussian_mixture", "local_outlier_factor"]
PLANTED = 6  # planted outliers in `planted_frame`


def planted_frame(rows=300, seed=0):
    """Correlated features (a plane in 4 columns) plus a few rows far off the plane."""
    rng = np.random.default_rng(seed)
    mixing = rng.normal(size=(2, 4))
    x = rng.normal(size=(rows, 2)) @ mixing + 0.05 * rng.normal(size=(rows, 4))
    off_plane = np.linalg.svd(mixing)[2][2:]  # directions orthogonal to the plane
    angles = np.linspace(0, 2 * np.pi, PLANTED, endpoint=False)  # distinct, spread around
    x[:PLANTED] = 4.0 * np.column_stack([np.cos(angles), np.sin(angles)]) @ off_plane
    frame = pd.DataFrame(x, columns=list("abcd"))
    frame["group"] = rng.choice(["u", "v"], size=rows)
    frame["y"] = rng.integers(0, 2, size=rows)
    return frame


@pytest.fixture
def planted():
    return DataQualityAPI(Dataset(planted_frame(), target="y", random_state=0))


@pytest.fixture
def demo():
    return DataQualityAPI(Dataset(demo_frame(), target="target", random_state=0))


# ------------------------------------------------------------------ method list


@pytest.mark.parametrize(
    "selection",
    [[], ["pca"], ("local_outlier_factor", "isolation_forest"), {"pca": "PCA"}.keys()],
)
def test_model_list_assignment_selects_what_model_prepare_makes(demo, selection):
    names = demo.model_list
    demo.model_list = selection
    assert list(demo.model_prepare()) == list(selection)
    assert demo.model_list is names  # reading still lists every method, for the next panel
    assert list(names) == list(demo.model_item) == METHOD_KEYS
    assert all(isinstance(name, str) and name for name in names.values())


@pytest.mark.parametrize("bad", ["pca", ["pca", "svm"]])
def test_model_list_rejects_unknown_methods(demo, bad):
    with pytest.raises(KovaError):
        demo.model_list = bad
    assert demo.selected_models == METHOD_KEYS  # the selection is unchanged


@pytest.mark.parametrize("key", METHOD_KEYS)
def test_every_method_has_a_parameter_panel_matching_its_settings(demo, key):
    entries = demo.model_item[key]
    panel = component.ModelParameterPanel(demo.model_list[key], entries)
    linked = {k: e[2] for k, e in entries.items() if e[2] != ""}
    assert set(panel.model_config) == set(linked.values())
    config = {key: {k: panel.model_config[w].value for k, w in linked.items()}}
    settings = demo.model_config_setting(config)
    assert settings[key] == {k: e[1] for k, e in entries.items()}


def test_model_config_setting_overrides_linked_settings_only(demo):
    settings = demo.model_config_setting(
        {"isolation_forest": {"n_estimators": 7, "random_state": 99}}
    )
    assert settings["isolation_forest"]["n_estimators"] == 7
    assert settings["isolation_forest"]["random_state"] == 0  # fixed: the data set's seed
    assert settings["pca"]["n_components"] == 0.9
    with pytest.raises(KovaError):
        demo.model_config_setting({"pca": {"whiten": True}})
    with pytest.raises(KovaError):
        demo.model_config_setting({"svm": {}})


# --------------------------------------------------------------------- training


@pytest.mark.parametrize("key", METHOD_KEYS)
def test_each_method_ranks_planted_outliers_on_top(planted, key, train):
    # A mixture of several components may give a small group of outliers its own one.
    planted.model_config = planted.model_config_setting({"gaussian_mixture": {"max_components": 1}})
    train(planted, [key])
    trained = planted.custom_model_dict[key]
    top = trained.positions[np.argsort(trained.detector.train_scores_)[-2 * PLANTED :]]
    assert set(range(PLANTED)) <= set(top)


@pytest.mark.parametrize("threshold", [0.0, 0.5, 0.9, 1.0])
def test_threshold_is_a_quantile_of_the_training_scores(planted, shown, threshold, train):
    train(planted, ["isolation_forest"], part="train")
    result = planted.data_quality(
        show="od_score_distribution",
        dataset="train",
        method="isolation_forest",
        threshold=threshold,
    )
    scores = result.data["score"].to_numpy()
    assert result.data["outlier"].sum() == (scores > np.quantile(scores, threshold)).sum()
    result.show_message()
    assert len(shown) == 1
    assert "<img" in shown[0].data


def test_feature_selection_and_view_of_another_part(planted, train):
    planted.model_config = planted.model_config_setting({"pca": {"features": ["a", "group"]}})
    train(planted, ["pca"], part="train")
    assert planted.custom_model_dict["pca"].detector.features == ["a", "group"]
    result = planted.data_quality(
        show="od_marginal_outlier_distribution", dataset="test", method="pca", threshold=0.9
    )
    test_rows = planted.dataset.test_idx
    assert list(result.data.columns) == ["a", "group"]
    assert set(result.data.index) <= set(planted.dataset.data_init.index[test_rows])


def test_retraining_a_failed_name_clears_the_failure(planted):
    planted.training_failed_list.append("LOF")
    planted.model_config = planted.model_config_setting(
        {"local_outlier_factor": {"n_neighbors": 0}}
    )
    planted.model_list = ["local_outlier_factor"]
    bad = planted.model_prepare()["local_outlier_factor"]["estimator"]
    with pytest.raises(ValueError, match="n_neighbors"):
        planted.fit_get_method(method=bad, model_name="LOF", dataset="train")
    assert "LOF" not in planted.custom_model_dict
    planted.model_config = None
    good = planted.model_prepare()["local_outlier_factor"]["estimator"]
    planted.fit_get_method(method=good, model_name="LOF", dataset="train")
    assert planted.training_failed_list == []
    assert "LOF" in planted.custom_model_dict


@pytest.mark.parametrize("part", ["all", "train", "test"])
def test_apply_model_removes_flagged_training_rows_only(planted, part, train):
    train(planted, ["isolation_forest"], part=part)
    trained = planted.custom_model_dict["isolation_forest"]
    flagged = trained.positions[trained.detector.train_scores_ > trained.detector.cutoff(0.9)]
    train_before, test_before = planted.dataset.train_idx, planted.dataset.test_idx
    removed = planted.apply_model(model="isolation_forest", threshold=0.9)
    expected = np.intersect1d(flagged, train_before)
    assert removed == len(expected)
    assert np.array_equal(planted.dataset.outlier_idx, expected)
    assert np.array_equal(planted.dataset.test_idx, test_before)
    assert np.array_equal(planted.dataset.train_idx, np.setdiff1d(train_before, expected))
    # "all" now leaves the removed rows out
    assert len(planted._positions("all")) == len(planted.dataset.data_init) - removed


# ----------------------------------------------------------------- requests


@pytest.mark.parametrize(("show", "report"), list(quality.INTEGRITY_REPORTS.items()))
@pytest.mark.parametrize("part", ["all", "test"])
def test_integrity_reports_run_on_the_chosen_part(demo, shown, show, report, part):
    result = demo.data_quality(show=show, dataset=part)
    rows = demo.dataset.data_init.iloc[demo._positions(part)]
    expected = getattr(DataIntegrityCheck(rows, demo.dataset.meta_info), report)()
    table = getattr(result.message, "data", result.message)
    if isinstance(table, pd.DataFrame):
        pd.testing.assert_frame_equal(table, getattr(expected, "data", expected))
    else:
        assert table == expected
    result.show_message()
    assert shown == [result.message]


@pytest.mark.parametrize(
    "request_",
    [
        {"show": "od_something"},
        {"show": "integrity_duplicated_samples", "dataset": "validation"},
        {"show": "od_score_distribution", "method": "never trained"},
        {"show": "drift_test_distance", "distance_metric": "JS"},
        {"show": "drift_test_distance", "show_feature": "no such feature"},
        {"show": "od_tsne_comparison", "method": ["pca"], "threshold": []},
    ],
)
def test_invalid_requests_raise_kova_error(demo, request_):
    with pytest.raises(KovaError):
        demo.data_quality(**request_)


@pytest.mark.parametrize("threshold", [-0.1, 1.5])
def test_thresholds_outside_the_unit_interval_are_refused(planted, threshold, train):
    train(planted, ["pca"])
    with pytest.raises(KovaError):
        planted.apply_model(model="pca", threshold=threshold)


def test_drift_compares_present_values_of_each_feature(demo, monkeypatch):
    calls = []
    real = drift.twosample_test

    def recording(**kwargs):
        calls.append(kwargs)
        return real(**kwargs)

    monkeypatch.setattr(drift, "twosample_test", recording)
    result = demo.data_quality(show="drift_test_info", dataset="train")
    table = result.data.data
    assert list(table.columns) == ["Feature", "PSI", "WD1", "KS", "Shift"]
    assert sorted(table["Feature"]) == sorted(demo.dataset.feature_names)
    assert table["PSI"].is_monotonic_decreasing
    assert table[["PSI", "WD1", "KS"]].notna().all().all()
    texture = [c for c in calls if c["feature_names"] == ["mean_texture"]]
    assert texture
    assert all(np.isfinite(c["sample1"].astype(float)).all() for c in texture)
    missing = demo.dataset.data_init["mean_texture"].iloc[demo.dataset.train_idx].isna().sum()
    assert len(texture[0]["sample1"]) == len(demo.dataset.train_idx) - missing > 0


@pytest.mark.parametrize(
    ("feature", "metric"), [(None, "PSI"), ("site", "KS"), ("mean_area", "WD1")]
)
def test_drift_distance_view_draws_a_figure(demo, feature, metric):
    result = demo.data_quality(
        show="drift_test_distance", distance_metric=metric, show_feature=feature
    )
    assert result.figure is not None
    assert result.figure.axes
    if feature is None:
        assert list(result.data.columns) == ["Feature", metric]


def test_tsne_comparison_draws_at_once_and_samples_keeping_outliers(
    planted, shown, monkeypatch, train
):
    monkeypatch.setattr(embedding, "TSNE_MAX_SAMPLES", 60)
    train(planted, ["isolation_forest", "pca"])
    result = planted.data_quality(
        show="od_tsne_comparison",
        dataset="all",
        method=["isolation_forest", "pca"],
        threshold=[0.98, 0.99],
    )
    assert len(result.figure.axes) == 2
    assert len(result.data) == 60
    assert set(range(PLANTED)) <= set(result.data.index)
    assert len(shown) == 1
    assert "<img" in shown[0].data


def test_tsne_comparison_without_methods_asks_for_one(planted, shown):
    result = planted.data_quality(show="od_tsne_comparison", method=[], threshold=[])
    assert result.figure is None
    assert "Select at least one trained method" in shown[0].data
