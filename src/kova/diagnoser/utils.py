"""Tools shared by the diagnosers, re-exported where the compiled modules bind them: metrics by
name (``get_scoring_metric``, from kova.diagnoser.metrics), feature binning (``Bucketing``, from
kova.diagnoser.bucketing) and two-sample distances (``twosample_test``, from
kova.diagnoser.distances)."""

from kova.diagnoser.bucketing import Bucketing
from kova.diagnoser.distances import twosample_test
from kova.diagnoser.metrics import get_scoring_metric

__all__ = ["Bucketing", "get_scoring_metric", "twosample_test"]
