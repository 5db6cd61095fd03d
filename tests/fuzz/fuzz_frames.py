"""Hypothesis strategies of odd data frames and the contract every fuzzed call must keep.

A frame has 1 to 60 rows, a few feature columns of odd kinds (missing and infinite values,
values near the float limits, constants, all-empty columns, nullable Int64, boolean and
string dtypes, many-level categories) and a target (binary, boolean, text, multi-class or
numeric), under a default, repeated or non-default index.

The contract: a call gives a result or raises `KovaError`; never another exception, and
the caller's frame is never changed.

Example counts: each test asks `fuzz_settings(n)` for n examples in the default run;
`KOVA_FUZZ_EXAMPLES` (or pytest's `--fuzz-long`, which sets it) gives every test that many
instead (the command's test at most 40: each example runs a whole report), drawn at
random rather than from the fixed derandomized sequence.
"""

from __future__ import annotations

import contextlib
import copy
import math
import os

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, reject, settings
from hypothesis import strategies as st

from kova.data import Dataset
from kova.exceptions import KovaError
from kova.models import ModelPipeline

MAX_ROWS = 60
LONG_EXAMPLES = os.environ.get("KOVA_FUZZ_EXAMPLES")

NASTY_FLOATS = [
    0.0,
    -0.0,
    1.0,
    math.nan,
    math.inf,
    -math.inf,
    1e300,
    -1e300,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    5e-324,
    2.0**62 + 1,
]


def fuzz_settings(examples: int, most: int | None = None) -> settings:
    """Settings of one fuzz test: `examples` fixed examples, or the long run's count (at
    most `most` for a test whose examples take seconds each)."""
    common = {
        "deadline": None,
        "database": None,
        "print_blob": True,
        "suppress_health_check": list(HealthCheck),
    }
    if LONG_EXAMPLES:
        count = int(LONG_EXAMPLES) if most is None else min(int(LONG_EXAMPLES), most)
        return settings(max_examples=count, derandomize=False, **common)
    return settings(max_examples=examples, derandomize=True, **common)


# ------------------------------------------------------------------------ columns

_small_floats = st.integers(-5, 5).map(float)
_FLOAT_CELLS = {
    "plain": _small_floats,
    "missing": st.one_of(_small_floats, st.just(math.nan)),
    "infinite": st.one_of(_small_floats, st.sampled_from([math.inf, -math.inf])),
    "extreme": st.one_of(_small_floats, st.sampled_from(NASTY_FLOATS)),
    "any": st.floats(),
}


def _float_column(n):
    return st.sampled_from(sorted(_FLOAT_CELLS)).flatmap(
        lambda kind: st.lists(_FLOAT_CELLS[kind], min_size=n, max_size=n)
    )


@st.composite
def column(draw, n, finite=False):
    """One feature column of n rows, of a kind chosen among the odd ones; with `finite`,
    every cell is a present finite value."""
    none = st.nothing() if finite else st.none()
    kind = draw(
        st.sampled_from(
            ["float", "int", "huge_int", "Int64", "boolean", "string", "object", "category",
             "many_levels", "constant", "empty"]
        )
    )  # fmt: skip
    sized = {"min_size": n, "max_size": n}
    if kind == "float":
        cells = st.lists(_FLOAT_CELLS["plain"], **sized) if finite else _float_column(n)
        return pd.Series(draw(cells), dtype=float)
    if kind == "int":
        return pd.Series(draw(st.lists(st.integers(-3, 3), **sized)), dtype="int64")
    if kind == "huge_int":
        return pd.Series(draw(st.lists(st.integers(0, 3).map(lambda k: 2**62 + k), **sized)))
    if kind == "Int64":
        cells = st.lists(st.one_of(st.integers(-3, 3), none), **sized)
        return pd.Series(draw(cells), dtype="Int64")
    if kind == "boolean":
        cells = st.lists(st.one_of(st.booleans(), none), **sized)
        return pd.Series(draw(cells), dtype="boolean")
    if kind == "string":
        cells = st.lists(st.one_of(st.sampled_from(["a", "b", "c", "", " "]), none), **sized)
        return pd.Series(draw(cells), dtype="string")
    if kind == "object":
        cells = st.one_of(st.sampled_from(["x", "y", "1", "2.5", "é"]), none, st.integers(0, 2))
        return pd.Series(draw(st.lists(cells, **sized)), dtype=object)
    if kind == "category":
        cells = st.lists(st.sampled_from(["lo", "mid", "hi"]) | none, **sized)
        return pd.Series(draw(cells), dtype="category")
    if kind == "many_levels":
        return pd.Series([f"level-{i}" for i in range(n)])
    if kind == "constant":
        return pd.Series([draw(st.sampled_from([0.0, 7, "same", True]))] * n)
    return pd.Series([0.5 if finite else math.nan] * n, dtype=float)


@st.composite
def target(draw, n):
    """A target of n rows: binary, boolean, text, multi-class, numeric or a single value."""
    kind = draw(st.sampled_from(["binary", "bool", "text", "multi", "numeric", "single"]))
    sized = {"min_size": n, "max_size": n}
    if kind == "binary":
        return pd.Series(draw(st.lists(st.integers(0, 1), **sized)))
    if kind == "bool":
        return pd.Series(draw(st.lists(st.booleans(), **sized)))
    if kind == "text":
        return pd.Series(draw(st.lists(st.sampled_from(["no", "yes", "maybe"]), **sized)))
    if kind == "multi":
        return pd.Series(draw(st.lists(st.integers(0, 4), **sized)))
    if kind == "numeric":
        cells = st.one_of(st.floats(-1e3, 1e3), st.sampled_from([0.5, 1e12, -1e12]))
        return pd.Series(draw(st.lists(cells, **sized)), dtype=float)
    return pd.Series([1] * n)


def index(n):
    """A default, repeated, text, descending or sparse index of n rows."""
    return st.sampled_from(["default", "repeated", "text", "descending", "sparse"]).map(
        lambda kind: {
            "default": pd.RangeIndex(n),
            "repeated": pd.Index([0] * n),
            "text": pd.Index([f"r{i % 3}" for i in range(n)]),
            "descending": pd.Index(range(n, 0, -1)),
            "sparse": pd.Index([i * 1000 + 7 for i in range(n)]),
        }[kind]
    )


@st.composite
def frames(draw, min_rows=1, max_rows=MAX_ROWS, with_target=True, finite=False):
    """An odd frame: 1 to 4 features named x0, x1, ... and (optionally) the target "y";
    with `finite`, features without missing or infinite values."""
    n = draw(st.integers(min_rows, max_rows))
    width = draw(st.integers(1, 4))
    cells = {f"x{j}": draw(column(n, finite)).array for j in range(width)}
    if with_target:
        cells["y"] = draw(target(n)).array
    frame = pd.DataFrame(cells, index=draw(index(n)))
    return frame


# ------------------------------------------------------------------- model harness


def _tame(x):
    """What the harness's models see: finite, moderate numbers (NaN as 0)."""
    return np.nan_to_num(np.clip(np.asarray(x, dtype=float), -1e6, 1e6), nan=0.0)


def _estimator(task_type, kind):
    from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor
    from sklearn.linear_model import Ridge, RidgeClassifier
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import FunctionTransformer

    models = {
        ("classification", "trees"): HistGradientBoostingClassifier(max_iter=3),
        ("classification", "linear"): RidgeClassifier(),  # scores, no probabilities
        ("regression", "trees"): HistGradientBoostingRegressor(max_iter=3),
        ("regression", "linear"): Ridge(),
    }
    return make_pipeline(FunctionTransformer(_tame), models[task_type, kind])


def fitted_pipeline(frame, kind="trees", scaled=False):
    """A `ModelPipeline` of a model fitted on the training rows of `Dataset(frame, "y")`.

    Raises `KovaError` when kova rejects the data; rejects the example (hypothesis) when
    the harness's own model cannot be fitted (a single class among the training rows).
    """
    dataset = Dataset(frame, target="y", random_state=0)
    x = ModelPipeline.encode(dataset).to_numpy()
    model = _estimator(dataset.task_type, kind)
    try:
        model.fit(x[dataset.train_idx], dataset.train_y.to_numpy())
    except ValueError:
        reject()
    return ModelPipeline(model, dataset)


# ------------------------------------------------------------------------ contract


def kept(call, *args, **kwargs):
    """The call's result, or None when it raised `KovaError` with a one-line message.

    Any other exception propagates and fails the test (hypothesis then shrinks it).
    """
    try:
        return call(*args, **kwargs)
    except KovaError as error:
        if not str(error).strip():
            raise AssertionError("a KovaError without a message") from error
        return None


def _same_array(new, old):
    new, old = np.asarray(new), np.asarray(old)
    assert new.dtype == old.dtype
    assert new.shape == old.shape
    if new.dtype == object:  # NaN cells compare by their text, as -0.0 and 0.0 do not
        assert repr(new.tolist()) == repr(old.tolist())
    else:
        assert new.tobytes() == old.tobytes()


@contextlib.contextmanager
def unchanged(*objects):
    """Assert that the frames, dicts of arrays and arrays given are the same after the block."""
    before = [copy.deepcopy(obj) for obj in objects]
    yield
    for old, new in zip(before, objects, strict=True):
        if isinstance(new, pd.DataFrame):
            pd.testing.assert_frame_equal(new, old, check_exact=True)
            assert new.index.equals(old.index)
        elif isinstance(new, dict):
            assert new.keys() == old.keys()
            for key in new:
                _same_array(new[key], old[key])
        else:
            _same_array(new, old)
