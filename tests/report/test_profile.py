"""Column profiles against pandas and numpy computing the same statistics step by step."""

from collections import Counter

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kova import _kernels
from kova.data import infer_column_kind
from kova.data.profile import (
    CATEGORICAL,
    NUMERICAL,
    QUANTILES,
    TEXT,
    TOP_LEVELS,
    is_text,
    profile_column,
    profile_frame,
)
from kova.exceptions import KovaError

# Finite values up to 1e100 keep sums of squares finite; mixed magnitudes test the cancellation.
NUMBERS = st.one_of(
    st.floats(-1e100, 1e100, allow_nan=False),
    st.sampled_from([0.0, -0.0, 1.0, np.nan, np.inf, -np.inf]),
    st.integers(-1000, 1000).map(float),
)


def as_dtype(values, dtype):
    """The values in a column of dtype, missing entries as that dtype writes them."""
    finite = np.isfinite(values)
    whole = np.clip(np.trunc(np.where(finite, values, 0)), -1e15, 1e15).astype(np.int64)
    if dtype == "float64":
        return pd.Series(values)
    if dtype == "int64":
        return pd.Series(whole[finite])
    if dtype == "Int64":
        return pd.Series(pd.array(whole, "Int64")).mask(~finite)
    if dtype == "Float64":
        return pd.Series(pd.array([v if not np.isnan(v) else None for v in values], "Float64"))
    if dtype == "bool":
        return pd.Series(values[finite] > 0)
    # text of numbers, as read from a file: float() reads "inf"; None is missing
    return pd.Series([None if np.isnan(v) else repr(float(v)) for v in values], dtype=object)


def close(actual, expected, scale):
    """Equal up to rounding of sums over values of magnitude scale (NaN equal to NaN)."""
    if np.isnan(expected):
        return np.isnan(actual)
    return abs(actual - expected) <= 1e-9 * abs(expected) + 1e-12 * scale


@pytest.mark.parametrize("dtype", ["float64", "int64", "Int64", "Float64", "bool", "object"])
@settings(max_examples=60, deadline=None)
@given(values=st.lists(NUMBERS, max_size=60).map(lambda v: np.array(v, dtype=float)))
def test_numeric_profile_matches_pandas(dtype, values):
    series = as_dtype(values, dtype)
    profile = profile_column(series, NUMERICAL)
    numbers = series.astype(float) if dtype != "Float64" else series.astype("float64")
    present = numbers[numbers.notna()]
    finite = present[np.isfinite(present)]
    scale = float(finite.abs().max()) if len(finite) else 0.0
    stats = profile.numeric
    assert (profile.kind, profile.count, profile.missing) == (
        NUMERICAL,
        len(present),
        series.isna().sum(),
    )
    assert profile.distinct == present.nunique()
    assert (stats.zeros, stats.negatives) == ((finite == 0).sum(), (finite < 0).sum())
    assert stats.infinite == len(present) - len(finite)
    expected = {
        "min": finite.min(),
        "max": finite.max(),
        "mean": finite.mean(),
        "std": finite.std(),
    }
    for name, value in expected.items():
        assert close(getattr(stats, name), value, scale), name
    for q, value in finite.quantile(list(QUANTILES)).items():
        assert close(stats.quantiles[q], value, scale), q
    if len(finite) and finite.min() < finite.max() and _numpy_can_bin(finite, stats):
        counts, edges = np.histogram(finite, bins=len(stats.hist_counts))
        np.testing.assert_array_equal(stats.hist_counts, counts)
        np.testing.assert_array_equal(stats.hist_edges, edges)
    elif len(finite):
        assert stats.hist_counts.sum() == len(finite)
    else:
        assert stats.hist_counts.sum() == len(finite)
        assert len(stats.hist_counts) <= 1


def _numpy_can_bin(finite, stats) -> bool:
    """Whether numpy makes that many equal bins of the range (a range of a few subnormal
    steps has fewer distinct edges than bins)."""
    edges = np.linspace(finite.min(), finite.max(), len(stats.hist_counts) + 1)
    return bool(np.all(edges[:-1] < edges[1:]))


def long_columns():
    rng = np.random.default_rng(0)
    signs = rng.choice([-1.0, 1.0], 50_000)
    mixed = signs * 10.0 ** rng.uniform(-300, 300, 50_000)  # every exponent, both signs
    mixed[rng.integers(0, 50_000, 5_000)] = rng.choice([0.0, -0.0, np.inf, -np.inf, np.nan], 5_000)
    return {
        # a large offset makes naive sums of squares lose every digit of the variance
        "offset": 1e9 + rng.normal(size=200_001),
        "mixed": mixed,
        "whole": rng.integers(-5, 6, 100_000).astype(float),
    }


@pytest.mark.parametrize("name", ["offset", "mixed", "whole"])
def test_long_columns_are_sorted_and_summed_exactly(name):
    values = long_columns()[name]
    summary = _kernels.numeric_summary(values, QUANTILES)
    finite = values[np.isfinite(values)]
    assert summary.distinct == pd.Series(values).nunique()
    np.testing.assert_array_equal(summary.quantiles, np.quantile(finite, QUANTILES))
    if name != "mixed":  # the mixed sums are dominated by a few values near 1e300
        assert summary.std == pytest.approx(np.std(finite, ddof=1), rel=1e-9)
        assert summary.mean == pytest.approx(finite.mean(), rel=1e-12)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _kernels.numeric_summary(np.zeros((2, 2)), [0.5]), "1-dimensional"),
        (lambda: _kernels.numeric_summary(np.zeros(3), [1.5]), "probabilities"),
        (lambda: _kernels.numeric_summary(np.zeros(3), [np.nan]), "probabilities"),
        (lambda: _kernels.numeric_summary(np.zeros(3), [0.5], 0), "bins"),
        (lambda: profile_column(pd.Series([1.0]), "date"), "kind"),
    ],
)
def test_invalid_requests_are_refused(call, message):
    with pytest.raises((ValueError, KovaError), match=message):
        call()


WORDS = st.sampled_from(["a", "b", "c", "dd", "", "é ü", "#!?"])


@pytest.mark.parametrize("dtype", [object, "string"])
@settings(max_examples=80, deadline=None)
@given(values=st.lists(st.one_of(WORDS, st.none(), st.just(np.nan)), max_size=80))
def test_levels_are_the_most_frequent_values_first_seen_first(dtype, values):
    series = pd.Series(values, dtype=dtype)
    profile = profile_column(series, CATEGORICAL)
    present = [v for v in values if isinstance(v, str)]
    counts = sorted(Counter(present).items(), key=lambda item: -item[1])  # stable: first seen
    assert (profile.count, profile.missing) == (len(present), len(values) - len(present))
    assert profile.distinct == series.nunique()
    assert profile.levels.top == counts[:TOP_LEVELS]
    assert profile.levels.other == len(present) - sum(n for _, n in counts[:TOP_LEVELS])


@pytest.mark.parametrize(
    ("values", "kind"),
    [
        ([f"customer {i}" for i in range(30)] + [None], TEXT),  # mostly distinct
        (["x" * 50, "y" * 45, None, "x" * 50], TEXT),  # long
        (["red", "green", "red"] * 20, CATEGORICAL),
        ([f"id{i}" for i in range(10)], CATEGORICAL),  # too few values to tell
        ([1, "a", 2.5, None] * 10, CATEGORICAL),  # not all strings
    ],
)
@pytest.mark.parametrize("string_dtype", [False, True])
def test_text_columns_get_their_lengths(values, kind, string_dtype):
    strings = all(isinstance(v, str) for v in values if v is not None)
    series = pd.Series(values, dtype="string" if string_dtype and strings else object)
    profile = profile_column(series, CATEGORICAL)
    assert profile.kind == kind
    if kind == TEXT:
        lengths = series.dropna().str.len()
        assert is_text(profile.distinct, profile.count, lengths.mean())
        got = profile.lengths
        assert (got.min, got.max, got.mean) == (lengths.min(), lengths.max(), lengths.mean())
        assert got.hist_counts.sum() == len(lengths)
    else:
        assert profile.lengths is None


def test_profile_frame_covers_every_column_with_its_kind():
    frame = pd.DataFrame(
        {
            "n": [1, 2, 3, 4],
            "flag": [True, False, True, None],
            "when": pd.to_datetime(["2024-01-01", None, "2024-01-02", "2024-01-01"]),
            "codes": ["1", "2", None, "2"],
            "lists": [[1], [1], [2], None],  # unhashable entries, counted by their text
        }
    )
    kinds = {name: infer_column_kind(frame[name]) for name in frame}
    profiles = profile_frame(frame, kinds)
    assert list(profiles) == list(frame.columns)
    assert [p.kind for p in profiles.values()] == [
        NUMERICAL,
        CATEGORICAL,
        CATEGORICAL,
        NUMERICAL,
        CATEGORICAL,
    ]
    assert [(p.count, p.distinct) for p in profiles.values()] == [
        (4, 4),
        (3, 2),
        (3, 2),
        (3, 2),
        (3, 2),
    ]
    assert profiles["lists"].levels.top == [("[1]", 2), ("[2]", 1)]
    assert profiles["codes"].numeric.mean == pytest.approx(5 / 3)
