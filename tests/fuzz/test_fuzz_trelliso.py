"""Segmented diagnostics fuzzed with odd frames through a real model pipeline."""

import math

import pandas as pd
import pytest
from fuzz_frames import fitted_pipeline, frames, fuzz_settings, kept, unchanged
from hypothesis import given
from hypothesis import strategies as st

from kova.exceptions import KovaError
from kova.utils import TestResult
from kova.workflow.trelliso import SegmentedDiagnoseAPI

pytestmark = pytest.mark.filterwarnings("ignore")

REPORTS = ["accuracy_table", "accuracy_residual", "weakspot", "distribution_shift"]


def _report_settings(data, api, report):
    """Drawn settings of one report on the segment table just built."""
    features = list(api.feature_names)
    target = api.pipeline.dataset.target_name
    if report == "accuracy_residual":
        shown = [*features, target, f"{target}_predict"]
        return {"show_feature": data.draw(st.sampled_from(shown))}
    if report == "weakspot":
        return {
            "slice_features": data.draw(st.lists(st.sampled_from(features), min_size=1)),
            "slice_method": data.draw(st.sampled_from(["histogram", "tree"])),
            "slice_bins": data.draw(st.integers(1, 12)),
            "min_samples": data.draw(st.integers(1, 25)),
            "threshold": data.draw(st.sampled_from([0.5, 1.0, 1.1, 3.0])),
            "use_test": data.draw(st.booleans()),
        }
    if report == "distribution_shift":
        return {
            "show_feature": data.draw(st.sampled_from(features)),
            "distance_metric": data.draw(st.sampled_from(["PSI", "WD1", "KS"])),
        }
    return {}


@fuzz_settings(60)
@given(
    frame=frames() | frames(finite=True), kind=st.sampled_from(["trees", "linear"]), data=st.data()
)
def test_segmented_diagnose_gives_a_result_or_a_kova_error(frame, kind, data):
    with unchanged(frame):
        pipeline = kept(fitted_pipeline, frame, kind)
    if pipeline is None:
        return
    api = SegmentedDiagnoseAPI(pipeline)
    common = {
        "segment_method": data.draw(st.sampled_from(["uniform", "quantile", "auto"])),
        "segment_bins": data.draw(st.integers(1, 8)),
        "metric": data.draw(st.sampled_from([None, *api.metric_list])),
    }
    with unchanged(frame, api.data_dict):
        table = kept(api.segmented_diagnose, show="segment_table", **common)
        if table is None or table.data is None or len(api.result_table) == 0:
            return
        assert isinstance(table, TestResult)
        report = data.draw(st.sampled_from(REPORTS))
        segment_id = data.draw(st.integers(0, len(api.result_table) - 1))
        settings = _report_settings(data, api, report)
        result = kept(
            api.segmented_diagnose, show=report, segment_id=segment_id, **common, **settings
        )
        assert result is None or isinstance(result, TestResult)
        if result is not None:
            kept(api.segment_rows, segment_id)


@pytest.mark.parametrize("method", ["uniform", "quantile", "auto"])
@pytest.mark.parametrize("cell", [math.nan, math.inf, None])
def test_segments_name_the_feature_with_missing_or_infinite_values(method, cell):
    x0 = [float(i % 5) for i in range(40)]
    x0[::2] = [cell] * 20  # in the test rows whatever the split
    frame = pd.DataFrame({"x0": x0, "x1": range(40), "y": [i % 2 for i in range(40)]})
    if cell is None:
        frame["x0"] = frame["x0"].astype("Float64")
    api = SegmentedDiagnoseAPI(fitted_pipeline(frame))
    with pytest.raises(KovaError, match="Feature 'x0' has missing or infinite values"):
        api.segmented_diagnose(show="segment_table", segment_method=method)
