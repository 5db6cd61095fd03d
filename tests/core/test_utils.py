"""Tests of kova.utils: validation rows, the execution guard, the result container, widgets."""

import base64
import inspect
import re
import sys

import ipywidgets as widgets
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

import kova.exceptions
from kova.utils import (
    KovaError,
    KovaWidget,
    TestResult,
    parameter_check,
    render_validation,
    safe_execute,
)

FEATURES = ["age", "income", "city"]


def test_kova_error_is_the_exceptions_class():
    assert KovaError is kova.exceptions.KovaError


# --------------------------------------------------------------------- validation

PASSING_ROWS = [
    ["univariate", "show", ["univariate", "bivariate"], True],
    [None, "segment_feature", FEATURES, False],
    [(6, 6), "figsize", tuple, False],
    [5, "segment_bins", int, True],
    [np.int64(5), "segment_bins", int, True],
    [1, "threshold", float, False],
    [1.1, "threshold", float, False],
    [False, "use_test", bool, True],
    [[], "slice_features", list, True, FEATURES],
    [["city", "age"], "bi_features", list, True, FEATURES],
    [None, "multi_features", list, False, FEATURES],
]


@pytest.mark.parametrize("row", PASSING_ROWS, ids=lambda row: f"{row[1]}={row[0]!r}")
def test_valid_rows_pass(row):
    assert render_validation([row]) is None


FAILING_ROWS = [
    # row, fragments the message must contain
    (["foo", "show", ["univariate", "bivariate"], True], ["'show'", "'foo'", "'univariate'"]),
    ([None, "show", ["univariate"], True], ["'show'", "None", "'univariate'"]),
    ([None, "segment_id", int, True], ["'segment_id'", "None", "int"]),
    ([[6, 6], "figsize", tuple, False], ["'figsize'", "[6, 6]", "tuple"]),
    ([2.5, "segment_bins", int, False], ["'segment_bins'", "2.5", "int"]),
    ([True, "segment_bins", int, False], ["'segment_bins'", "True", "bool", "int"]),
    ([True, "threshold", float, False], ["'threshold'", "True", "float"]),
    (["yes", "use_test", bool, False], ["'use_test'", "'yes'", "bool"]),
    ([True, "metric", [1, 2], False], ["'metric'", "True", "[1, 2]"]),
    ([("age",), "bi_features", list, True, FEATURES], ["'bi_features'", "('age',)", "list"]),
    ([["age", "zip"], "bi_features", list, True, FEATURES], ["'bi_features'", "'zip'", "'city'"]),
]


@pytest.mark.parametrize(
    "row, fragments", FAILING_ROWS, ids=[f"{row[1]}={row[0]!r}" for row, _ in FAILING_ROWS]
)
def test_broken_rows_raise_naming_argument_value_and_rule(row, fragments):
    with pytest.raises(KovaError) as caught:
        render_validation([row])
    for fragment in fragments:
        assert fragment in str(caught.value)


def test_parameter_check_takes_four_positional_arguments():
    parameter_check("bivariate", "show", ["univariate", "bivariate"], True)
    with pytest.raises(KovaError, match=r"Invalid value for 'show': 'x'\. Allowed values: \["):
        parameter_check("x", "show", ["univariate", "bivariate"], True)


def test_render_validation_stops_at_first_broken_row():
    rows = [[5, "a", int, False], ["x", "b", int, False], [None, "c", int, True]]
    with pytest.raises(KovaError, match="'b'"):
        render_validation(rows)


def test_long_allowed_lists_are_shortened_in_messages():
    names = [f"feature_{i}" for i in range(500)]
    with pytest.raises(KovaError) as caught:
        parameter_check("nope", "segment_feature", names, False)
    message = str(caught.value)
    assert "'feature_0'" in message and "500 values" in message and "feature_499" not in message


def test_malformed_row_is_a_value_error():
    with pytest.raises(ValueError, match="4 or 5 elements"):
        render_validation([["x", "show"]])


# ---------------------------------------------------------------- execution guard


class _Api:
    @safe_execute
    def entry(self, show=None, *, figsize=(6, 6)):
        """Entry documentation."""
        if show == "boom":
            raise KeyError("missing")
        if show == "bad":
            raise KovaError("bad request")
        return (self, show, figsize)


def test_safe_execute_returns_the_method_value_and_keeps_its_face():
    api = _Api()
    assert api.entry("x", figsize=(1, 2)) == (api, "x", (1, 2))
    assert _Api.entry.__name__ == "entry" and _Api.entry.__doc__ == "Entry documentation."
    assert str(inspect.signature(_Api.entry)) == "(self, show=None, *, figsize=(6, 6))"


@pytest.mark.parametrize("show, error", [("boom", KeyError), ("bad", KovaError)])
def test_safe_execute_reraises_the_original_exception(show, error):
    with pytest.raises(error) as caught:
        _Api().entry(show)
    assert type(caught.value) is error
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == ["raised while running _Api.entry"]


def test_safe_execute_does_not_repeat_its_note():
    inner = safe_execute(_Api.entry.__wrapped__)
    outer = safe_execute(inner)
    with pytest.raises(KeyError) as caught:
        outer(_Api(), "boom")
    if sys.version_info >= (3, 11):
        assert len(caught.value.__notes__) == 1


def test_safe_execute_wraps_builtin_functions():
    guarded = safe_execute(divmod)
    assert guarded(7, 2) == (3, 1)
    assert list(inspect.signature(guarded).parameters) == list(inspect.signature(divmod).parameters)
    with pytest.raises(ZeroDivisionError):
        guarded(1, 0)


# ---------------------------------------------------------------- result container


@pytest.fixture
def figure():
    fig, ax = plt.subplots(figsize=(4, 3))
    ax.plot([0, 1], [1, 0])
    yield fig
    plt.close(fig)


def test_test_result_takes_keywords_only():
    with pytest.raises(TypeError):
        TestResult(None, None)
    empty = TestResult()
    assert empty.figure is None and empty.data is None
    assert repr(empty) == "TestResult(figure=None, data=None)"


def test_test_result_repr_describes_figure_and_data_shape(figure):
    result = TestResult(figure=figure, data=pd.DataFrame({"a": range(4), "b": range(4)}))
    assert repr(result) == (
        "TestResult(figure=<Figure 4x3 in, 1 axes>, data=<DataFrame shape=(4, 2)>)"
    )
    styled = TestResult(data=pd.DataFrame({"a": [1]}).style)
    assert "shape=(1, 1)" in repr(styled)


def test_test_result_html_embeds_png_figure_and_table(figure):
    html = TestResult(figure=figure, data=pd.DataFrame({"Score": [0.5]}))._repr_html_()
    encoded = re.search(r'src="data:image/png;base64,([^"]+)"', html).group(1)
    assert base64.b64decode(encoded).startswith(b"\x89PNG")
    assert "<table" in html and "Score" in html


def test_test_result_html_escapes_plain_data():
    html = TestResult(data="<script>")._repr_html_()
    assert "<script>" not in html and "&lt;script&gt;" in html


# ------------------------------------------------------------------------ widgets


@pytest.mark.parametrize("signal_type", ["info", "error"])
def test_notification_shows_escaped_text(signal_type):
    notice = KovaWidget.notification(text='Need "data" <first>', signal_type=signal_type)
    assert isinstance(notice, widgets.HTML)
    assert "Need &quot;data&quot; &lt;first&gt;" in notice.value
    assert f"kova-notification-{signal_type}" in notice._dom_classes


def test_notification_styles_differ_by_type_and_mode():
    styles = {
        (kind, mode): KovaWidget.notification(text="t", signal_type=kind, highcode_mode=mode).value
        for kind in ("info", "error")
        for mode in (False, True)
    }
    assert len(set(styles.values())) == 4


def test_notification_rejects_unknown_type():
    with pytest.raises(KovaError, match="'signal_type': 'warn'"):
        KovaWidget.notification(text="t", signal_type="warn")


def test_spacers_take_the_given_size():
    right, top = KovaWidget.margin_right("10px"), KovaWidget.margin_top("20px")
    assert right.layout.width == "10px" and right.children == ()
    assert top.layout.height == "20px" and top.children == ()
