"""twosample_test and the native distance kernels behind it, against scipy and numpy."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from matplotlib.figure import Figure
from scipy import stats

from kova import _kernels
from kova.diagnoser.distances import PSI_FLOOR, twosample_test
from kova.diagnoser.result import DiagnoseResult
from kova.exceptions import KovaError

RNG = np.random.default_rng(3)
NAMES = ["normal", "rounded", "colour"]
TYPES = ["numerical", "numerical", "categorical"]


def _sample(n, shift):
    return np.column_stack(
        [
            RNG.normal(shift, 1.0, n),
            np.round(RNG.normal(shift, 1.0, n)),  # ties within and across the samples
            RNG.choice([0.0, 1.0, 2.0], n, p=[0.5, 0.3 + shift / 2, 0.2 - shift / 2]),
        ]
    )


A, B = _sample(700, 0.0), _sample(450, 0.2)


def _numpy_psi(a, b, edges):
    p = np.maximum(np.histogram(a, edges)[0] / a.size, PSI_FLOOR)
    q = np.maximum(np.histogram(b, edges)[0] / b.size, PSI_FLOOR)
    return np.sum((p - q) * np.log(p / q))


def _shares(a, b):
    cats = np.union1d(a, b)
    return [np.array([(s == c).mean() for c in cats]) for s in (a, b)]


def _expected(metric, j):
    a, b = A[:, j], B[:, j]
    if TYPES[j] == "categorical":
        p, q = _shares(a, b)
        p_, q_ = np.maximum(p, PSI_FLOOR), np.maximum(q, PSI_FLOOR)
        return np.sum((p_ - q_) * np.log(p_ / q_)) if metric == "PSI" else 0.5 * np.abs(p - q).sum()
    if metric == "KS":
        return stats.ks_2samp(a, b).statistic
    if metric == "WD1":
        return stats.wasserstein_distance(a, b)
    pooled = np.concatenate([a, b])
    return _numpy_psi(a, b, np.linspace(pooled.min(), pooled.max(), 11))


@pytest.mark.parametrize("metric", ["PSI", "WD1", "KS"])
def test_all_features_match_scipy_and_numpy(metric):
    result = twosample_test(
        sample1=A,
        sample2=B,
        distance_metric=metric,
        feature_names=NAMES,
        feature_types=TYPES,
        show_feature=None,
        figsize=(6, 4),
        plot_title="In vs. out",
    )
    assert isinstance(result, DiagnoseResult)
    assert isinstance(result.figure, Figure)
    assert result.value["features"] == NAMES
    expected = [_expected(metric, j) for j in range(len(NAMES))]
    np.testing.assert_allclose(result.value[metric], expected, rtol=0, atol=1e-12)
    assert result.figure.axes[0].get_title() == "In vs. out"
    assert len(result.figure.axes[0].patches) == len(NAMES)  # one bar per feature


@pytest.mark.parametrize("metric", ["PSI", "WD1", "KS"])
@pytest.mark.parametrize("feature", NAMES)
def test_one_feature_gives_curves_of_both_samples(metric, feature):
    result = twosample_test(A, B, metric, NAMES, TYPES, show_feature=feature, plot_title="T")
    value = result.value
    j = NAMES.index(feature)
    assert "features" not in value  # the per-feature shape is told apart by this key
    assert value[metric] == pytest.approx(_expected(metric, j), abs=1e-12)
    assert len(value["x"]) == len(value["y"]) == 2
    for x, y in zip(value["x"], value["y"], strict=True):
        assert len(x) == len(y) > 0
    if TYPES[j] == "categorical" or metric == "PSI":
        assert value["y_label"] == "Proportion"
        for shares in value["y"]:
            assert np.sum(shares) == pytest.approx(1.0)
    else:
        assert value["y_label"] == "Cumulative probability"
        for cdf in value["y"]:
            assert np.all(np.diff(cdf) >= 0)
            assert cdf[-1] == 1.0
    # the stacked table built from the value, one block per sample
    blocks = [
        pd.DataFrame({feature: x, value["y_label"]: y, "Group": k})
        for k, (x, y) in enumerate(zip(value["x"], value["y"], strict=True))
    ]
    table = pd.concat(blocks).reset_index(drop=True)
    assert list(table["Group"].unique()) == [0, 1]
    assert result.figure.axes[0].get_title().startswith("T\n" + feature)


def test_frames_and_text_categories():
    a = pd.DataFrame({"x": RNG.normal(size=50), "c": RNG.choice(["u", "v"], 50)})
    b = pd.DataFrame({"x": RNG.normal(size=40), "c": RNG.choice(["u", "v", "w"], 40)})
    result = twosample_test(a, b, "KS", feature_types={"c": "categorical"})
    assert result.value["features"] == ["x", "c"]
    p, q = _shares(a["c"].to_numpy(), b["c"].to_numpy())
    assert result.value["KS"][1] == pytest.approx(0.5 * np.abs(p - q).sum())
    assert isinstance(result.figure, Figure)


@pytest.mark.parametrize("metric", ["PSI", "WD1", "KS"])
@pytest.mark.parametrize("first", [A, A[:0]])
def test_an_empty_sample_gives_nan_distances(metric, first):
    result = twosample_test(first, B[:0], metric, NAMES, TYPES)
    assert np.isnan(result.value[metric]).all()
    shown = twosample_test(first, B[:0], metric, NAMES, TYPES, show_feature="normal")
    assert np.isnan(shown.value[metric])


def test_a_constant_feature_has_no_distance_from_itself():
    a, b = np.full((5, 1), 2.5), np.full((3, 1), 2.5)
    for metric in ("PSI", "WD1", "KS"):
        assert twosample_test(a, b, metric).value[metric][0] == 0.0


@pytest.mark.parametrize("bad", [np.nan, np.inf])
@pytest.mark.parametrize("metric", ["PSI", "KS"])
def test_non_finite_numbers_name_the_feature(bad, metric):
    b = B.copy()
    b[7, 1] = bad
    with pytest.raises(ValueError, match="'rounded' has NaN or infinite"):
        twosample_test(A, b, metric, NAMES, TYPES)


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"distance_metric": "JS"}, KovaError),
        ({"show_feature": "height"}, KovaError),
        ({"feature_names": ["only", "two"]}, ValueError),
    ],
)
def test_bad_requests(kwargs, error):
    with pytest.raises(error):
        twosample_test(**{"sample1": A, "sample2": B, "feature_names": NAMES, **kwargs})


# ----------------------------------------------------------------------- kernels

small = hnp.arrays(np.float64, st.integers(1, 40), elements=st.integers(-4, 4).map(float))


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # scipy's p-value of tiny samples
@settings(max_examples=200, deadline=None)
@given(a=small, b=small)
def test_sorted_kernels_match_scipy_with_ties(a, b):
    a, b = np.sort(a), np.sort(b)
    statistic = stats.ks_2samp(a, b, method="asymp").statistic
    assert _kernels.ks_sorted(a, b) == pytest.approx(statistic, abs=1e-12)
    assert _kernels.wasserstein1_sorted(a, b) == pytest.approx(
        stats.wasserstein_distance(a, b), abs=1e-12
    )


@pytest.mark.parametrize("kernel", [_kernels.ks_sorted, _kernels.wasserstein1_sorted])
def test_sorted_kernels_reject_unsorted_or_nan_input(kernel):
    for bad in ([2.0, 1.0], [np.nan, 1.0], [1.0, np.nan]):
        with pytest.raises(ValueError, match="sorted"):
            kernel(np.array(bad), np.array([0.0, 1.0]))
    assert np.isnan(kernel(np.array([]), np.array([1.0])))


def test_column_kernels_agree_with_numpy():
    M = RNG.normal(size=(1000, 4))
    M[::7, 2] = np.round(M[::7, 2])
    np.testing.assert_array_equal(_kernels.transposed(M), M.T)
    np.testing.assert_array_equal(_kernels.column_ranges(M), [M.min(0), M.max(0)])
    edges = [
        np.linspace(-1, 1, 6),
        np.array([-9.0, 0.0, 0.5, 9.0]),
        np.quantile(M[:, 2], [0, 0.5, 1]),
        np.array([0.0, 3.0]),
    ]
    for j, counts in enumerate(_kernels.column_bin_counts(M, edges)):
        # values outside the edges are left out, as numpy's histogram does
        np.testing.assert_array_equal(counts, np.histogram(M[:, j], edges[j])[0])
        np.testing.assert_array_equal(counts, _kernels.bin_counts(M[:, j], edges[j]))
    with_nan = M.copy()
    with_nan[3, 1] = np.nan
    assert np.isnan(_kernels.column_ranges(with_nan)[:, 1]).all()
    np.testing.assert_array_equal(
        _kernels.bin_codes(np.array([-1.0, 0.0, 0.5, 1.0, 2.0, np.nan]), np.array([0.0, 0.5, 1.0])),
        [-1, 0, 1, 1, -1, -1],
    )
    with pytest.raises(ValueError, match="strictly increasing"):
        _kernels.bin_counts(M[:, 0], np.array([0.0, 0.0, 1.0]))


# ------------------------------------------------------------ several metrics at once


@pytest.mark.parametrize("buckets", ["uniform", "quantile"])
@pytest.mark.parametrize("show_feature", [None, "rounded", "colour"])
@pytest.mark.parametrize("metrics", ["all", ["KS", "PSI"], ("PSI", "WD1")])
def test_several_metrics_equal_the_single_calls(metrics, show_feature, buckets):
    def run(metric, n_jobs):
        return twosample_test(
            A, B, metric, NAMES, TYPES, show_feature, psi_buckets=buckets, n_jobs=n_jobs
        ).value

    together = run(metrics, 2)
    names = ["PSI", "WD1", "KS"] if metrics == "all" else list(metrics)
    for metric in names:
        alone = run(metric, 1)
        np.testing.assert_array_equal(together[metric], alone[metric])
    if show_feature is not None:  # the curves are those of the first metric named
        first = run(names[0], 1)
        for key in ("x", "y"):
            for got, expected in zip(together[key], first[key], strict=True):
                np.testing.assert_array_equal(got, expected)
        assert together["y_label"] == first["y_label"]


@pytest.mark.parametrize("buckets", ["uniform", "quantile"])
def test_psi_of_sorted_columns_matches_numpy(buckets):
    """PSI counted on the sorted columns (when KS is asked too) against numpy's histogram."""
    value = twosample_test(A, B, ["KS", "PSI"], NAMES, TYPES, psi_buckets=buckets).value
    for j in (0, 1):
        pooled = np.concatenate([A[:, j], B[:, j]])
        q = np.linspace(0, 1, 11)
        edges = np.quantile(pooled, q) if buckets == "quantile" else np.quantile(pooled, [0, 1])
        edges = np.unique(edges) if buckets == "quantile" else np.linspace(*edges, 11)
        assert value["PSI"][j] == pytest.approx(_numpy_psi(A[:, j], B[:, j], edges), abs=1e-12)


@pytest.mark.parametrize("show_feature", [None, "normal", "colour"])
def test_the_figure_is_drawn_only_when_read(monkeypatch, show_feature):
    import kova.figures

    drawn = []

    class Counted(Figure):
        def __init__(self, *args, **kwargs):
            drawn.append(self)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(kova.figures, "Figure", Counted)
    result = twosample_test(A, B, "all", NAMES, TYPES, show_feature)
    assert drawn == []
    assert "on demand" in repr(result)
    figure = result.figure
    assert drawn == [figure]
    assert result.figure is figure
    panels = 3 if show_feature is None else 1
    assert len(figure.axes) == panels


@pytest.mark.parametrize(
    "kwargs",
    [
        {"distance_metric": ["KS", "JS"]},
        {"distance_metric": []},
        {"n_jobs": 0},
        {"figsize": (0, 0)},
    ],
)
def test_bad_metric_lists_and_thread_counts(kwargs):
    with pytest.raises(KovaError):
        twosample_test(**{"sample1": A, "sample2": B, **kwargs})


# ---------------------------------------------------------------- odd inputs

BIG = np.finfo(np.float64).max


@pytest.mark.parametrize(
    ("a", "b"),
    [
        ([0.0, 0.0, BIG], [0.0, BIG, BIG, 0.5 * BIG]),  # n m times the range overflows
        ([-BIG, -0.5 * BIG, -0.1 * BIG], [-BIG, -BIG, 0.0]),
        ([1.0, 2.0, 5.0], [0.5, 3.0]),  # an ordinary range keeps the plain arithmetic
    ],
)
def test_values_near_the_float_limits_match_scipy(a, b):
    a, b = np.array(a).reshape(-1, 1), np.array(b).reshape(-1, 1)
    value = twosample_test(a, b, "all").value
    assert value["WD1"][0] == pytest.approx(stats.wasserstein_distance(a[:, 0], b[:, 0]), rel=1e-12)
    assert value["KS"][0] == pytest.approx(stats.ks_2samp(a[:, 0], b[:, 0]).statistic, abs=1e-12)
    assert np.isfinite(value["PSI"][0])


@pytest.mark.parametrize("buckets", ["uniform", "quantile"])
def test_a_range_wider_than_float64_is_measured(buckets):
    a, b = np.array([[-0.9 * BIG], [0.9 * BIG]]), np.array([[-0.9 * BIG], [0.9 * BIG], [0.9 * BIG]])
    value = twosample_test(a, b, "all", psi_buckets=buckets).value
    # the distribution functions differ by 1/2 - 1/3 over the whole range, 1.8 * BIG wide
    assert value["WD1"][0] == pytest.approx(0.3 * BIG, rel=1e-12)
    assert value["KS"][0] == pytest.approx(1 / 6)
    p, q = np.array([0.5, 0.5]), np.array([1 / 3, 2 / 3])  # two occupied bins, the others empty
    assert value["PSI"][0] == pytest.approx(np.sum((p - q) * np.log(p / q)), rel=1e-9)


@pytest.mark.parametrize("metric", ["PSI", "WD1", "KS"])
@pytest.mark.parametrize("sizes", [(0, 0), (0, 3), (2, 0)])
def test_an_empty_categorical_sample_gives_nan(metric, sizes):
    a = np.array([["u"], ["v"]], dtype=object)[: sizes[0]]
    b = np.array([["u"], ["w"], ["w"]], dtype=object)[: sizes[1]]
    value = twosample_test(a, b, metric, ["c"], ["categorical"]).value
    assert np.isnan(value[metric][0])
    shown = twosample_test(a, b, metric, ["c"], ["categorical"], show_feature="c").value
    assert np.isnan(shown[metric])


# ------------------------------------------------------------- column kernels

odd = st.sampled_from([0.0, -0.0, 1.5, -2.0, 1e300, -BIG, BIG, np.inf, -np.inf, np.nan])


@settings(max_examples=60, deadline=None)
@given(
    matrix=hnp.arrays(
        np.float64,
        st.tuples(st.integers(0, 700), st.integers(1, 3)),
        elements=st.one_of(odd, st.floats(-1e6, 1e6)),
    ),
    threads=st.integers(1, 3),
)
def test_sorted_columns_sort_like_numpy_with_non_finite_values_at_the_ends(matrix, threads):
    rows = _kernels.sorted_columns(matrix, threads)
    expected = np.sort(matrix.T, axis=1)  # numpy puts NaN last; the kernel by its sign bit
    np.testing.assert_array_equal(np.sort(rows, axis=1), expected)
    finite = np.isfinite(rows)
    for row, keep in zip(rows, finite, strict=True):
        ordered = row[keep]  # compared, not subtracted: neighbours may be far apart
        assert np.all(ordered[1:] >= ordered[:-1])
        inner = np.flatnonzero(keep)
        if inner.size:  # every non-finite value lies outside the finite block
            assert keep[inner[0] : inner[-1] + 1].all()


@settings(max_examples=80, deadline=None)
@given(a=small, b=small, data=st.data())
def test_row_distances_and_pooled_ranks_agree_with_the_one_column_forms(a, b, data):
    a, b = np.sort(a), np.sort(b)
    distances = _kernels.sorted_distances(a.reshape(1, -1), b.reshape(1, -1), 2)
    assert distances[0, 0] == _kernels.ks_sorted(a, b)
    assert distances[1, 0] == _kernels.wasserstein1_sorted(a, b)
    ranks = data.draw(hnp.arrays(np.int64, 5, elements=st.integers(0, a.size + b.size - 1)))
    pooled = np.sort(np.concatenate([a, b]))
    np.testing.assert_array_equal(_kernels.pooled_order_statistics(a, b, ranks), pooled[ranks])
