"""Bucketing: its groups agree with the rule by which the segmented diagnostics select rows."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from kova.diagnoser.bucketing import bin_edges
from kova.diagnoser.utils import Bucketing
from kova.exceptions import KovaError

NAMES = ["num", "cat"]
TYPES = ["numerical", "categorical"]


def members(column, descriptor, closed_above):
    """Rows selected by a range: equality for one element, else [lower, upper) or [lower, upper]."""
    if len(descriptor) == 1:
        return column == descriptor[0]
    lower, upper = descriptor
    return (lower <= column) & ((column <= upper) if closed_above else (column < upper))


def check_agreement(column, group, group_range):
    labels = np.unique(group)
    np.testing.assert_array_equal(labels, np.arange(labels.size))  # contiguous from 0
    previous_upper = -np.inf
    for g in labels:
        idx = np.where(group == g)[0]
        descriptor = group_range[idx[0]]
        assert all(group_range[p] == descriptor for p in idx)
        selected = members(column, descriptor, closed_above=g == labels.size - 1)
        np.testing.assert_array_equal(np.where(selected)[0], idx)
        if len(descriptor) == 2:
            assert previous_upper <= descriptor[0] <= descriptor[1]
            previous_upper = descriptor[1]


BIG = np.finfo(np.float64).max
finite = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False)
columns = st.one_of(
    hnp.arrays(np.float64, st.integers(1, 80), elements=finite),
    # few distinct values: ties, empty bins, constants
    hnp.arrays(np.float64, st.integers(1, 80), elements=st.sampled_from([-2.0, 0.0, 0.1, 0.3, 7])),
    # values near the float limits: a range wider than the largest float
    hnp.arrays(np.float64, st.integers(1, 40), elements=st.sampled_from([-BIG, -1e300, 0.0, BIG])),
)


@settings(max_examples=150, deadline=None)
@given(column=columns, method=st.sampled_from(["uniform", "quantile"]), n_bins=st.integers(1, 12))
def test_numeric_groups_are_the_rows_their_range_selects(column, method, n_bins):
    X = np.column_stack([column, np.zeros_like(column)])
    bucketing = Bucketing(
        feature="num", method=method, n_bins=n_bins, feature_names=NAMES, feature_types=TYPES
    )
    group, group_range = bucketing.get_group_idx(X)
    assert len(group) == len(group_range) == len(column)
    assert np.unique(group).size <= n_bins
    check_agreement(column, group, group_range)


@settings(max_examples=50, deadline=None)
@given(codes=hnp.arrays(np.int64, st.integers(1, 60), elements=st.integers(0, 5)))
def test_categories_are_groups_matched_by_equality(codes):
    X = np.column_stack([np.zeros(codes.size), codes.astype(float)])
    group, group_range = Bucketing(
        feature="cat", method="uniform", n_bins=3, feature_names=NAMES, feature_types=TYPES
    ).get_group_idx(X)
    assert np.unique(group).size == np.unique(codes).size
    check_agreement(codes.astype(float), group, group_range)


def test_uniform_bins_close_the_top_bin_and_drop_empty_ones():
    column = np.array([0.0, 0.5, 1.0, 1.9, 4.0, 5.0, 5.0])
    X = column.reshape(-1, 1)
    group, ranges = Bucketing("x", "uniform", 5, ["x"], ["numerical"]).get_group_idx(X)
    # bins of width 1: [0, 1) [1, 2) [2, 3) [3, 4) [4, 5]; [2, 3) and [3, 4) are empty
    np.testing.assert_array_equal(group, [0, 0, 1, 1, 2, 2, 2])
    assert ranges[0] == [0.0, 1.0] and ranges[2] == [1.0, 2.0] and ranges[4] == [4.0, 5.0]


def test_text_categories_keep_their_values():
    X = np.array([["b", 1], ["a", 2], ["b", 3]], dtype=object)
    group, ranges = Bucketing("c", "quantile", 4, ["c", "n"], {"c": "categorical"}).get_group_idx(X)
    np.testing.assert_array_equal(group, [1, 0, 1])
    assert ranges == [["b"], ["a"], ["b"]]


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_numbers_are_a_clear_error(bad):
    X = np.array([[1.0], [bad], [2.0]])
    with pytest.raises(ValueError, match="NaN or infinite"):
        Bucketing("x", "uniform", 3, ["x"], ["numerical"]).get_group_idx(X)


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"feature": "nope"}, KovaError),
        ({"method": "auto"}, ValueError),
        ({"n_bins": 0}, ValueError),
        ({"feature_types": ["ordinal"]}, ValueError),
    ],
)
def test_bad_settings_are_rejected(kwargs, error):
    settings_ = {"feature": "x", "method": "uniform", "n_bins": 3, "feature_names": ["x"]}
    settings_["feature_types"] = ["numerical"]
    with pytest.raises(error):
        Bucketing(**{**settings_, **kwargs}).get_group_idx(np.arange(6.0).reshape(-1, 1))


@settings(max_examples=100, deadline=None)
@given(column=columns, n_bins=st.integers(1, 12))
def test_quantile_edges_are_numpys_where_numpy_can_compute_them(column, n_bins):
    edges = bin_edges(column, "quantile", n_bins)
    with np.errstate(over="ignore", invalid="ignore"):
        expected = np.quantile(column, np.linspace(0, 1, n_bins + 1))
    if np.isfinite(expected).all():
        np.testing.assert_array_equal(edges, np.unique(expected))
    assert np.isfinite(edges).all() and edges[0] == column.min() and edges[-1] == column.max()
