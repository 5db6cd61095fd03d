"""Helpers the benchmarks share: interleaved timing and a Dask cluster on the loopback."""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable


def interleaved(runs: dict[str, Callable[[], object]], repeats: int) -> dict[str, float]:
    """Median wall time of every run, the runs taking turns in each round."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def loopback_cluster(n_workers: int = 2):
    """A LocalCluster of single-threaded worker processes on 127.0.0.1; the caller closes it."""
    from distributed import LocalCluster

    return LocalCluster(
        host="127.0.0.1",
        n_workers=n_workers,
        threads_per_worker=1,
        processes=True,
        # The scheduler's HTTP server listens even without a dashboard, by default on port
        # 8787: a free loopback port keeps clusters that run side by side apart.
        dashboard_address="127.0.0.1:0",
        worker_dashboard_address=None,
    )
