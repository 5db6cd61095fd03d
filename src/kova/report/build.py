"""Runs the report's sections in their registry order on one context, each timed, within a
bounded thread count."""

from __future__ import annotations

import os
import time
from collections.abc import Callable

import pandas as pd

from kova.report import alerts as al
from kova.report.context import ReportContext
from kova.report.page import Page
from kova.report.sections import SECTIONS


def free_cores() -> int:
    """Cores not busy right now: the machine's cores less the one-minute load, at least 1."""
    cores = os.cpu_count() or 1
    try:
        load = os.getloadavg()[0]
    except OSError:  # no load average on this system
        load = 0.0
    return max(1, cores - round(load))


def build_report(
    df: pd.DataFrame,
    target: str | None,
    title: str,
    thresholds: al.Thresholds | None = None,
    on_step: Callable[[str], None] | None = None,
    jobs: int | None = None,
    timings: dict[str, float] | None = None,
) -> Page:
    """Run every section on the frame, calling `on_step(label)` before each one; a failing
    section stops the report with its error. Native thread pools (the model's, the linear
    algebra's) use at most `jobs` threads (default: `free_cores()`); each section's wall time
    in seconds is stored in `timings` under its label when a dict is given. A section's time
    includes the shared results of the context it is the first to need."""
    from threadpoolctl import threadpool_limits

    context = ReportContext(df, target, al.Thresholds() if thresholds is None else thresholds)
    page = Page(title)
    with threadpool_limits(limits=free_cores() if jobs is None else jobs):
        for section in SECTIONS:
            if on_step is not None:
                on_step(section.label)
            start = time.perf_counter()
            page.alerts.extend(section.run(context, page))
            if timings is not None:
                timings[section.label] = time.perf_counter() - start
    return page
