"""Exploratory plots from the exploratory-analysis module: the first feature, that feature
against the target (or the second feature), and the correlations of the numerical features.
Identifier-like and single-valued columns are passed over: a bar per distinct value, or one
bar, says nothing."""

from __future__ import annotations

from kova.report.alerts import Alert
from kova.report.context import ReportContext
from kova.report.page import Page


def run(ctx: ReportContext, page: Page) -> list[Alert]:
    from kova.workflow.olvary import EdaAPI

    dataset = ctx.dataset
    api = EdaAPI(dataset)
    identifiers = set(ctx.identifiers)
    features = [
        f for f in dataset.feature_names if f not in identifiers and ctx.profiles[f].distinct > 1
    ] or dataset.feature_names
    target = ctx.target
    page.section(
        "eda-univariate",
        f"Exploratory analysis: distribution of {features[0]}",
        "The distribution of the first feature that varies and is not identifier-like: a "
        "histogram for numbers, bar counts for categories.",
    )
    if note := ctx.notes.get("eda"):
        page.text(note)
    figure = api.eda(show="univariate", uni_feature=features[0]).figure
    page.figure(figure, f"Distribution of {features[0]}")
    pair = [features[0], target] if target is not None else features[:2]
    if len(pair) == 2:
        page.section(
            "eda-bivariate",
            f"Exploratory analysis: {pair[1]} against {pair[0]}",
            "How the two variables vary together: a scatter for two numbers, box plots of a "
            "number per category, a heat map of counts for two categories.",
        )
        figure = api.eda(show="bivariate", bi_features=pair).figure
        page.figure(figure, f"{pair[1]} against {pair[0]}")
    numerical = [c for c in dataset.included_feature if dataset.meta_info[c] == "numerical"]
    page.section(
        "eda-correlations",
        "Exploratory analysis: Pearson correlations of the numerical columns",
        "Pearson correlation of every pair of numerical columns, from -1 (blue) to 1 (red).",
    )
    if len(numerical) >= 2:
        figure = api.eda(show="multivariate", multi_features=numerical).figure
        page.figure(figure, "Correlation matrix of the numerical columns")
    else:
        page.text("Fewer than two numerical columns: no correlation view.")
    return []
