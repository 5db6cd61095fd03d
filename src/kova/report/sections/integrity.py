"""Data integrity: the single-column checks, duplicated rows and associations between
columns, always over every row. The single-column results come from the context's one
shared scan; no sub-check runs again."""

from __future__ import annotations

import copy

from kova.report import alerts as al
from kova.report.context import ReportContext
from kova.report.page import Page

# Lists of row labels in the single-column table show this many labels, then how many more.
SHOWN_LABELS = 10


def run(ctx: ReportContext, page: Page) -> list[al.Alert]:
    return _single_column(ctx, page) + _duplicates(ctx, page) + _associations(ctx, page)


def _single_column(ctx: ReportContext, page: Page) -> list[al.Alert]:
    anchor = "single-column-checks"
    page.section(
        anchor,
        "Data integrity: single-column checks",
        "One row per column: a single distinct value, the share of missing cells, text mixed "
        "with numbers (text : number share), over-long strings (more than 5 characters past "
        "the column's 80% length quantile) and entries made only of special characters.",
    )
    results, limits = ctx.integrity, ctx.thresholds
    page.table(_with_short_lists(results.styled))
    return (
        al.constant_alerts(results.single, anchor)
        + al.null_alerts(ctx.missing, ctx.n_rows, limits.max_null_ratio, anchor)
        + al.mixed_alerts(results.text_shares, results.number_shares, anchor)
        + al.long_string_alerts(results.long_strings, anchor)
        + al.special_alerts(
            results.special_shares, results.special_examples, limits.max_special_share, anchor
        )
    )


def _with_short_lists(styled):
    """The styled table with each list of row labels cut to its first `SHOWN_LABELS`."""
    shown = copy.copy(styled)
    data = styled.data.copy()
    for name in data.columns:
        if data[name].map(lambda v: isinstance(v, list) and len(v) > SHOWN_LABELS).any():
            data[name] = data[name].map(_short)
    shown.data = data
    return shown


def _short(value):
    if not isinstance(value, list) or len(value) <= SHOWN_LABELS:
        return value
    return f"{value[:SHOWN_LABELS]} and {len(value) - SHOWN_LABELS:,} more"


def _duplicates(ctx: ReportContext, page: Page) -> list[al.Alert]:
    anchor = "duplicated-rows"
    page.section(
        anchor,
        "Data integrity: duplicated samples",
        "Groups of identical rows, labelled by the positions of their rows; every row after "
        "the first of a group is a duplicate.",
    )
    page.table(ctx.integrity.duplicate_groups)
    limit = ctx.thresholds.max_duplicate_share
    return al.duplicate_alerts(ctx.integrity.n_duplicated, ctx.n_rows, limit, anchor)


def _associations(ctx: ReportContext, page: Page) -> list[al.Alert]:
    anchor = "associations"
    page.section(
        anchor,
        "Data integrity: associations between features",
        "Association of every pair of columns from 0 to 1: |Spearman| between numbers, "
        "Theil's U between categories, the correlation ratio between a category and a number. "
        "Darker is stronger; pairs above the threshold are alerted (the target excepted). "
        "Identifier-like columns are left out.",
    )
    if ctx.identifiers:
        page.text(f"Left out as identifier-like: {', '.join(ctx.identifiers)}.")
    from kova.data.associations import ASSOCIATION_CMAP, style_associations

    values = ctx.associations
    page.table(style_associations(values, ASSOCIATION_CMAP))
    limit = ctx.thresholds.association
    return al.association_alerts(values, [ctx.target], limit, anchor)
