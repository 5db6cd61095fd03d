"""Native kernels of the region search (bin codes, loss moments) and the bucketed KS statistic,
each against the plain computation it replaces."""

import numpy as np
import pytest

from kova import _kernels as kernels


@pytest.mark.parametrize("n_edges", [0, 1, 2, 7, 127])
def test_region_codes_match_searchsorted_and_levels(n_edges):
    rng = np.random.default_rng(n_edges)
    matrix = rng.normal(size=(500, 4))
    matrix[:, 2] = rng.integers(0, 5, 500)  # level codes
    matrix[::17, 0] = np.nan
    matrix[::23, 2] = np.inf  # not finite: missing
    edges = np.sort(rng.choice(matrix[:, 1], n_edges, replace=False))
    matrix[:n_edges, 0] = edges  # values on an edge go to the bin below it
    rows = rng.permutation(500)[:300]
    codes = kernels.region_codes(matrix, rows, np.array([0, 2]), [edges, None], np.array([0, 5]))
    column = matrix[rows, 0]
    expected = np.where(
        np.isfinite(column), np.searchsorted(edges, column, side="left"), n_edges + 1
    )
    np.testing.assert_array_equal(codes[0], expected)
    levels = matrix[rows, 2]
    np.testing.assert_array_equal(codes[1], np.where(np.isfinite(levels), levels, 5))


def test_region_codes_refuse_unknown_levels_and_rows():
    matrix = np.array([[0.0], [3.0]])
    with pytest.raises(ValueError, match="level code"):
        kernels.region_codes(matrix, np.array([0, 1]), np.array([0]), [None], np.array([3]))
    with pytest.raises(ValueError, match="rows"):
        kernels.region_codes(matrix, np.array([2]), np.array([0]), [None], np.array([4]))


@pytest.mark.parametrize("n_conditions", [0, 1, 2, 3])
def test_region_moments_match_masked_sums(n_conditions):
    rng = np.random.default_rng(n_conditions)
    codes = rng.integers(0, 6, size=(4, 2000)).astype(np.uint16)
    loss = rng.exponential(size=2000)
    features = rng.permutation(4)[:n_conditions]
    allowed = [rng.random(6) < 0.6 for _ in features]
    mask = np.ones(2000, dtype=bool)
    for f, a in zip(features, allowed, strict=True):
        mask &= a[codes[f]]
    count, total, squares = kernels.region_moments(codes, loss, features, allowed)
    assert count == mask.sum()
    assert total == pytest.approx(loss[mask].sum(), rel=1e-12)
    assert squares == pytest.approx((loss[mask] ** 2).sum(), rel=1e-12)


@pytest.mark.parametrize(
    ("n", "m", "shift", "decimals"),
    [(1, 1, 0.0, None), (40, 3000, 0.0, None), (5000, 4000, 0.0, 1), (20000, 20000, 0.3, None),
     (20000, 15000, 0.0, 2), (3000, 3000, 0.001, None)],
)  # fmt: skip
def test_ks_columns_equal_the_sorted_merge(n, m, shift, decimals):
    rng = np.random.default_rng(n + m)
    a, b = rng.normal(size=(n, 3)), rng.normal(shift, 1.0, size=(m, 3))
    if decimals is not None:  # ties within and across the samples
        a, b = np.round(a, decimals), np.round(b, decimals)
    a[: n // 2, 2], b[: m // 3, 2] = -0.0, 0.0  # signed zeros tie
    expected = kernels.sorted_distances(kernels.sorted_columns(a), kernels.sorted_columns(b))[0]
    for threads in (1, 2):
        np.testing.assert_array_equal(kernels.ks_columns(a, b, threads), expected)


def test_ks_columns_flag_non_finite_columns_and_empty_samples():
    a, b = np.zeros((5, 2)), np.ones((4, 2))
    a[1, 1] = np.inf
    result = kernels.ks_columns(a, b)
    assert result[0] == 1.0
    assert np.isnan(result[1])
    assert np.isnan(kernels.ks_columns(np.zeros((0, 2)), b)).all()
