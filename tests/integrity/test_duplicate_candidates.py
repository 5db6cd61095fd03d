"""Duplicated samples grouped on hash candidates equal the check's answer on the whole frame."""

import numpy as np
import pandas as pd
import pytest

from kova.data.kestrin.duplicates import duplicated_samples
from kova.data.kestrin.kestrin import DataIntegrityCheck


def _odd_frames():
    rng = np.random.default_rng(5)
    n = 400
    base = pd.DataFrame(
        {
            "f": np.where(rng.random(n) < 0.3, np.nan, rng.integers(0, 3, n) * 0.5),
            "s": rng.choice(["a", "b", None], n),
            "i": rng.integers(0, 2, n),
        }
    )
    signed_zero = pd.DataFrame({"z": [0.0, -0.0, np.nan, np.nan, 1.0], "t": ["x"] * 5})
    equal_numbers = pd.DataFrame({"o": pd.Series([1, 1.0, True, "1", None], dtype=object)})
    kinds = pd.DataFrame(
        {
            "c": pd.Categorical(["u", "v", "u", None, None]),
            "d": pd.to_datetime(["2020-01-01", None, "2020-01-01", None, None]),
            "n": pd.array([1, None, 1, None, None], dtype="Int64"),
            "s": pd.array(["é", None, "é", None, None], dtype="string[python]"),
        }
    )
    return {
        "random": base,
        "labelled": base.set_axis(pd.Index([f"r{i % 37}" for i in range(n)]), axis=0),
        "signed zero and NaN": signed_zero,
        "equal numbers of other types": equal_numbers,
        "extension dtypes": kinds,
        "no copies": pd.DataFrame({"a": np.arange(6)}),
        "one row": pd.DataFrame({"a": [1.0], "b": ["x"]}),
        "no rows": pd.DataFrame({"a": []}),
    }


@pytest.mark.parametrize(("name", "frame"), list(_odd_frames().items()))
def test_equals_the_check_on_the_whole_frame(name, frame):
    expected = DataIntegrityCheck(frame, None).duplicated_samples()
    actual = duplicated_samples(frame)
    if isinstance(expected, str):
        assert actual == expected
    else:
        pd.testing.assert_frame_equal(actual, expected)
