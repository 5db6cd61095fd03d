"""Model diagnostics of the report.

A gradient-boosting model is fitted on the data set's training split and diagnosed on its
test split by segments (`kova.workflow.trelliso.SegmentedDiagnoseAPI`): the segment table,
then, for the weakest segment, its accuracy table, residual figure, weak-spot figure and the
distribution shift between the segment and the other rows. A table of the distance between
the training and the test rows of every feature needs no model and is always shown.

The segmented sections are omitted with a note while the segmented-diagnostics module is
not importable.
"""

from __future__ import annotations

import contextlib
import io
import warnings
from typing import Any

import numpy as np
import pandas as pd

from kova import alerts as al

SEGMENT_METHOD = "quantile"
SEGMENT_BINS = 5
# PSI bins hold about this many test rows each, and there are 2 to 10 of them: with fewer
# rows per bin the index of two samples of one distribution is far above 0 by chance.
ROWS_PER_PSI_BIN = 20
MAX_PSI_BINS = 10
MISSING_LEVEL = "(missing)"


def _trelliso():
    """The segmented-diagnostics class, or None while its module is not importable."""
    try:
        from kova.workflow.trelliso import SegmentedDiagnoseAPI
    except ImportError:
        return None
    return SegmentedDiagnoseAPI


def diagnostics_section(report, df: pd.DataFrame, target: str | None) -> None:
    from kova.report import dataset_of

    dataset = dataset_of(df, target)
    distance_section(report, dataset)
    api_class = _trelliso()
    explanation = (
        "Test rows cut into segments along each feature (5 equal-frequency bins, or one "
        "segment per category), ranked from the weakest model score up."
    )
    if target is None or api_class is None:
        report.section("segments", "Segmented diagnostics", explanation)
        reason = (
            "it needs a target column (--target)"
            if target is None
            else "the segmented-diagnostics module (kova.workflow.trelliso) is not available"
        )
        report.text(f"Omitted: {reason}.")
        return
    pipeline = fit_pipeline(filled_dataset(dataset))
    report.facts["Model"] = (
        f"{type(pipeline.estimator).__name__} (random_state=0) fitted on the training split "
        f"({len(dataset.train_idx)} rows), diagnosed on the test split "
        f"({len(dataset.test_idx)} rows)"
    )
    segment_sections(report, api_class(pipeline), explanation)


# ------------------------------------------------------------------------------ model


def filled_dataset(dataset):
    """The data set with missing values filled, as the model and the segment reports need
    finite numbers: training-row medians for numbers, a "(missing)" level for categories."""
    from kova.data import Dataset

    frame = dataset.data_init.copy()
    train = frame.iloc[dataset.train_idx]
    for name in dataset.feature_names:
        column = frame[name]
        if not column.isna().any():
            continue
        if dataset.meta_info[name] == "numerical":
            frame[name] = pd.to_numeric(column).fillna(pd.to_numeric(train[name]).median())
        else:
            frame[name] = column.astype(object).where(column.notna(), MISSING_LEVEL)
    return Dataset(
        frame,
        target=dataset.target_name,
        task_type=dataset.task_type,
        feature_names=dataset.feature_names,
        categorical_features=[
            n for n in dataset.feature_names if dataset.meta_info[n] != "numerical"
        ],
        test_ratio=dataset.test_ratio,
        random_state=dataset.random_state,
    )


def fit_pipeline(dataset):
    """A gradient-boosting model fitted on the training rows, wrapped for the diagnosers."""
    from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor

    from kova.models import ModelPipeline

    if dataset.task_type == "classification":
        model = HistGradientBoostingClassifier(random_state=0)
    else:
        model = HistGradientBoostingRegressor(random_state=0)
    x = ModelPipeline.encode(dataset)
    model.fit(x.iloc[dataset.train_idx], dataset.train_y)
    return ModelPipeline(model, dataset)


# ------------------------------------------------------------------- train/test distance


def train_test_distances(dataset) -> pd.Series:
    """PSI between the training and the test rows of every feature, on its present values."""
    import matplotlib.pyplot as plt

    from kova.diagnoser.utils import twosample_test

    n_bins = int(np.clip(len(dataset.test_idx) // ROWS_PER_PSI_BIN, 2, MAX_PSI_BINS))
    distances = {}
    for name, kind in zip(dataset.feature_names, dataset.feature_types, strict=True):
        train, test = (part[name].dropna() for part in (dataset.train_x, dataset.test_x))
        if kind == "numerical":
            train, test = (pd.to_numeric(s).to_numpy(dtype=float) for s in (train, test))
        result = twosample_test(
            np.asarray(train).reshape(-1, 1),
            np.asarray(test).reshape(-1, 1),
            distance_metric="PSI",
            feature_names=[name],
            feature_types=[kind],
            psi_buckets="quantile",
            psi_bins=n_bins,
        )
        if result.figure is not None:
            plt.close(result.figure)
        distances[name] = float(result.value["PSI"][0])
    return pd.Series(distances, name="PSI")


def _distance_figure(distances: pd.Series, limit: float):
    import matplotlib.pyplot as plt

    ordered = distances.sort_values()
    fig, ax = plt.subplots(figsize=(7, 0.3 * len(ordered) + 1.2))
    colors = ["#c0392b" if d > limit else "#5b7fa6" for d in ordered]
    ax.barh([str(n) for n in ordered.index], ordered.to_numpy(), color=colors)
    ax.axvline(limit, color="#c0392b", linestyle="--", linewidth=1, label=f"threshold {limit}")
    ax.set_xlabel("PSI between training and test rows")
    ax.legend(loc="lower right")
    fig.tight_layout()
    return fig


def distance_section(report, dataset) -> None:
    limit = report.thresholds.max_train_test_psi
    report.section(
        "train-test-distance",
        "Distribution shift: training against test rows",
        "Population stability index of every feature between the training and the test "
        f"split (0 means the same distribution; bars above the threshold {limit} are alerted).",
    )
    identifiers = al.identifier_columns(dataset.data_init, dataset.meta_info)
    if identifiers:
        report.text(
            f"Left out as identifier-like (a new value in most rows): {', '.join(identifiers)}."
        )
    distances = train_test_distances(dataset).drop(index=identifiers, errors="ignore")
    report.figure(
        _distance_figure(distances, limit), "PSI between training and test rows per feature"
    )
    report.table(distances.round(4).to_frame())
    report.add_alerts(al.distance_alerts(distances, limit, "train-test-distance"))


# ------------------------------------------------------------------------- segments


def _quiet(call, **settings):
    """Run a report of the segmented diagnostics; its notebook display goes nowhere."""
    with contextlib.redirect_stdout(io.StringIO()):
        return call(**settings)


def segment_scores(api, min_size: int) -> al.SegmentScores:
    """The segment table with the whole test set's score of the same metric, and for every
    segment of at least `min_size` test rows the p-value of its rows scoring worse."""
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
    p_values = pd.Series(np.nan, index=table.index)
    for label, row in table[table["Size"] >= min_size].iterrows():
        members = api.result_dict[api.match_id[int(row["Segment ID"])]]["idx"]
        p_values[label] = _p_worse(per_row, np.asarray(members, dtype=np.intp), higher_is_better)
    overall = float(np.mean(per_row))
    return al.SegmentScores(table, metric, overall, higher_is_better, scale, p_values)


def _p_worse(per_row: np.ndarray, members: np.ndarray, higher_is_better: bool) -> float:
    """One-sided Welch t-test p-value of the members' per-row scores being worse than the
    other rows'."""
    from scipy.stats import ttest_ind

    inside = np.zeros(per_row.size, dtype=bool)
    inside[members] = True
    if inside.all():
        return 1.0
    a, b = per_row[inside], per_row[~inside]
    worse = "less" if higher_is_better else "greater"
    with warnings.catch_warnings():  # nearly constant scores: the p-value is still usable
        warnings.simplefilter("ignore", RuntimeWarning)
        p = ttest_ind(a, b, equal_var=False, alternative=worse).pvalue
    if np.isnan(p):  # both groups constant: worse for certain or not at all
        return 0.0 if (a.mean() < b.mean()) == higher_is_better else 1.0
    return float(p)


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


def segment_sections(report, api, explanation: str) -> None:
    limits = report.thresholds
    scores = segment_scores(api, limits.min_segment_size)
    report.section("segments", "Segmented diagnostics: segment table", explanation)
    report.text(
        f"Whole test set: {scores.metric} {scores.overall:.4g}. The 10 weakest segments with at "
        f"least {limits.min_segment_size} test rows:"
    )
    ranked = scores.table.loc[scores.gaps().sort_values(ascending=False).index]
    weakest_rows = ranked[ranked["Size"] >= limits.min_segment_size].head(10)
    report.table(weakest_rows.round(4).reset_index(drop=True))
    report.add_alerts(al.weak_segment_alerts(scores, limits, "segments"))
    weakest_segment_sections(report, api, weakest_segment(scores, limits.min_segment_size))


def weakest_segment_sections(report, api, row: pd.Series) -> None:
    """Accuracy, residuals, weak spots and shift of the segment of one segment-table row."""
    feature, name = str(row["Feature"]), f"{row['Feature']} in {row['Segment']}"
    sliced = _slice_feature(api, feature)
    # residuals are read against a number: the segment's feature, or the sliced one when the
    # segment is a category (all its rows share one value)
    numerical = api.feature_types[api.feature_names.index(feature)] == "numerical"
    against = feature if numerical else sliced

    def diagnose(show, **options):
        return _quiet(
            api.segmented_diagnose,
            show=show,
            segment_method=SEGMENT_METHOD,
            segment_bins=SEGMENT_BINS,
            segment_id=int(row["Segment ID"]),
            **options,
        )

    report.section(
        "segment-accuracy",
        f"Weakest segment: {name}",
        "The model's scores on the segment's training and test rows and their gap; a large "
        "gap means the model fits the segment's training rows much better than it predicts.",
    )
    report.table(diagnose("accuracy_table").data)
    report.section(
        "segment-residuals",
        f"Residuals in the weakest segment against {against}",
        "Each point is a test row of the segment: its residual (truth minus prediction) "
        "against the feature; a trend or a widening band shows where the model is off.",
    )
    residual = diagnose("accuracy_residual", show_feature=against)
    report.figure(residual.figure, f"Residuals of the segment {name} against {against}")
    report.section(
        "segment-weak-spots",
        f"Weak spots in the weakest segment along {sliced}",
        "The segment's rows sliced into bins of the feature; bins whose score is worse than "
        "the segment's by the weak-spot threshold are marked as weak spots.",
    )
    weak = diagnose("weakspot", slice_features=[sliced])
    report.figure(weak.figure, f"Weak spots of the segment {name} along {sliced}")
    if len(weak.data):
        report.table(weak.data)
    else:
        report.text("No slice is weaker than the segment by the weak-spot threshold.")
    report.section(
        "segment-shift",
        "Distribution shift: weakest segment against the other rows",
        "PSI of every feature between the rows inside the segment and all other rows; the "
        "features that set the segment apart come first.",
    )
    shift = diagnose("distribution_shift").data
    report.table(shift.sort_values(shift.columns[-1], ascending=False).reset_index(drop=True))
