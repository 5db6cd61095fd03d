"""Widget components of the dashboard: parameter panels, aligned rows and the stylesheet.

Parameter entries
-----------------
A method's parameters are a dict from parameter key to an entry
``[label, default, widget_key]`` or ``[label, default, widget_key, choices]``:

* ``label``: the text shown in front of the input;
* ``default``: the input's starting value; its type picks the input (a check box for a
  bool, a whole-number box for an int, a decimal box for a float, a text box otherwise);
* ``widget_key``: the key of the input in ``ModelParameterPanel.model_config``, or "" for a
  fixed parameter, which is shown read-only and has no input;
* ``choices`` (optional): a list of allowed values (a drop-down), or a tuple
  ``(low, high)`` / ``(low, high, step)`` bounding a number.
"""

import html
from collections.abc import Sequence
from typing import Any

import ipywidgets as widgets

__all__ = [
    "DASHBOARD_CSS",
    "ModelParameterPanel",
    "col_align_input_template",
    "dashboard_stylesheet",
]

# Look of the CSS classes the dashboard pages attach to their widgets, in one palette.
DASHBOARD_CSS = """
.pbtn.jupyter-button {
  background: #2f5d8a; color: #ffffff; border: none; border-radius: 4px;
  font-weight: 600; box-shadow: 0 1px 2px rgba(16, 24, 40, 0.18);
}
.pbtn.jupyter-button:hover:enabled { background: #244a6e; }
.pbtn.jupyter-button:active { background: #1b3853; }
.progress-train .progress-bar { background-color: #2f5d8a; }
.progress-train .widget-label { color: #1f2d3d; font-weight: 600; }
.list {
  border: 1px solid #d6dee8; border-radius: 6px; background: #ffffff;
  padding: 4px 0px; max-height: 360px; overflow-y: auto; box-sizing: border-box;
}
.list-item { padding: 2px 10px; border-bottom: 1px solid #eef1f5; box-sizing: border-box; }
.list-item:last-child { border-bottom: none; }
.list-item:hover { background: #f3f7fb; }
.fix-config-from-overflow { overflow: auto; max-height: 460px; }
.inner-padding { padding: 12px 8px; width: 100%; box-sizing: border-box; }
.card {
  background: #ffffff; border: 1px solid #d6dee8; border-radius: 8px; padding: 16px;
  margin-top: 10px; box-shadow: 0 1px 3px rgba(16, 24, 40, 0.08); box-sizing: border-box;
}
.card-with-tab { padding: 6px 4px; color: #1f2d3d; }
.card-with-tab h4 { color: #1f2d3d; font-weight: 600; }
.card-with-tab .widget-toggle-button { border-radius: 4px 4px 0px 0px; }
.card-with-tab .widget-toggle-button.mod-active { background: #2f5d8a; color: #ffffff; }
.kova-param-panel {
  border: 1px solid #d6dee8; border-radius: 6px; background: #fafcfe;
  padding: 4px 12px 12px 12px; box-sizing: border-box;
}
.kova-param-fixed { color: #5b6b7d; font-style: italic; }
"""

# Column widths of a parameter row: label, input.
_PARAMETER_COLUMNS = ("45%", "55%")


def dashboard_stylesheet() -> widgets.HTML:
    """Return a hidden widget whose ``<style>`` element gives the dashboard classes their look.

    Shown anywhere on a page (it takes no room), it styles every dashboard widget there.
    """
    sheet = widgets.HTML(
        value=f"<style>{DASHBOARD_CSS}</style>", layout=widgets.Layout(display="none")
    )
    sheet.add_class("kova-stylesheet")
    return sheet


def _column(element: Any, width: str) -> widgets.Widget:
    """One column of an aligned row: widgets stacked in a box, or a spacer from a callable."""
    if isinstance(element, widgets.Widget):
        element = [element]
    if isinstance(element, (list, tuple)):
        return widgets.VBox(
            list(element),
            layout=widgets.Layout(width=width, justify_content="center"),
        )
    if callable(element):
        return element(width)  # a spacer factory such as KovaWidget.margin_right
    raise TypeError(
        "A column is a list of widgets, a widget or a callable that makes a spacer from the "
        f"column's width; got {type(element).__name__}."
    )


def _aligned_columns(
    cols_elements: Sequence[Any], cols_width: Sequence[str]
) -> list[widgets.Widget]:
    if len(cols_elements) != len(cols_width):
        raise ValueError(
            f"{len(cols_elements)} column elements but {len(cols_width)} column widths; "
            "give one width per column."
        )
    return [
        _column(element, width) for element, width in zip(cols_elements, cols_width, strict=True)
    ]


def col_align_input_template(
    cols_elements: Sequence[Any], cols_width: Sequence[str]
) -> widgets.HBox:
    """Lay columns out in one row, each with its width, vertically centred.

    Parameters
    ----------
    cols_elements : sequence
        One element per column: a list of widgets (stacked top to bottom), a single widget,
        or a callable taking the column's width and returning a spacer widget (for instance
        ``KovaWidget.margin_right``).
    cols_width : sequence of str
        CSS widths ("120px", "20%"), one per column.

    The row also carries the dashboard stylesheet, so a page built on it is styled wherever
    it is displayed.
    """
    columns = _aligned_columns(cols_elements, cols_width)
    return widgets.HBox(
        [*columns, dashboard_stylesheet()],
        layout=widgets.Layout(width="100%", align_items="center"),
    )


def _number_input(default: Any, bounds: tuple) -> widgets.Widget:
    low, high, *step = bounds
    if isinstance(default, int):
        return widgets.BoundedIntText(value=default, min=low, max=high, step=step[0] if step else 1)
    return widgets.BoundedFloatText(
        value=default, min=low, max=high, step=step[0] if step else 0.01
    )


def _parameter_input(default: Any, choices: Any = None) -> widgets.Widget:
    """The input widget of one parameter, chosen by its default value and choices."""
    if isinstance(choices, list):
        return widgets.Dropdown(options=choices, value=default)
    if isinstance(choices, tuple):
        return _number_input(default, choices)
    if isinstance(default, bool):
        return widgets.Checkbox(value=default, indent=False)
    if isinstance(default, int):
        return widgets.IntText(value=default)
    if isinstance(default, float):
        return widgets.FloatText(value=default)
    return widgets.Text(value="" if default is None else str(default))


def _parameter_row(label: str, field: widgets.Widget) -> widgets.HBox:
    """A row of a label column and an input column, in the parameter-panel widths."""
    field.layout.width = "100%"
    return widgets.HBox(
        _aligned_columns([[widgets.HTML(label)], [field]], _PARAMETER_COLUMNS),
        layout=widgets.Layout(width="100%", align_items="center"),
    )


class ModelParameterPanel:
    """The settings of one outlier-detection method: its tuning name and parameter inputs.

    Parameters
    ----------
    model_name : str
        The method's display name: the panel's heading and the starting tuning name.
    parameter_dict : dict
        Parameter key -> entry (see the module docstring).

    Attributes
    ----------
    model_tuning_name : Text
        The name under which the method is trained and registered.
    model_config : dict
        Widget key -> input widget, for every parameter that has one.
    parameter_panel : VBox
        ``[heading, body]``; ``body.children[0]`` is the tuning-name row, whose first
        column holds the label in front of the name input; then one row per parameter.
    """

    def __init__(self, model_name: str, parameter_dict: dict) -> None:
        self.model_tuning_name = widgets.Text(value=str(model_name))
        self.model_config: dict[str, widgets.Widget] = {}
        rows = [
            _parameter_row("Name:", self.model_tuning_name),
            *(self._row_for(entry) for entry in parameter_dict.values()),
        ]
        heading = widgets.HTML(f"<h4 style='margin: 10px 0px;'>{html.escape(str(model_name))}</h4>")
        body = widgets.VBox(rows, layout=widgets.Layout(width="100%"))
        self.parameter_panel = widgets.VBox([heading, body], layout=widgets.Layout(width="100%"))
        self.parameter_panel.add_class("kova-param-panel")

    def _row_for(self, entry: Sequence[Any]) -> widgets.HBox:
        label, default, widget_key = entry[0], entry[1], entry[2]
        if widget_key == "":
            fixed = widgets.HTML(
                f"<span class='kova-param-fixed'>{html.escape(str(default))}</span>"
            )
            return _parameter_row(f"{label}:", fixed)
        field = _parameter_input(default, entry[3] if len(entry) > 3 else None)
        self.model_config[widget_key] = field
        return _parameter_row(f"{label}:", field)
