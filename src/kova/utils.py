"""Shared services of the kova toolbox.

- ``KovaError``: the toolbox's error for invalid requests (the class of ``kova.exceptions``).
- ``TestResult``: the container the workflow reports return (`kova.result.Result` under the
  name the workflow APIs use).
- ``parameter_check`` / ``render_validation``: argument checking driven by validation rows,
  on top of the one validator of `kova.validation`.
- ``safe_execute``: the guard around the public entry methods of the workflow APIs.
- ``KovaWidget``: small ipywidgets helpers of the dashboard (notifications, spacers), loaded
  on first use so that importing this module does not load ipywidgets.

Validation rows
---------------
A row is ``[value, name, allowed, required]`` or ``[value, name, allowed, required, members]``:

* ``allowed`` is a type (or a tuple of types) the value must have, or a collection of the
  allowed values themselves;
* ``required`` is ``True`` when ``None`` is not an acceptable value;
* ``members`` (for list-valued arguments) lists the values each element may take.

The type rules (booleans are not numbers, ``float`` accepts integers) are those of
`kova.validation`.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, TypeVar

from kova.exceptions import KovaError
from kova.result import TestResult
from kova.validation import Rule

if TYPE_CHECKING:
    from kova.widget import KovaWidget

__all__ = [
    "KovaError",
    "KovaWidget",
    "TestResult",
    "parameter_check",
    "render_validation",
    "safe_execute",
]

_F = TypeVar("_F", bound=Callable[..., Any])


def __getattr__(name: str) -> Any:
    """``KovaWidget`` is imported on first use: it needs ipywidgets, the analyses do not."""
    if name == "KovaWidget":
        from kova.widget import KovaWidget

        return KovaWidget
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


# ------------------------------------------------------------------------ validation


def parameter_check(
    value: Any, name: str, allowed: Any, required: bool, members: Iterable[Any] | None = None
) -> None:
    """Check one argument against its validation rule; raise ``KovaError`` if it breaks it
    (``KovaTypeError``, also a ``TypeError``, when the value has the wrong type).

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
    kinds = allowed if _is_type_rule(allowed) else None
    values = None if kinds is not None else list(allowed)
    members = None if members is None else list(members)
    Rule(name, types=kinds, values=values, members=members, required=required).check(value)


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
