"""`DataIntegrityCheck.duplicated_samples` of a frame in memory, grouped on its candidate rows.

Each row gets a 128-bit hash from the native kernels (equal rows, as `DataFrame.duplicated`
compares them, hash equally); rows whose hash is unique have no copy, so only the rows that
share the first 64 bits of their hash with another row go to the check, which compares them
for true equality. The answer is the check's on the whole frame, without factorizing every
column of every row.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from .kestrin import DataIntegrityCheck
from .partition_rows import row_hashes


def candidate_rows(frame: pd.DataFrame) -> np.ndarray:
    """Positions of the rows whose hash is shared with another row (a superset of the rows
    that have an identical copy), in row order."""
    first_words = pd.Series(row_hashes(frame)[:, 0])
    return np.flatnonzero(first_words.duplicated(keep=False).to_numpy())


def duplicated_samples(frame: pd.DataFrame):
    """The groups of identical rows of `frame`, as `duplicated_samples` of the integrity check
    gives them for the whole frame."""
    if len(frame) == 0 or frame.shape[1] == 0:
        return DataIntegrityCheck(frame, None).duplicated_samples()
    rows = candidate_rows(frame)
    # without candidates, one row gives the check's empty answer with the frame's columns
    return DataIntegrityCheck(frame.iloc[rows if len(rows) else [0]], None).duplicated_samples()
