"""Diagnosers of a fitted model: accuracy and weak spots."""

from kova.diagnoser.accuracy import Accuracy
from kova.diagnoser.weakspot import WeakSpot

__all__ = ["Accuracy", "WeakSpot"]
