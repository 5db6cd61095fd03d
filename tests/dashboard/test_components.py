"""Dashboard components: parameter panels, aligned rows, stylesheet, colab helper."""

import ipywidgets as widgets
import pytest

from kova.dashboard import component, utils
from kova.dashboard.component import (
    DASHBOARD_CSS,
    ModelParameterPanel,
    col_align_input_template,
)
from kova.utils import KovaWidget

ENTRIES = {
    "trees": ["Number of trees", 100, "n_estimators", (10, 1000, 10)],
    "seed": ["Random seed", 7, ""],
    "share": ["Share", 0.5, "share", (0.0, 1.0)],
    "kind": ["Kind", "full", "kind", ["full", "diag"]],
    "flag": ["Bootstrap", False, "bootstrap"],
    "count": ["Count", 3, "count"],
    "rate": ["Rate", 0.1, "rate"],
    "text": ["Samples", "auto", "samples"],
}


@pytest.fixture
def panel():
    return ModelParameterPanel("Isolation <Forest>", ENTRIES)


def test_parameter_panel_shape_the_dashboard_relabels(panel):
    label = panel.parameter_panel.children[1].children[0].children[0].children[0]
    assert label.value == "Name:"
    label.value = "Method name:"
    panel.parameter_panel.children[0].value = "<h4>Customize Model</h4>"
    assert panel.model_tuning_name.value == "Isolation <Forest>"
    # one row per parameter after the name row, fixed ones included
    assert len(panel.parameter_panel.children[1].children) == 1 + len(ENTRIES)


def test_parameter_panel_escapes_the_name_in_its_heading(panel):
    assert "&lt;Forest&gt;" in panel.parameter_panel.children[0].value


def test_fixed_parameters_have_no_input(panel):
    assert list(panel.model_config) == [e[2] for e in ENTRIES.values() if e[2] != ""]


@pytest.mark.parametrize(
    "key, kind, value",
    [
        ("n_estimators", widgets.BoundedIntText, 100),
        ("share", widgets.BoundedFloatText, 0.5),
        ("kind", widgets.Dropdown, "full"),
        ("bootstrap", widgets.Checkbox, False),
        ("count", widgets.IntText, 3),
        ("rate", widgets.FloatText, 0.1),
        ("samples", widgets.Text, "auto"),
    ],
)
def test_inputs_follow_default_and_choices(panel, key, kind, value):
    field = panel.model_config[key]
    assert type(field) is kind and field.value == value


def test_bounded_inputs_clamp_to_their_bounds(panel):
    trees = panel.model_config["n_estimators"]
    assert (trees.min, trees.max, trees.step) == (10, 1000, 10)
    trees.value = 5000
    assert trees.value == 1000


def test_aligned_row_widths_and_spacer_columns():
    label, choice = widgets.HTML("Dataset:"), widgets.Dropdown(options=["all"])
    row = col_align_input_template(
        cols_elements=[[label], [choice], KovaWidget.margin_right, choice],
        cols_width=["100px", "20%", "10px", "30%"],
    )
    *columns, sheet = row.children
    assert [c.layout.width for c in columns] == ["100px", "20%", "10px", "30%"]
    assert columns[0].children == (label,) and columns[3].children == (choice,)
    assert columns[2].children == ()  # the spacer made by margin_right("10px")
    assert "<style>" in sheet.value and sheet.layout.display == "none"


@pytest.mark.parametrize(
    "elements, widths, error",
    [
        ([[widgets.HTML("a")]], ["10px", "20px"], ValueError),
        (["not a widget"], ["10px"], TypeError),
    ],
)
def test_aligned_row_rejects_bad_columns(elements, widths, error):
    with pytest.raises(error):
        col_align_input_template(cols_elements=elements, cols_width=widths)


@pytest.mark.parametrize(
    "css_class",
    [
        "pbtn",
        "progress-train",
        "list-item",
        "list",
        "fix-config-from-overflow",
        "inner-padding",
        "card",
        "card-with-tab",
    ],
)
def test_stylesheet_styles_every_dashboard_class(css_class):
    assert f".{css_class} " in DASHBOARD_CSS or f".{css_class}." in DASHBOARD_CSS
    assert component.dashboard_stylesheet().value.count("<style>") == 1


@pytest.mark.parametrize("platform, shown", [("colab", 1), (None, 0), ("jupyter", 0)])
def test_colab_cell_height_only_on_colab(monkeypatch, platform, shown):
    displayed = []
    monkeypatch.setattr(utils, "display", displayed.append)
    assert utils.expand_colab_cell_height(platform) is None
    assert len(displayed) == shown
    if shown:
        assert "setIframeHeight" in displayed[0].data
