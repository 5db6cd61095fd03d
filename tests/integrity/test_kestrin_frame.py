"""DataIntegrityCheck construction, module set-up, is_single_value and null_ratio."""

import collections
import importlib.util
import inspect
import math

import numpy as np
import pandas as pd
import pytest

from kova.data.kestrin import kestrin
from kova.data.kestrin.kestrin import DataIntegrityCheck


def test_is_an_extension_module():
    assert kestrin.__file__.endswith((".so", ".pyd"))
    found = importlib.util.find_spec("kova.data.kestrin.kestrin")
    assert not found.origin.endswith(".py")


def test_module_set_up_binds_its_names():
    import seaborn
    from pandas.api.types import infer_dtype

    from kova.data.kestrin import correlation, utils

    assert kestrin.pd is pd and kestrin.np is np and kestrin.sns is seaborn
    assert kestrin.defaultdict is collections.defaultdict and kestrin.infer_dtype is infer_dtype
    assert kestrin.string_baseform is utils.string_baseform
    assert kestrin.is_string_column is utils.is_string_column
    assert kestrin.symmetric_theil_u_correlation is correlation.symmetric_theil_u_correlation
    assert kestrin.correlation_ratio is correlation.correlation_ratio
    assert kestrin.__test__ == {}


def test_constructor_signature_and_attributes():
    assert str(inspect.signature(DataIntegrityCheck.__init__)) == "(self, data, meta_info)"
    df = pd.DataFrame({"a": [1]})
    meta = {"a": "numerical"}
    check = DataIntegrityCheck(meta_info=meta, data=df)
    assert check.data is df and check.meta_info is meta
    assert DataIntegrityCheck(df, None).meta_info is None


@pytest.mark.parametrize(
    "meta_info, got",
    [
        ([], "list"),
        (collections.OrderedDict(), "collections.OrderedDict"),
        (collections.defaultdict(int), "collections.defaultdict"),
        ("x", "str"),
    ],
)
def test_meta_info_must_be_exactly_a_dict(meta_info, got):
    with pytest.raises(TypeError) as info:
        DataIntegrityCheck(pd.DataFrame(), meta_info)
    assert str(info.value) == (
        f"Argument 'meta_info' has incorrect type (expected dict, got {got})"
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__init__() takes exactly 3 positional arguments (1 given)"),
        ((1, {}, 2), {}, "__init__() takes exactly 3 positional arguments (4 given)"),
        ((1, {}), {"data": 1}, "__init__() got multiple values for keyword argument 'data'"),
        # a missing required argument is reported before surplus keywords are looked at
        ((1,), {"data": 1}, "__init__() takes exactly 3 positional arguments (2 given)"),
        ((1, {}), {"other": 1}, "__init__() got an unexpected keyword argument 'other'"),
    ],
)
def test_constructor_call_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        DataIntegrityCheck(*args, **kwargs)
    assert str(info.value) == message


def test_methods_take_no_arguments():
    check = DataIntegrityCheck(pd.DataFrame({"a": [1]}), {})
    with pytest.raises(TypeError, match=r"^is_single_value\(\) takes exactly 1 positional"):
        check.is_single_value(1)


@pytest.fixture
def frame():
    return pd.DataFrame(
        {
            "all_missing": [np.nan, np.nan, np.nan],
            "one_and_missing": [4.0, np.nan, 4.0],
            "two_values": ["x", "y", "x"],
            "constant_text": ["k", "k", "k"],
        },
        index=["r1", "r2", "r3"],
    )


def test_is_single_value(frame):
    result = DataIntegrityCheck(frame, {}).is_single_value()
    assert list(result.columns) == ["Is Single Value"]
    assert list(result.index) == list(frame.columns)
    assert result["Is Single Value"].tolist() == [False, True, False, True]


def test_null_ratio_keeps_full_precision(frame):
    result = DataIntegrityCheck(frame, {}).null_ratio()
    assert list(result.columns) == ["Null Ratio"]
    assert result["Null Ratio"].tolist() == [1.0, 0.3333333333333333, 0.0, 0.0]


def test_frame_without_rows():
    empty = pd.DataFrame({"a": pd.Series([], dtype=float), "b": pd.Series([], dtype=object)})
    check = DataIntegrityCheck(empty, None)
    assert check.is_single_value()["Is Single Value"].tolist() == [False, False]
    assert all(math.isnan(v) for v in check.null_ratio()["Null Ratio"])


ALL_CHECKS = [
    "is_single_value",
    "null_ratio",
    "long_string",
    "special_characters",
    "mixed_data_type",
    "duplicated_samples",
    "highly_correlated_features",
    "single_column_check",
]

META = {
    "all_missing": "numerical",
    "one_and_missing": "numerical",
    "two_values": "categorical",
    "constant_text": "categorical",
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_checks_leave_the_frame_and_meta_info_untouched(frame):
    before, meta_before = frame.copy(), dict(META)
    check = DataIntegrityCheck(frame, META)
    for method in ALL_CHECKS:
        getattr(check, method)()
    pd.testing.assert_frame_equal(frame, before)
    assert META == meta_before


class PandasStandIn:
    """Stands in for the module global pd: records the names read from it and offers only the
    names the checks are built from, so any other use of the global fails."""

    OFFERED = {"DataFrame", "concat", "factorize"}

    def __init__(self):
        self.read = []

    def __getattr__(self, name):
        self.read.append(name)
        if name not in self.OFFERED:
            raise AttributeError(name)
        return getattr(pd, name)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize(
    "method, read",
    [
        ("is_single_value", ["DataFrame"]),
        ("null_ratio", ["DataFrame"]),
        ("long_string", ["DataFrame"]),
        ("special_characters", ["DataFrame"]),
        ("mixed_data_type", ["DataFrame"]),
        ("duplicated_samples", ["DataFrame"]),
        ("highly_correlated_features", ["factorize", "factorize", "DataFrame"]),
        ("single_column_check", ["DataFrame"] * 5 + ["concat"]),
    ],
)
def test_the_pd_global_is_read_at_call_time_for_the_described_steps(
    monkeypatch, frame, method, read
):
    expected = getattr(DataIntegrityCheck(frame, META), method)()
    stand_in = PandasStandIn()
    monkeypatch.setattr(kestrin, "pd", stand_in)
    result = getattr(DataIntegrityCheck(frame, META), method)()
    assert stand_in.read == read
    table = getattr(result, "data", result)
    pd.testing.assert_frame_equal(table, getattr(expected, "data", expected))


def test_the_colour_map_comes_from_the_sns_global_at_call_time(monkeypatch, frame):
    import seaborn

    calls = []

    def diverging_palette(*args, **kwargs):
        calls.append((args, kwargs))
        return seaborn.diverging_palette(*args, **kwargs)

    monkeypatch.setattr(kestrin, "sns", type("Sns", (), {})())
    monkeypatch.setattr(kestrin.sns, "diverging_palette", diverging_palette, raising=False)
    DataIntegrityCheck(frame, META).highly_correlated_features()
    assert calls == [((250, 5), {"as_cmap": True})]
