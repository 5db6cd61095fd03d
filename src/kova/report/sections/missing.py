"""Missing values: a bar per column and the pattern of missing cells over a sample of rows."""

from __future__ import annotations

import numpy as np

from kova.report import charts
from kova.report.alerts import Alert
from kova.report.context import ReportContext
from kova.report.page import Page

# The pattern matrix shows this many rows, evenly spaced over the frame.
MATRIX_ROWS = 500


def run(ctx: ReportContext, page: Page) -> list[Alert]:
    page.section(
        "missing",
        "Missing values",
        "The share of missing cells of every column, then where they fall: one line per "
        "row, one stripe per column, missing cells in red.",
    )
    names = [str(c) for c in ctx.frame.columns]
    if not ctx.missing.any():
        page.text("No column has missing cells.")
        return []
    shares = (ctx.missing / max(ctx.n_rows, 1)).tolist()
    shown = [f"{int(m):,} ({s:.1%})" for m, s in zip(ctx.missing, shares, strict=True)]
    page.markup(charts.bars(names, shares, "Share of missing cells per column", width=520,
                            shown=shown))  # fmt: skip
    n = ctx.n_rows
    rows = np.unique(np.linspace(0, n - 1, min(MATRIX_ROWS, n)).round().astype(np.intp))
    matrix = ctx.frame.iloc[rows].isna().to_numpy()
    stated = "every row" if rows.size == n else f"{rows.size:,} rows evenly spaced over {n:,}"
    page.text(f"Pattern of missing cells over {stated}, first row at the top.")
    page.markup(charts.missing_matrix(matrix, names, "Missing cells by row and column"))
    return []
