"""Models and model search: the hyper-parameter search classes live in ``kova.models.morbeck``."""

from kova.models.pipeline import ModelPipeline

__all__ = ["ModelPipeline"]
