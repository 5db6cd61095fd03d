"""XGB1Regressor and XGB1Classifier against xgboost's depth-1 histogram trees: fit time, test loss.

Both boosters run the same rounds, learning rate, bins and depth 1, xgboost on one thread; kova is
timed on one and on two threads. Times are medians of interleaved repetitions (each repetition
fits every model once), so a busy machine slows all of them alike.

python -m benchmarks xgb1                 # 200,000 x 20 training rows, 300 rounds
python -m benchmarks xgb1 --rounds 100    # fewer rounds
"""

from __future__ import annotations

import argparse
from collections.abc import Callable

import numpy as np

from benchmarks.common import arguments, interleaved


def make_data(
    rows: int, features: int, seed: int, missing: float = 0.05
) -> tuple[np.ndarray, np.ndarray]:
    """Rows of mixed features (continuous, skewed, few integer levels, some missing) and an
    additive target."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, features))
    X[:, 1::4] = rng.exponential(size=(rows, len(range(1, features, 4))))
    X[:, 2::4] = rng.integers(0, 12, size=(rows, len(range(2, features, 4))))
    y = (
        np.sin(2 * X[:, 0])
        + 0.5 * np.log1p(X[:, 1])
        + 0.3 * (X[:, 2] % 3)
        + np.where(X[:, 3] > 0.5, 1.0, -0.2)
        + 0.2 * X[:, 4] * X[:, 5]
        + 0.5 * rng.normal(size=rows)
    )
    for j in (0, 3):  # missing values the boosters must place
        X[rng.random(rows) < missing, j] = np.nan
    return X, y


def mse(y: np.ndarray, predicted: np.ndarray) -> float:
    return float(np.mean((predicted - y) ** 2))


def log_loss(y: np.ndarray, probability: np.ndarray) -> float:
    p = np.clip(probability, 1e-15, 1 - 1e-15)
    return float(-np.mean(y * np.log(p) + (1 - y) * np.log(1 - p)))


def interleaved_medians(
    makers: dict[str, Callable[[], object]], X: np.ndarray, y: np.ndarray, repeats: int
) -> tuple[dict[str, float], dict[str, object]]:
    """Median fit seconds of every model, fitting each once per repetition in turn."""
    fitted: dict[str, object] = {}

    def fit(name: str, make: Callable[[], object]) -> Callable[[], None]:
        def run() -> None:
            fitted[name] = make().fit(X, y)  # type: ignore[attr-defined]

        return run

    return interleaved({name: fit(name, make) for name, make in makers.items()}, repeats), fitted


def _parse(argv: list[str] | None) -> argparse.Namespace:
    parser = arguments(
        "xgb1", __doc__, 200_000, "the training data", "interleaved timed fits of each"
    )
    parser.add_argument("--features", type=int, default=20, help="feature columns")
    parser.add_argument("--rounds", type=int, default=300, help="boosting rounds")
    parser.add_argument("--learning-rate", type=float, default=0.3, help="shrinkage")
    parser.add_argument("--bins", type=int, default=256, help="histogram bins per feature")
    return parser.parse_args(argv)


def _compare(task: str, args: argparse.Namespace, X, y, split: int) -> None:
    import xgboost

    from kova.models import XGB1Classifier, XGB1Regressor

    classify = task == "classifier"
    ours_class = XGB1Classifier if classify else XGB1Regressor
    theirs_class = xgboost.XGBClassifier if classify else xgboost.XGBRegressor
    leaf = 20

    def ours(threads: int) -> Callable[[], object]:
        return lambda: ours_class(
            n_estimators=args.rounds,
            learning_rate=args.learning_rate,
            max_bins=args.bins,
            min_samples_leaf=leaf,
            random_state=args.seed,
            n_jobs=threads,
        )

    def theirs() -> object:
        return theirs_class(
            n_estimators=args.rounds,
            learning_rate=args.learning_rate,
            max_bin=args.bins,
            max_depth=1,
            tree_method="hist",
            min_child_weight=leaf if not classify else 1,
            reg_lambda=1.0,
            n_jobs=1,
            random_state=args.seed,
        )

    makers = {"kova, 1 thread": ours(1), "kova, 2 threads": ours(2), "xgboost, 1 thread": theirs}
    seconds, fitted = interleaved_medians(makers, X[:split], y[:split], args.repeats)
    losses = {}
    for name, model in fitted.items():
        if classify:
            losses[name] = log_loss(y[split:], model.predict_proba(X[split:])[:, 1])  # type: ignore[attr-defined]
        else:
            losses[name] = mse(y[split:], model.predict(X[split:]))  # type: ignore[attr-defined]
    metric = "test log loss" if classify else "test MSE"
    print(f"\n{task}: {'model':<20}{'fit s':>10}{metric:>16}")
    for name in makers:
        print(f"{'':<{len(task) + 2}}{name:<20}{seconds[name]:>10.3f}{losses[name]:>16.5f}")
    reference, one = seconds["xgboost, 1 thread"], seconds["kova, 1 thread"]
    difference = 100 * (losses["kova, 1 thread"] / losses["xgboost, 1 thread"] - 1)
    print(f"  speed-up at one thread (xgboost s / kova s): {reference / one:.2f}x (target >= 3x)")
    print(f"  kova 1 -> 2 threads: {one / seconds['kova, 2 threads']:.2f}x")
    print(f"  {metric} difference: {difference:+.3f}% (target within 1%)")


def main(argv: list[str] | None = None) -> int:
    from threadpoolctl import threadpool_limits

    args = _parse(argv)
    X, y = make_data(args.rows + args.rows // 4, args.features, args.seed)
    labels = (y > np.median(y)).astype(np.float64)
    print(
        f"train {args.rows:,} x {args.features} (5% missing in two columns), test "
        f"{args.rows // 4:,}; {args.rounds} rounds, learning rate {args.learning_rate}, "
        f"{args.bins} bins, depth 1; median of {args.repeats} interleaved fits"
    )
    with threadpool_limits(limits=1):
        _compare("regressor", args, X, y, args.rows)
        _compare("classifier", args, X, labels, args.rows)
    return 0
