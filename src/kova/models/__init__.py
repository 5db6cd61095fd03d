"""Models and model search: the hyper-parameter search classes live in ``kova.models.morbeck``."""
