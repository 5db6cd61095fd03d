"""A small grid search of a decision tree's depth on the numeric features, over the model
sample's rows and its train/test split."""

from __future__ import annotations

import numpy as np

from kova.report.alerts import Alert
from kova.report.context import ReportContext
from kova.report.page import Page

DEPTHS = [1, 2, 3, 4, 6, 8]


def run(ctx: ReportContext, page: Page) -> list[Alert]:
    page.section(
        "search",
        "Hyper-parameter search: decision-tree depth",
        "Validation scores of decision trees of growing depth, ranked by the first metric; "
        "where the curve flattens or falls, deeper trees only fit noise.",
    )
    sample = ctx.model_sample
    dataset = None if sample is None else sample.dataset
    numeric = [] if dataset is None else [
        n for n in dataset.feature_names if dataset.meta_info[n] == "numerical"
    ]  # fmt: skip
    if sample is None or dataset is None or not numeric:
        page.text("Skipped: needs a target column and numeric features.")
        return []
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from kova.models.morbeck import KovaGridSearchCV

    if dataset.task_type == "classification":
        model, scoring = DecisionTreeClassifier(random_state=0), ["AUC", "ACC"]
    else:
        model, scoring = DecisionTreeRegressor(random_state=0), ["R2", "MAE"]
    # decision trees read float32: larger magnitudes are clipped, which keeps their order
    limit = float(np.finfo(np.float32).max)
    features = dataset.data_init[numeric].apply(lambda c: c.astype(float)).clip(-limit, limit)
    split = [(dataset.train_idx, dataset.test_idx)]
    search = KovaGridSearchCV(model, {"max_depth": DEPTHS}, scoring=scoring, cv=split, n_jobs=1)
    search.fit(features, dataset.y)
    page.text(
        f"{len(numeric)} numeric features; trained on {sample.describe()}, validated on the "
        "test rows."
    )
    page.table(search.get_result().round(4))
    page.figure(search.plot("max_depth"), f"Validation {scoring[0]} against tree depth")
    return []
