"""A self-contained HTML report: an overview, ranked alerts, a table of contents and sections
of tables and figures, every figure embedded inline as a PNG."""

from __future__ import annotations

import base64
import html
import io
from collections.abc import Callable
from pathlib import Path

import pandas as pd

from kova import alerts as al

# Figures are rendered at this resolution and shown at their size in inches, so they stay
# sharp on screens with two device pixels per CSS pixel.
FIGURE_DPI = 160
_CSS_PX_PER_INCH = 96

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 1200px; color: #222;
       padding: 0 1em; }
h1 { border-bottom: 2px solid #446; } h2 { margin-top: 2em; color: #335; }
table { border-collapse: collapse; font-size: 0.85em; margin: 0.5em 0 1.5em; }
th, td { border: 1px solid #ccc; padding: 3px 8px; }
.note { color: #555; font-style: italic; }
.explain { color: #444; margin-top: -0.5em; }
img { max-width: 100%; height: auto; } .wide { overflow-x: auto; }
nav ol { columns: 2; }
.sev-high { color: #a40000; font-weight: bold; } .sev-medium { color: #a35c00; }
.sev-low { color: #555; }
"""


class Report:
    """Collects the sections of one report and writes them as one self-contained page.

    Sections add their heading with `section`, then text, tables and figures. Facts for the
    overview and alerts may be added by any section; both are placed at the top of the page.
    """

    def __init__(self, title: str, thresholds: al.Thresholds | None = None) -> None:
        self.title = title
        self.thresholds = al.Thresholds() if thresholds is None else thresholds
        self.facts: dict[str, str] = {}
        self.alerts: list[al.Alert] = []
        self._parts: list[str] = []
        self._contents: list[tuple[str, str]] = []

    def section(self, anchor: str, title: str, explanation: str) -> None:
        """Start a section: a heading with an anchor and a line on how to read it."""
        if any(anchor == known for known, _ in self._contents):
            raise ValueError(f"Section anchor {anchor!r} is used twice.")
        self._contents.append((anchor, title))
        self._parts.append(f"<h2 id='{html.escape(anchor)}'>{html.escape(title)}</h2>")
        self._parts.append(f"<p class='explain'>{html.escape(explanation)}</p>")

    def text(self, text: str) -> None:
        self._parts.append(f"<p class='note'>{html.escape(text)}</p>")

    def table(self, obj) -> None:
        """Add a DataFrame, a pandas Styler or a plain message."""
        if isinstance(obj, str):
            self.text(obj)
        else:
            table = obj.to_html(max_rows=60) if isinstance(obj, pd.DataFrame) else obj.to_html()
            self._parts.append(f"<div class='wide'>{table}</div>")

    def figure(self, fig, alt: str) -> None:
        """Embed a matplotlib figure as a PNG with alternative text, then close it."""
        import matplotlib.pyplot as plt

        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=FIGURE_DPI, bbox_inches="tight")
        plt.close(fig)
        png = buf.getvalue()
        width = int.from_bytes(png[16:20], "big") * _CSS_PX_PER_INCH // FIGURE_DPI
        data = base64.b64encode(png).decode("ascii")
        self._parts.append(
            f"<img src='data:image/png;base64,{data}' alt='{html.escape(alt, quote=True)}' "
            f"width='{width}'/>"
        )

    def add_alerts(self, alerts: list[al.Alert]) -> None:
        self.alerts.extend(alerts)

    def write(self, path: Path) -> Path:
        page = (
            f"<!DOCTYPE html><html lang='en'><head><meta charset='utf-8'>"
            f"<meta name='viewport' content='width=device-width, initial-scale=1'>"
            f"<title>{html.escape(self.title)}</title><style>{_STYLE}</style></head><body>"
            f"<h1>{html.escape(self.title)}</h1>{self._overview_html()}{self._alerts_html()}"
            f"{self._contents_html()}{''.join(self._parts)}</body></html>"
        )
        path.write_text(page, encoding="utf-8")
        return path

    def _overview_html(self) -> str:
        rows = "".join(
            f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>"
            for k, v in self.facts.items()
        )
        return (
            "<h2 id='overview'>Overview</h2><p class='explain'>The size and make-up of the data "
            "and the model behind the diagnostics sections.</p>"
            f"<table class='overview'>{rows}</table>"
        )

    def _alerts_html(self) -> str:
        intro = (
            "<h2 id='alerts'>Alerts</h2><p class='explain'>Problems found, most severe first; "
            "each links to the section that shows it. The thresholds are options of the "
            "command (python -m kova --help).</p>"
        )
        if not self.alerts:
            return intro + "<p class='note'>No alerts at the current thresholds.</p>"
        rows = "".join(_alert_row(a) for a in al.rank(self.alerts))
        head = "<tr><th>Severity</th><th>Alert</th><th>Column(s)</th><th>Figure</th><th></th></tr>"
        return f"{intro}<table class='alerts'>{head}{rows}</table>"

    def _contents_html(self) -> str:
        entries = [("overview", "Overview"), ("alerts", "Alerts"), *self._contents]
        items = "".join(
            f"<li><a href='#{html.escape(a)}'>{html.escape(t)}</a></li>" for a, t in entries
        )
        return f"<nav><h2 id='contents'>Contents</h2><ol>{items}</ol></nav>"


def _alert_row(alert: al.Alert) -> str:
    columns = ", ".join(alert.columns) or "(all columns)"
    return (
        f"<tr class='alert'><td class='sev-{alert.severity}'>{alert.severity}</td>"
        f"<td>{html.escape(alert.kind)}</td><td>{html.escape(columns)}</td>"
        f"<td>{html.escape(alert.figure)}</td>"
        f"<td><a href='#{html.escape(alert.anchor)}'>see section</a></td></tr>"
    )


Section = Callable[[Report, pd.DataFrame, "str | None"], None]


def dataset_of(df: pd.DataFrame, target: str | None):
    """The frame as a `kova.data.Dataset`, whose column kinds every section uses."""
    from kova.data import Dataset

    return Dataset(df, target=target)


def _bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"


def overview_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    """Rows, column kinds, missing cells, duplicated rows, memory, target and task type."""
    dataset = dataset_of(df, target)
    kinds = pd.Series(dataset.meta_info).value_counts()
    cells = df.size
    missing = int(df.isna().sum().sum())
    duplicated = int(df.duplicated().sum())
    report.facts.update(
        {
            "Rows": f"{len(df):,}",
            "Columns": f"{df.shape[1]} ({kinds.get('numerical', 0)} numerical, "
            f"{kinds.get('categorical', 0)} categorical)",
            "Missing cells": f"{missing:,} of {cells:,} ({missing / cells:.1%})",
            "Duplicated rows": f"{duplicated:,} of {len(df):,} ({duplicated / len(df):.1%})",
            "Memory": _bytes(int(df.memory_usage(deep=True).sum())),
            "Target": target or "(none)",
            "Task type": dataset.task_type or "(none: no target)",
        }
    )


def integrity_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    from kova.data.kestrin.kestrin import DataIntegrityCheck

    meta_info = dataset_of(df, target).meta_info
    check = DataIntegrityCheck(df, meta_info)
    limits, n = report.thresholds, len(df)
    report.section(
        "single-column-checks",
        "Data integrity: single-column checks",
        "One row per column: a single distinct value, the share of missing cells, text mixed "
        "with numbers (text : number share), over-long strings (more than 5 characters past "
        "the column's 80% length quantile) and entries made only of special characters.",
    )
    report.table(check.single_column_check())
    anchor = "single-column-checks"
    report.add_alerts(
        al.constant_alerts(check.is_single_value(), anchor)
        + al.null_alerts(check.null_ratio(), n, limits.max_null_ratio, anchor)
        + al.mixed_alerts(check.mixed_data_type(), anchor)
        + al.long_string_alerts(check.long_string(), anchor)
        + al.special_alerts(check.special_characters(), limits.max_special_share, anchor)
    )
    report.section(
        "duplicated-rows",
        "Data integrity: duplicated samples",
        "Groups of identical rows, labelled by the positions of their rows; every row after "
        "the first of a group is a duplicate.",
    )
    report.table(check.duplicated_samples())
    n_duplicated = int(df.duplicated().sum())
    report.add_alerts(
        al.duplicate_alerts(n_duplicated, n, limits.max_duplicate_share, "duplicated-rows")
    )
    report.section(
        "associations",
        "Data integrity: associations between features",
        "Association of every pair of columns from 0 to 1: |Spearman| between numbers, "
        "Theil's U between categories, the correlation ratio between a category and a number. "
        "Darker is stronger; pairs above the threshold are alerted (the target and "
        "identifier-like columns excepted).",
    )
    matrix = check.highly_correlated_features()
    report.table(matrix)
    values: pd.DataFrame = matrix.data  # type: ignore[attr-defined]  # the Styler's frame
    excluded = [target, *al.identifier_columns(df, meta_info)]
    report.add_alerts(al.association_alerts(values, excluded, limits.association, "associations"))


def eda_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    """Exploratory plots: the first feature, that feature against the target (or the second
    feature), and the correlations of the numerical features."""
    from kova.workflow.olvary import EdaAPI

    dataset = dataset_of(df, target)
    api = EdaAPI(dataset)
    features = dataset.feature_names
    report.section(
        "eda-univariate",
        f"Exploratory analysis: {features[0]}",
        "The distribution of the first feature: a histogram for numbers, bar counts for "
        "categories.",
    )
    figure = api.eda(show="univariate", uni_feature=features[0]).figure
    report.figure(figure, f"Distribution of {features[0]}")
    pair = [features[0], target] if target is not None else features[:2]
    if len(pair) == 2:
        report.section(
            "eda-bivariate",
            f"Exploratory analysis: {pair[1]} against {pair[0]}",
            "How the two variables vary together: a scatter for two numbers, box plots of a "
            "number per category, a heat map of counts for two categories.",
        )
        figure = api.eda(show="bivariate", bi_features=pair).figure
        report.figure(figure, f"{pair[1]} against {pair[0]}")
    numerical = [c for c in dataset.included_feature if dataset.meta_info[c] == "numerical"]
    report.section(
        "eda-correlations",
        "Exploratory analysis: correlations",
        "Pearson correlation of every pair of numerical columns, from -1 (blue) to 1 (red).",
    )
    if len(numerical) >= 2:
        figure = api.eda(show="multivariate", multi_features=numerical).figure
        report.figure(figure, "Correlation matrix of the numerical columns")
    else:
        report.text("Fewer than two numerical columns: no correlation view.")


def search_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    """A small grid search of a decision tree's depth on the numeric features."""
    import numpy as np
    from sklearn.model_selection import train_test_split
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from kova.models.morbeck import KovaGridSearchCV

    report.section(
        "search",
        "Hyper-parameter search: decision-tree depth",
        "Validation scores of decision trees of growing depth, ranked by the first metric; "
        "where the curve flattens or falls, deeper trees only fit noise.",
    )
    rows = df[df[target].notna()] if target in df.columns else df.iloc[:0]
    features = rows.drop(columns=[target] if target in df.columns else []).select_dtypes("number")
    if rows.empty or features.shape[1] == 0:
        report.text("Skipped: needs a target column and numeric features.")
        return
    y = rows[target]
    numeric_target = pd.api.types.is_numeric_dtype(y) and not pd.api.types.is_bool_dtype(y)
    if numeric_target and y.nunique() > 10:
        model, scoring, stratify = DecisionTreeRegressor(random_state=0), ["R2", "MAE"], None
    else:
        model, scoring = DecisionTreeClassifier(random_state=0), ["AUC", "ACC"]
        stratify = y if y.value_counts().min() >= 2 else None
    # A seeded hold-out split (the search would draw a fresh one) keeps the report reproducible.
    split = train_test_split(np.arange(len(rows)), test_size=0.2, random_state=0, stratify=stratify)
    grid = {"max_depth": [1, 2, 3, 4, 6, 8]}
    search = KovaGridSearchCV(model, grid, scoring=scoring, cv=[tuple(split)])
    search.fit(features.fillna(features.median()), y)
    report.text(f"{features.shape[1]} numeric features; validated on 20% of the rows.")
    report.table(search.get_result().round(4))
    report.figure(search.plot("max_depth"), f"Validation {scoring[0]} against tree depth")


def diagnostics_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    from kova.report_diagnostics import diagnostics_section as run

    run(report, df, target)


SECTIONS: list[Section] = [
    overview_section,
    integrity_section,
    eda_section,
    search_section,
    diagnostics_section,
]
# What the progress bar shows while a section runs.
STEP_LABELS: dict[Section, str] = {
    overview_section: "overview",
    integrity_section: "integrity checks",
    eda_section: "exploratory plots",
    search_section: "hyper-parameter search",
    diagnostics_section: "model diagnostics",
}


def build_report(
    df: pd.DataFrame,
    target: str | None,
    title: str,
    thresholds: al.Thresholds | None = None,
    on_step: Callable[[str], None] | None = None,
) -> Report:
    """Run every section on the frame, calling `on_step(label)` before each one; a failing
    section stops the report with its error."""
    report = Report(title, thresholds)
    for section in SECTIONS:
        if on_step is not None:
            on_step(STEP_LABELS[section])
        section(report, df, target)
    return report
