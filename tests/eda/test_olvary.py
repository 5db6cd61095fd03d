"""EdaAPI: working copy, argument checks, request records and the calls to the plot classes.

Unit tests replace the plot classes (and, where stated, the checkers) by recording fakes and
use a plain object as the dataset; the integration tests at the end use the real services.
"""

import importlib.util
import inspect
import types

import matplotlib.figure
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

import kova.data.eda
import kova.exceptions
import kova.utils
from kova.workflow import olvary
from kova.workflow.olvary import EdaAPI

FEATURES = ["a", "b", "c", "w"]
VIEWS = ["univariate", "bivariate", "multivariate"]
BI_MESSAGE = "bi_features is expected to have two different feature names."


@pytest.fixture
def frame():
    return pd.DataFrame(
        {
            "a": [1, 2, 3],
            "extra": [9.0, 9.0, 9.0],
            "b": [0.5, np.nan, 2.5],
            "c": pd.Series(["1.5", "2", "-3e1"], dtype=object),  # numbers written as text
            "w": ["x", "y", "z"],
        }
    )


@pytest.fixture
def dataset(frame):
    meta = {"a": "numerical", "b": "numerical", "c": "numerical", "w": "categorical"}
    return types.SimpleNamespace(data_init=frame, included_feature=list(FEATURES), meta_info=meta)


@pytest.fixture
def api(dataset):
    return EdaAPI(dataset)


class Recorder:
    """Fake plot classes that log every construction and plot call into one list."""

    def __init__(self):
        self.calls = []
        self.figure = object()

    def plot_class(self, name):
        recorder = self

        class FakePlot:
            def __init__(self, *args, **kwargs):
                recorder.calls.append((name, args, kwargs))

            def plot(self, *args, **kwargs):
                recorder.calls.append((name + ".plot", args, kwargs))
                return recorder.figure

        return FakePlot


@pytest.fixture
def plots(monkeypatch):
    recorder = Recorder()
    for name in ("UnivariatePlot", "BivariatePlot", "MultivariatePlot"):
        monkeypatch.setattr(olvary, name, recorder.plot_class(name))
    return recorder


# ----------------------------------------------------------------------------- module


def test_is_an_extension_module_with_the_set_up_names():
    assert olvary.__file__.endswith((".so", ".pyd"))
    assert not importlib.util.find_spec("kova.workflow.olvary").origin.endswith(".py")
    names = {name for name in vars(olvary) if not name.startswith("__")}
    assert names == {
        "UnivariatePlot", "BivariatePlot", "MultivariatePlot", "TestResult", "render_validation",
        "parameter_check", "safe_execute", "KovaError", "EdaAPI",
    }  # fmt: skip
    for name in ("UnivariatePlot", "BivariatePlot", "MultivariatePlot"):
        assert getattr(olvary, name) is getattr(kova.data.eda, name)
    for name in ("TestResult", "render_validation", "parameter_check", "safe_execute"):
        assert getattr(olvary, name) is getattr(kova.utils, name)
    assert olvary.KovaError is kova.exceptions.KovaError
    assert olvary.__test__ == {}
    assert EdaAPI.__module__ == "kova.workflow.olvary" and EdaAPI.__bases__ == (object,)


SIGNATURES = {
    "__init__": "(self, dataset=None)",
    "eda": "(self, show=None, uni_feature=None, bi_features=None, multi_features=None, "
    "multi_type='correlation_heatmap', figsize=(6, 6))",
    "univariate_plot": "(self, feature_0, log_scale=False, figsize=(6, 6))",
    "bivariate_plot": "(self, feature_0, feature_1, log_scale=False, figsize=(6, 6))",
    "multivariate_plot": "(self, multi_type, multi_features, figsize=(6, 6))",
    "plot_univariate": "(eda_result, figsize=(6, 6))",
    "plot_bivariate": "(eda_result, figsize=(6, 6))",
    "plot_multivariate": "(eda_result, figsize=(6, 6))",
}


@pytest.mark.parametrize("name, text", SIGNATURES.items())
def test_signatures(name, text):
    assert str(inspect.signature(getattr(EdaAPI, name))) == text


def test_methods_in_documented_order_and_static_where_documented():
    methods = [name for name in vars(EdaAPI) if name in SIGNATURES]
    assert methods == list(SIGNATURES)
    static = {name for name in methods if isinstance(vars(EdaAPI)[name], staticmethod)}
    assert static == {"plot_univariate", "plot_bivariate", "plot_multivariate"}


def test_eda_is_wrapped_by_safe_execute(api, plots):
    inner = EdaAPI.eda.__wrapped__
    assert inner.__qualname__ == "EdaAPI.eda" and not hasattr(inner, "__wrapped__")
    # The real guard attaches a note naming the entry method to what passes through it.
    with pytest.raises(kova.exceptions.KovaError) as info:
        api.eda(show="bivariate", bi_features=["a", "a"])
    assert info.value.__notes__ == ["raised while running EdaAPI.eda"]


# ------------------------------------------------------------------------ constructor


def test_constructor_builds_a_float_working_copy(frame, dataset):
    before = frame.copy()
    api = EdaAPI(dataset=dataset)
    assert api.dataset is dataset and api.meta is dataset.meta_info
    assert list(api.data.columns) == FEATURES
    assert [str(api.data[c].dtype) for c in ("a", "b", "c")] == ["float64"] * 3
    assert api.data["c"].tolist() == [1.5, 2.0, -30.0]
    assert not pd.api.types.is_numeric_dtype(api.data["w"])
    assert api.data["w"].tolist() == ["x", "y", "z"]
    pd.testing.assert_frame_equal(frame, before)  # the caller's frame is untouched


@pytest.mark.parametrize(
    "values, expected",
    [
        (pd.Series(["1.5", None, "-2"], dtype="str"), [1.5, np.nan, -2.0]),  # pandas string dtype
        (pd.Series(["1", None, " 2 "], dtype=object), [1.0, np.nan, 2.0]),
        (pd.array([1, None, 3], dtype="Int64"), [1.0, np.nan, 3.0]),
        ([True, False, True], [1.0, 0.0, 1.0]),  # booleans convert like any number
        (pd.Categorical(["2", "1", "2"]), [2.0, 1.0, 2.0]),
        (pd.Series(["x", None, "1"], dtype="str"), None),  # words stay text
        (pd.Categorical(["a", "b", "a"]), None),
        (pd.to_datetime(["2020-01-01", "2021-01-01", "2022-01-01"]), None),
    ],
)
def test_working_copy_converts_what_float_accepts(values, expected):
    frame = pd.DataFrame({"v": values})
    original = frame.copy(deep=True)
    data = EdaAPI(types.SimpleNamespace(data_init=frame, included_feature=["v"], meta_info={})).data
    if expected is None:
        pd.testing.assert_series_equal(data["v"], original["v"])
    else:
        assert data["v"].dtype == np.float64
        np.testing.assert_array_equal(data["v"].to_numpy(), expected)
    pd.testing.assert_frame_equal(frame, original)


class FailingNumber:
    """An entry whose float conversion raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def test_any_conversion_error_leaves_the_column_but_interrupts_propagate():
    def dataset(error):
        values = pd.Series([FailingNumber(error), "1"], dtype=object)
        frame = pd.DataFrame({"v": values, "n": ["2", "3"]})
        return types.SimpleNamespace(data_init=frame, included_feature=["v", "n"], meta_info={})

    data = EdaAPI(dataset(LookupError("not a number error type"))).data
    assert data["v"].dtype == object and data["n"].tolist() == [2.0, 3.0]
    with pytest.raises(KeyboardInterrupt):
        EdaAPI(dataset(KeyboardInterrupt()))


def test_columns_are_converted_by_position():
    frame = pd.DataFrame([["1", "x"], ["2", "y"]], columns=["d", "d"], dtype=object)
    dataset = types.SimpleNamespace(data_init=frame, included_feature=["d"], meta_info={})
    data = EdaAPI(dataset).data
    assert data.shape == (2, 2)
    assert data.iloc[:, 0].tolist() == [1.0, 2.0] and data.iloc[:, 1].tolist() == ["x", "y"]


def test_constructor_without_dataset_fails_on_data_init():
    with pytest.raises(AttributeError, match="data_init"):
        EdaAPI()


# ---------------------------------------------------------------------- type checks


class TextSubclass(str):
    pass


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"show": 1}, "Argument 'show' has incorrect type (expected str, got int)"),
        ({"show": TextSubclass("univariate")}, "Argument 'show' has incorrect type "
         "(expected str, got TextSubclass)"),
        ({"uni_feature": b"a"}, "Argument 'uni_feature' has incorrect type "
         "(expected str, got bytes)"),
        ({"bi_features": ("a", "b")}, "Argument 'bi_features' has incorrect type "
         "(expected list, got tuple)"),
        ({"bi_features": ListSubclass(["a", "b"])}, "Argument 'bi_features' has incorrect type "
         "(expected list, got ListSubclass)"),
        ({"multi_features": {"a"}}, "Argument 'multi_features' has incorrect type "
         "(expected list, got set)"),
        ({"multi_type": None, "multi_features": "a"}, "Argument 'multi_features' has incorrect "
         "type (expected list, got str)"),
        ({"multi_type": ["x"]}, "Argument 'multi_type' has incorrect type "
         "(expected str, got list)"),
        # checks run in argument order and stop at the first failure
        ({"multi_type": 1, "show": 2}, "Argument 'show' has incorrect type "
         "(expected str, got int)"),
        ({"multi_type": 1, "bi_features": ()}, "Argument 'bi_features' has incorrect type "
         "(expected list, got tuple)"),
    ],
)  # fmt: skip
def test_type_checks_come_before_any_work(monkeypatch, api, plots, kwargs, message):
    checked = []
    monkeypatch.setattr(olvary, "parameter_check", lambda *args: checked.append(args))
    with pytest.raises(TypeError) as info:
        api.eda(**kwargs)
    assert str(info.value) == message
    assert checked == [] and plots.calls == []


# ----------------------------------------------------------------------- validation


def _expected_rows(view, kwargs, features):
    settings = {"bi_features": None, "uni_feature": None, "multi_features": None,
                "multi_type": "correlation_heatmap"} | kwargs  # fmt: skip
    views = {
        "univariate": [[settings["uni_feature"], "uni_feature", features, True]],
        "bivariate": [[settings["bi_features"], "bi_features", list, True, features]],
        "multivariate": [
            [settings["multi_type"], "multi_type", ["correlation_heatmap", "correlation_graph"],
             False],
            [settings["multi_features"], "multi_features", list, False, features],
        ],
    }  # fmt: skip
    return views[view]


@pytest.mark.parametrize(
    "show, kwargs",
    [
        ("univariate", {"uni_feature": "w"}),
        ("bivariate", {"bi_features": ["a", "b"]}),
        ("multivariate", {"multi_features": ["b", "a"], "multi_type": "correlation_graph"}),
        ("multivariate", {}),
    ],
)
def test_validation_calls(monkeypatch, api, plots, show, kwargs):
    log = []
    monkeypatch.setattr(olvary, "parameter_check", lambda *a, **k: log.append(("check", a, k)))
    monkeypatch.setattr(olvary, "render_validation", lambda *a, **k: log.append(("render", a, k)))
    api.eda(show=show, figsize=(3, 4), **kwargs)
    features = api.dataset.included_feature
    assert log == [
        ("check", (show, "show", VIEWS, True), {}),
        ("render", ([[(3, 4), "figsize", tuple, False]],), {}),
        ("render", (_expected_rows(show, kwargs, features),), {}),
    ]
    view_rows = log[2][1][0]
    for row in log[1][1][0] + view_rows:  # the flags are the booleans themselves, not 0 or 1
        assert row[3] is (row[1] in ("uni_feature", "bi_features"))
    members = view_rows[0][2] if show == "univariate" else view_rows[-1][4]
    assert members is features  # the dataset's own feature list


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"show": "scatter"}, None),
        ({}, None),
        ({"show": "univariate"}, None),
        ({"show": "univariate", "uni_feature": "extra"}, None),
        ({"show": "bivariate"}, None),
        ({"show": "bivariate", "bi_features": ["a", "nope"]}, None),
        ({"show": "bivariate", "bi_features": ["a", "a"]}, BI_MESSAGE),
        ({"show": "bivariate", "bi_features": ["a"]}, BI_MESSAGE),
        ({"show": "bivariate", "bi_features": []}, BI_MESSAGE),
        ({"show": "bivariate", "bi_features": ["a", "b", "c"]}, BI_MESSAGE),
        ({"show": "multivariate", "multi_features": ["a", "extra"]}, None),
        ({"show": "multivariate", "multi_type": "pie"}, None),
        ({"show": "multivariate", "figsize": [6, 6]}, None),
    ],
)
def test_invalid_requests_stop_before_any_plot(api, plots, kwargs, message):
    with pytest.raises(kova.exceptions.KovaError) as info:
        api.eda(**kwargs)
    if message is not None:
        assert str(info.value) == message
    assert plots.calls == []


def test_kova_error_is_read_at_call_time(monkeypatch, api, plots):
    class OtherError(Exception):
        pass

    monkeypatch.setattr(olvary, "KovaError", OtherError)
    with pytest.raises(OtherError, match=BI_MESSAGE):
        api.eda(show="bivariate", bi_features=["b", "b", "b"])


# ------------------------------------------------------------------ dispatch and calls


@pytest.mark.parametrize(
    "bi_features, expected",
    [(["b", "a", "b"], ["b", "a"]), (["a", "a", "c"], ["a", "c"]), (["w", "c"], ["w", "c"])],
)
def test_bivariate_keeps_first_seen_order(api, plots, bi_features, expected):
    given = list(bi_features)
    api.eda(show="bivariate", bi_features=bi_features)
    assert plots.calls[-1] == ("BivariatePlot.plot", (expected,), {"figsize": (6, 6)})
    assert bi_features == given  # the caller's list is not rewritten


@pytest.mark.parametrize(
    "kwargs, plot_class, plot_args, plot_kwargs, columns",
    [
        ({"show": "univariate", "uni_feature": "w"}, "UnivariatePlot", ("w",), {}, FEATURES),
        ({"show": "bivariate", "bi_features": ["c", "a"]}, "BivariatePlot", (["c", "a"],), {},
         FEATURES),
        ({"show": "multivariate"}, "MultivariatePlot", (),
         {"plot_type": "correlation_heatmap"}, FEATURES),
        ({"show": "multivariate", "multi_features": ["w", "a"], "multi_type": "correlation_graph"},
         "MultivariatePlot", (), {"plot_type": "correlation_graph"}, ["w", "a"]),
    ],
)  # fmt: skip
def test_eda_calls_the_plot_class(api, plots, kwargs, plot_class, plot_args, plot_kwargs, columns):
    result = api.eda(figsize=(2, 3), **kwargs)
    (name, init_args, init_kwargs), plot_call = plots.calls
    assert name == plot_class
    if plot_class == "MultivariatePlot":
        (data,) = init_args
        assert init_kwargs.keys() == {"meta_info"} and init_kwargs["meta_info"] is api.meta
    else:
        data, meta = init_args
        assert init_kwargs == {} and meta is api.meta
    if "multi_features" in kwargs:
        pd.testing.assert_frame_equal(data, api.data[columns])
    else:
        assert data is api.data  # the working table itself, not a copy
    assert plot_call == (plot_class + ".plot", plot_args, {**plot_kwargs, "figsize": (2, 3)})
    assert isinstance(result, kova.utils.TestResult)
    assert result.figure is plots.figure and result.data is None


def test_result_container_is_built_by_keyword(monkeypatch, api, plots):
    built = []
    monkeypatch.setattr(olvary, "TestResult", lambda *a, **k: built.append((a, k)) or "result")
    assert api.eda(show="univariate", uni_feature="a") == "result"
    assert built == [((), {"figure": plots.figure, "data": None})]


# ------------------------------------------------------------------- request records


@pytest.mark.parametrize(
    "method, args, static, key, input_",
    [
        ("univariate_plot", ("a",), "plot_univariate", "univariate",
         {"feature_0": "a", "log_scale": False}),
        ("univariate_plot", ("a", True), "plot_univariate", "univariate",
         {"feature_0": "a", "log_scale": True}),
        ("bivariate_plot", ("b", "a"), "plot_bivariate", "bivariate",
         {"feature_0": "b", "feature_1": "a", "log_scale": False}),
        ("multivariate_plot", ("correlation_graph", None), "plot_multivariate", "multivariate",
         {"multi_type": "correlation_graph"}),
        ("multivariate_plot", ("correlation_heatmap", ["c", "b"]), "plot_multivariate",
         "multivariate", {"multi_type": "correlation_heatmap"}),
    ],
)  # fmt: skip
def test_request_records(api, method, args, static, key, input_):
    records = []
    setattr(api, static, lambda record, figsize: records.append((record, figsize)) or "fig")
    assert getattr(api, method)(*args, figsize=(1, 2)) == "fig"
    ((record, figsize),) = records
    assert figsize == (1, 2)
    assert list(record) == ["key", "input", "value"]
    assert record["key"] == key
    assert list(record["input"].items()) == list(input_.items())
    assert list(record["value"]) == ["data", "meta"] and record["value"]["meta"] is api.meta
    data = record["value"]["data"]
    if key == "multivariate" and args[1] is not None:
        assert list(data.columns) == args[1]
    else:
        assert data is api.data


def test_eda_records_log_scale_false(api, plots):
    records = []
    api.plot_bivariate = lambda record, figsize: records.append(record)
    api.eda(show="bivariate", bi_features=["a", "b"])
    assert records[0]["input"]["log_scale"] is False


@pytest.mark.parametrize(
    "static, input_, expected",
    [
        ("plot_univariate", {"feature_0": "f", "log_scale": True},
         [("UnivariatePlot", ("D", "M"), {}), ("UnivariatePlot.plot", ("f",), {"figsize": "S"})]),
        ("plot_bivariate", {"feature_0": "f", "feature_1": "g", "log_scale": True},
         [("BivariatePlot", ("D", "M"), {}),
          ("BivariatePlot.plot", (["f", "g"],), {"figsize": "S"})]),
        ("plot_multivariate", {"multi_type": "t"},
         [("MultivariatePlot", ("D",), {"meta_info": "M"}),
          ("MultivariatePlot.plot", (), {"plot_type": "t", "figsize": "S"})]),
    ],
)  # fmt: skip
def test_static_methods_call_the_plot_classes_exactly(plots, static, input_, expected):
    record = {"key": "k", "input": input_, "value": {"data": "D", "meta": "M"}}
    assert getattr(EdaAPI, static)(record, figsize="S") is plots.figure
    assert plots.calls == expected


# ----------------------------------------------------------------------- integration


@pytest.fixture
def iris_dataset():
    from sklearn.datasets import load_iris

    from kova.data import Dataset

    df = load_iris(as_frame=True).frame
    df["colour"] = np.resize(["red", "green", "blue", "amber"], len(df))
    df["width_text"] = df["sepal width (cm)"].map(str).astype(object)
    return Dataset(df, target="target"), df.copy()


@pytest.mark.parametrize(
    "kwargs",
    [
        {"show": "univariate", "uni_feature": "colour"},
        {"show": "univariate", "uni_feature": "width_text", "figsize": (5, 4)},
        {"show": "bivariate", "bi_features": ["width_text", "colour", "width_text"]},
        {"show": "bivariate", "bi_features": ["petal length (cm)", "sepal width (cm)"]},
        {"show": "multivariate", "figsize": (9.5, 4)},
        {"show": "multivariate", "multi_type": "correlation_graph", "figsize": (5, 5)},
    ],
)
def test_real_plots_on_iris(iris_dataset, kwargs):
    dataset, original = iris_dataset
    api = EdaAPI(dataset)
    assert api.data["width_text"].dtype == np.float64
    assert api.data["colour"].tolist() == dataset.data_init["colour"].tolist()
    result = api.eda(**kwargs)
    assert isinstance(result.figure, matplotlib.figure.Figure) and result.data is None
    assert tuple(result.figure.get_size_inches()) == kwargs.get("figsize", (6, 6))
    # pyplot does not hold the figure, so a notebook shows the result once, not twice
    assert plt.get_fignums() == []
    pd.testing.assert_frame_equal(dataset.data_init, original)


def test_real_multivariate_subset_on_breast_cancer():
    from kova.data import Dataset

    dataset = Dataset.from_sklearn("breast_cancer")
    subset = ["mean radius", "mean texture", "worst area"]
    result = EdaAPI(dataset).eda(show="multivariate", multi_features=subset)
    assert isinstance(result.figure, matplotlib.figure.Figure)


def test_report_section_adds_three_figures(tmp_path):
    from kova.demo import DEMO_TARGET, demo_frame
    from kova.report.context import ReportContext
    from kova.report.page import Page
    from kova.report.sections import SECTIONS, eda

    assert eda.run in [section.run for section in SECTIONS]
    report = Page("t")
    eda.run(ReportContext(demo_frame(), DEMO_TARGET), report)
    page = report.write(tmp_path / "report.html").read_text(encoding="utf-8")
    assert page.count("<img ") == 3
