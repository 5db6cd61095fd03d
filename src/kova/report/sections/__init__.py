"""The ordered registry of the report's sections: their order is the page's order.

Each section is a function `run(context, page) -> list[Alert]` that writes its part of the
page from the shared `ReportContext` and returns the alerts it finds.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from kova.report.alerts import Alert
from kova.report.context import ReportContext
from kova.report.page import Page
from kova.report.sections import (
    columns,
    distance,
    eda,
    integrity,
    missing,
    overview,
    regions,
    rows,
    search,
    segments,
)


@dataclass(frozen=True)
class Section:
    """A section of the page: the label shown by the progress bar and used in the timings,
    and the function writing it."""

    label: str
    run: Callable[[ReportContext, Page], list[Alert]]


SECTIONS: list[Section] = [
    Section("overview", overview.run),
    Section("column profiles", columns.run),
    Section("missing values", missing.run),
    Section("first and last rows", rows.run),
    Section("integrity checks", integrity.run),
    Section("exploratory plots", eda.run),
    Section("hyper-parameter search", search.run),
    Section("train/test distance", distance.run),
    Section("weak regions", regions.run),
    Section("model diagnostics", segments.run),
]
