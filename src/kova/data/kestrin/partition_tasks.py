"""Running one task per partition, in partition order, telling the caller as each one ends.

On a distributed cluster the tasks are submitted as futures and collected as they finish, so
a progress bar can follow the partitions; elsewhere (Dask's local schedulers) they run through
``dask.compute`` and the callback is told once per partition after the pass.

``reduced`` merges the partitions' results pairwise, in partition order, where they are made:
on a cluster each merge runs on a worker as soon as its two inputs exist, so the workers hold the
results of a few partitions only and the caller receives (or leaves on the cluster, see ``then``
and ``fetched``) one merged result.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable
from typing import Any

# Merges run before the partition tasks still waiting, so that merged results free memory.
MERGE_PRIORITY = 1


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


def computed_with(
    tasks: list, other, label: str, on_partition: Callable[[str], None] | None
) -> tuple[list, Any]:
    """The results of ``tasks`` (one delayed per partition) in order and of ``other``, a delayed
    that shares their graph, computed together so shared tasks run once."""
    import dask

    client = active_client()
    if client is None:
        results, whole = dask.compute(list(tasks), other)
        for done in range(1, len(results) + 1):
            _tell(on_partition, label, done, len(results))
        return list(results), whole
    from distributed import as_completed

    *futures, last = client.compute([*tasks, other])
    for done, _ in enumerate(as_completed(futures), start=1):
        _tell(on_partition, label, done, len(futures))
    return client.gather(futures), last.result()


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


def reduced(
    tasks: list, merge: Callable, label: str, on_partition: Callable[[str], None] | None, *args
):
    """``merge(earlier, later, *args)`` folded pairwise over the results of ``tasks`` (one
    delayed per partition, at least one), in partition order: a future of the whole on a
    distributed cluster, else the merged value. ``on_partition`` is told as each partition
    ends.

    On a cluster the partitions are submitted a few at a time, one more as each one ends, and
    every merge as soon as both its sides are submitted; so the workers hold the results of a few
    partitions and of the merges under way, never one result per partition (the scheduler would
    otherwise run the partitions ahead of the merges)."""
    import dask

    client = active_client()
    if client is None:
        (whole,) = dask.compute(_tree(tasks, lambda a, b: dask.delayed(merge)(a, b, *args)))
        for done in range(1, len(tasks) + 1):
            _tell(on_partition, label, done, len(tasks))
        return whole
    from distributed import as_completed

    def joined(a, b):
        return client.submit(merge, a, b, *args, priority=MERGE_PRIORITY)

    stack: list = []  # (height, future) of whole subtrees, earlier rows first

    def submit(task):
        future = client.compute(task)
        ending.add(future)
        stack.append((0, future))
        while len(stack) > 1 and stack[-1][0] == stack[-2][0]:
            (height, later), (_, earlier) = stack.pop(), stack.pop()
            stack.append((height + 1, joined(earlier, later)))

    waiting = iter(tasks)
    ending = as_completed()
    for task in itertools.islice(waiting, sum(client.nthreads().values()) + 1):
        submit(task)
    for done, _ in enumerate(ending, start=1):
        _tell(on_partition, label, done, len(tasks))
        task = next(waiting, None)
        if task is not None:
            submit(task)
    whole = stack.pop()[1]
    while stack:
        whole = joined(stack.pop()[1], whole)
    return whole


def _tree(level: list, pair: Callable):
    """The root of a balanced tree of ``pair`` over ``level``, neighbours first."""
    while len(level) > 1:
        merged = [pair(a, b) for a, b in zip(level[::2], level[1::2], strict=False)]
        level = merged + level[len(merged) * 2 :]
    return level[0]


def then(handle, function: Callable, *args):
    """``function(value, *args)`` of a ``reduced`` result: run where the result is (a future on
    a cluster, the value elsewhere)."""
    client = active_client()
    if client is None:
        return function(handle, *args)
    return client.submit(function, handle, *args, priority=MERGE_PRIORITY)


def fetched(handle):
    """The value of a ``reduced`` or ``then`` result, brought to the caller."""
    return handle.result() if active_client() is not None else handle


def as_argument(handle):
    """A ``reduced`` or ``then`` result as an argument of many partition tasks: a future is
    copied to every worker first, while they are idle (a busy worker answers a fetch late); a
    value becomes one node of the graph (not traversed, so its arrays are not copied into every
    task)."""
    import dask

    client = active_client()
    if client is None:
        return dask.delayed(handle, traverse=False)
    client.replicate([handle])
    return handle


def _tell(on_partition, label: str, done: int, total: int) -> None:
    if on_partition is not None:
        on_partition(f"{label}: partition {done} of {total}")
