"""Two-sample distances of every feature: kova's twosample_test against a per-feature loop of
scipy.stats.ks_2samp, scipy.stats.wasserstein_distance and a numpy PSI, and all three metrics in
one call against three calls of the previous release's path.

python -m benchmarks distance                 # two samples of 1,000,000 x 20
python -m benchmarks distance --rows 100000   # a quicker run

Times are wall-clock seconds, the median of --repeats rounds in which every version runs once
(interleaved, so that load on a shared machine hits them alike). kova runs on 1 and on
--threads threads; the scipy/numpy loop and the baseline use one thread (threadpoolctl bounds
any BLAS pool). The "three calls" baseline is a copy, kept here only, of the previous release's
path per call: numpy sort of each column (no kernel sort), one sorted-merge kernel call per
column, and the bar figure drawn on every call.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable

import numpy as np
from matplotlib.figure import Figure

from benchmarks.common import arguments, interleaved, load_average

PSI_BINS = 10
PSI_FLOOR = 1e-4  # the floor kova applies to an empty bin's share
METRICS = ("KS", "WD1", "PSI")


def make_samples(rows: int, features: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Two samples of the same features, the second shifted and spread; a quarter of the
    features are rounded, so that values tie within and across the samples."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(rows, features))
    b = rng.normal(0.1, 1.2, size=(rows, features))
    rounded = np.arange(features) % 4 == 0
    a[:, rounded] = np.round(a[:, rounded], 1)
    b[:, rounded] = np.round(b[:, rounded], 1)
    return a, b


def plain_psi(a: np.ndarray, b: np.ndarray) -> float:
    """PSI over equal-width bins of the pooled range, with numpy's histogram."""
    edges = np.linspace(min(a.min(), b.min()), max(a.max(), b.max()), PSI_BINS + 1)
    p = np.maximum(np.histogram(a, edges)[0] / a.size, PSI_FLOOR)
    q = np.maximum(np.histogram(b, edges)[0] / b.size, PSI_FLOOR)
    return float(np.sum((p - q) * np.log(p / q)))


def plain_distances(metric: str, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    from scipy import stats

    one = {
        "PSI": plain_psi,
        "WD1": stats.wasserstein_distance,
        "KS": lambda x, y: stats.ks_2samp(x, y).statistic,
    }[metric]
    return np.array([one(a[:, j], b[:, j]) for j in range(a.shape[1])])


def previous_call(metric: str, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """One single-metric call as the previous release made it, figure included."""
    from kova import _kernels
    from kova.diagnoser.distances import psi

    if metric == "PSI":
        ranges = [_kernels.column_ranges(s) for s in (a, b)]
        low, high = np.minimum(ranges[0][0], ranges[1][0]), np.maximum(ranges[0][1], ranges[1][1])
        edges = [
            np.unique(np.linspace(lo, hi, PSI_BINS + 1)) for lo, hi in zip(low, high, strict=True)
        ]
        counts = [_kernels.column_bin_counts(s, edges) for s in (a, b)]
        found = np.array(
            [psi(p / a.shape[0], q / b.shape[0]) for p, q in zip(*counts, strict=True)]
        )
    else:
        rows = []
        for sample in (a, b):
            columns = _kernels.transposed(sample)
            columns.sort(axis=1)
            rows.append(columns)
        kernel = _kernels.ks_sorted if metric == "KS" else _kernels.wasserstein1_sorted
        found = np.array([kernel(rows[0][j], rows[1][j]) for j in range(a.shape[1])])
    figure = Figure(layout="constrained")
    ax = figure.subplots()
    ax.barh(np.arange(found.size), np.sort(found))
    ax.set_yticks(np.arange(found.size), [f"x{j}" for j in range(found.size)])
    return found


def _parse(argv: list[str] | None) -> argparse.Namespace:
    parser = arguments("distance", __doc__, 1_000_000, "each sample")
    parser.add_argument("--features", type=int, default=20, help="features of each sample")
    parser.add_argument("--threads", type=int, default=2, help="kova's threads (besides 1)")
    parser.add_argument(
        "--only", choices=METRICS, help="time this metric against scipy/numpy and nothing else"
    )
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    from threadpoolctl import threadpool_limits

    from kova.diagnoser.utils import twosample_test

    args = _parse(argv)
    a, b = make_samples(args.rows, args.features, args.seed)
    names = [f"x{j}" for j in range(args.features)]

    def kova(metric: str | list[str], threads: int) -> Callable[[], dict]:
        def run() -> dict:
            result = twosample_test(a, b, metric, feature_names=names, n_jobs=threads)
            return result.value

        return run

    print(f"samples: 2 x {args.rows:,} rows x {args.features} numerical features; {load_average()}")
    t = args.threads
    print(f"{'distance':<10}{'kova 1t s':>11}{f'kova {t}t s':>11}{'scipy s':>10}"
          f"{'x (1t)':>8}{f'x ({t}t)':>8}{'max |diff|':>12}")  # fmt: skip
    failed = False
    with threadpool_limits(1):
        for metric in [args.only] if args.only else METRICS:
            runs = {
                "one": kova(metric, 1),
                "many": kova(metric, t),
                "plain": lambda m=metric: plain_distances(m, a, b),
            }
            median = interleaved(runs, args.repeats)
            diff = float(np.max(np.abs(runs["many"]()[metric] - runs["plain"]())))
            failed |= diff > 1e-9
            print(
                f"{metric:<10}{median['one']:>11.3f}{median['many']:>11.3f}{median['plain']:>10.3f}"
                f"{median['plain'] / median['one']:>7.1f}x{median['plain'] / median['many']:>7.1f}x"
                f"{diff:>12.1e}{'  MISMATCH' if diff > 1e-9 else ''}"
            )
        if args.only:
            print(load_average())
            return int(failed)
        runs = {
            "one": kova("all", 1),
            "many": kova("all", t),
            "previous": lambda: [previous_call(m, a, b) for m in METRICS],
        }
        median = interleaved(runs, args.repeats)
    print(
        f"{'all three':<10}{median['one']:>11.3f}{median['many']:>11.3f}{median['previous']:>10.3f}"
        f"{median['previous'] / median['one']:>7.1f}x{median['previous'] / median['many']:>7.1f}x"
        "   (baseline: three calls of the previous release's path)"
    )
    print(load_average())
    return int(failed)
