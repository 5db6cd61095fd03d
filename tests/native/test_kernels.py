"""Native kernels: text base forms, special-only counting, Theil's U and the correlation ratio."""

import decimal
import math
import sys
import unicodedata

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kova import _kernels as kernels
from kova.data.kestrin import correlation, utils
from kova.data.kestrin.correlation import correlation_ratio, symmetric_theil_u_correlation
from kova.data.kestrin.utils import is_string_column, string_baseform

special_only_counts = kernels.special_only_counts

# ---------------------------------------------------------------------------------------------
# string_baseform


@pytest.mark.parametrize(
    ("text", "remove_special", "expected"),
    [
        ("  Hello,   World!  ", False, "hello, world!"),
        ("  Hello,   World!  ", True, "hello world"),
        ("ABC-123_x", True, "abc123x"),
        ("a - b", True, "a b"),
        ("  ПРИВЕТ  Мир ", False, "привет мир"),
        ("Ёлка!", True, "ёлка"),
        ("中文，测试。", True, "中文测试"),
        ("\u3000全角\u3000", False, "全角"),
        ("رقم: ١٢", True, "رقم ١٢"),
        ("٣٤٥", True, "٣٤٥"),
        ("½ Ⅻ ²", True, "½ ⅻ ²"),
        ("Straße", False, "strasse"),
        ("ΣΊΣΥΦΟΣ", False, "σίσυφοσ"),
        ("€100", False, "€100"),
        ("€100", True, "100"),
        ("ok 👍", True, "ok"),
        ("😀👍", False, "😀👍"),
        ("😀👍", True, ""),
        ("❤️", True, ""),
        ("1️⃣", True, "1️⃣"),
        ("e\u0301", True, "e\u0301"),
        ("हिन्दी", True, "हिन्दी"),
        ("\u0301\u0302", True, ""),
        ("a \u0301", True, "a"),
        ("!\u0301a", True, "a"),
        ("\t a\u00a0\u2003b \n", False, "a b"),
        ("a\x00b\x07", False, "ab"),
        ("\u200bx\ufeff", False, "x"),
        ("\ud800a", False, "a"),
        (" \t\n", True, ""),
        ("", False, ""),
        ("", True, ""),
    ],
)
def test_string_baseform_examples(text, remove_special, expected):
    assert string_baseform(text, remove_special) == expected


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("Ab, " * 100_000, ("ab, " * 100_000).strip()),
        ("Ж!  " * 100_000, ("ж! " * 100_000).strip()),
        ("!" * 1_000_000, "!" * 1_000_000),
    ],
    ids=["ascii", "cyrillic", "special-only"],
)
def test_string_baseform_long_texts(text, expected):
    assert string_baseform(text) == expected
    assert (string_baseform(text, True) == "") == (not any(c.isalnum() for c in text))


@settings(max_examples=150, deadline=None)
@given(st.text())
def test_string_baseform_cleans_whitespace_and_case(text):
    visible = "".join(c for c in text if c.isprintable() or c.isspace())
    assert string_baseform(text) == " ".join(visible.split()).casefold()


@settings(max_examples=150, deadline=None)
@given(st.text(), st.booleans())
def test_string_baseform_is_idempotent(text, remove_special):
    once = string_baseform(text, remove_special)
    assert type(once) is str
    assert string_baseform(once, remove_special) == once


@settings(max_examples=150, deadline=None)
@given(st.text())
def test_empty_special_form_means_special_only(text):
    special_only = bool(text) and not any(c.isalnum() for c in text)
    assert (string_baseform(text, True) == "") == (special_only or not text)
    assert special_only_counts([text]) == ({text: 1} if special_only else {})


@pytest.mark.parametrize("text", [None, 5, b"abc", ["a"]])
def test_string_baseform_rejects_non_str(text):
    with pytest.raises(TypeError, match="must be str"):
        string_baseform(text)


@pytest.mark.parametrize("container", [list, lambda v: np.array(v, dtype=object), pd.Series])
def test_special_only_counts_first_seen_order(container):
    values = ["!!", "a", None, 1.5, "?!", "!!", "😀", "", "  ", "?a", "?!", "!!"]
    counts = special_only_counts(container(values))
    assert list(counts.items()) == [("!!", 3), ("?!", 2), ("😀", 1), ("  ", 1)]


def test_special_only_counts_rejects_non_iterable():
    with pytest.raises(TypeError):
        special_only_counts(3)


# ---------------------------------------------------------------------------------------------
# Theil's U: textbook reference through conditional entropies


def _entropy(codes):
    _, counts = np.unique(codes, return_counts=True)
    p = counts / counts.sum()
    return float(-(p * np.log(p)).sum())


def _conditional_entropy(x, y):
    return sum(np.mean(y == level) * _entropy(x[y == level]) for level in np.unique(y))


def theil_u_reference(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    h_a, h_b = _entropy(a), _entropy(b)
    u_ab = (h_a - _conditional_entropy(a, b)) / h_a
    u_ba = (h_b - _conditional_entropy(b, a)) / h_b
    return (h_a * u_ab + h_b * u_ba) / (h_a + h_b)


code_pairs = st.integers(2, 80).flatmap(
    lambda n: st.tuples(
        st.lists(st.integers(0, 6), min_size=n, max_size=n),
        st.lists(st.integers(0, 6), min_size=n, max_size=n),
    )
)


@settings(max_examples=100, deadline=None)
@given(code_pairs, st.sampled_from([1, 10**7]))
def test_theil_u_matches_reference(pair, spread):
    a, b = (np.array(codes, dtype=float) * spread for codes in pair)
    result = symmetric_theil_u_correlation(a, b)
    assert 0.0 <= result <= 1.0
    assert result == pytest.approx(symmetric_theil_u_correlation(b, a), abs=1e-12)
    if len(set(pair[0])) > 1 and len(set(pair[1])) > 1:
        assert result == pytest.approx(theil_u_reference(a, b), abs=1e-12)


@pytest.mark.parametrize(
    ("a", "b", "expected"),
    [
        ([0, 0, 1, 1], [0, 1, 0, 1], 0.0),
        ([0, 1, 0, 1], [1, 0, 1, 0], 1.0),
        ([0, 1, 2, 0], [5, 9, 7, 5], 1.0),
        ([3, 3, 3], [1, 1, 1], 1.0),
        ([0], [0], 1.0),
        ([2, 2, 2, 2], [0, 1, 0, 1], 0.0),
        ([0, 1, 0, 1], [4, 4, 4, 4], 0.0),
    ],
)
def test_theil_u_known_values(a, b, expected):
    assert symmetric_theil_u_correlation(a, b) == pytest.approx(expected, abs=1e-15)


def test_theil_u_empty_is_nan():
    assert math.isnan(symmetric_theil_u_correlation([], []))


@pytest.mark.parametrize("modulus", [7, 300])
def test_theil_u_many_levels_on_both_sides(modulus):
    rng = np.random.default_rng(modulus)
    a = rng.permutation(300).astype(float)  # as many levels as entries
    b = np.arange(300.0) % modulus
    expected = 1.0 if modulus == 300 else theil_u_reference(a, b)
    assert symmetric_theil_u_correlation(a, b) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize(
    "convert",
    [
        list,
        lambda v: np.asarray(v, dtype=np.int64),
        lambda v: np.repeat(np.asarray(v, dtype=float), 2)[::2],
        lambda v: np.asarray(v[::-1], dtype=float)[::-1],
        lambda v: pd.Series(v, dtype=float),
        lambda v: np.asarray(v, dtype=np.float32),
    ],
)
def test_association_inputs_of_any_layout(convert):
    codes = [0, 1, 1, 2, 0, 2, 2, 1]
    other = [1, 1, 0, 0, 1, 0, 1, 1]
    numbers = [0.5, 2.0, 1.5, 4.0, 1.0, 3.5, 5.0, 2.5]
    assert symmetric_theil_u_correlation(convert(codes), convert(other)) == pytest.approx(
        theil_u_reference(codes, other), abs=1e-12
    )
    converted = convert(numbers)  # int64 and float32 round the numbers
    assert correlation_ratio(convert(codes), converted) == pytest.approx(
        eta_reference(codes, np.asarray(converted, dtype=float)), abs=1e-12
    )


@pytest.mark.parametrize("function", [symmetric_theil_u_correlation, correlation_ratio])
@pytest.mark.parametrize(
    ("codes", "message"),
    [
        ([0, -1], "got -1 at position 1"),
        ([0.5, 1], "got 0.5 at position 0"),
        ([0, np.nan], "got nan"),
        ([0, np.inf], "got inf"),
        ([0, 2.0**60], "non-negative integers"),
        ([0, 1, 2], "same length"),
        ([[0, 1]], "1-dimensional"),
        (None, "1-dimensional"),
        (["a", "b"], "could not convert"),
    ],
)
def test_invalid_codes_raise_value_error(function, codes, message):
    with pytest.raises(ValueError, match=message):
        function(codes, [0.0, 1.0])


def test_theil_u_through_dataframe_corr():
    frame = pd.DataFrame({"x": list("aabbcca") + [None], "y": list("uvuvvwu") + ["w"]})
    encoded = frame.apply(lambda col: pd.factorize(col)[0]).replace(-1, np.nan)
    matrix = encoded.corr(method=symmetric_theil_u_correlation)
    complete = encoded.dropna()
    assert matrix.loc["x", "y"] == pytest.approx(theil_u_reference(complete["x"], complete["y"]))
    assert matrix.loc["y", "x"] == matrix.loc["x", "y"]


# ---------------------------------------------------------------------------------------------
# Correlation ratio


def eta_reference(categories, values):
    categories, values = np.asarray(categories, dtype=float), np.asarray(values, dtype=float)
    values = values / np.max(np.abs(values))  # eta is scale-free; keeps squares from underflowing
    mean = values.mean()
    between = sum(
        np.sum(categories == c) * (values[categories == c].mean() - mean) ** 2
        for c in np.unique(categories)
    )
    return math.sqrt(between / np.sum((values - mean) ** 2))


@settings(max_examples=100, deadline=None)
@given(
    st.integers(2, 60).flatmap(
        lambda n: st.tuples(
            st.lists(st.integers(0, 5), min_size=n, max_size=n),
            st.lists(st.floats(-1e6, 1e6), min_size=n, max_size=n),
        )
    )
)
def test_correlation_ratio_matches_reference(pair):
    categories, values = pair
    result = correlation_ratio(categories, values)
    assert 0.0 <= result <= 1.0
    if len(set(values)) > 1:
        assert result == pytest.approx(eta_reference(categories, values), abs=1e-9)


@pytest.mark.parametrize(
    ("categories", "values", "expected"),
    [
        ([0, 0, 1, 1], [1.0, 2.0, 3.0, 4.0], math.sqrt(0.8)),
        ([0, 1, 0, 1], [7.0, -2.0, 7.0, -2.0], 1.0),
        ([0, 0, 0], [1.0, 2.0, 6.0], 0.0),
        ([0, 1, 2], [3.0, 3.0, 3.0], 0.0),
        ([4], [1.5], 0.0),
        ([0, 0, 1, 1], [1e300, 2e300, 3e300, 4e300], math.sqrt(0.8)),
        ([0, 0, 1, 1], [1e-300, 2e-300, 3e-300, 4e-300], math.sqrt(0.8)),
    ],
)
def test_correlation_ratio_known_values(categories, values, expected):
    assert correlation_ratio(categories, values) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize(
    ("categories", "values"), [([], []), ([0, 1], [1.0, np.nan]), ([0, 1], [1.0, np.inf])]
)
def test_correlation_ratio_undefined_is_nan(categories, values):
    assert math.isnan(correlation_ratio(categories, values))


def test_corrwith_passes_series_values_first():
    codes = pd.Series([0.0, 1.0, 0.0, 1.0])
    calls = []
    pd.DataFrame({"num": [0.25, 0.5, 0.75, 1.5]}).corrwith(
        codes, method=lambda a, b: calls.append((a.copy(), b.copy())) or 0.0
    )
    np.testing.assert_array_equal(calls[0][0], codes.to_numpy())
    np.testing.assert_array_equal(calls[0][1], [0.25, 0.5, 0.75, 1.5])


def test_correlation_ratio_through_corrwith():
    rng = np.random.default_rng(0)
    labels = pd.Series(rng.choice(["a", "b", "c", None], size=50))
    codes = pd.Series(pd.factorize(labels)[0], dtype=float).replace(-1, np.nan)
    numbers = pd.DataFrame({"u": rng.normal(size=50), "v": rng.normal(size=50) + codes})
    numbers.loc[3, "u"] = np.nan
    result = numbers.corrwith(codes, method=correlation_ratio)
    for column in numbers:
        complete = codes.notna() & numbers[column].notna()
        expected = eta_reference(codes[complete], numbers.loc[complete, column])
        assert result[column] == pytest.approx(expected, abs=1e-12)


# ---------------------------------------------------------------------------------------------
# kova.data.kestrin helper modules


def test_helper_modules_reexport_the_native_functions():
    assert utils.string_baseform is kernels.string_baseform
    assert correlation.symmetric_theil_u_correlation is kernels.symmetric_theil_u_correlation
    assert correlation.correlation_ratio is kernels.correlation_ratio


@pytest.mark.parametrize(
    ("column", "expected"),
    [
        (pd.Series(["a", "b"], dtype=object), True),
        (pd.Series(["a", None, np.nan], dtype=object), True),
        (pd.Series(["a", None]), True),
        (pd.Series(["a", pd.NA], dtype="string"), True),
        (pd.Series([None, None], dtype="string"), True),
        (pd.Series(["a", "b", None], dtype="category"), True),
        (pd.Series(["a", 1], dtype="category"), True),
        (pd.Series(["1", 2, "a"], dtype=object), True),
        (pd.Series(["a", 1.5, None], dtype=object), True),
        (pd.Series([[1], 2.5], dtype=object), False),
        (pd.Series([1, 1.5], dtype=object), False),
        (pd.Series([None, np.nan], dtype=object), False),
        (pd.Series([], dtype=object), False),
        (pd.Series([b"a", b"b"]), False),
        (pd.Series([1.0, np.nan]), False),
        (pd.Series([1, 2]), False),
        (pd.Series([True, False]), False),
        (pd.Series([1, 2], dtype="category"), False),
        (pd.Series(pd.to_datetime(["2020-01-01", None])), False),
        (["a", "b"], True),
    ],
)
def test_is_string_column(column, expected):
    assert is_string_column(column) is expected


# ---------------------------------------------------------------------------------------------
# Whole-column passes over object arrays


def _float_or_error(value):
    try:
        float(value)
    except ValueError:
        return False
    except Exception as error:  # noqa: BLE001 - the kernel must raise the same type
        return type(error)
    return True


class _Custom:
    def __str__(self):
        return "custom text"


entry_values = st.one_of(
    st.none(),
    st.sampled_from([np.nan, pd.NA, pd.NaT, np.float64("nan"), np.datetime64("NaT"), _Custom()]),
    st.sampled_from([decimal.Decimal("1.5"), decimal.Decimal("NaN"), True, 2.5, -(10**30)]),
    st.integers(),
    st.floats(),
    st.text(alphabet="0123456789+-._eEinfaINF \t١\u3000!?😀aé\u0301\ud800", max_size=8),
    st.text(max_size=8),
    st.binary(max_size=4),
)


@settings(max_examples=200, deadline=None)
@given(st.lists(entry_values, max_size=30))
def test_whole_column_passes_match_the_per_entry_python_tests(entries):
    values = np.empty(len(entries), dtype=object)
    values[:] = entries
    missing = pd.isna(values)
    lengths = [len(str(x)) for x in entries]
    special = [isinstance(x, str) and x != "" and not any(c.isalnum() for c in x) for x in entries]
    np.testing.assert_array_equal(kernels.isna_object(values), missing)
    np.testing.assert_array_equal(kernels.str_lengths(values), lengths)
    np.testing.assert_array_equal(kernels.special_only_mask(values), special)
    numbers = [_float_or_error(x) for x in entries]
    errors = [n for n in numbers if not isinstance(n, bool)]
    if errors:  # the first error of float() propagates
        with pytest.raises(errors[0]):
            kernels.float_convertible(values)
    else:
        np.testing.assert_array_equal(kernels.float_convertible(values), numbers)
    scan = kernels.scan_entries(values)
    decided = scan.missing >= 0
    np.testing.assert_array_equal(scan.missing[decided], missing[decided])
    np.testing.assert_array_equal(scan.special, special)
    exact_str = np.array([type(x) is str for x in entries], dtype=bool)
    np.testing.assert_array_equal(scan.lengths[exact_str], np.array(lengths)[exact_str])
    np.testing.assert_array_equal(scan.numbers >= 0, exact_str)
    expected_numbers = np.array([n is True for n in numbers], dtype=bool)
    np.testing.assert_array_equal(scan.numbers[exact_str] == 1, expected_numbers[exact_str])


@pytest.mark.parametrize(
    ("entries", "error"),
    [(["1", [1], {}], "not 'list'"), (["x", 10**400], "too large"), ([complex(1, 2)], "complex")],
)
def test_float_convertible_raises_what_float_raises(entries, error):
    values = np.empty(len(entries), dtype=object)
    values[:] = entries
    with pytest.raises((TypeError, OverflowError), match=error):
        kernels.float_convertible(values)


@pytest.mark.parametrize(
    "kernel",
    ["isna_object", "float_convertible", "str_lengths", "special_only_mask", "scan_entries"],
)
@pytest.mark.parametrize("values", [["a"], np.array([1.0]), np.array([["a"]], dtype=object)])
def test_whole_column_passes_take_1d_object_arrays(kernel, values):
    with pytest.raises(TypeError, match="1-D array of dtype object|must be a numpy array"):
        getattr(kernels, kernel)(values)


# ---------------------------------------------------------------------------------------------
# Association matrices against the pandas path

code_columns = st.integers(0, 40).flatmap(
    lambda n: st.tuples(
        st.lists(st.lists(st.integers(-1, 4), min_size=n, max_size=n), min_size=1, max_size=4),
        st.lists(
            st.lists(
                st.one_of(st.floats(-1e3, 1e3), st.sampled_from([np.nan, np.inf])),
                min_size=n,
                max_size=n,
            ),
            max_size=3,
        ),
    )
)


@settings(max_examples=150, deadline=None)
@given(code_columns)
def test_association_matrices_equal_the_pandas_measures(columns):
    codes, numbers = columns
    code_arrays = [np.array(c, dtype=np.int64) for c in codes]
    encoded = pd.DataFrame({i: c for i, c in enumerate(code_arrays)}, dtype=float).replace(
        -1, np.nan
    )
    expected = encoded.corr(method=symmetric_theil_u_correlation).to_numpy()
    result = kernels.symmetric_theil_u_matrix(code_arrays)
    np.testing.assert_allclose(result, expected, rtol=0, atol=1e-12)
    if numbers:
        frame = pd.DataFrame({i: v for i, v in enumerate(numbers)}, dtype=float)
        expected = [frame.corrwith(encoded[c], method=correlation_ratio) for c in encoded]
        result = kernels.correlation_ratio_matrix(code_arrays, [frame[i].to_numpy() for i in frame])
        np.testing.assert_allclose(result, np.column_stack(expected), rtol=0, atol=1e-12)


float_columns = st.integers(0, 30).flatmap(
    lambda n: st.lists(
        st.lists(
            st.one_of(
                st.integers(-3, 3).map(float),  # ties, and the counting path
                st.floats(-1e6, 1e6),
                st.sampled_from([np.nan, np.inf, -np.inf]),
            ),
            min_size=n,
            max_size=n,
        ),
        min_size=1,
        max_size=4,
    )
)


@settings(max_examples=200, deadline=None)
@given(float_columns)
def test_spearman_matrix_equals_pandas(columns):
    frame = pd.DataFrame({i: c for i, c in enumerate(columns)}, dtype=float)
    expected = frame.corr(method="spearman").to_numpy()
    result = kernels.spearman_matrix([frame[i].to_numpy() for i in frame])
    np.testing.assert_allclose(result, expected, rtol=0, atol=1e-12)


def test_theil_u_matrix_of_many_levels_on_both_sides():
    rng = np.random.default_rng(1)
    a = rng.integers(-1, 3000, 5000)
    b = (a * 7 + rng.integers(0, 2, 5000)) % 2500
    both = (a >= 0) & (b >= 0)
    result = kernels.symmetric_theil_u_matrix([a, b])
    expected = symmetric_theil_u_correlation(a[both].astype(float), b[both].astype(float))
    assert result[0, 1] == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: kernels.symmetric_theil_u_matrix([[0, -2]]), "got -2 at position 1"),
        (lambda: kernels.symmetric_theil_u_matrix([[0, 1], [0]]), "same length"),
        (lambda: kernels.correlation_ratio_matrix([[0, 1]], [[1.0]]), "same length"),
        (lambda: kernels.correlation_ratio_matrix([[[0]]], []), "1-dimensional"),
    ],
)
def test_association_matrices_reject_invalid_input(call, message):
    with pytest.raises(ValueError, match=message):
        call()


# ---------------------------------------------------------------------------------------------
# Unicode classes follow the interpreter


def test_combining_marks_follow_the_interpreters_unicode_database():
    # A mark is kept on a letter ("a" + mark keeps it); any other non-base character is dropped.
    wrong = []
    for code_point in range(sys.maxunicode + 1):
        char = chr(code_point)
        kept = string_baseform("a" + char, True) != "a"
        is_mark = unicodedata.category(char) in {"Mn", "Mc", "Me"}
        if kept != (char.isalnum() or is_mark and char.isprintable() and not char.isspace()):
            wrong.append(hex(code_point))
    assert wrong == []


@pytest.mark.parametrize(
    ("values", "expected"),
    [
        (pd.Series([1] * 5000 + ["a"], dtype=object), True),
        (pd.Series([1.5] * 5000 + [[1]], dtype=object), False),
        ([[1, 2], [3, 4], "a"], True),
        ([[1, 2], [3, 4], 5], False),
    ],
)
def test_is_string_column_of_long_and_nested_columns(values, expected):
    assert is_string_column(values) is expected
