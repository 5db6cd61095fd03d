"""A 16-candidate random-forest grid run sequentially, on two loky workers and on a two-worker
Dask LocalCluster; and kova's search against scikit-learn's on the same grid and split.

python -m benchmarks search                 # 100,000 rows x 20 features
python -m benchmarks search --rows 20000    # a quicker run
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from joblib import parallel_backend
from sklearn.datasets import make_classification
from sklearn.ensemble import RandomForestClassifier
from sklearn.model_selection import GridSearchCV, ParameterGrid, train_test_split

from benchmarks.common import arguments, interleaved, loopback_cluster, timed
from kova.config.other_configs import METRICS
from kova.models.morbeck import KovaGridSearchCV

# 2 x 2 x 2 x 2 = 16 candidates. The forest itself runs on one thread (n_jobs=1): the search
# spreads the candidates over the workers.
GRID = {
    "n_estimators": [10, 20],
    "max_depth": [6, 10],
    "max_features": ["sqrt", 0.5],
    "min_samples_leaf": [1, 20],
}


def _parse(argv: list[str]) -> argparse.Namespace:
    return arguments(
        "search", __doc__, 100_000, "the data set", "interleaved runs per search"
    ).parse_args(argv)


def _kova_search(split, n_jobs=None) -> KovaGridSearchCV:
    forest = RandomForestClassifier(n_jobs=1, random_state=0)
    return KovaGridSearchCV(forest, GRID, scoring="AUC", cv=split, n_jobs=n_jobs)


def _sklearn_search(split) -> GridSearchCV:
    forest = RandomForestClassifier(n_jobs=1, random_state=0)
    return GridSearchCV(forest, GRID, scoring={"AUC": METRICS["AUC"]}, cv=split, refit=False)


def _on_cluster(X, y, split) -> tuple[float, float]:
    """Seconds to start a two-worker LocalCluster and to run the search on it."""
    from distributed import Client

    start = time.perf_counter()
    cluster = loopback_cluster(2)
    try:
        with Client(cluster) as client:
            client.wait_for_workers(2)
            started = time.perf_counter() - start
            search = _kova_search(split, n_jobs=-1)
            with parallel_backend("dask", scatter=[X, y]):
                seconds = timed(lambda: search.fit(X, y))
    finally:
        cluster.close(timeout=60)
    return started, seconds


def _overhead(X, y, split, repeats: int) -> tuple[float, float]:
    """Median seconds of kova's and scikit-learn's sequential search, runs interleaved."""
    median = interleaved(
        {
            "kova": lambda: _kova_search(split).fit(X, y),
            "scikit-learn": lambda: _sklearn_search(split).fit(X, y),
        },
        repeats,
    )
    return median["kova"], median["scikit-learn"]


def main(argv: list[str]) -> int:
    args = _parse(argv)
    X, y = make_classification(
        n_samples=args.rows, n_features=20, n_informative=8, random_state=args.seed
    )
    indices = np.arange(len(X))
    split = [tuple(train_test_split(indices, test_size=0.2, random_state=args.seed))]
    n_candidates = len(ParameterGrid(GRID))
    print(f"data: {args.rows:,} rows x {X.shape[1]} features; {n_candidates} candidates, 1 split")

    sequential = timed(lambda: _kova_search(split).fit(X, y))
    loky = timed(lambda: _kova_search(split, n_jobs=2).fit(X, y))
    startup, dask = _on_cluster(X, y, split)
    print(f"{'run':<30}{'seconds':>10}{'vs sequential':>16}")
    for name, seconds in [
        ("sequential", sequential),
        ("loky, n_jobs=2", loky),
        ("dask LocalCluster, 2 workers", dask),
    ]:
        print(f"{name:<30}{seconds:>10.2f}{sequential / seconds:>15.2f}x")
    print(f"(cluster start-up, not included above: {startup:.2f} s)")

    ours, theirs = _overhead(X, y, split, args.repeats)
    print(
        f"sequential kova vs scikit-learn GridSearchCV (median of {args.repeats} interleaved "
        f"runs): {ours:.2f} s vs {theirs:.2f} s, overhead {100 * (ours / theirs - 1):+.1f}%"
    )
    return 0
