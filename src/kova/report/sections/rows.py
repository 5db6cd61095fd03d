"""The first and the last rows of the frame as read."""

from __future__ import annotations

from kova.report.alerts import Alert
from kova.report.context import ReportContext
from kova.report.page import Page

SAMPLE_ROWS = 10


def run(ctx: ReportContext, page: Page) -> list[Alert]:
    page.section(
        "rows",
        "First and last rows",
        f"The first and the last {SAMPLE_ROWS} rows of the file as read, with their row labels.",
    )
    for rows in (ctx.frame.head(SAMPLE_ROWS), ctx.frame.tail(SAMPLE_ROWS)):
        # long entries are cut to one line (the style of .rows) so that a row stays one line
        page.markup(f"<div class='wide rows'>{rows.to_html()}</div>")
    return []
