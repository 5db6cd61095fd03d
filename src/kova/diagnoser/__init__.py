"""Diagnosers of a fitted model: accuracy, weak spots and weak regions.

The diagnosers load on first use, so that a caller of the distance and bucketing helpers alone
(the report without a target, for one) does not pay for importing the model libraries."""

import importlib

_HOMES = {
    "Accuracy": "kova.diagnoser.accuracy",
    "WeakRegions": "kova.diagnoser.regions",
    "WeakSpot": "kova.diagnoser.weakspot",
    "find_weak_regions": "kova.diagnoser.regions",
}

__all__ = ["Accuracy", "WeakRegions", "WeakSpot", "find_weak_regions"]


def __getattr__(name):
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(_HOMES[name]), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
