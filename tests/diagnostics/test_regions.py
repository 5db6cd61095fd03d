"""find_weak_regions on pipelines with a planted weak region, and its native condition search."""

import functools
import itertools

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor

from kova import _kernels
from kova.data import Dataset
from kova.diagnoser import WeakSpot, find_weak_regions
from kova.exceptions import KovaError
from kova.models import ModelPipeline

COLOURS = np.array(["blue", "green", "red", "white"], dtype=object)
REGRESSOR = functools.partial(HistGradientBoostingRegressor, max_iter=30, random_state=0)

# case -> (task, planted region on the frame, model, metric)
CASES = {
    "numerical pair": (
        "regression",
        lambda f: (f["x1"] > 0.8) & (f["x3"] <= 0),
        REGRESSOR,
        "MSE",
    ),
    "levels and interval": (
        "classification",
        lambda f: f["colour"].isin(["red", "blue"]) & (f["x1"] > 0.5),
        functools.partial(HistGradientBoostingClassifier, max_iter=30, random_state=0),
        "ACC",
    ),
    "missing and interval": (
        "regression",
        lambda f: f["x2"].isna() & (f["x1"] > 0),
        REGRESSOR,
        "MAE",
    ),
}


@functools.cache
def _pipeline(case, rows=6000, planted=True, seed=0):
    """A pipeline whose errors are large only inside the case's region (when `planted`)."""
    task, rule, model, _ = CASES[case]
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame(rng.normal(size=(rows, 5)), columns=[f"x{j}" for j in range(5)])
    frame["colour"] = COLOURS[rng.integers(0, COLOURS.size, rows)]
    frame.loc[rng.random(rows) < 0.1, "x2"] = np.nan
    region = rule(frame).to_numpy() & planted
    if task == "regression":
        frame["y"] = frame["x0"] + rng.normal(size=rows) * np.where(region, 3.0, 0.3)
    else:
        flip = rng.random(rows) < np.where(region, 0.4, 0.02)
        frame["y"] = (frame["x0"].to_numpy() > 0) ^ flip
    dataset = Dataset(frame, target="y", task_type=task, test_ratio=0.6, random_state=seed)
    encoded = ModelPipeline.encode(dataset).to_numpy()
    estimator = model().fit(encoded[dataset.train_idx], dataset.train_y)
    return ModelPipeline(estimator, dataset), frame.index[region]


def _satisfies(frame, condition):
    """Rows meeting a condition, read off the raw data rather than the bin codes."""
    column = frame[condition.feature]
    if condition.kind == "missing":
        return column.isna()
    if condition.kind == "levels":
        return column.isin(condition.levels)
    inside = column.notna()
    if condition.lower is not None:
        inside &= column > condition.lower
    if condition.upper is not None:
        inside &= column <= condition.upper
    return inside


def _losses(pipeline, metric):
    """Per-row losses of the test rows, computed from the estimator directly."""
    data = pipeline.get_data_dict()
    rows = data["test_idx"]
    y, prediction = data["y"][rows], data["prediction"][rows]
    if metric == "MSE":
        return (y - prediction) ** 2
    if metric == "MAE":
        return np.abs(y - prediction)
    if metric == "ACC":
        return (y != prediction).astype(float)
    p = pipeline.estimator.predict_proba(data["x"][rows])[np.arange(rows.size), y]
    return -np.log(p)


@pytest.mark.parametrize("case", list(CASES))
def test_planted_region_is_found_and_rows_match_conditions(case):
    pipeline, planted = _pipeline(case)
    metric = CASES[case][3]
    result = find_weak_regions(pipeline, metric=metric)
    table = result.table
    assert list(table.columns) == ["Region", "Size", metric, "Overall", "Gap", "p-value"]
    assert len(table) >= 1
    assert (table["p-value"] <= 0.05).all()
    test_labels = pipeline.dataset.x.index[pipeline.dataset.test_idx]
    test_frame = pipeline.dataset.data_init.loc[test_labels]
    planted = planted.intersection(test_labels)
    for i, region in enumerate(result.regions):
        inside = np.logical_and.reduce([_satisfies(test_frame, c) for c in region.conditions])
        assert result.rows(i).equals(test_labels[inside])
        assert table["Size"].iloc[i] == inside.sum()
        assert table["Region"].iloc[i] == region.text
    np.testing.assert_allclose(table["Gap"], table[metric] - table["Overall"])
    top = result.rows(0)
    hits = top.intersection(planted).size
    assert hits / top.size >= 0.85, table["Region"].iloc[0]
    assert hits / planted.size >= 0.85, table["Region"].iloc[0]
    words = {"numerical pair": ("x1 >", "x3 <="), "levels and interval": ("{blue, red}", "x1 >")}
    words["missing and interval"] = ("x2 is missing", "x1 >")
    assert all(word in table["Region"].iloc[0] for word in words[case])


@pytest.mark.parametrize(
    ("case", "metric"), [("numerical pair", "MSE"), ("levels and interval", "LogLoss")]
)
def test_p_values_match_a_brute_force_welch_test(case, metric):
    pipeline, _ = _pipeline(case, rows=900, seed=3)
    result = find_weak_regions(pipeline, metric=metric, min_size=30, alpha=0.9)
    assert len(result) >= 1
    loss = _losses(pipeline, metric)
    positions = pd.Index(pipeline.dataset.x.index[pipeline.dataset.test_idx])
    for i in range(len(result)):
        inside = positions.isin(result.rows(i))
        welch = stats.ttest_ind(loss[inside], loss[~inside], equal_var=False, alternative="greater")
        expected = min(1.0, welch.pvalue * result.n_tested)
        assert result.table["p-value"].iloc[i] == pytest.approx(expected, rel=1e-6, abs=1e-300)


@pytest.mark.parametrize("case", ["numerical pair", "levels and interval"])
def test_a_clean_model_has_no_weak_region(case):
    pipeline, _ = _pipeline(case, planted=False, seed=1)
    result = find_weak_regions(pipeline, metric=CASES[case][3])
    assert result.table.empty
    assert result.n_tested > 100
    with pytest.raises(KovaError, match="no weak region"):
        result.rows(0)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"metric": "AUC"}, "metric 'AUC' is not a regression metric; choose one of MSE"),
        ({"max_conditions": 4}, r"'max_conditions': 4. Allowed values: int in \[1, 3\]"),
        ({"min_size": 0}, "Invalid value for 'min_size': 0. Allowed values: int >= 1"),
        ({"alpha": 1.5}, r"'alpha': 1.5. Allowed values: float in \(0, 1\)"),
        ({"features": ["x9"]}, r"features \['x9'\] are not features; choose from \['x0'"),
    ],
)
def test_invalid_settings_name_argument_value_and_choices(settings, message):
    pipeline, _ = _pipeline("numerical pair")
    with pytest.raises(KovaError, match=message):
        find_weak_regions(pipeline, **settings)


def test_region_rows_out_of_range_and_weakspot_method():
    pipeline, _ = _pipeline("levels and interval")
    result = find_weak_regions(pipeline, features=["x1", "colour", "x4"])
    with pytest.raises(KovaError, match="Region 99 does not exist; valid regions: 0 to "):
        result.rows(99)
    weakspot = WeakSpot(pipeline.estimator, slice_features=["x1", "colour", "x4"])
    weakspot.fit(**pipeline.get_data_dict())
    regions = weakspot.regions(
        scaler=pipeline.transform_original, category_levels=pipeline.category_levels
    )
    pd.testing.assert_frame_equal(regions.table, result.table)
    labels = pipeline.dataset.x.index
    assert labels[regions.rows(0)].equals(result.rows(0))


def _score(losses, mean, z):
    return (losses - mean).sum() - z * np.sqrt(((losses - losses.mean()) ** 2).sum())


@pytest.mark.parametrize(("seed", "z"), [(0, 0.0), (1, 0.0), (2, 2.0), (3, 2.0)])
def test_kernel_finds_the_condition_of_largest_score(seed, z):
    rng = np.random.default_rng(seed)
    n_bins = np.array([6, 4], dtype=np.int64)  # an ordered feature, then an unordered one
    codes = np.vstack([rng.integers(0, b + 1, 400) for b in n_bins]).astype(np.uint16)
    loss = rng.exponential(size=400) * np.where((codes[1] == 2) | (codes[0] > 3), 2.0, 1.0)
    rows = np.sort(rng.choice(400, 250, replace=False)).astype(np.int64)
    mean = float(loss.mean())
    ordered = np.array([True, False])
    # Unordered features are searched by their best level sets for the impact (z = 0) only.
    skip = np.array([False, z > 0])
    args = (codes, n_bins, ordered, loss, rows, skip, 1, mean, z)
    bound, _, best = _kernels.region_conditions(*args, -np.inf)
    assert bound == pytest.approx(np.maximum(loss[rows] - mean, 0).sum())
    for f in np.flatnonzero(~skip):
        b, column = n_bins[f], codes[f, rows]
        if ordered[f]:  # intervals of adjacent bins, or the missing bin alone
            sets = [range(lo, hi + 1) for lo in range(b) for hi in range(lo, b)]
        else:  # any set of levels
            sets = [s for k in range(1, b + 1) for s in itertools.combinations(range(b), k)]
        sets.append([b])
        scores = [
            _score(loss[rows][inside], mean, z)
            for inside in (np.isin(column, list(s)) for s in sets)
            if 0 < inside.sum() < rows.size
        ]
        assert max(scores) > 0  # else the kernel gives None: no weak sub-region
        allowed, count, total, _ = best[f]
        inside = allowed[column]
        assert count == inside.sum()
        assert total == pytest.approx(loss[rows][inside].sum())
        assert _score(loss[rows][inside], mean, z) == pytest.approx(max(scores))
    assert _kernels.region_conditions(*args, bound)[2] == [None, None]  # pruned by the bound


def test_many_level_categories_are_not_searched():
    """A set of levels of a many-level column could list the misclassified rows one by one."""
    rng = np.random.default_rng(3)
    rows = 4000
    frame = pd.DataFrame(rng.normal(size=(rows, 2)), columns=["x0", "x1"])
    frame["code"] = [f"c{i}" for i in rng.integers(0, 400, rows)]
    region = (frame["x1"] > 0.5).to_numpy()
    flip = rng.random(rows) < np.where(region, 0.4, 0.02)
    frame["y"] = (frame["x0"].to_numpy() > 0) ^ flip
    dataset = Dataset(frame, target="y", task_type="classification", test_ratio=0.6)
    encoded = ModelPipeline.encode(dataset).to_numpy()
    model = HistGradientBoostingClassifier(max_iter=30, random_state=0)
    pipeline = ModelPipeline(model.fit(encoded[dataset.train_idx], dataset.train_y), dataset)
    result = find_weak_regions(pipeline)
    features = {c.feature for region in result.regions for c in region.conditions}
    assert "code" not in features
    assert result.regions[0].conditions[0].feature == "x1"
