"""Tests of the data set container kova.data.Dataset."""

import numpy as np
import pandas as pd
import pytest

from kova.data import Dataset, infer_column_kind
from kova.exceptions import KovaError


@pytest.fixture
def frame():
    rng = np.random.default_rng(1)
    n = 60
    return pd.DataFrame(
        {
            "age": rng.integers(18, 90, n),
            "income": rng.normal(50.0, 10.0, n),
            "city": rng.choice(["north", "south", "east"], n),
            "score text": [f"{v:.2f}" for v in rng.normal(size=n)],
            "label": np.repeat([0, 1], n // 2),
        }
    )


@pytest.mark.parametrize(
    ("values", "kind"),
    [
        pytest.param([1, 2, 3], "numerical", id="int"),
        pytest.param([1.5, np.nan, 3.0], "numerical", id="float-with-missing"),
        pytest.param([True, False, True], "categorical", id="bool"),
        pytest.param(pd.Categorical(["a", "b", "a"]), "categorical", id="category"),
        pytest.param(pd.Categorical([1, 2, 1]), "categorical", id="category-of-numbers"),
        pytest.param(["a", "b", None], "categorical", id="words"),
        pytest.param(["1", " 2.5 ", None], "numerical", id="number-text"),
        pytest.param(
            pd.array(["1", "2", None], dtype="string"), "numerical", id="string-dtype-numbers"
        ),
        pytest.param(["1", "x", "2"], "categorical", id="mixed-text"),
        pytest.param(pd.Series([None, None], dtype=object), "categorical", id="all-missing-object"),
        pytest.param(
            pd.Series([True, None, False], dtype=object), "categorical", id="object-bools"
        ),
        pytest.param(pd.to_datetime(["2020-01-01", "2021-01-01"]), "categorical", id="dates"),
    ],
)
def test_column_kind_inference(values, kind):
    assert infer_column_kind(pd.Series(values)) == kind


def test_defaults_describe_the_frame(frame):
    ds = Dataset(frame, target="label")
    assert ds.target_name == "label"
    assert ds.feature_names == ["age", "income", "city", "score text"]
    assert ds.included_feature == ["age", "income", "city", "score text", "label"]
    assert ds.meta_info == {
        "age": "numerical",
        "income": "numerical",
        "city": "categorical",
        "score text": "numerical",
        "label": "categorical",
    }
    assert ds.feature_types == ["numerical", "numerical", "categorical", "numerical"]
    assert (ds.task_type, ds.random_state, ds.test_ratio) == ("classification", 0, 0.2)
    assert ds.outlier_idx.size == 0
    assert ds.outlier_idx.dtype.kind == "i"


def test_without_target_all_columns_are_features(frame):
    ds = Dataset(frame)
    assert ds.feature_names == list(frame.columns) == ds.included_feature
    assert ds.task_type is None
    assert ds.y is None
    assert ds.train_y is None


def test_chosen_features_and_forced_categories(frame):
    ds = Dataset(
        frame, target="label", feature_names=["city", "age", "city"], categorical_features=["age"]
    )
    assert ds.included_feature == ["city", "age", "label"]
    assert ds.meta_info["age"] == "categorical"
    assert ds.meta_info["income"] == "numerical"  # excluded columns are still described
    assert list(ds.data_init.columns) == list(frame.columns)


def test_caller_frame_is_left_untouched(frame):
    snapshot = frame.copy(deep=True)
    ds = Dataset(frame, target="label")
    ds.data_init.iloc[0, 0] = -1
    ds.remove_outliers([0])
    pd.testing.assert_frame_equal(frame, snapshot)
    held = ds.data_init.copy(deep=True)
    frame.iloc[1, 0] = -2  # nor does a later change of the caller's frame reach the data set
    frame.loc[:, frame.columns[-1]] = frame.iloc[::-1, -1].to_numpy()
    pd.testing.assert_frame_equal(ds.data_init, held)


@pytest.mark.parametrize(
    ("target", "task_type"),
    [
        pytest.param(np.tile([0, 1, 2], 20), "classification", id="three-int-classes"),
        pytest.param(np.tile(np.arange(10.0), 6), "classification", id="ten-whole-floats"),
        pytest.param(np.tile(np.arange(11), 6)[:60], "regression", id="eleven-integers"),
        pytest.param(np.linspace(0, 1, 60), "regression", id="continuous"),
        pytest.param(np.tile(["yes", "no"], 30), "classification", id="text-labels"),
        pytest.param(np.tile([True, False], 30), "classification", id="bool"),
        pytest.param([f"{v}.5" for v in range(60)], "regression", id="number-text"),
    ],
)
def test_task_type_inference(frame, target, task_type):
    ds = Dataset(frame.assign(label=target), target="label")
    assert ds.task_type == task_type
    expected_kind = "categorical" if task_type == "classification" else "numerical"
    assert ds.meta_info["label"] == expected_kind


def test_split_partitions_rows_reproducibly(frame):
    ds = Dataset(frame, target="income", test_ratio=0.25, random_state=3)
    assert ds.task_type == "regression"
    assert len(ds.test_idx) == 15
    assert len(ds.train_idx) == 45
    assert np.all(np.diff(ds.train_idx) > 0)
    assert np.all(np.diff(ds.test_idx) > 0)
    np.testing.assert_array_equal(np.union1d(ds.train_idx, ds.test_idx), np.arange(60))
    again = Dataset(frame, target="income", test_ratio=0.25, random_state=3)
    np.testing.assert_array_equal(ds.test_idx, again.test_idx)
    other = Dataset(frame, target="income", test_ratio=0.25, random_state=4)
    assert not np.array_equal(ds.test_idx, other.test_idx)


@pytest.mark.parametrize("n_rows", [3, 60, 1001])
@pytest.mark.parametrize("test_ratio", [0.2, 0.33, 0.5])
@pytest.mark.parametrize("seed", [0, 7, np.int64(42), "global", "generator"])
def test_unstratified_split_is_the_model_librarys(n_rows, test_ratio, seed):
    """The split drawn without the model library is the one it would draw, for every kind of
    seed, so results do not move with how the split is computed."""
    from sklearn.model_selection import train_test_split

    frame = pd.DataFrame({"x": np.arange(n_rows, dtype=float)})
    ours_seed, their_seed = seed, seed
    if seed == "global":
        ours_seed = their_seed = None
    elif seed == "generator":
        ours_seed, their_seed = np.random.RandomState(5), np.random.RandomState(5)
    np.random.seed(11)
    ds = Dataset(frame, test_ratio=test_ratio, random_state=ours_seed)
    np.random.seed(11)
    train, test = train_test_split(np.arange(n_rows), test_size=test_ratio, random_state=their_seed)
    np.testing.assert_array_equal(ds.train_idx, np.sort(train))
    np.testing.assert_array_equal(ds.test_idx, np.sort(test))


def test_classification_split_is_stratified(frame):
    labels = np.array([0] * 48 + [1] * 12)
    ds = Dataset(frame.assign(label=labels), target="label", test_ratio=0.25)
    assert np.bincount(labels[ds.test_idx]).tolist() == [12, 3]


def test_split_falls_back_when_a_class_is_too_small(frame):
    labels = np.array([0] * 59 + [1])
    ds = Dataset(frame.assign(label=labels), target="label")
    assert len(ds.train_idx) + len(ds.test_idx) == 60


def test_accessors_follow_the_split(frame):
    ds = Dataset(frame, target="label")
    pd.testing.assert_frame_equal(ds.train_x, frame.iloc[ds.train_idx][ds.feature_names])
    pd.testing.assert_series_equal(ds.test_y, frame["label"].iloc[ds.test_idx])
    assert list(ds.x.columns) == ds.feature_names


def test_remove_outliers_shrinks_training_split_only(frame):
    ds = Dataset(frame, target="label")
    test_before = ds.test_idx.copy()
    first = [int(ds.train_idx[0]), int(ds.test_idx[0])]
    ds.remove_outliers(first)
    second = [first[0], int(ds.train_idx[-1])]
    ds.remove_outliers(np.array(second))
    assert ds.outlier_idx.tolist() == sorted(set(first + second))
    assert len(ds.train_idx) == 48 - 2
    assert not set(ds.outlier_idx) & set(ds.train_idx)
    np.testing.assert_array_equal(ds.test_idx, test_before)


@pytest.mark.parametrize("idx", [[60], [-1], "all-training-rows"])
def test_rejected_outlier_removal_keeps_state(frame, idx):
    ds = Dataset(frame, target="label")
    train_before = ds.train_idx.copy()
    with pytest.raises(KovaError):
        ds.remove_outliers(ds.train_idx if isinstance(idx, str) else idx)
    np.testing.assert_array_equal(ds.train_idx, train_before)
    assert ds.outlier_idx.size == 0


@pytest.mark.parametrize(
    ("data", "settings", "message"),
    [
        pytest.param([[1, 2]], {}, "DataFrame", id="not-a-frame"),
        pytest.param(pd.DataFrame(), {}, "empty", id="no-columns"),
        pytest.param(pd.DataFrame({"a": []}), {}, "empty", id="no-rows"),
        pytest.param(
            pd.DataFrame([[1, 2]], columns=["a", "a"]), {}, "unique", id="duplicate-names"
        ),
        pytest.param(None, {"target": "nope"}, "nope", id="unknown-target"),
        pytest.param(None, {"feature_names": ["age", "zip"]}, "zip", id="unknown-feature"),
        pytest.param(None, {"feature_names": "age"}, "list", id="feature-string"),
        pytest.param(
            None, {"target": "label", "feature_names": ["label"]}, "also", id="target-as-feat"
        ),
        pytest.param(None, {"categorical_features": ["zip"]}, "zip", id="unknown-categorical"),
        pytest.param("one-valued", {"target": "label"}, "single distinct", id="constant-target"),
        pytest.param("missing-target", {"target": "label"}, "missing", id="missing-target"),
        pytest.param(None, {"target": "label", "task_type": "ranking"}, "task_type", id="bad-task"),
        pytest.param(
            None, {"target": "city", "task_type": "regression"}, "numerical", id="text-reg"
        ),
        pytest.param(None, {"task_type": "regression"}, "target", id="task-without-target"),
        pytest.param(None, {"test_ratio": 0}, "test_ratio", id="ratio-zero"),
        pytest.param(None, {"test_ratio": 1.0}, "test_ratio", id="ratio-one"),
        pytest.param(None, {"test_ratio": "0.2"}, "test_ratio", id="ratio-text"),
        pytest.param(None, {"test_ratio": True}, "test_ratio", id="ratio-bool"),
        pytest.param(
            pd.DataFrame({"a": [1, 2]}), {"test_ratio": 0.6}, "no training", id="no-train"
        ),
    ],
)
def test_invalid_settings_raise_clear_errors(frame, data, settings, message):
    if data is None:
        data = frame
    elif isinstance(data, str):
        labels = {"one-valued": 1, "missing-target": frame["label"].where(frame.index > 0)}
        data = frame.assign(label=labels[data])
    with pytest.raises(KovaError, match=message):
        Dataset(data, **settings)


@pytest.mark.parametrize(
    ("name", "shape", "task_type"),
    [
        ("iris", (150, 5), "classification"),
        ("load_breast_cancer", (569, 31), "classification"),
        ("diabetes", (442, 11), "regression"),
        ("wine", (178, 14), "classification"),
    ],
)
def test_from_sklearn_bundled_tables(name, shape, task_type):
    ds = Dataset.from_sklearn(name, test_ratio=0.5)
    assert ds.data_init.shape == shape
    assert (ds.target_name, ds.task_type) == ("target", task_type)
    assert len(ds.test_idx) == -(-shape[0] // 2)


def test_from_sklearn_rejects_unknown_names():
    with pytest.raises(KovaError, match="california"):
        Dataset.from_sklearn("california_housing")
