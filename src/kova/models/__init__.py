"""Models and model search: the hyper-parameter search classes live in ``kova.models.morbeck``."""

from kova.models.pipeline import ModelPipeline
from kova.models.xgb1 import XGB1Classifier, XGB1Regressor

__all__ = ["ModelPipeline", "XGB1Classifier", "XGB1Regressor"]
