"""Alerts of the report: the problems found in the data and in the model, ranked by severity.

Each function below turns the typed result of a section (counts, shares, scores: numbers, never
formatted text) into `Alert` records; the thresholds that decide what counts as a problem are
the fields of `Thresholds`, which the command line exposes as options.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from kova.diagnoser.regions import Region

SEVERITIES = ("high", "medium", "low")

# Kinds in the order they are listed within one severity, with their usual severity.
KINDS = {
    "mixed types": "high",
    "missing values": "high",
    "weak segment": "high",
    "train/test distance": "high",
    "constant column": "medium",
    "duplicated rows": "medium",
    "associated features": "medium",
    "long strings": "low",
    "special characters": "low",
}

# A categorical column with more distinct values than this share of its rows is an
# identifier: its correlation ratio with any number is close to 1 by construction.
IDENTIFIER_SHARE = 0.5


@dataclass(frozen=True)
class Thresholds:
    """What counts as a problem; every field is a command-line option of the same name."""

    max_null_ratio: float = 0.02
    max_duplicate_share: float = 0.0
    max_special_share: float = 0.0
    association: float = 0.95
    weak_segment_gap: float = 0.1
    weak_segment_alpha: float = 0.05
    min_segment_size: int = 20
    max_train_test_psi: float = 0.25


THRESHOLD_HELP = {
    "max_null_ratio": "alert on a column whose share of missing cells is above this (columns "
    "with fewer missing cells are still listed, at low severity)",
    "max_duplicate_share": "alert when the share of rows repeating an earlier row is above this",
    "max_special_share": "alert on a column whose share of special-character-only entries "
    "is above this",
    "association": "alert on a pair of features whose association (|Spearman|, Theil's U or "
    "correlation ratio, 0 to 1) is above this",
    "weak_segment_gap": "alert on a weak region whose score is worse than the whole test set's "
    "by more than this (accuracy points, or mean squared error as a share of the target's "
    "variance)",
    "weak_segment_alpha": "... and whose rows score worse than the other test rows at this "
    "significance level (one-sided Welch t-test, Bonferroni-corrected over every condition the "
    "region search evaluated)",
    "min_segment_size": "regions with fewer test rows (or fewer than 1%% of them) are not "
    "searched, segments with fewer test rows are not ranked",
    "max_train_test_psi": "alert on a feature whose population stability index between the "
    "training and the test rows is above this",
}


@dataclass(frozen=True)
class Alert:
    """One problem: its kind, the column(s) concerned, the figure and the section showing it."""

    kind: str
    columns: tuple[str, ...]
    figure: str
    anchor: str
    magnitude: float = 0.0  # ranks alerts of the same kind, largest first
    severity: str = ""  # the kind's usual severity when not given

    def __post_init__(self) -> None:
        if not self.severity:
            object.__setattr__(self, "severity", KINDS[self.kind])


def threshold_fields() -> list[dataclasses.Field]:
    return list(dataclasses.fields(Thresholds))


def rank(alerts: list[Alert]) -> list[Alert]:
    """Alerts by severity, then kind, then magnitude (largest first)."""
    order = list(KINDS)
    return sorted(
        alerts,
        key=lambda a: (SEVERITIES.index(a.severity), order.index(a.kind), -a.magnitude),
    )


def _share(count: int, total: int) -> str:
    return f"{count} of {total} ({count / total:.1%})" if total else f"{count}"


# -------------------------------------------------------------------- integrity checks


def constant_alerts(single: pd.Series, anchor: str) -> list[Alert]:
    """Columns with one distinct value (`single`: a flag per column)."""
    flagged = single.index[single.astype(bool)]
    return [Alert("constant column", (str(c),), "one distinct value", anchor) for c in flagged]


def null_alerts(missing: pd.Series, n_rows: int, limit: float, anchor: str) -> list[Alert]:
    """Columns with missing cells (`missing`: a count per column): high severity above the
    share `limit`, low severity at any smaller share, so that no missing cell goes unlisted."""
    alerts = []
    for column, count in missing.items():
        share = count / n_rows if n_rows else 0.0
        if count > 0:
            severity = "high" if share > limit else "low"
            figure = f"{_share(int(count), n_rows)} missing"
            alerts.append(Alert("missing values", (str(column),), figure, anchor, share, severity))
    return alerts


def mixed_alerts(text_shares: pd.Series, number_shares: pd.Series, anchor: str) -> list[Alert]:
    """Columns mixing text and numbers, with the share of entries of each."""
    alerts = []
    for (column, text), numbers in zip(text_shares.items(), number_shares, strict=True):
        figure = f"{text:.1%} text among {numbers:.1%} numbers"
        alerts.append(Alert("mixed types", (str(column),), figure, anchor, float(text)))
    return alerts


def long_string_alerts(counts: pd.Series, anchor: str) -> list[Alert]:
    """Columns with over-long entries (`counts`: their number per column)."""
    return [
        Alert(
            "long strings", (str(c),), f"{n} over-long entr{'y' if n == 1 else 'ies'}", anchor, n
        )  # fmt: skip
        for c, n in counts.astype(int).items()
        if n > 0
    ]


def special_alerts(
    shares: pd.Series, examples: pd.Series, limit: float, anchor: str
) -> list[Alert]:
    """Columns whose share of special-character-only entries is above `limit`, with the most
    common such entries."""
    alerts = []
    for (column, share), entries in zip(shares.astype(float).items(), examples, strict=True):
        if share > limit:
            common = ", ".join(repr(v) for v in entries)
            figure = f"{share:.1%} special-character-only entries (most common: {common})"
            alerts.append(Alert("special characters", (str(column),), figure, anchor, share))
    return alerts


def duplicate_alerts(n_duplicated: int, n_rows: int, limit: float, anchor: str) -> list:
    if n_rows == 0 or n_duplicated / n_rows <= limit:
        return []
    figure = f"{_share(n_duplicated, n_rows)} rows repeat an earlier row"
    return [Alert("duplicated rows", (), figure, anchor, n_duplicated / n_rows)]


def identifier_columns(kinds: dict, distinct: dict, n_rows: int) -> list[str]:
    """Categorical columns with a distinct value in more than `IDENTIFIER_SHARE` of rows."""
    return [
        c
        for c, kind in kinds.items()
        if kind == "categorical" and distinct[c] > IDENTIFIER_SHARE * n_rows
    ]


def association_alerts(matrix: pd.DataFrame, exclude: list, limit: float, anchor: str) -> list:
    """Pairs of distinct columns (none of `exclude`) whose association is above `limit`."""
    names = [c for c in matrix.columns if c not in set(exclude)]
    values = matrix.loc[names, names].to_numpy(dtype=float)
    alerts = []
    for i, j in zip(*np.triu_indices(len(names), k=1), strict=True):
        # the matrix is not symmetric for Theil's U; a pair counts by its stronger direction
        value = max(values[i, j], values[j, i])
        if value > limit:
            pair = (str(names[i]), str(names[j]))
            alerts.append(Alert("associated features", pair, f"association {value:.3f}",
                                anchor, value))  # fmt: skip
    return alerts


# -------------------------------------------------------------------- model diagnostics


@dataclass(frozen=True)
class SegmentScores:
    """A segment table with what it takes to compare each row with the whole test set."""

    table: pd.DataFrame  # "Segment ID", "Feature", "Segment", "Size", metric
    metric: str
    overall: float
    higher_is_better: bool
    scale: float = 1.0  # divides score differences (the target's variance for MSE)

    def gaps(self) -> pd.Series:
        """How much worse than the whole test set each segment scores, in scale units."""
        scores = self.table[self.metric].astype(float)
        worse = self.overall - scores if self.higher_is_better else scores - self.overall
        return worse / self.scale


def weak_region_alerts(
    regions: Sequence[Region], metric: str, worse_gap: Callable[[float], float],
    thresholds: Thresholds, anchor: str,
) -> list[Alert]:  # fmt: skip
    """Weak regions (`kova.diagnoser.Region`) with enough rows, a gap above the threshold and
    a significant difference; `worse_gap` turns a region's gap (its score less the whole test
    set's) into how much worse it is, in the units of the threshold. Each alert names the
    region's features and states its conditions, size and gap."""
    alerts = []
    for region in regions:
        worse = worse_gap(region.gap)
        if (
            region.size >= thresholds.min_segment_size
            and worse > thresholds.weak_segment_gap
            and region.p_value <= thresholds.weak_segment_alpha
        ):
            features = tuple(dict.fromkeys(str(c.feature) for c in region.conditions))
            figure = (
                f"{region.text}: {region.size} test rows, {metric} {region.metric:.3g} against "
                f"{region.overall:.3g} overall (gap {region.gap:+.3g})"
            )
            alerts.append(Alert("weak segment", features, figure, anchor, worse))
    return alerts


def distance_alerts(distances: pd.Series, limit: float, anchor: str) -> list[Alert]:
    """Features whose train/test distance (PSI) is above `limit`."""
    return [
        Alert("train/test distance", (str(c),), f"PSI {d:.3f}", anchor, float(d))
        for c, d in distances.items()
        if d > limit
    ]
