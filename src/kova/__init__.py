"""kova: an interpretable machine-learning toolbox.

Modules:
- ``kova.data.kestrin.kestrin``: ``DataIntegrityCheck``, integrity checks of a data frame;
- ``kova.workflow.olvary``: ``EdaAPI``, exploratory plots;
- ``kova.models.morbeck``: ``KovaGridSearchCV`` / ``KovaRandomizedSearchCV``;
- ``kova.data``: the ``Dataset`` container; ``kova.utils``, ``kova.config``: shared services.

``python -m kova`` writes an HTML report of every module on built-in demo data.
"""

__version__ = "0.1.0"
