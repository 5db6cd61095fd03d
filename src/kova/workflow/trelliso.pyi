from copy import deepcopy as deepcopy
from typing import Any

import numpy as np
import pandas as pd
from IPython.display import display as display

from ..config import CLS_METRICS as CLS_METRICS
from ..config import REG_METRICS as REG_METRICS
from ..config import SEGMENTED_DIAGNOSE_LIST as SEGMENTED_DIAGNOSE_LIST
from ..diagnoser import Accuracy as Accuracy
from ..diagnoser import WeakSpot as WeakSpot
from ..diagnoser.metrics import segment_scorer as segment_scorer
from ..diagnoser.utils import Bucketing as Bucketing
from ..diagnoser.utils import get_scoring_metric as get_scoring_metric
from ..diagnoser.utils import twosample_test as twosample_test
from ..exceptions import KovaError as KovaError
from ..models import XGB1Regressor as XGB1Regressor
from ..utils import TestResult as TestResult
from ..utils import parameter_check as parameter_check
from ..utils import render_validation as render_validation
from ..utils import safe_execute as safe_execute

__test__: dict

class SegmentedDiagnoseAPI:
    pipeline: Any
    estimator: Any
    data_dict: dict
    task_type: str
    feature_names: list
    feature_types: Any
    random_state: Any
    segment_params: dict | None
    result_table: pd.DataFrame | None
    match_id: np.ndarray | None
    metric_list: list
    result_dict: dict
    segment_accuracy_obj: Any
    score_sign: Any
    metric_dict: dict
    def __init__(self, pipeline: Any = None) -> None: ...
    def segmented_diagnose(
        self,
        show: str | None = None,
        segment_id: int | None = None,
        segment_feature: Any = None,
        segment_method: str = "uniform",
        segment_bins: int = 5,
        slice_features: list | None = None,
        slice_method: str = "histogram",
        slice_bins: int = 10,
        metric: str | None = None,
        threshold: float = 1.1,
        min_samples: int = 20,
        use_test: bool = True,
        distance_metric: str = "PSI",
        psi_buckets: str = "uniform",
        show_feature: Any = None,
        original_scale: bool = False,
        figsize: tuple = (8, 6),
    ) -> TestResult | None: ...
    def _calculate_all_segments(self, segment_method: str, segment_bins: int) -> dict: ...
    def _get_all_segments(self, segment_method: str, segment_bins: int) -> None: ...
    def _get_all_segments_metric(self, metric: str | None = None) -> None: ...
    def _get_segment_table(self, segment_feature: Any, metric: str) -> None: ...
    def segment_table(self) -> TestResult: ...
    def _get_segment_data_idx(self, segment_id: int) -> np.ndarray: ...
    def segment_rows(self, segment_id: int) -> pd.DataFrame: ...
    def _accuracy(self, segment_id: int) -> None: ...
    def accuracy_table(self, segment_id: int) -> TestResult: ...
    def accuracy_residual(
        self,
        segment_id: int,
        show_feature: Any,
        use_test: bool,
        original_scale: bool,
        figsize: tuple,
    ) -> TestResult: ...
    def weakspot(
        self,
        segment_id: int,
        slice_features: list,
        method: str,
        threshold: float,
        min_samples: int,
        bins: int,
        use_test: bool,
        metric: str,
        original_scale: bool,
        figsize: tuple,
    ) -> TestResult: ...
    def distribution_shift(
        self, segment_id: int, show_feature: Any, distance_metric: str, figsize: tuple
    ) -> TestResult: ...
