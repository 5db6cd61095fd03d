"""Helpers the benchmarks share: timing, the options every benchmark takes, the machine's load
and a Dask cluster on the loopback."""

from __future__ import annotations

import argparse
import os
import statistics
import time
from collections.abc import Callable


def timed(run: Callable[[], object]) -> float:
    """Wall seconds of one call of `run`."""
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def interleaved(runs: dict[str, Callable[[], object]], repeats: int) -> dict[str, float]:
    """Median wall time of every run, the runs taking turns in each round."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            times[name].append(timed(run))
    return {name: statistics.median(values) for name, values in times.items()}


def arguments(
    name: str, doc: str | None, rows: int, data: str, repeats: str = "interleaved timed rounds"
) -> argparse.ArgumentParser:
    """The parser of `python -m benchmarks NAME` with the options every benchmark takes: --rows
    (default `rows`) and --seed (default 0) of the generated `data`, and --repeats (default 3,
    described by `repeats`); the caller adds its own."""
    parser = argparse.ArgumentParser(prog=f"python -m benchmarks {name}", description=doc)
    parser.add_argument("--rows", type=int, default=rows, help=f"rows of {data}")
    parser.add_argument("--repeats", type=int, default=3, help=repeats)
    parser.add_argument("--seed", type=int, default=0, help=f"seed of {data}")
    return parser


def load_average() -> str:
    """The 1, 5 and 15 minute load averages, to print next to times measured on a shared
    machine."""
    return "load average " + ", ".join(f"{x:.2f}" for x in os.getloadavg())


def loopback_cluster(n_workers: int = 2):
    """A LocalCluster of single-threaded worker processes on 127.0.0.1, with the settings of the
    clusters kova starts; the caller closes it."""
    import dask
    from distributed import LocalCluster

    from kova.data.kestrin.partition_ranks import LOCAL_CLUSTER_CONFIG

    with dask.config.set(LOCAL_CLUSTER_CONFIG):
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
