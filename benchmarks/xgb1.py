"""XGB1Regressor against xgboost's depth-1 histogram trees: fit time and test loss.

python -m benchmarks xgb1                 # 200,000 x 20 training rows, 300 rounds
python -m benchmarks xgb1 --rounds 100    # fewer rounds
"""

from __future__ import annotations

import argparse
import time

import numpy as np


def make_data(rows: int, features: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Rows of mixed features (continuous, skewed, few integer levels) and an additive target."""
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
    return X, y


def _best_fit_seconds(make_model, X, y, repeats: int):
    best, model = float("inf"), None
    for _ in range(repeats):
        model = make_model()
        start = time.perf_counter()
        model.fit(X, y)
        best = min(best, time.perf_counter() - start)
    return best, model


def _parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m benchmarks xgb1", description=__doc__)
    parser.add_argument("--rows", type=int, default=200_000, help="training rows")
    parser.add_argument("--features", type=int, default=20, help="feature columns")
    parser.add_argument("--rounds", type=int, default=300, help="boosting rounds")
    parser.add_argument("--learning-rate", type=float, default=0.3, help="shrinkage")
    parser.add_argument("--bins", type=int, default=256, help="histogram bins per feature")
    parser.add_argument("--repeats", type=int, default=3, help="timed fits of each (best kept)")
    parser.add_argument("--threads", type=int, default=None, help="xgboost threads (all cores)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the data")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    import xgboost

    from kova.models import XGB1Regressor

    args = _parse(argv)
    X, y = make_data(args.rows + args.rows // 4, args.features, args.seed)
    X_train, X_test = X[: args.rows], X[args.rows :]
    y_train, y_test = y[: args.rows], y[args.rows :]
    leaf = 20

    def ours():
        return XGB1Regressor(
            n_estimators=args.rounds,
            learning_rate=args.learning_rate,
            max_bins=args.bins,
            min_samples_leaf=leaf,
            random_state=args.seed,
        )

    def reference():
        return xgboost.XGBRegressor(
            n_estimators=args.rounds,
            learning_rate=args.learning_rate,
            max_bin=args.bins,
            max_depth=1,
            tree_method="hist",
            min_child_weight=leaf,
            reg_lambda=1.0,
            n_jobs=args.threads,
            random_state=args.seed,
        )

    results = []
    for name, make_model in (("kova XGB1Regressor", ours), ("xgboost", reference)):
        seconds, model = _best_fit_seconds(make_model, X_train, y_train, args.repeats)
        loss = float(np.mean((model.predict(X_test) - y_test) ** 2))
        results.append((name, seconds, loss))
    print(
        f"train {args.rows:,} x {args.features}, test {len(y_test):,}; {args.rounds} rounds, "
        f"learning rate {args.learning_rate}, {args.bins} bins, depth 1, "
        f"best of {args.repeats} fits"
    )
    print(f"{'model':<22}{'fit s':>10}{'test MSE':>12}")
    for name, seconds, loss in results:
        print(f"{name:<22}{seconds:>10.3f}{loss:>12.5f}")
    (_, ours_s, ours_loss), (_, ref_s, ref_loss) = results
    print(f"speed-up (xgboost s / kova s): {ref_s / ours_s:.2f}x")
    print(f"test MSE difference: {100 * (ours_loss - ref_loss) / ref_loss:+.3f}%")
    return 0
