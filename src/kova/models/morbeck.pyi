from abc import ABCMeta
from typing import Any

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import seaborn as sns
from matplotlib.figure import Figure
from matplotlib.lines import Line2D as Line2D
from sklearn.base import is_regressor as is_regressor
from sklearn.metrics import make_scorer as make_scorer
from sklearn.metrics import r2_score as r2_score
from sklearn.metrics import roc_auc_score as roc_auc_score
from sklearn.model_selection import GridSearchCV as GridSearchCV
from sklearn.model_selection import RandomizedSearchCV as RandomizedSearchCV
from sklearn.model_selection import train_test_split as train_test_split
from typing_extensions import Self

from ..config.other_configs import METRICS as METRICS
from ..exceptions import KovaError as KovaError
from ..exceptions import KovaInfo as KovaInfo
from ..exceptions import KovaWarning as KovaWarning

__test__: dict

# The members both search classes add to their scikit-learn base (a stub-only name: at run time
# each class defines them itself).
class _KovaSearch:
    test_ratio: float
    def fit(self, X: Any, y: Any = None, sample_weight: Any = None) -> Self: ...
    def get_result(self) -> pd.DataFrame: ...
    def get_params_ranks(self, rank: float) -> dict: ...
    def plot(
        self, param: str, metrics: list[str] | None = None, figsize: tuple = (8, 6)
    ) -> Figure: ...
    @property
    def data(self) -> pd.DataFrame: ...

class KovaGridSearchCV(_KovaSearch, GridSearchCV, metaclass=ABCMeta):
    def __init__(
        self,
        estimator: Any,
        param_grid: dict | list,
        scoring: Any = None,
        n_jobs: int | None = None,
        refit: bool | str = False,
        cv: Any = None,
        test_ratio: float = 0.2,
        verbose: int = 0,
        pre_dispatch: int | str = "2*n_jobs",
        error_score: Any = np.nan,
        return_train_score: bool = False,
    ) -> None: ...

class KovaRandomizedSearchCV(_KovaSearch, RandomizedSearchCV, metaclass=ABCMeta):
    def __init__(
        self,
        estimator: Any,
        param_distributions: dict | list,
        n_iter: int = 10,
        scoring: Any = None,
        n_jobs: int | None = None,
        refit: bool | str = False,
        cv: Any = None,
        test_ratio: float = 0.2,
        verbose: int = 0,
        pre_dispatch: int | str = "2*n_jobs",
        random_state: Any = None,
        error_score: Any = np.nan,
        return_train_score: bool = False,
    ) -> None: ...
