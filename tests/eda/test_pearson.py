"""The correlation view's Pearson matrix equals DataFrame.corr's, missing values included."""

import numpy as np
import pandas as pd
import pytest

from kova.data.eda.multivariate import pearson_matrix


def _columns(n: int) -> dict:
    rng = np.random.default_rng(8)
    x = rng.normal(size=n)
    holes = 3 * x + rng.normal(size=n)
    holes[rng.random(n) < 0.4] = np.nan
    sparse = np.full(n, np.nan)
    sparse[[1, 5, 9]] = [1.0, 2.0, 4.0]
    return {
        "x": x * 1e3 + 1e6,  # a large offset: sums of squares must not cancel
        "y": -x + rng.normal(size=n),
        "constant": np.full(n, 2.5),
        "holes": holes,
        "more holes": np.where(rng.random(n) < 0.5, np.nan, x),
        "sparse": sparse,
        "empty": np.full(n, np.nan),
    }


@pytest.mark.parametrize("n", [12, 70_001])  # one chunk of rows, and several
@pytest.mark.parametrize("names", [None, ["x", "y"], ["holes", "more holes", "sparse"]])
def test_equals_dataframe_corr(n, names):
    columns = _columns(n)
    if names is not None:
        columns = {name: columns[name] for name in names}
    expected = pd.DataFrame(columns).corr()
    pd.testing.assert_frame_equal(pearson_matrix(columns), expected, rtol=1e-9, atol=1e-12)
