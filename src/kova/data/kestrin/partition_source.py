"""Reading the source of the partitioned integrity checks into a Dask DataFrame.

A Dask DataFrame is used as it is. A path names a Parquet file or a folder of Parquet files; a
glob names CSV or Parquet files (all of one kind). Every file's column names are read first (the
Parquet schema or the CSV header, no rows), so that a glob matching nothing, files with
different columns or a file that cannot be read fail at once with one KovaError.
"""

from __future__ import annotations

import glob
import os

import pandas as pd

from ...exceptions import KovaError

_PARQUET = (".parquet", ".parq", ".pq")


def _columns_of(path: str, kind: str) -> list:
    try:
        if kind == "parquet":
            import pyarrow.parquet as pq

            return [n for n in pq.read_schema(path).names if not n.startswith("__index_level_")]
        return list(pd.read_csv(path, nrows=0).columns)
    except Exception as error:  # any reader failure: the file is unusable
        raise KovaError(f"source: cannot read {path!r} as {kind}: {error}") from None


def _files_of(source: str) -> tuple[list[str], str]:
    if os.path.isdir(source):
        files = sorted(
            os.path.join(root, name)
            for root, _, names in os.walk(source)
            for name in names
            if name.endswith(_PARQUET)
        )
        if not files:
            raise KovaError(f"source: the folder {source!r} holds no Parquet file")
        return files, "parquet"
    files = sorted(glob.glob(source)) if glob.has_magic(source) else [source]
    if not files or not all(os.path.isfile(f) for f in files):
        missing = source if not files else next(f for f in files if not os.path.isfile(f))
        raise KovaError(f"source: no file matches {missing!r}")
    kinds = {
        "parquet" if f.endswith(_PARQUET) else "csv" if f.endswith(".csv") else "" for f in files
    }
    if len(kinds) != 1 or "" in kinds:
        raise KovaError(
            f"source: {source!r} must name CSV files or Parquet files, one kind only; got {files!r}"
        )
    return files, kinds.pop()


def read_source(source):
    """The Dask DataFrame of ``source`` and whether its index labels are the rows' own."""
    import dask.dataframe as dd

    if isinstance(source, dd.DataFrame):
        return source, _has_own_index(source)
    if not isinstance(source, (str, os.PathLike)):
        raise KovaError(
            "source: expected a Dask DataFrame, a Parquet file or folder, or a glob of CSV or "
            f"Parquet files, got {type(source).__name__}"
        )
    files, kind = _files_of(os.fspath(source))
    columns = [_columns_of(f, kind) for f in files]
    for path, names in zip(files, columns, strict=True):
        if names != columns[0]:
            raise KovaError(
                f"source: {path!r} has the columns {names!r}, {files[0]!r} has {columns[0]!r}; "
                "all files must have the same columns"
            )
    try:
        data = dd.read_parquet(files) if kind == "parquet" else dd.read_csv(files)
    except Exception as error:
        raise KovaError(f"source: cannot read {os.fspath(source)!r}: {error}") from None
    return data, _has_own_index(data)


def _has_own_index(data) -> bool:
    """Known divisions or a named index are the rows' own labels; a per-partition default index
    is replaced by global positions."""
    return bool(data.known_divisions) or data.index.name is not None
