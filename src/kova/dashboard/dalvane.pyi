from typing import Any

import ipywidgets as widgets
from IPython.display import HTML as HTML
from IPython.display import clear_output as clear_output
from IPython.display import display as display

from ..config import param_render as param_render
from ..utils import KovaError as KovaError
from ..utils import KovaWidget as KovaWidget
from .component import ModelParameterPanel as ModelParameterPanel
from .component import col_align_input_template as col_align_input_template
from .utils import expand_colab_cell_height as expand_colab_cell_height

__test__: dict

class DataQualityPanel:
    support_dataset: bool
    data_quality_api: Any
    model_name_dict: dict[str, str]
    model_lis: list[str]
    platform: str | None
    model_item: dict[str, dict[str, Any]]
    model_info_dict: dict[str, dict[str, Any]]
    click_dict: dict[str, Any]
    dataset_type: str
    config_compare: dict[str, dict[str, Any]]
    cache: dict[str, widgets.Widget] | None
    cache_length: int | None
    last_but: Any
    def __init__(self, platform: str | None = None, data_quality_api: Any = None) -> None: ...
    def visualization_panel(self) -> widgets.VBox: ...
    def comparison_panel(self) -> widgets.VBox: ...
    def train_register_panel(self) -> tuple[widgets.HBox, widgets.VBox]: ...
    def model_setting_panel(self, config_output: widgets.Output) -> widgets.Box: ...
    def method_config_panel(self) -> widgets.VBox: ...
    def data_integrity_panel(self) -> widgets.HBox: ...
    def drift_test_panel(self) -> widgets.VBox: ...
    def od_panel(self) -> widgets.VBox: ...
    def train_all_panel(self) -> widgets.VBox: ...
