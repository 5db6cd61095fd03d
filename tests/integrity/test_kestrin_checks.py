"""The integrity checks of DataIntegrityCheck: long strings, special characters, mixed types,
duplicated samples, associations between features and the single-column report."""

import collections
import decimal
import math

import numpy as np
import pandas as pd
import pytest

from kova.data.kestrin import kestrin
from kova.data.kestrin.correlation import correlation_ratio, symmetric_theil_u_correlation
from kova.data.kestrin.kestrin import DataIntegrityCheck


def check_of(**columns):
    return DataIntegrityCheck(pd.DataFrame(columns), None)


def column_check(values, dtype=object, index=None):
    return DataIntegrityCheck(
        pd.DataFrame({"c": pd.Series(values, dtype=dtype, index=index)}), None
    )


# ---------------------------------------------------------------------------------------------
# long_string


@pytest.mark.parametrize(
    "values, args, num, labels",
    [
        (["abc"] * 4 + ["x" * 20], (), 1, [4]),
        (["abc"] * 4 + ["x" * 8], (), 0, []),  # exactly quantile + difference: not long
        (["abc"] * 4 + ["x" * 9], (), 1, [4]),
        (["a", "bb", "ccc", "dddd", "eeeee"], (0.5, 0), 2, [3, 4]),
        (["a", "bb", "ccc", "dddd", "eeeee", "ffffff"], (0.5, 0), 3, [3, 4, 5]),  # half to even
        (["abc", None, "abc", np.nan, "abc", "x" * 30], (), 1, [5]),
        ([1, 22, 333, 4444, 10**30], (), 0, []),  # not a text column
        (["ab", 10**30, "ab", "ab", "ab"], (), 1, [1]),  # lengths of str(x) in a text column
        (["ab"] * 4 + ["abcdefgh"], (0.8, 6.0), 0, []),
        (["ab"] * 4 + ["abcdefgh"], (0.8, 5.5), 1, [4]),
        (["ab"] * 4 + ["abcdefgh"], (1, 0), 0, []),  # quantile level 1 is the longest entry
    ],
)
def test_long_string_flags_entries(values, args, num, labels):
    result = column_check(values).long_string(*args)
    assert list(result.columns) == ["Long String Num", "Long String Index"]
    assert result.loc["c"].tolist() == [num, labels]


def test_long_string_reports_row_labels_and_one_row_per_column():
    data = pd.DataFrame(
        {"n": [1.0, 2.0, 3.0, 4.0, 5.0], "t": ["abc", "abc", "abc", "abc", "x" * 20]},
        index=["r1", "r2", "r3", "r4", "r5"],
    )
    result = DataIntegrityCheck(data, None).long_string()
    assert list(result.index) == ["n", "t"]
    assert result["Long String Num"].tolist() == [0, 1]
    assert result["Long String Index"].tolist() == [[], ["r5"]]


@pytest.mark.parametrize(
    "values, dtype",
    [
        ([None, None], "str"),  # an all-missing text column
        ([None, np.nan], object),
        ([], "str"),
    ],
)
def test_long_string_without_entries_flags_nothing(values, dtype):
    assert column_check(values, dtype).long_string().loc["c"].tolist() == [0, []]


def test_long_string_measures_categorical_entries_by_their_text():
    values = pd.Categorical(["zz", "a", "a", "a", "a", "a" * 12])
    assert column_check(values, None).long_string().loc["c"].tolist() == [1, [5]]


@pytest.mark.parametrize("level", ["0.8", None, [0.8]])
def test_long_string_quantile_must_be_a_number(level):
    with pytest.raises(TypeError):
        column_check(["a"]).long_string(level)


def test_long_string_quantile_outside_zero_to_one_is_rejected_by_pandas():
    with pytest.raises(ValueError):
        column_check(["a", "b"]).long_string(quantile_threshold=1.5)


# ---------------------------------------------------------------------------------------------
# special_characters and _get_special_samples


@pytest.mark.parametrize(
    "values, percent, most_common",
    [
        (["!!", "ab"], "50.0%", ["!!"]),
        (["!!", "ab", "cd"], "33.33333333333333%", ["!!"]),
        (["#"] + ["a"] * 7, "12.5%", ["#"]),
        (["!!", None], "50.0%", ["!!"]),  # missing entries count in the denominator
        (["!!", np.nan, "x", "y"], "25.0%", ["!!"]),
        (["", " ", "a!", "!1", "ab"], "20.0%", [" "]),  # empty text: never; a base char: never
        (["#", "!!", "!!", "?"], "100.0%", ["!!", "#"]),
        (["😀👍", "…", "é!", "中"], "50.0%", ["😀👍", "…"]),
        (["ab", "cd"], "0.0%", []),
        ([1.5, 2.5], "0.0%", []),
        ([None, np.nan], "0.0%", []),
        ([decimal.Decimal("1"), decimal.Decimal("2")], "0.0%", []),
        (["!!", 3, b"!!"], "33.33333333333333%", ["!!"]),  # only str entries are text
    ],
)
def test_special_characters(values, percent, most_common):
    result = column_check(values).special_characters()
    assert result.index.name == "Column Name"
    assert list(result.columns) == ["% Special-Only Samples", "Most Common Special-Only Samples"]
    assert result.loc["c"].tolist() == [percent, most_common]


def test_special_characters_percent_of_a_tiny_share_uses_the_shortest_float_text():
    values = ["!"] + ["a"] * 199_999
    assert column_check(values).special_characters().loc["c"].iloc[0] == "0.0005%"


@pytest.mark.parametrize(
    "n_most_common, expected",
    [(2, ["A!", "B!"]), (1, ["A!"]), (None, ["A!", "B!", "C!"]), (0, []), (-1, ["A!", "B!"])],
)
def test_most_common_keeps_first_seen_order_between_equal_counts(n_most_common, expected):
    a, b, c = "!!", "??", "#"
    check = column_check([a, b, b, a, c])
    result = check.special_characters(n_most_common=n_most_common)
    names = {a: "A!", b: "B!", c: "C!"}
    assert [names[t] for t in result.loc["c"].iloc[1]] == expected


def test_get_special_samples_counts_in_first_seen_order():
    counts = DataIntegrityCheck._get_special_samples(pd.Series(["??", "a", "!!", "??", None, ""]))
    assert isinstance(counts, collections.defaultdict)
    assert list(counts.items()) == [("??", 2), ("!!", 1)]
    assert counts["never seen"] == 0


@pytest.mark.parametrize(
    "values",
    [
        [1, 2, 3],
        [1.5, np.nan],
        [decimal.Decimal("1.5")],
        ["ab", "c"],
        [None, np.nan],
        [],
    ],
)
def test_get_special_samples_is_none_without_special_only_texts(values):
    assert DataIntegrityCheck._get_special_samples(pd.Series(values, dtype=object)) is None


def test_get_special_samples_calls_the_replaced_base_form_per_text(monkeypatch):
    calls = []

    def baseform(text, remove_special):
        calls.append((text, remove_special))
        return "" if text == "x" else text

    monkeypatch.setattr(kestrin, "string_baseform", baseform)
    counts = DataIntegrityCheck._get_special_samples(pd.Series(["x", "!!", "", 7, None, "x"]))
    assert calls == [("x", True), ("!!", True), ("x", True)]
    assert dict(counts) == {"x": 2}


def test_get_special_samples_uses_the_module_counter(monkeypatch):
    made = []

    def counter(default):
        made.append(default)
        return collections.defaultdict(default)

    monkeypatch.setattr(kestrin, "defaultdict", counter)
    assert dict(DataIntegrityCheck._get_special_samples(pd.Series(["!"]))) == {"!": 1}
    assert made == [int]


def test_special_characters_errors_of_the_base_form_propagate(monkeypatch):
    def broken(text, remove_special):
        raise RuntimeError("base form failed")

    monkeypatch.setattr(kestrin, "string_baseform", broken)
    with pytest.raises(RuntimeError, match="base form failed"):
        column_check(["a"]).special_characters()


# ---------------------------------------------------------------------------------------------
# mixed_data_type, _get_data_mix and _check_mixed_percentage


@pytest.mark.parametrize(
    "values, mixed, text",
    [
        (["1", "2", "a", "b"], True, "0.5 : 0.5"),
        (["1", "a", "b"], True, "0.6667 : 0.3333"),
        (["1", "a", None], True, "0.5 : 0.5"),
        (["1", "2.5", "-3e4"], False, "-"),
        (["a", "b"], False, "-"),
        ([1, 2, 3.5], False, "-"),
        ([None, np.nan], False, "-"),
        (["nan", "x"], True, "0.5 : 0.5"),
        (["-Infinity", " 1_000 ", "x", "y"], True, "0.5 : 0.5"),
        (["١٢", "\u30007\u3000", "1__0", "_1"], True, "0.5 : 0.5"),
        (["1e", "1.", ".5", "."], True, "0.5 : 0.5"),
        ([b"1.5", "a", b"x", "b"], True, "0.75 : 0.25"),
        (["a"] * 99_999 + ["1"], True, "1.0 : 0.0"),
    ],
)
def test_mixed_data_type(values, mixed, text):
    result = column_check(values).mixed_data_type()
    assert list(result.columns) == ["With mixed", "Categorical : Numerical"]
    assert result.loc["c"].tolist() == [mixed, text]


def test_mixed_data_type_one_row_per_column_in_order():
    data = pd.DataFrame({"n": [1, 2], "t": ["1", "a"], "s": pd.Series(["a", "b"], dtype="str")})
    result = DataIntegrityCheck(data, None).mixed_data_type()
    assert list(result.index) == ["n", "t", "s"]
    assert result["With mixed"].tolist() == [False, True, False]


def test_check_mixed_percentage_record():
    record = DataIntegrityCheck._check_mixed_percentage(pd.Series(["1", "2", "2", "3", "4", "a"]))
    assert list(record) == ["strings", "numbers", "strings_examples", "numbers_examples"]
    assert record["strings"] == 1 / 6 and record["numbers"] == 5 / 6
    assert record["numbers_examples"] == {"1", "2", "3"}
    assert record["strings_examples"] == {"a"}


def test_check_mixed_percentage_keeps_the_entries_themselves_as_examples():
    values = pd.Series([1, 2.5, "1", "x", "y", "z", "w"], dtype=object)
    record = DataIntegrityCheck._check_mixed_percentage(values)
    assert record["numbers_examples"] == {1, 2.5, "1"}
    assert record["strings_examples"] == {"x", "y", "z"}


class Number:
    def __float__(self):
        return 1.0


class Unconvertible:
    def __float__(self):
        raise ValueError("no number")


@pytest.mark.parametrize(
    "values, expected",
    [
        ([Number(), "a"], (0.5, 0.5)),
        ([Unconvertible(), "1"], (0.5, 0.5)),
    ],
)
def test_check_mixed_percentage_converts_with_float(values, expected):
    record = DataIntegrityCheck._check_mixed_percentage(pd.Series(values, dtype=object))
    assert (record["strings"], record["numbers"]) == expected


@pytest.mark.parametrize("bad", [[1, 2], {"a": 1}, 1j])
def test_number_test_errors_other_than_value_error_end_the_check(bad):
    with pytest.raises(TypeError):
        column_check(["a", bad, "1"]).mixed_data_type()


def test_get_data_mix_skips_columns_that_are_not_text(monkeypatch):
    seen = []
    monkeypatch.setattr(kestrin, "is_string_column", lambda column: seen.append(column) or False)
    check = column_check(["1", "a"])
    assert check._get_data_mix(pd.Series(["1", "a"])) is None
    assert check.mixed_data_type().loc["c"].tolist() == [False, "-"]
    assert len(seen) == 2


def test_mixed_data_type_goes_through_the_instance_helpers():
    class Recording(DataIntegrityCheck):
        def _get_data_mix(self, column_data):
            return {"strings": 0.123456, "numbers": 0.876544}

    result = Recording(pd.DataFrame({"c": [1]}), None).mixed_data_type()
    assert result.loc["c"].tolist() == [True, "0.1235 : 0.8765"]


# ---------------------------------------------------------------------------------------------
# duplicated_samples


def labels_of(result):
    return [list(labels) for labels in result.index]


def test_duplicated_samples_groups_copies_by_value():
    data = pd.DataFrame({"a": [2, 1, 3, 2, 1, 5], "b": ["y", "x", "z", "y", "x", "q"]})
    result = DataIntegrityCheck(data, None).duplicated_samples()
    assert list(result.columns) == ["a", "b"]
    assert labels_of(result) == [[1, 4], [0, 3]]
    assert result.values.tolist() == [[1, "x"], [2, "y"]]


@pytest.mark.parametrize(
    "index",
    [
        pd.Index([10, 11, 12, 13], name="row_id"),
        pd.Index(["a", "b", "c", "d"], name="index"),
        pd.MultiIndex.from_tuples([("p", 1), ("p", 2), ("q", 1), ("q", 2)], names=["g", "n"]),
    ],
)
def test_duplicated_samples_whatever_the_index_is_called(index):
    data = pd.DataFrame({"v": [1, 2, 1, 3]}, index=index)
    result = DataIntegrityCheck(data, None).duplicated_samples()
    assert labels_of(result) == [[index[0], index[2]]]
    assert result["v"].tolist() == [1]


def test_duplicated_samples_with_columns_called_index_and_level_0():
    data = pd.DataFrame({"index": [1, 1, 2], "level_0": [5, 5, 5]})
    result = DataIntegrityCheck(data, None).duplicated_samples()
    assert labels_of(result) == [[0, 1]]
    assert result.values.tolist() == [[1, 5]]


def test_duplicated_samples_keeps_copies_with_missing_values():
    data = pd.DataFrame(
        {"a": [1.0, np.nan, 1.0, np.nan, np.nan], "b": ["x", None, "x", None, "y"]},
        index=["r0", "r1", "r2", "r3", "r4"],
    )
    result = DataIntegrityCheck(data, None).duplicated_samples()
    assert labels_of(result) == [["r0", "r2"], ["r1", "r3"]]
    assert result["b"].iloc[0] == "x" and pd.isna(result["b"].iloc[1])


def test_duplicated_samples_with_repeated_column_names():
    data = pd.DataFrame([[1, 2], [1, 2], [1, 3]], columns=["x", "x"])
    result = DataIntegrityCheck(data, None).duplicated_samples()
    assert labels_of(result) == [[0, 1]]
    assert result.values.tolist() == [[1, 2]]


@pytest.mark.parametrize(
    "cell", [frozenset({1}), frozenset({1, 2}), (1, 2), (1,), ("a", None)], ids=repr
)
@pytest.mark.parametrize("n_columns", [1, 2])
def test_duplicated_samples_show_set_and_tuple_cells_whole(cell, n_columns):
    columns = {"c0": [cell, cell, 3], "c1": [7, 7, 8]}
    data = pd.DataFrame(dict(list(columns.items())[:n_columns]))
    result = DataIntegrityCheck(data, None).duplicated_samples()
    assert labels_of(result) == [[0, 1]]
    assert result.values.tolist() == [[cell, 7][:n_columns]]


def test_duplicated_samples_of_categories_lists_only_observed_groups():
    data = pd.DataFrame({"c": pd.Categorical(["u", "u", "v"], categories=["w", "v", "u"])})
    assert labels_of(DataIntegrityCheck(data, None).duplicated_samples()) == [[0, 1]]


def test_duplicated_samples_without_copies_is_an_empty_frame():
    result = check_of(a=[1, 2], b=["x", "y"]).duplicated_samples()
    assert result.empty and list(result.columns) == ["a", "b"]


def test_duplicated_samples_of_a_frame_without_rows():
    result = check_of(a=pd.Series([], dtype=float)).duplicated_samples()
    assert result == "Dataset does not contain any data"


def test_duplicated_samples_of_unhashable_cells_raise_type_error():
    with pytest.raises(TypeError, match="unhashable"):
        check_of(a=[[1], [1]]).duplicated_samples()


# ---------------------------------------------------------------------------------------------
# highly_correlated_features


@pytest.fixture
def mixed_frame():
    return pd.DataFrame(
        {
            "x": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0],
            "c": ["a", "a", "b", "b", None, "c"],
            "y": [2, 1, 4, 3, 6, 5],
            "o": ["u", "v", "u", "v", "u", "v"],
            "d": ["p", "q", "q", "p", "p", "q"],
        }
    )


META = {"x": "numerical", "c": "categorical", "y": "numerical", "o": "other", "d": "categorical"}


def test_association_matrix(mixed_frame):
    matrix = DataIntegrityCheck(mixed_frame, META).highly_correlated_features().data
    assert list(matrix.index) == list(matrix.columns) == ["x", "c", "y", "o", "d"]
    assert matrix.dtypes.eq(float).all()
    spearman = mixed_frame[["x", "y"]].corr(method="spearman")
    assert matrix.loc["x", "y"] == spearman.loc["x", "y"] and matrix.loc["x", "x"] == 1.0
    codes_c = np.array([0, 0, 1, 1, 2], dtype=float)  # row 4 is missing in c
    codes_d = np.array([0, 1, 1, 0, 1], dtype=float)
    assert matrix.loc["c", "d"] == matrix.loc["d", "c"]
    assert matrix.loc["c", "d"] == pytest.approx(symmetric_theil_u_correlation(codes_c, codes_d))
    assert matrix.loc["c", "c"] == matrix.loc["d", "d"] == 1.0
    eta = correlation_ratio(codes_c, np.array([1.0, 2.0, 3.0, 4.0, 6.0]))
    assert matrix.loc["x", "c"] == matrix.loc["c", "x"] == pytest.approx(eta)
    assert matrix.loc["o"].isna().all() and matrix["o"].isna().all()


def test_association_matrix_is_not_thresholded_nor_rounded():
    data = pd.DataFrame({"a": [1.0, 2.0, 3.0, 4.0], "b": [1.0, 3.0, 2.0, 4.0]})
    matrix = DataIntegrityCheck(data, {"a": "numerical", "b": "numerical"})
    assert matrix.highly_correlated_features().data.loc["a", "b"] == 0.8


@pytest.mark.filterwarnings("ignore:All-NaN slice encountered:RuntimeWarning")
def test_association_styler_settings(mixed_frame):
    html = DataIntegrityCheck(mixed_frame, META).highly_correlated_features().to_html()
    assert "width: 15em;" in html and "text-align: center;" in html
    assert "background-color" in html
    assert ">0.83<" in html  # Spearman of x and y (0.8286), two decimals


def test_association_calls_the_module_measures(monkeypatch, mixed_frame):
    calls = []

    def ratio(categories, values):
        calls.append(("ratio", len(categories)))
        return 0.25

    def theil(a, b):
        calls.append(("theil", len(a)))
        return 0.5

    monkeypatch.setattr(kestrin, "correlation_ratio", ratio)
    monkeypatch.setattr(kestrin, "symmetric_theil_u_correlation", theil)
    matrix = DataIntegrityCheck(mixed_frame, META).highly_correlated_features().data
    assert matrix.loc["c", "d"] == 0.5 and matrix.loc["y", "d"] == matrix.loc["d", "y"] == 0.25
    assert sorted(calls) == [("ratio", 5), ("ratio", 5), ("ratio", 6), ("ratio", 6), ("theil", 5)]


def test_association_matrix_of_the_kernels_equals_the_pandas_measures(monkeypatch):
    rng = np.random.default_rng(7)
    n = 3000
    labels = np.array(["a", "b", "c", "d", None], dtype=object)
    data = pd.DataFrame(
        {
            "x": np.where(rng.random(n) < 0.1, np.nan, rng.normal(size=n)),
            "c": labels[rng.integers(0, 5, n)],
            "y": rng.integers(0, 9, n).astype(float),
            "d": pd.Categorical(labels[rng.integers(0, 4, n)]),
            "many": rng.integers(0, 2000, n).astype(str),
            "inf": np.where(rng.random(n) < 0.001, np.inf, rng.normal(size=n)),
        }
    )
    meta = dict.fromkeys(["x", "y", "inf"], "numerical") | dict.fromkeys(
        ["c", "d", "many"], "categorical"
    )
    native = DataIntegrityCheck(data, meta).highly_correlated_features().data
    # Python wrappers are not the kernel objects: the pandas callables path runs instead
    monkeypatch.setattr(kestrin, "correlation_ratio", lambda a, b: correlation_ratio(a, b))
    monkeypatch.setattr(
        kestrin, "symmetric_theil_u_correlation", lambda a, b: symmetric_theil_u_correlation(a, b)
    )
    through_pandas = DataIntegrityCheck(data, meta).highly_correlated_features().data
    pd.testing.assert_frame_equal(native, through_pandas, rtol=0, atol=1e-12)
    assert native.loc[["c", "d", "many"], "x"].notna().all()


@pytest.mark.parametrize(
    "meta_info, error",
    [(None, TypeError), ({"x": "numerical"}, KeyError)],
)
def test_association_needs_every_column_in_meta_info(mixed_frame, meta_info, error):
    with pytest.raises(error):
        DataIntegrityCheck(mixed_frame, meta_info).highly_correlated_features()


def test_association_needs_unique_column_names():
    data = pd.DataFrame([[1.0, 2.0], [2.0, 1.0]], columns=["x", "x"])
    with pytest.raises(ValueError, match=r"unique column names; repeated: \['x'\]"):
        DataIntegrityCheck(data, {"x": "numerical"}).highly_correlated_features()


def test_association_of_numbers_that_do_not_convert():
    data = pd.DataFrame({"x": ["a", "b"]})
    with pytest.raises(ValueError):
        DataIntegrityCheck(data, {"x": "numerical"}).highly_correlated_features()


# ---------------------------------------------------------------------------------------------
# single_column_check


HEADER = [
    ("Is Single Value", ""),
    ("Null Ratio", ""),
    ("Mixed Data Types", "Mixed"),
    ("Mixed Data Types", "Categorical : Numerical"),
    ("Long String", "Num"),
    ("Long String", "Index"),
    ("Special Characters", "Ratio"),
    ("Special Characters", "Example Samples"),
]


@pytest.fixture
def report_frame():
    return pd.DataFrame(
        {
            "num": [1.0, 1.0, np.nan, 1.0, np.nan, 1.0],
            "text": ["1", "a", "!!", "b", "??", "c"],
            "long": ["abc"] * 5 + ["x" * 30],
        },
        index=["p", "q", "r", "s", "t", "u"],
    )


def test_single_column_check_table(report_frame):
    styler = DataIntegrityCheck(report_frame, None).single_column_check()
    table = styler.data
    assert list(table.columns) == HEADER
    # "With mixed" is object: the mixed-type frame is built from per-column dicts and transposed
    assert [str(dtype) for dtype in table.dtypes] == [
        "bool",
        "float64",
        "object",
        "object",
        "int64",
        "object",
        "float64",
        "object",
    ]
    assert list(table.index) == ["num", "text", "long"]
    assert table.loc["num"].tolist() == [True, 1 / 3, False, "-", 0, [], 0.0, []]
    assert table.loc["num", ("Null Ratio", "")] == 0.3333333333333333
    assert table.loc["text"].tolist() == [
        False,
        0.0,
        True,
        "0.8333 : 0.1667",
        0,
        [],
        0.33333333333333326,
        ["!!", "??"],
    ]
    assert table.loc["long", ("Long String", "Num")] == 1
    assert table.loc["long", ("Long String", "Index")] == ["u"]


def test_single_column_check_display(report_frame):
    styler = DataIntegrityCheck(report_frame, None).single_column_check()
    assert styler.table_styles == [
        {"selector": "th.col_heading", "props": [("text-align", "center")]},
        {"selector": "th.col_heading.level0", "props": [("font-size", "1.0em")]},
        {"selector": "th,td", "props": [("border-style", "solid"), ("border-width", "1px")]},
    ]
    html = styler.to_html()
    assert ">0.3333<" in html and "0.33333333" not in html


def test_single_column_check_runs_the_instance_checks_with_defaults(report_frame):
    calls = []

    class Recording(DataIntegrityCheck):
        def long_string(self, *args, **kwargs):
            calls.append(("long_string", args, kwargs))
            return super().long_string(*args, **kwargs)

        def special_characters(self, *args, **kwargs):
            calls.append(("special_characters", args, kwargs))
            return super().special_characters(*args, **kwargs)

    Recording(report_frame, None).single_column_check()
    assert calls == [("long_string", (), {}), ("special_characters", (), {})]


def test_single_column_check_reads_each_column_once(monkeypatch, report_frame):
    from kova import _kernels

    data = pd.concat([report_frame] * 300, ignore_index=True)  # long: the per-column paths
    data["mixed"] = pd.Series(["1", 2, None, "a!", "!!", 3.5] * 300, dtype=object)
    expected = DataIntegrityCheck(data, None).single_column_check().data
    calls = collections.Counter()

    def counted(name):
        kernel = getattr(_kernels, name)

        def call(values):
            calls[name, len(values)] += 1
            return kernel(values)

        return call

    names = ["scan_entries", "isna_object", "special_only_mask", "float_convertible", "str_lengths"]
    for name in names:
        monkeypatch.setattr(_kernels, name, counted(name))
    result = DataIntegrityCheck(data, None).single_column_check().data
    pd.testing.assert_frame_equal(result, expected)
    # one scan per column; only the entries the scan leaves undecided are tested again:
    # the numbers 2 and 3.5 (str() and float()) and None (its missing test is read in place)
    assert calls == {
        ("scan_entries", 1800): 3,
        ("str_lengths", 600): 1,
        ("float_convertible", 600): 1,
    }


def test_single_column_check_of_a_frame_without_columns():
    table = DataIntegrityCheck(pd.DataFrame(index=[0, 1]), None).single_column_check().data
    assert table.shape == (0, 8) and list(table.columns) == HEADER


def test_single_column_check_with_repeated_column_names():
    data = pd.DataFrame([["!!", 1.0], ["a", 2.0]], columns=["x", "x"])
    table = DataIntegrityCheck(data, None).single_column_check().data
    assert list(table.index) == ["x", "x"]
    assert table[("Special Characters", "Ratio")].tolist() == [0.5, 0.0]


def test_single_column_check_of_a_frame_without_rows():
    data = pd.DataFrame({"a": pd.Series([], dtype="str"), "b": pd.Series([], dtype=float)})
    table = DataIntegrityCheck(data, None).single_column_check().data
    assert table[("Is Single Value", "")].tolist() == [False, False]
    assert all(math.isnan(v) for v in table[("Null Ratio", "")])
    assert table[("Special Characters", "Ratio")].tolist() == [0.0, 0.0]


# ---------------------------------------------------------------------------------------------
# Missing entries and single values on larger columns


@pytest.mark.parametrize("repeat", [1, 200])  # short and long columns take different paths
@pytest.mark.parametrize(
    "values, null_share, mix_text",
    [
        (["a", None, np.nan, pd.NA, pd.NaT, 1, True, 2.5], 0.5, "0.25 : 0.75"),
        (
            ["a", decimal.Decimal("NaN"), np.float64("nan"), np.datetime64("NaT"), "1"],
            0.6,
            "0.5 : 0.5",
        ),
    ],
)
def test_missing_entries_are_those_pandas_sees(values, null_share, mix_text, repeat):
    values = values * repeat
    check = column_check(values)
    assert pd.Series(values, dtype=object).isna().mean() == null_share
    assert check.null_ratio().loc["c"].tolist() == [null_share]
    assert check.mixed_data_type().loc["c"].tolist() == [True, mix_text]
    assert check.long_string().loc["c"].tolist() == [0, []]


@pytest.mark.parametrize("repeat", [1, 300])
@pytest.mark.parametrize("dtype", ["string", "str", object])
def test_missing_entries_of_text_dtypes(dtype, repeat):
    check = column_check(["1", None, "a", None, "b!"] * repeat, dtype)
    assert check.null_ratio().loc["c"].tolist() == [0.4]
    assert check.mixed_data_type().loc["c"].tolist() == [True, "0.6667 : 0.3333"]


@pytest.mark.parametrize(
    "tail, single",
    [
        (["x"] * 1500, True),
        (["x"] * 1499 + ["y"], False),
        ([None] * 1500, True),
        ([np.nan] * 1499 + ["x"], True),
    ],
)
def test_single_value_of_long_columns(tail, single):
    values = ["x"] * 1024 + tail
    check = check_of(c=pd.Series(values, dtype=object), d=np.arange(len(values)))
    assert check.is_single_value()["Is Single Value"].tolist() == [single, False]


@pytest.mark.parametrize(
    "late_entry, message",
    [([1], "unhashable type: 'list'"), (decimal.Decimal("sNaN"), "signaling NaN")],
)
def test_single_value_of_long_columns_raises_what_counting_raises(late_entry, message):
    # the first rows already hold two values; the entry pandas cannot count comes later
    values = pd.Series(["x", "y"] * 600 + [late_entry], dtype=object)
    with pytest.raises(TypeError, match=message):
        check_of(c=values).is_single_value()
