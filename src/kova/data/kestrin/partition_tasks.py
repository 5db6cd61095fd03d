"""Running one task per partition, in partition order, telling the caller as each one ends.

On a distributed cluster the tasks are submitted as futures and collected as they finish, so
a progress bar can follow the partitions; elsewhere (Dask's local schedulers) they run through
``dask.compute`` and the callback is told once per partition after the pass.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any


def active_client():
    """The distributed client Dask computes with by default, or None."""
    from dask.base import get_scheduler

    client = getattr(get_scheduler(), "__self__", None)
    return client if client is not None and hasattr(client, "scatter") else None


def computed(tasks: list, label: str, on_partition: Callable[[str], None] | None) -> list:
    """The results of ``tasks`` (one delayed per partition) in order."""
    futures = submitted(tasks, label, on_partition)
    client = active_client()
    return client.gather(futures) if client is not None else futures


def submitted(tasks: list, label: str, on_partition: Callable[[str], None] | None) -> list[Any]:
    """The tasks' futures once all have finished (their results without a distributed
    client), calling ``on_partition`` as each one ends."""
    import dask

    client = active_client()
    if client is None:
        results = list(dask.compute(*tasks))
        for done in range(1, len(results) + 1):
            _tell(on_partition, label, done, len(results))
        return results
    from distributed import as_completed, wait

    futures = client.compute(tasks)
    for done, _ in enumerate(as_completed(futures), start=1):
        _tell(on_partition, label, done, len(futures))
    wait(futures)
    return futures


def _tell(on_partition, label: str, done: int, total: int) -> None:
    if on_partition is not None:
        on_partition(f"{label}: partition {done} of {total}")
