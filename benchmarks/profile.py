"""Column profiles of the report's planted-problem frame against plain pandas computing the same.

python -m benchmarks profile                  # 1,000,000 rows x 50 columns
python -m benchmarks profile --rows 200000 --cols 20

The plain version calls pandas per column the way a straightforward implementation would:
isna, describe with the quantiles, nunique, comparisons and numpy.histogram for numbers;
value_counts and str.len for categories and text. Times are medians of interleaved runs, per
kind of column.
"""

from __future__ import annotations

import statistics
from collections import defaultdict

import numpy as np
import pandas as pd

from benchmarks.common import arguments, timed
from benchmarks.report import make_frame
from kova.data import infer_column_kind
from kova.data.profile import HIST_BINS, QUANTILES, TOP_LEVELS, profile_column


def plain_numerical(series: pd.Series) -> dict:
    numbers = series.astype(float)
    finite = numbers[np.isfinite(numbers)]
    return {
        "missing": int(numbers.isna().sum()),
        "distinct": numbers.nunique(),
        "describe": finite.describe(percentiles=list(QUANTILES)),
        "zeros": int((finite == 0).sum()),
        "negatives": int((finite < 0).sum()),
        "histogram": np.histogram(finite, bins=HIST_BINS) if len(finite) else None,
    }


def plain_categorical(series: pd.Series) -> dict:
    counts = series.value_counts()
    present = series.dropna()
    strings = pd.api.types.infer_dtype(present, skipna=False) == "string"
    return {
        "missing": int(series.isna().sum()),
        "distinct": len(counts),
        "top": counts.head(TOP_LEVELS),
        "lengths": present.str.len().describe() if strings else None,
    }


def main(argv: list[str] | None = None) -> int:
    parser = arguments("profile", __doc__, 1_000_000, "the frame")
    parser.add_argument("--cols", type=int, default=50, help="columns of the frame")
    args = parser.parse_args(argv)
    frame = make_frame(args.rows, args.cols, args.seed)
    kinds = {name: infer_column_kind(frame[name]) for name in frame}
    plain = {"numerical": plain_numerical, "categorical": plain_categorical}
    ours: dict[str, list[float]] = defaultdict(list)
    theirs: dict[str, list[float]] = defaultdict(list)
    for _ in range(args.repeats):
        totals: dict[str, list[float]] = defaultdict(lambda: [0.0, 0.0])
        for name, kind in kinds.items():
            column = frame[name]
            totals[kind][0] += timed(lambda: profile_column(column, kind))  # noqa: B023
            totals[kind][1] += timed(lambda: plain[kind](column))  # noqa: B023
        for kind, (kova_s, pandas_s) in totals.items():
            ours[kind].append(kova_s)
            theirs[kind].append(pandas_s)
    print(f"frame: {args.rows:,} rows x {args.cols} columns; median of {args.repeats}")
    print(f"{'columns':<22}{'kova s':>10}{'pandas s':>10}{'speed-up':>10}")
    for kind in ours:
        count = sum(k == kind for k in kinds.values())
        kova_s, pandas_s = statistics.median(ours[kind]), statistics.median(theirs[kind])
        label = f"{count} {kind}"
        print(f"{label:<22}{kova_s:>10.3f}{pandas_s:>10.3f}{pandas_s / kova_s:>9.1f}x")
    return 0
