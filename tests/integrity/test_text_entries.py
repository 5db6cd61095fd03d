"""Text columns in pandas' Arrow-backed string type give the check the same table as the same
entries in object columns, whether their values repeat (read through the distinct values) or
not."""

import numpy as np
import pandas as pd
import pytest

from kova.data.kestrin.kestrin import DataIntegrityCheck


@pytest.mark.parametrize("storage", ["pyarrow", "python"])
@pytest.mark.parametrize("distinct", [3, 5_000])
def test_string_columns_check_as_object_columns(storage, distinct):
    rng = np.random.default_rng(4)
    n = 6_000
    words = np.array([f"w{i}" for i in range(distinct)] + ["???", "12", "x" * 90], dtype=object)
    values = words[rng.integers(0, len(words), n)]
    values[rng.random(n) < 0.1] = None
    text = pd.Series(values, dtype=pd.StringDtype(storage=storage, na_value=np.nan))
    frame = pd.DataFrame({"text": text, "number": rng.normal(size=n)})
    as_objects = frame.astype({"text": object})
    expected = DataIntegrityCheck(as_objects, None).single_column_check().data
    actual = DataIntegrityCheck(frame, None).single_column_check().data
    pd.testing.assert_frame_equal(actual, expected)
