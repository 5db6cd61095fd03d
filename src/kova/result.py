"""The one result type of the toolbox: what an analysis computed and, when asked for, drew.

`Result` holds a matplotlib ``figure``, a ``table`` (a DataFrame, or a Styler made at the
edge for display), the raw ``value`` behind them (numbers, arrays, a mapping) and a
``message`` for display. Every field is optional. It shows itself in a notebook as the
message, the figure (an embedded PNG) and the table.

The names callers know are kept as aliases with their own constructors:
``TestResult(figure=, data=)`` (the workflow APIs), ``DiagnoseResult(value, figure)`` (the
diagnosers) and ``QualityResult(message, figure, data)`` (the data-quality service); ``data``
is the ``table`` under another name.
"""

from __future__ import annotations

import base64
import html
import io
from collections.abc import Collection
from typing import Any

__all__ = ["Result", "TestResult", "DiagnoseResult"]


class Result:
    """What an analysis produced: a figure, a table, raw values and a message, each optional."""

    __test__ = False  # not a pytest test class

    def __init__(
        self, *, figure: Any = None, table: Any = None, value: Any = None, message: Any = None
    ) -> None:
        self.figure = figure
        self.table = table
        self.value = value
        self.message = message

    @property
    def data(self) -> Any:
        """The table (the name the workflow APIs and the dashboard use)."""
        return self.table

    @data.setter
    def data(self, table: Any) -> None:
        self.table = table

    def __repr__(self) -> str:
        fields = {
            "figure": _describe_figure(self.figure),
            "table": _describe_data(self.table),
            "value": _describe_data(self.value),
            "message": _describe_data(self.message),
        }
        shown = ", ".join(f"{k}={v}" for k, v in fields.items() if v != "None")
        return f"{type(self).__name__}({shown or 'empty'})"

    def _repr_html_(self) -> str:
        parts = []
        if isinstance(self.message, str):
            parts.append(f"<p>{html.escape(self.message)}</p>")
        if self.figure is not None:
            png = base64.b64encode(_figure_png(self.figure)).decode("ascii")
            parts.append(f'<img src="data:image/png;base64,{png}" alt="figure"/>')
        if self.table is not None:
            parts.append(_data_html(self.table))
        if not parts:
            parts.append(f"<pre>{type(self).__name__}(empty)</pre>")
        return "<div class='kova-test-result'>" + "".join(parts) + "</div>"


class TestResult(Result):
    """Result of a workflow report: a matplotlib figure, a table (``data``), or both."""

    def __init__(self, *, figure: Any = None, data: Any = None) -> None:
        super().__init__(figure=figure, table=data)

    def __repr__(self) -> str:
        figure, data = _describe_figure(self.figure), _describe_data(self.table)
        return f"TestResult(figure={figure}, data={data})"


class DiagnoseResult(Result):
    """What a diagnoser computed: a mapping ``value`` and, when drawn, its ``figure``."""

    def __init__(self, value: Any, figure: Any = None) -> None:
        super().__init__(figure=figure, value=value)

    def __repr__(self) -> str:
        keys = ", ".join(map(str, self.value)) if isinstance(self.value, dict) else ""
        drawn = "" if self.figure is None else ", figure"
        return f"DiagnoseResult(value keys: {keys}{drawn})"


def _describe_figure(figure: Any) -> str:
    if figure is None:
        return "None"
    axes = getattr(figure, "axes", None)
    size = getattr(figure, "get_size_inches", None)
    if axes is None or size is None:
        return type(figure).__name__
    width, height = size()
    return f"<{type(figure).__name__} {width:g}x{height:g} in, {len(axes)} axes>"


def _describe_data(data: Any) -> str:
    if data is None:
        return "None"
    # A Styler has no shape of its own; it wraps its table as ``data``.
    shape = getattr(data, "shape", None) or getattr(getattr(data, "data", None), "shape", None)
    if isinstance(shape, tuple):
        return f"<{type(data).__name__} shape={shape}>"
    if isinstance(data, Collection) and not isinstance(data, str):
        return f"<{type(data).__name__} len={len(data)}>"
    return f"<{type(data).__name__}>"


def _figure_png(figure: Any) -> bytes:
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", bbox_inches="tight")
    return buffer.getvalue()


def _data_html(data: Any) -> str:
    for renderer in ("_repr_html_", "to_html"):
        render = getattr(data, renderer, None)
        if callable(render):
            rendered = render()
            if rendered is not None:
                return rendered
    return f"<pre>{html.escape(repr(data))}</pre>"
