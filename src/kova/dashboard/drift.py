"""Train/test drift of the data-quality service: per-feature distances and their summary."""

from typing import Any

import numpy as np
import pandas as pd

from kova.dashboard import views
from kova.diagnoser.utils import twosample_test
from kova.exceptions import KovaError

__all__ = ["DRIFT_METRICS", "PSI_LEVELS", "drift_distance", "drift_info"]

DRIFT_METRICS = ("PSI", "WD1", "KS")
# Population-stability levels of the drift summary: below the first no shift, from the first
# a moderate one, from the second a significant one.
PSI_LEVELS = (0.1, 0.25)


def _drift_values(dataset: Any, feature: str) -> tuple[np.ndarray, np.ndarray, str]:
    """A feature's training and test values, as the two-sample test takes them.

    Numerical values are compared where present and finite (the test needs finite numbers);
    missing categories are a category of their own.
    """
    kind = dataset.meta_info[feature]
    samples = []
    for rows in (dataset.train_idx, dataset.test_idx):
        column = dataset.data_init[feature].iloc[np.asarray(rows)]
        if kind == "numerical":
            values = views.finite_numbers(column)
            samples.append(values[~np.isnan(values)])
        else:
            samples.append(column.astype(object).where(column.notna(), "<missing>").to_numpy())
    return samples[0], samples[1], kind


def _feature_drift(dataset: Any, feature: str, metric: str, show: bool, figsize: Any) -> Any:
    train, test, kind = _drift_values(dataset, feature)
    return twosample_test(
        sample1=train.reshape(-1, 1),
        sample2=test.reshape(-1, 1),
        distance_metric=metric,
        feature_names=[feature],
        feature_types=[kind],
        show_feature=feature if show else None,
        figsize=figsize or (6.4, 4.4),
        plot_title="Data distance(Train vs. Test)",
    )


def _distances(dataset: Any, metric: str) -> list[float]:
    if metric not in DRIFT_METRICS:
        raise KovaError(f"Unknown distance {metric!r}; choose from {list(DRIFT_METRICS)}.")
    return [
        float(_feature_drift(dataset, f, metric, False, None).value[metric][0])
        for f in dataset.feature_names
    ]


def drift_info(dataset: Any) -> views.QualityResult:
    """Every feature's distances under every metric, ranked by PSI, with a summary message."""
    with views.working("Comparing the training and test distributions..."):
        table = pd.DataFrame({"Feature": list(dataset.feature_names)})
        for metric in DRIFT_METRICS:
            table[metric] = _distances(dataset, metric)
    table["Shift"] = pd.cut(
        table["PSI"],
        bins=[-np.inf, *PSI_LEVELS, np.inf],
        right=False,
        labels=["none", "moderate", "significant"],
    ).astype(str)
    table = table.sort_values("PSI", ascending=False, ignore_index=True)
    moderate = int((table["Shift"] == "moderate").sum())
    significant = int((table["Shift"] == "significant").sum())
    message = (
        f"<b>Train/test drift</b>: {len(dataset.train_idx)} training and "
        f"{len(dataset.test_idx)} test rows, {len(table)} features.<br>"
        f"{significant} shift significantly (PSI &ge; {PSI_LEVELS[1]}), "
        f"{moderate} moderately (PSI &ge; {PSI_LEVELS[0]})."
    )
    return views.QualityResult(message=message, data=table.style.format(precision=4))


def drift_distance(
    dataset: Any, metric: str, show_feature: str | None, figsize: Any
) -> views.QualityResult:
    """One metric's distances of all features (``show_feature`` ``None``), or one feature's."""
    if show_feature is not None and show_feature not in dataset.feature_names:
        raise KovaError(f"Unknown feature {show_feature!r}.")
    with views.working(f"Computing {metric} distances..."):
        if show_feature is None:
            features = list(dataset.feature_names)
            table = pd.DataFrame({"Feature": features, metric: _distances(dataset, metric)})
            figure = views.distance_figure(table, metric, figsize)
            return views.QualityResult(figure=figure, data=table)
        result = _feature_drift(dataset, show_feature, metric, True, figsize)
    views.name_samples(result.figure, ("Train", "Test"))
    return views.QualityResult(figure=result.figure, data=result.value)
