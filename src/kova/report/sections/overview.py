"""Overview: rows, column kinds, missing cells, duplicated rows, memory, target, task type,
identifier-like columns and the rows the model sections use."""

from __future__ import annotations

import pandas as pd

from kova.report.alerts import Alert
from kova.report.context import ReportContext
from kova.report.page import Page


def _bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"


def run(ctx: ReportContext, page: Page) -> list[Alert]:
    df, n = ctx.frame, ctx.n_rows
    kinds = pd.Series(ctx.kinds).value_counts()
    cells = df.size
    missing = int(ctx.missing.sum())
    duplicated = ctx.integrity.n_duplicated
    page.facts.update(
        {
            "Rows": f"{n:,}",
            "Columns": f"{df.shape[1]} ({kinds.get('numerical', 0)} numerical, "
            f"{kinds.get('categorical', 0)} categorical)",
            "Missing cells": f"{missing:,} of {cells:,} ({missing / cells:.1%})",
            "Duplicated rows": f"{duplicated:,} of {n:,} ({duplicated / n:.1%})",
            "Memory": _bytes(int(df.memory_usage(deep=True).sum())),
            "Target": ctx.target or "(none)",
            "Task type": ctx.dataset.task_type or "(none: no target)",
            "Identifier-like columns": ", ".join(ctx.identifiers) or "(none)",
        }
    )
    sample = ctx.model_sample
    if sample is not None:
        page.facts["Rows of the model sections"] = (
            f"{sample.describe()}; the integrity sections read every row"
        )
    return []
