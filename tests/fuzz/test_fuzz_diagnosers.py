"""The diagnosers fuzzed: Accuracy and WeakSpot on odd frames through a real pipeline, the
two-sample distances and the binning on odd arrays."""

import math

import numpy as np
import pytest
from fuzz_frames import NASTY_FLOATS, fitted_pipeline, frames, fuzz_settings, kept, unchanged
from hypothesis import example, given
from hypothesis import strategies as st

from kova.diagnoser import Accuracy, WeakSpot
from kova.diagnoser.utils import Bucketing, twosample_test

pytestmark = pytest.mark.filterwarnings("ignore")

METRICS = {
    "classification": ["ACC", "AUC", "F1", "Precision", "Recall", "LogLoss", "Brier"],
    "regression": ["MSE", "RMSE", "MAE", "R2", "MAPE"],
}

float_cells = st.one_of(st.integers(-3, 3).map(float), st.sampled_from(NASTY_FLOATS), st.floats())
category_cells = st.one_of(st.sampled_from(["a", "b", "", "é"]), st.none(), st.integers(0, 2))


@st.composite
def samples(draw):
    """Two samples of the same 1 to 3 columns (0 to 25 rows each) and the columns' types."""
    kinds = draw(st.lists(st.sampled_from(["numerical", "categorical"]), min_size=1, max_size=3))
    parts = []
    for _ in range(2):
        n = draw(st.integers(0, 25))
        columns = [
            draw(st.lists(float_cells if kind == "numerical" else category_cells,
                          min_size=n, max_size=n))
            for kind in kinds
        ]  # fmt: skip
        part = np.empty((n, len(kinds)), dtype=object)
        for j, cells in enumerate(columns):
            part[:, j] = cells
        parts.append(part)
    if "categorical" not in kinds:
        parts = [part.astype(float) for part in parts]
    return parts[0], parts[1], kinds


@fuzz_settings(40)
@given(frame=frames(), kind=st.sampled_from(["trees", "linear"]), data=st.data())
def test_accuracy_and_weakspot_give_a_result_or_a_kova_error(frame, kind, data):
    pipeline = kept(fitted_pipeline, frame, kind)
    if pipeline is None:
        return
    model, fitted = pipeline.estimator, pipeline.get_data_dict()
    names = list(fitted["feature_names"])
    with unchanged(frame, fitted):
        accuracy = Accuracy(model).fit(**fitted)
        table = accuracy.get_result().value["data"]
        assert list(table.index) == ["Train", "Test", "Gap"]
        shown = data.draw(st.sampled_from([None, "y", "y_predict", *names]))
        residual = kept(accuracy.get_residual, shown, use_test=data.draw(st.booleans()))
        if residual is not None:
            kept(accuracy.plot_residual, residual)
        metric = data.draw(st.sampled_from([None, *METRICS[pipeline.dataset.task_type]]))
        weakspot = kept(
            WeakSpot,
            model,
            bins=data.draw(st.integers(1, 12)),
            threshold=data.draw(st.sampled_from([0.0, 1.0, 1.1, 5.0])),
            method=data.draw(st.sampled_from(["histogram", "tree"])),
            min_samples=data.draw(st.integers(1, 20)),
            metric=metric,
            slice_features=data.draw(st.lists(st.sampled_from(names), min_size=1, max_size=3)),
            use_test=data.draw(st.booleans()),
            category_levels=pipeline.category_levels,
        )
        if weakspot is not None and kept(weakspot.fit, **fitted) is not None:
            weakspot.get_result()
            weakspot.plot_marginal(weakspot.get_marginal())


def _objects(*rows):
    return np.array(rows, dtype=object).reshape(len(rows), -1)


@fuzz_settings(120)
@example(  # text in a numerical feature: a KovaError, not float()'s ValueError
    parts=(_objects(1.0, "a"), _objects(2.0), ["numerical"]), metric="KS", buckets="uniform",
    bins=2, shown=None,
)  # fmt: skip
@example(  # a missing value in a numerical feature
    parts=(_objects(1.0, None), _objects(2.0), ["numerical"]), metric="PSI", buckets="quantile",
    bins=2, shown=0,
)  # fmt: skip
@example(  # values near the float limits
    parts=(np.array([[1e300], [-1e300]]), np.array([[1.7e308]]), ["numerical"]), metric="PSI",
    buckets="uniform", bins=10, shown=None,
)  # fmt: skip
@given(
    parts=samples(),
    metric=st.sampled_from(["PSI", "WD1", "KS"]),
    buckets=st.sampled_from(["uniform", "quantile"]),
    bins=st.integers(1, 12),
    shown=st.sampled_from([None, 0, 1, 2]),
)
def test_twosample_test_gives_a_distance_or_a_kova_error(parts, metric, buckets, bins, shown):
    first, second, kinds = parts
    names = [f"f{j}" for j in range(len(kinds))]
    show_feature = None if shown is None or shown >= len(kinds) else names[shown]
    with unchanged(first, second):
        result = kept(
            twosample_test, first, second, distance_metric=metric, feature_names=names,
            feature_types=kinds, show_feature=show_feature, psi_buckets=buckets, psi_bins=bins,
        )  # fmt: skip
    if result is None:
        return
    distances = np.atleast_1d(result.value[metric]).astype(float)
    assert np.all(np.isnan(distances) | (distances >= 0)), distances
    if metric == "KS":
        assert np.all(np.isnan(distances) | (distances <= 1 + 1e-12)), distances


@fuzz_settings(120)
@example(values=["a", 1], method="uniform", bins=2, kind="numerical")  # text, numerical
@example(values=[None, 1.0], method="quantile", bins=2, kind="numerical")  # missing value
@example(values=[None, "a"], method="uniform", bins=2, kind="categorical")  # missing category
@given(
    values=st.lists(float_cells, max_size=30) | st.lists(category_cells, max_size=30),
    method=st.sampled_from(["uniform", "quantile"]),
    bins=st.integers(1, 12),
    kind=st.sampled_from(["numerical", "categorical"]),
)
def test_bucketing_groups_every_row_or_raises_a_kova_error(values, method, bins, kind):
    matrix = np.array(values, dtype=object).reshape(-1, 1)
    if kind == "numerical" and all(isinstance(v, float) for v in values):
        matrix = matrix.astype(float)
    bucketing = Bucketing(
        "v", method=method, n_bins=bins, feature_names=["v"], feature_types=[kind]
    )
    with unchanged(matrix):
        grouped = kept(bucketing.get_group_idx, matrix)
    if grouped is None:
        return
    group, ranges = grouped
    assert len(group) == len(ranges) == len(values)
    if kind == "numerical" and len(values):
        for value, (low, high) in zip(matrix[:, 0], ranges, strict=True):
            assert low <= value <= high or math.isclose(value, high)
