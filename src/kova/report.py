"""A self-contained HTML report: tables, styled tables and figures embedded inline."""

from __future__ import annotations

import base64
import html
import io
from collections.abc import Callable
from pathlib import Path

import pandas as pd

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 1200px; color: #222; }
h1 { border-bottom: 2px solid #446; } h2 { margin-top: 2em; color: #335; }
table { border-collapse: collapse; font-size: 0.85em; margin: 0.5em 0 1.5em; }
th, td { border: 1px solid #ccc; padding: 3px 8px; }
.note { color: #555; font-style: italic; }
img { max-width: 100%; }
"""


class Report:
    """Collects sections of HTML and writes them as one self-contained page."""

    def __init__(self, title: str) -> None:
        self.title = title
        self._parts: list[str] = []

    def heading(self, text: str) -> None:
        self._parts.append(f"<h2>{html.escape(text)}</h2>")

    def text(self, text: str) -> None:
        self._parts.append(f"<p class='note'>{html.escape(text)}</p>")

    def table(self, obj) -> None:
        """Add a DataFrame, a pandas Styler or a plain message."""
        if isinstance(obj, str):
            self.text(obj)
        elif isinstance(obj, pd.DataFrame):
            self._parts.append(obj.to_html(max_rows=60))
        else:
            self._parts.append(obj.to_html())

    def figure(self, fig) -> None:
        """Embed a matplotlib figure as a PNG and close it."""
        import matplotlib.pyplot as plt

        buf = io.BytesIO()
        fig.savefig(buf, format="png", dpi=90, bbox_inches="tight")
        plt.close(fig)
        data = base64.b64encode(buf.getvalue()).decode("ascii")
        self._parts.append(f"<img src='data:image/png;base64,{data}'/>")

    def write(self, path: Path) -> Path:
        body = "\n".join(self._parts)
        page = (
            f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>{html.escape(self.title)}"
            f"</title><style>{_STYLE}</style></head><body><h1>{html.escape(self.title)}</h1>"
            f"{body}</body></html>"
        )
        path.write_text(page, encoding="utf-8")
        return path


Section = Callable[[Report, pd.DataFrame, "str | None"], None]


def integrity_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    from kova.data import infer_column_kind
    from kova.data.kestrin.kestrin import DataIntegrityCheck

    check = DataIntegrityCheck(df, {c: infer_column_kind(df[c]) for c in df.columns})
    report.heading("Data integrity: single-column checks")
    report.table(check.single_column_check())
    report.heading("Data integrity: duplicated samples")
    report.table(check.duplicated_samples())
    report.heading("Data integrity: associations between features")
    report.table(check.highly_correlated_features())


def eda_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    """Exploratory plots: the first feature, that feature against the target (or the second
    feature), and the correlations of the numerical features."""
    from kova.data import Dataset
    from kova.workflow.olvary import EdaAPI

    dataset = Dataset(df, target=target)
    api = EdaAPI(dataset)
    features = dataset.feature_names
    report.heading(f"Exploratory analysis: {features[0]}")
    report.figure(api.eda(show="univariate", uni_feature=features[0]).figure)
    pair = [features[0], target] if target is not None else features[:2]
    if len(pair) == 2:
        report.heading(f"Exploratory analysis: {pair[1]} against {pair[0]}")
        report.figure(api.eda(show="bivariate", bi_features=pair).figure)
    numerical = [c for c in dataset.included_feature if dataset.meta_info[c] == "numerical"]
    report.heading("Exploratory analysis: correlations")
    if len(numerical) >= 2:
        report.figure(api.eda(show="multivariate", multi_features=numerical).figure)
    else:
        report.text("Fewer than two numerical columns: no correlation view.")


def search_section(report: Report, df: pd.DataFrame, target: str | None) -> None:
    """A small grid search of a decision tree's depth on the numeric features."""
    import numpy as np
    from sklearn.model_selection import train_test_split
    from sklearn.tree import DecisionTreeClassifier, DecisionTreeRegressor

    from kova.models.morbeck import KovaGridSearchCV

    report.heading("Hyper-parameter search: decision-tree depth")
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
    report.figure(search.plot("max_depth"))


SECTIONS: list[Section] = [integrity_section, eda_section, search_section]


def build_report(df: pd.DataFrame, target: str | None, title: str) -> Report:
    """Run every section on the frame; a failing section stops the report with its error."""
    report = Report(title)
    report.text(f"{len(df)} rows x {df.shape[1]} columns; target: {target or '(none)'}")
    for section in SECTIONS:
        section(report, df, target)
    return report
