"""Integrity checks against a plain pandas implementation of the same steps.

The plain versions run the per-entry work as Python functions through ``Series.map``,
``Series.apply`` and loops over the column, and compute the association measures with pandas
value counts and group-bys, as a straightforward pandas implementation would; the native module
runs the same steps as C++ loops and native kernels. Both must give the same frame.
"""

from __future__ import annotations

import gc
import time
import tracemalloc
from collections import defaultdict
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import pandas as pd
from pandas.api.types import infer_dtype

from kova.data import infer_column_kind
from kova.data.associations import style_associations
from kova.data.kestrin.utils import is_string_column, string_baseform

WORDS = np.array(
    ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"], dtype=object
)
UNICODE_WORDS = np.array(["Ёлка", "中文", "café", "naïve", "€100", "Straße"], dtype=object)
SPECIALS = np.array(["???", "--", "#", "…", "!!", "*"], dtype=object)


def make_frame(rows: int, seed: int = 0) -> tuple[pd.DataFrame, dict]:
    """A frame of 20 columns: numbers, number texts, words, special-only texts, categories and
    missing values; and its column type map."""
    rng = np.random.default_rng(seed)

    def pick(values, missing=0.0):
        column = values[rng.integers(0, len(values), rows)].astype(object)
        if missing:
            column[rng.random(rows) < missing] = np.nan
        return column

    def with_share(column, values, share):
        column = column.copy()
        where = rng.random(rows) < share
        column[where] = values[rng.integers(0, len(values), int(where.sum()))]
        return column

    numbers = rng.normal(size=rows)
    number_texts = rng.integers(0, 10_000, rows).astype(str).astype(object)
    sentences = np.array([" ".join(WORDS[: k % 8 + 1]) for k in range(16)], dtype=object)
    frame = pd.DataFrame(
        {
            "int": rng.integers(0, 1000, rows),
            "float": np.where(rng.random(rows) < 0.1, np.nan, numbers),
            "float_2": numbers * 2 + rng.normal(size=rows),
            "constant": np.ones(rows),
            "all_missing": np.full(rows, np.nan),
            "int_small": rng.integers(0, 5, rows),
            "number_text": number_texts,
            "number_text_mixed": with_share(number_texts, WORDS, 0.05),
            "number_text_spaced": np.char.add(" ", number_texts.astype(str)).astype(object),
            "nan_inf_text": pick(np.array(["nan", "inf", "-Infinity", "1e5", "x"], dtype=object)),
            "words": pick(WORDS),
            "words_missing": pick(WORDS, missing=0.2),
            "sentences": pick(sentences),
            "unicode_words": pick(UNICODE_WORDS, missing=0.05),
            "words_special": with_share(pick(WORDS), SPECIALS, 0.1),
            "special_only": pick(SPECIALS, missing=0.1),
            "objects_mixed": with_share(rng.integers(0, 50, rows).astype(object), WORDS, 0.3),
            "category": pd.Categorical(pick(np.array(["low", "mid", "top"], dtype=object))),
            "category_missing": pd.Categorical(pick(WORDS[:4], missing=0.1)),
            "flag": rng.random(rows) < 0.5,
        }
    )
    meta_info = {name: infer_column_kind(frame[name]) for name in frame.columns}
    return frame, meta_info


# ---------------------------------------------------------------------------------------------
# Plain pandas implementations


def _is_single_value(data):
    return pd.DataFrame(data.nunique() == 1, columns=["Is Single Value"])


def _null_ratio(data):
    return pd.DataFrame(data.isna().sum() / data.shape[0], columns=["Null Ratio"])


def _long_string(data, quantile_threshold=0.8, length_difference=5):
    rows = []
    for name in data.columns:
        column = data[name].dropna()
        if not is_string_column(column):
            rows.append([0, []])
            continue
        string_length_column = column.map(lambda x: len(str(x)))
        threshold_length = string_length_column.quantile(
            quantile_threshold, interpolation="nearest"
        )
        is_long = string_length_column > threshold_length + length_difference
        long_string_idx = list(string_length_column[is_long].index)
        rows.append([len(long_string_idx), long_string_idx])
    result = pd.DataFrame(rows, columns=["Long String Num", "Long String Index"])
    result.index = data.columns
    return result


def _get_special_samples(column_data):
    if infer_dtype(column_data) in ("integer", "decimal", "floating"):
        return None
    samples_to_count = defaultdict(int)
    for sample in column_data:
        if isinstance(sample, str) and sample and not string_baseform(sample, True):
            samples_to_count[sample] += 1
    return samples_to_count if samples_to_count else None


def _special_characters(data, n_most_common=2):
    rows = []
    for name in data.columns:
        column_data = data[name]
        special_samples = _get_special_samples(column_data)
        if not special_samples:
            rows.append([name, "0.0%", []])
            continue
        share = sum(special_samples.values()) / column_data.size
        ranked = sorted(special_samples.items(), key=lambda item: item[1], reverse=True)
        top_n_samples_values = [text for text, _ in ranked[:n_most_common]]
        rows.append([name, str(share * 100) + "%", top_n_samples_values])
    columns = ["Column Name", "% Special-Only Samples", "Most Common Special-Only Samples"]
    return pd.DataFrame(rows, columns=columns).set_index(["Column Name"])


def _check_mixed_percentage(column_data):
    total_rows = column_data.count()
    numbers_in_col, strings_in_col = set(), set()

    def is_float(x) -> bool:
        try:
            float(x)
            if len(numbers_in_col) <= 2:
                numbers_in_col.add(x)
            return True
        except ValueError:
            if len(strings_in_col) <= 2:
                strings_in_col.add(x)
            return False

    nums = column_data.apply(is_float).sum()
    if nums == total_rows or nums == 0:
        return None
    return {
        "strings": np.abs(nums - total_rows) / total_rows,
        "numbers": nums / total_rows,
        "strings_examples": strings_in_col,
        "numbers_examples": numbers_in_col,
    }


def _mixed_data_type(data):
    display_result = {}
    for name in data.columns:
        column_data = data[name].dropna()
        mix = _check_mixed_percentage(column_data) if is_string_column(column_data) else None
        if mix is not None:
            text = f"{np.round(mix['strings'], 4)} : {np.round(mix['numbers'], 4)}"
            display_result[name] = {"With mixed": True, "Categorical : Numerical": text}
        else:
            display_result[name] = {"With mixed": False, "Categorical : Numerical": "-"}
    return pd.DataFrame.from_dict(display_result).T


def plain_single_column_check(data: pd.DataFrame):
    """The single-column report, step by step, in plain pandas."""
    special = _special_characters(data)
    scol = "% Special-Only Samples"
    special[scol] = special[scol].apply(lambda x: float(x[:-1]) / 100)
    frames = [_is_single_value(data), _null_ratio(data), _mixed_data_type(data)]
    result = pd.concat([*frames, _long_string(data), special], axis=1)
    result.columns = [
        [
            "Is Single Value",
            "Null Ratio",
            "Mixed Data Types",
            "Mixed Data Types",
            "Long String",
            "Long String",
            "Special Characters",
            "Special Characters",
        ],
        ["", "", "Mixed", "Categorical : Numerical", "Num", "Index", "Ratio", "Example Samples"],
    ]
    size = [
        {"selector": "th.col_heading", "props": "text-align: center;"},
        {"selector": "th.col_heading.level0", "props": "font-size: 1.0em;"},
    ]
    border = [{"selector": "th,td", "props": [("border-style", "solid"), ("border-width", "1px")]}]
    return result.style.set_table_styles(size + border).format(precision=4)


def _entropy(counts: pd.Series) -> float:
    p = counts / counts.sum()
    return float(-(p * np.log(p)).sum())


def plain_theil_u(a: np.ndarray, b: np.ndarray) -> float:
    """Symmetric Theil's U, 2 I(a;b) / (H(a) + H(b)), from pandas value counts."""
    if len(a) == 0:
        return float("nan")
    pairs = pd.DataFrame({"a": a, "b": b})
    h_a = _entropy(pairs["a"].value_counts())
    h_b = _entropy(pairs["b"].value_counts())
    if h_a + h_b == 0:
        return 1.0
    mutual = h_a + h_b - _entropy(pairs.value_counts())
    return min(max(2 * mutual / (h_a + h_b), 0.0), 1.0)


def plain_correlation_ratio(categories: np.ndarray, values: np.ndarray) -> float:
    """Correlation ratio: sqrt(between-group / total sum of squares), by a pandas groupby."""
    values = pd.Series(values)
    if len(values) == 0 or not np.isfinite(values).all():
        return float("nan")
    total = ((values - values.mean()) ** 2).sum()
    if total == 0:
        return 0.0
    groups = values.groupby(categories).agg(["count", "mean"])
    between = (groups["count"] * (groups["mean"] - values.mean()) ** 2).sum()
    return float(np.sqrt(between / total))


def plain_highly_correlated_features(data: pd.DataFrame, meta_info: dict):
    """The association matrix, step by step, in plain pandas."""
    num_features = [name for name in data.columns if meta_info[name] == "numerical"]
    cat_features = [name for name in data.columns if meta_info[name] == "categorical"]
    encoded_cat_data = data.loc[:, cat_features].apply(lambda x: pd.factorize(x)[0])
    encoded_cat_data.replace(-1, np.nan, inplace=True)
    full_df = pd.DataFrame(index=data.columns, columns=data.columns)
    if num_features:
        numbers = data.loc[:, num_features].astype(float)
        full_df.loc[num_features, num_features] = numbers.corr(method="spearman")
    if cat_features:
        full_df.loc[cat_features, cat_features] = encoded_cat_data.corr(method=plain_theil_u)
    if num_features and cat_features:
        numbers = data.loc[:, num_features].astype(float)
        num_cat_corr = encoded_cat_data.apply(
            lambda col: numbers.corrwith(col, method=plain_correlation_ratio)
        )
        full_df.loc[num_features, cat_features] = num_cat_corr
        full_df.loc[cat_features, num_features] = num_cat_corr.transpose()
    return style_associations(full_df)


# ---------------------------------------------------------------------------------------------
# Measurement


@dataclass
class Measurement:
    name: str
    ours_seconds: float
    plain_seconds: float
    peak_bytes: int
    frame_bytes: int

    @property
    def speedup(self) -> float:
        return self.plain_seconds / self.ours_seconds

    @property
    def memory_ratio(self) -> float:
        return self.peak_bytes / self.frame_bytes


def best_time(run: Callable[[], object], repeats: int) -> tuple[float, object]:
    """The shortest wall time of `repeats` runs, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def peak_memory(run: Callable[[], object]) -> int:
    """Peak bytes allocated through Python and numpy while `run` runs (tracemalloc)."""
    gc.collect()
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def compare(
    name: str,
    ours: Callable[[], object],
    plain: Callable[[], object],
    frame: pd.DataFrame,
    repeats: int,
) -> Measurement:
    """Time both versions, check they give the same frame, and measure our peak memory."""
    ours_seconds, ours_result = best_time(ours, repeats)
    plain_seconds, plain_result = best_time(plain, 1)
    # The association measures are computed by different code in the two versions.
    pd.testing.assert_frame_equal(ours_result.data, plain_result.data, rtol=1e-9, atol=1e-12)
    frame_bytes = int(frame.memory_usage(deep=True).sum())
    return Measurement(name, ours_seconds, plain_seconds, peak_memory(ours), frame_bytes)
