"""The data-quality service of the dashboard: integrity checks, train/test drift, outliers.

``DataQualityAPI`` owns a ``kova.data.Dataset``, the outlier-detection methods and the
trained ones, and draws every chart the data-quality panel shows. It works as well from a
script or a notebook cell::

    api = DataQualityAPI(Dataset(frame, target="y"))
    api.data_quality(show="integrity_duplicated_samples").show_message()
    api.model_list = ["isolation_forest"]               # the methods to train
    prepared = api.model_prepare()
    api.fit_get_method(method=prepared["isolation_forest"]["estimator"], model_name="IF")
    api.data_quality(show="od_score_distribution", method="IF", threshold=0.99).show_message()
    api.apply_model(model="IF", threshold=0.99)         # drops the flagged training rows
    api.method_scores(model="IF", dataset="test", threshold=0.99)  # arrays, nothing drawn

Data parts: "all" (the rows not removed as outliers), "train" and "test".
"""

from collections.abc import KeysView
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import pandas as pd

from kova.dashboard import drift, embedding, views
from kova.dashboard.detectors import METHODS, FeatureEncoder, OutlierDetector, parameter_entries
from kova.data.kestrin.kestrin import DataIntegrityCheck
from kova.exceptions import KovaError
from kova.validation import Rule

__all__ = ["DataQualityAPI", "MethodScores", "TrainedMethod"]

DATA_PARTS = ("all", "train", "test")
TSNE_MIN_SAMPLES = 5

INTEGRITY_REPORTS = {
    "integrity_single_column_check": "single_column_check",
    "integrity_duplicated_samples": "duplicated_samples",
    "integrity_highly_correlated_features": "highly_correlated_features",
}


@dataclass
class TrainedMethod:
    """A trained outlier-detection method and the rows (positions) it was trained on."""

    detector: OutlierDetector
    positions: np.ndarray
    part: str


class MethodScores(NamedTuple):
    """A trained method's outlier scores on a data part, as plain arrays."""

    positions: np.ndarray  # row positions in the data set
    scores: np.ndarray  # higher is more outlying
    cutoff: float  # the score above which a row is an outlier at the threshold
    outlier: np.ndarray  # scores > cutoff


THRESHOLD = Rule("threshold", float, low=0.0, high=1.0)


def _name_list(value: Any, argument: str) -> list:
    """A list or tuple argument as a list; a single string or number is refused, not split."""
    Rule(argument, (list, tuple), required=False).check(value)
    return [] if value is None else list(value)


def _threshold(value: Any) -> float:
    """A threshold in [0, 1] as a float; anything else is a ``KovaError`` naming the argument."""
    THRESHOLD.check(value)
    return float(value)


class DataQualityAPI:
    """Data-quality service over a ``kova.data.Dataset``.

    Attributes
    ----------
    dataset : the data set; ``apply_model`` removes outliers from its training split.
    model_list : dict method key -> display name of every method (see the property).
    model_item : dict method key -> parameter dict (``kova.dashboard.component`` entries),
        in the same order as ``model_list``.
    model_config : the settings from ``model_config_setting`` used by ``model_prepare``
        (``None``: every method's defaults).
    custom_model_dict : dict name -> ``TrainedMethod`` of every registered method.
    training_failed_list : names whose training failed (``record_failed_training``; a later
        success removes the name).
    """

    def __init__(self, dataset: Any) -> None:
        for member in ("data_init", "feature_names", "meta_info", "train_idx", "test_idx"):
            if not hasattr(dataset, member):
                raise KovaError(f"DataQualityAPI needs a kova Dataset; it has no '{member}'.")
        self.dataset = dataset
        self.model_item = parameter_entries(getattr(dataset, "random_state", None))
        self._model_names = {key: METHODS[key][0] for key in self.model_item}
        self._selection = list(self._model_names)
        self.model_config: dict | None = None
        self.custom_model_dict: dict[str, TrainedMethod] = {}
        self.training_failed_list: list[str] = []

    # ------------------------------------------------------------------ methods

    @property
    def model_list(self) -> dict[str, str]:
        """Every method: key -> display name, in ``model_item`` order (always the same dict).

        Assigning a collection of method keys chooses the methods ``model_prepare`` makes;
        reading still lists every method, so any number of panels can be built over one
        service.
        """
        return self._model_names

    @model_list.setter
    def model_list(self, keys: Any) -> None:
        Rule("model_list", (list, tuple, set, frozenset, KeysView)).check(keys)
        keys = list(keys)
        Rule("model_list", list, members=list(self._model_names)).check(keys)
        self._selection = list(dict.fromkeys(keys))

    @property
    def selected_models(self) -> list[str]:
        """The method keys last assigned to ``model_list`` (every method at first)."""
        return list(self._selection)

    def model_config_setting(self, config: dict) -> dict:
        """Every method's settings: its defaults overridden by ``config`` (key -> {param: value}).

        Fixed settings keep their values. An unknown method or parameter raises ``KovaError``.
        """
        settings = {}
        for key, entries in self.model_item.items():
            given = dict(config.get(key, {}))
            unknown = [name for name in given if name not in entries]
            if unknown:
                raise KovaError(f"Unknown settings {unknown} for {self._model_names[key]}.")
            settings[key] = {
                name: entry[1] if entry[2] == "" else given.get(name, entry[1])
                for name, entry in entries.items()
            }
        unknown = [key for key in config if key not in self.model_item]
        if unknown:
            raise KovaError(f"Unknown methods {unknown}; choose from {list(self._model_names)}.")
        return settings

    def model_prepare(self) -> dict[str, dict[str, Any]]:
        """The untrained methods chosen in ``model_list``: key -> {"estimator", "name"}."""
        settings = self.model_config or self.model_config_setting({})
        kinds = self.dataset.meta_info
        features = self.dataset.feature_names
        return {
            key: {
                "estimator": OutlierDetector(key, settings[key], features, kinds),
                "name": self._model_names[key],
            }
            for key in self._selection
        }

    def fit_get_method(
        self, method: OutlierDetector, model_name: str, dataset: str = "all"
    ) -> TrainedMethod:
        """Train ``method`` on a data part and register it as ``model_name``.

        A name trained before is replaced; a name that had failed is taken off
        ``training_failed_list``. Errors of the training propagate.
        """
        if not isinstance(method, OutlierDetector):
            raise KovaError(
                f"method must be a method from model_prepare()[key]['estimator'], "
                f"got {type(method).__name__} {method!r}."
            )
        Rule("model_name", str).check(model_name)
        positions = self._positions(dataset)
        detector = method.fit(self.dataset.data_init.iloc[positions])
        trained = TrainedMethod(detector=detector, positions=positions, part=dataset)
        self.custom_model_dict[model_name] = trained
        if model_name in self.training_failed_list:
            self.training_failed_list = [n for n in self.training_failed_list if n != model_name]
        return trained

    def record_failed_training(self, model_name: str) -> None:
        """Note that training ``model_name`` failed (once; training it later clears it)."""
        if model_name not in self.training_failed_list:
            self.training_failed_list.append(model_name)

    def method_scores(
        self, model: str, dataset: str = "all", threshold: Any = 0.999
    ) -> MethodScores:
        """The outlier scores of trained method ``model`` on a data part, drawing nothing.

        Training rows keep the scores of the training; the other rows are scored anew. The
        cut-off is the ``threshold`` quantile of the training scores.
        """
        return self._scores(model, dataset, threshold, "model")

    def _scores(self, name: Any, part: str, threshold: Any, argument: str) -> MethodScores:
        trained = self._trained(name, argument)
        cutoff = trained.detector.cutoff(_threshold(threshold))
        positions, scores = self._part_scores(trained, part)
        return MethodScores(positions, scores, cutoff, scores > cutoff)

    def apply_model(self, model: str, threshold: float) -> int:
        """Remove the training rows that ``model`` flags at ``threshold``; return their count.

        Flagged test rows stay, so evaluations before and after a removal remain comparable.
        The removed positions are added to ``dataset.outlier_idx``.
        """
        trained = self._trained(model, "model")
        cutoff = trained.detector.cutoff(_threshold(threshold))
        flagged = trained.positions[trained.detector.train_scores_ > cutoff]
        removable = np.intersect1d(flagged, self.dataset.train_idx)
        if removable.size:
            self.dataset.remove_outliers(removable)
        return int(removable.size)

    # ------------------------------------------------------------------ requests

    def data_quality(
        self,
        show: str,
        dataset: str = "all",
        method: Any = None,
        threshold: Any = 0.999,
        distance_metric: str = "PSI",
        show_feature: str | None = None,
        figsize: tuple | None = None,
    ) -> views.QualityResult:
        """Compute one data-quality view and return it as a ``QualityResult``.

        ``show``: an integrity report ("integrity_single_column_check",
        "integrity_duplicated_samples", "integrity_highly_correlated_features"), the drift
        summary ("drift_test_info") or distances ("drift_test_distance", per
        ``distance_metric`` and ``show_feature``), or an outlier view of a trained ``method``
        at ``threshold`` ("od_score_distribution", "od_marginal_outlier_distribution",
        "od_tsne_comparison" with lists of methods and thresholds; this one is also drawn
        into the current output at once). ``dataset`` names the data part.
        """
        Rule("show", str).check(show)
        if show in INTEGRITY_REPORTS:
            return self._integrity(INTEGRITY_REPORTS[show], dataset)
        handlers = {
            "drift_test_info": lambda: drift.drift_info(self.dataset),
            "drift_test_distance": lambda: drift.drift_distance(
                self.dataset, distance_metric, show_feature, figsize
            ),
            "od_score_distribution": lambda: self._score_view(method, threshold, dataset, figsize),
            "od_marginal_outlier_distribution": lambda: self._marginal_view(
                method, threshold, dataset, figsize
            ),
            "od_tsne_comparison": lambda: self._tsne_view(method, threshold, dataset),
        }
        Rule("show", str, values=[*INTEGRITY_REPORTS, *handlers]).check(show)
        return handlers[show]()

    # -------------------------------------------------------------- data parts

    def _positions(self, part: str) -> np.ndarray:
        """Row positions of a data part; "all" leaves out the rows removed as outliers."""
        if part == "train":
            return np.asarray(self.dataset.train_idx)
        if part == "test":
            return np.asarray(self.dataset.test_idx)
        if part == "all":
            return np.union1d(self.dataset.train_idx, self.dataset.test_idx)
        raise KovaError(f"Unknown data part {part!r}; choose from {list(DATA_PARTS)}.")

    def _rows(self, part: str) -> pd.DataFrame:
        return self.dataset.data_init.iloc[self._positions(part)]

    # ---------------------------------------------------------------- integrity

    def _integrity(self, report: str, part: str) -> views.QualityResult:
        checks = DataIntegrityCheck(self._rows(part), self.dataset.meta_info)
        outcome = getattr(checks, report)()
        data = getattr(outcome, "data", outcome)  # a Styler keeps its table as data
        return views.QualityResult(message=outcome, data=data)

    # ----------------------------------------------------------- outlier views

    def _trained(self, name: Any, argument: str) -> TrainedMethod:
        if not isinstance(name, str) or name not in self.custom_model_dict:
            trained = list(self.custom_model_dict)
            raise KovaError(f"No trained method named {name!r} ({argument}); trained: {trained}.")
        return self.custom_model_dict[name]

    def _part_scores(self, trained: TrainedMethod, part: str) -> tuple[np.ndarray, np.ndarray]:
        """Row positions of a part and their outlier scores (the kept ones for training rows)."""
        positions = self._positions(part)
        scores = np.empty(len(positions))
        where = np.searchsorted(trained.positions, positions).clip(0, len(trained.positions) - 1)
        known = trained.positions[where] == positions
        scores[known] = trained.detector.train_scores_[where[known]]
        if not known.all():
            frame = self.dataset.data_init.iloc[positions[~known]]
            scores[~known] = trained.detector.score_samples(frame)
        return positions, scores

    def _score_view(
        self, name: Any, threshold: Any, part: str, figsize: Any
    ) -> views.QualityResult:
        scored = self._scores(name, part, threshold, "method")
        figure = views.score_figure(
            str(name), scored.scores, scored.cutoff, float(threshold), figsize
        )
        data = pd.DataFrame(
            {"position": scored.positions, "score": scored.scores, "outlier": scored.outlier}
        )
        return views.QualityResult(figure=figure, data=data)

    def _marginal_view(
        self, name: Any, threshold: Any, part: str, figsize: Any
    ) -> views.QualityResult:
        scored = self._scores(name, part, threshold, "method")
        features = self.custom_model_dict[name].detector.features
        frame = self.dataset.data_init.iloc[scored.positions][features]
        kinds = self.dataset.meta_info
        figure = views.marginal_figure(str(name), frame, kinds, scored.outlier, figsize)
        return views.QualityResult(figure=figure, data=frame[scored.outlier])

    def _tsne_view(self, names: Any, thresholds: Any, part: str) -> views.QualityResult:
        names = _name_list(names, "method")
        thresholds = [_threshold(t) for t in _name_list(thresholds, "threshold")]
        if len(names) != len(thresholds):
            raise KovaError(
                f"threshold needs one entry per compared method: {len(names)} methods, "
                f"{len(thresholds)} thresholds."
            )
        if not names:
            result = views.QualityResult(message="Select at least one trained method to compare.")
        else:
            result = self._tsne_result(names, thresholds, part)
        result.show_message()
        return result

    def _tsne_result(self, names: list, thresholds: list, part: str) -> views.QualityResult:
        positions = self._positions(part)
        if len(positions) < TSNE_MIN_SAMPLES:
            raise KovaError(f"The t-SNE view needs at least {TSNE_MIN_SAMPLES} samples.")
        flags = [
            self._scores(name, part, threshold, "method").outlier
            for name, threshold in zip(names, thresholds, strict=True)
        ]
        seed = getattr(self.dataset, "random_state", None)
        chosen = embedding.tsne_sample(np.any(flags, axis=0), seed)
        frame = self.dataset.data_init.iloc[positions[chosen]]
        encoder = FeatureEncoder(self.dataset.feature_names, self.dataset.meta_info)
        with views.working(f"Embedding {len(chosen)} samples with t-SNE..."):
            points = embedding.tsne_embed(encoder.fit(frame).transform(frame), seed)
        panels = [
            (str(name), threshold, flag[chosen])
            for name, threshold, flag in zip(names, thresholds, flags, strict=True)
        ]
        figure = views.tsne_figure(points, panels, len(positions))
        data = pd.DataFrame(points, columns=["tsne_1", "tsne_2"], index=positions[chosen])
        return views.QualityResult(figure=figure, data=data)
