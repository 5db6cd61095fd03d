"""The data-quality service fuzzed with odd frames: integrity reports, drift, outlier views."""

import numpy as np
import pandas as pd
import pytest
from fuzz_frames import frames, fuzz_settings, kept, unchanged
from hypothesis import given
from hypothesis import strategies as st

from kova.dashboard import DataQualityAPI
from kova.data import Dataset

pytestmark = pytest.mark.filterwarnings("ignore")

INTEGRITY = [
    "integrity_single_column_check",
    "integrity_duplicated_samples",
    "integrity_highly_correlated_features",
]
METHODS = ["isolation_forest", "pca", "gaussian_mixture", "local_outlier_factor"]
PARTS = ["all", "train", "test"]


@fuzz_settings(30)
@given(
    frame=frames() | frames(with_target=False),
    method=st.sampled_from(METHODS),
    data=st.data(),
)
def test_data_quality_views_give_a_result_or_a_kova_error(frame, method, data):
    target = "y" if "y" in frame.columns else None
    with unchanged(frame):
        dataset = kept(Dataset, frame, target=target, random_state=0)
        if dataset is None:
            return
        api = DataQualityAPI(dataset)
        part = data.draw(st.sampled_from(PARTS))
        kept(api.data_quality, show=data.draw(st.sampled_from(INTEGRITY)), dataset=part)
        kept(api.data_quality, show="drift_test_info")
        features = list(dataset.feature_names)
        kept(
            api.data_quality,
            show="drift_test_distance",
            distance_metric=data.draw(st.sampled_from(["PSI", "WD1", "KS"])),
            show_feature=data.draw(st.sampled_from([None, *features])),
        )
        api.model_list = [method]
        prepared = api.model_prepare()[method]["estimator"]
        if kept(api.fit_get_method, method=prepared, model_name=method, dataset=part) is None:
            return
        threshold = data.draw(st.sampled_from([0.0, 0.5, 0.99, 1.0]))
        view = data.draw(
            st.sampled_from(["od_score_distribution", "od_marginal_outlier_distribution"])
        )
        kept(api.data_quality, show=view, method=method, threshold=threshold, dataset=part)
        if data.draw(st.integers(0, 4)) == 0:  # the t-SNE view takes the longest
            kept(
                api.data_quality, show="od_tsne_comparison", method=[method], threshold=[threshold]
            )
        kept(api.apply_model, model=method, threshold=threshold)


@pytest.mark.parametrize("method", METHODS)
def test_outlier_methods_take_values_near_the_float_limits(method):
    huge = [1.7e308, 1.6e308, 4.9e302, -9e-261, 1.0, 2.0, 3.0, 4.0] * 3  # sums overflow
    frame = pd.DataFrame({"x0": huge, "x1": range(24), "y": [0, 1] * 12})
    api = DataQualityAPI(Dataset(frame, target="y", random_state=0))
    api.model_list = [method]
    prepared = api.model_prepare()[method]["estimator"]
    trained = api.fit_get_method(method=prepared, model_name=method, dataset="train")
    assert np.isfinite(trained.detector.train_scores_).all()
    api.data_quality(show="od_score_distribution", method=method, threshold=0.9, dataset="all")
