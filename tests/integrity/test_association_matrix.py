"""The association matrix computed from the kernels is the integrity check's, value for value."""

import numpy as np
import pandas as pd
import pytest

from kova.data import infer_column_kind
from kova.data.associations import association_matrix
from kova.data.kestrin.kestrin import DataIntegrityCheck


def _frame(kind: str, n: int = 300) -> pd.DataFrame:
    rng = np.random.default_rng(3)
    x = rng.normal(size=n)
    columns = {
        "x": x,
        "x_rounded": np.round(2 * x, 1),
        "holes": np.where(rng.random(n) < 0.2, np.nan, rng.normal(size=n)),
        "edges": np.where(rng.random(n) < 0.05, np.inf, rng.integers(0, 4, n)),
        "colour": rng.choice(["red", "green", None], n),
        "shape": pd.Series(rng.choice(["a", "b"], n), dtype="category"),
        "digits": rng.integers(0, 9, n).astype(str),
    }
    if kind == "numbers":
        columns = {k: v for k, v in columns.items() if k in ("x", "x_rounded", "holes", "edges")}
    elif kind == "categories":
        columns = {k: v for k, v in columns.items() if k in ("colour", "shape")}
    return pd.DataFrame(columns)


@pytest.mark.parametrize("kind", ["mixed", "numbers", "categories"])
@pytest.mark.parametrize("given_codes", [False, True])
def test_matrix_equals_the_integrity_checks(kind, given_codes):
    frame = _frame(kind)
    kinds = {name: infer_column_kind(frame[name]) for name in frame.columns}
    kinds["digits" if "digits" in kinds else next(iter(kinds))] = "categorical"
    codes = None
    if given_codes:
        codes = {n: pd.factorize(frame[n])[0] for n, k in kinds.items() if k == "categorical"}
    expected = DataIntegrityCheck(frame, kinds).highly_correlated_features().data
    actual = association_matrix(frame, kinds, codes)
    pd.testing.assert_frame_equal(actual, expected, check_exact=True)
