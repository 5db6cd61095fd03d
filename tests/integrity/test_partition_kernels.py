"""The per-partition association kernels against plain numpy versions of the same figures."""

import numpy as np
import pytest

from kova import _kernels


def _values(rng, n, kind):
    x = rng.integers(-3, 4, n).astype(float) if kind == "ties" else rng.normal(size=n)
    x[rng.random(n) < 0.2] = np.nan
    if n:
        x[0] = -0.0
    return x


@pytest.mark.parametrize("kind", ["ties", "continuous"])
@pytest.mark.parametrize("n", [0, 1, 300, 5000])
def test_value_counts_merge_and_ranks(n, kind):
    rng = np.random.default_rng(n)
    x, other = _values(rng, n, kind), _values(rng, n, kind)
    for mask in (None, other):
        kept = x[~np.isnan(x)] if mask is None else x[~np.isnan(x) & ~np.isnan(mask)]
        values, counts = _kernels.finite_value_counts(x, mask)
        want = np.unique(kept, return_counts=True)
        np.testing.assert_array_equal(values, want[0])
        np.testing.assert_array_equal(counts, want[1])
    pieces = np.array_split(x, 5)
    merged = _kernels.merge_value_counts([_kernels.finite_value_counts(p) for p in pieces])
    whole = _kernels.finite_value_counts(x)
    np.testing.assert_array_equal(merged[0], whole[0])
    np.testing.assert_array_equal(merged[1], whole[1])
    # a limit gives the same table while it fits, and None once it would not
    tables = [_kernels.finite_value_counts(p) for p in pieces]
    fits = _kernels.merge_value_counts(tables, len(whole[0]))
    np.testing.assert_array_equal(fits[1], whole[1])
    if len(whole[0]):
        assert _kernels.merge_value_counts(tables, len(whole[0]) - 1) is None
    # ranks from a table of some of the values: lower bound, clamped to the last entry
    table = (whole[0][::2].copy(), np.arange(len(whole[0][::2]), dtype=float) + 0.5)
    empty = (np.empty(0), np.empty(0))
    want = np.full(n, np.nan)
    finite = ~np.isnan(x)
    if len(table[0]):
        at = np.minimum(np.searchsorted(table[0], x[finite]), len(table[0]) - 1)
        want[finite] = table[1][at]
    got, nothing = _kernels.table_ranks(x, [table, empty])
    np.testing.assert_array_equal(got, want)
    assert np.isnan(nothing).all()


@pytest.mark.parametrize("levels", [(3, 4, 1), (700, 900, 2)])
def test_joint_counts_and_group_stats(levels):
    rng = np.random.default_rng(sum(levels))
    n = 2000
    codes = [rng.integers(-1, k, n) for k in levels]
    for code in codes:
        code[5] = 0  # the row of the infinite value below is present in every grouping
    joint = _kernels.joint_code_counts(codes, list(levels))
    pairs = [(a, b) for a in range(3) for b in range(a + 1, 3)]
    assert len(joint) == len(pairs)
    for (a, b), (keys, counts) in zip(pairs, joint, strict=True):
        both = (codes[a] >= 0) & (codes[b] >= 0)
        want = np.unique(codes[a][both] * levels[b] + codes[b][both], return_counts=True)
        np.testing.assert_array_equal(keys, want[0])
        np.testing.assert_array_equal(counts, want[1])
    # levels far apart and a large common offset: the per-level sums of squares stay exact
    # to rounding, and an infinite value marks the statistics as not finite
    x = 1e6 + rng.normal(size=n) + 1e3 * (codes[0] % 3)
    x[::7] = np.nan
    for infinite in (False, True):
        if infinite:
            x[5] = np.inf
        stats = _kernels.grouped_value_stats(codes, list(levels), [x])
        for c, (count, mean, m2, finite, low, high) in enumerate(stats):
            keep = (codes[c] >= 0) & ~np.isnan(x)
            g, v = codes[c][keep], x[keep]
            np.testing.assert_array_equal(count, np.bincount(g, minlength=levels[c]))
            assert (finite, low, high) == (not infinite, v.min(), v.max())
            if infinite:
                continue
            want = np.bincount(g, weights=v, minlength=levels[c]) / np.maximum(count, 1)
            np.testing.assert_allclose(mean, want, rtol=1e-12)
            squares = np.bincount(g, weights=(v - want[g]) ** 2, minlength=levels[c])
            np.testing.assert_allclose(m2, squares, rtol=1e-6, atol=1e-6 * squares.max())
    with pytest.raises(ValueError, match=r"must lie in \[-1, 3\)"):
        _kernels.joint_code_counts([np.array([3]), np.array([0])], [3, 1])


def test_rank_deviation_sums_skip_missing_ranks():
    rx = np.array([1.0, 2.0, np.nan, 4.0])
    ry = np.array([2.0, np.nan, 1.0, 3.0])
    sxy, sxx, syy = _kernels.rank_deviation_sums(rx, ry, 2.0)
    assert (sxy, sxx, syy) == (-1.0 * 0.0 + 2.0 * 1.0, 1.0 + 4.0, 0.0 + 1.0)


def test_tables_rebuilt_from_bytes_at_odd_addresses_read_as_aligned_ones():
    """Arrays a worker rebuilds from a message buffer may be misaligned; they are copied."""

    def misaligned(values):
        raw = bytearray(1) + np.asarray(values, dtype=np.float64).tobytes()
        array = np.frombuffer(raw, dtype=np.float64, offset=1)
        assert not array.flags.aligned
        return array

    table = ([1.0, 2.0, 3.0], [1.0, 2.5, 3.0])
    x = np.array([2.0, 0.5, np.nan, 9.0])
    expected = _kernels.table_ranks(x, [tuple(np.array(t) for t in table)])
    found = _kernels.table_ranks(misaligned(x), [tuple(misaligned(t) for t in table)])
    np.testing.assert_array_equal(found[0], expected[0])
