"""Two-sample distances of every feature: kova's twosample_test against a per-feature loop of
scipy.stats.ks_2samp, scipy.stats.wasserstein_distance and a numpy PSI.

python -m benchmarks distance                 # two samples of 1,000,000 x 20
python -m benchmarks distance --rows 100000   # a quicker run

Times are CPU seconds of this process (time.process_time), the best of --repeats runs, so that
other work on a shared machine does not count; every step measured runs on one thread.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import numpy as np

PSI_BINS = 10
PSI_FLOOR = 1e-4  # the floor kova applies to an empty bin's share


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


def best_time(run: Callable[[], object], repeats: int) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.process_time()
        result = run()
        best = min(best, time.process_time() - start)
    return best, result


def _parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m benchmarks distance", description=__doc__)
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of each sample")
    parser.add_argument("--features", type=int, default=20, help="features of each sample")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs of each version")
    parser.add_argument("--seed", type=int, default=0, help="seed of the samples")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    from kova.diagnoser.utils import twosample_test

    args = _parse(argv)
    a, b = make_samples(args.rows, args.features, args.seed)
    names = [f"x{j}" for j in range(args.features)]
    print(f"samples: 2 x {args.rows:,} rows x {args.features} numerical features")
    print(f"{'distance':<10}{'kova s':>10}{'scipy/numpy s':>15}{'speed-up':>10}{'max |diff|':>12}")
    for metric in ("PSI", "WD1", "KS"):

        def ours(metric: str = metric) -> np.ndarray:
            result = twosample_test(
                sample1=a, sample2=b, distance_metric=metric, feature_names=names
            )
            return result.value[metric]

        ours_s, got = best_time(ours, args.repeats)
        plain_s, expected = best_time(lambda m=metric: plain_distances(m, a, b), args.repeats)
        diff = float(np.max(np.abs(got - expected)))
        status = "" if diff <= 1e-9 else "  MISMATCH"
        speedup = plain_s / ours_s
        print(f"{metric:<10}{ours_s:>10.3f}{plain_s:>15.3f}{speedup:>9.1f}x{diff:>12.1e}{status}")
        if diff > 1e-9:
            return 1
    return 0
