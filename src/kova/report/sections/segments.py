"""Model diagnostics: a gradient-boosting model fitted on the model sample's training rows
(`kova.report.model`) is diagnosed on its test rows by segments
(`kova.workflow.trelliso.SegmentedDiagnoseAPI`): the segment table, then, for the weakest
segment, its accuracy table, residual figure, weak-spot figure and the distribution shift
between the segment and the other rows.

The sections are omitted with a note without a target or while the segmented-diagnostics
module is not importable.
"""

from __future__ import annotations

import contextlib
import io
from typing import Any

import numpy as np
import pandas as pd

from kova.exceptions import KovaError
from kova.report import alerts as al
from kova.report.context import ReportContext
from kova.report.page import Page

SEGMENT_METHOD = "quantile"
SEGMENT_BINS = 5


def _trelliso():
    """The segmented-diagnostics class, or None while its module is not importable."""
    try:
        from kova.workflow.trelliso import SegmentedDiagnoseAPI
    except ImportError:
        return None
    return SegmentedDiagnoseAPI


def run(ctx: ReportContext, page: Page) -> list[al.Alert]:
    api_class = None if ctx.target is None else _trelliso()
    explanation = (
        "Test rows cut into segments along each feature (5 equal-frequency bins, or one "
        "segment per category), ranked from the weakest model score up."
    )
    if ctx.target is None or api_class is None:
        page.section("segments", "Segmented diagnostics", explanation)
        reason = (
            "it needs a target column (--target)"
            if ctx.target is None
            else "the segmented-diagnostics module (kova.workflow.trelliso) is not available"
        )
        page.text(f"Omitted: {reason}.")
        return []
    pipeline, sample = ctx.model, ctx.model_sample
    assert sample is not None  # there is a target
    page.facts["Model"] = (
        f"{type(pipeline.estimator).__name__} (random_state=0) fitted on the training rows, "
        "diagnosed on the test rows of the model sections"
    )
    return segment_sections(ctx, page, api_class(pipeline), explanation)


# ------------------------------------------------------------------------- segments


def _quiet(call, **settings):
    """Run a report of the segmented diagnostics; its notebook display goes nowhere."""
    with contextlib.redirect_stdout(io.StringIO()):
        return call(**settings)


def segment_scores(api) -> al.SegmentScores:
    """The segment table with the whole test set's score of the same metric."""
    from kova.diagnoser.utils import get_scoring_metric

    table = _quiet(
        api.segmented_diagnose,
        show="segment_table",
        segment_method=SEGMENT_METHOD,
        segment_bins=SEGMENT_BINS,
    ).data
    table = _with_level_names(table, api.pipeline.category_levels)
    metric = table.columns[-1]
    _, sign, scorer, _, _ = get_scoring_metric(metric, average=False)
    data = api.data_dict
    y, prediction = data["y"][data["test_idx"]], data["prediction"][data["test_idx"]]
    per_row = np.asarray(scorer(y, prediction), dtype=float)
    higher_is_better = sign == 1
    scale = 1.0 if higher_is_better else float(np.var(y)) or 1.0
    overall = float(np.mean(per_row))
    return al.SegmentScores(table, metric, overall, higher_is_better, scale)


def _with_level_names(table: pd.DataFrame, levels: dict) -> pd.DataFrame:
    """The table with the category segments named by their level instead of its code."""

    def name(feature, segment):
        if feature in levels and isinstance(segment, (int, float, np.number)):
            return str(levels[feature][int(segment)])
        return segment

    named = table.copy()
    named["Segment"] = [name(f, s) for f, s in zip(table["Feature"], table["Segment"], strict=True)]
    return named


def weakest_segment(scores: al.SegmentScores, min_size: int) -> pd.Series:
    """The row of the segment with the largest gap among those with enough test rows."""
    gaps = scores.gaps()
    big = scores.table["Size"] >= min_size
    pool = gaps[big] if big.any() else gaps
    worst: Any = pool.idxmax()
    return scores.table.loc[worst]


def _slice_feature(api, segment_feature: str) -> str:
    """The feature to look for weak spots on: the first numerical feature other than the
    segment's own, else the segment's feature."""
    for name, kind in zip(api.feature_names, api.feature_types, strict=True):
        if kind == "numerical" and name != segment_feature:
            return name
    return segment_feature


def segment_sections(ctx: ReportContext, page: Page, api, explanation: str) -> list[al.Alert]:
    limits = ctx.thresholds
    scores = segment_scores(api)
    page.section("segments", "Segmented diagnostics: segment table", explanation)
    used = f"Rows used: {ctx.model_sample.describe()}." if ctx.model_sample else ""
    page.text(used)
    page.text(
        f"Whole test set: {scores.metric} {scores.overall:.4g}. The 10 weakest segments with at "
        f"least {limits.min_segment_size} test rows:"
    )
    ranked = scores.table.loc[scores.gaps().sort_values(ascending=False).index]
    weakest_rows = ranked[ranked["Size"] >= limits.min_segment_size].head(10)
    page.table(weakest_rows.round(4).reset_index(drop=True))
    weakest = weakest_segment(scores, limits.min_segment_size)
    weakest_segment_sections(page, api, weakest, ctx.identifiers, used)
    return []


def weakest_segment_sections(
    page: Page, api, row: pd.Series, identifiers: list[str], used: str
) -> None:
    """Accuracy, residuals, weak spots and shift of the segment of one segment-table row."""
    feature, name = str(row["Feature"]), f"{row['Feature']} in {row['Segment']}"
    sliced = _slice_feature(api, feature)
    # residuals are read against a number: the segment's feature, or the sliced one when the
    # segment is a category (all its rows share one value)
    numerical = api.feature_types[api.feature_names.index(feature)] == "numerical"
    against = feature if numerical else sliced

    def diagnose(show, **options):
        """The report, or None with a note on the page when the segment cannot be diagnosed
        that way (too few rows, a single class, ...): the other reports still run."""
        try:
            return _quiet(
                api.segmented_diagnose,
                show=show,
                segment_method=SEGMENT_METHOD,
                segment_bins=SEGMENT_BINS,
                segment_id=int(row["Segment ID"]),
                **options,
            )
        except KovaError as error:
            page.text(f"Not shown: {error}")
            return None

    page.section(
        "segment-accuracy",
        f"Weakest segment: {name}",
        "The model's scores on the segment's training and test rows and their gap; a large "
        "gap means the model fits the segment's training rows much better than it predicts.",
    )
    page.text(used)
    accuracy = diagnose("accuracy_table")
    if accuracy is not None:
        page.table(accuracy.data)
    page.section(
        "segment-residuals",
        f"Residuals in the weakest segment against {against}",
        "Each point is a test row of the segment: its residual (truth minus prediction) "
        "against the feature; a trend or a widening band shows where the model is off.",
    )
    page.text(used)
    residual = diagnose("accuracy_residual", show_feature=against)
    if residual is not None:
        page.figure(residual.figure, f"Residuals of the segment {name} against {against}")
    page.section(
        "segment-weak-spots",
        f"Weak spots in the weakest segment along {sliced}",
        "The segment's rows sliced into bins of the feature; bins whose score is worse than "
        "the segment's by the weak-spot threshold are marked as weak spots.",
    )
    page.text(used)
    weak = diagnose("weakspot", slice_features=[sliced])
    if weak is not None:
        page.figure(weak.figure, f"Weak spots of the segment {name} along {sliced}")
        if len(weak.data):
            page.table(weak.data)
        else:
            page.text("No slice is weaker than the segment by the weak-spot threshold.")
    page.section(
        "segment-shift",
        "Distribution shift: weakest segment against the other rows",
        "PSI of every feature between the rows inside the segment and all other rows; the "
        "features that set the segment apart come first.",
    )
    page.text(used)
    shifted = diagnose("distribution_shift")
    if shifted is None:
        return
    shift = shifted.data
    shift = shift[~shift.iloc[:, 0].isin(identifiers)]
    if identifiers:
        page.text(f"Left out as identifier-like: {', '.join(identifiers)}.")
    page.table(shift.sort_values(shift.columns[-1], ascending=False).reset_index(drop=True))
