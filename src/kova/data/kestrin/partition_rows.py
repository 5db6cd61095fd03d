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


def _hash_columns(part: pd.DataFrame) -> list[np.ndarray]:
    columns = []
    for i in range(part.shape[1]):
        column = part.iloc[:, i]
        dtype = column.dtype
        if isinstance(dtype, np.dtype) and dtype.kind in "fiubMm":
            columns.append(column.to_numpy())
        else:
            columns.append(np.asarray(column, dtype=object))
    return columns


def row_hashes(part: pd.DataFrame) -> np.ndarray:
    """The (rows, 2) uint64 hashes of a partition's rows."""
    return _kernels.row_hashes(_hash_columns(part), len(part))


def _buckets(part: pd.DataFrame, n_buckets: int) -> list[np.ndarray]:
    hashes = row_hashes(part)
    bucket = hashes[:, 1] % np.uint64(n_buckets)
    return [hashes[bucket == b] for b in range(n_buckets)]


def _repeated(*pieces: np.ndarray) -> np.ndarray:
    hashes = np.concatenate(pieces) if pieces else np.empty((0, 2), dtype=np.uint64)
    frame = pd.DataFrame(hashes, columns=["a", "b"])
    return frame[frame.duplicated(keep=False)].drop_duplicates().to_numpy()


def _candidates(part: pd.DataFrame, offset: int, own_index: bool, repeated: np.ndarray):
    hashes = row_hashes(part)
    maybe = np.isin(hashes[:, 0], repeated[:, 0])
    wanted = set(map(tuple, repeated.tolist()))
    keep = np.flatnonzero(maybe)
    keep = keep[[tuple(h) in wanted for h in hashes[keep].tolist()]]
    rows = part.iloc[keep]
    if not own_index:
        rows = rows.set_axis(pd.Index(keep + offset), axis=0)
    return rows


def duplicated_samples(data, own_index: bool):
    """DataIntegrityCheck.duplicated_samples of the rows of the Dask DataFrame ``data``."""
    import dask

    parts = data.to_delayed(optimize_graph=True)
    sizes = dask.compute(*[dask.delayed(len)(p) for p in parts])
    if sum(sizes) == 0:
        return "Dataset does not contain any data"
    n_buckets = max(1, len(parts))
    split = [dask.delayed(_buckets, nout=n_buckets)(p, n_buckets) for p in parts]
    buckets = [dask.delayed(_repeated)(*[s[b] for s in split]) for b in range(n_buckets)]
    repeated = dask.delayed(lambda *found: np.concatenate(found))(*buckets)
    offsets = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
    tasks = [
        dask.delayed(_candidates)(p, int(o), own_index, repeated)
        for p, o in zip(parts, offsets, strict=True)
    ]
    tasks.append(
        dask.delayed(lambda p: p.head(1))(next(p for p, n in zip(parts, sizes, strict=True) if n))
    )
    *found, first_row = dask.compute(*tasks)
    candidates = pd.concat(found)
    if len(candidates) == 0:  # no copies: the empty answer of a one-row frame
        candidates = first_row if own_index else first_row.set_axis(pd.RangeIndex(1), axis=0)
    return DataIntegrityCheck(candidates, None).duplicated_samples()
