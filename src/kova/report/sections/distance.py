"""Distribution shift between the training and the test rows of every feature (PSI from the
diagnosers' two-sample test), over every row of the split; needs no model. Identifier-like
columns are left out: nearly all their values are new in the test rows by construction."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from kova.report import alerts as al
from kova.report.context import ReportContext
from kova.report.page import Page

# PSI bins hold about this many test rows each, and there are 2 to 10 of them: with fewer
# rows per bin the index of two samples of one distribution is far above 0 by chance.
ROWS_PER_PSI_BIN = 20
MAX_PSI_BINS = 10


def train_test_distances(
    dataset, features: list[str], codes: dict[str, tuple[np.ndarray, Any]] | None = None
) -> pd.Series:
    """PSI between the training and the test rows of each of `features`, on present values
    (the test draws no figure unless one is read). A categorical feature's factorize codes in
    `codes` (-1 for missing), when given, stand for its values: PSI reads only which rows
    share a value."""
    from kova.diagnoser.distances import twosample_test

    n_bins = int(np.clip(len(dataset.test_idx) // ROWS_PER_PSI_BIN, 2, MAX_PSI_BINS))
    given = {} if codes is None else codes
    distances = {}
    for name in features:
        kind = dataset.meta_info[name]
        if kind == "numerical":
            # infinite values are left out as the missing ones are: the distances need numbers
            values = pd.to_numeric(dataset.data_init[name]).to_numpy(dtype=float)
            train, test = (values[rows] for rows in (dataset.train_idx, dataset.test_idx))
            train, test = train[np.isfinite(train)], test[np.isfinite(test)]
        elif name in given:
            values = given[name][0]
            train, test = (values[rows] for rows in (dataset.train_idx, dataset.test_idx))
            train, test = train[train >= 0], test[test >= 0]
        else:
            column = dataset.data_init[name]
            train, test = (
                column.iloc[rows].dropna().to_numpy(dtype=object)
                for rows in (dataset.train_idx, dataset.test_idx)
            )
        result = twosample_test(
            train.reshape(-1, 1),
            test.reshape(-1, 1),
            distance_metric="PSI",
            feature_names=[name],
            feature_types=[kind],
            psi_buckets="quantile",
            psi_bins=n_bins,
        )
        distances[name] = float(result.value["PSI"][0])
    return pd.Series(distances, name="PSI", dtype=float)


def _distance_figure(distances: pd.Series, limit: float):
    import matplotlib.pyplot as plt

    ordered = distances.sort_values()
    fig, ax = plt.subplots(figsize=(7, 0.3 * len(ordered) + 1.2))
    colors = ["#c0392b" if d > limit else "#5b7fa6" for d in ordered]
    ax.barh([str(n) for n in ordered.index], ordered.to_numpy(), color=colors)
    ax.axvline(limit, color="#c0392b", linestyle="--", linewidth=1, label=f"threshold {limit}")
    ax.set_xlabel("PSI between training and test rows")
    ax.set_title("Distribution shift of each feature between training and test rows")
    ax.legend(loc="lower right")
    fig.tight_layout()
    return fig


def run(ctx: ReportContext, page: Page) -> list[al.Alert]:
    limit = ctx.thresholds.max_train_test_psi
    anchor = "train-test-distance"
    page.section(
        anchor,
        "Distribution shift: training against test rows",
        "Population stability index of every feature between the training and the test "
        f"split over every row (0 means the same distribution; bars above the threshold "
        f"{limit} are alerted).",
    )
    dataset = ctx.dataset
    if ctx.identifiers:
        page.text(
            f"Left out as identifier-like (a new value in most rows): {', '.join(ctx.identifiers)}."
        )
    features = [n for n in dataset.feature_names if n not in set(ctx.identifiers)]
    distances = train_test_distances(dataset, features, ctx.category_codes)
    page.figure(
        _distance_figure(distances, limit), "PSI between training and test rows per feature"
    )
    page.table(distances.round(4).to_frame())
    return al.distance_alerts(distances, limit, anchor)
