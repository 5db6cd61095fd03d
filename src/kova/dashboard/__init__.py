"""The notebook dashboard of kova: widget components, the data-quality service and its panel.

- ``kova.dashboard.component``: small ipywidgets building blocks (parameter panels, rows of
  aligned columns) and the dashboard stylesheet.
- ``kova.dashboard.utils``: notebook-platform helpers.
- ``kova.dashboard.quality``: ``DataQualityAPI``, the data-quality service the panel drives.
- ``kova.dashboard.dalvane``: ``DataQualityPanel``, the compiled data-quality page.

``DataQualityAPI`` is imported on first use, so loading the components stays quick.
"""

from typing import Any

__all__ = ["DataQualityAPI"]


def __getattr__(name: str) -> Any:
    if name == "DataQualityAPI":
        from kova.dashboard.quality import DataQualityAPI

        return DataQualityAPI
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
