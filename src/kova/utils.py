"""Shared services of the kova toolbox.

- ``KovaError``: the toolbox's error for invalid requests (the class of ``kova.exceptions``).
- ``TestResult``: the container every report returns (a figure, a table, or both).
- ``parameter_check`` / ``render_validation``: argument checking driven by validation rows.
- ``safe_execute``: the guard around the public entry methods of the workflow APIs.
- ``KovaWidget``: small ipywidgets helpers of the dashboard (notifications, spacers).

Validation rows
---------------
A row is ``[value, name, allowed, required]`` or ``[value, name, allowed, required, members]``:

* ``allowed`` is a type (or a tuple of types) the value must have, or a collection of the
  allowed values themselves;
* ``required`` is ``True`` when ``None`` is not an acceptable value;
* ``members`` (for list-valued arguments) lists the values each element may take.

Type rules, chosen so that nothing surprising slips through:

* ``bool`` never counts as a number: ``True`` fails an ``int`` or ``float`` row and never
  matches ``1`` in a list of allowed values (and ``1`` never matches ``True``).
* ``int`` accepts any integral number (``numpy.int64`` too); ``float`` accepts any real
  number, integers included, so ``threshold=1`` is as good as ``threshold=1.0``.
* Every other type is checked with ``isinstance``.
"""

from __future__ import annotations

import base64
import functools
import html
import io
import numbers
from collections.abc import Callable, Collection, Iterable
from typing import Any, TypeVar

import ipywidgets as widgets
import numpy as np

from kova.exceptions import KovaError

__all__ = [
    "KovaError",
    "KovaWidget",
    "TestResult",
    "parameter_check",
    "render_validation",
    "safe_execute",
]

_F = TypeVar("_F", bound=Callable[..., Any])

# Longest list of allowed values spelled out in full in an error message.
_MAX_LISTED = 20


# --------------------------------------------------------------------------- results


class TestResult:
    """Result of a report: a matplotlib figure, a table, or both.

    Displays itself in a notebook as the figure (an embedded PNG) above the table (HTML).

    Parameters
    ----------
    figure : matplotlib Figure, optional
        The figure the report drew.
    data : DataFrame, Styler or any object, optional
        The report's table.
    """

    __test__ = False  # not a pytest test class despite its name

    def __init__(self, *, figure: Any = None, data: Any = None) -> None:
        self.figure = figure
        self.data = data

    def __repr__(self) -> str:
        figure, data = _describe_figure(self.figure), _describe_data(self.data)
        return f"TestResult(figure={figure}, data={data})"

    def _repr_html_(self) -> str:
        parts = []
        if self.figure is not None:
            png = base64.b64encode(_figure_png(self.figure)).decode("ascii")
            parts.append(f'<img src="data:image/png;base64,{png}" alt="figure"/>')
        if self.data is not None:
            parts.append(_data_html(self.data))
        if not parts:
            parts.append("<pre>TestResult(empty)</pre>")
        return "<div class='kova-test-result'>" + "".join(parts) + "</div>"


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


# ------------------------------------------------------------------------ validation


def parameter_check(
    value: Any, name: str, allowed: Any, required: bool, members: Iterable[Any] | None = None
) -> None:
    """Check one argument against its validation rule; raise ``KovaError`` if it breaks it.

    Parameters
    ----------
    value : any
        The value the caller passed.
    name : str
        The argument's name, used in the message.
    allowed : type, tuple of types, or collection of values
        The type the value must have, or the values it may take.
    required : bool
        When true, ``None`` is rejected; when false, ``None`` passes.
    members : iterable, optional
        For list-valued arguments: the values each element of ``value`` may take.
    """
    if value is None:
        if required:
            raise KovaError(
                f"Missing value for '{name}': None was given but a value is required. "
                f"Allowed: {_describe_allowed(allowed)}"
            )
        return
    if _is_type_rule(allowed):
        if not _has_type(value, allowed):
            raise KovaError(
                f"Invalid type for '{name}': {_short_repr(value)} is of type "
                f"{type(value).__name__}. Expected type: {_describe_allowed(allowed)}"
            )
    elif not _is_member(value, allowed):
        raise KovaError(
            f"Invalid value for '{name}': {_short_repr(value)}. "
            f"Allowed values: {_describe_allowed(allowed)}"
        )
    if members is not None and isinstance(value, (list, tuple)):
        members = list(members)
        rejected = [item for item in value if not _is_member(item, members)]
        if rejected:
            raise KovaError(
                f"Invalid value for '{name}': {_short_repr(value)}. "
                f"Not allowed: {_short_repr(rejected)}. "
                f"Allowed members: {_describe_allowed(members)}"
            )


def render_validation(rows: Iterable[list[Any]]) -> None:
    """Check every validation row in order; the first broken rule raises ``KovaError``.

    Each row is ``[value, name, allowed, required]`` with an optional fifth element, the
    allowed members of a list value (see the module docstring).
    """
    for row in rows:
        if not 4 <= len(row) <= 5:
            raise ValueError(f"A validation row has 4 or 5 elements, got {len(row)}: {row!r}")
        parameter_check(*row)


def _is_type_rule(allowed: Any) -> bool:
    if isinstance(allowed, type):
        return True
    return (
        isinstance(allowed, tuple)
        and len(allowed) > 0
        and all(isinstance(kind, type) for kind in allowed)
    )


def _has_type(value: Any, allowed: type | tuple[type, ...]) -> bool:
    kinds = allowed if isinstance(allowed, tuple) else (allowed,)
    return any(_has_one_type(value, kind) for kind in kinds)


def _has_one_type(value: Any, kind: type) -> bool:
    is_bool = isinstance(value, (bool, np.bool_))
    if kind is bool:
        return is_bool
    if is_bool:
        return False
    if kind is int:
        return isinstance(value, numbers.Integral)
    if kind is float:
        return isinstance(value, numbers.Real)
    return isinstance(value, kind)


def _is_member(value: Any, allowed: Iterable[Any]) -> bool:
    """Membership by equality, where booleans only equal booleans."""
    value_is_bool = isinstance(value, (bool, np.bool_))
    for candidate in allowed:
        if value_is_bool != isinstance(candidate, (bool, np.bool_)):
            continue
        try:
            equal = value == candidate
        except Exception:  # objects whose comparison fails are simply not equal
            continue
        if isinstance(equal, (bool, np.bool_)) and equal:
            return True
    return False


def _describe_allowed(allowed: Any) -> str:
    if _is_type_rule(allowed):
        kinds = allowed if isinstance(allowed, tuple) else (allowed,)
        return " or ".join(kind.__name__ for kind in kinds)
    values = list(allowed)
    if len(values) <= _MAX_LISTED:
        return repr(values)
    shown = ", ".join(repr(item) for item in values[:_MAX_LISTED])
    return f"[{shown}, ...] ({len(values)} values)"


def _short_repr(value: Any, limit: int = 200) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


# ------------------------------------------------------------------------- execution


def safe_execute(method: _F) -> _F:
    """Guard a public entry method: run it, return its value, re-raise what it raises.

    A failure is never turned into a return value. The exception keeps its type, message
    and traceback; on Python 3.11+ a note naming the entry method is attached once.
    """
    label = getattr(method, "__qualname__", getattr(method, "__name__", repr(method)))
    note = f"raised while running {label}"

    @functools.wraps(method)
    def guarded(*args: Any, **kwargs: Any) -> Any:
        try:
            return method(*args, **kwargs)
        except Exception as error:
            add_note = getattr(error, "add_note", None)
            if add_note is not None and note not in getattr(error, "__notes__", ()):
                add_note(note)
            raise

    return guarded  # type: ignore[return-value]


# --------------------------------------------------------------------------- widgets

_NOTIFICATION_STYLES = {
    "info": {"color": "#0c5460", "background": "#d1ecf1", "border": "#17a2b8", "icon": "ℹ"},
    "error": {"color": "#721c24", "background": "#f8d7da", "border": "#dc3545", "icon": "✖"},
}


class KovaWidget:
    """Widget helpers of the dashboard; used through its class-level functions."""

    @staticmethod
    def notification(
        text: str = "", signal_type: str = "info", highcode_mode: bool = False
    ) -> widgets.HTML:
        """Return an HTML widget showing ``text`` styled as an "info" or "error" message.

        The text is HTML-escaped. With ``highcode_mode`` the message is a single coloured
        line (for script-style use) instead of the dashboard's boxed card.
        """
        style = _NOTIFICATION_STYLES.get(signal_type)
        if style is None:
            raise KovaError(
                f"Invalid value for 'signal_type': {signal_type!r}. "
                f"Allowed values: {list(_NOTIFICATION_STYLES)}"
            )
        message = html.escape(str(text))
        if highcode_mode:
            body = f"<span style='color: {style['border']};'>{style['icon']} {message}</span>"
        else:
            body = (
                f"<div style='color: {style['color']}; background: {style['background']}; "
                f"border-left: 4px solid {style['border']}; border-radius: 4px; "
                f"padding: 8px 12px; margin: 4px 0px;'>{style['icon']} {message}</div>"
            )
        notice = widgets.HTML(value=body, layout=widgets.Layout(width="100%"))
        notice.add_class(f"kova-notification-{signal_type}")
        return notice

    @staticmethod
    def margin_right(width: str) -> widgets.Box:
        """Return an empty spacer widget ``width`` wide (a CSS length such as "10px")."""
        return widgets.Box(layout=widgets.Layout(width=width, min_width=width))

    @staticmethod
    def margin_top(height: str) -> widgets.Box:
        """Return an empty spacer widget ``height`` high (a CSS length such as "20px")."""
        return widgets.Box(layout=widgets.Layout(height=height, min_height=height))
