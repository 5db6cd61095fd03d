"""Configuration tables of the kova toolbox: metrics, report names, parameter conversion."""

from kova.config.other_configs import (
    CLS_METRICS,
    METRICS,
    REG_METRICS,
    SEGMENTED_DIAGNOSE_LIST,
    param_render,
)

__all__ = ["CLS_METRICS", "METRICS", "REG_METRICS", "SEGMENTED_DIAGNOSE_LIST", "param_render"]
