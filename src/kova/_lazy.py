"""Modules imported on first use.

seaborn imports ipywidgets when it is installed; the analyses that draw with seaborn bind it
at import but use it only when they draw, so they bind a lazily loaded seaborn and importing
them stays free of widgets.
"""

from __future__ import annotations

import importlib.util
import sys
from types import ModuleType


def lazy_import(name: str) -> ModuleType:
    """The module ``name``, executed on its first attribute access. A missing module raises
    ``ModuleNotFoundError`` now, as a plain import would; a module already loaded is returned
    as it is."""
    loaded = sys.modules.get(name)
    if loaded is not None:
        return loaded
    found = importlib.util.find_spec(name)
    if found is None or found.loader is None:
        raise ModuleNotFoundError(f"No module named {name!r}", name=name)
    loader = importlib.util.LazyLoader(found.loader)
    found.loader = loader
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    loader.exec_module(module)
    return module
