from typing import Any

import pandas as pd
from matplotlib.figure import Figure

from ..data.eda import BivariatePlot as BivariatePlot
from ..data.eda import MultivariatePlot as MultivariatePlot
from ..data.eda import UnivariatePlot as UnivariatePlot
from ..exceptions import KovaError as KovaError
from ..utils import TestResult as TestResult
from ..utils import parameter_check as parameter_check
from ..utils import render_validation as render_validation
from ..utils import safe_execute as safe_execute

__test__: dict

class EdaAPI:
    dataset: Any
    data: pd.DataFrame
    meta: dict
    def __init__(self, dataset: Any = None) -> None: ...
    def eda(
        self,
        show: str | None = None,
        uni_feature: str | None = None,
        bi_features: list | None = None,
        multi_features: list | None = None,
        multi_type: str | None = "correlation_heatmap",
        figsize: tuple = (6, 6),
    ) -> TestResult: ...
    def univariate_plot(
        self, feature_0: Any, log_scale: bool = False, figsize: tuple = (6, 6)
    ) -> Figure: ...
    def bivariate_plot(
        self, feature_0: Any, feature_1: Any, log_scale: bool = False, figsize: tuple = (6, 6)
    ) -> Figure: ...
    def multivariate_plot(
        self, multi_type: str, multi_features: list | None, figsize: tuple = (6, 6)
    ) -> Figure: ...
    @staticmethod
    def plot_univariate(eda_result: dict, figsize: tuple = (6, 6)) -> Figure: ...
    @staticmethod
    def plot_bivariate(eda_result: dict, figsize: tuple = (6, 6)) -> Figure: ...
    @staticmethod
    def plot_multivariate(eda_result: dict, figsize: tuple = (6, 6)) -> Figure: ...
