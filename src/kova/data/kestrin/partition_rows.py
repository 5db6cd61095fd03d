"""Identical rows across partitions.

Each partition hashes its rows (128 bits, ``kova._kernels.row_hashes``) and splits the hashes
into buckets by their low bits; one task per bucket gathers that bucket from every partition and
keeps the hashes seen more than once. A second pass over the partitions returns the rows whose
hash is among them, with their labels; those candidate rows, in row order, are grouped in memory
by ``DataIntegrityCheck.duplicated_samples``, which compares them for true equality, so a hash
collision can never report rows that differ. Memory per task is one partition, or one bucket of
hashes (16 bytes per row of the table divided by the number of buckets).
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ... import _kernels
from .kestrin import DataIntegrityCheck
from .partition_tasks import computed, computed_with


def _arrow_text(column: pd.Series) -> tuple | None:
    """An Arrow-backed text column as (validity, int64 offsets, UTF-8 bytes), read without
    making a Python str per entry; None for other columns."""
    dtype = column.dtype
    if not (isinstance(dtype, pd.StringDtype) and dtype.storage == "pyarrow"):
        return None
    import pyarrow as pa

    array = pa.array(column.array)
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    array = array.cast(pa.large_string())
    _, offsets, data = array.buffers()
    offsets = np.frombuffer(offsets, dtype=np.int64)[array.offset : array.offset + len(array) + 1]
    data = np.frombuffer(data, dtype=np.uint8) if data is not None else np.empty(0, np.uint8)
    valid = array.is_valid().to_numpy(zero_copy_only=False)
    return valid, offsets, data


def _hash_columns(part: pd.DataFrame) -> list:
    """The columns as row_hashes reads them: numpy arrays, or Arrow text in its own layout."""
    columns: list = []
    for i in range(part.shape[1]):
        column = part.iloc[:, i]
        dtype = column.dtype
        if isinstance(dtype, np.dtype) and dtype.kind in "fiubMm":
            columns.append(column.to_numpy())
        else:
            text = _arrow_text(column)
            columns.append(text if text is not None else np.asarray(column, dtype=object))
    return columns


def row_hashes(part: pd.DataFrame) -> np.ndarray:
    """The (rows, 2) uint64 hashes of a partition's rows."""
    return _kernels.row_hashes(_hash_columns(part), len(part))


def _split(part: pd.DataFrame, n_buckets: int) -> list:
    """The partition's size followed by its row hashes split into buckets by their low bits."""
    hashes = row_hashes(part)
    bucket = (hashes[:, 1] % np.uint64(n_buckets)).astype(np.intp)
    order = np.argsort(bucket, kind="stable")
    bounds = np.searchsorted(bucket[order], np.arange(n_buckets + 1))
    hashes = hashes[order]
    return [len(part), *(hashes[bounds[b] : bounds[b + 1]] for b in range(n_buckets))]


def _repeated(*pieces: np.ndarray) -> np.ndarray:
    hashes = np.concatenate(pieces) if pieces else np.empty((0, 2), dtype=np.uint64)
    frame = pd.DataFrame(hashes, columns=["a", "b"])
    return frame[frame.duplicated(keep=False)].drop_duplicates().to_numpy()


def _candidates(part: pd.DataFrame, own_index: bool, repeated: np.ndarray):
    """The rows whose hash is repeated, labelled by their position in the partition unless the
    source has its own labels."""
    hashes = row_hashes(part)
    maybe = np.isin(hashes[:, 0], repeated[:, 0])
    wanted = set(map(tuple, repeated.tolist()))
    keep = np.flatnonzero(maybe)
    keep = keep[[tuple(h) in wanted for h in hashes[keep].tolist()]]
    rows = part.iloc[keep]
    return rows if own_index else rows.set_axis(pd.Index(keep), axis=0)


def duplicated_samples(data, own_index: bool, on_partition=None):
    """DataIntegrityCheck.duplicated_samples of the rows of the Dask DataFrame ``data``: two
    computations read every partition, one to hash its rows and find the repeated hashes, one to
    take its candidate rows. In one graph every partition read would be held from its hashing
    until its candidates are taken, after all hashing: the whole table in memory.
    ``on_partition`` is told as each partition of either pass is done."""
    import dask

    parts = data.to_delayed(optimize_graph=True)
    n_buckets = max(1, len(parts))
    split = [dask.delayed(_split, nout=n_buckets + 1)(p, n_buckets) for p in parts]
    buckets = [dask.delayed(_repeated)(*[s[b + 1] for s in split]) for b in range(n_buckets)]
    repeated = dask.delayed(lambda *found: np.concatenate(found))(*buckets)
    sizes, repeated = computed_with([s[0] for s in split], repeated, "row hashes", on_partition)
    tasks = [dask.delayed(_candidates)(p, own_index, repeated) for p in parts]
    found = computed(tasks, "duplicate candidates", on_partition)
    if sum(sizes) == 0:
        return "Dataset does not contain any data"
    if not own_index:  # partition positions become global positions
        offsets = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
        found = [
            rows.set_axis(rows.index + int(o), axis=0)
            for rows, o in zip(found, offsets, strict=True)
        ]
    candidates = pd.concat(found)
    if len(candidates) == 0:  # no copies: the empty answer of a one-row frame
        first = next(p for p, n in zip(parts, sizes, strict=True) if n)
        first_row = dask.compute(dask.delayed(lambda p: p.head(1))(first))[0]
        candidates = first_row if own_index else first_row.set_axis(pd.RangeIndex(1), axis=0)
    return DataIntegrityCheck(candidates, None).duplicated_samples()
