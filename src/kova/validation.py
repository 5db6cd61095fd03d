"""One way to check arguments: a declarative table of `Rule`s per class or function, one
validator, one message form.

A rule names an argument and what it may hold: a type (or types), a set of allowed values, a
numeric interval, the allowed members of a list, whether ``None`` is acceptable. `validate`
checks the values against the table in order and raises on the first broken rule:

* a value of the wrong type raises `KovaTypeError` (a `KovaError` and a `TypeError`);
* a value of the right type that breaks the rule raises `KovaError` (also a `ValueError`).

Every message names the argument, the value given and what is allowed, in one of three forms:
"Missing value for 'x': ...", "Invalid type for 'x': ..." and "Invalid value for 'x': ...".

Type rules, chosen so that nothing surprising slips through:

* ``bool`` never counts as a number: ``True`` fails an ``int`` or ``float`` rule and never
  matches ``1`` in a set of allowed values (and ``1`` never matches ``True``).
* ``int`` accepts any integral number (``numpy.int64`` too); ``float`` accepts any real
  number, integers included, so ``threshold=1`` is as good as ``threshold=1.0``.
* Every other type is checked with ``isinstance``.

Example::

    RULES = (
        Rule("n_estimators", int, low=1),
        Rule("learning_rate", float, low=0, high=1, low_open=True),
        Rule("method", str, values=("tree", "histogram")),
    )
    validate(RULES, {"n_estimators": 100, "learning_rate": 0.1, "method": "tree"})
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Collection, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from kova.exceptions import KovaError, KovaTypeError

__all__ = ["Rule", "validate", "check_value"]

# Longest list of allowed values spelled out in full in a message.
_MAX_LISTED = 20


@dataclass(frozen=True)
class Rule:
    """What one argument may hold.

    Parameters
    ----------
    name : str
        The argument's name, used in messages.
    types : type or tuple of types, optional
        The types the value must have (see the module docstring for numbers and booleans).
    values : collection, optional
        The values the argument may take, compared by equality (booleans only equal booleans).
    low, high : number, optional
        Bounds of a numeric value; inclusive unless ``low_open`` / ``high_open``.
    members : collection, optional
        For a list or tuple value: the values each element may take.
    required : bool
        When true, ``None`` is rejected; when false, ``None`` passes every other check.
    finite : bool
        Reject NaN and infinite numbers (on by default for numeric rules).
    or_values : collection
        Values accepted besides those the bounds allow (``-1`` for "all cores", say).
    """

    name: str
    types: type | tuple[type, ...] | None = None
    values: Collection[Any] | None = None
    low: float | None = None
    high: float | None = None
    low_open: bool = False
    high_open: bool = False
    members: Collection[Any] | None = None
    required: bool = True
    finite: bool = True
    or_values: Collection[Any] = ()

    def check(self, value: Any) -> None:
        """Raise `KovaTypeError` or `KovaError` if ``value`` breaks this rule."""
        if value is None:
            if self.required:
                raise KovaError(
                    f"Missing value for '{self.name}': None was given but a value is required. "
                    f"Allowed: {self.describe()}"
                )
            return
        if self.or_values and is_member(value, self.or_values):
            return
        if self.types is not None and not has_type(value, self.types):
            raise KovaTypeError(
                f"Invalid type for '{self.name}': {short_repr(value)} is of type "
                f"{type(value).__name__}. Expected type: {describe_types(self.types)}"
            )
        if self.values is not None and not is_member(value, self.values):
            raise KovaError(
                f"Invalid value for '{self.name}': {short_repr(value)}. "
                f"Allowed values: {describe_values(self.values)}"
            )
        if self._is_numeric_rule() and not self._in_range(value):
            raise KovaError(
                f"Invalid value for '{self.name}': {short_repr(value)}. "
                f"Allowed values: {self.describe()}"
            )
        if self.members is not None and isinstance(value, (list, tuple)):
            self._check_members(value)

    def describe(self) -> str:
        """What the rule allows, in words."""
        if self.values is not None:
            return describe_values(self.values)
        kinds = "any value" if self.types is None else describe_types(self.types)
        bounds = self._describe_bounds()
        text = f"{kinds} {bounds}" if bounds else kinds
        extra = " or ".join(repr(value) for value in self.or_values)
        return f"{text} or {extra}" if extra else text

    def _is_numeric_rule(self) -> bool:
        return self.low is not None or self.high is not None

    def _in_range(self, value: Any) -> bool:
        if not isinstance(value, numbers.Real) or isinstance(value, (bool, np.bool_)):
            return False
        number = float(value)
        if math.isnan(number) or (self.finite and math.isinf(number)):
            return False
        if self.low is not None and (number <= self.low if self.low_open else number < self.low):
            return False
        high = self.high
        return high is None or (number < high if self.high_open else number <= high)

    def _describe_bounds(self) -> str:
        if self.low is not None and self.high is not None:
            left, right = "(" if self.low_open else "[", ")" if self.high_open else "]"
            return f"in {left}{self.low:g}, {self.high:g}{right}"
        if self.low is not None:
            return f"{'>' if self.low_open else '>='} {self.low:g}"
        if self.high is not None:
            return f"{'<' if self.high_open else '<='} {self.high:g}"
        return ""

    def _check_members(self, value: list | tuple) -> None:
        allowed = list(self.members or ())
        rejected = [item for item in value if not is_member(item, allowed)]
        if rejected:
            raise KovaError(
                f"Invalid value for '{self.name}': {short_repr(value)}. "
                f"Not allowed: {short_repr(rejected)}. "
                f"Allowed members: {describe_values(allowed)}"
            )


def validate(rules: Iterable[Rule], values: Mapping[str, Any] | Any) -> None:
    """Check each rule's argument in ``values`` (a mapping, or an object whose attributes hold
    the arguments, such as an estimator); the first broken rule raises."""
    lookup = values.get if isinstance(values, Mapping) else lambda name: getattr(values, name)
    for rule in rules:
        rule.check(lookup(rule.name))


def check_value(value: Any, name: str, **rule: Any) -> Any:
    """Check one value against a rule given as keywords; return the value unchanged."""
    Rule(name, **rule).check(value)
    return value


def has_type(value: Any, allowed: type | tuple[type, ...]) -> bool:
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


def is_member(value: Any, allowed: Iterable[Any]) -> bool:
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


def describe_types(allowed: type | tuple[type, ...]) -> str:
    kinds = allowed if isinstance(allowed, tuple) else (allowed,)
    return " or ".join(kind.__name__ for kind in kinds)


def describe_values(allowed: Iterable[Any]) -> str:
    values = list(allowed)
    if len(values) <= _MAX_LISTED:
        return repr(values)
    shown = ", ".join(repr(item) for item in values[:_MAX_LISTED])
    return f"[{shown}, ...] ({len(values)} values)"


def short_repr(value: Any, limit: int = 200) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."
