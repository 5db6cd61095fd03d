"""Runs the report's sections in their registry order on one context, each timed, within a
bounded thread count."""

from __future__ import annotations

import ctypes
import os
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress

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


def release_freed_memory() -> None:
    """Hand the heap's freed pages back to the system (glibc keeps them for reuse, so a
    finished section's temporaries would otherwise stay in the process's resident memory and
    add to every later section's peak). Does nothing where the C library has no such call."""
    with suppress(OSError, AttributeError):
        ctypes.CDLL(None).malloc_trim(0)


@contextmanager
def native_threads(threads: int) -> Iterator[None]:
    """Bound the threads of kova's own matrix kernels to `threads` while the block runs."""
    from kova import _kernels

    previous = _kernels.thread_limit()
    _kernels.set_thread_limit(threads)
    try:
        yield
    finally:
        _kernels.set_thread_limit(previous)


def build_report(
    df: pd.DataFrame,
    target: str | None,
    title: str,
    thresholds: al.Thresholds | None = None,
    on_step: Callable[[str], None] | None = None,
    jobs: int | None = None,
    timings: dict[str, float] | None = None,
    context: ReportContext | None = None,
) -> Page:
    """Run every section on the frame, calling `on_step(label)` before each one; a failing
    section stops the report with its error. Native thread pools (the model's, the linear
    algebra's, kova's kernels') use at most `jobs` threads (default: `free_cores()`); each
    section's wall time in seconds is stored in `timings` under its label when a dict is
    given. A section's time includes the shared results of the context it is the first to
    need. A prepared `context` (a partitioned table's, for one) is used instead of one built
    on `df`."""
    from threadpoolctl import threadpool_limits

    if context is None:
        limits = al.Thresholds() if thresholds is None else thresholds
        context = ReportContext(df, target, limits)
    page = Page(title)
    threads = free_cores() if jobs is None else jobs
    with threadpool_limits(limits=threads), native_threads(threads):
        for section in SECTIONS:
            if on_step is not None:
                on_step(section.label)
            release_freed_memory()
            start = time.perf_counter()
            page.alerts.extend(section.run(context, page))
            if timings is not None:
                timings[section.label] = time.perf_counter() - start
    return page
