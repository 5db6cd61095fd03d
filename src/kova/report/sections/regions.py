"""Model diagnostics: the weak regions of the diagnostics model on its test rows (the
context's `weak_regions`), ranked, and the weak-segment alerts raised from them.

The section is omitted with a note without a target.
"""

from __future__ import annotations

import numpy as np

from kova.report import alerts as al
from kova.report.context import ReportContext
from kova.report.page import Page

SHOWN = 10

EXPLANATION = (
    "Regions of the test rows where the model is significantly worse than on the whole test "
    "set: each is a conjunction of up to three conditions (a range of a number, a set of "
    "categories, a missing value), ranked by its size times its excess loss. Gap is the "
    "region's score less the whole test set's; p-value is a one-sided Welch t-test of the "
    "region's per-row losses against the other test rows', Bonferroni-adjusted over every "
    "condition the search evaluated."
)


def run(ctx: ReportContext, page: Page) -> list[al.Alert]:
    page.section("regions", "Model diagnostics: weak regions", EXPLANATION)
    found = ctx.weak_regions
    if found is None:
        reason = "it needs a target column (--target)" if ctx.target is None else "no feature"
        page.text(f"Omitted: {reason}.")
        return []
    if ctx.model_sample is not None:
        page.text(f"Rows used: {ctx.model_sample.describe()}.")
    if ctx.identifiers:
        page.text(f"Left out as identifier-like: {', '.join(ctx.identifiers)}.")
    limits = ctx.thresholds
    page.text(
        f"Whole test set: {found.metric} {found.overall:.4g}; {found.n_tested:,} conditions "
        f"evaluated at significance level {limits.weak_segment_alpha}."
    )
    if len(found) == 0:
        page.text("No region is significantly worse than the whole test set.")
    else:
        more = f"; the {SHOWN} highest-ranked:" if len(found) > SHOWN else ", highest-ranked first:"
        page.text(f"Weak regions found: {len(found)}{more}")
        page.table(found.table.head(SHOWN).round(4))
    return al.weak_region_alerts(
        found.regions, found.metric, _worse_gap(ctx, found.metric), limits, "regions"
    )


def _worse_gap(ctx: ReportContext, metric: str):
    """How much worse a region's gap is, in the alert threshold's units: points of a score
    where higher is better, else the gap as a share of the test target's variance."""
    from kova.diagnoser.utils import get_scoring_metric

    _, sign, _, _, _ = get_scoring_metric(metric, average=False)
    if sign == 1:
        return lambda gap: -gap
    y = np.asarray(ctx.model.dataset.test_y, dtype=float)
    scale = float(np.var(y)) or 1.0
    return lambda gap: gap / scale
