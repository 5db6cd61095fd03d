"""Diagnosers of a fitted model: accuracy, weak spots and weak regions."""

from kova.diagnoser.accuracy import Accuracy
from kova.diagnoser.regions import WeakRegions, find_weak_regions
from kova.diagnoser.weakspot import WeakSpot

__all__ = ["Accuracy", "WeakRegions", "WeakSpot", "find_weak_regions"]
